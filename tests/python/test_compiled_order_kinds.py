"""Every order kind of the venue from a compiled strategy: a seeded script
of orders (stops, take-profits, trailing stops, close-position, time in
force, post-only, reduce-only, one-cancels-other pairs, brackets, what
fires a stop, cancels) placed by a Python strategy as venue objects, by
numba through halvorn.compiled's writers and by C writing the slot words
itself gives the same fills; what a venue class refuses, a slot is
refused for."""

import ctypes
import random
import shutil
import subprocess

import pytest

import halvorn
from halvorn import venue

np = pytest.importorskip("numpy")

# A script row: the tick it is placed on, then the words of its slot.
TICK, KIND, SIDE, OFFSET, PRICE, QTY, TIF, FLAGS, TRIGGER, DISTANCE, RATE, FIRED_BY, GROUP, \
    FOR = range(14)
ROW = 14
MARKET, LIMIT, CANCEL, CANCEL_ALL, STOP, TAKE, TRAIL, CLOSE_ALL = range(1, 9)
OCO, ENTRY, STOP_EXIT, TAKE_EXIT = range(1, 5)
SIDES = ("buy", "sell")
OFFSETS = ("open", "close")
TIFS = ("gtc", "ioc", "fok")

C_SOURCE = r"""
#include <stdint.h>
/* state: a header row (cursor, rows), then rows of 14 words: the tick, then
   the slot's words kind..group and the instrument. */
int64_t script(const int64_t* ticks, int64_t n, const int64_t* account,
               const int64_t* fills, int64_t nf, const int64_t* ends, int64_t ne,
               void* state, int64_t* orders, int64_t cap) {
  int64_t* s = (int64_t*)state;
  int64_t i = s[0], rows = s[1], k = 0, now = account[7];
  for (; i < rows && s[(i + 1) * 14] == now; i++) {
    const int64_t* r = s + (i + 1) * 14;
    int64_t* o = orders + 16 * k++;
    for (int w = 0; w < 16; w++) o[w] = 0;
    o[0] = r[1]; o[1] = r[2]; o[2] = r[3]; o[3] = r[4]; o[4] = r[5];
    o[5] = r[1] == 3 ? account[8] : 0;
    o[6] = r[13]; o[7] = r[6]; o[8] = r[7]; o[9] = r[8]; o[10] = r[9]; o[11] = r[10];
    o[12] = r[11]; o[13] = r[12];
  }
  s[0] = i;
  return k;
}
"""


@pytest.fixture(scope="module")
def c_script(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    directory = tmp_path_factory.mktemp("order_kinds")
    (directory / "script.c").write_text(C_SOURCE)
    library = directory / "script.so"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", str(library),
                    str(directory / "script.c")], check=True, timeout=120)
    return ctypes.cast(ctypes.CDLL(str(library)).script, ctypes.c_void_p).value


def random_ticks(seed, n):
    rng = random.Random(seed)
    last, out = 10_000, []
    for i in range(n):
        last = max(100, last + rng.choice((-3, -1, 0, 1, 3)))
        out.append(halvorn.Tick(1_000 + i * 1_000_000, last, bid=last - 1, ask=last + 1,
                                volume=i * 5))
    return out


def row(tick, kind, side=0, offset=0, price=0, qty=0, tif=0, flags=0, trigger=0, distance=0,
        rate=0, fired_by=0, group=0, instrument=0):
    return [tick, kind, side, offset, price, qty, tif, flags, trigger, distance, rate, fired_by,
            group, instrument]


def one_order(rng, tick, last, group=0, side=None, opens=False):
    """A random order of any kind but close-position that a venue class
    accepts, at prices around `last`."""
    side = rng.randint(0, 1) if side is None else side
    up = 1 if side == 0 else -1  # toward where a buy's stop fires
    kind = rng.choice((MARKET, LIMIT, STOP, TAKE, TRAIL))
    qty = rng.randint(1, 3) if opens or rng.random() < 0.8 else 0
    reduce = not opens and qty > 0 and kind != TRAIL and rng.random() < 0.2
    offset = 1 if reduce or qty == 0 else 0
    if kind in (MARKET, LIMIT):
        qty = max(qty, 1)
        offset = 1 if reduce else 0
        price = last - up * rng.randint(0, 6) if kind == LIMIT else 0
        post = kind == LIMIT and rng.random() < 0.3
        tif = 0 if post else rng.choice((0, 0, 1, 2))
        return row(tick, kind, side, offset, price, qty, tif, (1 if post else 0) | (2 * reduce),
                   group=group)
    fired_by = rng.randint(0, 1)
    if kind == TRAIL:
        by_rate = rng.random() < 0.5
        return row(tick, kind, side, offset, 0, qty, 0, 0, rng.choice((0, last - up * 3)),
                   0 if by_rate else rng.randint(1, 8), rng.randint(1, 2_000_000) if by_rate else 0,
                   fired_by, group)
    away = rng.randint(1, 8) * (up if kind == STOP else -up)
    price = rng.choice((0, last + away + up))
    return row(tick, kind, side, offset, price, qty, 0, 2 * reduce, last + away, fired_by=fired_by,
               group=group)


