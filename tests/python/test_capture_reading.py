"""halvorn.data.from_capture against a plain Python reader of the same captures.

The reference reads each line with the json module (numbers as Decimal),
scales with Decimal, orders every message by (exchange time, trade first,
line) with one sort of the whole capture, and builds the ticks, the depth
records, the marks and the settlements by the documented rules, so that
every file the converter streams is checked record for record against
arithmetic that shares nothing with the C++ path.  The captures are made
up at random from the documented message layouts: wrapped and bare
messages, prices as strings and as JSON numbers, keys in any order, fields
nobody reads, messages of other kinds and other symbols, and messages that
arrive behind later ones.
"""

import io
import json
import random
from decimal import Decimal

import pytest

from halvorn import data, venue

TICK, LOT = Decimal("0.01"), Decimal("0.001")
BTC = venue.Instrument("BTCUSDT", "0.01", "0.001")

# --- the reference --------------------------------------------------------------------


def to_ns(raw):
    raw = int(raw)
    for low, high, scale in ((631152000000, 4102444799999, 10**6),
                             (631152000000000, 4102444799999999, 10**3),
                             (631152000000000000, 4102444799999999999, 1)):
        if low <= raw <= high:
            return raw * scale
    raise AssertionError(raw)


def count(value, step):
    q = Decimal(str(value)) / step
    assert q == q.to_integral_value(), (value, step)
    return int(q)


def reference(text, symbol="BTCUSDT"):
    """(ticks, depth records, marks, settlements) of a capture, as tuples."""
    events = []
    for line_no, line in enumerate(text.splitlines()):
        if not line.strip():
            continue
        head, _, rest = line.partition(" ")
        local = None
        if head.startswith("{"):
            message = json.loads(line, parse_float=Decimal)
        else:
            local = to_ns(head)
            message = json.loads(rest, parse_float=Decimal)
        outer, body = message, message.get("data") if isinstance(message.get("data"), dict) else message
        if "topic" in outer:
            kind = "snapshot" if outer["type"] == "snapshot" else "update"
            exch = to_ns(outer["ts"])
            u = int(body["u"])
            events.append((exch, 2, line_no, kind, dict(first=u, final=u, prev=None,
                                                        bids=body["b"], asks=body["a"])))
            continue
        e = body.get("e")
        if e is not None and body.get("s") != symbol:
            continue
        exch = to_ns(body["T"]) if "T" in body and e != "markPriceUpdate" else (
            to_ns(body["E"]) if "E" in body else local)
        local = exch if local is None else local
        if e in ("aggTrade", "trade"):
            events.append((exch, 0, line_no, "trade", dict(
                local=local, price=count(body["p"], TICK), qty=count(body["q"], LOT),
                id=int(body["a" if e == "aggTrade" else "t"]))))
        elif e == "bookTicker":
            events.append((exch, 2, line_no, "quote", dict(
                local=local, bid=count(body["b"], TICK), ask=count(body["a"], TICK))))
        elif e == "depthUpdate":
            events.append((exch, 2, line_no, "update", dict(
                first=int(body["U"]), final=int(body["u"]), prev=body.get("pu"),
                bids=body["b"], asks=body["a"])))
        elif e == "markPriceUpdate":
            events.append((to_ns(body["E"]), 2, line_no, "mark", dict(
                mark=count(body["p"], TICK), index=count(body["i"], TICK),
                rate=count(body["r"], Decimal("0.000000001")), next=to_ns(body["T"]))))
        elif "lastUpdateId" in body:
            events.append((exch, 1, line_no, "snapshot", dict(
                first=0, final=int(body["lastUpdateId"]), prev=None, bids=body["bids"],
                asks=body["asks"])))
    # Exchange time; at one time a trade first (what follows it may be its
    # consequence), then a snapshot fetched apart from the stream (updates of
    # its time may be in it or after it, never before it); then the
    # capture's order.
    events.sort(key=lambda ev: ev[:3])

    ticks, depth, marks, settlements = [], [], [], []
    bid = ask = last = volume = 0
    traded = False
    last_id = None
    due = rate = None
    mark = written = None
    settled = last_mark = None
    for exch, _, _, kind, ev in events:
        if kind == "trade":
            if last_id is not None and ev["id"] <= last_id:
                continue
            last_id = ev["id"]
            volume += ev["qty"]
            last = ev["price"]
            traded = True
            ticks.append((exch, ev["local"], last, last, last, bid, ask, volume))
        elif kind == "quote":
            changed = (ev["bid"], ev["ask"]) != (bid, ask)
            bid, ask = ev["bid"], ev["ask"]
            if changed and traded:
                ticks.append((exch, ev["local"], last, last, last, bid, ask, volume))
        elif kind in ("snapshot", "update"):
            levels = tuple(tuple((count(p, TICK), count(q, LOT)) for p, q, *_ in side)
                           for side in (ev["bids"], ev["asks"]))
            if kind == "snapshot":
                depth.append(data.Snapshot(ev["final"], *levels, time_ns=exch))
            else:
                prev = None if ev["prev"] is None else int(ev["prev"])
                depth.append(data.Update(ev["first"], ev["final"], exch, *levels,
                                         prev_final_id=prev))
        else:
            if due is not None and exch > due:
                settlements.append((due, rate, mark))
                settled, due = due, None
            if settled is None or ev["next"] > settled:
                if due != ev["next"]:
                    due = ev["next"]
                rate = ev["rate"]
            mark, last_mark = ev["mark"], exch
            if written != (ev["mark"], ev["index"]):
                written = (ev["mark"], ev["index"])
                marks.append((exch, ev["mark"], ev["index"]))
    if due is not None and last_mark >= due:
        settlements.append((due, rate, mark))
    return ticks, depth, marks, settlements


