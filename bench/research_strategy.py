"""The compiled crossover the research benchmark walks forward: one C function
compiled once per process, its parameters and averages in the state array of
each strategy, so that building one of a thousand costs no compilation.

Importable by the workers of a process pool and of a Dask cluster (their
PYTHONPATH must hold this directory).
"""

from __future__ import annotations

import numba
import numpy as np

from halvorn import compiled, venue

LOTS = 10


@numba.cfunc(compiled.signature())
def _crossover(ticks_p, n, account_p, fills_p, n_fills, ends_p, n_ends, state_p, orders_p,
               capacity):
    ticks = numba.carray(ticks_p, (n, 8))
    account = numba.carray(account_p, (16,))
    state = numba.carray(state_p, (4,), np.float64)
    orders = numba.carray(orders_p, (capacity, 6))
    # state: the two smoothing factors, then the fast and the slow average.
    for i in range(n):
        last = ticks[i, 2]
        if state[2] == 0.0:
            state[2] = state[3] = last
        state[2] += state[0] * (last - state[2])
        state[3] += state[1] * (last - state[3])
    position = account[0]
    if account[5] > 0:
        return 0
    if state[2] > state[3] + 1.0 and position <= 0:
        orders[0, 0] = 1
        orders[0, 1] = 0
        orders[0, 2] = 0
        orders[0, 3] = 0
        orders[0, 4] = LOTS - position
        orders[0, 5] = 0
        return 1
    if state[2] < state[3] - 1.0 and position >= 0:
        orders[0, 0] = 1
        orders[0, 1] = 1
        orders[0, 2] = 0
        orders[0, 3] = 0
        orders[0, 4] = LOTS + position
        orders[0, 5] = 0
        return 1
    return 0


def build(fast: int, slow: int) -> venue.Compiled:
    """A crossover of exponential averages over `fast` and `slow` ticks."""
    state = np.array([2.0 / (fast + 1), 2.0 / (slow + 1), 0.0, 0.0])
    return venue.Compiled(_crossover, state=state, name=f"crossover {fast}/{slow}")
