"""Parquet files into tick files, a record batch at a time: `from_parquet`.

Values are scaled exactly: pyarrow reads the file and hands over each
column's buffers, decimal text is scaled by the same code that scales CSV
fields, and a float64 as the decimal its shortest text writes, by the code
that scales from_arrays' floats.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal

import halvorn
from halvorn._optional import require
from halvorn.data import _native
from halvorn.data._arguments import ROUNDING, TIME_UNITS, UNIT_NANOS, choice, path_of
from halvorn.data._hazards import Clock, clock_warning, warn
from halvorn.data._instruments import definition_of
from halvorn.data._tick_arrays import FIELDS, warn_rounded

if TYPE_CHECKING:
    from halvorn.venue import Instrument

# The buffer format of each integer (and the float64) Arrow type, for a view
# of its values.
_FORMATS: dict[str, Literal["b", "h", "i", "q", "B", "H", "I", "Q", "d"]] = {
    "int8": "b", "int16": "h", "int32": "i", "int64": "q", "uint8": "B", "uint16": "H",
    "uint32": "I", "uint64": "Q", "double": "d"}


def from_parquet(dest: str | os.PathLike[str], path: str | os.PathLike[str], *,
                 columns: Mapping[str, str] | None = None, tick_size: str | None = None,
                 lot_size: str | None = None, time_unit: str = "ns",
                 instrument: int | Instrument = 1, symbol: str | None = None,
                 round: bool = False, batch_rows: int = 65_536,
                 kind: str | None = None, contract_value: str | None = None,
                 settle: str | None = None) -> halvorn.TickSource:
    """Write a tick file at `dest` from a Parquet file, one record batch at a time.

    `columns` maps tick fields to the file's columns (``{"exch_ts":
    "timestamp", "last": "price", "qty": "amount"}``); None takes the columns
    named as the fields.  The fields are those of `FIELDS`, and `qty`, a
    quantity per row that is added up into the cumulative `volume` (give one
    or the other).  `exch_ts` and `last` are required; the others default as
    in `from_arrays`.

    Values are scaled exactly:
      - times: a timestamp (or date) column by its own unit, in UTC, an
        integer column in `time_unit` ("ms", "us" or "ns");
      - prices and quantities: an integer column is taken as ticks or lots
        already; a decimal or string column is decimal text scaled by
        `tick_size` (prices) or `lot_size` (`qty`, `volume`) as from_csv
        scales CSV fields; a float64 column is the decimal each value's
        shortest text writes, scaled the same way (as `from_arrays` scales
        floats); with `round` bids round down, asks up, quantities down and
        `last`, `high` and `low` (which have no side) to the nearest tick,
        and values that moved are counted in a warning.
    Refused: nulls, floats of other widths than 64 bits, and any other type.

    `instrument` is the id the file is written for, or a
    `halvorn.venue.Instrument`, which gives the id, `symbol` and both sizes;
    the file keeps them after its records, for `instrument_of`.

    Raises ImportError naming the extra when pyarrow is missing (``pip install
    halvorn[parquet]``); TypeError for a refused column type; ValueError with
    the converter's text, placed at "{path}:{row}" (the row from 1), for a
    value that does not scale, and for times that go back; ValueError when
    neither the sizes nor an Instrument are given, or they disagree.  On any
    error nothing at `dest` has changed.
    """
    definition = definition_of("from_parquet", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle)
    require("pyarrow", "parquet", "halvorn.data.from_parquet")
    pq = importlib.import_module("pyarrow.parquet")
    source = os.fspath(path)
    parquet = pq.ParquetFile(source)
    return write_batches(
        "from_parquet", dest, os.fsdecode(source), parquet.schema_arrow.names,
        lambda names: parquet.iter_batches(batch_size=batch_rows, columns=names),
        definition=definition, columns=columns, time_unit=time_unit, round=round)


def write_batches(function: str, dest: str | os.PathLike[str], place: str, names: list[str],
                  batches: Callable[[list[str]], Iterable[Any]], *, definition: Any,
                  columns: Mapping[str, str] | None, time_unit: str, round: bool) -> Any:
    """A tick file at `dest` from Arrow record batches: `batches(names)` gives
    them, holding at least the columns named, in file order.  What
    `from_parquet` does once it has opened its file, for every columnar file
    read a batch at a time."""
    pa = importlib.import_module("pyarrow")
    pc = importlib.import_module("pyarrow.compute")
    out = path_of(dest, "dest")
    unit = choice(time_unit, "time_unit", TIME_UNITS)
    mapping = _parquet_mapping(columns, names)
    writer = _native.Writer(out, definition.id, symbol=definition.symbol,
                            tick_size=definition.tick_size, lot_size=definition.lot_size,
                            **definition.contract())
    moved = dict.fromkeys(mapping, 0)
    try:
        _parquet_batches(pa, pc, batches(sorted(set(mapping.values()))), writer, mapping, unit,
                         {"ticks": definition.tick_size, "lots": definition.lot_size}, round,
                         place, moved)
        rows = writer.finish()
    finally:
        writer.abandon()  # nothing after finish(); otherwise the target is left as it was
    warn_rounded(function, moved, rows)
    warn(function, clock_warning(Clock(*writer.clock)))
    return halvorn.load_ticks(out)


def _parquet_batches(pa: Any, pc: Any, batches: Iterable[Any], writer: Any,
                     mapping: dict[str, str], unit: str | None, steps: dict[str, Any], round: bool,
                     place: str, moved: dict[str, int]) -> None:
    row = 0
    volume = 0
    for batch in batches:
        values: dict[str, Any] = {}
        for field, name in mapping.items():
            array = batch.column(name)
            if array.null_count:
                first = pc.index(pc.is_null(array), True).as_py()
                raise ValueError(f"{place}:{row + first + 1}: column {name} is empty (null)")
            values[field] = _parquet_column(pa, pc, array, field, name, unit, steps, round,
                                            place, row, moved)
        if "qty" in values:
            quantities = values.pop("qty")
            if batch.num_rows and pc.min(quantities).as_py() < 0:
                first = pc.index(pc.less(quantities, 0), True).as_py()
                raise ValueError(f"{place}:{row + first + 1}: column {mapping['qty']} is negative")
            try:
                summed = pc.cumulative_sum_checked(quantities, start=volume)
            except pa.ArrowInvalid:
                raise ValueError(f"{place}: column {mapping['qty']} takes the cumulative volume "
                                 "beyond 9223372036854775807 lots") from None
            if batch.num_rows:
                volume = summed[-1].as_py()
            values["volume"] = _view(summed)
        writer.append(**values)
        row += batch.num_rows


def _parquet_mapping(columns: Mapping[str, str] | None, names: list[str]) -> dict[str, str]:
    fields = FIELDS + ("qty",)
    if columns is None:
        mapping = {f: f for f in fields if f in names}
        if "qty" in mapping and "volume" in mapping:
            del mapping["qty"]
    else:
        if not isinstance(columns, Mapping):
            raise TypeError("argument 'columns': expected a mapping of tick field to column name")
        mapping = dict(columns)
        for field, name in mapping.items():
            if field not in fields:
                raise ValueError(f"argument 'columns': {field!r} is not a tick field; fields are "
                                 f"{', '.join(fields)}")
            if name not in names:
                raise ValueError(f"argument 'columns': the file has no column {name!r} "
                                 f"(for {field}); it has {', '.join(names)}")
        if "qty" in mapping and "volume" in mapping:
            raise ValueError("argument 'columns': give qty (per row) or volume (cumulative), "
                             "not both")
    for required in ("exch_ts", "last"):
        if required not in mapping:
            raise ValueError(f"the file has no column {required}; name its columns: "
                             "columns={'exch_ts': ..., 'last': ...}")
    return mapping


def _view(array: Any) -> memoryview[Any]:
    """An integer or float64 Arrow array's values as a typed memoryview,
    without a copy."""
    fmt = _FORMATS[str(array.type)]
    buffer = array.buffers()[1]
    data = memoryview(buffer if buffer is not None else b"")
    size = {"b": 1, "h": 2, "i": 4, "q": 8, "d": 8}[fmt.lower()]
    return data[: len(data) // size * size].cast(fmt)[array.offset: array.offset + len(array)]


def _parquet_column(pa: Any, pc: Any, array: Any, field: str, name: str, unit: str | None,
                    steps: dict[str, str], round: bool, place: str, row: int,
                    moved: dict[str, int]) -> Any:
    t = array.type
    if field in ("exch_ts", "local_ts"):
        if pa.types.is_timestamp(t) or pa.types.is_date(t):
            # A timestamp with a time zone holds UTC already; the cast is
            # checked, and refuses what lies beyond the years 1677 to 2262.
            try:
                ns = array.cast(pa.timestamp("ns", tz=getattr(t, "tz", None)))
            except pa.ArrowInvalid:
                raise ValueError(f"{place}: column {name} holds a time beyond the times a tick "
                                 "holds (the years 1677 to 2262)") from None
            return _view(ns.cast(pa.int64()))
        if pa.types.is_integer(t):
            try:
                scaled = pc.multiply_checked(array.cast(pa.int64()),
                                             UNIT_NANOS[unit or "nanoseconds"])
            except pa.ArrowInvalid:
                raise ValueError(f"{place}: column {name} in {unit} is beyond the times a tick "
                                 "holds (the years 1677 to 2262)") from None
            return _view(scaled)
        raise TypeError(f"column {name} is {t}: a time is a timestamp, a date or an integer "
                        "column")
    if pa.types.is_integer(t):
        if field == "qty":
            return array.cast(pa.int64())  # added up below, in int64
        return _view(array)
    unit_word = "lots" if field in ("qty", "volume") else "ticks"
    rounding = ROUNDING.get(field, "exact") if round else "exact"
    if pa.types.is_float64(t):
        counts, n = _native.scale_floats(_view(array), step=steps[unit_word], rounding=rounding,
                                         column=name, place=place, first_row=row, unit=unit_word)
        moved[field] += n
        if field == "qty":
            return pa.Array.from_buffers(pa.int64(), len(array), [None, pa.py_buffer(counts)])
        return memoryview(counts).cast("q")
    if pa.types.is_decimal(t):
        array = array.cast(pa.string())
    elif not (pa.types.is_string(t) or pa.types.is_large_string(t)):
        why = ("only a float64 is read as the decimal it writes: store float64, decimals, text "
               "or integer steps" if pa.types.is_floating(t) else "prices and quantities are "
               "integer steps, float64, decimals or decimal text")
        raise TypeError(f"column {name} is {t}: {why}")
    text = array.cast(pa.large_string())
    buffers = text.buffers()
    scaled = _native.scale_texts(buffers[1], buffers[2] if buffers[2] is not None else b"",
                                 text.offset, len(text), step=steps[unit_word], unit=unit_word,
                                 rounding=rounding, column=name, place=place, first_row=row)
    if field == "qty":
        return pa.Array.from_buffers(pa.int64(), len(text), [None, pa.py_buffer(scaled)])
    return memoryview(scaled).cast("q")
