"""What one run did, as numbers, tables and charts a person can look at.

```python
from halvorn import report
run = venue.run(Crossover(), ticks, 10_000, venue=v, equity_every=1_000)
print(report.summary(run, ticks=ticks))
trips = report.round_trips(run, ticks=ticks)
report.html(run, "run.html", ticks=ticks)
```

Everything here reads a finished run: a `halvorn.venue.Run`, or a `RunResult`
that was run with ``equity_every`` above 0 so that it carries an equity curve.
A venue's run also lists its fills with their times and sides, the time of
every equity sample and its instrument; `summary` and `round_trips` need
those, and the page and chart are plainer for a `RunResult`.  `stats` gives
per-sample statistics of either kind of run, with the returns of
`halvorn.sweep.returns`; `summary` annualises by calendar time (365-day
years) and adds the statistics of the round trips.

A run of several instruments (a portfolio) is one account: its equity,
drawdown and returns are the account's, its round trips are each of one
instrument and valued in that instrument's units, its fills are named by
symbol, and the chart and page draw each instrument's prices and position
apart.  Its ticks are given as `venue.run` took them, a dict of symbol to
ticks.

`stats` needs nothing beyond halvorn; the frames, trips and summary need
pandas, the PNG chart matplotlib and the page plotly, all in ``pip install
halvorn[report]``.  The chart is drawn on a figure of its own with the Agg
renderer: it never opens a window and never touches the state of
``matplotlib.pyplot``.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import halvorn
from halvorn import _report_html, _report_panels, _report_ticks, _round_trips, _run_units
from halvorn._optional import require
from halvorn._report_measures import exposure as _exposure
from halvorn._report_measures import risk as _risk
from halvorn._report_measures import total_return as _total_return
from halvorn._report_summary import Summary, summarise, two_columns
from halvorn._report_summary import drawdowns as _drawdowns
from halvorn._report_summary import duration as _duration
from halvorn._report_summary import number as _number
from halvorn._report_summary import usdt as _usdt
from halvorn.data import _native
from halvorn.sweep import returns

__all__ = ["Stats", "stats", "Summary", "summary", "round_trips", "fills_frame", "equity_frame",
           "plot", "html"]

# The chart's colours, one per kind of ink, so that each panel can be told
# apart in the picture (the tests look for them).
_EQUITY = "#1f5fa8"
_DRAWDOWN = "#e8a49c"
_DRAWDOWN_EDGE = "#c0392b"
_PRICE = "#7f8c8d"
_BUY = "#1e8449"
_SELL = "#e67e22"
_FILL = "#6c3483"


def _is_venue_run(run: Any) -> bool:
    # A venue's run lists its fills; a RunResult counts them.
    return not isinstance(run.fills, int)


def _curve(run: Any, what: str) -> list[int]:
    curve = list(run.equity_curve)
    if not curve:
        raise ValueError(f"{what} reads the equity curve, and this run has none; run it with "
                         "equity_every above 0")
    return curve


# --- statistics -----------------------------------------------------------------------


@dataclass(frozen=True, kw_only=True)
class Stats:
    """The statistics of one run; `str()` of it is a two-column table.

    Periods are the intervals between equity samples (``equity_every`` ticks
    each); money is in cash units (`halvorn.CASH_SCALE` per USDT).  Fields
    that need a `halvorn.venue.Run` are None for a `RunResult`, and so are the
    Sharpe-based ones where a Sharpe ratio is undefined.
    """

    strategy: str
    """The strategy's name."""
    ticks: int
    """Observations processed."""
    periods: int
    """Returns measured: the equity samples after the first."""
    total_return: float
    """Last equity sample over the first, minus one."""
    max_drawdown: float
    """Deepest fall of the equity from its running peak, as a fraction of the peak
    (1.0 is everything; past 1.0 the account owed money)."""
    max_drawdown_cash: int
    """That fall in cash units."""
    drawdown_periods: int
    """Length of the deepest drawdown from its peak to the first sample back at
    the peak, or to the end of the run if it never got back, in periods."""
    drawdown_ns: int | None
    """The same length in nanoseconds of exchange time; needs a venue.Run."""
    sharpe: float | None
    """Per-period Sharpe ratio of the returns (no annualisation); None with fewer
    than 4 periods or equity that never moved."""
    psr: float | None
    """Probabilistic Sharpe ratio: probability that the true Sharpe ratio is
    above `benchmark`."""
    min_trl: float | None
    """Minimum track record length, in periods, for the Sharpe ratio to beat
    `benchmark` at `confidence`; None when it does not beat it at all."""
    benchmark: float
    """Sharpe ratio per period that `psr` and `min_trl` compare against."""
    confidence: float
    """Confidence `min_trl` is computed for."""
    fills: int
    """Fills the strategy received."""
    fees_paid: int
    """Fees paid, in cash units."""
    funding_paid: int
    """Funding the account received net of the funding it paid, in cash units:
    negative when it paid."""
    liquidations: int
    """Times the venue closed the account."""
    exposure: float | None
    """Share of ticks after which a position was open; needs a venue.Run."""

    def table(self) -> list[tuple[str, str]]:
        """The statistics as (label, formatted value) pairs, in display order,
        with their units; what a `RunResult` cannot give reads "needs a
        venue.Run"."""
        need = "needs a venue.Run"
        duration = f"{self.drawdown_periods:,} periods"
        if self.drawdown_ns is not None:
            duration += f" ({_duration(self.drawdown_ns)})"
        return [
            ("Strategy", self.strategy),
            ("Ticks", f"{self.ticks:,}"),
            ("Periods", f"{self.periods:,}"),
            ("Return", f"{self.total_return * 100:+.2f} %"),
            ("Max drawdown", f"{self.max_drawdown * 100:.2f} % ({_usdt(self.max_drawdown_cash)})"),
            ("Max drawdown duration", duration),
            ("Sharpe ratio (per period)", _number(self.sharpe, ".4f")),
            (f"PSR (vs {self.benchmark:g})", _number(self.psr, ".3f")),
            (f"MinTRL ({self.confidence * 100:g} %)", _number(self.min_trl, ",.0f", " periods")),
            ("Fills", f"{self.fills:,}"),
            ("Fees", _usdt(self.fees_paid)),
            ("Funding (net, + received / - paid)", _usdt(self.funding_paid)),
            ("Liquidations", f"{self.liquidations:,}"),
            ("Exposure", (f"{self.exposure * 100:.1f} % of ticks" if self.exposure is not None
                          else need if self.drawdown_ns is None else "no ticks")),
        ]

    def __str__(self) -> str:
        return two_columns(self.table())


