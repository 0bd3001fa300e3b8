"""Columnar batches against the other ways to run a strategy, in one process.

    python bench/columns.py [directory] [n_ticks]

Writes a series of n_ticks (default 50_000_000) to a tick file in
`directory` (default a temporary one) and reports, best of three each:

  1. an empty on_columns strategy at batch 4_096 over the file (target:
     at least 60 M ticks/s);
  2. the same empty strategy as on_batch(list of Tick) at batch 4_096, the
     throughput mode of halvorn.run_backtest;
  3. compatibility mode (on_tick returning None) and the pure-Python floor (a
     Python loop calling a method once per element of a prebuilt list), on
     the first 5 M ticks, per tick;
  4. a NumPy moving-average crossover written on columns and the same logic
     on lists of Tick (target: columns at least 3x faster).
"""

from __future__ import annotations

import os
import sys
import tempfile
import time

# One thread for NumPy: the comparison is of one core's work, and a BLAS
# pool spinning beside the run would only add noise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import halvorn  # noqa: E402
from halvorn import data, venue  # noqa: E402

BATCH = 4_096


def best(fn, repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def write_series(path: str, n: int) -> halvorn.TickSource:
    rng = np.random.default_rng(7)
    last = 600_000 + np.cumsum(rng.integers(-3, 4, n, dtype=np.int64))
    exch_ts = 1_700_000_000_000_000_000 + np.arange(n, dtype=np.int64) * 50_000_000
    return data.from_arrays(path, exch_ts, last, high=last + 2, low=last - 2, bid=last - 1,
                            ask=last + 1, volume=np.arange(n, dtype=np.int64))


class EmptyColumns:
    def on_columns(self, batch):
        return None


class EmptyBatch:
    def on_batch(self, ticks):
        return None


class Noop:
    def on_tick(self, ctx):
        return None


class Crossover:
    """Long while the 256-tick average is above the 2_048-tick one, short
    while below; the averages over the whole series so far, kept in a tail
    of the last 2_048 prices."""

    fast, slow = 256, 2_048

    def __init__(self):
        self.tail = np.zeros(0, dtype=np.int64)

    def decide(self, last: np.ndarray, position: int):
        prices = np.concatenate((self.tail, last))
        self.tail = prices[-self.slow:]
        if len(prices) < self.slow:
            return None
        sums = np.cumsum(prices[-self.slow:], dtype=np.int64)
        fast = (sums[-1] - sums[-self.fast - 1]) / self.fast
        slow = sums[-1] / self.slow
        if fast > slow and position <= 0:
            return [halvorn.Order("buy", 1 - position)]
        if fast < slow and position >= 0:
            return [halvorn.Order("sell", 1 + position)]
        return None


class CrossoverColumns(Crossover):
    def on_columns(self, batch):
        return self.decide(np.asarray(batch.last), self.position)


class CrossoverLists(Crossover):
    def on_batch(self, ticks):
        return self.decide(np.fromiter((t.last for t in ticks), np.int64, len(ticks)),
                           self.position)


def main() -> None:
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="halvorn-bench-")
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 50_000_000
    path = os.path.join(directory, "columns.hvtk")
    small_path = os.path.join(directory, "columns-small.hvtk")
    source = write_series(path, n)
    small = write_series(small_path, min(n, 5_000_000))
    small_list = [halvorn.Tick(i, 600_000) for i in range(len(small))]
    rate = lambda seconds, count: count / seconds / 1e6  # noqa: E731
    per = lambda seconds, count: seconds / count * 1e9  # noqa: E731

    columns_s = best(lambda: venue.run(EmptyColumns(), source, 100_000, batch=BATCH))
    lists_s = best(lambda: halvorn.run_backtest(EmptyBatch(), source, 100_000, batch=BATCH))
    compat_s = best(lambda: halvorn.run_backtest(Noop(), small, 100_000))
    floor_strategy = Noop()

    def floor():
        on_tick = floor_strategy.on_tick
        for t in small_list:
            on_tick(t)

    floor_s = best(floor)
    v = venue.Venue(taker_fee=500_000)
    runs = {}

    def crossover(cls):
        def go():
            runs[cls.__name__] = venue.run(cls(), source, 100_000, venue=v, batch=BATCH)
        return go

    cross_columns_s = best(crossover(CrossoverColumns))
    cross_lists_s = best(crossover(CrossoverLists))
    same = runs["CrossoverColumns"].fill_prices == runs["CrossoverLists"].fill_prices

    print(f"series: {n:,} ticks in {path} (Python {sys.version.split()[0]}, NumPy {np.__version__})")
    print(f"{'':46}{'M ticks/s':>12}{'ns/tick':>10}")
    rows = [
        ("empty on_columns, batch 4096 (target >= 60)", columns_s, n),
        ("empty on_batch list, batch 4096", lists_s, n),
        ("compatibility mode, on_tick (5 M ticks)", compat_s, len(small)),
        ("pure-Python floor, a call per tick (5 M)", floor_s, len(small)),
        ("NumPy crossover on columns", cross_columns_s, n),
        ("NumPy crossover on lists of Tick", cross_lists_s, n),
    ]
    for label, seconds, count in rows:
        print(f"{label:46}{rate(seconds, count):12.2f}{per(seconds, count):10.2f}")
    print(f"crossover on columns is {cross_lists_s / cross_columns_s:.2f}x faster than on lists "
          f"(target >= 3x); the two runs' fills agree: {same} "
          f"({len(runs['CrossoverColumns'].fills):,} fills)")
    print(f"empty on_columns is {lists_s / columns_s:.2f}x faster than on_batch lists")


if __name__ == "__main__":
    main()
