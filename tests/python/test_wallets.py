"""A portfolio of a linear and a coin-margined contract: a wallet each, each
margined and liquidated on its own, and the run's figures in USDT."""

import pytest

import halvorn
from halvorn import venue

BTCUSDT = venue.Instrument("BTCUSDT", "0.1", "0.001")
BTCUSD = venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse", contract_value="100",
                          settle="BTC")
# A flat 0.5 % on the coin contract: its worked liquidation of a long of 1,000
# contracts from 50,000 USD on 0.2 BTC is at 45,681.8 USD.
COIN_TIERS = (venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6, rate=venue.percent("0.5"),
                            amount=0),)
VENUES = {"BTCUSDT": venue.Venue(instrument=BTCUSDT),
          "BTCUSD_PERP": venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS)}
BALANCE = {"USDT": 1_000, "BTC": "0.2"}
USDT = halvorn.CASH_SCALE


def tick(t, price):
    return halvorn.Tick(t, price, bid=price, ask=price)


class BothLong:
    """100 lots of BTCUSDT (0.1 BTC at 60,000) and 1,000 contracts of the
    coin contract, each bought at its first tick."""

    def __init__(self):
        self.sent = set()

    def on_tick(self, ctx):
        if self.symbol in self.sent:
            return None
        self.sent.add(self.symbol)
        return [venue.Order("buy", 100 if self.symbol == "BTCUSDT" else 1_000)]


class BuyOnce:
    def on_tick(self, ctx):
        return [venue.Order("buy", 10)] if ctx.tick.exch_ts == 1 else None


def portfolio(linear, inverse, **kwargs):
    """Linear ticks at odd times, the coin contract's at even ones."""
    ticks = {"BTCUSDT": [tick(2 * i + 1, p) for i, p in enumerate(linear)],
             "BTCUSD_PERP": [tick(2 * i + 2, p) for i, p in enumerate(inverse)]}
    return venue.run(BothLong(), ticks, kwargs.pop("balance", BALANCE), venue=VENUES, **kwargs)


def test_each_wallet_is_liquidated_where_it_alone_breaches():
    # The coin falls to its wallet's liquidation; BTCUSDT stays at 60,000.
    run = portfolio([600_000] * 6, [500_000, 500_000, 456_819, 456_818, 456_818])
    assert [(x.instrument, x.at, x.price) for x in run.liquidations] == [(2, 8, 456_818)]
    assert [r.position for r in run.per_instrument] == [100, 0]
    wallets = {w.currency: w for w in run.wallets}
    assert wallets["BTC"].balance == 0 and wallets["BTC"].forfeited > 0
    assert wallets["USDT"].balance == 1_000 * USDT and wallets["USDT"].forfeited == 0

    # BTCUSDT falls to its own worked liquidation; the coin contract stands.
    run = portfolio([600_000, 600_000, 502_009, 502_008, 502_008], [500_000] * 6)
    assert [(x.instrument, x.at, x.price, x.forfeited) for x in run.liquidations] == [
        (1, 7, 502_008, 2_008_000_000)]
    assert [r.position for r in run.per_instrument] == [0, 1_000]
    wallets = {w.currency: w for w in run.wallets}
    assert wallets["BTC"].balance == 20_000_000
    assert wallets["USDT"].balance == 0
    # What is left is 0.2 BTC and a long with no profit at 50,000 USD.
    assert run.final_equity == 10_000 * USDT
    assert wallets["BTC"].equity == 20_000_000
    printed = str(run)
    assert "final equity   10000.00 USDT" in printed
    assert "wallet BTC     equity 0.20 BTC, balance 0.20 BTC" in printed
    assert "wallet USDT    equity 0.00 USDT, balance 0.00 USDT" in printed


def test_the_lookahead_check_reruns_a_portfolio_with_wallets():
    ticks = {"BTCUSDT": [tick(2 * i + 1, 600_000) for i in range(6)],
             "BTCUSD_PERP": [tick(2 * i + 2, p) for i, p in
                             enumerate([500_000, 500_000, 456_819, 456_818, 456_818])]}
    report = venue.lookahead_check(lambda known: BothLong(), ticks, BALANCE, venue=VENUES)
    assert report.clean and report.checked == 2
    with pytest.raises(ValueError, match="a wallet each"):
        venue.lookahead_check(lambda known: BothLong(), ticks, 1_000, venue=VENUES)


def test_equity_is_in_usdt_at_the_price_and_each_wallet_has_its_curve():
    class Idle:
        def on_tick(self, ctx):
            return None

    ticks = {"BTCUSDT": [tick(1, 600_000), tick(3, 600_000)],
             "BTCUSD_PERP": [tick(2, 500_000), tick(4, 400_000)]}
    run = venue.run(Idle(), ticks, BALANCE, venue=VENUES, equity_every=1)
    # 1,000 USDT and 0.2 BTC at 50,000 USD from the start, before the coin
    # contract's first tick too; then at 40,000.
    assert run.equity_curve == [11_000 * USDT] * 4 + [9_000 * USDT]
    assert run.min_equity == run.final_equity == 9_000 * USDT
    assert [(w.currency, w.equity_curve) for w in run.wallets] == [
        ("BTC", (20_000_000,) * 5), ("USDT", (1_000 * USDT,) * 5)]


