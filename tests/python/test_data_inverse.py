"""Coin-margined (inverse) contracts through halvorn.data: the archives of
such contracts convert with their kind, contract value and coin, every file
keeps them in its instrument block, a linear conversion writes the bytes it
always wrote, and a run refuses a file whose contract is not its venue's.

The amounts of these archives count USD: a trade of 1500 of a contract of
1 USD is 1500 contracts, and an order book whose amounts are USD in steps of
10 has a lot of 10 and a contract value of 1 (each counted unit is one USD).
"""

import io

import pytest

import halvorn
from halvorn import data, venue

T0_US = 1_704_067_200_000_000  # 2024-01-01, in the archives' microseconds
T0 = T0_US * 1_000
XBT = dict(tick_size="0.5", lot_size="1", symbol="XBTUSD", kind="inverse", contract_value="1",
           settle="XBT")

TRADES = ("exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n"
          f"ex,XBTUSD,{T0_US},{T0_US + 150},t1,buy,42000.5,1500\n"
          f"ex,XBTUSD,{T0_US + 2_000},{T0_US + 2_150},t2,sell,41999.0,200\n").encode()
QUOTES = ("exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount\n"
          f"ex,XBTUSD,{T0_US + 1_000},{T0_US + 1_100},30000,42000.5,42000.0,120000\n").encode()
# An order book whose amounts are USD in steps of 10.
DEPTH = ("exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount\n"
         f"ex,BTC-PERPETUAL,{T0_US},{T0_US + 90},true,bid,42000.0,12340\n"
         f"ex,BTC-PERPETUAL,{T0_US},{T0_US + 90},true,ask,42000.5,50\n"
         f"ex,BTC-PERPETUAL,{T0_US + 5_000},{T0_US + 5_090},false,bid,42000.0,0\n").encode()
PERPETUAL = dict(tick_size="0.5", lot_size="10", symbol="BTC-PERPETUAL", kind="inverse",
                 contract_value="1", settle="BTC")
# A coin-margined ticker: the funding time 08:00 named, then passed.
EIGHT_US = T0_US + 8 * 3_600_000_000
TICKER = ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,"
          "predicted_funding_rate,open_interest,last_price,index_price,mark_price\n"
          f"ex,BTCUSD,{EIGHT_US - 1_000_000},{EIGHT_US - 999_000},{EIGHT_US},0.0001,0.0001,"
          "1000000,42000.5,42000.1,42000.3\n"
          f"ex,BTCUSD,{EIGHT_US + 1_000_000},{EIGHT_US + 1_001_000},{EIGHT_US + 28_800_000_000},"
          "0.0002,0.0002,1000000,42010.5,42010.1,42010.2\n").encode()
SWAP = dict(tick_size="0.1", lot_size="1", symbol="BTCUSD", kind="inverse",
            contract_value="100", settle="BTC")


def defined(source, **expected):
    d = data.read_definition(source)
    assert d is not None
    return {field: getattr(d, field) for field in expected} == expected


