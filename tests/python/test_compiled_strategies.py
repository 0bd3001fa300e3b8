"""Strategies compiled to native code: the same decisions written in Python,
with numba and in plain C give the same runs fill for fill; what a compiled
function reports wrong stops the run with an error, never reaches the
engine; the lookahead check and the mode comparison take them as they take
Python strategies."""

import ctypes
import random
import shutil
import subprocess
import threading

import pytest

import halvorn
from halvorn import venue

np = pytest.importorskip("numpy")


# One rule, three ways.  state: [k, r, cancels_every].  On each tick: with
# a position of 3 lots or more, sell it all at market; otherwise, with
# nothing working and last % k == r, rest a buy limit one tick below the
# bid; every `cancels_every`-th tick, cancel the latest order.
class Sawtooth:
    def __init__(self, k, r, every):
        self.k, self.r, self.every = k, r, every
        self.made = 0
        self.index = -1

    def on_tick(self, ctx):
        self.index += 1
        out = []
        if ctx.position >= 3:
            out.append(halvorn.Order("sell", ctx.position))
            self.made += 1
        elif ctx.working == 0 and ctx.last % self.k == self.r:
            out.append(halvorn.Order("buy", 1, price=ctx.tick.bid - 1))
            self.made += 1
        if self.made > 0 and self.index % self.every == 0:
            out.append(venue.Cancel(self.made))
        return out


C_SOURCE = r"""
#include <stdint.h>
int64_t sawtooth(const int64_t* ticks, int64_t n, const int64_t* account,
                 const int64_t* fills, int64_t nf, const int64_t* ends, int64_t ne,
                 void* state, int64_t* orders, int64_t cap) {
  const int64_t* s = (const int64_t*)state;
  const int64_t* t = ticks + (n - 1) * 8;
  int64_t made = account[8], k = 0;
  if (account[0] >= 3) {
    int64_t* o = orders + 6 * k++;
    o[0] = 1; o[1] = 1; o[2] = 0; o[3] = 0; o[4] = account[0]; o[5] = 0;
    made++;
  } else if (account[5] == 0 && t[2] % s[0] == s[1]) {
    int64_t* o = orders + 6 * k++;
    o[0] = 2; o[1] = 0; o[2] = 0; o[3] = t[5] - 1; o[4] = 1; o[5] = 0;
    made++;
  }
  if (made > 0 && account[7] % s[2] == 0) {
    int64_t* o = orders + 6 * k++;
    o[0] = 3; o[5] = made;
  }
  return k;
}
int64_t status(const int64_t* ticks, int64_t n, const int64_t* account, const int64_t* fills,
               int64_t nf, const int64_t* ends, int64_t ne, void* state, int64_t* orders,
               int64_t cap) {
  int64_t* s = (int64_t*)state;
  int64_t* o = orders;
  o[0] = s[1]; o[1] = s[2]; o[2] = 0; o[3] = 100; o[4] = s[3]; o[5] = 0;
  return account[7] == s[0] ? s[4] : 0;
}
"""


@pytest.fixture(scope="module")
def c_library(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    directory = tmp_path_factory.mktemp("compiled")
    source = directory / "sawtooth.c"
    source.write_text(C_SOURCE)
    library = directory / "sawtooth.so"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-o", str(library), str(source)],
                   check=True, timeout=120)
    return ctypes.CDLL(str(library))


def address(library, name):
    return ctypes.cast(getattr(library, name), ctypes.c_void_p).value


def numba_sawtooth():
    numba = pytest.importorskip("numba")
    from halvorn import compiled

    @numba.njit
    def sawtooth(ticks, account, fills, ends, state, orders):
        t = ticks[ticks.shape[0] - 1]
        made = account[compiled.ORDERS_MADE]
        k = 0
        if account[compiled.POSITION] >= 3:
            compiled.market(orders, k, compiled.SELL, account[compiled.POSITION])
            k += 1
            made += 1
        elif account[compiled.WORKING] == 0 and t[compiled.LAST] % state[0] == state[1]:
            compiled.limit(orders, k, compiled.BUY, t[compiled.BID] - 1, 1)
            k += 1
            made += 1
        if made > 0 and account[compiled.TICK_INDEX] % state[2] == 0:
            compiled.cancel(orders, k, made)
            k += 1
        return k

    return sawtooth


