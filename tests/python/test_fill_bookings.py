"""Fills that can be audited: the tick each was booked on, and what it did
to the position, which the order's offset does not say."""

import pytest

import halvorn
from halvorn import venue

numpy = pytest.importorskip("numpy")


def ticks(n, last=1_000):
    return [halvorn.Tick(exch_ts=10 * i, last=last, bid=last - 1, ask=last + 1) for i in range(n)]


class Script:
    def __init__(self, script):
        self.script, self.calls = script, 0

    def on_tick(self, ctx):
        self.calls += 1
        return self.script.get(self.calls - 1)


def effects(run):
    codes = numpy.asarray(run.fills)["effect"].tolist()
    return [("open", "reduce", "close", "reverse")[c] for c in codes]


class TestEffect:
    def test_net_mode_opens_adds_reduces_reverses_and_closes(self):
        s = Script({0: [halvorn.Order("buy", 2)], 1: [halvorn.Order("buy", 1)],
                    2: [halvorn.Order("sell", 1)], 3: [halvorn.Order("sell", 4)],
                    4: [halvorn.Order("buy", 2)]})
        run = venue.run(s, ticks(6), 1_000)
        assert [(f.side, f.qty) for f in run.fills] == [("buy", 2), ("buy", 1), ("sell", 1),
                                                         ("sell", 4), ("buy", 2)]
        assert effects(run) == ["open", "open", "reduce", "reverse", "close"]
        # The order's offset says how it was sent, not what it did.
        assert [f.offset for f in run.fills] == ["open"] * 5

    def test_hedge_mode_judges_the_leg_each_fill_moves(self):
        s = Script({0: [halvorn.Order("buy", 2), halvorn.Order("sell", 1)],
                    1: [halvorn.Order("sell", 1, "close")],
                    2: [halvorn.Order("sell", 5, "close"), halvorn.Order("buy", 1, "close")]})
        run = venue.run(s, ticks(4), 1_000, venue=venue.Venue(hedge=True))
        # The second close of the long is clamped to the one lot left.
        assert [(f.side, f.offset, f.qty) for f in run.fills] == [
            ("buy", "open", 2), ("sell", "open", 1), ("sell", "close", 1), ("buy", "close", 1),
            ("sell", "close", 1)]
        assert effects(run) == ["open", "open", "reduce", "close", "close"]

    def test_the_fills_frame_shows_the_effect_and_the_tick(self):
        pytest.importorskip("pandas")
        s = Script({0: [halvorn.Order("buy", 2)], 2: [halvorn.Order("sell", 2)]})
        run = venue.run(s, ticks(4), 1_000,
                        venue=venue.Venue(instrument=venue.Instrument("BTCUSDT", "0.1", "0.001")))
        frame = run.fills_frame()
        assert frame["effect"].tolist() == ["open", "close"]
        assert frame["offset"].tolist() == ["open", "open"]
        assert frame["tick"].tolist() == [1, 3]


class TestTick:
    def test_a_fill_carries_the_index_of_the_tick_that_booked_it(self):
        # A market order fills on the tick after it is sent, a resting limit
        # crossed by the move on the tick that crossed it (stamped with the
        # time of the one before).
        series = ticks(3) + [halvorn.Tick(exch_ts=30, last=990, bid=989, ask=991, low=980)]
        s = Script({0: [halvorn.Order("buy", 1)], 1: [halvorn.Order("buy", 1, price=995)]})
        run = venue.run(s, series, 1_000)
        assert [(f.order, f.tick, f.exch_ts) for f in run.fills] == [(1, 1, 10), (2, 3, 20)]
        assert numpy.asarray(run.fills)["tick"].tolist() == [1, 3]

    def test_late_reports_carry_the_tick_that_reported_them_or_the_end(self):
        l1 = venue.Venue(tier=venue.L1(report_latency=venue.Fixed(15)))
        s = Script({0: [halvorn.Order("buy", 1)], 3: [halvorn.Order("sell", 1)]})
        run = venue.run(s, ticks(5), 1_000, venue=l1)
        # Executed on ticks 1 and 4, reported 15 ns later: on tick 3, and
        # after the last tick (index 5, one past it).
        assert [(f.exch_ts, f.tick) for f in run.fills] == [(10, 3), (40, 5)]

    def test_the_hook_hears_the_same_tick(self):
        class Hears(Script):
            def __init__(self, script):
                super().__init__(script)
                self.heard = []

            def on_fill(self, fill):
                self.heard.append(fill.tick)

        s = Hears({0: [halvorn.Order("buy", 1)], 2: [halvorn.Order("sell", 1)]})
        run = venue.run(s, ticks(5), 1_000)
        assert s.heard == [f.tick for f in run.fills] == [1, 3]
        f = run.fills[0]
        assert eval(repr(f), {"Fill": venue.Fill}) == f
