"""halvorn.data.between: a tick or mark file narrowed to a stretch of exchange
time reads only its own blocks and runs exactly as the same stretch filtered
out of the whole series does; lists and columns narrow the same way."""

import concurrent.futures as cf
import os
import pickle
import random

import pytest

import halvorn
from halvorn import data, sweep, venue

BLOCK = 8192
RECORD = 64


def series(n, seed=3):
    """Ticks a second apart with runs of equal times, so that stretches start
    and end on ties; the price wanders."""
    rng = random.Random(seed)
    ticks, price, t = [], 600_000, 1_700_000_000 * 10**9
    for i in range(n):
        if rng.random() < 0.6:
            t += 10**9
        price += rng.choice((-2, -1, 0, 1, 2))
        ticks.append(halvorn.Tick(exch_ts=t, last=price, bid=price - 1, ask=price + 1, volume=i))
    return ticks


class Flipper:
    """Buys on an up-tick, closes on a down-tick: trades often, holds positions
    across any cut."""

    def __init__(self):
        self.last = None

    def on_tick(self, ctx):
        orders = None
        if self.last is not None and ctx.last > self.last and ctx.position == 0:
            orders = [halvorn.Order("buy", 2)]
        elif self.last is not None and ctx.last < self.last and ctx.position > 0:
            orders = [halvorn.Order("sell", ctx.position, "close")]
        self.last = ctx.last
        return orders

    def on_batch(self, ticks):
        # Throughput mode: the account's position is written onto the object.
        if ticks[-1].last > ticks[0].last and self.position == 0:
            return [halvorn.Order("buy", 2)]
        if ticks[-1].last < ticks[0].last and self.position > 0:
            return [halvorn.Order("sell", self.position, "close")]
        return None


def run(ticks, **extra):
    result = venue.run(Flipper(), ticks, 1_000, equity_every=7, **extra)
    return (result.ticks, list(result.fills), result.equity_curve,
            result.equity_times, result.final_equity)


@pytest.fixture(scope="module")
def ticks():
    return series(3 * BLOCK + 500)


@pytest.fixture(scope="module")
def source(ticks, tmp_path_factory):
    path = tmp_path_factory.mktemp("slices") / "t.hvtk"
    halvorn.save_ticks(str(path), ticks)
    return halvorn.load_ticks(str(path))


def stretches(ticks, count, seed=9):
    rng = random.Random(seed)
    first, last = ticks[0].exch_ts, ticks[-1].exch_ts
    out = [(first - 5, first), (last + 1, last + 9), (first, last + 1), (last, first)]
    for _ in range(count):
        a = rng.choice(ticks).exch_ts + rng.choice((-1, 0, 0, 1)) * 10**9
        out.append((a, a + rng.randrange(1, 4_000) * 10**9))
    return out


