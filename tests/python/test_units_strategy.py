"""A strategy written in its instrument's units runs exactly as the same
strategy written in ticks and lots: the context's views, the instrument's
steps and the venue's orders given as decimals are counted without a loss,
or refused naming the value and the step."""

import decimal
import math
import pickle
import random
from decimal import Decimal

import numpy as np
import pytest

import halvorn
from halvorn import data, venue

ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")
BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
START = 1_704_067_200 * 10**9


def walk(seed, n, base):
    """A seeded random walk of last prices, in ticks, with a quote around it."""
    rng = random.Random(seed)
    last, out = base, []
    for _ in range(n):
        last = max(1_000, last + rng.choice((-3, -1, 0, 0, 1, 3)))
        out.append(last)
    return np.array(out, dtype=np.int64)


def columns(seed, n, base, offset_ns=0):
    last = walk(seed, n, base)
    return {"exch_ts": START + offset_ns + np.arange(n, dtype=np.int64) * 1_000_000_000,
            "last": last, "bid": last - 1, "ask": last + 1}


def as_list(cols):
    return [halvorn.Tick(exch_ts=int(t), last=int(p), bid=int(b), ask=int(a))
            for t, p, b, a in zip(cols["exch_ts"], cols["last"], cols["bid"], cols["ask"])]


def as_frame(cols, instrument):
    """The same ticks as pandas users hold them: float prices in units."""
    pandas = pytest.importorskip("pandas")
    places = -Decimal(instrument.tick_size).as_tuple().exponent
    return pandas.DataFrame({
        "exch_ts": pandas.to_datetime(cols["exch_ts"], unit="ns", utc=True),
        **{k: np.round(cols[k] * float(instrument.price_step), places)
           for k in ("last", "bid", "ask")}})


def as_file(cols, instrument, path):
    return data.from_arrays(str(path), cols["exch_ts"], cols["last"], bid=cols["bid"],
                            ask=cols["ask"], instrument=instrument)


class Trader:
    """Market and limit orders, stops, trailing stops, brackets and cancels,
    drawn from a seeded generator; `price`, `qty` and `distance` say how the
    order's values are written, in ticks and lots or in units."""

    def __init__(self, seed=5):
        self.rng = random.Random(seed)
        self.last = {}

    # In ticks and lots, as integers.
    def price(self, instrument, ticks):
        return ticks

    def qty(self, instrument, lots):
        return lots

    def on_tick(self, ctx):
        symbol = getattr(self, "symbol", None)
        self.last[symbol] = self.seen(ctx)
        return self.decide(ctx.instrument, ctx.tick.bid, ctx.tick.ask, ctx.position,
                           ctx.working, symbol)

    def seen(self, ctx):
        return ctx.last

    def decide(self, instrument, bid, ask, position, working, symbol):
        rng, orders = self.rng, []
        draw, lots, off = rng.random(), rng.randint(1, 4), rng.randint(2, 9)
        side, other = ("buy", "sell") if position <= 0 else ("sell", "buy")
        quote, sign = (bid, -1) if side == "buy" else (ask, 1)
        p, q = (lambda t: self.price(instrument, t)), (lambda n: self.qty(instrument, n))
        if working > 4:
            orders.append(venue.CancelAll())
        elif draw < 0.25:
            orders.append(venue.Order(side, q(lots)))
        elif draw < 0.5:
            orders.append(venue.Order(side, q(lots), price=p(quote + sign * off)))
        elif draw < 0.6 and position:
            orders.append(venue.Stop(other, q(abs(position)), trigger=p(quote - sign * off),
                                     reduce_only=True))
        elif draw < 0.7 and position:
            orders.append(venue.TrailingStop(other, distance=self.distance(instrument, off)))
        elif draw < 0.8:
            entry = quote + sign * off
            orders.append(venue.BracketOrder(
                venue.Order(side, q(lots), price=p(entry)),
                stop_loss=venue.Stop(other, trigger=p(entry + sign * 5)),
                take_profit=venue.TakeProfit(other, trigger=p(entry - sign * 5))))
        if symbol is not None and rng.random() < 0.1:
            # An order for the portfolio's other instrument, at its last price.
            name = next(s for s in self.instruments if s != symbol)
            if name in self.last:
                held = self.instruments[name]
                orders.append(venue.Order("buy", self.qty(held, 1), instrument=name,
                                          price=self.price(held, self.tick_of(held,
                                                                              self.last[name]))))
        return orders

    def tick_of(self, instrument, last):
        return last

    def distance(self, instrument, ticks):
        return ticks


