"""An L2 venue run over a day of ticks and recorded depth, from Python.

    PYTHONPATH=build/py/python python3 bench/depth_run.py [dir] [--ticks N] [--updates M] [--keep]

Generates a day in the manner of bench/data/depth_day.hpp -- N ticks
(default 10_000_000) written with data.from_arrays, and M depth updates
(default 20_000_000) written with data.save_depth from a generator: one to
three levels within twenty ticks of a drifting mid price, a quarter of them
deletions, a snapshot of 500 levels a side at the start and every 1_000_000
updates, and one update id lost every 4_000_000 updates so that the book
breaks and waits for the next snapshot.  Then, each in a fresh process:
  1. load_depth and a full streamed read of the file by the depth reader (the
     pass that counts snapshots and updates): GB/s; and read_depth, which
     makes one Python record per depth record: records/s;
  2. an L2 venue.run (batch=4096, on_columns, an order now and then) over
     the day with depth=: ticks/s and depth records/s;
  3. the peak resident memory of that run (the process's VmHWM, with
     getrusage's ru_maxrss beside it), against the same run over a day a
     tenth the size, to show that memory does not grow with the files.
`dir` (default: a temporary directory) holds the files; --keep keeps them.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

from halvorn import data

DAY_START = 1_700_000_000_000_000_000
DAY_NS = 86_400_000_000_000
MID = 60_000_000
SIDE_LEVELS = 500
SNAPSHOT_EVERY = 1_000_000
GAP_EVERY = 4_000_000
CHUNK = 1 << 16


def mid_at(t: np.ndarray) -> np.ndarray:
    """The mid price at each time: a slow triangle over eight hours plus a
    little noise on each 50 ms step, so that ticks and depth agree on it."""
    x = ((t - DAY_START) // 50_000_000).astype(np.uint64) + np.uint64(1)
    with np.errstate(over="ignore"):
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    hours = (t - DAY_START) // 3_600_000_000_000
    phase = hours % 8
    drift = np.where(phase < 4, phase, 8 - phase) * 40
    return MID + drift + (x % np.uint64(7)).astype(np.int64) - 3


def write_ticks(path: str, n: int) -> None:
    rng = np.random.default_rng(42)
    step = DAY_NS // n
    t = DAY_START + (np.arange(n, dtype=np.int64) + 1) * step
    mid = mid_at(t)
    last = mid + rng.integers(-1, 3, size=n)
    data.from_arrays(path, t, last, local_ts=t + 100_000, high=last + 2, low=last - 2,
                     bid=mid - 1, ask=mid + 1, volume=np.cumsum(rng.integers(0, 40, size=n)))


def depth_records(n: int, seed: int = 7):
    """The day's depth as Snapshot and Update records, generated a chunk at a time."""
    rng = np.random.default_rng(seed)
    step = DAY_NS // n
    next_id = 1_000

    def snapshot(t: int) -> data.Snapshot:
        mid = int(mid_at(np.array([t], dtype=np.int64))[0])
        qty = rng.integers(1, 51, size=2 * SIDE_LEVELS).tolist()
        bids = [(mid - i, qty[i - 1]) for i in range(1, SIDE_LEVELS + 1)]
        asks = [(mid + i, qty[SIDE_LEVELS + i - 1]) for i in range(1, SIDE_LEVELS + 1)]
        return data.Snapshot(next_id, bids, asks, time_ns=t)

    yield snapshot(DAY_START)
    Update = data.Update
    for start in range(0, n, CHUNK):
        k = min(CHUNK, n - start)
        index = np.arange(start, start + k, dtype=np.int64)
        times = DAY_START + index * step + step // 2
        mids = mid_at(times).tolist()
        counts = rng.integers(1, 4, size=k).tolist()
        away = rng.integers(1, 21, size=(k, 3)).tolist()
        qty = np.where(rng.integers(0, 4, size=(k, 3)) == 0, 0,
                       rng.integers(1, 51, size=(k, 3))).tolist()
        bid_side = rng.integers(0, 2, size=(k, 3)).astype(bool).tolist()
        times = times.tolist()
        for j in range(k):
            i = start + j
            if i > 0 and i % GAP_EVERY == 0:
                next_id += 1  # an update lost: the stream breaks here
            if i > 0 and i % SNAPSHOT_EVERY == SNAPSHOT_EVERY // 2:
                yield snapshot(times[j])
            mid = mids[j]
            bids, asks = [], []
            for m in range(counts[j]):
                if bid_side[j][m]:
                    bids.append((mid - away[j][m], qty[j][m]))
                else:
                    asks.append((mid + away[j][m], qty[j][m]))
            next_id += 1
            yield Update(next_id, next_id, times[j], bids, asks)


def write_day(directory: str, name: str, ticks: int, updates: int,
              paths: list[str]) -> tuple[str, str]:
    tick_path = os.path.join(directory, f"{name}.hvtk")
    depth_path = os.path.join(directory, f"{name}.hvdp")
    paths += [tick_path, depth_path]
    start = time.perf_counter()
    write_ticks(tick_path, ticks)
    tick_seconds = time.perf_counter() - start
    start = time.perf_counter()
    depth = data.save_depth(depth_path, depth_records(updates))
    depth_seconds = time.perf_counter() - start
    print(f"{name}: {ticks:,} ticks written in {tick_seconds:.1f} s; {len(depth):,} depth "
          f"records ({os.path.getsize(depth_path) / 1e9:.2f} GB) written by save_depth in "
          f"{depth_seconds:.1f} s, {len(depth) / depth_seconds / 1e6:.2f} M records/s")
    return tick_path, depth_path


