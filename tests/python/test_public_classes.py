"""What every public class promises, checked over all of them at once.

The classes are found by walking halvorn and its public submodules'
__all__, so a class added later is held to the same rules without an edit
here: it has a docstring; a class of the extension that Python may create
reads its signature from its docstring's text signature (or sets
__signature__ when its defaults are objects), and one Python may not create
refuses with "cannot create '{name}' instances".  Each sample object below
then has read-only attributes, a repr that pastes back to an equal object
(or the documented form, for the few that cannot), and pickles to an equal
object unless its class is listed as one that does not pickle.

The texts pinned here (reprs, docstrings, signatures) are the ones users
read in the documentation: they are data, not restatements.
"""

import importlib
import inspect
import pickle
import re
import types

import pytest

import halvorn
from halvorn import venue

MODULES = ["halvorn", "halvorn.venue", "halvorn.data", "halvorn.sweep", "halvorn.report",
           "halvorn.research", "halvorn.compiled"]
IMMUTABLE_TYPE = 1 << 8  # the flag every class of the extension carries


def public_classes():
    seen = {}
    for name in MODULES:
        module = importlib.import_module(name)
        for attr in module.__all__:
            obj = getattr(module, attr)
            if isinstance(obj, type) and obj not in seen.values():
                seen[f"{name}.{attr}"] = obj
    return seen


CLASSES = public_classes()


def ticks(n=20):
    return [halvorn.Tick(i * 1_000, 100 + i % 3, bid=99 + i % 3, ask=101 + i % 3)
            for i in range(n)]


class BuysOnce:
    def __init__(self):
        self.done = False

    def on_tick(self, ctx):
        if self.done:
            return None
        self.done = True
        return [halvorn.Order("buy", 1)]


ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")

