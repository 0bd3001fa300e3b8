"""The module's entry and the value classes Tick, Order and Context."""

import gc
import inspect
import sys

import pytest

import halvorn

I64_MAX = 2**63 - 1
I64_MIN = -(2**63)


class TestModule:
    def test_doc_and_cash_scale(self):
        assert halvorn.__doc__ == "Evaluate the backtest you already have."
        assert halvorn.CASH_SCALE == 100_000_000

    def test_all_lists_every_name_in_its_fixed_order(self):
        final = [
            "__doc__", "sharpe_ratio", "moments", "probabilistic_sharpe_ratio",
            "deflated_sharpe_ratio", "probability_of_backtest_overfitting",
            "minimum_track_record_length", "CASH_SCALE", "Tick", "TickSource", "Context",
            "Order", "RunResult", "ModeComparison", "LookaheadReport", "load_ticks",
            "save_ticks", "run_backtest", "compare_modes", "lookahead_check",
        ]
        assert halvorn.__all__ == final
        for name in final:
            assert hasattr(halvorn, name)
        # Nothing public is left out of __all__.  Submodules (halvorn.sweep, ...)
        # are imported by name and show up here once anything has imported them.
        public = {n for n in dir(halvorn)
                  if not n.startswith("_") and not inspect.ismodule(getattr(halvorn, n))}
        assert public == set(final) - {"__doc__"}

    def test_classes_are_final_and_have_no_instance_dict(self):
        for cls in (halvorn.Tick, halvorn.Order, halvorn.Context):
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})
        t = halvorn.Tick(1, 2)
        assert not hasattr(t, "__dict__")
        with pytest.raises(AttributeError):
            t.anything = 1  # no instance dict, no weakref slot either
        o = halvorn.Order("buy", 1)
        with pytest.raises(AttributeError):
            o.note = "x"

    def test_context_cannot_be_created(self):
        with pytest.raises(TypeError, match=r"^cannot create 'Context' instances$"):
            halvorn.Context()
        with pytest.raises(TypeError, match=r"^cannot create 'Context' instances$"):
            halvorn.Context.__new__(halvorn.Context)


