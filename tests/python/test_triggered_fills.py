"""Where an order sent by a stop, a take-profit or a trailing stop fills:
checked against a per-tick model of the documented rules written here in
Python, under both of the venue's choices (where the order it becomes fills,
and never better than the trigger), at L0 and at L1 with order latency, over
lists, tick files and batches.

The model knows only what docs/venue.md says: a conditional order is looked
at after each tick once placed, fires on the tick's last price, and sends a
market order stamped with that tick, which fills at L0 on the next tick and
at L1 on the first tick at or after its arrival, at the touch (a sell at the
bid, a buy at the ask); under "trigger" no better than its trigger.  A trail
starts from the last price when it is placed."""

import random

import pytest

import halvorn
from halvorn import venue

STEP = 10  # ns between ticks
LATENCY = 15


def make_ticks(n, seed):
    rng = random.Random(seed)
    last, ticks = 1_000, []
    for i in range(n):
        # Mostly small moves, now and then a gap that jumps past triggers.
        last = max(50, last + (rng.choice([-40, 40]) if rng.random() < 0.05
                               else rng.randint(-3, 3)))
        spread = rng.randint(1, 3)
        ticks.append(halvorn.Tick(exch_ts=i * STEP, last=last, bid=last - spread,
                                  ask=last + rng.randint(1, 3)))
    return ticks


def make_script(ticks, seed, every):
    """Orders by the index of the tick they are decided on: only ticks that
    end a batch of `every`, so that every cadence tested decides alike."""
    rng = random.Random(seed + 1)
    script, next_id = {}, 1
    for i in range(every - 1, len(ticks) - 1, every):
        if rng.random() > 0.3:
            continue
        last, orders = ticks[i].last, []
        for _ in range(rng.randint(1, 3)):
            side = rng.choice(["buy", "sell"])
            qty = rng.randint(1, 5)
            kind = rng.choice(["market", "stop", "take", "trail", "cancel"])
            away = rng.randint(1, 30)
            if kind == "market":
                orders.append(halvorn.Order(side, qty))
            elif kind == "stop":
                orders.append(venue.Stop(side, qty, trigger=last - away if side == "sell"
                                         else last + away))
            elif kind == "take":
                orders.append(venue.TakeProfit(side, qty, trigger=last + away if side == "sell"
                                               else max(1, last - away)))
            elif kind == "trail":
                orders.append(venue.TrailingStop(side, qty, distance=rng.randint(1, 15)))
            elif next_id > 1:
                orders.append(venue.Cancel(rng.randint(1, next_id - 1)))
                continue
            else:
                continue
            next_id += 1
        script[i] = orders
    return script


def model(ticks, script, rule, latency):
    """The fills the documented rules give, as sorted (order, side, qty,
    price, exch_ts), and how many conditional orders fired."""
    held = {}     # id -> [kind, side, qty, trigger or distance, best]
    sent = []     # [id, side, qty, arrive_at or None (next tick), bound or None, sent_on]
    fills, fired, next_id = [], 0, 1
    for i, t in enumerate(ticks):
        # Matching: the orders on their way that have arrived.
        still = []
        for order in sent:
            oid, side, qty, arrive, bound, sent_on = order
            if (arrive is None and sent_on < i) or (arrive is not None and arrive <= t.exch_ts):
                price = t.ask if side == "buy" else t.bid
                if bound is not None:
                    price = max(price, bound) if side == "buy" else min(price, bound)
                fills.append((oid, side, qty, price, t.exch_ts))
            else:
                still.append(order)
        sent = still
        # The held orders look at the tick's last price.
        for oid in sorted(held):
            kind, side, qty, level, best = held[oid]
            if kind == "trail":
                best = max(best, t.last) if side == "sell" else min(best, t.last)
                held[oid][4] = best
                level = best - level if side == "sell" else best + level
                hit = t.last <= level if side == "sell" else t.last >= level
            elif kind == "stop":
                hit = t.last <= level if side == "sell" else t.last >= level
            else:
                hit = t.last >= level if side == "sell" else t.last <= level
            if hit:
                fired += 1
                del held[oid]
                arrive = None if latency == 0 else t.local_ts + latency
                sent.append([oid, side, qty, arrive, max(level, 1) if rule == "trigger" else None,
                             i])
        # The strategy's orders, placed after the tick.
        for o in script.get(i, []):
            if isinstance(o, venue.Cancel):
                held.pop(o.order_id, None)
                sent = [s for s in sent if s[0] != o.order_id]
                continue
            oid, next_id = next_id, next_id + 1
            if isinstance(o, halvorn.Order):
                sent.append([oid, o.side, o.qty, None if latency == 0 else t.local_ts + latency,
                             None, i])
            elif isinstance(o, venue.TrailingStop):
                held[oid] = ["trail", o.side, o.qty, o.distance, t.last]
            else:
                kind = "stop" if isinstance(o, venue.Stop) else "take"
                held[oid] = [kind, o.side, o.qty, o.trigger, None]
    return sorted(fills), fired


