"""Recorded depth from Python: L2 runs over depth files end to end, the merge
of depth with ticks, agreement with L1 where the book never matters, and
damaged files during a run."""

import os
import random

import pytest

import halvorn
from halvorn import data, venue

L2 = venue.Venue(tier=venue.L2())


class Script:
    """Returns scripted orders by tick index (from 0)."""

    def __init__(self, script):
        self.script = script
        self.n = 0

    def on_tick(self, ctx):
        self.n += 1
        return self.script.get(self.n - 1)


def buys(*lots):
    return [halvorn.Order("buy", q) for q in lots]


def book(tmp_path, records, name="book.hvdp", **kw):
    return data.save_depth(tmp_path / name, records, **kw)


def flat_ticks(times, price=100, **kw):
    return [halvorn.Tick(t, price, bid=price - 1, ask=price, **kw) for t in times]


class TestWorkedExamples:
    def test_taker_buys_in_one_tick_walk_the_book_and_the_next_tick_starts_afresh(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(100, [(99, 4)], [(100, 2), (101, 3)])])
        ticks = flat_ticks([1_000, 2_000, 3_000, 4_000])
        run = venue.run(Script({0: buys(2, 2), 2: buys(2, 2)}), ticks, 10_000, venue=L2,
                        depth=depth)
        assert run.fill_prices == [100, 101, 100, 101]
        assert (run.depth_records, run.invalid_ticks, run.tier) == (1, 0, "L2")

    def _impact_run(self, tier, depth=None):
        # 40 lots traded over a range of 10 ticks: 10 lots move by
        # trunc(sqrt(10 / 40) * 10 * 100 / 100) = 5 ticks under the impact rule.
        ticks = [halvorn.Tick(1_000, 100, bid=99, ask=100),
                 halvorn.Tick(2_000, 100, high=105, low=95, bid=99, ask=100, volume=40)]
        return venue.run(Script({0: buys(10)}), ticks, 10_000,
                         venue=venue.Venue(tier=tier), depth=depth)

    def test_a_buy_larger_than_the_book_falls_back_to_the_impact_rule(self, tmp_path):
        thin = book(tmp_path, [data.Snapshot(1, [], [(100, 2), (101, 3)])], "thin.hvdp")
        deep = book(tmp_path, [data.Snapshot(1, [], [(100, 20)])], "deep.hvdp")
        assert self._impact_run(venue.L1(impact_pct=100)).fill_prices == [105]
        assert self._impact_run(venue.L2(impact_pct=100), thin).fill_prices == [105]
        # Depth that can absorb the order prices it, impact or not.
        assert self._impact_run(venue.L2(impact_pct=100), deep).fill_prices == [100]

    def test_a_sequence_gap_drops_the_book_until_the_next_snapshot(self, tmp_path):
        depth = book(tmp_path, [
            data.Snapshot(100, [(99, 5)], [(100, 5)], time_ns=0),
            data.Update(101, 101, 1_500, [], [(101, 1)]),
            data.Update(103, 103, 2_500, [], [(102, 1)]),  # 102 is missing: the stream breaks
            data.Snapshot(200, [(99, 5)], [(103, 1), (104, 9)], time_ns=4_500),
        ])
        ticks = flat_ticks([1_000, 2_000, 3_000, 4_000, 5_000, 6_000])
        # Sent on the tick at 3_000, inside the break: it waits, is not filled
        # by the invalid tick at 4_000, and fills at 5_000 against the new
        # book's asks 103 x 1, 104 x 9.
        run = venue.run(Script({2: buys(2)}), ticks, 10_000, venue=L2, depth=depth)
        assert run.invalid_ticks == 2
        assert run.depth_records == 4
        assert run.fill_prices == [104]
        assert [f.exch_ts for f in run.fills] == [5_000]

    def test_a_run_that_keeps_the_sequence_has_no_invalid_ticks(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(100, [], [(100, 5)])] + [
            data.Update(101 + i, 101 + i, 1_000 * i + 500, [], [(110 + i, 1)]) for i in range(5)])
        run = venue.run(Script({}), flat_ticks([1_000 * i for i in range(1, 7)]), 10_000,
                        venue=L2, depth=depth)
        assert (run.invalid_ticks, run.depth_records) == (0, 6)


