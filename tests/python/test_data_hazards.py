"""Real data that would let a backtest mislead: float noise read as the grid
point it is, stale quotes cleared unless kept, a local clock behind the
exchange's said at conversion and at the run, trades outside their quote
counted, marks that end before the ticks said."""

import io
import math
import random
import warnings
from decimal import Decimal

import pytest

import halvorn
from halvorn import data, venue

np = pytest.importorskip("numpy")

BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
T0_US = 1_704_067_200_000_000
SECOND_US = 1_000_000


def noisy(x, ulps):
    for _ in range(abs(ulps)):
        x = math.nextafter(x, math.inf if ulps > 0 else -math.inf)
    return x


class TestFloatNoise:
    @pytest.mark.parametrize("step", ["0.1", "0.001", "0.000001", "0.25", "5", "0.0001"])
    def test_grid_values_written_as_floats_with_noise_are_their_grid_point(self, tmp_path, step):
        rng = random.Random(step)
        counts = [rng.randint(-10**11, 10**11) for _ in range(20_000)]
        # The grid point as the decimal it is, written as a float, moved by
        # up to three doubles: the error of an operation or two.
        values = [noisy(float(Decimal(c) * Decimal(step)), rng.randint(-3, 3)) for c in counts]
        source = data.from_arrays(tmp_path / "a.hvtk", np.arange(len(values)),
                                  np.array(values), tick_size=step, lot_size="1")
        assert data.to_arrays(source)["last"].tolist() == counts
        # A value a tenth of a step off the grid is off it: refused, or
        # rounded by its side.
        off = [float(Decimal(c) * Decimal(step) + Decimal(step) / 10) for c in counts[:500]]
        with pytest.raises(ValueError, match="is not a whole number of ticks"):
            data.from_arrays(tmp_path / "b.hvtk", np.arange(500), np.array(off), tick_size=step,
                             lot_size="1")
        with pytest.warns(UserWarning, match="rounded 500 of 500 bid values down"):
            down = data.from_arrays(tmp_path / "c.hvtk", np.arange(500), np.zeros(500),
                                    bid=np.array(off), tick_size=step, lot_size="1", round=True)
        assert data.to_arrays(down)["bid"].tolist() == counts[:500]

    def test_a_day_of_float64_trades_has_an_exact_volume(self, tmp_path):
        pa = pytest.importorskip("pyarrow")
        pq = pytest.importorskip("pyarrow.parquet")
        rng = random.Random(7)
        n = 86_400
        lots = [rng.randint(1, 2_000) for _ in range(n)]
        prices = [rng.randint(400_000, 440_000) for _ in range(n)]
        # As a vendor derives a quantity, from the quote quantity and the
        # price: the float lands a double or so off the quantity's.
        qty = [(lot * 0.001 * (p / 10)) / (p / 10) for lot, p in zip(lots, prices)]
        noise = sum(q != float(Decimal(lot) / 1000) for q, lot in zip(qty, lots))
        assert noise > 1_000, "the day must hold float noise to test anything"
        pq.write_table(pa.table({"exch_ts": list(range(n)), "last": [p / 10 for p in prices],
                                 "qty": qty}), tmp_path / "day.parquet")
        ticks = data.from_parquet(tmp_path / "day.hvtk", tmp_path / "day.parquet", instrument=BTC)
        volume = data.to_arrays(ticks)["volume"]
        assert volume[-1] == sum(lots)
        assert volume.tolist() == list(np.cumsum(lots))


TRADES = "id,price,qty,quote_qty,time,is_buyer_maker"
CLOCK_TRADES = "exchange,symbol,timestamp,local_timestamp,id,side,price,amount"


def stale_pair(n=400):
    """Quotes for the first minute only, trades a second apart for n seconds."""
    ms = T0_US // 1_000
    trades = [TRADES] + [f"{i},100.{i % 3},1,0,{ms + 1_000 * i},true" for i in range(n)]
    quotes = [f"{i},100.0,1,100.3,1,{ms + 1_000 * i},{ms + 1_000 * i}" for i in range(60)]
    return ("\n".join(trades) + "\n").encode(), ("\n".join(quotes) + "\n").encode()


class TestStaleQuotes:
    def test_cleared_by_default_kept_when_asked(self, tmp_path):
        trades, quotes = stale_pair()
        stale = sum(1 for i in range(400) if i - 59 > 60)  # the last quote is at 59 s
        with pytest.warns(UserWarning, match=f"^from_csv: {stale} of 401 ticks were made when the "
                          "latest quote was older than 1 min and had their bid and ask cleared; "
                          ".*; stale_quotes=\"keep\" keeps them$"):
            cleared = data.from_csv(tmp_path / "c.hvtk", io.BytesIO(trades), io.BytesIO(quotes),
                                    instrument=BTC)
        kept = data.from_csv(tmp_path / "k.hvtk", io.BytesIO(trades), io.BytesIO(quotes),
                             instrument=BTC, stale_quotes="keep")
        c = {f: np.asarray(v) for f, v in data.to_arrays(cleared).items()}
        k = {f: np.asarray(v) for f, v in data.to_arrays(kept).items()}
        assert (c["bid"][-1], c["ask"][-1], k["bid"][-1], k["ask"][-1]) == (0, 0, 1000, 1003)
        # The first trade comes before any quote in both.
        assert ((c["bid"] == 0).sum(), (k["bid"] == 0).sum()) == (stale + 1, 1)


def clock_trades(skew_us, n=300):
    rows = [CLOCK_TRADES] + [
        f"ex,BTCUSDT,{T0_US + i * SECOND_US},{T0_US + i * SECOND_US + skew_us},{i},buy,"
        f"4200{i % 10}.0,0.001" for i in range(n)]
    return io.BytesIO(("\n".join(rows) + "\n").encode())


