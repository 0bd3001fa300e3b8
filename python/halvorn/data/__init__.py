"""Market data in and out of tick files: CSV archives, integer arrays, Parquet;
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
floating point anywhere on the way) and a value that is not a whole number
of steps is refused unless rounding is asked for.  A file being written sits
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
"""

from __future__ import annotations

import importlib
import io
import os
import zipfile
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, BinaryIO

import halvorn
from halvorn._optional import require
from halvorn._progress import reporter
from halvorn.data import _native

__all__ = ["from_csv", "from_arrays", "from_parquet", "to_arrays", "funding_from_csv", "FIELDS",
           "DepthSource", "Snapshot", "Update", "load_depth", "save_depth", "read_depth",
           "depth_from_csv"]

DepthSource = _native.DepthSource
Snapshot = _native.Snapshot
Update = _native.Update

FIELDS: tuple[str, ...] = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")
"""The eight fields of a tick, in the order of its record and of to_arrays."""

# Layout names as the converter's texts give them, and short forms for typing.
_TRADE_LAYOUTS = {
    "trades": "trades",
    "aggregated trades": "aggregated trades",
    "agg_trades": "aggregated trades",
    "two-clock trades": "two-clock trades",
    "clock_trades": "two-clock trades",
}
_QUOTE_LAYOUTS = {
    "best bid and offer": "best bid and offer",
    "bbo": "best bid and offer",
    "two-clock quotes": "two-clock quotes",
    "clock_quotes": "two-clock quotes",
}
# Each unit a time may be given in: the name the converters take, the short
# forms it may also be typed as, and the nanoseconds in one of its steps.
_TIME_UNITS = (
    ("milliseconds", ("ms",), 1_000_000),
    ("microseconds", ("us", "µs"), 1_000),
    ("nanoseconds", ("ns",), 1),
)
_UNITS = {typed: name for name, short, _ in _TIME_UNITS for typed in (*short, name)}
_NANOS = {name: nanos for name, _, nanos in _TIME_UNITS}
_DEPTH_LAYOUTS = {
    "depth diffs": "depth diffs",
    "depth_diffs": "depth diffs",
    "two-clock depth": "two-clock depth",
    "clock_depth": "two-clock depth",
}

# How often a conversion reports progress, in bytes of input.
_PROGRESS_BYTES = 8 << 20


def from_csv(dest: str | os.PathLike[str], trades: Any, quotes: Any = None, *,
             layout: str | None = None, quote_layout: str | None = None, tick_size: str,
             lot_size: str, instrument: int = 1, time_unit: str | None = None,
             quote_time_unit: str | None = None, sort_window: int = 0, allow_gaps: bool = False,
             round: bool = False,
             progress: bool | Callable[[int, int], object] | None = None) -> halvorn.TickSource:
    """Convert CSV trades (and best quotes) into a tick file at `dest`, streaming.

    `trades` and `quotes` are each one binary file object, a `zipfile.ZipFile`
    (its members in name order) or an iterable of file objects read in order,
    such as the daily files of a month; an iterable is consumed one file at a
    time, so a generator may open each file as it is reached.  A file's
    `name` is what error texts show.

    One tick per trade (its time, `last` = `high` = `low` its price in ticks,
    the best quote known then, the volume so far in lots), and with quotes one
    tick per change of the best bid or ask price; merged by exchange time, a
    trade before a quote of the same time.

    `layout` (trades: "trades", "agg_trades", "clock_trades") and
    `quote_layout` ("bbo", "clock_quotes"), or their full names ("aggregated
    trades", "two-clock trades", "best bid and offer", "two-clock quotes");
    None tells each file's layout from its header or its first row.
    `time_unit` and `quote_time_unit` are "ms", "us" or "ns"; None tells each
    file's unit from its first time.  `tick_size` and `lot_size` are decimal
    text ("0.10", "0.001").  `sort_window` takes rows up to that many rows
    late; `allow_gaps` accepts missing aggregated trade ids; `round` rounds
    values that are not whole steps toward the side that does not flatter the
    strategy instead of refusing them.  `progress` is True for a bar on
    standard error (bytes read and their rate), or a callable told
    ``(bytes_read, rows_read)`` about every 8 MiB and once more when the file
    is in place; what it raises stops the conversion (and is raised), except
    from that last call, when the file is already complete.

    Returns the `halvorn.TickSource` of the file written.

    Raises ValueError with the converter's text, which names the file, the
    line and what was expected there (``day2.csv:17: column price: "4.25" is
    not a whole number of ticks of 0.1``); TypeError or OverflowError naming
    an argument of the wrong type or range; and whatever a file, the iterable
    or the progress callable raised (KeyboardInterrupt included), unchanged.
    On any error nothing at `dest` has changed.
    """
    return _convert(dest, trades, quotes, layout=layout, quote_layout=quote_layout,
                    tick_size=tick_size, lot_size=lot_size, instrument=instrument,
                    time_unit=time_unit, quote_time_unit=quote_time_unit,
                    sort_window=sort_window, allow_gaps=allow_gaps, round=round,
                    progress=progress)[0]


