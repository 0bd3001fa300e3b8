"""What the report's page shows of a run: the panels of its chart, its
heading and its tables.

A venue run gets four panels over one time axis (equity, drawdown, the price
with its fills, the position), the summary, its round trips and its fills.
Over several instruments the equity and drawdown are the account's, and each
instrument gets a price panel and a position panel of its own: prices of
different instruments on one axis would flatten the cheaper one to a line,
and lots of different instruments do not add up.
A RunResult has no times and no sides, so it gets equity and drawdown by
sample number, its fill prices by fill number, and the per-period
statistics.
"""

from __future__ import annotations

import decimal
import importlib
import math
from collections.abc import Sequence
from typing import Any

import halvorn
from halvorn import _report_instruments, _report_page, _report_ticks, _round_trips, _run_units
from halvorn._optional import require
from halvorn._report_page import Panel, envelope, line, markers, milliseconds
from halvorn._report_summary import drawdowns, percent, summarise, utc

_TIME = "%{x|%Y-%m-%d %H:%M:%S.%L} UTC"
_NO_SAMPLES = "no equity samples: run with equity_every above 0 to chart the equity"


def _plotly_js() -> str:
    require("plotly", "report", "report.html")
    offline = importlib.import_module("plotly.offline")
    return str(offline.get_plotlyjs())


def cell(value: Any) -> str:
    """A table cell as a person reads it; missing values are left blank."""
    if value is None:
        return ""
    if isinstance(value, float) and math.isnan(value):
        return ""
    if hasattr(value, "tz_convert"):  # a pandas Timestamp
        return "" if value != value else utc(int(value.value))
    if type(value).__name__ == "Timedelta":
        return str(value)
    if isinstance(value, bool):
        return "yes" if value else ""
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, decimal.Decimal):
        return f"{value:f}"  # 0.00000000, not 0E-8
    return str(value)


def frame_table(frame: Any, total: int, what: str, css: str = "rows") -> str:
    """A note saying how many of `total` rows are shown, and the table."""
    if total == 0:
        return f'<p class="note">No {what}.</p>'
    shown = len(frame)
    note = (f"The first {shown:,} of {total:,} {what}." if shown < total else f"{total:,} {what}.")
    index_name = frame.index.name or ""
    rows = [[cell(index)] + [cell(v) for v in values]
            for index, values in zip(frame.index, frame.itertuples(index=False, name=None))]
    return (f'<p class="note">{note}</p>\n<div class="scroll">'
            + _report_page.table([index_name, *map(str, frame.columns)], rows, css) + "</div>")


def _prices_in_units(instrument: Any, np: Any, prices: Any) -> Any:
    if instrument is None:
        return np.asarray(prices, dtype=np.int64)
    return _run_units._scaled(np, np.asarray(prices, dtype=np.int64), instrument.tick_size,
                              "float")


def _equity_panels(np: Any, curve: Any, x: Any, x_hover: str) -> list[Panel]:
    equity = Panel("equity (USDT)", 3.0, empty=_NO_SAMPLES, y_format=",.2f")
    drawdown = Panel("drawdown (%)", 1.4, empty=_NO_SAMPLES, y_format=",.10~g")
    if len(curve):
        shown = envelope(np, curve)
        equity.traces.append(line(
            x(shown), (curve[shown] / halvorn.CASH_SCALE).tolist(), name="equity",
            colour=_report_page.EQUITY, hover=f"{x_hover}<br>equity %{{y:,.2f}} USDT"))
        fractions = -100.0 * np.asarray(drawdowns(curve.tolist()).fractions)
        shown = envelope(np, fractions)
        drawdown.traces.append(line(
            x(shown), fractions[shown].tolist(), name="drawdown",
            colour=_report_page.DRAWDOWN_EDGE, fill=_report_page.DRAWDOWN, width=0.8,
            hover=f"{x_hover}<br>drawdown %{{y:.3f}} %"))
    return [equity, drawdown]


