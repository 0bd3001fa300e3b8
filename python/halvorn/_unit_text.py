"""What a venue run, its instruments and a sweep print: USDT and the
instrument's units, exactly, with the integers one attribute away.

A run counts money in Cash (10^-8 USDT), prices in ticks and quantities in
lots, and keeps counting so: `run.final_equity` is an int.  What it prints
says what those counts mean: an amount of cash is written as the decimal
number of USDT it is, to its last cash unit and with at least two places
(`9997.99890956 USDT`, `10000.00 USDT`), a price or a quantity as its
instrument's `price_of` and `qty_of` write it.  Nothing here rounds: a
printed figure is the figure.

`venue.Run`'s repr and str, `Run.per_instrument` and the summaries of a
venue's mode comparison and lookahead check call these; `halvorn.sweep`'s
rows and tables use `usdt` and `table`.
"""

from __future__ import annotations

import datetime
import decimal
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import halvorn
from halvorn._optional import require

_PLACES = len(str(halvorn.CASH_SCALE)) - 1  # of Cash: 8, CASH_SCALE being 10^8


def usdt(cash: int) -> str:
    """An amount of Cash as decimal USDT, exactly: every cash unit it has, and
    at least two places ("-0.50", "9997.99890956")."""
    sign = "-" if cash < 0 else ""
    whole, part = divmod(abs(cash), halvorn.CASH_SCALE)
    places = f"{part:0{_PLACES}d}".rstrip("0")
    return f"{sign}{whole}.{places:0<2}"


def quoted(text: str) -> str:
    """`text` between double quotes, escaped as the library's own reprs write
    a caller's string (a backslash before a quote or a backslash, \\0 \\t \\r
    \\n, and \\u{hex} for any other unprintable character)."""
    out = []
    for ch in text:
        if ch in '"\\':
            out.append("\\" + ch)
        elif ch in "\0\t\r\n":
            out.append({"\0": "\\0", "\t": "\\t", "\r": "\\r", "\n": "\\n"}[ch])
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def utc(ns: int) -> str:
    """A time in nanoseconds since 1970 as UTC, to the nanosecond where it has
    any ("2024-01-01T00:00:17Z", "2024-01-01T00:00:17.000000250Z")."""
    seconds, rest = divmod(ns, 10**9)
    text = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%S")
    return text + (f".{rest:09d}".rstrip("0") if rest else "") + "Z"


def table(headers: Sequence[str], rows: Iterable[Sequence[object]]) -> str:
    """Rows under their headers in aligned columns: text to the left, numbers
    (and the texts of numbers) to the right."""
    cells = [[str(c) for c in row] for row in rows]
    texts = [h for h in headers]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(texts)]
    numeric = [all(_is_number(r[i]) for r in cells) and bool(cells) for i in range(len(texts))]

    def line(values: Sequence[str]) -> str:
        return "  ".join(v.rjust(w) if num else v.ljust(w)
                         for v, w, num in zip(values, widths, numeric)).rstrip()
    return "\n".join([line(texts)] + [line(r) for r in cells])


def _is_number(text: str) -> bool:
    try:
        decimal.Decimal(text.replace("_", ""))
    except decimal.InvalidOperation:
        return text in ("", "None")
    return True


# --- a venue run -------------------------------------------------------------------


def account_currency(run: Any) -> str:
    """The currency a run's account is kept in: an inverse instrument's coin,
    else USDT."""
    if getattr(run, "wallets", ()):
        # A wallet per currency: the account's own figures are in USDT.
        return "USDT"
    instrument = getattr(run, "instrument", None)
    if instrument is None:
        # A portfolio in one currency keeps its account in it.
        from halvorn import _run_units
        by_id = _run_units.portfolio(run)
        instrument = next(iter(by_id.values()), None) if by_id else None
    return instrument.settle if instrument is not None and instrument.kind == "inverse" else "USDT"


