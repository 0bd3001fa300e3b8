"""What the data said that a user must hear: the texts of the warnings that
conversions and runs give when a well-formed file would still mislead (a
trade given twice, stale quotes, trades outside their quote, a local clock
behind the exchange's, funding priced at an old mark, marks that end before
the ticks), in one place so that a conversion, the command line, a run and
`inspect` say each the same way."""

from __future__ import annotations

import dataclasses
import warnings
from typing import NamedTuple


class Clock(NamedTuple):
    """Local minus exchange time over a series, in ns: the converters' and
    the runs' measure of the two clocks (see `halvorn.data.inspect`)."""

    ticks: int
    min: int
    median: int
    max: int
    behind: int        # ticks whose local time is over 1 ms before exch_ts
    jumps: int         # changes of over 1 s from one tick to the next
    largest_jump: int


@dataclasses.dataclass(frozen=True)
class Found:
    """What a conversion found besides its counts: the trades that repeated an
    id and where the first of them is, the oldest quote a trade tick carried
    (ns), the trade ticks whose quote was stale, the trades outside their
    quote (how many, the farthest in basis points, where the first is), and
    the two clocks."""

    duplicates: int
    oldest_quote: int
    stale_ticks: int
    first_duplicate: str | None
    ticks: int
    outside: int = 0
    farthest_bp: float = 0.0
    first_outside: str | None = None
    clock: Clock = Clock(0, 0, 0, 0, 0, 0, 0)


def duration(ns: int) -> str:
    """A length of time as a person reads it: "3 h 12 min", "42 s", "-1.27 s"."""
    if ns < 0:
        return "-" + duration(-ns)
    seconds = ns // 1_000_000_000
    if seconds < 60:
        return f"{ns / 1e9:.3g} s"
    minutes, seconds = divmod(seconds, 60)
    hours, minutes = divmod(minutes, 60)
    days, hours = divmod(hours, 24)
    parts = [(days, "d"), (hours, "h"), (minutes, "min"), (seconds, "s")]
    return " ".join([f"{v} {unit}" for v, unit in parts if v][:2])


def duplicate_warning(counts: Found, skipped: bool) -> str:
    """The warning of a conversion that met trades given twice."""
    done = "were dropped" if skipped else "were kept, each counting its quantity again"
    return (f"{counts.duplicates:,} trades repeat the id of a trade at the same time and {done}; "
            f"the first is {counts.first_duplicate}")


def stale_warning(counts: Found, stale_after: int, cleared: bool, keep: str) -> str:
    """The warning of a conversion that met trade ticks with a stale quote;
    `keep` says how to keep them ('stale_quotes="keep"')."""
    done = "had their bid and ask cleared" if cleared else "carry it"
    text = (f"{counts.stale_ticks:,} of {counts.ticks:,} ticks were made when the latest quote "
            f"was older than {duration(stale_after)} and {done}; the oldest quote a tick met "
            f"was {duration(counts.oldest_quote)} old (do the quotes end, or pause, before the "
            "trades?)")
    return f"{text}; {keep} keeps them" if cleared else text


def outside_warning(counts: Found, outside_bp: float) -> str:
    """The warning of a conversion that met trades far outside their quote."""
    return (f"{counts.outside:,} trades were priced outside the bid and ask they carry by more "
            f"than {outside_bp:g} bp, the farthest by {counts.farthest_bp:,.1f} bp; the first is "
            f"{counts.first_outside} (are the trades and the quotes on one clock, and of one "
            "instrument?)")


def clock_warning(clock: Clock) -> str | None:
    """What the clocks say when latency counted from the local one would be
    off; None when they agree."""
    c = Clock(*clock)
    said = []
    if c.behind:
        said.append(f"the local clock runs behind the exchange's on {c.behind:,} of "
                    f"{c.ticks:,} ticks, by up to {duration(-c.min)}")
    if c.jumps:
        said.append(f"{'it' if said else 'the local clock'} jumps against the exchange's "
                    f"{c.jumps:,} times, by up to {duration(c.largest_jump)}")
    if not said:
        return None
    return (f"{'; '.join(said)} (local minus exchange time: min {duration(c.min)}, median "
            f"{duration(c.median)}, max {duration(c.max)}); an L1 or L2 run counts order "
            "latency from the local clock, so its orders would arrive that much early")


def stale_marks_warning(stale: int, settlements: int, stale_after: int, oldest: int) -> str:
    """The warning of a mark conversion that priced funding at old marks."""
    return (f"{stale:,} of {settlements:,} funding settlements were priced at a mark older than "
            f"{duration(stale_after)}; the oldest was {duration(oldest)} old (the mark in force "
            "at a settlement is the last one stated at or before it: are the mark prices "
            "mostly missing?)")


def warn(function: str, text: str | None, stacklevel: int = 3) -> None:
    """Warns `text` as said by `function`, when there is one."""
    if text:
        warnings.warn(f"{function}: {text}", UserWarning, stacklevel=stacklevel)


# --- said by a run as it starts (called by the engine's run path) --------------------------


def _of(symbol: str | None) -> str:
    return "" if symbol is None else f" of {symbol!r}"


def warn_run_clock(tier: str, clock: tuple[int, ...], sampled: bool, symbol: str | None) -> None:
    """A run on tier L1 or L2 over ticks whose local clock runs behind or jumps."""
    c = Clock(*clock)
    sample = " sampled from the file" if sampled else ""
    said, effect = [], []
    if c.behind:
        said.append(f"runs behind their exchange clock, by up to {duration(-c.min)} "
                    f"({c.behind:,} of {c.ticks:,} ticks{sample})")
        effect.append(f"orders would arrive up to {duration(-c.min)} early")
    if c.jumps:
        said.append(f"jumps against their exchange clock {c.jumps:,} times, by up to "
                    f"{duration(c.largest_jump)} (in {c.ticks:,} ticks{sample})")
        effect.append("an order sent across a jump would arrive off by the jump")
    warnings.warn(
        f"the ticks{_of(symbol)} have a local clock that {' and '.join(said)}: tier {tier} counts "
        f"order latency from the local clock, so {', and '.join(effect)}; correct local_ts, or "
        "give ticks whose local_ts is their exch_ts", UserWarning, stacklevel=2)


def warn_run_marks_end(marks_end: int, ticks_end: int, symbol: str | None,
                       allowed: int = 60_000_000_000) -> None:
    """A run whose marks end more than `allowed` ns before its ticks."""
    if ticks_end - marks_end <= allowed:
        return
    warnings.warn(
        f"the marks{_of(symbol)} end at {marks_end} ns, {duration(ticks_end - marks_end)} before "
        f"the ticks do ({ticks_end} ns): from then on positions are valued, tested for margin "
        "and settled at a mark that no longer moves", UserWarning, stacklevel=2)
