"""halvorn.report.summary: every statistic against a computation of its own
on a series worked out by hand (returns of +10 %, -10 %, +10 %, +10 % and
-15 % of the starting equity, ten days apart), its agreement with
report.stats on the same run, what it refuses to annualise, and trade
statistics of hand-made trips."""

import math

import pytest

import halvorn
from halvorn import report, venue

from test_report_trips import BTC, SECOND, START, Idle, StandIn, records

numpy = pytest.importorskip("numpy")

DAY = 86_400 * SECOND
USDT = halvorn.CASH_SCALE
# 100 USDT, then each return applied to the starting equity, in cash units.
CURVE = [v * USDT for v in (100, 110, 100, 110, 120, 105)]
TIMES = [START + i * 10 * DAY for i in range(6)]
RETURNS = [0.10, -0.10, 0.10, 0.10, -0.15]
PER_YEAR = 5 / (50 / 365)  # five returns over fifty days


def worked(**extra):
    fields = dict(fills=records([]), equity_curve=CURVE, equity_times=TIMES, ticks=60,
                  fees_paid=123_456_789, funding_paid=-5 * USDT, exposed_ticks=45)
    fields.update(extra)
    return StandIn(**fields)


class TestTheWorkedSeries:
    def test_returns_and_risk(self):
        s = report.summary(worked())
        assert s.annualised and s.periods_per_year == pytest.approx(PER_YEAR)
        assert s.total_return == pytest.approx(0.05)
        assert s.annual_return == pytest.approx(1.05 ** (365 / 50) - 1)
        # Mean 0.01; deviations 0.09, -0.11, 0.09, 0.09, -0.16 square to
        # 0.062, over 4: a standard deviation of sqrt(0.0155).
        assert s.volatility_per_period == pytest.approx(math.sqrt(0.0155))
        assert s.volatility == pytest.approx(math.sqrt(0.0155 * PER_YEAR))
        assert s.sharpe_per_period == pytest.approx(0.01 / math.sqrt(0.0155))
        assert s.sharpe == pytest.approx(0.01 / math.sqrt(0.0155) * math.sqrt(PER_YEAR))
        # Below 0: -0.10 and -0.15, 0.0325 over all 5 returns.
        assert s.sortino_per_period == pytest.approx(0.01 / math.sqrt(0.0065))
        assert s.sortino == pytest.approx(0.01 / math.sqrt(0.0065) * math.sqrt(PER_YEAR))
        # From 120 down to 105 is 12.5 %, the last ten days, never recovered.
        assert (s.max_drawdown, s.drawdown_ns) == (pytest.approx(0.125), 10 * DAY)
        assert s.max_drawdown_usdt == pytest.approx(15)
        assert s.calmar == pytest.approx((1.05 ** (365 / 50) - 1) / 0.125)
        assert (s.start, s.end, s.samples) == (TIMES[0], TIMES[-1], 6)
        assert (s.fees_paid, s.funding, s.exposure) == (pytest.approx(1.23456789), -5.0, 0.75)

    def test_stats_and_summary_read_one_definition(self):
        run = worked()
        per_sample, summary = report.stats(run), report.summary(run)
        assert per_sample.sharpe == summary.sharpe_per_period
        assert summary.sharpe == per_sample.sharpe * math.sqrt(summary.periods_per_year)
        assert (per_sample.total_return, per_sample.max_drawdown, per_sample.exposure) == (
            summary.total_return, summary.max_drawdown, summary.exposure)
        assert per_sample.psr == pytest.approx(halvorn.probabilistic_sharpe_ratio(
            per_sample.sharpe, 0.0, 5, *halvorn.moments(RETURNS)[1:]))
        assert per_sample.psr == summary.psr

    def test_the_sharpe_ratio_is_judged_by_halvorns_estimators(self):
        sharpe, skewness, kurtosis = halvorn.moments(RETURNS)
        per_period = 0.2 / math.sqrt(PER_YEAR)  # an annual Sharpe ratio of 0.2
        s = report.summary(worked(), benchmark=0.2, confidence=0.9)
        assert s.sharpe_per_period == sharpe
        assert s.psr == pytest.approx(halvorn.probabilistic_sharpe_ratio(
            sharpe, per_period, 5, skewness, kurtosis))
        assert s.min_trl_ns == pytest.approx(halvorn.minimum_track_record_length(
            sharpe, per_period, skewness, kurtosis, 0.9) * 10 * DAY)
        assert report.summary(worked(), benchmark=1.0).min_trl_ns is None

    def test_holding_the_instrument_instead(self, tmp_path):
        # The price at each sample, and a tick a second after each at a price
        # no sample may read; the last tick ends the run.
        prices = [1_000, 1_050, 1_000, 1_100, 1_100, 1_050]
        ticks = [halvorn.Tick(exch_ts=at + extra, last=price + 7 * bool(extra), bid=1, ask=1)
                 for at, price in zip(TIMES, prices) for extra in (0, SECOND)]
        path = tmp_path / "held.ticks"
        halvorn.save_ticks(str(path), ticks)
        held = [(b - a) / prices[0] for a, b in zip(prices, prices[1:])]
        beta, alpha = numpy.polyfit(held, RETURNS, 1)
        for given in (ticks, halvorn.load_ticks(str(path))):
            s = report.summary(worked(), ticks=given)
            assert s.buy_and_hold == pytest.approx(1_057 / 1_000 - 1)
            assert s.buy_and_hold_each == {"BTCUSDT": pytest.approx(0.057)}
            assert s.end == TIMES[-1] + SECOND
            assert s.beta == pytest.approx(beta)
            assert s.alpha_per_period == pytest.approx(alpha)
            assert s.alpha == pytest.approx(alpha * PER_YEAR)
        no_ticks = report.summary(worked())
        assert (no_ticks.buy_and_hold, no_ticks.beta, no_ticks.alpha) == (None, None, None)

    def test_the_table_names_its_units_and_conventions(self):
        rows = dict(report.summary(worked()).table())
        assert rows["Total return"] == "+5.00 %"
        assert rows["Equity samples"] == "6 (36 returns a year)"
        assert rows["Max drawdown"] == "12.50 % (15.00 USDT)"
        assert rows["Sharpe ratio (annual)"] == "0.485"
        assert rows["Sharpe ratio (per sample)"] == "0.0803"
        assert rows["Period"] == ("2024-01-01 00:00:00 UTC to 2024-02-20 00:00:00 UTC (50.0 d)")
        assert rows["Buy and hold"] == rows["Beta (vs buy and hold)"] == "needs the ticks"
        assert rows["Funding (net, + received / - paid)"] == "-5.00 USDT"
        assert rows["Exposure"] == "75.0 % of ticks"


