"""A throughput-mode run over a tick file far larger than a run ever holds.

    python bench/tick_file_run.py [n_ticks] [--keep]

Writes a file of n_ticks (default 50_000_000) in a streaming way -- NumPy
blocks under an incremental CRC-32, never the whole series at once -- then
reports:
  1. a throughput-mode run (batch=4096, trivial on_batch) over it: time and
     ticks/second;
  2. the peak resident memory of that run, and of the same run over a file of
     1_000_000 ticks, each measured in a fresh process.
The raw reader throughput is measured by the C++ benchmark
bench/data/tick_reader_bench.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import zlib

import numpy as np

HEADER = struct.Struct("<4sHHQQII")
BLOCK = 1_000_000


def write_series(path: str, n: int) -> None:
    """A random walk with a spread and a cumulative volume, block by block."""
    rng = np.random.default_rng(42)
    crc = 0
    with open(path, "wb") as f:
        f.write(b"\0" * HEADER.size)
        price = 600_000
        volume = 0
        for start in range(0, n, BLOCK):
            k = min(BLOCK, n - start)
            steps = rng.integers(-3, 4, size=k)
            last = price + np.cumsum(steps)
            price = int(last[-1])
            traded = rng.integers(1, 10, size=k)
            vol = volume + np.cumsum(traded)
            volume = int(vol[-1])
            t = 1_700_000_000_000_000_000 + (start + np.arange(k, dtype=np.int64)) * 50_000_000
            rec = np.empty((k, 8), dtype="<i8")
            rec[:, 0] = t
            rec[:, 1] = t + 1_000_000
            rec[:, 2] = last
            rec[:, 3] = last + rng.integers(0, 3, size=k)
            rec[:, 4] = last - rng.integers(0, 3, size=k)
            rec[:, 5] = last - 1
            rec[:, 6] = last + 1
            rec[:, 7] = vol
            data = rec.tobytes()
            crc = zlib.crc32(data, crc)
            f.write(data)
        f.seek(0)
        f.write(HEADER.pack(b"HVTK", 2, 0, n, 1, crc, 0))


RUNNER = textwrap.dedent(
    """
    import sys, time, halvorn

    class Trivial:
        def on_batch(self, ticks):
            return None

    source = halvorn.load_ticks(sys.argv[1])
    start = time.perf_counter()
    result = halvorn.run_backtest(Trivial(), source, 100_000, batch=4096)
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(result.ticks, seconds, peak)
    """
)


def run_in_fresh_process(path: str) -> tuple[int, float, int]:
    out = subprocess.run([sys.executable, "-c", RUNNER, path], check=True, capture_output=True,
                         text=True).stdout.split()
    return int(out[0]), float(out[1]), int(out[2])


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n = int(args[0]) if args else 50_000_000
    keep = "--keep" in sys.argv
    directory = tempfile.mkdtemp(prefix="halvorn-bench-")
    big = os.path.join(directory, "big.hvtk")
    small = os.path.join(directory, "small.hvtk")
    try:
        start = time.perf_counter()
        write_series(big, n)
        write_series(small, 1_000_000)
        print(f"wrote {n:,} ticks ({os.path.getsize(big) / 1e9:.2f} GB) in "
              f"{time.perf_counter() - start:.1f} s")
        run_in_fresh_process(big)  # brings the file into the page cache
        ticks, seconds, peak_big = run_in_fresh_process(big)
        assert ticks == n, ticks
        small_ticks, _, peak_small = run_in_fresh_process(small)
        assert small_ticks == 1_000_000
        print(f"throughput-mode run (batch=4096): {ticks:,} ticks in {seconds:.2f} s, "
              f"{ticks / seconds / 1e6:.1f} M ticks/s")
        print(f"peak resident memory: {peak_big / 1024:.1f} MiB for {n:,} ticks, "
              f"{peak_small / 1024:.1f} MiB for 1,000,000 ticks "
              f"(difference {(peak_big - peak_small) / 1024:+.1f} MiB; target within 16 MiB)")
    finally:
        if keep:
            print("kept", directory)
        else:
            for p in (big, small):
                if os.path.exists(p):
                    os.unlink(p)
            os.rmdir(directory)


if __name__ == "__main__":
    main()
