"""Inputs that once gave a plausible wrong number, or a fault without a word:
each is refused, stopped where it goes wrong, or taken as what it means."""

import io
import re
import struct
import zlib

import pytest

import halvorn
from halvorn import data, venue

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

BTC = venue.Instrument("BTCUSDT", "0.01", "0.001")
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")  # the same sizes: only the symbol differs
T0 = 1_704_067_200_000_000_000


class Seen:
    """Holds what the ticks said; buys one lot on the first tick."""

    def __init__(self, buy=0):
        self.ticks, self.buy = [], buy

    def on_tick(self, ctx):
        self.ticks.append(ctx.tick)
        if self.buy and len(self.ticks) == 1:
            return [halvorn.Order("buy", self.buy)]
        return None


def run_frame(frame, instrument=BTC):
    s = Seen()
    venue.run(s, frame, 1_000, venue=venue.Venue(instrument=instrument))
    return s.ticks


class TestColumns:
    @pytest.mark.parametrize("column, values, message", [
        ("exch_ts", np.array(["2024-01-01", "2300-01-01"], "datetime64[s]"),
         "column exch_ts, row 2: 2300-01-01T00:00:00 is not a whole number of nanoseconds "
         "within the times a tick holds"),
        ("exch_ts", np.array(["2024-01-01", "NaT"], "datetime64[ns]"),
         "column exch_ts, row 2: NaT is not a time"),
        ("exch_ts", np.array([0, 1_500], "datetime64[ps]"),
         "column exch_ts, row 2: .* is not a whole number of nanoseconds"),
        ("exch_ts", np.array([1, 2**63], np.uint64),
         "column exch_ts, row 2: 9223372036854775808 does not fit in a signed 64-bit integer"),
        ("last", np.array([5, 2**64 - 1], np.uint64),
         "column last, row 2: 18446744073709551615 does not fit in a signed 64-bit integer"),
    ])
    def test_what_does_not_fit_is_refused_not_wrapped(self, column, values, message):
        frame = {"exch_ts": np.array([1, 2], np.int64), "last": np.array([5, 6], np.int64)}
        frame[column] = values
        with pytest.raises(ValueError, match=message):
            run_frame(frame)

    def test_python_ints_are_ticks_whatever_the_dtype_holding_them(self):
        as_int64 = run_frame({"exch_ts": [1, 2], "last": np.array([240_050, 240_051])})
        as_objects = run_frame({"exch_ts": [1, 2],
                                "last": np.array([240_050, 240_051], dtype=object)})
        assert [t.last for t in as_objects] == [t.last for t in as_int64] == [240_050, 240_051]
        # Decimal text in the same dtype is a price, scaled by the tick.
        texts = run_frame({"exch_ts": [1, 2], "last": np.array(["2400.50", "2400.51"], object)})
        assert [t.last for t in texts] == [240_050, 240_051]
        with pytest.raises(TypeError, match="column 'last' mixes ints, which are ticks, with "
                           "prices to be scaled"):
            run_frame({"exch_ts": [1, 2], "last": np.array([240_050, "2400.51"], object)})

    def test_a_column_given_twice_is_named(self):
        frame = pd.DataFrame([[1, 5, 6], [2, 5, 6]], columns=["exch_ts", "last", "last"])
        with pytest.raises(ValueError, match="the ticks have the column 'last' twice"):
            run_frame(frame)


def eth_marks(path, instrument=ETH):
    text = ("open_time,open,high,low,close,volume,close_time,quote_volume,count,"
            "taker_buy_volume,taker_buy_quote_volume,ignore\n"
            f"1704067140000,2300,2300,2300,2300.00,0,1704067199999,0,1,0,0,0\n")
    return data.marks_from_csv(path, io.BytesIO(text.encode()), instrument=instrument)


def btc_ticks(n=5):
    return [halvorn.Tick(T0 + i * 1_000_000_000, 4_200_000 + i, bid=4_199_999 + i,
                         ask=4_200_000 + i) for i in range(n)]


