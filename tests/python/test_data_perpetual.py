"""The archives perpetual traders hold, through halvorn.data, against plain
Python readers of the same rules.

Chained depth diffs (the USD-margined futures order-book history layout)
and two-clock book snapshots become depth files; mark price and premium
index klines and the two-clock derivative ticker become mark files, the
ticker with its funding settlements.  Each is checked record for record
against a reference below that reads the CSV text itself, and the chained
layout through L2 runs: the book survives the holes between its update ids
and still breaks where an update is missing.
"""

import io
import random
from decimal import Decimal
from fractions import Fraction

import pytest

import halvorn
from halvorn import data, venue
from halvorn.data._tick_csv import convert_finding

L2 = venue.Venue(tier=venue.L2())

CHAINED = "symbol,timestamp,first_update_id,last_update_id,side,update_type,price,qty,pu"
KLINES = ("open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume,"
          "taker_buy_quote_volume,ignore")
TICKER = ("exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,"
          "predicted_funding_rate,open_interest,last_price,index_price,mark_price")
T0_MS = 1_704_067_200_000  # 2024-01-01


def book_header(levels):
    return "exchange,symbol,timestamp,local_timestamp," + ",".join(
        f"asks[{i}].price,asks[{i}].amount,bids[{i}].price,bids[{i}].amount"
        for i in range(levels))


# --- the references -----------------------------------------------------------------------


def unit_of(raw):
    """Nanoseconds per step of a file whose first time is `raw`: the unit in
    which it falls in the years 1990 to 2099."""
    for factor in (1_000_000, 1_000, 1):
        per_second = 1_000_000_000 // factor
        if 631_152_000 * per_second <= raw < 4_102_444_800 * per_second:
            return factor
    raise AssertionError(raw)


def rows_of(files, columns):
    """Each row of each file as a dict, with `ns` the factor of its file."""
    for text in files:
        lines = [line for line in text.decode().splitlines() if line.strip()]
        if lines[0].split(",")[0] in ("symbol", "exchange", "open_time"):
            lines = lines[1:]
        factor = None
        for line in lines:
            row = dict(zip(columns.split(","), line.split(",")))
            time = row.get("timestamp") or row["close_time"]
            factor = factor or unit_of(int(time))
            row["ns"] = factor
            yield row


def count(text, step, nearest=False):
    q = Fraction(text) / Fraction(step)
    if nearest:
        return round(q)  # a Fraction rounds half to even
    assert q.denominator == 1, (text, step)
    return q.numerator


def chained_reference(files, tick, lot):
    """The depth records of chained depth diffs: consecutive rows of one
    (time, ids, kind) are one record; an update follows its pu."""
    records, key, levels, head = [], None, None, None

    def close():
        bids = tuple(lv for side, lv in levels if side == "b")
        asks = tuple(lv for side, lv in levels if side == "a")
        t, first, last, snap = key
        if snap:
            records.append(data.Snapshot(last, bids, asks, time_ns=t))
        else:
            records.append(data.Update(first, last, t, bids, asks, prev_final_id=int(head["pu"])))

    for r in rows_of(files, CHAINED):
        kind = r["update_type"].lower()
        k = (int(r["timestamp"]) * r["ns"], int(r["first_update_id"]), int(r["last_update_id"]),
             kind in ("snap", "snapshot"))
        if k != key:
            if key is not None:
                close()
            key, levels, head = k, [], r
        side = "b" if r["side"].lower() in ("b", "bid", "buy") else "a"
        qty = 0 if kind == "delete" else count(r["qty"], lot)
        levels.append((side, (count(r["price"], tick), qty)))
    if key is not None:
        close()
    return records


def book_reference(files, levels, tick, lot):
    out = []
    for n, r in enumerate(rows_of(files, book_header(levels)), start=1):
        bids, asks = [], []
        for i in range(levels):
            for side, into in (("asks", asks), ("bids", bids)):
                price, amount = r[f"{side}[{i}].price"], r[f"{side}[{i}].amount"]
                if price:
                    into.append((count(price, tick), count(amount, lot)))
        out.append(data.Snapshot(n, tuple(bids), tuple(asks),
                                 time_ns=int(r["timestamp"]) * r["ns"]))
    return out


def kline_reference(files, tick, nearest=False):
    return [(int(r["close_time"]) * r["ns"], count(r["close"], tick, nearest), 0)
            for r in rows_of(files, KLINES)]


