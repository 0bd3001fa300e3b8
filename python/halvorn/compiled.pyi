"""Strategies compiled to native code (see halvorn/compiled.py and
docs/compiled_strategies.md)."""

from typing import Any

from halvorn import venue

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
INSTRUMENTS: int
POSITION_WORDS: int
HELD_INSTRUMENT: int
HELD_POSITION: int
HELD_ENTRY: int
HELD_SHORT_POSITION: int
HELD_SHORT_ENTRY: int
HELD_WORKING: int
MARKET: int
LIMIT: int
CANCEL: int
CANCEL_ALL: int
BUY: int
SELL: int
OPEN: int
CLOSE: int
FULL_ORDER_WORDS: int
STOP: int
TAKE_PROFIT: int
TRAILING_STOP: int
CLOSE_POSITION: int
GOOD_TILL_CANCEL: int
IMMEDIATE_OR_CANCEL: int
FILL_OR_KILL: int
POST_ONLY: int
REDUCE_ONLY: int
BY_LAST: int
BY_MARK: int
ONE_CANCELS_OTHER: int
BRACKET_ENTRY: int
BRACKET_STOP: int
BRACKET_TAKE: int

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

def stop(orders: Any, k: int, side: int, qty: int, trigger: int, price: int = 0,
         offset: int = 0) -> None:
    """Fills order slot k with a stop (qty 0: the whole position) (a numba function)."""

def take_profit(orders: Any, k: int, side: int, qty: int, trigger: int, price: int = 0,
                offset: int = 0) -> None:
    """Fills order slot k with a take-profit (a numba function)."""

def trailing_stop(orders: Any, k: int, side: int, qty: int, distance: int = 0, rate: int = 0,
                  activation: int = 0, offset: int = 0) -> None:
    """Fills order slot k with a trailing stop (a numba function)."""

def close_position(orders: Any, k: int, side: int, offset: int = 1) -> None:
    """Fills order slot k with a close of the whole position (a numba function)."""

def terms(orders: Any, k: int, tif: int = 0, post_only: bool = False, reduce_only: bool = False,
          fired_by: int = 0, instrument: int = 0) -> None:
    """Sets the terms of the order in slot k (a numba function)."""

def one_cancels_other(orders: Any, k: int) -> None:
    """Makes the orders of slots k and k + 1 a one-cancels-other pair (a numba function)."""

def bracket(orders: Any, k: int, stop_loss: bool = True, take_profit: bool = True) -> None:
    """Makes slot k a bracket's entry and the slots after it its exits (a numba function)."""

def strategy(
    decide: Any, state: Any = None, *, name: str | None = None, capacity: int = 64
) -> venue.Compiled:
    """A venue.Compiled from a numba function."""

def __getattr__(name: str) -> Any: ...