class TestMerge:
    def test_depth_at_a_ticks_own_time_applies_before_it_and_later_depth_after(self, tmp_path):
        ticks = flat_ticks([1_000, 2_000, 3_000])

        def fill_price(delete_at):
            depth = book(tmp_path, [data.Snapshot(1, [], [(100, 2), (101, 3)]),
                                    data.Update(2, 2, delete_at, [], [(100, 0)])],
                         f"d{delete_at}.hvdp")
            return venue.run(Script({0: buys(2)}), ticks, 10_000, venue=L2,
                             depth=depth).fill_prices

        assert fill_price(2_000) == [101]  # the ask at 100 is gone when the order fills
        assert fill_price(2_001) == [100]

    def test_records_after_the_last_tick_are_never_applied(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(1, [], [(100, 2)], time_ns=500),
                                data.Update(2, 2, 9_000, [], [(100, 0)])])
        run = venue.run(Script({}), flat_ticks([1_000, 2_000]), 10_000, venue=L2, depth=depth)
        assert run.depth_records == 1

    def test_every_run_and_both_modes_read_the_file_from_its_start(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(1, [], [(100, 2), (101, 3)])])
        ticks = data.from_arrays(tmp_path / "t.hvtk", [1_000, 2_000, 3_000], [100] * 3,
                                 bid=[99] * 3, ask=[100] * 3)
        first = venue.run(Script({0: buys(2, 2)}), ticks, 10_000, venue=L2, depth=depth)
        again = venue.run(Script({0: buys(2, 2)}), ticks, 10_000, venue=L2, depth=depth)
        assert first.fill_prices == again.fill_prices == [100, 101]

        class Once:
            sent = False

            def on_tick(self, ctx):
                return self.orders()

            def on_batch(self, ticks):
                return self.orders()

            def orders(self):
                if not self.sent:
                    self.sent = True
                    return buys(2, 2)

        compared = venue.compare_modes(Once, ticks, 10_000, 2, venue=L2, depth=depth)
        assert (compared.compat_fills, compared.batched_fills) == (2, 2)
        assert compared.identical


class TestAgreesWithL1:
    """With zero latency, no queue and no impact, L2 differs from L1 only in
    pricing taker fills against the book; a book whose asks lie below every
    price and whose bids above, however deep, never moves one."""

    @staticmethod
    def ticks(n, seed):
        rng = random.Random(seed)
        out, price, volume = [], 60_000, 0
        for i in range(n):
            price += rng.choice((-2, -1, 0, 1, 2))
            volume += rng.randrange(50)
            out.append(halvorn.Tick(1_000 * (i + 1), price, high=price + rng.randrange(3),
                                    low=price - rng.randrange(3), bid=price - 1, ask=price + 1,
                                    volume=volume))
        return out

    class Trader:
        def __init__(self):
            self.rng = random.Random(7)

        def on_tick(self, ctx):
            r = self.rng.random()
            if r < 0.05:
                return [halvorn.Order(self.rng.choice(("buy", "sell")), self.rng.randrange(1, 4))]
            if r < 0.10:
                side = self.rng.choice(("buy", "sell"))
                return [halvorn.Order(side, 1, price=ctx.last + (-1 if side == "buy" else 1))]
            return None

    def test_fills_and_equity_match(self, tmp_path):
        ticks = self.ticks(3_000, seed=11)
        far = [data.Snapshot(1, [(10**9, 10**12)], [(1, 10**12)])]
        # Depth keeps flowing, at prices no order comes near.
        far += [data.Update(2 + i, 2 + i, 1_000 * i + 500, [(10**9 + i % 5, 1 + i)],
                            [(1 + i % 5, 1 + i)]) for i in range(3_000)]
        depth = book(tmp_path, far)
        l1 = venue.run(self.Trader(), ticks, 100_000, venue=venue.Venue(tier=venue.L1()))
        l2 = venue.run(self.Trader(), ticks, 100_000, venue=L2, depth=depth)
        assert len(l1.fills) > 50
        assert l2.fill_prices == l1.fill_prices
        assert [f.exch_ts for f in l2.fills] == [f.exch_ts for f in l1.fills]
        assert (l2.final_equity, l2.min_equity) == (l1.final_equity, l1.min_equity)
        assert (l2.invalid_ticks, l2.depth_records) == (0, 3_001)


