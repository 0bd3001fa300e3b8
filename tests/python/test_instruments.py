"""Instruments give a run's integers their meaning: exact conversions both
ways, the contract size that follows from the sizes, and tick files that say
which sizes they were converted with, so that a run values them right or
refuses them."""

import decimal
import io
import pickle

import pytest

import halvorn
from halvorn import data, venue

SCALE = halvorn.CASH_SCALE
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")


class BuyThenSell:
    """Buys `lots` on the first tick, sells them on the third."""

    def __init__(self, lots):
        self.lots = lots
        self.calls = 0

    def on_tick(self, ctx):
        self.calls += 1
        if self.calls == 1:
            return [halvorn.Order("buy", self.lots)]
        if self.calls == 3:
            return [halvorn.Order("sell", self.lots)]
        return None


def eth_csv(path, prices):
    """A trades CSV of ETH-like prices, converted with a tick of 0.01 and a lot
    of 0.001."""
    rows = "".join(f"{i},{p},1.000,{p},{1_700_000_000_000 + i * 1000},false\n"
                   for i, p in enumerate(prices))
    trades = io.BytesIO(("id,price,qty,quote_qty,time,is_buyer_maker\n" + rows).encode())
    return data.from_csv(str(path), trades, tick_size="0.01", lot_size="0.001")


class TestInstrument:
    def test_conversions_are_exact_both_ways(self):
        assert ETH.contract_size == 1_000
        assert ETH.to_ticks("2450.17") == 245_017
        assert ETH.to_ticks(decimal.Decimal("2450.10")) == 245_010
        assert ETH.to_ticks(2450.17) == 245_017, "a float is the decimal it writes"
        assert ETH.to_ticks(-3) == -300
        assert ETH.price_of(245_017) == decimal.Decimal("2450.17")
        assert str(ETH.price_of(-1)) == "-0.01"
        assert ETH.to_lots("0.311") == 311
        assert ETH.qty_of(311) == decimal.Decimal("0.311")
        # The largest count and a step of 19 digits stay exact (128 bits).
        fine = venue.Instrument("X", "0.0000000000000000009", "1e11")
        big = 2**63 - 1
        assert fine.price_of(big) == decimal.Decimal(big) * decimal.Decimal("9e-19")

    def test_values_between_steps_are_refused_or_rounded_as_asked(self):
        with pytest.raises(ValueError, match=r'price "2450.175" is not a whole number of ticks '
                                             r"of 0.01"):
            ETH.to_ticks("2450.175")
        assert ETH.to_ticks("2450.175", rounding="down") == 245_017
        assert ETH.to_ticks("2450.175", rounding="up") == 245_018
        assert ETH.to_ticks(0.1 + 0.2, rounding="down") == 30
        assert ETH.to_lots(0.1 + 0.2) == 300  # float noise around 0.3 is 0.3
        with pytest.raises(ValueError, match="not a whole number of lots"):
            ETH.to_lots(0.3005)
        for bad in ("abc", "nan", float("inf")):
            with pytest.raises(ValueError, match="not a decimal number"):
                ETH.to_ticks(bad)
        with pytest.raises(ValueError, match="beyond"):
            ETH.to_ticks("1e30")
        with pytest.raises(ValueError, match="rounding must be"):
            ETH.to_ticks("1", rounding="nearest")
        with pytest.raises(TypeError):
            ETH.to_ticks(None)

    def test_sizes_without_a_whole_cash_value_per_tick_lot_are_refused(self):
        with pytest.raises(ValueError, match=r"one tick of 0.01 on one lot of 0.0000001 is not a "
                                             r"whole number of cash units"):
            venue.Instrument("X", "0.01", "0.0000001")
        with pytest.raises(ValueError, match="more than"):
            venue.Instrument("X", "1000000", "1e12")
        for bad in ("0", "-0.1", "abc"):
            with pytest.raises(ValueError, match="positive decimal"):
                venue.Instrument("X", bad, "1")
        with pytest.raises(TypeError, match="symbol must be a str"):
            venue.Instrument(b"X", "1", "1")
        with pytest.raises(TypeError, match="tick_size must be decimal text"):
            venue.Instrument("X", None, "1")

    def test_equal_sizes_written_otherwise_are_another_instrument(self):
        assert venue.Instrument("ETHUSDT", "0.010", "0.001") != ETH, "equal texts, as files hold"