class UnitTrader(Trader):
    """The same decisions, read from the views in units and written in units
    as a person writes them: Decimals, decimal text and floats rounded to the
    step, thresholds decided through the instrument's steps."""

    def __init__(self, seed=5):
        super().__init__(seed)
        self.forms = random.Random(-seed)   # the decisions' generator stays the same

    def on_tick(self, ctx):
        symbol = getattr(self, "symbol", None)
        u = ctx.units
        self.last[symbol] = u.last
        step = ctx.instrument.price_step
        # The views agree with the counts, exactly and to the nearest float.
        assert u.bid == ctx.instrument.price_of(ctx.tick.bid)
        assert ctx.floats.ask == float(u.ask) and u.position == ctx.instrument.qty_of(ctx.position)
        return self.decide(ctx.instrument, u.bid / step, u.ask / step, ctx.position, ctx.working,
                           symbol)

    def price(self, instrument, ticks):
        value = Decimal(ticks) * instrument.price_step
        form = self.forms.random()
        if form < 0.4:
            return value
        if form < 0.7:
            return str(value)
        places = -instrument.price_step.as_tuple().exponent
        return round(float(value), places)   # a float, as the decimal it writes

    def qty(self, instrument, lots):
        value = lots * instrument.qty_step
        return value if self.forms.random() < 0.5 else f"{value}"

    def distance(self, instrument, ticks):
        return ticks * instrument.price_step

    def tick_of(self, instrument, last):
        return instrument.to_ticks(last)


def identical(a, b):
    assert np.asarray(a.fills).tobytes() == np.asarray(b.fills).tobytes()
    assert (a.equity_curve, a.final_equity, a.fees_paid, a.rejected, a.triggered, a.order_tags) \
        == (b.equity_curve, b.final_equity, b.fees_paid, b.rejected, b.triggered, b.order_tags)


FEES = dict(taker_fee=venue.rate("0.0005"), maker_fee=venue.rate("-0.0001"))


