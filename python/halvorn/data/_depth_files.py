"""Depth files: recorded market depth for L2 venue runs, written, read and
converted from CSV."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any

from halvorn._progress import reporter
from halvorn.data import _native
from halvorn.data._arguments import (PROGRESS_BYTES, TIME_UNITS, choice, files_of, known_size,
                                     layouts_of, path_of)
from halvorn.data._instruments import definition_of

if TYPE_CHECKING:
    from halvorn.venue import Instrument

DepthSource = _native.DepthSource
Snapshot = _native.Snapshot
Update = _native.Update

_DEPTH_LAYOUTS = layouts_of("depth")


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
    return _native.load_depth(path_of(path, "path"))


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
    return _native.save_depth(path_of(path, "path"), records, instrument)


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
        source = load_depth(path_of(source, "source"))
    return _native.read_depth(source)


def depth_from_csv(dest: str | os.PathLike[str], sources: Any, *, layout: str | None = None,
                   tick_size: str | None = None, lot_size: str | None = None,
                   instrument: int | Instrument = 1, symbol: str | None = None,
                   time_unit: str | None = None, round: bool = False,
                   progress: bool | Callable[[int, int], object] | None = None,
                   snapshots: Any = None,
                   kind: str | None = None, contract_value: str | None = None,
                   settle: str | None = None) -> DepthSource:
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
    `from_csv` does (rounding bids down, asks up, quantities down);
    `instrument` (an id or a `halvorn.venue.Instrument`, which gives the
    sizes) and `symbol` as in `from_csv`: the file keeps the definition it
    was scaled with, for `instrument_of`.
    `progress` is True for a bar on standard error, or a callable told
    ``(bytes_read, rows_read)`` about every 8 MiB and once when the file is
    in place.  `snapshots` takes files as `sources` does, for archives that
    keep a day's snapshots in files apart from its updates: the two are
    merged by time, a snapshot's rows before the updates of its time, and
    must be of one layout.  docs/depth_conversion.md gives every rule.

    ```python
    with open("depth-2024-01-02.csv", "rb") as f:
        depth = data.depth_from_csv("day.hvdp", f, tick_size="0.10", lot_size="0.001")
    ```

    Returns the `DepthSource` of the file written.

    Raises ValueError with the converter's text, naming the file, the line
    and what was expected there; ValueError when neither the sizes nor an
    Instrument are given, when they disagree, or for a symbol a file cannot
    hold; TypeError or OverflowError naming an argument; and whatever a
    file, the iterable or the progress callable raised, unchanged.  On any error nothing at `dest` has changed.
    """
    path = path_of(dest, "dest")
    depth_layout = choice(layout, "layout", _DEPTH_LAYOUTS)
    unit = choice(time_unit, "time_unit", TIME_UNITS)
    files = files_of(sources, "sources")
    snapshot_files = None if snapshots is None else files_of(snapshots, "snapshots")
    definition = definition_of("depth_from_csv", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle)
    total = known_size(sources, snapshots) if progress is True else None
    report, bar = reporter(progress, total, "bytes")
    try:
        _native.convert_depth(path, files, layout=depth_layout, tick_size=definition.tick_size,
                              lot_size=definition.lot_size, instrument=definition.id,
                              symbol=definition.symbol, time_unit=unit, round=round,
                              progress=report, progress_bytes=PROGRESS_BYTES,
                              snapshots=snapshot_files, **definition.contract())
    finally:
        if bar is not None:
            bar.close()
    return load_depth(path)
