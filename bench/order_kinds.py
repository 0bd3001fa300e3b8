"""What the venue's order kinds cost a run, in one process.

    python bench/order_kinds.py [directory] [n_ticks]

Writes a series of n_ticks (default 10_000_000, a tick every 50 ms) to a tick
file in `directory` (default a temporary one) and reports, best of three
each:

  1. resting stops against resting limit orders: 10^4 and 10^5 of them
     placed at once and never reached, over 2_000_000 ticks of a columnar
     strategy that decides nothing more (target: the same per tick, stops or
     limits, and a tenfold count costs a tick little more);
  2. one more resting order per tick, a per-tick strategy over 10^4 and 10^5
     ticks, stops against limit orders (target: the same, and flat per tick);
  3. a NumPy crossover on columns that enters with a bracket (a stop-loss
     and a take-profit) against the same crossover entering plainly (target:
     within 10 %).
"""

from __future__ import annotations

import os
import sys
import tempfile

# One thread for NumPy: the figures are of one core's work.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import halvorn  # noqa: E402
from columns import BATCH, Crossover, best, write_series  # noqa: E402
from halvorn import venue  # noqa: E402


class PlaceOnce:
    """Places `count` orders far from the market on its first batch, then
    only collects ticks."""

    def __init__(self, count: int, stops: bool) -> None:
        self.count, self.stops, self.placed = count, stops, False

    def on_columns(self, batch):
        if self.placed:
            return None
        self.placed = True
        last = int(batch.last[len(batch) - 1])
        if self.stops:
            # Sell stops that fire only on a fall of 100_000 ticks or more.
            return [venue.Stop("sell", 1, trigger=last - 100_000 - i % 1_000)
                    for i in range(self.count)]
        return [halvorn.Order("buy", 1, price=last - 100_000 - i % 1_000) for i in range(self.count)]


class OneMorePerTick:
    def __init__(self, stops: bool) -> None:
        self.stops = stops

    def on_tick(self, ctx):
        if self.stops:
            return [venue.Stop("sell", 1, trigger=ctx.last - 1_000)]
        return [halvorn.Order("buy", 1, price=ctx.last - 1_000)]


class CrossoverBrackets(Crossover):
    """The crossover of columns.py, entering each position with a bracket: a
    stop-loss 300 ticks away and a take-profit 600 ticks away."""

    brackets = True

    def decide(self, last: np.ndarray, position: int):
        orders = super().decide(last, position)
        if orders is None:
            return None
        side = orders[0].side
        other, sign = ("sell", 1) if side == "buy" else ("buy", -1)
        now = int(last[-1])
        close = [venue.ClosePosition(other if position > 0 else side)] if position else []
        if not self.brackets:
            return close + [venue.Order(side, 1)]
        return close + [venue.BracketOrder(
            venue.Order(side, 1),
            stop_loss=venue.Stop(other, trigger=now - sign * 300),
            take_profit=venue.TakeProfit(other, trigger=now + sign * 600))]

    def on_columns(self, batch):
        return self.decide(np.asarray(batch.last), self.position)


class CrossoverPlain(CrossoverBrackets):
    brackets = False


def main() -> None:
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="halvorn-bench-")
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    source = write_series(os.path.join(directory, "order-kinds.hvtk"), n)
    small = write_series(os.path.join(directory, "order-kinds-small.hvtk"), min(n, 2_000_000))
    per = lambda seconds, count: seconds / count * 1e9  # noqa: E731
    print(f"series: {n:,} ticks (Python {sys.version.split()[0]})")

    def timed(make, series, repeat=3, **kw):
        result = {}

        def go():
            result["run"] = venue.run(make(), series, 100_000, **kw)
        return best(go, repeat), result["run"]

    print("\n1. orders placed at once and never reached, columns, batch 4096 (ns/tick)")
    print(f"{'':28}{'limits':>10}{'stops':>10}")
    for count in (10_000, 100_000):
        limits, run_l = timed(lambda: PlaceOnce(count, False), small, batch=BATCH)
        stops, run_s = timed(lambda: PlaceOnce(count, True), small, batch=BATCH)
        assert len(run_l.fills) == len(run_s.fills) == 0 and run_s.triggered == 0
        print(f"{count:>8,} resting{'':12}{per(limits, len(small)):10.2f}"
              f"{per(stops, len(small)):10.2f}")

    print("\n2. one more resting order per tick, on_tick (ns/tick)")
    print(f"{'':28}{'limits':>10}{'stops':>10}")
    ticks = [halvorn.Tick(i * 1_000, 600_000 + i % 7) for i in range(100_000)]
    for count in (10_000, 100_000):
        repeat = max(3, 300_000 // count)
        limits, _ = timed(lambda: OneMorePerTick(False), ticks[:count], repeat=repeat)
        stops, _ = timed(lambda: OneMorePerTick(True), ticks[:count], repeat=repeat)
        print(f"{count:>8,} ticks and orders{'':3}{per(limits, count):10.0f}{per(stops, count):10.0f}")

    print("\n3. NumPy crossover on columns, batch 4096: plain entries against brackets")
    # The two take turns, so that a slow spell of the machine falls on both.
    plain = bracketed = float("inf")
    for _ in range(3):
        seconds, run_p = timed(CrossoverPlain, source, repeat=1, batch=BATCH)
        plain = min(plain, seconds)
        seconds, run_b = timed(CrossoverBrackets, source, repeat=1, batch=BATCH)
        bracketed = min(bracketed, seconds)
    print(f"  plain:    {per(plain, n):.2f} ns/tick ({len(run_p.fills):,} fills)")
    print(f"  brackets: {per(bracketed, n):.2f} ns/tick ({len(run_b.fills):,} fills, "
          f"{run_b.triggered:,} exits fired)")
    print(f"  brackets cost {(bracketed / plain - 1) * 100:+.1f} % (target: within 10 %)")


if __name__ == "__main__":
    main()
