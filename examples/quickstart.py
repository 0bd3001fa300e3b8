"""A complete backtest on a synthetic BTCUSDT-like series.

The series is generated here, deterministically, so the example needs no
download.  Prices are integers in ticks of 0.1 USDT, quantities in lots of
0.001 BTC; with contract_size 10_000 one tick on one lot is worth 10_000
cash units (0.0001 USDT), and halvorn.CASH_SCALE cash units make one USDT.

The example runs one strategy per tick and in batches, measures what
batching changed, and checks two strategies for lookahead: one that decides
from the past alone and one that was fitted to the whole series.
"""

from __future__ import annotations

import math
import random
import time

import halvorn

TICK_SIZE_USDT = 0.1
LOT_BTC = 0.001
BALANCE_USDT = 10_000


def synthetic_btcusdt(n: int, seed: int = 7) -> list[halvorn.Tick]:
    """A random walk with volatility clustering, a one-tick spread that
    widens in fast markets, and a cumulative volume counter."""
    rng = random.Random(seed)
    price = 600_000.0  # 60_000.0 USDT in ticks of 0.1
    vol = 4.0  # ticks per step
    volume = 0
    t = 1_700_000_000_000_000_000  # nanoseconds
    ticks = []
    for _ in range(n):
        vol = max(1.0, 0.98 * vol + 0.02 * 4.0 + rng.gauss(0.0, 0.35))
        step = rng.gauss(0.0, vol)
        high = price + abs(rng.gauss(0.0, vol / 2))
        low = price - abs(rng.gauss(0.0, vol / 2))
        price += step
        high, low = max(high, price), min(low, price)
        last = round(price)
        spread = 1 + int(vol > 7)
        traded = 1 + int(rng.expovariate(1 / (2 + vol)))
        volume += traded
        t += int(rng.expovariate(1 / 50_000_000))  # about 20 observations a second
        ticks.append(
            halvorn.Tick(t, last, local_ts=t + 1_500_000, high=math.ceil(high), low=math.floor(low),
                         bid=last - (spread - 1), ask=last + 1, volume=volume)
        )
    return ticks


class Crossover:
    """Long when a fast moving average is above a slow one, short when below;
    one position of `lots` at a time, market orders only.

    The averages are floats, which is the strategy's own business: what
    reaches the engine is an integer order."""

    name = "ema-crossover"

    def __init__(self, fast: int = 300, slow: int = 3_000, lots: int = 50, band: float = 3.0):
        self.a_fast = 2.0 / (fast + 1)
        self.a_slow = 2.0 / (slow + 1)
        self.warmup = slow
        self.lots = lots
        self.band = band  # ticks the averages must differ by before it trades
        self.fast = self.slow = None
        self.seen = 0

    def decide(self, last: int, position: int) -> list[halvorn.Order] | None:
        if self.fast is None:
            self.fast = self.slow = float(last)
        self.fast += self.a_fast * (last - self.fast)
        self.slow += self.a_slow * (last - self.slow)
        self.seen += 1
        if self.seen < self.warmup:
            return None
        gap = self.fast - self.slow
        if gap > self.band and position <= 0:
            return [halvorn.Order("buy", self.lots - position)]
        if gap < -self.band and position >= 0:
            return [halvorn.Order("sell", self.lots + position)]
        return None

    def on_tick(self, ctx: halvorn.Context):
        return self.decide(ctx.last, ctx.position)

    def on_batch(self, ticks: list[halvorn.Tick]):
        # Only the account after the batch's last tick is known here, so the
        # batch's decision is the last one the averages call for.
        orders = None
        for t in ticks:
            orders = self.decide(t.last, self.position) or orders
        return orders