def _convert(dest: Any, trades: Any, quotes: Any, *, layout: Any, quote_layout: Any,
             tick_size: Any, lot_size: Any, instrument: Any, time_unit: Any,
             quote_time_unit: Any, sort_window: Any, allow_gaps: Any, round: Any,
             progress: Any, total: int | None = None,
             progress_bytes: int = _PROGRESS_BYTES) -> tuple[halvorn.TickSource, tuple[int, ...]]:
    """from_csv, also returning (ticks, trades, quotes, quote_ticks, bytes)."""
    path = _path(dest, "dest")
    trade_layout = _choice(layout, "layout", _TRADE_LAYOUTS)
    quote_layout_name = _choice(quote_layout, "quote_layout", _QUOTE_LAYOUTS)
    unit = _choice(time_unit, "time_unit", _UNITS)
    quote_unit = _choice(quote_time_unit, "quote_time_unit", _UNITS)
    trade_files = _files(trades, "trades")
    quote_files = None if quotes is None else _files(quotes, "quotes")
    if progress is True and total is None:
        total = _known_size(trades, quotes)
    report, bar = reporter(progress, total, "bytes")
    try:
        counts = _native.convert(path, trade_files, quote_files, layout=trade_layout,
                                 quote_layout=quote_layout_name, tick_size=tick_size,
                                 lot_size=lot_size, instrument=instrument, time_unit=unit,
                                 quote_time_unit=quote_unit, sort_window=sort_window,
                                 allow_gaps=allow_gaps, round=round, progress=report,
                                 progress_bytes=progress_bytes)
    finally:
        if bar is not None:
            bar.close()
    return halvorn.load_ticks(path), counts


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
    path = _path(dest, "dest")
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
        path = _path(source, "source")
    _count, _instrument, views = _native.map_columns(path)
    return dict(zip(FIELDS, views))


def funding_from_csv(file: Any, *, ticks: halvorn.TickSource | None = None,
                     time_unit: str | None = None) -> list[Any]:
    """Funding history from CSV (calc_time,funding_interval_hours,last_funding_rate), priced.

    `file` is one binary file object, a `zipfile.ZipFile` or an iterable of
    file objects, as `from_csv` takes them.  Each rate is converted exactly to
    billionths ("0.00010000" is 100_000) and never rounded.  The history has
    no mark price, so each rate's price is the `last` (ticks) of the final
    tick at or before its time in `ticks`, the `halvorn.TickSource` of the
    same instrument; `time_unit` as in `from_csv`.

    Returns a list of `halvorn.venue.FundingRate` (time ns, rate billionths,
    price ticks), in time order, for `halvorn.venue.Venue(funding=...)`.

    Raises TypeError when `ticks` is not given (without a price a rate would
    settle nothing, so none is guessed); ValueError with the converter's text
    for a bad row (an inexact rate names its file and line), and "no tick at
    or before the funding rate at {time} ns (rate ..., number {i} from 0)"
    for a rate before the first tick.
    """
    if ticks is None:
        raise TypeError("funding_from_csv needs ticks=, the TickSource whose last prices the "
                        "rates settle at: funding history has no mark price, and none is guessed")
    if not isinstance(ticks, halvorn.TickSource):
        raise TypeError(f"argument 'ticks': expected a TickSource, got {type(ticks).__name__}")
    from halvorn import venue
    rows = _native.read_funding(_files(file, "file"), ticks.path,
                                time_unit=_choice(time_unit, "time_unit", _UNITS))
    return [venue.FundingRate(time, rate, price) for time, rate, price in rows]


