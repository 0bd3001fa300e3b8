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
import decimal
import itertools
import os
import re
import shutil
import tempfile
from array import array
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import halvorn
from halvorn import _fanout, _tick_frames, _unit_text
from halvorn._fanout import worker_count as _worker_count
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
    return _Outcome(**_totals(result), equity_curve=array("q", result.equity_curve))


def _totals(result: Any) -> dict[str, int]:
    """The totals of a venue run that a row of a sweep keeps."""
    return dict(ticks=result.ticks, fills=len(result.fills),
                liquidations=len(result.liquidations), final_equity=result.final_equity,
                min_equity=result.min_equity, fees_paid=result.fees_paid,
                funding_paid=result.funding_paid)


def _open(path: Any) -> Any:
    """The ticks a worker reads: the file at a path, or a slice, which finds
    its records again in the worker that unpickled it."""
    return halvorn.load_ticks(path) if isinstance(path, str) else path


def _run_one(build: Callable[..., Any], params: dict[str, Any], path: Any, balance: int | str,
             venue: Any, batch: int, equity_every: int) -> _Outcome:
    # What crosses to a worker is the build, its parameters and a path (a
    # basket's: a dict of symbol to path); the files are opened here, by every
    # worker for itself.
    strategy = build(**params)
    ticks = ({symbol: _open(p) for symbol, p in path.items()}
             if isinstance(path, dict) else _open(path))
    return _execute(strategy, ticks, balance, venue, batch, equity_every)


# --- the sweep ------------------------------------------------------------------------


class _TickFile:
    """The path a worker opens: a source's own, or a file written once from a list
    and removed when the sweep ends; for a slice of a file, the slice itself."""

    def __init__(self, ticks: Any, venue: Any = None) -> None:
        self.directory: str | None = None
        from halvorn import data

        if isinstance(ticks, data.TickSlice):
            # The slice travels (as its path and stretch), by its absolute path.
            source = halvorn.load_ticks(os.path.abspath(ticks.path))
            self.path, self.count = data.between(source, ticks.start, ticks.end), len(ticks)
            return
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


def _balance_cash(balance: object) -> int:
    """The starting balance in Cash: whole USDT as an int, or USDT as decimal
    text to the cash unit, as `venue.run` reads it; positive, since returns are
    relative to it.  Checked here, before any worker starts, so that a balance
    the venue would refuse does not fail every run of the fan-out."""
    if isinstance(balance, str):
        # The decimal grammar the venue reads: ASCII digits, no spaces, no
        # underscores, at most 19 significant digits, a cash amount that fits 64 bits.
        cash = None
        if re.fullmatch(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]{1,4})?", balance):
            amount = decimal.Decimal(balance)
            digits = amount.normalize().as_tuple().digits
            scaled = amount.scaleb(_CASH_PLACES)
            if len(digits) <= 19 and scaled == scaled.to_integral_value() and \
                    abs(scaled) <= _MOST_CASH:
                cash = int(scaled)
        if cash is None:
            raise ValueError(f"balance {balance!r} is not an amount of USDT to the cash unit "
                             "(0.00000001) that fits a run")
    elif not isinstance(balance, int) or isinstance(balance, bool):
        raise TypeError(f"balance must be an int of whole USDT or decimal text, not "
                        f"{type(balance).__name__}")
    elif abs(balance) > _MOST_CASH // halvorn.CASH_SCALE:
        raise ValueError(f"balance is in whole USDT and a run holds at most "
                         f"{_MOST_CASH // halvorn.CASH_SCALE:_} of them; got {balance:_}")
    else:
        cash = balance * halvorn.CASH_SCALE
    if cash <= 0:
        raise ValueError(f"balance must be positive, got {balance}: returns are relative to it")
    return cash


_CASH_PLACES = len(str(halvorn.CASH_SCALE)) - 1
_MOST_CASH = 2**63 - 1


def _check_fanout(balance: object, batch: object, equity_every: object, executor: object,
                  venue: object) -> int:
    """Checks what every fan-out of venue runs takes (a sweep's, a research
    workflow's), before anything runs; returns the balance in Cash."""
    cash = _balance_cash(balance)
    _positive_int(batch, "batch")
    _positive_int(equity_every, "equity_every")
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor or None, not "
                        f"{type(executor).__name__}")
    _check_venue(venue)
    return cash


def _positive_int(value: object, name: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


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
    if _fanout.in_a_loading_worker():
        # This process is a worker of a sweep, running the main script again to
        # load its definitions, and the script calls run as it loads.  Leave
        # quietly, with the code by which the sweep that started this worker
        # knows to explain it, instead of starting workers of its own.
        raise SystemExit(_fanout.MAIN_RAN_AGAIN)
    if not callable(build):
        raise TypeError(f"build must be callable, returning a strategy; got {type(build).__name__}")
    sets = parameter_sets(grid)
    _check_fanout(balance, batch, equity_every, executor, venue)
    limit = _fanout.time_limit(timeout)

    # The sweep's own pool carries work as a spawned process pool does.
    carrier = "pickle, importing __main__" if executor is None else _fanout.carrier(executor)
    receiver = "ProcessPoolExecutor" if executor is None else type(executor).__name__
    _fanout.check_carriable(carrier, receiver, (build, sets, venue))
    report, bar = reporter(progress, len(sets), "sets", scale=False)
    finished: dict[int, _Outcome] = {}
    try:
        source: _TickFile | _Basket = (_Basket(ticks, venue) if _is_basket(ticks)
                                       else _TickFile(ticks, venue))
        try:
            if source.count < equity_every:
                raise ValueError(_no_periods(source.count, equity_every))
            work = _work(build, sets, source.path, balance, venue, batch, equity_every)
            try:
                if executor is None:
                    with _fanout.Workers(_worker_count(len(sets))) as workers:
                        _fanout.gather_own(workers, work, limit, report or _fanout.quiet, finished)
                else:
                    _fanout.gather_submitted(executor, work, limit, report or _fanout.quiet,
                                             finished)
            except BaseException as error:
                _keep_partial(error, sets, finished)
                raise
        finally:
            source.close()
    finally:
        if bar is not None:
            bar.close()
    return _result(sets, [finished[k] for k in range(len(sets))])


def _no_periods(count: int, equity_every: int) -> str:
    return (f"{count} ticks with equity_every={equity_every} give no equity sample after the "
            "start, so no returns; sample more often")


def _work(build: Callable[..., Any], sets: list[dict[str, Any]], path: Any, balance: int | str,
          venue: Any, batch: int, equity_every: int) -> _fanout.Work:
    """The sweep as tasks: `_run_one` of each parameter set, named by its set."""
    tasks = [(build, params, path, balance, venue, batch, equity_every) for params in sets]
    return _fanout.Work(_run_one, tasks, lambda k: f"parameter set {k} of {len(sets)}",
                        lambda k: repr(sets[k]))


def _keep_partial(error: BaseException, sets: list[dict[str, Any]],
                  finished: dict[int, _Outcome]) -> None:
    """Hangs the sets that finished on the exception that stops the sweep."""
    ks = sorted(finished)
    _fanout.keep_partial(
        error, lambda: _result([sets[k] for k in ks], [finished[k] for k in ks]) if ks else None)


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
