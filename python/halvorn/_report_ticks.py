"""What a report reads of the ticks a run was made on: a thinned price series
to draw, and the first and last tick, whose prices give the buy-and-hold
return and value a position still open at the end.

A run does not keep its ticks, so the report takes them as they were handed
to the run: a `halvorn.TickSource` (a tick file, read through its mapped
pages so that only the records used are read) or a sequence of `Tick`.  A
run of several instruments takes them as `venue.run` did, a dict of symbol
to ticks; an instrument left out of it has no price to draw or to value an
open position at.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import halvorn

# Records are eight little-endian int64 behind a 32-byte header
# (docs/tick_format.md): exch_ts is field 0, last field 2.
_HEADER_BYTES = 32
_FIELDS = 8


@dataclass(frozen=True)
class Ends:
    """The exchange time (ns) and last price (ticks) of the first and last
    tick.  Over several instruments, which have no one price, the prices are
    None."""

    first_ts: int
    first_price: int | None
    last_ts: int
    last_price: int | None


@dataclass(frozen=True)
class Given:
    """The ticks given for each instrument of a run, in the order of its
    markets (None where none were given), their ends, and the span of them
    all (None without any)."""

    ticks: list[Any]
    ends: list[Ends | None]
    whole: Ends | None

    def marks(self, numbers: Sequence[int]) -> dict[int, int]:
        """The last price of each instrument that has ticks, by the numbers
        of its markets (`numbers`, in the same order)."""
        return {number: end.last_price for number, end in zip(numbers, self.ends)
                if end is not None and end.last_price is not None}


def _check(ticks: Any) -> None:
    if isinstance(ticks, halvorn.TickSource):
        return
    if isinstance(ticks, (str, bytes)) or not isinstance(ticks, Sequence):
        raise TypeError("ticks must be a TickSource, a sequence of Tick or None, not "
                        f"{type(ticks).__name__}")


def _records(ticks: Any, np: Any) -> Any:
    try:
        return np.memmap(ticks.path, dtype="<i8", mode="r", offset=_HEADER_BYTES,
                         shape=(ticks.count, _FIELDS))
    except (OSError, ValueError) as error:
        raise ValueError(f"{ticks.path}: {error}") from error


def _picker(ticks: Any, np: Any) -> tuple[int, Any]:
    """The number of ticks, and a function giving (exch_ts, last) of the
    ticks at an array of indices."""
    _check(ticks)
    if isinstance(ticks, halvorn.TickSource):
        count = ticks.count

        def pick(chosen: Any) -> tuple[Any, Any]:
            # Taking the chosen records of the mapped file reads only the
            # pages they are on, so a file of any size costs a few page reads
            # per index.
            records = _records(ticks, np)
            picked = np.array(records[np.asarray(chosen, dtype=np.int64)][:, [0, 2]])
            del records
            return picked[:, 0], picked[:, 1]
    else:
        count = len(ticks)

        def pick(chosen: Any) -> tuple[Any, Any]:
            picked = [ticks[i] for i in np.asarray(chosen, dtype=np.int64).tolist()]
            return (np.array([t.exch_ts for t in picked], "int64"),
                    np.array([t.last for t in picked], "int64"))
    return count, pick


def sampled(ticks: Any, np: Any, points: int = 4_000) -> tuple[Any, Any]:
    """(exch_ts, last) of at most about `points` evenly spaced ticks, the last
    tick always among them."""
    count, pick = _picker(ticks, np)
    if count == 0:
        return np.empty(0, "int64"), np.empty(0, "int64")
    step = max(1, count // points)
    chosen = list(range(0, count, step))
    if chosen[-1] != count - 1:
        chosen.append(count - 1)
    return pick(chosen)


def prices_at(ticks: Any, times: Any, np: Any) -> Any:
    """The last price (ticks) in force at each of `times` (ns): that of the
    latest tick at or before it, or the first tick's for a time before them
    all.  Empty without ticks.

    Every time is looked up by halving at once, so a file is read at a few
    pages per time, never whole."""
    count, pick = _picker(ticks, np)
    times = np.asarray(times, dtype=np.int64)
    if count == 0:
        return np.empty(0, "int64")
    # For each time, the first index whose tick is later than it.
    low = np.zeros(len(times), dtype=np.int64)
    high = np.full(len(times), count, dtype=np.int64)
    while True:
        open_ = np.flatnonzero(low < high)
        if not len(open_):
            break
        middle = (low[open_] + high[open_]) // 2
        at, _ = pick(middle)
        later = at > times[open_]
        high[open_[later]] = middle[later]
        low[open_[~later]] = middle[~later] + 1
    _, last = pick(np.maximum(low - 1, 0))
    return last


def ends(ticks: Any, np: Any) -> Ends | None:
    """The first and last tick of `ticks`; None when there is none or `ticks`
    is None."""
    if ticks is None:
        return None
    _check(ticks)
    if isinstance(ticks, halvorn.TickSource):
        if ticks.count == 0:
            return None
        records = _records(ticks, np)
        first, last = (int(records[0, 0]), int(records[0, 2])), (int(records[-1, 0]),
                                                                  int(records[-1, 2]))
        del records
        return Ends(first[0], first[1], last[0], last[1])
    if len(ticks) == 0:
        return None
    return Ends(ticks[0].exch_ts, ticks[0].last, ticks[-1].exch_ts, ticks[-1].last)


def split(ticks: Any, symbols: Sequence[str | None]) -> list[Any]:
    """The ticks of each instrument of a run (`symbols`, in the order of its
    ids), None where none were given.

    A run of one takes its ticks as they were handed to it, or a dict of its
    symbol to them; a run of several a dict of symbol to ticks.  Raises
    TypeError for ticks not keyed by symbol with several instruments, and
    ValueError for a symbol the run did not trade.
    """
    if ticks is None:
        return [None] * len(symbols)
    if not isinstance(ticks, Mapping) or "exch_ts" in ticks:
        if len(symbols) > 1:
            raise TypeError("a run of several instruments takes its ticks as a dict of symbol "
                            f"to ticks, as venue.run did, not a {type(ticks).__name__}")
        _check(ticks)
        return [ticks]
    for key in ticks:
        if key not in symbols and not (len(symbols) == len(ticks) == 1 and symbols[0] is None):
            traded = ", ".join(repr(s) for s in symbols if s is not None) or "no named instrument"
            raise ValueError(f"ticks are given for {key!r}, which the run did not trade "
                             f"(it traded {traded})")
    if len(symbols) == 1 and symbols[0] is None:
        chosen = list(ticks.values())
    else:
        chosen = [ticks.get(symbol) for symbol in symbols]
    for each in chosen:
        if each is not None:
            _check(each)
    return chosen


def given(ticks: Any, symbols: Sequence[str | None], np: Any) -> Given:
    """What `ticks` say of each instrument of a run (`symbols` as for `split`)."""
    chosen = split(ticks, symbols)
    each = [ends(t, np) for t in chosen]
    known = [end for end in each if end is not None]
    if len(each) == 1 or not known:
        whole = known[0] if known else None
    else:
        whole = Ends(min(end.first_ts for end in known), None,
                     max(end.last_ts for end in known), None)
    return Given(chosen, each, whole)
