"""A venue run's results in the units a person reads: UTC times, prices and
quantities as decimals of the instrument (or floats), money in USDT.

The integers a run holds are exact; these views only say what they mean,
through the run's `Instrument`: a price of n ticks is n × tick_size, a
quantity of n lots n × lot_size, a cash amount n / CASH_SCALE USDT.  As
decimals the values are exact (`decimal.Decimal`, with the step's own number
of places); as floats each is the double nearest the exact value (the integer
divided by a power of ten, one correctly rounded operation), never a product
that drifts.

A run of several instruments holds each fill in its own instrument's ticks
and lots, so each is converted with its own instrument's steps and named by
its symbol; the equity is the account's, in USDT, whatever it traded.

`Run.fills_frame()` and `Run.equity_frame()` call these; pandas is the
`report` extra.
"""

from __future__ import annotations

import decimal
from collections.abc import Mapping
from typing import Any

import halvorn
from halvorn._optional import require

_UNITS = ("decimal", "float")
# A fill's effect on its position, by the code its record carries.
_EFFECTS = ("open", "reduce", "close", "reverse")
# Zero as a person writes it: a zero with eight places prints as 0E-8.
_ZERO = decimal.Decimal(0)
_WIDE = decimal.Context(prec=60, traps=[decimal.Inexact, decimal.InvalidOperation])


def _places(step: str) -> int:
    """The decimal places a step is written with ("0.10" has 2, "5" has 0)."""
    exponent = decimal.Decimal(step).as_tuple().exponent
    return -exponent if isinstance(exponent, int) and exponent < 0 else 0


def _scaled(np: Any, counts: Any, step: str, units: str) -> Any:
    """counts × step, as exact decimals or as the nearest doubles."""
    places = _places(step)
    # The step as a whole number of 10^-places: "0.25" is 25 of 0.01.
    whole = int(decimal.Decimal(step).scaleb(places))
    if units == "float":
        # One multiplication of integers (exact below 2**53) and one division
        # by an exact power of ten: the double nearest the exact value.
        return (counts.astype(np.int64) * whole).astype(np.float64) / float(10**places)
    return _decimals(np, counts, whole, places, repeats=True)


def _cash(np: Any, amounts: Any, units: str) -> Any:
    if units == "float":
        return amounts.astype(np.float64) / float(halvorn.CASH_SCALE)
    return _decimals(np, amounts, 1, 8)


def _decimals(np: Any, counts: Any, whole: int, places: int, repeats: bool = False) -> Any:
    """count × whole × 10^-places for each count, as exact Decimals.  Where
    values repeat (the prices and sizes of fills), each distinct one is made
    once; amounts of cash rarely repeat, and sorting them would cost more
    than it saves."""
    # A Decimal made from an int is exact; scaleb only moves its exponent,
    # under a context wide enough for a 64-bit count times a 19-digit step.
    Decimal, context = decimal.Decimal, _WIDE
    if repeats:
        distinct, where = np.unique(counts, return_inverse=True)
        values = np.empty(len(distinct), dtype=object)
        values[:] = [Decimal(c * whole).scaleb(-places, context) if c else _ZERO
                     for c in distinct.tolist()]
        return values[where.reshape(-1)]
    values = np.empty(len(counts), dtype=object)
    values[:] = [Decimal(c * whole).scaleb(-places, context) if c else _ZERO
                 for c in counts.tolist()]
    return values


def scaled_by(np: Any, counts: Any, ids: Any, steps: Mapping[int, str], units: str) -> Any:
    """Each of `counts` × the step of its instrument (`steps` by the ids in
    `ids`), as `_scaled` makes them."""
    values = np.empty(len(counts), dtype=np.float64 if units == "float" else object)
    for number, step in steps.items():
        where = np.flatnonzero(ids == number)
        if len(where):
            values[where] = _scaled(np, counts[where], step, units)
    return values


def portfolio(run: Any) -> dict[int, Any] | None:
    """The Instrument of each id of a run of several instruments (ids from 1,
    in the order of `Run.symbols`); None for a run of one, whose fills need
    no telling apart."""
    symbols = tuple(getattr(run, "symbols", ()) or ())
    if len(symbols) < 2:
        return None
    instruments = run.instruments
    return {number: instruments[symbol] for number, symbol in enumerate(symbols, 1)}


