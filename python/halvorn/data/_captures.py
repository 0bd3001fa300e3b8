"""Recorded captures of a venue's streams into tick, depth and mark files:
`from_capture`.

A capture is JSON lines, a message per line, as a recorder of WebSocket
streams writes them (the local time it received the message, then the
message), or as an order-book archive is downloaded (the message alone).
One pass reads it all, streaming, and writes the files asked for; the C++
converter does the reading (data/capture_message.hpp gives the grammar).
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import halvorn
from halvorn._progress import reporter
from halvorn.data import _native
from halvorn.data._arguments import PROGRESS_BYTES, TIME_UNITS, choice, files_of, known_size, path_of
from halvorn.data._depth_files import DepthSource, load_depth
from halvorn.data._instruments import definition_of
from halvorn.data._marks import MarkSource, funding_of, load_marks

if TYPE_CHECKING:
    from halvorn.venue import FundingRate, Instrument

_TRADES = {"trades": "trades", "agg_trades": "agg_trades", "aggregated trades": "agg_trades"}


@dataclass(frozen=True)
class Capture:
    """What `from_capture` wrote, and what it read.

    `ticks`, `depth` and `marks` are the sources of the files written (None
    for a file not asked for); `funding` the settlements the mark file holds,
    for ``venue.Venue(funding=...)``.  `symbol` is the symbol read;
    `messages` the lines read, `skipped` the messages of kinds not read (or
    read by no file asked for), `other_symbols` those of other symbols;
    `repeated_trades` trades given again (an id not above the one before, as
    after a reconnection), dropped; `missing_trades` aggregated trade ids
    missing and `depth_breaks` depth updates that do not continue the book,
    written with ``allow_gaps=True``.
    """

    ticks: halvorn.TickSource | None
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


def from_capture(sources: Any, *, ticks: str | os.PathLike[str] | None = None,
                 depth: str | os.PathLike[str] | None = None,
                 marks: str | os.PathLike[str] | None = None,
                 instrument: int | Instrument = 1, tick_size: str | None = None,
                 lot_size: str | None = None, symbol: str | None = None,
                 trades: str | None = None, time_unit: str | None = None, round: bool = False,
                 allow_gaps: bool = False, max_delay: int = 2_000_000_000,
                 progress: bool | Callable[[int, int], object] | None = None,
                 kind: str | None = None, contract_value: str | None = None,
                 settle: str | None = None) -> Capture:
    """Convert a capture of JSON lines into a tick file, a depth file and a mark file.

    `sources` is one binary file object, a `zipfile.ZipFile` (its members in
    name order) or an iterable of file objects read in order as one capture,
    as `from_csv` takes its trades.  Each line is a message, after the local
    time it was received when the recorder wrote one: an integer of
    milliseconds, microseconds or nanoseconds since 1970 (told by its size)
    or a UTC time such as ``2024-01-02T03:04:05.123456Z``, then spaces or
    tabs.  The messages read are trades, aggregated trades, book tickers,
    depth updates (with their ``pu``), mark price updates, a depth snapshot,
    and order-book archive snapshots and deltas; docs/captures.md shows each.

    `ticks`, `depth` and `marks` are where each file goes (None: not
    written; at least one).  Ticks are made from the trades and book tickers
    (a tick per trade, and per change of the best bid or ask), with the
    local time as `local_ts`; the depth file holds the snapshots and
    updates, its update chain checked as a run's book applies it; the mark
    file holds the mark and index prices and the funding settled at each
    funding time the updates saw pass.

    Only one symbol is read: `symbol`, the Instrument's, or the first
    message's (another then is an error).  `trades` picks ``"trades"`` or
    ``"agg_trades"`` when a capture holds both, which are the same trades
    twice.  `allow_gaps` writes a capture with aggregated trades missing or
    a depth update lost (and warns) instead of refusing it.  `max_delay` is
    how late, in nanoseconds of exchange time, a message may arrive behind
    one stamped later (messages leave in exchange-time order).
    `instrument`, `tick_size`, `lot_size`, `time_unit` (of exchange times),
    `round` and `progress` are `from_csv`'s.

    Returns a `Capture`.

    Raises ValueError with the converter's text, naming the file and line
    (``capture.jsonl:7: field "p": "4.25" is not a whole number of ticks of
    0.1; ...``); TypeError or ValueError naming an argument; and whatever a
    file, the iterable or the progress callable raised, unchanged.  On any
    error none of the files has changed.
    """
    definition = definition_of("from_capture", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle)
    dests = {name: None if value is None else path_of(value, name)
             for name, value in (("ticks", ticks), ("depth", depth), ("marks", marks))}
    unit = choice(time_unit, "time_unit", TIME_UNITS)
    which = choice(trades, "trades", _TRADES)
    files = files_of(sources, "sources")
    report, bar = reporter(progress, known_size(sources) if progress is True else None, "bytes")
    try:
        done = _native.convert_capture(
            files, **dests, tick_size=definition.tick_size, lot_size=definition.lot_size,
            instrument=definition.id, symbol=definition.symbol, round=round,
            allow_gaps=allow_gaps, trades=which, max_delay=max_delay, time_unit=unit,
            progress=report, progress_bytes=PROGRESS_BYTES, **definition.contract())
    finally:
        if bar is not None:
            bar.close()
    gaps = []
    if done["missing_trades"]:
        gaps.append(f"{done['missing_trades']:,} aggregated trades are missing")
    if done["depth_breaks"]:
        gaps.append(f"{done['depth_breaks']:,} depth updates do not continue the book, which a "
                    "run drops until the next snapshot")
    if gaps:
        warnings.warn(f"from_capture: {'; '.join(gaps)}", UserWarning, stacklevel=2)
    mark_source = None if dests["marks"] is None else load_marks(dests["marks"])
    return Capture(
        ticks=None if dests["ticks"] is None else halvorn.load_ticks(dests["ticks"]),
        depth=None if dests["depth"] is None else load_depth(dests["depth"]),
        marks=mark_source,
        funding=() if mark_source is None else tuple(funding_of(mark_source)),
        symbol=done["symbol"], messages=done["messages"], skipped=done["skipped"],
        other_symbols=done["other_symbols"], repeated_trades=done["repeated_trades"],
        missing_trades=done["missing_trades"], depth_breaks=done["depth_breaks"])
