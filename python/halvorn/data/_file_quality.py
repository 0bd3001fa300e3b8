"""One look at a file before it is trusted: `inspect`.

A tick, depth or mark file can be perfectly readable and still give a
backtest that looks fine and is wrong: hours without data, a quote that had
stopped, trades far outside their quote, a local clock behind the
exchange's, funding priced at a mark days old.  `inspect` reads the file
once, start to end, and says each of these in one table.
"""

from __future__ import annotations

import dataclasses
import datetime
from collections.abc import Mapping
from typing import Any

import halvorn
from halvorn.data import _native
from halvorn.data._arguments import path_of
from halvorn.data._hazards import Clock, duration

GAP = 60_000_000_000
"""A step of time longer than this between two records is a gap: one minute, in ns."""

_KINDS = {b"HVTK": "ticks", b"HVMK": "marks", b"HVDP": "depth"}


@dataclasses.dataclass(frozen=True)
class Inspection:
    """What `inspect` found in one file.

    `kind` is "ticks", "depth" or "marks".  `rows` is the table: each row a
    quality, what the file shows of it, and whether that is a reason to
    doubt the file.  `hazards` names the qualities that are; `counts` holds
    the figures the table was made from (times in ns).  ``str()`` is the
    table as a person reads it.
    """

    path: str
    kind: str
    rows: tuple[tuple[str, str, bool], ...]
    counts: Mapping[str, Any]

    @property
    def hazards(self) -> tuple[str, ...]:
        """The qualities that are a reason to doubt the file, in table order."""
        return tuple(quality for quality, _, doubtful in self.rows if doubtful)

    def __str__(self) -> str:
        width = max(len(quality) for quality, _, _ in self.rows)
        lines = [f"{self.path}: {self.kind}"]
        lines += [f"  {'!' if doubtful else ' '} {quality:<{width}}  {value}"
                  for quality, value, doubtful in self.rows]
        verdict = (f"{len(self.hazards)} hazards: {', '.join(self.hazards)}" if self.hazards
                   else "no hazards found")
        return "\n".join(lines + [f"  {verdict}"])


def inspect(source: halvorn.TickSource | Any, *, gap: int = GAP,
            stale_after: int = 60_000_000_000, outside_bp: float = 10.0) -> Inspection:
    """Read a tick, depth or mark file once and report what would make a
    backtest on it mislead.

    `source` is a path, a `halvorn.TickSource`, a `DepthSource` or a
    `MarkSource`; the kind is told from the file's first bytes.  The table
    gives, as the kind has them: the records and their time span, gaps
    longer than `gap` ns, records repeated whole, and

      - ticks: trades (ticks whose cumulative volume rose, or every tick of a
        file without volume) whose bid and ask had not moved for longer than
        `stale_after` ns, trades priced outside their quote by more than
        `outside_bp` basis points, crossed quotes, ticks without a price,
        local minus exchange time (min, median, max) with the ticks on which
        the local clock runs behind and its jumps, and the grid the prices
        lie on (a grid coarser than one tick says the file was scaled with a
        finer tick than its data's);
      - marks: funding settlements priced at a mark older than
        `stale_after`, at no mark, or at another price than the mark then;
      - depth: updates a run's book refuses (a break in the update ids) or
        meets without a book, and crossed snapshots.

    ```python
    print(data.inspect("btc.hvtk"))   # a table; .hazards names what to doubt
    ```

    Returns an `Inspection`.  Raises ValueError "{path}: {error}" with the
    reader's text for a file that cannot be read to its end; TypeError for
    any other `source`.
    """
    path = _path(source)
    with open(path, "rb") as f:
        kind = _KINDS.get(f.read(4), "ticks")  # anything else: the tick reader says why
    limits: dict[str, Any] = dict(gap=gap, stale_after=stale_after, outside_bp=outside_bp)
    survey, table = {"ticks": (_native.survey_ticks, _tick_rows),
                     "marks": (_native.survey_marks, _mark_rows),
                     "depth": (_native.survey_depth, _depth_rows)}[kind]
    counts = survey(path, gap=gap, stale_after=stale_after, outside_bp=outside_bp)
    rows = table(counts, limits)
    return Inspection(path, kind, tuple(rows), counts)


def _path(source: Any) -> str:
    path = getattr(source, "path", None)
    if isinstance(path, str):
        return path
    return path_of(source, "source")


