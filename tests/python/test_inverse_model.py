"""An inverse account against a model of it in exact rationals.

The model is written from the rules docs/venue.md states for coin-margined
contracts, with Python's fractions: a fill's coin value rounded once, down
for a buy and up for a sell; a leg's basis the exact sum of those; a close
taking its share of the basis, its profit truncated toward zero and the
fraction left with the lots still open; fees on the booked value; funding
the exact coin value at the settlement's price times the rate, truncated
once; maintenance brackets on a leg's value as it is valued (a long rounded
up, a short down); liquidation where equity reaches maintenance.  Seeded
random strategies at L0, net and hedge mode, trade against it; the engine
gives the fills (where the matcher put them) and the model recomputes every
fee, every tick's equity (which carries every funding payment and every
valuation), the liquidations and the final equity."""

import math
import random
from fractions import Fraction

import pytest

import halvorn
from halvorn import venue

RATE_SCALE = 10**9
# A contract of 10 USD in lots of 1 on a tick of 0.5 USD: a lot at p ticks is
# 10 x 10^8 / (p x 0.5) = 2 x 10^9 / p units of the coin.
INSTRUMENT = venue.Instrument("ETHUSD_PERP", "0.5", "1", kind="inverse", contract_value="10",
                              settle="ETH")
PER_LOT = Fraction(10 * 10**8) / Fraction(1, 2)


def value(lots, price):
    return abs(lots) * PER_LOT / price


def booked(lots, price, buy):
    """A fill's coin value as booked: down for a buy, up for a sell."""
    v = value(lots, price)
    return math.floor(v) if buy else math.ceil(v)


def trunc(x):
    return math.floor(x) if x >= 0 else -math.floor(-x)


class Leg:
    def __init__(self):
        self.size, self.basis = 0, 0

    def add(self, lots, price, buy):
        self.basis += booked(lots, price, buy)
        self.size += lots if buy else -lots

    def close(self, lots, price):
        """Closes lots of the leg at price and returns the profit."""
        n, direction = abs(self.size), 1 if self.size > 0 else -1
        exit_value = booked(lots, price, buy=direction < 0)
        profit = trunc(direction * (Fraction(self.basis * lots, n) - exit_value))
        self.basis = 0 if lots == n else self.basis - (exit_value + direction * profit)
        self.size -= direction * lots
        return profit

    def worth(self, price):
        """The leg's value as it is valued: what closing it would book."""
        return booked(self.size, price, buy=self.size < 0)

    def unrealized(self, price):
        if self.size == 0:
            return 0
        return (self.basis - self.worth(price)) * (1 if self.size > 0 else -1)


class Account:
    def __init__(self, balance, tiers, fees, hedge):
        self.balance, self.tiers, self.fees, self.hedge = balance, tiers, fees, hedge
        self.long, self.short = Leg(), Leg()
        self.last = 0

    def legs(self):
        return [leg for leg in (self.long, self.short) if leg.size != 0]

    def fee(self, fill):
        rate = self.fees[1 if fill.taker else 0]
        return trunc(Fraction(booked(fill.qty, fill.price, fill.side == "buy") * rate, RATE_SCALE))

    def book(self, fill):
        buy, qty, price = fill.side == "buy", fill.qty, fill.price
        self.balance -= self.fee(fill)
        if self.hedge:
            if fill.offset == "close":
                leg = self.short if buy else self.long
                self.balance += leg.close(min(qty, abs(leg.size)), price)
            else:
                (self.long if buy else self.short).add(qty, price, buy)
            return
        leg = self.long
        if leg.size != 0 and (leg.size > 0) != buy:
            closing = min(qty, abs(leg.size))
            self.balance += leg.close(closing, price)
            qty -= closing
        if qty > 0:
            leg.add(qty, price, buy)

    def settle(self, rate, price):
        for leg in self.legs():
            magnitude = trunc(value(leg.size, price) * abs(rate) / RATE_SCALE)
            payment = magnitude if rate >= 0 else -magnitude
            self.balance += payment if leg.size < 0 else -payment

    def equity(self, price):
        return self.balance + sum(leg.unrealized(price) for leg in self.legs())

    def maintenance(self, price):
        total = 0
        for leg in self.legs():
            worth = leg.worth(price)
            up_to, rate, amount = next((b for b in self.tiers if b[0] >= worth), self.tiers[-1])
            total += max(0, trunc(Fraction(worth * rate, RATE_SCALE)) - amount)
        return total

    def liquidates(self, price):
        return bool(self.legs()) and self.equity(price) <= self.maintenance(price)

    def liquidate(self, price):
        self.balance += sum(leg.unrealized(price) for leg in self.legs())
        self.long, self.short = Leg(), Leg()
        self.balance = 0


