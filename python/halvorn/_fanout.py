"""Runs many independent tasks on an executor, for sweeps and for research
workflows: the process pool a caller gets when it gives none, what an
executor can carry, and the loops that hand tasks out and gather what comes
back with progress, time limits, failures and Ctrl-C handled alike.

A task is ``fn(*args)``; `Work` lists them and says how a message names one
("parameter set 8 of 16: {'lag': 9}").  Everything that stops the work once
it has started is raised from the gathering loop with the tasks that
finished left in the caller's dict, so the caller can hang them on the
exception as a partial result.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import io
import multiprocessing
import multiprocessing.connection
import os
import pickle
import queue
import signal
import sys
import threading
import time
import traceback
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures.process import BrokenProcessPool
from multiprocessing.connection import Connection
from typing import Any, NamedTuple


class Work(NamedTuple):
    """The tasks of one fan-out and the words its messages use for them."""

    fn: Callable[..., Any]
    """What a worker calls with each task's arguments; a module-level function,
    so that it pickles by name."""
    tasks: Sequence[tuple[Any, ...]]
    label: Callable[[int], str]
    """Task k as a message names it: "parameter set 8 of 16"."""
    what: Callable[[int], str]
    """What task k runs, after the label: "{'lag': 9, 'threshold': 0}"."""
    origin: str = "halvorn.sweep"
    """Who notes an error raised by a task."""
    name: str = "sweep"
    """What the whole is called: "the sweep's workers"."""
    unit: str = "parameter set"
    units: str = "parameter sets"


def quiet(done: int, total: int) -> None:
    """Where the progress of work that shows none goes."""


def time_limit(value: object) -> float | None:
    """A `timeout` argument read: None, or seconds as a positive finite float."""
    if value is None:
        return None
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(value).__name__}")
    if not 0 < value < float("inf"):
        raise ValueError(f"timeout must be a positive, finite number of seconds, got {value!r}; "
                         "None sets no limit")
    return float(value)


# --- what an executor can carry -------------------------------------------------------


def keep_partial(error: BaseException, partial: Callable[[], Any]) -> None:
    """Hangs what finished, `partial()`, on the exception that stops a fan-out
    as `error.partial`, so that one failing run does not cost the hours the
    others took; None when putting it together fails as well."""
    try:
        value = partial()
    except Exception:
        # Never hide the error itself behind one in putting its results together.
        value = None
    try:
        setattr(error, "partial", value)
    except AttributeError:
        pass


def carrier(executor: cf.Executor) -> str:
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


def check_carriable(carrier: str, receiver: str, payload: Any, name: str = "sweep") -> None:
    """Refuses, before any worker starts, a task that `receiver` cannot deliver.

    Without this a lambda would fail in the pool's feeder thread, or a class
    from an interactive session in every worker, each far from the call that
    caused it and after the work had started.
    """
    if carrier == "nothing":
        return
    try:
        if carrier == "cloudpickle":
            import cloudpickle  # type: ignore[import-untyped]

            cloudpickle.dumps(payload)
            return
        finder = _MainFinder(io.BytesIO())
        finder.dump(payload)
    except Exception as error:
        raise TypeError(
            f"the {name} cannot send its work to {receiver}: {error}. Its workers "
            "get build, the parameters and the venue by pickling; define build as a class or "
            f"function at the top level of a module, or run the {name} with "
            "executor=concurrent.futures.ThreadPoolExecutor(1) to keep it in this process"
        ) from error
    if carrier == "pickle, importing __main__" and finder.in_main and not _main_is_importable():
        name = getattr(finder.in_main[0], "__qualname__", repr(finder.in_main[0]))
        raise TypeError(
            f"{name} is defined in an interactive session or a package's __main__, which the "
            "workers of a process pool started with spawn cannot load again to find it; move "
            f"{name} into a module and import it from there, run the work from a script, or "
            "pass executor=concurrent.futures.ThreadPoolExecutor(1)")


# --- the workers started when no executor is given -----------------------------------


_WORKER_NAME = "halvorn-worker"
"""The name of every worker process started here, numbered from 0.  Spawn names a
process before it runs the parent's main script again, so a worker can tell what it
is while it loads."""

MAIN_RAN_AGAIN = 87
"""How a worker exits when loading the main script started the work again."""

_GRACE = 5.0
"""Seconds a worker has to leave when told to, and to be gone once it is killed."""

_serving = False
"""True in a worker once it has loaded what it needs and takes tasks."""


def in_a_loading_worker() -> bool:
    return not _serving and multiprocessing.current_process().name.startswith(_WORKER_NAME + "-")


def worker_count(tasks: int) -> int:
    return max(1, min(os.cpu_count() or 1, tasks))


class _WorkerTraceback(Exception):
    """Where an exception raised in a worker came from, as its cause in this process."""

    def __init__(self, text: str) -> None:
        super().__init__(text)
        self.text = text

    def __str__(self) -> str:
        return f'\n"""\n{self.text}"""'


def _sendable(error: BaseException) -> tuple[BaseException, str]:
    """`error` in the form it can cross to the caller, and its traceback as text.

    An exception that does not come back out of a pickle (its class takes other
    arguments than its args, or holds something a pickle cannot) is replaced by a
    `RuntimeError` with its type and text, rather than failing the work with an
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
    """A worker's life: tasks one at a time, until it is told to stop."""
    global _serving
    _serving = True
    # The caller decides what an interrupt means.  A Ctrl-C at a terminal reaches
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
        k, fn, args = task
        connection.send(("started", k, None))
        try:
            outcome = fn(*args)
        except BaseException as error:
            connection.send(("failed", k, _sendable(error)))
        else:
            connection.send(("done", k, outcome))


