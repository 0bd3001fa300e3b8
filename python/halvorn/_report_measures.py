"""What a run's numbers mean, defined once: the returns of its equity
samples, their Sharpe ratio, its exposure, when a figure may be annualised,
the quality of its trades, and its alpha and beta against holding the
instrument.  `report.stats` and `report.summary` both read these, so that
two tables about one run never disagree about it; the returns and the
Sharpe ratio are also those of a sweep's rows.

- Returns are those of `halvorn.sweep.returns`: r_i = (e_i - e_{i-1}) / e_0,
  the change of equity over each period as a fraction of the starting
  equity.  They add up to the total return and stay defined after the
  equity reaches zero, where a return on the previous sample would divide
  by it.
- The Sharpe ratio per period is halvorn's own (`halvorn.moments`): the
  mean return over the sample standard deviation, with no risk-free rate,
  undefined below 4 periods or on returns that never move.  An annual one
  is that times the square root of the periods a year.
- Exposure is the share of the run's ticks after which a position was open,
  as the engine counted them (any instrument's, any leg's).
- A figure is annualised only when the run spans at least `ANNUAL_SPAN_NS`:
  compounding two hours into a year, or scaling a Sharpe ratio by the
  square root of 650,000 samples, turns noise into a number that looks
  like a finding.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import halvorn
from halvorn.sweep import returns

DAY_NS = 86_400 * 10**9
YEAR_NS = 365 * DAY_NS
# The shortest run whose figures are given per year.
ANNUAL_SPAN_NS = 30 * DAY_NS


def period_returns(curve: Sequence[int]) -> list[float]:
    """The returns of equity samples; none without two samples or when the
    first is not positive (there is nothing to be a fraction of)."""
    if len(curve) < 2 or curve[0] <= 0:
        return []
    return returns(curve)


def total_return(curve: Sequence[int]) -> float | None:
    """Last sample over the first, minus one; None without a positive start."""
    if not curve or curve[0] <= 0:
        return None
    return (curve[-1] - curve[0]) / curve[0]


def annualises(span_ns: int | None) -> bool:
    """Whether a run spanning `span_ns` is long enough for yearly figures."""
    return span_ns is not None and span_ns >= ANNUAL_SPAN_NS


def exposure(run: Any) -> float | None:
    """Share of a venue run's ticks after which a position was open; None for
    a RunResult (which does not count them) and for a run of no ticks."""
    exposed = getattr(run, "exposed_ticks", None)
    if exposed is None or not run.ticks:
        return None
    return int(exposed) / int(run.ticks)


@dataclass(frozen=True)
class Risk:
    """The per-period risk figures of a series of returns; None where one is
    undefined (too few periods, returns that never move, no losing period,
    a Sharpe ratio not above the benchmark for the track record length)."""

    sharpe: float | None
    deviation: float | None  # sample standard deviation (divisor n - 1)
    sortino: float | None  # mean over the root mean square of the returns below 0
    psr: float | None
    min_trl: float | None  # periods


def risk(rets: Sequence[float], benchmark: float, confidence: float) -> Risk:
    """Risk figures of per-period returns against a per-period benchmark
    Sharpe ratio, through halvorn's own estimators."""
    sharpe = psr = min_trl = None
    try:
        sharpe, skewness, kurtosis = halvorn.moments(list(rets))
    except ValueError:
        pass
    else:
        try:
            psr = halvorn.probabilistic_sharpe_ratio(sharpe, benchmark, len(rets), skewness,
                                                     kurtosis)
        except ValueError:
            psr = None
        if sharpe > benchmark:
            try:
                min_trl = halvorn.minimum_track_record_length(sharpe, benchmark, skewness,
                                                              kurtosis, confidence)
            except ValueError:
                min_trl = None
    deviation = sortino = None
    if len(rets) >= 2:
        mean = sum(rets) / len(rets)
        deviation = math.sqrt(sum((r - mean) ** 2 for r in rets) / (len(rets) - 1))
        downside = math.sqrt(sum(min(r, 0.0) ** 2 for r in rets) / len(rets))
        if downside > 0:
            sortino = mean / downside
    return Risk(sharpe, deviation, sortino, psr, min_trl)


def trade_quality(trip_returns: Sequence[float]) -> tuple[float | None, float | None]:
    """(system quality number, Kelly fraction) of closed trips, each given as
    its net return on what its position cost to open.

    The system quality number is the square root of the number of trips
    times their mean over their sample standard deviation: None below two
    trips or when every trip returned the same.  The Kelly fraction is
    p - (1 - p) / b, with p the share of winning trips and b the mean win
    over the mean loss: the fraction of capital that, staked on each trip,
    grows it fastest.  None without both a winning and a losing trip.
    """
    n = len(trip_returns)
    sqn = None
    if n >= 2:
        mean = sum(trip_returns) / n
        deviation = math.sqrt(sum((r - mean) ** 2 for r in trip_returns) / (n - 1))
        if deviation > 0:
            sqn = math.sqrt(n) * mean / deviation
    wins = [r for r in trip_returns if r > 0]
    losses = [-r for r in trip_returns if r < 0]
    kelly = None
    if wins and losses:
        p = len(wins) / n
        payoff = (sum(wins) / len(wins)) / (sum(losses) / len(losses))
        kelly = p - (1 - p) / payoff
    return sqn, kelly


def alpha_beta(rets: Sequence[float], held: Sequence[float]
               ) -> tuple[float | None, float | None]:
    """(alpha per period, beta) of a run's returns against those of holding
    the instrument over the same periods: beta is their covariance over the
    variance of holding's, alpha the mean return that beta does not explain.
    None below two periods or when holding's returns never move."""
    n = len(rets)
    if n < 2 or len(held) != n:
        return None, None
    mean_run, mean_held = sum(rets) / n, sum(held) / n
    variance = sum((h - mean_held) ** 2 for h in held)
    if variance <= 0:
        return None, None
    beta = sum((r - mean_run) * (h - mean_held) for r, h in zip(rets, held)) / variance
    return mean_run - beta * mean_held, beta
