"""examples/walk_forward.py type-checks strictly and runs to its page."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "walk_forward.py"


def test_the_example_is_strictly_typed(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           str(tmp_path / "cache"), str(EXAMPLE)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_example_ends_with_its_verdicts_and_a_page(tmp_path):
    pytest.importorskip("plotly", reason="the example writes a page: halvorn[report]")
    done = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path), "--ticks", "30000"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    for verdict in ("Out of sample, stitched: ", "Walk-forward efficiency: ",
                    "Deflated Sharpe ratio (", "Probability of backtest overfitting, over windows: ",
                    "Random search, out of sample: ", "Purged cross-validation: 15 splits, 5 paths"):
        assert verdict in out
    page = tmp_path / "walk-forward.html"
    assert page.stat().st_size > 100_000
    assert out.rstrip().endswith(str(page))
