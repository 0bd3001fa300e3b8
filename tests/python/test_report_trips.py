"""halvorn.report.round_trips and the offsets of report.fills_frame: trips
worked out by hand (a partial close, a reversal, a position still open, a
liquidation, tags), and agreement with the engine's own books on random
runs (realised profit, fees, funding, the position after every fill)."""

import decimal
import random
from dataclasses import dataclass, field

import pytest

import halvorn
from halvorn import report, venue

numpy = pytest.importorskip("numpy")
pytest.importorskip("pandas", reason="pandas is halvorn[report]")

SECOND = 10**9
START = 1_704_067_200 * SECOND  # 2024-01-01 00:00:00 UTC
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")  # contract size 10_000 cash
D = decimal.Decimal


def records(rows):
    """Fill records as a run exports them, from (seconds, order, side, offset,
    price, qty, fee) rows."""
    probe = venue.run(Idle(), [halvorn.Tick(exch_ts=0, last=1, bid=1, ask=1)], 1)
    array = numpy.zeros(len(rows), dtype=numpy.asarray(probe.fills).dtype)
    for i, (at, order, side, offset, price, qty, fee) in enumerate(rows):
        array[i] = (START + at * SECOND, START + at * SECOND, order, i + 1, price, qty, fee,
                    ("buy", "sell").index(side), ("open", "close").index(offset), True, 0, 1, i)
    return array


@dataclass
class Liquidation:
    at: int
    price: int


@dataclass
class StandIn:
    """What the report reads of a venue run, with fills and fees chosen by hand."""

    fills: object
    funding_paid: int = 0
    instrument: object = BTC
    liquidations: tuple = ()
    order_tags: dict = field(default_factory=dict)
    strategy: str = "Hand"
    ticks: int = 0
    fees_paid: int = 0
    equity_curve: list = field(default_factory=list)
    equity_times: list = field(default_factory=list)
    exposed_ticks: int | None = None


class Idle:
    def on_tick(self, ctx):
        return None


def last_tick(seconds, price):
    return [halvorn.Tick(exch_ts=START, last=price, bid=price, ask=price),
            halvorn.Tick(exch_ts=START + seconds * SECOND, last=price, bid=price, ask=price)]


# A long scaled out in two fills, the second of which reverses it into a
# short; the short covered; a long still open at the end (t = 60 s).
WORKED = [
    (10, 1, "buy", "open", 1_000, 5, 10),
    (20, 2, "sell", "open", 1_010, 2, 4),    # closes 2 of 5
    (30, 3, "sell", "open", 1_020, 7, 14),   # closes 3, opens a short of 4
    (40, 4, "buy", "open", 1_000, 4, 8),     # covers the short
    (50, 5, "buy", "open", 990, 3, 6),       # still open at the end
]


