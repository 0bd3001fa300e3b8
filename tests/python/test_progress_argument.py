"""The `progress` argument, read in one place for every call that takes one:
None or False show nothing, True a bar on standard error, a callable is told;
anything else is refused in the same words wherever it is given."""

import concurrent.futures as cf
import re
import sys

import pytest

import halvorn
from halvorn import _progress, data, sweep

TRADES = b"".join(b"%d,1.0,1,0,%d,true\n" % (i, 1700000000000 + i) for i in range(1, 500))
DEPTH = b"""symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty
X,1700000000000,0,100,100,b,snap,100.0,1
X,1700000000000,0,100,100,a,snap,100.1,2
X,1700000000002,0,101,102,a,set,100.2,5
"""


class Idle:
    def __init__(self, k):
        pass

    def on_tick(self, ctx):
        return None


def from_csv(tmp_path, progress):
    (tmp_path / "trades.csv").write_bytes(TRADES)
    with open(tmp_path / "trades.csv", "rb") as f:
        data.from_csv(tmp_path / "t.hvtk", f, tick_size="0.1", lot_size="1", progress=progress)


def depth_from_csv(tmp_path, progress):
    (tmp_path / "depth.csv").write_bytes(DEPTH)
    with open(tmp_path / "depth.csv", "rb") as f:
        data.depth_from_csv(tmp_path / "d.hvdp", f, tick_size="0.1", lot_size="1",
                            progress=progress)


def sweep_run(tmp_path, progress):
    ticks = [halvorn.Tick(t, 1_000) for t in range(1, 5)]
    with cf.ThreadPoolExecutor(1) as one:
        sweep.run(Idle, {"k": [1, 2]}, ticks, 1_000, equity_every=1, executor=one,
                  progress=progress)


CALLS = [from_csv, depth_from_csv, sweep_run]


@pytest.fixture
def plain(monkeypatch):
    """The bar as a plain line, whose text a test can read whole."""
    monkeypatch.setitem(sys.modules, "tqdm", None)


class TestReporter:
    """What halvorn._progress.reporter hands back, for callers in Python and C++."""

    @pytest.mark.parametrize("off", [None, False])
    def test_none_and_false_report_to_nothing(self, off):
        assert _progress.reporter(off, 10, "ticks") == (None, None)

    def test_a_callable_is_reported_to_as_it_is_with_no_bar(self):
        told = []
        report, bar = _progress.reporter(lambda *a: told.append(a), 10, "ticks")
        report(4, 10)
        assert bar is None and told == [(4, 10)]

    def test_true_is_a_bar_of_the_total_given_whatever_else_a_call_passes(self, plain, capsys):
        report, bar = _progress.reporter(True, 10, "widgets")
        report(3, 7)  # the second number is a count of rows, or the total again: not shown
        bar.close()
        shown = capsys.readouterr().err
        assert re.fullmatch(r"(\r3 of 10 widgets, [0-9,]+ widgets/s)+\n", shown), shown

    @pytest.mark.parametrize("wrong", [1, 0, "yes", 1.5, [print]])
    def test_anything_else_is_refused_naming_the_argument_and_the_type(self, wrong, capsys):
        with pytest.raises(TypeError) as info:
            _progress.reporter(wrong, 10, "ticks", arg="show")
        assert str(info.value) == (
            f"show must be None, True or a callable, got {type(wrong).__name__}")
        assert capsys.readouterr().err == ""


@pytest.mark.parametrize("call", CALLS)
def test_every_call_refuses_in_the_same_words_before_writing_anything(tmp_path, call):
    with pytest.raises(TypeError) as info:
        call(tmp_path, 3)
    assert str(info.value) == "progress must be None, True or a callable, got int"
    assert not any(p.suffix in (".hvtk", ".hvdp") for p in tmp_path.iterdir())


@pytest.mark.parametrize("call, rows", [(from_csv, TRADES), (depth_from_csv, DEPTH)],
                         ids=["from_csv", "depth_from_csv"])
def test_a_conversion_bar_counts_bytes_of_the_whole_input(tmp_path, plain, capsys, call, rows):
    """The converters tell (bytes, rows); the bar shows bytes against the size of
    the files, never the rows as a total."""
    call(tmp_path, True)
    shown = capsys.readouterr().err
    assert re.search(rf"\r{len(rows):,} of {len(rows):,} bytes, [0-9,]+ bytes/s\n$", shown), shown
