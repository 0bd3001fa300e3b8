"""Fixtures shared by the Python tests."""

import struct

import pytest

ENDLESS_TICKS = 10**9


@pytest.fixture
def endless_ticks(tmp_path):
    """A tick file whose header promises a billion zero ticks, stored as a
    sparse file.  A run over it cannot end by running out of ticks in the time
    any test takes, so a test that waits for something to happen during a run
    waits for that event itself rather than racing the run's end."""
    path = tmp_path / "endless.hvtk"
    with open(path, "wb") as f:
        f.write(struct.pack("<4sHHQQII", b"HVTK", 2, 0, ENDLESS_TICKS, 1, 0, 0))
        f.truncate(32 + 64 * ENDLESS_TICKS)
    return str(path)