class TestWorkedByHand:
    def run(self, **extra):
        extra.setdefault("order_tags", {1: "entry", 3: "reverse", 4: "cover"})
        return StandIn(fills=records(WORKED), funding_paid=-1_000, **extra)

    def test_trips_in_units(self):
        trips = report.round_trips(self.run(), ticks=last_tick(60, 1_005))
        assert trips["side"].tolist() == ["long", "short", "long"]
        assert [t.value for t in trips["entry_time"]] == [START + s * SECOND for s in (10, 30, 50)]
        assert [t.value for t in trips["exit_time"][:2]] == [START + 30 * SECOND,
                                                             START + 40 * SECOND]
        assert trips["exit_time"].isna().tolist() == [False, False, True]
        # Long: 5 at 100.0; out at 2 x 101.0 + 3 x 102.0 = 101.6 on average.
        # Short: 4 at 102.0, covered at 100.0.  Open long: 3 at 99.0, valued
        # at the last price, 100.5.
        assert trips["entry_price"].tolist() == [D("100"), D("102"), D("99")]
        assert trips["exit_price"].tolist() == [D("101.6"), D("100"), D("100.5")]
        assert trips["qty"].tolist() == [D("0.005"), D("0.004"), D("0.003")]
        # A tick of 0.1 USDT on a lot of 0.001 BTC is 0.0001 USDT: 80, 80 and
        # 45 tick-lots.
        assert trips["gross"].tolist() == [D("0.008"), D("0.008"), D("0.0045")]
        # The reversing fill's fee of 14 splits 3:4 into 6 and 8.
        assert trips["fees"].tolist() == [D("20e-8"), D("16e-8"), D("6e-8")]
        # Held: 5 lots x 10 s + 3 x 10 s = 80, 4 x 10 = 40, 3 x 10 = 30 of
        # 150 lot-seconds; 1_000 paid shares as 533.3, 266.7 and 200, and the
        # unit truncation leaves goes to the largest remainder.
        assert trips["funding"].tolist() == [D("-533e-8"), D("-267e-8"), D("-200e-8")]
        assert trips["net"].tolist() == [D("0.008") - D("553e-8"), D("0.008") - D("283e-8"),
                                         D("0.0045") - D("206e-8")]
        assert trips["open"].tolist() == [False, False, True]
        assert [d.total_seconds() for d in trips["duration"]] == [20, 10, 10]
        assert trips["tag"].tolist() == ["entry", "reverse", None]
        assert trips["exit_tag"].tolist() == ["reverse", "cover", None]
        assert trips["return"][0] == pytest.approx((800_000 - 553) / (5_000 * 10_000))
        assert trips.attrs["units"] == {"price": "USDT", "qty": "BTC", "money": "USDT"}

    def test_without_the_last_price_an_open_trip_is_not_valued(self):
        trips = report.round_trips(self.run(), units="float")
        assert trips["gross"].tolist()[:2] == [0.008, 0.008]
        assert trips[["exit_price", "gross", "net", "return"]].iloc[2].isna().all()
        assert trips["entry_price"].tolist() == [100.0, 102.0, 99.0]
        # Held until the last fill, so the open trip held nothing and funding
        # shares 80:40.
        assert trips["funding"].sum() == pytest.approx(-1e-5)

    def test_without_an_instrument_counts_stay_ticks_and_lots(self):
        trips = report.round_trips(self.run(instrument=None), ticks=last_tick(60, 1_005))
        assert trips["entry_price"].tolist() == [D(1000), D(1020), D(990)]
        assert trips["qty"].tolist() == [5, 4, 3]
        assert trips["gross"].tolist() == [D("0.008"), D("0.008"), D("0.0045")]
        assert trips.attrs["units"]["price"] == "ticks"

    def test_the_fills_say_what_they_did_to_the_position(self):
        fills = report.fills_frame(self.run())
        assert fills["offset"].tolist() == ["open", "close", "close+open", "close", "open"]
        assert fills["price"].tolist() == [D("100"), D("101"), D("102"), D("100"), D("99")]
        assert fills["fee"].tolist()[2] == D("14e-8")

    def test_without_tags_there_is_no_tag_column(self):
        assert "tag" not in report.round_trips(self.run(order_tags={})).columns


def test_a_liquidation_closes_the_trip_at_its_price():
    run = StandIn(fills=records([(10, 1, "buy", "open", 1_000, 5, 0),
                                 (20, 2, "sell", "open", 990, 2, 0)]),
                  liquidations=(Liquidation(START + 30 * SECOND, 950),))
    trips = report.round_trips(run, units="float")
    assert trips[["open", "liquidated"]].values.tolist() == [[False, True]]
    assert trips["exit_price"][0] == pytest.approx((2 * 99.0 + 3 * 95.0) / 5)
    assert trips["gross"][0] == pytest.approx(-(2 * 10 + 3 * 50) * 1e-4)


def test_a_liquidation_comes_after_the_fills_of_its_own_tick():
    # The buy is booked on the tick whose margin check then liquidates: the
    # trip it opened is the one the liquidation closes.
    run = StandIn(fills=records([(10, 1, "buy", "open", 1_000, 5, 0)]),
                  liquidations=(Liquidation(START + 10 * SECOND, 900),))
    trips = report.round_trips(run, units="float")
    assert trips[["open", "liquidated"]].values.tolist() == [[False, True]]
    assert trips["gross"][0] == pytest.approx(-5 * 100 * 1e-4)


def test_a_real_liquidation_books_what_the_engine_books():
    class Leveraged:
        def __init__(self):
            self.calls = 0

        def on_tick(self, ctx):
            self.calls += 1
            return {1: [halvorn.Order("buy", 5_000)], 2: [halvorn.Order("sell", 1_000)]}.get(
                self.calls)

    ticks = [halvorn.Tick(exch_ts=i * SECOND, last=1_000 - 10 * i, bid=999 - 10 * i,
                          ask=1_001 - 10 * i) for i in range(30)]
    run = venue.run(Leveraged(), ticks, 10)
    assert len(run.liquidations) == 1
    trips = report.round_trips(run)
    assert trips["liquidated"].tolist() == [True]
    assert trips["gross"].sum() * halvorn.CASH_SCALE == run.realized


