"""A sweep of three sets on two workers, two of which never finish: it runs
until a signal stops it.  A Ctrl-C prints the roles of the sets that finished
and exits with 130.

    python interrupted.py MARKS TICK_FILE
"""

import os
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import halvorn  # noqa: E402
from halvorn import sweep  # noqa: E402
from sweep_helpers import Marked  # noqa: E402

if __name__ == "__main__":
    marks, path = sys.argv[1:]
    # As a program started from a terminal or an IDE has it, even when the test
    # runs in a background job, whose children start with Ctrl-C ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    # Two workers whatever the machine: the first finishes "ok" and takes the
    # second "hang", the other takes the first.
    sweep._worker_count = lambda tasks: 2
    grid = [{"marks": marks, "role": role} for role in ("ok", "hang", "hang")]
    try:
        sweep.run(Marked, grid, halvorn.load_ticks(path), 1_000, equity_every=50)
    except KeyboardInterrupt as stop:
        print("interrupted with", [row.params["role"] for row in stop.partial.rows], flush=True)
        sys.exit(130)
