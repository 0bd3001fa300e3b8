"""Market data in and out of tick files: CSV archives, integer arrays, Parquet, Arrow;
and recorded market depth in and out of depth files.

```python
from halvorn import data
with open("trades-2024-01-02.csv", "rb") as f:
    ticks = data.from_csv("btc.hvtk", f, tick_size="0.10", lot_size="0.001")
cols = data.to_arrays(ticks)            # eight read-only int64 views, no copy
print(len(ticks), cols["last"][-1])     # numpy.asarray(cols["last"]) takes it as it is
```

Everything that reaches a tick file is an integer in the engine's units:
times in nanoseconds, prices in ticks of `tick_size`, quantities and the
cumulative volume in lots of `lot_size`.  Decimal text is scaled exactly (no
floating point anywhere on the way), a float64 as the decimal its shortest
text writes, and a value that is not a whole number of steps is refused
unless rounding is asked for.  Each file keeps the sizes it was scaled with,
its instrument's id and symbol; `instrument_of` reads them back as a
`halvorn.venue.Instrument`.  A file being written sits
beside its target and replaces it only once complete, so a conversion that
fails, or is stopped with Ctrl-C, leaves no file and an existing one as it
was.  docs/csv_conversion.md gives the CSV layouts and every rule.

Files are opened by the caller (``open(path, "rb")``, ``gzip.open(path)``,
``zipfile.ZipFile(path).open(name)``), so any compression Python reads is
read here, and memory stays at a few buffers whatever the size of the input.

Depth files hold the displayed book for an L2 venue run: `Snapshot` and
`Update` records in time order, prices in ticks, quantities in lots, times
in nanoseconds on the ticks' exchange clock.  `load_depth` opens one,
`save_depth` writes records, `depth_from_csv` converts recorded depth,
`read_depth` streams the records back, and ``halvorn.venue.run(...,
depth=source)`` merges them with the ticks (docs/data.md).

Mark files hold the mark price a perpetual venue values positions at, with
the index price and the funding settled at the mark: `marks_from_csv`
converts mark price klines and derivative ticker files, `save_marks` writes
records, `load_marks` opens one, `read_marks` streams the records back and
`funding_of` gives the settlements (docs/mark_format.md).

Recorded captures of a venue's streams, JSON lines of trades, book tickers,
depth updates and mark price updates (and order-book archives of snapshots
and deltas), become all three in one pass: `from_capture`.  Arrow IPC files
(Feather) are read as Parquet is, a record batch at a time: `from_arrow`.

`between` narrows any of these series to a stretch of exchange time: a tick,
mark or depth file to a `TickSlice`, `MarkSlice` or `DepthSlice`, found by a
search over its records and read by a run where it lies and nowhere else; a
list of ticks or columns to the same kind of holder of the rows in the
stretch.

`inspect` reads a tick, depth or mark file once and reports, as a table,
what would make a backtest on it mislead: gaps, repeats, stale quotes,
trades outside their quote, a local clock behind the exchange's, funding
priced at old marks (docs/data.md).
"""

from __future__ import annotations

from halvorn.data._arrow_ipc import from_arrow
from halvorn.data._captures import Capture, from_capture
from halvorn.data._depth_files import (DepthSource, Snapshot, Update, depth_from_csv, load_depth,
                                       read_depth, save_depth)
from halvorn.data._funding import funding_from_csv
from halvorn.data._file_quality import Inspection, inspect
from halvorn.data._instruments import Definition, instrument_of, read_definition
from halvorn.data._marks import (MarkSource, funding_of, load_marks, marks_from_csv, read_marks,
                                 save_marks)
from halvorn.data._parquet import from_parquet
from halvorn.data._slices import DepthSlice, MarkSlice, TickSlice, between
from halvorn.data._tick_arrays import FIELDS, from_arrays, to_arrays
from halvorn.data._tick_csv import _convert as _convert
from halvorn.data._tick_csv import from_csv

__all__ = ["from_csv", "from_arrays", "from_parquet", "to_arrays", "funding_from_csv", "FIELDS",
           "DepthSource", "Snapshot", "Update", "load_depth", "save_depth", "read_depth",
           "depth_from_csv", "instrument_of", "MarkSource", "load_marks", "save_marks",
           "read_marks", "funding_of", "marks_from_csv", "between", "TickSlice", "MarkSlice",
           "DepthSlice", "from_capture", "Capture", "from_arrow",
           "inspect", "Inspection", "read_definition", "Definition"]

# Each kind of data has a module of its own; the functions are halvorn.data's,
# and say so to help, pickle and documentation tools.
for _function in (from_csv, _convert, from_arrays, from_parquet, to_arrays, funding_from_csv,
                  load_depth, save_depth, read_depth, depth_from_csv, instrument_of, load_marks,
                  save_marks, read_marks, funding_of, marks_from_csv, between, from_capture,
                  from_arrow, inspect, Inspection, read_definition, Definition):
    _function.__module__ = __name__
del _function
Capture.__module__ = __name__
