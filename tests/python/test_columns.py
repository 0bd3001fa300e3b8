"""Columnar batches: on_columns(batch) sees exactly what on_batch(ticks) sees,
as int64 columns read in place, valid only during the call."""

import random

import numpy as np
import pytest

import halvorn
from halvorn import venue

FIELDS = ("exch_ts", "local_ts", "last", "high", "low", "bid", "ask", "volume")


def walk(seed, n):
    rng = random.Random(seed)
    price, volume, out = 600_000, 0, []
    for i in range(n):
        price += rng.randint(-30, 30)
        volume += rng.randint(0, 5)
        out.append(halvorn.Tick(1_000 * i, price, local_ts=1_000 * i + 3, high=price + 9,
                                low=price - 9, bid=price - 1, ask=price + 1, volume=volume))
    return out


class Crossing:
    """A moving-average crossover decided once per batch, written twice:
    over a list of Tick and over columns.  Both keep the same state."""

    def __init__(self):
        self.fast = self.slow = None
        self.seen = []

    def decide(self, prices, last, position):
        for p in prices:
            self.fast = p if self.fast is None else self.fast + (p - self.fast) // 4
            self.slow = p if self.slow is None else self.slow + (p - self.slow) // 32
        if self.fast > self.slow and position <= 0:
            return [halvorn.Order("buy", 3 + (position < 0) * -position)]
        if self.fast < self.slow and position >= 0:
            return [halvorn.Order("sell", 3 + position, price=last - 2)]
        return None


class OverLists(Crossing):
    def on_batch(self, ticks):
        self.seen.append([[getattr(t, f) for t in ticks] for f in FIELDS])
        return self.decide([t.last for t in ticks], self.last, self.position)


class OverColumns(Crossing):
    def on_columns(self, batch):
        columns = [np.asarray(getattr(batch, f)) for f in FIELDS]
        assert all(c.dtype == np.int64 and len(c) == len(batch) for c in columns)
        self.seen.append([c.tolist() for c in columns])
        return self.decide(columns[2].tolist(), self.last, self.position)


def summary(r):
    return (r.ticks, list(np.asarray(r.fills).tolist()), r.equity_curve, r.final_equity,
            r.min_equity, r.fees_paid)


@pytest.mark.parametrize("batch", [2, 7, 4_096, 5_000, 8_192])
def test_columns_and_lists_run_the_same(tmp_path, batch):
    ticks = walk(batch, max(30_000, 10 * batch))
    path = str(tmp_path / "walk.hvtk")
    halvorn.save_ticks(path, ticks)
    v = venue.Venue(taker_fee=500_000, maker_fee=-50_000)
    for series in (ticks, halvorn.load_ticks(path)):
        a, b = OverLists(), OverColumns()
        ra = venue.run(a, series, 1_000, venue=v, batch=batch, equity_every=100)
        rb = venue.run(b, series, 1_000, venue=v, batch=batch, equity_every=100)
        assert summary(ra) == summary(rb)
        assert a.seen == b.seen and len(b.seen) == len(ticks) // batch
    assert len(ra.fills) > 2


class EveryTick(Crossing):
    """The same decisions, made by a strategy shown every tick that gathers
    its own batches: the run steps the account through each tick."""

    def __init__(self, batch):
        super().__init__()
        self.batch, self.held = batch, []

    def on_tick(self, ctx):
        self.held.append(ctx.tick.last)
        if len(self.held) < self.batch:
            return None
        prices, self.held = self.held, []
        return self.decide(prices, ctx.last, ctx.position)


@pytest.mark.parametrize("track_margin", [False, True])
def test_ticks_between_decisions_are_marked_as_every_tick_would_be(tmp_path, track_margin):
    # Between decisions a batched run marks what it holds in bulk; with
    # little cash, funding every thousand ticks and brackets that jump, it
    # must still settle and liquidate on the very ticks a run shown every
    # tick does, and report the same margin, excursion and exposure.
    ticks = walk(11, 60_000)
    path = str(tmp_path / "walk.hvtk")
    halvorn.save_ticks(path, ticks)
    v = venue.Venue(taker_fee=500_000, track_margin=track_margin,
                    funding=[venue.FundingRate(time=t, rate=300_000 if t % 3 else -500_000, price=600_000)
                             for t in range(1_000_000, 60_000_000, 1_000_000)],
                    margin_tiers=[venue.Bracket(up_to=17_950_000_000, rate=2_000_000, amount=0),
                                  venue.Bracket(up_to=18_050_000_000, rate=5_000_000, amount=0),
                                  venue.Bracket(up_to=2**63 - 1, rate=7_000_000, amount=0)])

    def outcome(r):
        return (summary(r), r.liquidations, r.funding_paid, r.max_adverse, r.exposed_ticks,
                r.equity_times, r.margin)

    liquidated = 0
    for batch in (16, 500):
        for series in (ticks, halvorn.load_ticks(path)):
            stepped = venue.run(EveryTick(batch), series, 10, venue=v, equity_every=7)
            bulk = venue.run(OverColumns(), series, 10, venue=v, batch=batch, equity_every=7)
            assert outcome(bulk) == outcome(stepped)
            assert bulk.funding_paid != 0 and bulk.exposed_ticks > 3_000
            liquidated += len(bulk.liquidations)
    assert liquidated > 0


