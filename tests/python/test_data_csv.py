"""halvorn.data.from_csv against a plain Python reader of the same rules.

The reference below reads the CSV text itself -- header or shape, unit by
range, prices and quantities scaled with Fraction, the merge of trades and
quotes -- so every conversion is checked tick for tick against arithmetic
that shares nothing with the C++ path.
"""

import gzip
import io
import os
import random
import signal
import subprocess
import sys
import textwrap
import zipfile
from decimal import ROUND_CEILING, ROUND_FLOOR, Decimal, localcontext
from fractions import Fraction
from math import ceil, floor, gcd

import pytest
from hypothesis import given, seed, settings
from hypothesis import strategies as st

import halvorn
from halvorn import data

# --- the reference ------------------------------------------------------------------------

COLUMNS = {
    "trades": "id,price,qty,quote_qty,time,is_buyer_maker",
    "aggregated trades": "agg_trade_id,price,quantity,first_trade_id,last_trade_id,"
                         "transact_time,is_buyer_maker",
    "two-clock trades": "exchange,symbol,timestamp,local_timestamp,id,side,price,amount",
    "best bid and offer": "update_id,best_bid_price,best_bid_qty,best_ask_price,best_ask_qty,"
                          "transaction_time,event_time",
    "two-clock quotes": "exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,"
                        "bid_price,bid_amount",
}
TRADE_LAYOUTS = ["trades", "aggregated trades", "two-clock trades"]
QUOTE_LAYOUTS = ["best bid and offer", "two-clock quotes"]
TIME = {"trades": "time", "aggregated trades": "transact_time", "two-clock trades": "timestamp",
        "best bid and offer": "transaction_time", "two-clock quotes": "timestamp"}


def shape(fields, quotes):
    """The layout a headerless first row has, by its column count and content."""
    if quotes:
        return {7: "best bid and offer", 8: "two-clock quotes"}[len(fields)]
    return {6: "trades", 7: "aggregated trades", 8: "two-clock trades"}[len(fields)]


def nanos(raw):
    raw = int(raw)
    if 631152000000 <= raw <= 4102444799999:
        return raw * 1_000_000, 1_000_000
    assert 631152000000000 <= raw <= 4102444799999999
    return raw * 1_000, 1_000


def steps(text, step):
    """Exact count of steps, or None when not whole."""
    q = Fraction(text) / Fraction(step)
    return q.numerator if q.denominator == 1 else None


def read_rows(files, quotes, tick, lot, rounding=False):
    """(exch, local, a, b) per row of a stream's files: a trade's price and
    quantity, or a quote's bid and ask."""
    rows = []
    for text in files:
        lines = [line for line in text.decode().splitlines() if line.strip()]
        first = lines[0].split(",")
        names = [n.strip() for n in first]
        layout = next((name for name, cols in COLUMNS.items() if cols.split(",") == names), None)
        if layout is None:
            layout = shape(first, quotes)
        else:
            lines = lines[1:]
        cols = COLUMNS[layout].split(",")
        factor = None
        for line in lines:
            r = dict(zip(cols, line.split(",")))
            if factor is None:
                _, factor = nanos(r[TIME[layout]])
            exch = int(r[TIME[layout]]) * factor
            local = int(r["local_timestamp"]) * factor if "local_timestamp" in r else exch
            if quotes:
                bid_col, ask_col = (("best_bid_price", "best_ask_price")
                                    if layout == "best bid and offer" else ("bid_price", "ask_price"))
                bid = Fraction(r[bid_col]) / Fraction(tick)
                ask = Fraction(r[ask_col]) / Fraction(tick)
                if rounding:
                    bid, ask = floor(bid), ceil(ask)
                rows.append((exch, local, int(bid), int(ask)))
                continue
            price = Fraction(r["price"]) / Fraction(tick)
            qty = Fraction(r.get("qty") or r.get("quantity") or r["amount"]) / Fraction(lot)
            if rounding:
                sold = r.get("is_buyer_maker", "").lower() in ("true", "1") or r.get("side") == "sell"
                price = floor(price) if sold else ceil(price)
                qty = floor(qty)
            assert price.denominator == 1 and qty.denominator == 1
            rows.append((exch, local, int(price), int(qty)))
    return rows


