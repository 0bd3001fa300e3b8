"""What a fill costs a Python strategy: a market maker on an L1 venue.

    python bench/python_fills.py [directory] [n_ticks]

A per-tick Python strategy keeps one bid at the best bid and one ask at the
best ask; it hears each fill through `on_fill` and each ending through
`on_end`, pulls a quote the touch has left, and stops quoting the side that
would take its inventory past a limit.  The venue delays orders and reports,
keeps a queue ahead of each resting order and charges takers a fee, so about
one tick in five books a fill: what is timed is the road from the engine's
fill to the strategy's hooks, with the per-tick call it rides on.  The empty
per-tick strategy over the same ticks is timed beside it, so the fills' own
share can be read off.  The ticks (n_ticks, default 1_000_000) are written
once to a tick file in `directory` (default a temporary one) and held in
memory, so that no run pays for converting them.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import halvorn  # noqa: E402
from halvorn import data, venue  # noqa: E402

SIZE = 5  # lots per quote
LIMIT = 20  # inventory, in lots, beyond which a side stops quoting


def series(path: str, n: int, seed: int = 5) -> halvorn.TickSource:
    """A random walk in ticks with a one-tick spread most of the time and
    bursts that run through several levels, with a traded volume, written
    to `path` and loaded."""
    rng = np.random.default_rng(seed)
    moves = rng.choice([-1, 0, 0, 0, 0, 0, 0, 1], n)
    moves = moves * np.where(rng.random(n) < 0.02, 6, 1)
    last = 600_000 + np.cumsum(moves)
    wide = rng.random(n) < 0.1
    data.from_arrays(path, 1_700_000_000 * 10**9 + np.arange(n, dtype=np.int64) * 50_000_000,
                     last, bid=last - wide, ask=last + 1, volume=np.cumsum(rng.integers(0, 8, n)))
    return halvorn.load_ticks(path)


def quoting_venue() -> venue.Venue:
    return venue.Venue(
        instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"),
        tier=venue.L1(order_latency=venue.Fixed(20_000_000),
                      report_latency=venue.Fixed(5_000_000), queue=venue.TradedShare(50)),
        maker_fee=0, taker_fee=venue.rate("0.0005"))


class Quoter:
    """One quote a side at the touch, replaced when the touch leaves it."""

    def __init__(self) -> None:
        self.made = 0
        self.bid_id = self.ask_id = 0
        self.bid_price = self.ask_price = 0
        self.fills = self.ends = 0

    def on_fill(self, fill: venue.Fill) -> None:
        self.fills += 1

    def on_end(self, order_id: int, how: str) -> None:
        self.ends += 1
        if order_id == self.bid_id:
            self.bid_id = 0
        elif order_id == self.ask_id:
            self.ask_id = 0

    def on_tick(self, ctx: venue.Context) -> list[object] | None:
        bid, ask = ctx.tick.bid, ctx.tick.ask
        if bid <= 0 or ask <= 0:
            return None
        orders: list[object] = []
        if self.bid_id and self.bid_price != bid:
            orders.append(venue.Cancel(self.bid_id))
            self.bid_id = 0
        if self.ask_id and self.ask_price != ask:
            orders.append(venue.Cancel(self.ask_id))
            self.ask_id = 0
        if not self.bid_id and ctx.position < LIMIT:
            orders.append(venue.Order("buy", SIZE, price=bid))
            self.made += 1
            self.bid_id, self.bid_price = self.made, bid
        if not self.ask_id and ctx.position > -LIMIT:
            orders.append(venue.Order("sell", SIZE, price=ask))
            self.made += 1
            self.ask_id, self.ask_price = self.made, ask
        return orders or None


class Empty:
    def on_tick(self, ctx: venue.Context) -> None:
        return None


def best_of(repeats: int, run) -> tuple[float, venue.Run]:  # type: ignore[no-untyped-def]
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="halvorn-bench-")
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
    os.makedirs(directory, exist_ok=True)
    ticks = series(os.path.join(directory, f"python-fills-{n}.hvtk"), n)
    v = quoting_venue()
    load = os.getloadavg()[0]
    t_quote, run = best_of(3, lambda: venue.run(Quoter(), ticks, 10_000, venue=v))
    t_empty, _ = best_of(3, lambda: venue.run(Empty(), ticks, 10_000, venue=v))
    fills = len(run.fills)
    print(f"Python market maker on L1: {t_quote / n * 1e9:.1f} ns a tick, {fills:,} fills in "
          f"{n:,} ticks ({(t_quote - t_empty) / max(fills, 1) * 1e9:.0f} ns a fill above the "
          f"empty strategy's {t_empty / n * 1e9:.1f} ns a tick); load {load:.2f} -> "
          f"{os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