def run_repr(run: Any) -> str:
    """`Run(strategy="Momentum", tier=L0, ticks=10000, fills=12,
    final_equity=9997.99890956 USDT)`, and `, LIQUIDATED 2x` when the venue
    closed the account; a run on an inverse instrument counts in its coin."""
    coin = account_currency(run)
    text = (f"Run(strategy={quoted(run.strategy)}, tier={run.tier}, ticks={run.ticks}, "
            f"fills={len(run.fills)}, final_equity={usdt(run.final_equity)} {coin}")
    if run.liquidations:
        text += f", LIQUIDATED {len(run.liquidations)}x"
    return text + ")"


def run_str(run: Any) -> str:
    """The repr's line, then the money of the run in USDT, one figure a line,
    and where the run has instruments each one's position at the end."""
    lines, coin = [run_repr(run)], account_currency(run)
    figures = [
        ("final equity", f"{usdt(run.final_equity)} {coin}"),
        ("lowest equity", f"{usdt(run.min_equity)} {coin}"),
        ("realized", f"{usdt(run.realized)} {coin}"),
        ("fees paid", f"{usdt(run.fees_paid)} {coin}"),
        ("funding", f"{usdt(run.funding_paid)} {coin} received, net of paid"),
    ]
    figures += [(f"wallet {w.currency}",
                 f"equity {usdt(w.equity)} {w.currency}, balance {usdt(w.balance)} {w.currency}")
                for w in getattr(run, "wallets", ())]
    width = max(len(name) for name, _ in figures)
    lines += [f"  {name.ljust(width)}  {value}" for name, value in figures]
    for result in run.per_instrument:
        if result.symbol is None:
            continue
        instrument = run.instruments.get(result.symbol)
        position, short, last = _position_units(instrument, result)
        held = f"{position}" + (f" and {short}" if result.short_position else "")
        lines.append(f"  {result.symbol.ljust(width)}  position {held} at last {last}")
    return "\n".join(lines)


def _position_units(instrument: Any, result: Any) -> tuple[str, str, str]:
    """A result's position, short leg and last price as its instrument writes
    them; as counts, named so, without one."""
    if instrument is None:
        return (f"{result.position} lots", f"{result.short_position} lots",
                f"{result.last} ticks")
    return (str(instrument.qty_of(result.position)), str(instrument.qty_of(result.short_position)),
            str(instrument.price_of(result.last)))


class InstrumentResults(tuple):  # type: ignore[type-arg]
    """What each instrument of a run added up to (`Run.per_instrument`): a
    tuple of `venue.InstrumentResult`, whose fields stay counts (Cash, lots,
    ticks), that prints as a table in USDT and each instrument's units and
    becomes a pandas DataFrame with `to_frame()`."""

    _instruments: Mapping[str, Any]

    def __new__(cls, results: Iterable[Any], instruments: Mapping[str, Any]) -> InstrumentResults:
        self = super().__new__(cls, results)
        self._instruments = dict(instruments)
        return self

    def _rows(self, units: str) -> list[dict[str, Any]]:
        scale = halvorn.CASH_SCALE
        rows = []
        for r in self:
            instrument = self._instruments.get(r.symbol) if r.symbol is not None else None
            if instrument is None:
                position, short, last = r.position, r.short_position, r.last
            else:
                position, short = instrument.qty_of(r.position), instrument.qty_of(r.short_position)
                last = instrument.price_of(r.last)
            money = [decimal.Decimal(v).scaleb(-_PLACES) for v in (r.realized, r.fees, r.funding)]
            if units == "float":
                position, short, last = float(position), float(short), float(last)
                money = [v / scale for v in (r.realized, r.fees, r.funding)]
            rows.append({"symbol": r.symbol, "ticks": r.ticks, "position": position,
                         "short_position": short, "last": last, "realized_usdt": money[0],
                         "fees_usdt": money[1], "funding_usdt": money[2]})
        return rows

    def to_frame(self, units: str = "float") -> Any:
        """The table as a pandas DataFrame indexed by symbol: ticks; the final
        position, short leg and last price in the instrument's units (counts
        for an instrument without a definition); realized, fees and funding in
        USDT.  `units="decimal"` gives exact `decimal.Decimal` values instead
        of the nearest floats.  Needs pandas (the report extra)."""
        if units not in ("decimal", "float"):
            raise ValueError(f"units must be 'decimal' or 'float', got {units!r}")
        pandas = require("pandas", "report", "Run.per_instrument.to_frame")
        frame = pandas.DataFrame.from_records(self._rows(units))
        return frame.set_index("symbol")

    def __repr__(self) -> str:
        headers = ["symbol", "ticks", "position", "short_position", "last", "realized USDT",
                   "fees USDT", "funding USDT"]
        rows = []
        for r, row in zip(self, self._rows("decimal")):
            counted = r.symbol is None or self._instruments.get(r.symbol) is None
            rows.append([
                "-" if r.symbol is None else r.symbol, r.ticks,
                f"{row['position']}{' lots' if counted else ''}",
                f"{row['short_position']}{' lots' if counted else ''}",
                f"{row['last']}{' ticks' if counted else ''}",
                usdt(r.realized), usdt(r.fees), usdt(r.funding)])
        return table(headers, rows)

    __str__ = __repr__

    def __reduce__(self) -> Any:
        return (InstrumentResults, (tuple(self), self._instruments))