def script_rows(seed, ticks):
    """A seeded script: an order, a group or a cancel every few ticks."""
    rng = random.Random(seed)
    rows, made = [], 0
    for i in range(1, len(ticks) - 1):
        if rng.random() > 0.25:
            continue
        last, what = ticks[i].last, rng.random()
        if what < 0.45:
            rows.append(one_order(rng, i, last))
        elif what < 0.55:
            rows.append(row(i, CLOSE_ALL, rng.randint(0, 1), 1))
        elif what < 0.7:
            rows += [one_order(rng, i, last, OCO), one_order(rng, i, last, OCO)]
        elif what < 0.85:
            side = rng.randint(0, 1)
            entry = one_order(rng, i, last, ENTRY, side, opens=True)
            while entry[KIND] == TRAIL:
                entry = one_order(rng, i, last, ENTRY, side, opens=True)
            at = entry[PRICE] or entry[TRIGGER] or last
            up = 1 if side == 0 else -1
            exits = []
            if rng.random() < 0.8:
                exits.append(row(i, STOP, 1 - side, 1, 0, 0, trigger=at - up * rng.randint(2, 9),
                                 fired_by=rng.randint(0, 1), group=STOP_EXIT))
            if not exits or rng.random() < 0.7:
                exits.append(row(i, TAKE, 1 - side, 1, 0, 0, trigger=at + up * rng.randint(2, 9),
                                 group=TAKE_EXIT))
            rows += [entry] + exits
        elif made > 0:
            rows.append(row(i, CANCEL if what < 0.95 else CANCEL_ALL))
        made = sum(1 for r in rows if r[KIND] not in (CANCEL, CANCEL_ALL))
    return rows


def venue_order(r, symbols=None):
    """The venue object a script row stands for (a single order)."""
    side, qty = SIDES[r[SIDE]], r[QTY] or None
    instrument = symbols[r[FOR] - 1] if symbols and r[FOR] else None
    common = dict(offset=OFFSETS[r[OFFSET]], instrument=instrument)
    kind = r[KIND]
    if kind in (MARKET, LIMIT):
        return venue.Order(side, r[QTY], price=r[PRICE] or None, tif=TIFS[r[TIF]],
                           post_only=bool(r[FLAGS] & 1), reduce_only=bool(r[FLAGS] & 2), **common)
    fired_by = ("last", "mark")[r[FIRED_BY]]
    if kind == CLOSE_ALL:
        return venue.ClosePosition(side, **common)
    if kind == TRAIL:
        return venue.TrailingStop(side, qty, distance=r[DISTANCE] or None, rate=r[RATE] or None,
                                  activation=r[TRIGGER] or None, fired_by=fired_by, **common)
    cls = venue.Stop if kind == STOP else venue.TakeProfit
    return cls(side, qty, trigger=r[TRIGGER], price=r[PRICE] or None, fired_by=fired_by,
               reduce_only=bool(r[FLAGS] & 2), **common)


class Script:
    """The script as a Python strategy places it: venue objects."""

    def __init__(self, rows, symbols=None):
        self.by_tick = {}
        for r in rows:
            self.by_tick.setdefault(r[TICK], []).append(r)
        self.symbols, self.index, self.made = symbols, -1, 0

    def on_tick(self, ctx):
        self.index += 1
        rows, out, before = self.by_tick.get(self.index, []), [], self.made
        i = 0
        while i < len(rows):
            r = rows[i]
            if r[KIND] in (CANCEL, CANCEL_ALL):
                out.append(venue.Cancel(before) if r[KIND] == CANCEL else venue.CancelAll())
                i += 1
                continue
            if r[GROUP] == OCO:
                out.append(venue.OneCancelsOther(venue_order(r, self.symbols),
                                                 venue_order(rows[i + 1], self.symbols)))
                self.made, i = self.made + 2, i + 2
                continue
            if r[GROUP] == ENTRY:
                exits = {STOP_EXIT: None, TAKE_EXIT: None}
                j = i + 1
                while j < len(rows) and rows[j][GROUP] in exits:
                    exits[rows[j][GROUP]] = venue_order(rows[j], self.symbols)
                    j += 1
                out.append(venue.BracketOrder(venue_order(r, self.symbols),
                                              stop_loss=exits[STOP_EXIT],
                                              take_profit=exits[TAKE_EXIT]))
                self.made, i = self.made + (j - i), j
                continue
            out.append(venue_order(r, self.symbols))
            self.made, i = self.made + 1, i + 1
        return out


