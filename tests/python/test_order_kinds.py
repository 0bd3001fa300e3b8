"""The orders a venue takes besides market and limit orders, and the two
rules of the venue that no longer flatter a passive strategy: where a
resting order the market trades through fills, and cancels that travel."""

import random

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


def walk(seed, n, start=600_000, step=3, spread=1):
    """A seeded random walk of ticks a millisecond apart, quoted around the
    last trade."""
    rng = random.Random(seed)
    out, last = [], start
    for i in range(n):
        last += rng.randint(-step, step)
        half = rng.randint(1, spread)
        out.append(halvorn.Tick(exch_ts=i * 1_000_000, last=last, bid=last - half, ask=last + half,
                                volume=i))
    return out


class Ends:
    """Records how orders ended, by id."""

    def __init__(self):
        self.ends = []

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))


class TestFromPython:
    def test_a_bracket_is_numbered_in_order_and_its_story_reaches_on_end(self):
        # Entry 1 fills at 101; the fall to 94 fires stop 2 (the take-profit,
        # 3, goes with it); the stop's sell fills on the next tick at 93.
        bracket = venue.BracketOrder(venue.Order("buy", 2, tag="entry"),
                                     stop_loss=venue.Stop("sell", trigger=95, tag="stop"),
                                     take_profit=venue.TakeProfit("sell", trigger=110))
        ticks = [tick(0, 100, 99, 101), tick(1, 100, 99, 101), tick(2, 94, 93, 95),
                 tick(3, 94, 93, 95)]
        strategy = Script({0: [bracket]})
        run = venue.run(strategy, ticks, 1_000)
        assert strategy.ends == [(1, "filled"), (2, "triggered"), (3, "canceled"), (2, "filled")]
        assert strategy.fills == [(1, 101, 2), (2, 93, 2)]
        assert (run.triggered, run.expired, run.rejected) == (1, 0, {})
        assert run.order_tags == {1: "entry", 2: "stop"}
        assert [f.offset for f in run.fills] == ["open", "close"]

    def test_a_pair_whose_stop_fires_ends_its_limit_and_a_bracket_may_enter_on_a_stop(self):
        ticks = [tick(0, 100, 99, 101), tick(1, 100, 99, 100), tick(2, 94, 93, 95),
                 tick(3, 94, 93, 95), tick(4, 106, 105, 107), tick(5, 108, 107, 109),
                 tick(6, 103, 102, 104), tick(7, 103, 102, 104)]
        pair = venue.OneCancelsOther(venue.Order("sell", 1, price=110, reduce_only=True),
                                     venue.Stop("sell", 1, trigger=95, reduce_only=True))
        # Entered on a rise through 105, with a stop-loss at 104.
        breakout = venue.BracketOrder(venue.Stop("buy", 1, trigger=105),
                                      stop_loss=venue.Stop("sell", trigger=104))
        strategy = Script({0: [halvorn.Order("buy", 1)], 1: [pair], 3: [breakout]})
        run = venue.run(strategy, ticks, 1_000)
        assert strategy.ends == [(1, "filled"), (3, "triggered"), (2, "canceled"), (3, "filled"),
                                 (4, "triggered"), (4, "filled"), (5, "triggered"), (5, "filled")]
        assert [(f.order, f.price, f.exch_ts) for f in run.fills] == [
            (1, 100, 1), (3, 93, 3), (4, 109, 5), (5, 102, 7)]

    def test_refusals_and_expiries_are_heard_with_their_reason_and_counted(self):
        ticks = [tick(0, 100, 99, 101), tick(1, 100, 99, 101), tick(2, 100, 99, 101)]
        strategy = Script({0: [venue.Order("buy", 1, price=101, post_only=True),
                               venue.Order("sell", 1, reduce_only=True),
                               venue.ClosePosition("buy"),
                               venue.Order("buy", 1, price=99, tif="ioc"),
                               venue.Order("buy", 1, price=101, tif="fok")],
                           1: [venue.Order("sell", 1, price=90, tif="ioc")]})
        run = venue.run(strategy, ticks, 1_000)
        assert strategy.ends == [(1, "rejected:post_only_would_take"),
                                 (2, "rejected:reduce_only_flat"),
                                 (3, "rejected:reduce_only_flat"),
                                 (4, "expired"), (5, "filled"), (6, "filled")]
        assert run.rejected == {"post_only_would_take": 1, "reduce_only_flat": 2}
        assert run.expired == 1
        run.rejected["no_balance"] = 7  # a copy: the run keeps its own
        assert "no_balance" not in run.rejected

    def test_in_hedge_mode_an_order_that_only_reduces_must_name_its_leg(self):
        hedge = venue.Venue(hedge=True)
        ticks = [tick(0, 100, 99, 101), tick(1, 100, 99, 101), tick(2, 100, 99, 101)]
        with pytest.raises(ValueError, match="reduce_only: in hedge mode"):
            venue.run(Script({0: [venue.Stop("sell", 1, trigger=90, reduce_only=True)]}),
                      ticks, 1_000, venue=hedge)
        strategy = Script({0: [venue.Order("buy", 2)],
                           1: [venue.ClosePosition("sell", offset="close")]})
        run = venue.run(strategy, ticks, 1_000, venue=hedge)
        assert [(f.side, f.qty, f.offset) for f in run.fills] == [("buy", 2, "open"),
                                                                   ("sell", 2, "close")]

    @pytest.mark.parametrize("make, error, message", [
        (lambda: venue.Stop("sell", 1, trigger=0), ValueError, "trigger must be a price of at least"),
        (lambda: venue.Stop("sell", 1), TypeError, r"Stop\(\) needs trigger="),
        (lambda: venue.TakeProfit("sell", 0, trigger=5), ValueError, "qty must be at least 1"),
        (lambda: venue.TrailingStop("sell", 1, distance=0), ValueError, "distance must be at least"),
        (lambda: venue.TrailingStop("sell", 1), ValueError, "distance: give the trail"),
        (lambda: venue.TrailingStop("sell", 1, distance=3, rate=5), ValueError, "not both"),
        (lambda: venue.TrailingStop("sell", 1, rate=1_000_000_000), ValueError, "rate must be"),
        (lambda: venue.TrailingStop("sell", 1, distance=3, activation=-1), ValueError,
         "activation must be"),
        (lambda: venue.Order("buy", 1, post_only=True), ValueError, "post_only: a market order"),
        (lambda: venue.Order("buy", 1, price=5, post_only=True, tif="ioc"), ValueError,
         "post_only: .* tif"),
        (lambda: venue.Order("buy", 1, tif="day"), ValueError, "tif must be"),
        (lambda: venue.Order("hold", 1), ValueError, "side must be"),
        (lambda: venue.Order("buy", 1, reduce_only=True, offset="open"), ValueError, "offset: "),
        (lambda: venue.Order("buy", 1, tag=5), TypeError, "tag must be"),
        (lambda: venue.ClosePosition("sell", offset="open"), ValueError, "offset: "),
        (lambda: venue.OneCancelsOther(venue.Order("buy", 1), halvorn.Order("buy", 1)),
         TypeError, "second must be"),
        (lambda: venue.BracketOrder(venue.Order("buy", 2, price=100),
                                    stop_loss=venue.Stop("sell", trigger=100)),
         ValueError, "stop_loss: a buy entry at 100 needs its stop below"),
        (lambda: venue.BracketOrder(venue.Order("sell", 2, price=100),
                                    take_profit=venue.TakeProfit("buy", trigger=101)),
         ValueError, "take_profit: a sell entry at 100 needs its take-profit below"),
        (lambda: venue.BracketOrder(venue.Order("buy", 2), stop_loss=venue.Stop("buy", trigger=9)),
         ValueError, "stop_loss: side must be the other side"),
        (lambda: venue.BracketOrder(venue.Order("buy", 2)), ValueError, "needs at least one"),
        (lambda: venue.BracketOrder(venue.Order("buy", 2, reduce_only=True),
                                    stop_loss=venue.Stop("sell", trigger=9)),
         ValueError, "entry: "),
        (lambda: venue.BracketOrder(venue.Order("buy", 2), take_profit=venue.Order("sell", 2)),
         ValueError, "take_profit: an Order as take-profit needs"),
    ])
    def test_bad_input_is_refused_at_construction_naming_the_field(self, make, error, message):
        with pytest.raises(error, match=message):
            make()

    def test_what_is_left_out_reads_back_as_none(self):
        stop = venue.Stop("sell", trigger=97)
        assert stop.qty is None and stop.trigger == 97
        bracket = venue.BracketOrder(venue.Order("buy", 2, price=100),
                                     stop_loss=venue.Stop("sell", trigger=95))
        assert bracket.take_profit is None and bracket.entry.price == 100


