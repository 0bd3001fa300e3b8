"""Columns in and out of tick files (from_arrays, to_arrays, from_parquet),
and funding history priced from a tick file."""

import array
import io
import os
import struct
import sys

import numpy as np
import pytest

import halvorn
from halvorn import data, venue

N = 20_000  # more than two blocks of records


def series(n=N):
    rng = np.random.default_rng(5)
    exch = 1_700_000_000_000_000_000 + np.cumsum(rng.integers(0, 1000, n))
    last = 600_000 + np.cumsum(rng.integers(-3, 4, n))
    return {"exch_ts": exch, "local_ts": exch + 7, "last": last, "high": last + 2,
            "low": last - 2, "bid": last - 1, "ask": last + 1,
            "volume": np.cumsum(rng.integers(1, 9, n))}


def test_to_arrays_round_trips_from_arrays_without_a_copy(tmp_path):
    cols = series()
    source = data.from_arrays(str(tmp_path / "a.hvtk"), cols["exch_ts"], cols["last"],
                              **{k: v for k, v in cols.items() if k not in ("exch_ts", "last")},
                              instrument=42)
    assert len(source) == N and source.instrument == 42
    out = data.to_arrays(source)
    assert list(out) == list(data.FIELDS)
    first = np.asarray(out["exch_ts"]).ctypes.data
    for i, field in enumerate(data.FIELDS):
        view = out[field]
        assert view.readonly and view.format == "q" and view.strides == (64,)
        got = np.asarray(view)
        # Not a copy: every column is a field of the same interleaved records.
        assert got.ctypes.data == first + 8 * i and got.strides == (64,)
        np.testing.assert_array_equal(got, cols[field])
    # The records themselves: column i of record r is the i-th int64 of it.
    raw = (tmp_path / "a.hvtk").read_bytes()
    assert struct.unpack_from("<8q", raw, 32 + 64 * 7) == tuple(int(cols[f][7]) for f in data.FIELDS)
    # Views outlive the dict and the source; the mapping stays while one does.
    last = np.asarray(out["last"])
    del out, source
    assert int(last[-1]) == int(cols["last"][-1])
    with pytest.raises(ValueError, match="read-only"):
        last[0] = 1


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32",
                                   "uint64", ">i4"])
def test_from_arrays_reads_every_integer_dtype(tmp_path, dtype):
    values = np.arange(0, 100, dtype=dtype)
    if dtype == ">i4":
        with pytest.raises(TypeError, match="argument 'last': expected integers"):
            data.from_arrays(str(tmp_path / "a.hvtk"), np.arange(100), values)
        return
    source = data.from_arrays(str(tmp_path / "a.hvtk"), np.arange(100), values, volume=values)
    out = data.to_arrays(source)
    assert out["last"].tolist() == list(range(100)) == out["volume"].tolist()
    assert out["high"].tolist() == out["low"].tolist() == list(range(100))  # defaults


def test_from_arrays_takes_strided_and_reversed_views_array_array_and_lists(tmp_path):
    base = np.arange(300, dtype=np.int64).reshape(100, 3)
    times = np.arange(100, dtype=np.int32)
    source = data.from_arrays(
        str(tmp_path / "a.hvtk"), memoryview(times), base[:, 1],  # a strided column
        bid=base[::-1, 0], ask=array.array("l", range(100)), volume=list(range(100)),
        local_ts=np.arange(200, dtype=np.uint16)[::2])
    out = data.to_arrays(source)
    assert out["last"].tolist() == base[:, 1].tolist()
    assert out["bid"].tolist() == base[::-1, 0].tolist()
    assert out["ask"].tolist() == out["volume"].tolist() == list(range(100))
    assert out["local_ts"].tolist() == list(range(0, 200, 2))
    assert out["exch_ts"].tolist() == list(range(100))
    empty = data.from_arrays(str(tmp_path / "e.hvtk"), [], np.array([], dtype=np.int64))
    assert len(empty) == 0 and data.to_arrays(empty)["last"].tolist() == []


