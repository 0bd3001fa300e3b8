"""Reports of a run of several instruments in one account: round trips walked
per instrument and valued in its own units, fills named by symbol, the
summary over all trips, and a page and chart that draw each instrument's
prices and position apart.  A run of one instrument reads as it did."""

import decimal
import math

import pytest

import halvorn
from halvorn import report, venue

from test_report_page import Page

numpy = pytest.importorskip("numpy")
pytest.importorskip("pandas", reason="pandas is halvorn[report]")

SECOND = 10**9
START = 1_704_067_200 * SECOND
USDT = halvorn.CASH_SCALE
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")  # 10_000 cash a tick-lot
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")  # 1_000
D = decimal.Decimal


def quotes(*rows):
    """Ticks at (seconds, price), traded at the price itself."""
    return [halvorn.Tick(exch_ts=START + s * SECOND, last=p, bid=p, ask=p) for s, p in rows]


class Plan:
    """Sends the orders planned for (symbol, second); they fill on the
    instrument's next tick."""

    symbol = "BTCUSDT"  # a portfolio run writes the tick's own

    def __init__(self, plan):
        self.plan = plan

    def on_tick(self, ctx):
        return self.plan.get((self.symbol, (ctx.tick.exch_ts - START) // SECOND))


# BTC long 1 from 60_000.0 to 61_000.0 (fills at 30 s and 70 s), ETH short 10
# from 3_000.00 to 2_950.00 (40 s and 80 s): the trips overlap in time, and
# read as one position the ETH sell would close the BTC long.
TICKS = {"BTCUSDT": quotes((10, 600_000), (30, 600_000), (50, 610_000), (70, 610_000)),
         "ETHUSDT": quotes((20, 300_000), (40, 300_000), (60, 295_000), (80, 295_000))}
OPEN = {("BTCUSDT", 10): [venue.Order("buy", 1_000)],
        ("ETHUSDT", 20): [venue.Order("sell", 10_000)]}
CLOSE = {("BTCUSDT", 50): [venue.Order("sell", 1_000)],
         ("ETHUSDT", 60): [venue.Order("buy", 10_000)]}
# 0.05 % and 0.1 % taker fees; at 45 s the BTC long pays 6 USDT of funding
# and the ETH short receives 9.
def settlement(rate, price):
    return [venue.FundingRate(time=START + 45 * SECOND, rate=venue.rate(rate), price=price)]


VENUES = {"BTCUSDT": venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005"),
                                 funding=settlement("0.0001", 600_000)),
          "ETHUSDT": venue.Venue(instrument=ETH, taker_fee=venue.rate("0.001"),
                                 funding=settlement("0.0003", 300_000))}


@pytest.fixture(scope="module")
def pair():
    return venue.run(Plan({**OPEN, **CLOSE}), TICKS, 100_000, venue=VENUES, equity_every=1)


class TestTrips:
    def test_each_instrument_is_walked_apart_and_valued_in_its_own_units(self, pair):
        trips = report.round_trips(pair, ticks=TICKS)
        assert trips["symbol"].tolist() == ["BTCUSDT", "ETHUSDT"]
        assert trips["side"].tolist() == ["long", "short"]
        assert trips["entry_price"].tolist() == [D("60000"), D("3000")]
        assert trips["exit_price"].tolist() == [D("61000"), D("2950")]
        assert trips["qty"].tolist() == [D("1.000"), D("10.000")]
        # 10_000 ticks × 1_000 lots × 10_000 cash, and 5_000 × 10_000 × 1_000.
        assert trips["gross"].tolist() == [D(1000), D(500)]
        assert trips["fees"].tolist() == [D("60.5"), D("59.5")]
        assert trips["funding"].tolist() == [D(-6), D(9)]
        assert trips["net"].tolist() == [D("933.5"), D("449.5")]
        assert trips["return"].tolist() == pytest.approx([933.5 / 60_000, 449.5 / 30_000])
        assert sum(trips["gross"]) * USDT == pair.realized
        assert trips.attrs["contract_size"] == {"BTCUSDT": 10_000, "ETHUSDT": 1_000}

    def test_a_trip_still_open_is_valued_at_its_own_instruments_last_price(self):
        run = venue.run(Plan({**OPEN, **{k: v for k, v in CLOSE.items() if k[0] == "BTCUSDT"}}),
                        TICKS, 100_000, venue=VENUES)
        trips = report.round_trips(run, ticks=TICKS, venue=VENUES)
        assert trips["open"].tolist() == [False, True]
        assert trips["exit_price"][1] == D("2950") and trips["gross"][1] == D(500)
        # Without ETH's ticks its trip has no price to be valued at.
        alone = report.round_trips(run, ticks={"BTCUSDT": TICKS["BTCUSDT"]})
        assert alone["gross"][0] == D(1000) and alone["gross"][1] is None

    def test_a_liquidation_closes_each_instrument_at_its_own_price(self):
        # Long 1 BTC at 60_000.0 and short 20 ETH at 3_000.00 on 2_000 USDT:
        # both fall 400 USDT and the account goes down whole.
        ticks = {"BTCUSDT": quotes((1, 600_000), (3, 600_000), (4, 596_000), (9, 597_000)),
                 "ETHUSDT": quotes((2, 300_000), (5, 302_000))}
        orders = {("BTCUSDT", 1): [venue.Order("buy", 1_000),
                                   venue.Order("sell", 20_000, instrument="ETHUSDT")]}
        brackets = [venue.Bracket(up_to=2**63 - 1, rate=venue.percent("1"), amount=0)]
        run = venue.run(Plan(orders), ticks, 2_000, venue={
            s: venue.Venue(instrument=i, margin_tiers=brackets) for s, i in
            (("BTCUSDT", BTC), ("ETHUSDT", ETH))})
        assert len(run.liquidations) == 2
        trips = report.round_trips(run).set_index("symbol")
        assert trips["liquidated"].all() and not trips["open"].any()
        assert trips["exit_price"].to_dict() == {"BTCUSDT": D("59600"), "ETHUSDT": D("3020")}
        assert trips["gross"].tolist() == [D(-400), D(-400)]

    def test_ticks_and_venues_are_given_by_symbol(self, pair):
        assert report.round_trips(pair, venue=VENUES)["gross"].tolist() == [D(1000), D(500)]
        with pytest.raises(TypeError, match="dict of symbol to ticks"):
            report.round_trips(pair, ticks=TICKS["BTCUSDT"])
        with pytest.raises(ValueError, match="'SOLUSDT', which the run did not trade"):
            report.summary(pair, ticks={**TICKS, "SOLUSDT": []})
        with pytest.raises(TypeError, match="venue must be"):
            report.round_trips(pair, venue={"BTCUSDT": VENUES["BTCUSDT"], "ETHUSDT": 1})


def test_the_summary_counts_every_instruments_trips(pair):
    summary = report.summary(pair, ticks=TICKS)
    assert (summary.trips, summary.win_rate, summary.average_trade) == (2, 1.0, 691.5)
    assert (summary.best_trade, summary.worst_trade) == (933.5, 449.5)
    # A position open after the ticks at 30 s to 70 s: 5 of the 8 ticks.
    assert summary.exposure == 5 / 8
    assert summary.symbols == ("BTCUSDT", "ETHUSDT") and summary.buy_and_hold is None
    # Each instrument held on its own: BTC from 60_000.0 to 61_000.0, ETH from
    # 3_000.00 to 2_950.00; the account has no one price to hold.
    assert summary.buy_and_hold_each == {"BTCUSDT": pytest.approx(1 / 60),
                                         "ETHUSDT": pytest.approx(-1 / 60)}
    assert (summary.beta, summary.alpha) == (None, None)
    rows = dict(summary.table())
    assert rows["Instruments"] == "BTCUSDT, ETHUSDT"
    assert (rows["Buy and hold BTCUSDT"], rows["Buy and hold ETHUSDT"]) == ("+1.67 %", "-1.67 %")
    # A gain of 1.4 % in 70 s is not compounded into a year.
    assert summary.annual_return is None and not summary.annualised
    assert rows["Annual return (365 d)"] == "not annualised: the run spans under 30.0 d"


def test_fills_frames_name_each_fill_and_keep_its_own_units(pair):
    frame = pair.fills_frame()
    assert frame["symbol"].tolist() == ["BTCUSDT", "ETHUSDT", "BTCUSDT", "ETHUSDT"]
    assert frame["price"].tolist() == [D("60000.0"), D("3000.00"), D("61000.0"), D("2950.00")]
    assert frame["qty"].tolist() == [D("1.000"), D("10.000")] * 2
    assert pair.fills_frame(units="float")["price"].tolist() == [60_000.0, 3_000.0, 61_000.0,
                                                                 2_950.0]
    walked = report.fills_frame(pair, units="float")
    assert walked["offset"].tolist() == ["open", "open", "close", "close"]
    assert walked["qty"].tolist() == [1.0, 10.0, 1.0, 10.0]
    assert pair.equity_frame()["equity"].iloc[-1] == D(pair.final_equity) / USDT


def test_a_run_of_one_instrument_reads_as_before(pair):
    btc = {k: v for k, v in {**OPEN, **CLOSE}.items() if k[0] == "BTCUSDT"}
    run = venue.run(Plan(btc), TICKS["BTCUSDT"], 100_000, venue=VENUES["BTCUSDT"])
    alone = report.round_trips(run, ticks=TICKS["BTCUSDT"])
    together = report.round_trips(pair, ticks=TICKS)
    assert alone.equals(together[together["symbol"] == "BTCUSDT"])
    assert alone.attrs["contract_size"] == 10_000
    assert "symbol" not in run.fills_frame().columns
    assert "symbol" not in report.fills_frame(run).columns
    undefined = venue.run(Plan(btc), TICKS["BTCUSDT"], 100_000)
    assert report.round_trips(undefined)["symbol"].tolist() == [None]


class TestPictures:
    def test_the_page_draws_each_instrument_apart(self, tmp_path, pair):
        pytest.importorskip("plotly", reason="plotly is halvorn[report]")
        path = tmp_path / "pair.html"
        report.html(pair, path, ticks=TICKS)
        data, layout, _ = Page(path.read_text(encoding="utf-8")).chart()
        titles = [layout["yaxis" + k]["title"]["text"] for k in ("", "2", "3", "4", "5", "6")]
        assert titles == ["equity (USDT)", "drawdown (%)", "BTCUSDT<br>price (USDT)",
                          "BTCUSDT<br>position (BTC)", "ETHUSDT<br>price (USDT)",
                          "ETHUSDT<br>position (ETH)"]
        traces = {t["name"]: t for t in data}
        assert traces["BTCUSDT buys"]["y"] == [60_000.0]
        assert traces["ETHUSDT sells"]["y"] == [3_000.0]
        assert traces["BTCUSDT buys"]["yaxis"] == "y3" and traces["ETHUSDT sells"]["yaxis"] == "y5"
        assert max(traces["BTCUSDT position"]["y"]) == 1.0
        assert min(traces["ETHUSDT position"]["y"]) == -10.0
        assert max(traces["ETHUSDT last price"]["y"]) == 3_000.0

    def test_the_chart_gives_each_instrument_a_panel(self, tmp_path, pair):
        pytest.importorskip("matplotlib", reason="matplotlib is halvorn[report]")
        image = pytest.importorskip("PIL.Image", reason="pillow comes with matplotlib")
        path = tmp_path / "pair.png"
        report.plot(pair, path, ticks=TICKS)
        with image.open(path) as picture:
            assert picture.size == (1000, 1100)
