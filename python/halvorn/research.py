"""Choose parameters on the past and judge them on the future: walk-forward
optimisation and combinatorial purged cross-validation, on the sweep's
executors.

```python
from halvorn import research
split = research.WalkForward(train=8 * DAY, test=2 * DAY, warmup=HOUR, purge=HOUR)
result = research.walk_forward(Crossover, grid, ticks, 10_000, split=split, equity_every=1_000)
print(result.stitched.total_return, result.efficiency, result.deflated_sharpe_ratio())
research.html(result, "walk-forward.html")
```

A walk forward cuts the series into windows: in each, every parameter set
of the search is run on the training stretch, the set with the best
`objective` there is chosen, and every set is run on the test stretch after
it, so the chosen set's rank among them out of sample can be judged.  The
chosen sets' test runs, one window after another, are the stitched
out-of-sample run.  A purged cross-validation cuts the series into groups,
runs every set on each, and judges every choice of test groups against a
choice made on the rest, with the training periods next to a test group
purged.

Every run is the venue's own, exact (`halvorn.venue.run`), and every run
reads only its stretch of the tick file (`halvorn.data.between`).  The runs
go to a `concurrent.futures.Executor` as a sweep's do: None starts a process
pool over all cores, a thread pool keeps them in this process, a distributed
client's executor runs them on a cluster; progress, time limits, failures
and Ctrl-C are handled as a sweep handles them, and the exception that
stops a workflow carries what finished as ``partial``.  docs/research.md
has the rules and a recipe.
"""

from __future__ import annotations

import concurrent.futures as cf
from collections.abc import Callable, Iterable, Mapping
from typing import Any

from halvorn import _fanout
from halvorn._research_results import (OBJECTIVES, PurgedResult, SplitResult, Stitched, Window,
                                       WalkForwardResult, best, check_objective, logit,
                                       result_of, score, stitch)
from halvorn._research_runs import Outcome, Runner, Series
from halvorn._research_search import (FloatRange, IntRange, OptunaSearch, RandomSearch, Trials,
                                      fixed_sets, optuna_of)
from halvorn._research_splits import (PurgedCV, Run, WalkForward, embargo_of, kept, paths,
                                      purged_groups, splits, walk_forward_windows)
from halvorn.sweep import _check_fanout, returns

__all__ = ["WalkForward", "PurgedCV", "RandomSearch", "OptunaSearch", "IntRange", "FloatRange",
           "walk_forward", "purged_cv", "WalkForwardResult", "Window", "Stitched",
           "PurgedResult", "SplitResult", "Run", "OBJECTIVES", "html"]


def _common(build: object, balance: object, objective: object, equity_every: object,
            batch: object, executor: object, venue: object,
            timeout: object) -> tuple[int, float | None]:
    """Checks the arguments every workflow takes; returns the balance in Cash
    and the time limit."""
    if _fanout.in_a_loading_worker():
        # A worker loading the main script again reached the workflow: leave,
        # with the code that tells the process that started it why.
        raise SystemExit(_fanout.MAIN_RAN_AGAIN)
    if not callable(build):
        raise TypeError(f"build must be callable, returning a strategy; got {type(build).__name__}")
    cash = _check_fanout(balance, batch, equity_every, executor, venue)
    check_objective(objective)
    return cash, _fanout.time_limit(timeout)


def _check_carriable(executor: cf.Executor | None, build: Any, sets: Any, venue: Any,
                     name: str) -> None:
    carrier = "pickle, importing __main__" if executor is None else _fanout.carrier(executor)
    receiver = "ProcessPoolExecutor" if executor is None else type(executor).__name__
    _fanout.check_carriable(carrier, receiver, (build, sets, venue), name)


def _slots(executor: cf.Executor | None) -> int:
    return _fanout.worker_count(1 << 30) if executor is None else _fanout.slots(executor)


