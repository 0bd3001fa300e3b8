"""The statistics a quant shares about one venue run, annualised by calendar
time, and the drawdown and formatting helpers the report's tables share.

Conventions (docs/report.md states them for readers):
  - returns are simple returns between consecutive equity samples,
    r_i = e_i / e_{i-1} - 1; a period that starts at no equity (after a
    liquidation took everything) has a return of 0;
  - a year is 365 days of 86 400 s; the run lasts from its first equity
    sample to its last, and the samples per year are the returns measured
    over that many years;
  - annualised Sharpe and Sortino ratios are the per-period ones times the
    square root of the samples per year, with no risk-free rate; Sortino
    divides the mean by the root mean square of the returns below 0 (over all
    periods);
  - trade statistics are of the closed round trips, net of fees and funding;
    over several instruments, of every instrument's trips together.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import halvorn

YEAR_NS = 365 * 86_400 * 10**9


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
    """The statistics of one venue run in USDT and calendar time; `str()` of it
    is a two-column table.

    Fields are None where the run cannot give them: the equity statistics
    without at least two equity samples (``equity_every=0``), the annualised
    ones when the samples span no time, the trade statistics without a closed
    round trip, the buy-and-hold return without the ticks.
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
    total_return: float | None
    """Last equity sample over the first, minus one."""
    annual_return: float | None
    """Compound annual growth rate: (1 + total_return) ** (1 / years) - 1."""
    volatility: float | None
    """Standard deviation of the sample returns, annualised."""
    sharpe: float | None
    """Mean over standard deviation of the sample returns, annualised (no risk-free rate)."""
    sortino: float | None
    """Mean over the root mean square of the returns below 0, annualised; None
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
    """Sample returns per 365-day year: what the ratios are annualised with."""
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
    """Share of the run's time with a position open."""
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

    def table(self) -> list[tuple[str, str]]:
        """The statistics as (label, formatted value) pairs, in display order,
        with their units."""
        span = ("no equity samples" if self.start is None or self.end is None
                else f"{utc(self.start)} to {utc(self.end)} ({duration(self.end - self.start)})")
        need_samples = "needs equity samples"
        per_year = (f"{self.periods_per_year:,.0f} samples a year"
                    if self.periods_per_year is not None else "no time elapsed")
        drawdown = (need_samples if self.max_drawdown is None else
                    f"{self.max_drawdown * 100:.2f} % ({self.max_drawdown_usdt:,.2f} USDT)")
        min_trl = "not above the benchmark"
        if self.min_trl_ns is not None:
            min_trl = duration(self.min_trl_ns)
            if self.periods_per_year:
                samples = self.min_trl_ns / YEAR_NS * self.periods_per_year
                min_trl += f" ({samples:,.0f} samples)"
        if self.sharpe is None:
            min_trl = "undefined"
        trade = "no closed trips"
        several = len(self.symbols) > 1
        return [
            ("Strategy", self.strategy),
            ("Instruments", ", ".join(self.symbols)) if several else
            ("Instrument", self.symbol or "none defined (prices in ticks)"),
            ("Period", span),
            ("Ticks", f"{self.ticks:,}"),
            ("Total return", percent(self.total_return, missing=need_samples)),
            ("Annual return (365 d)", percent(self.annual_return, missing=per_year)),
            ("Buy and hold", percent(self.buy_and_hold, missing=(
                "not for several instruments" if several else "needs the ticks"))),
            ("Volatility (annual)", percent(self.volatility, signed=False, missing=per_year)),
            (f"Sharpe ratio (annual, {per_year})", number(self.sharpe, ".3f")),
            ("Sortino ratio (annual)", number(self.sortino, ".3f")),
            ("Calmar ratio", number(self.calmar, ".3f")),
            ("Max drawdown", drawdown),
            ("Max drawdown duration",
             need_samples if self.drawdown_ns is None else duration(self.drawdown_ns)),
            (f"PSR (vs annual Sharpe {self.benchmark:g})", number(self.psr, ".3f")),
            (f"MinTRL ({self.confidence * 100:g} %)", min_trl),
            ("Exposure", percent(self.exposure, 1, False, "no time elapsed")
             + ("" if self.exposure is None else " of the time")),
            ("Round trips", f"{self.trips:,} closed, {self.open_trips:,} open at the end"),
            ("Win rate", percent(self.win_rate, 1, False, trade)),
            ("Profit factor", number(self.profit_factor, ".3f",
                                     missing=trade if not self.trips else "no losing trips")),
            ("Expectancy (per trip, on its cost)", percent(self.expectancy, 4, missing=trade)),
            ("Average trade", number(self.average_trade, ",.2f", " USDT", missing=trade)),
            ("Best trade", number(self.best_trade, ",.2f", " USDT", missing=trade)),
            ("Worst trade", number(self.worst_trade, ",.2f", " USDT", missing=trade)),
            ("Average trip duration", trade if self.average_duration_ns is None
             else duration(self.average_duration_ns)),
            ("Fills", f"{self.fills:,}"),
            ("Fees paid", f"{self.fees_paid:,.2f} USDT"),
            ("Funding (net, + received / - paid)", f"{self.funding:,.2f} USDT"),
            ("Liquidations", f"{self.liquidations:,}"),
        ]

    def __str__(self) -> str:
        rows = self.table()
        width = max(len(label) for label, _ in rows)
        return "\n".join(f"{label:<{width}}  {value}" for label, value in rows)