class TestUnitsAgainstTicks:
    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_one_instrument_over_lists_frames_and_files(self, seed, tmp_path):
        cols = columns(seed, 3_000, 245_000)
        v = venue.Venue(instrument=ETH, **FEES)
        series = {"list": as_list(cols), "frame": as_frame(cols, ETH),
                  "file": as_file(cols, ETH, tmp_path / "eth.hvtk")}
        runs = {}
        for name, ticks in series.items():
            runs[name] = venue.run(Trader(seed), ticks, "10000.5", venue=v, equity_every=50)
            identical(runs[name], venue.run(UnitTrader(seed), ticks, "10000.5", venue=v,
                                            equity_every=50))
        identical(runs["list"], runs["frame"])
        identical(runs["list"], runs["file"])
        # What the runs did, so that agreeing meant something.
        run = runs["list"]
        assert len(run.fills) > 100 and run.triggered > 5 and run.fees_paid != 0

    def test_a_portfolio_over_lists_frames_and_files(self, tmp_path):
        eth, btc = columns(7, 1_500, 245_000), columns(8, 1_500, 600_000, offset_ns=400_000_000)
        venues = {"ETHUSDT": venue.Venue(instrument=ETH, **FEES),
                  "BTCUSDT": venue.Venue(instrument=BTC, **FEES)}
        forms = [
            {"ETHUSDT": as_list(eth), "BTCUSDT": as_list(btc)},
            {"ETHUSDT": as_frame(eth, ETH), "BTCUSDT": as_frame(btc, BTC)},
            {"ETHUSDT": as_file(eth, ETH, tmp_path / "e.hvtk"),
             "BTCUSDT": as_file(btc, BTC, tmp_path / "b.hvtk")},
        ]
        runs = []
        for ticks in forms:
            runs.append(venue.run(Trader(9), ticks, 100_000, venue=venues, equity_every=40))
            identical(runs[-1], venue.run(UnitTrader(9), ticks, 100_000, venue=venues,
                                          equity_every=40))
        identical(runs[0], runs[1])
        identical(runs[0], runs[2])
        fills = np.asarray(runs[0].fills)
        assert set(fills["instrument"]) == {1, 2} and len(fills) > 100

    def test_batched_strategies_find_their_instrument_on_themselves(self):
        cols = columns(4, 2_000, 245_000)

        class Batched(Trader):
            def on_batch(self, ticks):
                last = ticks[-1]
                return self.decide(self.instrument, last.bid, last.ask, self.position, 0, None)

        class UnitBatched(UnitTrader):
            def on_batch(self, ticks):
                inst, last = self.instrument, ticks[-1]
                return self.decide(inst, last.bid, last.ask, self.position, 0, None)

        v = venue.Venue(instrument=ETH)
        ticks = as_list(cols)
        a = venue.run(Batched(4), ticks, 10_000, venue=v, batch=16)
        identical(a, venue.run(UnitBatched(4), ticks, 10_000, venue=v, batch=16))
        assert len(a.fills) > 20

    def test_the_instruments_a_portfolio_strategy_is_shown(self):
        seen = []

        class Looks:
            def on_tick(self, ctx):
                seen.append((self.symbol, ctx.instrument, dict(self.instruments)))

        ticks = {"ETHUSDT": as_list(columns(1, 3, 245_000)),
                 "BTCUSDT": as_list(columns(2, 3, 600_000, offset_ns=1))}
        venue.run(Looks(), ticks, 1_000, venue={"ETHUSDT": venue.Venue(instrument=ETH),
                                                "BTCUSDT": venue.Venue(instrument=BTC)})
        assert [(s, i.symbol) for s, i, _ in seen[:2]] == [("ETHUSDT", "ETHUSDT"),
                                                           ("BTCUSDT", "BTCUSDT")]
        assert all(m == {"ETHUSDT": ETH, "BTCUSDT": BTC} for _, _, m in seen)


class NoInstrumentSeen:
    def __init__(self):
        self.seen = []

    def on_tick(self, ctx):
        self.seen.append(ctx.instrument)
        with pytest.raises(ValueError, match="this run has no Instrument"):
            ctx.units

    def on_batch(self, ticks):
        self.seen.append(getattr(self, "instrument", "not written"))


