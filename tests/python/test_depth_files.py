"""Depth files from Python: Snapshot and Update, save_depth, load_depth,
read_depth and depth_from_csv, their round trips and every error by its
text."""

import inspect
import io
import os
import pickle
import struct
import zipfile

import pytest

import halvorn
from halvorn import data


def sample():
    return [
        data.Snapshot(100, [(99, 4), (98, 0)], [(101, 3), (100, 2)], time_ns=-5),
        data.Update(101, 102, 0, [(99, 0)], [(100, 7)]),
        data.Update(103, 103, 0, [], [(102, 1)], prev_final_id=102),
        data.Snapshot(2**64 - 1, [], [], time_ns=2**63 - 1),
    ]


class TestRecords:
    def test_fields_come_back_as_given_and_the_repr_pastes_back(self):
        s, u, p, _ = sample()
        assert (s.last_update_id, s.bids, s.asks, s.time_ns) == (
            100, ((99, 4), (98, 0)), ((101, 3), (100, 2)), -5)
        assert (u.first_id, u.final_id, u.time_ns, u.prev_final_id) == (101, 102, 0, None)
        assert p.prev_final_id == 102
        assert repr(u) == "Update(101, 102, 0, ((99, 0),), ((100, 7),), None)"
        for record in sample():
            assert eval(repr(record), vars(data)) == record
            assert hash(eval(repr(record), vars(data))) == hash(record)
            assert pickle.loads(pickle.dumps(record)) == record

    def test_levels_may_be_any_sequence_of_pairs(self):
        assert data.Snapshot(1, [[5, 6]], ((7, 8),)).bids == ((5, 6),)
        assert data.Update(1, 1, 0, bids=(), asks=[(1, 2)]) == data.Update(1, 1, 0, [], ((1, 2),))
        assert data.Snapshot(1, [], []) != data.Snapshot(1, [], [], time_ns=1)
        assert data.Update(1, 1, 0, [], []) != data.Update(1, 1, 0, [], [], prev_final_id=0)

    def test_signatures(self):
        assert str(inspect.signature(data.Snapshot)) == "(last_update_id, bids, asks, time_ns=0)"
        assert str(inspect.signature(data.Update)) == (
            "(first_id, final_id, time_ns, bids, asks, prev_final_id=None)")
        params = inspect.signature(data.save_depth).parameters
        assert [(p.name, p.default) for p in params.values()][1:] == [
            ("records", inspect.Parameter.empty), ("instrument", 1)]

    @pytest.mark.parametrize("make, error, text", [
        (lambda: data.Snapshot(1, [(100, -1)], []), ValueError,
         "bids[0] qty must not be negative, got -1; a qty of 0 deletes the level"),
        (lambda: data.Update(1, 1, 0, [], [(1, 1), (2, -3)]), ValueError,
         "asks[1] qty must not be negative, got -3"),
        (lambda: data.Snapshot(1, "ab", []), TypeError,
         "bids must be a sequence of (price_ticks, qty_lots) pairs, got str"),
        (lambda: data.Snapshot(1, [], [(1, 2, 3)]), TypeError,
         "asks[0] must be a (price_ticks, qty_lots) pair, got tuple"),
        (lambda: data.Snapshot(1, [5], []), TypeError, "bids[0] must be a (price_ticks, "),
        (lambda: data.Snapshot(1, [(1.5, 2)], []), TypeError, "bids[0] price"),
        (lambda: data.Snapshot(1, [(1, 2**63)], []), OverflowError, "bids[0] qty"),
        (lambda: data.Snapshot(-1, [], []), OverflowError, "last_update_id"),
        (lambda: data.Update(1, 1, None, [], []), TypeError, "time_ns"),
        (lambda: data.Update(1, 1, 0, [], [], prev_final_id=-1), OverflowError, "prev_final_id"),
    ])
    def test_refusals_name_the_field(self, make, error, text):
        with pytest.raises(error) as e:
            make()
        assert text in str(e.value)

    def test_records_are_immutable(self):
        with pytest.raises(AttributeError):
            sample()[0].bids = ()  # type: ignore[misc]


