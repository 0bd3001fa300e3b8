"""Mark files: the mark price over time, and the funding settled at it, for
runs that value, liquidate and pay funding at the mark as a perpetual venue
does; written, read and converted from CSV."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any

from halvorn._progress import reporter
from halvorn.data import _native
from halvorn.data._arguments import (PROGRESS_BYTES, TIME_UNITS, choice, files_of, known_size,
                                     layouts_of, path_of)
from halvorn.data._hazards import stale_marks_warning, warn
from halvorn.data._instruments import definition_of

if TYPE_CHECKING:
    from halvorn.venue import FundingRate, Instrument

MarkSource = _native.MarkSource

_MARK_LAYOUTS = layouts_of("marks")

STALE_AFTER = 60_000_000_000
"""How old a mark a funding settlement may be priced at before it is warned of: one minute."""


def load_marks(path: str | os.PathLike[str]) -> MarkSource:
    """Open a mark file, reading only its header.

    The records are read when something streams them (`read_marks`, or a
    run given the source), a block at a time and from the start each time,
    so a source serves any number of runs and memory stays at one block
    whatever the file's size.

    ```python
    marks = data.load_marks("btcusdt-marks.hvmk")
    print(len(marks), marks.kind, marks.settlements)
    ```

    Raises ValueError "{path}: {error}" with the mark reader's text for a
    missing or short file ("mark file truncated: needed 48 bytes, 0
    available"), a file that is not a mark file, or a version or kind this
    build does not read; TypeError for a path that is neither str nor
    os.PathLike.
    """
    return _native.load_marks(path_of(path, "path"))


def save_marks(path: str | os.PathLike[str], records: Iterable[tuple[int, ...]], *,
               settlements: Iterable[tuple[int, int, int]] = (), instrument: int = 1,
               premium: bool = False) -> MarkSource:
    """Write mark records, and funding settlements, to a mark file at `path`.

    `records` is any iterable of ``(time_ns, mark)`` or ``(time_ns, mark,
    index)`` tuples, consumed once: times on the exchange clock a tick's
    `exch_ts` carries, prices in ticks, an index of 0 meaning none.
    `settlements` are ``(time_ns, rate_billionths, price_ticks)``, a
    `halvorn.venue.FundingRate`'s fields in its order.  `premium` marks the
    values as a premium index in billionths rather than prices.  The file
    replaces `path` only once it is complete.

    ```python
    data.save_marks("m.hvmk", [(0, 421_234), (1_000_000_000, 421_240, 421_236)])
    ```

    Returns the `MarkSource` of the file written.

    Raises TypeError for an item that is no tuple of ints ("records[3]:
    ..."); ValueError with the writer's text for records whose time goes back
    ("mark 2 goes backwards: previous time 5, found 4") or settlements not
    in increasing time; OSError for a path that cannot be written; and
    whatever the iterables raised.  On any error nothing at `path` has
    changed.
    """
    return _native.save_marks(path_of(path, "path"), records, settlements, instrument, premium)


def read_marks(source: MarkSource | str | os.PathLike[str]) -> Iterator[tuple[int, int, int]]:
    """The ``(time_ns, mark, index)`` records of a mark file, in file order, streamed.

    Each call opens its own reader and reads a block at a time, so a file of
    any size is read in constant memory.

    Raises ValueError "{path}: {error}" with the mark reader's text when the
    file does not open, and where it turns out damaged (the checksum is known
    once the last block has been read); TypeError for a source that is
    neither a MarkSource nor a path.
    """
    if not isinstance(source, MarkSource):
        source = load_marks(path_of(source, "source"))
    return _native.read_marks(source)


def funding_of(source: MarkSource | str | os.PathLike[str]) -> list[FundingRate]:
    """The funding settlements a mark file holds, as `halvorn.venue.FundingRate`s.

    A derivative ticker converted by `marks_from_csv` gives one per funding
    time it saw pass: the rate of the last row to name that time, priced at
    the mark (ticks) in force at it, the last one stated at or before it.  For
    ``halvorn.venue.Venue(funding=...)``.

    Raises ValueError "{path}: {error}" for a file that does not open or
    whose settlements are damaged; TypeError for any other `source`.
    """
    from halvorn import venue

    if not isinstance(source, MarkSource):
        source = load_marks(path_of(source, "source"))
    return [venue.FundingRate(time=time, rate=rate, price=price)
            for time, rate, price in _native.mark_settlements(source)]


def marks_from_csv(dest: str | os.PathLike[str], sources: Any, *, layout: str | None = None,
                   premium: bool = False, tick_size: str | None = None,
                   lot_size: str | None = None, instrument: int | Instrument = 1,
                   symbol: str | None = None, time_unit: str | None = None, round: bool = False,
                   progress: bool | Callable[[int, int], object] | None = None,
                   stale_after: int = STALE_AFTER,
                   kind: str | None = None, contract_value: str | None = None,
                   settle: str | None = None) -> MarkSource:
    """Convert mark price klines, premium index klines or derivative ticker files into a mark file.

    `sources` is one binary file object, a `zipfile.ZipFile` (its members in
    name order) or an iterable of file objects read in order, as `from_csv`
    takes its trades.  `layout` is "klines" (open_time,open,high,low,close,
    volume,close_time,quote_volume,count,taker_buy_volume,
    taker_buy_quote_volume,ignore) or "derivative ticker" (exchange,symbol,
    timestamp,local_timestamp,funding_timestamp,funding_rate,
    predicted_funding_rate,open_interest,last_price,index_price,mark_price;
    also "ticker"); None tells each file's layout from its header or its
    number of columns.

    A kline gives one record at its close time with its close; a ticker one
    record per change of the mark or index price, and the funding settled at
    each funding time it saw pass (`funding_of` reads them back): the rate of
    the last row to name that time (a recorder's rows name it for a few
    seconds after it passed, with the rate settled), priced at the mark in
    force at the time.  A settlement priced at a mark stated more than
    `stale_after` ns before it is counted in a warning.  Prices are exact in
    ticks of `tick_size` or refused (and so is a mark or index price of 0 or
    below); `round` takes them to the nearest tick, since a mark has no side
    to round against.  `premium`
    reads klines of the premium index, a rate kept in billionths.
    `time_unit`, `instrument`, `symbol`, `lot_size` and `progress` are
    `from_csv`'s.  docs/csv_conversion.md gives every rule.

    ```python
    with open("BTCUSDT-markPriceKlines-1m-2024-01-02.csv", "rb") as f:
        marks = data.marks_from_csv("marks.hvmk", f, tick_size="0.10", lot_size="0.001",
                                    round=True)
    ```

    Returns the `MarkSource` of the file written.

    Raises ValueError with the converter's text, naming the file, the line
    and what was expected there; ValueError when neither the sizes nor an
    Instrument are given, or they disagree; TypeError or OverflowError
    naming an argument; and whatever a file, the iterable or the progress
    callable raised, unchanged.  On any error nothing at `dest` has changed.
    """
    path = path_of(dest, "dest")
    mark_layout = choice(layout, "layout", _MARK_LAYOUTS)
    unit = choice(time_unit, "time_unit", TIME_UNITS)
    files = files_of(sources, "sources")
    definition = definition_of("marks_from_csv", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle)
    report, bar = reporter(progress, known_size(sources) if progress is True else None, "bytes")
    try:
        done = _native.convert_marks(path, files, layout=mark_layout, premium=premium,
                                     tick_size=definition.tick_size,
                                     lot_size=definition.lot_size, instrument=definition.id,
                                     symbol=definition.symbol, time_unit=unit, round=round,
                                     progress=report, progress_bytes=PROGRESS_BYTES,
                                     stale_after=stale_after, **definition.contract())
    finally:
        if bar is not None:
            bar.close()
    _, settlements, _, _, stale, oldest = done
    if stale:
        warn("marks_from_csv", stale_marks_warning(stale, settlements, stale_after, oldest))
    return load_marks(path)
