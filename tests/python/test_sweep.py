"""halvorn.sweep: grid order, the same answer on every executor, refusals before
anything starts, failures that name their parameters, and the statistics of
the search equal to the statistics functions called by hand."""

import collections
import concurrent.futures as cf
import dataclasses
import json
import os
import pathlib
import pickle
import random
import signal
import subprocess
import sys
import textwrap
import re
import threading
from concurrent.futures.process import BrokenProcessPool

import pytest

import halvorn
from halvorn import sweep, venue
from sweep_helpers import DEADLINE, RELEASE, Marked, assert_gone, marked, wait_for, watchdog

BALANCE = 1_000
EVERY = 50
GRID = {"lag": [2, 3, 9, 27], "threshold": [0, 1, 2, 4]}


class Lagged:
    """Long after the price rose by more than `threshold` ticks over `lag` ticks,
    flat after it fell by as much."""

    def __init__(self, lag, threshold, lots=3):
        self.lag, self.threshold, self.lots = lag, threshold, lots
        self.seen = collections.deque(maxlen=lag + 1)

    def on_tick(self, ctx):
        self.seen.append(ctx.last)
        if len(self.seen) <= self.lag:
            return None
        move = ctx.last - self.seen[0]
        if move > self.threshold and ctx.position == 0:
            return [halvorn.Order("buy", self.lots)]
        if move < -self.threshold and ctx.position > 0:
            return [halvorn.Order("sell", ctx.position, "close")]
        return None


class FailsOnLag9(Lagged):
    def __init__(self, lag, threshold):
        if lag == 9:
            raise LookupError(f"no strategy for lag {lag}")
        super().__init__(lag, threshold)


def walk(n=4_000, seed=11):
    rng = random.Random(seed)
    price, ticks = 600_000, []
    for i in range(n):
        price += rng.choice((-3, -1, 0, 1, 3))
        ticks.append(halvorn.Tick(1_000 + i, price, bid=price - 1, ask=price + 1))
    return ticks


TICKS = walk()


def canonical(result):
    """Bytes that differ exactly when two sweep results differ."""
    rows = [dataclasses.asdict(row) for row in result.rows]
    return json.dumps(rows, sort_keys=True).encode() + bytes(result.matrix)


@pytest.fixture(scope="module")
def tick_file(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("sweep") / "walk.hvtk")
    halvorn.save_ticks(path, TICKS)
    return halvorn.load_ticks(path)


@pytest.fixture(scope="module")
def serial(tick_file):
    with cf.ThreadPoolExecutor(1) as one:
        return sweep.run(Lagged, GRID, tick_file, BALANCE, equity_every=EVERY, executor=one)


class Deferred(cf.Executor):
    """Runs nothing until asked, then the last submitted task first, in this thread."""

    def __init__(self):
        self.queue = []
        self.finished = []

    def submit(self, fn, /, *args, **kwargs):
        future = cf.Future()
        self.queue.append((future, fn, args, kwargs))
        return future

    def finish_last(self, done=None, total=None):
        if not self.queue:
            return
        future, fn, args, kwargs = self.queue.pop()
        self.finished.append(args[1])
        if future.set_running_or_notify_cancel():
            try:
                future.set_result(fn(*args, **kwargs))
            except Exception as error:
                future.set_exception(error)


class TestGrid:
    def test_a_mapping_is_every_combination_with_the_last_name_fastest(self):
        assert sweep.parameter_sets({"a": [1, 2], "b": (3, 4), "c": range(1)}) == [
            {"a": 1, "b": 3, "c": 0}, {"a": 1, "b": 4, "c": 0},
            {"a": 2, "b": 3, "c": 0}, {"a": 2, "b": 4, "c": 0}]
        assert sweep.parameter_sets({}) == [{}]
        explicit = [{"lag": 2}, {"lag": 1, "threshold": 5}]
        assert sweep.parameter_sets(iter(explicit)) == explicit

    @pytest.mark.parametrize("grid, error, text", [
        ({"a": "abc"}, TypeError, r"grid\['a'\] must be a list of values.*\['abc'\]"),
        ({"a": 3}, TypeError, r"a single value is \[3\]"),
        ({"a": [1], "b": []}, ValueError, r"grid\['b'\] has no values"),
        ({1: [1]}, TypeError, "names are keyword arguments"),
        ([], ValueError, "no parameter sets"),
        ([{"a": 1}, ("a", 2)], TypeError, "grid entry 1 is tuple"),
        ("a", TypeError, "not str"),
    ])
    def test_grids_that_say_nothing_runnable(self, grid, error, text):
        with pytest.raises(error, match=text):
            sweep.parameter_sets(grid)


