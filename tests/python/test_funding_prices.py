"""The price a funding settlement is paid and tested at: the mark in force
at its own time, the mark rather than the rate's own price on a marked
account, and the same test in a portfolio as in a run of one, so that an
instrument that never trades changes nothing."""

import halvorn
from halvorn import data, venue

SCALE = halvorn.CASH_SCALE
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")          # contract size 10_000
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")


class BuyOnce:
    def __init__(self, lots=100):
        self.lots, self.calls = lots, 0

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls == 1 and ctx.tick.exch_ts == 0:
            return [venue.Order("buy", self.lots, instrument="BTCUSDT")]
        return None


def btc_ticks(*times, price=600_000):
    return [halvorn.Tick(t, price, bid=price - 1, ask=price) for t in times]


def rate(time, price=0):
    return venue.FundingRate(time=time, rate=venue.rate("0.01"), price=price)


class TestMarkInForce:
    def test_a_settlement_without_a_price_is_paid_at_the_mark_of_its_own_time(self, tmp_path):
        # Marks at 12 (600_000) and 18 (500_000) both fall before the tick at
        # 20; the settlement at 15 is paid at the first.
        marks = data.save_marks(str(tmp_path / "m.hvmk"), [(12, 600_000, 0), (18, 500_000, 0)])
        v = venue.Venue(instrument=BTC, funding=[rate(15)], enforce_margin=False)
        run = venue.run(BuyOnce(), btc_ticks(0, 10, 20, 30), 10_000, venue=v, marks=marks)
        # 1 % of 100 lots x 600_000 ticks x 10_000: a long pays.
        assert run.funding_paid == -600_000 * 100 * 10_000 // 100

    def test_marks_at_the_settlements_time_are_in_force_and_later_ones_are_not(self, tmp_path):
        marks = data.save_marks(str(tmp_path / "m.hvmk"),
                                [(12, 600_000, 0), (15, 550_000, 0), (16, 500_000, 0)])
        v = venue.Venue(instrument=BTC, funding=[rate(15)], enforce_margin=False)
        run = venue.run(BuyOnce(), btc_ticks(0, 10, 20), 10_000, venue=v, marks=marks)
        assert run.funding_paid == -550_000 * 100 * 10_000 // 100


class TestTestedAtTheMark:
    def test_a_settlement_with_its_own_price_is_tested_at_the_mark(self, tmp_path):
        # 100 lots at 600_000 on 1_000 USDT: at 502_008 maintenance takes the
        # account, at the mark of 590_000 it does not.  The rate names 502_000.
        marks = data.save_marks(str(tmp_path / "m.hvmk"), [(5, 590_000, 0)])
        v = venue.Venue(instrument=BTC, funding=[venue.FundingRate(time=15, rate=0,
                                                                   price=502_000)])
        run = venue.run(BuyOnce(), btc_ticks(0, 10, 20, 30), 1_000, venue=v, marks=marks)
        assert run.liquidations == ()
        unmarked = venue.run(BuyOnce(), btc_ticks(0, 10, 20, 30), 1_000, venue=v)
        assert [(l.at, l.price) for l in unmarked.liquidations] == [(15, 502_000)]


class TestFlatInstrumentChangesNothing:
    """A settlement whose own price breaches maintenance liquidates a run of
    one; the same account with a flat ETH beside it is liquidated alike."""

    RATE = venue.FundingRate(time=15, rate=0, price=502_000)

    def single(self):
        v = venue.Venue(instrument=BTC, funding=[self.RATE])
        return venue.run(BuyOnce(), {"BTCUSDT": btc_ticks(0, 10, 20, 30)}, 1_000, venue=v)

    def portfolio(self, marks=None):
        venues = {"BTCUSDT": venue.Venue(instrument=BTC, funding=[self.RATE]),
                  "ETHUSDT": venue.Venue(instrument=ETH)}
        eth = [halvorn.Tick(t, 300_000, bid=299_999, ask=300_001) for t in (1, 11, 21, 31)]
        return venue.run(BuyOnce(), {"BTCUSDT": btc_ticks(0, 10, 20, 30), "ETHUSDT": eth},
                         1_000, venue=venues, marks=marks)

    def test_the_portfolio_is_liquidated_where_the_run_of_one_is(self):
        single, both = self.single(), self.portfolio()
        assert [(l.at, l.price) for l in single.liquidations] == [(15, 502_000)]
        assert [(l.at, l.price, l.instrument) for l in both.liquidations] == [(15, 502_000, 1)]
        assert both.final_equity == single.final_equity == 0

    def test_a_marked_instrument_of_a_portfolio_is_tested_at_its_mark(self, tmp_path):
        marks = {"BTCUSDT": data.save_marks(str(tmp_path / "btc.hvmk"), [(5, 590_000, 0)],
                                            instrument=1)}
        assert self.portfolio(marks).liquidations == ()
