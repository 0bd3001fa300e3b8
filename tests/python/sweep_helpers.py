"""Strategies that sweep tests run in worker processes, which import them from
here, and the checks that a sweep's workers are gone when it has ended."""

import contextlib
import os
import signal
import threading
import time

import halvorn

RELEASE = threading.Event()
"""Lets a `Marked` that hangs in a thread of the test process go; set by the
test when it is done with it.  A worker process has its own, never set."""

DEADLINE = 120.0
"""Seconds after which a wait for something that should take a moment gives up."""


class TwoPartError(Exception):
    """An exception whose pickle calls it with one argument where it takes two."""

    def __init__(self, first, second):
        super().__init__(first + second)


class Marked:
    """Leaves a file named ``<role>-<pid>`` in `marks` when built, so a test knows
    which process runs it, then does as `role` says:

    ``ok`` trades a lot of 1 on every tick that moved and finishes;
    ``hang`` waits on its first tick for `RELEASE`;
    ``fail`` raises `LookupError` once a ``hang`` set has marked itself, so that
    the failure comes while that set is running;
    ``die`` kills its own process on its first tick;
    ``odd`` raises an exception that cannot be rebuilt from a pickle.
    """

    def __init__(self, marks, role):
        self.role = role
        self.last = None
        if role == "fail":
            wait_for(lambda: marked(marks, "hang"), "a hanging set to start")
        open(os.path.join(marks, f"{role}-{os.getpid()}"), "a").close()
        if role == "fail":
            raise LookupError("no strategy for this role")
        if role == "odd":
            raise TwoPartError("no strategy ", "for this role")

    def on_tick(self, ctx):
        if self.role == "hang":
            RELEASE.wait()
        elif self.role == "die":
            os.kill(os.getpid(), signal.SIGKILL)
        moved = self.last is not None and ctx.last != self.last
        self.last = ctx.last
        if moved and ctx.position == 0:
            return [halvorn.Order("buy", 1)]
        if moved:
            return [halvorn.Order("sell", ctx.position, "close")]
        return None


def marked(marks, role=None):
    """The pids that left a mark in `marks`, of `role` or of any."""
    pids = []
    for name in os.listdir(marks):
        kind, _, pid = name.partition("-")
        if role is None or kind == role:
            pids.append(int(pid))
    return pids


def wait_for(condition, what, seconds=DEADLINE):
    """Polls `condition` until it holds; raises `AssertionError` naming `what`
    if it still does not after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up waiting for {what}")
        time.sleep(0.02)


def alive(pid):
    """Whether `pid` is a running process.  A child that died and nobody reaped
    (its parent is gone, and init in a container need not reap) is not."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] != "Z"
    except FileNotFoundError:
        return False
    except OSError:
        return True


def assert_gone(pids):
    """Waits until every process of `pids` has ended; one that has not by the
    deadline is killed, so no test leaves it behind, and fails the test."""
    try:
        wait_for(lambda: not any(alive(pid) for pid in pids), f"the workers {pids} to end")
    except AssertionError:
        left = [pid for pid in pids if alive(pid)]
        for pid in left:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)
        raise AssertionError(f"workers {left} outlived their sweep") from None


@contextlib.contextmanager
def watchdog(marks, seconds=DEADLINE):
    """Kills the processes that marked themselves in `marks` if the block still
    runs after `seconds`: a sweep that waits for a hanging set then fails its
    test, which checks the yielded event, instead of hanging the suite."""
    fired = threading.Event()

    def fire():
        fired.set()
        for pid in marked(marks):
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL)

    timer = threading.Timer(seconds, fire)
    timer.daemon = True
    timer.start()
    try:
        yield fired
    finally:
        timer.cancel()
