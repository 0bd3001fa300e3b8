"""Runs streamed from a tick file: the same outcome as over the list, the
series ending at the reader's first error, and damaged files that end in a
result or one of the documented errors, never in a crash."""

import random
import re
import struct
import zlib

import pytest

import halvorn

HEADER = struct.Struct("<4sHHQQII")
SCALE = halvorn.CASH_SCALE


def series(n, seed=3):
    rng = random.Random(seed)
    price = 600_000
    out = []
    for i in range(n):
        price += rng.randint(-3, 3)
        out.append(halvorn.Tick(1_000 + i, price, high=price + rng.randint(0, 2),
                                low=price - rng.randint(0, 2), bid=price - 1, ask=price + 1,
                                volume=5 * i))
    return out


class Swinger:
    """Trades on every fifth tick, alternating sides, with a limit and a
    market order, so that a run has fills of every kind."""

    name = "swinger"

    def __init__(self):
        self.n = 0

    def orders(self, last, position):
        self.n += 1
        if self.n % 5:
            return None
        if position <= 0:
            return [halvorn.Order("buy", 3), halvorn.Order("sell", 1, price=last + 2)]
        return [halvorn.Order("sell", position + 2), halvorn.Order("buy", 1, price=last - 2)]

    def on_tick(self, ctx):
        return self.orders(ctx.last, ctx.position)

    def on_batch(self, ticks):
        out = None
        for t in ticks:
            out = self.orders(t.last, self.position) or out
        return out


def summary(r):
    return (r.strategy, r.ticks, r.fills, r.liquidations, r.final_equity, r.min_equity,
            r.fees_paid, r.funding_paid, r.fill_prices, r.equity_curve)


@pytest.fixture
def saved(tmp_path):
    ticks = series(20_000)
    path = str(tmp_path / "s.hvtk")
    halvorn.save_ticks(path, ticks)
    return ticks, halvorn.load_ticks(path)


class TestSameAsTheList:
    @pytest.mark.parametrize("batch", [1, 7, 4096])
    def test_file_and_list_runs_agree(self, saved, batch):
        ticks, source = saved
        a = halvorn.run_backtest(Swinger(), ticks, 1_000, batch=batch, equity_every=97)
        b = halvorn.run_backtest(Swinger(), source, 1_000, batch=batch, equity_every=97)
        assert summary(a) == summary(b)
        assert a.fills >= (50 if batch < 100 else 4)
        # The same source twice: every run opens its own reader.
        c = halvorn.run_backtest(Swinger(), source, 1_000, batch=batch, equity_every=97)
        assert summary(c) == summary(b)

    def test_compare_modes_over_a_file(self, saved):
        ticks, source = saved
        assert repr(halvorn.compare_modes(Swinger, source, 1_000, 16)) == repr(
            halvorn.compare_modes(Swinger, ticks, 1_000, 16))

    def test_empty_file(self, tmp_path):
        path = str(tmp_path / "e.hvtk")
        halvorn.save_ticks(path, [])
        r = halvorn.run_backtest(Swinger(), halvorn.load_ticks(path), 5)
        assert (r.ticks, r.fills, r.final_equity) == (0, 0, 5 * SCALE)

    def test_lookahead_check_refuses_a_source(self, saved):
        with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
            halvorn.lookahead_check(lambda ticks: Swinger(), saved[1], 1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def rewrite(path, mutate):
    data = bytearray(read(path))
    mutate(data)
    with open(path, "wb") as f:
        f.write(bytes(data))


class TestReaderErrorsEndTheSeries:
    def test_header_only_file_claiming_a_million_ticks(self, tmp_path):
        path = str(tmp_path / "h.hvtk")
        with open(path, "wb") as f:
            f.write(HEADER.pack(b"HVTK", 2, 0, 1_000_000, 1, 0, 0))
        source = halvorn.load_ticks(path)
        assert (source.count, len(source)) == (1_000_000, 1_000_000)
        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Swinger(), source, 1)
        assert str(info.value) == ("the tick file stopped the run after 0 ticks: truncated: "
                                   "needed 64000032 bytes, 32 available")

    def test_damage_in_the_second_block_stops_after_the_first(self, tmp_path):
        path = str(tmp_path / "c.hvtk")
        halvorn.save_ticks(path, series(9_000))
        rewrite(path, lambda d: d.__setitem__(32 + 64 * 8_500 + 16, d[32 + 64 * 8_500 + 16] ^ 1))
        source = halvorn.load_ticks(path)
        seen = []

        class Counts:
            def on_tick(self, ctx):
                seen.append(ctx.tick.exch_ts)

        with pytest.raises(ValueError, match=r"^the tick file stopped the run after 8192 ticks: "
                                             r"checksum mismatch: expected 0x[0-9a-f]{8}, "
                                             r"computed 0x[0-9a-f]{8}$"):
            halvorn.run_backtest(Counts(), source, 1)
        assert len(seen) == 8_192

    def test_a_series_going_backwards(self, tmp_path):
        ticks = [halvorn.Tick(t, 100) for t in (5, 5, 4, 9)]
        path = str(tmp_path / "b.hvtk")
        halvorn.save_ticks(path, ticks)
        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Swinger(), halvorn.load_ticks(path), 1, batch=2)
        assert str(info.value) == ("the tick file stopped the run after 2 ticks: tick 2 goes "
                                   "backwards: previous exchange time 5, found 4")

    def test_file_removed_after_loading_fails_before_the_strategy_runs(self, tmp_path):
        path = tmp_path / "gone.hvtk"
        halvorn.save_ticks(str(path), series(10))
        source = halvorn.load_ticks(str(path))
        path.unlink()
        called = []

        class Never:
            def on_tick(self, ctx):
                called.append(1)

        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Never(), source, 1)
        assert str(info.value) == f"{path}: truncated: needed 32 bytes, 0 available"
        assert called == []

    def test_a_strategy_failure_takes_precedence(self, tmp_path):
        path = str(tmp_path / "t.hvtk")
        halvorn.save_ticks(path, series(9_000))  # the first block is whole, the second short
        rewrite(path, lambda d: d.__delitem__(slice(len(d) - 10, None)))

        class Fails:
            def on_tick(self, ctx):
                raise RuntimeError("boom")

        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Fails(), halvorn.load_ticks(path), 1)
        assert str(info.value) == "the strategy failed during the run: RuntimeError: boom"


