"""The runs of the research workflows: the series they read, the run of one
parameter set over one stretch (in a worker), and the rounds of such runs on
an executor, with one progress count, time limit and failure handling for
all of them.

Workers never receive ticks: a run is sent the path of the tick file and the
stretch it covers, and its worker opens the file and reads that stretch's
blocks alone (`halvorn.data.between`).  A list of ticks or columns is written
to a temporary tick file once, as a sweep writes it.
"""

from __future__ import annotations

import concurrent.futures as cf
import os
from array import array
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

import halvorn
from halvorn import _fanout
from halvorn._progress import reporter
from halvorn._research_splits import Run
from halvorn._unit_text import account_currency
from halvorn.sweep import _totals


class Outcome(NamedTuple):
    """What a research workflow keeps of one run: its totals, and its equity
    samples with their times, the last of which is always the run's final
    equity.  A run asked to keep its fills has them too."""

    ticks: int
    fills: int
    liquidations: int
    final_equity: int
    min_equity: int
    fees_paid: int
    funding_paid: int
    equity_curve: array  # of 'q'
    equity_times: array  # of 'q'
    fill_records: tuple[Any, ...] | None
    liquidation_records: tuple[Any, ...] | None
    currency: str = "USDT"  # what its money is in: USDT, or an inverse contract's coin


def closing_curve(curve: Sequence[int], times: Sequence[int], ticks: int, every: int,
                  final: int, run: Run) -> tuple[array, array]:
    """The equity samples of a run over a stretch ending before `end`, closed
    by its final equity.

    A run samples after every `every`-th tick; when its ticks are not a
    multiple of that, the final equity is one more sample, taken at `run`'s
    end - 1
    (the last time the stretch holds), and otherwise it replaces the last
    sample, which it differs from only by what the end of the run booked.  So
    the returns of every run add up to its total return, and runs over
    stretches that follow one another chain exactly.
    """
    values = array("q", curve)
    # A run of no ticks has no time of its own to sample at.
    stamps = array("q", times if ticks else [run.start])
    if ticks % every != 0 or len(values) == 1:
        values.append(final)
        stamps.append(run.end - 1)
    else:
        values[-1] = final
    return values, stamps


def run_fold(build: Callable[..., Any], params: dict[str, Any], path: str, run: Run,
             balance: int | str, venue: Any, batch: int, equity_every: int, keep: bool,
             marks: str | None, depth: str | None) -> Outcome:
    """Runs ``build(**params)`` over `run`'s stretch of the tick file at
    `path`, after showing it the warm-up on an account whose trades are
    thrown away; the same strategy object trades the stretch on a new account
    with `balance`."""
    from halvorn import data
    from halvorn import venue as venues

    ticks = halvorn.load_ticks(path)
    if venue is None:
        venue = venues.Venue(instrument=ticks.instrument)
    marks_source = data.load_marks(marks) if marks is not None else None
    depth_source = data.load_depth(depth) if depth is not None else None

    def market(start: int, end: int) -> dict[str, Any]:
        extra: dict[str, Any] = {}
        if marks_source is not None:
            extra["marks"] = data.between(marks_source, start, end)
        if depth_source is not None:
            extra["depth"] = data.between(depth_source, start, end)
        return extra

    strategy = build(**params)
    if run.warmup < run.start:
        venues.run(strategy, data.between(ticks, run.warmup, run.start), balance, venue=venue,
                   batch=batch, **market(run.warmup, run.start))
    result = venues.run(strategy, data.between(ticks, run.start, run.end), balance, venue=venue,
                        batch=batch, equity_every=equity_every, **market(run.start, run.end))
    curve, times = closing_curve(result.equity_curve, result.equity_times, result.ticks,
                                 equity_every, result.final_equity, run)
    return Outcome(
        **_totals(result),
        equity_curve=curve,
        equity_times=times,
        fill_records=tuple(result.fills[i] for i in range(len(result.fills))) if keep else None,
        liquidation_records=tuple(result.liquidations) if keep else None,
        currency=account_currency(result),
    )


class Series:
    """The files the runs read, by absolute path, and the exchange times of
    the ticks, read from a checked mapping of the tick file.

    The whole tick file is checked once here (its checksum and its order),
    since the runs read slices of it, and a slice cannot check the checksum
    of records it does not read.
    """

    def __init__(self, ticks: Any, venue: Any, marks: Any, depth: Any) -> None:
        from halvorn import data
        from halvorn.sweep import _TickFile

        self._file: _TickFile | None = None
        bounds: tuple[int, int] | None = None
        if isinstance(ticks, data.TickSlice):
            bounds = (ticks.first, ticks.stop)
            ticks = ticks.source
        if isinstance(ticks, Mapping) and "exch_ts" not in ticks:
            raise TypeError("the research workflows run one instrument; give its ticks, not a "
                            "dict of symbol to ticks")
        self._file = _TickFile(ticks, venue)
        try:
            self.path = self._file.path
            times = data.to_arrays(self.path)["exch_ts"]
            self.times = times[bounds[0]:bounds[1]] if bounds else times
            if len(self.times) == 0:
                raise ValueError("the series has no ticks")
            self.marks = self._market_path(marks, data.MarkSource, "marks", "load_marks")
            self.depth = self._market_path(depth, data.DepthSource, "depth", "load_depth")
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _market_path(value: Any, kind: Any, name: str, loader: str) -> str | None:
        if value is None:
            return None
        if not isinstance(value, kind):
            raise TypeError(f"{name} must be a halvorn.data.{kind.__name__} "
                            f"(halvorn.data.{loader}) or None, not {type(value).__name__}")
        return os.path.abspath(value.path)

    def close(self) -> None:
        if self._file is not None:
            self._file.close()
            self._file = None


class Runner:
    """Runs rounds of runs on one executor with one progress count.

    With no executor it starts a process pool once and keeps it for every
    round; with one, it hands each round to it.  A round is a list of tasks
    for `run_fold`; what stops a round (a failure, a time limit, a dead
    worker, a Ctrl-C) is raised with the runs that finished left in
    `finished`.
    """

    def __init__(self, executor: cf.Executor | None, limit: float | None, progress: Any,
                 total: int, name: str) -> None:
        self.executor = executor
        self.limit = limit
        self.total = total
        self.done = 0
        self.name = name
        report, self._bar = reporter(progress, total, "runs", scale=False)
        self._report = report or _fanout.quiet
        self._workers: _fanout.Workers | None = None

    def __enter__(self) -> Runner:
        self._report(0, self.total)
        return self

    def __exit__(self, kind: type[BaseException] | None, *rest: object) -> None:
        try:
            if self._workers is not None:
                self._workers.end(at_once=kind is not None)
                self._workers = None
        finally:
            if self._bar is not None:
                self._bar.close()

    def run(self, tasks: list[tuple[Any, ...]], labels: list[str], whats: list[str],
            finished: dict[int, Outcome]) -> None:
        """Runs `tasks` (each `run_fold`'s arguments) into `finished`."""
        if not tasks:
            return
        work = _fanout.Work(run_fold, tasks, lambda k: labels[k], lambda k: whats[k],
                            origin="halvorn.research", name=self.name, unit="run", units="runs")
        base = self.done

        def report(done: int, total: int) -> None:
            self.done = base + done
            if done:
                self._report(self.done, self.total)

        if self.executor is None:
            if self._workers is None:
                self._workers = _fanout.Workers(_fanout.worker_count(self.total))
            _fanout.gather_own(self._workers, work, self.limit, report, finished)
        else:
            _fanout.gather_submitted(self.executor, work, self.limit, report, finished)
