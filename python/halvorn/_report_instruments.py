"""The instruments of a portfolio run side by side, for the report's page.

A portfolio run trades several perpetuals in one account: its equity,
drawdown and returns are the account's, and nothing in them says which
instrument earned or cost what.  The run keeps that apart (every fill names
its instrument; realized profit, fees and funding are booked per holding),
so the page sets the instruments side by side in one table, with the
account's totals under them.  A run of one instrument has nothing to set
beside it and gets no table.

Money is in the account's currency: USDT to the cent, or the coin of an
inverse (coin-margined) portfolio to its smallest unit; a portfolio with a
wallet per currency writes each figure with its currency, and gets a table
of its wallets.  `net` is realized profit less fees plus
funding: what each instrument's closed positions earned after their costs.
A position still open at the end is valued in the equity, not here.
"""

from __future__ import annotations

import decimal
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import halvorn
from halvorn import _report_page
from halvorn._unit_text import account_currency

def columns(currency: str | None) -> tuple[str, ...]:
    """The table's headings, money in `currency`; None where each row's money
    is in its own instrument's currency, written beside it (a run with
    wallets)."""
    def money(name: str) -> str:
        return name if currency is None else f"{name} ({currency})"
    return ("instrument", "ticks", "fills", money("realized"), money("fees"), money("funding"),
            money("net"), "position at the end", "last price")


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
    wallets = bool(getattr(run, "wallets", ()))
    account = account_currency(run)

    def money(currency: str) -> Callable[[int], str]:
        places = 2 if currency == "USDT" else 8
        if not wallets:
            return lambda amount: _cash(amount, places)
        # Rows in different currencies: each figure names its own.
        return lambda amount: f"{_cash(amount, places)} {currency}"
    out = []
    for leg in shown:
        instrument = instruments.get(leg.symbol)
        cash = money(settled_in(instrument) if wallets else account)
        last = f"{leg.last:,}" if instrument is None else f"{instrument.price_of(leg.last)}"
        out.append([leg.symbol, f"{leg.ticks:,}", f"{leg.fills:,}", cash(leg.realized),
                    cash(leg.fees), cash(leg.funding), cash(leg.net),
                    _position(leg, instrument), last])
    cash = money(account)
    out.append(["account", f"{run.ticks:,}", f"{len(run.fills):,}", cash(run.realized),
                cash(run.fees_paid), cash(run.funding_paid),
                cash(run.realized - run.fees_paid + run.funding_paid), "", ""])
    return out


def settled_in(instrument: Any) -> str:
    """The currency an instrument's money is in: its coin, or USDT."""
    return instrument.settle if instrument is not None and instrument.kind == "inverse" else "USDT"


WALLET_COLUMNS = ("wallet", "balance", "equity", "realized", "fees", "funding", "forfeited",
                  "equity (USDT)")


def wallet_rows(run: Any) -> list[list[str]]:
    """One row per wallet in its own currency, its equity also in USDT at its
    instrument's last price, then the whole account in USDT."""
    instruments = getattr(run, "instruments", {}) or {}
    price = {}  # a coin's price in USD: its first instrument's last, as the run values it
    for result in run.per_instrument:
        instrument = instruments.get(result.symbol)
        coin = settled_in(instrument)
        if instrument is not None and coin != "USDT" and coin not in price:
            price[coin] = decimal.Decimal(str(instrument.price_of(result.last)))
    out = []
    for w in run.wallets:
        places = 2 if w.currency == "USDT" else 8

        def cash(amount: int) -> str:
            return _cash(amount, places)
        # In Cash of USDT, truncated toward zero as the run values a coin.
        in_usdt = w.equity if w.currency == "USDT" else int(
            w.equity * price.get(w.currency, decimal.Decimal(0)))
        out.append([w.currency, cash(w.balance), cash(w.equity), cash(w.realized), cash(w.fees),
                    cash(w.funding), cash(w.forfeited), _cash(in_usdt)])
    out.append(["all, in USDT", "", "", "", "", "", "", _cash(run.final_equity)])
    return out


def section(run: Any, np: Any, instruments: Any) -> list[str]:
    """The page's "Instruments" section (HTML parts), or nothing for a run of
    one instrument; `instruments` as for `legs`."""
    shown = legs(run, np, instruments)
    if not shown:
        return []
    wallets = tuple(getattr(run, "wallets", ()))
    parts = ["<h2>Instruments</h2>",
             '<p class="note">Net is realized profit less fees plus funding; a position still '
             "open at the end is valued in the equity, not here.</p>",
             '<div class="scroll">'
             + _report_page.table(columns(None if wallets else account_currency(run)),
                                  rows(run, shown), "rows")
             + "</div>"]
    if wallets:
        parts += ["<h2>Wallets</h2>",
                  '<p class="note">Each currency the instruments settle in is a wallet of its '
                  "own, margined and liquidated on its own; the account's figures are in USDT, "
                  "a coin valued at its instrument's last price.</p>",
                  '<div class="scroll">'
                  + _report_page.table(WALLET_COLUMNS, wallet_rows(run), "rows") + "</div>"]
    return parts