class TestFiles:
    def test_save_and_read_round_trip_every_field(self, tmp_path):
        path = tmp_path / "d.hvdp"
        source = data.save_depth(path, iter(sample()), instrument=9)
        assert isinstance(source, data.DepthSource)
        assert (source.path, source.instrument, source.records, len(source)) == (
            str(path), 9, 4, 4)
        assert source.levels == 7
        assert (source.snapshots, source.updates) == (2, 2)
        assert repr(source) == f"DepthSource({str(path)!r}, 4 records, instrument 9)"
        assert list(data.read_depth(source)) == sample()
        assert list(data.read_depth(path)) == list(data.read_depth(str(path))) == sample()
        loaded = data.load_depth(path)
        assert (loaded.records, loaded.levels, loaded.instrument) == (4, 7, 9)

    def test_update_times_before_zero_come_back_to_the_nanosecond(self, tmp_path):
        """No time is taken through whole milliseconds on the way: -1 stays -1."""
        times = [-2**63, -1_500_000, -1_000_001, -1_000_000, -999_999, -1, 0, 1, 1_999_999]
        records = [data.Update(i + 1, i + 1, t, [], []) for i, t in enumerate(times)]
        back = list(data.read_depth(data.save_depth(tmp_path / "d.hvdp", records)))
        assert [r.time_ns for r in back] == times
        assert back == records

    def test_the_file_is_the_documented_bytes(self, tmp_path):
        source = data.save_depth(tmp_path / "d.hvdp", [data.Update(7, 8, 5, [(1, 2)], [],
                                                                   prev_final_id=6)])
        with open(source.path, "rb") as f:
            raw = f.read()
        magic, version, count, instrument, _crc, levels = struct.unpack_from("<4sH2xQQI4xQ", raw)
        assert (magic, version, count, instrument, levels) == (b"HVDP", 1, 1, 1, 1)
        assert struct.unpack_from("<BBxxIIxxxxqQQQqq", raw, 40) == (2, 1, 1, 0, 5, 7, 8, 6, 1, 2)

    def test_read_depth_is_streamed_and_each_call_starts_afresh(self, tmp_path):
        source = data.save_depth(tmp_path / "d.hvdp", sample())
        first = data.read_depth(source)
        assert next(first) == sample()[0]
        second = data.read_depth(source)
        assert list(second) == sample()
        assert list(first) == sample()[1:]
        assert list(first) == []

    def test_an_empty_stream_writes_an_empty_file(self, tmp_path):
        source = data.save_depth(tmp_path / "e.hvdp", [])
        assert (len(source), source.snapshots, source.updates) == (0, 0, 0)
        assert os.path.getsize(source.path) == 40

    def test_save_refusals_leave_what_was_there(self, tmp_path):
        path = tmp_path / "d.hvdp"
        data.save_depth(path, sample())
        before = path.read_bytes()
        backwards = [data.Snapshot(1, [], [], time_ns=5), data.Update(2, 2, 5, [], []),
                     data.Update(3, 3, 4, [], [])]
        with pytest.raises(ValueError) as e:
            data.save_depth(path, backwards)
        assert str(e.value) == "depth record 2 goes backwards: previous time 5, found 4"
        with pytest.raises(TypeError) as e:
            data.save_depth(path, [sample()[0], (1, 2)])
        assert str(e.value) == "records[1]: expected a Snapshot or an Update, got tuple"

        def failing():
            yield sample()[0]
            raise KeyError("from the generator")

        with pytest.raises(KeyError, match="from the generator"):
            data.save_depth(path, failing())
        with pytest.raises(TypeError, match="argument 'records': expected an iterable"):
            data.save_depth(path, 5)
        assert path.read_bytes() == before
        assert os.listdir(tmp_path) == ["d.hvdp"]

    def test_a_path_that_cannot_be_written_is_an_oserror(self, tmp_path):
        with pytest.raises(OSError) as e:
            data.save_depth(tmp_path / "missing" / "d.hvdp", sample())
        assert e.value.filename == str(tmp_path / "missing" / "d.hvdp")
        with pytest.raises(TypeError, match="argument 'path': expected str or os.PathLike"):
            data.save_depth(5, sample())

    def test_load_errors_carry_the_readers_text(self, tmp_path):
        missing = tmp_path / "none.hvdp"
        ticks = halvorn.save_ticks(str(tmp_path / "t.hvtk"), [halvorn.Tick(1, 1)])
        assert ticks == 1
        version = tmp_path / "v.hvdp"
        version.write_bytes(struct.pack("<4sH2xQQI4xQ", b"HVDP", 2, 0, 1, 0, 0))
        short = tmp_path / "s.hvdp"
        short.write_bytes(struct.pack("<4sH2xQQI4xQ", b"HVDP", 1, 2, 1, 0, 3))
        cases = [
            (missing, "depth file truncated: needed 40 bytes, 0 available"),
            (tmp_path / "t.hvtk", "not a depth file: magic 0x4b545648"),
            (version, "unknown depth file version 2"),
        ]
        for path, text in cases:
            with pytest.raises(ValueError) as e:
                data.load_depth(path)
            assert str(e.value) == f"{path}: {text}"
        # The header is all a load reads; the body's absence shows when it is read.
        source = data.load_depth(short)
        assert len(source) == 2
        with pytest.raises(ValueError) as e:
            list(data.read_depth(source))
        assert str(e.value) == f"{short}: depth file truncated: needed 184 bytes, 40 available"
        with pytest.raises(TypeError, match="argument 'source'"):
            data.read_depth(5)

    def test_depth_source_cannot_be_made_directly(self):
        with pytest.raises(TypeError, match="cannot create 'DepthSource' instances"):
            data.DepthSource()


