"""CSV trades, and best quotes, into a tick file: `from_csv`."""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import halvorn
from halvorn._progress import reporter
from halvorn.data import _native
from halvorn.data._arguments import (PROGRESS_BYTES, TIME_UNITS, choice, files_of, known_size,
                                     layouts_of, path_of)
from halvorn.data._hazards import (Clock, Found, clock_warning, duplicate_warning, outside_warning,
                                   stale_warning, warn)
from halvorn.data._instruments import definition_of

if TYPE_CHECKING:
    from halvorn.venue import Instrument

_TRADE_LAYOUTS = layouts_of("trades")
_QUOTE_LAYOUTS = layouts_of("quotes")

_STALE_QUOTES = {"warn": "keep", "keep": "keep", "clear": "clear", "refuse": "refuse"}
_DUPLICATES = {"warn": "keep", "keep": "keep", "skip": "skip", "refuse": "refuse"}

STALE_AFTER = 60_000_000_000
"""How old a quote a trade tick may carry before it counts as stale: one minute, in ns."""

OUTSIDE_BP = 10.0
"""How far outside its quote, in basis points of its price, a trade may print
before it is counted: 0.1 %."""


def from_csv(dest: str | os.PathLike[str], trades: Any, quotes: Any = None, *,
             layout: str | None = None, quote_layout: str | None = None,
             tick_size: str | None = None, lot_size: str | None = None,
             instrument: int | Instrument = 1, symbol: str | None = None,
             time_unit: str | None = None, quote_time_unit: str | None = None,
             sort_window: int = 0, allow_gaps: bool = False, round: bool = False,
             progress: bool | Callable[[int, int], object] | None = None,
             duplicates: str = "warn", stale_after: int = STALE_AFTER,
             stale_quotes: str = "clear", outside_bp: float = OUTSIDE_BP,
             kind: str | None = None, contract_value: str | None = None,
             settle: str | None = None) -> halvorn.TickSource:
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
    text ("0.10", "0.001"); `instrument` is the id the file is written for, or
    a `halvorn.venue.Instrument`, which gives the id, the symbol and both
    sizes (a size also given must have the same value).  The file keeps the
    id, `symbol` and the sizes after its records, where `instrument_of` reads
    them back.  `sort_window` takes rows up to that many rows late;
    `allow_gaps` accepts missing aggregated trade ids; `round` rounds values
    that are not whole steps toward the side that does not flatter the
    strategy instead of refusing them.  `progress` is True for a bar on
    standard error (bytes read and their rate), or a callable told
    ``(bytes_read, rows_read)`` about every 8 MiB and once more when the file
    is in place; what it raises stops the conversion (and is raised), except
    from that last call, when the file is already complete.

    A trade given twice (a row whose id is that of a trade already read at
    the same time; the two-clock layout's text ids are compared by a 64-bit
    hash) counts its quantity twice, and `duplicates` says what becomes of
    it: "warn" (keep it, and warn how many there were and where the first
    is), "keep" (the same, silently), "skip" (drop it, and warn) or "refuse"
    (stop at the first).  An aggregated trade id that repeats is refused
    whatever this says, unless "skip".  With quotes, a trade tick carries the
    latest quote, which may be old where the quotes end or pause before the
    trades: one older than `stale_after` nanoseconds is stale, and
    `stale_quotes` says what becomes of it: "clear" (the default: write bid
    and ask 0, a tick's way of saying it has no quote, and warn how many
    ticks were cleared, how old the oldest quote got and how to keep them),
    "warn" (keep it and warn), "keep" (keep it silently) or "refuse" (stop
    at the first).  A fill at a quote that had stopped is a fill no venue
    gave, hence clearing by default.  Quotes with no trade at all make no
    tick and are refused.  Trades priced outside the bid and ask they carry
    by more than `outside_bp` basis points of their price are counted in a
    warning with the first of them: the mark of trades and quotes on two
    clocks, or of two instruments.  In the two-clock layouts, a local clock
    that runs behind the exchange's, or jumps against it, is warned of:
    latency counted from it would be off.

    Returns the `halvorn.TickSource` of the file written.

    Raises ValueError with the converter's text, which names the file, the
    line and what was expected there (``day2.csv:17: column price: "4.25" is
    not a whole number of ticks of 0.1``); ValueError when neither the sizes
    nor an Instrument are given, when they disagree, and for a symbol a file
    cannot hold (not UTF-8, more than 65535 bytes); TypeError or
    OverflowError naming an argument of the wrong type or range; and
    whatever a file, the iterable or the progress callable raised
    (KeyboardInterrupt included), unchanged.
    On any error nothing at `dest` has changed.
    """
    source, _, counts = convert_finding(
        dest, trades, quotes, layout=layout, quote_layout=quote_layout, tick_size=tick_size,
        lot_size=lot_size, instrument=instrument, symbol=symbol, time_unit=time_unit,
        quote_time_unit=quote_time_unit, sort_window=sort_window, allow_gaps=allow_gaps,
        round=round, progress=progress, duplicates=duplicates, stale_after=stale_after,
        stale_quotes=stale_quotes, outside_bp=outside_bp, kind=kind,
        contract_value=contract_value, settle=settle)
    if counts.duplicates and duplicates in ("warn", "skip"):
        warn("from_csv", duplicate_warning(counts, duplicates == "skip"))
    if counts.stale_ticks and stale_quotes in ("warn", "clear"):
        warn("from_csv", stale_warning(counts, stale_after, stale_quotes == "clear",
                                       'stale_quotes="keep"'))
    if counts.outside:
        warn("from_csv", outside_warning(counts, outside_bp))
    warn("from_csv", clock_warning(counts.clock))
    return source


def _convert(dest: Any, trades: Any, quotes: Any, *, layout: Any, quote_layout: Any,
             tick_size: Any, lot_size: Any, instrument: Any, time_unit: Any,
             quote_time_unit: Any, sort_window: Any, allow_gaps: Any, round: Any,
             progress: Any, symbol: Any = None, total: int | None = None,
             progress_bytes: int = PROGRESS_BYTES, duplicates: Any = "warn",
             stale_after: Any = STALE_AFTER,
             stale_quotes: Any = "clear") -> tuple[halvorn.TickSource, tuple[int, ...]]:
    """from_csv, also returning (ticks, trades, quotes, quote_ticks, bytes)."""
    source, counts, _ = convert_finding(
        dest, trades, quotes, layout=layout, quote_layout=quote_layout, tick_size=tick_size,
        lot_size=lot_size, instrument=instrument, time_unit=time_unit,
        quote_time_unit=quote_time_unit, sort_window=sort_window, allow_gaps=allow_gaps,
        round=round, progress=progress, symbol=symbol, total=total,
        progress_bytes=progress_bytes, duplicates=duplicates, stale_after=stale_after,
        stale_quotes=stale_quotes)
    return source, counts


def convert_finding(dest: Any, trades: Any, quotes: Any, *, layout: Any, quote_layout: Any,
                    tick_size: Any, lot_size: Any, instrument: Any, time_unit: Any,
                    quote_time_unit: Any, sort_window: Any, allow_gaps: Any, round: Any,
                    progress: Any, symbol: Any = None, total: int | None = None,
                    progress_bytes: int = PROGRESS_BYTES, duplicates: Any = "warn",
                    stale_after: Any = STALE_AFTER, stale_quotes: Any = "clear",
                    outside_bp: Any = OUTSIDE_BP, kind: Any = None, contract_value: Any = None,
                    settle: Any = None
                    ) -> tuple[halvorn.TickSource, tuple[int, ...], Found]:
    """_convert, also returning what the conversion found besides its counts."""
    path = path_of(dest, "dest")
    trade_layout = choice(layout, "layout", _TRADE_LAYOUTS)
    quote_layout_name = choice(quote_layout, "quote_layout", _QUOTE_LAYOUTS)
    unit = choice(time_unit, "time_unit", TIME_UNITS)
    quote_unit = choice(quote_time_unit, "quote_time_unit", TIME_UNITS)
    trade_files = files_of(trades, "trades")
    quote_files = None if quotes is None else files_of(quotes, "quotes")
    definition = definition_of("from_csv", instrument, tick_size, lot_size, symbol, kind=kind,
                               contract_value=contract_value, settle=settle)
    stale = choice(stale_quotes, "stale_quotes", _STALE_QUOTES)
    repeats = choice(duplicates, "duplicates", _DUPLICATES)
    if stale is None or repeats is None:
        raise TypeError("arguments 'duplicates' and 'stale_quotes': expected str, got None")
    if progress is True and total is None:
        total = known_size(trades, quotes)
    report, bar = reporter(progress, total, "bytes")
    try:
        counts = _native.convert(path, trade_files, quote_files, layout=trade_layout,
                                 quote_layout=quote_layout_name, tick_size=definition.tick_size,
                                 lot_size=definition.lot_size, instrument=definition.id,
                                 symbol=definition.symbol, time_unit=unit,
                                 quote_time_unit=quote_unit, sort_window=sort_window,
                                 allow_gaps=allow_gaps, round=round, progress=report,
                                 progress_bytes=progress_bytes, duplicates=repeats,
                                 stale_after=stale_after, stale_quotes=stale,
                                 outside_bp=outside_bp, **definition.contract())
    finally:
        if bar is not None:
            bar.close()
    found = Found(duplicates=counts[5], oldest_quote=counts[6], stale_ticks=counts[7],
                  first_duplicate=counts[8], ticks=counts[0], outside=counts[9],
                  farthest_bp=counts[10], first_outside=counts[11], clock=Clock(*counts[12]))
    return halvorn.load_ticks(path), tuple(counts[:5]), found