def from_parquet(dest: str | os.PathLike[str], path: str | os.PathLike[str], *,
                 columns: Mapping[str, str] | None = None, tick_size: str, lot_size: str,
                 time_unit: str = "ns", instrument: int = 1, round: bool = False,
                 batch_rows: int = 65_536) -> halvorn.TickSource:
    """Write a tick file at `dest` from a Parquet file, one record batch at a time.

    `columns` maps tick fields to the file's columns (``{"exch_ts":
    "timestamp", "last": "price", "qty": "amount"}``); None takes the columns
    named as the fields.  The fields are those of `FIELDS`, and `qty`, a
    quantity per row that is added up into the cumulative `volume` (give one
    or the other).  `exch_ts` and `last` are required; the others default as
    in `from_arrays`.

    Values are scaled exactly, never through a float:
      - times: a timestamp column by its own unit, an integer column in
        `time_unit` ("ms", "us" or "ns");
      - prices and quantities: an integer column is taken as ticks or lots
        already; a decimal or string column is decimal text scaled by
        `tick_size` (prices) or `lot_size` (`qty`, `volume`) as from_csv
        scales CSV fields, with `round` rounding bids down, asks up and
        quantities down (`last`, `high` and `low` have no side to round by and
        are refused when not whole).
    Refused: float columns (a float is not an exact price: store decimals,
    text or integer steps), nulls, and any other type.

    Raises ImportError naming the extra when pyarrow is missing (``pip install
    halvorn[parquet]``); TypeError for a refused column type; ValueError with
    the converter's text, placed at "{path}:{row}" (the row from 1), for a
    value that does not scale, and for times that go back.  On any error
    nothing at `dest` has changed.
    """
    pa = require("pyarrow", "parquet", "halvorn.data.from_parquet")
    pc = importlib.import_module("pyarrow.compute")
    pq = importlib.import_module("pyarrow.parquet")
    out = _path(dest, "dest")
    source = os.fspath(path)
    place = os.fsdecode(source)
    unit = _choice(time_unit, "time_unit", _UNITS)
    parquet = pq.ParquetFile(source)
    mapping = _parquet_mapping(columns, parquet.schema_arrow.names)
    writer = _native.Writer(out, instrument)
    try:
        _parquet_batches(pa, pc, parquet, writer, mapping, unit, {"ticks": tick_size,
                         "lots": lot_size}, round, place, batch_rows)
        writer.finish()
    finally:
        writer.abandon()  # nothing after finish(); otherwise the target is left as it was
    return halvorn.load_ticks(out)


def _parquet_batches(pa: Any, pc: Any, parquet: Any, writer: Any, mapping: dict[str, str],
                     unit: str | None, steps: dict[str, str], round: bool, place: str,
                     batch_rows: int) -> None:
    row = 0
    volume = 0
    for batch in parquet.iter_batches(batch_size=batch_rows, columns=sorted(set(mapping.values()))):
        values: dict[str, Any] = {}
        for field, name in mapping.items():
            array = batch.column(name)
            if array.null_count:
                first = pc.index(pc.is_null(array), True).as_py()
                raise ValueError(f"{place}:{row + first + 1}: column {name} is empty (null)")
            values[field] = _parquet_column(pa, pc, array, field, name, unit, steps, round,
                                            place, row)
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
            values["volume"] = _int_view(summed)
        writer.append(**values)
        row += batch.num_rows



# --- depth -------------------------------------------------------------------------------


def load_depth(path: str | os.PathLike[str]) -> DepthSource:
    """Open a depth file for runs, reading only its header.

    The records are read when a run (``venue.run(..., depth=source)``) or
    `read_depth` streams them, a block at a time and from the start each
    time, so a source serves any number of runs and memory stays at one
    block whatever the file's size.

    ```python
    depth = data.load_depth("btcusdt-2024-01-02.hvdp")
    print(len(depth), depth.instrument)
    ```

    Raises ValueError "{path}: {error}" with the depth reader's text for a
    missing or short file ("depth file truncated: needed 40 bytes, 0
    available"), a file that is not a depth file, or a version this build does
    not read; TypeError for a path that is neither str nor os.PathLike.
    """
    return _native.load_depth(_path(path, "path"))