def ticker_reference(files, tick):
    """Mark records at each change of mark or index; a settlement for each
    funding time once a row at or after it names a later one (or the rows end
    at or after it), at the rate of the last row to name it (a rate without a
    time is for the time last named), priced at the last mark stated at or
    before it.  A time replaced before it came is not settled, nor one before
    the first row."""
    marks, settled, stated = [], [], []
    mark, index, last = None, 0, None
    due, rate, done, first = None, None, None, None

    def settle():
        if rate is not None and due >= first:
            settled.append((due, rate, [m for s, m in stated if s <= due][-1]))

    for r in rows_of(files, TICKER):
        t = int(r["timestamp"]) * r["ns"]
        first = t if first is None else first
        if r["index_price"]:
            index = count(r["index_price"], tick)
        if r["mark_price"]:
            mark = count(r["mark_price"], tick)
            stated.append((t, mark))
        f = int(r["funding_timestamp"]) * r["ns"] if r["funding_timestamp"] else None
        late = f is not None and done is not None and f <= done
        if f is not None and not late and f != due:
            if due is not None and t >= due:
                settle()
                done = due
            due, rate = f, None  # a new funding time replaces one that has not come
        if r["funding_rate"] and due is not None and not late:
            rate = count(r["funding_rate"], "0.000000001")
        if mark is not None and (mark, index) != last:
            marks.append((t, mark, index))
            last = (mark, index)
        end = t
    if due is not None and end >= due:
        settle()
    return marks, settled


# --- files the tests write ----------------------------------------------------------------


def spelled(word, rng):
    return rng.choice([word, word.upper(), word.capitalize()])


def chained_day(rng, t0_ms, first_id, updates, gap_at=None):
    """A snapshot, then `updates` updates whose ids leave holes between them,
    each naming the last id of the one before as its pu.  `gap_at` drops the
    update of that number from the file, as a lost message would."""
    out, t = [CHAINED], t0_ms
    px = lambda k: f"{k // 10}.{k % 10}"  # noqa: E731  (ticks of 0.1)
    for i in range(20):
        side = "b" if i % 2 else "a"
        k = 4000 - i // 2 if side == "b" else 4001 + i // 2
        out.append(f"BTCUSDT,{t},{first_id},{first_id},{side},snap,{px(k)},{rng.randint(1, 9)},0")
    last = first_id
    # The first update straddles the snapshot, as it does when recorded.
    first = first_id - rng.randint(0, 3)
    for n in range(updates):
        t += rng.choice([0, 1, 5])
        final = max(first, last + 1) + rng.randint(0, 4)
        rows = []
        for _ in range(rng.randint(1, 4)):
            side = rng.choice(["b", "a"])
            k = rng.randint(3990, 4000) if side == "b" else rng.randint(4001, 4011)
            kind = rng.choice(["set", "set", "update", "delete"])
            qty = rng.choice(["0", str(rng.randint(1, 9)), "0.5"])
            rows.append(f"BTCUSDT,{t},{first},{final},{spelled(side, rng)},{spelled(kind, rng)},"
                        f"{px(k)},{qty},{last}")
        if n != gap_at:
            out.extend(rows)
        last = final
        first = final + rng.randint(1, 30)  # the ids an update does not hold are no one's
    return ("\n".join(out) + "\n").encode()


def named(content, name):
    f = io.BytesIO(content)
    f.name = name
    return f


def flat_ticks(times_ns):
    return [halvorn.Tick(t, 400, bid=399, ask=400) for t in times_ns]


class Quiet:
    def on_tick(self, ctx):
        return None


# --- chained depth diffs ------------------------------------------------------------------