def _market_panels(np: Any, market: Any, track: Any, ticks: Any, records: Any,
                   offsets: list[str], *, several: bool, start: int, stop: int
                   ) -> list[Panel]:
    """One instrument's price panel (its last price and its fills by side)
    and position panel; `records` are its own fills and `offsets` those of
    all the run's fills."""
    units = _round_trips.units_of(market.instrument)
    instrument = market.instrument
    # Over several instruments each panel, trace and legend entry says whose.
    prefix = f"{market.symbol} " if several else ""
    heading = f"{market.symbol}<br>" if several else ""
    nothing = (f"no fills of {market.symbol}, and no ticks given for it "
               "(pass ticks={symbol: ticks})" if several else
               "no fills, and no ticks given to draw the price (pass ticks=)")
    price = Panel(f"{heading}price ({units['price']})", 3.0, y_format=",.10~g", empty=nothing)
    if ticks is not None:
        times, last = _report_ticks.sampled(ticks, np)
        if len(times):
            shown = envelope(np, last)
            price.traces.append(line(
                milliseconds(np, times[shown]),
                _prices_in_units(instrument, np, last[shown]).tolist(),
                name=f"{prefix}last price", colour=_report_page.PRICE, width=1.0,
                hover=f"{_TIME}<br>{prefix}last %{{y}} {units['price']}"))
    numbers = (np.arange(len(records)) if market.number == 0
               else np.flatnonzero(records["instrument"] == market.number))
    for side, name, colour, marker in ((0, "buy", _report_page.BUY, "triangle-up"),
                                       (1, "sell", _report_page.SELL, "triangle-down")):
        every = numbers[records["side"][numbers] == side]
        if not len(every):
            continue
        where = every[envelope(np, records["price"][every])]
        chosen = records[where]
        qty = (_run_units._scaled(np, chosen["qty"], instrument.lot_size, "decimal")
               if instrument is not None else chosen["qty"])
        label = (f"{prefix}{name}s ({len(where):,} of {len(every):,} drawn: "
                 "the lowest and highest of each stretch)"
                 if len(where) < len(every) else f"{prefix}{name}s")
        price.traces.append(markers(
            milliseconds(np, chosen["exch_ts"]),
            _prices_in_units(instrument, np, chosen["price"]).tolist(), name=label,
            colour=colour, symbol=marker,
            customdata=[[str(q), offsets[i], int(order)] for q, i, order
                        in zip(qty.tolist(), where.tolist(), chosen["order"].tolist())],
            hover=(f"<b>{prefix}{name}</b> %{{customdata[0]}} {units['qty']} @ %{{y}} "
                   f"{units['price']}<br>%{{customdata[1]}}, order %{{customdata[2]}}"
                   f"<br>{_TIME}")))
    position = Panel(f"{heading}position ({units['qty']})", 1.6, y_format=",.10~g",
                     empty=(f"no fills: the account never held {market.symbol}" if several
                            else "no fills: the account never held a position"))
    if track.times:
        at = np.array([start, *track.times, stop], dtype=np.int64)
        lots = np.array([0, *track.positions, track.positions[-1]], dtype=np.int64)
        shown = envelope(np, lots)
        held = (_run_units._scaled(np, lots[shown], instrument.lot_size, "float")
                if instrument is not None else lots[shown])
        position.traces.append(line(
            milliseconds(np, at[shown]), held.tolist(), name=f"{prefix}position", shape="hv",
            colour=_report_page.POSITION,
            hover=f"{_TIME}<br>{prefix}position %{{y}} {units['qty']}"))
    return [price, position]


def _symbols_text(symbols: Sequence[str]) -> str:
    """The symbols of a run for its heading, the first few of a long list."""
    if len(symbols) <= 4:
        return ", ".join(symbols)
    return f"{', '.join(symbols[:3])} and {len(symbols) - 3} more"