def sample_returns(curve: Sequence[int]) -> list[float]:
    """e_i / e_{i-1} - 1 for each pair of samples; 0 where e_{i-1} <= 0."""
    return [(b / a - 1.0) if a > 0 else 0.0 for a, b in zip(curve, curve[1:])]


def exposure(times: Sequence[int], positions: Sequence[int], start: int, end: int) -> float | None:
    """Share of [start, end] with a position: positions[i] holds from times[i]
    to times[i + 1] (the last to `end`), flat before times[0]."""
    if end <= start:
        return None
    held = 0
    for i, (at, size) in enumerate(zip(times, positions)):
        if size == 0:
            continue
        until = times[i + 1] if i + 1 < len(times) else end
        held += max(0, min(until, end) - max(at, start))
    return held / (end - start)


def summarise(*, run: Any, trips: Sequence[Any], times: Sequence[int], positions: Sequence[int],
              ends: Any, benchmark: float, confidence: float) -> Summary:
    """The Summary of `run` from its walk (trips, each with its market and
    share of funding; the account's event times and positions) and the first
    and last tick of them all (`ends`, or None)."""
    curve = [int(v) for v in run.equity_curve]
    sample_times = [int(t) for t in run.equity_times]
    start = sample_times[0] if sample_times else (ends.first_ts if ends else None)
    end_candidates = [t for t in (sample_times[-1] if sample_times else None,
                                  ends.last_ts if ends else None) if t is not None]
    end = max(end_candidates) if end_candidates else None

    total = annual = vol = sharpe = sortino = calmar = None
    worst = worst_usdt = None
    drawdown_ns = None
    per_year = psr = min_trl_ns = None
    if len(curve) >= 2:
        total = curve[-1] / curve[0] - 1 if curve[0] > 0 else None
        deepest = drawdowns(curve)
        worst, worst_usdt = deepest.worst, deepest.worst_cash / halvorn.CASH_SCALE
        drawdown_ns = sample_times[deepest.end] - sample_times[deepest.peak]
        rets = sample_returns(curve)
        span = sample_times[-1] - sample_times[0]
        if span > 0:
            years = span / YEAR_NS
            per_year = len(rets) / years
            if total is not None:
                try:
                    annual = (1 + total) ** (1 / years) - 1 if total > -1 else -1.0
                except OverflowError:
                    # A gain compounded over a span of minutes: past any float.
                    annual = math.inf
            if len(rets) >= 2:
                mean = sum(rets) / len(rets)
                deviation = math.sqrt(sum((r - mean) ** 2 for r in rets) / (len(rets) - 1))
                vol = deviation * math.sqrt(per_year)
                if deviation > 0:
                    sharpe = mean / deviation * math.sqrt(per_year)
                downside = math.sqrt(sum(min(r, 0.0) ** 2 for r in rets) / len(rets))
                if downside > 0:
                    sortino = mean / downside * math.sqrt(per_year)
            if annual is not None and worst > 0:
                calmar = annual / worst
            _, psr, min_trl = sharpe_confidence(rets, benchmark / math.sqrt(per_year), confidence)
            if min_trl is not None:
                min_trl_ns = min_trl * span / len(rets)

    closed = [trip for trip in trips if trip.exit_ts is not None]
    nets = [trip.direction * (trip.exit_value - trip.entry_value) * trip.market.contract_size
            - trip.fees + trip.funding for trip in closed]
    win_rate = profit_factor = expectancy = average = best = worst_trade = held = None
    if nets:
        wins = sum(n for n in nets if n > 0)
        losses = -sum(n for n in nets if n < 0)
        win_rate = sum(1 for n in nets if n > 0) / len(nets)
        profit_factor = wins / losses if losses else None
        costs = [trip.entry_value * trip.market.contract_size for trip in closed]
        expectancy = sum(n / c for n, c in zip(nets, costs) if c) / len(nets)
        average = sum(nets) / len(nets) / halvorn.CASH_SCALE
        best, worst_trade = max(nets) / halvorn.CASH_SCALE, min(nets) / halvorn.CASH_SCALE
        held = sum(trip.exit_ts - trip.entry_ts for trip in closed) / len(closed)

    instrument = getattr(run, "instrument", None)
    symbols = tuple(str(s) for s in getattr(run, "symbols", ()) or ())
    if not symbols and instrument is not None:
        symbols = (str(instrument.symbol),)
    return Summary(
        strategy=run.strategy,
        symbol=None if instrument is None else str(instrument.symbol), symbols=symbols,
        start=start, end=end, ticks=run.ticks, samples=len(curve),
        total_return=total, annual_return=annual, volatility=vol, sharpe=sharpe,
        sortino=sortino, calmar=calmar, max_drawdown=worst, max_drawdown_usdt=worst_usdt,
        drawdown_ns=drawdown_ns, periods_per_year=per_year, psr=psr, min_trl_ns=min_trl_ns,
        benchmark=benchmark, confidence=confidence,
        exposure=(exposure(times, positions, start, end)
                  if start is not None and end is not None else None),
        trips=len(closed), open_trips=len(trips) - len(closed), win_rate=win_rate,
        profit_factor=profit_factor, expectancy=expectancy, average_trade=average,
        best_trade=best, worst_trade=worst_trade, average_duration_ns=held,
        fills=len(run.fills), liquidations=len(run.liquidations),
        fees_paid=run.fees_paid / halvorn.CASH_SCALE,
        funding=run.funding_paid / halvorn.CASH_SCALE,
        buy_and_hold=(ends.last_price / ends.first_price - 1
                      if ends is not None and ends.first_price and ends.first_price > 0
                      and ends.last_price is not None else None),
    )


def sharpe_confidence(rets: Sequence[float], benchmark: float, confidence: float
                      ) -> tuple[float | None, float | None, float | None]:
    """(Sharpe ratio, PSR, MinTRL in periods) of per-period returns against a
    per-period benchmark, through halvorn's own estimators; None where one is
    undefined (too few periods, returns that never move, a Sharpe ratio not
    above the benchmark for MinTRL)."""
    try:
        sharpe, skewness, kurtosis = halvorn.moments(list(rets))
    except ValueError:
        return None, None, None
    try:
        psr = halvorn.probabilistic_sharpe_ratio(sharpe, benchmark, len(rets), skewness, kurtosis)
    except ValueError:
        psr = None
    min_trl = None
    if sharpe > benchmark:
        try:
            min_trl = halvorn.minimum_track_record_length(sharpe, benchmark, skewness, kurtosis,
                                                          confidence)
        except ValueError:
            min_trl = None
    return sharpe, psr, min_trl
