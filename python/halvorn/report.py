"""What one run did, as numbers, tables and a chart a person can look at.

```python
from halvorn import report
run = halvorn.run_backtest(Crossover(), ticks, 10_000, equity_every=1_000)
print(report.stats(run))
report.plot(run, "run.png")
report.html(run, "run.html")
```

Everything here reads a finished run: a `halvorn.venue.Run`, or a `RunResult`
that was run with ``equity_every`` above 0 so that it carries an equity curve.
A venue's run also lists its fills with their times and sides, the time of
every equity sample and the ticks on which a position was open; what needs
those is marked so below, and is left out (None, or a plainer chart) for a
`RunResult`.  Returns are those of `halvorn.sweep.returns`: the change of
equity over each sampling period as a fraction of the starting equity.

`stats` needs nothing beyond halvorn; the frames need pandas and the chart
matplotlib, both in ``pip install halvorn[report]``.  The chart is drawn on a
figure of its own with the Agg renderer: it never opens a window and never
touches the state of ``matplotlib.pyplot``.
"""

from __future__ import annotations

import base64
import errno
import html as _html
import io
import os
import secrets
import stat as _stat
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import halvorn
from halvorn._optional import require
from halvorn.sweep import returns

__all__ = ["Stats", "stats", "fills_frame", "equity_frame", "plot", "html"]

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


@dataclass(frozen=True)
class _Drawdown:
    fractions: list[float]
    worst: float
    worst_cash: int
    peak: int
    end: int


def _drawdowns(curve: list[int]) -> _Drawdown:
    """The fall from the running peak at every sample, and the deepest episode.

    The deepest is measured as a fraction of its peak.  It starts at the last
    sample that set that peak and ends at the first later sample back at or
    above it, or at the last sample when the equity never got back.
    """
    fractions = []
    peak_value, peak_at = curve[0], 0
    worst, worst_cash, worst_peak, worst_trough = 0.0, 0, 0, 0
    for i, value in enumerate(curve):
        if value >= peak_value:
            peak_value, peak_at = value, i
        fraction = (peak_value - value) / peak_value if peak_value > 0 else 0.0
        fractions.append(fraction)
        if fraction > worst:
            worst, worst_cash, worst_peak, worst_trough = fraction, peak_value - value, peak_at, i
    end = len(curve) - 1
    if worst > 0:
        for i in range(worst_trough + 1, len(curve)):
            if curve[i] >= curve[worst_peak]:
                end = i
                break
    else:
        end = worst_peak
    return _Drawdown(fractions, worst, worst_cash, worst_peak, end)


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
    """Share of ticks on which a position was open; needs a venue.Run."""

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
            ("Exposure", need if self.exposure is None else f"{self.exposure * 100:.1f} % of ticks"),
        ]

    def __str__(self) -> str:
        rows = self.table()
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


def _usdt(cash: int) -> str:
    return f"{cash / halvorn.CASH_SCALE:,.2f} USDT"


def _number(value: float | None, form: str, unit: str = "") -> str:
    return "undefined" if value is None else f"{value:{form}}{unit}"


def _duration(ns: int) -> str:
    seconds = ns / 1e9
    for unit, size in (("d", 86_400), ("h", 3_600), ("min", 60)):
        if seconds >= size:
            return f"{seconds / size:.1f} {unit}"
    return f"{seconds:.3g} s"


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

    sharpe = psr = min_trl = None
    try:
        sharpe, skewness, kurtosis = halvorn.moments(period_returns)
    except ValueError:
        pass
    else:
        try:
            psr = halvorn.probabilistic_sharpe_ratio(sharpe, benchmark, len(period_returns),
                                                     skewness, kurtosis)
        except ValueError:
            psr = None
        if sharpe > benchmark:
            try:
                min_trl = halvorn.minimum_track_record_length(sharpe, benchmark, skewness,
                                                              kurtosis, confidence)
            except ValueError:
                min_trl = None

    drawdown_ns = exposure = None
    if venue_run:
        times = list(run.equity_times)
        drawdown_ns = times[drawdown.end] - times[drawdown.peak]
        exposure = run.exposed_ticks / run.ticks if run.ticks else 0.0
    return Stats(
        strategy=run.strategy,
        ticks=run.ticks,
        periods=len(period_returns),
        total_return=(curve[-1] - curve[0]) / curve[0],
        max_drawdown=drawdown.worst,
        max_drawdown_cash=drawdown.worst_cash,
        drawdown_periods=drawdown.end - drawdown.peak,
        drawdown_ns=drawdown_ns,
        sharpe=sharpe,
        psr=psr,
        min_trl=min_trl,
        benchmark=benchmark,
        confidence=confidence,
        fills=run.fills if isinstance(run.fills, int) else len(run.fills),
        fees_paid=run.fees_paid,
        funding_paid=run.funding_paid,
        liquidations=(run.liquidations if isinstance(run.liquidations, int)
                      else len(run.liquidations)),
        exposure=exposure,
    )