class TestInverseArchives:
    def test_two_clock_trades_and_quotes_of_a_one_usd_contract(self, tmp_path):
        source = data.from_csv(tmp_path / "x.hvtk", io.BytesIO(TRADES), io.BytesIO(QUOTES),
                               instrument=7, **XBT)
        assert data.read_definition(source) == data.Definition(
            7, "XBTUSD", "0.5", "1", "inverse", "1", "XBT")
        columns = {k: v.tolist() for k, v in data.to_arrays(source).items()}
        # 42000.5 / 0.5 and 41999.0 / 0.5; the quote between them sets the book.
        assert columns["last"][0] == 84_001 and columns["last"][-1] == 83_998
        assert (84_000, 84_001) in zip(columns["bid"], columns["ask"])
        assert columns["volume"][-1] == 1_700  # contracts of 1 USD, not coins
        assert columns["exch_ts"][0] == T0 and columns["local_ts"][0] == T0 + 150_000

    def test_depth_of_ten_usd_lots(self, tmp_path):
        source = data.depth_from_csv(tmp_path / "d.hvdp", io.BytesIO(DEPTH),
                                     layout="two-clock depth", **PERPETUAL)
        assert defined(source, kind="inverse", contract_value="1", settle="BTC", lot_size="10")
        first, second = list(data.read_depth(source))
        assert (first.bids, first.asks) == (((84_000, 1_234),), ((84_001, 5),))
        assert second.bids == ((84_000, 0),)
        # An amount that is no whole number of lots is refused, never rounded.
        odd = DEPTH.replace(b",50\n", b",55\n")
        with pytest.raises(ValueError, match="55"):
            data.depth_from_csv(tmp_path / "e.hvdp", io.BytesIO(odd), layout="two-clock depth",
                                **PERPETUAL)

    def test_coin_margined_funding_from_the_ticker_and_from_history(self, tmp_path):
        marks = data.marks_from_csv(tmp_path / "m.hvmk", io.BytesIO(TICKER), **SWAP)
        assert defined(marks, kind="inverse", contract_value="100", settle="BTC")
        settled = data.funding_of(marks)
        assert [(r.time, r.rate, r.price) for r in settled] == [(EIGHT_US * 1_000, 100_000,
                                                                 420_003)]
        # A funding history has no prices of its own: the inverse tick file's
        # last prices settle it.
        ticks = data.from_csv(tmp_path / "x.hvtk", io.BytesIO(TRADES), **XBT)
        history = (f"calc_time,funding_interval_hours,last_funding_rate\n"
                   f"{T0_US // 1000 + 1},8,-0.000125\n").encode()
        rates = data.funding_from_csv(io.BytesIO(history), ticks=ticks)
        assert [(r.time, r.rate, r.price) for r in rates] == [(T0 + 1_000_000, -125_000, 84_001)]

    def test_a_capture_writes_the_contract_into_every_file(self, tmp_path):
        line = (b'%d {"e":"aggTrade","T":%d,"s":"BTCUSD","a":1,"p":"42000.5","q":"3",'
                b'"m":true}\n' % (T0_US + 100, T0_US // 1000))
        done = data.from_capture(io.BytesIO(line), ticks=str(tmp_path / "c.hvtk"), **SWAP)
        assert defined(done.ticks, kind="inverse", contract_value="100", settle="BTC")


class TestContractArguments:
    def test_every_writer_takes_the_contract_and_a_linear_one_writes_todays_bytes(
            self, tmp_path):
        arrays = data.from_arrays(tmp_path / "a.hvtk", [T0, T0 + 1], [84_001, 84_002],
                                  **XBT)
        assert defined(arrays, kind="inverse", contract_value="1", settle="XBT")
        plain = data.from_csv(tmp_path / "p.hvtk", io.BytesIO(TRADES), tick_size="0.5",
                              lot_size="1")
        linear = data.from_csv(tmp_path / "l.hvtk", io.BytesIO(TRADES), tick_size="0.5",
                               lot_size="1", kind="linear")
        inverse = data.from_csv(tmp_path / "i.hvtk", io.BytesIO(TRADES), tick_size="0.5",
                                lot_size="1", kind="inverse", contract_value="1", settle="XBT")
        plain_bytes = (tmp_path / "p.hvtk").read_bytes()
        assert (tmp_path / "l.hvtk").read_bytes() == plain_bytes
        assert data.read_definition(linear) == data.Definition(1, "", "0.5", "1")
        # The same records; only the block after them says more, as version 2.
        inverse_bytes = (tmp_path / "i.hvtk").read_bytes()
        records = 32 + 64 * plain.count
        assert inverse_bytes[:records] == plain_bytes[:records]
        assert plain_bytes[records + 4] == 1 and inverse_bytes[records + 4] == 2
        assert data.read_definition(inverse).kind == "inverse"

    @pytest.mark.parametrize("given, error, text", [
        (dict(kind="inverse"), ValueError,
         "an inverse contract needs a contract_value and a settle coin"),
        (dict(kind="inverse", contract_value="100"), ValueError,
         "an inverse contract needs a contract_value and a settle coin"),
        (dict(settle="BTC"), ValueError, "a linear contract has no contract_value or settle"),
        (dict(kind="sideways"), ValueError,
         "argument 'kind': expected \"linear\" or \"inverse\", got 'sideways'"),
        (dict(kind=1), TypeError, "argument 'kind': expected str or None, got int"),
        (dict(kind="inverse", contract_value=100, settle="BTC"), TypeError,
         "argument 'contract_value': expected the USD value of one contract as decimal text"),
        (dict(kind="inverse", contract_value="0", settle="BTC"), ValueError,
         "contract_value \"0\" is not a positive decimal number"),
        (dict(kind="inverse", contract_value="100", settle=b"BTC"), TypeError,
         "argument 'settle': expected str or None, got bytes"),
        (dict(kind="inverse", contract_value="100", settle="B" * 17), ValueError,
         "the settle coin is not 1 to 16 UTF-8 bytes"),
    ])
    def test_a_contract_a_file_cannot_hold_is_refused_naming_the_field(self, tmp_path, given,
                                                                       error, text):
        for convert in (
                lambda: data.from_csv(tmp_path / "t.hvtk", io.BytesIO(TRADES), tick_size="0.5",
                                      lot_size="1", **given),
                lambda: data.from_arrays(tmp_path / "a.hvtk", [T0], [5], tick_size="0.5",
                                         lot_size="1", **given),
                lambda: data.marks_from_csv(tmp_path / "m.hvmk", io.BytesIO(TICKER),
                                            tick_size="0.1", lot_size="1", **given)):
            with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
                convert()
        assert not list(tmp_path.iterdir()), "nothing is written"

    def test_a_kind_without_sizes_and_one_against_the_instrument_are_refused(self, tmp_path):
        with pytest.raises(ValueError, match="argument 'kind': a contract's kind is written "
                           "with the instrument's sizes"):
            data.from_arrays(tmp_path / "a.hvtk", [T0], [5], kind="inverse",
                             contract_value="1", settle="XBT")
        btc = venue.Instrument("BTCUSD", "0.1", "1")
        with pytest.raises(ValueError, match="argument 'kind': 'inverse' is not the "
                           "instrument's kind 'linear'; leave it out"):
            data.from_csv(tmp_path / "t.hvtk", io.BytesIO(TRADES), instrument=btc,
                          kind="inverse")
        with pytest.raises(ValueError, match="argument 'settle': 'BTC' is not the instrument's"):
            data.from_csv(tmp_path / "t.hvtk", io.BytesIO(TRADES), instrument=btc, settle="BTC")


class Idle:
    def on_tick(self, ctx):
        return None


class TestRunsMeetInverseFiles:
    def test_an_inverse_file_is_refused_by_a_linear_venue_of_the_same_sizes(self, tmp_path):
        ticks = data.from_csv(tmp_path / "x.hvtk", io.BytesIO(TRADES), **XBT)
        linear = venue.Instrument("XBTUSD", "0.5", "1")
        with pytest.raises(ValueError, match="the tick file .*x.hvtk' was converted for .*: the "
                           "file's contract is inverse, 1 USD a contract, settled in XBT, and "
                           "the venue's is linear"):
            venue.run(Idle(), ticks, 100_000, venue=venue.Venue(instrument=linear))
        with pytest.raises(ValueError, match="whose contract is inverse, 1 USD a contract, "
                           "settled in XBT, and the venue was given no instrument"):
            venue.run(Idle(), ticks, 100_000)

    def test_an_inverse_mark_file_is_refused_beside_linear_ticks(self, tmp_path):
        marks = data.marks_from_csv(tmp_path / "m.hvmk", io.BytesIO(TICKER), **SWAP)
        linear = venue.Instrument("BTCUSD", "0.1", "1")
        ticks = [halvorn.Tick(EIGHT_US * 1_000 + i, 420_000) for i in range(3)]
        with pytest.raises(ValueError, match="the mark file .*m.hvmk' was converted for .*the "
                           "file's contract is inverse, 100 USD a contract"):
            venue.run(Idle(), ticks, 100_000, venue=venue.Venue(instrument=linear), marks=marks)
        # Ticks without a definition and a venue without an instrument: the
        # mark file alone says the contract is inverse, and is not run as linear.
        with pytest.raises(ValueError, match="the mark file .*m.hvmk' was converted for .*whose "
                           "contract is inverse, 100 USD a contract, settled in BTC, and the "
                           "venue was given no instrument"):
            venue.run(Idle(), ticks, 100_000, marks=marks)
        depth = data.depth_from_csv(tmp_path / "d.hvdp", io.BytesIO(DEPTH),
                                    layout="two-clock depth", **PERPETUAL)
        with pytest.raises(ValueError, match="the depth file .*d.hvdp' was converted for .*whose "
                           "contract is inverse, 1 USD a contract, settled in BTC"):
            venue.run(Idle(), ticks, 100_000, venue=venue.Venue(tier=venue.L2()), depth=depth)