def stats(run: Any, *, benchmark: float = 0.0, confidence: float = 0.95) -> Stats:
    """The statistics of `run`, a venue.Run or a RunResult with an equity curve.

    `benchmark` is the per-period Sharpe ratio the probabilistic Sharpe ratio
    and the minimum track record length compare against; `confidence` is the
    one the track record length is computed for.  The drawdown duration in
    time and the exposure need a venue.Run and are None otherwise.

    Raises `ValueError` when the run has no equity curve (``equity_every=0``)
    and `TypeError` when `run` is not a run.
    """
    _check_run(run)
    curve = _curve(run, "stats")
    period_returns = returns(curve)
    drawdown = _drawdowns(curve)
    venue_run = _is_venue_run(run)

    measured = _risk(period_returns, benchmark, confidence)

    drawdown_ns = None
    if venue_run:
        times = list(run.equity_times)
        drawdown_ns = times[drawdown.end] - times[drawdown.peak]
    total = _total_return(curve)
    assert total is not None  # returns() refused a curve that does not start positive
    return Stats(
        strategy=run.strategy,
        ticks=run.ticks,
        periods=len(period_returns),
        total_return=total,
        max_drawdown=drawdown.worst,
        max_drawdown_cash=drawdown.worst_cash,
        drawdown_periods=drawdown.end - drawdown.peak,
        drawdown_ns=drawdown_ns,
        sharpe=measured.sharpe,
        psr=measured.psr,
        min_trl=measured.min_trl,
        benchmark=benchmark,
        confidence=confidence,
        fills=run.fills if isinstance(run.fills, int) else len(run.fills),
        fees_paid=run.fees_paid,
        funding_paid=run.funding_paid,
        liquidations=(run.liquidations if isinstance(run.liquidations, int)
                      else len(run.liquidations)),
        exposure=_exposure(run),
    )


