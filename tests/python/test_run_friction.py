"""What stands between a user and the cause of a problem: a strategy's error
traced to its line and its tick, a progress display that cannot fail a run,
no column memory reachable past its call, one-line errors from the command
line, and no file left behind by a conversion that was killed."""

import gzip
import os
import signal
import subprocess
import sys
import textwrap
import traceback
import zipfile

import numpy as np
import pytest

import halvorn
from halvorn import venue
from subprocess_run import run_python

TICKS = [halvorn.Tick(1_000 + i, 600_000 + i, bid=599_999, ask=600_001) for i in range(40)]


class FailsOnTheThird:
    def __init__(self):
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls == 3:
            return {}["missing"]
        return None


class FailsInBatch:
    def on_batch(self, ticks):
        return {}["missing"]


class FailsInColumns:
    def on_columns(self, batch):
        return {}["missing"]


class FailsInHook:
    def on_tick(self, ctx):
        return [halvorn.Order("buy", 1)] if ctx.position == 0 else None

    def on_fill(self, fill):
        raise RuntimeError("hook broke")


class TestStrategyErrors:
    @pytest.mark.parametrize("run", [
        lambda s: halvorn.run_backtest(s, TICKS, 1_000),
        lambda s: venue.run(s, TICKS, 1_000),
    ])
    def test_the_original_is_the_cause_and_a_note_names_the_tick(self, run):
        with pytest.raises(ValueError) as info:
            run(FailsOnTheThird())
        error = info.value
        assert str(error) == "the strategy failed during the run: KeyError: 'missing'"
        assert isinstance(error.__cause__, KeyError)
        frames = traceback.extract_tb(error.__cause__.__traceback__)
        assert frames[-1].name == "on_tick" and "missing" in frames[-1].line
        assert error.__notes__ == [
            "raised on tick 2 of the series (counting from 0), exchange time 1002 ns"]

    @pytest.mark.parametrize("strategy", [FailsInBatch, FailsInColumns])
    def test_batches_and_columns_name_the_tick_that_completed_the_batch(self, strategy):
        with pytest.raises(ValueError) as info:
            venue.run(strategy(), TICKS, 1_000, batch=8)
        assert isinstance(info.value.__cause__, KeyError)
        assert info.value.__notes__ == [
            "raised on tick 7 of the series (counting from 0), exchange time 1007 ns"]

    def test_a_feedback_hook_is_traced_too(self):
        with pytest.raises(ValueError, match="RuntimeError: hook broke") as info:
            venue.run(FailsInHook(), TICKS, 1_000)
        assert isinstance(info.value.__cause__, RuntimeError)
        # The order sent on tick 0 fills on tick 1, whose call hears of it first.
        assert info.value.__notes__ == [
            "raised on tick 1 of the series (counting from 0), exchange time 1001 ns"]


class TestProgress:
    def test_an_unwritable_standard_error_does_not_fail_the_run(self):
        # stderr is a pipe whose reader has gone, as under `2>&1 | head`.
        code = """
            import os, sys, halvorn
            from halvorn import venue
            read, write = os.pipe()
            os.close(read)
            os.dup2(write, 2)
            class S:
                calls = 0
                def on_tick(self, ctx):
                    S.calls += 1
            ticks = [halvorn.Tick(i, 100) for i in range(300_000)]
            r = venue.run(S(), ticks, 1_000, progress=True)
            print(r.ticks, S.calls)
        """
        done = run_python(code)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split()[:2] == ["300000", "300000"]


class TestColumnMemory:
    def test_a_columns_array_interface_hands_out_no_address(self):
        kept = {}

        class Keeps:
            def on_columns(self, batch):
                kept["iface"] = dict(batch.last.__array_interface__)
                return None

        venue.run(Keeps(), TICKS, 1_000, batch=8)
        assert "data" not in kept["iface"] and kept["iface"]["shape"] == (8,)

        class Borrowed:
            __array_interface__ = kept["iface"]

        # Without an address the interface reaches no memory of the batch.
        with pytest.raises((TypeError, ValueError, BufferError)):
            np.asarray(Borrowed()) + 0


def cli(*args):
    return subprocess.run([sys.executable, "-m", "halvorn.data", *args], capture_output=True,
                          text=True, timeout=120)