class TestTheContext:
    def test_a_run_without_an_instrument_shows_counts_and_says_why_not_units(self):
        ticks = as_list(columns(1, 4, 600_000))
        s = NoInstrumentSeen()
        venue.run(s, ticks, 1_000)
        assert s.seen == [None] * 4
        s = NoInstrumentSeen()
        venue.run(s, ticks, 1_000, batch=2)
        assert s.seen == ["not written"] * 2     # a __slots__ strategy keeps working

    def test_the_core_module_shows_its_own_context_unchanged(self):
        kinds = []

        class Kind:
            def on_tick(self, ctx):
                kinds.append(type(ctx))

        halvorn.run_backtest(Kind(), as_list(columns(1, 2, 600_000)), 1_000)
        venue.run(Kind(), as_list(columns(1, 2, 600_000)), 1_000)
        assert kinds == [halvorn.Context] * 2 + [venue.Context] * 2
        assert not hasattr(halvorn.Context, "instrument")

    @pytest.mark.parametrize("tick_size, lot_size", [("0.01", "0.001"), ("5", "1"),
                                                     ("0.00000001", "1000"), ("0.25", "0.5")])
    def test_views_are_exact_and_floats_the_nearest(self, tick_size, lot_size):
        inst = venue.Instrument("X", tick_size, lot_size)
        rng = random.Random(tick_size)
        values = [rng.choice([1, -1]) * rng.randrange(10**rng.randint(0, 18)) for _ in range(60)]
        values += [0, 2**53 + 1, -(2**53) - 1, 2**63 - 1, -(2**63)]
        views = []

        class Reads:
            def on_tick(self, ctx):
                views.append((ctx.tick, ctx.units, ctx.floats))

        ticks = [halvorn.Tick(exch_ts=i, last=v, high=v, low=v, bid=v, ask=v, volume=v)
                 for i, v in enumerate(values)]
        venue.run(Reads(), ticks, 1_000, venue=venue.Venue(instrument=inst))
        for tick, u, f in views:
            exact = inst.price_of(tick.last)
            assert u.last == exact and u.volume == inst.qty_of(tick.volume)
            # The nearest double of the exact decimal, however large.
            assert f.last == float(exact) and f.volume == float(inst.qty_of(tick.volume))
        assert views[0][1].equity == Decimal("1000.00000000")


