"""run_backtest, compare_modes and lookahead_check over lists of ticks."""

import gc
import inspect
import os
import signal
import sys
import threading
import time

import pytest

import halvorn

SCALE = halvorn.CASH_SCALE


def ticks_rising(n, start=600_000, step=1, t0=1_000):
    return [halvorn.Tick(t0 + i, start + step * i, bid=start + step * i - 1, ask=start + step * i + 1,
                         volume=10 * i) for i in range(n)]


class Recorder:
    """Calls recorded; returns scripted orders by call index."""

    def __init__(self, script=None):
        self.script = script or {}
        self.calls = []

    def on_tick(self, ctx):
        self.calls.append(ctx)
        return self.script.get(len(self.calls) - 1)


class TestRunBacktest:
    def test_empty_series(self):
        s = Recorder()
        r = halvorn.run_backtest(s, [], 100_000)
        assert (r.ticks, r.fills, r.liquidations) == (0, 0, 0)
        assert r.final_equity == r.min_equity == 100_000 * SCALE
        assert (r.fees_paid, r.funding_paid, r.fill_prices) == (0, 0, [])
        assert s.calls == []
        assert r.strategy == "Recorder"

    def test_market_order_fills_on_the_next_tick_at_the_ask(self):
        ticks = ticks_rising(4)
        s = Recorder({0: [halvorn.Order("buy", 2)], 2: [halvorn.Order("sell", 2, "close")]})
        r = halvorn.run_backtest(s, ticks, 1_000)
        assert r.fill_prices == [600_002, 600_002]  # ask of tick 1, bid of tick 3
        assert r.ticks == 4 and r.fills == 2
        ctx = s.calls[1]
        assert (ctx.position, ctx.entry, ctx.last, ctx.working) == (2, 600_002, 600_001, 0)
        assert ctx.tick.exch_ts == ticks[1].exch_ts and ctx.tick is not ctx.tick
        assert ctx.equity == 1_000 * SCALE - 1 * 2 * 10_000
        assert repr(ctx) == f"Context(last=600001, position=2, equity={ctx.equity})"
        assert r.final_equity == 1_000 * SCALE
        assert s.calls[3].position == 0

    def test_limit_orders_with_zero_price_are_limits(self):
        ticks = ticks_rising(3)
        s = Recorder({0: [halvorn.Order("buy", 1, price=0), halvorn.Order("buy", 1, price=600_100)]})
        r = halvorn.run_backtest(s, ticks, 1_000)
        # The marketable limit fills at the ask as a maker; the one at 0 never does.
        assert r.fill_prices == [600_002]
        assert s.calls[2].working == 1

    def test_defaults_and_conversions(self):
        assert str(inspect.signature(halvorn.run_backtest)) == (
            "(strategy, ticks, balance, batch=1, enforce_margin=True, equity_every=0, "
            "contract_size=10000)")
        with pytest.raises(TypeError, match="balance"):
            halvorn.run_backtest(Recorder(), [], 1.5)
        with pytest.raises(OverflowError, match="batch"):
            halvorn.run_backtest(Recorder(), [], 1, batch=-1)
        with pytest.raises(TypeError, match="enforce_margin"):
            halvorn.run_backtest(Recorder(), [], 1, enforce_margin=1)
        with pytest.raises(OverflowError, match="equity_every"):
            halvorn.run_backtest(Recorder(), [], 1, equity_every=2**64)
        with pytest.raises(TypeError, match="contract_size"):
            halvorn.run_backtest(Recorder(), [], 1, contract_size=None)

    def test_balance_saturates(self):
        r = halvorn.run_backtest(Recorder(), [], 100_000_000_000)
        assert r.final_equity == 2**63 - 1
        r = halvorn.run_backtest(Recorder(), [], -100_000_000_000)
        assert r.final_equity == -(2**63)

    def test_contract_size_scales_value(self):
        s = Recorder({0: [halvorn.Order("buy", 1)]})
        r = halvorn.run_backtest(s, ticks_rising(4), 1_000, contract_size=3)
        # Entered at the ask 600_002, marked at the last 600_003: one tick on one lot.
        assert r.final_equity == 1_000 * SCALE + 3

    def test_batch_zero_and_missing_methods(self):
        with pytest.raises(ValueError, match=r"^batch must be at least 1; 1 is compatibility mode$"):
            halvorn.run_backtest(Recorder(), [], 1, batch=0)

        class OnlyBatch:
            def on_batch(self, ticks):
                return None

        # Refused before the ticks are even looked at.
        with pytest.raises(TypeError, match=r"^a strategy run with batch=1 must implement on_tick\(\)$"):
            halvorn.run_backtest(OnlyBatch(), "not ticks", 1)
        with pytest.raises(TypeError, match=r"^a strategy run with batch=7 must implement on_batch\(\)$"):
            halvorn.run_backtest(Recorder(), [], 1, batch=7)

        class Exploding:
            def __getattr__(self, name):
                raise RuntimeError("lookup failed")

        with pytest.raises(RuntimeError, match="lookup failed"):
            halvorn.run_backtest(Exploding(), [], 1)

    @pytest.mark.parametrize("ticks", ["abc", 5, None, [halvorn.Tick(1, 2), halvorn.Order("buy", 1)],
                                       {1: 2}, iter([halvorn.Tick(1, 2)])])
    def test_ticks_of_the_wrong_form(self, ticks):
        with pytest.raises(TypeError) as info:
            halvorn.run_backtest(Recorder(), ticks, 1)
        assert str(info.value) == (
            "ticks must be a sequence of Tick, or a TickSource; build them with halvorn.Tick(...), "
            "or read a file with load_ticks() \u2014 which is the one to use when the series is "
            "larger than memory")

    def test_tuples_are_sequences(self):
        r = halvorn.run_backtest(Recorder(), tuple(ticks_rising(3)), 1)
        assert r.ticks == 3

    def test_equity_curve(self):
        ticks = ticks_rising(5)
        s = Recorder({0: [halvorn.Order("buy", 1)]})
        r = halvorn.run_backtest(s, ticks, 10, equity_every=2)
        base = 10 * SCALE
        assert r.equity_curve == [base, base - 10_000, base + 10_000]
        assert r.equity_curve is not r.equity_curve
        assert halvorn.run_backtest(Recorder(), ticks, 10).equity_curve == []