TRADES = (b"id,price,qty,quote_qty,time,is_buyer_maker\n" +
          b"".join(b"%d,42000.%d,0.001,0,%d,true\n" % (i, i % 10, 1_700_000_000_000 + i)
                   for i in range(2_000)))


class TestCommandLine:
    @pytest.mark.parametrize("name, damage", [
        ("day.csv.gz", lambda b: gzip.compress(b)[:30] + b"\x00" * 40 + gzip.compress(b)[70:]),
        ("day.zip", None),
    ])
    def test_a_damaged_archive_is_one_line_naming_the_file(self, tmp_path, name, damage):
        path = tmp_path / name
        if damage is not None:
            path.write_bytes(damage(TRADES))
        else:
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("day.csv", TRADES)
            raw = bytearray(path.read_bytes())
            start = raw.find(b"day.csv") + len(b"day.csv")  # the member's data follows its name
            raw[start + 20:start + 60] = b"\x13" * 40
            path.write_bytes(bytes(raw))
        done = cli("convert", str(path), str(tmp_path / "out.hvtk"), "--tick-size", "0.1",
                   "--lot-size", "0.001")
        assert done.returncode == 1, done.stderr
        assert "Traceback" not in done.stderr and len(done.stderr.strip().splitlines()) == 1
        assert name in done.stderr
        assert not (tmp_path / "out.hvtk").exists()

    @pytest.mark.parametrize("flag, value", [("--instrument", str(2**80)),
                                             ("--instrument", str(2**32)),
                                             ("--sort-window", str(2**64))])
    def test_numbers_beyond_their_range_are_bad_arguments(self, tmp_path, flag, value):
        (tmp_path / "t.csv").write_bytes(TRADES)
        done = cli("convert", str(tmp_path / "t.csv"), str(tmp_path / "out.hvtk"), "--tick-size",
                   "0.1", "--lot-size", "0.001", flag, value)
        assert done.returncode == 2 and "Traceback" not in done.stderr
        assert flag in done.stderr

    def test_a_huge_sort_window_reserves_nothing_up_front(self, tmp_path):
        (tmp_path / "t.csv").write_bytes(b"".join(TRADES.splitlines(keepends=True)[:5]))
        done = cli("convert", str(tmp_path / "t.csv"), str(tmp_path / "out.hvtk"), "--tick-size",
                   "0.1", "--lot-size", "0.001", "--sort-window", str(10**12))
        assert done.returncode == 0, done.stderr
        assert halvorn.load_ticks(str(tmp_path / "out.hvtk")).count > 0


class TestKilledConversion:
    def test_a_conversion_killed_outright_leaves_nothing_beside_the_target(self, tmp_path):
        # The conversion reads from a file object that announces it has
        # started and then blocks; the process is killed there.
        code = f"""
            import sys, halvorn
            from halvorn import data
            rows = {TRADES!r}
            class Stalls:
                def __init__(self):
                    self.sent = False
                def readinto(self, view):
                    if self.sent:
                        print("writing", flush=True)
                        sys.stdin.read()
                    self.sent = True
                    view[:len(rows)] = rows
                    return len(rows)
            data.from_csv({str(tmp_path / "out.hvtk")!r}, [Stalls()], tick_size="0.1",
                          lot_size="0.001")
        """
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline() == "writing\n"
            child.send_signal(signal.SIGKILL)
        finally:
            child.wait(timeout=60)
            child.stdin.close()
            child.stdout.close()
        assert os.listdir(tmp_path) == []

    def test_a_temporary_left_by_a_killed_writer_is_removed_by_the_next(self, tmp_path):
        # Where a file system has no unnamed files, the temporary has a name
        # carrying its writer's process id; one whose writer is gone is stale.
        dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                              capture_output=True, text=True).stdout.strip()
        stale = tmp_path / f".halvorn-save-{dead}-abcdefghij"
        stale.write_bytes(b"left by a killed writer")
        alive = tmp_path / f".halvorn-save-{os.getpid()}-abcdefghij"
        alive.write_bytes(b"being written")
        halvorn.save_ticks(str(tmp_path / "t.hvtk"), TICKS)
        assert sorted(os.listdir(tmp_path)) == sorted([alive.name, "t.hvtk"])
