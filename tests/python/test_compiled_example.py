"""examples/compiled_market_making.py runs its compiled market maker to the
end, quoting as a maker only, and says what is missing without numba."""

import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "compiled_market_making.py"


def test_the_example_makes_markets_as_a_maker_only():
    pytest.importorskip("numba", reason="the example needs halvorn[jit]")
    done = subprocess.run([sys.executable, str(EXAMPLE), "200000"], capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    first, second, third = done.stdout.splitlines()
    assert first.startswith("200,000 ticks in ")
    fills, makers = re.match(r"([\d,]+) fills, ([\d,]+) as maker; fees paid \+0\.00 USDT$",
                             second).groups()
    assert fills == makers and int(fills.replace(",", "")) > 1_000
    # The inventory limit holds: never beyond 20 lots of 0.001 plus one quote.
    inventory = float(re.search(r"inventory at the end (-?[\d.]+) BTC", third).group(1))
    assert abs(inventory) <= 0.025


def test_without_numba_the_example_says_what_to_install(tmp_path):
    # A numba that cannot be imported, ahead of the real one on the path.
    (tmp_path / "numba.py").write_text("raise ImportError('no numba here')\n")
    done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                          timeout=600, env={"PYTHONPATH": str(tmp_path),
                                            "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    assert "pip install 'halvorn[jit]'" in done.stdout