def _leave_with_parent() -> None:
    """Ends this worker as soon as the process that started it is gone.

    The caller ends its workers on every way out that runs its code, but a parent
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

    threading.Thread(target=watch, name="halvorn-worker-parent", daemon=True).start()


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Holds back SIGINT while the caller ends its workers, and delivers it after.

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


class Workers:
    """The process pool started when no executor is given.

    A pipe per worker and a task at a time, so the caller knows which task each
    worker runs and since when: a time limit counts from a task's own start, not
    from its wait for a worker, and a worker that dies is reported with its
    task.  And the caller can end its workers at once, which a failure, a time
    limit or a Ctrl-C needs: a pool that is shut down waits for the tasks that
    are running, forever if one hangs.  One pool serves any number of
    `gather_own` calls, so work done in rounds starts its workers once.
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

    def __enter__(self) -> Workers:
        return self

    def __exit__(self, kind: type[BaseException] | None, *rest: object) -> None:
        self.end(at_once=kind is not None)

    def end(self, *, at_once: bool) -> None:
        """Ends every worker and waits until each is gone: after telling them to
        stop between tasks, or at once, killing what they are running."""
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
              work: Work) -> BaseException:
        """The error that reports worker `w` gone, with the task it had."""
        process = self.processes[w]
        process.join(_GRACE)
        code = process.exitcode
        if code == MAIN_RAN_AGAIN:
            return RuntimeError(
                f"the {work.name}'s workers run the main script again to load build and what it "
                f"refers to (they start with spawn), and the script started a {work.name} again "
                f"as it loaded: put the code that runs the {work.name} under "
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
            return BrokenProcessPool(f"a worker process of the {work.name} {how} between "
                                     f"{work.units}")
        k, started = running[w]
        if started is None:
            return BrokenProcessPool(
                f"a worker process of the {work.name} {how} before it started {work.label(k)}: "
                f"{work.what(k)}; what it wrote to stderr says why")
        return BrokenProcessPool(f"the worker process running {work.label(k)} {how}: "
                                 f"{work.what(k)}")


def _join(processes: list[Any], seconds: float) -> None:
    deadline = time.monotonic() + seconds
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))