class TestRecordedInstruments:
    def test_marks_of_another_symbol_are_refused_as_a_tick_file_is(self, tmp_path):
        marks = eth_marks(tmp_path / "eth.hvmk")
        with pytest.raises(ValueError, match="the mark file .*eth.hvmk' was converted for "
                           "Instrument\\('ETHUSDT', '0.01', '0.001'\\), and the venue trades "
                           "Instrument\\('BTCUSDT', '0.01', '0.001'\\)"):
            venue.run(Seen(buy=1), btc_ticks(), 100_000, venue=venue.Venue(instrument=BTC),
                      marks=marks)

    def test_depth_of_another_symbol_is_refused(self, tmp_path):
        text = ("symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,"
                "price,qty\nETHUSDT,1704067200000,1,1,1,b,snap,2300.00,1.000\n")
        depth = data.depth_from_csv(tmp_path / "eth.hvdp", io.BytesIO(text.encode()),
                                    instrument=ETH)
        with pytest.raises(ValueError, match="the depth file .*eth.hvdp' was converted for "
                           "Instrument\\('ETHUSDT'"):
            venue.run(Seen(), btc_ticks(), 100_000,
                      venue=venue.Venue(instrument=BTC, tier=venue.L2()), depth=depth)

    def test_a_portfolio_refuses_files_of_another_symbol_even_with_equal_sizes(self, tmp_path):
        eth_file = data.from_arrays(tmp_path / "eth.hvtk", [T0, T0 + 1], [230_000, 230_001],
                                    instrument=ETH)
        with pytest.raises(ValueError, match="the tick file .*eth.hvtk' was converted for "
                           "Instrument\\('ETHUSDT'.*the venue trades Instrument\\('BTCUSDT'"):
            venue.run(Seen(), {"BTCUSDT": eth_file}, 100_000,
                      venue={"BTCUSDT": venue.Venue(instrument=BTC)})
        btc_file = data.from_arrays(tmp_path / "btc.hvtk", [T0, T0 + 1], [4_200_000, 4_200_001],
                                    instrument=BTC)
        wider = venue.Instrument("ETHUSDT", "0.1", "0.001")
        with pytest.raises(ValueError, match="the mark file .* given for 'BTCUSDT' is of "
                           "Instrument\\('ETHUSDT'"):
            venue.run(Seen(), {"BTCUSDT": btc_file}, 100_000,
                      marks={"BTCUSDT": eth_marks(tmp_path / "w.hvmk", wider)})


def marks_across_blocks(path, n=20_000):
    return data.save_marks(path, [(T0 + i * 1_000_000, 4_200_000, 0) for i in range(n)])


class TestMarkFiles:
    def test_a_damaged_mark_file_stops_the_run_where_the_damage_is(self, tmp_path):
        marks = marks_across_blocks(tmp_path / "m.hvmk")
        raw = bytearray((tmp_path / "m.hvmk").read_bytes())
        raw[48 + 24 * 19_000 + 8] ^= 1  # a mark of the last block: found when it is read
        (tmp_path / "m.hvmk").write_bytes(bytes(raw))
        ticks = [halvorn.Tick(T0 + i * 1_000_000, 4_200_000) for i in range(40_000)]
        s = Seen()
        with pytest.raises(ValueError, match=r"^the mark file stopped the run after (\d+) ticks: "
                           "mark file checksum mismatch") as raised:
            venue.run(s, ticks, 100_000, marks=marks)
        stopped = int(re.search(r"after (\d+) ticks", str(raised.value))[1])
        # The last block begins with mark 16384, at the 16385th tick's time.
        assert 16_384 <= stopped == len(s.ticks) <= 16_385

    def test_a_damaged_settlement_count_is_refused_before_anything_is_allocated(self, tmp_path):
        marks = data.save_marks(tmp_path / "m.hvmk", [(1, 100, 0)],
                                settlements=[(5, 100_000, 100)])
        raw = bytearray((tmp_path / "m.hvmk").read_bytes())
        raw[32:40] = struct.pack("<Q", 2**32)  # 96 GiB of settlements, by the header
        (tmp_path / "m.hvmk").write_bytes(bytes(raw))
        with pytest.raises(ValueError, match=f"mark file truncated: needed {48 + 24 + 24 * 2**32} "
                           f"bytes, {len(raw)} available"):
            data.funding_of(marks)

    def test_a_mark_of_zero_is_refused_where_it_is_written_and_read(self, tmp_path):
        with pytest.raises(ValueError, match="mark 1 is 0, and a mark price is above 0"):
            data.save_marks(tmp_path / "z.hvmk", [(1, 100), (2, 0)])
        assert not (tmp_path / "z.hvmk").exists()
        data.save_marks(tmp_path / "p.hvmk", [(1, -5)], premium=True)  # a rate may be anything
        good = data.save_marks(tmp_path / "g.hvmk", [(T0, 4_200_000), (T0 + 2_000_000_000, 1)])
        raw = bytearray((tmp_path / "g.hvmk").read_bytes())
        raw[48 + 24 + 8:48 + 24 + 16] = struct.pack("<q", 0)
        body = bytes(raw[48:48 + 48])
        raw[24:28] = struct.pack("<I", zlib.crc32(body))
        (tmp_path / "g.hvmk").write_bytes(bytes(raw))
        with pytest.raises(ValueError, match="mark 1 is 0, and a mark price is above 0"):
            list(data.read_marks(good))
        # The merge reads a mark ahead of the ticks, so the run stops at the
        # tick before the damaged mark's time.
        with pytest.raises(ValueError, match="the mark file stopped the run after 1 ticks: mark 1 "
                           "is 0"):
            venue.run(Seen(), btc_ticks(), 100_000, marks=good)