def _check_run(run: object) -> None:
    for name in ("strategy", "ticks", "fills", "equity_curve", "fees_paid"):
        if not hasattr(run, name):
            raise TypeError(f"expected a RunResult or a halvorn.venue.Run, got "
                            f"{type(run).__name__} (it has no {name})")


# --- frames ---------------------------------------------------------------------------

def fills_frame(run: Any, *, venue: Any = None, units: str = "decimal") -> Any:
    """The run's fills as a pandas DataFrame, one row per fill in order.

    For a venue.Run: a "time" index (UTC, from exch_ts) and the columns exch_ts
    and local_ts (ns), order, seq, price and qty (in the quote currency and
    the base asset when the run has an instrument, else in ticks and lots),
    side ("buy" or "sell"), offset, taker (bool), fee (USDT, positive when
    paid) and remaining (what the fill's order still had working after it,
    in the qty's units: 0 but for the parts before the last of an order
    filled in parts).  The offset is what the fill did to the position: "open",
    "close", or "close+open" for a fill that closed the position and opened
    the other way with the rest.  A run of several instruments has a symbol
    column first, each fill in its own instrument's units, and each
    instrument's position followed apart.  `venue` is the Venue the run was
    made on (or the dict of them), needed only in hedge mode, where each leg
    is followed apart.  `units` is "decimal" (exact `decimal.Decimal` values)
    or "float".  A RunResult knows only its fill prices: a "price" column
    indexed by fill number.

    Raises `ImportError` without pandas (``pip install halvorn[report]``).
    """
    pandas = require("pandas", "report", "report.fills_frame")
    _check_run(run)
    if not _is_venue_run(run):
        frame = pandas.DataFrame({"price": pandas.Series(run.fill_prices, dtype="int64")})
        frame.index.name = "fill"
        return frame
    _run_units._check_units(units)
    hedge, _ = _venues(venue)
    walked = _round_trips.walk(run, hedge=hedge, what="report.fills_frame")
    return _round_trips.fills_frame(run, _round_trips.fill_records(run, "report.fills_frame"),
                                    walked.offsets, units=units)


def _venues(venue: Any) -> tuple[bool, Any]:
    """Whether the run was made in hedge mode, and the one Venue it was made
    on (None when there is none, or a dict of several); `venue` is a Venue,
    a dict of symbol to Venue as `venue.run` takes, or None."""
    from halvorn.venue import Venue

    given = list(venue.values()) if isinstance(venue, Mapping) else [venue]
    for each in given:
        if each is not None and not isinstance(each, Venue):
            raise TypeError(f"venue must be the halvorn.venue.Venue the run was made on, a dict "
                            f"of symbol to Venue, or None; got {type(each).__name__}")
    # Hedge mode is the account's: every Venue of a portfolio agrees on it.
    hedge = any(each is not None and each.hedge for each in given)
    return hedge, given[0] if len(given) == 1 else None