class TestChainedDiffs:
    def test_the_minimal_reproduction_keeps_its_book_where_the_spot_rule_breaks_it(self, tmp_path):
        # A snapshot at id 100; an update 90..105 straddling it; an update
        # 120..130 after it, whose pu names 105: the ids between are no one's.
        rows = [("100", "100", "snap", "0"), ("90", "105", "set", "89"),
                ("120", "130", "set", "105")]
        chained = CHAINED + "\n" + "\n".join(
            f"X,{T0_MS + i},{f},{l},b,{kind},{99 - i},1,{pu}" for i, (f, l, kind, pu) in
            enumerate(rows))
        spot = ("symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,"
                "price,qty\n") + "\n".join(f"X,{T0_MS + i},0,{f},{l},b,{kind},{99 - i},1"
                                          for i, (f, l, kind, pu) in enumerate(rows))
        ticks = flat_ticks([(T0_MS + i) * 1_000_000 + 1 for i in range(3)])
        runs = {}
        for name, text in (("chained", chained), ("spot", spot)):
            depth = data.depth_from_csv(tmp_path / f"{name}.hvdp", io.BytesIO(text.encode()),
                                        tick_size="1", lot_size="1")
            runs[name] = venue.run(Quiet(), ticks, 10_000, venue=L2, depth=depth)
        assert (runs["chained"].invalid_ticks, runs["chained"].depth_records) == (0, 3)
        # The depth diffs layout keeps its own rule: ids without holes.
        assert runs["spot"].invalid_ticks == 1

    @pytest.mark.parametrize("header", [True, False])
    def test_days_convert_to_the_reference_records(self, tmp_path, header):
        rng = random.Random(f"chained{header}")
        days = [chained_day(rng, T0_MS + d * 86_400_000, 10_000 * (d + 1), 300) for d in range(2)]
        if not header:
            days = [d.split(b"\n", 1)[1] for d in days]
        source = data.depth_from_csv(tmp_path / "d.hvdp", [named(d, f"day{i}.csv")
                                                            for i, d in enumerate(days)],
                                     tick_size="0.1", lot_size="0.5")
        assert list(data.read_depth(source)) == chained_reference(days, "0.1", "0.5")
        assert (source.snapshots, source.updates) == (2, 600)

    def test_a_day_runs_with_its_book_intact_and_a_lost_update_is_found(self, tmp_path):
        rng = random.Random(7)
        day = chained_day(rng, T0_MS, 50_000, 2_000)
        records = chained_reference([day], "0.1", "0.5")
        times = sorted({r.time_ns for r in records})
        ticks = flat_ticks([t + 1 for t in times])
        depth = data.depth_from_csv(tmp_path / "day.hvdp", io.BytesIO(day), tick_size="0.1",
                                    lot_size="0.5")
        run = venue.run(Quiet(), ticks, 10_000, venue=L2, depth=depth)
        assert (run.invalid_ticks, run.depth_records) == (0, len(records))

        # One update lost: from it on the book waits for a snapshot that does
        # not come, and every later tick is invalid.
        lost = chained_day(random.Random(7), T0_MS, 50_000, 2_000, gap_at=1_000)
        kept = chained_reference([lost], "0.1", "0.5")
        broken_at = next(i for i, (a, b) in enumerate(zip(kept[1:], kept[2:]))
                         if b.prev_final_id != a.final_id) + 2
        depth = data.depth_from_csv(tmp_path / "lost.hvdp", io.BytesIO(lost), tick_size="0.1",
                                    lot_size="0.5")
        run = venue.run(Quiet(), ticks, 10_000, venue=L2, depth=depth)
        assert run.invalid_ticks == sum(t > kept[broken_at].time_ns for t in ticks_times(ticks))

    def test_snapshots_in_files_of_their_own_are_merged_and_mend_a_broken_book(self, tmp_path):
        whole = chained_reference([chained_day(random.Random(9), T0_MS, 50_000, 1_000)],
                                  "0.1", "0.5")
        lost = chained_day(random.Random(9), T0_MS, 50_000, 1_000, gap_at=300)
        # The book of the whole day as of update 600, written as a snapshot
        # at that update's time and last id.
        book = {}
        for r in whole[:601]:
            if isinstance(r, data.Snapshot):
                book = {("b", p): q for p, q in r.bids} | {("a", p): q for p, q in r.asks}
            else:
                book.update({("b", p): q for p, q in r.bids} | {("a", p): q for p, q in r.asks})
        at = whole[600]
        t_ms = at.time_ns // 1_000_000
        snap_rows = [f"BTCUSDT,{t_ms},{at.final_id},{at.final_id},{side},snap,{p // 10}.{p % 10},"
                     f"{q / 2},0" for (side, p), q in sorted(book.items()) if q > 0]
        lines = lost.decode().splitlines()
        first_snapshot = [line for line in lines[1:] if ",snap," in line]
        snaps = [CHAINED] + first_snapshot + snap_rows
        updates = [CHAINED] + [line for line in lines[1:] if ",snap," not in line]
        depth = data.depth_from_csv(
            tmp_path / "d.hvdp", named(("\n".join(updates) + "\n").encode(), "updates.csv"),
            snapshots=named(("\n".join(snaps) + "\n").encode(), "snap.csv"), tick_size="0.1",
            lot_size="0.5")
        assert (depth.snapshots, depth.updates) == (2, 999)
        times = sorted({r.time_ns for r in whole})
        run = venue.run(Quiet(), flat_ticks([t + 1 for t in times]), 10_000, venue=L2, depth=depth)
        # From the update after the lost one to the snapshot, and no further.
        broken = whole[301].time_ns
        assert run.invalid_ticks == sum(broken <= t < at.time_ns for t in times) > 0
        with pytest.raises(ValueError, match="^book.csv: this file is of the 5-level book "
                           "snapshots layout, but the stream began with a file of the chained "
                           "depth diffs layout \\(updates.csv\\)"):
            data.depth_from_csv(tmp_path / "x.hvdp", named(("\n".join(updates) + "\n").encode(),
                                                           "updates.csv"),
                                snapshots=named((f"{book_header(5)}\nex,X,{t_ms * 1_000},"
                                                 f"{t_ms * 1_000}" + ",,,," * 5 + "\n").encode(),
                                                "book.csv"),
                                tick_size="0.1", lot_size="0.5")

    def test_a_taker_buy_is_priced_from_the_converted_book(self, tmp_path):
        rng = random.Random(11)
        day = chained_day(rng, T0_MS, 50_000, 500)
        records = chained_reference([day], "0.1", "0.5")
        times = sorted({r.time_ns for r in records})
        ticks = [halvorn.Tick(t + 1, 1, bid=1, ask=1) for t in times]
        at = len(ticks) // 2
        # The buy placed on tick `at` executes on the next, against the book
        # of every record up to that tick.
        asks = {}
        for r in records:
            if r.time_ns > ticks[at + 1].exch_ts:
                break
            if isinstance(r, data.Snapshot):
                asks = dict(r.asks)
            else:
                asks.update(dict(r.asks))
        best = min(p for p, q in asks.items() if q > 0)
        depth = data.depth_from_csv(tmp_path / "d.hvdp", io.BytesIO(day), tick_size="0.1",
                                    lot_size="0.5")

        class BuyOnce:
            n = 0

            def on_tick(self, ctx):
                self.n += 1
                return [halvorn.Order("buy", 1)] if self.n == at + 1 else None

        run = venue.run(BuyOnce(), ticks, 10_000_000, venue=L2, depth=depth)
        assert (run.fill_prices, run.invalid_ticks) == ([best], 0)

    def test_update_types_and_refusals(self, tmp_path):
        text = (CHAINED + "\nX,1704067200000,5,5,b,snap,1,1,0\n"
                "X,1704067200001,6,7,a,DELETE,2,3,5\nX,1704067200001,6,7,a,Update,3,3,5\n")
        got = list(data.read_depth(data.depth_from_csv(
            tmp_path / "d.hvdp", io.BytesIO(text.encode()), tick_size="1", lot_size="1",
            layout="chained_diffs")))
        assert got[1] == data.Update(6, 7, 1_704_067_200_001_000_000, (), ((2, 0), (3, 3)),
                                     prev_final_id=5)
        for bad, message in [
            ("a,remove,2,3,5", 'column update_type: "remove" is not an update type (snap, '
                               'snapshot, set, delta, update or delete)'),
            ("a,set,2,3,-1", 'column pu: "-1" is negative'),
            ("a,set,2,3", "expected 9 columns (" + CHAINED + "), found 8"),
        ]:
            with pytest.raises(ValueError) as e:
                data.depth_from_csv(tmp_path / "x.hvdp", named(
                    (CHAINED + "\nX,1704067200001,6,7," + bad + "\n").encode(), "c.csv"),
                    tick_size="1", lot_size="1")
            assert str(e.value) == "c.csv:2: " + message


