"""Tick files from columns and back: `from_arrays`, `to_arrays`."""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Any

import halvorn
from halvorn.data import _native
from halvorn.data._arguments import ROUNDING, TIME_FIELDS, path_of, times_of
from halvorn.data._hazards import Clock, clock_warning, warn
from halvorn.data._instruments import definition_of

if TYPE_CHECKING:
    from halvorn.venue import Instrument

FIELDS: tuple[str, ...] = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
"""The eight fields of a tick, in the order of its record and of to_arrays."""


def from_arrays(dest: str | os.PathLike[str], exch_ts: Any, last: Any, *, local_ts: Any = None,
                high: Any = None, low: Any = None, bid: Any = None, ask: Any = None,
                volume: Any = None, instrument: int | Instrument = 1,
                tick_size: str | None = None, lot_size: str | None = None,
                symbol: str | None = None, round: bool = False,
                kind: str | None = None, contract_value: str | None = None,
                settle: str | None = None) -> halvorn.TickSource:
    """Write a tick file at `dest` from columns, one tick per row.

    Each column is any object exporting a 1-D buffer of integers or float64
    (a NumPy array of any integer dtype or float64, strided or reversed views
    included, `array.array`, `memoryview`, a pandas Series), read in place
    without a copy while the interpreter lock is given up, or a sequence of
    ints, converted once.  Absent columns take the defaults `halvorn.Tick`
    uses: `local_ts` = `exch_ts`, `high` = `low` = `last`, `bid` = `ask` =
    `volume` = 0.

    Integers are the tick's units already: times in nanoseconds, prices in
    ticks, `volume` the cumulative volume in lots.  Times may also be
    datetimes (NumPy datetime64 of any unit, pandas datetimes, tz-aware ones
    included), taken as nanoseconds since the epoch in UTC.  Float64 prices
    are counted in ticks of `tick_size` and a float64 volume in lots of
    `lot_size`, exactly: each value is the decimal its shortest text writes
    (42123.4 is 421234 ticks of "0.1"; 42123.45 is no whole number of them
    and is refused), or the step it is float noise around (0.1 + 0.2 is 3
    ticks of "0.1": see docs/data.md for the rule).  With `round`, values
    really between two steps are rounded onto the grid instead: bids down,
    asks up, the volume down (against the strategy), and last, high and low,
    which have no side, to the nearest tick; a warning says how many moved.
    Where `local_ts` runs behind `exch_ts` (by over 1 ms), or jumps against
    it, a warning says so: latency is counted from the local clock.

    `instrument` is the id the file is written for, or a
    `halvorn.venue.Instrument`, which gives the id, `symbol` and both sizes.
    When both sizes are known the file keeps them, with the id and the
    symbol, after its records (`instrument_of` reads them); integer columns
    without sizes make a file without them, as before.

    Returns the `halvorn.TickSource` of the file written.

    Raises TypeError naming a column that is neither integers nor float64,
    not 1-D, datetimes outside exch_ts and local_ts, or float64 without the
    size it is counted in (naming that keyword); OverflowError for a listed
    value beyond int64; ValueError for columns of different lengths, an
    unsigned value beyond int64, a float64 value off the grid ("column last,
    row 3: \"42123.45\" is not a whole number of ticks of 0.1", rows from 1),
    an exchange time that goes back ("row 2 goes backwards: ..."), a symbol
    without both sizes or that a file cannot hold, and sizes that disagree
    with `instrument`.  On any error nothing at `dest` has changed.
    """
    path = path_of(dest, "dest")
    definition = definition_of("from_arrays", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle,
                               sizes_required=False)
    given = dict(exch_ts=exch_ts, last=last, local_ts=local_ts, high=high, low=low, bid=bid,
                 ask=ask, volume=volume)
    columns = {field: _column(values, field) for field, values in given.items()}
    writer = _native.Writer(path, definition.id, symbol=definition.symbol,
                            tick_size=definition.tick_size, lot_size=definition.lot_size,
                            **definition.contract())
    try:
        moved = writer.append(columns.pop("exch_ts"), columns.pop("last"), **columns, round=round)
        rows = writer.finish()
    finally:
        writer.abandon()  # nothing after finish(); otherwise the target is left as it was
    warn_rounded("from_arrays", dict(zip(FIELDS, moved)), rows)
    warn("from_arrays", clock_warning(Clock(*writer.clock)))
    return halvorn.load_ticks(path)


def _column(values: Any, field: str) -> Any:
    """A column argument as the writer takes it."""
    if values is None:
        return None
    if field in TIME_FIELDS:
        values = times_of(values, field)
    elif getattr(getattr(values, "dtype", None), "kind", None) == "M":
        raise TypeError(f"argument '{field}': holds datetimes; only exch_ts and local_ts are "
                        "times")
    if type(values).__module__.startswith("pandas"):
        import numpy as np  # a pandas column comes with NumPy

        values = np.asarray(values)  # a Series exports no buffer; its array does
    return values


# How `round` moves each field's values, as the warning says it.
_WAYS = {"down": "down", "up": "up", "nearest": "to the nearest step"}


def warn_rounded(function: str, moved: dict[str, int], rows: int) -> None:
    """Warns how many values `round` moved onto the grid, by field, when any
    did."""
    parts = [f"{n:,} of {rows:,} {field} values {_WAYS[ROUNDING[field]]}"
             for field, n in moved.items() if n]
    if parts:
        warnings.warn(f"{function} rounded {', '.join(parts)} onto the grid of their steps",
                      UserWarning, stacklevel=3)


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