# A strategy that decides once every thousand ticks, whatever its cadence: a
# long of one lot with a stop 20 ticks below.  The engine holds the stop and
# fires it on the exact tick, so every cadence gets the same stop fills.
class EveryThousand:
    def __init__(self, engine_stop=True):
        self.engine_stop = engine_stop
        self.seen = 0
        self.stop = None

    def decide(self, last, position):
        if not self.engine_stop:
            # The stop a strategy had to keep itself: looked at when it decides.
            if position > 0 and self.stop is not None and last <= self.stop:
                self.stop = None
                return [halvorn.Order("sell", position)]
            if position == 0 and self.stop is None:
                self.stop = last - 20
                return [halvorn.Order("buy", 1)]
            return None
        if position == 0:
            return [venue.BracketOrder(venue.Order("buy", 1),
                                       stop_loss=venue.Stop("sell", trigger=last - 20))]
        return None

    def on_tick(self, ctx):
        self.seen += 1
        return self.decide(ctx.last, ctx.position) if self.seen % 1_000 == 0 else None

    def on_batch(self, ticks):
        return self.decide(ticks[-1].last, self.position)


class EveryThousandColumns(EveryThousand):
    def on_columns(self, batch):
        return self.decide(batch.last[len(batch) - 1], self.position)


class TestEveryCadence:
    def test_stop_fills_are_the_same_per_tick_and_in_batches_of_lists_and_columns(self, tmp_path):
        ticks = walk(11, 30_000)
        path = str(tmp_path / "w.hvtk")
        halvorn.save_ticks(path, ticks)
        per_tick = venue.run(EveryThousand(), ticks, 10_000)
        stops = [(f.exch_ts, f.price) for f in per_tick.fills if f.side == "sell"]
        assert len(stops) > 5
        # They fire in the middle of a batch, not where the strategy decides.
        assert sum(t % 1_000_000_000 != 999_000_000 for t, _ in stops) > 5
        for strategy, series in ((EveryThousand(), ticks), (EveryThousandColumns(), ticks),
                                 (EveryThousandColumns(), halvorn.load_ticks(path))):
            batched = venue.run(strategy, series, 10_000, batch=1_000)
            assert [(f.order, f.exch_ts, f.price, f.qty) for f in batched.fills] == [
                (f.order, f.exch_ts, f.price, f.qty) for f in per_tick.fills]
            assert batched.triggered == per_tick.triggered == len(stops)

    def test_a_stop_kept_by_the_strategy_fires_only_where_a_batch_ends(self):
        ticks = walk(11, 30_000)
        engine = venue.run(EveryThousand(), ticks, 10_000, batch=1_000)
        kept = venue.run(EveryThousand(engine_stop=False), ticks, 10_000, batch=1_000)
        late = [f.exch_ts for f in kept.fills if f.side == "sell"]
        on_time = [f.exch_ts for f in engine.fills if f.side == "sell"]
        assert all(t % 1_000_000_000 == 0 for t in late)  # the tick after a decision
        assert sum(late) / len(late) > sum(on_time) / len(on_time)


