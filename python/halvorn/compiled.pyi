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
as (n, 8) and (n, 2) arrays, the state array as given (its dtype and shape),
and the (capacity, 6) int64 order buffer; it returns how many order slots it
filled, or a negative status that stops the run.

Any other C function pointer works as well (ctypes, cffi, Cython): give
`venue.Compiled` its address.
"""

from typing import Any

from halvorn import venue

__all__ = [
    "strategy", "signature", "market", "limit", "cancel", "cancel_all",
    "TICK_WORDS", "ACCOUNT_WORDS", "FILL_WORDS", "END_WORDS", "ORDER_WORDS",
    "EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME",
    "POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY", "EQUITY", "WORKING", "INSTRUMENT",
    "TICK_INDEX", "ORDERS_MADE",
    "MARKET", "LIMIT", "CANCEL", "CANCEL_ALL", "BUY", "SELL", "OPEN", "CLOSE",
]

TICK_WORDS: int
ACCOUNT_WORDS: int
FILL_WORDS: int
END_WORDS: int
ORDER_WORDS: int
EXCH_TS: int
LOCAL_TS: int
LAST: int
HIGH: int
LOW: int
BID: int
ASK: int
VOLUME: int
POSITION: int
ENTRY: int
SHORT_POSITION: int
SHORT_ENTRY: int
EQUITY: int
WORKING: int
INSTRUMENT: int
TICK_INDEX: int
ORDERS_MADE: int
MARKET: int
LIMIT: int
CANCEL: int
CANCEL_ALL: int
BUY: int
SELL: int
OPEN: int
CLOSE: int

def signature() -> Any:
    """The numba signature of the function the engine calls."""

def market(orders: Any, k: int, side: int, qty: int, offset: int = 0) -> None:
    """Fills order slot k with a market order (a numba function)."""

def limit(orders: Any, k: int, side: int, price: int, qty: int, offset: int = 0) -> None:
    """Fills order slot k with a limit order (a numba function)."""

def cancel(orders: Any, k: int, order_id: int) -> None:
    """Fills order slot k with a cancel of order_id (a numba function)."""

def cancel_all(orders: Any, k: int) -> None:
    """Fills order slot k with a cancel of every live order (a numba function)."""

def strategy(
    decide: Any, state: Any = None, *, name: str | None = None, capacity: int = 64
) -> venue.Compiled:
    """A venue.Compiled from a numba function."""

def __getattr__(name: str) -> Any: ...