class TestReturns:
    def test_relative_to_the_start_and_defined_after_a_wipe_out(self):
        scale = halvorn.CASH_SCALE
        assert sweep.returns([100 * scale, 110 * scale, 0, 0, 5 * scale]) == [0.1, -1.1, 0.0, 0.05]
        assert sweep.returns([7]) == [] and sweep.returns([]) == []
        # The difference is taken in integers, then divided once.
        assert sweep.returns([3, 2**62 + 3]) == [2**62 / 3]

    @pytest.mark.parametrize("start", [0, -5])
    def test_a_start_that_is_not_positive(self, start):
        with pytest.raises(ValueError, match=f"starting equity, which is {start}"):
            sweep.returns([start, 1])


class TestSameAnswerEverywhere:
    def test_rows_and_matrix_are_the_runs_done_by_hand(self, serial, tick_file):
        sets = sweep.parameter_sets(GRID)
        assert [row.params for row in serial.rows] == sets
        columns = serial.columns()
        for k, params in enumerate(sets):
            run = halvorn.run_backtest(Lagged(**params), tick_file, BALANCE, equity_every=EVERY)
            row = serial.rows[k]
            assert (row.ticks, row.fills, row.liquidations, row.final_equity, row.min_equity,
                    row.fees_paid, row.funding_paid) == (
                run.ticks, run.fills, run.liquidations, run.final_equity, run.min_equity,
                run.fees_paid, run.funding_paid)
            assert columns[k] == sweep.returns(run.equity_curve)
            assert row.sharpe == halvorn.sharpe_ratio(columns[k])
            assert row.total_return == (run.equity_curve[-1] - run.equity_curve[0]) / (
                run.equity_curve[0])
        assert len({row.sharpe for row in serial.rows}) > 8, "the grid should tell sets apart"
        assert serial.periods == len(TICKS) // EVERY

    def test_columns_sweep_as_their_ticks_do_in_the_instruments_units(self, serial):
        np = pytest.importorskip("numpy")
        # The walk as float prices of a tick of 0.5: each float is a whole
        # number of ticks, so the sweep must give the rows of the integers.
        columns = {"exch_ts": np.array([t.exch_ts for t in TICKS]),
                   "last": np.array([t.last * 0.5 for t in TICKS]),
                   "bid": np.array([t.bid * 0.5 for t in TICKS]),
                   "ask": np.array([t.ask * 0.5 for t in TICKS])}
        # 0.5 × 0.0002 is the default venue's 10_000 cash units a tick-lot.
        half = venue.Venue(instrument=venue.Instrument("X", "0.5", "0.0002"))
        with cf.ThreadPoolExecutor(1) as one:
            result = sweep.run(Lagged, GRID, columns, BALANCE, equity_every=EVERY, executor=one,
                               venue=half)
        assert result.rows == serial.rows

    def test_the_statistics_of_the_search_are_the_functions_called_by_hand(self, serial):
        columns = serial.columns()
        assert serial.probability_of_backtest_overfitting() == (
            halvorn.probability_of_backtest_overfitting(columns))
        assert serial.probability_of_backtest_overfitting(n_blocks=4) == (
            halvorn.probability_of_backtest_overfitting(columns, n_blocks=4))
        sharpes = [halvorn.sharpe_ratio(c) for c in columns]
        best = max(range(len(sharpes)), key=lambda k: (sharpes[k], -k))
        assert serial.best is serial.rows[best]
        _, skewness, kurtosis = halvorn.moments(columns[best])
        assert serial.deflated_sharpe_ratio() == halvorn.deflated_sharpe_ratio(
            sharpes, len(columns[best]), skewness, kurtosis)

    def test_matrix_is_period_major_float64_and_read_only(self, serial):
        matrix = serial.matrix
        assert (matrix.format, matrix.shape, matrix.readonly) == ("d", (serial.periods, 16), True)
        columns = serial.columns()
        assert [matrix[t, 5] for t in range(serial.periods)] == columns[5]
        numpy = pytest.importorskip("numpy", reason="numpy is part of halvorn[test]")
        view = numpy.asarray(matrix)
        assert view.shape == (serial.periods, 16) and view[:, 7].tolist() == columns[7]

    def test_the_default_process_pool_gives_the_same_bytes(self, serial, tick_file):
        pooled = sweep.run(Lagged, GRID, tick_file, BALANCE, equity_every=EVERY)
        assert canonical(pooled) == canonical(serial)
        assert pooled == serial

    def test_a_list_of_ticks_is_written_once_and_removed(self, serial, tmp_path, monkeypatch):
        scratch = tmp_path / "scratch"
        scratch.mkdir()
        monkeypatch.setattr("tempfile.tempdir", str(scratch))
        deferred = Deferred()
        result = sweep.run(Lagged, GRID, TICKS, BALANCE, equity_every=EVERY, executor=deferred,
                           progress=deferred.finish_last)
        assert canonical(result) == canonical(serial)
        assert list(scratch.iterdir()) == []
        with pytest.raises(LookupError):
            sweep.run(FailsOnLag9, GRID, TICKS, BALANCE, equity_every=EVERY,
                      executor=cf.ThreadPoolExecutor(1))
        assert list(scratch.iterdir()) == []

    def test_rows_come_back_in_grid_order_when_runs_finish_backwards(self, serial, tick_file):
        deferred = Deferred()
        seen = []

        def progress(done, total):
            seen.append((done, total))
            deferred.finish_last()

        result = sweep.run(Lagged, GRID, tick_file, BALANCE, equity_every=EVERY,
                           executor=deferred, progress=progress)
        sets = sweep.parameter_sets(GRID)
        assert deferred.finished == sets[::-1]
        assert seen == [(done, 16) for done in range(17)]
        assert canonical(result) == canonical(serial)

    def test_a_worker_gets_an_absolute_path_not_the_series(self, tick_file, monkeypatch):
        def stop(done, total):
            raise RuntimeError("stopped before anything ran")

        directory, name = os.path.split(tick_file.path)
        monkeypatch.chdir(directory)
        for ticks in (TICKS, halvorn.load_ticks(name)):
            deferred = Deferred()
            with pytest.raises(RuntimeError, match="stopped before anything ran"):
                sweep.run(Lagged, GRID, ticks, BALANCE, equity_every=EVERY, executor=deferred,
                          progress=stop)
            assert len(deferred.queue) == 16
            for future, _, args, _ in deferred.queue:
                assert future.cancelled()
                assert len(pickle.dumps(args)) < 2_000, "a task must not carry the ticks"
                assert not any(isinstance(a, (list, tuple, halvorn.TickSource)) for a in args)
                # A cluster's workers need not start in this directory.
                assert os.path.isabs(args[2])
                assert ticks is TICKS or args[2] == tick_file.path