def reference(trade_files, quote_files, tick, lot, rounding=False):
    """The ticks of the merge, as tuples of the eight fields."""
    trades = read_rows(trade_files, False, tick, lot, rounding)
    quotes = read_rows(quote_files or [], True, tick, lot, rounding)
    ticks, bid, ask, last, volume, traded = [], 0, 0, 0, 0, False
    i = j = 0
    while i < len(trades) or j < len(quotes):
        if i < len(trades) and (j == len(quotes) or trades[i][0] <= quotes[j][0]):
            exch, local, last, qty = trades[i]
            volume += qty
            traded = True
            ticks.append((exch, local, last, last, last, bid, ask, volume))
            i += 1
        else:
            exch, local, b, a = quotes[j]
            changed = (b, a) != (bid, ask)
            bid, ask = b, a
            if changed and traded:
                ticks.append((exch, local, last, last, last, bid, ask, volume))
            j += 1
    return ticks


def ticks_of(source):
    cols = data.to_arrays(source)
    return list(zip(*(cols[f].tolist() for f in data.FIELDS)))


# --- files the tests write ----------------------------------------------------------------

T0_MS = 1_700_000_000_000


def trade_text(layout, n, rng, start, micros=False, header=True, tick="0.1", first_id=1):
    """n trades from time `start` (ms), prices whole ticks written in varied ways."""
    scale = 1000 if micros else 1
    out = [COLUMNS[layout]] if header else []
    t = start * scale
    for k in range(n):
        t += rng.choice([0, 1, 7]) * scale
        price = Fraction(rng.randint(400_000, 400_050)) * Fraction(tick)
        qty = Fraction(rng.randint(1, 5000), 1000)
        p, q = decimal_text(price, rng), decimal_text(qty, rng)
        maker = rng.choice(["true", "false", "True", "0", "1", "FALSE"])
        if layout == "trades":
            out.append(f"{first_id + k},{p},{q},0,{t},{maker}")
        elif layout == "aggregated trades":
            out.append(f"{first_id + k},{p},{q},7,9,{t},{maker}")
        else:
            side = rng.choice(["buy", "sell", "unknown"])
            out.append(f"venue,BTCUSDT,{t},{t + 5 * scale},x{k},{side},{p},{q}")
    nl = rng.choice(["\n", "\r\n"])
    return (nl.join(out) + rng.choice([nl, ""])).encode()


def quote_text(layout, n, rng, start, micros=False, header=True, tick="0.1"):
    scale = 1000 if micros else 1
    out = [COLUMNS[layout]] if header else []
    t = start * scale
    for k in range(n):
        t += rng.choice([0, 1, 3]) * scale
        bid = Fraction(rng.randint(400_000, 400_020)) * Fraction(tick)
        ask = bid + Fraction(rng.randint(1, 3)) * Fraction(tick)
        b, a = decimal_text(bid, rng), decimal_text(ask, rng)
        if layout == "best bid and offer":
            out.append(f"{k + 1},{b},1.5,{a},2,{t},{t + 1}")
        else:
            out.append(f"venue,BTCUSDT,{t},{t + 2 * scale},2,{a},{b},1.5")
    return ("\n".join(out) + "\n").encode()


def decimal_text(value, rng):
    """An exact decimal spelling of a Fraction whose denominator divides a power of ten."""
    sign, value = ("-" if value < 0 else ""), abs(value)
    digits = 0
    while (value * 10**digits).denominator != 1:
        digits += 1
    scaled = (value * 10**digits).numerator
    body = str(scaled).rjust(digits + 1, "0")
    text = body[:-digits] + "." + body[-digits:] if digits else body
    form = rng.randrange(4)
    if form == 1:
        text += "0" if "." in text else ".0"
    elif form == 2 and digits:
        text = f"{scaled}e-{digits}"
    elif form == 3 and not sign:
        text = "+" + text
    return sign + text


def named(content, name):
    f = io.BytesIO(content)
    f.name = name
    return f


def convert(tmp_path, trades, quotes=None, name="out.hvtk", **options):
    options.setdefault("tick_size", "0.1")
    options.setdefault("lot_size", "0.001")
    return data.from_csv(str(tmp_path / name), trades, quotes, **options)


# --- conversions against the reference ----------------------------------------------------


