"""What the views of a run in units cost.

    python bench/run_units.py [n_fills]

Runs a strategy that trades one lot on every tick of a series of n_fills
ticks (default 1_000_000) on an ETH-like Instrument, so that the run has
n_fills fills, then reports, best of three, the time Run.fills_frame() takes
with exact decimals and with floats, and Run.equity_frame() with an equity
sample per tick (target: each under a second for 10^6 fills).
"""

from __future__ import annotations

import os
import sys
import time

import numpy as np

import halvorn
from halvorn import venue


def best(f, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    # Prices that wander over a few hundred ticks, so that the decimals made
    # once per distinct price are realistic rather than one.
    rng = np.random.default_rng(7)
    last = 240_000 + np.cumsum(rng.integers(-1, 2, n)).astype(np.int64)
    ticks = {"exch_ts": 1_704_067_200 * 10**9 + np.arange(n, dtype=np.int64) * 50_000_000,
             "last": last, "bid": last - 1, "ask": last + 1}
    eth = venue.Instrument("ETHUSDT", "0.01", "0.001")
    start = time.perf_counter()
    class PerTick:
        """Buys when flat or short, sells when long: one fill a tick."""

        def on_tick(self, ctx):
            return [halvorn.Order("buy" if ctx.position <= 0 else "sell", 1)]

    run = venue.run(PerTick(), ticks, 1_000_000, venue=venue.Venue(instrument=eth),
                    equity_every=1)
    print(f"run of {n:,} ticks: {time.perf_counter() - start:.2f} s, {len(run.fills):,} fills")
    for units in ("decimal", "float"):
        print(f"fills_frame(units={units!r}): {best(lambda: run.fills_frame(units=units)):.3f} s")
    print(f"equity_frame() of {len(run.equity_curve):,} samples: "
          f"{best(run.equity_frame):.3f} s")


if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    main()
