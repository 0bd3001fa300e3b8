"""Every converter keeps the instrument it scaled with, and instrument_of reads
it back; float64 columns and datetimes reach a tick file exactly."""

import decimal
import io
import os
import struct
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import halvorn
from halvorn import data, venue
from halvorn.data import _native

TRADES = (b"id,price,qty,quote_qty,time,is_buyer_maker\n"
          + b"".join(b"%d,4212%d.4,0.01%d,0,%d,true\n" % (i, i % 10, i % 10, 1_700_000_000_000 + i)
                     for i in range(20)))
DEPTH = (b"symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty\n"
         + b"".join(b"ETHUSDT,%d,%d,%d,%d,b,set,2450.1%d,1.00%d\n"
                    % (1_700_000_000_000 + i, i, 10 + i, 10 + i, i % 10, i % 10) for i in range(20)))
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001", id=7)


def parquet_file(tmp_path, **columns):
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table(columns), path)
    return path


# Each converter, called with the instrument keywords it is given.
CONVERTERS = {
    "from_csv": lambda tmp, **kw: data.from_csv(tmp / "c.hvtk", io.BytesIO(TRADES), **kw),
    "depth_from_csv": lambda tmp, **kw: data.depth_from_csv(tmp / "d.hvdp", io.BytesIO(DEPTH), **kw),
    "from_parquet": lambda tmp, **kw: data.from_parquet(
        tmp / "p.hvtk", parquet_file(tmp, exch_ts=[1, 2], last=[2450.17, 2450.2], qty=[0.5, 1.0]),
        **kw),
    "from_arrays": lambda tmp, **kw: data.from_arrays(
        tmp / "a.hvtk", [1, 2], np.array([2450.17, 2450.2]), volume=np.array([0.5, 1.5]), **kw),
}


@pytest.mark.parametrize("convert", CONVERTERS.values(), ids=CONVERTERS.keys())
def test_each_converter_writes_the_definition_it_scaled_with(tmp_path, convert):
    written = convert(tmp_path, instrument=ETH)
    assert data.instrument_of(written) == ETH
    assert data.instrument_of(written.path) == ETH  # told from the magic alone
    # The same from the id, the symbol and the sizes; a size written
    # differently from the Instrument's is the same size and is accepted.
    again = convert(tmp_path, instrument=7, symbol="ETHUSDT", tick_size="0.01", lot_size="0.001")
    assert data.instrument_of(again) == ETH
    assert data.instrument_of(convert(tmp_path, instrument=ETH, tick_size="0.010")) == ETH
    unnamed = convert(tmp_path, tick_size="0.01", lot_size="0.001")
    assert data.instrument_of(unnamed) == venue.Instrument("", "0.01", "0.001")


@pytest.mark.parametrize("convert", CONVERTERS.values(), ids=CONVERTERS.keys())
def test_sizes_and_symbols_that_cannot_be_written_are_refused_first(tmp_path, convert):
    cases = [
        (dict(instrument=ETH, tick_size="0.1"),
         "argument 'tick_size': '0.1' is not the instrument's tick_size '0.01'"),
        (dict(instrument=ETH, symbol="BTCUSDT"),
         "argument 'symbol': 'BTCUSDT' is not the instrument's symbol 'ETHUSDT'"),
        (dict(tick_size="0.01", lot_size="0.001", symbol="ETH\udc80"), "the symbol is not UTF-8"),
        (dict(tick_size="0.01", lot_size="0.001", symbol="x" * 65_536),
         "the symbol is 65536 bytes, more than the 65535 a definition holds"),
        (dict(tick_size="0", lot_size="0.001"), 'tick_size "0" is not a positive decimal number'),
    ]
    for kwargs, text in cases:
        with pytest.raises(ValueError, match=f"^{text}"):
            convert(tmp_path, **kwargs)
    with pytest.raises(TypeError, match="argument 'lot_size': expected the step as decimal text"):
        convert(tmp_path, instrument=ETH, lot_size=0.001)
    assert sorted(os.listdir(tmp_path)) in ([], ["t.parquet"])  # nothing written


@pytest.mark.parametrize("name", ["from_csv", "depth_from_csv", "from_parquet"])
def test_converters_that_must_scale_say_which_sizes_to_give(tmp_path, name):
    with pytest.raises(ValueError, match=rf"^{name} needs tick_size= and lot_size= \(decimal text"
                                         r".*or instrument=venue.Instrument"):
        CONVERTERS[name](tmp_path)
    with pytest.raises(ValueError, match=f"^{name} needs lot_size= "):
        CONVERTERS[name](tmp_path, tick_size="0.01")