class TestFailures:
    def test_the_original_exception_with_its_parameters(self, tick_file):
        with pytest.raises(LookupError) as info:
            sweep.run(FailsOnLag9, GRID, tick_file, BALANCE, equity_every=EVERY)
        assert info.value.args == ("no strategy for lag 9",)
        (note,) = info.value.__notes__
        assert note.startswith("halvorn.sweep: raised by parameter set ")
        assert "'lag': 9" in note

    def test_a_failure_cancels_what_has_not_started(self, tick_file):
        deferred = Deferred()
        with pytest.raises(LookupError) as info:
            # Last first: sets 15..12 (lag 27) succeed, then set 11 (lag 9) fails.
            sweep.run(FailsOnLag9, GRID, tick_file, BALANCE, equity_every=EVERY,
                      executor=deferred, progress=deferred.finish_last)
        assert info.value.__notes__ == [
            "halvorn.sweep: raised by parameter set 11 of 16: {'lag': 9, 'threshold': 4}"]
        assert len(deferred.queue) == 11
        assert all(future.cancelled() for future, *_ in deferred.queue)

    def test_a_strategy_failing_inside_a_run(self, tick_file):
        class Raises(Lagged):
            def on_tick(self, ctx):
                raise ArithmeticError("bad tick")

        with cf.ThreadPoolExecutor(2) as pool:
            with pytest.raises(ValueError, match="the strategy failed during the run: "
                                                 "ArithmeticError: bad tick") as info:
                sweep.run(Raises, {"lag": [1], "threshold": [5]}, tick_file, BALANCE,
                          equity_every=EVERY, executor=pool)
        assert info.value.__notes__ == [
            "raised on tick 0 of the series (counting from 0), exchange time 1000 ns",
            "halvorn.sweep: raised by parameter set 0 of 1: {'lag': 1, 'threshold': 5}"]