def _check_run(run: object) -> None:
    for name in ("strategy", "ticks", "fills", "equity_curve", "fees_paid"):
        if not hasattr(run, name):
            raise TypeError(f"expected a RunResult or a halvorn.venue.Run, got "
                            f"{type(run).__name__} (it has no {name})")


# --- frames ---------------------------------------------------------------------------

_FILL_FIELDS = ("exch_ts", "local_ts", "order", "seq", "price", "qty", "side", "offset", "taker",
                "fee")


def fills_frame(run: Any) -> Any:
    """The run's fills as a pandas DataFrame, one row per fill in order.

    For a venue.Run: a "time" index (UTC, from exch_ts) and the columns exch_ts
    and local_ts (ns), order, seq, price (ticks), qty (lots), side ("buy" or
    "sell"), offset ("open" or "close"), taker (bool) and fee (cash units).  A
    RunResult knows only its fill prices: a "price" column indexed by fill
    number.

    Raises `ImportError` without pandas (``pip install halvorn[report]``).
    """
    pandas = require("pandas", "report", "report.fills_frame")
    _check_run(run)
    if not _is_venue_run(run):
        frame = pandas.DataFrame({"price": pandas.Series(run.fill_prices, dtype="int64")})
        frame.index.name = "fill"
        return frame
    fills = list(run.fills)
    frame = pandas.DataFrame({name: [getattr(f, name) for f in fills] for name in _FILL_FIELDS})
    for name in ("exch_ts", "local_ts", "order", "seq", "price", "qty", "fee"):
        frame[name] = frame[name].astype("int64")
    frame["taker"] = frame["taker"].astype(bool)
    frame.index = pandas.DatetimeIndex(pandas.to_datetime(frame["exch_ts"], unit="ns", utc=True),
                                       name="time")
    return frame


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
    the bytes go to a file of a name no one else holds beside the target, which
    is flushed to the disk and renamed over the target only once `write` has
    returned: on any error, Ctrl-C included, the previous file is left byte for
    byte and the temporary is removed.  The new file keeps the permission bits
    of the file it replaces (0666 less the umask for a new one), as the data
    files do.  A symbolic link is followed, so that the file it names is
    replaced rather than the link; a target that is not a regular file (a pipe,
    a device) is written in place, since renaming over it would replace the
    device itself.
    """
    given = os.fsdecode(path)
    target = os.path.realpath(given)
    try:
        status: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        status = None
    if status is not None and _stat.S_ISDIR(status.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), given)
    if status is not None and not _stat.S_ISREG(status.st_mode):
        with open(target, "wb") as out:
            write(out)
        return
    directory = os.path.dirname(target)
    temporary, fd = _create_temporary(directory, given)
    try:
        with os.fdopen(fd, "wb") as out:
            if status is not None:
                os.fchmod(out.fileno(), _stat.S_IMODE(status.st_mode))
            write(out)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(directory)


def _create_temporary(directory: str, given: str) -> tuple[str, int]:
    # Mode 0666 lets the kernel apply the umask, as for any new file; O_EXCL
    # makes the name this call's alone, whatever else writes beside it.
    for _ in range(100):
        name = os.path.join(directory, ".halvorn-save-" + secrets.token_hex(5))
        try:
            return name, os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            # The temporary's name means nothing to the caller: name the target.
            raise OSError(error.errno, error.strerror, given) from None
    raise FileExistsError(errno.EEXIST, "no free temporary name beside the target", given)


def _sync_directory(directory: str) -> None:
    # Makes the rename itself durable.  Best effort: some file systems refuse
    # to sync a directory, and the report is already complete by then.
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# --- the chart ------------------------------------------------------------------------


def _prices(ticks: Any, numpy: Any, points: int = 4_000) -> tuple[Any, Any]:
    """(exch_ts, last) of at most about `points` evenly spaced ticks of `ticks`."""
    if isinstance(ticks, halvorn.TickSource):
        count = ticks.count
        if count == 0:
            return numpy.empty(0, "int64"), numpy.empty(0, "int64")
        step = max(1, count // points)
        # Records are eight little-endian int64 behind a 32-byte header
        # (docs/tick_format.md); mapping the file and taking every step-th
        # record reads only the pages those records are on, so a chart of a
        # file of any size costs a few thousand page reads.
        try:
            records = numpy.memmap(ticks.path, dtype="<i8", mode="r", offset=32, shape=(count, 8))
        except (OSError, ValueError) as error:
            raise ValueError(f"{ticks.path}: {error}") from error
        sampled = numpy.array(records[::step, [0, 2]])
        del records
        return sampled[:, 0], sampled[:, 1]
    if isinstance(ticks, (str, bytes)) or not isinstance(ticks, Sequence):
        raise TypeError("ticks must be a TickSource, a sequence of Tick or None, not "
                        f"{type(ticks).__name__}")
    step = max(1, len(ticks) // points)
    chosen = [ticks[i] for i in range(0, len(ticks), step)]
    return (numpy.array([t.exch_ts for t in chosen], "int64"),
            numpy.array([t.last for t in chosen], "int64"))


def _figure(run: Any, ticks: Any) -> Any:
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

    figure = Figure(figsize=(10, 8), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    equity_axes, drawdown_axes, fills_axes = figure.subplots(
        3, 1, height_ratios=[3, 1.4, 3], sharex=venue_run)
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

    fills_axes.set_ylabel("price (ticks)")
    fills_axes.grid(alpha=0.3)
    fills_axes.ticklabel_format(axis="y", style="plain", useOffset=False)
    if venue_run:
        if ticks is not None:
            times, last = _prices(ticks, numpy)
            fills_axes.plot(times.astype("datetime64[ns]"), last, color=_PRICE,
                            linewidth=0.8, label="last")
        fills = list(run.fills)
        for side, colour, marker in (("buy", _BUY, "^"), ("sell", _SELL, "v")):
            chosen = [f for f in fills if f.side == side]
            if chosen:
                fills_axes.scatter(numpy.array([f.exch_ts for f in chosen], "datetime64[ns]"),
                                   [f.price for f in chosen], color=colour, marker=marker, s=18,
                                   label=side, zorder=3)
        count = len(fills)
    else:
        prices = run.fill_prices
        count = len(prices)
        if prices:
            fills_axes.step(range(count), prices, where="post", color=_FILL, linewidth=0.8)
            fills_axes.scatter(range(count), prices, color=_FILL, s=10, zorder=3)
        fills_axes.set_xlabel("fill")
    if count == 0:
        fills_axes.text(0.5, 0.5, "no fills", transform=fills_axes.transAxes, ha="center",
                        va="center", color="#555555")
    elif venue_run:
        fills_axes.legend(loc="upper left", fontsize="small")
    fills_axes.set_title(f"fills ({count:,})", fontsize="medium", loc="left")
    return figure


def plot(run: Any, path: str | os.PathLike[str], *, ticks: Any = None) -> None:
    """Write a PNG of `run` to `path`: equity, drawdown, and the fills over price.

    Equity (USDT) and drawdown (%) are drawn at every equity sample.  For a
    venue.Run the fills are placed at their times, buys and sells apart, over
    the last price of `ticks` (a `TickSource` or a sequence of `Tick`, thinned
    to a few thousand points) when it is given; a RunResult has neither times
    nor sides for its fills, so they are drawn in order, by fill number.

    The file at `path` is replaced only once the new one is complete: a
    failure part-way (a full disk, Ctrl-C) leaves the previous one as it was.

    Raises `ImportError` without matplotlib (``pip install halvorn[report]``),
    `ValueError` for a run without an equity curve or for `ticks` with a
    RunResult, and `OSError` when `path` cannot be written.
    """
    figure = _figure(run, ticks)
    _replace(path, lambda out: figure.savefig(out, format="png"))


def html(run: Any, path: str | os.PathLike[str], *, ticks: Any = None, title: str | None = None,
         max_fills: int = 500) -> None:
    """Write one self-contained HTML page about `run` to `path`.

    The page holds the chart of `plot` embedded as a data URI, the table of
    `stats`, and the first `max_fills` fills (all columns a venue.Run has;
    only prices for a RunResult).  It refers to nothing outside itself, so it
    can be mailed or archived as one file.  `title` defaults to the
    strategy's name.  Like `plot`, it replaces `path` only once the new page
    is complete.

    Raises what `plot` raises, `ImportError` without pandas, and `ValueError`
    for a negative `max_fills`.
    """
    if not isinstance(max_fills, int) or max_fills < 0:
        raise ValueError(f"max_fills must be an int of at least 0, got {max_fills!r}")
    figure = _figure(run, ticks)
    image = io.BytesIO()
    figure.savefig(image, format="png")
    encoded = base64.b64encode(image.getvalue()).decode("ascii")
    table = stats(run).table()
    fills = fills_frame(run)
    shown = fills.head(max_fills)
    escape = _html.escape
    heading = escape(title if title is not None else f"Run of {run.strategy}")

    details = [f"{run.ticks:,} ticks"]
    if _is_venue_run(run):
        details.append(f"tier {escape(str(run.tier))}")
    stats_rows = "\n".join(f"<tr><th>{escape(label)}</th><td>{escape(value)}</td></tr>"
                           for label, value in table)
    fill_columns = list(shown.columns)
    fill_head = "".join(f"<th>{escape(str(name))}</th>"
                        for name in [shown.index.name or ""] + fill_columns)
    fill_rows = "\n".join(
        "<tr>" + "".join(f"<td>{escape(str(value))}</td>" for value in [index, *values]) + "</tr>"
        for index, values in zip(shown.index, shown.itertuples(index=False, name=None)))
    if len(fills) > len(shown):
        fill_note = f"<p>The first {len(shown):,} of {len(fills):,} fills.</p>"
    elif not len(fills):
        fill_note = "<p>No fills.</p>"
    else:
        fill_note = f"<p>{len(fills):,} fills.</p>"

    page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{heading}</title>
<style>
body {{ font-family: sans-serif; margin: 24px auto; max-width: 1040px; color: #222; }}
h1 {{ font-size: 22px; margin-bottom: 4px; }}
h2 {{ font-size: 17px; margin-top: 28px; }}
p.details {{ color: #555; margin-top: 0; }}
img {{ width: 100%; max-width: 1000px; border: 1px solid #ddd; }}
table {{ border-collapse: collapse; font-size: 13px; }}
th, td {{ padding: 3px 12px; border-bottom: 1px solid #e4e4e4; }}
table.stats th {{ text-align: left; font-weight: normal; color: #444; }}
table.stats td {{ text-align: right; font-variant-numeric: tabular-nums; }}
table.fills td {{ text-align: right; font-variant-numeric: tabular-nums; }}
</style>
</head>
<body>
<h1>{heading}</h1>
<p class="details">{" &middot; ".join(details)}</p>
<img alt="equity, drawdown and fills of the run" src="data:image/png;base64,{encoded}">
<h2>Statistics</h2>
<table class="stats">
{stats_rows}
</table>
<h2>Fills</h2>
{fill_note}
<table class="fills">
<thead><tr>{fill_head}</tr></thead>
<tbody>
{fill_rows}
</tbody>
</table>
</body>
</html>
"""
    encoded_page = page.encode("utf-8")
    _replace(path, lambda out: out.write(encoded_page))