class TestRuns:
    def test_a_fill_too_large_to_value_is_refused_not_charged_a_saturated_fee(self):
        ticks = [halvorn.Tick(i, 600_000, bid=599_999, ask=600_000) for i in range(3)]
        v = venue.Venue(taker_fee=500_000, instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"))
        run = venue.run(Seen(buy=10**10), ticks, 1_000, venue=v)  # worth 600 billion USDT
        assert (len(run.fills), run.fees_paid, run.rejected) == (0, 0, {"notional_too_large": 1})

    def test_a_compiled_run_refuses_flush_as_it_refuses_progress(self):
        numba = pytest.importorskip("numba")
        from halvorn import compiled

        @numba.njit
        def nothing(ticks, account, fills, ends, state, orders):
            return 0

        strategy = compiled.strategy(nothing)
        with pytest.raises(ValueError, match="^flush is not taken by a compiled strategy"):
            venue.run(strategy, btc_ticks(), 1_000, batch=4, flush=True)
        venue.run(strategy, btc_ticks(), 1_000, batch=4, flush=False)

    def test_a_decimal_too_long_to_read_is_called_so(self):
        for rounding in ("exact", "down"):
            with pytest.raises(ValueError, match='price "1.00000000000000000001" has more than 19 '
                               "significant digits"):
                BTC.to_ticks("1.00000000000000000001", rounding=rounding)


TICKER = ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,"
          "predicted_funding_rate,open_interest,last_price,index_price,mark_price")


def ticker_rows(rows):
    return io.BytesIO((TICKER + "\n" + "\n".join(
        f"ex,BTCUSDT,{t},{t + 40},{f},{r},,,,{i},{m}" for t, f, r, i, m in rows) + "\n").encode())


class TestTickerFunding:
    def test_rows_naming_a_time_just_passed_give_its_rate_priced_at_the_mark_then(self, tmp_path):
        # A recorder's rows name the funding time a few seconds after it has
        # passed, with the rate settled then; the mark in force at the time is
        # the last one before it.
        f = T0 // 1_000 + 8 * 3_600_000_000  # µs
        rows = [(f - 20_000_000, "", "", "42000.0", "42001.0"),
                (f + 3_000_000, f, "0.0001", "", "42004.0"),
                (f + 8 * 3_600_000_000 + 2_000_000, f + 8 * 3_600_000_000, "0.00012", "",
                 "42010.0"),
                (f + 8 * 3_600_000_000 + 5_000_000, "", "", "", "42011.0")]
        with pytest.warns(UserWarning, match="^marks_from_csv: 1 of 2 funding settlements were "
                          "priced at a mark older than 1 min; the oldest was 7 h 59 min old"):
            marks = data.marks_from_csv(tmp_path / "t.hvmk", ticker_rows(rows),
                                        instrument=BTC)
        ns = 1_000
        assert data.funding_of(marks) == [
            venue.FundingRate(time=f * ns, rate=100_000, price=4_200_100),
            venue.FundingRate(time=(f + 8 * 3_600_000_000) * ns, rate=120_000, price=4_200_400)]