def random_ticks(seed, n=2_000):
    rng = random.Random(seed)
    last, out = 10_000, []
    for i in range(n):
        last = max(10, last + rng.choice((-2, -1, 0, 1, 2)))
        out.append(halvorn.Tick(1_000 + i * 1_000_000, last, bid=last - 1, ask=last + 1,
                                volume=i * 7))
    return out


def fills_of(run):
    return np.asarray(run.fills).tolist()


TIERS = {"L0": venue.L0(), "L1": venue.L1(order_latency=venue.Fixed(2_500_000))}


class TestThreeWaysAgree:
    @pytest.mark.parametrize("tier", sorted(TIERS))
    def test_python_numba_and_c_give_the_same_run(self, tier, c_library, tmp_path, monkeypatch):
        from halvorn import compiled

        jitted = numba_sawtooth()
        # Settlements fall in flat stretches and in held ones alike, and the
        # equity is sampled: a compiled run takes the stretches where the
        # account is flat at once, and must come out as stepping through them.
        funding = tuple(venue.FundingRate(time=1_000 + t * 1_000_000 + 500, rate=venue.rate(r),
                                          price=0)
                        for t, r in ((150, "0.001"), (700, "-0.002"), (1_300, "0.003")))
        v = venue.Venue(tier=TIERS[tier], taker_fee=venue.rate("0.0005"), funding=funding)
        filled = 0
        for seed in range(6):
            rng = random.Random(seed)
            k, r, every = rng.randint(2, 5), 0, rng.randint(3, 9)
            r = rng.randint(0, k - 1)
            ticks = random_ticks(seed)
            path = str(tmp_path / f"ticks{seed}.hvtk")
            halvorn.save_ticks(path, ticks)
            for series in (ticks, halvorn.load_ticks(path)):
                # The reference: every tick stepped through the account.
                monkeypatch.setenv("HALVORN_STEPPED", "1")
                expected = venue.run(Sawtooth(k, r, every), series, 10_000, venue=v,
                                     equity_every=7)
                monkeypatch.delenv("HALVORN_STEPPED")
                state = np.array([k, r, every], dtype=np.int64)
                by_numba = venue.run(compiled.strategy(jitted, state=state.copy()), series,
                                     10_000, venue=v, equity_every=7)
                by_c = venue.run(venue.Compiled(address(c_library, "sawtooth"), state.copy()),
                                 series, 10_000, venue=v, equity_every=7)
                filled += len(expected.fills)
                for run in (by_numba, by_c):
                    assert fills_of(run) == fills_of(expected)
                    assert run.final_equity == expected.final_equity
                    assert run.fees_paid == expected.fees_paid
                    assert run.funding_paid == expected.funding_paid
                    assert (run.ticks, run.exposed_ticks) == (expected.ticks, expected.exposed_ticks)
                    assert run.equity_curve == expected.equity_curve
                    assert run.equity_times == expected.equity_times
                    assert run.min_equity == expected.min_equity
        assert filled > 100, "the rule must trade for the comparison to mean anything"

    def test_a_batch_shows_its_ticks_and_the_mode_comparison_takes_a_builder(self, c_library):
        numba = pytest.importorskip("numba")
        from halvorn import compiled

        @numba.njit
        def counts(ticks, account, fills, ends, state, orders):
            state[0] += ticks.shape[0]
            state[1] = max(state[1], ticks.shape[0])
            state[2] += 1
            state[3] = ticks[ticks.shape[0] - 1, compiled.EXCH_TS]
            return 0

        ticks = random_ticks(11)
        state = np.zeros(4, dtype=np.int64)
        venue.run(compiled.strategy(counts, state=state), ticks, 10_000, batch=7)
        # 285 whole batches of 7; the 5 ticks after the last are not a batch.
        assert state.tolist() == [1_995, 7, 285, ticks[1_994].exch_ts]

        def build():
            return venue.Compiled(address(c_library, "sawtooth"), np.array([3, 1, 4]))

        comparison = venue.compare_modes(build, ticks, 10_000, 7)
        assert comparison.compat_fills == len(venue.run(build(), ticks, 10_000).fills) > 0
        assert comparison.batched_fills == len(venue.run(build(), ticks, 10_000, batch=7).fills)


