"""A pairs trade on two perpetuals in one cross-margined account.

    python examples/portfolio_spread.py [folder]

Generates six hours of one-second ticks of a BTCUSDT-like and an
ETHUSDT-like perpetual that move together (a common random walk) apart from
noise of their own that fades over minutes, so that the log-price spread of
the two keeps coming back.  The strategy follows the z-score of that spread
over the last 15 minutes: past two standard deviations it sells the rich
leg and buys the cheap one for the same notional, and it closes both when
the spread is back within a quarter of one.  Each perpetual has its own
taker fee and its own hourly funding.  Prints what each instrument added up
to and the account's final equity, and writes the run's page to
`folder`/portfolio_spread.html (a temporary folder by default).

Units: prices in ticks (0.1 USDT for BTC, 0.01 USDT for ETH), quantities in
lots of 0.001 of the base asset, money in Cash (halvorn.CASH_SCALE per
USDT), times in nanoseconds, rates in billionths.
"""

from __future__ import annotations

import math
import os
import sys
import tempfile
from collections import deque
from collections.abc import Mapping

import numpy as np

import halvorn
from halvorn import report, venue

SECOND = 10**9
HOUR = 3_600 * SECOND
START = 1_704_088_800 * SECOND  # 2024-01-01 06:00 UTC
HOURS = 6
BALANCE_USDT = 10_000
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")


def synthetic_pair(seed: int = 7) -> dict[str, list[halvorn.Tick]]:
    """A tick a second for each symbol, ETH half a second after BTC: a
    shared random walk in log price plus, per symbol, noise that decays with
    a ten-minute time constant; a spread of two ticks around the last."""
    rng = np.random.default_rng(seed)
    n = HOURS * 3_600
    common = np.cumsum(rng.normal(0.0, 2e-4, n))
    decay = math.exp(-1 / 600)
    series = {}
    for symbol, instrument, usdt, offset in (("BTCUSDT", BTC, 42_000.0, 0),
                                             ("ETHUSDT", ETH, 2_300.0, SECOND // 2)):
        shocks = rng.normal(0.0, 2.5e-4, n)
        own = np.empty(n)
        level = 0.0
        for i in range(n):  # a short loop: an autoregression has no vector form in NumPy
            level = decay * level + shocks[i]
            own[i] = level
        last = np.rint(usdt * np.exp(common + own) / float(instrument.tick_size)).astype(np.int64)
        series[symbol] = [halvorn.Tick(START + i * SECOND + offset, int(p), bid=int(p) - 1,
                                       ask=int(p) + 1) for i, p in enumerate(last)]
    return series


def hourly_funding(mean: str, seed: int) -> list[venue.FundingRate]:
    """A settlement on every hour of the run at a rate about `mean`, priced
    at the mark (the last price) when it falls."""
    rng = np.random.default_rng(seed)
    base = venue.rate(mean)
    return [venue.FundingRate(time=START + h * HOUR, rate=base + int(rng.integers(-5_000, 5_001)),
                              price=0) for h in range(1, HOURS)]


class SpreadReversion:
    """Long the spread (long BTC, short ETH) when its z-score is below
    -`enter`, short it above `enter`, flat again once |z| < `leave`; each leg
    about `leg_usdt` of notional.  Decides on BTC ticks, once a second."""

    name = "btc-eth spread"
    symbol: str  # written by the run before every call
    positions: Mapping[str, venue.Position]

    def __init__(self, window: int = 900, enter: float = 2.0, leave: float = 0.25,
                 leg_usdt: float = 3_000.0):
        self.window, self.enter, self.leave, self.leg_usdt = window, enter, leave, leg_usdt
        self.spreads: deque[float] = deque(maxlen=window)
        self.last: dict[str, int] = {}
        self.side = 0  # +1 long the spread, -1 short it

    def lots(self, instrument: venue.Instrument) -> int:
        price = self.last[instrument.symbol] * float(instrument.tick_size)
        return max(1, round(self.leg_usdt / (price * float(instrument.lot_size))))

    def on_tick(self, ctx: halvorn.Context) -> list[venue.Order] | None:
        self.last[self.symbol] = ctx.last
        if self.symbol != "BTCUSDT" or "ETHUSDT" not in self.last:
            return None
        spread = math.log(self.last["BTCUSDT"]) - math.log(self.last["ETHUSDT"])
        self.spreads.append(spread)
        if len(self.spreads) < self.window:
            return None
        window = np.fromiter(self.spreads, float, self.window)
        z = (spread - window.mean()) / window.std()
        if any(p.working for p in self.positions.values()):
            return None  # the last decision's orders are still on their way
        if self.side == 0 and abs(z) > self.enter:
            self.side = -1 if z > 0 else 1
            cheap_btc = self.side > 0
            return [venue.Order("buy" if cheap_btc else "sell", self.lots(BTC),
                                instrument="BTCUSDT"),
                    venue.Order("sell" if cheap_btc else "buy", self.lots(ETH),
                                instrument="ETHUSDT")]
        if self.side != 0 and self.side * z > -self.leave:
            self.side = 0
            return [venue.Order("sell" if p.position > 0 else "buy", abs(p.position),
                                offset="close", instrument=symbol)
                    for symbol, p in self.positions.items() if p.position != 0]
        return None


def usdt(cash: int) -> str:
    return f"{cash / halvorn.CASH_SCALE:,.4f}"


def main(folder: str) -> venue.Run:
    ticks = synthetic_pair()
    venues = {
        "BTCUSDT": venue.Venue(instrument=BTC, taker_fee=venue.rate("0.0005"),
                               funding=hourly_funding("0.0000125", seed=1)),
        "ETHUSDT": venue.Venue(instrument=ETH, taker_fee=venue.rate("0.0004"),
                               funding=hourly_funding("-0.0000060", seed=2)),
    }
    run = venue.run(SpreadReversion(), ticks, BALANCE_USDT, venue=venues, equity_every=60)
    fills = np.bincount(np.asarray(run.fills)["instrument"], minlength=len(run.symbols) + 1)
    print(f"{run.ticks:,} ticks of {', '.join(run.symbols)} over {HOURS} hours")
    print(f"{'symbol':10}{'fills':>8}{'realized':>14}{'fees':>12}{'funding':>12}  (USDT)")
    for number, leg in enumerate(run.per_instrument, 1):
        print(f"{leg.symbol:10}{fills[number]:>8,}{usdt(leg.realized):>14}{usdt(leg.fees):>12}"
              f"{usdt(leg.funding):>12}")
    print(f"{'account':10}{len(run.fills):>8,}{usdt(run.realized):>14}{usdt(run.fees_paid):>12}"
          f"{usdt(run.funding_paid):>12}")
    print(f"final equity {usdt(run.final_equity)} USDT from {BALANCE_USDT:,.2f}, lowest "
          f"{usdt(run.min_equity)}")
    page = os.path.join(folder, "portfolio_spread.html")
    report.html(run, page, title="BTCUSDT against ETHUSDT: a spread that reverts")
    print(f"report written to {page}")
    return run


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="halvorn-portfolio-"))