class TestStrategyFailures:
    def test_exception_is_recorded_and_the_strategy_not_called_again(self):
        class Fails:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 3:
                    return {}["x"]
                return None

        s = Fails()
        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(s, ticks_rising(10), 1)
        assert str(info.value) == "the strategy failed during the run: KeyError: 'x'"
        assert s.calls == 3

    def test_first_call_failure_names_the_class(self):
        class Divides:
            def on_tick(self, ctx):
                return 1 / 0

        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Divides(), ticks_rising(2), 1)
        assert str(info.value) == (
            "the strategy failed during the run: ZeroDivisionError: division by zero")

    def test_unprintable_exception(self):
        class Bad(Exception):
            def __str__(self):
                raise RuntimeError

        class Raises:
            def on_tick(self, ctx):
                raise Bad()

        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(Raises(), ticks_rising(2), 1)
        assert str(info.value).endswith("Bad: <exception str() failed>")

    @pytest.mark.parametrize("value", ["buy", 5, halvorn.Order("buy", 1),
                                       [halvorn.Order("buy", 1), 1], iter([]), {"a": 1}])
    def test_bad_return_values(self, value):
        s = Recorder({0: value})
        with pytest.raises(ValueError) as info:
            halvorn.run_backtest(s, ticks_rising(3), 1)
        assert str(info.value) == (
            "the strategy failed during the run: a strategy must return None or a list of Order; "
            "returning anything else would be silently ignored")
        assert len(s.calls) == 1

    @pytest.mark.parametrize("value", [None, [], ()])
    def test_empty_answers_place_nothing(self, value):
        s = Recorder({0: value, 1: value})
        r = halvorn.run_backtest(s, ticks_rising(3), 1)
        assert r.fills == 0 and len(s.calls) == 3

    def test_an_equity_difference_beyond_64_bits_saturates(self):
        # Legal arguments whose runs end more than 64 bits of cash apart: the
        # difference saturates like every other difference of money, instead
        # of ending the call with an invariant failure no `except Exception`
        # would catch.
        class Liquidating:
            def __init__(self):
                self.n = 0

            def on_tick(self, ctx):
                self.n += 1
                return [halvorn.Order("buy", 2**62)] if self.n == 1 else None

            def on_batch(self, ticks):
                return None

        # A contract of one cash unit, so that the fill itself is worth what
        # a Cash holds (a fill worth more is refused) and only the fall is not.
        ticks = [halvorn.Tick(1, 1, ask=1), halvorn.Tick(2, 1, ask=1), halvorn.Tick(3, -(2**62))]
        c = halvorn.compare_modes(Liquidating, ticks, 100_000_000_000, 2, contract_size=1,
                                  enforce_margin=False)
        assert (c.compat_fills, c.batched_fills, c.first_divergence) == (1, 0, 0)
        assert c.equity_difference == 2**63 - 1 and not c.identical
        assert repr(c) == ("ModeComparison(batch=2, fills 1 vs 0, first divergence Some(0), "
                           "equity +9223372036854775807)")