def walk_forward(build: Callable[..., Any],
                 search: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]] | RandomSearch
                 | OptunaSearch,
                 ticks: Any, balance: int | str, *, split: WalkForward, objective: str = "sharpe",
                 equity_every: int, venue: Any = None, batch: int = 1,
                 executor: cf.Executor | None = None, progress: object = None,
                 timeout: float | None = None, marks: Any = None,
                 depth: Any = None) -> WalkForwardResult:
    """Walk `split` forward over `ticks`, choosing in each window the set of
    `search` with the best `objective` on the training stretch.

    `search` is a grid as `sweep.run` takes it, a `RandomSearch` or an
    `OptunaSearch`.  `ticks` is a `TickSource`, a `halvorn.data.TickSlice`, a
    list of `Tick` or columns (written once to a temporary tick file);
    `marks` a `MarkSource` and `depth` a `DepthSource` for the venue's runs,
    or None.  `balance` (whole USDT, or USDT as decimal text), `equity_every`,
    `venue`, `batch`, `executor`, `progress` (counting runs) and `timeout`
    (seconds per run) are as `sweep.run` takes them; `objective` is one of
    `OBJECTIVES`.

    Raises `TypeError` or `ValueError` for bad arguments and for a series too
    short for one window, before anything runs; `ValueError` naming the
    window when no set has a defined objective on its training stretch; and,
    for a failure, a time limit, a dead worker or a Ctrl-C, the sweep's
    exceptions with ``partial`` set to a `WalkForwardResult` of the windows
    that finished, or None.
    """
    cash, limit = _common(build, balance, objective, equity_every, batch, executor, venue,
                          timeout)
    if not isinstance(split, WalkForward):
        raise TypeError(f"split must be a research.WalkForward, not {type(split).__name__}")
    fixed = fixed_sets(search)
    optuna = optuna_of(search)
    _check_carriable(executor, build, fixed or [], venue, "walk-forward")
    series = Series(ticks, venue, marks, depth)
    try:
        spans = walk_forward_windows(split, series.times)
        per_window = len(fixed) if fixed is not None else search.trials  # type: ignore[union-attr]
        total = len(spans) * (2 * per_window + 1)
        with Runner(executor, limit, progress, total, "walk-forward") as runner:
            walk = _Walk(spans, fixed, search, optuna, series, build, cash,
                         (balance, venue, batch, equity_every, series.marks, series.depth),
                         objective)
            try:
                walk.train(runner, _slots(executor))
                walk.test(runner)
            except BaseException as error:
                _fanout.keep_partial(error, lambda: walk.result(split, partial=True))
                raise
            return walk.result(split, partial=False)
    finally:
        series.close()