# Objects of each class, by qualified name; a callable is given a temporary
# directory.
SAMPLES = {
    "halvorn.Tick": [halvorn.Tick(5, 100), halvorn.Tick(1, 2, 3, 4, 5, 6, 7, 8)],
    "halvorn.Order": [halvorn.Order("buy", 1), halvorn.Order("sell", 5, "close", price=101)],
    "halvorn.TickSource": [
        lambda tmp: (halvorn.save_ticks(str(tmp / "s.hvtk"), ticks(3)),
                     halvorn.load_ticks(str(tmp / "s.hvtk")))[1]],
    "halvorn.RunResult": [lambda tmp: halvorn.run_backtest(BuysOnce(), ticks(), 1_000)],
    "halvorn.ModeComparison": [lambda tmp: halvorn.compare_modes(BuysOnce, ticks(), 1_000, 1)],
    "halvorn.LookaheadReport": [
        lambda tmp: halvorn.lookahead_check(lambda known: BuysOnce(), ticks(), 1_000, max_points=2)],
    "halvorn.venue.L0": [venue.L0()],
    "halvorn.venue.L1": [venue.L1(), venue.L1(order_latency=venue.Fixed(5_000_000),
                                              report_latency=venue.Quantiles(1, 2, 3, 4),
                                              queue=venue.TradedShare(50), impact_pct=100)],
    "halvorn.venue.L2": [venue.L2(queue=venue.QueueFixed(3), partial_fills=True)],
    "halvorn.venue.Fixed": [venue.Fixed(5_000_000)],
    "halvorn.venue.Quantiles": [venue.Quantiles(1, 2, 3, 4)],
    "halvorn.venue.QueueFixed": [venue.QueueFixed(3)],
    "halvorn.venue.TradedShare": [venue.TradedShare(50)],
    "halvorn.venue.Instrument": [ETH, venue.Instrument("BTC'\u00e9", "0.10", "1e-3", id=2**64 - 1)],
    "halvorn.venue.Bracket": [venue.EXAMPLE_BTCUSDT[2]],
    "halvorn.venue.FundingRate": [venue.FundingRate(time=10, rate=100_000, price=600_000)],
    "halvorn.venue.Venue": [
        venue.Venue(),
        venue.Venue(taker_fee=500_000, maker_fee=-100_000, hedge=True,
                    tier=venue.L1(order_latency=venue.Fixed(5_000_000),
                                  report_latency=venue.Quantiles(1, 2, 3, 4),
                                  queue=venue.TradedShare(50), impact_pct=100),
                    funding=[venue.FundingRate(time=10, rate=100_000, price=600_000)]),
        venue.Venue(instrument=ETH, resting_fills="quote", triggered_fills="trigger"),
    ],
    "halvorn.venue.Order": [venue.Order("buy", 1), venue.Order("sell", 2, price=100, tif="ioc"),
                            venue.Order("buy", 1, price=100, post_only=True, tag="q"),
                            venue.Order("buy", 1, price=2450, instrument="\u00c9TH/USDT")],
    "halvorn.venue.Stop": [venue.Stop("sell", trigger=97),
                           venue.Stop("sell", 1, trigger=95, price=94, fired_by="mark"),
                           venue.Stop("sell", 2, trigger=90, instrument="\u00c9TH/USDT")],
    "halvorn.venue.TakeProfit": [
        venue.TakeProfit("sell", 1, trigger=110, reduce_only=True),
        venue.TakeProfit("sell", 2, trigger=110, price=111, offset="close"),
        venue.TakeProfit("sell", trigger=9, fired_by="last", instrument="\u00c9TH/USDT")],
    "halvorn.venue.TrailingStop": [
        venue.TrailingStop("sell", 1, distance=5),
        venue.TrailingStop("sell", rate=5_000_000, activation=120),
        venue.TrailingStop("sell", distance=3, fired_by="mark", instrument="\u00c9TH/USDT")],
    "halvorn.venue.ClosePosition": [
        venue.ClosePosition("sell"), venue.ClosePosition("buy", tag="flat"),
        venue.ClosePosition("buy", offset="close", instrument="\u00c9TH/USDT")],
    "halvorn.venue.OneCancelsOther": [
        venue.OneCancelsOther(venue.Order("buy", 1, price=90), venue.Stop("buy", 1, trigger=110))],
    "halvorn.venue.BracketOrder": [
        venue.BracketOrder(venue.Order("buy", 1), stop_loss=venue.Stop("sell", 1, trigger=90),
                           take_profit=venue.TakeProfit("sell", 1, trigger=110)),
        venue.BracketOrder(venue.Order("buy", 2, price=100),
                           stop_loss=venue.Stop("sell", trigger=95))],
    "halvorn.venue.Cancel": [venue.Cancel(7)],
    "halvorn.venue.CancelAll": [venue.CancelAll()],
    "halvorn.venue.Run": [lambda tmp: venue.run(BuysOnce(), ticks(), 1_000)],
    "halvorn.venue.Fill": [lambda tmp: venue.run(BuysOnce(), ticks(), 1_000).fills[0]],
}

# Reprs that are written out in the documentation, and the form of those of
# classes whose objects cannot be pasted back (a run's results).
DOCUMENTED_REPRS = {
    "halvorn.Tick": ["Tick(exch_ts=5, last=100, bid=0, ask=0)"],
    "halvorn.Order": ['Order("buy", 1, "open")', 'Order("sell", 5, "close", price=101)'],
    "halvorn.venue.Venue": [
        "Venue()",
        "Venue(tier=L1(order_latency=Fixed(5_000_000), report_latency=Quantiles(1, 2, 3, 4), "
        "queue=TradedShare(50), impact_pct=100), maker_fee=-100_000, taker_fee=500_000, "
        "funding=(FundingRate(time=10, rate=100_000, price=600_000),), hedge=True)"],
    "halvorn.venue.Instrument": ["Instrument('ETHUSDT', '0.01', '0.001')"],
    "halvorn.venue.Stop": ["Stop('sell', None, trigger=97)"],
}

# The form of the reprs that cannot be pasted back: a file held by name and
# a run's results.
REPR_FORMS = {
    "halvorn.TickSource": r"TickSource\(/\S+, \d+ ticks, instrument \d+\)",
    "halvorn.RunResult": r'RunResult\(strategy="\w+", ticks=\d+, fills=\d+, final_equity=-?\d+\)',
    "halvorn.ModeComparison": r"ModeComparison\(batch=\d+, (identical|.*)\)",
    "halvorn.LookaheadReport":
        r"LookaheadReport\(signals=\d+, checked=\d+, clean=(True|False), divergences=\d+\)",
    "halvorn.venue.Run":
        r'Run\(strategy="\w+", tier=L[012], ticks=\d+, fills=\d+, final_equity=-?[\d.]+ USDT\)',
}