class TestThroughputMode:
    def test_batches_are_delivered_when_complete(self):
        class Batcher:
            def __init__(self):
                self.batches = []
                self.seen = []

            def on_batch(self, ticks):
                self.batches.append([t.exch_ts for t in ticks])
                self.seen.append((self.position, self.entry, self.short_position, self.equity,
                                  self.last))
                if len(self.batches) == 1:
                    return [halvorn.Order("buy", 1)]
                return None

        ticks = ticks_rising(10)
        s = Batcher()
        r = halvorn.run_backtest(s, ticks, 1_000, batch=4)
        assert s.batches == [[t.exch_ts for t in ticks[0:4]], [t.exch_ts for t in ticks[4:8]]]
        # The order placed on tick 4 (index 3) filled on tick 5 at its ask.
        assert r.fill_prices == [600_005]
        assert s.seen[0] == (0, 0, 0, 1_000 * SCALE, 600_003)
        assert s.seen[1] == (1, 600_005, 0, 1_000 * SCALE + 2 * 10_000, 600_007)
        assert not hasattr(s, "short_entry") and not hasattr(s, "working")

    @pytest.mark.parametrize("batch", [11, 2**62, 2**64 - 1])
    def test_batch_larger_than_the_series_never_calls(self, batch):
        class Never:
            def on_batch(self, ticks):
                raise AssertionError("called")

        r = halvorn.run_backtest(Never(), ticks_rising(10), 1, batch=batch)
        assert (r.ticks, r.fills) == (10, 0)

    def test_object_that_refuses_attributes_fails_before_on_batch(self):
        class Slotted:
            __slots__ = ("called",)

            def __init__(self):
                self.called = False

            def on_batch(self, ticks):
                self.called = True

        s = Slotted()
        with pytest.raises(ValueError, match=r"^the strategy failed during the run: AttributeError"):
            halvorn.run_backtest(s, ticks_rising(4), 1, batch=2)
        assert not s.called


class TestNames:
    def test_name_attribute_or_class_name(self):
        class Named:
            name = "momentum \"v2\"\n"

            def on_tick(self, ctx):
                return None

        class MethodName:
            def name(self):
                return "x"

            def on_tick(self, ctx):
                return None

        r = halvorn.run_backtest(Named(), ticks_rising(2), 1)
        assert r.strategy == 'momentum "v2"\n'
        assert repr(r) == (
            f'RunResult(strategy="momentum \\"v2\\"\\n", ticks=2, fills=0, '
            f"final_equity={SCALE})")
        assert halvorn.run_backtest(MethodName(), [], 1).strategy == "MethodName"