class TestTick:
    def test_defaults(self):
        t = halvorn.Tick(5, 100)
        assert (t.exch_ts, t.local_ts, t.last, t.high, t.low, t.bid, t.ask, t.volume) == (
            5, 5, 100, 100, 100, 0, 0, 0)
        assert repr(t) == "Tick(exch_ts=5, last=100, bid=0, ask=0)"
        n = halvorn.Tick(5, 100, local_ts=None, high=None, low=None)
        assert (n.local_ts, n.high, n.low) == (5, 100, 100)

    def test_all_fields_by_keyword_and_position(self):
        a = halvorn.Tick(1, 2, 3, 4, 5, 6, 7, 8)
        b = halvorn.Tick(volume=8, ask=7, bid=6, low=5, high=4, local_ts=3, last=2, exch_ts=1)
        for t in (a, b):
            assert (t.exch_ts, t.local_ts, t.last, t.high, t.low, t.bid, t.ask, t.volume) == (
                1, 3, 2, 4, 5, 6, 7, 8)

    def test_no_relation_between_fields_is_enforced(self):
        t = halvorn.Tick(-10, -1, local_ts=-20, high=90, low=110, bid=105, ask=95, volume=-3)
        assert (t.high, t.low, t.bid, t.ask, t.volume, t.local_ts) == (90, 110, 105, 95, -3, -20)

    def test_limits_round_trip(self):
        t = halvorn.Tick(I64_MIN, I64_MAX, I64_MAX, I64_MIN, I64_MAX, I64_MIN, I64_MAX, I64_MIN)
        assert (t.exch_ts, t.last, t.local_ts, t.high, t.low, t.bid, t.ask, t.volume) == (
            I64_MIN, I64_MAX, I64_MAX, I64_MIN, I64_MAX, I64_MIN, I64_MAX, I64_MIN)

    @pytest.mark.parametrize("field", ["bid", "ask", "volume"])
    def test_none_is_not_a_zero(self, field):
        with pytest.raises(TypeError, match=field):
            halvorn.Tick(1, 2, **{field: None})

    @pytest.mark.parametrize(
        "value, error",
        [
            (2**63, OverflowError),
            (-(2**63) - 1, OverflowError),
            (10**400, OverflowError),
            (2.0, TypeError),
            ("5", TypeError),
            (b"5", TypeError),
            (None, TypeError),
            ([1], TypeError),
            (1 + 0j, TypeError),
        ],
    )
    def test_bad_values_name_the_argument(self, value, error):
        with pytest.raises(error, match="last"):
            halvorn.Tick(1, value)

    def test_index_protocol(self):
        class Idx:
            def __init__(self, v):
                self.v = v

            def __index__(self):
                return self.v

        class Raises:
            def __index__(self):
                raise RuntimeError("no index for you")

        class Wrong:
            def __index__(self):
                return "seven"

        assert halvorn.Tick(Idx(7), True).exch_ts == 7
        assert halvorn.Tick(1, True).last == 1  # bool is an int
        with pytest.raises(OverflowError, match="high"):
            halvorn.Tick(1, 2, high=Idx(2**64))
        with pytest.raises(TypeError, match="low") as info:
            halvorn.Tick(1, 2, low=Raises())
        assert isinstance(info.value.__cause__, RuntimeError)
        with pytest.raises(TypeError, match="exch_ts"):
            halvorn.Tick(Wrong(), 2)

    def test_interrupt_inside_index_is_not_turned_into_a_type_error(self):
        class Interrupt:
            def __index__(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            halvorn.Tick(Interrupt(), 1)

    def test_binding_errors(self):
        with pytest.raises(TypeError, match="last"):
            halvorn.Tick(1)
        with pytest.raises(TypeError):
            halvorn.Tick(1, 2, 3, 4, 5, 6, 7, 8, 9)
        with pytest.raises(TypeError, match="bogus"):
            halvorn.Tick(1, 2, bogus=3)
        with pytest.raises(TypeError, match="exch_ts"):
            halvorn.Tick(1, 2, exch_ts=3)


class TestOrder:
    def test_defaults_make_a_market_order_to_open(self):
        o = halvorn.Order("buy", 1)
        assert (o.side, o.qty, o.offset, o.price) == ("buy", 1, "open", None)
        assert repr(o) == 'Order("buy", 1, "open")'

    def test_limit_orders_including_zero_and_negative_prices(self):
        assert repr(halvorn.Order("buy", 5, "open", price=101)) == 'Order("buy", 5, "open", price=101)'
        assert repr(halvorn.Order("sell", 2, "close")) == 'Order("sell", 2, "close")'
        assert halvorn.Order("sell", 1, price=0).price == 0
        assert halvorn.Order("sell", 1, price=-5).price == -5
        assert halvorn.Order(qty=3, side="sell", price=None).price is None

    def test_side_and_offset_are_the_fixed_strings(self):
        class S(str):
            pass

        o = halvorn.Order(S("sell"), 1, S("close"))
        assert type(o.side) is str and type(o.offset) is str
        assert o.side == "sell" and o.offset == "close"
        assert o.side is halvorn.Order("sell", 2).side

    @pytest.mark.parametrize(
        "args, message",
        [
            (("Buy", 1), 'side must be "buy" or "sell", got "Buy"'),
            ((" buy", 1), 'side must be "buy" or "sell", got " buy"'),
            (("sell", 0, "shut"), 'offset must be "open" or "close", got "shut"'),
            (("sell", -3), "qty must be positive, got -3"),
            (("sell", 0), "qty must be positive, got 0"),
            (('a"b\\c', 1), 'side must be "buy" or "sell", got "a\\"b\\\\c"'),
            (("x\x00\t\r\n", 1), 'side must be "buy" or "sell", got "x\\0\\t\\r\\n"'),
            (("\x01\u200b\ud800é", 1), 'side must be "buy" or "sell", got "\\u{1}\\u{200b}\\u{d800}é"'),
            (("buy", 1, "OPEN"), 'offset must be "open" or "close", got "OPEN"'),
        ],
    )
    def test_value_errors_in_check_order(self, args, message):
        with pytest.raises(ValueError) as info:
            halvorn.Order(*args)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "kwargs, name, error",
        [
            ({"side": b"buy", "qty": 1}, "side", TypeError),
            ({"side": None, "qty": 1}, "side", TypeError),
            ({"side": "buy", "qty": 1.0}, "qty", TypeError),
            ({"side": "buy", "qty": 2**63}, "qty", OverflowError),
            ({"side": "buy", "qty": 1, "offset": None}, "offset", TypeError),
            ({"side": "buy", "qty": 1, "price": 1.5}, "price", TypeError),
            ({"side": "buy", "qty": 1, "price": -(2**63) - 1}, "price", OverflowError),
        ],
    )
    def test_conversion_errors_name_the_argument(self, kwargs, name, error):
        with pytest.raises(error, match=name):
            halvorn.Order(**kwargs)

    def test_conversion_runs_before_validation(self):
        # A wrong side with an unconvertible qty reports the qty's type first.
        with pytest.raises(TypeError, match="qty"):
            halvorn.Order("BUY", "one")


def test_value_objects_do_not_leak():
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(20_000):
        halvorn.Tick(1, 2, 3)
        halvorn.Order("buy", 1, price=5)
        try:
            halvorn.Order("buy", 0)
        except ValueError:
            pass
    gc.collect()
    assert sys.getallocatedblocks() - before < 1_000


def test_any_python_value_gives_a_value_or_a_named_error():
    """Seeded: every argument of Tick and Order drawn from a pool of awkward
    values.  The outcome is an object holding exactly what was passed, or one
    of the three argument errors; never a crash, never a wrong value."""
    import random

    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    class BadIndex:
        def __index__(self):
            raise ArithmeticError("no")

    class Str(str):
        pass

    ints = [0, 1, -1, 5, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**30, True, False,
            Index(7), Index(2**70)]
    others = [None, 1.0, float("nan"), "1", "buy", "sell", "open", "close", Str("buy"),
              Str("close"), b"buy", [], (1,), object(), BadIndex(), Index("x"), 1j]
    pool = ints + others

    def as_int(v):
        return v.v if isinstance(v, Index) else int(v) if isinstance(v, (int, bool)) else v

    rng = random.Random(7)
    made = errors = 0
    for _ in range(20_000):
        n = rng.randint(0, 9)
        args = [rng.choice(pool) for _ in range(n)]
        try:
            t = halvorn.Tick(*args)
        except (TypeError, OverflowError, ValueError):
            errors += 1
        else:
            made += 1
            assert t.exch_ts == as_int(args[0]) and t.last == as_int(args[1])
            if n > 2 and args[2] is not None:
                assert t.local_ts == as_int(args[2])
        try:
            o = halvorn.Order(*args[:4])
        except (TypeError, OverflowError, ValueError):
            errors += 1
        else:
            made += 1
            assert o.side == str(args[0]) and o.qty == as_int(args[1]) >= 1
            assert o.offset == (str(args[2]) if len(args) > 2 else "open")
            assert o.price == (None if len(args) < 4 or args[3] is None else as_int(args[3]))
    assert made > 100 and errors > 1_000
