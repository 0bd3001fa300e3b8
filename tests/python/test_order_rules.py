"""Order rules a venue keeps that a simulation gets wrong quietly: where a
trail starts, how a bracket's armed exits and a pair's legs end together,
when an order that only reduces is judged, what a liquidation takes with it,
what a break in the depth or a book thinner than the order changes, and
that every ending reaches the strategy.  Each case is a wrong number in a
P&L that nothing else would flag."""

import pytest

import halvorn
from halvorn import data, venue


def tick(t, last, bid=None, ask=None):
    return halvorn.Tick(exch_ts=t, last=last, bid=last - 1 if bid is None else bid,
                        ask=last + 1 if ask is None else ask)


def series(*lasts, step=10):
    return [tick(i * step, last) for i, last in enumerate(lasts)]


class Script:
    """Returns the orders scripted for each call (by index) and notes how its
    orders end."""

    def __init__(self, script):
        self.script, self.calls, self.ends, self.heard = script, 0, [], []

    def on_tick(self, ctx):
        self.calls += 1
        return self.script.get(self.calls - 1)

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))
        self.heard.append(self.calls)  # before which call: the number made so far


def fills(run):
    return [(f.order, f.price, f.qty) for f in run.fills]


class TestTrailStart:
    # The price spikes to 120 while a first trail works; it is cancelled, and
    # a second trail placed at 90 must start from 90, not from the spike.
    LASTS = (100, 100, 120, 116, 110, 110, 110, 90, 90, 90, 95, 90, 90)

    def test_a_new_trail_starts_at_its_placement_not_at_an_earlier_trails_best(self):
        s = Script({0: [halvorn.Order("buy", 1)],
                    1: [venue.TrailingStop("sell", 1, distance=5)],     # id 2
                    2: [venue.Cancel(2)],
                    7: [venue.TrailingStop("sell", 1, distance=5)]})    # id 3, at 90
        run = venue.run(s, series(*self.LASTS), 1_000)
        # 90, 90, 95 (the best), then 90: five below the best since it was placed.
        assert s.ends == [(1, "filled"), (2, "canceled"), (3, "triggered"), (3, "filled")]
        assert [f.exch_ts for f in run.fills] == [10, 120]  # sent at 110, filled on the next
        assert run.triggered == 1

    def test_a_trail_with_an_activation_starts_at_the_tick_that_reached_it(self):
        lasts = (100, 100, 104, 108, 106, 104, 103)
        s = Script({0: [halvorn.Order("buy", 1)],
                    1: [venue.TrailingStop("sell", 1, distance=3, activation=104)]})
        run = venue.run(s, series(*lasts), 1_000)
        # Starts at 104, best 108, fires at 105 or below: the tick at 104.
        assert [f.exch_ts for f in run.fills] == [10, 60]


class TestGroupsEndTogether:
    ROWS = (100, 100, 101, 104, 112, 112, 90, 90)

    @pytest.mark.parametrize("cancelled,other", [(2, 3), (3, 2)])
    def test_a_cancel_of_either_armed_bracket_exit_cancels_both(self, cancelled, other):
        bracket = venue.BracketOrder(venue.Order("buy", 1),
                                     stop_loss=venue.Stop("sell", trigger=95),
                                     take_profit=venue.TakeProfit("sell", trigger=110))
        s = Script({0: [bracket], 2: [venue.Cancel(cancelled)]})
        run = venue.run(s, series(*self.ROWS), 1_000)
        assert s.ends == [(1, "filled"), (cancelled, "canceled"), (other, "canceled")]
        assert fills(run) == [(1, 101, 1)] and run.triggered == 0

    def test_an_unarmed_exit_cancelled_leaves_the_other_to_its_entry(self):
        bracket = venue.BracketOrder(venue.Order("buy", 1, price=90),
                                     stop_loss=venue.Stop("sell", trigger=80),
                                     take_profit=venue.TakeProfit("sell", trigger=110))
        s = Script({0: [bracket], 1: [venue.Cancel(2)]})
        run = venue.run(s, series(100, 100, 100, 89, 89, 112, 112), 1_000)
        assert (2, "canceled") in s.ends and (3, "filled") in s.ends
        assert [f.order for f in run.fills] == [1, 3]

    def test_a_pair_leg_that_fills_cancels_the_stop_held_beside_it(self):
        pair = venue.OneCancelsOther(venue.Order("sell", 1, price=105, reduce_only=True),
                                     venue.Stop("sell", 1, trigger=95, reduce_only=True))
        s = Script({0: [halvorn.Order("buy", 1)], 1: [pair]})
        run = venue.run(s, series(100, 100, 106, 106, 90, 90), 1_000)
        assert s.ends == [(1, "filled"), (2, "filled"), (3, "canceled")]
        assert run.triggered == 0 and [f.order for f in run.fills] == [1, 2]


