"""Orders that fill in parts (`L1(partial_fills=True)`, `L2(partial_fills=True)`):
the engine against a per-tick model of the documented rules over seeded
random ticks, depth and orders, over lists, tick files and batches; fok and
ioc apart; every part heard, counted and walked as one trip."""

import random

import pytest

import halvorn
from halvorn import data, venue

from partial_fill_model import Model, Order

BIG = 10**9  # USDT: no order is refused for the balance


def random_ticks(rng, n):
    ticks, last, volume = [], 1_000, 0
    for i in range(n):
        last = max(990, min(1_010, last + rng.choice([-2, -1, 0, 0, 0, 1, 2])))
        volume += rng.choice([0, 0, 1, 2, 3, 5, 8])
        spread = rng.choice([1, 1, 2])
        bid, ask = last - rng.choice([0, 1]), None
        ask = bid + spread
        if rng.random() < 0.15:  # a tick without a range
            high = low = 0
        else:
            high, low = last + rng.choice([0, 0, 1, 2]), last - rng.choice([0, 0, 1, 2])
        ticks.append(halvorn.Tick(exch_ts=(i + 1) * 1_000, last=last, high=high, low=low,
                                  bid=bid, ask=ask, volume=volume))
    return ticks


def random_depth(rng, ticks):
    """A snapshot before the first tick, updates continuing it, and a
    second snapshot part-way."""
    def levels(centre, buy):
        return [(centre - k if buy else centre + k, rng.randint(1, 6)) for k in range(0, 4)]

    records = [data.Snapshot(10, bids=levels(999, True), asks=levels(1_001, False), time_ns=500)]
    next_id = 11
    for i, t in enumerate(ticks):
        if rng.random() < 0.3:
            price = t.last + rng.randint(-4, 4)
            side = [(price, rng.choice([0, rng.randint(1, 9)]))]
            buy = price <= t.last
            records.append(data.Update(next_id, next_id, t.exch_ts - 100,
                                       bids=side if buy else [], asks=[] if buy else side))
            next_id += 1
        if i == len(ticks) // 2:
            records.append(data.Snapshot(next_id, bids=levels(t.bid, True),
                                         asks=levels(t.ask, False), time_ns=t.exch_ts - 50))
            next_id += 1
    return records


def random_schedule(rng, ticks, every):
    """Orders (and cancels) by the index of the tick they are placed on;
    only ticks at the end of a batch of `every` are used."""
    schedule, made = {}, 0
    for i, t in enumerate(ticks[:-1]):
        if (i + 1) % every or rng.random() < 0.5:
            continue
        orders = []
        for _ in range(rng.randint(1, 3)):
            roll = rng.random()
            tif = rng.choice(["gtc", "gtc", "gtc", "ioc", "fok"])
            buy = rng.random() < 0.5
            qty = rng.randint(1, 12)
            if roll < 0.15 and made:
                orders.append(("cancel", rng.randint(1, made)))
                continue
            made += 1
            if roll < 0.3:
                orders.append(("market", buy, None, qty, tif))
            else:
                near = t.bid if buy else t.ask
                price = near + (rng.randint(-3, 1) if buy else rng.randint(-1, 3))
                orders.append(("limit", buy, price, qty, tif))
        schedule[i] = orders
    return schedule


class Placer:
    """Places the scheduled orders, per tick or per batch, and records what
    it hears."""

    def __init__(self, schedule):
        self.schedule, self.index, self.heard, self.ends = schedule, -1, [], []

    def orders(self):
        out = []
        for entry in self.schedule.get(self.index, ()):
            if entry[0] == "cancel":
                out.append(venue.Cancel(entry[1]))
            else:
                kind, buy, price, qty, tif = entry
                out.append(venue.Order("buy" if buy else "sell", qty, price=price, tif=tif))
        return out

    def on_tick(self, ctx):
        self.index += 1
        return self.orders()

    def on_fill(self, fill):
        self.heard.append((fill.order, fill.qty, fill.remaining))

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))


class Batched(Placer):
    def on_batch(self, ticks):
        self.index += len(ticks)
        return self.orders()


def modelled(ticks, schedule, depth, l2, queue):
    model = Model(l2=l2, queue=queue)
    pending = list(depth or ())
    made = 0
    for i, t in enumerate(ticks):
        while pending and pending[0].time_ns <= t.exch_ts:
            model.depth(pending.pop(0))
        model.tick(t)
        for entry in schedule.get(i, ()):
            if entry[0] == "cancel":
                model.cancel(entry[1])
                continue
            made += 1
            kind, buy, price, qty, tif = entry
            model.submit(Order(made, buy, price, qty, tif), t.local_ts)
    return model


QUEUES = {"fixed": venue.QueueFixed(4), "share": venue.TradedShare(60), None: None}


@pytest.mark.parametrize("tier,queue", [("L1", "fixed"), ("L1", "share"), ("L1", None),
                                        ("L2", None)])
