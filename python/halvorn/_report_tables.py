"""The report page's tables of round trips and fills, written for a person
reading them in a window 1,400 pixels wide.

The frames behind them keep every value exactly; the tables say the same in
fewer characters, so that every column is in view without scrolling:
prices and quantities to the places of the instrument's own step (a price
of a 0.01 tick reads 60000.10, not 60000.100000; an average off the grid
keeps the digits it needs), money in USDT with trailing zeros dropped down
to cents, times to the second with the zone said once in the heading, and
durations in the largest unit that fits.  The units are in the headings,
which wrap, rather than in every cell.  A table that is still too wide (a
run whose orders carry long tags) scrolls inside its own box, never the page.
"""

from __future__ import annotations

import decimal
import math
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from halvorn import _report_page, _round_trips, _run_units
from halvorn._report_summary import duration, utc
from halvorn._unit_text import account_currency

Format = Callable[[Any, Any], str]


def _missing(value: Any) -> bool:
    if value is None:
        return True
    if isinstance(value, float) and math.isnan(value):
        return True
    return value != value  # NaT and pandas' NA are not equal to themselves


def decimal_text(value: Any, places: int) -> str:
    """A number with at least `places` decimals and no trailing zeros beyond
    them: exact values read as exactly as they are, in as few characters."""
    if _missing(value):
        return ""
    number = value if isinstance(value, decimal.Decimal) else decimal.Decimal(str(value))
    whole, _, fraction = f"{number:f}".partition(".")
    fraction = fraction.rstrip("0").ljust(places, "0")
    return whole + ("." + fraction if fraction else "")


def time_text(value: Any) -> str:
    """A pandas Timestamp (UTC) as 2024-01-01 00:00:21, milliseconds when
    it has them; the heading says UTC."""
    if _missing(value):
        return ""
    return utc(int(value.value)).removesuffix(" UTC")


def _cell(value: Any) -> str:
    """A cell of no particular kind, as a person reads it."""
    if _missing(value):
        return ""
    if isinstance(value, bool):
        return "yes" if value else ""
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, decimal.Decimal):
        return f"{value:f}"  # 0.00000000, not 0E-8
    if hasattr(value, "tz_convert"):  # a pandas Timestamp
        return time_text(value)
    return str(value)


def frame_table(frame: Any, total: int, what: str, *,
                columns: Mapping[str, tuple[str, Format]] | None = None) -> str:
    """A note saying how many of `total` rows are shown, and the table.

    `columns` names the columns shown, in order, each with its heading and
    how a cell of it is written from (value, row); by default every column
    under its own name."""
    if total == 0:
        return f'<p class="note">No {what}.</p>'
    shown = len(frame)
    note = (f"The first {shown:,} of {total:,} {what}." if shown < total
            else f"{total:,} {what if total > 1 else what.removesuffix('s')}.")
    if columns is None:
        columns = {"index": (frame.index.name or "", _plain),
                   **{name: (str(name), _plain) for name in frame.columns}}
    rows = []
    for index, row in zip(frame.index, frame.to_dict("records")):
        row["index"] = index
        rows.append([write(row.get(name, index), row) for name, (_, write) in columns.items()])
    headings = [heading for heading, _ in columns.values()]
    return (f'<p class="note">{note}</p>\n<div class="scroll">'
            + _report_page.table(headings, rows, "rows") + "</div>")


def _plain(value: Any, row: Any) -> str:
    return _cell(value)


def _money(value: Any, row: Any) -> str:
    return decimal_text(value, 2)


def _time(value: Any, row: Any) -> str:
    return time_text(value)


