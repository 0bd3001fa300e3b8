"""The Context a per-tick strategy is shown: one per tick, whatever it keeps.

The run shows each tick in one object rewritten in place while the strategy
keeps none; a Context the strategy does keep must go on showing its own
tick, its account and its instrument, however many ticks follow."""

import random

import halvorn
from halvorn import venue

BTC = venue.Instrument("BTCUSDT", "0.1", "0.001")
ETH = venue.Instrument("ETHUSDT", "0.01", "0.001")


def walk(n, seed, start):
    rng = random.Random(seed)
    ticks, price = [], start
    for i in range(n):
        price += rng.choice((-2, -1, 0, 1, 2))
        ticks.append(halvorn.Tick(exch_ts=2 * i + seed, last=price, bid=price - 1, ask=price + 1))
    return ticks


def shown(ctx):
    return (ctx.tick.exch_ts, ctx.last, ctx.position, ctx.entry, ctx.equity, ctx.working)


class Keeper:
    """Trades now and then and keeps some of its contexts (which ones is
    seeded), noting what each showed while it was called."""

    def __init__(self, seed, make_order):
        self.rng, self.make_order = random.Random(seed), make_order
        self.kept, self.seen = [], []

    def on_tick(self, ctx):
        now = shown(ctx)
        if self.rng.random() < 0.3:
            self.kept.append((ctx, now, getattr(ctx, "instrument", None)))
        self.seen.append(now)
        if self.rng.random() < 0.1:
            return [self.make_order(self.rng.choice(("buy", "sell")), self.rng.randint(1, 3))]
        return None


def check_kept(strategy):
    assert strategy.kept, "the seeded strategy kept no context"
    for ctx, then, instrument in strategy.kept:
        assert shown(ctx) == then
        if instrument is not None:
            assert ctx.instrument is instrument
    # Every tick was shown as itself, kept or not: no two calls saw one tick.
    times = [s[0] for s in strategy.seen]
    assert len(times) == len(set(times))


def test_kept_contexts_keep_their_tick_in_the_core_run():
    for seed in range(3):
        s = Keeper(seed, halvorn.Order)
        result = halvorn.run_backtest(s, walk(400, seed, 60_000), 1_000_000)
        assert result.ticks == 400 and result.fills > 0
        check_kept(s)


def test_kept_contexts_keep_their_tick_and_instrument_in_a_portfolio():
    for seed in range(3):
        s = Keeper(seed, lambda side, qty: venue.Order(side, qty))
        ticks = {"BTCUSDT": walk(300, 1, 600_000), "ETHUSDT": walk(300, 2, 300_000)}
        venues = {"BTCUSDT": venue.Venue(instrument=BTC), "ETHUSDT": venue.Venue(instrument=ETH)}
        run = venue.run(s, ticks, 100_000, venue=venues)
        assert run.ticks == 600 and len(run.fills) > 0
        check_kept(s)
        symbols = {instrument.symbol for _, _, instrument in s.kept}
        assert symbols == {"BTCUSDT", "ETHUSDT"}
