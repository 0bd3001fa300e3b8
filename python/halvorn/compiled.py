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
the account as 16 int64 words followed by a record of 6 for each of the
run's instruments (its position), the fills and ends since the previous call
as (n, 10) and (n, 2) arrays (a fill's last two words are the index of the
tick it was booked on and what its order still had working after it), the
state array as given (its dtype and shape), and the (capacity, 16) int64
order buffer, filled by the slot writers (`market`, `limit`, `stop`,
`take_profit`, `trailing_stop`, `close_position`, `cancel`, `cancel_all`,
then `terms`, `one_cancels_other` and `bracket` for what they add); it returns how many order slots it filled, or a negative
status that stops the run.

Any other C function pointer works as well (ctypes, cffi, Cython): give
`venue.Compiled` its address.
"""

from __future__ import annotations

from typing import Any

from halvorn import venue
from halvorn._optional import require

__all__ = [
    "strategy", "signature", "market", "limit", "cancel", "cancel_all", "stop", "take_profit",
    "trailing_stop", "close_position", "terms", "one_cancels_other", "bracket", "SLOT_LAYOUT",
    "TICK_WORDS", "ACCOUNT_WORDS", "FILL_WORDS", "FULL_FILL_WORDS", "END_WORDS", "ORDER_WORDS",
    "FULL_ORDER_WORDS", "FILL_TICK", "REMAINING",
    "EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME",
    "POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY", "EQUITY", "WORKING", "INSTRUMENT",
    "TICK_INDEX", "ORDERS_MADE", "INSTRUMENTS", "POSITION_WORDS", "HELD_INSTRUMENT",
    "HELD_POSITION", "HELD_ENTRY", "HELD_SHORT_POSITION", "HELD_SHORT_ENTRY", "HELD_WORKING",
    "MARKET", "LIMIT", "CANCEL", "CANCEL_ALL", "STOP", "TAKE_PROFIT", "TRAILING_STOP",
    "CLOSE_POSITION", "BUY", "SELL", "OPEN", "CLOSE",
    "GOOD_TILL_CANCEL", "IMMEDIATE_OR_CANCEL", "FILL_OR_KILL", "POST_ONLY", "REDUCE_ONLY",
    "BY_LAST", "BY_MARK", "ONE_CANCELS_OTHER", "BRACKET_ENTRY", "BRACKET_STOP", "BRACKET_TAKE",
]

# The slot layout this module's slot writers and entry point are written
# for.  The library refuses code written for another (a word moved under it
# would be read or written in silence) and hands out the words and codes of
# its own, which name everything below: nothing here restates a number.
SLOT_LAYOUT = 2


def _layout_names() -> dict[str, int]:
    return {name: value for _, name, value in venue._compiled_layout(SLOT_LAYOUT)}


_NAMES = _layout_names()

TICK_WORDS = _NAMES["TICK_WORDS"]
ACCOUNT_WORDS = _NAMES["ACCOUNT_WORDS"]
FILL_WORDS = _NAMES["FILL_WORDS"]  # what a raw function reads unless it asks for more
FULL_FILL_WORDS = _NAMES["FULL_FILL_WORDS"]  # what `strategy` hands its function
END_WORDS = _NAMES["END_WORDS"]
ORDER_WORDS = _NAMES["ORDER_WORDS"]  # what a raw function writes unless it asks for more
FULL_ORDER_WORDS = _NAMES["FULL_ORDER_WORDS"]  # what `strategy` hands its function

# Words of a tick record.
EXCH_TS, LOCAL_TS, LAST, HIGH, LOW, BID, ASK, VOLUME = (
    _NAMES[n] for n in ("EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME"))
# Words of a full fill record past the first eight: the index of the tick
# it was booked on, and the lots its order still had working after it.
FILL_TICK, REMAINING = _NAMES["FILL_TICK"], _NAMES["REMAINING"]
# Words of the account view.
POSITION, ENTRY, SHORT_POSITION, SHORT_ENTRY, EQUITY, WORKING, INSTRUMENT, TICK_INDEX, \
    ORDERS_MADE, INSTRUMENTS = (
        _NAMES[n] for n in ("POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY", "EQUITY",
                            "WORKING", "INSTRUMENT", "TICK_INDEX", "ORDERS_MADE", "INSTRUMENTS"))
# Words of each instrument's record, which follow the account's words, one
# per instrument of the run in its order.
POSITION_WORDS = _NAMES["POSITION_WORDS"]
HELD_INSTRUMENT, HELD_POSITION, HELD_ENTRY, HELD_SHORT_POSITION, HELD_SHORT_ENTRY, \
    HELD_WORKING = (_NAMES[n] for n in ("HELD_INSTRUMENT", "HELD_POSITION", "HELD_ENTRY",
                                        "HELD_SHORT_POSITION", "HELD_SHORT_ENTRY",
                                        "HELD_WORKING"))
# Order slots: what each asks for, and the codes of its words.
MARKET, LIMIT, CANCEL, CANCEL_ALL, STOP, TAKE_PROFIT, TRAILING_STOP, CLOSE_POSITION = (
    _NAMES[n] for n in ("MARKET", "LIMIT", "CANCEL", "CANCEL_ALL", "STOP", "TAKE_PROFIT",
                        "TRAILING_STOP", "CLOSE_POSITION"))
BUY, SELL = _NAMES["BUY"], _NAMES["SELL"]
OPEN, CLOSE = _NAMES["OPEN"], _NAMES["CLOSE"]
GOOD_TILL_CANCEL, IMMEDIATE_OR_CANCEL, FILL_OR_KILL = (
    _NAMES[n] for n in ("GOOD_TILL_CANCEL", "IMMEDIATE_OR_CANCEL", "FILL_OR_KILL"))
POST_ONLY, REDUCE_ONLY = _NAMES["POST_ONLY"], _NAMES["REDUCE_ONLY"]
BY_LAST, BY_MARK = _NAMES["BY_LAST"], _NAMES["BY_MARK"]
ONE_CANCELS_OTHER, BRACKET_ENTRY, BRACKET_STOP, BRACKET_TAKE = (
    _NAMES[n] for n in ("ONE_CANCELS_OTHER", "BRACKET_ENTRY", "BRACKET_STOP", "BRACKET_TAKE"))
# The words of an order slot, which the writers below fill.
_KIND, _SIDE, _OFFSET, _PRICE, _QTY, _ORDER, _FOR_INSTRUMENT, _TIF, _FLAGS, _TRIGGER, \
    _DISTANCE, _RATE, _FIRED_BY, _GROUP = (
        _NAMES[n] for n in ("KIND", "SIDE", "OFFSET", "PRICE", "QTY", "ORDER", "FOR_INSTRUMENT",
                            "TIF", "FLAGS", "TRIGGER", "DISTANCE", "RATE", "FIRED_BY", "GROUP"))


def signature() -> Any:
    """The numba signature of the function the engine calls, for
    ``@numba.cfunc(compiled.signature())``."""
    numba = require("numba", "jit", "halvorn.compiled")
    i64 = numba.types.int64
    words = numba.types.CPointer(i64)
    return i64(words, i64, words, words, i64, words, i64, numba.types.voidptr, words, i64)


def _slot_writers() -> dict[str, Any]:
    numba = require("numba", "jit", "halvorn.compiled")

    # numba reads the module's ints as constants: the writers compile to
    # the stores they would with the numbers written in.  The buffer is
    # reused from call to call, so a writer clears its slot first: a word
    # left from an earlier order would be read as this one's term.  The
    # words past the sixth are written only in wide slots; in six-word
    # slots a kind that needs them is refused by the engine, by name.
    @numba.njit(inline="always")
    def order(orders: Any, k: int, kind: int, side: int, offset: int, price: int,
              qty: int) -> None:
        for w in range(orders.shape[1]):
            orders[k, w] = 0
        orders[k, _KIND] = kind
        orders[k, _SIDE] = side
        orders[k, _OFFSET] = offset
        orders[k, _PRICE] = price
        orders[k, _QTY] = qty

    @numba.njit(inline="always")
    def market(orders: Any, k: int, side: int, qty: int, offset: int = OPEN) -> None:
        order(orders, k, MARKET, side, offset, 0, qty)

    @numba.njit(inline="always")
    def limit(orders: Any, k: int, side: int, price: int, qty: int, offset: int = OPEN) -> None:
        order(orders, k, LIMIT, side, offset, price, qty)

    @numba.njit(inline="always")
    def cancel(orders: Any, k: int, order_id: int) -> None:
        order(orders, k, CANCEL, 0, 0, 0, 0)
        orders[k, _ORDER] = order_id

    @numba.njit(inline="always")
    def cancel_all(orders: Any, k: int) -> None:
        order(orders, k, CANCEL_ALL, 0, 0, 0, 0)

    # qty 0 is the whole position when it fires, which only a closing
    # order can be.
    @numba.njit(inline="always")
    def stop(orders: Any, k: int, side: int, qty: int, trigger: int, price: int = 0,
             offset: int = OPEN) -> None:
        order(orders, k, STOP, side, CLOSE if qty == 0 else offset, price, qty)
        if orders.shape[1] > _TRIGGER:
            orders[k, _TRIGGER] = trigger

    @numba.njit(inline="always")
    def take_profit(orders: Any, k: int, side: int, qty: int, trigger: int, price: int = 0,
                    offset: int = OPEN) -> None:
        order(orders, k, TAKE_PROFIT, side, CLOSE if qty == 0 else offset, price, qty)
        if orders.shape[1] > _TRIGGER:
            orders[k, _TRIGGER] = trigger

    @numba.njit(inline="always")
    def trailing_stop(orders: Any, k: int, side: int, qty: int, distance: int = 0,
                      rate: int = 0, activation: int = 0, offset: int = OPEN) -> None:
        order(orders, k, TRAILING_STOP, side, CLOSE if qty == 0 else offset, 0, qty)
        if orders.shape[1] > _RATE:
            orders[k, _TRIGGER] = activation
            orders[k, _DISTANCE] = distance
            orders[k, _RATE] = rate

    @numba.njit(inline="always")
    def close_position(orders: Any, k: int, side: int, offset: int = CLOSE) -> None:
        order(orders, k, CLOSE_POSITION, side, offset, 0, 0)

    # Every term of slot k at once, after its order is written.  A
    # reduce-only order closes: its offset is set so.
    @numba.njit(inline="always")
    def terms(orders: Any, k: int, tif: int = GOOD_TILL_CANCEL, post_only: bool = False,
              reduce_only: bool = False, fired_by: int = BY_LAST, instrument: int = 0) -> None:
        if orders.shape[1] > _GROUP:
            orders[k, _TIF] = tif
            orders[k, _FLAGS] = (POST_ONLY if post_only else 0) | \
                (REDUCE_ONLY if reduce_only else 0)
            orders[k, _FIRED_BY] = fired_by
            orders[k, _FOR_INSTRUMENT] = instrument
        if reduce_only:
            orders[k, _OFFSET] = CLOSE

    @numba.njit(inline="always")
    def one_cancels_other(orders: Any, k: int) -> None:
        if orders.shape[1] > _GROUP:
            orders[k, _GROUP] = ONE_CANCELS_OTHER
            orders[k + 1, _GROUP] = ONE_CANCELS_OTHER

    @numba.njit(inline="always")
    def bracket(orders: Any, k: int, stop_loss: bool = True, take_profit: bool = True) -> None:
        if orders.shape[1] > _GROUP:
            orders[k, _GROUP] = BRACKET_ENTRY
            j = k + 1
            if stop_loss:
                orders[j, _GROUP] = BRACKET_STOP
                j += 1
            if take_profit:
                orders[j, _GROUP] = BRACKET_TAKE

    return {"market": market, "limit": limit, "cancel": cancel, "cancel_all": cancel_all,
            "stop": stop, "take_profit": take_profit, "trailing_stop": trailing_stop,
            "close_position": close_position, "terms": terms,
            "one_cancels_other": one_cancels_other, "bracket": bracket}


_WRITERS: dict[str, Any] | None = None
_WRITER_NAMES = ("market", "limit", "cancel", "cancel_all", "stop", "take_profit",
                 "trailing_stop", "close_position", "terms", "one_cancels_other", "bracket")


def __getattr__(name: str) -> Any:
    # The slot writers are numba functions, made when first asked for:
    # inside an njit function they are called as any other.
    global _WRITERS
    if name in _WRITER_NAMES:
        if _WRITERS is None:
            _WRITERS = _slot_writers()
        return _WRITERS[name]
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
        held = carray(account_p, (ACCOUNT_WORDS,))[INSTRUMENTS]
        account = carray(account_p, (ACCOUNT_WORDS + held * POSITION_WORDS,))
        fills = carray(fills_p, (n_fills, FULL_FILL_WORDS))
        ends = carray(ends_p, (n_ends, END_WORDS))
        own = carray(state_p, state_shape, dtype)
        orders = carray(orders_p, (capacity_, FULL_ORDER_WORDS))
        return decide(ticks, account, fills, ends, own, orders)

    function = numba.cfunc(signature(), nopython=True)(entry)
    label = name if name is not None else getattr(decide, "__name__", "compiled")
    if state is None:
        state = np.zeros(1, dtype=np.int64)[:0]
    return venue.Compiled(function, state, label, capacity, FULL_FILL_WORDS, FULL_ORDER_WORDS)