def ticks_times(ticks):
    return [t.exch_ts for t in ticks]


# --- two-clock book snapshots -------------------------------------------------------------


class TestBookSnapshots:
    @pytest.mark.parametrize("levels", [5, 25])
    def test_rows_become_the_reference_snapshots(self, tmp_path, levels):
        rng = random.Random(levels)
        out, t = [book_header(levels)], T0_MS * 1_000
        for _ in range(200):
            t += rng.choice([0, 100, 2_500])
            held = rng.randint(0, levels)  # a thin book leaves its last levels empty
            fields = []
            for i in range(levels):
                if i < held:
                    fields += [f"{4001 + i}.{rng.randint(0, 9)}", f"{rng.randint(0, 20) / 4}",
                               f"{4000 - i}.{rng.randint(0, 9)}", f"{rng.randint(1, 20) / 4}"]
                else:
                    fields += ["", "", "", ""]
            out.append(f"venue,BTCUSDT,{t},{t + 80}," + ",".join(fields))
        text = ("\n".join(out) + "\n").encode()
        source = data.depth_from_csv(tmp_path / "b.hvdp", io.BytesIO(text), tick_size="0.1",
                                     lot_size="0.25")
        assert list(data.read_depth(source)) == book_reference([text], levels, "0.1", "0.25")

    def test_every_row_installs_a_book_for_l2(self, tmp_path):
        t = [T0_MS * 1_000 + i * 1_000 for i in range(3)]
        rows = [f"ex,X,{t[i]},{t[i] + 5},{101 + i},2,{99 - i},2" + ",,,," * 4 for i in range(3)]
        text = (book_header(5) + "\n" + "\n".join(rows) + "\n").encode()
        depth = data.depth_from_csv(tmp_path / "b.hvdp", io.BytesIO(text), tick_size="1",
                                    lot_size="1")
        ticks = [halvorn.Tick(t[i] * 1_000 + 1, 1, bid=1, ask=1) for i in range(3)]

        class BuyFirst:
            n = 0

            def on_tick(self, ctx):
                self.n += 1
                return [halvorn.Order("buy", 1)] if self.n == 1 else None

        run = venue.run(BuyFirst(), ticks, 10_000, venue=L2, depth=depth)
        # The buy made on the first tick meets the book of the second row.
        assert (run.fill_prices, run.invalid_ticks, run.depth_records) == ([102], 0, 3)

    def test_half_a_level_is_refused(self, tmp_path):
        row = "ex,X,1704067200000000,1704067200000000,101,2,99," + ",,,," * 4
        with pytest.raises(ValueError) as e:
            data.depth_from_csv(tmp_path / "b.hvdp", named(f"{book_header(5)}\n{row}\n".encode(),
                                                           "b.csv"), tick_size="1", lot_size="1")
        assert str(e.value) == 'b.csv:2: column bids[0].amount: "" is not a decimal number'


# --- mark files ---------------------------------------------------------------------------


def kline_text(rng, n, start_ms, micros=False, header=True, digits=8):
    scale = 1000 if micros else 1
    out = [KLINES] if header else []
    for i in range(n):
        open_t = (start_ms + 60_000 * i) * scale
        close = f"{42_000 + rng.randint(-500, 500)}.{rng.randint(0, 10**digits - 1):0{digits}d}"
        out.append(f"{open_t},42000.1,42010.2,41990.3,{close},0,{open_t + 59_999 * scale},0,"
                   f"60,0,0,0")
    return ("\n".join(out) + "\n").encode()


