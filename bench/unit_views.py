"""What a strategy pays a tick for reading the market and its account in units.

    python bench/unit_views.py [n_ticks]

Runs per-tick strategies over n_ticks (default 2_000_000) ticks of an
ETH-like Instrument, best of three, and reports the time per tick of each:
one that reads the counts (ctx.last and ctx.equity, the baseline), one that
reads the same through ctx.units (exact Decimals) and through ctx.floats,
one that converts with ctx.instrument.price_of, and one that reads all eleven
values of ctx.units.  The differences against the baseline are what the views
cost; a strategy that reads none pays nothing.
"""

from __future__ import annotations

import os
import sys

import numpy as np
from run_units import best   # beside this script: best of three, in seconds

from halvorn import venue


class Counts:
    def on_tick(self, ctx):
        ctx.last, ctx.equity


class Decimals:
    def on_tick(self, ctx):
        u = ctx.units
        u.last, u.equity


class Floats:
    def on_tick(self, ctx):
        f = ctx.floats
        f.last, f.equity


class Converted:
    def on_tick(self, ctx):
        ctx.instrument.price_of(ctx.last)


class EveryDecimal:
    def on_tick(self, ctx):
        u = ctx.units
        (u.last, u.high, u.low, u.bid, u.ask, u.volume, u.position, u.entry, u.short_position,
         u.short_entry, u.equity)


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
    rng = np.random.default_rng(11)
    last = 245_000 + np.cumsum(rng.integers(-2, 3, n)).astype(np.int64)
    ticks = {"exch_ts": 1_704_067_200 * 10**9 + np.arange(n, dtype=np.int64) * 100_000_000,
             "last": last, "bid": last - 1, "ask": last + 1}
    v = venue.Venue(instrument=venue.Instrument("ETHUSDT", "0.01", "0.001"))
    base = None
    for strategy in (Counts, Decimals, Floats, Converted, EveryDecimal):
        seconds = best(lambda: venue.run(strategy(), ticks, 10_000, venue=v))
        ns = seconds / n * 1e9
        base = ns if base is None else base
        extra = "" if strategy is Counts else f"  (+{ns - base:.0f} ns)"
        print(f"{strategy.__name__:<13} {ns:7.0f} ns/tick{extra}")


if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    main()