class TestAgainstAnEmulation:
    @pytest.mark.parametrize("seed", range(5))
    def test_the_engines_stop_market_is_a_market_order_sent_on_its_firing_tick(self, seed):
        """At L0 a stop that the tick at n fires fills as a market order the
        strategy sent on tick n would, on tick n+1 at its touch -- under the
        conservative choice never better than the trigger."""
        ticks = walk(seed, 10_000, step=4, spread=3)

        # Both keep a stop 15 ticks below the price they last set it at, and
        # move it up every 100 ticks; the engine holds one, the emulation
        # watches the price itself and sends a market order.
        class Engine:
            def __init__(self):
                self.seen = self.made = self.placed = 0
                self.stop = None      # (id, trigger) of the stop working
                self.fired = False
                self.triggers = {}    # stop id -> trigger

            def on_end(self, order_id, how):
                if how == "triggered":
                    self.fired = True

            def on_tick(self, ctx):
                self.seen += 1
                if ctx.position == 0 and ctx.working == 0:
                    self.made += 1
                    self.stop, self.fired = None, False
                    return [halvorn.Order("buy", 1)]
                if ctx.position == 0 or self.fired:
                    return None
                if self.stop is not None and self.seen - self.placed < 100:
                    return None
                orders = [venue.Cancel(self.stop[0])] if self.stop else []
                self.made += 1
                self.stop, self.placed = (self.made, ctx.last - 15), self.seen
                self.triggers[self.made] = ctx.last - 15
                return orders + [venue.Stop("sell", 1, trigger=ctx.last - 15, reduce_only=True)]

        class Emulation:
            def __init__(self):
                self.seen = self.placed = 0
                self.stop = None

            def on_tick(self, ctx):
                self.seen += 1
                if ctx.working:
                    return None
                if ctx.position == 0:
                    self.stop = None
                    return [halvorn.Order("buy", 1)]
                if self.stop is not None and ctx.last <= self.stop:
                    return [halvorn.Order("sell", 1)]
                if self.stop is None or self.seen - self.placed >= 100:
                    self.stop, self.placed = ctx.last - 15, self.seen
                return None

        emulated = venue.run(Emulation(), ticks, 10_000)
        emulated_sells = [(f.exch_ts, f.price) for f in emulated.fills if f.side == "sell"]
        ran = venue.run(Engine(), ticks, 10_000)
        assert [(f.exch_ts, f.price) for f in ran.fills if f.side == "sell"] == emulated_sells
        engine = Engine()
        ran = venue.run(engine, ticks, 10_000, venue=venue.Venue(triggered_fills="trigger"))
        engine_sells = [(f.exch_ts, f.price, engine.triggers[f.order])
                        for f in ran.fills if f.side == "sell"]
        assert len(engine_sells) > 50
        assert [t for t, _, _ in engine_sells] == [t for t, _ in emulated_sells]
        assert [p for _, p, _ in engine_sells] == [
            min(p, trigger) for (_, p), (_, _, trigger) in zip(emulated_sells, engine_sells)]
        # The bound is not idle: some fills were held to their trigger.
        assert any(p < q for (_, p, _), (_, q) in zip(engine_sells, emulated_sells))


