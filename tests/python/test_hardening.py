"""What hostile-yet-realistic use must not do to the interpreter: abort it at
exit, deadlock it, hang it on a pipe, or cut text short."""

import _thread
import array
import collections
import fcntl
import os
import platform
import signal
import struct
import subprocess
import sys
import termios
import textwrap
import threading
import time
import zlib

import pytest

import halvorn
from subprocess_run import run_python

HEADER = struct.Struct("<4sHHQQII")


def tick_file_bytes(ticks, instrument=1):
    body = b"".join(struct.pack("<8q", t.exch_ts, t.local_ts, t.last, t.high, t.low, t.bid, t.ask,
                                t.volume) for t in ticks)
    return HEADER.pack(b"HVTK", 2, 0, len(ticks), instrument, zlib.crc32(body), 0) + body


class TestInterpreterExit:
    # A daemon thread still inside a run when the interpreter finalises is
    # ended by the interpreter with a forced unwind; swallowing it aborted
    # the process ("FATAL: exception not rethrown").
    @pytest.mark.parametrize("call", [
        "halvorn.run_backtest(S(), T, 1000)",
        "halvorn.compare_modes(S, T, 1000, 1)",
        "halvorn.lookahead_check(lambda known: S(), T[:50_000], 1000, max_points=4)",
    ])
    def test_a_daemon_thread_inside_a_run_exits_cleanly(self, call):
        code = f"""
            import threading, halvorn
            T = [halvorn.Tick(i, 100) for i in range(200_000)]
            inside = threading.Event()
            class S:
                def on_tick(self, ctx):
                    inside.set()
                    return None
            def forever():
                while True:
                    {call}
            threading.Thread(target=forever, daemon=True).start()
            inside.wait()
        """
        for _ in range(3):
            done = run_python(code)
            assert (done.returncode, done.stderr) == (0, "")


class TestSubinterpreter:
    def test_runs_inside_a_subinterpreter_return(self):
        # The lock is taken back with the calling thread's own state; the
        # per-process API would wait for the lock the thread already holds.
        inner = """
            import halvorn
            class S:
                def on_tick(self, ctx):
                    return [halvorn.Order("buy", 1)] if ctx.position == 0 else None
                def on_batch(self, ticks):
                    return None
            T = [halvorn.Tick(i, 100, ask=101) for i in range(100)]
            assert halvorn.run_backtest(S(), [], 1000).ticks == 0
            assert halvorn.run_backtest(S(), T, 1000).fills == 1
            assert halvorn.compare_modes(S, T, 1000, 4).compat_fills == 1
            assert halvorn.lookahead_check(lambda known: S(), T, 1000).clean
        """
        code = f"""
            import _xxsubinterpreters as interpreters, textwrap
            interp = interpreters.create()
            interpreters.run_string(interp, textwrap.dedent({inner!r}))
            interpreters.destroy(interp)
            print("done")
        """
        done = run_python(code, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "done\n", "")


def blocked_in_read(pid, writer):
    """Whether the process is inside read(2) while the pipe `writer` feeds is
    empty: then the read can end only by a signal, since nothing more is
    written."""
    number = {"x86_64": 0, "aarch64": 63}[platform.machine()]
    with open(f"/proc/{pid}/syscall") as f:
        in_read = f.read().split()[0] == str(number)
    waiting = array.array("i", [0])
    fcntl.ioctl(writer.fileno(), termios.FIONREAD, waiting)
    return in_read and waiting[0] == 0


@pytest.mark.skipif(platform.machine() not in ("x86_64", "aarch64"),
                    reason="reads the read(2) system call number of this architecture")