def script_state(rows):
    state = np.zeros((len(rows) + 1, ROW), dtype=np.int64)
    state[0, 1] = len(rows)
    if rows:
        state[1:] = np.asarray(rows, dtype=np.int64)
    return state


def numba_script():
    numba = pytest.importorskip("numba")
    from halvorn import compiled as c

    @numba.njit
    def script(ticks, account, fills, ends, state, orders):
        i, rows, now = state[0, 0], state[0, 1], account[c.TICK_INDEX]
        k = 0
        while i < rows and state[i + 1, 0] == now:
            r = state[i + 1]
            kind = r[1]
            if kind == c.MARKET:
                c.market(orders, k, r[2], r[5], r[3])
            elif kind == c.LIMIT:
                c.limit(orders, k, r[2], r[4], r[5], r[3])
            elif kind == c.STOP:
                c.stop(orders, k, r[2], r[5], r[8], r[4], r[3])
            elif kind == c.TAKE_PROFIT:
                c.take_profit(orders, k, r[2], r[5], r[8], r[4], r[3])
            elif kind == c.TRAILING_STOP:
                c.trailing_stop(orders, k, r[2], r[5], r[9], r[10], r[8], r[3])
            elif kind == c.CLOSE_POSITION:
                c.close_position(orders, k, r[2], r[3])
            elif kind == c.CANCEL:
                c.cancel(orders, k, account[c.ORDERS_MADE])
            else:
                c.cancel_all(orders, k)
            if kind != c.CANCEL and kind != c.CANCEL_ALL:
                c.terms(orders, k, r[6], r[7] & c.POST_ONLY != 0, r[7] & c.REDUCE_ONLY != 0,
                        r[11], r[13])
            i += 1
            k += 1
        state[0, 0] = i
        # The groups, once their orders are written.
        j = 0
        while j < k:
            group = state[i - k + j + 1, 12]
            if group == c.ONE_CANCELS_OTHER:
                c.one_cancels_other(orders, j)
                j += 2
                continue
            if group == c.BRACKET_ENTRY:
                stop = j + 1 < k and state[i - k + j + 2, 12] == c.BRACKET_STOP
                after = j + 2 if stop else j + 1
                take = after < k and state[i - k + after + 1, 12] == c.BRACKET_TAKE
                c.bracket(orders, j, stop, take)
            j += 1
        return k

    return script


def fills_of(run):
    return np.asarray(run.fills).tolist()


class TestEveryOrderKindThreeWays:
    @pytest.mark.parametrize("tier", ["L0", "L1"])
    def test_python_numba_and_c_give_the_same_fills(self, tier, c_script, monkeypatch):
        from halvorn import compiled

        jitted = numba_script()
        v = venue.Venue(tier=venue.L1(order_latency=venue.Fixed(1_500_000)) if tier == "L1"
                        else venue.L0(), taker_fee=venue.rate("0.0005"))
        filled, kinds = 0, set()
        for seed in range(5):
            ticks = random_ticks(seed, 1_500)
            rows = script_rows(seed, ticks)
            kinds |= {(r[KIND], r[GROUP]) for r in rows}
            # The reference: every tick stepped through the account.
            monkeypatch.setenv("HALVORN_STEPPED", "1")
            expected = venue.run(Script(rows), ticks, 1_000_000, venue=v)
            monkeypatch.delenv("HALVORN_STEPPED")
            by_numba = venue.run(compiled.strategy(jitted, state=script_state(rows)), ticks,
                                 1_000_000, venue=v)
            by_c = venue.run(venue.Compiled(c_script, script_state(rows), order_words=16), ticks,
                             1_000_000, venue=v)
            filled += len(expected.fills)
            for run in (by_numba, by_c):
                assert fills_of(run) == fills_of(expected), seed
                assert run.final_equity == expected.final_equity
        assert filled > 200, "the script must trade for the comparison to mean anything"
        assert {k for k, _ in kinds} == set(range(1, 9))
        assert {g for _, g in kinds} == {0, OCO, ENTRY, STOP_EXIT, TAKE_EXIT}


