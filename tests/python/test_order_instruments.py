"""Orders that name the instrument of a run over several they are for, and
groups whose orders must all be for one."""

import pickle

import pytest

from halvorn import venue

# One of each order class, given by what it needs besides its instrument.
ORDERS = [
    lambda **kw: venue.Order("buy", 1, price=100, tag="q", **kw),
    lambda **kw: venue.Stop("sell", 2, trigger=90, **kw),
    lambda **kw: venue.TakeProfit("sell", trigger=110, price=111, **kw),
    lambda **kw: venue.TrailingStop("sell", 1, distance=5, **kw),
    lambda **kw: venue.ClosePosition("buy", offset="close", **kw),
]


@pytest.mark.parametrize("make", ORDERS)
class TestEveryOrderClass:
    def test_left_out_it_is_the_ticks_and_given_it_is_kept(self, make):
        assert make().instrument is None
        assert make(instrument=None) == make()
        order = make(instrument="ETHUSDT")
        assert order.instrument == "ETHUSDT"
        assert order != make() and order != make(instrument="BTCUSDT")

    def test_the_repr_shows_it_only_when_given(self, make):
        assert repr(make(instrument="ÉTH/USDT")).endswith(", instrument='ÉTH/USDT')")
        assert "instrument" not in repr(make())

    @pytest.mark.parametrize("value, error, message", [
        (5, TypeError, "instrument must be a str or None, got int"),
        (b"ETHUSDT", TypeError, "instrument must be a str or None, got bytes"),
        ("", ValueError, 'instrument must be the symbol of one of .*, got ""'),
    ])
    def test_anything_but_a_symbol_or_none_is_refused(self, make, value, error, message):
        with pytest.raises(error, match=message):
            make(instrument=value)


class TestGroups:
    def test_a_pair_is_for_one_instrument(self):
        pair = venue.OneCancelsOther(ORDERS[0](instrument="ETHUSDT"),
                                     ORDERS[1](instrument="ETHUSDT"))
        assert pair.first.instrument == pair.second.instrument == "ETHUSDT"
        assert eval(repr(pair), vars(venue)) == pair
        assert pickle.loads(pickle.dumps(pair)) == pair
        venue.OneCancelsOther(ORDERS[0](), ORDERS[3]())

    @pytest.mark.parametrize("first, second, got", [
        ("ETHUSDT", None, 'instrument="ETHUSDT" and instrument=None'),
        (None, "ETHUSDT", 'instrument=None and instrument="ETHUSDT"'),
        ("ETHUSDT", "BTCUSDT", 'instrument="ETHUSDT" and instrument="BTCUSDT"'),
    ])
    def test_a_pair_for_two_is_refused_naming_both(self, first, second, got):
        with pytest.raises(ValueError, match=f"^first and second: .* one instrument, got {got}$"):
            venue.OneCancelsOther(ORDERS[0](instrument=first), ORDERS[1](instrument=second))

    def test_a_brackets_exits_that_name_none_are_for_the_entrys(self):
        entry = venue.Order("buy", 1, instrument="ETHUSDT")
        named = venue.Stop("sell", trigger=90, instrument="ETHUSDT")
        for stop in (venue.Stop("sell", trigger=90), named):
            bracket = venue.BracketOrder(entry, stop_loss=stop,
                                         take_profit=venue.TakeProfit("sell", trigger=110))
            # The exits are given back as they were made: one that names no
            # instrument pastes back into a bracket that fills it in again.
            assert bracket.stop_loss is stop and bracket.take_profit.instrument is None
            assert eval(repr(bracket), vars(venue)) == bracket
            assert pickle.loads(pickle.dumps(bracket)) == bracket

    @pytest.mark.parametrize("entry, exits, fields", [
        ("ETHUSDT", {"stop_loss": venue.Stop("sell", trigger=90, instrument="BTCUSDT")},
         "entry and stop_loss"),
        (None, {"stop_loss": venue.Stop("sell", trigger=90, instrument="BTCUSDT")},
         "entry and stop_loss"),
        ("ETHUSDT", {"stop_loss": venue.Stop("sell", trigger=90),
                     "take_profit": venue.Order("sell", 1, price=110, instrument="BTCUSDT")},
         "entry and take_profit"),
    ])
    def test_a_bracket_exit_naming_another_is_refused_naming_both(self, entry, exits, fields):
        with pytest.raises(ValueError, match=f"^{fields}: .* one instrument"):
            venue.BracketOrder(venue.Order("buy", 1, instrument=entry), **exits)
