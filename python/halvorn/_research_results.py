"""What the research workflows return: the windows of a walk forward with the
sets chosen in them, the stitched out-of-sample run, the splits and paths of
a purged cross-validation, and the statistics of each search.

Returns are the sweep's: with equity samples e_0 .. e_T of a run, the return
of period i is (e_i - e_{i-1}) / e_0, and the last sample of every run here
is its final equity, so a run's returns add up to its total return.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import halvorn
from halvorn._research_runs import Outcome
from halvorn._research_splits import PurgedCV, Run, WalkForward
from halvorn.sweep import Result, Row, returns
from halvorn.sweep import _result as sweep_result

OBJECTIVES = ("sharpe", "total_return", "return_over_drawdown")
"""The objectives a workflow chooses a set by, each a function of a run's
returns: the per-period Sharpe ratio, the total return (their sum), and the
total return over the largest drawdown of the cumulative return."""


def check_objective(objective: object) -> str:
    if objective not in OBJECTIVES:
        raise ValueError(f"objective must be one of {', '.join(map(repr, OBJECTIVES))}, got "
                         f"{objective!r}")
    return str(objective)


def score(objective: str, column: Sequence[float]) -> float | None:
    """The objective of a run with these returns; None where it is undefined
    (a Sharpe ratio of fewer than 4 periods or of equity that never moved; a
    return over a drawdown of none, unless the return is positive, which
    scores infinity)."""
    if objective == "sharpe":
        try:
            return halvorn.sharpe_ratio(list(column))
        except ValueError:
            return None
    total = math.fsum(column)
    if objective == "total_return":
        return total
    peak = cumulative = 0.0
    drawdown = 0.0
    for r in column:
        cumulative += r
        peak = max(peak, cumulative)
        drawdown = max(drawdown, peak - cumulative)
    if drawdown == 0.0:
        return math.inf if total > 0 else None
    return total / drawdown


def best(scores: Sequence[float | None]) -> int | None:
    """The highest score's index, the earliest on a tie; None when no score is
    defined."""
    chosen = None
    for k, value in enumerate(scores):
        if value is not None and not math.isnan(value) and (
                chosen is None or value > scores[chosen]):  # type: ignore[operator]
            chosen = k
    return chosen


def logit(chosen: int, outside: Sequence[float | None]) -> float:
    """Where the in-sample winner `chosen` lands among all sets out of sample,
    as the overfitting statistic measures it: w = (below + ties / 2 + 1) /
    (N + 1) over the other sets, clamped away from 0 and 1, and ln(w / (1 -
    w)).  An undefined score is below every defined one."""
    def key(value: float | None) -> float:
        return -math.inf if value is None or math.isnan(value) else value

    x = key(outside[chosen])
    below = sum(1 for k, v in enumerate(outside) if k != chosen and key(v) < x)
    ties = sum(1 for k, v in enumerate(outside) if k != chosen and key(v) == x)
    omega = (below + ties * 0.5 + 1) / (len(outside) + 1)
    omega = min(max(omega, 2.220446049250313e-16), 0.9999999999999998)
    return math.log(omega / (1 - omega))


def result_of(sets: Sequence[dict[str, Any]], outcomes: Sequence[Outcome]) -> Result:
    """The runs of `sets` over one stretch as a sweep's result: a row each, and
    the returns of each as a column."""
    return sweep_result(list(sets), list(outcomes))


def _rate(total_return: float, run: Run) -> float:
    return total_return / max(run.end - run.start, 1)


@dataclass(frozen=True, eq=False)
class Window:
    """One window of a walk forward: the stretches it trained and tested on,
    every set tried there, run on both, and the set its objective chose."""

    index: int
    train: Run
    """The training stretch, [start, end) in ns, and where its warm-up starts."""
    test: Run
    """The test stretch and its warm-up."""
    training: Result
    """Every set tried, run on the training stretch, in the order tried."""
    testing: Result
    """The same sets run on the test stretch."""
    chosen: int
    """The index in `training.rows` of the set the objective chose."""
    in_sample_score: float
    out_of_sample_score: float | None
    logit: float
    """Where the chosen set landed among all sets on the test stretch."""
    in_sample_times: tuple[int, ...]
    """Times of the chosen set's equity samples on the training stretch."""
    fills: tuple[Any, ...] | None
    """The chosen set's fills on the test stretch (None in a partial result
    where its run with fills had not finished)."""
    liquidations: tuple[Any, ...] | None

    @property
    def params(self) -> dict[str, Any]:
        """The chosen set."""
        return self.training.rows[self.chosen].params

    @property
    def in_sample(self) -> Row:
        return self.training.rows[self.chosen]

    @property
    def out_of_sample(self) -> Row:
        return self.testing.rows[self.chosen]

    @property
    def efficiency(self) -> float | None:
        """Walk-forward efficiency of the window: the chosen set's total return
        per ns of the test stretch over its total return per ns of the
        training stretch; None when it earned nothing in sample."""
        in_rate = _rate(self.in_sample.total_return, self.train)
        if in_rate <= 0:
            return None
        return _rate(self.out_of_sample.total_return, self.test) / in_rate