def test_fees_are_booked_in_the_wallet_and_counted_in_usdt_at_the_fill():
    venues = dict(VENUES)
    venues["BTCUSD_PERP"] = venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS,
                                        taker_fee=venue.rate("0.0005"))
    ticks = {"BTCUSDT": [tick(1, 600_000), tick(3, 600_000)],
             "BTCUSD_PERP": [tick(2, 500_000), tick(4, 500_000)]}
    run = venue.run(BothLong(), ticks, BALANCE, venue=venues)
    # 0.001 BTC on 2 BTC bought, 50 USDT at 50,000 USD.
    assert run.per_instrument[1].fees == 100_000
    assert run.fees_paid == 50 * USDT
    assert {w.currency: w.fees for w in run.wallets} == {"BTC": 100_000, "USDT": 0}


def test_a_balance_names_every_wallet_and_no_other():
    with pytest.raises(ValueError, match="settle in BTC and USDT, a wallet each"):
        portfolio([600_000], [500_000], balance=1_000)
    with pytest.raises(ValueError, match="balance names USDT, and the instruments settle in "
                                         "BTC and USDT"):
        portfolio([600_000], [500_000], balance={"USDT": 1_000})
    with pytest.raises(ValueError, match="not an amount of BTC to the cash unit"):
        portfolio([600_000], [500_000], balance={"USDT": 1_000, "BTC": "0.000000001"})
    with pytest.raises(ValueError, match="not a currency code"):
        portfolio([600_000], [500_000], balance={"usdt": 1_000, "BTC": 1})
    # One currency takes a dict naming it as it takes the amount.
    ticks = [tick(1, 600_000), tick(2, 601_000)]
    one = venue.Venue(instrument=BTCUSDT)
    by_dict = venue.run(BuyOnce(), ticks, {"USDT": "1000.5"}, venue=one)
    by_amount = venue.run(BuyOnce(), ticks, "1000.5", venue=one)
    assert by_dict.final_equity == by_amount.final_equity
    assert by_dict.wallets == by_amount.wallets == ()
    with pytest.raises(ValueError, match="balance names BTC"):
        venue.run(BuyOnce(), ticks, {"BTC": 1}, venue=one)


def test_coin_amounts_count_in_usdt_at_the_price_they_were_booked_at():
    """An independent reckoning in exact fractions: 1,000 contracts of 100 USD
    bought at the ask, funded at a settlement's own price, sold at the bid,
    each amount counted in USDT at the price of its own booking, none of
    them the tick's last trade."""
    from fractions import Fraction

    funding = (venue.FundingRate(time=5, rate=venue.rate("0.0001"), price=520_000),)
    venues = {"BTCUSDT": venue.Venue(instrument=BTCUSDT),
              "BTCUSD_PERP": venue.Venue(instrument=BTCUSD, margin_tiers=COIN_TIERS,
                                         taker_fee=venue.rate("0.0005"), funding=funding)}

    class InAndOut:
        def __init__(self):
            self.seen = 0

        def on_tick(self, ctx):
            if self.symbol != "BTCUSD_PERP":
                return None
            self.seen += 1
            return {1: [venue.Order("buy", 1_000)], 3: [venue.Order("sell", 1_000)]}.get(self.seen)

    coin = [halvorn.Tick(2, 500_000, bid=499_990, ask=500_010),
            halvorn.Tick(4, 500_000, bid=499_990, ask=500_010),
            halvorn.Tick(6, 550_000, bid=549_990, ask=550_010),
            halvorn.Tick(8, 551_000, bid=549_990, ask=550_010)]
    ticks = {"BTCUSDT": [tick(t, 600_000) for t in (1, 3, 5, 7, 9)], "BTCUSD_PERP": coin}
    run = venue.run(InAndOut(), ticks, BALANCE, venue=venues)
    assert [(f.side, f.price) for f in run.fills] == [("buy", 500_010), ("sell", 549_990)]

    def units(price, up):  # 1,000 contracts of 100 USD at `price` ticks of 0.1 USD
        value = Fraction(10**14, price)
        return -(-value.numerator // value.denominator) if up else value.numerator // value.denominator

    def usdt(amount, price):  # a coin amount at `price` ticks, truncated toward zero
        return int(Fraction(amount) * price / 10)

    bought, sold = units(500_010, up=False), units(549_990, up=True)
    realized = bought - sold
    fees = [int(Fraction(bought) * Fraction(5, 10_000)), int(Fraction(sold) * Fraction(5, 10_000))]
    paid = -int(Fraction(1_000 * 100 * 10**8, 52_000) / 10_000)
    coin_result = run.per_instrument[1]
    assert (coin_result.realized, coin_result.fees, coin_result.funding) == (
        realized, sum(fees), paid)
    assert run.realized == usdt(realized, 549_990)
    assert run.fees_paid == usdt(fees[0], 500_010) + usdt(fees[1], 549_990)
    assert run.funding_paid == usdt(paid, 520_000)
    btc = 20_000_000 + realized - sum(fees) + paid
    assert [(w.currency, w.balance) for w in run.wallets] == [("BTC", btc), ("USDT", 1_000 * USDT)]
    # Held at the end: a flat coin wallet at the last trade, 55,100 USD.
    assert run.final_equity == 1_000 * USDT + usdt(btc, 551_000)
