"""Run one strategy over a grid of parameters on every core, and judge the search.

```python
import halvorn
from halvorn import sweep
ticks = halvorn.load_ticks("btcusdt.hvtk")
result = sweep.run(Crossover, {"fast": [100, 300], "slow": [1_000, 3_000]}, ticks, 10_000, equity_every=1_000)
print(result.best, result.deflated_sharpe_ratio(), result.probability_of_backtest_overfitting())
```

A sweep builds one strategy per parameter set (``build(**params)``), runs each
over the same ticks with the same account, and keeps one row of totals per set
and the returns of every set, period by period: the performance matrix that
the deflated Sharpe ratio and the probability of backtest overfitting are
computed from.  The work goes to a ``concurrent.futures.Executor``; the default
is a process pool over all cores, and a distributed client's executor runs the
same sweep on a cluster.  Each worker opens the tick file by its path, so a
series is never copied into a worker, and a result never depends on which
executor computed it.

Returns are measured against the starting balance: with equity samples
e_0 .. e_T the return of period i is (e_i - e_{i-1}) / e_0.  The returns of a
run add up to its total return, and an account liquidated to zero has returns
of zero from then on instead of a division by zero.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import decimal
import io
import itertools
import math
import multiprocessing
import multiprocessing.connection
import os
import pickle
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import traceback
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures.process import BrokenProcessPool
from multiprocessing.connection import Connection
from dataclasses import dataclass
from typing import Any, NamedTuple

import halvorn
from halvorn import _tick_frames, _unit_text
from halvorn._optional import require
from halvorn._progress import reporter

__all__ = ["run", "Result", "Row", "parameter_sets", "returns"]


# --- the parameter grid ---------------------------------------------------------------


def parameter_sets(grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]]) -> list[dict[str, Any]]:
    """The parameter sets a sweep over `grid` runs, in the order it runs them.

    A mapping of parameter name to values stands for every combination, in the
    order of nested loops written in the mapping's order: the first name varies
    slowest and the last fastest, so ``{"a": [1, 2], "b": [3, 4]}`` is
    ``a=1 b=3``, ``a=1 b=4``, ``a=2 b=3``, ``a=2 b=4``.  A mapping with no names
    is one empty parameter set.  Any other iterable is taken as the explicit
    list of parameter dicts, in its own order.

    Raises `TypeError` for a name that is not a `str`, for values given as a
    single string or a non-iterable (wrap one value in a list), and for an
    explicit entry that is not a mapping; `ValueError` for a name with no
    values or an empty list, either of which leaves nothing to run.
    """
    if isinstance(grid, Mapping):
        names = list(grid)
        columns = []
        for name in names:
            _check_name(name, "grid")
            values = grid[name]
            if isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
                raise TypeError(f"grid[{name!r}] must be a list of values to try, not "
                                f"{type(values).__name__}; a single value is [{values!r}]")
            values = list(values)
            if not values:
                raise ValueError(f"grid[{name!r}] has no values, so the grid has no combinations")
            columns.append(values)
        return [dict(zip(names, combination)) for combination in itertools.product(*columns)]
    if isinstance(grid, (str, bytes)) or not isinstance(grid, Iterable):
        raise TypeError("grid must be a mapping of parameter name to the values to try, or a "
                        f"list of parameter dicts, not {type(grid).__name__}")
    sets = []
    for i, entry in enumerate(grid):
        if not isinstance(entry, Mapping):
            raise TypeError(f"grid entry {i} is {type(entry).__name__}, not a mapping of "
                            "parameter name to value")
        for name in entry:
            _check_name(name, f"grid entry {i}")
        sets.append(dict(entry))
    if not sets:
        raise ValueError("the grid has no parameter sets")
    return sets


def _check_name(name: object, where: str) -> None:
    if not isinstance(name, str):
        raise TypeError(f"{where} has the parameter name {name!r}; names are keyword "
                        "arguments of build and must be str")


# --- returns --------------------------------------------------------------------------


def returns(equity_curve: Sequence[int]) -> list[float]:
    """Per-period returns of an equity curve, as fractions of its first sample.

    With samples e_0 .. e_T (cash units, e.g. `RunResult.equity_curve`) the
    result has T entries, (e_i - e_{i-1}) / e_0, each computed from the exact
    integer difference and rounded once.  They add up to the total return and
    stay defined after the equity reaches zero, where returns relative to the
    previous sample would divide by it.  An empty curve has no returns.

    Raises `ValueError` when e_0 is not positive: a return relative to nothing
    is not a return.
    """
    if len(equity_curve) == 0:
        return []
    start = equity_curve[0]
    if start <= 0:
        raise ValueError(f"returns are relative to the starting equity, which is {start}; "
                         "it must be positive")
    return [(b - a) / start for a, b in zip(equity_curve, equity_curve[1:])]


# --- rows and the result --------------------------------------------------------------


@dataclass(frozen=True, kw_only=True, repr=False)
class Row:
    """What one parameter set did: its parameters and the totals of its run.

    Money is in cash units (`halvorn.CASH_SCALE` per USDT), exactly as the
    engine counted it, and printed in USDT; `total_return` and `sharpe` are
    computed from the equity samples as `returns` defines them.
    """

    params: dict[str, Any]
    """The keyword arguments `build` was called with."""
    ticks: int
    """Observations the run processed."""
    fills: int
    """Fills the strategy received."""
    liquidations: int
    """Times the venue closed the account."""
    final_equity: int
    """Equity at the end, in cash units."""
    min_equity: int
    """The lowest equity the account showed, in cash units."""
    fees_paid: int
    """Fees paid, in cash units."""
    funding_paid: int
    """Funding paid, in cash units."""
    total_return: float
    """Last equity sample over the first, minus one."""
    sharpe: float | None
    """Per-period Sharpe ratio of the returns, or None where it is undefined
    (fewer than 4 periods, or equity that never moved)."""

    def __repr__(self) -> str:
        return _unit_text.row_repr(self)


class Result:
    """A finished sweep: a row per parameter set and the performance matrix.

    Rows and matrix columns are in grid order (`parameter_sets`), whatever
    order the runs finished in.  The matrix holds one return per period
    (rows) and parameter set (columns); every set was sampled at the same
    ticks, so all columns have the same length.

    `Result(rows=..., columns=...)` puts one together from rows and their
    return columns; `run` is the usual way to get one.  Raises `ValueError`
    when there are no rows, when the counts of rows and columns differ, or
    when the columns differ in length.
    """

    __slots__ = ("_rows", "_periods", "_data")

    def __init__(self, *, rows: Sequence[Row], columns: Sequence[Sequence[float]]) -> None:
        rows = tuple(rows)
        if not rows:
            raise ValueError("a sweep result needs at least one row")
        if len(columns) != len(rows):
            raise ValueError(f"{len(rows)} rows but {len(columns)} return columns; "
                             "each parameter set has one of each")
        periods = len(columns[0])
        for i, column in enumerate(columns):
            if len(column) != periods:
                raise ValueError(f"column {i} has {len(column)} returns and column 0 has "
                                 f"{periods}; every parameter set covers the same periods")
        # Period-major, like the overfitting statistic's own matrix, and kept as
        # immutable bytes so that the matrix can be handed out without a copy.
        data = array("d", [0.0]) * (periods * len(rows))
        for k, column in enumerate(columns):
            data[k::len(rows)] = array("d", column)
        self._rows = rows
        self._periods = periods
        self._data = data.tobytes()

    @property
    def rows(self) -> tuple[Row, ...]:
        """One row per parameter set, in grid order."""
        return self._rows

    @property
    def periods(self) -> int:
        """Returns per parameter set: the equity samples after the first."""
        return self._periods

    @property
    def matrix(self) -> memoryview:
        """The performance matrix as a read-only memoryview of float64, shape
        (periods, parameter sets): entry [t, k] is the return of set k in period
        t.  `numpy.asarray(result.matrix)` views it without a copy.

        Raises `ValueError` when there are no periods (a view cannot have a
        zero dimension)."""
        if self._periods == 0:
            raise ValueError("the sweep has no periods, so its matrix is empty")
        return memoryview(self._data).cast("d", (self._periods, len(self._rows)))

    def columns(self) -> list[list[float]]:
        """The matrix by parameter set: a new list of per-period returns for
        each, in grid order; the form `halvorn.probability_of_backtest_overfitting`
        takes."""
        flat = memoryview(self._data).cast("d")
        n = len(self._rows)
        return [flat[k::n].tolist() for k in range(n)]

    def _column(self, k: int) -> list[float]:
        return memoryview(self._data).cast("d")[k::len(self._rows)].tolist()

    def _best_index(self) -> int:
        best = None
        for k, row in enumerate(self._rows):
            # Strictly greater: ties go to the earliest set in grid order, as the
            # overfitting statistic picks its in-sample winner.
            if row.sharpe is not None and (best is None or row.sharpe > self._rows[best].sharpe):
                best = k
        if best is None:
            raise ValueError("no parameter set has a Sharpe ratio (each needs at least 4 periods "
                             "and equity that moved), so none is best")
        return best

    @property
    def best(self) -> Row:
        """The row with the highest Sharpe ratio; ties go to the earliest in grid
        order, rows without one never win.  Raises `ValueError` when no row has
        a Sharpe ratio."""
        return self._rows[self._best_index()]

    def deflated_sharpe_ratio(self) -> float:
        """Probability that the best set's true Sharpe ratio is above what the best
        of this many tries would show by luck alone.

        The inputs of `halvorn.deflated_sharpe_ratio`: every row's Sharpe ratio
        (a row without one counts as a try with Sharpe ratio 0: it was tried and
        earned nothing), the number of periods, and the skewness and kurtosis of
        the best set's returns.  Raises `ValueError` as `best` does, and with the
        statistic's own message for a single parameter set.
        """
        best = self._best_index()
        column = self._column(best)
        _, skewness, kurtosis = halvorn.moments(column)
        sharpes = [0.0 if row.sharpe is None else row.sharpe for row in self._rows]
        return halvorn.deflated_sharpe_ratio(sharpes, len(column), skewness, kurtosis)

    def probability_of_backtest_overfitting(self, n_blocks: int = 16) -> float:
        """Share of the splits of the periods into halves in which the set that
        was best on one half is at or below the median on the other.

        `halvorn.probability_of_backtest_overfitting` of `columns()` with
        `n_blocks` contiguous blocks of periods (even, 4 to 24; the sweep needs
        at least 2 * n_blocks periods).  Raises its `ValueError`s.
        """
        return halvorn.probability_of_backtest_overfitting(self.columns(), n_blocks)

    def to_frame(self) -> Any:
        """The rows as a pandas DataFrame, in grid order: a column per parameter,
        then sharpe, total_return, fills, liquidations, ticks and the money
        columns in USDT (final_equity_usdt, min_equity_usdt, fees_paid_usdt,
        funding_paid_usdt: cash units over `halvorn.CASH_SCALE`).

        Raises `ImportError` without pandas (``pip install halvorn[report]``)
        and `ValueError` when a parameter's name is one of those columns.
        """
        pandas = require("pandas", "report", "Result.to_frame")
        scale = halvorn.CASH_SCALE
        records = []
        for row in self._rows:
            totals = {
                "sharpe": row.sharpe,
                "total_return": row.total_return,
                "fills": row.fills,
                "liquidations": row.liquidations,
                "ticks": row.ticks,
                "final_equity_usdt": row.final_equity / scale,
                "min_equity_usdt": row.min_equity / scale,
                "fees_paid_usdt": row.fees_paid / scale,
                "funding_paid_usdt": row.funding_paid / scale,
            }
            clash = totals.keys() & row.params.keys()
            if clash:
                raise ValueError(f"the parameter {sorted(clash)[0]!r} has the name of a result "
                                 "column; rename it in build")
            records.append({**row.params, **totals})
        return pandas.DataFrame.from_records(records)

    def __len__(self) -> int:
        return len(self._rows)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Result):
            return NotImplemented
        return self._rows == other._rows and self._data == other._data

    __hash__ = None  # type: ignore[assignment]

    def table(self) -> str:
        """The rows as a text table, in grid order: a column per parameter, the
        Sharpe ratio, the total return, the counts and the money in USDT, as
        `print(result)` shows it."""
        return _unit_text.rows_table(self._rows)

    def __str__(self) -> str:
        return f"{self!r}\n{self.table()}"

    def __repr__(self) -> str:
        head = f"Result({len(self._rows)} parameter sets x {self._periods} periods"
        try:
            best = self.best
        except ValueError:
            return head + ", no Sharpe ratio)"
        return f"{head}, best {best.params!r} with Sharpe ratio {best.sharpe:.6g})"


# --- one run, in a worker -------------------------------------------------------------


class _Outcome(NamedTuple):
    ticks: int
    fills: int
    liquidations: int
    final_equity: int
    min_equity: int
    fees_paid: int
    funding_paid: int
    equity_curve: array  # of 'q': cash units travel back compactly


def _execute(strategy: Any, ticks: Any, balance: int | str, venue: Any, batch: int,
             equity_every: int) -> _Outcome:
    """Runs one strategy on `venue` and keeps what a sweep needs of the run.

    Without a venue the account is the default venue's, which is the account
    `run_backtest` keeps, trading the instrument the tick file was written
    for: a venue refuses ticks of another instrument, and a sweep given no
    venue has not said which instrument it trades.
    """
    from halvorn import venue as venues

    if venue is None and not isinstance(ticks, Mapping):
        venue = venues.Venue(instrument=ticks.instrument)
    result = venues.run(strategy, ticks, balance, venue=venue, batch=batch,
                        equity_every=equity_every)
    return _Outcome(
        ticks=result.ticks,
        fills=len(result.fills),
        liquidations=len(result.liquidations),
        final_equity=result.final_equity,
        min_equity=result.min_equity,
        fees_paid=result.fees_paid,
        funding_paid=result.funding_paid,
        equity_curve=array("q", result.equity_curve),
    )


def _run_one(build: Callable[..., Any], params: dict[str, Any], path: Any, balance: int | str,
             venue: Any, batch: int, equity_every: int) -> _Outcome:
    # What crosses to a worker is the build, its parameters and a path (a
    # basket's: a dict of symbol to path); the files are opened here, by every
    # worker for itself.
    strategy = build(**params)
    ticks = ({symbol: halvorn.load_ticks(p) for symbol, p in path.items()}
             if isinstance(path, dict) else halvorn.load_ticks(path))
    return _execute(strategy, ticks, balance, venue, batch, equity_every)


# --- what an executor can carry -------------------------------------------------------


def _carrier(executor: cf.Executor) -> str:
    """How `executor` moves a task to where it runs.

    A thread pool moves nothing; the standard process pool pickles by reference,
    and its workers find classes and functions by importing their modules again,
    which a fork need not (it inherited them) and spawn or forkserver must; a
    distributed client pickles with cloudpickle, which carries lambdas, local
    classes and the interactive session's definitions by value.  An executor
    this does not know is not checked: what it needs cannot be known from here.
    """
    if isinstance(executor, cf.ThreadPoolExecutor):
        return "nothing"
    if isinstance(executor, cf.ProcessPoolExecutor):
        context = getattr(executor, "_mp_context", None) or multiprocessing.get_context()
        return "pickle" if context.get_start_method() == "fork" else "pickle, importing __main__"
    if type(executor).__module__.split(".")[0] == "distributed":
        return "cloudpickle"
    return "nothing"


class _MainFinder(pickle.Pickler):
    """A pickler that also notes every class or function it refers to in __main__."""

    def __init__(self, file: io.BytesIO) -> None:
        super().__init__(file, protocol=pickle.HIGHEST_PROTOCOL)
        self.in_main: list[Any] = []

    def persistent_id(self, obj: Any) -> None:
        if isinstance(obj, type) or callable(obj) and hasattr(obj, "__qualname__"):
            if getattr(obj, "__module__", None) == "__main__":
                self.in_main.append(obj)
        return None


def _main_is_importable() -> bool:
    # What spawn itself does to make __main__'s definitions exist in a worker:
    # import it by module name, except a package's __main__, which it skips,
    # or else run its file again.
    main = sys.modules.get("__main__")
    name = getattr(getattr(main, "__spec__", None), "name", None)
    if name is not None:
        return name != "__main__" and not name.endswith(".__main__")
    path = getattr(main, "__file__", None)
    return path is not None and os.path.isfile(path)


def _check_carriable(carrier: str, receiver: str, build: Any, sets: list[dict[str, Any]],
                     venue: Any) -> None:
    """Refuses, before any worker starts, a task that `receiver` cannot deliver.

    Without this a lambda would fail in the pool's feeder thread, or a class
    from an interactive session in every worker, each far from the call that
    caused it and after the sweep had started.
    """
    if carrier == "nothing":
        return
    payload = (build, sets, venue)
    try:
        if carrier == "cloudpickle":
            import cloudpickle

            cloudpickle.dumps(payload)
            return
        finder = _MainFinder(io.BytesIO())
        finder.dump(payload)
    except Exception as error:
        raise TypeError(
            f"the sweep cannot send its work to {receiver}: {error}. Its workers "
            "get build, the parameters and the venue by pickling; define build as a class or "
            "function at the top level of a module, or run the sweep with "
            "executor=concurrent.futures.ThreadPoolExecutor(1) to keep it in this process"
        ) from error
    if carrier == "pickle, importing __main__" and finder.in_main and not _main_is_importable():
        name = getattr(finder.in_main[0], "__qualname__", repr(finder.in_main[0]))
        raise TypeError(
            f"{name} is defined in an interactive session or a package's __main__, which the "
            "workers of a process pool started with spawn cannot load again to find it; move "
            f"{name} into a module and import it from there, run the sweep from a script, or "
            "pass executor=concurrent.futures.ThreadPoolExecutor(1)")


# --- the sweep's own workers ----------------------------------------------------------


_WORKER_NAME = "halvorn-sweep-worker"
"""The name of every worker process a sweep starts, numbered from 0.  Spawn names a
process before it runs the parent's main script again, so a worker can tell what it
is while it loads."""

_MAIN_RAN_A_SWEEP = 87
"""How a worker exits when loading the main script called `run` again."""

_GRACE = 5.0
"""Seconds a worker has to leave when told to, and to be gone once it is killed."""

_serving = False
"""True in a worker once it has loaded what it needs and takes parameter sets."""


def _in_a_loading_worker() -> bool:
    return not _serving and multiprocessing.current_process().name.startswith(_WORKER_NAME + "-")


def _worker_count(tasks: int) -> int:
    return max(1, min(os.cpu_count() or 1, tasks))


class _WorkerTraceback(Exception):
    """Where an exception raised in a worker came from, as its cause in this process."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return f'\n"""\n{self.text}"""'


def _sendable(error: BaseException) -> tuple[BaseException, str]:
    """`error` in the form it can cross to the sweep, and its traceback as text.

    An exception that does not come back out of a pickle (its class takes other
    arguments than its args, or holds something a pickle cannot) is replaced by a
    `RuntimeError` with its type and text, rather than failing the sweep with an
    error about pickling.
    """
    text = "".join(traceback.format_exception(error))
    try:
        pickle.loads(pickle.dumps(error))
    except Exception as why:
        kind = type(error)
        error = RuntimeError(f"{kind.__module__}.{kind.__qualname__}: {error} (the worker "
                             f"could not send the exception itself: {why})")
    return error, text


def _serve(connection: Connection) -> None:
    """A worker's life: parameter sets one at a time, until the sweep says stop."""
    global _serving
    _serving = True
    # The sweep decides what an interrupt means.  A Ctrl-C at a terminal reaches
    # every process of the foreground group, and a worker that died of it would
    # turn the user's stop into a report of a broken worker.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _leave_with_parent()
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        k, build, params, path, balance, venue, batch, equity_every = task
        connection.send(("started", k, None))
        try:
            outcome = _run_one(build, params, path, balance, venue, batch, equity_every)
        except BaseException as error:
            connection.send(("failed", k, _sendable(error)))
        else:
            connection.send(("done", k, outcome))