class Swing:
    """Long 2 lots over the first half of each ten minutes, short 1 over the second."""

    def on_tick(self, ctx):
        if ctx.working:
            return None
        want = 2 if (ctx.tick.exch_ts - START) // SECOND % 600 < 300 else -1
        if want != ctx.position:
            side = "buy" if want > ctx.position else "sell"
            return [venue.Order(side, abs(want - ctx.position))]
        return None


def test_a_two_hour_run_is_not_annualised():
    ticks = [halvorn.Tick(exch_ts=START + i * SECOND, last=600_000 + round(500 * math.sin(i / 97)),
                          bid=599_990, ask=600_010) for i in range(7_200)]
    run = venue.run(Swing(), ticks, 10_000, venue=venue.Venue(instrument=BTC), equity_every=60)
    s, per_sample = report.summary(run, ticks=ticks), report.stats(run)
    assert not s.annualised and s.periods_per_year > 200_000
    assert (s.annual_return, s.volatility, s.sharpe, s.sortino, s.calmar, s.alpha) == (None,) * 6
    # The period's own statistics stand in their place, and agree with stats.
    assert s.sharpe_per_period == per_sample.sharpe is not None
    assert s.total_return == per_sample.total_return != 0
    assert s.exposure == per_sample.exposure == run.exposed_ticks / run.ticks
    assert s.beta is not None and s.volatility_per_period > 0
    rows = dict(s.table())
    reason = "not annualised: the run spans under 30.0 d"
    for label in ("Annual return (365 d)", "Volatility (annual)", "Sharpe ratio (annual)",
                  "Sortino ratio (annual)", "Calmar ratio", "Alpha (annual, vs buy and hold)"):
        assert rows[label] == reason, label
    assert rows["Sharpe ratio (per sample)"] == f"{per_sample.sharpe:.4f}"


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
    # Those returns have a mean of 0.01 and a standard deviation of 0.02; two
    # of three win, on average twice what the one loser loses.
    assert s.sqn == pytest.approx(math.sqrt(3) * 0.01 / 0.02)
    assert s.kelly == pytest.approx(2 / 3 - (1 / 3) / 2)
    rows = dict(s.table())
    assert (rows["System quality number"], rows["Kelly fraction"]) == ("0.87", "0.500")
    winners = report.summary(worked(fills=records(TRADES[:2] + TRADES[4:6]), funding_paid=0))
    assert winners.kelly is None and winners.sqn is not None
    assert dict(winners.table())["Kelly fraction"] == "needs winning and losing trips"


def test_what_a_run_cannot_give_is_none_and_said_so():
    s = report.summary(worked(equity_curve=[], equity_times=[]))
    assert (s.total_return, s.sharpe, s.max_drawdown, s.win_rate) == (None,) * 4
    rows = dict(s.table())
    assert rows["Total return"] == "needs equity samples"
    assert rows["Win rate"] == "no closed trips"
    flat = report.summary(worked(equity_curve=[USDT] * 4, equity_times=TIMES[:4]))
    assert (flat.total_return, flat.max_drawdown, flat.sharpe, flat.calmar) == (0, 0, None, None)
    with pytest.raises(TypeError, match="needs the fills of a halvorn.venue.Run"):
        report.summary(halvorn.run_backtest(Idle(), [halvorn.Tick(1, 1)], 1, equity_every=1))
