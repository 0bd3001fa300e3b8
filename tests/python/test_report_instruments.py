"""The report page's table of a portfolio run's instruments: one row per
instrument in the order of their ids, counted from the run's own fills and
books, the account's totals under them, and no table for a run of one
instrument."""

import html
import re
from types import SimpleNamespace

import pytest

import halvorn
from halvorn import _report_instruments, report, venue

numpy = pytest.importorskip("numpy")
pytest.importorskip("pandas", reason="pandas is halvorn[report]")
pytest.importorskip("plotly", reason="plotly is halvorn[report]")

SECOND = 10**9
START = 1_704_067_200 * SECOND
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")


class Rotate:
    """Every few ticks of its own instrument, turns that position around:
    fills on both instruments all through the run."""

    symbol = "BTCUSDT"  # a portfolio run writes the tick's own

    def __init__(self):
        self.seen = {}

    def on_tick(self, ctx):
        count = self.seen[self.symbol] = self.seen.get(self.symbol, 0) + 1
        # ctx.working counts the whole account's orders; the instrument's own
        # are in self.positions (a run of one instrument leaves it unset).
        own = self.positions[self.symbol] if hasattr(self, "positions") else ctx
        if count % 7 or own.working:
            return None
        lots = 5 if self.symbol == "BTCUSDT" else 40
        side = "buy" if ctx.position <= 0 else "sell"
        return [venue.Order(side, lots + abs(ctx.position), instrument=self.symbol)]


def wave(start, tick, n=400):
    return [halvorn.Tick(START + i * SECOND + start, tick + (i * 37 % 23) - 11,
                         bid=tick + (i * 37 % 23) - 12, ask=tick + (i * 37 % 23) - 10)
            for i in range(n)]


