"""Walk-forward optimisation and combinatorial purged cross-validation, on the
sweep's executors."""

import concurrent.futures
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import pandas

from halvorn import Tick, TickSource, _BatchStrategy, _PerTickStrategy
from halvorn.data import DepthSource, MarkSource, TickSlice
from halvorn.sweep import Result, Row

__all__ = ["WalkForward", "PurgedCV", "RandomSearch", "OptunaSearch", "IntRange", "FloatRange",
           "walk_forward", "purged_cv", "WalkForwardResult", "Window", "Stitched",
           "PurgedResult", "SplitResult", "Run", "OBJECTIVES", "html"]

OBJECTIVES: tuple[str, ...]

@dataclass(frozen=True, kw_only=True)
class WalkForward:
    """Training windows and the test windows after them (lengths in ns, or in
    ticks with by="ticks")."""

    train: int
    test: int
    anchored: bool = False
    by: str = "time"
    warmup: int = 0
    purge: int = 0
    def __post_init__(self) -> None: ...

@dataclass(frozen=True, kw_only=True)
class PurgedCV:
    """`groups` stretches, every choice of `test_groups` of them tested, with
    purging and an embargo in ns."""

    groups: int
    test_groups: int
    purge: int = 0
    embargo: int = 0
    warmup: int = 0
    by: str = "ticks"
    def __post_init__(self) -> None: ...
    @property
    def paths(self) -> int: ...

@dataclass(frozen=True)
class Run:
    """The stretch one run covers, [start, end) in ns, and where its warm-up starts."""

    warmup: int
    start: int
    end: int

@dataclass(frozen=True)
class IntRange:
    """Integers from `low` to `high`, both included."""

    low: int
    high: int
    step: int = 1
    log: bool = False
    def __post_init__(self) -> None: ...
    def draw(self, rng: Any) -> int: ...

@dataclass(frozen=True)
class FloatRange:
    """Floats from `low` to `high`."""

    low: float
    high: float
    log: bool = False
    def __post_init__(self) -> None: ...
    def draw(self, rng: Any) -> float: ...

@dataclass(frozen=True, kw_only=True)
class RandomSearch:
    """`trials` sets drawn from `space`, seeded."""

    space: Mapping[str, Any]
    trials: int
    seed: int = 0
    def __post_init__(self) -> None: ...
    def parameter_sets(self) -> list[dict[str, Any]]: ...

@dataclass(frozen=True, kw_only=True)
class OptunaSearch:
    """`trials` sets per window asked of an Optuna sampler (halvorn[optuna])."""

    space: Mapping[str, Any]
    trials: int
    sampler: Any = None
    batch: int | None = None
    def __post_init__(self) -> None: ...

@dataclass(frozen=True, eq=False)
class Window:
    """One window of a walk forward and the set chosen in it."""

    index: int
    train: Run
    test: Run
    training: Result
    testing: Result
    chosen: int
    in_sample_score: float
    out_of_sample_score: float | None
    logit: float
    in_sample_times: tuple[int, ...]
    fills: tuple[Any, ...] | None
    liquidations: tuple[Any, ...] | None
    @property
    def params(self) -> dict[str, Any]: ...
    @property
    def in_sample(self) -> Row: ...
    @property
    def out_of_sample(self) -> Row: ...
    @property
    def efficiency(self) -> float | None: ...

@dataclass(frozen=True, eq=False)
class Stitched:
    """The chosen sets' test runs, one window after another, as one account."""

    balance: int
    equity_curve: tuple[int, ...]
    equity_times: tuple[int, ...]
    spans: tuple[tuple[int, int], ...]
    fills: tuple[Any, ...]
    liquidations: tuple[Any, ...]
    currency: str = ...
    @property
    def final_equity(self) -> int: ...
    @property
    def returns(self) -> list[float]: ...
    @property
    def total_return(self) -> float: ...
    @property
    def sharpe(self) -> float | None: ...

class WalkForwardResult:
    """A finished walk forward."""

    split: WalkForward
    objective: str
    windows: tuple[Window, ...]
    stitched: Stitched
    def __init__(self, *, split: WalkForward, objective: str, windows: Sequence[Window],
                 stitched: Stitched) -> None: ...
    @property
    def trials(self) -> int: ...
    @property
    def efficiency(self) -> float | None: ...
    def deflated_sharpe_ratio(self) -> float: ...
    def probability_of_backtest_overfitting(self) -> float: ...
    def to_frame(self) -> pandas.DataFrame: ...

@dataclass(frozen=True, eq=False)
class SplitResult:
    """One split of a purged cross-validation."""

    test_groups: tuple[int, ...]
    chosen: int
    in_sample_score: float
    out_of_sample_score: float | None
    logit: float
    training_periods: int

class PurgedResult:
    """A finished combinatorial purged cross-validation."""

    split: PurgedCV
    objective: str
    groups: tuple[Run, ...]
    embargo: int
    runs: tuple[Result, ...]
    splits: tuple[SplitResult, ...]
    paths: tuple[tuple[float, ...], ...]
    def __init__(self, *, split: PurgedCV, objective: str, groups: Sequence[Run], embargo: int,
                 runs: Sequence[Result], splits: Sequence[SplitResult],
                 paths: Sequence[Sequence[float]]) -> None: ...
    @property
    def path_sharpes(self) -> tuple[float | None, ...]: ...
    def deflated_sharpe_ratio(self) -> float: ...
    def probability_of_backtest_overfitting(self) -> float: ...

_Search = Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]]
_Ticks = TickSource | TickSlice | Sequence[Tick] | Any

def walk_forward(
    build: Callable[..., _PerTickStrategy | _BatchStrategy],
    search: _Search | RandomSearch | OptunaSearch,
    ticks: _Ticks,
    balance: int | str,
    *,
    split: WalkForward,
    objective: str = "sharpe",
    equity_every: int,
    venue: object | None = None,
    batch: int = 1,
    executor: concurrent.futures.Executor | None = None,
    progress: bool | Callable[[int, int], object] | None = None,
    timeout: float | None = None,
    marks: MarkSource | None = None,
    depth: DepthSource | None = None,
) -> WalkForwardResult:
    """Walk `split` forward over `ticks`, choosing in each window by `objective`."""

def purged_cv(
    build: Callable[..., _PerTickStrategy | _BatchStrategy],
    search: _Search | RandomSearch,
    ticks: _Ticks,
    balance: int | str,
    *,
    split: PurgedCV,
    objective: str = "sharpe",
    equity_every: int,
    venue: object | None = None,
    batch: int = 1,
    executor: concurrent.futures.Executor | None = None,
    progress: bool | Callable[[int, int], object] | None = None,
    timeout: float | None = None,
    marks: MarkSource | None = None,
    depth: DepthSource | None = None,
) -> PurgedResult:
    """A combinatorial purged cross-validation of `search` over `ticks`."""

def html(result: WalkForwardResult, path: str | os.PathLike[str], *,
         title: str | None = None) -> None:
    """Write one self-contained HTML page about a walk forward to `path`."""
