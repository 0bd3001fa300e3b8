"""What one run did, as numbers, tables and a chart a person can look at."""

import os
from collections.abc import Mapping, Sequence, Sized
from dataclasses import dataclass
from typing import Literal, Protocol

import pandas

from halvorn import Tick, TickSource
from halvorn.venue import Venue

__all__ = ["Stats", "stats", "Summary", "summary", "round_trips", "fills_frame", "equity_frame",
           "plot", "html"]

# A series of a user's own panel: a pandas Series indexed by time, or
# (times in ns, values); a panel is one series or several by line name.
_Series = pandas.Series | tuple[Sequence[int], Sequence[float]]
_Panels = Mapping[str, _Series | Mapping[str, _Series]] | None

# The ticks a run was made on: one series, or for a run of several
# instruments a dict of symbol to series, as venue.run took them.
_Ticks = TickSource | Sequence[Tick] | Mapping[str, TickSource | Sequence[Tick]] | None

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

@dataclass(frozen=True, kw_only=True)
class Summary:
    """The statistics of a venue run in USDT and calendar time (365-day years,
    for runs of 30 days or more); None marks what the run cannot give."""

    strategy: str
    symbol: str | None
    symbols: tuple[str, ...]
    start: int | None
    end: int | None
    ticks: int
    samples: int
    annualised: bool
    total_return: float | None
    annual_return: float | None
    volatility: float | None
    volatility_per_period: float | None
    sharpe: float | None
    sharpe_per_period: float | None
    sortino: float | None
    sortino_per_period: float | None
    calmar: float | None
    max_drawdown: float | None
    max_drawdown_usdt: float | None
    drawdown_ns: int | None
    periods_per_year: float | None
    psr: float | None
    min_trl_ns: float | None
    benchmark: float
    confidence: float
    exposure: float | None
    trips: int
    open_trips: int
    win_rate: float | None
    profit_factor: float | None
    expectancy: float | None
    sqn: float | None
    kelly: float | None
    average_trade: float | None
    best_trade: float | None
    worst_trade: float | None
    average_duration_ns: float | None
    fills: int
    liquidations: int
    fees_paid: float
    funding: float
    buy_and_hold: float | None
    buy_and_hold_each: Mapping[str, float | None] = ...
    beta: float | None = None
    alpha_per_period: float | None = None
    alpha: float | None = None
    currency: str = "USDT"
    def table(self) -> list[tuple[str, str]]:
        """(label, formatted value) pairs, in display order."""

def summary(
    run: _Run,
    *,
    ticks: _Ticks = None,
    venue: Venue | Mapping[str, Venue] | None = None,
    benchmark: float = 0.0,
    confidence: float = 0.95,
) -> Summary:
    """The annualised statistics and trade statistics of a venue run."""

def round_trips(
    run: _Run,
    *,
    ticks: _Ticks = None,
    venue: Venue | Mapping[str, Venue] | None = None,
    units: Literal["decimal", "float"] = "decimal",
) -> pandas.DataFrame:
    """The run's positions from open to flat, one row per trip (needs halvorn[report])."""

def fills_frame(
    run: _Run,
    *,
    venue: Venue | Mapping[str, Venue] | None = None,
    units: Literal["decimal", "float"] = "decimal",
) -> pandas.DataFrame:
    """The run's fills, one row per fill (needs halvorn[report])."""

def equity_frame(run: _Run) -> pandas.DataFrame:
    """The equity samples with returns and drawdown (needs halvorn[report])."""

def plot(
    run: _Run,
    path: str | os.PathLike[str],
    *,
    ticks: _Ticks = None,
    panels: _Panels = None,
) -> None:
    """Write a PNG: equity, drawdown, and the fills over price (needs halvorn[report])."""

def html(
    run: _Run,
    path: str | os.PathLike[str],
    *,
    ticks: _Ticks = None,
    title: str | None = None,
    max_fills: int = 500,
    venue: Venue | Mapping[str, Venue] | None = None,
    max_trips: int = 500,
    panels: _Panels = None,
) -> None:
    """Write one self-contained HTML page: interactive charts, the statistics,
    the round trips and the fills (needs halvorn[report])."""
