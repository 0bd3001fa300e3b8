"""Sweep scaling: a process pool against one worker, and a worker's memory against
the size of the file it reads.

    python bench/sweep_scaling.py [data-directory] [--repeat N]

1. Writes tick files of 1_000_000 and 10_000_000 ticks into the data directory
   (default: a new temporary one), or reuses those already there.
2. Times one sweep of 8 settings of a per-tick crossover over the 10 M-tick
   file twice: serially (a thread pool of one, in this process) and on a
   process pool of one spawned worker per core, as sweep.run starts by
   default; the pool's start-up is inside the timing.  Target: at least 1.8x
   on 2 cores.  The two are run N times (default 3), alternately, and the best
   of each is kept: the machine is shared, and whatever else runs on it can
   only make a run slower.  The load average before and after is printed.
3. Asks every worker of a fresh pool for its peak resident set size, in the
   worker: before any sweep, after the sweep over the 1 M-tick file, and after
   the one over the 10 M-tick file.  A worker streams its file a block at a
   time, so its peak must not grow with the file.  Both sweeps keep 1_000
   equity samples, so the only thing that grows is the file.

The peak is the address space's high-water mark (VmHWM in /proc/self/status)
rather than getrusage's ru_maxrss: on Linux ru_maxrss survives execve, so a
spawned worker would report its parent's peak at the moment it was started.
The files are written by a child process for the same reason, so that the
parent, which runs the serial sweep, does not carry the list it wrote from.
"""

from __future__ import annotations

import concurrent.futures as cf
import multiprocessing
import os
import random
import resource
import sys
import tempfile
import time

import halvorn
from cached_ticks import cached_ticks
from halvorn import sweep

GRID = {"fast": [50, 200], "slow": [2_000, 5_000, 10_000, 20_000]}
BALANCE = 10_000


class Crossover:
    def __init__(self, fast: int, slow: int) -> None:
        self.a_fast = 2.0 / (fast + 1)
        self.a_slow = 2.0 / (slow + 1)
        self.fast = self.slow = 0.0
        self.warm = slow
        self.seen = 0

    def on_tick(self, ctx):
        last = ctx.last
        if self.seen == 0:
            self.fast = self.slow = float(last)
        self.seen += 1
        self.fast += self.a_fast * (last - self.fast)
        self.slow += self.a_slow * (last - self.slow)
        if self.seen < self.warm:
            return None
        position = ctx.position
        if self.fast > self.slow + 2 and position <= 0:
            return [halvorn.Order("buy", 10 - position)]
        if self.fast < self.slow - 2 and position >= 0:
            return [halvorn.Order("sell", 10 + position)]
        return None


def tick_file(directory: str, n: int) -> halvorn.TickSource:
    return cached_ticks(os.path.join(directory, f"walk-{n}.hvtk"), n, write_in_a_process)


def write_in_a_process(path: str, n: int) -> None:
    writer = multiprocessing.get_context("spawn").Process(target=write_walk, args=(path, n))
    writer.start()
    writer.join()
    if writer.exitcode != 0:
        raise SystemExit(f"writing {path} failed")


def write_walk(path: str, n: int) -> None:
    rng = random.Random(n)
    price, t, ticks = 600_000, 1_700_000_000_000_000_000, []
    for _ in range(n):
        price += rng.choice((-2, -1, -1, 0, 0, 1, 1, 2))
        t += 50_000_000
        ticks.append(halvorn.Tick(t, price, bid=price - 1, ask=price + 1))
    halvorn.save_ticks(path, ticks)


def spawned_pool() -> cf.ProcessPoolExecutor:
    return cf.ProcessPoolExecutor(max_workers=os.cpu_count(),
                                  mp_context=multiprocessing.get_context("spawn"))


def peak_rss(barrier) -> tuple[int, int]:
    # Every worker waits here until all of them have a probe, so each answers once.
    barrier.wait(timeout=300)
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return os.getpid(), int(line.split()[1])  # KiB
    except OSError:
        pass
    return os.getpid(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker_peaks(pool: cf.ProcessPoolExecutor, manager) -> list[int]:
    workers = pool._max_workers
    barrier = manager.Barrier(workers)
    answers = [f.result() for f in [pool.submit(peak_rss, barrier) for _ in range(workers)]]
    assert len({pid for pid, _ in answers}) == workers, "every worker answers once"
    return sorted(kib for _, kib in answers)


def timed(label: str, fn):
    start = time.perf_counter()
    value = fn()
    seconds = time.perf_counter() - start
    print(f"  {label:<34} {seconds:7.2f} s", flush=True)
    return value, seconds


def load() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    args = sys.argv[1:]
    repeat = 3
    if "--repeat" in args:
        at = args.index("--repeat")
        repeat = int(args[at + 1])
        del args[at:at + 2]
    directory = args[0] if args else tempfile.mkdtemp(prefix="halvorn-bench-")
    os.makedirs(directory, exist_ok=True)
    print(f"tick files in {directory}")
    small = tick_file(directory, 1_000_000)
    large = tick_file(directory, 10_000_000)
    sets = len(sweep.parameter_sets(GRID))
    cores = os.cpu_count()

    print(f"\n1. a sweep of {sets} settings, per tick, over {large.count:,} ticks")
    every = large.count // 1_000

    def serial():
        with cf.ThreadPoolExecutor(1) as one:
            return sweep.run(Crossover, GRID, large, BALANCE, equity_every=every, executor=one)

    def pooled():
        with spawned_pool() as pool:
            return sweep.run(Crossover, GRID, large, BALANCE, equity_every=every, executor=pool)

    print(f"  load average before: {load()}")
    serial_s = pool_s = float("inf")
    for _ in range(repeat):
        one, seconds = timed("serial (one thread)", serial)
        serial_s = min(serial_s, seconds)
        many, seconds = timed(f"process pool ({cores} workers, spawned)", pooled)
        pool_s = min(pool_s, seconds)
        assert one == many, "the pool must give the serial result"
    print(f"  load average after:  {load()}")
    print(f"  best of {repeat}: serial {serial_s:.2f} s, pool {pool_s:.2f} s; speed-up "
          f"{serial_s / pool_s:.2f}x (target >= 1.8x on 2 cores); "
          f"{sets * large.count / pool_s / 1e6:.1f} M ticks/s in all")

    print("\n2. peak resident set of each worker (VmHWM, read in the worker)")
    with multiprocessing.get_context("spawn").Manager() as manager, spawned_pool() as pool:
        fresh = worker_peaks(pool, manager)
        on_small = sweep.run(Crossover, GRID, small, BALANCE, equity_every=small.count // 1_000,
                             executor=pool)
        after_small = worker_peaks(pool, manager)
        on_large = sweep.run(Crossover, GRID, large, BALANCE, equity_every=large.count // 1_000,
                             executor=pool)
        after_large = worker_peaks(pool, manager)

    def mib(values: list[int]) -> str:
        return ", ".join(f"{kib / 1024:.1f}" for kib in values) + " MiB"

    print(f"  started, nothing run:                {mib(fresh)}")
    print(f"  after {small.count:>10,} ticks:             {mib(after_small)}")
    print(f"  after {large.count:>10,} ticks:             {mib(after_large)}")
    growth = max(after_large) - max(after_small)
    most = [max(row.fills for row in r.rows) for r in (on_small, on_large)]
    print(f"  growth from 1 M to 10 M ticks: {growth / 1024:+.1f} MiB; the file grew by "
          f"{(large.count - small.count) * 64 / 2**20:,.0f} MiB, and the most fills one run "
          f"returned from {most[0]:,} to {most[1]:,}")


if __name__ == "__main__":
    main()