# --- captures made up from the documented layouts --------------------------------------

T0 = 1_704_067_200_000  # ms


def price_text(rng, ticks, step_digits=2):
    """A price as a capture may write it: a string or a JSON number, with or
    without trailing zeros or an exponent."""
    value = Decimal(ticks).scaleb(-step_digits)
    form = rng.randrange(4)
    text = (f"{value:.{step_digits + rng.randrange(3)}f}" if form < 2
            else format(value.normalize(), "E") if form == 2 else str(value))
    return text if rng.random() < 0.7 else Decimal(text)


def qty_text(rng, lots):
    value = Decimal(lots).scaleb(-3)
    return f"{value:.8f}" if rng.random() < 0.7 else value


def dumps(rng, obj):
    items = list(obj.items())
    rng.shuffle(items)
    if rng.random() < 0.3:
        items.append(("x", {"nested": [1, {"deep": "\\u00e9 \"q\""}], "n": None}))
    sep = (",", ":") if rng.random() < 0.5 else (", ", ": ")
    return json.dumps(dict(items), separators=sep, default=str)


def capture(seed, n=600):
    """(text, expected symbol) of a random capture of about `n` messages."""
    rng = random.Random(seed)
    lines = []
    exch = T0
    agg_id, trade_price = 10_000, 4_200_000
    bid, ask = trade_price - 1, trade_price + 1
    update_id = 500
    mark_ticks = trade_price
    funding_time = T0 + 500
    # The snapshot covers the updates up to 500; it arrives later than the
    # first updates after it, stamped before them.
    snapshot = {"lastUpdateId": update_id, "E": exch + 1, "T": exch,
                "bids": [[price_text(rng, bid - k), qty_text(rng, 10 + k)] for k in range(5)],
                "asks": [[price_text(rng, ask + k), qty_text(rng, 20 + k)] for k in range(5)]}
    pending = [(exch + 3, snapshot)]
    arrival = {}
    exch += 1
    for i in range(n):
        exch += rng.randrange(0, 7)
        roll = rng.random()
        if roll < 0.4:
            agg_id += 1
            trade_price += rng.randrange(-3, 4)
            msg = {"e": "aggTrade", "E": exch + 1, "T": exch, "s": "BTCUSDT", "a": agg_id,
                   "p": price_text(rng, trade_price), "q": qty_text(rng, rng.randrange(1, 900)),
                   "f": 1, "l": 2, "m": rng.random() < 0.5}
            if rng.random() < 0.05:  # given again after a reconnection
                pending.append((exch + 40, dict(msg)))
        elif roll < 0.65:
            bid = trade_price - rng.randrange(1, 3)
            ask = bid + rng.randrange(1, 3)
            msg = {"e": "bookTicker", "u": i, "s": "BTCUSDT", "b": price_text(rng, bid),
                   "B": "1.0", "a": price_text(rng, ask), "A": "2.0", "T": exch, "E": exch + 1}
        elif roll < 0.85:
            first = update_id + 1
            update_id += rng.randrange(1, 4)
            msg = {"e": "depthUpdate", "E": exch + 1, "T": exch, "s": "BTCUSDT", "U": first,
                   "u": update_id, "pu": first - 1,
                   "b": [[price_text(rng, bid - k), qty_text(rng, rng.randrange(0, 50))]
                         for k in range(rng.randrange(0, 4))],
                   "a": [[price_text(rng, ask + k), qty_text(rng, rng.randrange(0, 50)), 3]
                         for k in range(rng.randrange(0, 4))]}
        elif roll < 0.93:
            mark_ticks = trade_price + rng.randrange(-2, 3) * (rng.random() < 0.5)
            if exch > funding_time and rng.random() < 0.5:
                funding_time += 500
            msg = {"e": "markPriceUpdate", "E": exch, "s": "BTCUSDT",
                   "p": price_text(rng, mark_ticks), "i": price_text(rng, mark_ticks - 1),
                   "P": "0", "r": f"0.000{rng.randrange(100, 999)}0", "T": funding_time}
        elif roll < 0.96:
            msg = {"e": "kline", "E": exch, "s": "BTCUSDT", "k": {"t": exch, "o": "1"}}
        elif roll < 0.98:
            msg = {"e": "aggTrade", "E": exch, "T": exch, "s": "ETHUSDT", "a": 7, "p": "1",
                   "q": "1", "m": True}
        else:
            msg = {"result": None, "id": i}
        # A message arrives up to 25 ms behind those of other streams stamped
        # after it; those of its own stream arrive in their order.
        stream = msg.get("e", "reply")
        arrival[stream] = max(arrival.get(stream, 0), exch + rng.randrange(0, 25))
        pending.append((arrival[stream], msg))
    pending.sort(key=lambda p: p[0])
    for local_ms, msg in pending:
        body = msg
        if "e" in msg and rng.random() < 0.5:
            msg = {"stream": f"btcusdt@{msg['e']}", "data": msg}
        local = (local_ms * 1000 + rng.randrange(1000)) * (1000 if rng.random() < 0.5 else 1)
        sep = " " if rng.random() < 0.8 else "\t "
        text = dumps(rng, msg) if "data" not in msg else (
            '{"stream":%s,"data":%s}' % (json.dumps(msg["stream"]), dumps(rng, body)))
        lines.append(f"{local}{sep}{text}")
    return "\n".join(lines) + "\n"