class TestTheSameAsAFilterOfTheWhole:
    def test_a_file_a_list_and_columns(self, ticks, source):
        numpy = pytest.importorskip("numpy")
        pandas = pytest.importorskip("pandas")
        columns = {field: numpy.array([getattr(t, field) for t in ticks], dtype=numpy.int64)
                   for field in ("exch_ts", "last", "bid", "ask", "volume")}
        frame = pandas.DataFrame(columns)
        frame["exch_ts"] = pandas.to_datetime(frame["exch_ts"], unit="ns")
        for start, end in stretches(ticks, 12):
            kept = [t for t in ticks if start <= t.exch_ts < end]
            part = data.between(source, start, end)
            assert len(part) == len(kept)
            assert part.first == next((i for i, t in enumerate(ticks) if t.exch_ts >= start),
                                      len(ticks)) or not kept
            expected = run(kept)
            assert run(part) == expected
            assert run(data.between(ticks, start, end)) == expected
            assert run(data.between(columns, start, end)) == expected
            assert run(data.between(frame, start, end)) == expected
            assert len(data.between(frame.to_records(index=False), start, end)) == len(kept)

    def test_every_run_function_takes_a_slice(self, ticks, source):
        start, end = ticks[5_000].exch_ts, ticks[7_000].exch_ts
        part = data.between(source, start, end)
        kept = [t for t in ticks if start <= t.exch_ts < end]
        by_hand = halvorn.run_backtest(Flipper(), kept, 1_000)
        assert halvorn.run_backtest(Flipper(), part, 1_000).fill_prices == by_hand.fill_prices
        compared = [halvorn.compare_modes(Flipper, t, 1_000, 64) for t in (part, kept)]
        assert [(c.compat_fills, c.batched_fills, c.equity_difference) for c in compared[:1]] == \
            [(c.compat_fills, c.batched_fills, c.equity_difference) for c in compared[1:]]
        btc = venue.Venue(instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"))
        assert venue.run(Flipper(), {"BTCUSDT": part}, 1_000, venue=btc).final_equity == \
            venue.run(Flipper(), {"BTCUSDT": kept}, 1_000, venue=btc).final_equity
        grid = {"unused": [1, 2]}
        swept = [sweep.run(lambda unused: Flipper(), grid, t, 1_000, equity_every=100,
                           executor=cf.ThreadPoolExecutor(1)) for t in (part, kept)]
        assert swept[0] == swept[1]
        # A process pool's workers get the slice, and find its records again.
        assert sweep.run(Flipper, {}, part, 1_000, equity_every=100) == \
            sweep.run(Flipper, {}, kept, 1_000, equity_every=100)

    def test_a_slice_of_a_slice_and_a_pickled_slice(self, ticks, source):
        start, end = ticks[1_000].exch_ts, ticks[9_000].exch_ts
        outer = data.between(source, start, end)
        inner = data.between(outer, ticks[500].exch_ts, ticks[2_000].exch_ts)
        assert (inner.start, inner.end) == (start, ticks[2_000].exch_ts)
        assert run(inner) == run(data.between(source, inner.start, inner.end))
        again = pickle.loads(pickle.dumps(outer))
        assert (again.path, again.first, again.stop) == (outer.path, outer.first, outer.stop)
        assert run(again) == run(outer)


def _bytes_read():
    with open("/proc/self/io") as f:
        for line in f:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    raise AssertionError("no rchar in /proc/self/io")


class TestReadsOnlyItsBlocks:
    def test_count_the_bytes_a_search_and_a_run_read(self, tmp_path):
        try:
            _bytes_read()
        except OSError:
            pytest.skip("this system does not count a process's reads")
        ticks = series(24 * BLOCK, seed=4)
        path = str(tmp_path / "big.hvtk")
        halvorn.save_ticks(path, ticks)
        source = halvorn.load_ticks(path)
        start, end = ticks[10 * BLOCK + 17].exch_ts, ticks[12 * BLOCK + 99].exch_ts
        data.between(source, start, end)  # the first call imports what it needs
        before = _bytes_read()
        part = data.between(source, start, end)
        searched = _bytes_read() - before
        # Two binary searches of 8-byte reads over 196,608 records, two
        # headers, and the instrument block that a source reads.
        assert searched <= 2 * 19 * 8 + 4 * 32 + 4096, searched
        run(part)
        before = _bytes_read()
        result = run(part)
        read = _bytes_read() - before
        records = RECORD * len(part)
        blocks = -(-len(part) // BLOCK)
        assert result[0] == len(part) and blocks == 3
        # The slice's records, once, in three blocks, and two headers.
        assert records <= read <= records + 2 * 32 + 4096, (read, records)
        assert read < 0.2 * 64 * len(ticks)


class TestRefused:
    def test_out_of_order_series_and_bad_arguments(self, ticks, source):
        backwards = list(ticks[:10]) + [ticks[0]]
        with pytest.raises(ValueError, match="tick 10 goes backwards"):
            data.between(backwards, 0, 2**62)
        with pytest.raises(TypeError, match="start must be an int"):
            data.between(source, 1.5, 2)
        with pytest.raises(TypeError, match="series must be"):
            data.between("t.hvtk", 0, 1)

    def test_a_file_changed_since_the_slice_was_made(self, ticks, tmp_path):
        path = str(tmp_path / "t.hvtk")
        halvorn.save_ticks(path, ticks[:2_000])
        part = data.between(halvorn.load_ticks(path), ticks[100].exch_ts, ticks[900].exch_ts)
        halvorn.save_ticks(path, ticks[50:2_000])
        with pytest.raises(ValueError, match="no longer the one this slice was cut from"):
            run(part)

    def test_an_order_broken_inside_a_slice_stops_the_run_where_it_is(self, ticks, tmp_path):
        path = str(tmp_path / "t.hvtk")
        broken = list(ticks[:3_000])
        # A record out of order that the binary search does not land on.
        broken[1_501] = halvorn.Tick(exch_ts=broken[0].exch_ts, last=broken[1_501].last)
        halvorn.save_ticks(path, broken)
        part = data.between(halvorn.load_ticks(path), ticks[1_000].exch_ts, ticks[2_000].exch_ts)
        with pytest.raises(ValueError, match="tick 1501 goes backwards"):
            run(part)


class TestMarks:
    def test_a_mark_slice_runs_as_the_whole_mark_file(self, ticks, source, tmp_path):
        marks = [(t.exch_ts - 10**9 // 2, t.last + 3, 0) for t in ticks[::40]]
        mark_source = data.save_marks(str(tmp_path / "m.hvmk"), marks)
        for start, end in stretches(ticks, 6, seed=2):
            part = data.between(source, start, end)
            in_force = max([i for i, m in enumerate(marks) if m[0] <= start], default=0)
            marked = data.between(mark_source, start, end)
            assert marked.first == in_force or len(marked) == 0
            assert run(part, marks=marked) == run(part, marks=mark_source)


class TestDepth:
    def test_an_l2_run_over_a_depth_slice_is_the_run_over_the_whole_file(self, ticks, source,
                                                                         tmp_path):
        # A book around the price, a snapshot every 2_000 ticks and updates
        # that move its levels in between.
        records, book_id = [], 1
        for i, t in enumerate(ticks[::5]):
            p = t.last
            if i % 400 == 0:
                records.append(data.Snapshot(book_id, [(p - 1 - k, 3 + k) for k in range(5)],
                                             [(p + 1 + k, 3 + k) for k in range(5)],
                                             time_ns=t.exch_ts - 1))
            else:
                records.append(data.Update(book_id + 1, book_id + 1, t.exch_ts - 1,
                                           [(p - 1, 2 + i % 4)], [(p + 1, 2 + i % 3)],
                                           prev_final_id=book_id))
                book_id += 1
        depth = data.save_depth(str(tmp_path / "d.hvdp"), records)
        l2 = venue.Venue(tier=venue.L2())
        for start, end in stretches(ticks, 6, seed=5):
            part = data.between(source, start, end)
            sliced = data.between(depth, start, end)
            assert sliced.first_byte <= sliced.stop_byte
            assert run(part, venue=l2, depth=sliced) == run(part, venue=l2, depth=depth)
        middle = data.between(depth, ticks[9_000].exch_ts, ticks[9_500].exch_ts)
        # It starts at the snapshot before the stretch, not at the file's start.
        assert 40 < middle.first_byte < middle.stop_byte < os.path.getsize(depth.path)
        assert pickle.loads(pickle.dumps(middle)).first_byte == middle.first_byte
