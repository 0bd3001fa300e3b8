"""Calling an order class directly binds its arguments without the
interpreter's parser (a strategy makes one for every order); calling it
through type.__call__ goes through tp_new and the parser.  The two must
agree on every call: the same object, or the same exception with the same
words."""

import pytest

from halvorn import venue


class Keyword(str):
    """A keyword's name that is not a plain str."""


def outcome(call):
    try:
        made = call()
    except Exception as e:  # noqa: BLE001 - what is compared is the exception itself
        return type(e), str(e)
    return type(made), repr(made), made


def agree(cls, *args, **kwargs):
    direct = outcome(lambda: cls(*args, **kwargs))
    parsed = outcome(lambda: type.__call__(cls, *args, **kwargs))
    assert direct == parsed
    return direct


CALLS = [
    (venue.Order, ("buy", 5), {}),
    (venue.Order, ("sell", 5), {"price": 600_000, "tag": "q", "post_only": True}),
    (venue.Order, (), {"side": "buy", "qty": 2, "offset": "close", "reduce_only": True}),
    (venue.Order, ("buy",), {"qty": "0.5", "price": "59999.0", "instrument": "BTCUSDT"}),
    (venue.Order, ("buy", 5, 600_000), {}),  # price goes by keyword only
    (venue.Order, ("buy",), {}),
    (venue.Order, (), {"qty": 1}),
    (venue.Order, ("buy", 5), {"prce": 1}),
    (venue.Order, ("buy", 5), {"side": "sell"}),
    (venue.Order, ("buy", 5), {"pricé": 1}),
    (venue.Order, ("buy", 5), {Keyword("price"): 600_000}),
    (venue.Order, ("buy", 0), {}),
    (venue.Order, ("hold", 1), {}),
    (venue.Order, ("buy", 1), {"post_only": True}),
    (venue.Stop, ("sell", 1), {"trigger": 590_000, "fired_by": "mark"}),
    (venue.Stop, ("sell",), {"trigger": 590_000}),
    (venue.Stop, ("sell", 1), {}),  # its trigger is required by keyword
    (venue.TakeProfit, ("sell", 1), {"price": 610_000}),
    (venue.TakeProfit, (), {"side": "sell", "trigger": 610_000, "qty": None}),
    (venue.TrailingStop, ("sell", 2), {"distance": 300}),
    (venue.TrailingStop, ("sell", 2), {}),
    (venue.TrailingStop, ("sell", 2, 300), {}),
    (venue.ClosePosition, ("sell",), {"offset": "close"}),
    (venue.ClosePosition, (), {}),
    (venue.Cancel, (7,), {}),
    (venue.Cancel, (), {"order_id": 7}),
    (venue.Cancel, (7, 8), {}),
    (venue.Cancel, (7,), {"order_id": 7}),
    (venue.Cancel, (-1,), {}),
]


@pytest.mark.parametrize("cls, args, kwargs", CALLS)
def test_a_direct_call_agrees_with_the_parser(cls, args, kwargs):
    agree(cls, *args, **kwargs)


def test_the_direct_call_still_refuses_in_the_parsers_words():
    assert agree(venue.Order, "buy", 5, prce=1)[1] == "'prce' is an invalid keyword argument for Order()"
    assert agree(venue.Stop, "sell", 1)[1] == "Stop() needs trigger=, the price at which it fires"
    assert agree(venue.Cancel, 7, 8)[1] == "Cancel() takes at most 1 argument (2 given)"

