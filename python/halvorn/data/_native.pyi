"""The C++ half of halvorn.data; use halvorn.data."""

from collections.abc import Callable, Iterable, Iterator
from typing import Any, final

from halvorn import TickSource

__all__ = [
    "LAYOUTS",
    "TIME_UNITS",
    "convert",
    "read_funding",
    "convert_depth",
    "convert_marks",
    "convert_capture",
    "Writer",
    "map_columns",
    "scale_texts",
    "scale_floats",
    "read_instrument",
    "survey_ticks",
    "survey_marks",
    "survey_depth",
    "Snapshot",
    "Update",
    "DepthSource",
    "load_depth",
    "save_depth",
    "read_depth",
    "MarkSource",
    "load_marks",
    "save_marks",
    "read_marks",
    "mark_settlements",
    "TickSlice",
    "MarkSlice",
    "tick_slice",
    "mark_slice",
    "DepthSlice",
    "depth_slice",
]

LAYOUTS: tuple[tuple[str, str, str], ...]
TIME_UNITS: tuple[tuple[str, int], ...]

_Levels = Iterable[tuple[int, int]] | Iterable[list[int]]
# (ticks, min, median, max, behind, jumps, largest_jump), ns and counts.
_Clock = tuple[int, int, int, int, int, int, int]