def _leave_with_parent() -> None:
    """Ends this worker as soon as the process that started it is gone.

    A sweep ends its workers on every way out that runs its code, but a parent
    that is killed (SIGKILL, the memory killer) runs none, and a worker in a set
    that never finishes would run on as an orphan.
    """
    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch() -> None:
        # The parent's sentinel is a pipe whose other end only the parent holds,
        # so it reads as closed the moment the parent ends, however it ended.
        parent.join()
        os._exit(1)

    threading.Thread(target=watch, name="halvorn-sweep-parent", daemon=True).start()


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Holds back SIGINT while the sweep ends its workers, and delivers it after.

    A second Ctrl-C, or a supervisor that repeats its signal, would otherwise
    stop the ending halfway and leave a worker running.  Only the main thread
    receives signals, so elsewhere there is nothing to hold.
    """
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or previous is None:
        yield
        return
    held: list[int] = []
    signal.signal(signal.SIGINT, lambda signum, frame: held.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if held:
            signal.raise_signal(signal.SIGINT)


class _Workers:
    """The process pool a sweep starts when it is given no executor.

    A pipe per worker and a set at a time, so the sweep knows which set each
    worker runs and since when: a time limit counts from a set's own start, not
    from its wait for a worker, and a worker that dies is reported with its
    set.  And the sweep can end its workers at once, which a failure, a time
    limit or a Ctrl-C needs: a pool that is shut down waits for the sets that
    are running, forever if one hangs.
    """

    def __init__(self, count: int) -> None:
        # Spawn, because a fork of a process with threads (a notebook, a GUI, a
        # client library) can copy a lock that someone held, and because it works
        # the same on every platform.
        context = multiprocessing.get_context("spawn")
        self.processes: list[Any] = []
        self.connections: list[Connection] = []
        try:
            for i in range(count):
                here, there = context.Pipe()
                try:
                    process = context.Process(target=_serve, args=(there,),
                                              name=f"{_WORKER_NAME}-{i}")
                    process.start()
                except BaseException:
                    here.close()
                    raise
                finally:
                    # The worker holds its own end now; with this one closed, a
                    # worker that dies reads as the end of its pipe.
                    there.close()
                self.processes.append(process)
                self.connections.append(here)
        except BaseException:
            self.end(at_once=True)
            raise

    def __enter__(self) -> _Workers:
        return self

    def __exit__(self, kind: type[BaseException] | None, *rest: object) -> None:
        self.end(at_once=kind is not None)

    def end(self, *, at_once: bool) -> None:
        """Ends every worker and waits until each is gone: after telling them to
        stop between sets, or at once, killing what they are running."""
        with _interrupts_held():
            if not at_once:
                for connection in self.connections:
                    try:
                        connection.send(None)
                    except OSError:
                        pass
                _join(self.processes, _GRACE)
            for process in self.processes:
                if process.exitcode is None:
                    process.kill()
            _join(self.processes, _GRACE)
            for connection in self.connections:
                connection.close()
            for process in self.processes:
                if process.exitcode is not None:
                    process.close()
            self.processes, self.connections = [], []

    def death(self, w: int, running: dict[int, tuple[int, float | None]],
              sets: list[dict[str, Any]]) -> BaseException:
        """The error that reports worker `w` gone, with the set it had."""
        process = self.processes[w]
        process.join(_GRACE)
        code = process.exitcode
        if code == _MAIN_RAN_A_SWEEP:
            return RuntimeError(
                "the sweep's workers run the main script again to load build and what it "
                "refers to (they start with spawn), and the script started a sweep again as "
                "it loaded: put the code that runs the sweep under "
                "`if __name__ == \"__main__\":` so that it runs only in the process you "
                "started")
        if code is None:
            how = "closed its pipe"
        elif code < 0:
            try:
                how = f"was killed by {signal.Signals(-code).name}"
            except ValueError:
                how = f"was killed by signal {-code}"
        else:
            how = f"exited with code {code}"
        if w not in running:
            return BrokenProcessPool(f"a worker process of the sweep {how} between parameter sets")
        k, started = running[w]
        if started is None:
            return BrokenProcessPool(
                f"a worker process of the sweep {how} before it started parameter set {k} of "
                f"{len(sets)}: {sets[k]!r}; what it wrote to stderr says why")
        return BrokenProcessPool(f"the worker process running parameter set {k} of "
                                 f"{len(sets)} {how}: {sets[k]!r}")


def _join(processes: list[Any], seconds: float) -> None:
    deadline = time.monotonic() + seconds
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))


# --- the sweep ------------------------------------------------------------------------


class _TickFile:
    """The path a worker opens: a source's own, or a file written once from a list
    and removed when the sweep ends."""

    def __init__(self, ticks: Any, venue: Any = None) -> None:
        self.directory: str | None = None
        if isinstance(ticks, halvorn.TickSource):
            # Absolute, because a worker on a cluster need not start where this
            # process did.
            self.path, self.count = os.path.abspath(ticks.path), ticks.count
            return
        self.directory = tempfile.mkdtemp(prefix="halvorn-sweep-")
        try:
            self.path = os.path.join(self.directory, "ticks.hvtk")
            if _tick_frames.is_frame(ticks):
                self.count = self._write_frame(ticks, venue)
            else:
                self.count = halvorn.save_ticks(self.path, ticks)
        except BaseException:
            self.close()
            raise

    def _write_frame(self, ticks: Any, venue: Any) -> int:
        """Columns (a DataFrame, a dict of arrays, a structured array) as a
        file, scaled as a run on `venue` scales them and carrying the venue's
        instrument, so that every worker's run reads them as that run would."""
        from halvorn import data

        instrument = getattr(venue, "instrument", 1) if venue is not None else 1
        definition = instrument if not isinstance(instrument, int) else None
        records = _tick_frames.tick_records(ticks, definition)
        columns = {name: records[name] for name in _tick_frames.FIELDS}
        source = data.from_arrays(self.path, columns.pop("exch_ts"), columns.pop("last"),
                                  instrument=instrument, **columns)
        return source.count

    def close(self) -> None:
        if self.directory is not None:
            shutil.rmtree(self.directory, ignore_errors=True)
            self.directory = None


