"""The statistics a quant shares about one venue run, in USDT and calendar
time, and the drawdown and formatting helpers the report's tables share.

Returns, Sharpe ratios, exposure and when a figure is annualised are defined
once, in `_report_measures` (docs/report.md states them for readers); here
they are gathered into one table with the drawdown, the trade statistics of
the closed round trips (over several instruments, of every instrument's
trips together, net of fees and funding) and the comparison with holding
the instrument instead.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import halvorn
from halvorn import _report_ticks
from halvorn._unit_text import account_currency
from halvorn._report_measures import (ANNUAL_SPAN_NS, YEAR_NS, alpha_beta, annualises, exposure,
                                      period_returns, risk, total_return, trade_quality)


# --- drawdowns -------------------------------------------------------------------------


@dataclass(frozen=True)
class Drawdown:
    fractions: list[float]
    worst: float
    worst_cash: int
    peak: int
    end: int


def drawdowns(curve: Sequence[int]) -> Drawdown:
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
    return Drawdown(fractions, worst, worst_cash, worst_peak, end)


# --- formatting ------------------------------------------------------------------------


def usdt(cash: int) -> str:
    return f"{cash / halvorn.CASH_SCALE:,.2f} USDT"


def number(value: float | None, form: str, unit: str = "", missing: str = "undefined") -> str:
    return missing if value is None else f"{value:{form}}{unit}"


def percent(fraction: float | None, places: int = 2, signed: bool = True,
            missing: str = "undefined") -> str:
    """0.1234 as "+12.34 %"."""
    if fraction is None:
        return missing
    return f"{fraction * 100:{'+' if signed else ''}.{places}f} %"


def small_percent(fraction: float | None, missing: str = "undefined") -> str:
    """A fraction that may be tiny, as a percentage to three significant
    digits: 0.0000123 as "0.00123 %"."""
    return missing if fraction is None else f"{fraction * 100:.3g} %"


def duration(ns: float) -> str:
    seconds = ns / 1e9
    for unit, size in (("y", 365 * 86_400), ("d", 86_400), ("h", 3_600), ("min", 60)):
        if seconds >= size:
            return f"{seconds / size:.1f} {unit}"
    return f"{seconds:.3g} s"


def utc(ns: int) -> str:
    """A time as a person reads it: 2024-01-01 00:00:00 UTC (milliseconds when
    they are not 0)."""
    import datetime

    seconds, rest = divmod(ns, 10**9)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    text = moment.strftime("%Y-%m-%d %H:%M:%S")
    if rest:
        text += f".{rest // 10**6:03d}"
    return text + " UTC"


# --- the summary -----------------------------------------------------------------------


@dataclass(frozen=True, kw_only=True)
class Summary:
    """The statistics of one venue run in its account's currency and calendar
    time; `str()` of it is a two-column table.

    Fields are None where the run cannot give them: the equity statistics
    without at least two equity samples (``equity_every=0``), the yearly
    ones for a run shorter than 30 days (`annualised` is False, and the
    table says why), the trade statistics without closed round trips, the
    comparisons with holding the instrument without the ticks.
    """

    strategy: str
    """The strategy's name."""
    symbol: str | None
    """The instrument's symbol; None when the run has no instrument definition
    or has several instruments."""
    symbols: tuple[str, ...]
    """The symbols of the run's instruments in the order of their ids: one for
    a run of one instrument, none without an instrument definition."""
    start: int | None
    """Exchange time of the first equity sample (the first tick), ns."""
    end: int | None
    """Exchange time of the last tick (with `ticks`) or else of the last equity sample, ns."""
    ticks: int
    """Observations processed."""
    samples: int
    """Equity samples."""
    annualised: bool
    """Whether the samples span 30 days or more, enough for yearly figures;
    below that the yearly fields are None."""
    total_return: float | None
    """Last equity sample over the first, minus one."""
    annual_return: float | None
    """Compound annual growth rate: (1 + total_return) ** (1 / years) - 1."""
    volatility: float | None
    """Standard deviation of the sample returns, annualised."""
    volatility_per_period: float | None
    """Sample standard deviation of the returns between equity samples."""
    sharpe: float | None
    """Sharpe ratio per sample times the square root of the samples a year."""
    sharpe_per_period: float | None
    """Mean over standard deviation of the sample returns (no risk-free rate):
    `report.stats(run).sharpe`."""
    sortino: float | None
    """Sortino ratio per sample, annualised."""
    sortino_per_period: float | None
    """Mean return over the root mean square of the returns below 0; None
    without a losing sample."""
    calmar: float | None
    """Annual return over the maximum drawdown; None without a drawdown."""
    max_drawdown: float | None
    """Deepest fall of equity from its running peak, as a fraction of the peak."""
    max_drawdown_usdt: float | None
    """That fall in USDT."""
    drawdown_ns: int | None
    """How long it lasted: from its peak to the first sample back at the peak,
    or to the last sample, ns."""
    periods_per_year: float | None
    """Sample returns per 365-day year."""
    psr: float | None
    """Probabilistic Sharpe ratio: probability that the true annual Sharpe ratio
    is above `benchmark`."""
    min_trl_ns: float | None
    """Minimum track record length for the Sharpe ratio to beat `benchmark` at
    `confidence`, as calendar time (ns); None when it does not beat it."""
    benchmark: float
    """Annual Sharpe ratio `psr` and `min_trl_ns` compare against."""
    confidence: float
    """Confidence `min_trl_ns` is computed for."""
    exposure: float | None
    """Share of the run's ticks after which a position was open."""
    trips: int
    """Closed round trips."""
    open_trips: int
    """Round trips still open at the end (left out of the trade statistics)."""
    win_rate: float | None
    """Share of closed trips with a net profit above 0."""
    profit_factor: float | None
    """Net profits of the winning trips over the net losses of the losing ones;
    None without a losing trip."""
    expectancy: float | None
    """Mean net return of a trip on what its position cost to open."""
    sqn: float | None
    """System quality number: the square root of the closed trips times the
    mean of their returns over the standard deviation."""
    kelly: float | None
    """Kelly fraction of the closed trips' returns: p - (1 - p) / b, with p the
    win rate and b the mean win over the mean loss."""
    average_trade: float | None
    """Mean net profit of a closed trip, USDT."""
    best_trade: float | None
    """Largest net profit of a closed trip, USDT."""
    worst_trade: float | None
    """Smallest net profit (largest loss) of a closed trip, USDT."""
    average_duration_ns: float | None
    """Mean time a closed trip was open, ns."""
    fills: int
    """Fills the strategy received."""
    liquidations: int
    """Times the venue closed the account."""
    fees_paid: float
    """Fees paid, USDT (rebates reduce it)."""
    funding: float
    """Funding received net of funding paid, USDT: negative when the account paid."""
    buy_and_hold: float | None
    """Price return from the first tick to the last (last price over first,
    minus one): holding the contract unlevered, without costs.  None over
    several instruments, which have no one price."""
    buy_and_hold_each: Mapping[str, float | None] = field(default_factory=dict)
    """Each instrument's buy-and-hold return by symbol (None where its ticks
    were not given); empty without an instrument definition."""
    beta: float | None = None
    """Beta of the sample returns against those of holding the instrument at
    the same times; None over several instruments or without the ticks."""
    alpha_per_period: float | None = None
    """Mean sample return that beta does not explain."""
    alpha: float | None = None
    """That times the samples a year."""
    currency: str = "USDT"
    """The currency every money field is in: USDT, or the coin an inverse
    (coin-margined) instrument settles in."""

    def _money(self, value: float | None, missing: str = "undefined") -> str:
        """An amount of the run's currency: USDT to the cent, a coin to its
        smallest unit."""
        places = 2 if self.currency == "USDT" else 8
        return number(value, f",.{places}f", f" {self.currency}", missing=missing)

    def table(self) -> list[tuple[str, str]]:
        """The statistics as (label, formatted value) pairs, in display order,
        with their units; a missing value reads why it is missing."""
        span = ("no equity samples" if self.start is None or self.end is None
                else f"{utc(self.start)} to {utc(self.end)} ({duration(self.end - self.start)})")
        need_samples = "needs equity samples"
        yearly = (f"not annualised: the run spans under {duration(ANNUAL_SPAN_NS)}"
                  if self.total_return is not None and not self.annualised else need_samples)
        drawdown = (need_samples if self.max_drawdown is None else
                    f"{self.max_drawdown * 100:.2f} % ({self._money(self.max_drawdown_usdt)})")
        min_trl = "not above the benchmark"
        if self.min_trl_ns is not None:
            min_trl = duration(self.min_trl_ns)
            if self.periods_per_year:
                samples = self.min_trl_ns / YEAR_NS * self.periods_per_year
                min_trl += f" ({samples:,.0f} samples)"
        if self.sharpe_per_period is None:
            min_trl = "undefined"
        samples_text = f"{self.samples:,}"
        if self.periods_per_year is not None:
            samples_text += f" ({self.periods_per_year:,.0f} returns a year)"
        trade = "no closed trips"
        several = len(self.symbols) > 1
        holding = ("not for several instruments: see each instrument's" if several
                   else "needs the ticks")
        rows = [
            ("Strategy", self.strategy),
            ("Instruments", ", ".join(self.symbols)) if several else
            ("Instrument", self.symbol or "none defined (prices in ticks)"),
            ("Period", span),
            ("Ticks", f"{self.ticks:,}"),
            ("Equity samples", samples_text),
            ("Total return", percent(self.total_return, missing=need_samples)),
            ("Annual return (365 d)", percent(self.annual_return, missing=yearly)),
            ("Buy and hold", percent(self.buy_and_hold, missing=holding)),
        ]
        if several:
            rows += [(f"Buy and hold {symbol}", percent(value, missing="needs its ticks"))
                     for symbol, value in self.buy_and_hold_each.items()]
        rows += [
            ("Beta (vs buy and hold)", number(self.beta, ".3f", missing=holding)),
            ("Alpha (annual, vs buy and hold)", percent(self.alpha, missing=(
                yearly if self.beta is not None else holding))),
            ("Alpha (per sample)", small_percent(self.alpha_per_period, missing=holding)),
            ("Volatility (annual)", percent(self.volatility, signed=False, missing=yearly)),
            ("Volatility (per sample)", small_percent(self.volatility_per_period)),
            ("Sharpe ratio (annual)", number(self.sharpe, ".3f", missing=(
                yearly if self.sharpe_per_period is not None else "undefined"))),
            ("Sharpe ratio (per sample)", number(self.sharpe_per_period, ".4f")),
            ("Sortino ratio (annual)", number(self.sortino, ".3f", missing=(
                yearly if self.sortino_per_period is not None else "undefined"))),
            ("Sortino ratio (per sample)", number(self.sortino_per_period, ".4f")),
            ("Calmar ratio", number(self.calmar, ".3f", missing=(
                yearly if not self.annualised else "undefined"))),
            ("Max drawdown", drawdown),
            ("Max drawdown duration",
             need_samples if self.drawdown_ns is None else duration(self.drawdown_ns)),
            (f"PSR (vs annual Sharpe {self.benchmark:g})", number(self.psr, ".3f")),
            (f"MinTRL ({self.confidence * 100:g} %)", min_trl),
            ("Exposure", percent(self.exposure, 1, False, "no ticks")
             + ("" if self.exposure is None else " of ticks")),
            ("Round trips", f"{self.trips:,} closed, {self.open_trips:,} open at the end"),
            ("Win rate", percent(self.win_rate, 1, False, trade)),
            ("Profit factor", number(self.profit_factor, ".3f",
                                     missing=trade if not self.trips else "no losing trips")),
            ("Expectancy (per trip, on its cost)", percent(self.expectancy, 4, missing=trade)),
            ("System quality number", number(self.sqn, ".2f", missing=(
                trade if not self.trips else "needs two trips that differ"))),
            ("Kelly fraction", number(self.kelly, ".3f", missing=(
                trade if not self.trips else "needs winning and losing trips"))),
            ("Average trade", self._money(self.average_trade, missing=trade)),
            ("Best trade", self._money(self.best_trade, missing=trade)),
            ("Worst trade", self._money(self.worst_trade, missing=trade)),
            ("Average trip duration", trade if self.average_duration_ns is None
             else duration(self.average_duration_ns)),
            ("Fills", f"{self.fills:,}"),
            ("Fees paid", self._money(self.fees_paid)),
            ("Funding (net, + received / - paid)", self._money(self.funding)),
            ("Liquidations", f"{self.liquidations:,}"),
        ]
        return rows

    def __str__(self) -> str:
        return two_columns(self.table())


