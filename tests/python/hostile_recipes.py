"""Hostile calls of every public function that converts Python objects.

The binding runs Python code in the middle of its calls: an argument's
__index__ or __float__, a pair's __len__, a strategy, a build callable, a
progress callable, a file's readinto.  That code can empty the containers the
binding is reading from (the caller's list, the call's keyword dict, a private
copy found through gc.get_referrers), close the writer being written, or
release and shrink the buffer it was handed.  The binding must survive all of
it: raise, or carry on with what it already held, but never read freed memory.

A recipe makes a valid call of one function out of fresh objects (so that the
keyword dict of the call holds their only reference), and names the
arguments to make hostile.  `variants` turns a recipe into calls in which one
argument at a time strikes: a number whose conversion empties every container
holding it and every dict holding those, a list with such a number inside, a
strategy or callable that empties every keyword dict of a run when first
called, a file that shrinks the buffer it reads into.  Each call is made by
keyword, so that emptying the keyword dict frees every other argument.

This module is run in a fresh interpreter by test_hostile_objects.py:
`python hostile_recipes.py QUALNAME TMPDIR` makes every variant of that
function's recipe and prints "survived N" at the end.
"""

import array
import gc
import io
import os
import sys

import halvorn
import hostile_unit_recipes
from halvorn import data, venue
from halvorn.data import _native
# The hostile objects themselves; hostile_unit_recipes reads them from here.
from hostile_strikes import (  # noqa: F401
    public_callables, variants, is_namespace, empty_holders, empty_run_calls, Strike,
    HostileInt, HostileFloat, HostilePair, Vandal, VandalDesk, VandalBuild, VandalProgress,
    ShrinkingFile, fresh, text, ticks, tick_file, depth_file, TRADES_CSV, FUNDING_CSV, DEPTH_CSV)


# --- recipes --------------------------------------------------------------------------
#
# A recipe takes the temporary directory and returns (function, kwargs,
# hostile), where `hostile` maps argument names to a maker of their hostile
# form.  Only keyword-bindable arguments can be freed by emptying the call's
# dict; positional-only ones are made hostile by what they contain.


class Keyword(str):
    """A keyword's name that is not a plain str."""


def int_args(*names):
    return {name: (lambda value: HostileInt(value)) for name in names}


def float_args(*names):
    return {name: (lambda value: HostileFloat(value)) for name in names}


