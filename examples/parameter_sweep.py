"""A parameter sweep on every core, judged for luck, and a report of the winner.

    python examples/parameter_sweep.py [output-directory] [--ticks N]

The series is generated here, deterministically, and written once to a tick
file that every worker reads for itself.  Sixteen settings of a moving-average
crossover are run over it on a process pool; then the search is judged: the
deflated Sharpe ratio asks whether the best Sharpe ratio is more than the best
of sixteen tries would show by luck, and the probability of backtest
overfitting how often the setting that is best on one half of the periods is
in the lower half on the other.  Finally the best setting is run again and
its report written: a PNG chart and one HTML page, into the directory given
or a new temporary one.

Prices are in ticks of 0.1 USDT and quantities in lots of 0.001 BTC; money in
the results is in cash units, halvorn.CASH_SCALE of them to one USDT.
"""

from __future__ import annotations

import os
import random
import sys
import tempfile

import halvorn
from halvorn import report, sweep

BALANCE_USDT = 10_000


def synthetic_series(n: int, seed: int = 3) -> list[halvorn.Tick]:
    """A random walk whose volatility clusters and whose drift turns now and then,
    so that some crossovers catch the turns and some are whipsawed."""
    rng = random.Random(seed)
    price, vol, drift = 600_000.0, 4.0, 0.0
    t = 1_700_000_000_000_000_000
    ticks = []
    for _ in range(n):
        vol = max(1.0, 0.98 * vol + 0.02 * 4.0 + rng.gauss(0.0, 0.3))
        if rng.random() < 1 / 20_000:
            drift = rng.choice((-0.03, 0.0, 0.03))
        price += drift + rng.gauss(0.0, vol)
        last = round(price)
        t += 1 + int(rng.expovariate(1 / 50_000_000))
        ticks.append(halvorn.Tick(t, last, bid=last - 1, ask=last + 1))
    return ticks


class Crossover:
    """Long when the fast average is `band` ticks above the slow one, short when it
    is as far below; one position of `lots` at a time, market orders only."""

    def __init__(self, fast: int, slow: int, lots: int = 20, band: float = 2.0) -> None:
        self.a_fast = 2.0 / (fast + 1)
        self.a_slow = 2.0 / (slow + 1)
        self.warmup = slow
        self.lots = lots
        self.band = band
        self.fast: float | None = None
        self.slow = 0.0
        self.seen = 0
        self.name = f"crossover {fast}/{slow}"

    def on_tick(self, ctx: halvorn.Context) -> list[halvorn.Order] | None:
        last = ctx.last
        if self.fast is None:
            self.fast = self.slow = float(last)
        self.fast += self.a_fast * (last - self.fast)
        self.slow += self.a_slow * (last - self.slow)
        self.seen += 1
        if self.seen < self.warmup:
            return None
        gap = self.fast - self.slow
        # Without hedging the position is one signed number: buying lots - position
        # from short (negative) turns it into a long of lots, and the other way round.
        position = ctx.position
        if gap > self.band and position <= 0:
            return [halvorn.Order("buy", self.lots - position)]
        if gap < -self.band and position >= 0:
            return [halvorn.Order("sell", self.lots + position)]
        return None


def main(argv: list[str]) -> None:
    n = 400_000
    if "--ticks" in argv:
        at = argv.index("--ticks")
        n = int(argv[at + 1])
        del argv[at:at + 2]
    out = argv[1] if len(argv) > 1 else tempfile.mkdtemp(prefix="halvorn-sweep-example-")
    os.makedirs(out, exist_ok=True)
    equity_every = max(1, n // 800)  # 800 periods, enough for 16 blocks of 50

    print(f"Generating {n:,} ticks and writing them to a tick file ...")
    path = os.path.join(out, "series.hvtk")
    halvorn.save_ticks(path, synthetic_series(n))
    ticks = halvorn.load_ticks(path)

    grid = {"fast": [50, 150, 400, 1_000], "slow": [2_000, 5_000, 10_000, 20_000]}
    print(f"Sweeping {len(sweep.parameter_sets(grid))} settings on {os.cpu_count()} cores ...")
    result = sweep.run(Crossover, grid, ticks, BALANCE_USDT, equity_every=equity_every,
                       progress=True)

    print(f"\n{'fast':>6} {'slow':>6} {'fills':>6} {'return':>9} {'Sharpe':>9}")
    for row in result.rows:
        sharpe = "-" if row.sharpe is None else f"{row.sharpe:.4f}"
        print(f"{row.params['fast']:>6} {row.params['slow']:>6} {row.fills:>6} "
              f"{row.total_return * 100:>8.2f}% {sharpe:>9}")

    best = result.best
    print(f"\nBest: {best.params}, Sharpe ratio {best.sharpe:.4f} per period "
          f"of {equity_every:,} ticks")
    print(f"Deflated Sharpe ratio (16 tries): {result.deflated_sharpe_ratio():.3f}")
    print(f"Probability of backtest overfitting: "
          f"{result.probability_of_backtest_overfitting():.3f}")

    run = halvorn.run_backtest(Crossover(**best.params), ticks, BALANCE_USDT,
                               equity_every=equity_every)
    print(f"\nThe best setting, run again:\n{report.stats(run)}")
    png = os.path.join(out, "best.png")
    page = os.path.join(out, "best.html")
    report.plot(run, png)
    report.html(run, page, title=f"Best of the sweep: {run.strategy}")
    print(f"\nReport written: {png}\n                {page}")


if __name__ == "__main__":
    main(sys.argv)
