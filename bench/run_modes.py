"""Per-tick and batched runs against pure-Python references, in one process.

    python bench/run_modes.py [n_ticks]

Reports, on a synthetic series of n_ticks (default 1_000_000):
  1. compatibility mode with an on_tick that returns None, as ticks/second and
     as time-per-tick ratios to two pure-Python references: the bare floor (a
     Python loop calling the same method once per element of a prebuilt list)
     and a per-tick loop that builds a nine-field __slots__ object per tick
     and calls the method with it;
  2. throughput mode with batch=4096 and a trivial on_batch, ticks/second.
Each figure is the best of several repetitions.
"""

from __future__ import annotations

import sys
import time

import halvorn


class Noop:
    def on_tick(self, ctx):
        return None


class NoopBatch:
    def on_batch(self, ticks):
        return None


class Ctx:
    __slots__ = ("tick", "last", "position", "entry", "short_position", "short_entry",
                 "equity", "working", "instrument")

    def __init__(self, tick, last, position, entry, short_position, short_entry, equity,
                 working, instrument):
        self.tick = tick
        self.last = last
        self.position = position
        self.entry = entry
        self.short_position = short_position
        self.short_entry = short_entry
        self.equity = equity
        self.working = working
        self.instrument = instrument


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    ticks = [halvorn.Tick(1_000 + i, 600_000 + (i % 50), bid=600_000 + (i % 50) - 1,
                          ask=600_000 + (i % 50) + 1, volume=i) for i in range(n)]
    strategy = Noop()

    def bare_floor():
        on_tick = strategy.on_tick
        for t in ticks:
            on_tick(t)

    def object_loop():
        on_tick = strategy.on_tick
        for t in ticks:
            on_tick(Ctx(t, t.last, 0, 0, 0, 0, 100_000_000, 0, 1))

    def compat():
        halvorn.run_backtest(Noop(), ticks, 100_000)

    def throughput():
        halvorn.run_backtest(NoopBatch(), ticks, 100_000, batch=4096)

    floor_s = best(bare_floor, 5)
    object_s = best(object_loop, 5)
    compat_s = best(compat, 5)
    batch_s = best(throughput, 5)

    per = lambda s: s / n * 1e9  # noqa: E731
    print(f"series: {n:,} ticks (Python {sys.version.split()[0]})")
    print(f"bare floor (method call per element):  {per(floor_s):7.1f} ns/tick")
    print(f"pure-Python loop building a context:   {per(object_s):7.1f} ns/tick")
    print(f"compatibility mode (batch=1):          {per(compat_s):7.1f} ns/tick  "
          f"{n / compat_s / 1e6:6.2f} M ticks/s")
    print(f"  ratio to the bare floor:             {compat_s / floor_s:7.2f}x  (target <= 4x)")
    print(f"  ratio to the object-building loop:   {compat_s / object_s:7.2f}x  (target < 1x)")
    print(f"throughput mode (batch=4096):          {per(batch_s):7.1f} ns/tick  "
          f"{n / batch_s / 1e6:6.2f} M ticks/s  (target >= 15 M ticks/s)")


if __name__ == "__main__":
    main()