class TestReduceOnlyWhenItFires:
    @pytest.mark.parametrize("price", [None, 96])
    def test_a_reduce_only_stop_fired_while_flat_is_refused_on_its_firing_tick(self, price):
        s = Script({0: [venue.Stop("sell", 1, trigger=97, price=price, reduce_only=True)]})
        run = venue.run(s, series(100, 100, 96, 96, 96), 1_000)
        assert s.ends == [(1, "triggered"), (1, "rejected:reduce_only_flat")]
        assert run.rejected == {"reduce_only_flat": 1} and not run.fills
        # Heard together, before the call on the firing tick.
        assert s.heard == [2, 2]

    def test_it_is_judged_on_the_venues_position_not_yet_reported_to_the_account(self):
        # At L1 the entry's fill reaches the account 25 ns after it executes;
        # the stop fires in between, against a position the venue holds.
        l1 = venue.Venue(tier=venue.L1(report_latency=venue.Fixed(25)))
        s = Script({0: [halvorn.Order("buy", 1)],
                    1: [venue.Stop("sell", 1, trigger=97, reduce_only=True)]})
        run = venue.run(s, series(100, 100, 96, 96, 96, 96, 96), 1_000, venue=l1)
        assert [(f.order, f.side, f.exch_ts) for f in run.fills] == [(1, "buy", 10),
                                                                     (2, "sell", 30)]
        assert run.rejected == {}

    def test_one_on_the_side_of_the_position_is_refused_as_such(self):
        s = Script({0: [halvorn.Order("sell", 1)],
                    1: [venue.Stop("sell", 1, trigger=97, reduce_only=True)]})
        run = venue.run(s, series(100, 100, 96, 96), 1_000)
        assert (2, "rejected:reduce_only_same_side") in s.ends
        assert [f.order for f in run.fills] == [1]

    def test_a_close_position_stop_with_nothing_to_close_is_refused_too(self):
        s = Script({0: [venue.Stop("sell", trigger=97)]})
        venue.run(s, series(100, 100, 96, 96), 1_000)
        assert s.ends == [(1, "triggered"), (1, "rejected:reduce_only_flat")]


class TestLiquidationTakesEveryOrder:
    """A portfolio long BTC and flat ETH with a buy resting far below: the
    BTC crash liquidates the account, and the ETH order goes with it."""

    @staticmethod
    def ticks():
        btc = [halvorn.Tick(t, p, bid=p - 1, ask=p) for t, p in
               [(0, 600_000), (10, 600_000), (20, 600_000), (30, 592_000), (40, 592_000),
                (50, 592_000)]]
        eth = [halvorn.Tick(t + 5, p, bid=p - 1, ask=p + 1) for t, p in
               [(0, 3_000), (10, 3_000), (20, 3_000), (30, 3_000), (40, 2_000), (50, 2_000)]]
        return {"BTCUSDT": btc, "ETHUSDT": eth}

    VENUES = {"BTCUSDT": venue.Venue(instrument=venue.Instrument("BTCUSDT", "0.1", "0.001")),
              "ETHUSDT": venue.Venue(instrument=venue.Instrument("ETHUSDT", "0.01", "0.001"))}

    class Strategy:
        def __init__(self):
            self.done = False

        def orders(self):
            if self.done:
                return None
            self.done = True
            return [venue.Order("buy", 10_000, instrument="BTCUSDT"),
                    venue.Order("buy", 1_000, price=2_500, instrument="ETHUSDT")]

        def on_tick(self, ctx):
            return self.orders()

        def on_batch(self, ticks):
            return self.orders()

    @pytest.mark.parametrize("batch", [1, 2])
    def test_the_flat_instruments_order_is_dropped_with_the_account(self, batch):
        run = venue.run(self.Strategy(), self.ticks(), 10_000, venue=self.VENUES, batch=batch)
        assert [f.instrument for f in run.fills] == [1]
        assert len(run.liquidations) == 1 and run.liquidations[0].forfeited >= 0
        assert run.final_equity == 0


