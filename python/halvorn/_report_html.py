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

import importlib
from collections.abc import Sequence
from typing import Any

import halvorn
from halvorn import (_report_instruments, _report_page, _report_panels, _report_tables,
                     _report_ticks, _round_trips, _run_units)
from halvorn._optional import require
from halvorn._unit_text import account_currency
from halvorn._report_page import Panel, envelope, line, markers, milliseconds
from halvorn._report_summary import drawdowns, percent, summarise, utc

_TIME = "%{x|%Y-%m-%d %H:%M:%S.%L} UTC"
# Inks of the buy-and-hold lines on the equity panel, one per instrument.
_HELD = ("#5d6d7e", "#a04000", "#117864", "#6e2c00")
# Pixels each panel of the user's own adds to the page.
CUSTOM_HEIGHT = 260
_NO_SAMPLES = "no equity samples: run with equity_every above 0 to chart the equity"


def _plotly_js() -> str:
    require("plotly", "report", "report.html")
    offline = importlib.import_module("plotly.offline")
    return str(offline.get_plotlyjs())


def _prices_in_units(instrument: Any, np: Any, prices: Any) -> Any:
    if instrument is None:
        return np.asarray(prices, dtype=np.int64)
    return _run_units._scaled(np, np.asarray(prices, dtype=np.int64), instrument.tick_size,
                              "float")


def _equity_panels(np: Any, curve: Any, x: Any, x_hover: str,
                   currency: str = "USDT") -> list[Panel]:
    # A coin is shown to its smallest unit, USDT to the cent.
    form = ",.2f" if currency == "USDT" else ",.8f"
    equity = Panel(f"equity ({currency})", 3.0, empty=_NO_SAMPLES, y_format=form)
    drawdown = Panel("drawdown (%)", 1.4, empty=_NO_SAMPLES, y_format=",.10~g")
    if len(curve):
        shown = envelope(np, curve)
        equity.traces.append(line(
            x(shown), (curve[shown] / halvorn.CASH_SCALE).tolist(), name="equity",
            colour=_report_page.EQUITY, hover=f"{x_hover}<br>equity %{{y:{form}}} {currency}"))
        fractions = -100.0 * np.asarray(drawdowns(curve.tolist()).fractions)
        shown = envelope(np, fractions)
        drawdown.traces.append(line(
            x(shown), fractions[shown].tolist(), name="drawdown",
            colour=_report_page.DRAWDOWN_EDGE, fill=_report_page.DRAWDOWN, width=0.8,
            hover=f"{x_hover}<br>drawdown %{{y:.3f}} %"))
    return [equity, drawdown]


def _market_panels(np: Any, market: Any, track: Any, sampled: Any, records: Any,
                   offsets: list[str], *, several: bool, start: int, stop: int
                   ) -> list[Panel]:
    """One instrument's price panel (its last price, as `sampled` from its
    ticks or None, and its fills by side) and position panel; `records` are
    its own fills and `offsets` those of all the run's fills."""
    units = _round_trips.units_of(market.instrument)
    instrument = market.instrument
    # Over several instruments each panel, trace and legend entry says whose.
    prefix = f"{market.symbol} " if several else ""
    heading = f"{market.symbol}<br>" if several else ""
    nothing = (f"no fills of {market.symbol}, and no ticks given for it "
               "(pass ticks={symbol: ticks})" if several else
               "no fills, and no ticks given to draw the price (pass ticks=)")
    price = Panel(f"{heading}price ({units['price']})", 3.0, y_format=",.10~g", empty=nothing)
    if sampled is not None:
        times, last = sampled
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


def _held(np: Any, market: Any, sampled: Any, balance: int, colour: str) -> dict[str, Any]:
    """The equity of holding the instrument instead, unlevered and without
    costs, from the starting balance: a line on the equity panel."""
    times, last = sampled
    value = balance / halvorn.CASH_SCALE * last / last[0] if len(last) and last[0] > 0 else last
    shown = envelope(np, value)
    name = f"{market.symbol} buy and hold" if market.symbol else "buy and hold"
    trace = line(milliseconds(np, times[shown]),
                 np.asarray(value, dtype=np.float64)[shown].tolist(), name=name, colour=colour,
                 width=1.0, hover=f"{_TIME}<br>{name} %{{y:,.2f}} USDT")
    trace["line"]["dash"] = "dot"
    return trace


