"""Market data in and out of tick files: CSV archives, integer arrays, Parquet;
and recorded market depth in and out of depth files."""

import dataclasses
import os
import zipfile
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import IO, Any, Final, NamedTuple, Protocol

from halvorn import TickSource
from halvorn.data._native import DepthSlice as DepthSlice
from halvorn.data._native import DepthSource as DepthSource
from halvorn.data._native import MarkSlice as MarkSlice
from halvorn.data._native import MarkSource as MarkSource
from halvorn.data._native import Snapshot as Snapshot
from halvorn.data._native import TickSlice as TickSlice
from halvorn.data._native import Update as Update
from halvorn.venue import FundingRate, Instrument

__all__ = [
    "from_csv",
    "from_arrays",
    "from_parquet",
    "to_arrays",
    "funding_from_csv",
    "FIELDS",
    "DepthSource",
    "Snapshot",
    "Update",
    "load_depth",
    "save_depth",
    "read_depth",
    "depth_from_csv",
    "instrument_of",
    "MarkSource",
    "load_marks",
    "save_marks",
    "read_marks",
    "funding_of",
    "marks_from_csv",
    "from_capture",
    "Capture",
    "from_arrow",
    "between",
    "TickSlice",
    "MarkSlice",
    "DepthSlice",
    "inspect",
    "Inspection",
    "read_definition",
    "Definition",
]

FIELDS: Final[tuple[str, ...]]
"""The eight fields of a tick, in the order of its record and of to_arrays."""