def converted(tmp_path, text, chunked=False, **kwargs):
    out = {k: str(tmp_path / f"c.{k}") for k in ("ticks", "depth", "marks")}
    source = io.BytesIO(text.encode())
    if chunked:  # one line a read, split in two files at a line
        cut = text.index("\n", len(text) // 2) + 1
        source = [io.BytesIO(text[:cut].encode()), io.BytesIO(text[cut:].encode())]
    done = data.from_capture(source, **out, instrument=BTC, **kwargs)
    ticks = [tuple(int(v) for v in row) for row in zip(*data.to_arrays(done.ticks).values())]
    return done, ticks, list(data.read_depth(done.depth)), list(data.read_marks(done.marks))


# --- the tests --------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(8))
def test_every_file_equals_the_reference_reading(tmp_path, seed):
    text = capture(seed)
    done, ticks, depth, marks = converted(tmp_path, text, chunked=seed % 2 == 1,
                                          max_delay=100_000_000)
    want_ticks, want_depth, want_marks, want_settlements = reference(text)
    assert ticks == want_ticks
    assert depth == want_depth
    assert marks == want_marks
    assert [(f.time, f.rate, f.price) for f in done.funding] == want_settlements
    assert done.symbol == "BTCUSDT" and done.other_symbols > 0 and done.repeated_trades > 0
    assert done.depth_breaks == 0 and done.missing_trades == 0
    assert len(want_settlements) > 0


def test_local_times_in_every_form_and_none(tmp_path):
    def msg(trade_id):
        return ('{"e":"aggTrade","T":1704067200123,"s":"BTCUSDT","a":%d,"p":"42000.01",'
                '"q":"0.001","m":true}' % trade_id)

    lines = [f"1704067200200 {msg(1)}", f"1704067200200000\t{msg(2)}",
             f"2024-01-01T00:00:00.2000001Z {msg(3)}", msg(4)]
    done = data.from_capture(io.BytesIO("\n\n".join(lines).encode()), ticks=str(tmp_path / "t"),
                             instrument=BTC)
    assert data.to_arrays(done.ticks)["local_ts"].tolist() == [
        1_704_067_200_200_000_000, 1_704_067_200_200_000_000, 1_704_067_200_200_000_100,
        1_704_067_200_123_000_000]


def book_archive(seed):
    rng = random.Random(seed)
    lines, u = [], 1_000
    ts = T0
    for i in range(300):
        ts += rng.randrange(0, 5)
        snapshot = i == 0 or rng.random() < 0.02
        u = 1 if snapshot and i > 0 and rng.random() < 0.5 else u + 1  # a restart starts over
        side = lambda base, sign: [[price_text(rng, base + sign * k, 4),
                                    qty_text(rng, rng.randrange(0 if not snapshot else 1, 90))]
                                   for k in range(rng.randrange(1, 6))]
        lines.append(dumps(rng, {"topic": "orderbook.500.BTCUSDT",
                                 "type": "snapshot" if snapshot else "delta", "ts": ts,
                                 "data": {"s": "BTCUSDT", "b": side(3_450, -1),
                                          "a": side(3_451, 1), "u": u, "seq": 7 * i},
                                 "cts": ts - 2}))
    return "\n".join(lines)


@pytest.mark.parametrize("seed", range(3))
def test_order_book_archives_equal_the_reference_reading(tmp_path, seed):
    global TICK
    text = book_archive(seed)
    xrp = venue.Instrument("BTCUSDT", "0.0001", "0.001")
    done = data.from_capture(io.BytesIO(text.encode()), depth=str(tmp_path / "d"),
                             instrument=xrp)
    saved, TICK = TICK, Decimal("0.0001")
    try:
        want = reference(text)[1]
    finally:
        TICK = saved
    assert list(data.read_depth(done.depth)) == want
    assert done.depth_breaks == 0


def test_gaps_are_refused_or_written_with_a_warning(tmp_path):
    def trade(ms, trade_id):
        return ('{"e":"aggTrade","T":%d,"s":"BTCUSDT","a":%d,"p":"42000.00","q":"0.001"}'
                % (T0 + ms, trade_id))

    def update(ms, first, last, pu):
        return ('{"e":"depthUpdate","T":%d,"s":"BTCUSDT","U":%d,"u":%d,"pu":%d,"b":[],"a":[]}'
                % (T0 + ms, first, last, pu))

    text = "\n".join([trade(0, 1), '{"lastUpdateId":5,"T":%d,"bids":[],"asks":[]}' % T0,
                      update(1, 6, 7, 5), trade(2, 4), update(3, 9, 9, 8)])
    out = {"ticks": str(tmp_path / "t"), "depth": str(tmp_path / "d")}
    source = io.BytesIO(text.encode())
    source.name = "day.jsonl"
    with pytest.raises(ValueError, match=r"^day.jsonl:4: missing aggregated trades 2 to 3 "):
        data.from_capture(source, **out, instrument=BTC)
    with pytest.warns(UserWarning, match="2 aggregated trades are missing; 1 depth updates do "
                                         "not continue the book"):
        done = data.from_capture(io.BytesIO(text.encode()), **out, instrument=BTC,
                                 allow_gaps=True)
    assert (done.missing_trades, done.depth_breaks, len(done.ticks), len(done.depth)) == (
        2, 1, 2, 3)
