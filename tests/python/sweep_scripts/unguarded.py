"""A script that starts a sweep at its top level, with no main guard.  The
sweep's workers load the script again, and so reach the sweep again.

    python unguarded.py TICK_FILE
"""

import sys

import halvorn
from halvorn import sweep


class Quiet:
    def __init__(self, lag):
        self.lag = lag

    def on_tick(self, ctx):
        return None


result = sweep.run(Quiet, {"lag": [1, 2]}, halvorn.load_ticks(sys.argv[1]), 1_000, equity_every=50)
print("ran", len(result))