def test_integer_columns_without_sizes_make_the_file_they_always_made(tmp_path):
    ticks = [halvorn.Tick(exch_ts=i, last=600_000 + i, bid=599_999, ask=600_001, volume=i)
             for i in range(5)]
    halvorn.save_ticks(str(tmp_path / "old.hvtk"), ticks)
    cols = {f: [getattr(t, f) for t in ticks] for f in data.FIELDS}
    new = data.from_arrays(tmp_path / "new.hvtk", cols.pop("exch_ts"), cols.pop("last"), **cols)
    assert (tmp_path / "new.hvtk").read_bytes() == (tmp_path / "old.hvtk").read_bytes()
    assert len((tmp_path / "new.hvtk").read_bytes()) == 32 + 64 * 5  # nothing after the records
    assert data.instrument_of(new) is None
    assert data.instrument_of(data.save_depth(tmp_path / "d.hvdp", [])) is None
    run = venue.run(type("Idle", (), {"on_tick": lambda self, ctx: None})(), new, 1_000)
    assert run.ticks == 5
    with pytest.raises(ValueError, match="^argument 'symbol': a symbol is written with"):
        data.from_arrays(tmp_path / "new.hvtk", [1], [2], symbol="BTCUSDT")


def test_instrument_of_reports_damage_and_foreign_files(tmp_path):
    source = data.from_arrays(tmp_path / "a.hvtk", [1, 2], [3, 4], instrument=ETH)
    raw = bytearray((tmp_path / "a.hvtk").read_bytes())
    block = 32 + 64 * 2
    assert raw[block:block + 4] == b"HVIN"
    raw[-1] ^= 0xFF  # the last byte of the lot size, under the block's checksum
    (tmp_path / "a.hvtk").write_bytes(bytes(raw))
    with pytest.raises(ValueError, match=f"a.hvtk: instrument block at byte {block}: checksum "
                                         "mismatch: expected 0x[0-9a-f]{8}, computed"):
        data.instrument_of(source)
    (tmp_path / "x.bin").write_bytes(bytes(range(64)))
    with pytest.raises(ValueError, match="x.bin: not a tick file: magic 0x03020100$"):
        data.instrument_of(tmp_path / "x.bin")
    with pytest.raises(ValueError, match="missing.hvtk: truncated: needed 32 bytes, 0 available"):
        data.instrument_of(str(tmp_path / "missing.hvtk"))
    with pytest.raises(TypeError, match="argument 'source': expected a path, a TickSource"):
        data.instrument_of(7)
    # Sizes a file may hold, but that no Instrument takes.
    fine = data.from_arrays(tmp_path / "f.hvtk", [1], [2], tick_size="0.01", lot_size="1e-7")
    with pytest.raises(ValueError, match=r"f.hvtk: Instrument\('', '0.01', '1e-7'\): one tick "
                                         "of 0.01 on one lot of 1e-7 is not a whole number"):
        data.instrument_of(fine)


