"""The orders a venue takes besides market and limit orders, and the two
rules of the venue that no longer flatter a passive strategy: where a
resting order the market trades through fills, and cancels that travel."""

import pytest

import halvorn
from halvorn import venue


def tick(t, last, bid, ask, volume=0):
    return halvorn.Tick(exch_ts=t, last=last, bid=bid, ask=ask, volume=volume)


class Script:
    """Returns the orders scripted for each tick (by index) and records what
    it hears."""

    def __init__(self, script):
        self.script = script
        self.calls = 0
        self.ends = []
        self.fills = []

    def on_tick(self, ctx):
        orders = self.script.get(self.calls)
        self.calls += 1
        return orders

    def on_fill(self, fill):
        self.fills.append((fill.order, fill.price, fill.qty))

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))


# A buy resting at 100; the next ticks' ask falls to 98 while the last trade
# stays at 101, so only the quote reaches the order.
TRADED_THROUGH = [tick(0, 101, 100, 102), tick(1, 101, 100, 102), tick(2, 101, 97, 98)]


class TestRestingFills:
    def test_a_resting_buy_traded_through_fills_at_its_limit_on_the_venue(self):
        run = venue.run(Script({0: [halvorn.Order("buy", 1, price=100)]}), TRADED_THROUGH, 1_000)
        assert [(f.price, f.taker) for f in run.fills] == [(100, False)]

    def test_the_quote_rule_is_an_explicit_choice_and_what_run_backtest_runs(self):
        quote = venue.Venue(resting_fills="quote")
        run = venue.run(Script({0: [halvorn.Order("buy", 1, price=100)]}), TRADED_THROUGH, 1_000,
                        venue=quote)
        assert [f.price for f in run.fills] == [98]
        core = halvorn.run_backtest(Script({0: [halvorn.Order("buy", 1, price=100)]}),
                                    TRADED_THROUGH, 1_000)
        assert core.fill_prices == [98]
        assert repr(quote) == "Venue(resting_fills='quote')"
        assert eval(repr(quote), {"Venue": venue.Venue}) == quote

    def test_an_order_that_takes_gets_the_better_price_under_either_rule(self):
        # Marketable when it reaches the venue (the ask is 102): a taker.
        for rule in ("limit", "quote"):
            run = venue.run(Script({0: [halvorn.Order("buy", 1, price=102)]}), TRADED_THROUGH,
                            1_000, venue=venue.Venue(resting_fills=rule))
            assert [(f.price, f.taker) for f in run.fills] == [(102, True)]

    def test_a_rule_that_is_not_one_of_the_two_is_refused(self):
        with pytest.raises(ValueError, match='resting_fills must be "limit" or "quote"'):
            venue.Venue(resting_fills="mid")
        with pytest.raises(TypeError, match="resting_fills"):
            venue.Venue(resting_fills=1)


class TestCancelLatency:
    # A buy rests at 100; on the tick at 1_000 the strategy cancels it; the
    # ask falls to 98 at 3_000.  The cancel takes 5_000 to arrive.
    TICKS = [tick(0, 101, 100, 102), tick(1_000, 101, 100, 102), tick(3_000, 101, 97, 98),
             tick(7_000, 101, 97, 98)]

    def run(self, cancel_latency):
        tier = venue.L1(cancel_latency=venue.Fixed(cancel_latency))
        strategy = Script({0: [halvorn.Order("buy", 1, price=100)], 1: [venue.Cancel(1)]})
        return strategy, venue.run(strategy, self.TICKS, 1_000, venue=venue.Venue(tier=tier))

    def test_an_order_cancelled_just_before_a_move_that_reaches_it_still_fills(self):
        strategy, run = self.run(5_000)
        assert [(f.order, f.price, f.exch_ts) for f in run.fills] == [(1, 100, 3_000)]
        assert strategy.ends == [(1, "filled")]

    def test_without_the_latency_the_cancel_saves_it(self):
        strategy, run = self.run(0)
        assert len(run.fills) == 0
        assert strategy.ends == [(1, "canceled")]

    def test_a_cancel_that_arrives_before_the_move_is_heard_when_it_lands(self):
        strategy, run = self.run(1_500)
        assert len(run.fills) == 0
        assert strategy.ends == [(1, "canceled")]

    def test_the_tier_shows_and_pastes_back_its_cancel_latency(self):
        tier = venue.L2(cancel_latency=venue.Quantiles(1, 2, 3, 4))
        assert repr(tier) == "L2(cancel_latency=Quantiles(1, 2, 3, 4))"
        assert tier.cancel_latency == venue.Quantiles(1, 2, 3, 4)
        assert venue.L1().cancel_latency == venue.Fixed(0)
        with pytest.raises(TypeError, match="cancel_latency"):
            venue.L1(cancel_latency=5)
