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
    "strategy", "signature", "market", "limit", "cancel", "cancel_all", "SLOT_LAYOUT",
    "TICK_WORDS", "ACCOUNT_WORDS", "FILL_WORDS", "FULL_FILL_WORDS", "END_WORDS", "ORDER_WORDS",
    "FILL_TICK", "REMAINING",
    "EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME",
    "POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY", "EQUITY", "WORKING", "INSTRUMENT",
    "TICK_INDEX", "ORDERS_MADE",
    "MARKET", "LIMIT", "CANCEL", "CANCEL_ALL", "BUY", "SELL", "OPEN", "CLOSE",
]

# The slot layout this module's slot writers and entry point are written
# for.  The library refuses code written for another (a word moved under it
# would be read or written in silence) and hands out the words and codes of
# its own, which name everything below: nothing here restates a number.
SLOT_LAYOUT = 1


def _layout_names() -> dict[str, int]:
    return {name: value for _, name, value in venue._compiled_layout(SLOT_LAYOUT)}


_NAMES = _layout_names()

TICK_WORDS = _NAMES["TICK_WORDS"]
ACCOUNT_WORDS = _NAMES["ACCOUNT_WORDS"]
FILL_WORDS = _NAMES["FILL_WORDS"]  # what a raw function reads unless it asks for more
FULL_FILL_WORDS = _NAMES["FULL_FILL_WORDS"]  # what `strategy` hands its function
END_WORDS = _NAMES["END_WORDS"]
ORDER_WORDS = _NAMES["ORDER_WORDS"]

# Words of a tick record.
EXCH_TS, LOCAL_TS, LAST, HIGH, LOW, BID, ASK, VOLUME = (
    _NAMES[n] for n in ("EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME"))
# Words of a full fill record past the first eight: the index of the tick
# it was booked on, and the lots its order still had working after it.
FILL_TICK, REMAINING = _NAMES["FILL_TICK"], _NAMES["REMAINING"]
# Words of the account view.
POSITION, ENTRY, SHORT_POSITION, SHORT_ENTRY, EQUITY, WORKING, INSTRUMENT, TICK_INDEX, \
    ORDERS_MADE = (_NAMES[n] for n in ("POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY",
                                        "EQUITY", "WORKING", "INSTRUMENT", "TICK_INDEX",
                                        "ORDERS_MADE"))
# Order slots: kind, side, offset, price, qty, order id.
MARKET, LIMIT, CANCEL, CANCEL_ALL = (_NAMES[n] for n in ("MARKET", "LIMIT", "CANCEL", "CANCEL_ALL"))
BUY, SELL = _NAMES["BUY"], _NAMES["SELL"]
OPEN, CLOSE = _NAMES["OPEN"], _NAMES["CLOSE"]
# The words of an order slot, which the writers below fill.
_KIND, _SIDE, _OFFSET, _PRICE, _QTY, _ORDER = (
    _NAMES[n] for n in ("KIND", "SIDE", "OFFSET", "PRICE", "QTY", "ORDER"))


def signature() -> Any:
    """The numba signature of the function the engine calls, for
    ``@numba.cfunc(compiled.signature())``."""
    numba = require("numba", "jit", "halvorn.compiled")
    i64 = numba.types.int64
    words = numba.types.CPointer(i64)
    return i64(words, i64, words, words, i64, words, i64, numba.types.voidptr, words, i64)


def _slot_writers() -> tuple[Any, Any, Any, Any]:
    numba = require("numba", "jit", "halvorn.compiled")

    # numba reads the module's ints as constants: the writers compile to
    # the stores they would with the numbers written in.
    @numba.njit(inline="always")
    def market(orders: Any, k: int, side: int, qty: int, offset: int = OPEN) -> None:
        orders[k, _KIND] = MARKET
        orders[k, _SIDE] = side
        orders[k, _OFFSET] = offset
        orders[k, _PRICE] = 0
        orders[k, _QTY] = qty
        orders[k, _ORDER] = 0

    @numba.njit(inline="always")
    def limit(orders: Any, k: int, side: int, price: int, qty: int, offset: int = OPEN) -> None:
        orders[k, _KIND] = LIMIT
        orders[k, _SIDE] = side
        orders[k, _OFFSET] = offset
        orders[k, _PRICE] = price
        orders[k, _QTY] = qty
        orders[k, _ORDER] = 0

    @numba.njit(inline="always")
    def cancel(orders: Any, k: int, order_id: int) -> None:
        orders[k, _KIND] = CANCEL
        orders[k, _ORDER] = order_id

    @numba.njit(inline="always")
    def cancel_all(orders: Any, k: int) -> None:
        orders[k, _KIND] = CANCEL_ALL

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
    _layout_names()  # refused here, before compiling, if the library moved a word
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
        ticks = carray(ticks_p, (n_ticks, TICK_WORDS))
        account = carray(account_p, (ACCOUNT_WORDS,))
        fills = carray(fills_p, (n_fills, FULL_FILL_WORDS))
        ends = carray(ends_p, (n_ends, END_WORDS))
        own = carray(state_p, state_shape, dtype)
        orders = carray(orders_p, (capacity_, ORDER_WORDS))
        return decide(ticks, account, fills, ends, own, orders)

    function = numba.cfunc(signature(), nopython=True)(entry)
    label = name if name is not None else getattr(decide, "__name__", "compiled")
    if state is None:
        state = np.zeros(1, dtype=np.int64)[:0]
    return venue.Compiled(function, state, label, capacity, FULL_FILL_WORDS)
