"""examples/parameter_sweep.py type-checks strictly and runs to its report."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "parameter_sweep.py"


def test_the_example_is_strictly_typed(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           str(tmp_path / "cache"), str(EXAMPLE)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_example_ends_with_its_verdict_and_a_report(tmp_path):
    pytest.importorskip("matplotlib", reason="the example writes a chart: halvorn[report]")
    pytest.importorskip("pandas", reason="the example writes a page: halvorn[report]")
    done = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path), "--ticks", "40000"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "Deflated Sharpe ratio (16 tries): " in out
    assert "Probability of backtest overfitting: " in out
    for name in ("best.png", "best.html"):
        assert (tmp_path / name).stat().st_size > 10_000
    assert out.rstrip().endswith(str(tmp_path / "best.html"))