def venue_page(run: Any, *, ticks: Any, venue: Any, hedge: bool, title: str | None,
               max_fills: int, max_trips: int) -> str:
    """The page of a venue run."""
    js = _plotly_js()
    np = require("numpy", "report", "report.html")
    walked, given = _round_trips.walk_ticks(run, ticks, hedge=hedge, venue=venue,
                                            what="report.html")
    end = given.whole.last_ts if given.whole else None
    summary = summarise(run=run, trips=walked.trips, given=given,
                        symbols=[track.market.symbol for track in walked.tracks], np=np,
                        benchmark=0.0, confidence=0.95)
    records = _round_trips.fill_records(run, "report.html")
    curve = np.asarray(run.equity_curve, dtype=np.int64)
    sample_times = np.asarray(run.equity_times, dtype=np.int64)

    panels = _equity_panels(np, curve, lambda i: milliseconds(np, sample_times[i]), _TIME)
    markets = [track.market for track in walked.tracks]
    several = len(markets) > 1
    start = stop = 0
    if walked.times:
        start = summary.start if summary.start is not None else walked.times[0]
        stop = max(summary.end or 0, walked.times[-1])
    for track, own_ticks in zip(walked.tracks, given.ticks):
        panels += _market_panels(np, track.market, track, own_ticks, records, walked.offsets,
                                 several=several, start=start, stop=stop)
    span_ms = None
    if summary.start is not None and summary.end is not None:
        span_ms = (summary.start / 1e6, max([summary.end, *walked.times[-1:]]) / 1e6)
    chart = _report_page.figure(panels, x_titles={"x": "time (UTC)"}, dates=True,
                                x_range=span_ms, height=980 + 470 * (len(markets) - 1))

    symbol = markets[0].symbol if not several else _symbols_text(summary.symbols)
    if summary.start is not None and summary.end is not None:
        span = f"{utc(summary.start)} to {utc(summary.end)}"
    else:
        span = "no time elapsed"
    result = ("no equity samples" if summary.total_return is None
              else f"return {percent(summary.total_return)}")
    heading = title if title is not None else f"{symbol or run.strategy}: {span}, {result}"
    details = [f"strategy {run.strategy}", f"tier {run.tier}", f"{run.ticks:,} ticks",
               f"{len(records):,} fills", f"{summary.trips:,} round trips"]
    if several:
        details.insert(1, f"{len(markets)} instruments in one account")
    if symbol is None:
        details.append("no instrument definition: prices in ticks, quantities in lots")

    trips = _round_trips.frame(run, walked, units="decimal", end=end, limit=max_trips,
                               marks=given.marks([market.number for market in markets]))
    if not several:
        trips = trips.drop(columns="symbol")  # one instrument: the heading names it
    funding_note = ("" if not run.funding_paid else
                    '<p class="note">Funding is settled on the account, not per trip: each trip '
                    "is shown its share of its instrument's funding by lots held &times; time "
                    "held.</p>")
    fills = _round_trips.fills_frame(run, records[:max_fills], walked.offsets, units="decimal")
    sections = [
        "<h2>Statistics</h2>",
        _report_page.table(["", ""], summary.table(), "stats").replace(
            "<thead><tr><th></th><th></th></tr></thead>\n", ""),
        *_report_instruments.section(run, np, records["instrument"]),
        "<h2>Round trips</h2>", funding_note,
        frame_table(trips, len(walked.trips), "round trips"),
        "<h2>Fills</h2>",
        frame_table(fills, len(records), "fills"),
    ]
    return _report_page.page(title=heading, details=details, chart=chart, sections=sections,
                             plotly_js=js)


def result_page(run: Any, *, title: str | None, stats_rows: Sequence[tuple[str, str]],
                fills: Any, max_fills: int) -> str:
    """The page of a RunResult: what it has, by sample and fill number."""
    js = _plotly_js()
    np = require("numpy", "report", "report.html")
    curve = np.asarray(run.equity_curve, dtype=np.int64)
    panels = _equity_panels(np, curve, lambda i: i.tolist(), "sample %{x}")
    prices = np.asarray(run.fill_prices, dtype=np.int64)
    fill_panel = Panel("fill price (ticks)", 3.0, empty="no fills", x="x2", y_format=",.10~g")
    if len(prices):
        shown = envelope(np, prices)
        fill_panel.traces.append(line(
            shown.tolist(), prices[shown].tolist(), name="fill price", shape="hv",
            colour=_report_page.POSITION, hover="fill %{x}<br>price %{y} ticks"))
    chart = _report_page.figure(
        [*panels, fill_panel], dates=False,
        x_titles={"x": "equity sample (one every equity_every ticks)", "x2": "fill"})
    heading = title if title is not None else f"Run of {run.strategy}"
    sections = [
        "<h2>Statistics</h2>",
        _report_page.table(["", ""], stats_rows, "stats").replace(
            "<thead><tr><th></th><th></th></tr></thead>\n", ""),
        "<h2>Fills</h2>",
        frame_table(fills.head(max_fills), len(fills), "fills"),
    ]
    return _report_page.page(title=heading, details=[f"{run.ticks:,} ticks"], chart=chart,
                             sections=sections, plotly_js=js)