class BuysEveryMinute:
    def __init__(self):
        self.n = 0

    def on_tick(self, ctx):
        self.n += 1
        return [halvorn.Order("buy", 1)] if self.n % 60 == 1 else None


class TestClocks:
    def test_a_capture_whose_clock_runs_behind_is_said_at_conversion_and_at_the_run(self,
                                                                                    tmp_path):
        with pytest.warns(UserWarning, match=r"^from_csv: the local clock runs behind the "
                          r"exchange's on 300 of 300 ticks, by up to 1.27 s \(local minus exchange "
                          r"time: min -1.27 s, median -1.27 s, max -1.27 s\); an L1 or L2 run "
                          "counts order latency from the local clock"):
            ticks = data.from_csv(tmp_path / "c.hvtk", clock_trades(-1_270_000), instrument=BTC)
        l1 = venue.Venue(instrument=BTC, tier=venue.L1(order_latency=venue.Fixed(1_300_000_000)))
        with pytest.warns(UserWarning, match=r"^the ticks have a local clock that runs behind "
                          r"their exchange clock, by up to 1.27 s \(300 of 300 ticks sampled from "
                          r"the file\): tier L1 counts order latency from the local clock, so "
                          "orders would arrive up to 1.27 s early"):
            venue.run(BuysEveryMinute(), ticks, 100_000, venue=l1)
        # In memory too, and said of the instrument in a portfolio.
        columns = data.to_arrays(ticks)
        frame = {name: np.asarray(columns[name]) for name in data.FIELDS}
        with pytest.warns(UserWarning, match="^the ticks of 'BTCUSDT' have a local clock"):
            venue.run(BuysEveryMinute(), {"BTCUSDT": frame}, 100_000, venue={"BTCUSDT": l1})
        # Nothing on L0, which counts no latency.
        venue.run(BuysEveryMinute(), ticks, 100_000, venue=venue.Venue(instrument=BTC))

    def test_a_clock_ahead_by_delivery_is_not_said_and_a_jump_is(self, tmp_path):
        ok = data.from_csv(tmp_path / "ok.hvtk", clock_trades(40_000), instrument=BTC)  # 40 ms late
        rows = clock_trades(40_000).getvalue().decode().splitlines()
        # The recorder stalls 5 s at row 150: its local times jump ahead.
        t, local, *rest = rows[150].split(",")[2:]
        rows[150] = ",".join(rows[150].split(",")[:3] + [str(int(local) + 5_000_000)] + rest)
        with pytest.warns(UserWarning, match="^from_csv: the local clock jumps against the "
                          "exchange's 2 times, by up to 5 s"):
            jumped = data.from_csv(tmp_path / "j.hvtk",
                                   io.BytesIO(("\n".join(rows) + "\n").encode()), instrument=BTC)
        # A run that counts latency says the jump too; the steady file says nothing.
        l1 = venue.Venue(instrument=BTC, tier=venue.L1(order_latency=venue.Fixed(1_000_000)))
        with pytest.warns(UserWarning, match=r"^the ticks have a local clock that jumps against "
                          r"their exchange clock 2 times, by up to 5 s \(in 300 ticks sampled "
                          r"from the file\): tier L1 counts order latency from the local clock"):
            venue.run(BuysEveryMinute(), jumped, 100_000, venue=l1)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            venue.run(BuysEveryMinute(), ok, 100_000, venue=l1)


class TestOutsideTheQuote:
    def test_trades_far_outside_their_quote_are_counted_with_the_first(self, tmp_path):
        rng = random.Random(3)
        ms = T0_US // 1_000
        trades, quotes, away_bp = [TRADES], [], []
        for i in range(2_000):
            bid = rng.randint(420_000, 420_100)
            quotes.append(f"{i},{bid / 10:.1f},1,{(bid + 1) / 10:.1f},1,{ms + 2 * i},{ms + 2 * i}")
            price = bid + rng.choice([0, 1, 1, -500, 900])  # 12 and 21 bp away
            trades.append(f"{i},{price / 10:.1f},0.001,0,{ms + 2 * i + 1},true")
            away_bp.append(10_000 * max(bid - price, price - bid - 1, 0) / price)
        outside = [i for i, bp in enumerate(away_bp) if bp > 10]
        named = io.BytesIO(("\n".join(trades) + "\n").encode())
        named.name = "t.csv"
        with pytest.warns(UserWarning, match=f"^from_csv: {len(outside):,} trades were priced "
                          "outside the bid and ask they carry by more than 10 bp, the farthest by "
                          f"{max(away_bp):,.1f} bp; the first is t.csv:{outside[0] + 2} "):
            data.from_csv(tmp_path / "o.hvtk", named,
                          io.BytesIO(("\n".join(quotes) + "\n").encode()), instrument=BTC)
        assert len(outside) > 500


def test_marks_that_end_before_the_ticks_are_said(tmp_path):
    t0 = T0_US * 1_000
    marks = data.save_marks(tmp_path / "m.hvmk", [(t0 + i * 10**9, 420_000) for i in range(60)])
    ticks = [halvorn.Tick(t0 + i * 10**9, 420_000) for i in range(3_600)]
    with pytest.warns(UserWarning, match=f"^the marks end at {t0 + 59 * 10**9} ns, 59 min before "
                      "the ticks do"):
        venue.run(BuysEveryMinute(), ticks, 100_000, marks=marks)
    venue.run(BuysEveryMinute(), ticks[:100], 100_000, marks=marks)  # within a minute: nothing
