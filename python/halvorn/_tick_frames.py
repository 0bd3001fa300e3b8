"""Ticks as users hold them: a pandas DataFrame, a dict of NumPy columns or a
NumPy structured array, turned into the tick records a run reads.

Columns are named as the fields of a tick (`halvorn.data.FIELDS`: exch_ts,
local_ts, last, high, low, bid, ask, volume), each once; exch_ts and last are
required, the others default as `halvorn.Tick` defaults them.  Each column is
taken by its type:
  - integers, of any dtype (an object column of Python ints too): already
    ticks, lots or nanoseconds, as they are; a value beyond int64 is refused
    with its row, never wrapped;
  - datetimes (numpy datetime64 of any unit, tz-aware pandas timestamps):
    exchange times, as nanoseconds since the epoch in UTC; NaT, a time
    beyond the years 1677 to 2262 and one finer than a nanosecond are
    refused with their row, as halvorn.data.from_arrays refuses them;
  - float64: the decimal its shortest representation writes ("42123.4"), or
    the step it is float noise around, scaled exactly by the instrument's
    tick size (prices) or lot size (volume), refused with its row when it
    is not a whole number of steps, or rounded when asked (bids down, asks
    up, volumes down, last, high and low to the nearest tick);
  - text or decimal.Decimal: decimal text, scaled the same way.
An int is a count and text a value to scale, whatever holds them: an object
column mixing the two says neither, and is refused.
A structured array already laid out as tick records (eight little-endian
int64 fields in field order) is used without a copy.  Anything that needs
scaling needs an `Instrument`; NumPy is needed only by these inputs, and
their owners have it.
"""

from __future__ import annotations

import decimal
import warnings
from collections.abc import Mapping
from typing import Any

FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
_PRICES = ("last", "high", "low", "bid", "ask")
_INT64_MAX = 2**63 - 1


class RoundingWarning(UserWarning):
    """Values that were not whole steps were rounded, as asked: how many."""


def record_dtype(np: Any) -> Any:
    return np.dtype([(name, "<i8") for name in FIELDS])


def is_frame(obj: Any) -> bool:
    """Whether `obj` is one of the column holders taken here."""
    if isinstance(obj, Mapping):
        return True
    module = type(obj).__module__ or ""
    if module.startswith("pandas") and hasattr(obj, "columns"):
        return True
    dtype = getattr(obj, "dtype", None)
    return module.startswith("numpy") and getattr(dtype, "names", None) is not None


def _columns(obj: Any) -> dict[str, Any]:
    if isinstance(obj, Mapping):
        names, take = list(obj.keys()), obj.__getitem__
    elif hasattr(obj, "columns"):  # a DataFrame
        names, take = list(obj.columns), None
    else:
        return {name: obj[name] for name in obj.dtype.names}
    columns: dict[str, Any] = {}
    for i, name in enumerate(names):
        key = str(name)
        if key in columns:
            raise ValueError(f"the ticks have the column {key!r} twice; give each field once")
        # A frame's column by position: by name, a name given twice is both.
        columns[key] = take(name) if take is not None else obj.iloc[:, i]
    return columns


def _counts(np: Any, array: Any, field: str) -> Any:
    """Integers as int64, refusing what int64 does not hold."""
    if array.dtype.kind == "u" and array.size and array.max() > _INT64_MAX:
        row = int(np.flatnonzero(array > _INT64_MAX)[0])
        raise ValueError(f"column {field}, row {row + 1}: {int(array[row])} does not fit in a "
                         "signed 64-bit integer")
    return array.astype(np.int64, copy=False)


def _objects(np: Any, array: Any, field: str) -> Any:
    """An object column by what it holds: Python ints are counts (int64), as
    they are in an integer column; floats are float64; anything else is a
    value to scale, and stays as it is."""
    items = array.tolist()
    ints = [isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))
            for v in items]
    if items and all(ints):
        big = next((i for i, v in enumerate(items) if not -_INT64_MAX - 1 <= v <= _INT64_MAX),
                   None)
        if big is not None:
            raise ValueError(f"column {field}, row {big + 1}: {items[big]} does not fit in a "
                             "signed 64-bit integer")
        return np.array(items, dtype=np.int64)
    if any(ints):
        what = ("lots, with quantities" if field == "volume" else "ticks, with prices")
        raise TypeError(f"column {field!r} mixes ints, which are {what} to be scaled: give "
                        "one or the other")
    if items and all(isinstance(v, (float, np.floating)) for v in items):
        return np.array(items, dtype=np.float64)
    return array