class TestLiquidation:
    def test_repeated_liquidations_show_in_the_repr(self):
        class Gambler:
            def on_tick(self, ctx):
                return [halvorn.Order("buy", 100)] if ctx.position == 0 else None

        ticks = []
        t = 0
        for _ in range(2):
            for last in (600_000, 600_000, 500_000):
                t += 1
                ticks.append(halvorn.Tick(t, last, ask=last))
        # The venue keeps what is left; with no balance the second round is refused,
        # so a run from Python is closed out at most once.
        r2 = halvorn.run_backtest(Gambler(), ticks, 1_000, enforce_margin=True)
        assert r2.liquidations == 1
        assert repr(r2).endswith(", LIQUIDATED 1x)")
        assert r2.min_equity == 0

    def test_without_margin_equity_goes_negative(self):
        class Gambler:
            def on_tick(self, ctx):
                return [halvorn.Order("buy", 100)] if ctx.position == 0 else None

        ticks = [halvorn.Tick(1, 600_000, ask=600_000), halvorn.Tick(2, 600_000),
                 halvorn.Tick(3, 400_000)]
        r = halvorn.run_backtest(Gambler(), ticks, 1_000, enforce_margin=False)
        assert r.liquidations == 0
        assert r.final_equity == 1_000 * SCALE - 200_000 * 100 * 10_000 < 0


class TestCompareModes:
    class Follower:
        def __init__(self):
            self.prev = None

        def decide(self, last):
            orders = None
            if self.prev is not None and last > self.prev:
                orders = [halvorn.Order("buy", 1)]
            self.prev = last
            return orders

        def on_tick(self, ctx):
            return self.decide(ctx.last)

        def on_batch(self, ticks):
            orders = None
            for t in ticks:
                orders = self.decide(t.last) or orders
            return orders

    def test_identical_runs(self):
        class Quiet:
            def on_tick(self, ctx):
                return None

            def on_batch(self, ticks):
                return None

        c = halvorn.compare_modes(Quiet, ticks_rising(20), 1_000, 8)
        assert (c.batch, c.compat_fills, c.batched_fills) == (8, 0, 0)
        assert c.first_divergence is None and c.equity_difference == 0 and c.identical
        assert repr(c) == "ModeComparison(batch=8, identical)"

    def test_batching_delays_decisions(self):
        ticks = ticks_rising(12)
        c = halvorn.compare_modes(self.Follower, ticks, 1_000, 4)
        assert c.compat_fills == 10  # a buy after every rise from tick 1 on, filled next tick
        assert c.batched_fills == 2
        assert c.first_divergence == 0
        assert not c.identical
        per_tick = halvorn.run_backtest(self.Follower(), ticks, 1_000)
        batched = halvorn.run_backtest(self.Follower(), ticks, 1_000, batch=4)
        assert c.equity_difference == batched.final_equity - per_tick.final_equity
        sign = "+" if c.equity_difference >= 0 else ""
        assert repr(c) == (f"ModeComparison(batch=4, fills 10 vs 2, first divergence Some(0), "
                           f"equity {sign}{c.equity_difference})")

    def test_errors_propagate_in_order(self):
        def build_fails():
            raise LookupError("no strategy")

        with pytest.raises(LookupError, match="no strategy"):
            halvorn.compare_modes(build_fails, [], 1, 4)

        built = []

        class NoBatch:
            def __init__(self):
                built.append(self)

            def on_tick(self, ctx):
                return None

        with pytest.raises(TypeError, match=r"must implement on_batch\(\)"):
            halvorn.compare_modes(NoBatch, ticks_rising(3), 1, 4)
        assert len(built) == 2  # the per-tick run was made first
        built.clear()
        with pytest.raises(ValueError, match="batch must be at least 1"):
            halvorn.compare_modes(NoBatch, ticks_rising(3), 1, 0)
        assert len(built) == 2