class TestWhateverThePrices:
    def test_a_post_only_order_never_pays_the_taker_rate(self):
        rng = random.Random(5)

        class Quoter(Ends):
            def on_tick(self, ctx):
                side = rng.choice(["buy", "sell"])
                # Half of the quotes would cross the spread.
                edge = rng.randint(-2, 2)
                price = ctx.tick.bid - edge if side == "buy" else ctx.tick.ask + edge
                return [venue.CancelAll(), venue.Order(side, 1, price=price, post_only=True)]

        fees = venue.Venue(maker_fee=-100_000, taker_fee=500_000)
        run = venue.run(Quoter(), walk(5, 4_000, spread=2), 10_000, venue=fees)
        assert len(run.fills) > 100
        assert not any(f.taker for f in run.fills)
        assert all(f.fee <= 0 for f in run.fills)  # rebates only
        assert run.rejected["post_only_would_take"] > 100

    @pytest.mark.parametrize("tier", [venue.L0(), venue.L1(order_latency=venue.Fixed(2_000_000))])
    def test_a_reduce_only_order_never_flips_the_position(self, tier):
        rng = random.Random(9)

        class Reducer:
            def __init__(self):
                self.positions = []

            def on_tick(self, ctx):
                self.positions.append(ctx.position)
                if ctx.position == 0 and ctx.working == 0 and rng.random() < 0.1:
                    return [venue.Order(rng.choice(["buy", "sell"]), rng.randint(1, 5))]
                if ctx.position != 0 and rng.random() < 0.3:
                    side = rng.choice(["buy", "sell"])
                    return [venue.Order(side, rng.randint(1, 12), reduce_only=True)]
                return None

        strategy = Reducer()
        run = venue.run(strategy, walk(9, 5_000), 10_000, venue=venue.Venue(tier=tier))
        signs = [p > 0 for p in strategy.positions if p != 0]
        # Only a flat account opens; a reduce-only order at most flattens.
        runs = [p for p, q in zip(strategy.positions, strategy.positions[1:]) if p * q < 0]
        assert runs == [] and len(signs) > 500
        assert run.rejected.get("reduce_only_same_side", 0) > 10

    @pytest.mark.parametrize("tier", [
        venue.L0(),
        venue.L1(order_latency=venue.Fixed(1_500_000), report_latency=venue.Fixed(3_000_000),
                 cancel_latency=venue.Fixed(4_000_000), impact_pct=50),
    ])
    def test_a_brackets_stop_and_take_profit_never_both_fill(self, tier):
        rng = random.Random(3)

        class Bracketeer(Ends):
            def __init__(self):
                super().__init__()
                self.brackets = []
                self.next = 1

            def on_tick(self, ctx):
                if ctx.working or ctx.position:
                    return None
                side, other, sign = rng.choice([("buy", "sell", 1), ("sell", "buy", -1)])
                self.brackets.append(self.next)
                self.next += 3
                width = rng.randint(3, 12)
                return [venue.BracketOrder(
                    venue.Order(side, 2),
                    stop_loss=venue.Stop(other, trigger=ctx.last - sign * width),
                    take_profit=venue.Order(other, 2, price=ctx.last + sign * width))]

        strategy = Bracketeer()
        run = venue.run(strategy, walk(3, 6_000), 10_000, venue=venue.Venue(tier=tier))
        filled = {f.order for f in run.fills}
        assert len(strategy.brackets) > 50
        both = [b for b in strategy.brackets if b + 1 in filled and b + 2 in filled]
        assert both == []
        assert sum(b + 1 in filled for b in strategy.brackets) > 10
        assert sum(b + 2 in filled for b in strategy.brackets) > 10


