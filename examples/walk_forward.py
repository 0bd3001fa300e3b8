"""Choose on the past, judge on the future: a walk forward and a purged
cross-validation of one grid, and the page of the walk forward.

    python examples/walk_forward.py [output-directory] [--ticks N]

The series is generated here, deterministically: a price that swings up and
down in waves of varying length under noise, a tick every ten seconds,
written once to a tick file that every worker reads for itself.  A
moving-average crossover is walked forward over it: in each window the
setting with the best Sharpe ratio on a day of training is chosen and then
run on the six hours after it, and the chosen settings' runs are stitched
into one out-of-sample run.  The search is judged by the deflated Sharpe
ratio over every trial of every window, and by how often a window's choice
did no better than the median setting out of sample.  A random search over
the same ranges is walked forward beside the grid, and a combinatorial
purged cross-validation of the grid gives the spread of out-of-sample
Sharpe ratios over its backtest paths.  The page of the walk forward is
written into the directory given, or a new temporary one.

Prices are in ticks of 0.1 USDT; money in the results is in cash units,
halvorn.CASH_SCALE of them to one USDT.
"""

from __future__ import annotations

import math
import os
import random
import statistics
import sys
import tempfile

import halvorn
from halvorn import research

SECOND = 10**9
HOUR = 3_600 * SECOND
BALANCE_USDT = 10_000


def synthetic_series(n: int, seed: int = 7) -> list[halvorn.Tick]:
    """Waves of 40 to 160 minutes and 200 to 600 ticks of height, one after
    another, under a random walk of noise: there is something to find, and
    settings that find it better or worse."""
    rng = random.Random(seed)
    start = 1_704_067_200 * SECOND  # 2024-01-01 00:00 UTC
    ticks, phase, length, height, wander = [], 0.0, 480, 400.0, 0.0
    for i in range(n):
        phase += 2 * math.pi / length
        if phase >= 2 * math.pi:
            phase -= 2 * math.pi
            length = rng.randrange(240, 960)
            height = rng.uniform(200.0, 600.0)
        wander += rng.gauss(0.0, 3.0)
        last = 600_000 + round(height * math.sin(phase) + wander)
        ticks.append(halvorn.Tick(start + i * 10 * SECOND, last, bid=last - 1, ask=last + 1))
    return ticks


class Crossover:
    """Long while the fast average is above the slow one; one position of
    `lots` at a time, market orders only."""

    def __init__(self, fast: int, slow: int, lots: int = 20) -> None:
        self.fast, self.slow, self.lots = fast, slow, lots
        self.fast_mean: float | None = None
        self.slow_mean = 0.0

    def on_tick(self, ctx: halvorn.Context) -> list[halvorn.Order] | None:
        if self.fast_mean is None:
            self.fast_mean = self.slow_mean = float(ctx.last)
        self.fast_mean += (ctx.last - self.fast_mean) / self.fast
        self.slow_mean += (ctx.last - self.slow_mean) / self.slow
        if self.fast_mean > self.slow_mean and ctx.position == 0:
            return [halvorn.Order("buy", self.lots)]
        if self.fast_mean < self.slow_mean and ctx.position > 0:
            return [halvorn.Order("sell", ctx.position, "close")]
        return None


def main(argv: list[str]) -> None:
    n = 60_000
    if "--ticks" in argv:
        at = argv.index("--ticks")
        n = int(argv[at + 1])
        del argv[at:at + 2]
    out = argv[1] if len(argv) > 1 else tempfile.mkdtemp(prefix="halvorn-research-example-")
    os.makedirs(out, exist_ok=True)

    print(f"Generating {n:,} ticks and writing them to a tick file ...")
    path = os.path.join(out, "series.hvtk")
    halvorn.save_ticks(path, synthetic_series(n))
    ticks = halvorn.load_ticks(path)

    grid = {"fast": [5, 15, 40, 100], "slow": [60, 180, 480, 1_200]}
    split = research.WalkForward(train=24 * HOUR, test=6 * HOUR, warmup=3 * HOUR,
                                 purge=10 * 60 * SECOND)
    print(f"Walking {split} forward on {os.cpu_count()} cores ...")
    result = research.walk_forward(Crossover, grid, ticks, BALANCE_USDT, split=split,
                                   equity_every=30, progress=True)

    print(f"\n{'window':>6} {'fast':>5} {'slow':>5} {'in sample':>10} {'out':>9}")
    for w in result.windows:
        print(f"{w.index:>6} {w.params['fast']:>5} {w.params['slow']:>5} "
              f"{w.in_sample.total_return:>+10.3%} {w.out_of_sample.total_return:>+9.3%}")
    stitched = result.stitched
    efficiency = result.efficiency
    print(f"\nOut of sample, stitched: {stitched.total_return:+.3%} over "
          f"{len(result.windows)} windows, {len(stitched.fills)} fills")
    print("Walk-forward efficiency: "
          + ("undefined" if efficiency is None else f"{efficiency:.3f}"))
    print(f"Deflated Sharpe ratio ({result.trials} trials): "
          f"{result.deflated_sharpe_ratio():.3f}")
    print(f"Probability of backtest overfitting, over windows: "
          f"{result.probability_of_backtest_overfitting():.3f}")

    search = research.RandomSearch(space={"fast": research.IntRange(3, 120, log=True),
                                          "slow": research.IntRange(40, 1_500, log=True)},
                                   trials=16, seed=1)
    drawn = research.walk_forward(Crossover, search, ticks, BALANCE_USDT, split=split,
                                  equity_every=30)
    print(f"\nRandom search, out of sample: {drawn.stitched.total_return:+.3%}; "
          f"overfitting {drawn.probability_of_backtest_overfitting():.3f}")

    cv = research.purged_cv(Crossover, grid, ticks, BALANCE_USDT,
                            split=research.PurgedCV(groups=6, test_groups=2, purge=HOUR,
                                                    embargo=HOUR, warmup=1_080),
                            equity_every=30)
    sharpes = [s for s in cv.path_sharpes if s is not None]
    print(f"Purged cross-validation: {len(cv.splits)} splits, {len(cv.paths)} paths, "
          f"out-of-sample Sharpe ratio {min(sharpes):.4f} to {max(sharpes):.4f} "
          f"(median {statistics.median(sharpes):.4f}); "
          f"overfitting {cv.probability_of_backtest_overfitting():.3f}")

    page = os.path.join(out, "walk-forward.html")
    research.html(result, page)
    print(f"\nPage written: {page}")


if __name__ == "__main__":
    main(sys.argv)
