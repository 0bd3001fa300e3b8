"""Tick files from Python: the bytes save_ticks writes, what load_ticks
accepts and refuses, the TickSource class, ticks_from's one error, and a
save that fails without costing the file already there."""

import errno
import os
import random
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

import halvorn

HEADER = struct.Struct("<4sHHQQII")
RECORD = struct.Struct("<8q")
I64_MIN = -(2**63)
I64_MAX = 2**63 - 1
U64_MAX = 2**64 - 1

TICKS_FROM = (
    "ticks must be a sequence of Tick, or a TickSource; build them with halvorn.Tick(...), "
    "or read a file with load_ticks() \u2014 which is the one to use when the series is "
    "larger than memory"
)


def fields(t):
    return (t.exch_ts, t.local_ts, t.last, t.high, t.low, t.bid, t.ask, t.volume)


def header_bytes(count, instrument=1, checksum=0, magic=b"HVTK", version=2):
    return HEADER.pack(magic, version, 0, count, instrument, checksum, 0)


def make_ticks(n, start=0):
    return [
        halvorn.Tick(start + i // 2, 600_000 + i, local_ts=start + i, bid=599_999, ask=600_001,
                     volume=3 * i)
        for i in range(n)
    ]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    # A fresh file rather than a truncated one: some file systems flush a
    # truncated-and-rewritten file on close, which would make this wait on
    # the disk thousands of times in the fuzz test.
    if os.path.isfile(path):
        os.unlink(path)
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


class TestLayout:
    def test_no_ticks_is_a_bare_header(self, tmp_path):
        path = str(tmp_path / "empty.hvtk")
        assert halvorn.save_ticks(path, [], instrument=0xA1B2C3D4E5F60718) == 0
        data = read(path)
        assert data == b"HVTK\x02\x00\x00\x00" + bytes(8) + bytes.fromhex("1807f6e5d4c3b2a1") + bytes(8)

    def test_one_record_is_its_fields_little_endian_under_a_crc(self, tmp_path):
        path = str(tmp_path / "one.hvtk")
        tick = halvorn.Tick(1, 3, local_ts=2, high=4, low=5, bid=6, ask=7, volume=8)
        assert halvorn.save_ticks(path, [tick]) == 1
        data = read(path)
        assert len(data) == 96
        assert data[32:] == b"".join(struct.pack("<q", v) for v in range(1, 9))
        assert HEADER.unpack(data[:32]) == (b"HVTK", 2, 0, 1, 1, zlib.crc32(data[32:]), 0)

    def test_extreme_values_and_a_backwards_series_are_written_unchanged(self, tmp_path):
        ticks = [
            halvorn.Tick(I64_MAX, I64_MIN, local_ts=I64_MIN, high=I64_MAX, low=-1, bid=I64_MIN,
                         ask=I64_MAX, volume=I64_MIN),
            halvorn.Tick(5, 1),
            halvorn.Tick(4, 1),
        ]
        path = str(tmp_path / "x.hvtk")
        halvorn.save_ticks(path, tuple(ticks), 9)
        data = read(path)
        assert [RECORD.unpack_from(data, 32 + 64 * i) for i in range(3)] == [fields(t) for t in ticks]
        assert HEADER.unpack(data[:32])[3:5] == (3, 9)

    def test_two_blocks_of_records_under_one_checksum(self, tmp_path):
        ticks = make_ticks(8193)
        path = str(tmp_path / "blocks.hvtk")
        assert halvorn.save_ticks(path, ticks) == 8193
        data = read(path)
        assert len(data) == 32 + 64 * 8193
        magic, version, _, count, instrument, checksum, _ = HEADER.unpack(data[:32])
        assert (magic, version, count, instrument) == (b"HVTK", 2, 8193, 1)
        assert checksum == zlib.crc32(data[32:])
        assert RECORD.unpack_from(data, 32 + 64 * 8192) == fields(ticks[8192])
        src = halvorn.load_ticks(path)
        assert (src.count, len(src), src.instrument) == (8193, 8193, 1)