def _in_units(run: Any) -> tuple[str, str, Format, Format]:
    """What a price and a quantity of `run` are read in, for the headings,
    and how a cell of each is written: to the places of the steps of the
    row's instrument (its symbol's, over several)."""
    instruments = dict(getattr(run, "instruments", {}) or {})
    single = getattr(run, "instrument", None)

    def places(row: Any, which: str) -> int:
        instrument = instruments.get(row.get("symbol")) if row.get("symbol") else single
        return 0 if instrument is None else _run_units._places(str(getattr(instrument, which)))

    def price_of(value: Any, row: Any) -> str:
        return decimal_text(value, places(row, "tick_size"))

    def qty_of(value: Any, row: Any) -> str:
        return decimal_text(value, places(row, "lot_size"))

    units = _round_trips.unit_names(run)
    qty = units["qty"] if " " not in units["qty"] else "base asset"
    return units["price"], qty, price_of, qty_of


def _money_in(run: Any) -> tuple[str, Format]:
    """The currency a run's money is in and how an amount of it is written:
    USDT to the cent, a coin to its smallest unit."""
    coin = account_currency(run)
    if coin == "USDT":
        return coin, _money
    return coin, lambda value, row: decimal_text(value, 8)


def trips_table(run: Any, trips: Any, total: int) -> str:
    """The round trips (a frame of `round_trips`) as the page shows them."""
    price, qty, price_of, qty_of = _in_units(run)
    coin, money = _money_in(run)

    def span(value: Any, row: Any) -> str:
        return "" if _missing(value) else duration(int(value.value))

    def share(value: Any, row: Any) -> str:
        return "" if _missing(value) else f"{value * 100:+.3f}"

    columns: dict[str, tuple[str, Format]] = {
        "index": ("trip", _plain), "symbol": ("symbol", _plain), "side": ("side", _plain),
        "entry_time": ("entry time (UTC)", _time), "exit_time": ("exit time (UTC)", _time),
        "entry_price": (f"entry price ({price})", price_of),
        "exit_price": (f"exit price ({price})", price_of), "qty": (f"qty ({qty})", qty_of),
        "gross": (f"gross ({coin})", money), "fees": (f"fees ({coin})", money),
        "funding": (f"funding ({coin})", money), "net": (f"net ({coin})", money),
        "return": ("return (%)", share), "duration": ("held", span),
        "open": ("open", _plain), "liquidated": ("liquidated", _plain),
        "tag": ("tag", _plain), "exit_tag": ("exit tag", _plain),
    }
    return frame_table(trips, total, "round trips", columns=_present(columns, trips))


def fills_table(run: Any, fills: Any, total: int) -> str:
    """The fills (a frame of `fills_frame`) as the page shows them; the time
    is the exchange's, and the local time is shown as the delay after it."""
    price, qty, price_of, qty_of = _in_units(run)
    coin, money = _money_in(run)

    def delay(value: Any, row: Any) -> str:
        late = int(value) - int(row["exch_ts"])
        return "0" if not late else duration(late)

    columns: dict[str, tuple[str, Format]] = {
        "index": ("time (UTC)", lambda value, row: time_text(row["index"])),
        "symbol": ("symbol", _plain), "order": ("order", _plain), "seq": ("seq", _plain),
        "side": ("side", _plain), "offset": ("offset", _plain),
        "price": (f"price ({price})", price_of), "qty": (f"qty ({qty})", qty_of),
        "remaining": (f"left ({qty})", qty_of),
        "fee": (f"fee ({coin})", money), "taker": ("taker", _plain),
        "local_ts": ("seen after", delay),
    }
    shown = _present(columns, fills)
    # What an order had left matters only where orders filled in parts.
    if "remaining" in shown and not (fills["remaining"] != 0).any():
        del shown["remaining"]
    return frame_table(fills, total, "fills", columns=shown)


def _present(columns: Mapping[str, tuple[str, Format]], frame: Any
             ) -> dict[str, tuple[str, Format]]:
    """Those of `columns` the frame has (the index always)."""
    return {name: shown for name, shown in columns.items()
            if name == "index" or name in frame.columns}


def stats_table(rows: Sequence[tuple[str, str]]) -> str:
    """A two-column table of (label, value) rows, such as a summary's."""
    return ('<div class="scroll">' + _report_page.table(["", ""], rows, "stats").replace(
        "<thead><tr><th></th><th></th></tr></thead>\n", "") + "</div>")