class TestHedgeMode:
    PLAN = {1: [halvorn.Order("buy", 5)], 2: [halvorn.Order("sell", 3)],
            4: [halvorn.Order("sell", 5, "close")], 6: [halvorn.Order("buy", 3, "close")]}

    class Scripted:
        def __init__(self, plan):
            self.plan, self.calls = plan, 0

        def on_tick(self, ctx):
            self.calls += 1
            return self.plan.get(self.calls)

    def test_each_leg_is_a_trip_of_its_own(self):
        ticks = [halvorn.Tick(exch_ts=i * SECOND, last=1_000 + i, bid=999 + i, ask=1_001 + i)
                 for i in range(10)]
        hedge = venue.Venue(hedge=True)
        run = venue.run(self.Scripted(self.PLAN), ticks, 1_000, venue=hedge)
        trips = report.round_trips(run, venue=hedge)
        assert trips["side"].tolist() == ["long", "short"]
        assert trips["qty"].tolist() == [5, 3] and not trips["open"].any()
        assert trips["gross"].sum() * halvorn.CASH_SCALE == run.realized
        assert report.fills_frame(run, venue=hedge)["offset"].tolist() == [
            "open", "open", "close", "close"]
        # Read as one net position, the same fills are other trips: the short
        # opens only when the long is sold out.
        assert report.fills_frame(run)["offset"].tolist() == [
            "open", "close", "close+open", "close"]
        assert report.round_trips(run)["entry_time"][1] > trips["entry_time"][1]

    def test_fills_that_cannot_be_hedge_mode_are_refused(self):
        run = StandIn(fills=records([(10, 1, "buy", "close", 1_000, 3, 0)]))
        with pytest.raises(ValueError, match="was the run made in hedge mode"):
            report.round_trips(run, venue=venue.Venue(hedge=True))


class Random:
    """Adds to, cuts, closes or reverses its position at random now and then,
    goes flat for the last ticks, and notes the position it was told on every
    tick."""

    def __init__(self, seed, ticks):
        self.random = random.Random(seed)
        self.left = ticks
        self.seen = []

    def on_tick(self, ctx):
        self.seen.append((ctx.tick.exch_ts, ctx.position))
        self.left -= 1
        position = ctx.position
        if self.left < 5:
            choice = "flat" if position else None
        elif self.random.random() < 0.3:
            choice = self.random.choice(("add", "add", "flat", "reverse"))
        else:
            choice = None
        if choice is None or (choice != "add" and not position):
            return None
        if choice == "add":
            size = self.random.choice((-1, 1)) * self.random.randint(1, 9)
        elif choice == "flat":
            size = -position
        else:
            size = -position - (1 if position > 0 else -1) * self.random.randint(1, 9)
        return [halvorn.Order("buy" if size > 0 else "sell", abs(size))]


# Coin-margined: each fill's value in the coin is not a whole number of cash
# units at these prices, so the trips must round it as the account does.
BTCUSD = venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse", contract_value="100",
                          settle="BTC")
COIN_TIERS = (venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6, rate=venue.percent("0.4"),
                            amount=0),)


@pytest.mark.parametrize("instrument", [BTC, BTCUSD], ids=["linear", "inverse"])
@pytest.mark.parametrize("seed", range(4))
def test_the_trips_agree_with_the_engine(seed, instrument):
    ticks = [halvorn.Tick(exch_ts=START + i * SECOND, last=1_000 + (i * 37 + seed) % 23,
                          bid=999 + (i * 37 + seed) % 23, ask=1_001 + (i * 37 + seed) % 23)
             for i in range(400)]
    # An inverse venue's brackets are amounts of its coin, given.
    tiers = {"margin_tiers": COIN_TIERS} if instrument.kind == "inverse" else {}
    v = venue.Venue(taker_fee=venue.rate("0.0005"), instrument=instrument, **tiers,
                    funding=[venue.FundingRate(time=START + s * SECOND, rate=venue.rate("0.001"),
                                               price=1_010) for s in (100, 200, 300)])
    strategy = Random(seed, len(ticks))
    run = venue.run(strategy, ticks, 1_000, venue=v)
    trips = report.round_trips(run, ticks=ticks)
    assert len(trips) > 10
    assert (trips["fees"].sum() * halvorn.CASH_SCALE, trips["funding"].sum() * halvorn.CASH_SCALE
            ) == (run.fees_paid, run.funding_paid)
    # What the closed trips made is what the engine realised, to the cash
    # unit, whenever the account ends flat.
    assert not trips["open"].any()
    assert trips["gross"].sum() * halvorn.CASH_SCALE == run.realized
    # The position the walk finds after the fills of a tick is the one the
    # strategy was told on that tick (fills are booked before on_tick).
    from halvorn._round_trips import walk

    walked = walk(run)
    told = dict(strategy.seen)
    assert dict(zip(walked.times, walked.positions)).items() <= {
        at: told[at] for at in walked.times}.items()
    fills = report.fills_frame(run, units="float")
    lots = fills["qty"] / float(instrument.lot_size)
    signed = numpy.where(fills["side"] == "buy", 1, -1) * numpy.rint(lots)
    # Each fill that crosses zero is a close and an open.
    before = numpy.concatenate([[0], numpy.cumsum(signed)[:-1]])
    crosses = (before * (before + signed) < 0)
    assert ((fills["offset"] == "close+open") == crosses).all()