def run_slots(c_script, rows, ticks=None, order_words=16):
    ticks = ticks or random_ticks(1, 30)
    return venue.run(venue.Compiled(c_script, script_state(rows), order_words=order_words),
                     ticks, 1_000_000)


class TestWhatAClassRefusesASlotIsRefusedFor:
    @pytest.mark.parametrize("rows, message", [
        ([row(3, STOP, 0, 0, 0, 1, trigger=0)], "order slot 0 has trigger 0"),
        ([row(3, TRAIL, 1, 0, 0, 1, distance=2, rate=5)], "has distance 2 and rate 5"),
        ([row(3, LIMIT, 0, 0, 9_000, 1, flags=1, tif=1)], "is post-only"),
        ([row(3, MARKET, 0, 0, 0, 1, flags=1)], "is post-only"),
        ([row(3, MARKET, 1, 0, 0, 1, flags=2)], "only reduces and has offset 0"),
        ([row(3, CLOSE_ALL, 1, 1, 0, 2)], "a close-position order is sized"),
        ([row(3, STOP, 0, 0, 0, 1, tif=1, trigger=20_000)], "has time in force 1"),
        ([row(3, MARKET, 0, 0, 0, 1, fired_by=1)], "has fired_by 1"),
        ([row(3, MARKET, 0, 0, 0, 1, group=OCO)], "order slot 0 leads a one-cancels-other"),
        ([row(3, MARKET, 0, 0, 0, 1, group=ENTRY), row(3, MARKET, 0, 0, 0, 1)],
         "order slot 0 is a bracket entry"),
        ([row(3, MARKET, 0, 0, 0, 1), row(3, STOP, 1, 1, 0, 0, trigger=5, group=STOP_EXIT)],
         "order slot 1 is a bracket's stop-loss; it follows its entry"),
        ([row(3, LIMIT, 0, 0, 9_000, 1, group=ENTRY),
          row(3, STOP, 1, 1, 0, 0, trigger=9_500, group=STOP_EXIT)],
         "stop_loss: a buy entry at 9_000 needs its stop below"),
        ([row(3, LIMIT, 0, 0, 9_000, 1, group=ENTRY),
          row(3, STOP, 0, 1, 0, 0, trigger=8_000, group=STOP_EXIT)], "side must be the other"),
        ([row(3, MARKET, 0, 0, 0, 1, group=OCO), row(3, MARKET, 0, 0, 0, 1, group=OCO, instrument=7)],
         "the orders of a group are for one instrument"),
        ([row(3, 9, 0, 0, 0, 1)], "has kind 9"),
    ])
    def test_a_wrong_slot_stops_the_run_naming_it(self, c_script, rows, message):
        with pytest.raises(ValueError, match=message):
            run_slots(c_script, rows)

    def test_six_word_slots_refuse_the_kinds_that_need_wide_ones(self, c_script):
        # The C script writes 16 words a slot; read as six-word slots its
        # first slot is still whole.
        with pytest.raises(ValueError, match="order slot 0 has kind 5, which needs wide slots"):
            run_slots(c_script, [row(3, STOP, 0, 0, 0, 1, trigger=20_000)], order_words=6)
        with pytest.raises(ValueError, match="order_words must be 6 .* or 16"):
            venue.Compiled(c_script, order_words=8)
        assert "order_words=16" in repr(venue.Compiled(c_script, order_words=16))

    def test_an_order_for_an_instrument_the_run_lacks_is_refused_where_it_is_heard(self,
                                                                                   c_script):
        run = run_slots(c_script, [row(3, MARKET, 0, 0, 0, 1, instrument=7),
                                   row(4, MARKET, 0, 0, 0, 1)])
        assert [f.order for f in run.fills] == [2]


SYMBOLS = ("AAAUSDT", "BBBUSDT")


def portfolio_venues(**terms):
    return {s: venue.Venue(instrument=venue.Instrument(s, "0.1", "0.001"), **terms)
            for s in SYMBOLS}