@pytest.mark.parametrize("layout", TRADE_LAYOUTS)
@pytest.mark.parametrize("header", [True, False], ids=["header", "no-header"])
@pytest.mark.parametrize("micros", [False, True], ids=["ms", "us"])
def test_every_trade_layout_gives_the_reference_ticks(tmp_path, layout, header, micros):
    rng = random.Random(f"{layout}{header}{micros}")
    days = [trade_text(layout, 300, rng, T0_MS + d * 86_400_000, micros, header, first_id=1 + 300 * d)
            for d in range(3)]
    files = [named(t, f"day{d}.csv") for d, t in enumerate(days)]
    source = convert(tmp_path, files)
    assert ticks_of(source) == reference(days, None, "0.1", "0.001")
    assert len(source) == 900


@pytest.mark.parametrize("trade_layout", TRADE_LAYOUTS)
@pytest.mark.parametrize("quote_layout", QUOTE_LAYOUTS)
def test_quotes_merge_by_time_in_every_pairing(tmp_path, trade_layout, quote_layout):
    rng = random.Random(f"{trade_layout}{quote_layout}")
    micros = "two-clock" in quote_layout
    trades = [trade_text(trade_layout, 200, rng, T0_MS + 5 + 2000 * d, micros, header=d == 0,
                         first_id=1 + 200 * d) for d in range(2)]
    quotes = [quote_text(quote_layout, 200, rng, T0_MS + 2000 * d, micros, header=d == 1)
              for d in range(2)]
    source = convert(tmp_path, [io.BytesIO(t) for t in trades], [io.BytesIO(q) for q in quotes])
    got = ticks_of(source)
    want = reference(trades, quotes, "0.1", "0.001")
    assert got == want
    # A quote repeating both prices makes no tick, so there are fewer than rows.
    assert 400 < len(got) < 400 + 400


def test_the_documented_merge_example(tmp_path):
    trades = (b"1,42123.4,0.013,0,1700000000123,true\n"
              b"2,42123.5,0.002,0,1700000000124,false\n")
    quotes = (b"1,42123.0,1,42123.9,1,1700000000090,1\n2,42123.3,1,42123.5,1,1700000000100,1\n"
              b"3,42123.4,1,42123.5,1,1700000000123,1\n4,42123.4,1,42123.5,1,1700000000123,1\n"
              b"5,42123.4,1,42123.6,1,1700000000130,1\n")
    got = ticks_of(convert(tmp_path, io.BytesIO(trades), io.BytesIO(quotes)))
    ms = 1_000_000
    assert got == [
        (1700000000123 * ms, 1700000000123 * ms, 421234, 421234, 421234, 421233, 421235, 13),
        (1700000000123 * ms, 1700000000123 * ms, 421234, 421234, 421234, 421234, 421235, 13),
        (1700000000124 * ms, 1700000000124 * ms, 421235, 421235, 421235, 421234, 421235, 15),
        (1700000000130 * ms, 1700000000130 * ms, 421235, 421235, 421235, 421234, 421236, 15),
    ]


def test_gzip_files_zip_members_and_a_zip_archive_make_one_stream(tmp_path):
    rng = random.Random(7)
    days = [trade_text("trades", 250, rng, T0_MS + d * 86_400_000) for d in range(4)]
    gz = tmp_path / "d1.csv.gz"
    gz.write_bytes(gzip.compress(days[1]))
    archive = tmp_path / "month.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("b-day3.csv", days[3])
        z.writestr("a-day2.csv", days[2])
    with zipfile.ZipFile(archive) as z, gzip.open(gz) as g, \
            z.open("a-day2.csv") as m2, z.open("b-day3.csv") as m3:
        by_member = ticks_of(convert(tmp_path, [io.BytesIO(days[0]), g, m2, m3], name="m.hvtk"))
    assert by_member == reference(days, None, "0.1", "0.001")
    # The archive itself: its members in name order.
    with zipfile.ZipFile(archive) as z:
        assert ticks_of(convert(tmp_path, z, name="z.hvtk")) == reference(days[2:], None, "0.1",
                                                                       "0.001")


def test_a_generator_opens_each_file_only_when_it_is_reached(tmp_path):
    rng = random.Random(3)
    days = [trade_text("trades", 50, rng, T0_MS + d * 1000) for d in range(3)]
    opened = []

    def files():
        for d, text in enumerate(days):
            opened.append(d)
            yield io.BytesIO(text)
            assert opened == list(range(d + 1))  # the next is asked for after this one is read

    assert ticks_of(convert(tmp_path, files())) == reference(days, None, "0.1", "0.001")