SCRIPTS = pathlib.Path(__file__).resolve().parent / "sweep_scripts"


@pytest.fixture
def marks(tmp_path):
    """Where the `Marked` sets of a test leave their pids."""
    path = tmp_path / "marks"
    path.mkdir()
    return str(path)


def roles(marks, *names):
    return [{"marks": marks, "role": name} for name in names]


def workers(monkeypatch, count):
    """The default pool of `count` workers, whatever the machine has."""
    monkeypatch.setattr(sweep, "_worker_count", lambda tasks: count)


def by_hand(tick_file, tmp_path):
    """The run of an "ok" `Marked`, done without a sweep."""
    aside = tmp_path / "by-hand"
    aside.mkdir(exist_ok=True)
    return halvorn.run_backtest(Marked(str(aside), "ok"), tick_file, BALANCE, equity_every=EVERY)


class TestStoppingAtOnce:
    """A failure, a set over its time limit or a dead worker ends the sweep without
    waiting for the sets still running, and the sets that finished survive it."""

    def test_a_failure_does_not_wait_for_a_set_that_hangs(self, tick_file, marks, tmp_path,
                                                          monkeypatch):
        # Worker 1 hangs in set 1; worker 0 finishes set 0, then fails set 2.
        workers(monkeypatch, 2)
        grid = roles(marks, "ok", "hang", "fail")
        with watchdog(marks) as fired, pytest.raises(LookupError) as info:
            sweep.run(Marked, grid, tick_file, BALANCE, equity_every=EVERY)
        assert not fired.is_set(), "the sweep waited for the set that hangs"
        assert info.value.args == ("no strategy for this role",)
        assert info.value.__notes__ == [
            f"halvorn.sweep: raised by parameter set 2 of 3: {grid[2]!r}"]
        assert "raise LookupError" in str(info.value.__cause__), "the worker's traceback"
        partial = info.value.partial
        assert [row.params for row in partial.rows] == [grid[0]]
        run = by_hand(tick_file, tmp_path)
        assert (partial.rows[0].final_equity, partial.rows[0].fills) == (run.final_equity,
                                                                         run.fills)
        assert partial.columns() == [sweep.returns(run.equity_curve)]
        assert_gone(marked(marks))

    def test_a_set_over_the_time_limit_is_killed_and_named(self, tick_file, marks,
                                                           monkeypatch):
        # One worker: set 1 starts after set 0 has finished, and set 2 never does.
        workers(monkeypatch, 1)
        grid = roles(marks, "ok", "hang", "ok")
        with watchdog(marks) as fired, pytest.raises(TimeoutError) as info:
            sweep.run(Marked, grid, tick_file, BALANCE, equity_every=EVERY, timeout=1.5)
        assert not fired.is_set(), "the sweep waited for the set that hangs"
        assert str(info.value) == ("parameter set 1 of 3 ran longer than the time limit of "
                                   f"timeout=1.5 s: {grid[1]!r}")
        assert [row.params for row in info.value.partial.rows] == [grid[0]]
        assert len(marked(marks, "ok")) == 1
        assert_gone(marked(marks))

    def test_a_worker_that_dies_is_reported_with_its_set(self, tick_file, marks, monkeypatch):
        workers(monkeypatch, 1)
        grid = roles(marks, "ok", "die", "ok")
        with pytest.raises(BrokenProcessPool) as info:
            sweep.run(Marked, grid, tick_file, BALANCE, equity_every=EVERY)
        assert str(info.value) == ("the worker process running parameter set 1 of 3 was "
                                   f"killed by SIGKILL: {grid[1]!r}")
        assert len(info.value.partial) == 1
        assert_gone(marked(marks))

    def test_an_exception_a_pickle_cannot_rebuild_still_names_its_set(self, tick_file, marks):
        grid = roles(marks, "odd")
        with pytest.raises(RuntimeError) as info:
            sweep.run(Marked, grid, tick_file, BALANCE, equity_every=EVERY)
        assert str(info.value).startswith(
            "sweep_helpers.TwoPartError: no strategy for this role (the worker could not send "
            "the exception itself: ")
        assert info.value.__notes__ == [
            f"halvorn.sweep: raised by parameter set 0 of 1: {grid[0]!r}"]
        assert_gone(marked(marks))

    def test_an_executor_passed_in_keeps_what_it_runs(self, tick_file, marks):
        # One thread, so one set at a time: the one that hangs starts after the
        # others have finished.
        pool = cf.ThreadPoolExecutor(1)
        grid = roles(marks, "ok", "ok", "ok", "hang")
        try:
            with pytest.raises(TimeoutError, match="parameter set 3 of 4 ran longer than the "
                                                   "time limit of timeout=1 s") as info:
                sweep.run(Marked, grid, tick_file, BALANCE, equity_every=EVERY, executor=pool,
                          timeout=1)
            assert [row.params for row in info.value.partial.rows] == grid[:3]
            # Returned without waiting: the thread is still in the set.
            assert not RELEASE.is_set()
        finally:
            RELEASE.set()
            pool.shutdown()
            RELEASE.clear()

    def test_nothing_finished_is_no_partial_result(self, tick_file):
        with pytest.raises(LookupError) as info:
            sweep.run(FailsOnLag9, {"lag": [9], "threshold": [0]}, tick_file, BALANCE, equity_every=EVERY,
                      executor=cf.ThreadPoolExecutor(1))
        assert info.value.partial is None


