"""Funding history from CSV, each rate priced from a tick file: `funding_from_csv`."""

from __future__ import annotations

from typing import Any

import halvorn
from halvorn.data import _native
from halvorn.data._arguments import TIME_UNITS, choice, files_of


def funding_from_csv(file: Any, *, ticks: halvorn.TickSource,
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

    `ticks` is required: without a price a rate would settle nothing, and
    none is guessed.  Raises TypeError for `ticks` that is not a TickSource; ValueError with the converter's text
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
    rows = _native.read_funding(files_of(file, "file"), ticks.path,
                                time_unit=choice(time_unit, "time_unit", TIME_UNITS))
    return [venue.FundingRate(time=time, rate=rate, price=price) for time, rate, price in rows]