class _BinaryFile(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...

_Files = IO[bytes] | _BinaryFile | zipfile.ZipFile | Iterable[IO[bytes] | _BinaryFile]
_Path = str | os.PathLike[str]

def from_csv(
    dest: _Path,
    trades: _Files,
    quotes: _Files | None = None,
    *,
    layout: str | None = None,
    quote_layout: str | None = None,
    tick_size: str | None = None,
    lot_size: str | None = None,
    instrument: int | Instrument = 1,
    symbol: str | None = None,
    time_unit: str | None = None,
    quote_time_unit: str | None = None,
    sort_window: int = 0,
    allow_gaps: bool = False,
    round: bool = False,
    progress: bool | Callable[[int, int], object] | None = None,
    duplicates: str = "warn",
    stale_after: int = 60_000_000_000,
    stale_quotes: str = "clear",
    outside_bp: float = 10.0,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> TickSource:
    """Convert CSV trades (and best quotes) into a tick file at `dest`, streaming."""

def from_arrays(
    dest: _Path,
    exch_ts: Any,
    last: Any,
    *,
    local_ts: Any = None,
    high: Any = None,
    low: Any = None,
    bid: Any = None,
    ask: Any = None,
    volume: Any = None,
    instrument: int | Instrument = 1,
    tick_size: str | None = None,
    lot_size: str | None = None,
    symbol: str | None = None,
    round: bool = False,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> TickSource:
    """Write a tick file at `dest` from columns, one tick per row."""

def to_arrays(source: TickSource | _Path) -> dict[str, memoryview]:
    """The eight columns of a tick file as read-only int64 views, without a copy."""

def funding_from_csv(
    file: _Files, *, ticks: TickSource, time_unit: str | None = None
) -> list[FundingRate]:
    """Funding history from CSV, each rate priced from a tick file."""

def from_parquet(
    dest: _Path,
    path: _Path,
    *,
    columns: Mapping[str, str] | None = None,
    tick_size: str | None = None,
    lot_size: str | None = None,
    time_unit: str = "ns",
    instrument: int | Instrument = 1,
    symbol: str | None = None,
    round: bool = False,
    batch_rows: int = 65536,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> TickSource:
    """Write a tick file at `dest` from a Parquet file, one record batch at a time."""

def _convert(
    dest: _Path,
    trades: _Files,
    quotes: _Files | None,
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
    progress: bool | Callable[[int, int], object] | None,
    symbol: str | None = None,
    total: int | None = None,
    progress_bytes: int = ...,
    duplicates: str = "warn",
    stale_after: int = 60_000_000_000,
    stale_quotes: str = "clear",
) -> tuple[TickSource, tuple[int, ...]]:
    """from_csv, also returning (ticks, trades, quotes, quote_ticks, bytes)."""

def load_depth(path: _Path) -> DepthSource:
    """Open a depth file for runs, reading only its header."""

def save_depth(
    path: _Path, records: Iterable[Snapshot | Update], instrument: int = 1
) -> DepthSource:
    """Write `Snapshot` and `Update` records to a depth file at `path`, in order."""

def read_depth(source: DepthSource | _Path) -> Iterator[Snapshot | Update]:
    """The records of a depth file, in file order, streamed."""

def depth_from_csv(
    dest: _Path,
    sources: _Files,
    *,
    layout: str | None = None,
    tick_size: str | None = None,
    lot_size: str | None = None,
    instrument: int | Instrument = 1,
    symbol: str | None = None,
    time_unit: str | None = None,
    round: bool = False,
    progress: bool | Callable[[int, int], object] | None = None,
    snapshots: _Files | None = None,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> DepthSource:
    """Convert recorded depth in CSV (snapshots and incremental updates) into a depth file."""

class Definition(NamedTuple):
    """An instrument's definition as a file keeps it."""

    id: Any
    symbol: Any
    tick_size: Any
    lot_size: Any
    kind: Any = "linear"
    contract_value: Any = None
    settle: Any = None
    def contract(self) -> dict[str, Any]: ...

def read_definition(source: TickSource | DepthSource | MarkSource | _Path) -> Definition | None:
    """The definition a tick, depth or mark file holds, or None."""

def instrument_of(source: TickSource | DepthSource | MarkSource | _Path) -> Instrument | None:
    """The instrument a tick, depth or mark file was written for, or None."""

def load_marks(path: _Path) -> MarkSource:
    """Open a mark file, reading only its header."""

def save_marks(
    path: _Path,
    records: Iterable[tuple[int, ...]],
    *,
    settlements: Iterable[tuple[int, int, int]] = (),
    instrument: int = 1,
    premium: bool = False,
) -> MarkSource:
    """Write mark records, and funding settlements, to a mark file at `path`."""

def read_marks(source: MarkSource | _Path) -> Iterator[tuple[int, int, int]]:
    """The ``(time_ns, mark, index)`` records of a mark file, in file order, streamed."""

def funding_of(source: MarkSource | _Path) -> list[FundingRate]:
    """The funding settlements a mark file holds, as `halvorn.venue.FundingRate`s."""

def marks_from_csv(
    dest: _Path,
    sources: _Files,
    *,
    layout: str | None = None,
    premium: bool = False,
    tick_size: str | None = None,
    lot_size: str | None = None,
    instrument: int | Instrument = 1,
    symbol: str | None = None,
    time_unit: str | None = None,
    round: bool = False,
    progress: bool | Callable[[int, int], object] | None = None,
    stale_after: int = 60_000_000_000,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> MarkSource:
    """Convert mark price klines, premium index klines or derivative ticker files into a mark file."""

def from_arrow(
    dest: _Path,
    path: _Path,
    *,
    columns: Mapping[str, str] | None = None,
    tick_size: str | None = None,
    lot_size: str | None = None,
    time_unit: str = "ns",
    instrument: int | Instrument = 1,
    symbol: str | None = None,
    round: bool = False,
    batch_rows: int = 65536,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> TickSource:
    """Write a tick file at `dest` from an Arrow IPC file (Feather), one record batch at a time."""

@dataclass(frozen=True)
class Capture:
    """What `from_capture` wrote, and what it read."""

    ticks: TickSource | None
    depth: DepthSource | None
    marks: MarkSource | None
    funding: tuple[FundingRate, ...]
    symbol: str
    messages: int
    skipped: int
    other_symbols: int
    repeated_trades: int
    missing_trades: int
    depth_breaks: int

def from_capture(
    sources: _Files,
    *,
    ticks: _Path | None = None,
    depth: _Path | None = None,
    marks: _Path | None = None,
    instrument: int | Instrument = 1,
    tick_size: str | None = None,
    lot_size: str | None = None,
    symbol: str | None = None,
    trades: str | None = None,
    time_unit: str | None = None,
    round: bool = False,
    allow_gaps: bool = False,
    max_delay: int = 2000000000,
    progress: bool | Callable[[int, int], object] | None = None,
    kind: str | None = None,
    contract_value: str | None = None,
    settle: str | None = None,
) -> Capture:
    """Convert a capture of JSON lines into a tick file, a depth file and a mark file."""
def between(series: Any, start: int, end: int) -> Any:
    """The part of `series` (a TickSource, a MarkSource, a DepthSource, a
    slice, a list of Tick, columns) whose exchange time lies in [start, end),
    in ns."""

@dataclasses.dataclass(frozen=True)
class Inspection:
    """What `inspect` found in one file: a table, and the hazards among its rows."""

    path: str
    kind: str
    rows: tuple[tuple[str, str, bool], ...]
    counts: Mapping[str, Any]
    @property
    def hazards(self) -> tuple[str, ...]:
        """The qualities that are a reason to doubt the file, in table order."""

def inspect(
    source: TickSource | DepthSource | MarkSource | _Path,
    *,
    gap: int = 60_000_000_000,
    stale_after: int = 60_000_000_000,
    outside_bp: float = 10.0,
) -> Inspection:
    """Read a tick, depth or mark file once and report what would make a backtest on it mislead."""