class Peeking:
    """Fitted on its whole window: it knows where the series ends and buys
    early if the end is higher.  On a prefix the 'future' it fits to is
    different, and the lookahead check catches it."""

    name = "peeking"

    def __init__(self, ticks: list[halvorn.Tick]):
        self.goes_up = ticks[-1].last > ticks[len(ticks) // 2].last if ticks else False
        self.sent = False

    def on_tick(self, ctx: halvorn.Context):
        if not self.sent and self.goes_up:
            self.sent = True
            return [halvorn.Order("buy", 10)]
        return None


class Honest:
    """Decides from the ticks it has seen: buys after three rises in a row."""

    name = "honest"

    def __init__(self, ticks: list[halvorn.Tick] | None = None):
        self.prev: list[int] = []

    def on_tick(self, ctx: halvorn.Context):
        self.prev.append(ctx.last)
        p = self.prev[-4:]
        if len(p) == 4 and p[0] < p[1] < p[2] < p[3] and ctx.position == 0:
            return [halvorn.Order("buy", 5)]
        if ctx.position > 0 and len(p) == 4 and p[3] < p[2]:
            return [halvorn.Order("sell", ctx.position, "close")]
        return None


def usdt(cash: int) -> str:
    return f"{cash / halvorn.CASH_SCALE:,.2f} USDT"


def show(title: str, r: halvorn.RunResult, seconds: float) -> None:
    print(f"  {title}: {r.ticks:,} ticks in {seconds:.2f} s ({r.ticks / seconds / 1e6:.1f} M ticks/s)")
    print(f"    fills {r.fills}, liquidations {r.liquidations}")
    print(f"    final equity {usdt(r.final_equity)}, lowest {usdt(r.min_equity)}")


def returns_of(curve: list[int]) -> list[float]:
    """Per-period simple returns of an equity curve sampled by the run."""
    return [b / a - 1.0 for a, b in zip(curve, curve[1:])]


def statistics(ticks: list[halvorn.Tick], compat: halvorn.RunResult) -> None:
    print("Statistics of the per-tick run (returns every 1_000 ticks)")
    r = returns_of(compat.equity_curve)
    sharpe, skew, kurt = halvorn.moments(r)
    psr = halvorn.probabilistic_sharpe_ratio(sharpe, 0.0, len(r), skew, kurt)
    print(f"  {len(r)} returns: Sharpe ratio {sharpe:.4f} per period, skewness {skew:.2f}, "
          f"kurtosis {kurt:.2f}")
    print(f"  probability the true Sharpe ratio is above 0: {psr:.3f}")
    if sharpe > 0:
        trl = halvorn.minimum_track_record_length(sharpe, 0.0, skew, kurt)
        print(f"  minimum track record for 95 % confidence: {trl:,.0f} periods")
    else:
        print("  no track record is long enough for a Sharpe ratio at or below 0")

    print("A sweep of 8 parameter sets: is the best one a fluke?")
    sweep = [(fast, slow) for fast in (100, 300) for slow in (1_000, 2_000, 3_000, 5_000)]
    curves = []
    for fast, slow in sweep:
        run = halvorn.run_backtest(Crossover(fast, slow), ticks, BALANCE_USDT, equity_every=1_000)
        curves.append(returns_of(run.equity_curve))
    sharpes = [halvorn.sharpe_ratio(c) for c in curves]
    best = max(range(len(sweep)), key=lambda i: sharpes[i])
    _, skew, kurt = halvorn.moments(curves[best])
    dsr = halvorn.deflated_sharpe_ratio(sharpes, len(curves[best]), skew, kurt)
    pbo = halvorn.probability_of_backtest_overfitting(curves, n_blocks=16)
    print(f"  best: fast {sweep[best][0]}, slow {sweep[best][1]}, Sharpe ratio {sharpes[best]:.4f}")
    print(f"  deflated Sharpe ratio (after trying {len(sweep)}): {dsr:.3f}")
    print(f"  probability of backtest overfitting: {pbo:.3f}")


def main() -> None:
    n = 300_000
    print(f"Generating {n:,} BTCUSDT-like ticks (seeded) ...")
    ticks = synthetic_btcusdt(n)
    first, last = ticks[0], ticks[-1]
    print(f"  price {first.last * TICK_SIZE_USDT:,.1f} -> {last.last * TICK_SIZE_USDT:,.1f} USDT")
    print(f"  one lot is {LOT_BTC} BTC; balance {BALANCE_USDT:,} USDT\n")

    print("EMA crossover strategy")
    start = time.perf_counter()
    compat = halvorn.run_backtest(Crossover(), ticks, BALANCE_USDT, equity_every=1_000)
    show("per tick (compatibility mode)", compat, time.perf_counter() - start)
    start = time.perf_counter()
    batched = halvorn.run_backtest(Crossover(), ticks, BALANCE_USDT, batch=4096)
    show("batched (throughput mode, 4096)", batched, time.perf_counter() - start)
    print(f"  {compat!r}\n")

    cmp = halvorn.compare_modes(Crossover, ticks, BALANCE_USDT, 4096)
    print("What batching changed")
    print(f"  {cmp!r}")
    print(f"  fills {cmp.compat_fills} per tick vs {cmp.batched_fills} batched; "
          f"first differing fill {cmp.first_divergence}; "
          f"equity difference {usdt(cmp.equity_difference)}\n")

    statistics(ticks, compat)
    print()

    print("Lookahead check (prefixes of the first 3_000 ticks)")
    window = ticks[:3_000]
    for build in (Honest, Peeking):
        report = halvorn.lookahead_check(build, window, BALANCE_USDT, max_points=50)
        verdict = "clean" if report.clean else "USES THE FUTURE"
        print(f"  {build.name:8} {verdict}: {report!r}")
        for checked_at, tick, exch_ts in report.divergences[:3]:
            print(f"      prefix ending at tick {checked_at} decided differently at tick {tick} "
                  f"(exch_ts {exch_ts})")


if __name__ == "__main__":
    main()