@dataclass(frozen=True, eq=False)
class Stitched:
    """The test runs of the chosen sets, one window after another, as one
    account.

    Carry rule: a position open at a window's end is valued at that window's
    final equity, as a run's final equity values it (marked, not closed: no
    fee or spread is charged for leaving it), and the next window starts
    flat with a new account of the same balance; the stitched equity carries
    the profit so far forward, so its sample t of window j is the balance
    plus the final equity minus the balance of every window before j, plus
    window j's own sample minus the balance.  Sizes do not compound.
    """

    balance: int
    """Cash units each window's account starts with."""
    equity_curve: tuple[int, ...]
    equity_times: tuple[int, ...]
    spans: tuple[tuple[int, int], ...]
    """The test stretches, [start, end) in ns, in order."""
    fills: tuple[Any, ...]
    liquidations: tuple[Any, ...]
    currency: str = "USDT"
    """What the money is in: USDT, or an inverse contract's coin."""

    @property
    def final_equity(self) -> int:
        return self.equity_curve[-1]

    @property
    def returns(self) -> list[float]:
        return returns(self.equity_curve)

    @property
    def total_return(self) -> float:
        return (self.equity_curve[-1] - self.equity_curve[0]) / self.equity_curve[0]

    @property
    def sharpe(self) -> float | None:
        try:
            return halvorn.sharpe_ratio(self.returns)
        except ValueError:
            return None


def stitch(balance: int, windows: Sequence[Window], chosen: Sequence[Outcome]) -> Stitched:
    """The stitched run of `windows`, whose chosen sets' test runs are
    `chosen`, under the carry rule above."""
    curve = [balance]
    times: list[int] = []
    carried = 0
    fills: list[Any] = []
    liquidations: list[Any] = []
    for window, outcome in zip(windows, chosen):
        samples = outcome.equity_curve
        if not times:
            times.append(outcome.equity_times[0])
        curve.extend(carried + value for value in samples[1:])
        times.extend(outcome.equity_times[1:])
        carried += samples[-1] - balance
        fills.extend(window.fills or ())
        liquidations.extend(window.liquidations or ())
    return Stitched(balance=balance, equity_curve=tuple(curve), equity_times=tuple(times),
                    spans=tuple((w.test.start, w.test.end) for w in windows),
                    fills=tuple(fills), liquidations=tuple(liquidations),
                    currency=chosen[0].currency if chosen else "USDT")