class TestOrdersInUnits:
    def counted(self, order, instrument=ETH):
        """What the run places for `order`: its fills' price and quantity on
        a tick that crosses everything, or the failure."""
        ticks = [halvorn.Tick(exch_ts=i, last=245_000, bid=100, ask=245_000) for i in range(3)]

        class Once:
            def __init__(self):
                self.done = False

            def on_tick(self, ctx):
                if not self.done:
                    self.done = True
                    return [order]

        run = venue.run(Once(), ticks, 100_000, venue=venue.Venue(instrument=instrument))
        return [(f.price, f.qty) for f in run.fills]

    def test_exact_values_in_every_form_count_as_their_ticks_and_lots(self):
        for qty in ("0.5", Decimal("0.500"), 0.5, 500):
            for price in ("2450", Decimal("2450.00"), 2450.0, 245_000):
                assert self.counted(venue.Order("buy", qty, price=price)) == [(245_000, 500)]

    @pytest.mark.parametrize("order, message", [
        (lambda: venue.Order("buy", "0.5", price="2450.175"),
         'price "2450.175" is not a whole number of ticks of 0.01'),
        (lambda: venue.Order("buy", 0.0005),
         'qty "0.0005" is not a whole number of lots of 0.001'),
        (lambda: venue.Stop("sell", 1, trigger=0.1 + 0.2),
         'trigger "0.30000000000000004" is not a whole number of ticks of 0.01'),
        (lambda: venue.TrailingStop("sell", 1, distance="0.005"),
         'distance "0.005" is not a whole number of ticks of 0.01'),
        (lambda: venue.Order("buy", "0.0004", rounding="down"),
         'qty "0.0004" is less than one lot of 0.001 once rounded'),
        (lambda: venue.Order("buy", "1e30"), 'qty "1000000000000000000000000000000" is beyond '
                                             '9223372036854775807 lots of 0.001'),
    ])
    def test_a_value_off_the_grid_fails_the_run_naming_value_and_step(self, order, message):
        with pytest.raises(ValueError) as info:
            self.counted(order())
        assert str(info.value).startswith("the strategy failed during the run: " + message)

    def test_rounding_counts_as_the_instrument_rounds(self):
        for rounding in ("down", "up"):
            expected = ETH.to_ticks("2449.995", rounding=rounding)
            order = venue.Order("buy", "0.0015", price="2449.995", rounding=rounding)
            assert order.rounding == rounding
            lots = ETH.to_lots("0.0015", rounding=rounding)
            filled = self.counted(order)
            assert filled == ([(expected, lots)] if expected >= 245_000 else [])

    def test_a_run_without_an_instrument_refuses_units_and_takes_counts(self):
        ticks = as_list(columns(1, 3, 600_000))

        class Buys:
            def __init__(self, qty):
                self.qty = qty

            def on_tick(self, ctx):
                return [venue.Order("buy", self.qty)] if ctx.position == 0 else None

        with pytest.raises(ValueError, match='qty "1" is in units, and the run has no Instrument'):
            venue.run(Buys("1"), ticks, 1_000)
        assert len(venue.run(Buys(1), ticks, 1_000).fills) == 1

    def test_a_bracket_in_units_is_judged_once_counted(self):
        bracket = venue.BracketOrder(venue.Order("buy", "0.001", price="2450"),
                                     stop_loss=venue.Stop("sell", trigger=2451.0))
        with pytest.raises(ValueError, match="stop_loss: a buy entry at 245_000 needs its stop "
                                             "below that price, got 245_100"):
            self.counted(bracket)
        # Given as counts, it is refused where it is made, as before.
        with pytest.raises(ValueError, match="needs its stop below"):
            venue.BracketOrder(venue.Order("buy", 1, price=245_000),
                               stop_loss=venue.Stop("sell", trigger=245_100))

    def test_orders_keep_what_they_were_given(self):
        order = venue.Order("buy", "0.50", price=2450.17, tag="t", rounding="down")
        assert (order.qty, order.price) == (Decimal("0.50"), Decimal("2450.17"))
        assert type(order.qty) is Decimal and venue.Order("buy", 5).qty == 5
        for copy in (eval(repr(order), {**vars(venue), "Decimal": Decimal}),
                     pickle.loads(pickle.dumps(order))):
            assert copy == order and hash(copy) == hash(order)
        stop = venue.Stop("sell", trigger="2400", price=Decimal("2399.5"))
        assert (stop.qty, stop.trigger, stop.price) == (None, Decimal("2400"), Decimal("2399.5"))
        trail = venue.TrailingStop("sell", 1, distance=5.5, activation="2500")
        assert (trail.distance, trail.activation) == (Decimal("5.5"), Decimal("2500"))

    @pytest.mark.parametrize("make, error, message", [
        (lambda: venue.Order("buy", "-1"), ValueError, 'qty must be positive, got "-1"'),
        (lambda: venue.Order("buy", 1, price="0"), ValueError, 'price must be positive'),
        (lambda: venue.Order("buy", 1, price=math.nan), ValueError,
         'price "nan" is not a decimal number'),
        (lambda: venue.Order("buy", "a lot"), ValueError, 'qty "a lot" is not a decimal number'),
        (lambda: venue.Order("buy", [1]), TypeError, "qty"),
        (lambda: venue.Order("buy", 1, rounding="nearest"), ValueError,
         "rounding must be 'exact', 'down' or 'up', got 'nearest'"),
    ])
    def test_values_refused_where_the_order_is_made(self, make, error, message):
        with pytest.raises(error, match=message.replace("(", r"\(")):
            make()


def test_instrument_steps_and_conversions_for_thresholds():
    assert (ETH.price_step, ETH.qty_step) == (Decimal("0.01"), Decimal("0.001"))
    assert venue.Instrument("X", "0.10", "5").price_step == Decimal("0.1")
    # A threshold of 5 USDT, decided once, exactly: no factor of ten to lose.
    assert ETH.to_ticks(5) == 500 and BTC.to_ticks(decimal.Decimal(5)) == 50


def test_an_order_in_units_is_not_equal_to_one_in_counts_of_the_same_number():
    # 1 lot and 1 ETH are equal numbers and different orders.
    assert venue.Order("buy", 1) != venue.Order("buy", Decimal(1))
    assert venue.Stop("sell", trigger=2400) != venue.Stop("sell", trigger=Decimal(2400))
    assert len({venue.Order("buy", 1), venue.Order("buy", "1"), venue.Order("buy", 1.0)}) == 2
