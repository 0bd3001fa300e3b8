"""What fires a conditional order (`fired_by="last"` or `"mark"`), and a
bracket's exits of every kind, including over an entry that fills in parts."""


import pytest

import halvorn
from halvorn import data, venue


def quotes(*rows):
    return [halvorn.Tick(exch_ts=t, last=last, bid=last - 1, ask=last + 1) for t, last in rows]


class Script:
    def __init__(self, script):
        self.script, self.calls, self.ends = script, 0, []

    def on_tick(self, ctx):
        self.calls += 1
        return self.script.get(self.calls - 1)

    def on_end(self, order_id, how):
        self.ends.append((order_id, how))


class Batched(Script):
    def on_batch(self, ticks):
        self.calls += len(ticks) - 1
        return self.on_tick(None)


def fills(run):
    return [(f.order, f.price, f.exch_ts) for f in run.fills]


class TestFiredBy:
    def test_the_field_takes_two_words(self):
        stop = venue.Stop("sell", 1, trigger=90, fired_by="mark")
        assert stop.fired_by == "mark" and "fired_by='mark'" in repr(stop)
        assert "fired_by" not in repr(venue.Stop("sell", 1, trigger=90))
        with pytest.raises(ValueError, match='fired_by must be "last" or "mark"'):
            venue.Stop("sell", trigger=9, fired_by="index")
        with pytest.raises(TypeError, match="fired_by"):
            venue.TrailingStop("sell", distance=1, fired_by=1)

    def test_a_trailing_stop_on_the_mark_trails_the_mark(self, tmp_path):
        # The last trade stays at 100 while the mark rises to 110 and turns
        # back to 107: three behind the best mark.
        ticks = quotes(*[(t, 100) for t in range(1, 9)])
        marks = data.save_marks(tmp_path / "m.hvmk", [(1, 100, 0), (3, 105, 0), (4, 110, 0),
                                                      (5, 108, 0), (6, 107, 0)])
        for fired_by, expected in (("mark", [(1, 101, 2), (2, 99, 6)]), ("last", [(1, 101, 2)])):
            s = Script({0: [halvorn.Order("buy", 1)],
                        1: [venue.TrailingStop("sell", 1, distance=3, fired_by=fired_by)]})
            run = venue.run(s, ticks, 1_000, marks=marks)
            assert fills(run) == expected, fired_by

    def test_without_marks_the_mark_is_the_last_trade(self):
        ticks = quotes((1, 100), (2, 100), (3, 95), (4, 94), (5, 94))
        runs = []
        for fired_by in ("last", "mark"):
            s = Script({0: [halvorn.Order("buy", 1)],
                        1: [venue.Stop("sell", 1, trigger=96, fired_by=fired_by)]})
            runs.append((fills(venue.run(s, ticks, 1_000)), s.ends))
        assert runs[0] == runs[1]
        assert runs[0][0] == [(1, 101, 2), (2, 93, 4)]

    @pytest.mark.parametrize("tier", [venue.L0(), venue.L1(order_latency=venue.Fixed(1))])
    def test_batched_runs_take_ticks_in_bulk_and_fire_on_the_same_mark(self, tmp_path, tier):
        # Flat, with a buy stop on the mark waiting: the marks come every
        # 10 ticks and the fifth reaches the stop.
        ticks = quotes(*[(t, 100 + t % 3) for t in range(1, 400)])
        marks = data.save_marks(tmp_path / "m.hvmk",
                                [(t, 100 + (30 if t >= 50 else 0), 0) for t in range(1, 400, 10)])
        runs = []
        for strategy, batch in ((Script, 1), (Batched, 8)):
            s = strategy({7: [venue.Stop("buy", 2, trigger=120, fired_by="mark")]})
            run = venue.run(s, ticks, 1_000, venue=venue.Venue(tier=tier), marks=marks,
                            batch=batch)
            runs.append((fills(run), s.ends, run.triggered))
        assert runs[0] == runs[1]
        assert runs[0][1] == [(1, "triggered"), (1, "filled")]
        assert runs[0][0][0][2] >= 51  # filled after the mark at 51 fired it


class TestBracketExits:
    ROWS = [(0, 100), (1, 100), (2, 104), (3, 102), (4, 101), (5, 101)]

    def test_a_take_profit_order_and_a_trailing_stop_loss(self):
        bracket = venue.BracketOrder(venue.Order("buy", 2),
                                     stop_loss=venue.TrailingStop("sell", distance=3),
                                     take_profit=venue.TakeProfit("sell", trigger=110))
        assert isinstance(bracket.stop_loss, venue.TrailingStop)
        s = Script({0: [bracket]})
        run = venue.run(s, quotes(*self.ROWS), 1_000)
        assert fills(run) == [(1, 101, 1), (2, 100, 5)]
        assert s.ends == [(1, "filled"), (2, "triggered"), (3, "canceled"), (2, "filled")]
        with pytest.raises(TypeError, match="stop_loss must be a venue.Stop or TrailingStop"):
            venue.BracketOrder(venue.Order("buy", 2), stop_loss=venue.TakeProfit("sell", trigger=9))

    def test_exits_are_armed_for_each_part_of_an_entry_filled_in_parts(self):
        # An entry of 6 at 100 filled 2 lots a tick: the take-profit at 110 is
        # raised with each part, takes the 4 lots held when the price jumps
        # through it, and the rest of the entry ends with the bracket.
        rows = [(0, 101, 100, 101, 0), (1, 100, 99, 100, 2), (2, 100, 99, 100, 4),
                (3, 111, 111, 112, 4), (4, 111, 111, 112, 4)]
        ticks = [halvorn.Tick(exch_ts=t, last=last, high=last, low=last, bid=bid, ask=ask,
                              volume=v) for t, last, bid, ask, v in rows]
        bracket = venue.BracketOrder(venue.Order("buy", 6, price=100),
                                     stop_loss=venue.Stop("sell", trigger=95),
                                     take_profit=venue.Order("sell", 6, price=110))
        s = Script({0: [bracket]})
        run = venue.run(s, ticks, 1_000, venue=venue.Venue(tier=venue.L1(partial_fills=True)))
        assert [(f.order, f.qty, f.remaining, f.tick) for f in run.fills] == [
            (1, 2, 4, 1), (1, 2, 2, 2), (3, 4, 0, 3)]
        assert run.fills[-1].price == 110
        assert s.ends == [(3, "filled"), (1, "canceled"), (2, "canceled")]
        assert run.per_instrument[0].position == 0