# Classes whose objects do not pickle: the core module's values and results,
# and a run's results.
NOT_PICKLED = {"halvorn.Tick", "halvorn.Order", "halvorn.TickSource", "halvorn.RunResult",
               "halvorn.ModeComparison", "halvorn.LookaheadReport", "halvorn.venue.Run"}

# Records the engine makes: their constructor takes their fields back, for
# pickling, and is not documented with a signature.
ENGINE_RECORDS = {"halvorn.venue.Fill", "halvorn.venue.Liquidation", "halvorn.venue.Closed",
                  "halvorn.venue.MarginStats"}

# Classes compared by identity, as values that a strategy may hold on to.
IDENTITY_EQUAL = {"halvorn.Tick"}

# Docstrings quoted whole in the documentation.
DOCUMENTED_DOCS = {
    "halvorn.RunResult": "What a run produced.",
    "halvorn.ModeComparison": "What batching cost, measured on this strategy and this data.",
    "halvorn.LookaheadReport": "What the lookahead check found. See `lookahead_check`.",
}

# Docstrings the documentation quotes in part: (object, how, text).
DOCUMENTED_DOC_PARTS = [
    (halvorn.TickSource, str.startswith, "A tick file, held by name rather than by contents.\n\n"),
    (halvorn.TickSource, str.__contains__,
     "could be run exactly once \u2014 and [`compare_modes`] runs the same input\n"),
    (halvorn.TickSource, str.endswith, "the run is bounded by the file rather than by memory."),
    (halvorn.TickSource.path, str.__eq__, "The file this reads."),
    (halvorn.TickSource.count, str.__eq__, "Records the header claims, so `len()` costs no read."),
    (halvorn.TickSource.instrument, str.__eq__, "The instrument the file was written for."),
    (halvorn.load_ticks, str.startswith, "Open a tick file for a run, without reading it.\n"),
    (halvorn.load_ticks, str.__contains__, 'halvorn.load_ticks("btcusdt-2024.hvtk")'),
    (halvorn.save_ticks, str.startswith, "Write ticks to a file `load_ticks` can read.\n"),
    (halvorn.save_ticks, str.endswith, "# Errors\n\nReports a path that cannot be written."),
    (halvorn.RunResult.fill_prices, str.startswith, "Prices of every fill, in order, in ticks."),
]

# The signatures of the module's functions, as the documentation writes them.
DOCUMENTED_SIGNATURES = {
    halvorn.Tick: "(exch_ts, last, local_ts=None, high=None, low=None, bid=0, ask=0, volume=0)",
    halvorn.Order: "(side, qty, offset='open', price=None)",
    halvorn.load_ticks: "(path)",
    halvorn.save_ticks: "(path, ticks, instrument=1)",
    halvorn.compare_modes: "(build, ticks, balance, batch, enforce_margin=True, contract_size=10000)",
    halvorn.lookahead_check:
        "(build, ticks, balance, max_points=200, enforce_margin=True, contract_size=10000)",
    halvorn.sharpe_ratio: "(returns)",
    halvorn.moments: "(returns)",
    halvorn.probabilistic_sharpe_ratio:
        "(observed, benchmark, n_observations, skewness, kurtosis)",
    halvorn.deflated_sharpe_ratio: "(all_sharpes, n_observations, skewness, kurtosis)",
    halvorn.probability_of_backtest_overfitting: "(columns, n_blocks=16)",
    halvorn.minimum_track_record_length:
        "(observed, benchmark, skewness, kurtosis, confidence=0.95)",
    venue.L1: "(*, order_latency=Fixed(0), report_latency=Fixed(0), queue=None, impact_pct=0, "
              "cancel_latency=Fixed(0), partial_fills=False)",
    venue.run: "(strategy, ticks, balance, *, venue=None, batch=1, equity_every=0, progress=None, "
               "flush=False, depth=None, marks=None)",
}


