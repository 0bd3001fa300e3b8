"""Series of a user's own (an indicator, a z-score, a signal) drawn under a
run's chart and page, on the run's time axis.

A user hands them over as `panels`: a dict of panel title to a series, or to
a dict of line name to series for several lines in one panel.  A series is
a pandas Series indexed by time (a DatetimeIndex, read as UTC when it has no
zone, or integer nanoseconds), or a pair (times, values) with times in
nanoseconds since 1970 (integers, as `Tick.exch_ts`) or as datetime64
values.  What a strategy notes as it runs is the natural source:

    self.times.append(ctx.tick.exch_ts); self.z.append(z)
    report.html(run, "run.html", panels={"z-score": (strategy.times, strategy.z)})

Times are sorted before drawing (values keep their pairing); a value that is
NaN leaves a gap in the line.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

# Inks for the lines of a panel, in turn: none is close to the colours of the
# run's own panels, so each can be told apart in the picture.
COLOURS = ("#008b8b", "#b8860b", "#c71585", "#556b2f", "#ff4500", "#4682b4")

_FORMS = ("a series is a pandas Series indexed by time, or a (times, values) pair with "
          "times in ns since 1970 (as Tick.exch_ts) or datetime64")


@dataclass(frozen=True)
class Line:
    name: str
    times: Any  # int64 ns, ascending
    values: Any  # float64


@dataclass(frozen=True)
class CustomPanel:
    title: str
    lines: list[Line]


def _times(np: Any, times: Any, where: str) -> Any:
    array = np.asarray(times)
    if array.dtype.kind == "M":
        return array.astype("datetime64[ns]").astype(np.int64)
    if array.dtype.kind in "iu":
        return array.astype(np.int64)
    if array.size == 0:
        return np.empty(0, np.int64)
    raise TypeError(f"{where}: times must be integers of ns since 1970 or datetimes, "
                    f"got values of {array.dtype}")


def _series(np: Any, series: Any, where: str) -> tuple[Any, Any]:
    """(times in ns, values as floats) of one series."""
    if hasattr(series, "index") and hasattr(series, "to_numpy"):
        index = series.index
        if getattr(index, "tz", None) is not None:
            index = index.tz_convert("UTC").tz_localize(None)
        times = _times(np, index.to_numpy(), where)
        values = series.to_numpy()
    elif isinstance(series, tuple) and len(series) == 2:
        times, values = _times(np, series[0], where), series[1]
    else:
        raise TypeError(f"{where}: {_FORMS}; got {type(series).__name__}")
    try:
        values = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{where}: values must be numbers ({error})") from None
    if values.ndim != 1 or len(values) != len(times):
        raise ValueError(f"{where}: {len(times)} times and {values.size} values; a series "
                         "has one value at each time")
    order = np.argsort(times, kind="stable")
    return times[order], values[order]


def custom(panels: Any, np: Any) -> list[CustomPanel]:
    """The panels a user asked for, checked and in arrays; none for None."""
    if panels is None:
        return []
    if not isinstance(panels, Mapping):
        raise TypeError("panels must be a dict of panel title to a series (or to a dict of "
                        f"line name to series), got {type(panels).__name__}")
    made = []
    for title, given in panels.items():
        if not isinstance(title, str):
            raise TypeError(f"a panel's title must be a str, got {type(title).__name__}")
        named = given if isinstance(given, Mapping) else {title: given}
        lines = []
        for name, series in named.items():
            where = f"panel {title!r}" + (f", line {name!r}" if named is given else "")
            times, values = _series(np, series, where)
            lines.append(Line(str(name), times, values))
        made.append(CustomPanel(title, lines))
    return made


def refuse_without_times(panels: Any) -> None:
    """A RunResult has no times for a panel to be drawn against."""
    if panels:
        raise ValueError("a RunResult has no times to draw a panel against; panels need a "
                         "halvorn.venue.Run")