def test_from_arrays_refuses_what_is_not_an_exact_tick_and_keeps_the_target(tmp_path):
    target = tmp_path / "a.hvtk"
    halvorn.save_ticks(str(target), [halvorn.Tick(exch_ts=1, last=2)])
    before = target.read_bytes()
    t = np.arange(10)
    cases = [
        (TypeError, "argument 'last': expected integers .* format 'd'", (t, np.ones(10))),
        (TypeError, "argument 'last': expected a 1-D array, got 2 dimensions",
         (t, np.ones((5, 2), dtype=np.int64))),
        (OverflowError, r"argument 'last\[1\]'", (t, [1, 2**63] + [0] * 8)),
        (TypeError, r"argument 'last\[2\]'", (t, [1, 2, "3"] + [0] * 7)),
        (ValueError, "^column last has 9 values, column exch_ts has 10$", (t, t[:9])),
        (ValueError, "^column last, row 3: 9223372036854775808 does not fit",
         (t, np.array([0, 0, 0, 2**63] + [0] * 6, dtype=np.uint64))),
        (ValueError, "^row 5 goes backwards: previous exchange time 4, found 0$",
         (np.array([0, 1, 2, 3, 4, 0, 6, 7, 8, 9]), t)),
        (TypeError, "argument 'exch_ts'", ("0123", t)),
    ]
    for kind, text, (exch, last) in cases:
        with pytest.raises(kind, match=text):
            data.from_arrays(str(target), exch, last)
        assert target.read_bytes() == before
    assert os.listdir(tmp_path) == ["a.hvtk"]


def test_to_arrays_checks_the_whole_file_before_handing_anything_out(tmp_path):
    path = tmp_path / "a.hvtk"
    data.from_arrays(str(path), np.arange(10), np.arange(10))
    raw = bytearray(path.read_bytes())
    raw[32 + 64 * 9 + 16] ^= 1  # one bit of the last record's price
    path.write_bytes(raw)
    with pytest.raises(ValueError, match=r"a.hvtk: checksum mismatch: expected 0x[0-9a-f]{8}, "
                                         r"computed 0x[0-9a-f]{8}$"):
        data.to_arrays(str(path))
    halvorn.save_ticks(str(path), [halvorn.Tick(exch_ts=5, last=1), halvorn.Tick(exch_ts=4, last=1)])
    with pytest.raises(ValueError, match="tick 1 goes backwards: previous exchange time 5, found 4$"):
        data.to_arrays(str(path))
    path.write_bytes(path.read_bytes()[:-1])
    with pytest.raises(ValueError, match="truncated: needed 160 bytes, 32 available$"):
        data.to_arrays(path)
    with pytest.raises(ValueError, match="missing.hvtk: truncated: needed 32 bytes, 0 available$"):
        data.to_arrays(str(tmp_path / "missing.hvtk"))
    with pytest.raises(TypeError, match="argument 'source'"):
        data.to_arrays(3)


# --- funding ------------------------------------------------------------------------------


def funding_ticks(tmp_path):
    # Prices 100, 101, ... at 10 s, 20 s, ... (in ns).
    s = 1_000_000_000
    return data.from_arrays(str(tmp_path / "t.hvtk"), [10 * s, 20 * s, 20 * s, 30 * s],
                            [100, 101, 102, 103])


def test_funding_rates_are_exact_and_priced_at_the_last_tick_at_or_before(tmp_path):
    ticks = funding_ticks(tmp_path)
    day1 = (b"calc_time,funding_interval_hours,last_funding_rate\n"
            b"10000,8,0.00010000\n19999,8,-0.000025\n")
    day2 = b"20000,8,0.0001\n35000,8,0\n"
    rates = data.funding_from_csv([io.BytesIO(day1), io.BytesIO(day2)], ticks=ticks,
                                  time_unit="ms")
    s = 1_000_000_000
    assert rates == [venue.FundingRate(time=10 * s, rate=100_000, price=100),
                     venue.FundingRate(time=19_999_000_000, rate=-25_000, price=100),
                     venue.FundingRate(time=20 * s, rate=100_000, price=102),  # the final tick of that time
                     venue.FundingRate(time=35 * s, rate=0, price=103)]
    # And a venue takes them as they are.
    assert venue.Venue(funding=rates).funding == tuple(rates)


