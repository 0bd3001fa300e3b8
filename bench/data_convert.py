"""Market data into tick files through halvorn.data, on one core.

    python bench/data_convert.py [--mb 512] [--rows 50_000_000] [--ticks 10_000_000]
                                 [--only memory|csv|arrays|floats]

Reports:
  1. from_csv over a CSV file of trades (about --mb MB, made first):
     MB/s of uncompressed input, best of three, the file in the page cache;
     and the same rows handed over by a Python file object, as an archive
     member would be;
  2. from_arrays from eight int64 NumPy columns of --ticks rows: GB/s of
     tick file written (the file is flushed to disk before it is renamed into
     place, and that is counted);
  3. from_arrays from float64 prices and volume of --ticks rows, every value
     on the grid of its step (the decimal each float was made from is a whole
     number of ticks or lots), times as int64: GB/s of input columns, which
     must stay above 1;
  4. peak resident memory of a conversion of --rows rows against one of
     1_000_000 rows, each in a fresh process, the rows made on the fly by a
     file object so that no file of that size is needed.
The C++ converter alone is measured by bench/data/csv_convert_bench.
"""

from __future__ import annotations

import argparse
import io
import os
import subprocess
import sys
import tempfile
import textwrap
import time

T0 = 1_700_000_000_000
BLOCK = 20_000  # rows per template, all of one millisecond


def template() -> bytes:
    """BLOCK rows of the trades layout with a time placeholder; prices walk."""
    rows = []
    price = 421_234
    for i in range(BLOCK):
        price += (i * 7919) % 7 - 3
        rows.append(b"%d,%d.%d,0.%03d,0,TTTTTTTTTTTTT,%s\n" % (
            i + 1, price // 10, price % 10, i % 997 + 1, b"true" if i % 3 else b"false"))
    return b"".join(rows)


class Rows(io.RawIOBase):
    """`n` rows of trades, made as they are read: a template per millisecond."""

    def __init__(self, n: int) -> None:
        self.left = n
        self.t = T0
        self.rows = template()
        self.ends = []
        at = 0
        for _ in range(BLOCK):
            at = self.rows.index(b"\n", at) + 1
            self.ends.append(at)
        self.carry = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, b) -> int:  # type: ignore[no-untyped-def,override]
        n, out = len(b), 0
        while out < n:
            if not self.carry:
                if self.left == 0:
                    break
                k = min(self.left, BLOCK)
                self.carry = memoryview(self.rows[: self.ends[k - 1]].replace(
                    b"TTTTTTTTTTTTT", b"%013d" % self.t))
                self.t += 1
                self.left -= k
            m = min(n - out, len(self.carry))
            b[out: out + m] = self.carry[:m]
            self.carry = self.carry[m:]
            out += m
        return out


def write_csv(path: str, mb: int) -> int:
    rows = 0
    with open(path, "wb") as f:
        f.write(b"id,price,qty,quote_qty,time,is_buyer_maker\n")
        source = Rows(1 << 62)
        buf = bytearray(8 << 20)
        while f.tell() < mb << 20:
            n = source.readinto(buf)
            f.write(buf[:n])
    # Cut at the last full line.
    with open(path, "rb+") as f:
        f.seek(-(1 << 16), os.SEEK_END)
        tail = f.read()
        f.truncate(f.tell() - len(tail) + tail.rindex(b"\n") + 1)
    with open(path, "rb") as f:
        rows = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 24), b"")) - 1
    return rows


def best_of(runs: int, f) -> float:  # type: ignore[no-untyped-def]
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def bench_csv(tmp: str, mb: int) -> None:
    from halvorn import data

    path = os.path.join(tmp, "trades.csv")
    rows = write_csv(path, mb)
    size = os.path.getsize(path)
    dest = os.path.join(tmp, "out.hvtk")

    def from_file() -> None:
        with open(path, "rb") as f:
            data.from_csv(dest, f, tick_size="0.1", lot_size="0.001")

    from_file()  # warm the page cache
    seconds = best_of(3, from_file)
    print(f"from_csv, file open(..., 'rb'): {size / 1e6:8.0f} MB, {rows:,} rows in {seconds:.2f} s: "
          f"{size / 1e6 / seconds:6.0f} MB/s, {rows / seconds / 1e6:.1f} M rows/s")
    seconds = best_of(3, lambda: data.from_csv(dest, Rows(rows), tick_size="0.1",
                                                lot_size="0.001"))
    print(f"from_csv, Python file object making the rows: {seconds:.2f} s: "
          f"{size / 1e6 / seconds:6.0f} MB/s (the rows' making included)")
    os.remove(path)
    os.remove(dest)