class PerTick:
    def __init__(self, script):
        self.script, self.i = script, 0

    def on_tick(self, ctx):
        self.i += 1
        return self.script.get(self.i - 1)


class Batched:
    def __init__(self, script):
        self.script, self.seen = script, 0

    def on_batch(self, ticks):
        self.seen += len(ticks)
        return self.script.get(self.seen - 1)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("rule", ["order", "trigger"])
@pytest.mark.parametrize("tier", ["L0", "L1"])
def test_triggered_orders_fill_as_the_model_says(tmp_path, seed, rule, tier):
    ticks = make_ticks(400, seed)
    script = make_script(ticks, seed, every=4)
    latency = LATENCY if tier == "L1" else 0
    v = venue.Venue(tier=venue.L1(order_latency=venue.Fixed(LATENCY)) if tier == "L1"
                    else venue.L0(), triggered_fills=rule, enforce_margin=False)
    expected, fired = model(ticks, script, rule, latency)
    assert fired > 0  # the seeds exercise what they are meant to
    path = tmp_path / "ticks.hvtk"
    halvorn.save_ticks(str(path), ticks)
    for source in (ticks, halvorn.load_ticks(str(path))):
        for strategy, batch in ((PerTick(script), 1), (Batched(script), 2),
                                (Batched(script), 4)):
            run = venue.run(strategy, source, 10**6, venue=v, batch=batch)
            got = sorted((f.order, f.side, f.qty, f.price, f.exch_ts) for f in run.fills)
            assert (got, run.triggered) == (expected, fired), (type(source).__name__, batch)


def test_the_two_rules_part_where_the_market_gaps_past_a_trigger():
    # A sell take-profit at 105 that a jump to 120 fires: the order it sends
    # meets a bid of 119 -- the venue's fill -- which the bound holds to 105.
    ticks = [halvorn.Tick(0, 100, bid=99, ask=101), halvorn.Tick(10, 100, bid=99, ask=101),
             halvorn.Tick(20, 120, bid=119, ask=121), halvorn.Tick(30, 120, bid=119, ask=121)]
    script = {0: [halvorn.Order("buy", 1)], 1: [venue.TakeProfit("sell", 1, trigger=105)]}
    prices = {rule: [f.price for f in venue.run(PerTick(script), ticks, 1_000,
                                                venue=venue.Venue(triggered_fills=rule)).fills]
              for rule in ("order", "trigger")}
    assert prices == {"order": [101, 119], "trigger": [101, 105]}
    assert model(ticks, script, "order", 0)[0][1][3] == 119


def test_the_choice_is_named_pasted_back_and_checked():
    conservative = venue.Venue(triggered_fills="trigger")
    assert venue.Venue().triggered_fills == "order"
    assert eval(repr(conservative), {"Venue": venue.Venue}) == conservative
    with pytest.raises(ValueError, match='triggered_fills must be "order" or "trigger"'):
        venue.Venue(triggered_fills="limit")
    with pytest.raises(TypeError, match="triggered_fills"):
        venue.Venue(triggered_fills=0)