def save_depth(path: str | os.PathLike[str], records: Iterable[Snapshot | Update],
               instrument: int = 1) -> DepthSource:
    """Write `Snapshot` and `Update` records to a depth file at `path`, in order.

    `records` is any iterable, consumed once: a generator writes a stream far
    larger than memory, the writer holding a buffer of it at a time.  Times
    must not go back (equal times keep their order); that update ids continue
    without a gap is not checked here, it is what a run's depth book checks as
    it applies them.  The file replaces `path` only once it is complete.

    ```python
    data.save_depth("book.hvdp", [
        data.Snapshot(100, bids=[(99, 4)], asks=[(100, 2), (101, 3)]),
        data.Update(101, 101, 2_000, bids=[], asks=[(100, 0)]),
    ])
    ```

    Returns the `DepthSource` of the file written.

    Raises TypeError for an item that is neither a Snapshot nor an Update
    ("records[3]: ..."); ValueError with the depth writer's text for a record
    no reader would take ("depth record 2 goes backwards: previous time 5,
    found 4"); OSError for a path that cannot be written; and whatever the
    iterable raised.  On any error nothing at `path` has changed.
    """
    return _native.save_depth(_path(path, "path"), records, instrument)


def read_depth(source: DepthSource | str | os.PathLike[str]) -> Iterator[Snapshot | Update]:
    """The records of a depth file, in file order, streamed.

    Each call opens its own reader; records are made one at a time as the
    iterator is advanced, so a file of any size is read in constant memory.

    ```python
    for record in data.read_depth(depth):
        if isinstance(record, data.Snapshot):
            print(record.time_ns, record.last_update_id, len(record.bids))
    ```

    Raises ValueError "{path}: {error}" with the depth reader's text when the
    file does not open, and where it turns out damaged (a checksum is only
    known once the last block has been read, so the records before that block
    have been handed out by then); TypeError for a source that is neither a
    DepthSource nor a path.
    """
    if not isinstance(source, DepthSource):
        source = load_depth(_path(source, "source"))
    return _native.read_depth(source)


def depth_from_csv(dest: str | os.PathLike[str], sources: Any, *, layout: str | None = None,
                   tick_size: str, lot_size: str, instrument: int = 1,
                   time_unit: str | None = None, round: bool = False,
                   progress: bool | Callable[[int, int], object] | None = None) -> DepthSource:
    """Convert recorded depth in CSV (snapshots and incremental updates) into a depth file.

    `sources` is one binary file object, a `zipfile.ZipFile` (its members in
    name order) or an iterable of file objects read in order, as `from_csv`
    takes its trades.  Consecutive rows of one message become one record:
    "depth diffs" (symbol,timestamp,trans_id,first_update_id,last_update_id,
    side,update_type,price,qty; also "depth_diffs") groups rows by timestamp,
    update ids and type, and "two-clock depth" (exchange,symbol,timestamp,
    local_timestamp,is_snapshot,side,price,amount; also "clock_depth") by
    timestamp and is_snapshot, numbering the messages itself since the layout
    has no ids; None tells each file's layout from its header or first row.
    `time_unit` is "ms", "us" or "ns" (None: from each file's first time);
    `tick_size`, `lot_size` and `round` scale prices and quantities exactly as
    `from_csv` does (rounding bids down, asks up, quantities down).
    `progress` is True for a bar on standard error, or a callable told
    ``(bytes_read, rows_read)`` about every 8 MiB and once when the file is
    in place.  docs/depth_conversion.md gives every rule.

    ```python
    with open("depth-2024-01-02.csv", "rb") as f:
        depth = data.depth_from_csv("day.hvdp", f, tick_size="0.10", lot_size="0.001")
    ```

    Returns the `DepthSource` of the file written.

    Raises ValueError with the converter's text, naming the file, the line
    and what was expected there; TypeError or OverflowError naming an
    argument; and whatever a file, the iterable or the progress callable
    raised, unchanged.  On any error nothing at `dest` has changed.
    """
    path = _path(dest, "dest")
    depth_layout = _choice(layout, "layout", _DEPTH_LAYOUTS)
    unit = _choice(time_unit, "time_unit", _UNITS)
    files = _files(sources, "sources")
    report, bar = reporter(progress, _known_size(sources) if progress is True else None, "bytes")
    try:
        _native.convert_depth(path, files, layout=depth_layout, tick_size=tick_size,
                              lot_size=lot_size, instrument=instrument, time_unit=unit,
                              round=round, progress=report, progress_bytes=_PROGRESS_BYTES)
    finally:
        if bar is not None:
            bar.close()
    return load_depth(path)

