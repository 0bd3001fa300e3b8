"""Run one strategy over a grid of parameters on every core, and judge the search."""

import concurrent.futures
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

import pandas

from halvorn import Tick, TickSource, _BatchStrategy, _PerTickStrategy

__all__ = ["run", "Result", "Row", "parameter_sets", "returns"]

def parameter_sets(
    grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
) -> list[dict[str, Any]]:
    """The parameter sets a sweep over `grid` runs, in the order it runs them:
    every combination of a mapping (first name slowest), or an explicit list."""

def returns(equity_curve: Sequence[int]) -> list[float]:
    """Per-period returns of an equity curve, (e_i - e_{i-1}) / e_0."""

@dataclass(frozen=True, kw_only=True, repr=False)
class Row:
    """What one parameter set did: its parameters and the totals of its run,
    money in cash units, printed in USDT."""

    params: dict[str, Any]
    ticks: int
    fills: int
    liquidations: int
    final_equity: int
    min_equity: int
    fees_paid: int
    funding_paid: int
    total_return: float
    sharpe: float | None

class Result:
    """A finished sweep: a row per parameter set and the performance matrix, in
    grid order."""

    def __init__(self, *, rows: Sequence[Row], columns: Sequence[Sequence[float]]) -> None: ...
    @property
    def rows(self) -> tuple[Row, ...]:
        """One row per parameter set, in grid order."""
    @property
    def periods(self) -> int:
        """Returns per parameter set."""
    @property
    def matrix(self) -> memoryview:
        """Read-only float64 view, shape (periods, parameter sets)."""
    def columns(self) -> list[list[float]]:
        """The matrix by parameter set, in grid order."""
    @property
    def best(self) -> Row:
        """The row with the highest Sharpe ratio, the earliest on a tie."""
    def deflated_sharpe_ratio(self) -> float:
        """Deflated Sharpe ratio of the best set against this many tries."""
    def probability_of_backtest_overfitting(self, n_blocks: int = 16) -> float:
        """Probability of backtest overfitting of the search, by `n_blocks` blocks."""
    def to_frame(self) -> pandas.DataFrame:
        """The rows as a DataFrame (needs halvorn[report]); money in USDT."""
    def table(self) -> str:
        """The rows as a text table, money in USDT; what `print(result)` shows."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

def run(
    build: Callable[..., _PerTickStrategy | _BatchStrategy],
    grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
    ticks: TickSource | Sequence[Tick] | Mapping[str, Any] | Any,
    balance: int | str,
    *,
    venue: object | None = None,
    batch: int = 1,
    equity_every: int,
    executor: concurrent.futures.Executor | None = None,
    progress: bool | Callable[[int, int], object] | None = None,
    timeout: float | None = None,
) -> Result:
    """Run ``build(**params)`` for every parameter set of `grid`; `balance` in
    whole USDT or as decimal text of USDT, `equity_every` ticks between equity samples, `timeout` seconds
    at most per set.  The exception that stops a started sweep carries the
    finished sets as ``partial``, a `Result` or None."""

# What the research workflows share with a sweep: how a series reaches the
# workers, and the checks of the arguments both take.
class _TickFile:
    path: Any
    count: int
    directory: str | None
    def __init__(self, ticks: Any, venue: Any = None) -> None: ...
    def close(self) -> None: ...

def _positive_int(value: object, name: str) -> int: ...
def _totals(result: Any) -> dict[str, int]: ...
def _result(sets: list[dict[str, Any]], outcomes: list[Any]) -> Result: ...
def _check_venue(venue: object) -> None: ...
