"""halvorn.venue: configuration, runs with fees, funding, latency and hedge
mode, cancellations and feedback, and full results."""

import inspect
import pickle
import decimal
import random

import numpy as np
import pytest

import halvorn
from halvorn import venue

SCALE = halvorn.CASH_SCALE


def ticks_rising(n, start=600_000, step=1, t0=1_000):
    return [halvorn.Tick(t0 + i, start + step * i, bid=start + step * i - 1,
                         ask=start + step * i + 1, volume=10 * i) for i in range(n)]


class Script:
    """Returns scripted answers by call index and records what it is told."""

    def __init__(self, script=None):
        self.script = script or {}
        self.calls = []
        self.heard = []

    def on_tick(self, ctx):
        self.calls.append(ctx)
        return self.script.get(len(self.calls) - 1)

    def on_batch(self, ticks):
        self.calls.append(ticks)
        return self.script.get(len(self.calls) - 1)


class Hears(Script):
    def on_fill(self, fill):
        self.heard.append(("fill", fill.order, fill.price, fill.qty, fill.side, fill.taker))

    def on_end(self, order_id, how):
        self.heard.append(("end", order_id, how))

    def on_liquidation(self, closed):
        self.heard.append(("liquidation", closed.lots, closed.price, closed.side))


class TestConfiguration:
    def test_defaults_are_what_run_backtest_runs(self):
        v = venue.Venue()
        assert (v.tier, v.maker_fee, v.taker_fee, v.funding) == (venue.L0(), 0, 0, ())
        assert v.margin_tiers == venue.EXAMPLE_BTCUSDT
        assert (v.hedge, v.track_margin, v.enforce_margin) == (False, False, True)
        assert (v.contract_size, v.instrument) == (10_000, 1)
        # The one rule in which the venue differs from run_backtest.
        assert v.resting_fills == "limit"
        assert venue.EXAMPLE_BTCUSDT[0] == venue.Bracket(up_to=5_000_000_000_000, rate=4_000_000, amount=0)
        assert venue.EXAMPLE_BTCUSDT[-1].up_to == 2**63 - 1
        assert repr(v) == "Venue()"
        assert str(inspect.signature(venue.L1)) == (
            "(*, order_latency=Fixed(0), report_latency=Fixed(0), queue=None, impact_pct=0, "
            "cancel_latency=Fixed(0), partial_fills=False)")
        assert "tier=L0()" in str(inspect.signature(venue.Venue))
        assert str(inspect.signature(venue.run)) == (
            "(strategy, ticks, balance, *, venue=None, batch=1, equity_every=0, progress=None, "
            "flush=False, depth=None, marks=None)")

    def test_a_long_repr_is_cut_short_and_fields_are_keyword_only(self):
        many = venue.Venue(funding=[venue.FundingRate(time=i, rate=1, price=1) for i in range(10)])
        assert "...(6 more)" in repr(many)
        with pytest.raises(TypeError):
            venue.Venue(500_000)

    @pytest.mark.parametrize("make, error, text", [
        (lambda: venue.Fixed(-1), ValueError, "ns must be between 0 and 2**62 nanoseconds, got -1"),
        (lambda: venue.Fixed(2**62 + 1), ValueError, "ns must be between 0 and 2**62"),
        (lambda: venue.Quantiles(5, 4, 6, 7), ValueError,
         "quantiles must not decrease: p90 4 is below p50 5"),
        (lambda: venue.TradedShare(101), ValueError, "pct must be between 0 and 100, got 101"),
        (lambda: venue.QueueFixed(-2), ValueError, "lots must be at least 0, got -2"),
        (lambda: venue.L1(impact_pct=2**32), OverflowError, "impact_pct must fit in 32 bits"),
        (lambda: venue.L1(order_latency=5), TypeError,
         "order_latency must be a Fixed or Quantiles latency, got int"),
        (lambda: venue.L1(queue=10), TypeError, "queue must be None, a QueueFixed or a TradedShare"),
        (lambda: venue.Venue(tier="L1"), TypeError, "tier must be L0(), L1(...) or L2(...), got str"),
        (lambda: venue.Venue(taker_fee=1_000_000_001), ValueError,
         "taker_fee must be between -1_000_000_000 and 1_000_000_000, got 1_000_000_001"),
        (lambda: venue.Venue(margin_tiers=[]), ValueError, "margin_tiers must hold at least one Bracket"),
        (lambda: venue.Venue(margin_tiers=[venue.Bracket(up_to=10, rate=1, amount=0), venue.Bracket(up_to=10, rate=2, amount=0)]), ValueError,
         "margin_tiers must be in ascending up_to order: bracket 1 covers up to 10, not above bracket 0's 10"),
        (lambda: venue.Venue(margin_tiers=[venue.Bracket(up_to=10, rate=1, amount=0), 3]), TypeError,
         "margin_tiers must be a sequence of Bracket; item 1 is int"),
        (lambda: venue.Venue(funding=[venue.FundingRate(time=20, rate=1, price=1), venue.FundingRate(time=10, rate=1, price=1)]),
         ValueError, "funding must be in time order: rate 1 at 10 comes before rate 0 at 20"),
        (lambda: venue.Venue(funding="abc"), TypeError, "funding must be a sequence of FundingRate"),
        (lambda: venue.Venue(contract_size=0), ValueError, "contract_size must be at least 1, got 0"),
        (lambda: venue.Venue(hedge=1), TypeError, "hedge"),
        (lambda: venue.Bracket(up_to=1, rate=1_000_000_001, amount=0), ValueError, "rate must be between 0 and 1_000_000_000"),
        (lambda: venue.FundingRate(time=1, rate=1, price=-1), ValueError, "price must be at least 0, got -1"),
    ])
    def test_bad_configuration_names_the_field_and_the_value(self, make, error, text):
        with pytest.raises(error) as info:
            make()
        assert text in str(info.value)

    def test_rates_from_decimal_text_exactly(self):
        assert venue.rate("0.0004") == 400_000
        assert venue.rate("-0.0001") == -100_000
        assert venue.rate("1") == 1_000_000_000
        assert venue.rate("0.000000001") == 1
        assert venue.percent("0.04") == 400_000
        assert venue.bps("4") == 400_000 and venue.bps("0.5") == 50_000
        with pytest.raises(ValueError, match="'0.0000000001' is not a whole number of billionths"):
            venue.rate("0.0000000001")
        with pytest.raises(ValueError, match='rate "four" is not a decimal number'):
            venue.rate("four")
        # A float is the decimal it writes, as an Instrument reads its sizes.
        assert venue.rate(0.0004) == 400_000 and venue.bps(4.5) == 450_000
        assert venue.percent(decimal.Decimal("0.04")) == 400_000
        with pytest.raises(ValueError, match="not a whole number of billionths"):
            venue.rate(0.1 + 0.2)        # 0.30000000000000004: not the decimal meant
        with pytest.raises(TypeError, match="rate must be decimal text"):
            venue.rate([0.0004])
        with pytest.raises(ValueError, match="does not fit in 64 bits"):
            venue.rate("100000000000")