def test_the_command_line_keeps_the_symbol(tmp_path):
    (tmp_path / "t.csv").write_bytes(TRADES)
    argv = [sys.executable, "-m", "halvorn.data", "convert", str(tmp_path / "t.csv"),
            str(tmp_path / "t.hvtk"), "--tick-size", "0.01", "--lot-size", "0.001",
            "--instrument", "7", "--no-progress"]
    done = subprocess.run(argv + ["--symbol", "ETHUSDT"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert data.instrument_of(tmp_path / "t.hvtk") == ETH
    os.remove(tmp_path / "t.hvtk")
    done = subprocess.run([os.fsencode(a) for a in argv] + [b"--symbol", b"ETH\xff"],
                          capture_output=True, timeout=120)
    assert done.returncode == 2 and b"is not UTF-8" in done.stderr
    assert not (tmp_path / "t.hvtk").exists()


# --- float64 columns ----------------------------------------------------------------

STEPS = ["0.1", "0.01", "0.5", "0.25", "0.001", "5", "1e-8", "100"]


# Counts up to 10^13 on steps of at most two significant digits are decimals
# of at most 15: the ones a float64 always keeps apart, so float(text) is
# the decimal the text writes.
@settings(max_examples=300, deadline=None)
@given(st.sampled_from(STEPS), st.lists(st.integers(-10**13, 10**13), min_size=1, max_size=20),
       st.integers(1, 9))
def test_a_float_counts_as_the_decimal_it_was_made_from(step_text, counts, off):
    step = decimal.Decimal(step_text)
    texts = [str(n * step) for n in counts]
    values = np.array([float(t) for t in texts])
    got, moved = _native.scale_floats(values, step=step_text, rounding="exact", column="last",
                                      place="ticks")
    assert np.frombuffer(got, dtype=np.int64).tolist() == counts and moved == 0
    # A tenth of a step off the grid, somewhere in the column, is refused at
    # its row, or rounded against the strategy when asked.
    row = len(counts) // 2
    odd = counts[row] * step + off * step / 10
    if len(odd.normalize().as_tuple().digits) > 15:
        return
    values[row] = float(odd)
    with pytest.raises(ValueError) as refused:
        _native.scale_floats(values, step=step_text, rounding="exact", column="bid", place="ticks")
    head, shown, tail = str(refused.value).split('"')
    assert (head, tail) == (f"ticks: column bid, row {row + 1}: ",
                            f" is not a whole number of ticks of {step_text}")
    assert decimal.Decimal(shown) == odd  # the value's shortest text
    for rounding, way in (("down", decimal.ROUND_FLOOR), ("up", decimal.ROUND_CEILING)):
        got, moved = _native.scale_floats(values, step=step_text, rounding=rounding,
                                          column="bid", place="ticks")
        assert moved == 1
        want = int((odd / step).to_integral_value(rounding=way))
        assert np.frombuffer(got, dtype=np.int64)[row] == want


def test_from_arrays_scales_floats_refuses_them_or_rounds_against_the_strategy(tmp_path):
    dest = tmp_path / "a.hvtk"
    t = np.arange(4)
    sizes = dict(tick_size="0.1", lot_size="0.001")
    source = data.from_arrays(dest, t, np.array([42123.4, 0.1, 0.7, 3.0]),
                              volume=np.array([0.001, 0.013, 1.0, 2.5]), **sizes)
    assert data.to_arrays(source)["last"].tolist() == [421234, 1, 7, 30]
    assert data.to_arrays(source)["volume"].tolist() == [1, 13, 1000, 2500]
    before = dest.read_bytes()
    refused = [
        (TypeError, r"^argument 'last': expected integers \(ticks\), or float64 values and "
                    "tick_size= to count them in; got a buffer of format 'd' and no tick_size$",
         dict(last=np.ones(4), lot_size="1")),
        (TypeError, r"^argument 'volume': .* no lot_size$",
         dict(volume=np.ones(4), tick_size="1")),
        (TypeError, "^argument 'exch_ts': expected integer nanoseconds, got float64",
         dict(exch_ts=np.ones(4), **sizes)),
        (ValueError, '^column last, row 2: "0.35" is not a whole number of ticks',
         dict(last=np.array([0.1, 0.35, 0.5, 0.5]), **sizes)),
        (ValueError, '^column high, row 3: "nan" is not a decimal number$',
         dict(high=np.array([0.1, 0.2, np.nan, 0.5]), **sizes)),
    ]
    for kind, text, kwargs in refused:
        kwargs = dict(dict(exch_ts=t, last=np.array([1, 2, 3, 4])), **kwargs)
        with pytest.raises(kind, match=text):
            data.from_arrays(dest, **kwargs)
        assert dest.read_bytes() == before
    with pytest.warns(UserWarning, match=r"^from_arrays rounded 2 of 4 bid values down, 1 of 4 "
                                         "ask values up, 1 of 4 volume values down onto the grid"):
        source = data.from_arrays(dest, t, [5, 5, 5, 5], bid=np.array([0.45, 0.49, 0.4, 0.3]),
                                  ask=np.array([0.51, 0.6, 0.6, 0.6]),
                                  volume=np.array([0.0015, 0.002, 0.003, 0.004]), round=True,
                                  **sizes)
    cols = data.to_arrays(source)
    assert (cols["bid"].tolist(), cols["ask"].tolist(), cols["volume"].tolist()) == (
        [4, 4, 4, 3], [6, 6, 6, 6], [1, 2, 3, 4])
    # last, high and low have no side to round by: they go to the nearest tick.
    with pytest.warns(UserWarning, match=r"^from_arrays rounded 1 of 4 low values to the nearest "
                                         "step onto the grid"):
        source = data.from_arrays(dest, t, [5, 5, 5, 5], low=np.array([0.04, 0.1, 0.1, 0.1]),
                                  round=True, **sizes)
    assert data.to_arrays(source)["low"].tolist() == [0, 1, 1, 1]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # values on the grid, or noise around it, warn nothing
        data.from_arrays(dest, t, [5, 5, 5, 5], bid=np.array([0.4, 0.1 + 0.2, 0.4, 0.4]),
                         round=True, **sizes)
    assert data.to_arrays(dest)["bid"].tolist() == [4, 3, 4, 4]


def test_from_parquet_scales_float_prices_and_quantities_across_batches(tmp_path):
    n = 10
    path = parquet_file(tmp_path, exch_ts=list(range(n)),
                        last=[float(f"245{i}.17") for i in range(n)],
                        qty=[(i + 1) / 1000 for i in range(n)])
    source = data.from_parquet(tmp_path / "p.hvtk", path, instrument=ETH, batch_rows=3)
    cols = data.to_arrays(source)
    assert cols["last"].tolist() == [245017 + 100 * i for i in range(n)]
    assert cols["volume"].tolist() == np.cumsum(np.arange(1, n + 1)).tolist()
    del cols
    before = (tmp_path / "p.hvtk").read_bytes()
    path = parquet_file(tmp_path, exch_ts=list(range(n)), last=[2450.17] * 7 + [2450.175] * 3)
    with pytest.raises(ValueError, match=r't.parquet:8: column last: "2450.175" is not a whole '
                                         "number of ticks of 0.01$"):
        data.from_parquet(tmp_path / "p.hvtk", path, instrument=ETH, batch_rows=3)
    assert (tmp_path / "p.hvtk").read_bytes() == before


# --- times --------------------------------------------------------------------------

@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_datetime64_of_any_unit_are_nanoseconds_since_the_epoch(tmp_path, unit):
    times = np.array(["2024-01-01T00:00:00", "2024-01-01T00:00:01"], dtype=f"datetime64[{unit}]")
    source = data.from_arrays(tmp_path / "a.hvtk", times, [1, 2], local_ts=times + 1)
    cols = data.to_arrays(source)
    one = np.timedelta64(1, unit).astype("timedelta64[ns]").astype(np.int64)
    assert cols["exch_ts"].tolist() == [1_704_067_200 * 10**9, 1_704_067_201 * 10**9]
    assert cols["local_ts"].tolist() == [t + int(one) for t in cols["exch_ts"].tolist()]


def test_time_zones_are_utc_and_times_that_are_no_nanoseconds_are_refused(tmp_path):
    paris = pd.Series(pd.to_datetime(["2024-01-01 01:00", "2024-01-01 02:00"])).dt.tz_localize(
        "Europe/Paris")
    source = data.from_arrays(tmp_path / "a.hvtk", paris, pd.Series([1.5, 2.5]), tick_size="0.5",
                              lot_size="1")
    assert data.to_arrays(source)["exch_ts"].tolist() == [1_704_067_200 * 10**9,
                                                          1_704_070_800 * 10**9]
    assert data.to_arrays(source)["last"].tolist() == [3, 5]
    refused = [
        (ValueError, "^column exch_ts, row 2: NaT is not a time$",
         np.array(["2024-01-01", "NaT"], dtype="datetime64[s]")),
        (ValueError, "^column exch_ts, row 2: 2300-01-01 is not a whole number of nanoseconds",
         np.array(["2024-01-01", "2300-01-01"], dtype="datetime64[D]")),
        (ValueError, "^column exch_ts, row 1: .* is not a whole number of nanoseconds",
         np.array([1, 2], dtype="datetime64[ps]")),
    ]
    for kind, text, times in refused:
        with pytest.raises(kind, match=text):
            data.from_arrays(tmp_path / "b.hvtk", times, [1, 2])
    with pytest.raises(TypeError, match="^argument 'last': holds datetimes"):
        data.from_arrays(tmp_path / "b.hvtk", [1, 2], np.array([1, 2], dtype="datetime64[s]"))
    assert not (tmp_path / "b.hvtk").exists()


def test_from_parquet_reads_zoned_timestamps_and_dates_as_utc(tmp_path):
    zoned = pa.array([1_704_067_200_000, 1_704_067_201_000], pa.timestamp("ms", tz="Asia/Tokyo"))
    days = pa.array([19_723, 19_724], pa.date32())  # 2024-01-01 and 02
    path = parquet_file(tmp_path, t=zoned, d=days, last=[1, 2])
    # A second apart by one clock and a day by the other: said, as any jump is.
    with pytest.warns(UserWarning, match="^from_parquet: the local clock jumps against the "
                      "exchange's 1 times, by up to 23 h 59 min"):
        source = data.from_parquet(tmp_path / "p.hvtk", path, tick_size="1", lot_size="1",
                                   columns={"exch_ts": "t", "local_ts": "d", "last": "last"})
    cols = data.to_arrays(source)
    assert cols["exch_ts"].tolist() == [1_704_067_200 * 10**9, 1_704_067_201 * 10**9]
    assert cols["local_ts"].tolist() == [1_704_067_200 * 10**9, 1_704_153_600 * 10**9]


def test_the_block_sits_after_the_records_where_the_header_says_they_end(tmp_path):
    source = data.from_arrays(tmp_path / "a.hvtk", [1], [2], instrument=ETH)
    raw = (tmp_path / "a.hvtk").read_bytes()
    magic, version, reserved, length, _crc = struct.unpack_from("<4sHHII", raw, 96)
    assert (magic, version, reserved, length) == (b"HVIN", 1, 0, len(raw) - 96 - 16)
    assert raw[112:120] == struct.pack("<Q", 7)
    assert raw[120:] == b"\x07\x00ETHUSDT\x04\x000.01\x05\x000.001"
    assert halvorn.load_ticks(source.path).count == 1  # the header's count is unchanged