class _Walk:
    """The runs of a walk forward and what came of them."""

    def __init__(self, spans: list[Any], fixed: list[dict[str, Any]] | None, search: Any,
                 optuna: Any, series: Series, build: Any, balance_cash: int,
                 common: tuple[Any, ...], objective: str) -> None:
        self.spans = spans
        self.trials = [Trials(search if fixed is None else fixed, optuna) for _ in spans]
        self.series = series
        self.build = build
        self.balance_cash = balance_cash
        self.common = common
        self.objective = objective
        self.training: dict[tuple[int, int], Outcome] = {}
        self.testing: dict[tuple[int, int], Outcome] = {}
        self.chosen_runs: dict[int, Outcome] = {}
        self.batch: int | None = getattr(search, "batch", None)

    def _task(self, params: dict[str, Any], run: Run, keep: bool) -> tuple[Any, ...]:
        balance, venue, batch, equity_every, marks, depth = self.common
        return (self.build, params, self.series.path, run, balance, venue, batch, equity_every,
                keep, marks, depth)

    def _round(self, runner: Runner, keys: list[tuple[str, int, int]],
               into: Callable[[tuple[str, int, int], Outcome], None]) -> None:
        tasks, labels, whats = [], [], []
        for kind, w, k in keys:
            trials = self.trials[w]
            span = self.spans[w]
            run = span.train if kind == "training" else span.test
            tasks.append(self._task(trials.sets[k], run, kind == "chosen"))
            what = ("the chosen set's test run" if kind == "chosen"
                    else f"{kind} run of set {k} of {len(trials.sets)}")
            labels.append(f"window {w} of {len(self.spans)}, {what}")
            whats.append(repr(trials.sets[k]))
        finished: dict[int, Outcome] = {}
        try:
            runner.run(tasks, labels, whats, finished)
        finally:
            for i, outcome in finished.items():
                into(keys[i], outcome)

    def train(self, runner: Runner, slots: int) -> None:
        """Runs the training stretches, in rounds while a sampler asks for more."""
        while not all(t.finished for t in self.trials):
            active = [w for w, t in enumerate(self.trials) if not t.finished]
            most = max(1, slots // len(active))
            keys = [("training", w, k) for w in active
                    for k in self.trials[w].ask(self.batch or most)]

            def told(key: tuple[str, int, int], outcome: Outcome) -> None:
                _, w, k = key
                self.training[(w, k)] = outcome
                self.trials[w].tell(k, score(self.objective, returns(outcome.equity_curve)))

            self._round(runner, keys, told)

    def chosen(self, w: int) -> int:
        k = best(self.trials[w].scores)
        if k is None:
            raise ValueError(f"window {w}: no parameter set has a defined {self.objective} on "
                             "its training stretch, so none can be chosen")
        return k

    def test(self, runner: Runner) -> None:
        """Runs every set on each test stretch, and the chosen one again with
        its fills, window by window."""
        keys = []
        for w, trials in enumerate(self.trials):
            keys.append(("chosen", w, self.chosen(w)))
            keys.extend(("testing", w, k) for k in range(len(trials.sets)))

        def done(key: tuple[str, int, int], outcome: Outcome) -> None:
            kind, w, k = key
            if kind == "chosen":
                self.chosen_runs[w] = outcome
            else:
                self.testing[(w, k)] = outcome

        self._round(runner, keys, done)

    def _complete(self, w: int) -> bool:
        n = len(self.trials[w].sets)
        return (n > 0 and w in self.chosen_runs
                and all((w, k) in self.training and (w, k) in self.testing for k in range(n)))

    def result(self, split: WalkForward, *, partial: bool) -> WalkForwardResult | None:
        windows, chosen_outcomes = [], []
        for w, span in enumerate(self.spans):
            if not self._complete(w):
                continue
            trials = self.trials[w]
            k = self.chosen(w)
            tested = [self.testing[(w, j)] for j in range(len(trials.sets))]
            again = self.chosen_runs[w]
            if again.equity_curve != tested[k].equity_curve:
                raise RuntimeError(
                    f"window {w}: the chosen set {trials.sets[k]!r} gave two different equity "
                    "curves on the same test stretch; the strategy is not deterministic (seed "
                    "its random numbers from its parameters)")
            out_scores = [score(self.objective, returns(o.equity_curve)) for o in tested]
            windows.append(Window(
                index=w, train=span.train, test=span.test,
                training=result_of(trials.sets, [self.training[(w, j)]
                                                 for j in range(len(trials.sets))]),
                testing=result_of(trials.sets, tested), chosen=k,
                in_sample_score=trials.scores[k], out_of_sample_score=out_scores[k],  # type: ignore[arg-type]
                logit=logit(k, out_scores),
                in_sample_times=tuple(self.training[(w, k)].equity_times),
                fills=again.fill_records, liquidations=again.liquidation_records))
            chosen_outcomes.append(again)
        if partial and not windows:
            return None
        stitched = stitch(self.balance_cash, windows, chosen_outcomes)
        return WalkForwardResult(split=split, objective=self.objective, windows=windows,
                                 stitched=stitched)


def purged_cv(build: Callable[..., Any],
              search: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]] | RandomSearch,
              ticks: Any, balance: int | str, *, split: PurgedCV, objective: str = "sharpe",
              equity_every: int, venue: Any = None, batch: int = 1,
              executor: cf.Executor | None = None, progress: object = None,
              timeout: float | None = None, marks: Any = None, depth: Any = None) -> PurgedResult:
    """A combinatorial purged cross-validation of the sets of `search` over
    `ticks`, cut as `split` says.

    Every set runs once over each group (after the group's warm-up); a split
    chooses, by `objective`, the set that did best over the training groups'
    periods that purging and the embargo keep, and judges it on its test
    groups.  The backtest paths join, group by group, the test returns of the
    chosen sets (`research.PurgedCV.paths` of them).  The other arguments are
    as for `walk_forward`; a sampler needs a single training stretch to learn
    from, so `search` is a grid or a `RandomSearch`.

    Raises as `walk_forward` does; the exception that stops the runs has
    ``partial`` set to a list with, for each group, the sweep result of its
    runs if all of them finished, else None.
    """
    _, limit = _common(build, balance, objective, equity_every, batch, executor, venue,
                       timeout)
    if not isinstance(split, PurgedCV):
        raise TypeError(f"split must be a research.PurgedCV, not {type(split).__name__}")
    if isinstance(search, OptunaSearch):
        raise TypeError("a sampler chooses each trial from what the last ones did on one training "
                        "stretch, and a purged cross-validation judges one list of sets over "
                        "many: give a grid or a research.RandomSearch")
    sets = fixed_sets(search)
    assert sets is not None
    _check_carriable(executor, build, sets, venue, "cross-validation")
    series = Series(ticks, venue, marks, depth)
    try:
        groups = purged_groups(split, series.times)
        keys = [(g, k) for g in range(len(groups)) for k in range(len(sets))]
        tasks = [(build, sets[k], series.path, groups[g], balance, venue, batch, equity_every,
                  False, series.marks, series.depth) for g, k in keys]
        labels = [f"group {g} of {len(groups)}, set {k} of {len(sets)}" for g, k in keys]
        whats = [repr(sets[k]) for _, k in keys]
        finished: dict[int, Outcome] = {}
        with Runner(executor, limit, progress, len(tasks), "cross-validation") as runner:
            try:
                runner.run(tasks, labels, whats, finished)
            except BaseException as error:
                by_group = []
                for g in range(len(groups)):
                    done = [finished.get(g * len(sets) + k) for k in range(len(sets))]
                    by_group.append(result_of(sets, done) if all(done) else None)  # type: ignore[arg-type]
                try:
                    setattr(error, "partial", by_group)
                except AttributeError:
                    pass
                raise
        outcomes = [[finished[g * len(sets) + k] for k in range(len(sets))]
                    for g in range(len(groups))]
        return _judge(split, objective, groups, sets, outcomes)
    finally:
        series.close()