def random_ticks(rng, n):
    price, volume, out = 600_000, 0, []
    for i in range(n):
        price = max(1, price + rng.randint(-40, 40))
        volume += rng.randint(0, 9)
        spread = rng.randint(0, 3)
        out.append(halvorn.Tick(1_000 * i, price, high=price + rng.randint(0, 30),
                                low=price - rng.randint(0, 30), bid=price - spread,
                                ask=price + spread, volume=volume))
    return out


class RandomTrader:
    """Places and closes market and limit orders by a seeded generator."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def decide(self, last, position):
        r = self.rng.random()
        if r < 0.1:
            return [halvorn.Order("buy", self.rng.randint(1, 5))]
        if r < 0.2:
            return [halvorn.Order("sell", self.rng.randint(1, 5))]
        if r < 0.3:
            return [halvorn.Order("buy", 2, price=last - self.rng.randint(-20, 50))]
        if r < 0.4 and position:
            return [halvorn.Order("sell" if position > 0 else "buy", abs(position), "close",
                                  price=last + self.rng.randint(-20, 50))]
        return None

    def on_tick(self, ctx):
        return self.decide(ctx.last, ctx.position)

    def on_batch(self, ticks):
        return self.decide(self.last, self.position)


class TestAgreesWithRunBacktest:
    @pytest.mark.parametrize("seed", range(6))
    @pytest.mark.parametrize("batch", [1, 7])
    def test_quote_rule_venue_equals_run_backtest(self, tmp_path, seed, batch):
        rng = random.Random(seed)
        ticks = random_ticks(rng, 3_000)
        path = str(tmp_path / "t.hvtk")
        halvorn.save_ticks(path, ticks)
        for series in (ticks, halvorn.load_ticks(path)):
            a = halvorn.run_backtest(RandomTrader(seed), series, 20, batch=batch, equity_every=50)
            b = venue.run(RandomTrader(seed), series, 20, batch=batch, equity_every=50,
                          venue=venue.Venue(resting_fills="quote"))
            assert (b.strategy, b.ticks, len(b.fills), len(b.liquidations)) == (
                a.strategy, a.ticks, a.fills, a.liquidations)
            assert (b.final_equity, b.min_equity, b.fees_paid, b.funding_paid) == (
                a.final_equity, a.min_equity, a.fees_paid, a.funding_paid)
            assert b.fill_prices == a.fill_prices == [f.price for f in b.fills]
            assert b.equity_curve == a.equity_curve
            assert b.tier == "L0" and b.fees_paid == 0
            assert len(b.equity_times) == len(b.equity_curve)
        assert a.fills > 10, "the stream must exercise the engine"


class TestWorkedNumbers:
    def test_taker_fee(self):
        # A 2-lot taker fill at 600_000 with taker rate 500_000 costs 6_000_000.
        ticks = [halvorn.Tick(1, 600_000, ask=600_000), halvorn.Tick(2, 600_000, ask=600_000)]
        r = venue.run(Script({0: [halvorn.Order("buy", 2)]}), ticks, 1_000,
                      venue=venue.Venue(taker_fee=500_000))
        (fill,) = r.fills
        assert (fill.price, fill.qty, fill.taker, fill.fee) == (600_000, 2, True, 6_000_000)
        assert r.fees_paid == 6_000_000

    @pytest.mark.parametrize("side, amount", [("buy", -60_000_000), ("sell", 60_000_000)])
    def test_funding_of_a_hundred_lots(self, side, amount):
        ticks = [halvorn.Tick(t, 600_000, bid=600_000, ask=600_000) for t in (1, 2, 20)]
        v = venue.Venue(funding=[venue.FundingRate(time=10, rate=100_000, price=600_000)])
        r = venue.run(Script({0: [halvorn.Order(side, 100)]}), ticks, 100_000, venue=v)
        assert r.funding_paid == amount

    def test_order_latency(self):
        t0 = 1_000_000_000
        times = [t0, t0 + 4_999_999, t0 + 5_000_000]
        ticks = [halvorn.Tick(t, 600_000, ask=600_001) for t in times]
        v = venue.Venue(tier=venue.L1(order_latency=venue.Fixed(5_000_000)))
        s = Script({0: [halvorn.Order("buy", 1)]})
        r = venue.run(s, ticks, 1_000, venue=v)
        (fill,) = r.fills
        assert fill.exch_ts == t0 + 5_000_000 and r.tier == "L1"
        assert [c.position for c in s.calls] == [0, 0, 1]

    def test_a_fixed_queue_drains_six_then_five(self):
        ticks = [halvorn.Tick(1, 100, high=100, low=100, bid=99, ask=101, volume=0),
                 halvorn.Tick(2, 100, high=101, low=99, bid=99, ask=100, volume=6),
                 halvorn.Tick(3, 100, high=101, low=99, bid=99, ask=100, volume=11),
                 halvorn.Tick(4, 100, high=101, low=99, bid=99, ask=100, volume=11)]
        v = venue.Venue(tier=venue.L1(queue=venue.QueueFixed(10)), contract_size=1)
        s = Script({0: [halvorn.Order("buy", 1, price=100)]})
        r = venue.run(s, ticks, 1_000, venue=v)
        # 10 ahead: 4 left after the second tick (whose ask would have filled
        # an order at the front), through on the third, where the order
        # enters the book and the quote rule fills it at the ask.
        (fill,) = r.fills
        assert fill.exch_ts == 3 and fill.price == 100 and not fill.taker
        unqueued = venue.run(Script({0: [halvorn.Order("buy", 1, price=100)]}), ticks, 1_000,
                             venue=venue.Venue(tier=venue.L1(), contract_size=1))
        assert unqueued.fills[0].exch_ts == 2

    def test_liquidation_at_502_008(self):
        ticks = [halvorn.Tick(1, 600_000, ask=600_000), halvorn.Tick(2, 600_000, ask=600_000),
                 halvorn.Tick(3, 502_009), halvorn.Tick(4, 502_008), halvorn.Tick(5, 502_000)]
        s = Hears({0: [halvorn.Order("buy", 100)]})
        r = venue.run(s, ticks, 1_000)
        (liq,) = r.liquidations
        assert (liq.at, liq.price, liq.quantity, liq.balance, liq.forfeited) == (
            4, 502_008, 100, 0, 2_008_000_000)
        assert r.realized == -97_992_000_000
        assert ("liquidation", 100, 502_008, "buy") in s.heard
        assert s.calls[4].position == 0


class TestCancelAndFeedback:
    def test_a_cancelled_limit_ends_canceled_without_a_fill(self):
        s = Hears({0: [halvorn.Order("buy", 1, price=500_000)], 2: [venue.Cancel(1)]})
        r = venue.run(s, ticks_rising(5), 1_000)
        assert len(r.fills) == 0
        assert s.heard == [("end", 1, "canceled")]
        assert [c.working for c in s.calls] == [0, 1, 1, 0, 0]

    def test_a_filled_order_is_heard_as_a_fill_then_its_end(self):
        s = Hears({0: [halvorn.Order("buy", 2)]})
        venue.run(s, ticks_rising(3), 1_000)
        assert s.heard == [("fill", 1, 600_002, 2, "buy", True), ("end", 1, "filled")]

    def test_cancel_all_and_unknown_ids(self):
        s = Hears({0: [halvorn.Order("buy", 1, price=1), halvorn.Order("sell", 1, price=10**7)],
                   1: [venue.Cancel(99), venue.CancelAll(), halvorn.Order("buy", 1, price=2)]})
        venue.run(s, ticks_rising(4), 1_000)
        assert s.heard == [("end", 1, "canceled"), ("end", 2, "canceled")]
        assert s.calls[2].working == 1  # order 3, placed after the CancelAll

    def test_hooks_in_batches_come_in_order_before_on_batch(self):
        seen = []

        class Batched:
            def on_batch(self, ticks):
                seen.append(("batch", len(ticks)))
                return [halvorn.Order("buy", 1)] if len(seen) == 1 else None

            def on_fill(self, fill):
                seen.append(("fill", fill.order))

            def on_end(self, order_id, how):
                seen.append(("end", order_id, how))

        venue.run(Batched(), ticks_rising(8), 1_000, batch=4)
        assert seen == [("batch", 4), ("fill", 1), ("end", 1, "filled"), ("batch", 4)]

    def test_run_backtest_never_calls_the_hooks(self):
        s = Hears({0: [halvorn.Order("buy", 2)]})
        halvorn.run_backtest(s, ticks_rising(3), 1_000)
        assert s.heard == []

    def test_returns_of_the_wrong_kind_and_failing_hooks(self):
        with pytest.raises(ValueError, match="a strategy must return None or a list of Order"):
            venue.run(Script({0: [venue.Cancel]}), ticks_rising(3), 1_000)
        with pytest.raises(ValueError, match="a strategy must return None or a list of Order"):
            halvorn.run_backtest(Script({0: [venue.Cancel(1)]}), ticks_rising(3), 1_000)

        class Fails(Hears):
            def on_fill(self, fill):
                raise KeyError("x")

        s = Fails({0: [halvorn.Order("buy", 1)]})
        with pytest.raises(ValueError) as info:
            venue.run(s, ticks_rising(4), 1_000)
        assert str(info.value) == "the strategy failed during the run: KeyError: 'x'"
        assert len(s.calls) == 1


class TestResults:
    def test_fills_are_records_and_a_zero_copy_structured_array(self):
        s = Script({0: [halvorn.Order("buy", 2)],
                    2: [halvorn.Order("sell", 2, "close", price=600_004)]})
        r = venue.run(s, ticks_rising(5), 1_000, venue=venue.Venue(taker_fee=500_000,
                                                                     maker_fee=-100_000))
        a = np.asarray(r.fills)
        assert a.shape == (2,) and a.dtype.itemsize == 72
        assert list(a["price"]) == r.fill_prices and list(a["qty"]) == [2, 2]
        assert list(a["side"]) == [0, 1] and list(a["offset"]) == [0, 1]
        assert list(a["fee"]) == [f.fee for f in r.fills]
        assert a["taker"].tolist() == [True, False]
        assert r.fills[1].fee < 0, "a maker fill earns the rebate"
        assert not a.flags.writeable
        assert np.asarray(r.fills).__array_interface__["data"][0] == a.__array_interface__["data"][0]
        assert r.fills[-1].side == "sell" and r.fills[1].offset == "close"
        with pytest.raises(IndexError):
            r.fills[2]
        f = r.fills[0]
        assert pickle.loads(pickle.dumps(f)) == f
        assert repr(f).startswith("Fill(exch_ts=1_001, local_ts=1_001, order=1, seq=1, price=600_002")

    def test_run_carries_the_engine_result(self):
        v = venue.Venue(track_margin=True, hedge=True)
        s = Script({0: [halvorn.Order("buy", 3), halvorn.Order("sell", 2)]})
        r = venue.run(s, ticks_rising(6), 1_000, venue=v, equity_every=2)
        assert r.margin.peak_maintenance > 0 and r.margin.min_headroom is not None
        assert r.exposed_ticks == 5 and r.ticks == 6
        assert r.equity_times == [1_000, 1_001, 1_003, 1_005]
        assert len(r.equity_curve) == 4
        # Hedge mode shows both legs to the strategy.
        ctx = s.calls[2]
        assert (ctx.position, ctx.short_position) == (3, -2)
        assert (ctx.entry, ctx.short_entry) == (600_002, 600_000)
        assert venue.run(Script(), [], 1_000).margin is None
        assert repr(r).startswith('Run(strategy="Script", tier=L0, ticks=6, fills=2')

    def test_progress_is_reported(self):
        calls = []
        venue.run(Script(), ticks_rising(10), 1_000, progress=lambda done, total: calls.append(
            (done, total)))
        assert calls[-1] == (10, 10)
        with pytest.raises(TypeError, match="progress must be None, True or a callable"):
            venue.run(Script(), ticks_rising(2), 1_000, progress=3)

    def test_progress_bar_on_standard_error(self, capfd):
        venue.run(Script(), ticks_rising(10), 1_000, progress=True)
        assert "10" in capfd.readouterr().err


class TestCompareAndLookahead:
    def test_compare_modes_on_a_venue(self):
        v = venue.Venue(taker_fee=500_000)
        c = venue.compare_modes(lambda: RandomTrader(3), random_ticks(random.Random(1), 500), 50,
                                4, venue=v)
        assert isinstance(c, venue.ModeComparison) and c.batch == 4
        assert c.compat_fills > 0

    def test_lookahead_check_on_a_venue(self):
        class Honest:
            def on_tick(self, ctx):
                return [halvorn.Order("buy", 1)] if ctx.position == 0 else None

        report = venue.lookahead_check(lambda known: Honest(), ticks_rising(50), 1_000,
                                       venue=venue.Venue(taker_fee=500_000))
        assert isinstance(report, venue.LookaheadReport) and report.clean and report.signals > 0


def test_the_submodule_imports_both_ways_and_leaves_the_module_as_it_was():
    import halvorn.venue as again

    assert again is venue and halvorn.venue is venue
    assert len(halvorn.__all__) == 20 and "venue" not in halvorn.__all__
    assert venue.Venue.__module__ == "halvorn.venue"


class TestPlantedFaults:
    def test_an_instrument_beyond_32_bits_is_refused_not_cut_short(self):
        """2**32 and 2**32 + 1 are refused; 2**32 - 1 is kept whole."""
        for instrument in (2**32, 2**32 + 1):
            with pytest.raises(OverflowError, match="instrument must fit in 32 bits"):
                venue.Venue(instrument=instrument)
        v = venue.Venue(instrument=2**32 - 1)
        assert v.instrument == 4_294_967_295
        assert pickle.loads(pickle.dumps(v)).instrument == 4_294_967_295

    MAKER, TAKER = 200_000, 1_000_000

    def run_limits(self, tier, orders, ticks):
        v = venue.Venue(tier=tier, maker_fee=self.MAKER, taker_fee=self.TAKER)
        return venue.run(Script({0: orders}), ticks, 1_000_000, venue=v)

    @pytest.mark.parametrize("tier", [venue.L0(), venue.L1()])
    def test_a_buy_limit_at_the_ask_takes_and_one_below_it_makes(self, tier):
        """Judged against the quote it was placed on: at or above the ask is a taker fill."""
        ticks = [halvorn.Tick(1, 600_000, bid=599_999, ask=600_001),
                 halvorn.Tick(2, 600_000, bid=599_999, ask=600_001),
                 halvorn.Tick(3, 599_999, bid=599_998, ask=600_000)]
        r = self.run_limits(tier, [halvorn.Order("buy", 2, price=600_002),
                                   halvorn.Order("buy", 3, price=600_001),
                                   halvorn.Order("buy", 5, price=600_000)], ticks)
        a = np.asarray(r.fills)
        assert a["order"].tolist() == [1, 2, 3]
        assert a["exch_ts"].tolist() == [2, 2, 3]
        assert a["price"].tolist() == [600_001, 600_001, 600_000]
        assert a["taker"].tolist() == [True, True, False]
        # qty * price * contract_size 10_000 * rate // 10**9, at the taker, taker, maker rate
        fees = [12_000_020, 18_000_030, 6_000_000]
        assert a["fee"].tolist() == fees
        assert r.fees_paid == sum(fees)

    @pytest.mark.parametrize("tier", [venue.L0(), venue.L1()])
    def test_a_sell_limit_at_the_bid_takes_and_one_above_it_makes(self, tier):
        """Judged against the quote it was placed on: at or below the bid is a taker fill."""
        ticks = [halvorn.Tick(1, 600_000, bid=599_999, ask=600_001),
                 halvorn.Tick(2, 600_000, bid=599_999, ask=600_001),
                 halvorn.Tick(3, 600_001, bid=600_000, ask=600_002)]
        r = self.run_limits(tier, [halvorn.Order("sell", 2, price=599_998),
                                   halvorn.Order("sell", 3, price=599_999),
                                   halvorn.Order("sell", 5, price=600_000)], ticks)
        a = np.asarray(r.fills)
        assert a["order"].tolist() == [1, 2, 3]
        assert a["exch_ts"].tolist() == [2, 2, 3]
        assert a["price"].tolist() == [599_999, 599_999, 600_000]
        assert a["taker"].tolist() == [True, True, False]
        # qty * price * contract_size 10_000 * rate // 10**9, at the taker, taker, maker rate
        fees = [11_999_980, 17_999_970, 6_000_000]
        assert a["fee"].tolist() == fees
        assert r.fees_paid == sum(fees)


class TestKeywordsWhereUnitsDiffer:
    def test_positional_calls_still_work_and_say_how_to_write_them(self):
        with pytest.warns(DeprecationWarning, match=r"write Bracket\(up_to=..., rate=..., amount=...\)"):
            old = venue.Bracket(5_000_000_000_000, 4_000_000, 0)
        assert old == venue.EXAMPLE_BTCUSDT[0]
        with pytest.warns(DeprecationWarning, match="FundingRate"):
            assert venue.FundingRate(10, 1, 2) == venue.FundingRate(time=10, rate=1, price=2)
        ticks = ticks_rising(3)
        with pytest.warns(DeprecationWarning, match=r"run\(strategy, ticks, balance, venue="):
            assert venue.run(Script(), ticks, 1_000, venue.Venue(), 1).ticks == 3
        with pytest.warns(DeprecationWarning, match="compare_modes"):
            assert venue.compare_modes(Script, ticks, 1_000, 2, venue.Venue()).identical
        with pytest.warns(DeprecationWarning, match="lookahead_check"):
            assert venue.lookahead_check(lambda known: Script(), ticks, 1_000, 5).clean

    def test_a_missing_field_is_named(self):
        with pytest.raises(TypeError, match="Bracket\\(\\) missing required keyword argument: 'amount'"):
            venue.Bracket(up_to=1, rate=2)
        with pytest.raises(TypeError, match="missing required keyword argument: 'time'"):
            venue.FundingRate(rate=1, price=2)
        assert repr(venue.Bracket(up_to=1, rate=2, amount=3)) == "Bracket(up_to=1, rate=2, amount=3)"