class TestLookaheadCheck:
    @staticmethod
    def honest(ticks):
        class Honest:
            def __init__(self):
                self.prev = None

            def on_tick(self, ctx):
                up = self.prev is not None and ctx.last > self.prev
                self.prev = ctx.last
                return [halvorn.Order("buy", 1)] if up else None

        return Honest()

    def test_honest_strategy_is_clean(self):
        ticks = [halvorn.Tick(i, 100 + (i * 7) % 5) for i in range(40)]
        r = halvorn.lookahead_check(self.honest, ticks, 1_000)
        assert r.signals > 5 and r.checked == r.signals
        assert r.clean and not r.sampled and r.divergences == []
        assert repr(r) == f"LookaheadReport(signals={r.signals}, checked={r.checked}, clean=True, divergences=0)"
        s = halvorn.lookahead_check(self.honest, ticks, 1_000, max_points=2)
        assert s.checked == 2 and s.sampled and s.clean
        z = halvorn.lookahead_check(self.honest, ticks, 1_000, max_points=0)
        assert z.checked == 0 and z.sampled and z.clean

    def test_peeking_strategy_is_caught(self):
        ticks = [halvorn.Tick(1_000 + i, 100) for i in range(12)]
        ticks[9] = halvorn.Tick(1_009, 150)
        builds = []

        def build(known):
            builds.append(len(known))
            knows_rise = len(known) > 9 and known[9].last > known[8].last

            class Peeking:
                n = 0

                def on_tick(self, ctx):
                    self.n += 1
                    if self.n == 8 and knows_rise:
                        return [halvorn.Order("buy", 1)]
                    return None

            return Peeking()

        r = halvorn.lookahead_check(build, ticks, 1_000)
        assert builds == [12, 8]
        assert (r.signals, r.checked, r.clean, r.sampled) == (1, 1, False, False)
        assert r.divergences == [(7, 7, 1_007)]
        assert r.divergences is not r.divergences

    def test_failures(self):
        ticks = [halvorn.Tick(i, 100) for i in range(5)]

        def raises(known):
            raise KeyError("k")

        with pytest.raises(ValueError) as info:
            halvorn.lookahead_check(raises, ticks, 1)
        assert str(info.value) == "the strategy failed during the check: build raised: KeyError: 'k'"

        class NoOnTick:
            pass

        with pytest.raises(ValueError, match=r"^the strategy failed during the check: AttributeError"):
            halvorn.lookahead_check(lambda known: NoOnTick(), ticks, 1)

        with pytest.raises(TypeError, match="^ticks must be a sequence of Tick"):
            halvorn.lookahead_check(self.honest, "ticks", 1)



class TestClasses:
    @pytest.mark.parametrize("name", ["RunResult", "ModeComparison", "LookaheadReport"])
    def test_not_creatable_not_writable(self, name):
        cls = getattr(halvorn, name)
        with pytest.raises(TypeError, match=rf"^cannot create '{name}' instances$"):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})



class Spinner:
    """A second Python thread that counts while it runs.  One that yields, as
    a monitor or an I/O loop would, gives the lock up at once; one that never
    yields holds it for the interpreter's switch interval each time."""

    def __init__(self, yields=True):
        self.count = 0
        self.yields = yields
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.spin)

    def spin(self):
        while not self.stop.is_set():
            self.count += 1
            if self.yields:
                time.sleep(0)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop.set()
        if self.thread.is_alive():
            self.thread.join()


class Stop(BaseException):
    """Ends an endless run from inside a strategy once what a test waits for
    has happened: not an ordinary exception, so it halts the run and comes
    back unchanged."""