def _judge(split: PurgedCV, objective: str, groups: list[Run], sets: list[dict[str, Any]],
           outcomes: list[list[Outcome]]) -> PurgedResult:
    """The splits, paths and statistics of a purged cross-validation whose
    runs are `outcomes[group][set]`."""
    embargo = embargo_of(split, groups)
    columns = [[returns(o.equity_curve) for o in row] for row in outcomes]
    # The span of ticks each period covers: from the sample before it to its own.
    periods = [[(o.equity_times[i - 1], o.equity_times[i]) for i in range(1, len(o.equity_times))]
               for o in (row[0] for row in outcomes)]
    results: list[SplitResult] = []
    chosen_of: dict[int, int] = {}
    for s, tested in enumerate(splits(split)):
        test_runs = [groups[g] for g in tested]
        training: list[list[float]] = [[] for _ in sets]
        testing: list[list[float]] = [[] for _ in sets]
        count = 0
        for g in range(len(groups)):
            if g in tested:
                for k in range(len(sets)):
                    testing[k].extend(columns[g][k])
                continue
            keep = [i for i, span in enumerate(periods[g])
                    if kept(span, test_runs, split.purge, embargo)]
            count += len(keep)
            for k in range(len(sets)):
                training[k].extend(columns[g][k][i] for i in keep)
        in_scores = [score(objective, c) for c in training]
        out_scores = [score(objective, c) for c in testing]
        k = best(in_scores)
        if k is None:
            raise ValueError(f"split {s} (test groups {tested}): no parameter set has a defined "
                             f"{objective} on its training periods, so none can be chosen")
        chosen_of[s] = k
        results.append(SplitResult(test_groups=tested, chosen=k,
                                   in_sample_score=in_scores[k],  # type: ignore[arg-type]
                                   out_of_sample_score=out_scores[k],
                                   logit=logit(k, out_scores), training_periods=count))
    joined = [[r for s, g in path for r in columns[g][chosen_of[s]]] for path in paths(split)]
    return PurgedResult(split=split, objective=objective, groups=groups, embargo=embargo,
                        runs=[result_of(sets, row) for row in outcomes], splits=results,
                        paths=joined)


def html(result: WalkForwardResult, path: Any, *, title: str | None = None) -> None:
    """Write one self-contained HTML page about a walk forward to `path`: the
    windows on the time axis with their training and test stretches, the
    chosen parameters over time, the stitched out-of-sample equity against
    each window's in-sample equity, and the statistics of the search.

    Raises `TypeError` for anything but a `WalkForwardResult`, `ImportError`
    without plotly (``pip install halvorn[report]``) and `OSError` when
    `path` cannot be written; replaces `path` only once the page is
    complete.
    """
    from halvorn import _research_page

    if not isinstance(result, WalkForwardResult):
        raise TypeError(f"result must be a research.WalkForwardResult, not "
                        f"{type(result).__name__}")
    _research_page.write(result, path, title=title)