def test_a_file_with_read_but_no_readinto_is_read(tmp_path):
    class Reader:
        def __init__(self, content):
            self._f = io.BytesIO(content)

        def read(self, n):
            return self._f.read(min(n, 777))  # short reads split lines anywhere

    rng = random.Random(11)
    text = trade_text("aggregated trades", 400, rng, T0_MS)
    assert ticks_of(convert(tmp_path, Reader(text))) == reference([text], None, "0.1", "0.001")


def test_rounding_goes_against_the_strategy(tmp_path):
    trades = (b"1,10.5,0.019,0,1700000000000,true\n"    # aggressor sold: price down
              b"2,10.5,0.019,0,1700000000001,false\n")  # aggressor bought: price up
    quotes = b"1,10.5,1,10.5,1,1700000000000,1\n2,10.25,1,10.75,1,1700000000002,1\n"
    source = convert(tmp_path, io.BytesIO(trades), io.BytesIO(quotes), tick_size="1",
                     lot_size="0.01", round=True)
    assert ticks_of(source) == reference([trades], [quotes], "1", "0.01", rounding=True)
    # 0.019 lots of 0.01 is 1; the quote at the first trade's time comes after it.
    assert [t[2:] for t in ticks_of(source)] == [
        (10, 10, 10, 0, 0, 1), (10, 10, 10, 10, 11, 1), (11, 11, 11, 10, 11, 2)]
    with pytest.raises(ValueError, match="is not a whole number of ticks of 1; a tick size of 0.1 "
                       "fits it and every price before it$"):
        convert(tmp_path, io.BytesIO(trades), tick_size="1", lot_size="0.01", name="x.hvtk")


def finer_step(step, text):
    """The coarsest step that both the step and the value fit, the value taken
    as a count of its last written digit's place, as plain decimal text."""
    place = Fraction(10) ** Decimal(text).normalize().as_tuple().exponent
    a, b = Fraction(step), place
    common = Fraction(gcd(a.numerator * b.denominator, b.numerator * a.denominator),
                      a.denominator * b.denominator)
    return format((Decimal(common.numerator) / Decimal(common.denominator)).normalize(), "f")


def decimal_steps(text, step, rounding):
    """`text` / `step` rounded by `rounding`, worked out with the decimal module."""
    with localcontext() as ctx:
        ctx.prec = 200
        return int((Decimal(text) / Decimal(step)).to_integral_value(rounding=rounding))


@pytest.mark.parametrize("text, step", [
    ("-0.15", "0.1"),                        # the example: bid -2, ask -1
    ("-0.05", "0.1"),                        # less than a tick below zero
    ("-0.3", "0.25"),                        # a step that is not a power of ten
    ("-9999999999999999999", "2.5"),         # beyond 64 bits once put in the step's places
    ("-1e-40", "0.1"),                       # far below the step's places
    ("-0.2", "0.1"),                         # whole: no rounding either way
    ("0.15", "0.1"),
])
def test_negative_prices_round_against_the_strategy_too(tmp_path, text, step):
    """Below zero, down is away from zero: bids and sellers' prices floor, asks and buyers' ceil."""
    trades = (f"1,{text},1,0,1700000000000,true\n"      # aggressor sold: price down
              f"2,{text},1,0,1700000000001,false\n").encode()  # aggressor bought: price up
    quotes = f"1,{text},1,{text},1,1700000000000,1\n".encode()
    got = ticks_of(convert(tmp_path, io.BytesIO(trades), io.BytesIO(quotes), tick_size=step,
                           lot_size="1", round=True))
    down, up = decimal_steps(text, step, ROUND_FLOOR), decimal_steps(text, step, ROUND_CEILING)
    assert [t[2] for t in got] == [down, down, up]
    assert [t[5:7] for t in got] == [(0, 0), (down, up), (down, up)]
    if (text, step) == ("-0.15", "0.1"):
        assert (down, up) == (-2, -1)