class TestChecks:
    def test_depth_needs_tier_l2(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(1, [], [])])
        for tier in (venue.L0(), venue.L1()):
            with pytest.raises(ValueError, match=f"depth is read only by tier L2, and the "
                               f"venue's tier is {tier.__class__.__name__}"):
                venue.run(Script({}), [], 10_000, venue=venue.Venue(tier=tier), depth=depth)
        with pytest.raises(ValueError, match="depth is read only by tier L2, and the venue's "
                           "tier is L0"):
            venue.run(Script({}), [], 10_000, depth=depth)  # the default venue

    def test_depth_must_be_the_venues_instrument(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(1, [], [])], instrument=7)
        message = (f"the depth file '{depth.path}' is for instrument 7, and the venue trades "
                   "instrument 1")
        with pytest.raises(ValueError) as e:
            venue.run(Script({}), [], 10_000, venue=L2, depth=depth)
        assert str(e.value) == message
        run = venue.run(Script({}), [], 10_000, depth=depth,
                        venue=venue.Venue(tier=venue.L2(), instrument=7))
        assert run.ticks == 0

    def test_depth_must_be_a_depth_source(self, tmp_path):
        with pytest.raises(TypeError, match=r"argument 'depth': expected a DepthSource "
                           r"\(halvorn.data.load_depth\), got str"):
            venue.run(Script({}), [], 10_000, venue=L2, depth=str(tmp_path / "x.hvdp"))
        with pytest.raises(TypeError, match="argument 'depth'"):
            venue.compare_modes(lambda: Script({}), [], 10_000, 2, venue=L2, depth=1)

    def test_a_file_gone_before_the_run_is_raised_before_any_tick(self, tmp_path):
        depth = book(tmp_path, [data.Snapshot(1, [], [])])
        os.remove(depth.path)
        strategy = Script({})
        with pytest.raises(ValueError) as e:
            venue.run(strategy, flat_ticks([1_000]), 10_000, venue=L2, depth=depth)
        assert str(e.value) == f"{depth.path}: depth file truncated: needed 40 bytes, 0 available"
        assert strategy.n == 0


class TestDamagedMidRun:
    """Records of 48 + 16 bytes, one per nanosecond from 1, read in blocks of
    1 MiB: the 16384 of the first block are handed out before the second and
    last is read and found damaged."""

    N = 30_000
    BEFORE = (1 << 20) // 64

    def damaged(self, tmp_path, how):
        records = [data.Snapshot(0, [], [(100, 5)], time_ns=1)]
        records += [data.Update(i, i, i + 1, [(90, i)], []) for i in range(1, self.N)]
        depth = book(tmp_path, records)
        size = os.path.getsize(depth.path)
        with open(depth.path, "r+b") as f:
            if how == "flip":
                f.seek(size - 1)
                last = f.read(1)
                f.seek(size - 1)
                f.write(bytes([last[0] ^ 1]))
            else:
                f.truncate(size - 100)
        return depth, size

    @pytest.mark.parametrize("how", ["flip", "cut"])
    def test_the_run_stops_at_the_damage_and_raises_the_readers_text(self, tmp_path, how):
        depth, size = self.damaged(tmp_path, how)
        strategy = Script({})
        ticks = flat_ticks(range(1, self.N + 1))
        with pytest.raises(ValueError) as e:
            venue.run(strategy, ticks, 10_000, venue=L2, depth=depth)
        prefix = f"the depth file stopped the run after {self.BEFORE} ticks: "
        if how == "flip":
            assert str(e.value).startswith(prefix + "depth file checksum mismatch: expected 0x")
        else:
            assert str(e.value) == (prefix + f"depth file truncated: needed {size} bytes, "
                                    f"{40 + (1 << 20)} available")
        assert strategy.n == self.BEFORE  # no tick after the damage was shown

    def test_read_depth_hands_out_the_earlier_blocks_then_raises(self, tmp_path):
        depth, _ = self.damaged(tmp_path, "flip")
        seen = 0
        with pytest.raises(ValueError, match=f"^{depth.path}: depth file checksum mismatch"):
            for _ in data.read_depth(depth):
                seen += 1
        assert seen == self.BEFORE
        with pytest.raises(ValueError, match="checksum mismatch"):
            depth.snapshots  # noqa: B018