def two_columns(rows: Sequence[tuple[str, str]]) -> str:
    """(label, value) rows as text, the values lined up."""
    width = max(len(label) for label, _ in rows)
    return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


def _scaled(value: float | None, by: float) -> float | None:
    return None if value is None else value * by


def summarise(*, run: Any, trips: Sequence[Any], given: _report_ticks.Given,
              symbols: Sequence[str | None], np: Any, benchmark: float,
              confidence: float) -> Summary:
    """The Summary of `run` from its walk's trips (each with its market and
    share of funding) and what `given` says of the ticks of each of its
    instruments (named `symbols`, in the same order)."""
    curve = [int(v) for v in run.equity_curve]
    sample_times = [int(t) for t in run.equity_times]
    ends = given.whole
    start = sample_times[0] if sample_times else (ends.first_ts if ends else None)
    end_candidates = [t for t in (sample_times[-1] if sample_times else None,
                                  ends.last_ts if ends else None) if t is not None]
    end = max(end_candidates) if end_candidates else None

    total = total_return(curve) if len(curve) >= 2 else None
    rets = period_returns(curve)
    span = sample_times[-1] - sample_times[0] if len(sample_times) >= 2 else None
    yearly = annualises(span) and total is not None
    per_year = len(rets) / (span / YEAR_NS) if span and rets else None
    measured = risk(rets, benchmark / math.sqrt(per_year) if per_year else benchmark, confidence)
    root = math.sqrt(per_year) if per_year and yearly else None

    worst = worst_usdt = drawdown_ns = None
    if len(curve) >= 2:
        deepest = drawdowns(curve)
        worst, worst_usdt = deepest.worst, deepest.worst_cash / halvorn.CASH_SCALE
        drawdown_ns = sample_times[deepest.end] - sample_times[deepest.peak]
    annual = calmar = None
    if yearly and total is not None and span:
        years = span / YEAR_NS
        try:
            annual = (1 + total) ** (1 / years) - 1 if total > -1 else -1.0
        except OverflowError:
            annual = math.inf
        if worst:
            calmar = annual / worst
    min_trl_ns = (measured.min_trl * span / len(rets)
                  if measured.min_trl is not None and span else None)

    # Holding the instrument instead: its price at each equity sample, its
    # returns defined as the run's are.
    alpha_period = beta = None
    if len(given.ticks) == 1 and given.ticks[0] is not None and len(rets) >= 2:
        held = [int(p) for p in _report_ticks.prices_at(given.ticks[0], sample_times, np)]
        alpha_period, beta = alpha_beta(rets, period_returns(held))
    each = {symbol: (None if end_ is None or not end_.first_price or end_.last_price is None
                     else end_.last_price / end_.first_price - 1)
            for symbol, end_ in zip(symbols, given.ends) if symbol is not None}

    closed = [trip for trip in trips if trip.exit_ts is not None]
    nets = [trip.net() for trip in closed]
    on_cost = [n / trip.cost() for n, trip in zip(nets, closed) if trip.cost()]
    sqn, kelly = trade_quality(on_cost)
    win_rate = profit_factor = expectancy = average = best = worst_trade = held_ns = None
    if nets:
        wins = sum(n for n in nets if n > 0)
        losses = -sum(n for n in nets if n < 0)
        win_rate = sum(1 for n in nets if n > 0) / len(nets)
        profit_factor = wins / losses if losses else None
        expectancy = sum(on_cost) / len(nets)
        average = sum(nets) / len(nets) / halvorn.CASH_SCALE
        best, worst_trade = max(nets) / halvorn.CASH_SCALE, min(nets) / halvorn.CASH_SCALE
        held_ns = sum(trip.exit_ts - trip.entry_ts for trip in closed) / len(closed)

    instrument = getattr(run, "instrument", None)
    named = tuple(str(s) for s in getattr(run, "symbols", ()) or ())
    if not named and instrument is not None:
        named = (str(instrument.symbol),)
    return Summary(
        strategy=run.strategy,
        symbol=None if instrument is None else str(instrument.symbol), symbols=named,
        start=start, end=end, ticks=run.ticks, samples=len(curve), annualised=yearly,
        total_return=total, annual_return=annual,
        volatility=_scaled(measured.deviation, root) if root else None,
        volatility_per_period=measured.deviation,
        sharpe=_scaled(measured.sharpe, root) if root else None,
        sharpe_per_period=measured.sharpe,
        sortino=_scaled(measured.sortino, root) if root else None,
        sortino_per_period=measured.sortino,
        calmar=calmar, max_drawdown=worst, max_drawdown_usdt=worst_usdt,
        drawdown_ns=drawdown_ns, periods_per_year=per_year, psr=measured.psr,
        min_trl_ns=min_trl_ns, benchmark=benchmark, confidence=confidence,
        exposure=exposure(run),
        trips=len(closed), open_trips=len(trips) - len(closed), win_rate=win_rate,
        profit_factor=profit_factor, expectancy=expectancy, sqn=sqn, kelly=kelly,
        average_trade=average, best_trade=best, worst_trade=worst_trade,
        average_duration_ns=held_ns,
        fills=len(run.fills), liquidations=len(run.liquidations),
        fees_paid=run.fees_paid / halvorn.CASH_SCALE,
        funding=run.funding_paid / halvorn.CASH_SCALE,
        buy_and_hold=(ends.last_price / ends.first_price - 1
                      if ends is not None and ends.first_price and ends.first_price > 0
                      and ends.last_price is not None else None),
        buy_and_hold_each=each, beta=beta, alpha_per_period=alpha_period,
        currency=account_currency(run),
        alpha=(alpha_period * per_year if alpha_period is not None and per_year and yearly
               else None),
    )