class TestMarks:
    @pytest.mark.parametrize("micros", [False, True])
    @pytest.mark.parametrize("header", [True, False])
    def test_klines_become_one_record_each_at_the_nearest_tick(self, tmp_path, micros, header):
        rng = random.Random(f"{micros}{header}")
        days = [kline_text(rng, 200, T0_MS + d * 86_400_000, micros, header) for d in range(2)]
        marks = data.marks_from_csv(tmp_path / "m.hvmk", [io.BytesIO(d) for d in days],
                                    tick_size="0.1", lot_size="0.001", round=True)
        assert list(data.read_marks(marks)) == kline_reference(days, "0.1", nearest=True)
        assert (marks.kind, marks.records, marks.settlements) == ("mark", 400, 0)

    def test_rounding_is_to_the_nearest_tick_and_ties_go_to_the_even_one(self, tmp_path):
        closes = ["100.05", "100.15", "100.149999", "0.05", "100.250000001"]
        text = "".join(f"{T0_MS + i},1,1,1,{c},0,{T0_MS + i},0,1,0,0,0\n"
                       for i, c in enumerate(closes)).encode()
        with pytest.raises(ValueError, match='^sources file 1:4: column close: "0.05" is not '
                           "above 0, and a mark or index price is a price$"):
            data.marks_from_csv(tmp_path / "m.hvmk", io.BytesIO(text), tick_size="0.1",
                                lot_size="1", round=True)  # the nearest tick is 0: no price
        text = text.replace(b",0.05,", b",0.15,")
        marks = data.marks_from_csv(tmp_path / "m.hvmk", io.BytesIO(text), tick_size="0.1",
                                    lot_size="1", round=True)
        assert [m for _, m, _ in data.read_marks(marks)] == [1000, 1002, 1001, 2, 1003]
        with pytest.raises(ValueError) as e:
            data.marks_from_csv(tmp_path / "n.hvmk", named(text, "k.csv"), tick_size="0.1",
                                lot_size="1")
        assert str(e.value) == ('k.csv:1: column close: "100.05" is not a whole number of ticks '
                                'of 0.1; a mark or index price is taken to the nearest tick only '
                                'when rounding is asked for')

    def test_premium_index_klines_are_rates_in_billionths(self, tmp_path):
        text = (KLINES + f"\n{T0_MS},0,0,0,-0.00012345,0,{T0_MS + 59_999},0,12,0,0,0\n").encode()
        marks = data.marks_from_csv(tmp_path / "p.hvmk", io.BytesIO(text), premium=True,
                                    tick_size="0.1", lot_size="0.001")
        assert marks.kind == "premium"
        assert list(data.read_marks(marks)) == [((T0_MS + 59_999) * 1_000_000, -123_450, 0)]

    def test_the_ticker_settles_funding_at_the_rate_announced_and_the_mark(self, tmp_path):
        us = T0_MS * 1_000
        hour = 3_600_000_000
        rows = [  # time, funding time, rate, index, mark
            (us, us + 8 * hour, "0.0001", "42000.0", "42001.0"),
            (us + hour, "", "0.00012", "", ""),          # a new rate for the same time
            (us + 8 * hour, "", "", "", "42003.5"),       # at the funding time: the mark
            (us + 8 * hour + 1, us + 16 * hour, "0.00005", "", "42004.0"),
            (us + 10 * hour, us + 16 * hour, "", "42010.0", ""),
            (us + 12 * hour, us + 24 * hour, "0.0002", "", ""),  # 16 h moved: never settled
            (us + 24 * hour, "", "", "", "42020.0"),      # the last row reaches 24 h
        ]
        text = (TICKER + "\n" + "\n".join(
            f"ex,BTCUSDT,{t},{t + 50},{f},{r},,,,{i},{m}" for t, f, r, i, m in rows)).encode()
        marks = data.marks_from_csv(tmp_path / "t.hvmk", io.BytesIO(text), tick_size="0.1",
                                    lot_size="0.001")
        ns = lambda u: u * 1_000  # noqa: E731
        assert list(data.read_marks(marks)) == [
            (ns(us), 420010, 420000), (ns(us + 8 * hour), 420035, 420000),
            (ns(us + 8 * hour + 1), 420040, 420000), (ns(us + 10 * hour), 420040, 420100),
            (ns(us + 24 * hour), 420200, 420100)]
        assert data.funding_of(marks) == [
            venue.FundingRate(time=ns(us + 8 * hour), rate=120_000, price=420035),
            venue.FundingRate(time=ns(us + 24 * hour), rate=200_000, price=420200)]
        assert (marks.records, marks.settlements) == (5, 2)
        # The settlements are what a venue takes.
        venue.Venue(funding=data.funding_of(marks))

    @pytest.mark.filterwarnings("ignore:marks_from_csv. .* priced at a mark older:UserWarning")
    def test_ticker_days_against_the_reference(self, tmp_path):
        rng = random.Random(3)
        days = []
        t, funding = T0_MS * 1_000, (T0_MS + 8 * 3_600_000) * 1_000
        for d in range(2):
            out = [TICKER]
            for _ in range(4_000):
                t += rng.randint(1, 60_000_000)
                if t > funding and rng.random() < 0.5:
                    funding += 8 * 3_600_000_000
                f = str(funding) if rng.random() < 0.3 else ""
                r = f"0.000{rng.randint(0, 300):03d}" if rng.random() < 0.3 else ""
                price = lambda: f"{42_000 + rng.randint(0, 20)}.{rng.randint(0, 9)}"  # noqa
                idx = price() if rng.random() < .5 else ""
                mark = price() if rng.random() < .5 else ""
                out.append(f"ex,BTCUSDT,{t},{t + 7},{f},{r},,12.5,,{idx},{mark}")
            days.append(("\n".join(out) + "\n").encode())
        marks = data.marks_from_csv(tmp_path / "t.hvmk", [io.BytesIO(d) for d in days],
                                    layout="ticker", tick_size="0.1", lot_size="0.001")
        want_marks, want_settled = ticker_reference(days, "0.1")
        assert list(data.read_marks(marks)) == want_marks
        assert [(f.time, f.rate, f.price) for f in data.funding_of(marks)] == want_settled
        assert len(want_settled) > 5

    def test_a_settlement_without_a_mark_and_a_premium_ticker_are_refused(self, tmp_path):
        text = (TICKER + f"\nex,X,{T0_MS * 1000},{T0_MS * 1000},{T0_MS * 1000 + 5},0.0001,,,,,"
                f"\nex,X,{T0_MS * 1000 + 9},{T0_MS * 1000 + 9},,,,,,,42000\n").encode()
        with pytest.raises(ValueError, match="^no mark price at or before the funding settlement "
                           "at 1704067200000005000 ns \\(rate 100000 billionths\\) to price it"):
            data.marks_from_csv(tmp_path / "t.hvmk", io.BytesIO(text), tick_size="1",
                                lot_size="1")
        with pytest.raises(ValueError, match="the derivative ticker layout holds mark and index "
                           "prices, not a premium index"):
            data.marks_from_csv(tmp_path / "t.hvmk", io.BytesIO(text), tick_size="1",
                                lot_size="1", premium=True)
        assert not (tmp_path / "t.hvmk").exists()

    def test_saved_marks_read_back_and_keep_their_instrument(self, tmp_path):
        records = [(i * 1_000, 420_000 + i % 7, (420_000 + i) if i % 3 else 0)
                   for i in range(20_000)]  # across blocks of 8192
        settlements = [(5_000_000, 100_000, 420_001), (9_000_000, -25_000, 420_003)]
        marks = data.save_marks(tmp_path / "s.hvmk", records, settlements=settlements,
                                instrument=7)
        assert list(data.read_marks(marks)) == records
        assert [(f.time, f.rate, f.price) for f in data.funding_of(marks)] == settlements
        assert (len(marks), marks.instrument, data.instrument_of(marks)) == (20_000, 7, None)
        converted = data.marks_from_csv(
            tmp_path / "k.hvmk", io.BytesIO(kline_text(random.Random(1), 3, T0_MS, digits=1)),
            instrument=venue.Instrument("BTCUSDT", "0.10", "0.001", id=4))
        assert data.instrument_of(converted) == venue.Instrument("BTCUSDT", "0.10", "0.001", id=4)
        assert data.instrument_of(str(converted.path)).symbol == "BTCUSDT"

    def test_mark_files_refuse_what_a_reader_would(self, tmp_path):
        with pytest.raises(ValueError, match="mark 2 goes backwards: previous time 5, found 4"):
            data.save_marks(tmp_path / "b.hvmk", [(1, 1), (5, 1), (4, 1)])
        with pytest.raises(ValueError, match="funding settlement 1 at 5 ns is not after the one "
                           "before it, at 5 ns"):
            data.save_marks(tmp_path / "b.hvmk", [], settlements=[(5, 1, 1), (5, 2, 1)])
        with pytest.raises(TypeError, match=r"records\[1\]: expected a tuple of 2 to 3 ints"):
            data.save_marks(tmp_path / "b.hvmk", [(1, 1), (2,)])
        assert not (tmp_path / "b.hvmk").exists()
        good = data.save_marks(tmp_path / "g.hvmk", [(i, i + 1) for i in range(100)])
        raw = bytearray((tmp_path / "g.hvmk").read_bytes())
        raw[100] ^= 1
        (tmp_path / "g.hvmk").write_bytes(bytes(raw))
        with pytest.raises(ValueError, match="g.hvmk: mark file checksum mismatch"):
            list(data.read_marks(good))
        (tmp_path / "g.hvmk").write_bytes(bytes(raw[:200]))
        with pytest.raises(ValueError, match="g.hvmk: mark file truncated: needed 2448 bytes, "
                           "48 available"):
            list(data.read_marks(good))
        halvorn.save_ticks(str(tmp_path / "t.hvtk"), [halvorn.Tick(1, 1)])
        with pytest.raises(ValueError, match="not a mark file: magic 0x4b545648"):
            data.load_marks(tmp_path / "t.hvtk")