def round_trips(run: Any, *, ticks: Any = None, venue: Any = None,
                units: str = "decimal") -> Any:
    """The round trips of a venue.Run as a pandas DataFrame, one row per trip.

    A trip is a position from its first fill to the fill that makes it flat;
    a fill that reverses the position closes one trip and opens the next with
    the rest, and a liquidation closes every open trip of its instrument.
    Columns: symbol (the trip's instrument; None without an instrument
    definition), side ("long"/"short"), entry_time and exit_time (UTC; NaT
    while open), entry_price and exit_price (averages of the fills, in the
    quote currency, or in ticks without an instrument), qty (everything the
    trip opened, in the base asset or lots), gross, fees, funding and net
    (USDT; net = gross - fees + funding), return (net over what the position
    cost to open), duration, open, liquidated, and tag and exit_tag (the
    tags of the orders that opened and closed it) when the run's orders
    carry tags.

    Over several instruments each instrument's fills are walked apart: a
    trip is of one instrument and in its units.  The trips come in the order
    their opening fills came in.

    Money is counted in integers and converted only at the end: a closed
    trip's gross profit is exact.  Fees are those of the trip's fills, a
    reversing fill's split by quantity.  Funding is settled on the account,
    not per fill, so each instrument's total is shared among its trips in
    proportion to lots held × time held, in whole cash units that add up to
    the total.

    `ticks` (the ticks the run was made on; for several instruments the dict
    of symbol to ticks) values a trip still open at the end at its
    instrument's last price, without a fee; without them its exit price,
    gross, net and return are missing.  `venue` (the Venue the run was made
    on, or the dict of them) gives hedge mode, where each leg is followed
    apart, and the contract size when the run has no instrument (else
    10_000, the default).  `units` is "decimal" (exact `decimal.Decimal`
    values, averages to four places beyond the tick) or "float".

    Raises `TypeError` for a RunResult (its fills have no sides) and for
    ticks of several instruments not given by symbol, `ValueError` for fills
    that do not fit hedge mode and for ticks of a symbol the run did not
    trade, and `ImportError` without pandas.
    """
    _check_run(run)
    _run_units._check_units(units)
    hedge, one = _venues(venue)
    walked, given = _round_trips.walk_ticks(run, ticks, hedge=hedge, venue=one,
                                            what="report.round_trips")
    end = given.whole.last_ts if given.whole else None
    return _round_trips.frame(run, walked, units=units, end=end,
                              marks=given.marks([t.market.number for t in walked.tracks]))


def summary(run: Any, *, ticks: Any = None, venue: Any = None, benchmark: float = 0.0,
            confidence: float = 0.95) -> Summary:
    """The statistics of a venue.Run in USDT, annualised by calendar time.

    Returns are simple returns between equity samples; a year is 365 days;
    ratios are annualised with the samples per year the run had (see
    docs/report.md for every convention).  Trade statistics are of the
    closed round trips (`round_trips`), net of fees and funding, of every
    instrument together.  `ticks` gives the buy-and-hold return (of a run of
    one instrument) and the run's end; `ticks` and `venue` as for
    `round_trips`.  `benchmark` is the annual Sharpe ratio the probabilistic
    Sharpe ratio and the minimum track record length compare against, and
    `confidence` the one that length is computed for.

    A run without equity samples has None for the equity statistics rather
    than an error, so that its trades can still be read.  Raises `TypeError`
    for a RunResult (it has no times: use `stats`).
    """
    _check_run(run)
    hedge, one = _venues(venue)
    walked, given = _round_trips.walk_ticks(run, ticks, hedge=hedge, venue=one,
                                            what="report.summary")
    np = require("numpy", "report", "report.summary")
    return summarise(run=run, trips=walked.trips, given=given,
                     symbols=[track.market.symbol for track in walked.tracks], np=np,
                     benchmark=benchmark, confidence=confidence)


def equity_frame(run: Any) -> Any:
    """The equity samples as a pandas DataFrame, one row per sample.

    Columns: equity (cash units), equity_usdt, returns (as `halvorn.sweep.returns`;
    NaN on the first sample, which has no period before it) and drawdown (the
    fall from the running peak as a fraction of it).  A venue.Run's frame is
    indexed by "time" (UTC) and has an exch_ts column (ns); a RunResult's is
    indexed by sample number.

    Raises `ImportError` without pandas (``pip install halvorn[report]``) and
    `ValueError` for a run without an equity curve.
    """
    pandas = require("pandas", "report", "report.equity_frame")
    _check_run(run)
    curve = _curve(run, "report.equity_frame")
    frame = pandas.DataFrame({
        "equity": pandas.Series(curve, dtype="int64"),
        "equity_usdt": [value / halvorn.CASH_SCALE for value in curve],
        "returns": [float("nan")] + returns(curve),
        "drawdown": _drawdowns(curve).fractions,
    })
    if _is_venue_run(run):
        times = pandas.Series(list(run.equity_times), dtype="int64")
        frame.insert(0, "exch_ts", times)
        frame.index = pandas.DatetimeIndex(pandas.to_datetime(times, unit="ns", utc=True),
                                           name="time")
    else:
        frame.index.name = "sample"
    return frame


