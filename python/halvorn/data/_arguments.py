"""What the readers and writers of halvorn.data take alike: paths, names
chosen from a fixed list (layouts, time units), and streams of files."""

from __future__ import annotations

import io
import os
import zipfile
from collections.abc import Iterator, Mapping
from typing import IO, Any

from halvorn.data import _native

# The short forms a time unit may also be typed as; the units themselves, and
# the nanoseconds in one step of each, are the converters' own table.
_SHORT_FORMS = {"milliseconds": ("ms",), "microseconds": ("us", "µs"), "nanoseconds": ("ns",)}

TIME_UNITS = {typed: name for name, _ in _native.TIME_UNITS
              for typed in (*_SHORT_FORMS.get(name, ()), name)}
"""Every way of writing a time unit, to the name the converters take."""

UNIT_NANOS = dict(_native.TIME_UNITS)
"""Nanoseconds in one step of each unit, by the name the converters take."""


def layouts_of(stream: str) -> dict[str, str]:
    """Every way of writing a layout of `stream` ("trades", "quotes", "depth"),
    its name as the converters' texts give it or its short key, to that name."""
    return {typed: name for name, key, kind in _native.LAYOUTS if kind == stream
            for typed in (name, key)}


PROGRESS_BYTES = 8 << 20
"""How often a conversion reports progress, in bytes of input."""


def path_of(obj: Any, arg: str) -> str:
    """`obj` as a path, for the argument named `arg`."""
    if isinstance(obj, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(obj))
    raise TypeError(f"argument '{arg}': expected str or os.PathLike, got {type(obj).__name__}")


def choice(value: Any, arg: str, names: Mapping[str, str]) -> str | None:
    """What `names` calls `value` (None stays None), for the argument named `arg`."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"argument '{arg}': expected str or None, got {type(value).__name__}")
    try:
        return names[value]
    except KeyError:
        known = ", ".join(repr(n) for n in names)
        raise ValueError(f"argument '{arg}': unknown {value!r}; one of {known}") from None


TIME_FIELDS = ("exch_ts", "local_ts")

ROUNDING = {"bid": "down", "ask": "up", "volume": "down", "qty": "down",
            "last": "nearest", "high": "nearest", "low": "nearest"}
"""How `round` moves a value between two steps, by field: against the
strategy where the field has a side (a bid down, an ask up, a quantity
down), to the nearest step where it has none (a trade's last, high, low)."""


def times_of(values: Any, arg: str) -> Any:
    """A column of times as it may arrive, made what the writer takes.

    Datetimes (NumPy datetime64 of any unit, pandas datetimes, tz-aware ones
    included) become int64 nanoseconds since the epoch in UTC, refused when a
    value has no time (NaT) or lies beyond the times a tick holds; anything
    else is returned as it is, for the writer to take or refuse.
    """
    if getattr(getattr(values, "dt", None), "tz", None) is not None:  # a pandas Series
        values = values.dt.tz_convert("UTC").dt.tz_localize(None)
    elif getattr(values, "tz", None) is not None and hasattr(values, "tz_convert"):  # an index
        values = values.tz_convert("UTC").tz_localize(None)
    dtype = getattr(values, "dtype", None)
    if getattr(dtype, "kind", None) != "M":
        return values
    import numpy as np  # a datetime64 column comes with NumPy

    array = np.asarray(values)
    if np.isnat(array).any():
        row = int(np.flatnonzero(np.isnat(array))[0]) + 1
        raise ValueError(f"column {arg}, row {row}: NaT is not a time")
    ns = array.astype("datetime64[ns]")
    # The cast wraps around silently past the years 1677 to 2262, and cuts
    # what is finer than a nanosecond: both show as a value that does not
    # come back.
    wrong = np.flatnonzero(ns.astype(array.dtype) != array)
    if wrong.size:
        row = int(wrong[0])
        raise ValueError(f"column {arg}, row {row + 1}: {array[row]} is not a whole number of "
                         "nanoseconds within the times a tick holds (the years 1677 to 2262)")
    return ns.view(np.int64)


def _is_file(obj: Any) -> bool:
    return hasattr(obj, "readinto") or hasattr(obj, "read")


def files_of(obj: Any, arg: str) -> Iterator[Any]:
    """The files of one stream, one at a time."""
    if isinstance(obj, zipfile.ZipFile):
        return _members(obj)
    if isinstance(obj, io.TextIOBase):
        raise TypeError(f"argument '{arg}': the file is open in text mode; open it with "
                        "open(path, \"rb\")")
    if _is_file(obj):
        return iter((obj,))
    if isinstance(obj, (str, bytes, os.PathLike)):
        raise TypeError(f"argument '{arg}': expected a binary file object or an iterable of "
                        f"them, got the path {obj!r}; open it: open(path, \"rb\"), "
                        "gzip.open(path) or zipfile.ZipFile(path)")
    try:
        return iter(obj)
    except TypeError:
        raise TypeError(f"argument '{arg}': expected a binary file object or an iterable of "
                        f"them, got {type(obj).__name__}") from None


def _members(archive: zipfile.ZipFile) -> Iterator[IO[bytes]]:
    """The files of an archive in name order, each open while it is read."""
    for info in sorted(archive.infolist(), key=lambda i: i.filename):
        if info.is_dir():
            continue
        with archive.open(info) as member:
            yield member


def known_size(*streams: Any) -> int | None:
    """The bytes the streams hold when every file is a plain file on disk."""
    total = 0
    for stream in streams:
        if stream is None:
            continue
        if isinstance(stream, zipfile.ZipFile):
            total += sum(i.file_size for i in stream.infolist())
            continue
        files = [stream] if _is_file(stream) else stream
        if not isinstance(files, (list, tuple)):
            return None  # an iterator is not consumed ahead of the conversion
        for f in files:
            if not isinstance(f, (io.BufferedReader, io.FileIO)):
                return None
            try:
                total += os.fstat(f.fileno()).st_size - f.tell()
            except (OSError, ValueError):
                return None
    return total