class TestStoppedFromOutside:
    """A sweep in a script of its own, stopped by a signal sent to that process only,
    as a supervisor or an IDE's stop button sends it."""

    @staticmethod
    def start(marks, tick_file):
        script = subprocess.Popen(
            [sys.executable, str(SCRIPTS / "interrupted.py"), marks, tick_file.path],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

        def both_hang():
            if script.poll() is not None:
                raise AssertionError(f"the sweep ended early: {script.communicate()}")
            return len(marked(marks, "hang")) == 2

        try:
            wait_for(both_hang, "both workers to hang")
        except BaseException:
            script.kill()
            script.communicate()
            raise
        return script

    @pytest.mark.parametrize("signals", [1, 2])
    def test_ctrl_c_ends_the_sweep_and_its_workers(self, tick_file, marks, signals):
        script = self.start(marks, tick_file)
        try:
            for _ in range(signals):
                script.send_signal(signal.SIGINT)
            out, err = script.communicate(timeout=DEADLINE)
        finally:
            if script.poll() is None:
                script.kill()
                script.communicate()
        if signals == 1:
            assert (script.returncode, out, err) == (130, "interrupted with ['ok']\n", "")
        else:
            # The second may come after the sweep has handed on the first, while
            # the script prints, and end the script there.
            assert script.returncode in (130, -signal.SIGINT), err
        assert_gone(marked(marks))

    def test_workers_leave_with_a_parent_that_is_killed(self, tick_file, marks):
        script = self.start(marks, tick_file)
        script.kill()
        script.communicate()
        assert_gone(marked(marks))


class TestRefusedBeforeAnythingRuns:
    def test_what_the_process_pool_cannot_pickle(self, tick_file):
        class Local(Lagged):
            pass

        lock = threading.Lock()
        for build, grid in [(lambda lag, threshold: Lagged(lag, threshold), GRID),
                            (Local, GRID),
                            (Lagged, {"lag": [1], "threshold": [1], "lots": [lock]})]:
            with pytest.raises(TypeError, match="cannot send its work to ProcessPoolExecutor.*"
                                                r"ThreadPoolExecutor\(1\)"):
                sweep.run(build, grid, tick_file, BALANCE, equity_every=EVERY)
        # A thread pool carries anything.
        with cf.ThreadPoolExecutor(1) as one:
            assert len(sweep.run(Local, GRID, tick_file, BALANCE, equity_every=EVERY,
                                 executor=one)) == 16

    def test_an_interactive_main_is_refused_and_a_script_is_not(self, tmp_path, tick_file):
        script = textwrap.dedent(f"""
            import halvorn
            from halvorn import sweep

            class InMain:
                def __init__(self, lag):
                    self.lag = lag

                def on_tick(self, ctx):
                    return None

            if __name__ == "__main__":
                try:
                    r = sweep.run(InMain, {{"lag": [1, 2]}}, halvorn.load_ticks({tick_file.path!r}),
                                  10, equity_every=100)
                    print("ran", len(r), r.rows[1].params)
                except TypeError as error:
                    print(error)
        """)
        interactive = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                     text=True, timeout=300)
        assert interactive.stdout.startswith(
            "InMain is defined in an interactive session or a package's __main__"), (
            interactive.stdout + interactive.stderr)
        path = tmp_path / "sweep_script.py"
        path.write_text(script)
        from_file = subprocess.run([sys.executable, str(path)], capture_output=True, text=True,
                                   timeout=300)
        assert from_file.stdout == "ran 2 {'lag': 2}\n", from_file.stdout + from_file.stderr

    def test_a_script_without_a_main_guard_is_told_to_add_one(self, tick_file):
        done = subprocess.run([sys.executable, str(SCRIPTS / "unguarded.py"), tick_file.path],
                              capture_output=True, text=True, timeout=DEADLINE)
        assert (done.returncode, done.stdout) == (1, ""), done.stderr
        # One traceback, the script's: the workers leave without a word.
        assert done.stderr.count("Traceback") == 1, done.stderr
        last = done.stderr.rstrip().splitlines()[-1]
        assert last.startswith("RuntimeError: the sweep's workers run the main script again"), last
        assert last.endswith('put the code that runs the sweep under `if __name__ == "__main__":` '
                             "so that it runs only in the process you started"), last

    @pytest.mark.parametrize("change, error, text", [
        ({"balance": 0}, ValueError, "balance must be positive"),
        ({"balance": 1.5}, TypeError, "balance must be an int"),
        ({"equity_every": 0}, ValueError, "equity_every must be at least 1"),
        ({"equity_every": 4_001}, ValueError, "4000 ticks with equity_every=4001 give no equity"),
        ({"batch": True}, TypeError, "batch must be an int"),
        ({"build": Lagged(1, 1)}, TypeError, "build must be callable"),
        ({"executor": "threads"}, TypeError, "executor must be a concurrent.futures.Executor"),
        ({"progress": 5}, TypeError, "progress must be None, True or a callable"),
        ({"ticks": "walk.hvtk"}, TypeError, "ticks must be a sequence of Tick, or a TickSource"),
        ({"timeout": 0}, ValueError, "timeout must be a positive, finite number of seconds"),
        ({"timeout": float("nan")}, ValueError, "timeout must be a positive, finite number"),
        ({"timeout": "5"}, TypeError, "timeout must be a number of seconds or None, not str"),
    ])
    def test_arguments(self, tick_file, change, error, text):
        arguments = dict(build=Lagged, grid=GRID, ticks=tick_file, balance=BALANCE,
                         equity_every=EVERY, executor=Deferred())
        arguments.update(change)
        with pytest.raises(error, match=text):
            sweep.run(**arguments)
        assert arguments["executor"] == "threads" or not arguments["executor"].queue


