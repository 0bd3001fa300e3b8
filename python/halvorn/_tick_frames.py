"""Ticks as users hold them: a pandas DataFrame, a dict of NumPy columns or a
NumPy structured array, turned into the tick records a run reads.

Columns are named as the fields of a tick (`halvorn.data.FIELDS`: exch_ts,
local_ts, last, high, low, bid, ask, volume); exch_ts and last are required,
the others default as `halvorn.Tick` defaults them.  Each column is taken by
its type:
  - integers: already ticks, lots or nanoseconds, as they are;
  - datetimes (numpy datetime64, tz-aware pandas timestamps): exchange times,
    as nanoseconds since the epoch in UTC;
  - float64: the decimal its shortest representation writes ("42123.4"),
    scaled exactly by the instrument's tick size (prices) or lot size
    (volume), refused with its row when it is not a whole number of steps,
    or rounded when asked (bids down, asks up, volumes down; last, high and
    low have no side to round by and are always exact);
  - text or decimal.Decimal: decimal text, scaled the same way.
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
_ROUNDING = {"bid": "down", "ask": "up", "volume": "down"}


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
        return {str(k): v for k, v in obj.items()}
    if hasattr(obj, "columns"):  # a DataFrame
        return {str(name): obj[name] for name in obj.columns}
    return {name: obj[name] for name in obj.dtype.names}


def _steps(instrument: Any, field: str) -> str | None:
    if instrument is None:
        return None
    return instrument.lot_size if field == "volume" else instrument.tick_size


def _column(np: Any, values: Any, field: str, instrument: Any, round: bool, place: str) -> Any:
    """One column as int64 in the engine's units."""
    from halvorn.data import _native

    if hasattr(values, "dt") and getattr(values.dt, "tz", None) is not None:
        values = values.dt.tz_convert("UTC").dt.tz_localize(None)
    array = np.asarray(values)
    kind = array.dtype.kind
    if kind == "M":
        if field not in ("exch_ts", "local_ts"):
            raise TypeError(f"column {field!r} holds datetimes; only exch_ts and local_ts are times")
        return array.astype("datetime64[ns]").view(np.int64)
    if kind in "iu":
        return array.astype(np.int64, copy=False)
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
    rounding = _ROUNDING.get(field, "exact") if round else "exact"
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