# Holds a position for `period` ticks at a time, long then short, each with
# a stop `distance` ticks away that closes it (0: none): state [period,
# size, distance, ticks seen, then the equity shown on each tick].
class Swing:
    def __init__(self, period, size, distance):
        self.period, self.size, self.distance = period, size, distance
        self.equities = []

    def on_tick(self, ctx):
        i = len(self.equities)
        self.equities.append(ctx.equity)
        target = self.size if (i // self.period) % 2 == 0 else -self.size
        if i % self.period != 0 or ctx.position == target:
            return None
        gap = target - ctx.position
        out = [venue.CancelAll(), venue.Order("buy" if gap > 0 else "sell", abs(gap))]
        if self.distance:
            out.append(venue.Stop("sell" if target > 0 else "buy",
                                  trigger=ctx.last - self.distance if target > 0
                                  else ctx.last + self.distance))
        return out


def numba_swing():
    numba = pytest.importorskip("numba")
    from halvorn import compiled

    @numba.njit
    def swing(ticks, account, fills, ends, state, orders):
        i = state[3]
        state[3] = i + 1
        state[4 + i] = account[compiled.EQUITY]
        period, size, distance = state[0], state[1], state[2]
        target = size if (i // period) % 2 == 0 else -size
        position = account[compiled.POSITION]
        if i % period != 0 or position == target:
            return 0
        compiled.cancel_all(orders, 0)
        if target > position:
            compiled.market(orders, 1, compiled.BUY, target - position)
        else:
            compiled.market(orders, 1, compiled.SELL, position - target)
        if distance == 0:
            return 2
        last = ticks[ticks.shape[0] - 1, compiled.LAST]
        if target > 0:
            compiled.stop(orders, 2, compiled.SELL, 0, last - distance)
        else:
            compiled.stop(orders, 2, compiled.BUY, 0, last + distance)
        return 3

    return swing


class TestHeldStretches:
    """A position held with nothing working but a stop is shown its equity
    on every tick without the account being stepped through each: what the
    function sees, and the run it makes, must be those of a strategy stepped
    tick by tick -- through funding, liquidations, stops that fire, margin
    tracking and an inverse contract."""

    @pytest.mark.parametrize("case", ["linear", "tracked", "inverse"])
    def test_the_equity_shown_and_the_run_are_those_stepped_through(self, case, tmp_path,
                                                                    monkeypatch):
        from halvorn import compiled

        swing = numba_swing()
        funding = tuple(venue.FundingRate(time=1_000 + t * 1_000_000 + 500, rate=venue.rate(r),
                                          price=0)
                        for t, r in ((90, "0.002"), (333, "-0.003"), (1_210, "0.004")))
        if case == "inverse":
            inverse = venue.Instrument("BTCUSD_PERP", "0.1", "1", kind="inverse",
                                       contract_value="100", settle="BTC")
            v = venue.Venue(instrument=inverse, funding=funding, taker_fee=venue.rate("0.0005"),
                            margin_tiers=(venue.Bracket(up_to=halvorn.CASH_SCALE * 10**6,
                                                        rate=venue.percent("0.5"), amount=0),))
            balance, sizes = "0.05", (2, 8)
        else:
            v = venue.Venue(funding=funding, taker_fee=venue.rate("0.0005"),
                            track_margin=case == "tracked")
            balance, sizes = 400, (1_500, 8_000)
        liquidated = stopped = 0
        for seed in range(6):
            rng = random.Random(seed)
            period, size = rng.randint(40, 400), rng.randint(*sizes)
            distance = 0 if seed % 2 else rng.randint(60, 300)
            # Steps wide enough, on a small balance, that some holds end in a
            # liquidation.
            last, ticks = 10_000, []
            for i in range(1_500):
                last = max(100, last + rng.choice((-40, -9, -3, 0, 3, 9, 40)))
                ticks.append(halvorn.Tick(1_000 + i * 1_000_000, last, bid=last - 1,
                                          ask=last + 1, high=last + rng.randint(0, 30),
                                          low=last - rng.randint(0, 30)))
            path = str(tmp_path / f"swing{seed}.hvtk")
            halvorn.save_ticks(path, ticks)
            for series in (ticks, halvorn.load_ticks(path)):
                # The reference: every tick stepped through the account.
                monkeypatch.setenv("HALVORN_STEPPED", "1")
                stepped = Swing(period, size, distance)
                expected = venue.run(stepped, series, balance, venue=v, equity_every=11)
                monkeypatch.delenv("HALVORN_STEPPED")
                state = np.zeros(4 + len(ticks), dtype=np.int64)
                state[:3] = period, size, distance
                run = venue.run(compiled.strategy(swing, state=state), series, balance,
                                venue=v, equity_every=11)
                assert state[3] == len(ticks)
                assert state[4:].tolist() == stepped.equities
                assert fills_of(run) == fills_of(expected)
                assert run.liquidations == expected.liquidations
                assert (run.final_equity, run.min_equity, run.max_adverse) == \
                    (expected.final_equity, expected.min_equity, expected.max_adverse)
                assert (run.fees_paid, run.funding_paid) == \
                    (expected.fees_paid, expected.funding_paid)
                assert (run.ticks, run.exposed_ticks) == (expected.ticks, expected.exposed_ticks)
                assert run.equity_curve == expected.equity_curve
                assert run.equity_times == expected.equity_times
                assert run.margin == expected.margin
                assert run.triggered == expected.triggered
                liquidated += len(expected.liquidations)
                stopped += expected.triggered
        assert liquidated > 0 and stopped > 0, \
            "some holds must end in a liquidation, some in a stop, for the test to mean it"


class TestWhatIsReportedIsChecked:
    @pytest.mark.parametrize("row, message", [
        ((5, 1, 0, 1, -3), "returned the status -3 on tick 5"),
        ((2, 9, 0, 1, 1), "has kind 9"),
        ((2, 1, 2, 1, 1), "has side 2 and offset 0"),
        ((2, 1, 0, 0, 1), "has qty 0"),
        ((2, 1, 0, 1, 65), "reported 65 orders where its buffer holds 64"),
    ])
    def test_a_wrong_report_stops_the_run_with_its_error(self, c_library, row, message):
        # state: tick index to act on, kind, side, qty, what to return
        state = np.array(row, dtype=np.int64)
        strategy = venue.Compiled(address(c_library, "status"), state)
        with pytest.raises(ValueError, match=message):
            venue.run(strategy, random_ticks(1, 20), 1_000)

    def test_an_order_reported_right_is_placed(self, c_library):
        state = np.array([2, 1, 0, 4, 1], dtype=np.int64)
        run = venue.run(venue.Compiled(address(c_library, "status"), state),
                        random_ticks(1, 20), 1_000)
        assert [(f.side, f.qty) for f in run.fills] == [("buy", 4)]

    def test_arguments_that_cannot_be_run_are_refused_when_made(self, c_library):
        with pytest.raises(ValueError, match="null pointer"):
            venue.Compiled(0)
        with pytest.raises(TypeError, match="address of a compiled function"):
            venue.Compiled("sawtooth")
        with pytest.raises(TypeError, match="writable contiguous buffer"):
            venue.Compiled(address(c_library, "sawtooth"), b"read-only")
        with pytest.raises(TypeError, match="writable contiguous buffer"):
            venue.Compiled(address(c_library, "sawtooth"), np.zeros((4, 4))[:, 1])
        with pytest.raises(ValueError, match="capacity"):
            venue.Compiled(address(c_library, "sawtooth"), capacity=0)
        strategy = venue.Compiled(address(c_library, "sawtooth"), np.array([3, 1, 4]))
        with pytest.raises(ValueError, match="flush is not taken"):
            venue.run(strategy, random_ticks(1, 5), 1_000, batch=2, flush=True)

    def test_the_state_cannot_be_resized_while_a_run_holds_it(self, c_library):
        state = np.array([3, 1, 4], dtype=np.int64)
        strategy = venue.Compiled(address(c_library, "sawtooth"), state)
        seen = []

        class Resizer:
            # A Python strategy run at the same time on another thread
            # tries to resize the array the compiled run writes to.
            def on_tick(self, ctx):
                try:
                    state.resize(1_000_000, refcheck=False)
                    seen.append("resized")
                except (ValueError, BufferError):
                    seen.append("refused")

        done = []
        worker = threading.Thread(target=lambda: done.append(
            venue.run(strategy, random_ticks(3, 200_000), 1_000)))
        worker.start()
        venue.run(Resizer(), random_ticks(3, 50), 1_000)
        worker.join()
        assert done and done[0].ticks == 200_000
        # Whether the run was still going when the resize came is the
        # scheduler's; a resize while it was must have been refused.
        assert set(seen) <= {"refused", "resized"}


class TestLookahead:
    def test_a_compiled_strategy_that_reads_the_future_is_caught(self, c_library):
        numba = pytest.importorskip("numba")
        from halvorn import compiled

        @numba.njit
        def peeks(ticks, account, fills, ends, state, orders):
            # state holds every price the build was given: on the full
            # series, the next tick's price too.
            i = account[compiled.TICK_INDEX]
            if i + 1 < state.shape[0] and state[i + 1] > ticks[0, compiled.LAST] \
                    and account[compiled.WORKING] == 0:
                compiled.market(orders, 0, compiled.BUY, 1)
                return 1
            return 0

        ticks = random_ticks(5, 300)

        def build(known):
            return compiled.strategy(peeks, state=np.array([t.last for t in known]))

        assert venue.lookahead_check(build, ticks, 1_000, max_points=20).clean is False

        def honest(known):
            return venue.Compiled(address(c_library, "sawtooth"), np.array([3, 1, 4]))

        assert venue.lookahead_check(honest, ticks, 1_000, max_points=20).clean


def test_two_threads_run_two_compiled_strategies_to_the_same_results(c_library):
    ticks = random_ticks(8, 50_000)
    state = np.array([4, 2, 7], dtype=np.int64)
    alone = venue.run(venue.Compiled(address(c_library, "sawtooth"), state.copy()), ticks, 10_000)
    results = [None, None]

    def work(i):
        strategy = venue.Compiled(address(c_library, "sawtooth"), state.copy())
        results[i] = venue.run(strategy, ticks, 10_000)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for run in results:
        assert fills_of(run) == fills_of(alone)


def test_a_sweep_in_a_thread_pool_runs_compiled_strategies_as_single_runs(c_library):
    import concurrent.futures as cf

    from halvorn import sweep

    ticks = random_ticks(9, 20_000)

    def build(k, every):
        return venue.Compiled(address(c_library, "sawtooth"), np.array([k, 1, every]))

    grid = {"k": [2, 3], "every": [4, 9]}
    with cf.ThreadPoolExecutor(2) as pool:
        result = sweep.run(build, grid, ticks, 10_000, equity_every=1_000, executor=pool)
    for row in result.rows:
        alone = venue.run(build(**row.params), ticks, 10_000, equity_every=1_000)
        assert (row.fills, row.final_equity) == (len(alone.fills), alone.final_equity)


def test_the_function_hears_how_each_order_ended():
    numba = pytest.importorskip("numba")
    from halvorn import compiled

    @numba.njit
    def script(ticks, account, fills, ends, state, orders):
        # state[0]: calls; state[1:] the (id, how) pairs heard, in order.
        for i in range(ends.shape[0]):
            k = int(state[0])
            state[1 + 2 * k] = ends[i, 0]
            state[2 + 2 * k] = ends[i, 1]
            state[0] += 1
        i = account[compiled.TICK_INDEX]
        if i == 0:  # order 1 rests far below; order 2 takes the ask
            compiled.limit(orders, 0, compiled.BUY, 1, 1)
            compiled.market(orders, 1, compiled.BUY, 1)
            return 2
        if i == 2:
            compiled.cancel(orders, 0, 1)
            return 1
        return 0

    state = np.zeros(9, dtype=np.int64)
    venue.run(compiled.strategy(script, state=state), random_ticks(2, 6), 1_000)
    assert state.tolist()[:5] == [2, 2, 0, 1, 1]  # order 2 filled, then order 1 canceled


class TestProgress:
    def test_a_compiled_run_reports_progress_as_a_python_run_does(self, c_library):
        n = 600_000
        prices = 10_000 + np.arange(n) % 7
        ticks = {"exch_ts": np.arange(n) * 1_000, "last": prices, "bid": prices - 1,
                 "ask": prices + 1}

        class Empty:
            def on_tick(self, ctx):
                return None

        def build():
            return venue.Compiled(address(c_library, "sawtooth"), np.array([3, 1, 4]))

        by_python, by_compiled, by_portfolio = [], [], []
        venue.run(Empty(), ticks, 10_000, progress=lambda done, total: by_python.append(
            (done, total)))
        run = venue.run(build(), ticks, 10_000, progress=lambda done, total: by_compiled.append(
            (done, total)))
        assert by_compiled == by_python and len(by_python) == 3 and by_python[-1] == (n, n)
        assert len(run.fills) > 0

        def stop(done, total):
            raise RuntimeError("enough")

        with pytest.raises(ValueError, match="progress raised: RuntimeError: enough"):
            venue.run(build(), ticks, 10_000, progress=stop)

        instrument = venue.Instrument("AAAUSDT", "0.1", "0.001")
        venue.run(venue.Compiled(address(c_library, "sawtooth"), np.array([3, 1, 4])),
                  {"AAAUSDT": ticks}, 10_000, venue={"AAAUSDT": venue.Venue(instrument=instrument)},
                  progress=lambda done, total: by_portfolio.append((done, total)))
        assert by_portfolio == by_python
