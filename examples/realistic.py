"""A realistic run beside an optimistic one, on a series generated here.

The same strategy runs twice over two days of a BTCUSDT-like series: once on
the default venue, which is how `halvorn.run_backtest` runs every backtest
(fills at observed prices, no fees, no funding), and once on a venue with
what a real one charges and
delays: maker and taker fees, funding every eight hours, order and report
latency, a queue ahead of every resting order and square-root impact on
taker fills.  The difference between the two is what the optimistic
backtest would have promised and not delivered.

Units: prices in ticks of 0.1 USDT, quantities in lots of 0.001 BTC
(contract_size 10_000: one tick on one lot is 10_000 Cash), money in Cash
(halvorn.CASH_SCALE per USDT), times in nanoseconds, rates in billionths.
"""

from __future__ import annotations

import math
import random

import halvorn
from halvorn import venue

HOUR = 3_600 * 10**9
START = 1_700_000_000 * 10**9
BALANCE_USDT = 10_000


def synthetic_btcusdt(hours: int, seed: int = 11) -> list[halvorn.Tick]:
    """A random walk about four observations a second, with a one- or
    two-tick spread and a cumulative volume counter."""
    rng = random.Random(seed)
    price, vol, volume, t = 600_000.0, 3.0, 0, START
    ticks = []
    while t < START + hours * HOUR:
        vol = max(1.0, 0.99 * vol + 0.01 * 3.0 + rng.gauss(0.0, 0.2))
        price += rng.gauss(0.0, vol)
        last = round(price)
        spread = 1 + int(vol > 5)
        volume += 1 + int(rng.expovariate(1 / (3 + vol)))
        t += int(rng.expovariate(1 / 250_000_000))
        ticks.append(halvorn.Tick(t, last, local_ts=t + 2_000_000,
                                  high=last + math.ceil(abs(rng.gauss(0, vol / 2))),
                                  low=last - math.ceil(abs(rng.gauss(0, vol / 2))),
                                  bid=last - spread + 1, ask=last + 1, volume=volume))
    return ticks


def funding_every_eight_hours(ticks: list[halvorn.Tick], seed: int = 5) -> list[venue.FundingRate]:
    """A funding settlement every eight hours, measured at the last price
    before it, with a rate that drifts around +0.01 %."""
    rng = random.Random(seed)
    rates, i = [], 0
    for k in range(1, (ticks[-1].exch_ts - START) // (8 * HOUR) + 1):
        at = START + k * 8 * HOUR
        while i + 1 < len(ticks) and ticks[i + 1].exch_ts <= at:
            i += 1
        rate = venue.rate("0.0001") + rng.randint(-50_000, 50_000)
        rates.append(venue.FundingRate(time=at, rate=rate, price=ticks[i].last))
    return rates


class MeanReversion:
    """Buys below a slow average and sells above it with limit orders placed
    a few ticks inside the market, cancelling a quote that has not filled
    within a minute; exits with a market order when the average is crossed.
    It hears of its fills and of how its orders ended."""

    name = "mean-reversion"

    def __init__(self, lots: int = 20, band: float = 25.0, window: int = 2_000):
        self.lots, self.band, self.alpha = lots, band, 2.0 / (window + 1)
        self.average: float | None = None
        self.quote: tuple[int, int] | None = None  # (order id, placed at)
        self.orders = 0
        self.fills = self.cancelled = 0

    def on_fill(self, fill: venue.Fill) -> None:
        self.fills += 1

    def on_end(self, order_id: int, how: str) -> None:
        if self.quote is not None and order_id == self.quote[0]:
            self.quote = None
        self.cancelled += how == "canceled"

    def order(self, order: halvorn.Order) -> list[object]:
        self.orders += 1
        return [order]

    def on_tick(self, ctx: halvorn.Context) -> list[object] | None:
        last = ctx.last
        self.average = last if self.average is None else self.average + self.alpha * (last - self.average)
        gap = last - self.average
        now = ctx.tick.exch_ts
        if self.quote is not None:
            if now - self.quote[1] > 60 * 10**9:
                return [venue.Cancel(self.quote[0])]
            return None
        if ctx.position == 0 and abs(gap) > self.band:
            side = "buy" if gap < 0 else "sell"
            price = ctx.tick.bid + 1 if side == "buy" else ctx.tick.ask - 1
            placed = self.order(halvorn.Order(side, self.lots, price=price))
            self.quote = (self.orders, now)
            return placed
        if ctx.position != 0 and (ctx.position > 0) == (gap > 0):
            side = "sell" if ctx.position > 0 else "buy"
            return self.order(halvorn.Order(side, abs(ctx.position), "close"))
        return None


def usdt(cash: int) -> str:
    return f"{cash / halvorn.CASH_SCALE:,.2f} USDT"


def main() -> None:
    ticks = synthetic_btcusdt(hours=48)
    funding = funding_every_eight_hours(ticks)
    print(f"{len(ticks):,} ticks over 48 hours, {len(funding)} funding settlements")

    optimistic = venue.run(MeanReversion(), ticks, BALANCE_USDT)
    real = venue.Venue(
        maker_fee=venue.rate("0.0002"),
        taker_fee=venue.rate("0.0005"),
        funding=funding,
        tier=venue.L1(order_latency=venue.Quantiles(3_000_000, 8_000_000, 25_000_000, 120_000_000),
                      report_latency=venue.Fixed(1_000_000),
                      queue=venue.TradedShare(40), impact_pct=50),
        track_margin=True,
    )
    strategy = MeanReversion()
    run = venue.run(strategy, ticks, BALANCE_USDT, venue=real, equity_every=1_000)

    print(f"\n{'':22}{'optimistic':>20}{'realistic':>20}")
    rows = [
        ("fills", f"{len(optimistic.fills):,}", f"{len(run.fills):,}"),
        ("fees", usdt(optimistic.fees_paid), usdt(run.fees_paid)),
        ("funding", usdt(optimistic.funding_paid), usdt(run.funding_paid)),
        ("final equity", usdt(optimistic.final_equity), usdt(run.final_equity)),
        ("lowest equity", usdt(optimistic.min_equity), usdt(run.min_equity)),
    ]
    for label, a, b in rows:
        print(f"{label:22}{a:>20}{b:>20}")
    taker = sum(f.taker for f in run.fills)
    print(f"\nrealistic run: {taker} taker fills of {len(run.fills)}, {strategy.cancelled} quotes "
          f"cancelled unfilled, tier {run.tier}")
    if run.margin is not None:
        print(f"peak maintenance margin {usdt(run.margin.peak_maintenance)}")
    print(f"the optimistic backtest overstated the result by "
          f"{usdt(optimistic.final_equity - run.final_equity)}")


if __name__ == "__main__":
    main()
