"""Tick files from integer columns and back: `from_arrays`, `to_arrays`."""

from __future__ import annotations

import os
from typing import Any

import halvorn
from halvorn.data import _native
from halvorn.data._arguments import path_of

FIELDS: tuple[str, ...] = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
"""The eight fields of a tick, in the order of its record and of to_arrays."""


def from_arrays(dest: str | os.PathLike[str], exch_ts: Any, last: Any, *, local_ts: Any = None,
                high: Any = None, low: Any = None, bid: Any = None, ask: Any = None,
                volume: Any = None, instrument: int = 1) -> halvorn.TickSource:
    """Write a tick file at `dest` from integer columns, one tick per row.

    Each column is any object exporting a 1-D integer buffer (a NumPy array
    of any integer dtype, strided or reversed views included, `array.array`,
    `memoryview`), read in place without a copy while the interpreter lock is
    given up, or a sequence of ints, converted once.  Units are the tick's:
    times in nanoseconds, prices in ticks, `volume` the cumulative volume in
    lots.  Absent columns take the defaults `halvorn.Tick` uses: `local_ts` =
    `exch_ts`, `high` = `low` = `last`, `bid` = `ask` = `volume` = 0.

    Returns the `halvorn.TickSource` of the file written.

    Raises TypeError naming a column that is not integers (floats included:
    scale them to ticks first) or not 1-D; OverflowError for a listed value
    beyond int64; ValueError for columns of different lengths, an unsigned
    value beyond int64, or an exchange time that goes back ("row 2 goes
    backwards: ..."), in which case nothing at `dest` has changed.
    """
    path = path_of(dest, "dest")
    writer = _native.Writer(path, instrument)
    try:
        writer.append(exch_ts, last, local_ts=local_ts, high=high, low=low, bid=bid, ask=ask,
                      volume=volume)
        writer.finish()
    finally:
        writer.abandon()  # nothing after finish(); otherwise the target is left as it was
    return halvorn.load_ticks(path)


def to_arrays(source: halvorn.TickSource | str | os.PathLike[str]) -> dict[str, memoryview]:
    """The eight columns of a tick file as read-only int64 views, without a copy.

    Returns a dict from each field name, in record order (`FIELDS`: exch_ts,
    local_ts, last, high, low, bid, ask, volume), to a 1-D memoryview of
    format "q" with a stride of 64 bytes over one read-only mapping of the
    file; ``numpy.asarray(cols["last"])`` reads it as it is.  The mapping
    lives as long as any view (or array made from one) does.  Units are the
    tick's (ns, ticks, lots).

    The whole file is checked before anything is handed out: its header, the
    checksum of its records and the order of its exchange times.  A file
    replaced afterwards (as the converters do, by renaming) leaves the views
    on the old contents; one truncated in place while mapped cannot be read.

    Raises ValueError "{path}: {error}" with the tick reader's text for a
    missing, damaged or out-of-order file; TypeError for a source that is
    neither a TickSource nor a path.
    """
    if isinstance(source, halvorn.TickSource):
        path = source.path
    else:
        path = path_of(source, "source")
    _count, _instrument, views = _native.map_columns(path)
    return dict(zip(FIELDS, views))