def random_case(seed):
    rng = random.Random(seed)
    hedge = seed % 3 == 0
    last, ticks = rng.randint(2_000, 8_000), []
    for i in range(600):
        last = max(100, last + rng.choice((-60, -9, -1, 0, 1, 9, 60)))
        ticks.append(halvorn.Tick(1_000 + i * 1_000, last, bid=last - 1, ask=last + 1))
    funding = tuple(venue.FundingRate(time=1_000 + t * 1_000 + rng.choice((0, 500)),
                                      rate=rng.randint(-300_000, 300_000),
                                      price=rng.choice((0, rng.randint(1_000, 9_000))))
                    for t in range(rng.randint(5, 40), 600, rng.randint(30, 90)))
    # Brackets whose amounts let maintenance jump up where they meet, never
    # down, as a venue's do.
    up_to = rng.randint(10**8, 10**10)
    rates = (rng.randint(2_000_000, 20_000_000), rng.randint(20_000_000, 60_000_000), 100_000_000)
    first = (rates[1] - rates[0]) * up_to // RATE_SCALE - rng.randint(0, up_to // 1_000)
    second = first + (rates[2] - rates[1]) * 4 * up_to // RATE_SCALE - rng.randint(0, up_to // 1_000)
    tiers = ((up_to, rates[0], 0), (4 * up_to, rates[1], max(0, first)),
             (2**63 - 1, rates[2], max(0, second)))
    fees = (rng.randint(-200_000, 200_000), rng.randint(0, 700_000))
    orders = {}
    for i in range(len(ticks) - 1):
        if rng.random() < 0.3:
            side = rng.choice(("buy", "sell"))
            price = ticks[i].last + rng.randint(-40, 40) if rng.random() < 0.4 else None
            offset = rng.choice(("open", "open", "close")) if hedge else "open"
            orders[i] = venue.Order(side, rng.randint(1, 300), price=price, offset=offset)
    balance = rng.choice(("0.05", "0.5", "3"))
    v = venue.Venue(instrument=INSTRUMENT, hedge=hedge, maker_fee=fees[0], taker_fee=fees[1],
                    funding=funding,
                    margin_tiers=tuple(venue.Bracket(up_to=u, rate=r, amount=a)
                                       for u, r, a in tiers))
    return ticks, orders, balance, v, (tiers, fees, hedge, funding)


class Scripted:
    def __init__(self, orders):
        self.orders, self.index = orders, -1

    def on_tick(self, ctx):
        self.index += 1
        order = self.orders.get(self.index)
        return [order] if order is not None else None


def replay(ticks, run, balance, tiers, fees, hedge, funding):
    """The model's equity after every tick, its liquidations and its fees."""
    account = Account(int(Fraction(balance) * halvorn.CASH_SCALE), tiers, fees, hedge)
    fills = sorted(run.fills, key=lambda f: f.seq)
    rates = list(funding)
    equity, liquidations, fill_fees = [], [], []
    for index, tick in enumerate(ticks):
        while rates and rates[0].time <= tick.exch_ts:
            rate = rates.pop(0)
            price = rate.price or account.last
            account.settle(rate.rate, price)
            if account.liquidates(price):
                account.liquidate(price)
                liquidations.append((rate.time, price))
        account.last = tick.last
        # Each fill on the step of the tick that booked it.
        while fills and fills[0].tick == index:
            fill = fills.pop(0)
            fill_fees.append(account.fee(fill))
            account.book(fill)
        if account.liquidates(tick.last):
            account.liquidate(tick.last)
            liquidations.append((tick.exch_ts, tick.last))
        equity.append(account.equity(tick.last))
    assert not fills, "a fill booked on no tick"
    return equity, liquidations, fill_fees


@pytest.mark.parametrize("seed", range(24))
def test_the_engine_books_what_the_model_books(seed):
    ticks, orders, balance, v, (tiers, fees, hedge, funding) = random_case(seed)
    run = venue.run(Scripted(orders), ticks, balance, venue=v, equity_every=1)
    equity, liquidations, fill_fees = replay(ticks, run, balance, tiers, fees, hedge, funding)
    assert [f.fee for f in sorted(run.fills, key=lambda f: f.seq)] == fill_fees
    assert [(x.at, x.price) for x in run.liquidations] == liquidations
    # The curve opens with the account as it starts, before the first tick.
    assert list(run.equity_curve) == [int(Fraction(balance) * halvorn.CASH_SCALE)] + equity
    assert run.final_equity == equity[-1]


def test_the_cases_reach_what_they_are_meant_to_test():
    """Fills on both sides with both fees, funding paid and received, and
    liquidations: a model that agrees on runs that do none of it shows
    nothing."""
    fills = closes = liquidated = paid = received = 0
    for seed in range(24):
        ticks, orders, balance, v, _ = random_case(seed)
        run = venue.run(Scripted(orders), ticks, balance, venue=v)
        fills += len(run.fills)
        closes += sum(f.offset == "close" for f in run.fills)
        liquidated += len(run.liquidations)
        paid += run.funding_paid < 0
        received += run.funding_paid > 0
    assert fills > 1_000 and closes > 50 and liquidated >= 8 and paid >= 3 and received >= 3
