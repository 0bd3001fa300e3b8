"""Runs priced at the venue's mark: a wick in the last trade that the mark
does not follow liquidates nothing, a fall of the mark liquidates at the
mark, funding without a price settles at the mark, and without marks every
result is what it was."""

import pytest

import halvorn
from halvorn import data, venue

SCALE = halvorn.CASH_SCALE


class BuyOnce:
    """Buys 100 lots on the first tick; hears its liquidations."""

    def __init__(self):
        self.calls = 0
        self.closed = []

    def on_tick(self, ctx):
        self.calls += 1
        return [halvorn.Order("buy", 100)] if self.calls == 1 else None

    def on_liquidation(self, closed):
        self.closed.append(closed)


# 100 lots bought at 600_000 with 1_000 USDT: a last trade of 502_008 is
# where maintenance takes the account (the worked liquidation example).
TICKS = [halvorn.Tick(1, 600_000, bid=599_999, ask=600_000),
         halvorn.Tick(2, 600_000, bid=599_999, ask=600_000),
         halvorn.Tick(3, 502_008),          # a wick of the last trade
         halvorn.Tick(6, 590_000),
         halvorn.Tick(8, 520_000)]


def marks_file(tmp_path, points, instrument=1, premium=False):
    return data.save_marks(str(tmp_path / "marks.hvmk"), [(t, p, 0) for t, p in points],
                           instrument=instrument, premium=premium)


class TestMarks:
    def test_a_wick_the_mark_does_not_follow_liquidates_nothing(self, tmp_path):
        marks = marks_file(tmp_path, [(2, 590_000), (5, 591_000)])
        without = venue.run(BuyOnce(), TICKS, 1_000)
        assert [(l.at, l.price) for l in without.liquidations] == [(3, 502_008)]
        strategy = BuyOnce()
        run = venue.run(strategy, TICKS, 1_000, marks=marks, equity_every=1)
        assert run.liquidations == ()
        # Valued at the mark of 590_000 through the wick, 591_000 after 5.
        assert run.equity_curve[3] == 1_000 * SCALE - 10_000 * 100 * 10_000
        assert run.final_equity == 1_000 * SCALE - 9_000 * 100 * 10_000

    def test_the_mark_falling_through_maintenance_liquidates_at_the_mark(self, tmp_path):
        marks = marks_file(tmp_path, [(2, 590_000), (7, 501_500)])
        strategy = BuyOnce()
        run = venue.run(strategy, TICKS, 1_000, marks=marks)
        assert [(l.at, l.price) for l in run.liquidations] == [(7, 501_500)]
        assert [(c.lots, c.price, c.at) for c in strategy.closed] == [(100, 501_500, 7)]
        assert run.final_equity == 0

    def test_funding_without_a_price_settles_at_the_mark(self, tmp_path):
        marks = marks_file(tmp_path, [(2, 590_000)])
        v = venue.Venue(funding=[venue.FundingRate(time=4, rate=venue.rate("0.0001"), price=0)])
        run = venue.run(BuyOnce(), TICKS[:2] + [halvorn.Tick(5, 590_000)], 1_000, venue=v,
                        marks=marks)
        # 0.01 % of 100 lots at 590_000 ticks of contract size 10_000.
        assert run.funding_paid == -59_000_000
        # Without marks it settles at the last trade.
        plain = venue.run(BuyOnce(), TICKS[:2] + [halvorn.Tick(5, 590_000)], 1_000, venue=v)
        assert plain.funding_paid == -60_000_000

    def test_marks_that_do_not_belong_are_refused(self, tmp_path):
        with pytest.raises(ValueError, match="instrument 2, and the venue trades instrument 1"):
            venue.run(BuyOnce(), TICKS, 1_000,
                      marks=marks_file(tmp_path, [(2, 590_000)], instrument=2))
        premium = data.save_marks(str(tmp_path / "premium.hvmk"), [(2, 100, 0)], premium=True)
        with pytest.raises(ValueError, match="premium index"):
            venue.run(BuyOnce(), TICKS, 1_000, marks=premium)
        with pytest.raises(TypeError):
            venue.run(BuyOnce(), TICKS, 1_000, marks=[(2, 590_000)])

    def test_compare_modes_reads_the_marks_in_both_runs(self, tmp_path):
        marks = marks_file(tmp_path, [(2, 590_000), (7, 501_500)])

        class Both(BuyOnce):
            def on_batch(self, ticks):
                self.calls += 1
                return [halvorn.Order("buy", 100)] if self.calls == 1 else None

        comparison = venue.compare_modes(Both, TICKS, 1_000, 1, marks=marks)
        assert comparison.identical


def test_columns_between_marks_take_the_bulk_path_and_give_the_per_tick_run(tmp_path):
    """A columnar strategy that trades once, then only collects: its ticks go
    to the account in bulk between marks, and the run is the per-tick one's."""
    np = pytest.importorskip("numpy")

    class Once:
        """Buys on the 4_096th tick, as a columnar strategy at batch 4_096
        decides on it, then only collects."""

        def __init__(self):
            self.seen = 0

        def on_columns(self, batch):
            self.seen += len(batch)
            return [halvorn.Order("buy", 3)] if self.seen == 4_096 else None

        def on_tick(self, ctx):
            self.seen += 1
            return [halvorn.Order("buy", 3)] if self.seen == 4_096 else None

    n = 20_000
    rng = np.random.default_rng(4)
    last = 600_000 + np.cumsum(rng.integers(-40, 41, n))
    ticks = [halvorn.Tick(i * 1_000, int(p), bid=int(p) - 1, ask=int(p) + 1)
             for i, p in enumerate(last)]
    marks = marks_file(tmp_path, [(i * 1_000 + 500, int(last[i]) - 7) for i in range(0, n, 50)])
    per_tick = venue.run(Once(), ticks, 1_000, marks=marks, equity_every=10)
    columns = venue.run(Once(), ticks, 1_000, marks=marks, equity_every=10, batch=4_096)
    assert columns.equity_curve == per_tick.equity_curve
    assert columns.final_equity == per_tick.final_equity
    assert len(per_tick.fills) == 1
