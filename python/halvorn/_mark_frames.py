"""Mark prices and funding as users hold them: a pandas DataFrame, a dict of
NumPy columns or a NumPy structured array, turned into what a run reads.

Marks are columns `time` and `mark` (and `index`, which a mark file keeps
too and a run does not read); funding is columns `time`, `rate` and `price`.
Each column is taken by its type, as tick columns are:
  - times: datetimes (numpy datetime64, tz-aware pandas timestamps) as
    nanoseconds since the epoch in UTC, or integer nanoseconds;
  - prices (`mark`, `index`, `price`): integers (an integer column, or
    Python ints in an object column) are ticks already; float64
    is the decimal its shortest text writes ("42123.4") and text or
    decimal.Decimal is that decimal, either scaled exactly by the
    Instrument's tick size and refused, with its row, when it is not a
    whole number of ticks;
  - `rate`: integers are billionths already; float64, text and
    decimal.Decimal are a fraction (0.0001 is 100_000 billionths), exact or
    refused.
NumPy is needed only by these inputs, and their owners have it.
"""

from __future__ import annotations

import decimal
import operator
from typing import Any

from halvorn._tick_frames import _columns, is_frame

_BILLIONTH = "0.000000001"


def _integers(np: Any, array: Any, name: str, place: str) -> Any | None:
    """An object column of integers (anything with __index__) as int64, or
    None when it holds text, floats or decimals."""
    items = array.tolist()
    if not items or any(isinstance(v, (str, float, decimal.Decimal)) for v in items):
        return None
    try:
        return np.array([operator.index(v) for v in items], dtype=np.int64)
    except TypeError:
        raise TypeError(f"{place}: column {name} holds values that are neither numbers nor "
                        "decimal text") from None
    except OverflowError:
        raise ValueError(f"{place}: column {name} holds a value beyond int64") from None


def _times(np: Any, values: Any, name: str, place: str) -> Any:
    from halvorn.data._arguments import times_of

    converted = np.asarray(times_of(values, name))
    if converted.dtype.kind == "O":
        integers = _integers(np, converted, name, place)
        converted = converted if integers is None else integers
    if converted.dtype.kind == "i":
        return converted.astype(np.int64, copy=False)
    if converted.dtype.kind == "u":
        if converted.size and int(converted.max()) > np.iinfo(np.int64).max:
            raise ValueError(f"{place}: column {name} holds a time beyond the times a tick holds")
        return converted.astype(np.int64)
    raise TypeError(f"{place}: column {name} must hold datetimes or integer nanoseconds, not "
                    f"{converted.dtype}")


def _values(np: Any, values: Any, name: str, step: str | None, unit: str, place: str) -> Any:
    """A column of prices (in ticks of `step`) or rates (billionths) as int64."""
    from halvorn.data import _native

    array = np.asarray(values)
    kind = array.dtype.kind
    if kind == "O":
        # Integers are counts, in an object column as in an int64 one.
        integers = _integers(np, array, name, place)
        if integers is not None:
            array, kind = integers, "i"
    if kind in "iu":
        if kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
            raise ValueError(f"{place}: column {name} holds a value beyond int64")
        return array.astype(np.int64, copy=False)
    if kind in "bM":
        raise TypeError(f"{place}: column {name} holds {array.dtype}, not numbers")
    if step is None:
        raise TypeError(f"{place}: column {name} holds {array.dtype} values, which need an "
                        "instrument to be scaled: give the Venue an Instrument(symbol, "
                        "tick_size, lot_size), or give prices as integer ticks")
    if kind == "f":
        scaled, _ = _native.scale_floats(np.ascontiguousarray(array, dtype=np.float64), step=step,
                                         rounding="exact", column=name, place=place, unit=unit)
    else:
        texts = [format(v, "f") if isinstance(v, decimal.Decimal) else str(v)
                 for v in array.tolist()]
        data = "".join(texts).encode()
        offsets = np.zeros(len(texts) + 1, dtype=np.int64)
        np.cumsum([len(t) for t in texts], out=offsets[1:])
        scaled = _native.scale_texts(offsets, data, 0, len(texts), step=step, unit=unit,
                                     rounding="exact", column=name, place=place, first_row=0)
    return np.frombuffer(scaled, dtype=np.int64)


def _frame(obj: Any, fields: tuple[str, ...], required: tuple[str, ...], place: str) -> dict[str, Any]:
    columns = _columns(obj)
    unknown = sorted(set(columns) - set(fields))
    missing = [name for name in required if name not in columns]
    if unknown or missing:
        what = f"columns {unknown} are none of" if unknown else f"no column {missing[0]!r}; give"
        raise ValueError(f"{place}: {what} {', '.join(fields)} ({', '.join(required)} required)")
    return columns


def _in_order(np: Any, times: Any, place: str) -> None:
    """Refuses marks whose time goes back, in the mark file's words."""
    wrong = np.flatnonzero(np.diff(times) < 0)
    if wrong.size:
        i = int(wrong[0]) + 1
        raise ValueError(f"{place}: mark {i} goes backwards: previous time {int(times[i - 1])}, "
                         f"found {int(times[i])}")


def mark_points(obj: Any, instrument: Any) -> Any:
    """The (time ns, mark ticks) pairs of marks given as columns, in time
    order, as one int64 array of 2 × n values."""
    import numpy as np

    place = "marks"
    columns = _frame(obj, ("time", "mark", "index"), ("time", "mark"), place)
    step = None if instrument is None else instrument.tick_size
    times = _times(np, columns["time"], "time", place)
    marks = _values(np, columns["mark"], "mark", step, "ticks", place)
    if "index" in columns:
        _values(np, columns["index"], "index", step, "ticks", place)  # checked as a file's is
    if len(marks) != len(times):
        raise ValueError(f"{place}: column mark has {len(marks)} values where time has "
                         f"{len(times)}")
    _in_order(np, times, place)
    return np.ascontiguousarray(np.stack([times, marks], axis=1))


def funding_rates(obj: Any, instrument: Any) -> Any:
    """The `venue.FundingRate`s of funding given as columns; anything else
    (a sequence of FundingRate) as it is."""
    if not is_frame(obj):
        return obj
    import numpy as np

    from halvorn import venue

    place = "funding"
    columns = _frame(obj, ("time", "rate", "price"), ("time", "rate", "price"), place)
    step = None if instrument is None else instrument.tick_size
    times = _times(np, columns["time"], "time", place)
    rates = _values(np, columns["rate"], "rate", _BILLIONTH, "billionths", place)
    prices = _values(np, columns["price"], "price", step, "ticks", place)
    for name, values in (("rate", rates), ("price", prices)):
        if len(values) != len(times):
            raise ValueError(f"{place}: column {name} has {len(values)} values where time has "
                             f"{len(times)}")
    return [venue.FundingRate(time=t, rate=r, price=p)
            for t, r, p in zip(times.tolist(), rates.tolist(), prices.tolist())]