def _is_basket(ticks: Any) -> bool:
    """Whether `ticks` is a portfolio's: a dict of symbol to ticks (a dict with
    an exch_ts column is one series' columns)."""
    return isinstance(ticks, Mapping) and "exch_ts" not in ticks


class _Basket:
    """The paths the workers of a portfolio's sweep open: one `_TickFile` per
    instrument, by symbol, in the order given (which numbers the instruments)."""

    def __init__(self, ticks: Mapping[str, Any], venue: Any) -> None:
        self.files: dict[str, _TickFile] = {}
        try:
            for symbol, series in ticks.items():
                own = venue.get(symbol) if isinstance(venue, Mapping) else venue
                self.files[symbol] = _TickFile(series, own)
        except BaseException:
            self.close()
            raise
        self.path = {symbol: f.path for symbol, f in self.files.items()}
        self.count = sum(f.count for f in self.files.values())

    def close(self) -> None:
        for f in self.files.values():
            f.close()


def _check_balance(balance: object) -> None:
    """Whole USDT as an int, or USDT as decimal text to the cash unit, as
    `venue.run` takes it; positive, since returns are relative to it."""
    if isinstance(balance, str):
        # The decimal grammar the venue reads (no spaces, no underscores).
        exact = re.fullmatch(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?", balance) is not None
        try:
            amount = decimal.Decimal(balance if exact else 0)
            exact = exact and amount == amount.quantize(_CASH_UNIT)
        except decimal.InvalidOperation:
            exact = False
        if not exact:
            raise ValueError(f"balance {balance!r} is not an amount of USDT to the cash unit "
                             "(0.00000001)")
    elif not isinstance(balance, int) or isinstance(balance, bool):
        raise TypeError(f"balance must be an int of whole USDT or decimal text, not "
                        f"{type(balance).__name__}")
    else:
        amount = decimal.Decimal(balance)
    if amount <= 0:
        raise ValueError(f"balance must be positive, got {balance}: returns are relative to it")


_CASH_UNIT = decimal.Decimal(1).scaleb(-(len(str(halvorn.CASH_SCALE)) - 1))


def _positive_int(value: object, name: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


def _time_limit(value: object) -> float | None:
    if value is None:
        return None
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(value).__name__}")
    if not 0 < value < math.inf:
        raise ValueError(f"timeout must be a positive, finite number of seconds, got {value!r}; "
                         "None sets no limit")
    return float(value)


def _check_venue(venue: object) -> None:
    if venue is None:
        return
    from halvorn import venue as venues

    if isinstance(venue, Mapping):
        for symbol, each in venue.items():
            if not isinstance(each, venues.Venue):
                raise TypeError(f"venue[{symbol!r}] must be a halvorn.venue.Venue, not "
                                f"{type(each).__name__}")
        return
    if not isinstance(venue, venues.Venue):
        raise TypeError(f"venue must be a halvorn.venue.Venue, a dict of symbol to Venue or None, "
                        f"not {type(venue).__name__}")


def run(build: Callable[..., Any], grid: Mapping[str, Iterable[Any]] | Iterable[Mapping[str, Any]],
        ticks: Any, balance: int | str, *, venue: Any = None, batch: int = 1, equity_every: int,
        executor: cf.Executor | None = None, progress: object = None,
        timeout: float | None = None) -> Result:
    """Run ``build(**params)`` for every parameter set of `grid` and collect the results.

    `ticks` is a `TickSource`, whose path every worker opens for itself, or a
    sequence of `Tick` or columns (a DataFrame, a dict of arrays, a
    structured array, scaled by the venue's `Instrument` as `venue.run`
    scales them), written once to a temporary tick file (under
    `tempfile.gettempdir()`) that is removed when the sweep ends.  `balance`
    is whole USDT (an int) or USDT as decimal text ("10000.50"), as
    `venue.run` takes it; `batch` is the cadence (1 per
    tick); `equity_every` is the number of ticks between equity samples, the
    periods of the returns; `venue` a `halvorn.venue.Venue`, or None for the
    account `run_backtest` uses.  A portfolio's ticks are a dict of symbol to
    any of those, with `venue` a Venue for all or a dict of symbol to Venue,
    as `venue.run` takes them; every worker opens each instrument's file.

    `executor` is any `concurrent.futures.Executor`: None starts a process pool
    of one worker per core with spawn and ends it afterwards; a thread pool
    runs the sweep in this process; ``client.get_executor()`` of a distributed
    client runs it on a cluster whose workers can read the tick file at the
    same path.  `progress` is None (quiet), True (a bar when tqdm is
    installed, a line on stderr otherwise) or a callable called with
    (done, total) parameter sets, once before the first finishes and after
    each.  `timeout` is a limit in seconds on each parameter set, or None for
    none; a set that runs longer fails the sweep with `TimeoutError`.

    Raises `TypeError` or `ValueError` for a bad argument before anything runs,
    including work the executor could not carry (a lambda or a local class for
    a process pool, which pickles; docs/sweep.md lists what each executor is
    checked for).  Then the first parameter set seen to fail stops the sweep
    at once: what has not started is cancelled, the sweep's own workers are
    killed (an executor passed in keeps running what it runs, unwaited for),
    and the set's exception is raised unchanged but for a note naming the set;
    a set over the time limit raises `TimeoutError` naming the set and the
    limit, and a worker of the default pool that dies `BrokenProcessPool`
    naming its set.  Whatever stops a sweep that has started, a Ctrl-C
    included, carries the sets that finished: its attribute ``partial`` is a
    `Result` of their rows in grid order, or None when none finished.

    With the default pool, a script must start the sweep under
    ``if __name__ == "__main__":``: the workers run the script again to find
    `build`, and a sweep at its top level raises `RuntimeError` saying so.
    """
    if _in_a_loading_worker():
        # This process is a worker of a sweep, running the main script again to
        # load its definitions, and the script calls run as it loads.  Leave
        # quietly, with the code by which the sweep that started this worker
        # knows to explain it, instead of starting workers of its own.
        raise SystemExit(_MAIN_RAN_A_SWEEP)
    if not callable(build):
        raise TypeError(f"build must be callable, returning a strategy; got {type(build).__name__}")
    sets = parameter_sets(grid)
    _check_balance(balance)
    _positive_int(batch, "batch")
    _positive_int(equity_every, "equity_every")
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor or None, not "
                        f"{type(executor).__name__}")
    _check_venue(venue)
    limit = _time_limit(timeout)

    if executor is None:
        # The sweep's own pool carries work as a spawned process pool does.
        _check_carriable("pickle, importing __main__", "ProcessPoolExecutor", build, sets, venue)
    else:
        _check_carriable(_carrier(executor), type(executor).__name__, build, sets, venue)
    report, bar = reporter(progress, len(sets), "sets", scale=False)
    finished: dict[int, _Outcome] = {}
    try:
        source: _TickFile | _Basket = (_Basket(ticks, venue) if _is_basket(ticks)
                                       else _TickFile(ticks, venue))
        try:
            if source.count < equity_every:
                raise ValueError(_no_periods(source.count, equity_every))
            work = _Work(build, sets, source.path, balance, venue, batch, equity_every)
            try:
                if executor is None:
                    with _Workers(_worker_count(len(sets))) as workers:
                        _gather_own(workers, work, limit, report or _quiet, finished)
                else:
                    _gather_submitted(executor, work, limit, report or _quiet, finished)
            except BaseException as error:
                _keep_partial(error, sets, finished)
                raise
        finally:
            source.close()
    finally:
        if bar is not None:
            bar.close()
    return _result(sets, [finished[k] for k in range(len(sets))])