# --- arguments ---------------------------------------------------------------------------


def _path(obj: Any, arg: str) -> str:
    if isinstance(obj, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(obj))
    raise TypeError(f"argument '{arg}': expected str or os.PathLike, got {type(obj).__name__}")


def _choice(value: Any, arg: str, names: Mapping[str, str]) -> str | None:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"argument '{arg}': expected str or None, got {type(value).__name__}")
    try:
        return names[value]
    except KeyError:
        known = ", ".join(repr(n) for n in names)
        raise ValueError(f"argument '{arg}': unknown {value!r}; one of {known}") from None


def _is_file(obj: Any) -> bool:
    return hasattr(obj, "readinto") or hasattr(obj, "read")


def _files(obj: Any, arg: str) -> Iterator[Any]:
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


def _members(archive: zipfile.ZipFile) -> Iterator[BinaryIO]:
    """The files of an archive in name order, each open while it is read."""
    for info in sorted(archive.infolist(), key=lambda i: i.filename):
        if info.is_dir():
            continue
        with archive.open(info) as member:
            yield member


def _known_size(*streams: Any) -> int | None:
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


# --- Parquet columns ---------------------------------------------------------------------

_PRICE_FIELDS = ("last", "high", "low", "bid", "ask")
_ROUNDING = {"bid": "down", "ask": "up", "qty": "down", "volume": "down"}
_INT_FORMATS = {"int8": "b", "int16": "h", "int32": "i", "int64": "q", "uint8": "B",
                "uint16": "H", "uint32": "I", "uint64": "Q"}


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


def _int_view(array: Any) -> memoryview:
    """An integer Arrow array's values as a typed memoryview, without a copy."""
    fmt = _INT_FORMATS[str(array.type)]
    buffer = array.buffers()[1]
    data = memoryview(buffer if buffer is not None else b"")
    size = {"b": 1, "h": 2, "i": 4, "q": 8}[fmt.lower()]
    return data[: len(data) // size * size].cast(fmt)[array.offset: array.offset + len(array)]


def _parquet_column(pa: Any, pc: Any, array: Any, field: str, name: str, unit: str | None,
                    steps: dict[str, str], round: bool, place: str, row: int) -> Any:
    t = array.type
    if field in ("exch_ts", "local_ts"):
        if pa.types.is_timestamp(t):
            return _int_view(array.cast(pa.timestamp("ns")).cast(pa.int64()))
        if pa.types.is_integer(t):
            try:
                scaled = pc.multiply_checked(array.cast(pa.int64()), _NANOS[unit or "nanoseconds"])
            except pa.ArrowInvalid:
                raise ValueError(f"{place}: column {name} in {unit} is beyond the times a tick "
                                 "holds (the years 1677 to 2262)") from None
            return _int_view(scaled)
        raise TypeError(f"column {name} is {t}: a time is a timestamp or an integer column")
    if pa.types.is_integer(t):
        if field == "qty":
            return array.cast(pa.int64())  # added up below, in int64
        return _int_view(array)
    if pa.types.is_decimal(t):
        array = array.cast(pa.string())
    elif not (pa.types.is_string(t) or pa.types.is_large_string(t)):
        why = ("a float is not an exact price: store decimals, text or integer steps"
               if pa.types.is_floating(t) else "prices and quantities are integer steps, "
               "decimals or decimal text")
        raise TypeError(f"column {name} is {t}: {why}")
    text = array.cast(pa.large_string())
    buffers = text.buffers()
    unit_word = "lots" if field in ("qty", "volume") else "ticks"
    rounding = _ROUNDING.get(field, "exact") if round else "exact"
    scaled = _native.scale_texts(buffers[1], buffers[2] if buffers[2] is not None else b"",
                                 text.offset, len(text), step=steps[unit_word], unit=unit_word,
                                 rounding=rounding, column=name, place=place, first_row=row)
    if field == "qty":
        return pa.Array.from_buffers(pa.int64(), len(text), [None, pa.py_buffer(scaled)])
    return memoryview(scaled).cast("q")
