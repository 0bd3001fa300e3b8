"""What trading several instruments in one run costs, per tick and in memory.

    python bench/portfolio_run.py [directory] [--quick]

Writes tick files to `directory` (default a temporary one, removed at the
end; files already in a given directory are reused) and reports:

  1. an empty on_columns strategy at batch 4_096 over 10 instruments of
     5_000_000 ticks each, each streamed from its own file, against one
     instrument of the same 50_000_000 ticks from one file: ns a tick of
     each, best of three, and their ratio (target: within 25 %).  Instrument
     k ticks every 50 ms, 5 ms after instrument k - 1, so that every tick
     comes from another file than the one before it: the most a merge by
     time can be asked to switch;
  2. the peak resident memory of such a run of 2 instruments at 1_000_000
     and at 10_000_000 ticks each, each in a fresh process (target: flat);
  3. 100 instruments of 100_000 ticks against one of 10_000_000: what
     merging a hundred files adds to a tick.

--quick divides every size by ten.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import halvorn  # noqa: E402
from columns import best  # noqa: E402
from halvorn import data, venue  # noqa: E402

BATCH = 4_096
START = 1_700_000_000_000_000_000
STEP = 50_000_000  # ns between two ticks of one instrument


class EmptyColumns:
    def on_columns(self, batch):
        return None


def symbol(k: int) -> str:
    return f"S{k:03d}USDT"


def write_series(directory: str, name: str, n: int, *, k: int = 0, step: int = STEP,
                 every: int = 1) -> halvorn.TickSource:
    """n ticks of a random walk for instrument `symbol(k)`, one every `step`
    ns from k × `step` / `every` on; the file at directory/name is reused when
    it is there."""
    path = os.path.join(directory, name)
    if os.path.exists(path):
        return halvorn.load_ticks(path)
    rng = np.random.default_rng(k)
    last = 600_000 + np.cumsum(rng.integers(-3, 4, n, dtype=np.int64))
    exch_ts = START + k * (step // every) + np.arange(n, dtype=np.int64) * step
    instrument = venue.Instrument(symbol(k), "0.1", "0.001")
    return data.from_arrays(path, exch_ts, last, bid=last - 1, ask=last + 1,
                            instrument=instrument)


def portfolio(directory: str, count: int, n: int) -> dict[str, halvorn.TickSource]:
    """`count` instruments of `n` ticks each, interleaved by time."""
    return {symbol(k): write_series(directory, f"{symbol(k)}-of-{count}-{n}.hvtk", n, k=k,
                                    every=count)
            for k in range(count)}


def single(directory: str, n: int, count: int) -> halvorn.TickSource:
    """One instrument of `n` ticks over the span of `count` interleaved ones."""
    return write_series(directory, f"single-{n}.hvtk", n, step=STEP // count)


def ns_per_tick(ticks, total: int) -> float:
    return best(lambda: venue.run(EmptyColumns(), ticks, 100_000, batch=BATCH)) / total * 1e9


# The peak is the process's own high-water mark of resident memory (VmHWM).
# getrusage's maxrss would not do: Linux carries the parent's peak into it
# across the fork and exec that start the child, so every size would read as
# this benchmark's own few hundred MiB.
PEAK = textwrap.dedent(
    """
    import sys
    import halvorn
    from halvorn import data, venue

    class EmptyColumns:
        def on_columns(self, batch):
            return None

    def high_water():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

    sources = [halvorn.load_ticks(path) for path in sys.argv[1:]]
    ticks = {data.instrument_of(source).symbol: source for source in sources}
    before = high_water()
    run = venue.run(EmptyColumns(), ticks, 100_000, batch=4096)
    print(run.ticks, before, high_water())
    """
)


def peak(sources: dict[str, halvorn.TickSource]) -> tuple[int, int, int]:
    """(ticks, peak memory before the run, peak after it) in KiB, in a fresh
    process."""
    paths = [source.path for source in sources.values()]
    out = subprocess.run([sys.executable, "-c", PEAK, *paths], check=True, capture_output=True,
                         text=True).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    scale = 10 if "--quick" in sys.argv else 1
    directory = args[0] if args else tempfile.mkdtemp(prefix="halvorn-bench-")
    os.makedirs(directory, exist_ok=True)
    try:
        n = 5_000_000 // scale
        many = portfolio(directory, 10, n)
        one = single(directory, 10 * n, 10)
        ns_many = ns_per_tick(many, 10 * n)
        ns_one = ns_per_tick(one, 10 * n)
        print(f"1. empty on_columns, batch {BATCH:,}:")
        print(f"   10 instruments x {n:,} ticks from 10 files  {ns_many:6.2f} ns a tick")
        print(f"   1 instrument, {10 * n:,} ticks from one file  {ns_one:6.2f} ns a tick")
        print(f"   ratio {ns_many / ns_one:.3f} ({100 * (ns_many / ns_one - 1):+.1f} %; "
              "target within 25 %)")

        print("2. peak resident memory, 2 instruments, each size in a fresh process:")
        peaks = []
        for size in (1_000_000 // scale, 10_000_000 // scale):
            ticks, before, after = peak(portfolio(directory, 2, size))
            assert ticks == 2 * size, ticks
            peaks.append(after)
            print(f"   2 x {size:>10,} ticks: {after / 1024:7.1f} MiB "
                  f"({(after - before) / 1024:+.1f} MiB over the process before the run)")
        print(f"   growth from 10x the ticks: {(peaks[1] - peaks[0]) / 1024:+.1f} MiB")

        m = 100_000 // scale
        hundred = portfolio(directory, 100, m)
        ns_hundred = ns_per_tick(hundred, 100 * m)
        ns_base = ns_per_tick(single(directory, 100 * m, 100), 100 * m)
        print(f"3. 100 instruments x {m:,} ticks: {ns_hundred:.2f} ns a tick; one instrument "
              f"of {100 * m:,}: {ns_base:.2f}; the merge adds {ns_hundred - ns_base:+.2f} ns "
              "a tick")
    finally:
        if not args:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