@pytest.mark.parametrize("tick", ["0.1", "0.25", "0.05", "1"])
@pytest.mark.filterwarnings("ignore:from_csv. .* trades were priced outside:UserWarning")
def test_rounding_prices_either_side_of_zero_matches_the_reference(tmp_path, tick):
    """Many prices around zero, every side, against the reference's exact floor and ceiling."""
    rng = random.Random(tick)
    t = T0_MS
    trade_rows, quote_rows = [], []
    for k in range(300):
        t += rng.choice([0, 1, 2])
        price = Fraction(rng.randint(-5000, 5000), 1000)
        maker = rng.choice(["true", "false"])
        trade_rows.append(f"{k + 1},{decimal_text(price, rng)},1,0,{t},{maker}")
        bid = Fraction(rng.randint(-5000, 5000), 1000)
        ask = bid + Fraction(rng.randint(0, 300), 1000)
        quote_rows.append(f"{k + 1},{decimal_text(bid, rng)},1,{decimal_text(ask, rng)},1,{t},{t}")
    trades = ("\n".join(trade_rows) + "\n").encode()
    quotes = ("\n".join(quote_rows) + "\n").encode()
    got = ticks_of(convert(tmp_path, io.BytesIO(trades), io.BytesIO(quotes), tick_size=tick,
                           lot_size="1", round=True))
    assert got == reference([trades], [quotes], tick, "1", rounding=True)
    assert min(t[5] for t in got) < 0 < max(t[6] for t in got)


def test_layout_and_unit_given_by_name_and_short_name(tmp_path):
    text = b"1,5,1,3,3,123456,true\n2,6,1,4,4,123457,false\n"  # times no unit can be told from
    with pytest.raises(ValueError, match="give the time unit"):
        convert(tmp_path, io.BytesIO(text))
    for layout, unit in [("agg_trades", "ms"), ("aggregated trades", "milliseconds")]:
        got = ticks_of(convert(tmp_path, io.BytesIO(text), layout=layout, time_unit=unit,
                               tick_size="1", lot_size="1", name=f"{unit}.hvtk"))
        assert [(t[0], t[2], t[7]) for t in got] == [(123456_000_000, 5, 1), (123457_000_000, 6, 2)]


def test_sort_window_takes_rows_a_little_late(tmp_path):
    text = b"1,5,1,0,1700000000002,true\n2,6,1,0,1700000000001,true\n3,7,1,0,1700000000003,true\n"
    with pytest.raises(ValueError, match=r"^trades file 1:2: column time: .* goes back in time"):
        convert(tmp_path, io.BytesIO(text), tick_size="1", lot_size="1")
    got = ticks_of(convert(tmp_path, io.BytesIO(text), tick_size="1", lot_size="1", sort_window=2))
    assert [t[2] for t in got] == [6, 5, 7]


# --- errors, and what a failure leaves ----------------------------------------------------


ERRORS = [
    # (files, options, the exact text)
    ([("a.csv", b"id,price,qty,quote_qty,time,is_buyer_maker\n1,1.0,1,0,1700000000000,true\n"
                b"2,1.05,1,0,1700000000001,true\n")], {},
     'a.csv:3: column price: "1.05" is not a whole number of ticks of 0.1; a tick size of 0.01 '
     'fits it and every price before it'),
    ([("a.csv", b"1,1.0,1,0,1700000000000,true\n"),
      ("b.csv", b"2,1.0,1,0,1700000000000,true\n3,1.0,1,0,1700000000000\n")], {},
     "b.csv:2: expected 6 columns (id,price,qty,quote_qty,time,is_buyer_maker), found 5"),
    ([("a.csv", b"1,1.0,1,0,1700000000000,true\n1,1.0,1,0,1700000000005,yes\n")], {},
     'a.csv:2: column is_buyer_maker: "yes" is not a boolean (true, false, 1 or 0)'),
    ([("a.csv", b"1,1.0,1,0,1700000000005,true\n"), ("b.csv", b"2,1.0,1,0,1700000000004,true\n")],
     {}, 'b.csv:1: column time: "1700000000004" goes back in time: 1700000000004000000 ns is '
         'before 1700000000005000000 ns at line 1 of a.csv'),
    ([("a.csv", b"id,prize,qty,quote_qty,time,is_buyer_maker\n")], {},
     'a.csv:1: the first line "id,prize,qty,quote_qty,time,is_buyer_maker" is not the header of a '
     "layout a trade file can have: trades (id,price,qty,quote_qty,time,is_buyer_maker), "
     "aggregated trades (agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,"
     "is_buyer_maker) or two-clock trades (exchange,symbol,timestamp,local_timestamp,id,side,"
     "price,amount)"),
    ([("a.csv", b"1,1.0,-1,0,1700000000000,true\n")], {}, 'a.csv:1: column qty: "-1" is negative'),
    ([("a.csv", b"1,1.0,1,0,1700000000000,true\n")], {"tick_size": "0"},
     'tick_size "0" is not a positive decimal number'),
]


