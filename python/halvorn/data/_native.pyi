"""The C++ half of halvorn.data; use halvorn.data."""

from collections.abc import Callable, Iterator
from typing import Any, final

__all__ = ["convert", "read_funding", "Writer", "map_columns", "scale_texts"]

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
) -> tuple[int, int, int, int, int]:
    """Convert CSV trades (and quotes) into a tick file at `dest`."""

def read_funding(
    files: Iterator[Any], ticks: str, *, time_unit: str | None
) -> list[tuple[int, int, int]]:
    """Read funding history and price each rate from the tick file `ticks`."""

@final
class Writer:
    """A tick file written from integer columns, batch by batch."""

    def __new__(cls, dest: str, instrument: int = 1) -> Writer: ...
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
    ) -> None:
        """Append rows from integer columns (ns, ticks, lots)."""
    def finish(self) -> int:
        """Write the header and put the file in place; returns the ticks written."""
    def abandon(self) -> None:
        """Give up an unfinished file now, removing what was written."""
    @property
    def count(self) -> int: ...

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