def test_a_run_result_has_no_trips():
    run = halvorn.run_backtest(Idle(), last_tick(1, 1_000), 1)
    with pytest.raises(TypeError, match="needs the fills of a halvorn.venue.Run"):
        report.round_trips(run)
    with pytest.raises(ValueError, match="units must be"):
        report.round_trips(StandIn(fills=records(WORKED)), units="ticks")
    with pytest.raises(TypeError, match="venue must be"):
        report.round_trips(StandIn(fills=records(WORKED)), venue=True)


def test_funding_shares_add_up_exactly():
    from halvorn._round_trips import share_funding

    for total in (-1_000, 7, 999_999_999_999):
        for weights in ([1, 1, 1], [3, 0, 5, 11], [10**18, 1]):
            shares = share_funding(total, weights)
            assert sum(shares) == total
            assert all(abs(s - total * w / sum(weights)) < 1 + 1e-6 * abs(total)
                       for s, w in zip(shares, weights))
    assert share_funding(500, [0, 0]) == [0, 0]


def test_what_truncation_leaves_of_funding_goes_to_the_earliest_trip_on_ties():
    from halvorn._round_trips import share_funding

    assert share_funding(3, [1, 1]) == [2, 1]
    assert share_funding(-3, [1, 1]) == [-2, -1]
    assert share_funding(5, [1, 1, 1, 1]) == [2, 1, 1, 1]
    # Through a run: two trips held alike share an odd total, the first one more.
    run = StandIn(fills=records([(0, 1, "buy", "open", 1_000, 1, 0),
                                 (10, 2, "sell", "close", 1_000, 1, 0),
                                 (20, 3, "buy", "open", 1_000, 1, 0),
                                 (30, 4, "sell", "close", 1_000, 1, 0)]), funding_paid=-3)
    assert report.round_trips(run)["funding"].tolist() == [D("-2e-8"), D("-1e-8")]


def test_an_inverse_run_shows_its_money_in_its_coin_to_the_unit():
    """The page's tables name the coin and keep every unit of it, where USDT
    is shown to the cent."""
    from halvorn import _report_tables

    # An order fills on the tick after the one it was placed on.
    prices = [500_000, 500_000, 550_000, 550_000]
    ticks = [halvorn.Tick(exch_ts=START + i * SECOND, last=p, bid=p, ask=p)
             for i, p in enumerate(prices)]

    class InAndOut:
        def on_tick(self, ctx):
            if ctx.tick.exch_ts == START:
                return [halvorn.Order("buy", 1_000)]
            if ctx.position and ctx.tick.last == 550_000:
                return [halvorn.Order("sell", 1_000)]
            return None

    v = venue.Venue(taker_fee=venue.rate("0"), instrument=BTCUSD, margin_tiers=COIN_TIERS)
    run = venue.run(InAndOut(), ticks, 10, venue=v)
    trips = report.round_trips(run, ticks=ticks)
    # 1,000 contracts of 100 USD bought at 50,000 and sold at 55,000: 2 BTC
    # less 1.818181818... BTC, the sale booked rounded up.
    assert trips["gross"].tolist() == [D("0.18181818")]
    # Its money is no ticks x lots x size: the frame gives its contract value.
    assert (trips.attrs["contract_size"], trips.attrs["contract_value"]) == (None, "100")
    table = _report_tables.trips_table(run, trips, len(trips))
    assert "gross (BTC)" in table and "0.18181818" in table and "USDT" not in table
    summary = report.summary(run, ticks=ticks)
    assert summary.currency == "BTC"
    assert "0.18181818 BTC" in str(summary) and "USDT" not in str(summary)

