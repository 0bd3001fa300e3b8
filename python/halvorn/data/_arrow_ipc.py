"""Arrow IPC files (Feather) into tick files, a record batch at a time:
`from_arrow`.

Research tools keep candles, trades and funding in Arrow's IPC format, the
format Feather version 2 is.  The file is mapped, not read into memory, and
each record batch is converted as `from_parquet` converts one, with the same
rules for every column type.
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

import halvorn
from halvorn._optional import require
from halvorn.data._instruments import definition_of
from halvorn.data._parquet import write_batches

if TYPE_CHECKING:
    from halvorn.venue import Instrument


def from_arrow(dest: str | os.PathLike[str], path: str | os.PathLike[str], *,
               columns: Mapping[str, str] | None = None, tick_size: str | None = None,
               lot_size: str | None = None, time_unit: str = "ns",
               instrument: int | Instrument = 1, symbol: str | None = None,
               round: bool = False, batch_rows: int = 65_536,
               kind: str | None = None, contract_value: str | None = None,
               settle: str | None = None) -> halvorn.TickSource:
    """Write a tick file at `dest` from an Arrow IPC file (Feather), one record batch at a time.

    `path` is an Arrow IPC file (what ``pyarrow.feather.write_feather`` and
    ``DataFrame.to_feather`` write) or an Arrow IPC stream.  The file is
    memory-mapped and its batches converted in turn, a batch of more than
    `batch_rows` rows in slices of that many, so memory stays at one slice
    whatever the file's size.  `columns` and every other argument are
    `from_parquet`'s, and so is how each column type is taken: candles map
    their close to `last` (``{"exch_ts": "close_time", "last": "close",
    "high": "high", "low": "low", "qty": "volume"}``).

    Raises ImportError naming the extra when pyarrow is missing (``pip install
    halvorn[parquet]``); ValueError "{path}: ..." for a file that is neither
    an IPC file nor an IPC stream; and what `from_parquet` raises for its
    columns.  On any error nothing at `dest` has changed.
    """
    definition = definition_of("from_arrow", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle)
    pa = require("pyarrow", "parquet", "halvorn.data.from_arrow")
    ipc = importlib.import_module("pyarrow.ipc")
    source = os.fspath(path)
    place = os.fsdecode(source)
    if not isinstance(batch_rows, int) or batch_rows < 1:
        raise ValueError(f"argument 'batch_rows': expected a positive int, got {batch_rows!r}")
    mapped = pa.memory_map(source)
    try:
        reader = _open(pa, ipc, mapped, place)

        def batches(names: list[str]) -> Iterator[Any]:
            for batch in reader:
                picked = batch.select(names)
                for start in range(0, max(picked.num_rows, 1), batch_rows):
                    yield picked.slice(start, batch_rows)

        return write_batches("from_arrow", dest, place, reader.schema.names, batches,
                             definition=definition, columns=columns, time_unit=time_unit,
                             round=round)
    finally:
        mapped.close()


def _open(pa: Any, ipc: Any, mapped: Any, place: str) -> Any:
    """An iterator of the record batches of an IPC file or stream, with its
    `schema`."""
    try:
        file = ipc.open_file(mapped)
    except pa.ArrowInvalid:
        mapped.seek(0)
        try:
            return ipc.open_stream(mapped)
        except pa.ArrowInvalid as error:
            raise ValueError(f"{place}: not an Arrow IPC file or stream ({error})") from None
    return _FileBatches(file)


class _FileBatches:
    """The batches of an IPC file, in order, read one at a time."""

    def __init__(self, file: Any) -> None:
        self.file = file
        self.schema = file.schema

    def __iter__(self) -> Iterator[Any]:
        for i in range(self.file.num_record_batches):
            yield self.file.get_batch(i)