class TestLoad:
    def test_source_attributes_len_and_repr(self, tmp_path):
        path = str(tmp_path / "three.hvtk")
        assert halvorn.save_ticks(path, make_ticks(3)) == 3
        src = halvorn.load_ticks(path)
        assert type(src) is halvorn.TickSource
        assert src.path == path and type(src.path) is str
        assert (src.count, src.instrument, len(src)) == (3, 1, 3)
        assert repr(src) == f"TickSource({path}, 3 ticks, instrument 1)"
        assert halvorn.load_ticks(path=path).count == 3

    def test_path_is_kept_as_given(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        os.mkdir("data")
        halvorn.save_ticks("data/btc.hvtk", make_ticks(1000), instrument=1)
        src = halvorn.load_ticks("data/btc.hvtk")
        assert repr(src) == "TickSource(data/btc.hvtk, 1000 ticks, instrument 1)"

        class Name(str):
            pass

        sub = halvorn.load_ticks(Name("data/btc.hvtk"))
        assert type(sub.path) is str and sub.path == "data/btc.hvtk"

    def test_only_the_header_is_read(self, tmp_path):
        # A million records promised and none present: opening succeeds.
        path = write(tmp_path / "hollow.hvtk", header_bytes(1_000_000, instrument=7))
        src = halvorn.load_ticks(path)
        assert (src.count, len(src), src.instrument) == (1_000_000, 1_000_000, 7)

    def test_header_fields_outside_the_checksum_and_trailing_bytes_do_not_matter(self, tmp_path):
        path = str(tmp_path / "t.hvtk")
        halvorn.save_ticks(path, make_ticks(4), instrument=2)
        data = bytearray(read(path))
        data[6:8] = b"\xaa\xbb"
        data[28:32] = b"\x01\x02\x03\x04"
        data += b"trailing bytes"
        write(path, data)
        src = halvorn.load_ticks(path)
        assert (src.count, src.instrument) == (4, 2)

    def test_a_count_beyond_the_signed_range_has_no_len(self, tmp_path):
        path = write(tmp_path / "huge.hvtk", header_bytes(2**63))
        src = halvorn.load_ticks(path)
        assert src.count == 2**63
        with pytest.raises(OverflowError):
            len(src)
        top = halvorn.load_ticks(write(tmp_path / "top.hvtk", header_bytes(U64_MAX, U64_MAX)))
        assert (top.count, top.instrument) == (U64_MAX, U64_MAX)
        assert len(halvorn.load_ticks(write(tmp_path / "max.hvtk", header_bytes(I64_MAX)))) == I64_MAX

    @pytest.mark.parametrize(
        "content, message",
        [
            (None, "truncated: needed 32 bytes, 0 available"),
            (b"", "truncated: needed 32 bytes, 0 available"),
            (header_bytes(0)[:31], "truncated: needed 32 bytes, 0 available"),
            (b"\x00\x01\x02\x03" + header_bytes(0)[4:], "not a tick file: magic 0x03020100"),
            (b"hvtk" + header_bytes(0)[4:], "not a tick file: magic 0x6b747668"),
            (header_bytes(0, version=1), "unknown tick file version 1"),
            (header_bytes(0, version=3), "unknown tick file version 3"),
            (header_bytes(0, version=65535), "unknown tick file version 65535"),
            # The magic is checked before the version.
            (header_bytes(0, magic=b"HVTX", version=9), "not a tick file: magic 0x58545648"),
        ],
    )
    def test_header_errors_name_the_path(self, tmp_path, content, message):
        path = str(tmp_path / "f.hvtk")
        if content is not None:
            write(path, content)
        with pytest.raises(ValueError) as info:
            halvorn.load_ticks(path)
        assert str(info.value) == f"{path}: {message}"

    def test_a_directory_or_an_unnameable_path_is_an_unopenable_file(self, tmp_path):
        for path in (str(tmp_path), str(tmp_path / "a\0b"), "", "\ud800.hvtk"):
            with pytest.raises(ValueError) as info:
                halvorn.load_ticks(path)
            assert str(info.value) == f"{path}: truncated: needed 32 bytes, 0 available"

    def test_path_must_be_a_str(self, tmp_path):
        for bad in (tmp_path / "x.hvtk", b"x.hvtk", None, 3):
            with pytest.raises(TypeError, match="path"):
                halvorn.load_ticks(bad)
            with pytest.raises(TypeError, match="path"):
                halvorn.save_ticks(bad, [])

    def test_a_path_that_is_not_utf8_round_trips(self, tmp_path):
        path = str(tmp_path) + "/\udcff.hvtk"  # the byte 0xff, as os functions spell it
        assert halvorn.save_ticks(path, make_ticks(2)) == 2
        assert os.path.exists(path)
        src = halvorn.load_ticks(path)
        assert src.path == path and src.count == 2


class TestTickSourceClass:
    def test_cannot_be_created_subclassed_or_changed(self, tmp_path):
        with pytest.raises(TypeError, match=r"^cannot create 'TickSource' instances$"):
            halvorn.TickSource()
        with pytest.raises(TypeError, match=r"^cannot create 'TickSource' instances$"):
            halvorn.TickSource.__new__(halvorn.TickSource)
        with pytest.raises(TypeError):
            type("Sub", (halvorn.TickSource,), {})
        src = halvorn.load_ticks(write(tmp_path / "e.hvtk", header_bytes(0)))
        for name in ("path", "count", "instrument", "other"):
            with pytest.raises(AttributeError):
                setattr(src, name, 1)
        assert not hasattr(src, "__dict__")

    def test_module_order(self):
        names = list(halvorn.__all__)
        assert names.index("TickSource") == names.index("Tick") + 1
        assert names.index("save_ticks") == names.index("load_ticks") + 1
        assert names.index("load_ticks") > names.index("Order")


class TestSaveArguments:
    def test_returns_the_count_and_takes_any_sequence_of_ticks(self, tmp_path):
        path = str(tmp_path / "s.hvtk")
        ticks = make_ticks(5)
        assert halvorn.save_ticks(path, ticks) == 5
        assert halvorn.save_ticks(path, tuple(ticks)) == 5
        assert halvorn.save_ticks(path=path, ticks=ticks[:2], instrument=3) == 2
        assert halvorn.load_ticks(path).instrument == 3

    def test_instrument_is_unsigned_64_bit(self, tmp_path):
        path = str(tmp_path / "i.hvtk")
        halvorn.save_ticks(path, [], U64_MAX)
        assert halvorn.load_ticks(path).instrument == U64_MAX
        for bad in (2**64, -1):
            with pytest.raises(OverflowError, match="instrument"):
                halvorn.save_ticks(path, [], bad)
        for bad in ("1", 1.0, None):
            with pytest.raises(TypeError, match="instrument"):
                halvorn.save_ticks(path, [], bad)

    def test_ticks_of_any_other_form_give_the_one_ticks_error(self, tmp_path):
        path = str(tmp_path / "w.hvtk")
        source = halvorn.load_ticks(write(tmp_path / "e.hvtk", header_bytes(0)))

        class Exploding:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i == 1:
                    raise RuntimeError("boom")
                return halvorn.Tick(1, 1)

        for bad in (source, "ticks", b"ticks", 5, None, [halvorn.Tick(1, 2), halvorn.Order("buy", 1)],
                    iter(make_ticks(2)), Exploding(), {1: halvorn.Tick(1, 1)}):
            with pytest.raises(TypeError) as info:
                halvorn.save_ticks(path, bad)
            assert str(info.value) == TICKS_FROM
            assert info.value.__cause__ is None
        assert not os.path.exists(path), "nothing is written when the ticks are refused"

    def test_an_interrupt_while_reading_ticks_is_not_replaced(self, tmp_path):
        class Interrupting:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            halvorn.save_ticks(str(tmp_path / "k.hvtk"), Interrupting())


class TestSaveFailures:
    """A save that fails says why, and leaves what was at the path as it was."""

    def listing(self, directory):
        return sorted(os.listdir(directory))

    def test_a_missing_directory(self, tmp_path):
        path = str(tmp_path / "no" / "such" / "x.hvtk")
        with pytest.raises(ValueError) as info:
            halvorn.save_ticks(path, make_ticks(3))
        assert str(info.value) == f"{path}: {os.strerror(errno.ENOENT)}"
        assert self.listing(tmp_path) == []

    def test_a_directory_in_the_way_is_left_alone(self, tmp_path):
        target = tmp_path / "dir.hvtk"
        target.mkdir()
        (target / "inside").write_bytes(b"keep")
        with pytest.raises(ValueError) as info:
            halvorn.save_ticks(str(target), make_ticks(3))
        assert str(info.value) == f"{target}: {os.strerror(errno.EISDIR)}"
        assert (target / "inside").read_bytes() == b"keep"
        assert self.listing(tmp_path) == ["dir.hvtk"]

    def test_an_unnameable_path(self, tmp_path):
        path = str(tmp_path / "a\0b")
        with pytest.raises(ValueError) as info:
            halvorn.save_ticks(path, [])
        assert str(info.value) == f"{path}: {os.strerror(errno.EINVAL)}"

    @pytest.mark.skipif(os.geteuid() == 0, reason="permission bits do not bind root")
    def test_a_read_only_directory(self, tmp_path):
        ro = tmp_path / "ro"
        ro.mkdir()
        path = str(ro / "keep.hvtk")
        halvorn.save_ticks(path, make_ticks(2))
        before = read(path)
        ro.chmod(0o555)
        try:
            with pytest.raises(ValueError) as info:
                halvorn.save_ticks(path, make_ticks(50))
        finally:
            ro.chmod(0o755)
        assert str(info.value) == f"{path}: {os.strerror(errno.EACCES)}"
        assert read(path) == before
        assert self.listing(ro) == ["keep.hvtk"]

    def test_a_write_that_fails_halfway_keeps_the_old_file(self, tmp_path):
        # A file-size limit makes the write fail part-way, as a full disk or
        # a quota would, and it binds root too. It runs in a child process so
        # that the limit cannot touch this one.
        path = str(tmp_path / "keep.hvtk")
        halvorn.save_ticks(path, make_ticks(10))
        before = read(path)
        script = textwrap.dedent(
            f"""
            import resource, signal, sys
            sys.path.insert(0, {os.path.dirname(os.path.dirname(halvorn.__file__))!r})
            import halvorn
            ticks = [halvorn.Tick(i, i) for i in range(20_000)]  # 1.3 MB
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, hard))
            try:
                halvorn.save_ticks({path!r}, ticks)
            except ValueError as e:
                print(e)
            """
        )
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             timeout=60, check=True)
        assert out.stdout.strip() == f"{path}: {os.strerror(errno.EFBIG)}"
        assert read(path) == before
        assert self.listing(tmp_path) == ["keep.hvtk"]

    def test_a_replaced_file_keeps_its_permissions(self, tmp_path):
        # A file its owner made private stays private when it is replaced; a
        # new file gets what any new file gets.
        path = str(tmp_path / "p.hvtk")
        old = os.umask(0o022)
        try:
            halvorn.save_ticks(path, make_ticks(1))
            assert os.stat(path).st_mode & 0o777 == 0o644
            os.chmod(path, 0o600)
            halvorn.save_ticks(path, make_ticks(2))
        finally:
            os.umask(old)
        assert os.stat(path).st_mode & 0o7777 == 0o600
        assert halvorn.load_ticks(path).count == 2
        assert self.listing(tmp_path) == ["p.hvtk"]


