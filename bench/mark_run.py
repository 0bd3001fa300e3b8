"""What a mark stream costs a run.

    python bench/mark_run.py [directory] [n_ticks]

Writes a series of n_ticks (default 10_000_000, a tick every 50 ms: about
six days) to a tick file and a mark file of one mark per second beside it,
then reports, best of three, the time of the same runs with and without the
marks (target: within 5 %):

  1. an empty columnar strategy at batch 4_096 (the account stays flat);
  2. a per-tick Python strategy that holds a position from its first tick.
"""

from __future__ import annotations

import os
import sys
import tempfile

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import halvorn  # noqa: E402
from columns import best, write_series  # noqa: E402
from halvorn import data, venue  # noqa: E402


class EmptyColumns:
    def on_columns(self, batch):
        return None


class HoldOne:
    def __init__(self):
        self.placed = False

    def on_tick(self, ctx):
        if self.placed:
            return None
        self.placed = True
        return [halvorn.Order("buy", 1)]


def series_of_arguments() -> tuple[str, int, halvorn.TickSource, dict]:
    """The directory and tick count the command line names, and the series
    of that many ticks written there once (its tick file and its columns)."""
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp()
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    path = os.path.join(directory, f"marks-{n}.hvtk")
    ticks = halvorn.load_ticks(path) if os.path.exists(path) else write_series(path, n)
    return directory, n, ticks, data.to_arrays(ticks)


def main() -> None:
    directory, n, ticks, columns = series_of_arguments()
    times = np.asarray(columns["exch_ts"])
    last = np.asarray(columns["last"])
    # One mark a second, a little off the last trade, as a venue's index is.
    step = 20
    records = [(int(t) + 1, int(p) - 3, 0) for t, p in zip(times[::step], last[::step])]
    marks = data.save_marks(os.path.join(directory, f"marks-{n}.hvmk"), records)
    print(f"{n:,} ticks, {len(records):,} marks")
    for label, make, batch, count in (("empty columns, batch 4_096", EmptyColumns, 4_096, n),
                                      ("per-tick Python holding a position", HoldOne, 1,
                                       min(n, 2_000_000))):
        source = ticks if count == n else head(directory, columns, count)
        without = best(lambda: venue.run(make(), source, 1_000_000, batch=batch))
        with_marks = best(lambda: venue.run(make(), source, 1_000_000, batch=batch, marks=marks))
        print(f"{label}: {without / count * 1e9:.1f} ns a tick without marks, "
              f"{with_marks / count * 1e9:.1f} with: {100 * (with_marks / without - 1):+.1f} %")


def head(directory: str, columns: dict, count: int) -> halvorn.TickSource:
    path = os.path.join(directory, f"marks-head-{count}.hvtk")
    if os.path.exists(path):
        return halvorn.load_ticks(path)
    return data.from_arrays(path, **{name: np.asarray(values)[:count]
                                     for name, values in columns.items()})


if __name__ == "__main__":
    main()
