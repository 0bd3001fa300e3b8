"""What one run did, as numbers, tables and a chart a person can look at."""

import os
from collections.abc import Sequence, Sized
from dataclasses import dataclass
from typing import Protocol

import pandas

from halvorn import Tick, TickSource

__all__ = ["Stats", "stats", "fills_frame", "equity_frame", "plot", "html"]

class _Run(Protocol):
    """What the report reads of a run: a `RunResult`, or a venue's run, which
    lists its fills and liquidations where a `RunResult` counts them."""

    @property
    def strategy(self) -> str: ...
    @property
    def ticks(self) -> int: ...
    @property
    def fills(self) -> int | Sized: ...
    @property
    def liquidations(self) -> int | Sized: ...
    @property
    def fees_paid(self) -> int: ...
    @property
    def funding_paid(self) -> int: ...
    @property
    def equity_curve(self) -> Sequence[int]: ...

@dataclass(frozen=True, kw_only=True)
class Stats:
    """The statistics of one run; periods are equity sampling intervals, money
    is in cash units, and None marks what needs a venue's run or is undefined."""

    strategy: str
    ticks: int
    periods: int
    total_return: float
    max_drawdown: float
    max_drawdown_cash: int
    drawdown_periods: int
    drawdown_ns: int | None
    sharpe: float | None
    psr: float | None
    min_trl: float | None
    benchmark: float
    confidence: float
    fills: int
    fees_paid: int
    funding_paid: int
    liquidations: int
    exposure: float | None
    def table(self) -> list[tuple[str, str]]:
        """(label, formatted value) pairs, in display order."""

def stats(run: _Run, *, benchmark: float = 0.0, confidence: float = 0.95) -> Stats:
    """The statistics of a run with an equity curve."""

def fills_frame(run: _Run) -> pandas.DataFrame:
    """The run's fills, one row per fill (needs halvorn[report])."""

def equity_frame(run: _Run) -> pandas.DataFrame:
    """The equity samples with returns and drawdown (needs halvorn[report])."""

def plot(
    run: _Run,
    path: str | os.PathLike[str],
    *,
    ticks: TickSource | Sequence[Tick] | None = None,
) -> None:
    """Write a PNG: equity, drawdown, and the fills over price (needs halvorn[report])."""

def html(
    run: _Run,
    path: str | os.PathLike[str],
    *,
    ticks: TickSource | Sequence[Tick] | None = None,
    title: str | None = None,
    max_fills: int = 500,
) -> None:
    """Write one self-contained HTML page: the chart, the statistics, the fills."""