RUN_ERRORS = re.compile(
    r"^(the tick file stopped the run after \d+ ticks: )?("
    r"truncated: needed \d+ bytes, \d+ available|"
    r"not a tick file: magic 0x[0-9a-f]{8}|"
    r"unknown tick file version \d+|"
    r"checksum mismatch: expected 0x[0-9a-f]{8}, computed 0x[0-9a-f]{8}|"
    r"tick \d+ goes backwards: previous exchange time -?\d+, found -?\d+)$")


def test_fuzz_runs_over_damaged_files(tmp_path):
    """Seeded: truncations, bit flips, random bytes, rewritten headers."""
    rng = random.Random(20261208)
    good = str(tmp_path / "good.hvtk")
    halvorn.save_ticks(good, series(300))
    base = read(good)
    path = str(tmp_path / "fuzz.hvtk")
    outcomes = {"result": 0, "open": 0, "stopped": 0}
    for case in range(3_000):
        data = bytearray(base)
        kind = case % 5
        if kind == 0:
            del data[rng.randrange(len(data) + 1):]
        elif kind == 1:
            for _ in range(rng.randint(1, 4)):
                i = rng.randrange(len(data))
                data[i] ^= 1 << rng.randrange(8)
        elif kind == 2:
            data = bytearray(rng.randbytes(rng.randrange(0, 400)))
            if rng.random() < 0.5 and len(data) >= 8:
                data[0:6] = b"HVTK\x02\x00"
        elif kind == 3:
            count = rng.choice([0, 1, 299, 300, 301, 2**58, 2**64 - 1])
            data[8:16] = count.to_bytes(8, "little")
            if rng.random() < 0.5:
                data[24:28] = zlib.crc32(bytes(data[32:32 + 64 * min(count, 300)])).to_bytes(4, "little")
        else:
            i = 32 + 64 * rng.randrange(300)
            data[i:i + 8] = rng.randrange(-(2**63), 2**63).to_bytes(8, "little", signed=True)
            data[24:28] = zlib.crc32(bytes(data[32:])).to_bytes(4, "little")
        with open(path, "wb") as f:
            f.write(bytes(data))
        try:
            source = halvorn.load_ticks(path)
        except ValueError as e:
            assert str(e).startswith(path + ": ")
            assert RUN_ERRORS.match(str(e)[len(path) + 2:]), str(e)
            outcomes["open"] += 1
            continue
        try:
            r = halvorn.run_backtest(Swinger(), source, 1_000, batch=1 + case % 3)
        except ValueError as e:
            assert RUN_ERRORS.match(str(e)), str(e)
            outcomes["stopped"] += 1
        else:
            assert r.ticks <= source.count
            outcomes["result"] += 1
    assert all(v > 100 for v in outcomes.values()), outcomes