def _steps(instrument: Any, field: str) -> str | None:
    if instrument is None:
        return None
    return instrument.lot_size if field == "volume" else instrument.tick_size


def _column(np: Any, values: Any, field: str, instrument: Any, round: bool, place: str) -> Any:
    """One column as int64 in the engine's units."""
    from halvorn.data import _native
    from halvorn.data._arguments import ROUNDING, TIME_FIELDS, times_of

    if field in TIME_FIELDS:
        values = times_of(values, field)
    array = np.asarray(values)
    if array.dtype.kind == "O":
        array = _objects(np, array, field)
    kind = array.dtype.kind
    if kind == "M":
        raise TypeError(f"column {field!r} holds datetimes; only exch_ts and local_ts are times")
    if kind in "iu":
        return _counts(np, array, field)
    if kind == "b":
        raise TypeError(f"column {field!r} holds booleans, not numbers")
    if field in ("exch_ts", "local_ts"):
        raise TypeError(f"column {field!r} must hold integer nanoseconds or datetimes, not "
                        f"{array.dtype}")
    step = _steps(instrument, field)
    if step is None:
        raise TypeError(f"column {field!r} holds {array.dtype} values, which need an instrument "
                        "to be scaled: run on Venue(instrument=Instrument(symbol, tick_size, "
                        "lot_size)), or give ticks and lots as integers")
    rounding = ROUNDING.get(field, "exact") if round else "exact"
    if kind == "f":
        scaled, moved = _native.scale_floats(np.ascontiguousarray(array, dtype=np.float64),
                                             step=step, rounding=rounding, column=field,
                                             place=place)
    else:
        texts = [str(v) if not isinstance(v, decimal.Decimal) else format(v, "f")
                 for v in array.tolist()]
        data = "".join(texts).encode()
        offsets = np.zeros(len(texts) + 1, dtype=np.int64)
        np.cumsum([len(t) for t in texts], out=offsets[1:])
        scaled = _native.scale_texts(offsets, data, 0, len(texts), step=step,
                                     unit="lots" if field == "volume" else "ticks",
                                     rounding=rounding, column=field, place=place, first_row=0)
        moved = 0
    if moved:
        warnings.warn(RoundingWarning(f"{place}: rounded {moved} of {len(array)} {field} values to "
                                      f"whole steps of {step}"), stacklevel=4)
    return np.frombuffer(scaled, dtype=np.int64)


def tick_records(obj: Any, instrument: Any = None, *, round: bool = False,
                 place: str = "ticks") -> Any:
    """The tick records of `obj` as a NumPy structured array (record_dtype),
    the array itself when it already is one."""
    import numpy as np

    dtype = record_dtype(np)
    if getattr(obj, "dtype", None) == dtype and getattr(obj, "ndim", 0) == 1:
        return np.ascontiguousarray(obj)
    columns = _columns(obj)
    unknown = sorted(set(columns) - set(FIELDS))
    if unknown:
        raise ValueError(f"ticks have columns {unknown} that are no tick field; the fields are "
                         f"{', '.join(FIELDS)}")
    for required in ("exch_ts", "last"):
        if required not in columns:
            raise ValueError(f"ticks need a column {required!r}")
    converted = {name: _column(np, values, name, instrument, round, place)
                 for name, values in columns.items()}
    n = len(converted["exch_ts"])
    for name, values in converted.items():
        if len(values) != n:
            raise ValueError(f"column {name!r} has {len(values)} values where exch_ts has {n}")
    records = np.zeros(n, dtype=dtype)
    records["exch_ts"] = converted["exch_ts"]
    records["local_ts"] = converted.get("local_ts", converted["exch_ts"])
    records["last"] = converted["last"]
    for name in ("high", "low"):
        records[name] = converted.get(name, converted["last"])
    for name in ("bid", "ask", "volume"):
        if name in converted:
            records[name] = converted[name]
    return records