def header_outcome(data):
    """What load_ticks must do with a file holding `data`: the count and
    instrument of the source it returns, or the error text it raises."""
    if len(data) < 32:
        return "truncated: needed 32 bytes, 0 available"
    magic, version = struct.unpack_from("<IH", data)
    if magic != 0x4B545648:
        return f"not a tick file: magic 0x{magic:08x}"
    if version != 2:
        return f"unknown tick file version {version}"
    return struct.unpack_from("<QQ", data, 8)


def test_fuzz_load_ticks_gives_a_source_or_the_right_error(tmp_path):
    rng = random.Random(0x7A11)
    path = str(tmp_path / "fuzz.hvtk")
    valid = []
    for n in (0, 1, 2, 5, 40):
        p = str(tmp_path / f"v{n}.hvtk")
        halvorn.save_ticks(p, make_ticks(n, start=rng.randrange(-1000, 1000)), rng.randrange(2**64))
        valid.append(read(p))
    outcomes = {"source": 0, "truncated": 0, "not a tick file": 0, "unknown tick file version": 0}
    for case in range(3000):
        data = bytearray(rng.choice(valid))
        kind = rng.randrange(5)
        if kind == 0:  # cut anywhere
            del data[rng.randrange(len(data) + 1):]
        elif kind == 1:  # bits flipped, the magic and version favoured
            for _ in range(rng.randrange(1, 4)):
                at = rng.randrange(6 if rng.random() < 0.5 else len(data))
                data[at] ^= 1 << rng.randrange(8)
        elif kind == 2:  # noise
            data = bytearray(rng.randbytes(rng.randrange(80)))
        elif kind == 3:  # noise behind a valid magic and version
            data = bytearray(b"HVTK\x02\x00" + rng.randbytes(rng.randrange(60)))
        else:  # intact, or with trailing bytes
            data += rng.randbytes(rng.randrange(20))
        write(path, data)
        want = header_outcome(bytes(data))
        try:
            src = halvorn.load_ticks(path)
        except ValueError as e:
            assert str(e) == f"{path}: {want}", f"case {case}"
            outcomes[next(k for k in outcomes if want.startswith(k))] += 1
        else:
            assert (src.count, src.instrument) == want, f"case {case}"
            outcomes["source"] += 1
    assert all(n > 100 for n in outcomes.values()), outcomes