def convert(
    dest: str,
    trades: Iterator[Any],
    quotes: Iterator[Any] | None,
    *,
    layout: str | None,
    quote_layout: str | None,
    tick_size: str,
    lot_size: str,
    instrument: int,
    time_unit: str | None,
    quote_time_unit: str | None,
    sort_window: int,
    allow_gaps: bool,
    round: bool,
    progress: Callable[[int, int], object] | None,
    progress_bytes: int,
    symbol: str | None,
    duplicates: str = "keep",
    stale_after: int = 60000000000,
    stale_quotes: str = "clear",
    outside_bp: float = 10.0,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> tuple[
    int, int, int, int, int, int, int, int, str | None, int, float, str | None, _Clock
]:
    """Convert CSV trades (and quotes) into a tick file at `dest`."""

def read_funding(
    files: Iterator[Any], ticks: str, *, time_unit: str | None
) -> list[tuple[int, int, int]]:
    """Read funding history and price each rate from the tick file `ticks`."""

def convert_depth(
    dest: str,
    sources: Iterator[Any],
    *,
    layout: str | None,
    tick_size: str,
    lot_size: str,
    instrument: int,
    time_unit: str | None,
    round: bool,
    progress: Callable[[int, int], object] | None,
    progress_bytes: int,
    symbol: str | None,
    snapshots: Iterator[Any] | None = None,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> tuple[int, int, int, int, int, int]:
    """Convert depth CSV files into a depth file at `dest`."""

def convert_marks(
    dest: str,
    sources: Iterator[Any],
    *,
    layout: str | None,
    premium: bool,
    tick_size: str,
    lot_size: str,
    instrument: int,
    time_unit: str | None,
    round: bool,
    progress: Callable[[int, int], object] | None,
    progress_bytes: int,
    symbol: str | None,
    stale_after: int = 60000000000,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> tuple[int, int, int, int, int, int]:
    """Convert mark price klines, premium index klines or derivative ticker files
    into a mark file at `dest`."""

def convert_capture(
    sources: Iterator[Any],
    *,
    ticks: str | None,
    depth: str | None,
    marks: str | None,
    tick_size: str,
    lot_size: str,
    instrument: int,
    symbol: str | None,
    round: bool,
    allow_gaps: bool,
    trades: str | None,
    max_delay: int,
    time_unit: str | None,
    progress: Callable[[int, int], object] | None,
    progress_bytes: int,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> dict[str, Any]:
    """Convert a capture of JSON lines into a tick, a depth and a mark file."""

@final
class Writer:
    """A tick file written from columns, batch by batch."""

    def __new__(
        cls,
        dest: str,
        instrument: int = 1,
        *,
        symbol: str | None = None,
        tick_size: str | None = None,
        lot_size: str | None = None,
        kind: str | None = None,
        contract_value: str | None = None,
        settle: str | None = None,
    ) -> Writer: ...
    def append(
        self,
        exch_ts: Any,
        last: Any,
        *,
        local_ts: Any = None,
        high: Any = None,
        low: Any = None,
        bid: Any = None,
        ask: Any = None,
        volume: Any = None,
        round: bool = False,
    ) -> tuple[int, int, int, int, int, int, int, int]:
        """Append rows from columns (ns, ticks, lots); the values rounded, per field."""
    def finish(self) -> int:
        """Write the header and put the file in place; returns the ticks written."""
    def abandon(self) -> None:
        """Give up an unfinished file now, removing what was written."""
    @property
    def count(self) -> int: ...
    @property
    def clock(self) -> _Clock:
        """Local minus exchange time of the ticks appended so far."""

def map_columns(path: str) -> tuple[int, int, tuple[memoryview, ...]]:
    """Map a tick file read-only and check it (header, checksum, time order)."""

def scale_texts(
    offsets: Any,
    data: Any,
    offset: int,
    length: int,
    *,
    step: str,
    unit: str,
    rounding: str,
    column: str,
    place: str,
    first_row: int,
) -> bytearray:
    """Scale a column of decimal texts to whole steps; a bytearray of int64."""

def scale_floats(
    array: Any,
    *,
    step: str,
    rounding: str,
    column: str,
    place: str,
    first_row: int | None = None,
    unit: str | None = None,
) -> tuple[bytearray, int]:
    """Scale a float64 buffer to whole steps: (bytearray of int64, values rounded)."""

def survey_ticks(
    path: str, *, gap: int = ..., stale_after: int = ..., outside_bp: float = ...
) -> dict[str, Any]:
    """Read a tick file whole and count its hazards."""

def survey_marks(
    path: str, *, gap: int = ..., stale_after: int = ..., outside_bp: float = ...
) -> dict[str, Any]:
    """Read a mark file whole: gaps, repeats, settlements at old marks."""

def survey_depth(
    path: str, *, gap: int = ..., stale_after: int = ..., outside_bp: float = ...
) -> dict[str, Any]:
    """Read a depth file whole: gaps, and the updates a run's book refuses."""

def _replace_file(path: str, data: bytes) -> None:
    """Make `path` a file holding exactly `data`, replacing it whole."""

def read_instrument(
    path: str, kind: str | None
) -> tuple[int, str, str, str, str, str | None, str | None] | None:
    """The definition in the instrument block of a tick file or a depth file."""

@final
class Snapshot:
    """The whole displayed book as of one update id (ticks, lots, ns)."""

    def __new__(
        cls, last_update_id: int, bids: _Levels, asks: _Levels, time_ns: int = 0
    ) -> Snapshot: ...
    @property
    def last_update_id(self) -> int: ...
    @property
    def bids(self) -> tuple[tuple[int, int], ...]: ...
    @property
    def asks(self) -> tuple[tuple[int, int], ...]: ...
    @property
    def time_ns(self) -> int: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class Update:
    """One incremental depth message (ticks, lots, ns); qty 0 deletes a level."""

    def __new__(
        cls,
        first_id: int,
        final_id: int,
        time_ns: int,
        bids: _Levels,
        asks: _Levels,
        prev_final_id: int | None = None,
    ) -> Update: ...
    @property
    def first_id(self) -> int: ...
    @property
    def final_id(self) -> int: ...
    @property
    def time_ns(self) -> int: ...
    @property
    def bids(self) -> tuple[tuple[int, int], ...]: ...
    @property
    def asks(self) -> tuple[tuple[int, int], ...]: ...
    @property
    def prev_final_id(self) -> int | None: ...
    def __getnewargs_ex__(self) -> tuple[tuple[Any, ...], dict[str, Any]]: ...

@final
class DepthSource:
    """A depth file, held by name rather than by contents."""

    def __len__(self) -> int: ...
    @property
    def path(self) -> str: ...
    @property
    def records(self) -> int: ...
    @property
    def levels(self) -> int: ...
    @property
    def instrument(self) -> int: ...
    @property
    def snapshots(self) -> int: ...
    @property
    def updates(self) -> int: ...

def load_depth(path: str) -> DepthSource:
    """Open a depth file for runs, reading only its header."""

def save_depth(
    path: str, records: Iterable[Snapshot | Update], instrument: int = 1
) -> DepthSource:
    """Write an iterable of Snapshot and Update to a depth file at `path`."""

def read_depth(source: DepthSource) -> Iterator[Snapshot | Update]:
    """Iterate the records of a DepthSource's file, streamed."""

@final
class MarkSource:
    """A mark file, held by name rather than by contents."""

    def __len__(self) -> int: ...
    @property
    def path(self) -> str: ...
    @property
    def records(self) -> int: ...
    @property
    def settlements(self) -> int: ...
    @property
    def instrument(self) -> int: ...
    @property
    def kind(self) -> str: ...

def load_marks(path: str) -> MarkSource:
    """Open a mark file, reading only its header."""

def save_marks(
    path: str,
    records: Iterable[tuple[int, ...]],
    settlements: Iterable[tuple[int, int, int]],
    instrument: int,
    premium: bool,
) -> MarkSource:
    """Write (time ns, mark[, index]) records and (time ns, rate, price)
    settlements to a mark file at `path`."""

def read_marks(source: MarkSource) -> Iterator[tuple[int, int, int]]:
    """Iterate the (time ns, mark, index) records of a MarkSource's file, streamed."""

def mark_settlements(source: MarkSource) -> list[tuple[int, int, int]]:
    """The (time ns, rate billionths, price ticks) settlements of a MarkSource's file."""

@final
class TickSlice:
    """The ticks of a tick file in a stretch of exchange time."""

    def __len__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    @property
    def source(self) -> TickSource: ...
    @property
    def path(self) -> str: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def first(self) -> int: ...
    @property
    def stop(self) -> int: ...
    @property
    def instrument(self) -> int: ...

@final
class MarkSlice:
    """The mark records a run over a stretch of exchange time reads."""

    def __len__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    @property
    def source(self) -> MarkSource: ...
    @property
    def path(self) -> str: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def first(self) -> int: ...
    @property
    def stop(self) -> int: ...
    @property
    def instrument(self) -> int: ...

@final
class DepthSlice:
    """The depth records a run over a stretch of exchange time reads."""

    def __reduce__(self) -> tuple[Any, ...]: ...
    @property
    def source(self) -> DepthSource: ...
    @property
    def path(self) -> str: ...
    @property
    def start(self) -> int: ...
    @property
    def end(self) -> int: ...
    @property
    def first_byte(self) -> int: ...
    @property
    def stop_byte(self) -> int: ...
    @property
    def instrument(self) -> int: ...

def depth_slice(source: DepthSource, start: int, end: int) -> DepthSlice:
    """The DepthSlice a run over ticks in [start, end) reads of `source`."""

def tick_slice(source: TickSource, start: int, end: int) -> TickSlice:
    """The TickSlice of `source` from `start` (ns, included) to `end` (excluded)."""

def mark_slice(source: MarkSource, start: int, end: int) -> MarkSlice:
    """The MarkSlice a run over ticks in [start, end) reads of `source`."""