def bench_arrays(tmp: str, n: int) -> None:
    import numpy as np

    from halvorn import data

    rng = np.random.default_rng(1)
    exch = 1_700_000_000_000_000_000 + np.cumsum(rng.integers(0, 1000, n))
    last = 600_000 + np.cumsum(rng.integers(-3, 4, n))
    cols = dict(local_ts=exch + 5, high=last + 1, low=last - 1, bid=last - 1, ask=last + 1,
                volume=np.cumsum(rng.integers(1, 9, n)))
    dest = os.path.join(tmp, "arrays.hvtk")
    seconds = best_of(3, lambda: data.from_arrays(dest, exch, last, **cols))
    out = 32 + 64 * n
    print(f"from_arrays, 8 int64 columns: {n:,} ticks, {out / 1e9:.2f} GB in {seconds:.2f} s: "
          f"{out / 1e9 / seconds:.2f} GB/s")
    seconds = best_of(3, lambda: data.from_arrays(dest, exch, last))
    print(f"from_arrays, exch_ts and last only:  {out / 1e9 / seconds:.2f} GB/s")
    seconds = best_of(3, lambda: [np.asarray(v).sum() for v in data.to_arrays(dest).values()])
    print(f"to_arrays and a sum of every column: {out / 1e9 / seconds:.2f} GB/s")
    os.remove(dest)


def bench_float_arrays(tmp: str, n: int) -> None:
    import numpy as np

    from halvorn import data

    rng = np.random.default_rng(2)
    exch = 1_700_000_000_000_000_000 + np.cumsum(rng.integers(0, 1000, n))
    ticks = 600_000 + np.cumsum(rng.integers(-3, 4, n))
    # A quotient of two integers is the double nearest the decimal it writes:
    # 421234 / 10 is the float 42123.4 is read as.
    price = ticks / 10
    floats = dict(high=(ticks + 1) / 10, low=(ticks - 1) / 10, bid=(ticks - 1) / 10,
                  ask=(ticks + 1) / 10, volume=np.cumsum(rng.integers(1, 9, n)) / 1000)
    dest = os.path.join(tmp, "floats.hvtk")
    seconds = best_of(3, lambda: data.from_arrays(dest, exch, price, local_ts=exch + 5,
                                                  tick_size="0.1", lot_size="0.001", **floats))
    given = 8 * 8 * n
    print(f"from_arrays, 6 float64 and 2 int64 columns: {n:,} ticks, {given / 1e9:.2f} GB of "
          f"input in {seconds:.2f} s: {given / 1e9 / seconds:.2f} GB/s (must stay above 1)")
    cols = data.to_arrays(dest)
    assert np.array_equal(np.asarray(cols["last"]), ticks)
    del cols
    os.remove(dest)


CHILD = textwrap.dedent(
    """
    import os, sys, time
    sys.path.insert(0, sys.argv[3])
    from data_convert import Rows
    from halvorn import data
    n = int(sys.argv[1])
    start = time.perf_counter()
    source = data.from_csv(sys.argv[2], Rows(n), tick_size="0.1", lot_size="0.001")
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    assert len(source) == n
    os.remove(sys.argv[2])
    print(peak, seconds)
    """
)


def bench_memory(tmp: str, rows: int) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    for n in (1_000_000, rows):
        dest = os.path.join(tmp, f"mem{n}.hvtk")
        out = subprocess.run([sys.executable, "-c", CHILD, str(n), dest, here], check=True,
                             capture_output=True, text=True).stdout.split()
        peak, seconds = int(out[0]), float(out[1])
        print(f"peak RSS converting {n:>11,} rows: {peak / 1024:7.1f} MiB ({seconds:.1f} s)")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--mb", type=int, default=512)
    p.add_argument("--rows", type=int, default=50_000_000)
    p.add_argument("--ticks", type=int, default=10_000_000)
    p.add_argument("--only", choices=["memory", "csv", "arrays", "floats"], default=None,
                   help="run one of the measurements (default: all)")
    p.add_argument("--dir", default=None,
                   help="where the files go (default /dev/shm when there is one, as the C++ "
                        "benchmark does, so that the figures are the conversion's, not the disk's)")
    args = p.parse_args()
    where = args.dir or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    with tempfile.TemporaryDirectory(dir=where) as tmp:
        # Memory first, before the throughput runs grow this process's page cache use.
        if args.only in (None, "memory"):
            bench_memory(tmp, args.rows)
        if args.only in (None, "csv"):
            bench_csv(tmp, args.mb)
        if args.only in (None, "arrays"):
            bench_arrays(tmp, args.ticks)
        if args.only in (None, "floats"):
            bench_float_arrays(tmp, args.ticks)


if __name__ == "__main__":
    main()