# --- writing a file -------------------------------------------------------------------


def _replace(path: str | os.PathLike[str], write: Callable[[Any], object]) -> None:
    """Has `write` fill a new binary file, then puts it at `path` in one step.

    A report is often rewritten over the previous one, and writing it in place
    would leave neither when the disk fills or the writing fails half-way.  So
    `write` fills memory first, and the bytes replace the target whole the way
    every data file is written (halvorn.data's file replacement): a file beside
    the target, flushed to the disk with its directory, renamed over the target
    only once complete.  On any error, Ctrl-C in `write` included, the previous
    file is left byte for byte and nothing else is left beside it.  The new
    file keeps the permission bits of the file it replaces (0666 less the umask
    for a new one); a symbolic link is followed, so that the file it names is
    replaced rather than the link; a target that is not a regular file (a pipe,
    a device) is written in place, since renaming over it would replace the
    device itself.
    """
    given = os.fsdecode(path)
    buffer = io.BytesIO()
    write(buffer)
    _native._replace_file(given, buffer.getvalue())


# --- the chart ------------------------------------------------------------------------


def _price_units(instrument: Any, numpy: Any, prices: Any) -> tuple[Any, str]:
    """Prices in ticks as the chart draws them: floats in the quote currency
    when there is an instrument definition, else ticks, with the axis label."""
    if instrument is None:
        return prices, "price (ticks)"
    return _run_units._scaled(numpy, prices, instrument.tick_size, "float"), "price (USDT)"