DIFFS = b"""symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty
X,1700000000000,0,100,100,b,snap,100.0,1
X,1700000000000,0,100,100,a,snap,100.1,2
X,1700000000002,0,101,102,b,set,100.0,0
X,1700000000002,0,101,102,a,set,100.2,5
X,1700000000002,0,103,103,a,set,100.1,3
"""

TWO_CLOCK = b"""exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount
ex,X,1700000000000000,1700000000000150,true,bid,100.0,1
ex,X,1700000000000000,1700000000000150,true,ask,100.1,2
ex,X,1700000000000000,1700000000000180,false,bid,100.0,0
ex,X,1700000000000007,1700000000000210,false,ask,100.2,5
"""

T0 = 1_700_000_000_000_000_000


class TestConversion:
    def test_depth_diffs_convert_to_the_records_they_describe(self, tmp_path):
        source = data.depth_from_csv(tmp_path / "d.hvdp", io.BytesIO(DIFFS), tick_size="0.1",
                                     lot_size="1")
        assert list(data.read_depth(source)) == [
            data.Snapshot(100, [(1000, 1)], [(1001, 2)], time_ns=T0),
            data.Update(101, 102, T0 + 2_000_000, [(1000, 0)], [(1002, 5)]),
            data.Update(103, 103, T0 + 2_000_000, [], [(1001, 3)]),
        ]

    def test_two_clock_depth_numbers_its_messages(self, tmp_path):
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("b.csv", TWO_CLOCK.split(b"\n", 3)[3])  # the last row, headerless
            z.writestr("a.csv", b"\n".join(TWO_CLOCK.split(b"\n")[:3]) + b"\n")
        progress = []
        with zipfile.ZipFile(archive) as z:
            source = data.depth_from_csv(tmp_path / "d.hvdp", z, layout="two-clock depth",
                                         tick_size="0.1", lot_size="1", instrument=3,
                                         time_unit="us",
                                         progress=lambda b, r: progress.append((b, r)))
        assert source.instrument == 3
        assert list(data.read_depth(source)) == [
            data.Snapshot(1, [(1000, 1)], [(1001, 2)], time_ns=T0),
            data.Update(2, 2, T0, [(1000, 0)], []),
            data.Update(3, 3, T0 + 7_000, [], [(1002, 5)]),
        ]
        assert progress[-1][1] == 4  # rows

    @pytest.mark.parametrize("unit, nanos", [("ns", 1), ("us", 1_000), ("ms", 1_000_000)])
    def test_times_before_zero_convert_exactly(self, tmp_path, unit, nanos):
        """A negative CSV time is scaled by its unit, never rounded to a millisecond."""
        rows = (b"symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,"
                b"price,qty\n"
                b"X,-1500001,0,100,100,b,snap,100.0,1\n"
                b"X,-999,0,101,101,a,set,100.1,2\n"
                b"X,-1,0,102,102,b,set,100.0,0\n")
        source = data.depth_from_csv(tmp_path / "d.hvdp", io.BytesIO(rows), tick_size="0.1",
                                     lot_size="1", time_unit=unit)
        assert list(data.read_depth(source)) == [
            data.Snapshot(100, [(1000, 1)], [], time_ns=-1_500_001 * nanos),
            data.Update(101, 101, -999 * nanos, [], [(1001, 2)]),
            data.Update(102, 102, -1 * nanos, [(1000, 0)], []),
        ]

    def test_rounding_goes_against_the_strategy(self, tmp_path):
        rows = DIFFS.replace(b"b,snap,100.0,1", b"b,snap,100.05,1.9").replace(
            b"a,snap,100.1,2", b"a,snap,100.12,2")
        source = data.depth_from_csv(tmp_path / "d.hvdp", [io.BytesIO(rows)], tick_size="0.1",
                                     lot_size="1", round=True, layout="depth_diffs")
        first = next(data.read_depth(source))
        assert (first.bids, first.asks) == (((1000, 1),), ((1002, 2),))

    def test_errors_are_the_converters_and_leave_the_target(self, tmp_path):
        target = tmp_path / "d.hvdp"
        data.save_depth(target, sample())
        before = target.read_bytes()
        bad = io.BytesIO(DIFFS.replace(b"100.2,5", b"100.25,5"))
        bad.name = "day.csv"
        with pytest.raises(ValueError) as e:
            data.depth_from_csv(target, bad, tick_size="0.1", lot_size="1")
        assert str(e.value) == ('day.csv:5: column price: "100.25" is not a whole number of '
                                'ticks of 0.1; a tick size of 0.01 fits it and every price before '
                                'it')
        with pytest.raises(ValueError, match="argument 'layout': unknown 'trades'; one of "
                           "'depth diffs', 'depth_diffs', 'two-clock depth', 'clock_depth'"):
            data.depth_from_csv(target, io.BytesIO(DIFFS), layout="trades", tick_size="0.1",
                                lot_size="1")
        with pytest.raises(ValueError, match="the header is that of the depth diffs layout, but "
                           "the two-clock depth layout was asked for"):
            data.depth_from_csv(target, io.BytesIO(DIFFS), layout="clock_depth",
                                tick_size="0.1", lot_size="1")
        with pytest.raises(TypeError, match="argument 'sources': expected a binary file object"):
            data.depth_from_csv(target, str(target), tick_size="0.1", lot_size="1")
        assert target.read_bytes() == before
        # The last report comes once the file is in place; what it raises is still raised.
        with pytest.raises(ZeroDivisionError):
            data.depth_from_csv(target, io.BytesIO(DIFFS), tick_size="0.1", lot_size="1",
                                progress=lambda b, r: 1 / 0)
