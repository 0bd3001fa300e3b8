"""The instruments of a portfolio run side by side, for the report's page.

A portfolio run trades several perpetuals in one account: its equity,
drawdown and returns are the account's, and nothing in them says which
instrument earned or cost what.  The run keeps that apart (every fill names
its instrument; realized profit, fees and funding are booked per holding),
so the page sets the instruments side by side in one table, with the
account's totals under them.  A run of one instrument has nothing to set
beside it and gets no table.

Money is in the account's currency: USDT to the cent, or the coin of an
inverse (coin-margined) portfolio to its smallest unit.  `net` is realized profit less fees plus
funding: what each instrument's closed positions earned after their costs.
A position still open at the end is valued in the equity, not here.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import halvorn
from halvorn import _report_page
from halvorn._unit_text import account_currency

def columns(currency: str) -> tuple[str, ...]:
    """The table's headings, money in `currency`."""
    return ("instrument", "ticks", "fills", f"realized ({currency})", f"fees ({currency})",
            f"funding ({currency})", f"net ({currency})", "position at the end", "last price")


COLUMNS = columns("USDT")


@dataclass(frozen=True)
class Leg:
    """One instrument of a run, in the run's integers (money in Cash)."""

    symbol: str
    ticks: int
    fills: int
    realized: int
    fees: int
    funding: int
    position: int  # lots; the long leg in hedge mode
    short_position: int  # lots, hedge mode only
    last: int  # ticks

    @property
    def net(self) -> int:
        return self.realized - self.fees + self.funding


def legs(run: Any, np: Any, instruments: Any) -> list[Leg]:
    """The instruments of `run` with their fill counts, in the order of their
    ids; `instruments` is the instrument id of every fill (a NumPy array).
    Empty for a run of fewer than two instruments."""
    results = tuple(getattr(run, "per_instrument", ()))
    if len(results) < 2:
        return []
    fills = np.bincount(np.asarray(instruments, dtype=np.int64),
                        minlength=len(results) + 1).tolist()
    return [Leg(symbol=str(r.symbol), ticks=r.ticks, fills=fills[number], realized=r.realized,
                fees=r.fees, funding=r.funding, position=r.position,
                short_position=r.short_position, last=r.last)
            for number, r in enumerate(results, 1)]


def _cash(cash: int, places: int = 2) -> str:
    return f"{cash / halvorn.CASH_SCALE:,.{places}f}"


def _position(leg: Leg, instrument: Any) -> str:
    def size(lots: int) -> str:
        return f"{lots:,} lots" if instrument is None else f"{instrument.qty_of(lots)}"

    held = size(leg.position)
    return held if not leg.short_position else f"{held} long, {size(leg.short_position)} short"


def rows(run: Any, shown: Sequence[Leg]) -> list[list[str]]:
    """The table's rows: one per instrument, then the account's totals.
    Positions and prices are in the instrument's units when the run has its
    Instrument, else in lots and ticks."""
    instruments = getattr(run, "instruments", {}) or {}
    places = 2 if account_currency(run) == "USDT" else 8

    def cash(amount: int) -> str:
        return _cash(amount, places)
    out = []
    for leg in shown:
        instrument = instruments.get(leg.symbol)
        last = f"{leg.last:,}" if instrument is None else f"{instrument.price_of(leg.last)}"
        out.append([leg.symbol, f"{leg.ticks:,}", f"{leg.fills:,}", cash(leg.realized),
                    cash(leg.fees), cash(leg.funding), cash(leg.net),
                    _position(leg, instrument), last])
    out.append(["account", f"{run.ticks:,}", f"{len(run.fills):,}", cash(run.realized),
                cash(run.fees_paid), cash(run.funding_paid),
                cash(run.realized - run.fees_paid + run.funding_paid), "", ""])
    return out


def section(run: Any, np: Any, instruments: Any) -> list[str]:
    """The page's "Instruments" section (HTML parts), or nothing for a run of
    one instrument; `instruments` as for `legs`."""
    shown = legs(run, np, instruments)
    if not shown:
        return []
    return ["<h2>Instruments</h2>",
            '<p class="note">Net is realized profit less fees plus funding; a position still '
            "open at the end is valued in the equity, not here.</p>",
            '<div class="scroll">' + _report_page.table(columns(account_currency(run)), rows(run, shown), "rows")
            + "</div>"]