@pytest.mark.parametrize("obj, how, text", DOCUMENTED_DOC_PARTS,
                         ids=lambda x: getattr(x, "__qualname__", "") if callable(x) else "")
def test_documented_docstrings(obj, how, text):
    assert how(obj.__doc__, text)


def refuses_creation(cls):
    try:
        cls.__new__(cls)
    except TypeError as e:
        return str(e) == f"cannot create '{cls.__name__}' instances"
    return False


@pytest.mark.parametrize("qualname", list(CLASSES))
def test_every_class_documents_itself_and_says_how_it_is_made(qualname):
    cls = CLASSES[qualname]
    assert cls.__doc__ and cls.__doc__.strip(), f"{qualname} has no docstring"
    if qualname in DOCUMENTED_DOCS:
        assert cls.__doc__ == DOCUMENTED_DOCS[qualname]
    if not cls.__flags__ & IMMUTABLE_TYPE:
        return  # a class written in Python: inspect reads its signature
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})  # final
    if refuses_creation(cls):
        with pytest.raises(TypeError, match=rf"^cannot create '{cls.__name__}' instances$"):
            cls()
        return
    if qualname in ENGINE_RECORDS:
        return
    if "__signature__" not in vars(cls):
        assert cls.__text_signature__, f"{qualname}'s docstring does not open with its signature"
    inspect.signature(cls)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """(qualname, index, object) of every sample, made."""
    tmp = tmp_path_factory.mktemp("samples")
    return [(qualname, i, obj(tmp) if isinstance(obj, types.FunctionType) else obj)
            for qualname, objects in SAMPLES.items() for i, obj in enumerate(objects)]


def test_every_sample_names_a_public_class():
    assert set(SAMPLES) <= set(CLASSES)
    assert set(DOCUMENTED_REPRS) | set(REPR_FORMS) | NOT_PICKLED <= set(SAMPLES)


def test_samples_of_a_class_differ(made):
    # Equality looks at every field: no two samples of a class are equal.
    for qualname, i, obj in made:
        for other_name, j, other in made:
            if other_name == qualname and j != i:
                assert obj != other, (qualname, i, j)
    for qualname in IDENTITY_EQUAL:
        assert type(SAMPLES[qualname][0]).__eq__ is object.__eq__


def test_attributes_are_read_only(made):
    for qualname, _, obj in made:
        cls = CLASSES[qualname]
        assert isinstance(obj, cls)
        fields = [name for name, attr in vars(cls).items()
                  if not name.startswith("_") and inspect.isdatadescriptor(attr)]
        for name in fields:
            with pytest.raises(AttributeError):
                setattr(obj, name, getattr(obj, name))
        if cls.__flags__ & IMMUTABLE_TYPE:
            assert not hasattr(obj, "__dict__"), qualname


def test_reprs_paste_back_or_read_as_documented(made):
    for qualname, i, obj in made:
        text = repr(obj)
        documented = dict(enumerate(DOCUMENTED_REPRS.get(qualname, []))).get(i)
        if documented is not None:
            assert text == documented
        if qualname in REPR_FORMS:
            assert re.fullmatch(REPR_FORMS[qualname], text), text
            continue
        back = eval(text, vars(importlib.import_module(qualname.rsplit(".", 1)[0])))
        if type(obj).__eq__ is object.__eq__:
            assert repr(back) == text  # a value without value semantics (Tick)
        else:
            assert back == obj and hash(back) == hash(obj), text


def test_objects_pickle_to_equal_ones(made):
    for qualname, _, obj in made:
        if qualname in NOT_PICKLED:
            with pytest.raises((TypeError, pickle.PicklingError)):
                pickle.dumps(obj)
            continue
        back = pickle.loads(pickle.dumps(obj))
        if type(obj).__eq__ is object.__eq__:
            assert repr(back) == repr(obj)
        else:
            assert back == obj and hash(back) == hash(obj), qualname


@pytest.mark.parametrize("function", list(DOCUMENTED_SIGNATURES), ids=lambda f: f.__qualname__)
def test_documented_signatures(function):
    assert str(inspect.signature(function)) == DOCUMENTED_SIGNATURES[function]