def test_funding_errors_name_the_rate(tmp_path):
    ticks = funding_ticks(tmp_path)
    early = io.BytesIO(b"9000,8,0.0001\n")
    with pytest.raises(ValueError) as raised:
        data.funding_from_csv(early, ticks=ticks, time_unit="ms")
    assert str(raised.value) == ("no tick at or before the funding rate at 9000000000 ns (rate "
                                 "100000 billionths, number 0 from 0)")
    inexact = io.BytesIO(b"calc_time,funding_interval_hours,last_funding_rate\n"
                         b"1700000000000,8,0.0001\n1700000028800,8,0.0000000001\n")
    inexact.name = "funding.csv"
    with pytest.raises(ValueError) as raised:
        data.funding_from_csv(inexact, ticks=ticks)
    assert str(raised.value) == ('funding.csv:3: column last_funding_rate: "0.0000000001" is not a '
                                 "whole number of billionths")
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'ticks'"):
        data.funding_from_csv(io.BytesIO(b"10000,8,0.0001\n"))  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="needs ticks="):
        data.funding_from_csv(io.BytesIO(b"10000,8,0.0001\n"), ticks=None)  # type: ignore[arg-type]


# --- Parquet ------------------------------------------------------------------------------

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")


def test_from_parquet_scales_decimals_and_text_exactly(tmp_path):
    from decimal import Decimal

    n = 3000
    prices = [Decimal(42000) + Decimal(i % 37) / 10 for i in range(n)]
    table = pa.table({
        "time": pa.array([1_700_000_000_000 + i for i in range(n)], pa.timestamp("ms")),
        "price": pa.array(prices, pa.decimal128(12, 2)),
        "amount": pa.array([f"0.{i % 9 + 1:03d}" for i in range(n)]),  # text quantities
        "bid": pa.array([int(p * 10) - 1 for p in prices], pa.int32()),  # ticks already
    })
    path = tmp_path / "t.parquet"
    pq.write_table(table, path, row_group_size=700)
    source = data.from_parquet(str(tmp_path / "p.hvtk"), path, tick_size="0.1", lot_size="0.001",
                               columns={"exch_ts": "time", "last": "price", "qty": "amount",
                                        "bid": "bid"}, batch_rows=1000)
    out = data.to_arrays(source)
    assert out["exch_ts"].tolist() == [(1_700_000_000_000 + i) * 1_000_000 for i in range(n)]
    assert out["last"].tolist() == [int(p * 10) for p in prices]
    assert out["bid"].tolist() == [int(p * 10) - 1 for p in prices]
    volume, running = [], 0
    for i in range(n):
        running += i % 9 + 1
        volume.append(running)
    assert out["volume"].tolist() == volume  # added up across batches


def test_from_parquet_refuses_narrow_floats_nulls_and_inexact_values(tmp_path):
    path = tmp_path / "t.parquet"
    target = str(tmp_path / "p.hvtk")
    pq.write_table(pa.table({"exch_ts": [1, 2, 3],
                             "last": pa.array([1.5, 2.0, 2.5], pa.float32())}), path)
    with pytest.raises(TypeError, match="column last is float: only a float64 is read"):
        data.from_parquet(target, path, tick_size="0.5", lot_size="1")
    pq.write_table(pa.table({"exch_ts": [1, 2, 3], "last": [1.5, 2.0, 2.25]}), path)
    with pytest.raises(ValueError) as raised:
        data.from_parquet(target, path, tick_size="0.5", lot_size="1")
    assert str(raised.value) == (f'{path}:3: column last: "2.25" is not a whole number of '
                                 "ticks of 0.5")
    pq.write_table(pa.table({"exch_ts": [1, 2, 3], "last": ["1.5", None, "2"]}), path)
    with pytest.raises(ValueError, match=r"t.parquet:2: column last is empty \(null\)$"):
        data.from_parquet(target, path, tick_size="0.5", lot_size="1")
    pq.write_table(pa.table({"exch_ts": [1, 2, 3], "last": ["1.5", "2", "2.25"]}), path)
    with pytest.raises(ValueError) as raised:
        data.from_parquet(target, path, tick_size="0.5", lot_size="1")
    assert str(raised.value).endswith('t.parquet:3: column last: "2.25" is not a whole number of '
                                      "ticks of 0.5")
    with pytest.raises(ValueError, match="no column 'price'"):
        data.from_parquet(target, path, tick_size="0.5", lot_size="1",
                          columns={"exch_ts": "exch_ts", "last": "price"})
    assert os.listdir(tmp_path) == ["t.parquet"]