class TestVenueInstrument:
    def test_the_contract_size_follows_from_the_instrument(self):
        v = venue.Venue(instrument=ETH)
        assert v.contract_size == 1_000 and v.instrument == ETH
        assert eval(repr(v), vars(venue)) == v
        assert pickle.loads(pickle.dumps(v)) == v
        assert venue.Venue(instrument=ETH, contract_size=1_000) == v
        with pytest.raises(ValueError, match=r"contract_size 10_000 is not the 1_000 of "
                                             r"Instrument\('ETHUSDT'"):
            venue.Venue(instrument=ETH, contract_size=10_000)
        with pytest.raises(TypeError, match="an int id or an Instrument"):
            venue.Venue(instrument="ETHUSDT")

    def test_a_run_on_a_list_is_valued_in_the_instruments_units(self):
        ticks = [halvorn.Tick(i, p, bid=p - 1, ask=p + 1)
                 for i, p in enumerate((240_000, 240_000, 244_900, 244_900))]
        run = venue.run(BuyThenSell(1_000), ticks, 10_000, venue=venue.Venue(instrument=ETH))
        assert run.instrument == ETH
        # Bought at the ask of 2400.01, sold at the bid of 2448.99.
        assert run.final_equity - 10_000 * SCALE == (244_899 - 240_001) * 1_000 * 1_000


class TestTickFileInstruments:
    def test_an_eth_file_on_the_default_venue_is_valued_with_its_own_sizes(self, tmp_path):
        ticks = eth_csv(tmp_path / "eth.hvtk", ["2400.00", "2400.00", "2449.00", "2449.00"])
        run = venue.run(BuyThenSell(1_000), ticks, 10_000)
        assert run.instrument == venue.Instrument("", "0.01", "0.001")
        assert run.final_equity - 10_000 * SCALE == 49 * SCALE  # 49.00 USDT, not 490.00
        assert run.fills[0].fee == 0

    def test_sizes_that_disagree_are_refused_with_both_named(self, tmp_path):
        ticks = eth_csv(tmp_path / "eth.hvtk", ["2400.00", "2401.00"])
        btc = venue.Instrument("BTCUSDT", "0.1", "0.001")
        with pytest.raises(ValueError, match=r"converted for Instrument\('', '0.01', '0.001'\), "
                                             r"with a tick of 0.01.*the venue trades Instrument"
                                             r"\('BTCUSDT', '0.1', '0.001'\)"):
            venue.run(BuyThenSell(1), ticks, 10_000, venue=venue.Venue(instrument=btc))
        with pytest.raises(ValueError, match="contract size is 1_000.*contract_size is 10_000"):
            venue.run(BuyThenSell(1), ticks, 10_000, venue=venue.Venue(contract_size=10_000))
        # Sizes written differently are the same sizes.
        same = venue.Instrument("ETHUSDT", "0.010", "1e-3")
        assert venue.run(BuyThenSell(1), ticks, 10_000, venue=venue.Venue(instrument=same)
                         ).instrument == same

    def test_a_venue_sent_to_a_worker_still_gives_way_to_the_files_sizes(self, tmp_path):
        ticks = eth_csv(tmp_path / "eth.hvtk", ["2400.00", "2400.00", "2449.00", "2449.00"])
        copied = pickle.loads(pickle.dumps(venue.Venue(taker_fee=0)))
        assert venue.run(BuyThenSell(1_000), ticks, 10_000, venue=copied
                         ).final_equity == 10_049 * SCALE

    def test_files_without_a_definition_run_as_before(self, tmp_path):
        path = str(tmp_path / "old.hvtk")
        halvorn.save_ticks(path, [halvorn.Tick(i, 100 + i, bid=99 + i, ask=101 + i)
                                  for i in range(4)])
        run = venue.run(BuyThenSell(3), halvorn.load_ticks(path), 1_000)
        assert run.instrument is None
        assert run.final_equity == 1_000 * SCALE + (101 - 101) * 3 * 10_000

    def test_a_damaged_block_is_refused_when_the_file_is_opened(self, tmp_path):
        path = tmp_path / "eth.hvtk"
        eth_csv(path, ["2400.00", "2401.00"])
        raw = bytearray(path.read_bytes())
        raw[-1] ^= 0xFF
        path.write_bytes(bytes(raw))
        with pytest.raises(ValueError, match="instrument block at byte"):
            halvorn.load_ticks(str(path))


def frame_ticks():
    """Four ETH-like ticks as a trader's frame holds them: UTC timestamps,
    float prices."""
    pandas = pytest.importorskip("pandas")
    return pandas.DataFrame({
        "exch_ts": pandas.to_datetime(["2024-01-01 00:00:00", "2024-01-01 00:00:01",
                                       "2024-01-01 00:00:02", "2024-01-01 00:00:03"]
                                      ).tz_localize("Europe/Paris"),
        "last": [2400.0, 2400.0, 2449.0, 2449.0],
        "bid": [2399.99, 2399.99, 2448.99, 2448.99],
        "ask": [2400.01, 2400.01, 2449.01, 2449.01],
    })