class TestAtEveryTier:
    """The worked examples of docs/venue.md hold at each tier: without
    latency, queue or depth the higher tiers fill as L0 does, and latency
    moves the order a trigger sends as it moves any order."""

    TIERS = [venue.L0(), venue.L1(), venue.L2()]
    ROWS = [(0, 100, 99, 101), (10, 100, 99, 101), (20, 94, 93, 95), (30, 94, 93, 95),
            (40, 92, 91, 93), (50, 92, 91, 93)]

    def ticks(self):
        return [tick(t, last, bid, ask) for t, last, bid, ask in self.ROWS]

    def bracket(self):
        return venue.BracketOrder(venue.Order("buy", 2), stop_loss=venue.Stop("sell", trigger=95),
                                  take_profit=venue.TakeProfit("sell", trigger=110))

    @pytest.mark.parametrize("tier", TIERS, ids=["L0", "L1", "L2"])
    def test_a_bracket_fills_its_entry_then_its_stop_on_the_tick_after_the_fall(self, tier):
        strategy = Script({0: [self.bracket()]})
        run = venue.run(strategy, self.ticks(), 1_000, venue=venue.Venue(tier=tier))
        assert [(f.order, f.price, f.exch_ts) for f in run.fills] == [(1, 101, 10), (2, 93, 30)]
        assert strategy.ends == [(1, "filled"), (2, "triggered"), (3, "canceled"), (2, "filled")]

    @pytest.mark.parametrize("make", [venue.L1, venue.L2], ids=["L1", "L2"])
    def test_with_latency_the_stops_order_arrives_later(self, make):
        # Sent at 20 when the fall fires the stop, it arrives at 35 and fills
        # on the tick at 40; the entry, sent at 0, filled on the tick at 20.
        tier = make(order_latency=venue.Fixed(15))
        strategy = Script({0: [self.bracket()]})
        run = venue.run(strategy, self.ticks(), 1_000, venue=venue.Venue(tier=tier))
        assert [(f.order, f.price, f.exch_ts) for f in run.fills] == [(1, 95, 20), (2, 91, 40)]

    @pytest.mark.parametrize("tier", TIERS, ids=["L0", "L1", "L2"])
    def test_a_post_only_order_marketable_on_arrival_is_refused(self, tier):
        strategy = Script({0: [venue.Order("buy", 1, price=101, post_only=True)]})
        run = venue.run(strategy, self.ticks(), 1_000, venue=venue.Venue(tier=tier))
        assert strategy.ends == [(1, "rejected:post_only_would_take")]
        assert len(run.fills) == 0