def list_with_hostile_number(make):
    def hostile(values):
        values = list(values)
        values[len(values) // 2] = make(values[len(values) // 2])
        return values
    return hostile


def columns_with_hostile_number(values):
    values = [list(c) for c in values]
    values[-1][1] = HostileFloat(values[-1][1])
    return values


def levels_with_hostile(levels):
    levels = [list(p) for p in levels]
    out = [tuple(p) for p in levels]
    out[0] = (HostileInt(levels[0][0]), levels[0][1])
    out.append(HostilePair((levels[-1][0] + 1, 3)))
    return out


def run_kwargs(tmp, on_file):
    return dict(ticks=halvorn.load_ticks(tick_file(tmp)) if on_file else ticks(),
                balance=fresh(100_000))


def strategy_run(function, on_file, batch=1, **extra):
    def recipe(tmp):
        kwargs = dict(strategy=Vandal(armed=False), batch=fresh(batch), **run_kwargs(tmp, on_file), **extra)
        return function, kwargs, {"strategy": lambda _: Vandal(), "balance": HostileInt,
                                  "batch": HostileInt}
    return recipe


def build_run(function, batch=None, on_file=True, **extra):
    def recipe(tmp):
        kwargs = dict(build=VandalBuild(armed=False), **run_kwargs(tmp, on_file), **extra)
        if batch is not None:
            kwargs["batch"] = fresh(batch)
        hostile = {"build": lambda _: VandalBuild(), "balance": HostileInt}
        if batch is not None:
            hostile["batch"] = HostileInt
        return function, kwargs, hostile
    return recipe


def the_venue():
    return venue.Venue(tier=venue.L1(order_latency=venue.Fixed(fresh(5))),
                       taker_fee=fresh(500_000), funding=[venue.FundingRate(time=fresh(1_010), rate=100, price=600_000)])


def from_arrays(tmp):
    n = 300
    return data.from_arrays, dict(
        dest=os.path.join(tmp, "a.hvtk"), exch_ts=[fresh(1_000 + i) for i in range(n)],
        last=[fresh(600_000) for _ in range(n)], bid=[fresh(599_999)] * n,
        instrument=fresh(7)), {"exch_ts": list_with_hostile_number(HostileInt),
                               "last": list_with_hostile_number(HostileInt),
                               "bid": list_with_hostile_number(HostileInt),
                               "instrument": HostileInt}


def from_arrays_scaled(tmp):
    n = 300
    return data.from_arrays, dict(
        dest=os.path.join(tmp, "f.hvtk"), exch_ts=[fresh(1_000 + i) for i in range(n)],
        last=array.array("d", [float(str(60000.1))] * n), tick_size=text("0.1"),
        lot_size=text("0.001"), symbol=text("BTCUSDT"), round=True,
        instrument=fresh(7)), {"exch_ts": list_with_hostile_number(HostileInt),
                               "instrument": HostileInt}


def writer_append(tmp):
    writer = _native.Writer(os.path.join(tmp, "w.hvtk"))
    n = 300
    # The writer's own methods strike too: the column's __index__ finishes or
    # abandons the writer it is being appended to.
    finishing = list_with_hostile_number(lambda v: HostileInt(v, also=[writer.finish]))
    abandoning = list_with_hostile_number(lambda v: HostileInt(v, also=[writer.abandon]))
    return writer.append, dict(exch_ts=[fresh(1_000 + i) for i in range(n)],
                               last=[fresh(600_000) for _ in range(n)],
                               volume=[fresh(i) for i in range(n)]), {
        "exch_ts": finishing, "last": abandoning, "volume": finishing}


def csv_files(payload):
    return lambda tmp: [io.BytesIO(payload)]


def from_csv(tmp):
    return data.from_csv, dict(dest=os.path.join(tmp, "c.hvtk"), trades=[io.BytesIO(TRADES_CSV)],
                               tick_size=text("0.1"), lot_size=text("0.001"),
                               progress=VandalProgress(armed=False), instrument=fresh(3)), {
        "trades": lambda _: [ShrinkingFile(TRADES_CSV)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt}


def native_convert(tmp):
    return _native.convert, dict(
        dest=os.path.join(tmp, "n.hvtk"), trades=[io.BytesIO(TRADES_CSV)], quotes=None,
        layout=None, quote_layout=None, tick_size=text("0.1"), lot_size=text("0.001"),
        instrument=fresh(3), time_unit=None, quote_time_unit=None, sort_window=fresh(0),
        allow_gaps=False, round=False, progress=VandalProgress(armed=False), progress_bytes=fresh(64),
        symbol=text("BTCUSDT"), duplicates=text("skip"), stale_after=fresh(60_000_000_000),
        stale_quotes=text("clear"), outside_bp=float(str(10.0))), {
        "trades": lambda _: [ShrinkingFile(TRADES_CSV)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt, "sort_window": HostileInt, "progress_bytes": HostileInt,
        "stale_after": HostileInt, "outside_bp": HostileFloat}


def funding_from_csv(tmp):
    return data.funding_from_csv, dict(file=[io.BytesIO(FUNDING_CSV)],
                                       ticks=halvorn.load_ticks(tick_file(tmp))), {
        "file": lambda _: [ShrinkingFile(FUNDING_CSV)]}


def native_read_funding(tmp):
    return _native.read_funding, dict(files=[io.BytesIO(FUNDING_CSV)], ticks=tick_file(tmp),
                                      time_unit=None), {
        "files": lambda _: [ShrinkingFile(FUNDING_CSV)]}


DEPTH_ROWS = DEPTH_CSV + b"".join(
    b"BTCUSDT,%d,%d,%d,%d,%s,set,6000%d.0,1.%d\n" % (1_700_000_000_000 + i, 5 + i, 10 + i, 10 + i,
                                                     b"b" if i % 2 else b"a", i % 10, i % 10)
    for i in range(50))


# Snapshots in a file of their own, merged with DEPTH_ROWS by time.
DEPTH_SNAPSHOTS = DEPTH_CSV + b"".join(
    b"BTCUSDT,%d,0,%d,%d,%s,snap,6000%d.0,1.0\n" % (1_700_000_000_020, 30, 30,
                                                  b"b" if i % 2 else b"a", i)
    for i in range(10))


def depth_from_csv(tmp):
    rows = DEPTH_ROWS
    return data.depth_from_csv, dict(dest=os.path.join(tmp, "d.hvdp"), sources=[io.BytesIO(rows)],
                                     tick_size=text("0.1"), lot_size=text("0.001"),
                                     progress=VandalProgress(armed=False), instrument=fresh(2)), {
        "sources": lambda _: [ShrinkingFile(rows)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt}


KLINES_CSV = b"".join(
    b"%d,6000%d.0,6001,5999,6000%d.1,0,%d,0,60,0,0,0\n" % (1_704_067_200_000 + 60_000 * i, i % 10,
                                                        i % 10, 1_704_067_259_999 + 60_000 * i)
    for i in range(50))


def marks_from_csv(tmp):
    return data.marks_from_csv, dict(dest=os.path.join(tmp, "m.hvmk"),
                                     sources=[io.BytesIO(KLINES_CSV)], tick_size=text("0.1"),
                                     lot_size=text("0.001"), progress=VandalProgress(armed=False),
                                     instrument=fresh(2), stale_after=fresh(60_000_000_000)), {
        "sources": lambda _: [ShrinkingFile(KLINES_CSV)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt, "stale_after": HostileInt}


def mark_file(tmp):
    path = os.path.join(tmp, "m.hvmk")
    data.save_marks(path, [(0, 600_000, 599_990), (5, 600_001)], settlements=[(5, 100, 600_001)])
    return path


def save_marks(function, **fixed):
    def recipe(tmp):
        def records(_=None):
            return [(fresh(i), fresh(600_000 + i), fresh(599_990)) for i in range(20)] + [
                [HostileInt(30), fresh(600_030)]]
        return function, dict(path=os.path.join(tmp, "s.hvmk"), records=records(),
                              settlements=[(fresh(5), fresh(100), fresh(600_001))],
                              instrument=fresh(9), premium=False, **fixed), {
            "records": records, "instrument": HostileInt,
            "settlements": lambda _: [[HostileInt(5), fresh(100), fresh(600_001)]]}
    return recipe


def from_parquet(tmp):
    import pyarrow as pa
    import pyarrow.parquet as pq
    path = os.path.join(tmp, "p.parquet")
    pq.write_table(pa.table({"exch_ts": list(range(1_000, 1_300)), "last": ["6000.1"] * 300}),
                   path)
    return data.from_parquet, dict(dest=os.path.join(tmp, "p.hvtk"), path=path,
                                   tick_size=text("0.1"), lot_size=text("0.001"),
                                   instrument=fresh(300), batch_rows=fresh(64)), int_args(
        "instrument")


CAPTURE_JSONL = b"".join(
    b'%d {"e":"aggTrade","T":%d,"s":"BTCUSDT","a":%d,"p":"6000%d.0","q":"0.00%d","m":true}\n'
    % (1_700_000_000_000_000 + 1_000 * i, 1_700_000_000_000 + i, 1 + i, i % 10, 1 + i % 9)
    for i in range(200))


def from_capture(tmp):
    return data.from_capture, dict(sources=[io.BytesIO(CAPTURE_JSONL)],
                                   ticks=os.path.join(tmp, "j.hvtk"), tick_size=text("0.1"),
                                   lot_size=text("0.001"), instrument=fresh(3),
                                   max_delay=fresh(1_000_000), progress=VandalProgress(armed=False)), {
        "sources": lambda _: [ShrinkingFile(CAPTURE_JSONL)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt, "max_delay": HostileInt}


def native_convert_capture(tmp):
    return _native.convert_capture, dict(
        sources=[io.BytesIO(CAPTURE_JSONL)], ticks=os.path.join(tmp, "n.hvtk"), depth=None,
        marks=None, tick_size=text("0.1"), lot_size=text("0.001"), instrument=fresh(3),
        symbol=text("BTCUSDT"), round=False, allow_gaps=False, trades=None,
        max_delay=fresh(1_000_000), time_unit=None, progress=VandalProgress(armed=False),
        progress_bytes=fresh(64)), {
        "sources": lambda _: [ShrinkingFile(CAPTURE_JSONL)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt, "max_delay": HostileInt, "progress_bytes": HostileInt}


def from_arrow(tmp):
    import pyarrow as pa
    import pyarrow.feather as feather
    path = os.path.join(tmp, "p.feather")
    feather.write_feather(pa.table({"exch_ts": list(range(1_000, 1_300)),
                                    "last": ["6000.1"] * 300}), path)
    return data.from_arrow, dict(dest=os.path.join(tmp, "a.hvtk"), path=path,
                                 tick_size=text("0.1"), lot_size=text("0.001"),
                                 instrument=fresh(300), batch_rows=fresh(64)), int_args(
        "instrument")


def hostile_columns(columns):
    """The same columns, each a list with a hostile int in it."""
    return {name: list_with_hostile_number(HostileInt)(values) for name, values in columns.items()}


def marks_columns_run(tmp):
    marks = {text("time"): [fresh(1_000 + 10 * i) for i in range(20)],
             text("mark"): [fresh(600_000 + i % 3) for i in range(20)]}
    return venue.run, dict(strategy=Vandal(armed=False), ticks=ticks(), balance=fresh(100_000),
                           venue=venue.Venue(instrument=BTC), marks=marks), {
        "strategy": lambda _: Vandal(), "marks": hostile_columns}


def funding_columns_venue(tmp):
    funding = {text("time"): [fresh(1_010), fresh(1_020)], text("rate"): [fresh(100), fresh(-50)],
               text("price"): [fresh(600_000), fresh(600_001)]}
    return venue.Venue, dict(instrument=BTC, funding=funding), {"funding": hostile_columns}


def snapshot(cls):
    def recipe(tmp):
        levels = [(fresh(100 + i), fresh(1 + i)) for i in range(50)]
        return cls, dict(last_update_id=fresh(100), bids=levels, asks=list(levels),
                         time_ns=fresh(5)), {"last_update_id": HostileInt, "time_ns": HostileInt,
                                             "bids": levels_with_hostile, "asks": levels_with_hostile}
    return recipe


def update(cls):
    def recipe(tmp):
        levels = [(fresh(100 + i), fresh(1 + i)) for i in range(50)]
        return cls, dict(first_id=fresh(101), final_id=fresh(105), time_ns=fresh(5), bids=levels,
                         asks=list(levels), prev_final_id=fresh(100)), {
            "first_id": HostileInt, "final_id": HostileInt, "time_ns": HostileInt,
            "prev_final_id": HostileInt, "bids": levels_with_hostile, "asks": levels_with_hostile}
    return recipe


def save_depth(function):
    def recipe(tmp):
        records = [data.Snapshot(100, [(599_999, 5)], [(600_001, 5)]),
                   data.Update(101, 101, 5, [(599_998, 2)], [])]
        return function, dict(path=os.path.join(tmp, "s.hvdp"), records=records,
                              instrument=fresh(9)), {"instrument": HostileInt}
    return recipe


def stats(function, **kwargs_and_hostile):
    def recipe(tmp):
        kwargs = {k: v[0]() for k, v in kwargs_and_hostile.items()}
        return function, kwargs, {k: v[1] for k, v in kwargs_and_hostile.items() if v[1]}
    return recipe


def returns():
    return [float(str(0.01 * ((i * 7) % 11 - 5))) for i in range(64)]


F = (lambda: float(str(0.5)), HostileFloat)
N_OBS = (lambda: fresh(500), HostileInt)

def compiled_strategy(tmp):
    """A Compiled whose address and capacity strike when converted: the
    address of a C function that places nothing (the interpreter's own
    PyLong_FromLong would do, but must never be called: a run is not made)."""
    import ctypes

    address = ctypes.cast(ctypes.pythonapi.Py_IsInitialized, ctypes.c_void_p).value
    return venue.Compiled, dict(function=fresh(address), state=bytearray(64),
                                name=text("noop"), capacity=fresh(8), fill_words=fresh(10),
                                order_words=fresh(16)), \
        int_args("capacity", "fill_words", "order_words")


RECIPES = {
    "halvorn.sharpe_ratio": stats(halvorn.sharpe_ratio,
                                  returns=(returns, list_with_hostile_number(HostileFloat))),
    "halvorn.moments": stats(halvorn.moments,
                             returns=(returns, list_with_hostile_number(HostileFloat))),
    "halvorn.probabilistic_sharpe_ratio": stats(
        halvorn.probabilistic_sharpe_ratio, observed=F, benchmark=F, n_observations=N_OBS,
        skewness=F, kurtosis=(lambda: float(str(3.0)), HostileFloat)),
    "halvorn.deflated_sharpe_ratio": stats(
        halvorn.deflated_sharpe_ratio, all_sharpes=(returns, list_with_hostile_number(HostileFloat)),
        n_observations=N_OBS, skewness=F, kurtosis=(lambda: float(str(3.0)), HostileFloat)),
    "halvorn.probability_of_backtest_overfitting": stats(
        halvorn.probability_of_backtest_overfitting,
        columns=(lambda: [returns() for _ in range(4)], columns_with_hostile_number),
        n_blocks=(lambda: fresh(4), HostileInt)),
    "halvorn.minimum_track_record_length": stats(
        halvorn.minimum_track_record_length, observed=F, benchmark=(lambda: float(str(0.1)), HostileFloat),
        skewness=F, kurtosis=(lambda: float(str(3.0)), HostileFloat),
        confidence=(lambda: float(str(0.9)), HostileFloat)),
    "halvorn.Tick": lambda tmp: (halvorn.Tick, dict(
        exch_ts=fresh(1_000), last=fresh(600_000), local_ts=fresh(1_001), high=fresh(600_003),
        low=fresh(599_000), bid=fresh(599_999), ask=fresh(600_001), volume=fresh(12_345)),
        int_args("exch_ts", "last", "local_ts", "high", "low", "bid", "ask", "volume")),
    "halvorn.Order": lambda tmp: (halvorn.Order, dict(side=text("buy"), qty=fresh(500),
                                                      offset=text("close"), price=fresh(600_000)),
                                  int_args("qty", "price")),
    "halvorn.load_ticks": lambda tmp: (halvorn.load_ticks, dict(path=tick_file(tmp)), {}),
    "halvorn.save_ticks": lambda tmp: (halvorn.save_ticks, dict(
        path=os.path.join(tmp, "s.hvtk"), ticks=ticks(), instrument=fresh(300)),
        int_args("instrument")),
    "halvorn.run_backtest": strategy_run(halvorn.run_backtest, on_file=True, batch=4,
                                         contract_size=fresh(10_000), equity_every=fresh(3)),
    "halvorn.compare_modes": build_run(halvorn.compare_modes, batch=4, contract_size=fresh(10_000)),
    "halvorn.lookahead_check": build_run(halvorn.lookahead_check, on_file=False,
                                         max_points=fresh(300)),
    "halvorn.venue.L1": lambda tmp: (venue.L1, dict(
        order_latency=venue.Fixed(fresh(300)), report_latency=venue.Fixed(fresh(400)),
        queue=venue.QueueFixed(fresh(500)), impact_pct=fresh(400), partial_fills=True),
        int_args("impact_pct")),
    "halvorn.venue.L2": lambda tmp: (venue.L2, dict(
        order_latency=venue.Fixed(fresh(300)), queue=venue.TradedShare(fresh(50)),
        impact_pct=fresh(400), partial_fills=True), int_args("impact_pct")),
    "halvorn.venue.Fixed": lambda tmp: (venue.Fixed, dict(ns=fresh(5_000)), int_args("ns")),
    "halvorn.venue.Quantiles": lambda tmp: (venue.Quantiles, dict(
        p50=fresh(1_000), p90=fresh(2_000), p99=fresh(3_000), p999=fresh(4_000)),
        int_args("p50", "p90", "p99", "p999")),
    "halvorn.venue.QueueFixed": lambda tmp: (venue.QueueFixed, dict(lots=fresh(700)),
                                             int_args("lots")),
    "halvorn.venue.TradedShare": lambda tmp: (venue.TradedShare, dict(pct=fresh(50)),
                                              int_args("pct")),
    "halvorn.venue.Bracket": lambda tmp: (venue.Bracket, dict(
        up_to=fresh(5_000_000_000_000), rate=fresh(4_000_000), amount=fresh(1_000)),
        int_args("up_to", "rate", "amount")),
    "halvorn.venue.FundingRate": lambda tmp: (venue.FundingRate, dict(
        time=fresh(1_000), rate=fresh(100_000), price=fresh(600_000)),
        int_args("time", "rate", "price")),
    "halvorn.venue.Venue": lambda tmp: (venue.Venue, dict(
        tier=venue.L1(), maker_fee=fresh(-100_000), taker_fee=fresh(500_000),
        funding=[venue.FundingRate(time=1_000, rate=10, price=600_000), venue.FundingRate(time=2_000, rate=10, price=600_000)],
        margin_tiers=list(venue.EXAMPLE_BTCUSDT), contract_size=fresh(10_000),
        instrument=fresh(300), triggered_fills=text("trigger")),
        int_args("maker_fee", "taker_fee", "contract_size", "instrument")),
    "halvorn.venue.Instrument": lambda tmp: (venue.Instrument, dict(
        symbol=text("ETHUSDT"), tick_size=text("0.01"), lot_size=text("0.001"), id=fresh(300)),
        int_args("tick_size", "lot_size", "id")),
    "halvorn.venue.Instrument.to_ticks": lambda tmp: (
        lambda price: ETH.to_ticks(price), dict(price=fresh(2_450)), int_args("price")),
    "halvorn.venue.Instrument.to_lots": lambda tmp: (
        lambda qty: ETH.to_lots(qty, rounding=text("down")), dict(qty=fresh(3)), int_args("qty")),
    "halvorn.venue.Instrument.price_of": lambda tmp: (
        lambda ticks: ETH.price_of(ticks), dict(ticks=fresh(245_017)), int_args("ticks")),
    "halvorn.venue.Instrument.qty_of": lambda tmp: (
        lambda lots: ETH.qty_of(lots), dict(lots=fresh(311)), int_args("lots")),
    "halvorn.venue.Compiled": compiled_strategy,
    "halvorn.venue.Cancel": lambda tmp: (venue.Cancel, dict(order_id=fresh(1_000)),
                                         int_args("order_id")),
    "halvorn.venue.Order": lambda tmp: (venue.Order, dict(
        side=text("buy"), qty=fresh(500), price=fresh(600_000), offset=text("close"),
        tif=text("ioc"), reduce_only=True, tag=text("an order")), int_args("qty", "price")),
    "halvorn.venue.Stop": lambda tmp: (venue.Stop, dict(
        side=text("sell"), qty=fresh(500), trigger=fresh(590_000), price=fresh(589_000),
        tag=text("a stop"), fired_by=text("mark")), int_args("qty", "trigger", "price")),
    "halvorn.venue.TakeProfit": lambda tmp: (venue.TakeProfit, dict(
        side=text("sell"), qty=fresh(500), trigger=fresh(610_000), price=fresh(610_500)),
        int_args("qty", "trigger", "price")),
    "halvorn.venue.TrailingStop": lambda tmp: (venue.TrailingStop, dict(
        side=text("sell"), qty=fresh(500), distance=fresh(300), activation=fresh(610_000),
        fired_by=text("mark")), int_args("qty", "distance", "activation")),
    "halvorn.venue.TrailingStop (rate)": lambda tmp: (venue.TrailingStop, dict(
        side=text("buy"), rate=fresh(10_000_000)), int_args("rate")),
    # The order classes bind a plain call without the interpreter's parser,
    # and any other (a keyword named by a str subclass) through it.
    "halvorn.venue.Order (by position)": lambda tmp: (
        lambda side, qty, **kw: venue.Order(side, qty, **kw),
        dict(side=text("sell"), qty=fresh(500), price=fresh(600_000), tag=text("by position")),
        int_args("qty", "price")),
    "halvorn.venue.Order (keywords the parser binds)": lambda tmp: (
        lambda **kw: venue.Order(**{Keyword(k): v for k, v in kw.items()}),
        dict(side=text("buy"), qty=fresh(500), price=fresh(600_000)), int_args("qty", "price")),
    "halvorn.venue.Cancel (by position)": lambda tmp: (
        lambda order_id: venue.Cancel(order_id), dict(order_id=fresh(1_000)),
        int_args("order_id")),
    "halvorn.venue.run": lambda tmp: strategy_run(
        venue.run, on_file=True, batch=4, venue=the_venue(), equity_every=fresh(3),
        progress=VandalProgress())(tmp),
    "halvorn.venue.compare_modes": lambda tmp: build_run(venue.compare_modes, batch=4,
                                                         venue=the_venue())(tmp),
    "halvorn.venue.lookahead_check": lambda tmp: build_run(
        venue.lookahead_check, on_file=False, venue=the_venue(), max_points=fresh(300))(tmp),
    "halvorn.data.from_csv": from_csv,
    "halvorn.data._native.convert": native_convert,
    "halvorn.data.from_arrays": from_arrays,
    "halvorn.data._native.Writer": lambda tmp: (_native.Writer, dict(
        dest=os.path.join(tmp, "w0.hvtk"), instrument=fresh(300)), int_args("instrument")),
    "halvorn.data._native.Writer.append": writer_append,
    "halvorn.data.to_arrays": lambda tmp: (data.to_arrays, dict(source=tick_file(tmp)), {}),
    "halvorn.data._native.map_columns": lambda tmp: (_native.map_columns,
                                                     dict(path=tick_file(tmp)), {}),
    "halvorn.data._native._replace_file": lambda tmp: (_native._replace_file, dict(
        path=os.path.join(tmp, "report.html"), data=b"<p>a report</p>"), {}),
    "halvorn.data.funding_from_csv": funding_from_csv,
    "halvorn.data._native.read_funding": native_read_funding,
    "halvorn.data.Snapshot": snapshot(data.Snapshot),
    "halvorn.data.Update": update(data.Update),
    "halvorn.data.load_depth": lambda tmp: (data.load_depth, dict(path=depth_file(tmp)), {}),
    "halvorn.data.save_depth": save_depth(data.save_depth),
    "halvorn.data._native.save_depth": save_depth(_native.save_depth),
    "halvorn.data.read_depth": lambda tmp: (lambda **kw: list(data.read_depth(**kw)),
                                            dict(source=depth_file(tmp)), {}),
    "halvorn.data.depth_from_csv": depth_from_csv,
    "halvorn.data._native.convert_depth": lambda tmp: (_native.convert_depth, dict(
        dest=os.path.join(tmp, "n.hvdp"), sources=[io.BytesIO(DEPTH_ROWS)], layout=None,
        tick_size=text("0.1"), lot_size=text("0.001"), instrument=fresh(2), time_unit=None,
        round=False, progress=VandalProgress(armed=False), progress_bytes=fresh(64),
        symbol=text("BTCUSDT"), snapshots=[io.BytesIO(DEPTH_SNAPSHOTS)]), {
        "sources": lambda _: [ShrinkingFile(DEPTH_ROWS)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt, "progress_bytes": HostileInt,
        "snapshots": lambda _: [ShrinkingFile(DEPTH_SNAPSHOTS)]}),
    "halvorn.data.marks_from_csv": marks_from_csv,
    "halvorn.data._native.convert_marks": lambda tmp: (_native.convert_marks, dict(
        dest=os.path.join(tmp, "n.hvmk"), sources=[io.BytesIO(KLINES_CSV)], layout=None,
        premium=False, tick_size=text("0.1"), lot_size=text("0.001"), instrument=fresh(2),
        time_unit=None, round=False, progress=VandalProgress(armed=False),
        progress_bytes=fresh(64), symbol=text("BTCUSDT"), stale_after=fresh(60_000_000_000)), {
        "sources": lambda _: [ShrinkingFile(KLINES_CSV)], "progress": lambda _: VandalProgress(),
        "instrument": HostileInt, "progress_bytes": HostileInt, "stale_after": HostileInt}),
    "halvorn.data.save_marks": save_marks(data.save_marks),
    "halvorn.data._native.save_marks": save_marks(_native.save_marks),
    "halvorn.data.load_marks": lambda tmp: (data.load_marks, dict(path=mark_file(tmp)), {}),
    "halvorn.data.read_marks": lambda tmp: (lambda **kw: list(data.read_marks(**kw)),
                                            dict(source=mark_file(tmp)), {}),
    "halvorn.data.funding_of": lambda tmp: (data.funding_of, dict(source=mark_file(tmp)), {}),
    "halvorn.data._native.scale_texts": lambda tmp: (_native.scale_texts, dict(
        offsets=bytearray(b"".join(int.to_bytes(3 * i, 8, "little") for i in range(41))),
        data=bytearray(b"1.5" * 40), offset=fresh(0), length=fresh(40), step=text("0.1"),
        unit=text("ticks"), rounding=text("exact"), column=text("last"), place=text("p"),
        first_row=fresh(300)), int_args("offset", "length", "first_row")),
    "halvorn.data.from_parquet": from_parquet,
    "halvorn.data.from_arrow": from_arrow,
    "halvorn.data.from_capture": from_capture,
    "halvorn.data._native.convert_capture": native_convert_capture,
    "halvorn.data.from_arrays (float64 and a definition)": from_arrays_scaled,
    "halvorn.data._native.Writer (a definition)": lambda tmp: (_native.Writer, dict(
        dest=os.path.join(tmp, "w1.hvtk"), instrument=fresh(300), symbol=text("BTCUSDT"),
        tick_size=text("0.1"), lot_size=text("0.001")), int_args("instrument")),
    "halvorn.data._native.scale_floats": lambda tmp: (_native.scale_floats, dict(
        array=array.array("d", [float(str(60000.1))] * 40), step=text("0.1"),
        rounding=text("exact"), column=text("last"), place=text("p"), first_row=fresh(300),
        unit=text("ticks")), int_args("first_row")),
    "halvorn.data.instrument_of": lambda tmp: (data.instrument_of, dict(
        source=data.from_arrays(os.path.join(tmp, "i.hvtk"), [1, 2], [3, 4], tick_size="0.1",
                                lot_size="0.001", symbol="BTCUSDT")), {}),
}


def survey(function, file):
    """A survey of a file (or an inspection), its limits struck as they are read."""
    return lambda tmp: (function, dict(file(tmp), gap=fresh(60_000_000_000),
                                       stale_after=fresh(60_000_000_000),
                                       outside_bp=float(str(10.0))), {
        "gap": HostileInt, "stale_after": HostileInt, "outside_bp": HostileFloat})


RECIPES.update({
    "halvorn.data._native.survey_ticks": survey(_native.survey_ticks,
                                                lambda tmp: dict(path=tick_file(tmp))),
    "halvorn.data._native.survey_marks": survey(_native.survey_marks,
                                                lambda tmp: dict(path=mark_file(tmp))),
    "halvorn.data._native.survey_depth": survey(_native.survey_depth,
                                                lambda tmp: dict(path=depth_file(tmp))),
    "halvorn.data.inspect": survey(data.inspect,
                                   lambda tmp: dict(source=halvorn.load_ticks(tick_file(tmp)))),
})

# A strategy that returns the venue's order kinds and groups, struck while
# the run converts them and tells it how they ended.
RECIPES["halvorn.venue.run (order kinds)"] = lambda tmp: (
    venue.run, dict(strategy=VandalDesk(armed=False), ticks=ticks(), balance=fresh(100_000),
                    venue=venue.Venue(tier=venue.L1(order_latency=venue.Fixed(2),
                                                    cancel_latency=venue.Fixed(3)))),
    {"strategy": lambda _: VandalDesk(), "balance": HostileInt})

# Venue runs over recorded depth convert one more argument.
RECIPES["halvorn.venue.run (depth)"] = lambda tmp: (
    venue.run, dict(strategy=Vandal(armed=False), ticks=halvorn.load_ticks(tick_file(tmp)), balance=fresh(100_000),
                    venue=venue.Venue(tier=venue.L2()), depth=data.load_depth(depth_file(tmp))),
    {"strategy": lambda _: Vandal(), "balance": HostileInt})

# Portfolio runs convert a dict of ticks, a dict of venues and a dict of
# depth files, keyed by symbols that may run Python code when hashed or
# compared; the strategy reads every position and names its instruments.

BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")


class HostileSymbol(str, Strike):
    """A symbol whose hashing and comparing strike."""

    def __new__(cls, text):
        self = str.__new__(cls, text)
        Strike.__init__(self)
        return self

    def __hash__(self):
        self.strike()
        return str.__hash__(self)

    def __eq__(self, other):
        self.strike()
        return str.__eq__(self, other)


class VandalBasket(Vandal):
    """Trades both instruments of a basket, reading every position."""

    def decide(self, position):
        self.strike()
        self.calls += 1
        held = self.positions["ETHUSDT"].position
        return [venue.Order("sell" if held > 0 else "buy", 1, instrument=text("ETHUSDT")),
                halvorn.Order("sell" if position > 0 else "buy", 1)]


def basket_venues(l2=False):
    tier = venue.L2() if l2 else venue.L0()
    return {text("BTCUSDT"): venue.Venue(instrument=BTC, tier=tier, taker_fee=fresh(400_000)),
            text("ETHUSDT"): venue.Venue(instrument=ETH, tier=tier, taker_fee=fresh(500_000))}


def hostile_keys(given):
    return {HostileSymbol(str(k)): v for k, v in given.items()}


def basket_run(tmp):
    kwargs = dict(strategy=VandalBasket(armed=False),
                  ticks={text("BTCUSDT"): ticks(),
                         text("ETHUSDT"): data.from_arrays(
                             os.path.join(tmp, "eth.hvtk"), [fresh(1_005 + i) for i in range(40)],
                             [fresh(300_000 + i % 3) for i in range(40)], instrument=ETH)},
                  balance=fresh(100_000), venue=basket_venues(), batch=fresh(3),
                  equity_every=fresh(5), marks={text("ETHUSDT"): data.load_marks(mark_file(tmp))})
    return venue.run, kwargs, {"strategy": lambda _: VandalBasket(), "balance": HostileInt,
                               "ticks": hostile_keys, "venue": hostile_keys, "batch": HostileInt,
                               "marks": hostile_keys}


def basket_depth_run(tmp):
    books = {text("BTCUSDT"): data.load_depth(depth_file(tmp))}
    kwargs = dict(strategy=VandalBasket(armed=False), ticks={text("BTCUSDT"): ticks(),
                                                             text("ETHUSDT"): ticks()},
                  balance=fresh(100_000), venue=basket_venues(l2=True), depth=books)
    return venue.run, kwargs, {"strategy": lambda _: VandalBasket(), "depth": hostile_keys}


class VandalBasketBuild(Strike):
    def __call__(self, known):
        armed = not self.struck
        self.strike()
        return VandalBasket(armed=armed)


def basket_lookahead(tmp):
    kwargs = dict(build=VandalBasketBuild(armed=False),
                  ticks={text("BTCUSDT"): ticks(), text("ETHUSDT"): ticks()},
                  balance=fresh(100_000), venue=basket_venues(), max_points=fresh(5))
    return venue.lookahead_check, kwargs, {"build": lambda _: VandalBasketBuild(),
                                           "ticks": hostile_keys, "venue": hostile_keys}

# And over marks, checked against the venue and merged in by time.
RECIPES["halvorn.venue.run (marks)"] = lambda tmp: (
    venue.run, dict(strategy=Vandal(armed=False), ticks=halvorn.load_ticks(tick_file(tmp)),
                    balance=fresh(100_000), venue=venue.Venue(tier=venue.L1()),
                    marks=data.load_marks(mark_file(tmp))),
    {"strategy": lambda _: Vandal(), "balance": HostileInt})

# Slices of a tick file and a mark file: their times are converted when they
# are cut, and a run holds them as it holds the files they were cut from.
RECIPES["halvorn.venue.Instrument (inverse)"] = lambda tmp: (venue.Instrument, dict(
    symbol=text("BTCUSD_PERP"), tick_size=text("0.1"), lot_size=fresh(1), kind=text("inverse"),
    contract_value=fresh(100), settle=text("BTC")), int_args("lot_size", "contract_value"))
RECIPES["halvorn.data.between"] = lambda tmp: (data.between, dict(
    series=halvorn.load_ticks(tick_file(tmp)), start=fresh(1_005), end=fresh(1_030)),
    int_args("start", "end"))
RECIPES["halvorn.data._native.tick_slice"] = lambda tmp: (_native.tick_slice, dict(
    source=halvorn.load_ticks(tick_file(tmp)), start=fresh(1_005), end=fresh(1_030)),
    int_args("start", "end"))
RECIPES["halvorn.data._native.mark_slice"] = lambda tmp: (_native.mark_slice, dict(
    source=data.load_marks(mark_file(tmp)), start=fresh(1_005), end=fresh(1_030)),
    int_args("start", "end"))
RECIPES["halvorn.data._native.depth_slice"] = lambda tmp: (_native.depth_slice, dict(
    source=data.load_depth(depth_file(tmp)), start=fresh(1_005), end=fresh(1_030)),
    int_args("start", "end"))
RECIPES["halvorn.venue.run (depth slices)"] = lambda tmp: (venue.run, dict(
    strategy=Vandal(armed=False), balance=fresh(100_000), venue=venue.Venue(tier=venue.L2()),
    ticks=data.between(halvorn.load_ticks(tick_file(tmp)), fresh(1_005), fresh(1_030)),
    depth=data.between(data.load_depth(depth_file(tmp)), fresh(1_005), fresh(1_030))),
    {"strategy": lambda _: Vandal(), "balance": HostileInt})
RECIPES["halvorn.venue.run (slices)"] = lambda tmp: (venue.run, dict(
    strategy=Vandal(armed=False), balance=fresh(100_000),
    ticks=data.between(halvorn.load_ticks(tick_file(tmp)), fresh(1_005), fresh(1_030)),
    marks=data.between(data.load_marks(mark_file(tmp)), fresh(1_005), fresh(1_030))),
    {"strategy": lambda _: Vandal(), "balance": HostileInt})

RECIPES["halvorn.venue.run (portfolio)"] = basket_run
RECIPES["halvorn.venue.run (marks as columns)"] = marks_columns_run
RECIPES["halvorn.venue.Venue (funding as columns)"] = funding_columns_venue
RECIPES["halvorn.venue.run (portfolio depth)"] = basket_depth_run
RECIPES["halvorn.venue.lookahead_check (portfolio)"] = basket_lookahead



def wallets_run(tmp):
    """A linear and a coin-margined contract, a wallet each: the balance is a
    dict whose amounts may empty it while they are read."""
    coin = venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse", contract_value="100",
                            settle="BTC")
    tiers = (venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6, rate=fresh(5_000_000), amount=0),)
    venues = {text("BTCUSDT"): venue.Venue(instrument=BTC),
              text("BTCUSD_PERP"): venue.Venue(instrument=coin, margin_tiers=tiers)}
    kwargs = dict(strategy=Vandal(armed=False), ticks={text("BTCUSDT"): ticks(),
                                                       text("BTCUSD_PERP"): ticks()},
                  balance={text("USDT"): fresh(100_000), text("BTC"): text("0.5")},
                  venue=venues)
    return venue.run, kwargs, {"balance": lambda given: {k: HostileInt(int(v)) if k == "USDT"
                                                         else v for k, v in given.items()}}


RECIPES["halvorn.venue.run (wallets)"] = wallets_run

# Functions and classes with nothing a hostile object could hide in: no
# arguments, only str or path arguments (converted without running Python
# code), or not creatable from Python.
NOTHING_TO_CONVERT = {
    "halvorn.TickSource", "halvorn.Context", "halvorn.RunResult", "halvorn.ModeComparison",
    "halvorn.LookaheadReport", "halvorn.venue.L0", "halvorn.venue.CancelAll",
    "halvorn.venue.rate", "halvorn.venue.percent", "halvorn.venue.bps", "halvorn.venue.Fill",
    # str arguments and orders, whose classes alone are checked:
    "halvorn.venue.ClosePosition", "halvorn.venue.OneCancelsOther", "halvorn.venue.BracketOrder",
    "halvorn.venue.Fills", "halvorn.venue.Liquidation", "halvorn.venue.Closed",
    "halvorn.venue.MarginStats", "halvorn.venue.Run", "halvorn.venue.Run.fills_frame",
    "halvorn.venue.Run.equity_frame", "halvorn.venue.TickBatch",
    "halvorn.venue.Column", "halvorn.data.DepthSource", "halvorn.data._native.DepthSource",
    "halvorn.data._native.Writer.finish", "halvorn.data._native.Writer.abandon",
    "halvorn.data._native.load_depth", "halvorn.data._native.read_depth",
    "halvorn.data._native.read_instrument",
    "halvorn.data.MarkSource", "halvorn.data._native.MarkSource", "halvorn.data._native.load_marks",
    "halvorn.data._native.read_marks", "halvorn.data._native.mark_settlements",
    "halvorn.data.TickSlice", "halvorn.data._native.TickSlice", "halvorn.data.MarkSlice",
    "halvorn.data._native.MarkSlice", "halvorn.data.DepthSlice", "halvorn.data._native.DepthSlice",
    # a record of counts a conversion returns, made of what it already holds:
    "halvorn.data.Capture",
    "halvorn.data.Inspection",  # a record of what inspect found, converted by nothing
}


ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")

# Values given in an instrument's units: their own module, made of these helpers.
hostile_unit_recipes.add(sys.modules[__name__], RECIPES, NOTHING_TO_CONVERT)


# --- inverse contracts ----------------------------------------------------------------


def inverse(recipe):
    """`recipe` with an inverse contract's kind, value and coin: they are str
    arguments, read without running Python code, so the converter's own
    hostile arguments strike on the path that also reads and writes them."""
    def made(tmp):
        function, kwargs, hostile = recipe(tmp)
        kwargs.update(kind=text("inverse"), contract_value=text("100"), settle=text("BTC"))
        return function, kwargs, hostile
    return made


RECIPES.update({f"{name.split(' (')[0]} (inverse)": inverse(RECIPES[name]) for name in (
    "halvorn.data.from_csv", "halvorn.data._native.convert",
    "halvorn.data.from_arrays (float64 and a definition)",
    "halvorn.data._native.Writer (a definition)", "halvorn.data.depth_from_csv",
    "halvorn.data._native.convert_depth", "halvorn.data.marks_from_csv",
    "halvorn.data._native.convert_marks", "halvorn.data.from_capture",
    "halvorn.data._native.convert_capture", "halvorn.data.from_parquet",
    "halvorn.data.from_arrow")})
RECIPES["halvorn.data.read_definition"] = lambda tmp: (data.read_definition, dict(
    source=data.from_arrays(os.path.join(tmp, "r.hvtk"), [1, 2], [3, 4], tick_size="0.1",
                            lot_size="1", kind="inverse", contract_value="100", settle="BTC")), {})
# A definition read back is a tuple of what the file held, converted by nothing.
NOTHING_TO_CONVERT |= {"halvorn.data.Definition", "halvorn.data.Definition.contract"}


def main(qualname, tmp):
    """Makes every variant of one recipe.  The valid call must succeed, and
    every hostile argument must have been converted (it struck): a recipe
    that failed before reaching its hostile object would test nothing."""
    survived = 0
    for label, call in variants(RECIPES[qualname], tmp):
        before = Strike.strikes
        try:
            call()
        except Exception as e:
            if label == "valid":
                print(f"the valid call of {qualname} failed: {type(e).__name__}: {e}")
                sys.exit(2)
        gc.collect()
        if label != "valid" and Strike.strikes == before:
            print(f"the hostile {label} of {qualname} was never converted")
            sys.exit(3)
        survived += 1
    print("survived", survived)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
