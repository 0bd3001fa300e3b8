"""Strategies compiled to native code: per-tick decisions at engine speed,
without the interpreter lock.

The engine calls a C function on every tick (see `halvorn.venue.Compiled`
and docs/compiled_strategies.md for the signature and the layouts).  The
natural way to write one is numba, the `jit` extra:

    import numba, numpy as np
    from halvorn import compiled, venue

    @numba.njit
    def decide(ticks, account, fills, ends, state, orders):
        if account[compiled.POSITION] == 0 and account[compiled.WORKING] == 0:
            compiled.market(orders, 0, "buy", 1)   # -> one order slot filled
            return 1
        return 0

    strategy = compiled.strategy(decide, state=np.zeros(4))
    run = venue.run(strategy, ticks, 10_000)

`decide` receives NumPy views: the call's ticks as an (n, 8) int64 array,
the account as 16 int64 words, the fills and ends since the previous call
as (n, 10) and (n, 2) arrays (a fill's last two words are the index of the
tick it was booked on and what its order still had working after it), the
state array as given (its dtype and shape), and the (capacity, 6) int64
order buffer; it returns how many order slots it filled, or a negative
status that stops the run.

Any other C function pointer works as well (ctypes, cffi, Cython): give
`venue.Compiled` its address.
"""

from __future__ import annotations

from typing import Any

from halvorn import venue
from halvorn._optional import require

__all__ = [
    "strategy", "signature", "market", "limit", "cancel", "cancel_all",
    "TICK_WORDS", "ACCOUNT_WORDS", "FILL_WORDS", "FULL_FILL_WORDS", "END_WORDS", "ORDER_WORDS",
    "FILL_TICK", "REMAINING",
    "EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME",
    "POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY", "EQUITY", "WORKING", "INSTRUMENT",
    "TICK_INDEX", "ORDERS_MADE",
    "MARKET", "LIMIT", "CANCEL", "CANCEL_ALL", "BUY", "SELL", "OPEN", "CLOSE",
]

TICK_WORDS = 8
ACCOUNT_WORDS = 16
FILL_WORDS = 8  # what a raw function reads unless it asks for more
FULL_FILL_WORDS = 10  # what `strategy` hands its function
END_WORDS = 2
ORDER_WORDS = 6

# Words of a tick record.
EXCH_TS, LOCAL_TS, LAST, HIGH, LOW, BID, ASK, VOLUME = range(8)
# Words of a full fill record past the first eight: the index of the tick
# it was booked on, and the lots its order still had working after it.
FILL_TICK, REMAINING = 8, 9
# Words of the account view.
POSITION, ENTRY, SHORT_POSITION, SHORT_ENTRY, EQUITY, WORKING, INSTRUMENT, TICK_INDEX, \
    ORDERS_MADE = range(9)
# Order slots: kind, side, offset, price, qty, order id.
MARKET, LIMIT, CANCEL, CANCEL_ALL = 1, 2, 3, 4
BUY, SELL = 0, 1
OPEN, CLOSE = 0, 1


def signature() -> Any:
    """The numba signature of the function the engine calls, for
    ``@numba.cfunc(compiled.signature())``."""
    numba = require("numba", "jit", "halvorn.compiled")
    i64 = numba.types.int64
    words = numba.types.CPointer(i64)
    return i64(words, i64, words, words, i64, words, i64, numba.types.voidptr, words, i64)


def _slot_writers() -> tuple[Any, Any, Any, Any]:
    numba = require("numba", "jit", "halvorn.compiled")

    @numba.njit(inline="always")
    def market(orders: Any, k: int, side: int, qty: int, offset: int = 0) -> None:
        orders[k, 0] = 1
        orders[k, 1] = side
        orders[k, 2] = offset
        orders[k, 3] = 0
        orders[k, 4] = qty
        orders[k, 5] = 0

    @numba.njit(inline="always")
    def limit(orders: Any, k: int, side: int, price: int, qty: int, offset: int = 0) -> None:
        orders[k, 0] = 2
        orders[k, 1] = side
        orders[k, 2] = offset
        orders[k, 3] = price
        orders[k, 4] = qty
        orders[k, 5] = 0

    @numba.njit(inline="always")
    def cancel(orders: Any, k: int, order_id: int) -> None:
        orders[k, 0] = 3
        orders[k, 5] = order_id

    @numba.njit(inline="always")
    def cancel_all(orders: Any, k: int) -> None:
        orders[k, 0] = 4

    return market, limit, cancel, cancel_all


_WRITERS: tuple[Any, Any, Any, Any] | None = None
_WRITER_NAMES = ("market", "limit", "cancel", "cancel_all")


def _writer(index: int) -> Any:
    global _WRITERS
    if _WRITERS is None:
        _WRITERS = _slot_writers()
    return _WRITERS[index]


def __getattr__(name: str) -> Any:
    # market, limit, cancel and cancel_all are numba functions, made when
    # first asked for: inside an njit function they are called as any other.
    if name in _WRITER_NAMES:
        return _writer(_WRITER_NAMES.index(name))
    raise AttributeError(f"module 'halvorn.compiled' has no attribute {name!r}")


def strategy(decide: Any, state: Any = None, *, name: str | None = None,
             capacity: int = 64) -> venue.Compiled:
    """A `venue.Compiled` from a numba function `decide(ticks, account,
    fills, ends, state, orders) -> int` (a plain Python function is compiled
    with ``numba.njit``).  `state` is None or a NumPy array the function
    receives as it is (its dtype and shape are fixed here) and may change;
    the run reads and writes it in place, so it holds the strategy's state
    after the run."""
    numba = require("numba", "jit", "halvorn.compiled")
    np = require("numpy", "jit", "halvorn.compiled")
    # Inlined into the entry point: a call that passes six arrays by value
    # on every tick would cost more than many a strategy's decision.
    python_function = getattr(decide, "py_func", decide)
    decide = numba.njit(inline="always")(python_function)
    if state is None:
        state_dtype, state_shape = np.dtype(np.int64), (0,)
    else:
        if not isinstance(state, np.ndarray) or not state.flags.c_contiguous \
                or not state.flags.writeable:
            raise TypeError("state must be a writable C-contiguous NumPy array, or None")
        state_dtype, state_shape = state.dtype, state.shape
    carray = numba.carray
    dtype = numba.from_dtype(state_dtype)

    def entry(ticks_p: Any, n_ticks: int, account_p: Any, fills_p: Any, n_fills: int,
              ends_p: Any, n_ends: int, state_p: Any, orders_p: Any, capacity_: int) -> int:
        ticks = carray(ticks_p, (n_ticks, 8))
        account = carray(account_p, (16,))
        fills = carray(fills_p, (n_fills, FULL_FILL_WORDS))
        ends = carray(ends_p, (n_ends, 2))
        own = carray(state_p, state_shape, dtype)
        orders = carray(orders_p, (capacity_, 6))
        return decide(ticks, account, fills, ends, own, orders)

    function = numba.cfunc(signature(), nopython=True)(entry)
    label = name if name is not None else getattr(decide, "__name__", "compiled")
    if state is None:
        state = np.zeros(1, dtype=np.int64)[:0]
    return venue.Compiled(function, state, label, capacity, FULL_FILL_WORDS)