@pytest.mark.parametrize("mode", ["list", "file", "batch"])
def test_the_engine_fills_in_parts_as_the_rules_say(tmp_path, tier, queue, mode):
    parted = 0
    for seed in range(8):
        rng = random.Random(f"{tier}{queue}{seed}")
        ticks = random_ticks(rng, 160)
        every = 4 if mode == "batch" else 1
        schedule = random_schedule(rng, ticks, every)
        depth = random_depth(rng, ticks) if tier == "L2" else None
        kinds = {"queue": QUEUES[queue]} if queue else {}
        level = (venue.L2 if tier == "L2" else venue.L1)(partial_fills=True, **kinds)
        v = venue.Venue(tier=level, enforce_margin=False)
        given = ticks
        if mode == "file":
            halvorn.save_ticks(str(tmp_path / f"{seed}.hvtk"), ticks)
            given = halvorn.load_ticks(str(tmp_path / f"{seed}.hvtk"))
        strategy = Batched(schedule) if mode == "batch" else Placer(schedule)
        extra = {}
        if depth is not None:
            extra["depth"] = data.save_depth(tmp_path / f"{seed}.hvdp", depth)
        run = venue.run(strategy, given, BIG, venue=v, batch=every, **extra)
        model = modelled(ticks, schedule, depth, tier == "L2", None if queue is None else
                         ("fixed", 4) if queue == "fixed" else ("share", 60))
        got = [(f.tick, f.order, f.price, f.qty, f.remaining, f.taker) for f in run.fills]
        assert got == model.fills, f"seed {seed}"
        assert strategy.ends == model.ends, f"seed {seed}"
        assert strategy.heard == [(f[1], f[3], f[4]) for f in model.fills]
        assert list(run.fills.remaining) == [f.remaining for f in run.fills]
        parted += sum(1 for f in model.fills if f[4] > 0)
    assert parted > 10, "the runs fill orders in parts"


def quotes(*rows):
    return [halvorn.Tick(exch_ts=t, last=last, bid=bid, ask=ask, high=high, low=low,
                         volume=volume) for t, last, bid, ask, high, low, volume in rows]


class Script:
    def __init__(self, script):
        self.script, self.calls, self.ends, self.fills = script, 0, [], []

    def on_tick(self, ctx):
        self.calls += 1
        return self.script.get(self.calls - 1)

    def on_fill(self, fill):
        self.fills.append((fill.order, fill.qty, fill.remaining))

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))


class TestTimeInForce:
    """At L2 a taker takes what the displayed asks within its limit hold:
    two levels of 2 and 3 lots up to 102 for a buy of 10."""

    @staticmethod
    def depth(tmp_path):
        return data.save_depth(tmp_path / "d.hvdp",
                               [data.Snapshot(1, bids=[(99, 5)], asks=[(101, 2), (102, 3)])])

    def run(self, tmp_path, tif):
        depth = self.depth(tmp_path)
        # The ask rises above the rest once the two levels are taken.
        rows = [(1_000, 100, 99, 101, 0, 0, 0), (2_000, 100, 99, 101, 0, 0, 0),
                (3_000, 102, 102, 103, 0, 0, 0)]
        s = Script({0: [venue.Order("buy", 10, price=102, tif=tif)]})
        l2 = venue.Venue(tier=venue.L2(partial_fills=True))
        return s, venue.run(s, quotes(*rows), 10_000, venue=l2, depth=depth)

    def test_ioc_keeps_the_part_and_fok_refuses_the_whole(self, tmp_path):
        s, run = self.run(tmp_path, "ioc")
        assert [(f.qty, f.price, f.remaining) for f in run.fills] == [(5, 102, 5)]
        assert s.ends == [(1, "expired")] and run.expired == 1
        s, run = self.run(tmp_path, "fok")
        assert len(run.fills) == 0
        assert s.ends == [(1, "expired")] and run.expired == 1
        s, run = self.run(tmp_path, "gtc")
        assert [(f.qty, f.remaining) for f in run.fills] == [(5, 5)]
        assert s.ends == [] and run.expired == 0  # the rest rests at 102

    def test_with_whole_fills_the_two_are_alike(self, tmp_path):
        depth = self.depth(tmp_path)
        rows = [(1_000, 100, 99, 101, 0, 0, 0), (2_000, 100, 99, 101, 0, 0, 0)]
        for tif in ("ioc", "fok"):
            s = Script({0: [venue.Order("buy", 10, price=102, tif=tif)]})
            run = venue.run(s, quotes(*rows), 10_000, venue=venue.Venue(tier=venue.L2()),
                            depth=depth)
            assert [(f.qty, f.price) for f in run.fills] == [(10, 102)], tif
            assert s.ends == [(1, "filled")]