READER = textwrap.dedent(
    """
    import os, sys, time
    from halvorn import data
    start = time.perf_counter()
    depth = data.load_depth(sys.argv[1])
    snapshots = depth.snapshots  # one streamed pass of the depth reader over the file
    seconds = time.perf_counter() - start
    n = 0
    start = time.perf_counter()
    for _ in data.read_depth(depth):
        n += 1
        if n == 2_000_000:
            break
    records_seconds = time.perf_counter() - start
    print(os.path.getsize(sys.argv[1]), seconds, snapshots, depth.updates, n, records_seconds)
    """
)

RUNNER = textwrap.dedent(
    """
    import resource, sys, time
    import halvorn
    from halvorn import data, venue

    class Light:
        # Looks at each batch's columns and trades one lot every 16 batches,
        # alternating sides so that the position stays small.
        def __init__(self):
            self.batches = 0
            self.side = "buy"

        def on_columns(self, batch):
            self.batches += 1
            if self.batches % 16:
                return None
            last = batch.last[len(batch) - 1]
            self.side = "sell" if self.side == "buy" else "buy"
            return [halvorn.Order(self.side, 1), halvorn.Order(self.side, 1, price=last)]

    ticks = halvorn.load_ticks(sys.argv[1])
    depth = data.load_depth(sys.argv[2])
    v = venue.Venue(tier=venue.L2(queue=venue.QueueFixed(0)))
    start = time.perf_counter()
    run = venue.run(Light(), ticks, 1_000_000, venue=v, batch=4096, depth=depth)
    seconds = time.perf_counter() - start
    # VmHWM is this process's own high-water mark.  ru_maxrss also keeps the
    # mark of the process this one was forked from (Linux carries it across
    # exec), here the generator holding its columns, so it is printed beside.
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB
    print(run.ticks, run.depth_records, len(run.fills), run.invalid_ticks, seconds, peak, maxrss)
    """
)


def fresh(code: str, *args: str) -> list[str]:
    return subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True,
                          text=True).stdout.split()


def main() -> None:
    argv = sys.argv[1:]
    keep = "--keep" in argv
    options = {"--ticks": 10_000_000, "--updates": 20_000_000}
    positional = []
    i = 0
    while i < len(argv):
        if argv[i] in options:
            options[argv[i]] = int(argv[i + 1])
            i += 2
            continue
        if argv[i] != "--keep":
            positional.append(argv[i])
        i += 1
    made = not positional
    directory = positional[0] if positional else tempfile.mkdtemp(prefix="halvorn-depth-")
    os.makedirs(directory, exist_ok=True)
    n_ticks, n_updates = options["--ticks"], options["--updates"]
    paths: list[str] = []
    try:
        big = write_day(directory, "day", n_ticks, n_updates, paths)
        small = write_day(directory, "tenth", n_ticks // 10, n_updates // 10, paths)

        fresh(READER, big[1])  # brings the file into the page cache
        size, seconds, snapshots, updates, n, records_seconds = map(float, fresh(READER, big[1]))
        print(f"load_depth + streamed read: {size / 1e9:.2f} GB in {seconds:.2f} s, "
              f"{size / seconds / 1e9:.2f} GB/s ({int(snapshots):,} snapshots, "
              f"{int(updates):,} updates)")
        print(f"read_depth: {int(n):,} records as Python objects in {records_seconds:.2f} s, "
              f"{n / records_seconds / 1e6:.2f} M records/s")

        fresh(RUNNER, big[0], big[1])
        ticks, records, fills, invalid, seconds, peak_big, maxrss_big = map(
            float, fresh(RUNNER, big[0], big[1]))
        *_, peak_small, maxrss_small = map(float, fresh(RUNNER, small[0], small[1]))
        print(f"L2 run (batch=4096, on_columns): {int(ticks):,} ticks and {int(records):,} depth "
              f"records in {seconds:.2f} s: {ticks / seconds / 1e6:.2f} M ticks/s, "
              f"{records / seconds / 1e6:.2f} M depth records/s; {int(fills):,} fills, "
              f"{int(invalid):,} invalid ticks")
        print(f"peak resident memory: {peak_big / 1024:.1f} MiB for the day, "
              f"{peak_small / 1024:.1f} MiB for a tenth of it "
              f"(difference {(peak_big - peak_small) / 1024:+.1f} MiB; getrusage ru_maxrss "
              f"{maxrss_big / 1024:.1f} and {maxrss_small / 1024:.1f} MiB, which include the "
              "generating parent's mark)")
    finally:
        if keep:
            print("kept", directory)
        else:
            for p in paths:
                if os.path.exists(p):
                    os.unlink(p)
            if made:
                os.rmdir(directory)


if __name__ == "__main__":
    main()