@pytest.fixture(scope="module")
def portfolio():
    venues = {"BTCUSDT": venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005"),
                                     funding=[venue.FundingRate(time=START + 150 * SECOND,
                                                                rate=venue.rate("0.001"),
                                                                price=0)]),
              "ETHUSDT": venue.Venue(instrument=ETH, taker_fee=venue.rate("0.0004"))}
    ticks = {"BTCUSDT": wave(0, 420_000), "ETHUSDT": wave(SECOND // 2, 230_000, 300)}
    return venue.run(Rotate(), ticks, 10_000, venue=venues, equity_every=20)


def page_rows(tmp_path, run):
    """The cells of the table under the page's "Instruments" heading, by row."""
    path = tmp_path / "run.html"
    report.html(run, path)
    text = path.read_text(encoding="utf-8")
    section = text.partition("<h2>Instruments</h2>")[2].partition("<h2>")[0]
    return [[html.unescape(cell) for cell in re.findall(r"<t[hd]>(.*?)</t[hd]>", row)]
            for row in re.findall(r"<tr>(.*?)</tr>", section)]


def cash(value):
    return f"{value / halvorn.CASH_SCALE:,.2f}"


def test_the_page_sets_the_instruments_side_by_side(tmp_path, portfolio):
    run = portfolio
    header, btc, eth, account = page_rows(tmp_path, run)
    assert header == list(_report_instruments.COLUMNS)
    ids = [fill.instrument for fill in run.fills]
    assert ids.count(1) and ids.count(2), "the strategy should trade both"
    for row, leg, number, instrument in ((btc, run.per_instrument[0], 1, BTC),
                                         (eth, run.per_instrument[1], 2, ETH)):
        assert row == [leg.symbol, f"{leg.ticks:,}", f"{ids.count(number):,}", cash(leg.realized),
                       cash(leg.fees), cash(leg.funding),
                       cash(leg.realized - leg.fees + leg.funding),
                       str(instrument.qty_of(leg.position)), str(instrument.price_of(leg.last))]
    assert [btc[0], eth[0], btc[1], eth[1]] == ["BTCUSDT", "ETHUSDT", "400", "300"]
    assert btc[5] != "0.00" and eth[5] == "0.00"  # only BTC had a funding settlement
    assert account == ["account", f"{run.ticks:,}", f"{len(run.fills):,}", cash(run.realized),
                       cash(run.fees_paid), cash(run.funding_paid),
                       cash(run.realized - run.fees_paid + run.funding_paid), "", ""]


def test_a_run_of_one_instrument_has_no_such_table(tmp_path):
    v = venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005"))
    run = venue.run(Rotate(), wave(0, 420_000), 10_000, venue=v, equity_every=20)
    assert page_rows(tmp_path, run) == []
    assert "<h2>Instruments</h2>" not in (tmp_path / "run.html").read_text(encoding="utf-8")


def test_rows_of_a_hedged_run_and_of_instruments_without_a_definition():
    def leg(symbol, realized, fees, funding, position, short, last):
        return SimpleNamespace(symbol=symbol, ticks=10, realized=realized, fees=fees,
                               funding=funding, position=position, short_position=short,
                               last=last)

    run = SimpleNamespace(
        ticks=20, fills=[None] * 5, realized=-250_000_000, fees_paid=3_000_000,
        funding_paid=-1_000_000, instruments={"BTCUSDT": BTC},
        per_instrument=(leg("BTCUSDT", 100_000_000, 2_000_000, -1_000_000, 7, 3, 421_234),
                        leg("XYZ", -350_000_000, 1_000_000, 0, 0, 0, 99)))
    legs = _report_instruments.legs(run, numpy, numpy.array([2, 1, 2, 2, 1]))
    assert [(x.symbol, x.fills, x.net) for x in legs] == [("BTCUSDT", 2, 97_000_000),
                                                         ("XYZ", 3, -351_000_000)]
    assert _report_instruments.rows(run, legs) == [
        ["BTCUSDT", "10", "2", "1.00", "0.02", "-0.01", "0.97", "0.007 long, 0.003 short",
         "42123.4"],
        ["XYZ", "10", "3", "-3.50", "0.01", "0.00", "-3.51", "0 lots", "99"],
        ["account", "20", "5", "-2.50", "0.03", "-0.01", "-2.54", "", ""],
    ]
    single = SimpleNamespace(per_instrument=run.per_instrument[:1])
    assert _report_instruments.section(single, numpy, numpy.array([1])) == []


def test_an_inverse_portfolio_counts_its_money_in_its_coin(tmp_path):
    """Two contracts settled in BTC keep one account in BTC: the table's
    headings and the equity chart name the coin, and amounts keep every unit."""
    perp = venue.Instrument("BTCUSDPERP", "0.1", "1", kind="inverse", contract_value="100",
                            settle="BTC")
    dated = venue.Instrument("BTCUSDQTR", "0.1", "1", kind="inverse", contract_value="100",
                             settle="BTC")
    ticks = {"BTCUSDPERP": wave(0, 420_000), "BTCUSDQTR": wave(SECOND // 2, 430_000)}
    tiers = (venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6, rate=venue.percent("0.4"), amount=0),)
    venues = {symbol: venue.Venue(instrument=i, taker_fee=venue.rate("0.0005"), margin_tiers=tiers)
              for symbol, i in (("BTCUSDPERP", perp), ("BTCUSDQTR", dated))}
    run = venue.run(Rotate(), ticks, 10, venue=venues, equity_every=20)
    header, *legs, account = page_rows(tmp_path, run)
    assert len(legs) == 2 and len(run.fills) > 10
    assert header == list(_report_instruments.columns("BTC"))
    assert account[3] == f"{run.realized / halvorn.CASH_SCALE:,.8f}" and run.fees_paid
    assert account[4] == f"{run.fees_paid / halvorn.CASH_SCALE:,.8f}"
    page = (tmp_path / "run.html").read_text(encoding="utf-8")
    assert "equity (BTC)" in page and "equity (USDT)" not in page



def test_a_portfolio_with_wallets_names_each_figure_and_sets_out_its_wallets(tmp_path):
    """A linear and a coin-margined contract: each instrument's money in its
    own currency, then a table of the wallets with their worth in USDT."""
    coin = venue.Instrument("BTCUSDPERP", "0.1", "1", kind="inverse", contract_value="100",
                            settle="BTC")
    tiers = (venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6, rate=venue.percent("0.4"), amount=0),)
    venues = {"BTCUSDT": venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005")),
              "BTCUSDPERP": venue.Venue(instrument=coin, taker_fee=venue.rate("0.0005"),
                                        margin_tiers=tiers)}
    ticks = {"BTCUSDT": wave(0, 420_000), "BTCUSDPERP": wave(SECOND // 2, 430_000)}
    run = venue.run(Rotate(), ticks, {"USDT": 10_000, "BTC": "0.5"}, venue=venues,
                    equity_every=20)
    header, usdt_leg, coin_leg, account = page_rows(tmp_path, run)
    assert header == list(_report_instruments.columns(None))
    coin_result = run.per_instrument[1]
    assert coin_leg[4] == f"{coin_result.fees / halvorn.CASH_SCALE:,.8f} BTC" and coin_result.fees
    assert usdt_leg[4].endswith(" USDT") and account[4] == f"{cash(run.fees_paid)} USDT"
    page = (tmp_path / "run.html").read_text(encoding="utf-8")
    section = page.partition("<h2>Wallets</h2>")[2].partition("<h2>")[0]
    rows = [[html.unescape(cell) for cell in re.findall(r"<t[hd]>(.*?)</t[hd]>", row)]
            for row in re.findall(r"<tr>(.*?)</tr>", section)]
    btc_wallet, usdt_wallet = run.wallets
    assert [row[0] for row in rows] == ["wallet", "BTC", "USDT", "all, in USDT"]
    assert rows[1][2] == f"{btc_wallet.equity / halvorn.CASH_SCALE:,.8f}"
    assert rows[2][2] == rows[2][7] == cash(usdt_wallet.equity)
    assert rows[3][7] == cash(run.final_equity)
    # The wallets' worth in USDT adds up to the account's, to the cent each.
    worth = sum(float(row[7].replace(",", "")) for row in rows[1:3])
    assert abs(worth - run.final_equity / halvorn.CASH_SCALE) <= 0.02
    assert "equity (USDT)" in page
