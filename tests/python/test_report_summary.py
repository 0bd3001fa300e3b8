"""halvorn.report.summary: every statistic against a computation of its own
on a series worked out by hand (returns of +10 %, -10 %, +10 %, +10 % and
-15 %, a day apart), and trade statistics of hand-made trips."""

import math

import pytest

import halvorn
from halvorn import report

from test_report_trips import SECOND, START, Idle, StandIn, records

numpy = pytest.importorskip("numpy")

DAY = 86_400 * SECOND
USDT = halvorn.CASH_SCALE
# 100 USDT, then each return applied exactly, in cash units.
CURVE = [10_000_000_000, 11_000_000_000, 9_900_000_000, 10_890_000_000, 11_979_000_000,
         10_182_150_000]
TIMES = [START + i * DAY for i in range(6)]
RETURNS = [0.10, -0.10, 0.10, 0.10, -0.15]


def worked(**extra):
    fields = dict(fills=records([]), equity_curve=CURVE, equity_times=TIMES, ticks=6,
                  fees_paid=123_456_789, funding_paid=-5 * USDT)
    fields.update(extra)
    return StandIn(**fields)


class TestTheWorkedSeries:
    def test_returns_and_risk(self):
        s = report.summary(worked())
        # Five daily returns: 365 a year.
        assert s.periods_per_year == pytest.approx(365)
        assert s.total_return == pytest.approx(0.018215)
        assert s.annual_return == pytest.approx(1.018215 ** 73 - 1)
        # Mean 0.01; deviations 0.09, -0.11, 0.09, 0.09, -0.16 square to
        # 0.062, over 4: a standard deviation of sqrt(0.0155).
        assert s.volatility == pytest.approx(math.sqrt(0.0155) * math.sqrt(365))
        assert s.sharpe == pytest.approx(0.01 / math.sqrt(0.0155) * math.sqrt(365))
        # Below 0: -0.10 and -0.15, 0.0325 over all 5 returns.
        assert s.sortino == pytest.approx(0.01 / math.sqrt(0.0065) * math.sqrt(365))
        # From 119.79 down to 101.8215 is 15 %, the last day, never recovered.
        assert (s.max_drawdown, s.drawdown_ns) == (pytest.approx(0.15), DAY)
        assert s.max_drawdown_usdt == pytest.approx(17.9685)
        assert s.calmar == pytest.approx((1.018215 ** 73 - 1) / 0.15)
        assert (s.start, s.end, s.samples) == (TIMES[0], TIMES[-1], 6)
        assert (s.fees_paid, s.funding) == (pytest.approx(1.23456789), -5.0)

    def test_the_sharpe_ratio_is_judged_by_halvorns_estimators(self):
        sharpe, skewness, kurtosis = halvorn.moments(RETURNS)
        per_period = 1.0 / math.sqrt(365)  # an annual Sharpe ratio of 1
        s = report.summary(worked(), benchmark=1.0, confidence=0.9)
        assert s.psr == pytest.approx(halvorn.probabilistic_sharpe_ratio(
            sharpe, per_period, 5, skewness, kurtosis))
        assert s.min_trl_ns == pytest.approx(halvorn.minimum_track_record_length(
            sharpe, per_period, skewness, kurtosis, 0.9) * DAY)
        assert report.summary(worked(), benchmark=2.0).min_trl_ns is None

    def test_buy_and_hold_and_the_end_come_from_the_ticks(self):
        ticks = [halvorn.Tick(exch_ts=START, last=40_000, bid=1, ask=1),
                 halvorn.Tick(exch_ts=START + 6 * DAY, last=50_000, bid=1, ask=1)]
        s = report.summary(worked(), ticks=ticks)
        assert s.buy_and_hold == pytest.approx(0.25)
        assert s.end == START + 6 * DAY
        assert report.summary(worked()).buy_and_hold is None

    def test_the_table_names_its_units_and_conventions(self):
        rows = dict(report.summary(worked()).table())
        assert rows["Total return"] == "+1.82 %"
        assert rows["Max drawdown"] == "15.00 % (17.97 USDT)"
        assert rows["Sharpe ratio (annual, 365 samples a year)"] == "1.535"
        assert rows["Period"] == ("2024-01-01 00:00:00 UTC to 2024-01-06 00:00:00 UTC (5.0 d)")
        assert rows["Buy and hold"] == "needs the ticks"
        assert rows["Funding (net, + received / - paid)"] == "-5.00 USDT"


# Three closed trips of 1 lot (10_000 cash a tick, 100 ticks = 0.01 USDT) and
# one still open: +30, -10 and +20 ticks, fees of 0.
TRADES = [
    (1 * 86_400, 1, "buy", "open", 1_000, 1, 0), (2 * 86_400, 2, "sell", "open", 1_030, 1, 0),
    (2 * 86_400 + 1, 3, "sell", "open", 1_000, 1, 0), (3 * 86_400, 4, "buy", "open", 1_010, 1, 0),
    (3 * 86_400 + 1, 5, "buy", "open", 2_000, 1, 0), (4 * 86_400, 6, "sell", "open", 2_020, 1, 0),
    (4 * 86_400 + 1, 7, "buy", "open", 500, 1, 0),
]


def test_trade_statistics_of_closed_trips():
    s = report.summary(worked(fills=records(TRADES), funding_paid=0))
    assert (s.trips, s.open_trips) == (3, 1)
    assert s.win_rate == pytest.approx(2 / 3)
    assert s.profit_factor == pytest.approx(50 / 10)
    assert s.average_trade == pytest.approx(40 / 3 * 1e-4)
    assert (s.best_trade, s.worst_trade) == (pytest.approx(30e-4), pytest.approx(-10e-4))
    # Each trip's net over its cost: 30/1000, -10/1000, 20/2000.
    assert s.expectancy == pytest.approx((0.03 - 0.01 + 0.01) / 3)
    assert s.average_duration_ns == pytest.approx((3 * DAY - 2 * SECOND) / 3)
    # A position from day 1 to the end (day 5), but for the second between
    # each trip and the next.
    assert s.exposure == pytest.approx((4 * DAY - 3 * SECOND) / (5 * DAY))


def test_what_a_run_cannot_give_is_none_and_said_so():
    s = report.summary(worked(equity_curve=[], equity_times=[]))
    assert (s.total_return, s.sharpe, s.max_drawdown, s.exposure, s.win_rate) == (None,) * 5
    rows = dict(s.table())
    assert rows["Total return"] == "needs equity samples"
    assert rows["Win rate"] == "no closed trips"
    flat = report.summary(worked(equity_curve=[USDT] * 4, equity_times=TIMES[:4]))
    assert (flat.total_return, flat.max_drawdown, flat.sharpe, flat.calmar) == (0, 0, None, None)
    with pytest.raises(TypeError, match="needs the fills of a halvorn.venue.Run"):
        report.summary(halvorn.run_backtest(Idle(), [halvorn.Tick(1, 1)], 1, equity_every=1))