class TestFramesAsTicks:
    def test_a_frame_of_floats_runs_exactly_as_its_decimals(self):
        run = venue.run(BuyThenSell(1_000), frame_ticks(), 10_000,
                        venue=venue.Venue(instrument=ETH))
        assert run.ticks == 4
        # Bought at 2400.01, sold at 2448.99, on 1 ETH.
        assert run.final_equity == 10_000 * SCALE + 4_898 * 1_000 * 1_000
        # Paris is an hour ahead of UTC in January; the order fills on the
        # tick after the one it was placed on.
        assert run.fills[0].exch_ts == 1_704_063_601 * 10**9

    def test_a_float_off_the_grid_is_refused_with_its_row_and_value(self):
        frame = frame_ticks()
        frame.loc[2, "bid"] = 2448.995
        with pytest.raises(ValueError, match=r"row 3.*2448\.995"):
            venue.run(BuyThenSell(1), frame, 10_000, venue=venue.Venue(instrument=ETH))
        with pytest.raises(TypeError, match="need an instrument"):
            venue.run(BuyThenSell(1), frame_ticks(), 10_000)

    def test_integer_columns_and_structured_arrays_are_taken_as_they_are(self):
        np = pytest.importorskip("numpy")
        columns = {"exch_ts": np.arange(4, dtype=np.int64),
                   "last": np.array([100, 100, 110, 110], dtype=np.int32),
                   "bid": np.array([99, 99, 109, 109]), "ask": np.array([101, 101, 111, 111])}
        from_dict = venue.run(BuyThenSell(2), columns, 1_000)
        ticks = [halvorn.Tick(i, p, bid=p - 1, ask=p + 1) for i, p in enumerate((100, 100, 110, 110))]
        from_list = venue.run(BuyThenSell(2), ticks, 1_000)
        assert from_dict.final_equity == from_list.final_equity
        assert list(np.asarray(from_dict.fills)["price"]) == [101, 109]
        records = np.zeros(4, dtype=[(f, "<i8") for f in halvorn.data.FIELDS])
        for i, tick in enumerate(ticks):
            records[i] = (tick.exch_ts, tick.local_ts, tick.last, tick.high, tick.low, tick.bid,
                          tick.ask, tick.volume)
        assert venue.run(BuyThenSell(2), records, 1_000).final_equity == from_list.final_equity
        with pytest.raises(ValueError, match="no tick field"):
            venue.run(BuyThenSell(2), dict(columns, price=columns["last"]), 1_000)


class TestUnitViews:
    def test_fills_and_equity_in_units(self):
        pandas = pytest.importorskip("pandas")
        run = venue.run(BuyThenSell(1_000), frame_ticks(), "10000.50",
                        venue=venue.Venue(instrument=ETH, taker_fee=venue.rate("0.0005")),
                        equity_every=1)
        fills = run.fills_frame(units="decimal")
        assert list(fills["side"]) == ["buy", "sell"]
        assert list(fills["price"]) == [decimal.Decimal("2400.01"), decimal.Decimal("2448.99")]
        assert list(fills["qty"]) == [decimal.Decimal("1.000")] * 2
        # 0.05 % of 2400.01 USDT.
        assert fills["fee"].iloc[0] == decimal.Decimal("1.20000500")
        assert str(fills.index[0]) == "2023-12-31 23:00:01+00:00"
        # What a pandas user expects by default: float64 columns.
        floats = run.fills_frame()
        assert floats["price"].tolist() == [2400.01, 2448.99]
        assert {str(floats[c].dtype) for c in ("price", "qty", "fee")} == {"float64"}
        assert run.equity_frame(units="decimal")["equity"].iloc[0] == decimal.Decimal("10000.50")
        equity = run.equity_frame()
        assert equity["equity"].iloc[0] == 10000.5 and str(equity["equity"].dtype) == "float64"
        assert isinstance(equity.index, pandas.DatetimeIndex) and str(equity.index.tz) == "UTC"
        with pytest.raises(ValueError, match="units must be"):
            run.fills_frame(units="ticks")

    def test_a_run_without_an_instrument_says_why_it_has_no_units(self):
        pytest.importorskip("pandas")
        ticks = [halvorn.Tick(i, 100, bid=99, ask=101) for i in range(3)]
        run = venue.run(BuyThenSell(1), ticks, 1_000)
        with pytest.raises(ValueError, match="no instrument definition"):
            run.fills_frame()
        assert len(run.equity_frame()) == len(run.equity_curve)
