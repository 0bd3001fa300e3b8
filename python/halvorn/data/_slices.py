"""A series narrowed to a stretch of exchange time, whatever holds it: a tick,
mark or depth file (read afterwards only where the stretch lies), a list of
ticks, or columns."""

from __future__ import annotations

import itertools
import operator
from collections.abc import Mapping, Sequence
from typing import Any

import halvorn
from halvorn import _tick_frames
from halvorn.data import _native

TickSlice = _native.TickSlice
MarkSlice = _native.MarkSlice
DepthSlice = _native.DepthSlice


def _nanoseconds(value: object, name: str) -> int:
    # Any integer, a NumPy one included (times often come from an array).
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int of nanoseconds, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int of nanoseconds, not "
                        f"{type(value).__name__}") from None


def between(series: Any, start: int, end: int) -> Any:
    """The part of `series` whose exchange time lies in [start, end), in ns.

    - a `halvorn.TickSource` gives a `TickSlice`: the file's ticks with
      ``start <= exch_ts < end``, found by a binary search over the file's
      records (a few dozen reads of 8 bytes, whatever its size) and read by a
      run a block at a time as the whole file is, from the first block of the
      slice to its last and no other.  Every run function and sweep takes it
      where it takes the source.
    - a `MarkSource` gives a `MarkSlice`: the mark records a run over ticks
      in [start, end) reads, from the last at or before start (the mark in
      force there) to the last before end.  ``venue.run(..., marks=)`` takes it.
    - a `DepthSource` gives a `DepthSlice`: the depth records a run over
      ticks in [start, end) reads, from the last snapshot at or before the
      first record of the stretch (so that the book at its first tick is the
      book the whole file gives there) to the last record before end; found
      without a pass over the file (docs/depth_format.md says how), read
      alone.  ``venue.run(..., depth=)`` takes it.
    - a slice gives the slice of its source over the overlap of both stretches.
    - a list or tuple of `Tick` gives the same kind of sequence of the ticks
      in the stretch (the same objects), found by bisection.
    - columns (a DataFrame, a dict of arrays, a structured array) give the same
      kind of holder of the rows in the stretch: ``frame.iloc[a:b]``, each
      array's ``[a:b]``.  exch_ts may be integers or datetimes.

    The series must be in time order, as a run takes it: a list or columns
    whose exchange times go backwards are refused here, and a file's reader
    refuses them where it reads them.  A slice of a file does not read the
    records outside it, so it cannot check the file's checksum, which covers
    them all: a file read whole once (by a run, or `to_arrays`) has been.

    Raises `TypeError` for a series of another kind or times that are not
    ints, `ValueError` for a series out of order, and the file's own
    `ValueError` ("{path}: ...") for a file that cannot be used.
    """
    start = _nanoseconds(start, "start")
    end = _nanoseconds(end, "end")
    if isinstance(series, (TickSlice, MarkSlice, DepthSlice)):
        return between(series.source, max(start, series.start), min(end, series.end))
    if isinstance(series, halvorn.TickSource):
        return _native.tick_slice(series, start, end)
    from halvorn.data._depth_files import DepthSource
    from halvorn.data._marks import MarkSource

    if isinstance(series, MarkSource):
        return _native.mark_slice(series, start, end)
    if isinstance(series, DepthSource):
        return _native.depth_slice(series, start, end)
    if isinstance(series, (list, tuple)):
        return _sequence_between(series, start, end)
    if _tick_frames.is_frame(series):
        return _frame_between(series, start, end)
    raise TypeError("series must be a TickSource, a MarkSource, a DepthSource, a slice of one, "
                    f"a sequence of Tick or columns of ticks, not {type(series).__name__}")


def _sequence_between(ticks: Sequence[Any], start: int, end: int) -> Sequence[Any]:
    import bisect

    for i, (a, b) in enumerate(itertools.pairwise(ticks)):
        if b.exch_ts < a.exch_ts:
            raise ValueError(f"tick {i + 1} goes backwards: previous exchange time {a.exch_ts}, "
                             f"found {b.exch_ts}")
    first = bisect.bisect_left(ticks, start, key=lambda t: t.exch_ts)
    stop = max(first, bisect.bisect_left(ticks, end, key=lambda t: t.exch_ts))
    return ticks[first:stop]


def _frame_between(columns: Any, start: int, end: int) -> Any:
    import numpy as np

    times = exchange_times(columns)
    backwards = np.flatnonzero(times[1:] < times[:-1])
    if len(backwards):
        i = int(backwards[0]) + 1
        raise ValueError(f"row {i} goes backwards: previous exchange time {int(times[i - 1])}, "
                         f"found {int(times[i])}")
    first = int(np.searchsorted(times, start, side="left"))
    stop = max(first, int(np.searchsorted(times, end, side="left")))
    if isinstance(columns, Mapping):
        return {name: values[first:stop] for name, values in columns.items()}
    if hasattr(columns, "iloc"):
        return columns.iloc[first:stop]
    return columns[first:stop]


def exchange_times(columns: Any) -> Any:
    """The exch_ts column of ticks held as columns, as int64 nanoseconds."""
    import numpy as np

    if getattr(columns, "dtype", None) is not None and getattr(columns.dtype, "names", None):
        values = columns["exch_ts"]
    elif isinstance(columns, Mapping) or hasattr(columns, "columns"):
        if "exch_ts" not in columns:
            raise ValueError("ticks need a column 'exch_ts'")
        values = columns["exch_ts"]
    else:
        raise TypeError(f"not columns of ticks: {type(columns).__name__}")
    return _tick_frames._column(np, values, "exch_ts", None, False, "ticks")


def remake(kind: str, path: str, start: int, end: int) -> Any:
    """A slice as pickled: found again in the file at `path`, by the process
    that unpickles it."""
    from halvorn.data._depth_files import load_depth
    from halvorn.data._marks import load_marks

    load = {"ticks": halvorn.load_ticks, "marks": load_marks, "depth": load_depth}[kind]
    return between(load(path), start, end)