class TestDepth:
    def test_a_marketable_limit_sent_during_a_break_takes_when_it_arrives(self, tmp_path):
        records = [data.Snapshot(100, [(99, 5)], [(100, 5)], time_ns=0),
                   data.Update(101, 101, 1_500, [], [(100, 5)]),
                   data.Update(103, 103, 2_500, [], [(100, 5)]),   # a gap: the book breaks
                   data.Snapshot(200, [(99, 5)], [(100, 5)], time_ns=4_500)]
        whole = [records[0], records[1], data.Update(102, 102, 2_500, [], [(100, 5)]),
                 records[3]]
        ticks = [halvorn.Tick(t, 100, bid=99, ask=100) for t in range(1_000, 7_000, 1_000)]
        for rule in ("limit", "quote"):
            l2 = venue.Venue(tier=venue.L2(), resting_fills=rule)
            for name, depth in (("broken", records), ("whole", whole)):
                source = data.save_depth(tmp_path / f"{name}.hvdp", depth)
                run = venue.run(Script({2: [halvorn.Order("buy", 1, price=102)]}), ticks, 1_000,
                                venue=l2, depth=source)
                assert [(f.price, f.taker) for f in run.fills] == [(100, True)], (rule, name)

    def test_an_order_larger_than_the_book_is_never_cheaper_than_a_smaller_one(self, tmp_path):
        depth = data.save_depth(tmp_path / "thin.hvdp",
                                [data.Snapshot(1, [(99, 9)], [(101, 1), (102, 1)])])
        ticks = [halvorn.Tick(t, 100, bid=99, ask=101) for t in (1_000, 2_000)]
        l2 = venue.Venue(tier=venue.L2())

        def price(*orders):
            run = venue.run(Script({0: list(orders)}), ticks, 10_000, venue=l2,
                            depth=data.load_depth(tmp_path / "thin.hvdp"))
            return [f.price for f in run.fills]

        assert price(halvorn.Order("buy", 2)) == [102]        # 101 + 102, rounded up
        # Three lots past the book at its deepest price: (101 + 102 + 3 x 102) / 5.
        assert price(halvorn.Order("buy", 5)) == [102]
        # A limit prices what it cannot take at its limit; a later order this
        # tick finds the book taken and pays the deepest price.
        assert price(halvorn.Order("buy", 4, price=110)) == [106]    # (203 + 2 x 110) / 4
        assert price(halvorn.Order("buy", 2), halvorn.Order("buy", 1)) == [102, 102]
        assert depth is not None


class TestEndingsInBatches:
    class IocOnce:
        def __init__(self):
            self.batches, self.ends = 0, []

        def on_batch(self, ticks):
            self.batches += 1
            # Far below the market: it expires the moment it arrives.
            return [venue.Order("buy", 1, price=1, tif="ioc")] if self.batches == 1 else None

        def on_end(self, order_id, how):
            self.ends.append((order_id, how))

    def test_an_ending_before_the_short_last_batch_reaches_it(self):
        s = self.IocOnce()
        run = venue.run(s, series(*[100] * 6), 1_000, batch=4, flush=True)
        assert run.expired == 1 and s.batches == 2
        assert s.ends == [(1, "expired")]