def portfolio_ticks(seed, n):
    """Two instruments' series, their ticks alternating in the merge."""
    a, b = random_ticks(seed, n), random_ticks(seed + 100, n)
    b = [halvorn.Tick(t.exch_ts + 500_000, t.last, bid=t.bid, ask=t.ask, volume=t.volume)
         for t in b]
    merged = [t for pair in zip(a, b) for t in pair]
    return dict(zip(SYMBOLS, (a, b))), merged


def for_instruments(rng, rows):
    """The script's orders sent for either instrument by id, or for the
    tick's; a group's for one."""
    out, i = [], 0
    while i < len(rows):
        j = i + 1
        if rows[i][GROUP] in (OCO, ENTRY):
            while j < len(rows) and rows[j][GROUP] in (OCO, STOP_EXIT, TAKE_EXIT) \
                    and not (rows[i][GROUP] == OCO and j - i == 2):
                j += 1
        instrument = rng.choice((0, 1, 2))
        for r in rows[i:j]:
            if r[KIND] not in (CANCEL, CANCEL_ALL):
                r[FOR] = instrument
        out += rows[i:j]
        i = j
    return out


class TestPortfolioThreeWays:
    def test_python_numba_and_c_give_the_same_fills_over_two_instruments(self, c_script):
        from halvorn import compiled

        jitted = numba_script()
        v = portfolio_venues(tier=venue.L1(order_latency=venue.Fixed(1_500_000)),
                             taker_fee=venue.rate("0.0005"))
        filled, instruments = 0, set()
        for seed in range(4):
            ticks, merged = portfolio_ticks(seed, 800)
            rows = for_instruments(random.Random(seed), script_rows(seed, merged))
            expected = venue.run(Script(rows, SYMBOLS), ticks, 1_000_000, venue=v)
            by_numba = venue.run(compiled.strategy(jitted, state=script_state(rows)), ticks,
                                 1_000_000, venue=v)
            by_c = venue.run(venue.Compiled(c_script, script_state(rows), order_words=16), ticks,
                             1_000_000, venue=v)
            filled += len(expected.fills)
            instruments |= {f.instrument for f in expected.fills}
            for run in (by_numba, by_c):
                assert fills_of(run) == fills_of(expected), seed
                assert run.final_equity == expected.final_equity
        assert filled > 100 and instruments == {1, 2}

    def test_the_account_shows_every_instruments_position_as_the_python_view_does(self):
        numba = pytest.importorskip("numba")
        from halvorn import compiled as c

        @numba.njit
        def buy_the_other(ticks, account, fills, ends, state, orders):
            # Every 7th tick, buy a lot of the instrument the tick is not
            # for; note each instrument's position and working orders.
            i = account[c.TICK_INDEX]
            for h in range(account[c.INSTRUMENTS]):
                record = c.ACCOUNT_WORDS + h * c.POSITION_WORDS
                state[i, 2 * h] = account[record + c.HELD_POSITION]
                state[i, 2 * h + 1] = account[record + c.HELD_WORKING]
            if i % 7 != 3:
                return 0
            c.limit(orders, 0, c.BUY, 20_000, 1)
            c.terms(orders, 0, instrument=3 - account[c.INSTRUMENT])
            return 1

        class BuyTheOther:
            def __init__(self):
                self.index, self.seen = -1, []

            def on_tick(self, ctx):
                self.index += 1
                self.seen.append([w for s in SYMBOLS for w in (self.positions[s].position,
                                                               self.positions[s].working)])
                if self.index % 7 != 3:
                    return []
                other = SYMBOLS[1] if self.symbol == SYMBOLS[0] else SYMBOLS[0]
                return [venue.Order("buy", 1, price=20_000, instrument=other)]

        ticks, merged = portfolio_ticks(4, 200)
        state = np.zeros((len(merged), 4), dtype=np.int64)
        by_numba = venue.run(c.strategy(buy_the_other, state=state), ticks, 1_000_000,
                             venue=portfolio_venues())
        python = BuyTheOther()
        expected = venue.run(python, ticks, 1_000_000, venue=portfolio_venues())
        assert fills_of(by_numba) == fills_of(expected)
        assert state.tolist() == python.seen
        assert state[-1, 0] > 0 and state[-1, 2] > 0

    def test_what_a_compiled_portfolio_run_cannot_do_is_refused(self, c_script):
        ticks, _ = portfolio_ticks(1, 10)
        strategy = venue.Compiled(c_script, script_state([]), order_words=16)
        with pytest.raises(ValueError, match="give batch=1"):
            venue.run(strategy, ticks, 1_000, batch=4, venue=portfolio_venues())