# --- what a venue's checks found --------------------------------------------------


def comparison_repr(c: Any) -> str:
    """A venue's mode comparison: as `halvorn.ModeComparison` writes one, the
    difference in final equity in USDT."""
    if c.identical:
        return f"ModeComparison(batch={c.batch}, identical)"
    divergence = "None" if c.first_divergence is None else f"Some({c.first_divergence})"
    sign = "+" if c.equity_difference >= 0 else ""
    return (f"ModeComparison(batch={c.batch}, fills {c.compat_fills} vs {c.batched_fills}, "
            f"first divergence {divergence}, equity {sign}{usdt(c.equity_difference)} USDT)")


def lookahead_repr(r: Any) -> str:
    """A venue's lookahead report: as `halvorn.LookaheadReport` writes one, and
    where a prefix decided differently, the first such tick's time in UTC."""
    text = (f"LookaheadReport(signals={r.signals}, checked={r.checked}, clean={r.clean}, "
            f"divergences={len(r.divergences)}")
    if r.divergences:
        _, tick, exch_ts = r.divergences[0]
        text += f", first at tick {tick}, {utc(exch_ts)}"
    return text + ")"


# --- a sweep's rows ------------------------------------------------------------------

_SWEEP_MONEY = ("final_equity", "min_equity", "fees_paid", "funding_paid")


def _ratio(value: float | None) -> str:
    return "None" if value is None else f"{value:.6g}"


def row_repr(row: Any) -> str:
    """A sweep's row with its money in USDT: `Row(params={'fast': 50},
    sharpe=0.0412, total_return=-0.000213, fills=12, liquidations=0,
    ticks=40000, final_equity=9997.87 USDT, ...)`."""
    money = ", ".join(f"{name}={usdt(getattr(row, name))} USDT" for name in _SWEEP_MONEY)
    return (f"Row(params={row.params!r}, sharpe={_ratio(row.sharpe)}, "
            f"total_return={_ratio(row.total_return)}, fills={row.fills}, "
            f"liquidations={row.liquidations}, ticks={row.ticks}, {money})")


def rows_table(rows: Sequence[Any]) -> str:
    """A sweep's rows as a table, in grid order: a column per parameter, then
    the Sharpe ratio, the total return, the counts and the money in USDT."""
    names = list(dict.fromkeys(name for row in rows for name in row.params))
    headers = names + ["sharpe", "total_return", "fills", "liquidations", "ticks"] + [
        f"{name} USDT" for name in _SWEEP_MONEY]
    body = [[repr(row.params[n]) if isinstance(row.params.get(n), str) else row.params.get(n, "")
             for n in names]
            + [_ratio(row.sharpe), _ratio(row.total_return), row.fills, row.liquidations,
               row.ticks]
            + [usdt(getattr(row, name)) for name in _SWEEP_MONEY]
            for row in rows]
    return table(headers, body)
