"""data.inspect: each hazard planted in a file is reported, and a clean file
reports none; the command line prints the same table."""

import pytest

import halvorn
from halvorn import data
from subprocess_run import run_python

T0 = 1_704_067_200_000_000_000
S = 1_000_000_000


def clean_ticks(n=600):
    """A trade a second inside a quote that moves every second, one clock."""
    out = []
    for i in range(n):
        bid = 420_000 + i % 7
        out.append(halvorn.Tick(T0 + i * S, bid + (i % 2), local_ts=T0 + i * S + 3_000_000,
                                bid=bid, ask=bid + 1, volume=i + 1))
    return out


def saved(tmp_path, ticks, name="a.hvtk"):
    path = str(tmp_path / name)
    halvorn.save_ticks(path, ticks)
    return path


class TestTickFiles:
    def test_a_clean_file_reports_no_hazard(self, tmp_path):
        found = data.inspect(halvorn.load_ticks(saved(tmp_path, clean_ticks())))
        assert (found.kind, found.hazards) == ("ticks", ())
        assert found.counts["ticks"] == 600 and found.counts["trades"] == 599
        assert "no hazards found" in str(found)

    @pytest.mark.parametrize("hazard, plant", [
        ("gaps over 1 min", lambda t: [x if i < 300 else halvorn.Tick(
            x.exch_ts + 3_600 * S, x.last, local_ts=x.local_ts + 3_600 * S, bid=x.bid, ask=x.ask,
            volume=x.volume) for i, x in enumerate(t)]),
        ("repeated records", lambda t: t[:300] + [t[299]] + t[300:]),
        ("quotes stale over 1 min", lambda t: [halvorn.Tick(
            x.exch_ts, x.last, local_ts=x.local_ts, bid=420_000, ask=420_002, volume=x.volume)
            for x in t]),
        ("outside the quote by over 10 bp", lambda t: t[:300] + [halvorn.Tick(
            t[300].exch_ts, 421_000, local_ts=t[300].local_ts, bid=t[300].bid, ask=t[300].ask,
            volume=t[300].volume)] + t[301:]),
        ("crossed quotes", lambda t: t[:300] + [halvorn.Tick(
            t[300].exch_ts, t[300].last, local_ts=t[300].local_ts, bid=t[300].ask + 5,
            ask=t[300].ask, volume=t[300].volume)] + t[301:]),
        ("no price", lambda t: t[:300] + [halvorn.Tick(t[300].exch_ts, 0, volume=t[300].volume)]
         + t[301:]),
        ("local clock behind", lambda t: [halvorn.Tick(
            x.exch_ts, x.last, local_ts=x.exch_ts - 1_270_000_000, bid=x.bid, ask=x.ask,
            volume=x.volume) for x in t]),
        ("local clock jumps", lambda t: [x if i != 300 else halvorn.Tick(
            x.exch_ts, x.last, local_ts=x.local_ts + 5 * S, bid=x.bid, ask=x.ask,
            volume=x.volume) for i, x in enumerate(t)]),
        ("price grid", lambda t: [halvorn.Tick(
            x.exch_ts, x.last * 10, local_ts=x.local_ts, bid=x.bid * 10, ask=x.ask * 10,
            volume=x.volume) for x in t]),
    ])
    def test_each_hazard_planted_is_reported(self, tmp_path, hazard, plant):
        found = data.inspect(saved(tmp_path, plant(clean_ticks())))
        assert found.hazards == (hazard,), str(found)
        assert f"! {hazard}" in str(found)

    def test_the_figures_behind_the_table(self, tmp_path):
        ticks = clean_ticks()
        ticks[400] = halvorn.Tick(ticks[400].exch_ts, 421_000, local_ts=ticks[400].exch_ts - S,
                                  bid=ticks[400].bid, ask=ticks[400].ask, volume=ticks[400].volume)
        c = data.inspect(saved(tmp_path, ticks)).counts
        assert (c["first"], c["last"], c["outside"]) == (T0, T0 + 599 * S, 1)
        assert c["farthest_bp"] == pytest.approx(10_000 * (421_000 - ticks[400].ask) / 421_000)
        ticks_n, low, median, high, behind, jumps, largest = c["clock"]
        assert (ticks_n, low, median, high, behind) == (600, -S, 3_000_000, 3_000_000, 1)
        assert (jumps, largest) == (2, S + 3_000_000)


class TestMarkAndDepthFiles:
    def test_settlements_at_an_old_mark_at_none_and_off_the_mark(self, tmp_path):
        marks = [(T0 + i * S, 420_000 + i, 0) for i in range(100)]
        settlements = [(T0 - S, 100, 420_000),             # before every mark
                       (T0 + 50 * S, 100, 420_050),         # at the mark then
                       (T0 + 99 * S + 3_600 * S, 100, 420_099),  # an hour after the last mark
                       (T0 + 99 * S + 7_200 * S, 100, 1)]   # at another price
        source = data.save_marks(tmp_path / "m.hvmk", marks, settlements=settlements)
        found = data.inspect(source)
        assert found.kind == "marks"
        assert found.hazards == ("settled at a mark over 1 min old", "settled with no mark before",
                                 "settled off the mark")
        c = found.counts
        assert (c["stale_settlements"], c["unmarked"], c["off_mark"], c["oldest_mark"]) == (
            2, 1, 1, 7_200 * S)
        clean = data.save_marks(tmp_path / "c.hvmk", marks, settlements=settlements[1:2])
        assert data.inspect(clean).hazards == ()

    def test_a_broken_update_sequence_and_a_crossed_book(self, tmp_path):
        snap = data.Snapshot(10, bids=[(99, 1)], asks=[(100, 1)], time_ns=T0)
        records = [snap, data.Update(11, 11, T0 + S, bids=[(98, 1)], asks=[]),
                   data.Update(14, 15, T0 + 2 * S, bids=[], asks=[]),       # 12 and 13 lost
                   data.Update(16, 16, T0 + 3 * S, bids=[], asks=[]),       # no book until a snapshot
                   data.Snapshot(20, bids=[(101, 1)], asks=[(100, 1)], time_ns=T0 + 4 * S)]
        found = data.inspect(data.save_depth(tmp_path / "d.hvdp", records))
        assert found.kind == "depth"
        assert found.hazards == ("sequence breaks", "updates without a book", "crossed snapshots")
        assert (found.counts["breaks"], found.counts["unbooked"]) == (1, 2)
        assert data.inspect(data.save_depth(tmp_path / "e.hvdp", records[:2])).hazards == ()


def test_the_command_line_prints_each_table_and_says_which_files_it_could_not_read(tmp_path):
    good = saved(tmp_path, clean_ticks())
    (tmp_path / "bad.hvtk").write_bytes(b"HVTK")
    done = run_python(f"""
        import sys
        from halvorn.data.__main__ import main
        sys.exit(main(["inspect", {good!r}, {str(tmp_path / 'bad.hvtk')!r}]))
    """)
    assert done.returncode == 1
    assert done.stdout == str(data.inspect(good)) + "\n"
    assert done.stderr == ("python -m halvorn.data: error: "
                           f"{tmp_path / 'bad.hvtk'}: truncated: needed 32 bytes, 0 available\n")
