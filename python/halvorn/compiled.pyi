"""Strategies compiled to native code (see halvorn/compiled.py and
docs/compiled_strategies.md)."""

from typing import Any

from halvorn import venue

__all__ = [
    "strategy", "signature", "market", "limit", "cancel", "cancel_all", "SLOT_LAYOUT",
    "TICK_WORDS", "ACCOUNT_WORDS", "FILL_WORDS", "FULL_FILL_WORDS", "END_WORDS", "ORDER_WORDS",
    "FILL_TICK", "REMAINING",
    "EXCH_TS", "LOCAL_TS", "LAST", "HIGH", "LOW", "BID", "ASK", "VOLUME",
    "POSITION", "ENTRY", "SHORT_POSITION", "SHORT_ENTRY", "EQUITY", "WORKING", "INSTRUMENT",
    "TICK_INDEX", "ORDERS_MADE",
    "MARKET", "LIMIT", "CANCEL", "CANCEL_ALL", "BUY", "SELL", "OPEN", "CLOSE",
]

SLOT_LAYOUT: int
TICK_WORDS: int
ACCOUNT_WORDS: int
FILL_WORDS: int
FULL_FILL_WORDS: int
FILL_TICK: int
REMAINING: int
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
