"""Walk-forward scaling: 20 windows of 50 parameter sets over a 50 M-tick file,
on one core, on every core, and on a local Dask cluster of two workers.

    python bench/research_scaling.py [data-directory] [--ticks N]

1. Writes a tick file of N ticks (default 50_000_000, 3.2 GB) into the data
   directory (default: a new temporary one), or reuses the one there.
2. Walks a compiled crossover forward over it, 20 rolling windows by tick
   count (training 2.5 M ticks, test the rest divided by 20, a warm-up of
   100_000 ticks before every run), choosing among 50 settings in each: 1_000
   training runs, 1_000 test runs and 20 runs of the chosen settings again.
   Compiled strategies release the interpreter's lock, so a thread pool runs
   them in parallel; timed on a thread pool of one (one core) and of one
   thread per core (every core), each the best of --repeat (default 1);
   target: at least 1.8x on 2 cores.  Then on the default process pool, and
   on a local Dask cluster of two worker processes of one thread each.
3. Checks that every executor chose the same sets and stitched the same
   out-of-sample equity, and prints the load average around each figure.

Needs the jit extra (numba) and, for the cluster, the dask extra.  Build the
extension in Release (-DCMAKE_BUILD_TYPE=Release) for these figures.
"""

from __future__ import annotations

import concurrent.futures as cf
import os
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import halvorn  # noqa: E402
import research_strategy  # noqa: E402
from cached_ticks import cached_ticks  # noqa: E402
from halvorn import data, research  # noqa: E402

WINDOWS = 20
TRAIN = 2_500_000
WARMUP = 100_000
GRID = {"fast": [5, 10, 20, 40, 80, 160, 320, 640, 1_280, 2_560],
        "slow": [1_000, 3_000, 9_000, 27_000, 81_000]}
BALANCE = 10_000
BATCH = 16
PERIODS = 50  # equity samples of a training run


def tick_file(directory: str, n: int) -> halvorn.TickSource:
    return cached_ticks(os.path.join(directory, f"research-{n}.hvtk"), n, write_walk)


def write_walk(path: str, n: int) -> None:
    rng = np.random.default_rng(n)
    # A random walk whose drift turns every few hundred thousand ticks.
    drift = np.repeat(rng.choice([-0.02, 0.0, 0.02], size=n // 300_000 + 1), 300_000)[:n]
    prices = (600_000 + np.cumsum(rng.integers(-3, 4, n) + drift)).round().astype(np.int64)
    times = 1_700_000_000 * 10**9 + np.arange(n, dtype=np.int64) * 50_000_000
    data.from_arrays(path, times, prices, bid=prices - 1, ask=prices + 1)


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def walk(ticks: halvorn.TickSource, split: research.WalkForward,
         executor: cf.Executor | None) -> research.WalkForwardResult:
    return research.walk_forward(research_strategy.build, GRID, ticks, BALANCE, split=split,
                                 equity_every=split.train // PERIODS, batch=BATCH,
                                 executor=executor)


def timed(label: str, fn, repeat: int = 1):
    best, value = float("inf"), None
    for _ in range(repeat):
        before = load()
        start = time.perf_counter()
        value = fn()
        seconds = time.perf_counter() - start
        best = min(best, seconds)
        print(f"  {label:<44} {seconds:8.2f} s   load {before} -> {load()}", flush=True)
    return value, best


def main() -> None:
    args = sys.argv[1:]
    n, repeat = 50_000_000, 1
    for flag in ("--ticks", "--repeat"):
        if flag in args:
            at = args.index(flag)
            value = int(args[at + 1])
            del args[at:at + 2]
            if flag == "--ticks":
                n = value
            else:
                repeat = value
    directory = args[0] if args else tempfile.mkdtemp(prefix="halvorn-bench-")
    os.makedirs(directory, exist_ok=True)
    ticks = tick_file(directory, n)
    scale = n / 50_000_000
    train, warmup = int(TRAIN * scale), int(WARMUP * scale)
    test = (n - warmup - train) // WINDOWS
    split = research.WalkForward(train=train, test=test, by="ticks", warmup=warmup)
    cores = os.cpu_count() or 1
    sets = len(GRID["fast"]) * len(GRID["slow"])
    runs = WINDOWS * (2 * sets + 1)
    print(f"{WINDOWS} windows x {sets} sets over {n:,} ticks ({runs:,} runs, {cores} cores)")

    one, one_s = timed("one core (a thread pool of 1)",
                       lambda: walk(ticks, split, cf.ThreadPoolExecutor(1)), repeat)
    assert len(one.windows) == WINDOWS and one.trials == WINDOWS * sets
    every, every_s = timed(f"every core (a thread pool of {cores})",
                           lambda: walk(ticks, split, cf.ThreadPoolExecutor(cores)), repeat)
    pooled, pooled_s = timed(f"every core (the default process pool)",
                             lambda: walk(ticks, split, None))
    for other in (every, pooled):
        assert other.stitched.equity_curve == one.stitched.equity_curve
        assert [w.params for w in other.windows] == [w.params for w in one.windows]
    ticks_run = sum(len(w.training) * (w.training.rows[0].ticks + w.testing.rows[0].ticks)
                    for w in one.windows)
    print(f"  {ticks_run / 1e9:.2f} G ticks run; speed-up on {cores} cores: "
          f"threads {one_s / every_s:.2f}x, processes {one_s / pooled_s:.2f}x "
          f"(target 1.8x on 2 cores)")

    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("  no dask: pip install halvorn[dask] for the cluster figure")
        return
    # The workers import the strategy's module from here.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE,
                                                             os.environ.get("PYTHONPATH")]))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        clustered, cluster_s = timed("a local Dask cluster of 2 workers",
                                     lambda: walk(ticks, split, client.get_executor()))
    assert clustered.stitched.equity_curve == one.stitched.equity_curve
    print(f"  the cluster: {one_s / cluster_s:.2f}x one core")
    print(f"out of sample: {one.stitched.total_return:+.4%}; "
          f"overfitting {one.probability_of_backtest_overfitting():.3f}")


if __name__ == "__main__":
    main()