class TestProgress:
    def test_a_bar_through_tqdm(self, tick_file, capsys):
        pytest.importorskip("tqdm", reason="tqdm is halvorn[progress]")
        with cf.ThreadPoolExecutor(1) as one:
            sweep.run(Lagged, GRID, tick_file, BALANCE, equity_every=EVERY, executor=one,
                      progress=True)
        assert "16/16" in capsys.readouterr().err

    def test_a_plain_line_without_it(self, tick_file, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "tqdm", None)
        with cf.ThreadPoolExecutor(1) as one:
            sweep.run(Lagged, {"lag": [1, 2], "threshold": [0]}, tick_file, BALANCE,
                      equity_every=EVERY, executor=one, progress=True)
        shown = capsys.readouterr().err
        assert re.fullmatch(r"(\r[0-9,]+ of 2 sets, [0-9,]+ sets/s)+\n", shown), shown
        assert "\r2 of 2 sets, " in shown


class TestResult:
    @staticmethod
    def row(sharpe, **params):
        return sweep.Row(params=params, ticks=1, fills=0, liquidations=0, final_equity=1,
                         min_equity=1, fees_paid=0, funding_paid=0, total_return=0.0,
                         sharpe=sharpe)

    def test_best_takes_the_earliest_of_equals_and_never_an_undefined_one(self):
        column = [0.0, 1.0, 0.0, 2.0]
        result = sweep.Result(rows=[self.row(None, k=0), self.row(0.5, k=1), self.row(0.5, k=2)],
                              columns=[column] * 3)
        assert result.best.params == {"k": 1}
        assert repr(result) == ("Result(3 parameter sets x 4 periods, best {'k': 1} "
                                "with Sharpe ratio 0.5)")
        nothing = sweep.Result(rows=[self.row(None)], columns=[[]])
        with pytest.raises(ValueError, match="no parameter set has a Sharpe ratio"):
            nothing.best
        with pytest.raises(ValueError, match="no periods"):
            nothing.matrix

    def test_an_undefined_sharpe_ratio_counts_as_a_try_that_earned_nothing(self):
        flat, moving = [0.0] * 8, [0.01, -0.02, 0.03, 0.0, 0.01, 0.02, -0.01, 0.0]
        sharpe = halvorn.sharpe_ratio(moving)
        result = sweep.Result(rows=[self.row(None), self.row(sharpe)], columns=[flat, moving])
        _, skewness, kurtosis = halvorn.moments(moving)
        assert result.deflated_sharpe_ratio() == halvorn.deflated_sharpe_ratio(
            [0.0, sharpe], 8, skewness, kurtosis)

    def test_put_together_by_hand(self):
        with pytest.raises(ValueError, match="at least one row"):
            sweep.Result(rows=[], columns=[])
        with pytest.raises(ValueError, match="1 rows but 2 return columns"):
            sweep.Result(rows=[self.row(None)], columns=[[], []])
        with pytest.raises(ValueError, match="column 1 has 1 returns and column 0 has 2"):
            sweep.Result(rows=[self.row(None), self.row(None)], columns=[[1, 2], [1]])
        result = sweep.Result(rows=[self.row(1.0, a=1), self.row(2.0, a=2)],
                              columns=[[1, 2, 3], [4, 5, 6]])
        assert result.columns() == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
        assert result.matrix.tolist() == [[1.0, 4.0], [2.0, 5.0], [3.0, 6.0]]
        assert pickle.loads(pickle.dumps(result)) == result

    def test_to_frame(self, serial):
        pytest.importorskip("pandas", reason="pandas is halvorn[report]")
        frame = serial.to_frame()
        assert list(frame.columns) == [
            "lag", "threshold", "sharpe", "total_return", "fills", "liquidations", "ticks",
            "final_equity_usdt", "min_equity_usdt", "fees_paid_usdt", "funding_paid_usdt"]
        assert frame["lag"].tolist() == [p["lag"] for p in sweep.parameter_sets(GRID)]
        assert frame["final_equity_usdt"].tolist() == [
            row.final_equity / halvorn.CASH_SCALE for row in serial.rows]
        clash = sweep.Result(rows=[self.row(None, fills=3)], columns=[[]])
        with pytest.raises(ValueError, match="'fills' has the name of a result column"):
            clash.to_frame()

    def test_to_frame_without_pandas(self, serial, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError) as info:
            serial.to_frame()
        assert str(info.value) == "Result.to_frame needs pandas: pip install halvorn[report]"
        assert isinstance(info.value.__cause__, ImportError)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed", reason="dask is halvorn[dask]")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