class TestPipes:
    def test_load_ticks_on_a_pipe_whose_writer_is_a_thread(self, tmp_path):
        # Opening a FIFO waits for its writer; holding the lock meanwhile
        # starved the writer thread of this same process for ever.
        fifo = str(tmp_path / "feed")
        os.mkfifo(fifo)
        code = f"""
            import threading, halvorn
            data = {tick_file_bytes([halvorn.Tick(1, 2), halvorn.Tick(3, 4)], instrument=9)!r}
            def write():
                with open({fifo!r}, "wb") as f:
                    f.write(data)
            writer = threading.Thread(target=write)
            writer.start()
            source = halvorn.load_ticks({fifo!r})
            writer.join()
            print(source.count, source.instrument)
        """
        done = run_python(code, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "2 9\n", "")

    @pytest.mark.parametrize("what", ["load", "run", "run_opening", "portfolio"])
    def test_ctrl_c_ends_a_read_from_a_stalled_pipe(self, tmp_path, what):
        # A signal interrupting the read lets Python's handler run: Ctrl-C
        # raises KeyboardInterrupt now, not when the writer gives up, and not
        # as a failure of the engine.
        path = str(tmp_path / "stalled")
        header = HEADER.pack(b"HVTK", 2, 0, 100_000, 1, 0, 0)
        sent = b""
        if what == "load":
            os.mkfifo(path)
            action = f"halvorn.load_ticks({path!r})"
        elif what in ("run", "run_opening"):
            # The source is loaded from a file that is then replaced by a
            # pipe, which the run opens; it stalls after 20_000 of the 100_000
            # ticks the header promised, or, while the run opens it, in the
            # read of its header (no strategy method has been called yet).
            with open(path, "wb") as f:
                f.write(header)
            action = (f"source = halvorn.load_ticks({path!r}); os.remove({path!r}); "
                      f"os.mkfifo({path!r}); print('ready', flush=True); "
                      "halvorn.run_backtest(S(), source, 1)")
            if what == "run":
                sent = header + tick_file_bytes([halvorn.Tick(i, 100) for i in range(20_000)])[32:]
        else:
            # The second instrument's file is replaced by a pipe that nobody
            # writes: the portfolio waits in the read of its header.
            first = str(tmp_path / "first")
            action = (f"btc = venue.Instrument('BTCUSDT', '0.1', '0.001'); "
                      f"eth = venue.Instrument('ETHUSDT', '0.01', '0.001'); "
                      f"a = data.from_arrays({first!r}, [1, 2], [100, 100], instrument=btc); "
                      f"b = data.from_arrays({path!r}, [1, 2], [100, 100], instrument=eth); "
                      f"os.remove({path!r}); os.mkfifo({path!r}); print('ready', flush=True); "
                      "venue.run(S(), {'BTCUSDT': a, 'ETHUSDT': b}, 1_000)")
        code = f"""
            import halvorn, os
            from halvorn import data, venue
            class S:
                def on_tick(self, ctx):
                    return None
            try:
                {action}
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            if what != "load":
                assert child.stdout.readline() == "ready\n"
            with open(path, "wb", buffering=0) as writer:  # waits for the child to open it
                writer.write(sent)
                while not blocked_in_read(child.pid, writer):
                    time.sleep(0.01)
                child.send_signal(signal.SIGINT)
                out, err = child.communicate(timeout=60)
        finally:
            if child.returncode is None:
                child.kill()
                child.communicate()
        assert (child.returncode, out, err) == (0, "interrupted\n", "")


class TestWholeText:
    # Names and messages are carried with their length, not as C strings
    # that end at the first NUL.
    def test_a_name_with_a_nul(self):
        class Named:
            name = "ab\x00cd"

            def on_tick(self, ctx):
                return None

        r = halvorn.run_backtest(Named(), [halvorn.Tick(1, 2)], 1)
        assert r.strategy == "ab\x00cd"
        assert repr(r) == 'RunResult(strategy="ab\\0cd", ticks=1, fills=0, final_equity=100000000)'

    def test_failure_messages_with_a_nul(self):
        class Fails:
            def on_tick(self, ctx):
                raise ValueError("before\x00after")

        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Fails(), [halvorn.Tick(1, 2)], 1)
        assert str(info.value) == "the strategy failed during the run: ValueError: before\x00after"

        def build(known):
            raise KeyError("k\x00ey")

        with pytest.raises(ValueError) as info:
            halvorn.lookahead_check(build, [halvorn.Tick(1, 2)], 1)
        assert str(info.value) == "the strategy failed during the check: build raised: KeyError: 'k\\x00ey'"


class TestLockBetweenTicks:
    def test_another_thread_gets_the_lock_between_per_tick_calls(self, endless_ticks):
        # The strategy is a builtin, so no Python code runs between ticks and
        # nothing but the adapter can give the lock up.  The watcher thread
        # can interrupt the (endless) run only if it is let in.
        code = f"""
            import _thread, collections, threading, time, halvorn
            seen = collections.deque(maxlen=1)
            class S:
                pass
            s = S()
            s.on_tick = seen.append
            def watch():
                while not seen:
                    time.sleep(0.001)
                _thread.interrupt_main()
            threading.Thread(target=watch).start()
            try:
                halvorn.run_backtest(s, halvorn.load_ticks({endless_ticks!r}), 1)
            except KeyboardInterrupt:
                print("interrupted after", seen[0].tick.exch_ts == 0)
        """
        done = run_python(code, timeout=120)
        assert (done.returncode, done.stdout, done.stderr) == (0, "interrupted after True\n", "")


class TestExtremeTicks:
    def test_ticks_at_the_ends_of_64_bits_run_on_every_tier(self):
        # Ticks are data: a range, a report time, an impact or a queue share
        # beyond 64 bits saturates instead of ending the run with a panic.
        from halvorn import venue

        top = 2**63 - 1
        ticks = [halvorn.Tick(top - 100 + i, 100 + i, high=top, low=-2, bid=99, ask=101,
                              volume=[0, top // 2, top][i % 3]) for i in range(30)]

        class Busy:
            # One buy of as many lots as trade between two ticks, moved by
            # impact past 64 bits, closed on the next tick; small orders of
            # every kind on every tick.
            n = 0

            def on_tick(self, ctx):
                self.n += 1
                big = [halvorn.Order("buy" if self.n == 1 else "sell", top // 2 + 1)]
                return big * (self.n <= 2) + [halvorn.Order("sell", 3, price=100),
                                              halvorn.Order("buy", 1, price=101),
                                              halvorn.Order("buy", 1)]

        tier = dict(order_latency=venue.Fixed(0), report_latency=venue.Fixed(10),
                    queue=venue.TradedShare(50), impact_pct=100)
        for t in (venue.L0(), venue.L1(**tier)):
            run = venue.run(Busy(), ticks, 1_000, venue=venue.Venue(tier=t, enforce_margin=False))
            assert run.ticks == 30 and len(run.fills) >= 2
            # The big buy is worth more than any balance holds: refused where
            # it would fill, not booked at a saturated worth.
            assert run.rejected["notional_too_large"] >= 1