@pytest.mark.parametrize("files, options, text", ERRORS)
def test_errors_carry_the_converters_text_and_leave_the_target_byte_for_byte(
        tmp_path, files, options, text):
    target = tmp_path / "out.hvtk"
    previous = halvorn.save_ticks(str(target), [halvorn.Tick(exch_ts=1, last=2)])
    before = target.read_bytes()
    with pytest.raises(ValueError) as raised:
        convert(tmp_path, [named(content, name) for name, content in files], **options)
    assert str(raised.value) == text
    assert previous == 1 and target.read_bytes() == before
    assert os.listdir(tmp_path) == ["out.hvtk"]


def test_a_gap_in_aggregated_trade_ids_is_reported_unless_allowed(tmp_path):
    text = b"100,1.0,1,1,1,1700000000000,true\n105,1.0,1,1,1,1700000000001,true\n"
    with pytest.raises(ValueError) as raised:
        convert(tmp_path, named(text, "agg.csv"))
    assert str(raised.value) == ("agg.csv:2: missing aggregated trades 101 to 104 (the row before "
                                 "is 100, this row 105)")
    assert not (tmp_path / "out.hvtk").exists()
    assert len(convert(tmp_path, io.BytesIO(text), allow_gaps=True)) == 2


def test_arguments_of_the_wrong_type_or_value_are_named(tmp_path):
    f = io.BytesIO(b"1,1.0,1,0,1700000000000,true\n")
    cases = [
        (TypeError, "'tick_size'", {"tick_size": 0.1}),
        (OverflowError, "'instrument'", {"instrument": -1}),
        (TypeError, "'sort_window'", {"sort_window": "2"}),
        (TypeError, "'round'", {"round": 1}),
        (ValueError, "'layout'", {"layout": "bbo"}),
        (ValueError, "'time_unit'", {"time_unit": "s"}),
        (TypeError, "^progress must be", {"progress": 3}),
    ]
    for kind, name, options in cases:
        with pytest.raises(kind, match=name):
            convert(tmp_path, f, **options)
    with pytest.raises(TypeError, match="'trades'.*open it"):
        convert(tmp_path, "trades.csv")
    with pytest.raises(TypeError, match="'trades'.*text mode"):
        convert(tmp_path, io.StringIO("1,1.0,1,0,1700000000000,true\n"))
    with pytest.raises(TypeError, match="'trades': file 2 is str"):
        convert(tmp_path, [io.BytesIO(b"1,1.0,1,0,1700000000000,true\n"), "day2.csv"])
    assert os.listdir(tmp_path) == []


def test_what_a_file_or_the_iterable_raises_comes_through_unchanged(tmp_path):
    class Broken(io.RawIOBase):
        def readinto(self, b):
            raise OSError(5, "the disk went away")

    def files():
        yield io.BytesIO(b"1,1.0,1,0,1700000000000,true\n")
        raise FileNotFoundError("day2.csv")

    with pytest.raises(OSError, match="the disk went away"):
        convert(tmp_path, [io.BytesIO(b"1,1.0,1,0,1700000000000,true\n"), Broken()])
    with pytest.raises(FileNotFoundError, match="day2.csv"):
        convert(tmp_path, files())
    assert os.listdir(tmp_path) == []


def test_progress_is_told_bytes_and_rows_and_can_stop_the_conversion(tmp_path):
    text = b"".join(b"%d,1.0,1,0,%d,true\n" % (i, 1700000000000 + i) for i in range(100_000))
    seen = []
    source, counts = data._convert(
        str(tmp_path / "p.hvtk"), io.BytesIO(text), None, layout=None, quote_layout=None,
        tick_size="0.1", lot_size="1", instrument=1, time_unit=None, quote_time_unit=None,
        sort_window=0, allow_gaps=False, round=False, progress=lambda b, r: seen.append((b, r)),
        progress_bytes=64 << 10)
    assert counts == (100_000, 100_000, 0, 0, len(text))
    assert seen[-1] == (len(text), 100_000) and len(seen) > 3
    assert all(a[0] <= b[0] and a[1] <= b[1] for a, b in zip(seen, seen[1:]))
    assert len({b for b, _ in seen}) > 3

    class Enough(Exception):
        pass

    def stop(b, r):
        if b > 1 << 20:
            raise Enough

    with pytest.raises(Enough):
        data._convert(str(tmp_path / "q.hvtk"), io.BytesIO(text), None, layout=None,
                      quote_layout=None, tick_size="0.1", lot_size="1", instrument=1,
                      time_unit=None, quote_time_unit=None, sort_window=0, allow_gaps=False,
                      round=False, progress=stop, progress_bytes=64 << 10)
    assert sorted(os.listdir(tmp_path)) == ["p.hvtk"]