class TestParts:
    """A buy of 6 resting at 100, filled 2 lots a tick by the volume traded
    at its price."""

    ROWS = [(0, 101, 100, 101, 101, 101, 0)] + [
        (t, 100, 99, 100, 100, 100, 2 * t) for t in (1, 2, 3, 4)]

    def run(self, **venue_fields):
        s = Script({0: [venue.Order("buy", 6, price=100, tag="bid")]})
        v = venue.Venue(tier=venue.L1(partial_fills=True),
                        instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"), **venue_fields)
        return s, venue.run(s, quotes(*self.ROWS), 10_000, venue=v)

    def test_a_part_is_not_an_end_and_the_last_part_is(self):
        s, run = self.run()
        assert s.fills == [(1, 2, 4), (1, 2, 2), (1, 2, 0)]
        assert s.ends == [(1, "filled")]
        assert [f.tick for f in run.fills] == [1, 2, 3]
        exact = run.fills_frame(units="decimal")
        assert [str(x) for x in exact["remaining"]] == ["0.004", "0.002", "0"]
        assert run.fills_frame()["remaining"].tolist() == [0.004, 0.002, 0.0]

    def test_many_parts_make_one_round_trip(self):
        pytest.importorskip("pandas")
        from halvorn import report
        s = Script({0: [venue.Order("buy", 6, price=100)], 4: [venue.Order("sell", 6)]})
        rows = self.ROWS + [(5, 100, 99, 100, 100, 100, 10), (6, 100, 99, 100, 100, 100, 10)]
        run = venue.run(s, quotes(*rows), 10_000, venue=venue.Venue(
            tier=venue.L1(partial_fills=True), instrument=venue.Instrument("X", "1", "1")))
        trips = report.round_trips(run)
        assert len(trips) == 1 and int(trips["qty"].iloc[0]) == 6
        assert [f.remaining for f in run.fills] == [4, 2, 0, 0]

    def test_working_counts_the_order_until_its_last_part(self):
        seen = []

        class Watch(Script):
            def on_tick(self, ctx):
                seen.append((ctx.position, ctx.working))
                return super().on_tick(ctx)

        run = venue.run(Watch({0: [venue.Order("buy", 6, price=100)]}), quotes(*self.ROWS),
                        10_000, venue=venue.Venue(tier=venue.L1(partial_fills=True)))
        assert seen == [(0, 0), (2, 1), (4, 1), (6, 0), (6, 0)]
        assert len(run.fills) == 3


class TestEverywhere:
    """Parts reach compiled strategies, with what remains in their fill
    words, and the instruments of a portfolio."""

    def test_a_compiled_strategy_reads_what_remains(self):
        numba = pytest.importorskip("numba")
        np = pytest.importorskip("numpy")
        from halvorn import compiled

        @numba.njit
        def bid_once(ticks, account, fills, ends, state, orders):
            for i in range(fills.shape[0]):
                k = state[0]
                state[1 + 2 * k] = fills[i, 5]
                state[2 + 2 * k] = fills[i, compiled.REMAINING]
                state[0] = k + 1
            if account[compiled.ORDERS_MADE] == 0:
                compiled.limit(orders, 0, compiled.BUY, 100, 6)
                return 1
            return 0

        state = np.zeros(9, dtype=np.int64)
        strategy = compiled.strategy(bid_once, state=state)
        assert strategy.fill_words == compiled.FULL_FILL_WORDS == 10
        run = venue.run(strategy, quotes(*TestParts.ROWS), 10_000,
                        venue=venue.Venue(tier=venue.L1(partial_fills=True)))
        assert state.tolist() == [3, 2, 4, 2, 2, 2, 0, 0, 0]
        assert [f.remaining for f in run.fills] == [4, 2, 0]
        with pytest.raises(ValueError, match="fill_words must be 8 .* or 10"):
            venue.Compiled(strategy.address, fill_words=9)
        assert "fill_words=10" in repr(strategy)

    def test_a_portfolio_counts_an_order_working_until_its_last_part(self):
        btc = venue.Instrument("BTCUSDT", "0.1", "0.001")
        eth = venue.Instrument("ETHUSDT", "0.01", "0.001")
        rows = [(t, 100, 99, 100, 100, 100, 2 * t) for t in range(1, 5)]
        ticks = {"BTCUSDT": quotes((0, 101, 100, 101, 101, 101, 0), *rows),
                 "ETHUSDT": quotes((0, 50, 49, 51, 50, 50, 0), *[(t, 50, 49, 51, 50, 50, 0)
                                                                  for t in range(1, 5)])}
        seen = []

        class Pair:
            def on_tick(self, ctx):
                if self.symbol != "BTCUSDT":
                    return None
                seen.append(self.positions["BTCUSDT"].working)
                if len(seen) == 1:
                    return [venue.Order("buy", 6, price=100)]
                return None

        venues = {"BTCUSDT": venue.Venue(instrument=btc, tier=venue.L1(partial_fills=True)),
                  "ETHUSDT": venue.Venue(instrument=eth)}
        run = venue.run(Pair(), ticks, 10_000, venue=venues)
        assert [(f.instrument, f.qty, f.remaining) for f in run.fills] == [
            (1, 2, 4), (1, 2, 2), (1, 2, 0)]
        assert seen == [0, 1, 1, 0, 0]