def _quiet(done: int, total: int) -> None:
    """Where the progress of a sweep that shows none goes."""


def _no_periods(count: int, equity_every: int) -> str:
    return (f"{count} ticks with equity_every={equity_every} give no equity sample after the "
            "start, so no returns; sample more often")


class _Work(NamedTuple):
    build: Callable[..., Any]
    sets: list[dict[str, Any]]
    path: str | dict[str, str]
    balance: int | str
    venue: Any
    batch: int
    equity_every: int

    def task(self, k: int) -> tuple[Any, ...]:
        """What `_run_one` takes to run set `k`."""
        return (self.build, self.sets[k], self.path, self.balance, self.venue, self.batch,
                self.equity_every)


def _raised_by(error: BaseException, k: int, sets: list[dict[str, Any]]) -> None:
    error.add_note(f"halvorn.sweep: raised by parameter set {k} of {len(sets)}: {sets[k]!r}")


def _overran(k: int, sets: list[dict[str, Any]], limit: float) -> TimeoutError:
    return TimeoutError(f"parameter set {k} of {len(sets)} ran longer than the time limit of "
                        f"timeout={limit:g} s: {sets[k]!r}")


def _keep_partial(error: BaseException, sets: list[dict[str, Any]],
                  finished: dict[int, _Outcome]) -> None:
    """Hangs the sets that finished on the exception that stops the sweep, so that
    one bad set does not cost the hours the others took."""
    ks = sorted(finished)
    try:
        partial = _result([sets[k] for k in ks], [finished[k] for k in ks]) if ks else None
    except Exception:
        # Never hide the error itself behind one in putting its rows together.
        partial = None
    try:
        setattr(error, "partial", partial)
    except AttributeError:
        pass


