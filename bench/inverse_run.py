"""What an inverse (coin-margined) instrument costs a run against a linear one.

    python bench/inverse_run.py [directory] [n_ticks]

Writes a series of n_ticks (default 10_000_000) to a tick file, then reports,
best of three, the time a tick of the same runs on a linear instrument and on
an inverse one over the same ticks (target: within 10 %):

  1. a columnar strategy at batch 4_096 that opens a long (then a short)
     once and holds it: the run marks the account to every tick between
     calls;
  2. a per-tick Python strategy doing the same (the first 2_000_000
     ticks).
"""

from __future__ import annotations

import os
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import halvorn  # noqa: E402
from columns import best  # noqa: E402
from halvorn import venue  # noqa: E402
from mark_run import head, series_of_arguments  # noqa: E402

LINEAR = venue.Venue(instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"))
# The inverse venue's brackets are the linear default's first, in the coin.
INVERSE = venue.Venue(instrument=venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse",
                                                  contract_value="100", settle="BTC"),
                      margin_tiers=(venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6,
                                                  rate=venue.percent("0.4"), amount=0),))


class Hold:
    """Opens one position on its first call and holds it: per tick
    (on_tick) or on columns (on_columns, at a batch above 1)."""

    def __init__(self, side: str):
        self.side, self.placed = side, False

    def on_tick(self, ctx):
        if self.placed:
            return None
        self.placed = True
        return [halvorn.Order(self.side, 1)]

    def on_columns(self, batch):
        return self.on_tick(None)


def main() -> None:
    directory, n, ticks, columns = series_of_arguments()
    print(f"{n:,} ticks")
    for label, batch, count in (("columns, batch 4_096", 4_096, n),
                                ("per-tick Python", 1, min(n, 2_000_000))):
        source = ticks if count == n else head(directory, columns, count)
        for side in ("buy", "sell"):
            linear = best(lambda: venue.run(Hold(side), source, 1_000_000, venue=LINEAR,
                                            batch=batch))
            inverse = best(lambda: venue.run(Hold(side), source, 1_000, venue=INVERSE,
                                             batch=batch))
            print(f"{label} holding a {'long' if side == 'buy' else 'short'}: "
                  f"{linear / count * 1e9:.1f} ns a tick linear, {inverse / count * 1e9:.1f} "
                  f"inverse: {100 * (inverse / linear - 1):+.1f} %")


if __name__ == "__main__":
    main()