def test_batches_read_in_place_where_they_lie_together(tmp_path):
    class Strides:
        def __init__(self):
            self.strides = []

        def on_columns(self, batch):
            self.strides.append(np.asarray(batch.last).strides[0])

    ticks = walk(1, 3 * 8_192)
    path = str(tmp_path / "walk.hvtk")
    halvorn.save_ticks(path, ticks)

    def strides(series, batch):
        s = Strides()
        venue.run(s, series, 1_000, batch=batch)
        return s.strides

    # A series in memory lies together: every batch is a view of the
    # records, 64 bytes apart.  In a file, a batch inside one block of 8_192
    # records is too; one across two blocks is copied by column.
    assert strides(ticks, 5_000) == [64] * 4
    assert strides(halvorn.load_ticks(path), 4_096) == [64] * 6
    assert strides(halvorn.load_ticks(path), 5_000) == [64, 8, 64, 8]


def test_a_batch_is_valid_only_during_its_call():
    kept, objects = [], []

    class Keeps:
        def on_columns(self, batch):
            objects.append(batch)
            kept.append(batch.last)

    venue.run(Keeps(), walk(2, 40), 1_000, batch=10)
    assert len(objects) == 4 and len({id(b) for b in objects}) == 4, "a kept batch is not reused"
    with pytest.raises(ValueError, match="valid only during the on_columns call"):
        len(objects[0])
    with pytest.raises(ValueError, match="valid only during the on_columns call"):
        objects[-1].last
    with pytest.raises(BufferError, match="valid only during the on_columns call"):
        memoryview(kept[0])
    with pytest.raises(ValueError, match="valid only during the on_columns call"):
        np.asarray(kept[0])
    assert repr(objects[0]) == "TickBatch(no longer valid)"


def test_a_view_kept_past_the_call_fails_the_run_instead_of_going_stale():
    class KeepsAnArray:
        def on_columns(self, batch):
            self.prices = np.asarray(batch.last)

    with pytest.raises(ValueError, match="on_columns kept a view of a batch column past the call"):
        venue.run(KeepsAnArray(), walk(3, 100), 1_000, batch=10)


def test_a_batch_object_is_reused_while_nothing_keeps_it():
    seen = []

    class Counts:
        def on_columns(self, batch):
            seen.append((id(batch), len(batch), batch.exch_ts[0]))

    venue.run(Counts(), walk(4, 50), 1_000, batch=10)
    assert len({i for i, _, _ in seen}) == 1
    assert [start for _, _, start in seen] == [0, 10_000, 20_000, 30_000, 40_000]


def test_the_last_ticks_are_delivered_only_when_flushed():
    lengths = []

    class Lengths:
        def on_columns(self, batch):
            lengths.append(len(batch))
            return [halvorn.Order("buy", 1)]

        def on_batch(self, ticks):
            lengths.append(len(ticks))
            return [halvorn.Order("buy", 1)]

    r = venue.run(Lengths(), walk(5, 25), 1_000, batch=10)
    assert lengths == [10, 10] and len(r.fills) == 2
    lengths.clear()
    r = venue.run(Lengths(), walk(5, 25), 1_000, batch=10, flush=True)
    # The flushed batch's order has no later tick to be placed on.
    assert lengths == [10, 10, 5] and len(r.fills) == 2
    lengths.clear()
    venue.run(Lengths(), walk(5, 25), 1_000, batch=100, flush=True)
    assert lengths == [25]

    class OnlyLists:
        def on_batch(self, ticks):
            lengths.append(len(ticks))

    lengths.clear()
    venue.run(OnlyLists(), walk(5, 25), 1_000, batch=10, flush=True)
    assert lengths == [10, 10, 5]


def test_a_strategy_needs_one_of_the_batch_methods():
    class Neither:
        def on_tick(self, ctx):
            return None

    with pytest.raises(TypeError, match=r"batch=4 must implement on_batch\(\) or on_columns\(\)"):
        venue.run(Neither(), walk(6, 8), 1_000, batch=4)