class WalkForwardResult:
    """A finished walk forward: its windows, the stitched out-of-sample run
    and the statistics of the search."""

    def __init__(self, *, split: WalkForward, objective: str, windows: Sequence[Window],
                 stitched: Stitched) -> None:
        self.split = split
        self.objective = objective
        self.windows = tuple(windows)
        self.stitched = stitched

    @property
    def trials(self) -> int:
        """Every set run on a training stretch, in every window: the number of
        tries the deflated Sharpe ratio deflates by."""
        return sum(len(w.training) for w in self.windows)

    @property
    def efficiency(self) -> float | None:
        """Walk-forward efficiency: the chosen sets' total return per ns of the
        test stretches over their total return per ns of the training
        stretches, each summed over the windows; None when they earned
        nothing in sample."""
        in_rate = (math.fsum(w.in_sample.total_return for w in self.windows)
                   / sum(max(w.train.end - w.train.start, 1) for w in self.windows))
        if in_rate <= 0:
            return None
        out_rate = (math.fsum(w.out_of_sample.total_return for w in self.windows)
                    / sum(max(w.test.end - w.test.start, 1) for w in self.windows))
        return out_rate / in_rate

    def deflated_sharpe_ratio(self) -> float:
        """Probability that the best Sharpe ratio found on a training stretch is
        above what the best of this many tries would show by luck.

        `halvorn.deflated_sharpe_ratio` with the Sharpe ratio of every trial
        of every window (a trial without one counts as a try that earned
        nothing, 0), and the periods, skewness and kurtosis of the best
        trial's returns.  Raises its `ValueError`s.
        """
        sharpes: list[float] = []
        best_column: list[float] | None = None
        best_sharpe = -math.inf
        for w in self.windows:
            for k, row in enumerate(w.training.rows):
                value = 0.0 if row.sharpe is None else row.sharpe
                sharpes.append(value)
                if row.sharpe is not None and row.sharpe > best_sharpe:
                    best_sharpe, best_column = row.sharpe, w.training.columns()[k]
        if best_column is None:
            raise ValueError("no trial has a Sharpe ratio, so none is best")
        _, skewness, kurtosis = halvorn.moments(best_column)
        return halvorn.deflated_sharpe_ratio(sharpes, len(best_column), skewness, kurtosis)

    def probability_of_backtest_overfitting(self) -> float:
        """Share of the windows whose chosen set was at or below the median of
        the sets tried, on the test stretch (a window's logit at or below 0).
        Raises `ValueError` without windows."""
        if not self.windows:
            raise ValueError("no window finished, so there is nothing to judge")
        return sum(1 for w in self.windows if w.logit <= 0) / len(self.windows)

    def to_frame(self) -> Any:
        """One row per window (pandas, ``pip install halvorn[report]``): its
        stretches, the chosen set's parameters, its in-sample and
        out-of-sample score and return, the window's efficiency and logit."""
        from halvorn._optional import require

        pandas = require("pandas", "report", "WalkForwardResult.to_frame")
        records = []
        for w in self.windows:
            records.append({
                "train_start": pandas.Timestamp(w.train.start, unit="ns", tz="UTC"),
                "train_end": pandas.Timestamp(w.train.end, unit="ns", tz="UTC"),
                "test_start": pandas.Timestamp(w.test.start, unit="ns", tz="UTC"),
                "test_end": pandas.Timestamp(w.test.end, unit="ns", tz="UTC"),
                **{f"param_{k}": v for k, v in w.params.items()},
                "in_sample": w.in_sample_score, "out_of_sample": w.out_of_sample_score,
                "in_sample_return": w.in_sample.total_return,
                "out_of_sample_return": w.out_of_sample.total_return,
                "efficiency": w.efficiency, "logit": w.logit,
            })
        return pandas.DataFrame.from_records(records)

    def __repr__(self) -> str:
        return (f"WalkForwardResult({len(self.windows)} windows, {self.trials} trials, "
                f"out-of-sample return {self.stitched.total_return:.6g})")


@dataclass(frozen=True, eq=False)
class SplitResult:
    """One split of a purged cross-validation: its test groups, the set chosen
    on the rest, and how it did."""

    test_groups: tuple[int, ...]
    chosen: int
    in_sample_score: float
    out_of_sample_score: float | None
    logit: float
    training_periods: int
    """Training periods left after purging and the embargo."""


class PurgedResult:
    """A finished combinatorial purged cross-validation."""

    def __init__(self, *, split: PurgedCV, objective: str, groups: Sequence[Run],
                 embargo: int, runs: Sequence[Result], splits: Sequence[SplitResult],
                 paths: Sequence[Sequence[float]]) -> None:
        self.split = split
        self.objective = objective
        self.groups = tuple(groups)
        self.embargo = embargo
        """The embargo used, in ns (at least the warm-up's length)."""
        self.runs = tuple(runs)
        """Every set run over each group, a sweep result per group."""
        self.splits = tuple(splits)
        self.paths = tuple(tuple(p) for p in paths)
        """The out-of-sample returns of each backtest path, groups in order."""

    @property
    def path_sharpes(self) -> tuple[float | None, ...]:
        """The per-period Sharpe ratio of each path (None where undefined)."""
        out: list[float | None] = []
        for path in self.paths:
            try:
                out.append(halvorn.sharpe_ratio(list(path)))
            except ValueError:
                out.append(None)
        return tuple(out)

    def deflated_sharpe_ratio(self) -> float:
        """Probability that the best set's Sharpe ratio over every group is
        above what the best of this many sets would show by luck:
        `halvorn.deflated_sharpe_ratio` of each set's returns over all groups
        in order, as `sweep.Result.deflated_sharpe_ratio` judges a sweep."""
        by_group = [run.columns() for run in self.runs]
        columns = [[r for group in by_group for r in group[k]] for k in range(len(self.runs[0]))]
        whole = Result(rows=[Row(**{**vars(row), "sharpe": score("sharpe", column)})
                             for row, column in zip(self.runs[0].rows, columns)],
                       columns=columns)
        return whole.deflated_sharpe_ratio()

    def probability_of_backtest_overfitting(self) -> float:
        """Share of the splits whose chosen set was at or below the median of
        the sets on the split's test groups."""
        return sum(1 for s in self.splits if s.logit <= 0) / len(self.splits)

    def __repr__(self) -> str:
        return (f"PurgedResult({len(self.groups)} groups, {len(self.splits)} splits, "
                f"{len(self.paths)} paths)")