# --- the traps real files set -------------------------------------------------------------


TRADES = "id,price,qty,quote_qty,time,is_buyer_maker"


class TestTraps:
    def test_times_in_nanoseconds_are_told_and_said(self, tmp_path):
        ms = b"1,1.0,1,0,1704067200000,true\n2,1.1,1,0,1704067200005,false\n"
        ns = ms.replace(b"1704067200000,", b"1704067200000000000,").replace(
            b"1704067200005,", b"1704067200005000000,")
        a = data.from_csv(tmp_path / "a.hvtk", io.BytesIO(ms), tick_size="0.1", lot_size="1")
        b = data.from_csv(tmp_path / "b.hvtk", io.BytesIO(ns), tick_size="0.1", lot_size="1")
        assert data.to_arrays(b)["exch_ts"].tolist() == data.to_arrays(a)["exch_ts"].tolist()
        with pytest.raises(ValueError, match="is not a time in nanoseconds, the unit of this file "
                           "since line 1"):
            data.from_csv(tmp_path / "c.hvtk", io.BytesIO(ns + b"3,1,1,0,1704067200006,true\n"),
                          tick_size="0.1", lot_size="1")
        with pytest.raises(ValueError, match="in milliseconds, microseconds or nanoseconds .* "
                           "631152000000000000 to 4102444799999999999 in nanoseconds\\); give"):
            data.from_csv(tmp_path / "c.hvtk", io.BytesIO(b"1,1,1,0,123456,true\n"),
                          tick_size="0.1", lot_size="1")

    def test_quotes_without_trades_are_refused(self, tmp_path):
        with pytest.raises(ValueError, match="^the trades have no rows, so none of the 2 quote "
                           "rows makes a tick"):
            data.from_csv(tmp_path / "q.hvtk", io.BytesIO(TRADES.encode() + b"\n"),
                          io.BytesIO(b"1,1,1,2,1,1704067200000,1\n2,1,1,2,1,1704067200001,1\n"),
                          tick_size="0.1", lot_size="1")
        assert not (tmp_path / "q.hvtk").exists()

    def test_quotes_that_end_before_the_trades_are_measured_kept_cleared_or_refused(self,
                                                                                   tmp_path):
        rng = random.Random(5)
        trades, quotes, t = [TRADES], [], T0_MS
        for i in range(4_000):
            t += rng.randint(1, 400)
            trades.append(f"{i},{rng.randint(399, 401)},1,0,{t},true")
            if t < T0_MS + 300_000 or (600_000 < t - T0_MS < 620_000):  # then a long pause
                quotes.append(f"{i},{rng.randint(398, 399)},1,{rng.randint(401, 402)},1,{t},{t}")
        trade_text = ("\n".join(trades) + "\n").encode()
        quote_text = ("\n".join(quotes) + "\n").encode()
        # The reference: the age of the latest quote row before each trade.
        quote_times = [int(q.split(",")[5]) for q in quotes]
        ages, j = [], 0
        for row in trades[1:]:
            t = int(row.split(",")[4])
            while j < len(quote_times) and quote_times[j] < t:
                j += 1
            if j:
                ages.append((t - quote_times[j - 1]) * 1_000_000)
        limit = 60_000_000_000
        stale = sum(a > limit for a in ages)
        assert stale > 1_000
        with pytest.warns(UserWarning) as w:
            kept = data.from_csv(tmp_path / "k.hvtk", io.BytesIO(trade_text),
                                 io.BytesIO(quote_text), tick_size="1", lot_size="1",
                                 stale_quotes="warn")
        assert str(w[0].message).startswith(f"from_csv: {stale:,} of {len(kept):,} ticks were "
                                            f"made when the latest quote was older than 1 min "
                                            "and carry it")
        found = convert_finding(tmp_path / "f.hvtk", io.BytesIO(trade_text),
                                io.BytesIO(quote_text), layout=None, quote_layout=None,
                                tick_size="1", lot_size="1", instrument=1, time_unit=None,
                                quote_time_unit=None, sort_window=0, allow_gaps=False,
                                round=False, progress=None)[2]
        assert (found.stale_ticks, found.oldest_quote) == (stale, max(ages))
        # Cleared by default, saying how to keep them.
        with pytest.warns(UserWarning, match='had their bid and ask cleared; .*; stale_quotes="keep" '
                          "keeps them$"):
            cleared = data.from_csv(tmp_path / "c.hvtk", io.BytesIO(trade_text),
                                    io.BytesIO(quote_text), tick_size="1", lot_size="1")
        k, c = data.to_arrays(kept), data.to_arrays(cleared)
        differ = [i for i in range(len(kept)) if k["bid"][i] != c["bid"][i]]
        assert len(differ) == stale and all(c["bid"][i] == c["ask"][i] == 0 for i in differ)
        with pytest.raises(ValueError, match=r"t.csv:\d+: the latest quote at this trade is \d+ ns "
                           r"old \(from \d+ ns\), more than the 60000000000 ns a quote may be$"):
            data.from_csv(tmp_path / "r.hvtk", named(trade_text, "t.csv"), io.BytesIO(quote_text),
                          tick_size="1", lot_size="1", stale_quotes="refuse")
        data.from_csv(tmp_path / "s.hvtk", io.BytesIO(trade_text), io.BytesIO(quote_text),
                      tick_size="1", lot_size="1", stale_quotes="keep")  # silent

    @pytest.mark.parametrize("layout, rows", [
        ("trades", ["7,1.0,1,0,1704067200000,true", "8,1.0,2,0,1704067200000,true",
                    "7,1.0,1,0,1704067200000,true", "9,1.0,4,0,1704067200001,true"]),
        ("clock_trades", ["ex,X,1704067200000000,1704067200000000,a7,buy,1.0,1",
                          "ex,X,1704067200000000,1704067200000000,a8,buy,1.0,2",
                          "ex,X,1704067200000000,1704067200000000,a7,buy,1.0,1",
                          "ex,X,1704067200000001,1704067200000001,a7,buy,1.0,4"]),
    ])
    def test_a_trade_given_twice_is_counted_dropped_or_refused(self, tmp_path, layout, rows):
        text = ("\n".join(rows) + "\n").encode()
        with pytest.warns(UserWarning, match="^from_csv: 1 trades repeat the id of a trade at the "
                          "same time and were kept, each counting its quantity again; the first "
                          r"is d.csv:3 \(repeating line 1\)$"):
            kept = data.from_csv(tmp_path / "k.hvtk", named(text, "d.csv"), tick_size="0.1",
                                 lot_size="1")
        assert data.to_arrays(kept)["volume"].tolist() == [1, 3, 4, 8]
        with pytest.warns(UserWarning, match="were dropped"):
            skipped = data.from_csv(tmp_path / "s.hvtk", io.BytesIO(text), tick_size="0.1",
                                    lot_size="1", duplicates="skip")
        # A repeated id at another time is another trade (the last row).
        assert data.to_arrays(skipped)["volume"].tolist() == [1, 3, 7]
        with pytest.raises(ValueError) as e:
            data.from_csv(tmp_path / "r.hvtk", named(text, "d.csv"), tick_size="0.1",
                          lot_size="1", duplicates="refuse")
        which = "trade id 7" if layout == "trades" else "a trade id"
        assert str(e.value) == (f"d.csv:3: {which} repeats the trade at line 1 (at the same time, "
                                "1704067200000000000 ns); a trade given twice would count its "
                                "quantity twice: remove the repeat, or have repeated trades "
                                "skipped")

    def test_an_aggregated_trade_given_twice_is_refused_or_skipped(self, tmp_path):
        rows = b"5,1.0,1,1,1,1704067200000,true\n5,1.0,1,1,1,1704067200000,true\n" \
               b"6,1.0,2,1,1,1704067200001,true\n"
        with pytest.raises(ValueError, match="aggregated trade id 5 does not follow id 5"):
            data.from_csv(tmp_path / "a.hvtk", io.BytesIO(rows), tick_size="0.1", lot_size="1")
        with pytest.warns(UserWarning, match="1 trades repeat"):
            got = data.from_csv(tmp_path / "a.hvtk", io.BytesIO(rows), tick_size="0.1",
                                lot_size="1", duplicates="skip")
        assert data.to_arrays(got)["volume"].tolist() == [1, 3]

    def test_a_tick_size_that_changed_over_the_years_is_named(self, tmp_path):
        old = (TRADES + "\n1,7000.00,1,0,1577836800000,true\n2,7000.01,1,0,1577836800001,true\n")
        new = (TRADES + "\n3,42000.10,1,0,1704067200000,true\n4,42000.20,1,0,1704067200001,true\n")
        files = lambda: [named(old.encode(), "2020.csv"), named(new.encode(), "2024.csv")]  # noqa
        with pytest.raises(ValueError) as e:
            data.from_csv(tmp_path / "t.hvtk", files(), tick_size="0.10", lot_size="1")
        assert str(e.value) == ('2020.csv:3: column price: "7000.01" is not a whole number of '
                                'ticks of 0.10; a tick size of 0.01 fits it and every price '
                                'before it')
        fine = data.from_csv(tmp_path / "t.hvtk", files(), tick_size="0.01", lot_size="1")
        assert data.to_arrays(fine)["last"].tolist() == [700000, 700001, 4200010, 4200020]
        # A step that is no power of ten: the suggestion is the step both fit.
        with pytest.raises(ValueError, match='"10.3" .* ticks of 0.25; a tick size of 0.05 fits'):
            data.from_csv(tmp_path / "t.hvtk", io.BytesIO(b"1,10.3,1,0,1704067200000,true\n"),
                          tick_size="0.25", lot_size="1")
        assert Decimal("10.3") % Decimal("0.05") == 0
