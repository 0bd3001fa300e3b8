"""Strategies and seeded series for the research tests; a module of its own so
that the workers of a process pool can import what they run."""

import math
import random

import halvorn

SECOND = 10**9


class Crossover:
    """Long while a fast moving average of the price is above a slow one."""

    def __init__(self, fast, slow):
        self.fast, self.slow = fast, slow
        self.fast_mean = self.slow_mean = None

    def on_tick(self, ctx):
        if self.fast_mean is None:
            self.fast_mean = self.slow_mean = float(ctx.last)
        self.fast_mean += (ctx.last - self.fast_mean) / self.fast
        self.slow_mean += (ctx.last - self.slow_mean) / self.slow
        if self.fast_mean > self.slow_mean and ctx.position == 0:
            return [halvorn.Order("buy", 100)]
        if self.fast_mean < self.slow_mean and ctx.position > 0:
            return [halvorn.Order("sell", ctx.position, "close")]
        return None


class FailsLate(Crossover):
    """A crossover that raises `error` at `at` ns in a run that started less
    than 1000 s before it: a test run, not the longer training runs around it."""

    def __init__(self, fast, slow, at, error=LookupError):
        super().__init__(fast, slow)
        self.at, self.error = at, error
        self.started = None

    def on_tick(self, ctx):
        if self.started is None:
            self.started = ctx.tick.exch_ts
        if ctx.tick.exch_ts >= self.at and self.started > self.at - 1_000 * SECOND:
            raise self.error("the strategy met a tick it cannot take")
        return super().on_tick(ctx)


def ticks(prices, start=1_700_000_000 * SECOND, spread=1):
    """A tick a second at these prices, `spread` ticks either side."""
    return [halvorn.Tick(exch_ts=start + i * SECOND, last=p, bid=p - spread, ask=p + spread)
            for i, p in enumerate(prices)]


def noise(n, seed):
    """A random walk: nothing a strategy can find."""
    rng = random.Random(seed)
    price, out = 600_000, []
    for _ in range(n):
        price += rng.choice((-3, -2, -1, 0, 1, 2, 3))
        out.append(price)
    return out


def waves(n, seed, period=1_600, height=400):
    """Rises and falls of `height` ticks every `period` ticks, under noise: a
    crossover of the right speed rides the rises."""
    rng = random.Random(seed)
    return [600_000 + round(height * math.sin(2 * math.pi * i / period))
            + rng.choice((-3, -2, -1, 0, 1, 2, 3)) for i in range(n)]


GRID = {"fast": [5, 20, 60, 150], "slow": [100, 400, 1_200, 3_000]}


class Coin:
    """Long or short by a coin seeded with `seed`, tossed again every `hold`
    ticks: a strategy whose every setting is as good as any other."""

    def __init__(self, seed, hold=50):
        self.rng = random.Random(seed)
        self.hold = hold
        self.seen = 0
        self.side = 0

    def on_tick(self, ctx):
        self.seen += 1
        if self.seen % self.hold != 1:
            return None
        side = self.rng.choice((-1, 1))
        if side == self.side:
            return None
        self.side = side
        lots = 10 + abs(ctx.position)
        return [halvorn.Order("buy" if side > 0 else "sell", lots)]