def _time(ns: int) -> str:
    try:
        at = datetime.datetime.fromtimestamp(ns // 1_000_000_000, tz=datetime.UTC)
    except (OverflowError, OSError, ValueError):
        return f"{ns} ns"
    return f"{at:%Y-%m-%d %H:%M:%S}.{ns % 1_000_000_000 // 1_000_000:03d}"


def _span(c: Mapping[str, Any], n: int, noun: str, limits: Mapping[str, Any]) -> list[Any]:
    """The rows every kind has: its records, their span and their gaps."""
    rows: list[Any] = [(noun, f"{n:,}", n == 0)]
    if n:
        rows.append(("time span", f"{_time(c['first'])} to {_time(c['last'])} "
                     f"({duration(c['last'] - c['first'])})", False))
        longest = (f", the longest {duration(c['largest_gap'])} before {_time(c['largest_gap_at'])}"
                   if c["gaps"] else "")
        rows.append((f"gaps over {duration(limits['gap'])}", f"{c['gaps']:,}{longest}",
                     c["gaps"] > 0))
        if "repeated" in c:
            rows.append(("repeated records", f"{c['repeated']:,} equal to the one before",
                         c["repeated"] > 0))
    return rows


def _tick_rows(c: Mapping[str, Any], limits: Mapping[str, Any]) -> list[Any]:
    rows = _span(c, c["ticks"], "ticks", limits)
    if not c["ticks"]:
        return rows
    trades = c["trades"]
    rows.append(("trades", f"{trades:,} (ticks whose volume rose)", False))
    rows.append((f"quotes stale over {duration(limits['stale_after'])}",
                 f"{c['stale_quotes']:,} trades met a bid and ask that had not moved for longer"
                 f" (the longest {duration(c['oldest_quote'])})", c["stale_quotes"] > 0))
    rows.append((f"outside the quote by over {limits['outside_bp']:g} bp",
                 f"{c['outside']:,} trades" + (f", the farthest by {c['farthest_bp']:,.1f} bp"
                                               if c["outside"] else ""), c["outside"] > 0))
    rows.append(("crossed quotes", f"{c['crossed']:,} ticks with the bid above the ask",
                 c["crossed"] > 0))
    rows.append(("no price", f"{c['no_price']:,} ticks whose last is 0 or below",
                 c["no_price"] > 0))
    clock = Clock(*c["clock"])
    rows.append(("local minus exchange time", f"min {duration(clock.min)}, median "
                 f"{duration(clock.median)}, max {duration(clock.max)}", False))
    rows.append(("local clock behind", f"{clock.behind:,} ticks by over 1 ms" +
                 (f", up to {duration(-clock.min)}" if clock.behind else ""), clock.behind > 0))
    rows.append(("local clock jumps", f"{clock.jumps:,} changes of over 1 s" +
                 (f", up to {duration(clock.largest_jump)}" if clock.jumps else ""),
                 clock.jumps > 0))
    step = c["price_step"]
    rows.append(("price grid", f"every price a multiple of {step:,} ticks" if step > 1 else
                 "prices on every tick", step > 1))
    return rows


def _mark_rows(c: Mapping[str, Any], limits: Mapping[str, Any]) -> list[Any]:
    rows = _span(c, c["records"], "marks", limits)
    rows.append(("funding settlements", f"{c['settlements']:,}", False))
    if c["settlements"]:
        rows.append((f"settled at a mark over {duration(limits['stale_after'])} old",
                     f"{c['stale_settlements']:,} (the oldest mark {duration(c['oldest_mark'])})",
                     c["stale_settlements"] > 0))
        rows.append(("settled with no mark before", f"{c['unmarked']:,}", c["unmarked"] > 0))
        rows.append(("settled off the mark", f"{c['off_mark']:,} at another price than the "
                     "mark then", c["off_mark"] > 0))
    return rows


def _depth_rows(c: Mapping[str, Any], limits: Mapping[str, Any]) -> list[Any]:
    rows = _span(c, c["records"], "records", limits)
    rows.append(("snapshots", f"{c['snapshots']:,}", c["records"] > 0 and c["snapshots"] == 0))
    rows.append(("updates", f"{c['updates']:,}", False))
    rows.append(("sequence breaks", f"{c['breaks']:,} updates a run's book refuses",
                 c["breaks"] > 0))
    rows.append(("updates without a book", f"{c['unbooked']:,}", c["unbooked"] > 0))
    rows.append(("crossed snapshots", f"{c['crossed']:,}", c["crossed"] > 0))
    return rows