def _custom_panel(np: Any, own: Any) -> Panel:
    """A panel of the user's own lines on the run's time axis."""
    panel = Panel(own.title, 1.6, empty=f"{own.title}: no values", y_format=",.10~g")
    for number, each in enumerate(own.lines):
        if not len(each.times):
            continue
        shown = envelope(np, np.nan_to_num(each.values))
        values = [None if v != v else v for v in each.values[shown].tolist()]
        panel.traces.append(line(
            milliseconds(np, each.times[shown]), values, name=each.name,
            colour=_report_panels.COLOURS[number % len(_report_panels.COLOURS)],
            hover=f"{_TIME}<br>{each.name} %{{y}}"))
    return panel


def _symbols_text(symbols: Sequence[str]) -> str:
    """The symbols of a run for its heading, the first few of a long list."""
    if len(symbols) <= 4:
        return ", ".join(symbols)
    return f"{', '.join(symbols[:3])} and {len(symbols) - 3} more"


def venue_page(run: Any, *, ticks: Any, venue: Any, hedge: bool, title: str | None,
               max_fills: int, max_trips: int, panels: Any = None) -> str:
    """The page of a venue run, with the user's own `panels` under it."""
    js = _plotly_js()
    np = require("numpy", "report", "report.html")
    walked, given = _round_trips.walk_ticks(run, ticks, hedge=hedge, venue=venue,
                                            what="report.html")
    end = given.whole.last_ts if given.whole else None
    summary = summarise(run=run, trips=walked.trips, given=given,
                        symbols=[track.market.symbol for track in walked.tracks], np=np,
                        benchmark=0.0, confidence=0.95)
    records = _round_trips.fill_records(run, "report.html")
    extra = _report_panels.custom(panels, np)
    curve = np.asarray(run.equity_curve, dtype=np.int64)
    sample_times = np.asarray(run.equity_times, dtype=np.int64)

    panels = _equity_panels(np, curve, lambda i: milliseconds(np, sample_times[i]), _TIME,
                            account_currency(run))
    markets = [track.market for track in walked.tracks]
    several = len(markets) > 1
    start = stop = 0
    if walked.times:
        start = summary.start if summary.start is not None else walked.times[0]
        stop = max(summary.end or 0, walked.times[-1])
    for track, own_ticks in zip(walked.tracks, given.ticks):
        sampled = _report_ticks.sampled(own_ticks, np) if own_ticks is not None else None
        if sampled is not None and len(curve):
            panels[0].traces.append(_held(np, track.market, sampled, int(curve[0]),
                                          colour=_HELD[len(panels[0].traces) % len(_HELD)]))
        panels += _market_panels(np, track.market, track, sampled, records, walked.offsets,
                                 several=several, start=start, stop=stop)
    for own in extra:
        panels.append(_custom_panel(np, own))
    span_ms = None
    if summary.start is not None and summary.end is not None:
        span_ms = (summary.start / 1e6, max([summary.end, *walked.times[-1:]]) / 1e6)
    chart = _report_page.figure(panels, x_titles={"x": "time (UTC)"}, dates=True,
                                x_range=span_ms, height=(980 + 470 * (len(markets) - 1)
                                                         + CUSTOM_HEIGHT * len(extra)))

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
        _report_tables.stats_table(summary.table()),
        *_report_instruments.section(run, np, records["instrument"]),
        "<h2>Round trips</h2>", funding_note,
        _report_tables.trips_table(run, trips, len(walked.trips)),
        "<h2>Fills</h2>",
        _report_tables.fills_table(run, fills, len(records)),
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
        _report_tables.stats_table(stats_rows),
        "<h2>Fills</h2>",
        _report_tables.frame_table(fills.head(max_fills), len(fills), "fills"),
    ]
    return _report_page.page(title=heading, details=[f"{run.ticks:,} ticks"], chart=chart,
                             sections=sections, plotly_js=js)