def _figure(run: Any, ticks: Any, panels: Any = None) -> Any:
    require("matplotlib", "report", "report.plot")
    import numpy
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    _check_run(run)
    curve = _curve(run, "report.plot")
    venue_run = _is_venue_run(run)
    if ticks is not None and not venue_run:
        raise ValueError("a RunResult has no fill times to place on the price series; "
                         "pass ticks only with a halvorn.venue.Run")
    if not venue_run:
        _report_panels.refuse_without_times(panels)
    extra = _report_panels.custom(panels, numpy)
    markets = _round_trips.run_markets(run) if venue_run else []
    # Prices of different instruments share no axis: each gets a panel.
    several = len(markets) > 1
    each_ticks = (_report_ticks.split(ticks, [m.symbol for m in markets]) if venue_run
                  else [None])

    figure = Figure(figsize=(10, 8 + 3 * (len(each_ticks) - 1) + 2 * len(extra)), dpi=100,
                    layout="constrained")
    FigureCanvasAgg(figure)
    equity_axes, drawdown_axes, *fill_axes = figure.subplots(
        2 + len(each_ticks) + len(extra), 1,
        height_ratios=[3, 1.4] + [3] * len(each_ticks) + [1.6] * len(extra), sharex=venue_run)
    own_axes, fill_axes = fill_axes[len(each_ticks):], fill_axes[:len(each_ticks)]
    for axes, own in zip(own_axes, extra):
        for number, each in enumerate(own.lines):
            axes.plot(each.times.astype("datetime64[ns]"), each.values, linewidth=1.0,
                      color=_report_panels.COLOURS[number % len(_report_panels.COLOURS)],
                      label=each.name)
        axes.set_ylabel(own.title)
        axes.grid(alpha=0.3)
        if len(own.lines) > 1:
            axes.legend(loc="upper left", fontsize="small")
    figure.suptitle(f"{run.strategy}: {run.ticks:,} ticks")

    if venue_run:
        x = numpy.array(list(run.equity_times), dtype="datetime64[ns]")
    else:
        x = numpy.arange(len(curve))
        drawdown_axes.set_xlabel("equity sample (one every equity_every ticks)")
        equity_axes.sharex(drawdown_axes)
    equity = numpy.array(curve, dtype="float64") / halvorn.CASH_SCALE
    equity_axes.plot(x, equity, color=_EQUITY, linewidth=1.2)
    equity_axes.set_ylabel("equity (USDT)")
    equity_axes.grid(alpha=0.3)
    # Plain numbers: an offset label ("+1e3") hides the level the account is at.
    equity_axes.ticklabel_format(axis="y", style="plain", useOffset=False)

    drawdown = -100.0 * numpy.array(_drawdowns(curve).fractions)
    drawdown_axes.fill_between(x, drawdown, 0.0, color=_DRAWDOWN, linewidth=0)
    drawdown_axes.plot(x, drawdown, color=_DRAWDOWN_EDGE, linewidth=0.8)
    drawdown_axes.set_ylabel("drawdown (%)")
    drawdown_axes.grid(alpha=0.3)

    for fills_axes in fill_axes:
        fills_axes.set_ylabel("price (ticks)")
        fills_axes.grid(alpha=0.3)
        fills_axes.ticklabel_format(axis="y", style="plain", useOffset=False)
    if venue_run:
        records = _round_trips.fill_records(run, "report.plot")
        for market, own_ticks, fills_axes in zip(markets, each_ticks, fill_axes):
            own = (records if market.number == 0
                   else records[records["instrument"] == market.number])
            _draw_fills(fills_axes, numpy, market, own_ticks, own,
                        f"{market.symbol} " if several else "")
    else:
        fills_axes = fill_axes[0]
        prices = run.fill_prices
        count = len(prices)
        if prices:
            fills_axes.step(range(count), prices, where="post", color=_FILL, linewidth=0.8)
            fills_axes.scatter(range(count), prices, color=_FILL, s=10, zorder=3)
        else:
            _no_fills(fills_axes)
        fills_axes.set_xlabel("fill")
        fills_axes.set_title(f"fills ({count:,})", fontsize="medium", loc="left")
    return figure


def _no_fills(axes: Any) -> None:
    axes.text(0.5, 0.5, "no fills", transform=axes.transAxes, ha="center", va="center",
              color="#555555")


def _draw_fills(axes: Any, numpy: Any, market: Any, ticks: Any, records: Any,
                name: str) -> None:
    """One instrument's fills at their times, buys and sells apart, over its
    last price when its ticks are given; `name` opens the panel's title."""
    if ticks is not None:
        times, last = _report_ticks.sampled(ticks, numpy)
        last, _ = _price_units(market.instrument, numpy, last)
        axes.plot(times.astype("datetime64[ns]"), last, color=_PRICE, linewidth=0.8,
                  label="last")
    prices, label = _price_units(market.instrument, numpy, records["price"])
    axes.set_ylabel(label)
    for side, colour, marker in ((0, _BUY, "^"), (1, _SELL, "v")):
        chosen = records["side"] == side
        if chosen.any():
            axes.scatter(records["exch_ts"][chosen].astype("datetime64[ns]"), prices[chosen],
                         color=colour, marker=marker, s=18, label=("buy", "sell")[side],
                         zorder=3)
    if len(records) == 0:
        _no_fills(axes)
    else:
        axes.legend(loc="upper left", fontsize="small")
    axes.set_title(f"{name}fills ({len(records):,})", fontsize="medium", loc="left")


