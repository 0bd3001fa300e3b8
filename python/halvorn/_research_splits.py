"""Where the research workflows cut a series: the training and test windows of
a walk forward, and the groups and splits of a combinatorial purged
cross-validation.

Everything here is arithmetic on the exchange times of the series (a
sequence of int nanoseconds, in order): no run happens here, so the cuts can
be checked on their own.  A stretch is always half-open, [start, end) in ns,
the form `halvorn.data.between` takes.  Cuts by tick count are placed at the
exchange time of the tick at that count; ticks that share that time go to
the later stretch, as a time cut puts them.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass


def _count(value: object, name: str, least: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    return value


def _unit(by: object) -> str:
    if by not in ("time", "ticks"):
        raise ValueError(f"by must be 'time' (lengths in ns) or 'ticks' (lengths in ticks), "
                         f"got {by!r}")
    return str(by)


@dataclass(frozen=True, kw_only=True)
class WalkForward:
    """Training windows and the test windows after them.

    Lengths are in ns with ``by="time"`` and in ticks with ``by="ticks"``.
    Window i trains on `train` (rolling: the `train` before its test;
    anchored: everything from the first window's start) and tests on the
    `test` that starts `purge` after its training ends, so the test windows
    follow one another without a gap.  Every run first shows the strategy the
    `warmup` before its start, on an account of its own whose trades are
    thrown away, so the first window starts `warmup` into the series.  Only
    whole test windows are made.
    """

    train: int
    test: int
    anchored: bool = False
    by: str = "time"
    warmup: int = 0
    purge: int = 0

    def __post_init__(self) -> None:
        _count(self.train, "train", 1)
        _count(self.test, "test", 1)
        _count(self.warmup, "warmup", 0)
        _count(self.purge, "purge", 0)
        _unit(self.by)
        if not isinstance(self.anchored, bool):
            raise TypeError(f"anchored must be a bool, not {type(self.anchored).__name__}")


@dataclass(frozen=True, kw_only=True)
class PurgedCV:
    """A combinatorial purged cross-validation: the series in `groups` equal
    stretches (by tick count with ``by="ticks"``, by time with ``by="time"``),
    every choice of `test_groups` of them as the test set.

    A decision at time t is taken to reach to t + `purge` (ns): the training
    periods whose span comes within `purge` before a test group are dropped,
    and so are those within `embargo` (ns) after one.  Each group is run on
    its own after a `warmup` (ns or ticks, as `by`) taken from the stretch
    before it; that stretch may be a test group, so the embargo used is at
    least the warm-up's length in time.
    """

    groups: int
    test_groups: int
    purge: int = 0
    embargo: int = 0
    warmup: int = 0
    by: str = "ticks"

    def __post_init__(self) -> None:
        _count(self.groups, "groups", 2)
        _count(self.test_groups, "test_groups", 1)
        if self.test_groups >= self.groups:
            raise ValueError(f"test_groups must be below groups ({self.groups}), got "
                             f"{self.test_groups}: something must be left to train on")
        _count(self.purge, "purge", 0)
        _count(self.embargo, "embargo", 0)
        _count(self.warmup, "warmup", 0)
        _unit(self.by)

    @property
    def paths(self) -> int:
        """Backtest paths the splits make: C(groups - 1, test_groups - 1)."""
        return math.comb(self.groups - 1, self.test_groups - 1)


@dataclass(frozen=True)
class Run:
    """The stretch one run covers and the warm-up before it, in ns."""

    warmup: int
    """Where the warm-up starts (equal to start when there is none)."""
    start: int
    end: int


@dataclass(frozen=True)
class WindowSpans:
    """Window `index` of a walk forward: its training run and its test run."""

    index: int
    train: Run
    test: Run


class _Cuts:
    """Exchange times by tick position: where a count of ticks falls."""

    def __init__(self, times: Sequence[int]) -> None:
        if len(times) == 0:
            raise ValueError("the series has no ticks to cut")
        self.times = times
        self.n = len(times)
        self.first = int(times[0])
        self.end = int(times[-1]) + 1  # the series as [first, end)

    def at(self, position: int) -> int:
        """The time of the tick at `position`; past the last, the series' end."""
        if position >= self.n:
            return self.end
        return int(self.times[max(position, 0)])


def walk_forward_windows(split: WalkForward, times: Sequence[int]) -> list[WindowSpans]:
    """The windows of `split` over a series with these exchange times.

    Raises `ValueError` when the series is too short for one whole window.
    """
    cuts = _Cuts(times)
    windows: list[WindowSpans] = []
    time_of: Callable[[int], int]
    if split.by == "time":
        origin, stop = cuts.first + split.warmup, cuts.end
        time_of = int
    else:
        origin, stop = split.warmup, cuts.n
        time_of = cuts.at
    i = 0
    while True:
        train_start = origin if split.anchored else origin + i * split.test
        train_end = origin + split.train + i * split.test
        test_start = train_end + split.purge
        test_end = test_start + split.test
        if test_end > stop:
            break
        windows.append(WindowSpans(
            i,
            Run(time_of(train_start - split.warmup), time_of(train_start), time_of(train_end)),
            Run(time_of(test_start - split.warmup), time_of(test_start), time_of(test_end))))
        i += 1
    if not windows:
        unit = "ns" if split.by == "time" else "ticks"
        length = (cuts.end - cuts.first) if split.by == "time" else cuts.n
        need = split.warmup + split.train + split.purge + split.test
        raise ValueError(f"the series spans {length} {unit} and one window needs {need} "
                         f"(warmup + train + purge + test): shorten the windows")
    return windows


def purged_groups(split: PurgedCV, times: Sequence[int]) -> list[Run]:
    """The groups of `split`: equal stretches of the series after the first
    warm-up, each with the warm-up before it.  Raises `ValueError` when a
    group would be empty."""
    cuts = _Cuts(times)
    groups: list[Run] = []
    if split.by == "ticks":
        origin, n = split.warmup, cuts.n - split.warmup
        if n < split.groups:
            raise ValueError(f"{cuts.n} ticks leave {max(n, 0)} after the warm-up, fewer than "
                             f"the {split.groups} groups")
        bounds = [origin + n * g // split.groups for g in range(split.groups + 1)]
        for g in range(split.groups):
            groups.append(Run(cuts.at(bounds[g] - split.warmup), cuts.at(bounds[g]),
                              cuts.at(bounds[g + 1])))
    else:
        origin = cuts.first + split.warmup
        span = cuts.end - origin
        if span < split.groups:
            raise ValueError(f"the series spans {cuts.end - cuts.first} ns, too little for "
                             f"{split.groups} groups after a warm-up of {split.warmup} ns")
        bounds = [origin + span * g // split.groups for g in range(split.groups + 1)]
        for g in range(split.groups):
            groups.append(Run(bounds[g] - split.warmup, bounds[g], bounds[g + 1]))
    for g, group in enumerate(groups):
        if group.end <= group.start:
            raise ValueError(f"group {g} of {split.groups} holds no time: the series has too "
                             "few distinct exchange times for that many groups")
    return groups


def splits(split: PurgedCV) -> list[tuple[int, ...]]:
    """Every choice of test groups, in lexicographic order."""
    return list(itertools.combinations(range(split.groups), split.test_groups))


def paths(split: PurgedCV) -> list[list[tuple[int, int]]]:
    """The backtest paths: path p is, for each group in time order, the
    (split, group) whose test result it takes.  A group is tested in
    C(groups - 1, test_groups - 1) splits; the j-th of them, in split order,
    goes to path j."""
    taken = [0] * split.groups
    out: list[list[tuple[int, int]]] = [[] for _ in range(split.paths)]
    for s, tested in enumerate(splits(split)):
        for g in tested:
            out[taken[g]].append((s, g))
            taken[g] += 1
    return out


def embargo_of(split: PurgedCV, groups: Sequence[Run]) -> int:
    """The embargo used, in ns: at least the longest warm-up a group's run
    read, since that warm-up may lie in the test group before it."""
    longest = max((g.start - g.warmup for g in groups), default=0)
    return max(split.embargo, longest)


def kept(span: tuple[int, int], tested: Sequence[Run], purge: int, embargo: int) -> bool:
    """Whether a training period whose ticks lie in [span[0], span[1]] (ns)
    stays: it must reach neither into a test group, nor within `purge`
    before one, nor within `embargo` after one."""
    first, last = span
    for group in tested:
        if first < group.end + embargo and last >= group.start - purge:
            return False
    return True