class TestDask:
    def test_a_local_cluster_gives_the_same_bytes(self, client, serial, tick_file):
        result = sweep.run(Lagged, GRID, tick_file, BALANCE, equity_every=EVERY,
                           executor=client.get_executor())
        assert canonical(result) == canonical(serial)

    def test_the_cluster_carries_a_lambda_and_reports_a_failure(self, client, serial, tick_file):
        result = sweep.run(lambda **params: Lagged(**params), GRID, tick_file, BALANCE,
                           equity_every=EVERY, executor=client.get_executor())
        assert canonical(result) == canonical(serial)
        with pytest.raises(LookupError, match="no strategy for lag 9") as info:
            sweep.run(FailsOnLag9, GRID, tick_file, BALANCE, equity_every=EVERY,
                      executor=client.get_executor())
        assert "'lag': 9" in info.value.__notes__[0]


class TestVenue:
    def test_a_venue_sweep_is_the_venue_runs_done_by_hand(self, tick_file):
        chosen = venue.Venue(taker_fee=500_000)
        grid = {"lag": [1, 9], "threshold": [0, 2]}
        result = sweep.run(Lagged, grid, tick_file, BALANCE, venue=chosen, equity_every=EVERY)
        columns = result.columns()
        for k, params in enumerate(sweep.parameter_sets(grid)):
            run = venue.run(Lagged(**params), tick_file, BALANCE, venue=chosen,
                            equity_every=EVERY)
            row = result.rows[k]
            assert (row.fills, row.liquidations, row.final_equity, row.fees_paid,
                    row.funding_paid) == (len(run.fills), len(run.liquidations),
                                          run.final_equity, run.fees_paid, run.funding_paid)
            assert columns[k] == sweep.returns(run.equity_curve)
        assert any(row.fees_paid > 0 for row in result.rows)
        with cf.ThreadPoolExecutor(1) as one:
            serial = sweep.run(Lagged, grid, tick_file, BALANCE, venue=chosen, equity_every=EVERY,
                               executor=one)
        assert canonical(serial) == canonical(result)

    def test_without_a_venue_a_file_of_any_instrument_is_swept_on_the_default_account(
            self, serial, tmp_path):
        """A venue trades one instrument and refuses another's ticks; a sweep given no
        venue trades the file's own, and its answer does not depend on which it is."""
        path = str(tmp_path / "seven.hvtk")
        halvorn.save_ticks(path, TICKS, instrument=7)
        with cf.ThreadPoolExecutor(1) as one:
            seven = sweep.run(Lagged, GRID, halvorn.load_ticks(path), BALANCE,
                              equity_every=EVERY, executor=one)
        assert canonical(seven) == canonical(serial)

    def test_a_venue_that_is_not_one(self, tick_file):
        with pytest.raises(TypeError, match="venue must be a halvorn.venue.Venue"):
            sweep.run(Lagged, GRID, tick_file, BALANCE, equity_every=EVERY, venue="L1")


def test_the_process_pool_default_uses_every_core():
    assert sweep._worker_count(64) == (os.cpu_count() or 1)
    assert sweep._worker_count(1) == 1