def plot(run: Any, path: str | os.PathLike[str], *, ticks: Any = None,
         panels: Any = None) -> None:
    """Write a PNG of `run` to `path`: equity, drawdown, and the fills over price.

    Equity (USDT) and drawdown (%) are drawn at every equity sample.  For a
    venue.Run the fills are placed at their times, buys and sells apart, over
    the last price of `ticks` (a `TickSource` or a sequence of `Tick`, thinned
    to a few thousand points) when it is given; over several instruments,
    each instrument's in a panel of its own (`ticks` a dict of symbol to
    ticks), the picture 300 pixels taller for each beyond the first.  A
    RunResult has neither times nor sides for its fills, so they are drawn
    in order, by fill number.

    `panels` adds panels of your own under them, on the run's time axis: a
    dict of title to a series (a pandas Series indexed by time, or a pair
    of times in ns and values), or to a dict of line name to series for
    several lines in one panel; each makes the picture 200 pixels taller.

    The file at `path` is replaced only once the new one is complete: a
    failure part-way (a full disk, Ctrl-C) leaves the previous one as it was.

    Raises `ImportError` without matplotlib (``pip install halvorn[report]``),
    `ValueError` for a run without an equity curve or for `ticks` or
    `panels` with a RunResult, `TypeError` for a panel that is not a
    series, and `OSError` when `path` cannot be written.
    """
    figure = _figure(run, ticks, panels)
    _replace(path, lambda out: figure.savefig(out, format="png"))


def html(run: Any, path: str | os.PathLike[str], *, ticks: Any = None, title: str | None = None,
         max_fills: int = 500, venue: Any = None, max_trips: int = 500,
         panels: Any = None) -> None:
    """Write one self-contained HTML page about `run` to `path`.

    For a venue.Run: interactive charts over one time axis in UTC (equity,
    drawdown, the last price of `ticks` with the fills marked by side, and
    the position; zoom, pan and hover for times and values), the `summary`,
    the first `max_trips` round trips and the first `max_fills` fills, with
    prices in the quote currency when the run has an instrument.  Over
    several instruments the price and the position are drawn for each
    instrument apart, in its own units (`ticks` a dict of symbol to ticks),
    under the account's equity and drawdown, and a table sets the
    instruments side by side.  For a RunResult: equity and drawdown by
    sample, fill prices by fill number, the `stats` table and the fills.
    Long series are thinned before they are drawn (the lowest and highest
    point of each of a few thousand stretches), so the page of millions of
    fills opens at once; the tables are exact, prices to the places of the
    instrument's step, and fit a window 1,400 pixels wide.  With `ticks`,
    the equity panel also draws the equity of holding each instrument
    instead, from the same balance.

    `panels` adds panels of your own under the charts, on the run's time
    axis (zoomed and panned with them): a dict of title to a series (a
    pandas Series indexed by time, or a pair of times in ns and values),
    or to a dict of line name to series for several lines in one panel.

    The page holds the plotting library's script itself and refers to
    nothing outside, so it works offline and can be mailed or archived as
    one file.  `title` defaults to the symbol (or strategy), the dates and
    the return.  `venue` is as for `round_trips`.  Like `plot`, it replaces
    `path` only once the new page is complete.

    Raises `ImportError` without pandas or plotly (``pip install
    halvorn[report]``), `ValueError` for a negative `max_fills` or
    `max_trips`, for a RunResult without an equity curve or with `ticks` or
    `panels`, `TypeError` for a panel that is not a series, and `OSError`
    when `path` cannot be written.
    """
    for name, value in (("max_fills", max_fills), ("max_trips", max_trips)):
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise ValueError(f"{name} must be an int of at least 0, got {value!r}")
    _check_run(run)
    if _is_venue_run(run):
        hedge, one = _venues(venue)
        text = _report_html.venue_page(run, ticks=ticks, venue=one, hedge=hedge,
                                       title=title, max_fills=max_fills, max_trips=max_trips,
                                       panels=panels)
    else:
        _report_panels.refuse_without_times(panels)
        if ticks is not None:
            raise ValueError("a RunResult has no fill times to place on the price series; "
                             "pass ticks only with a halvorn.venue.Run")
        table = stats(run).table()
        text = _report_html.result_page(run, title=title, stats_rows=table,
                                        fills=fills_frame(run), max_fills=max_fills)
    encoded = text.encode("utf-8")
    _replace(path, lambda out: out.write(encoded))
