"""Recorded captures (JSON lines) into tick, depth and mark files through
halvorn.data.from_capture, on one core.

    python bench/capture_convert.py [--mb 512] [--messages 10_000_000]
                                    [--only memory|throughput]

Reports:
  1. peak resident memory of a conversion of 1_000_000 messages and of
     --messages messages, each in a fresh process, the messages made on the
     fly by a file object so that no file of that size is needed: it must
     not grow with the capture;
  2. MB/s of JSON lines converted into all three files, over a capture file
     of about --mb MB in the page cache (best of three), and the same for
     the ticks alone and the depth alone.

The capture is one second after another of a busy perpetual: 1,000
aggregated trades (half of them wrapped as a combined stream wraps them),
600 book tickers, 100 depth updates of 10 levels a side chained by `pu`, and
a mark price update, each line after its local time in microseconds; a
depth snapshot opens it.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

from data_convert import best_of

SECOND0 = 1_700_000_000  # the second of the snapshot, since 1970
BLOCK_MESSAGES = 1_701
# Seconds are numbered from here, so that the ids made of a second's number
# never start with a 0, which JSON does not write.
FIRST_BLOCK = 100_000_001


def template() -> bytes:
    """One second of messages.  Placeholders: SSSSSSSSSS the second,
    BBBBBBBBB its number (9 digits, from FIRST_BLOCK), CCCCCCCCC the number
    before."""
    lines = []
    mark = 4_200_000
    for ms in range(1_000):
        t = b"SSSSSSSSSS%03d" % ms
        local = t + b"%03d" % (100 + ms % 700)
        price = 4_200_000 + (ms * 7919) % 41 - 20
        trade = (b'{"e":"aggTrade","E":%s,"s":"BTCUSDT","a":BBBBBBBBB%03d,"p":"%d.%d",'
                 b'"q":"0.%03d","f":100,"l":105,"T":%s,"m":%s}'
                 % (t, ms, price // 100, price % 100, 1 + ms % 997, t,
                    b"true" if ms % 3 else b"false"))
        if ms % 2:
            trade = b'{"stream":"btcusdt@aggTrade","data":' + trade + b"}"
        lines.append(local + b" " + trade)
        if ms % 5 < 3:
            bid = price - 1 - ms % 3
            lines.append(local + b" " + (
                b'{"e":"bookTicker","u":%d,"s":"BTCUSDT","b":"%d.%02d","B":"1.%03d",'
                b'"a":"%d.%02d","A":"2.%03d","T":%s,"E":%s}'
                % (ms, bid // 100, bid % 100, ms, (bid + 2) // 100, (bid + 2) % 100, ms, t, t)))
        if ms % 10 == 9:
            j = ms // 10
            levels = []
            for side, sign in ((b"b", -1), (b"a", 1)):
                pairs = b",".join(b'["%d.%02d","%d.%03d"]' % ((price + sign * (k + 1)) // 100,
                                                             (price + sign * (k + 1)) % 100,
                                                             k, (ms + k) % 1000)
                                  for k in range(10))
                levels.append(b'"%s":[%s]' % (side, pairs))
            pu = b"CCCCCCCCC99" if j == 0 else b"BBBBBBBBB%02d" % (j - 1)
            lines.append(local + b" " + (
                b'{"e":"depthUpdate","E":%s,"T":%s,"s":"BTCUSDT","U":BBBBBBBBB%02d,'
                b'"u":BBBBBBBBB%02d,"pu":%s,%s,%s}' % (t, t, j, j, pu, levels[0], levels[1])))
    lines.append(b"SSSSSSSSSS999999 " + (
        b'{"e":"markPriceUpdate","E":SSSSSSSSSS999,"s":"BTCUSDT","p":"%d.%02d",'
        b'"i":"%d.%02d","P":"0","r":"0.00010000","T":%d}'
        % (mark // 100, mark % 100, mark // 100, mark % 100, (SECOND0 + 28_800) * 1_000)))
    assert len(lines) == BLOCK_MESSAGES
    return b"\n".join(lines) + b"\n"


def snapshot() -> bytes:
    """The depth snapshot the updates of second 1 follow on from."""
    bids = b",".join(b'["%d.00","1.000"]' % (41_999 - k) for k in range(20))
    asks = b",".join(b'["%d.00","1.000"]' % (42_001 + k) for k in range(20))
    return (b'%d000000 {"lastUpdateId":%d99,"E":%d000,"T":%d000,"bids":[%s],"asks":[%s]}\n'
            % (SECOND0, FIRST_BLOCK - 1, SECOND0, SECOND0, bids, asks))


class Capture:
    """A capture of `n` messages (the snapshot included), made as it is
    read: a template per second."""

    def __init__(self, n: int) -> None:
        self.left = n - 1
        self.block = FIRST_BLOCK
        self.rows = template()
        self.ends = []
        at = 0
        for _ in range(BLOCK_MESSAGES):
            at = self.rows.index(b"\n", at) + 1
            self.ends.append(at)
        self.carry = memoryview(snapshot())

    def readable(self) -> bool:
        return True

    def readinto(self, b) -> int:  # type: ignore[no-untyped-def]
        n, out = len(b), 0
        while out < n:
            if not self.carry:
                if self.left == 0:
                    break
                k = min(self.left, BLOCK_MESSAGES)
                self.carry = memoryview(
                    self.rows[: self.ends[k - 1]]
                    .replace(b"SSSSSSSSSS", b"%d" % (SECOND0 + self.block - FIRST_BLOCK + 1))
                    .replace(b"BBBBBBBBB", b"%d" % self.block)
                    .replace(b"CCCCCCCCC", b"%d" % (self.block - 1)))
                self.block += 1
                self.left -= k
            m = min(n - out, len(self.carry))
            b[out: out + m] = self.carry[:m]
            self.carry = self.carry[m:]
            out += m
        return out


def write_capture(path: str, mb: int) -> int:
    """A capture file of about `mb` MB; returns its messages."""
    messages = (mb << 20) // 215  # about 215 bytes a message
    source = Capture(messages)
    buf = bytearray(8 << 20)
    with open(path, "wb") as f:
        while n := source.readinto(buf):
            f.write(buf[:n])
    return messages


def bench_throughput(tmp: str, mb: int) -> None:
    from halvorn import data

    path = os.path.join(tmp, "capture.jsonl")
    messages = write_capture(path, mb)
    size = os.path.getsize(path)
    outs = {"ticks": os.path.join(tmp, "c.hvtk"), "depth": os.path.join(tmp, "c.hvdp"),
            "marks": os.path.join(tmp, "c.hvmk")}
    for label, files in (("ticks, depth and marks", outs), ("ticks alone", {"ticks": outs["ticks"]}),
                         ("depth alone", {"depth": outs["depth"]})):
        def convert() -> None:
            with open(path, "rb") as f:
                data.from_capture(f, tick_size="0.01", lot_size="0.001", **files)

        convert()  # warm the page cache
        seconds = best_of(3, convert)
        print(f"from_capture into {label}: {size / 1e6:.0f} MB, {messages:,} messages in "
              f"{seconds:.2f} s: {size / 1e6 / seconds:6.0f} MB/s, "
              f"{messages / seconds / 1e6:.2f} M messages/s")
    done = data.from_capture(open(path, "rb"), tick_size="0.01", lot_size="0.001", **outs)
    print(f"  wrote {len(done.ticks):,} ticks, {len(done.depth):,} depth records, "
          f"{len(done.marks):,} marks; skipped {done.skipped:,}")
    os.remove(path)


CHILD = textwrap.dedent(
    """
    import os, sys, time
    sys.path.insert(0, sys.argv[3])
    from capture_convert import Capture
    from halvorn import data
    n = int(sys.argv[1])
    out = sys.argv[2]
    start = time.perf_counter()
    done = data.from_capture(Capture(n), ticks=out + ".hvtk", depth=out + ".hvdp",
                             marks=out + ".hvmk", tick_size="0.01", lot_size="0.001")
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    assert done.messages == n, (done.messages, n)
    for ext in (".hvtk", ".hvdp", ".hvmk"):
        os.remove(out + ext)
    print(peak, seconds)
    """
)


def bench_memory(tmp: str, messages: int) -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    for n in (1_000_000, messages):
        out = subprocess.run([sys.executable, "-c", CHILD, str(n), os.path.join(tmp, "mem"),
                              here], check=True, capture_output=True, text=True).stdout.split()
        peak, seconds = int(out[0]), float(out[1])
        print(f"peak RSS converting {n:>11,} messages: {peak / 1024:7.1f} MiB ({seconds:.1f} s, "
              "the messages made by a Python file object as they are read)")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--mb", type=int, default=512)
    p.add_argument("--messages", type=int, default=10_000_000)
    p.add_argument("--only", choices=["memory", "throughput"], default=None,
                   help="run one of the measurements (default: both)")
    p.add_argument("--dir", default=None,
                   help="where the files go (default /dev/shm when there is one, so that the "
                        "figures are the conversion's, not the disk's)")
    args = p.parse_args()
    where = args.dir or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    with tempfile.TemporaryDirectory(dir=where) as tmp:
        if args.only in (None, "memory"):
            bench_memory(tmp, args.messages)
        if args.only in (None, "throughput"):
            bench_throughput(tmp, args.mb)


if __name__ == "__main__":
    main()