def symbols_of(np: Any, ids: Any, by_id: Mapping[int, Any]) -> Any:
    """The symbol of each instrument id in `ids`, as an object array."""
    names = np.empty(max(by_id, default=0) + 1, dtype=object)
    for number, instrument in by_id.items():
        names[number] = str(instrument.symbol)
    return names[np.asarray(ids, dtype=np.int64)]


def remaining_of(run: Any, n: int, np: Any) -> Any:
    """What the orders of the first `n` fills of `run` had left after each,
    in lots: the run's own record of it, or nothing left where the run keeps
    none."""
    kept = getattr(getattr(run, "fills", None), "remaining", None)
    if kept is None:
        return np.zeros(n, dtype=np.int64)
    return np.asarray(kept, dtype=np.int64)[:n]


def _instrument(run: Any) -> Any:
    instrument = run.instrument
    if instrument is None:
        raise ValueError("this run has no instrument definition, so its ticks and lots have no "
                         "unit: run it on a Venue(instrument=Instrument(...)), or on a tick file "
                         "converted with one")
    return instrument


def _check_units(units: str) -> None:
    if units not in _UNITS:
        raise ValueError(f"units must be 'decimal' or 'float', got {units!r}")


def fills_frame(run: Any, units: str = "float") -> Any:
    """The run's fills as a pandas DataFrame indexed by fill time (UTC).

    Columns: order, side ("buy"/"sell"), offset ("open"/"close", as the
    order was sent), effect (what the fill did to its instrument's position,
    or in hedge mode to its leg: "open" for one that opened or added to it,
    "reduce", "close" for one that left it flat, "reverse" for one that
    closed it and opened the other way), price (in the quote currency), qty
    (in the base asset), fee (USDT, positive when paid), taker, exch_ts and
    local_ts (ns, as the run holds them), tick (the index of the tick the
    fill was booked on) and remaining (in the base asset: what the order
    still had working after the fill, 0 but for the parts before the last
    of an order filled in parts).  A run of several instruments has a symbol
    column first, and each fill's price, qty and remaining are in its own
    instrument's units.
    """
    _check_units(units)
    pandas = require("pandas", "report", "Run.fills_frame")
    np = require("numpy", "report", "Run.fills_frame")
    records = np.asarray(run.fills)
    left = remaining_of(run, len(records), np)
    by_id = portfolio(run)
    columns: dict[str, Any] = {}
    if by_id is None:
        instrument = _instrument(run)
        price = _scaled(np, records["price"], instrument.tick_size, units)
        qty = _scaled(np, records["qty"], instrument.lot_size, units)
        remaining = _scaled(np, left, instrument.lot_size, units)
    else:
        ids = records["instrument"]
        columns["symbol"] = symbols_of(np, ids, by_id)
        price = scaled_by(np, records["price"], ids,
                          {n: i.tick_size for n, i in by_id.items()}, units)
        lots = {n: i.lot_size for n, i in by_id.items()}
        qty = scaled_by(np, records["qty"], ids, lots, units)
        remaining = scaled_by(np, left, ids, lots, units)
    sides = np.array(["buy", "sell"], dtype=object)
    offsets = np.array(["open", "close"], dtype=object)
    frame = pandas.DataFrame({
        **columns,
        "order": records["order"],
        "side": sides[records["side"]],
        "offset": offsets[records["offset"]],
        "effect": np.array(_EFFECTS, dtype=object)[records["effect"]],
        "price": price,
        "qty": qty,
        "fee": _cash(np, records["fee"], units),
        "taker": records["taker"].astype(bool),
        "exch_ts": records["exch_ts"],
        "local_ts": records["local_ts"],
        "tick": records["tick"],
        "remaining": remaining,
    }, index=pandas.DatetimeIndex(pandas.to_datetime(records["exch_ts"], unit="ns", utc=True),
                                  name="time"))
    return frame


def equity_frame(run: Any, units: str = "float") -> Any:
    """The run's equity samples as a pandas DataFrame indexed by time (UTC),
    with one column, equity, in USDT.  The first row is the starting balance,
    at the first tick's time.  Over several instruments it is the account's
    equity: the balance and every holding's unrealised profit."""
    _check_units(units)
    pandas = require("pandas", "report", "Run.equity_frame")
    np = require("numpy", "report", "Run.equity_frame")
    times = np.asarray(run.equity_times, dtype=np.int64)
    equity = np.asarray(run.equity_curve, dtype=np.int64)
    return pandas.DataFrame(
        {"equity": _cash(np, equity, units)},
        index=pandas.DatetimeIndex(pandas.to_datetime(times, unit="ns", utc=True), name="time"))
