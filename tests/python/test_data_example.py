"""examples/archive.py type-checks strictly and runs from its archive to a run."""

import pathlib
import re
import subprocess
import sys

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "archive.py"


def test_the_example_is_strictly_typed(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           str(tmp_path / "cache"), str(EXAMPLE)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_example_converts_its_archive_and_trades_on_it(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path)], capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    first, second = done.stdout.splitlines()
    ticks = int(re.search(r", (\d+) ticks, instrument 1\)", first).group(1))
    # Three days of a trade about every second, each with a quote before it.
    assert 3 * 86_400 // 2 < ticks and first.endswith(", 8 funding rates")
    assert re.fullmatch(r"\d+ fills, fees [\d.]+ USDT, funding -?[\d.]+ USDT, final equity "
                        r"[\d,.]+ USDT", second)
    # The header, the records, and the instrument block after them.
    records_end = 32 + 64 * ticks
    assert records_end < (tmp_path / "btcusdt-2024-01.hvtk").stat().st_size < records_end + 256