def _gather_own(workers: _Workers, work: _Work, limit: float | None,
                report: Callable[[int, int], object], finished: dict[int, _Outcome]) -> None:
    """Runs every set on the sweep's own workers, a set per worker at a time,
    into `finished`; raises what stops the sweep."""
    sets = work.sets
    total = len(sets)
    upcoming = iter(range(total))
    idle = list(range(len(workers.processes)))[::-1]
    running: dict[int, tuple[int, float | None]] = {}  # worker: (set, when it started)

    def hand_out() -> None:
        while idle:
            k = next(upcoming, None)
            if k is None:
                return
            w = idle.pop()
            running[w] = (k, None)
            try:
                workers.connections[w].send((k, *work.task(k)))
            except OSError:
                # The worker is gone; its sentinel says so on the next wait.
                pass

    hand_out()
    report(0, total)
    watched: dict[Any, int] = {}
    for w, (process, connection) in enumerate(zip(workers.processes, workers.connections)):
        watched[connection] = w
        watched[process.sentinel] = w
    while len(finished) < total:
        wait_for = None
        if limit is not None:
            starts = [started for _, started in running.values() if started is not None]
            if starts:
                wait_for = max(0.0, min(starts) + limit - time.monotonic())
        ready = multiprocessing.connection.wait(list(watched), timeout=wait_for)
        for w in sorted({watched[r] for r in ready}):
            connection = workers.connections[w]
            while True:
                try:
                    if not connection.poll():
                        break
                    kind, k, payload = connection.recv()
                except (EOFError, OSError):
                    # The end of a pipe: the worker is gone.
                    raise workers.death(w, running, sets) from None
                if kind == "started":
                    running[w] = (k, time.monotonic())
                elif kind == "done":
                    finished[k] = payload
                    del running[w]
                    idle.append(w)
                    report(len(finished), total)
                else:
                    error, text = payload
                    error.__cause__ = _WorkerTraceback(text)
                    _raised_by(error, k, sets)
                    raise error
            if not workers.processes[w].is_alive():
                raise workers.death(w, running, sets)
        if limit is not None:
            now = time.monotonic()
            for k, started in sorted(running.values()):
                if started is not None and now - started >= limit:
                    raise _overran(k, sets, limit)
        hand_out()