# --- Ctrl-C -------------------------------------------------------------------------------


def test_keyboard_interrupt_in_a_read_stops_and_leaves_the_target(tmp_path):
    target = tmp_path / "out.hvtk"
    halvorn.save_ticks(str(target), [halvorn.Tick(exch_ts=1, last=2)])
    before = target.read_bytes()

    class Interrupted(io.RawIOBase):
        def readinto(self, b):
            raise KeyboardInterrupt

    rng = random.Random(1)
    with pytest.raises(KeyboardInterrupt):
        convert(tmp_path, [io.BytesIO(trade_text("trades", 100, rng, T0_MS)), Interrupted()])
    assert target.read_bytes() == before and os.listdir(tmp_path) == ["out.hvtk"]


SIGINT_CHILD = """
    import os, sys
    from halvorn import data

    class Endless:
        # Rows without end: a conversion over it stops only when it is stopped.
        def __init__(self):
            self.t = 1_700_000_000_000
            self.carry = b""
            self.reads = 0

        def readinto(self, b):
            self.reads += 1
            if self.reads == 3:
                print("reading", flush=True)  # the parent sends SIGINT now
            while len(self.carry) < len(b):
                self.t += 1
                self.carry += b"1,100.0,1,0,%d,true\\n" % self.t * 2000
            n = len(b)
            b[:n] = self.carry[:n]
            self.carry = self.carry[n:]
            return n

    dest = os.path.join(sys.argv[1], "out.hvtk")
    try:
        data.from_csv(dest, Endless(), tick_size="0.1", lot_size="1")
    except KeyboardInterrupt:
        print("interrupted", sorted(os.listdir(sys.argv[1])), flush=True)
"""


def test_ctrl_c_stops_a_running_conversion_promptly_and_leaves_nothing(tmp_path):
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SIGINT_CHILD), str(tmp_path)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "reading\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert out == "interrupted []\n", err
    assert child.returncode == 0


# --- exact scaling, as a property --------------------------------------------------------

STEPS = ["0.1", "0.01", "0.5", "5", "0.00025", "0.10", "25", "1e-3"]


@seed(20240501)
@settings(max_examples=60, deadline=None)
@given(step=st.sampled_from(STEPS), counts=st.lists(st.integers(-10**12, 10**12), min_size=1,
                                                       max_size=40),
       spelling=st.randoms(use_true_random=False))
def test_multiples_of_the_tick_size_round_trip_and_others_are_refused(tmp_path_factory, step,
                                                                       counts, spelling):
    tmp_path = tmp_path_factory.mktemp("prop")
    tick = Fraction(step)
    texts = [decimal_text(k * tick, spelling) for k in counts]
    rows = b"".join(b"%d,%s,1,0,%d,true\n" % (i, t.encode(), 1700000000000 + i)
                    for i, t in enumerate(texts))
    got = ticks_of(convert(tmp_path, io.BytesIO(rows), tick_size=step, lot_size="1"))
    assert [t[2] for t in got] == counts
    # Half a tick off on one row: refused, naming that row.
    bad = spelling.randrange(len(counts))
    off = list(texts)
    off[bad] = decimal_text(counts[bad] * tick + tick / 2, spelling)
    rows = b"".join(b"%d,%s,1,0,%d,true\n" % (i, t.encode(), 1700000000000 + i)
                    for i, t in enumerate(off))
    with pytest.raises(ValueError) as raised:
        convert(tmp_path, io.BytesIO(rows), tick_size=step, lot_size="1", name="bad.hvtk")
    assert str(raised.value) == (f'trades file 1:{bad + 1}: column price: "{off[bad]}" is not a '
                                 f"whole number of ticks of {step}; a tick size of "
                                 f"{finer_step(step, off[bad])} fits it and every price before it")
    assert not (tmp_path / "bad.hvtk").exists()