class TestInterpreterInteraction:
    # Each run below is over a file that cannot run out in the time a test
    # takes: it ends when the thread it watches has done what is expected,
    # so nothing races the run's length.
    def test_other_threads_run_during_a_backtest(self, endless_ticks):
        class Watch:
            def __init__(self, spinner):
                self.spinner = spinner
                self.first = None

            def on_tick(self, ctx):
                if self.first is None:
                    self.first = self.spinner.count
                elif self.spinner.count > self.first:
                    raise Stop

        with Spinner() as spinner:
            spinner.thread.start()
            with pytest.raises(Stop):
                halvorn.run_backtest(Watch(spinner), halvorn.load_ticks(endless_ticks), 1)

    def test_a_thread_started_during_a_run_gets_the_lock(self, endless_ticks):
        # Alone, the run keeps the lock between per-tick calls; a thread that
        # appears must still be let in.
        class Starts:
            def __init__(self, spinner):
                self.spinner = spinner
                self.calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 10:
                    self.spinner.thread.start()
                elif self.calls > 10 and self.spinner.count > 0:
                    raise Stop

        with Spinner() as spinner:
            with pytest.raises(Stop):
                halvorn.run_backtest(Starts(spinner), halvorn.load_ticks(endless_ticks), 1)

    def test_a_busy_thread_runs_between_batches(self, endless_ticks):
        class Batches:
            def __init__(self, spinner):
                self.spinner = spinner
                self.seen = []

            def on_batch(self, ticks):
                self.seen.append(self.spinner.count)
                if self.seen[-1] > self.seen[0]:
                    raise Stop

        with Spinner(yields=False) as spinner:
            spinner.thread.start()
            s = Batches(spinner)
            with pytest.raises(Stop):
                halvorn.run_backtest(s, halvorn.load_ticks(endless_ticks), 1, batch=1_000)
        assert len(s.seen) >= 2

    def test_keyboard_interrupt_in_a_strategy_stops_the_run(self):
        class Interrupted:
            calls = 0

            def on_tick(self, ctx):
                self.calls += 1
                if self.calls == 2:
                    raise KeyboardInterrupt
                return None

        s = Interrupted()
        with pytest.raises(KeyboardInterrupt):
            halvorn.run_backtest(s, ticks_rising(10), 1)
        assert s.calls == 2

    def test_system_exit_in_a_batch_stops_the_run(self):
        class Exits:
            calls = 0

            def on_batch(self, ticks):
                self.calls += 1
                raise SystemExit(3)

        s = Exits()
        with pytest.raises(SystemExit) as info:
            halvorn.run_backtest(s, ticks_rising(10), 1, batch=2)
        assert info.value.code == 3 and s.calls == 1

    def test_interrupt_in_build_stops_the_check(self):
        calls = []

        def build(known):
            calls.append(len(known))
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            halvorn.lookahead_check(build, [halvorn.Tick(i, 1) for i in range(4)], 1)
        assert calls == [4]

    @pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                        reason="signals reach the main thread only")
    def test_ctrl_c_reaches_a_run_that_no_longer_calls_python(self, endless_ticks):
        started = threading.Event()

        class FailsAtOnce:
            def on_batch(self, ticks):
                started.set()
                raise ValueError("gives up")

        def interrupt():
            started.wait()
            os.kill(os.getpid(), signal.SIGINT)

        killer = threading.Thread(target=interrupt)
        killer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                halvorn.run_backtest(FailsAtOnce(), halvorn.load_ticks(endless_ticks), 1, batch=2)
        finally:
            killer.join()

    def test_many_runs_leave_nothing_behind(self):
        ticks = ticks_rising(20)

        class Trader:
            name = "trader"

            def on_tick(self, ctx):
                return [halvorn.Order("buy", 1)] if ctx.position == 0 else [
                    halvorn.Order("sell", 1, price=ctx.last)]

        def one_round():
            halvorn.run_backtest(Trader(), ticks, 100).fill_prices
            halvorn.compare_modes(TestCompareModes.Follower, ticks, 100, 4)
            try:
                halvorn.run_backtest(Recorder({0: "x"}), ticks, 100)
            except ValueError:
                pass

        for _ in range(50):
            one_round()
        gc.collect()
        objects = len(gc.get_objects())
        blocks = sys.getallocatedblocks()
        for _ in range(2_000):
            one_round()
        gc.collect()
        assert len(gc.get_objects()) - objects < 100
        assert sys.getallocatedblocks() - blocks < 2_000