def test_from_parquet_without_pyarrow_names_the_extra(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError) as info:
        data.from_parquet(str(tmp_path / "p.hvtk"), tmp_path / "t.parquet", tick_size="1",
                          lot_size="1")
    assert str(info.value) == ("halvorn.data.from_parquet needs pyarrow: "
                               "pip install halvorn[parquet]")
    assert isinstance(info.value.__cause__, ImportError)


@pytest.mark.parametrize("unit, nanos", [("ms", 1_000_000), ("milliseconds", 1_000_000),
                                         ("us", 1_000), ("µs", 1_000), ("microseconds", 1_000),
                                         ("ns", 1), ("nanoseconds", 1)])
def test_from_parquet_scales_integer_times_by_their_unit(tmp_path, unit, nanos):
    """An integer time column is read in time_unit, both clocks alike, and nothing else."""
    raw = [0, 7, 1_700_000_000_123, 1_700_000_000_124]
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({"exch_ts": pa.array(raw, pa.int64()),
                             "local_ts": pa.array([t + 3 for t in raw], pa.int64()),
                             "last": pa.array([5] * len(raw), pa.int64())}), path)
    out = data.to_arrays(data.from_parquet(str(tmp_path / "p.hvtk"), path, tick_size="1",
                                           lot_size="1", time_unit=unit))
    assert out["exch_ts"].tolist() == [t * nanos for t in raw]
    assert out["local_ts"].tolist() == [(t + 3) * nanos for t in raw]


def test_from_parquet_integer_times_default_to_nanoseconds(tmp_path):
    """Without time_unit an integer time column is nanoseconds, taken as it is."""
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({"exch_ts": pa.array([1, 1_700_000_000_123_456_789], pa.int64()),
                             "last": pa.array([5, 6], pa.int64())}), path)
    out = data.to_arrays(data.from_parquet(str(tmp_path / "p.hvtk"), path, tick_size="1",
                                           lot_size="1"))
    assert out["exch_ts"].tolist() == [1, 1_700_000_000_123_456_789]


@pytest.mark.parametrize("arrow_unit, nanos", [("s", 1_000_000_000), ("ms", 1_000_000),
                                               ("us", 1_000), ("ns", 1)])
@pytest.mark.parametrize("time_unit", ["ms", "ns"])
def test_from_parquet_timestamp_columns_keep_their_own_unit(tmp_path, arrow_unit, nanos,
                                                             time_unit):
    """A timestamp column is scaled by the unit it carries, whatever time_unit says."""
    raw = [0, 11, 1_700_000_123, 1_700_000_124]
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({"exch_ts": pa.array(raw, pa.timestamp(arrow_unit)),
                             "local_ts": pa.array([t + 2 for t in raw],
                                                  pa.timestamp(arrow_unit, tz="UTC")),
                             "last": pa.array([5] * len(raw), pa.int64())}), path)
    out = data.to_arrays(data.from_parquet(str(tmp_path / "p.hvtk"), path, tick_size="1",
                                           lot_size="1", time_unit=time_unit))
    assert out["exch_ts"].tolist() == [t * nanos for t in raw]
    assert out["local_ts"].tolist() == [(t + 2) * nanos for t in raw]


def test_from_parquet_rounds_bids_down_asks_up_and_quantities_down(tmp_path):
    """With round=True, on either side of zero; last has no side and goes to the
    nearest tick, the even one at a tie."""
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table({
        "exch_ts": pa.array([1, 2, 3], pa.int64()),
        "last": ["-0.2", "0.14", "0.25"],
        "bid": ["-0.15", "0.15", "-0.05"],
        "ask": ["-0.15", "0.15", "-0.05"],
        "qty": ["0.0019", "0.0011", "0.002"],
    }), path)
    out = data.to_arrays(data.from_parquet(str(tmp_path / "p.hvtk"), path, tick_size="0.1",
                                           lot_size="0.001", round=True))
    assert out["last"].tolist() == [-2, 1, 2]
    assert out["bid"].tolist() == [-2, 1, -1]
    assert out["ask"].tolist() == [-1, 2, 0]
    assert out["volume"].tolist() == [1, 2, 4]
    pq.write_table(pa.table({"exch_ts": [1], "last": ["-0.15"]}), path)
    with pytest.raises(ValueError, match='column last: "-0.15" is not a whole number of ticks'):
        data.from_parquet(str(tmp_path / "q.hvtk"), path, tick_size="0.1", lot_size="1")
