"""What a research workflow tries in each training window: a grid, a random
search over a space, or the trials an optimisation library's sampler asks
for.

A grid and a random search are fixed lists of parameter sets, the same in
every window.  A sampler is asked for trials in rounds and told each one's
objective, so what it asks next depends on what it has been told; every
trial it asks for is run, and every one is counted as a trial of the search.
"""

from __future__ import annotations

import copy
import math
import random
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from halvorn._optional import require
from halvorn.sweep import parameter_sets


@dataclass(frozen=True)
class IntRange:
    """Integers from `low` to `high`, both included, in steps of `step`;
    drawn evenly, or evenly in their logarithm with ``log=True``."""

    low: int
    high: int
    step: int = 1
    log: bool = False

    def __post_init__(self) -> None:
        for name in ("low", "high", "step"):
            value = getattr(self, name)
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(f"IntRange {name} must be an int, not {type(value).__name__}")
        if self.step < 1 or self.high < self.low:
            raise ValueError(f"IntRange needs low <= high and step >= 1, got {self!r}")
        if self.log and (self.low < 1 or self.step != 1):
            raise ValueError("a logarithmic IntRange needs low >= 1 and step 1")

    def draw(self, rng: random.Random) -> int:
        if self.log:
            value = math.exp(rng.uniform(math.log(self.low), math.log(self.high + 1)))
            return min(self.high, max(self.low, math.floor(value)))
        return self.low + self.step * rng.randrange((self.high - self.low) // self.step + 1)


@dataclass(frozen=True)
class FloatRange:
    """Floats from `low` to `high`, drawn evenly, or evenly in their
    logarithm with ``log=True``."""

    low: float
    high: float
    log: bool = False

    def __post_init__(self) -> None:
        if not (math.isfinite(self.low) and math.isfinite(self.high) and self.low <= self.high):
            raise ValueError(f"FloatRange needs finite low <= high, got {self!r}")
        if self.log and self.low <= 0:
            raise ValueError("a logarithmic FloatRange needs low > 0")

    def draw(self, rng: random.Random) -> float:
        if self.log:
            return math.exp(rng.uniform(math.log(self.low), math.log(self.high)))
        return rng.uniform(self.low, self.high)


def _check_space(space: object) -> Mapping[str, Any]:
    if not isinstance(space, Mapping) or not space:
        raise TypeError("space must be a non-empty mapping of parameter name to a list of choices, "
                        "an IntRange or a FloatRange")
    for name, dimension in space.items():
        if not isinstance(name, str):
            raise TypeError(f"space has the parameter name {name!r}; names must be str")
        if isinstance(dimension, (IntRange, FloatRange)):
            continue
        if isinstance(dimension, (str, bytes)) or not isinstance(dimension, Sequence):
            raise TypeError(f"space[{name!r}] must be a list of choices, an IntRange or a "
                            f"FloatRange, not {type(dimension).__name__}")
        if not dimension:
            raise ValueError(f"space[{name!r}] has no choices")
    return space


@dataclass(frozen=True, kw_only=True)
class RandomSearch:
    """`trials` parameter sets drawn from `space` with a generator seeded by
    `seed`; the same sets in every window, in the order drawn.  `space` maps
    each parameter to a list of choices (drawn evenly), an `IntRange` or a
    `FloatRange`."""

    space: Mapping[str, Any]
    trials: int
    seed: int = 0

    def __post_init__(self) -> None:
        _check_space(self.space)
        if not isinstance(self.trials, int) or isinstance(self.trials, bool) or self.trials < 1:
            raise ValueError(f"trials must be a positive int, got {self.trials!r}")

    def parameter_sets(self) -> list[dict[str, Any]]:
        """The sets this search runs, in order."""
        rng = random.Random(self.seed)
        sets = []
        for _ in range(self.trials):
            sets.append({name: (dimension.draw(rng) if isinstance(dimension, (IntRange, FloatRange))
                                else dimension[rng.randrange(len(dimension))])
                         for name, dimension in self.space.items()})
        return sets


@dataclass(frozen=True, kw_only=True)
class OptunaSearch:
    """`trials` parameter sets per window asked of an Optuna sampler, which
    is told each set's objective on the training stretch before it is asked
    for more.  `sampler` is an ``optuna.samplers`` sampler (copied for each
    window, so that windows do not share its state) or None for Optuna's
    default; `space` is as for `RandomSearch`.  `batch` is how many trials a
    window asks for at once (None: enough to keep every worker busy).

    Needs optuna: ``pip install halvorn[optuna]``.
    """

    space: Mapping[str, Any]
    trials: int
    sampler: Any = None
    batch: int | None = None

    def __post_init__(self) -> None:
        _check_space(self.space)
        if not isinstance(self.trials, int) or isinstance(self.trials, bool) or self.trials < 1:
            raise ValueError(f"trials must be a positive int, got {self.trials!r}")
        if self.batch is not None and (not isinstance(self.batch, int) or self.batch < 1):
            raise ValueError(f"batch must be a positive int or None, got {self.batch!r}")


class Trials:
    """The parameter sets of one window's search, as they are asked for, and
    what each scored."""

    def __init__(self, search: Any, optuna: Any = None) -> None:
        self.sets: list[dict[str, Any]] = []
        self.scores: list[float | None] = []
        self._pending: dict[int, Any] = {}
        self._study = None
        self._limit = 0
        self._told = 0
        if isinstance(search, OptunaSearch):
            sampler = copy.deepcopy(search.sampler) if search.sampler is not None else None
            self._study = optuna.create_study(direction="maximize", sampler=sampler)
            self._space = search.space
            self._optuna = optuna
            self._limit = search.trials
        else:
            self.sets = list(search)
            self._limit = len(self.sets)

    @property
    def adaptive(self) -> bool:
        return self._study is not None

    def ask(self, most: int) -> list[int]:
        """Numbers of up to `most` new sets to run (all of a fixed list at once)."""
        if self._study is None:
            if self.scores:
                return []
            self.scores = [None] * len(self.sets)
            return list(range(len(self.sets)))
        asked: list[int] = []
        while len(self.sets) < self._limit and len(asked) < most:
            trial = self._study.ask()
            params = {name: _suggest(trial, name, dimension)
                      for name, dimension in self._space.items()}
            self._pending[len(self.sets)] = trial
            asked.append(len(self.sets))
            self.sets.append(params)
            self.scores.append(None)
        return asked

    def tell(self, k: int, score: float | None) -> None:
        self.scores[k] = score
        self._told += 1
        if self._study is not None:
            trial = self._pending.pop(k)
            if score is None or math.isnan(score):
                self._study.tell(trial, state=self._optuna.trial.TrialState.FAIL)
            else:
                self._study.tell(trial, score)

    @property
    def finished(self) -> bool:
        """Whether every set has been asked for and told its score."""
        return self._told == self._limit


def _suggest(trial: Any, name: str, dimension: Any) -> Any:
    if isinstance(dimension, IntRange):
        return trial.suggest_int(name, dimension.low, dimension.high, step=dimension.step,
                                 log=dimension.log)
    if isinstance(dimension, FloatRange):
        return trial.suggest_float(name, dimension.low, dimension.high, log=dimension.log)
    return trial.suggest_categorical(name, list(dimension))


def fixed_sets(search: Any) -> list[dict[str, Any]] | None:
    """The parameter sets of a grid or a random search; None for a sampler."""
    if isinstance(search, OptunaSearch):
        return None
    if isinstance(search, RandomSearch):
        return search.parameter_sets()
    return parameter_sets(search)


def optuna_of(search: Any) -> Any:
    """The optuna module when `search` needs it, imported; else None."""
    if not isinstance(search, OptunaSearch):
        return None
    optuna = require("optuna", "optuna", "OptunaSearch")
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


def new_trials(search: Any, fixed: list[dict[str, Any]] | None, optuna: Any) -> Trials:
    return Trials(search if fixed is None else fixed, optuna)