# --- handing tasks out and gathering what comes back ----------------------------------


def _raised_by(error: BaseException, k: int, work: Work) -> None:
    error.add_note(f"{work.origin}: raised by {work.label(k)}: {work.what(k)}")


def _overran(k: int, work: Work, limit: float) -> TimeoutError:
    return TimeoutError(f"{work.label(k)} ran longer than the time limit of "
                        f"timeout={limit:g} s: {work.what(k)}")


def gather_own(workers: Workers, work: Work, limit: float | None,
               report: Callable[[int, int], object], finished: dict[int, Any]) -> None:
    """Runs every task on `workers`, a task per worker at a time, into
    `finished` (task number: what it returned); raises what stops the work."""
    total = len(work.tasks)
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
                workers.connections[w].send((k, work.fn, work.tasks[k]))
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
                    raise workers.death(w, running, work) from None
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
                    _raised_by(error, k, work)
                    raise error
            if not workers.processes[w].is_alive():
                raise workers.death(w, running, work)
        if limit is not None:
            now = time.monotonic()
            for k, started in sorted(running.values()):
                if started is not None and now - started >= limit:
                    raise _overran(k, work, limit)
        hand_out()


def slots(executor: cf.Executor) -> int:
    """How many tasks `executor` runs at a time, as far as can be known from here;
    one where it cannot be."""
    workers = getattr(executor, "_max_workers", None)
    if isinstance(workers, int) and workers > 0:
        return workers
    if carrier(executor) == "cloudpickle":
        try:
            return max(1, int(sum(getattr(executor, "_client").nthreads().values())))
        except Exception:
            return 1
    return 1


def gather_submitted(executor: cf.Executor, work: Work, limit: float | None,
                     report: Callable[[int, int], object], finished: dict[int, Any]) -> None:
    """Runs every task on an executor passed in, into `finished`; raises what
    stops the work, after cancelling what has not started.

    Such an executor cannot say when a task starts, only that it was handed
    over.  With a time limit, the caller therefore hands it no more tasks at
    once than it has workers, and counts each task's time from the handing over.
    """
    total = len(work.tasks)
    at_once = total if limit is None else slots(executor)
    upcoming = iter(range(total))
    handed: dict[cf.Future[Any], tuple[int, float]] = {}
    # Each future says it is done by putting itself here: waiting on all the
    # futures at once would cost a pass over every one of them per task done,
    # which a thousand tasks make felt.
    ended: queue.SimpleQueue[cf.Future[Any]] = queue.SimpleQueue()

    def hand_out() -> None:
        while len(handed) < at_once:
            k = next(upcoming, None)
            if k is None:
                return
            future = executor.submit(work.fn, *work.tasks[k])
            handed[future] = (k, time.monotonic())
            future.add_done_callback(ended.put)

    try:
        hand_out()
        report(0, total)
        while len(finished) < total:
            wait_for = None
            if limit is not None:
                first = min(started for _, started in handed.values())
                wait_for = max(0.0, first + limit - time.monotonic())
            done = set()
            try:
                done.add(ended.get(timeout=wait_for))
                while True:
                    done.add(ended.get_nowait())
            except queue.Empty:
                pass
            for future in sorted(done & handed.keys(), key=lambda f: handed[f][0]):
                k, _ = handed.pop(future)
                try:
                    finished[k] = future.result()
                except cf.BrokenExecutor as error:
                    error.add_note(f"{work.origin}: a worker died while the {work.name} ran; the "
                                   f"pool cannot tell which {work.unit} it was running")
                    raise
                except Exception as error:
                    _raised_by(error, k, work)
                    raise
                report(len(finished), total)
            if limit is not None:
                now = time.monotonic()
                for k, started in sorted(handed.values()):
                    if now - started >= limit:
                        raise _overran(k, work, limit)
            hand_out()
    finally:
        for future in handed:
            future.cancel()