def _slots(executor: cf.Executor) -> int:
    """How many sets `executor` runs at a time, as far as can be known from here;
    one where it cannot be."""
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    if _carrier(executor) == "cloudpickle":
        try:
            return max(1, int(sum(getattr(executor, "_client").nthreads().values())))
        except Exception:
            return 1
    return 1


def _gather_submitted(executor: cf.Executor, work: _Work, limit: float | None,
                      report: Callable[[int, int], object],
                      finished: dict[int, _Outcome]) -> None:
    """Runs every set on an executor passed in, into `finished`; raises what stops
    the sweep, after cancelling what has not started.

    Such an executor cannot say when a set starts, only that it was handed
    over.  With a time limit, the sweep therefore hands it no more sets at once
    than it has workers, and counts each set's time from the handing over.
    """
    sets = work.sets
    total = len(sets)
    at_once = total if limit is None else _slots(executor)
    upcoming = iter(range(total))
    handed: dict[cf.Future[_Outcome], tuple[int, float]] = {}

    def hand_out() -> None:
        while len(handed) < at_once:
            k = next(upcoming, None)
            if k is None:
                return
            handed[executor.submit(_run_one, *work.task(k))] = (k, time.monotonic())

    try:
        hand_out()
        report(0, total)
        while len(finished) < total:
            wait_for = None
            if limit is not None:
                first = min(started for _, started in handed.values())
                wait_for = max(0.0, first + limit - time.monotonic())
            done, _ = cf.wait(handed, timeout=wait_for, return_when=cf.FIRST_COMPLETED)
            for future in sorted(done, key=lambda f: handed[f][0]):
                k, _ = handed.pop(future)
                try:
                    finished[k] = future.result()
                except cf.BrokenExecutor as error:
                    error.add_note("halvorn.sweep: a worker died while the sweep ran; the pool "
                                   "cannot tell which parameter set it was running")
                    raise
                except Exception as error:
                    _raised_by(error, k, sets)
                    raise
                report(len(finished), total)
            if limit is not None:
                now = time.monotonic()
                for k, started in sorted(handed.values()):
                    if now - started >= limit:
                        raise _overran(k, sets, limit)
            hand_out()
    finally:
        for future in handed:
            future.cancel()


def _result(sets: list[dict[str, Any]], outcomes: list[_Outcome]) -> Result:
    rows = []
    columns = []
    for params, outcome in zip(sets, outcomes):
        curve = outcome.equity_curve
        column = returns(curve)
        try:
            sharpe: float | None = halvorn.sharpe_ratio(column)
        except ValueError:
            sharpe = None
        rows.append(Row(
            params=params,
            ticks=outcome.ticks,
            fills=outcome.fills,
            liquidations=outcome.liquidations,
            final_equity=outcome.final_equity,
            min_equity=outcome.min_equity,
            fees_paid=outcome.fees_paid,
            funding_paid=outcome.funding_paid,
            total_return=(curve[-1] - curve[0]) / curve[0],
            sharpe=sharpe,
        ))
        columns.append(column)
    return Result(rows=rows, columns=columns)
