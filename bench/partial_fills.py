"""What filling in parts costs a run, and what the option costs when it is off.

    python bench/partial_fills.py [directory] [n_ticks]

Writes a series of n_ticks (default 2_000_000, a tick every 50 ms) and a
depth file beside it in `directory` (default a temporary one), then reports
ns per tick, best of five, the runs of each figure taken in turn:

  1. the compiled market maker of examples/compiled_market_making.py on L1:
     a decision on every tick, quotes cancelled and replaced as the touch
     moves, partial fills off and on;
  2. an L2 run over the ticks and the depth with 10^5 resting buy limits
     spread over 2_000 ticks below the market, which the price walks into
     and out of, a columnar strategy deciding nothing more: partial fills
     off and on (target: on within 20 % of off);
  3. the same 10^5 orders at L1, partial fills off and on.

The figures with partial fills off are the ones to hold against a build
without the option: run this script under each build's PYTHONPATH, in one
sitting (target: within 3 %).  A build without the option reports those
alone.
"""

from __future__ import annotations

import inspect
import os
import sys
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

import numpy as np  # noqa: E402

import halvorn  # noqa: E402
from halvorn import compiled, data, venue  # noqa: E402

import compiled_market_making as mm  # noqa: E402

HAS_PARTS = "partial_fills" in inspect.signature(venue.L1).parameters
BATCH = 4_096
ORDERS = 100_000


def write_files(directory: str, n: int) -> tuple[halvorn.TickSource, object]:
    rng = np.random.default_rng(11)
    last = 600_000 + np.cumsum(rng.integers(-3, 4, n, dtype=np.int64))
    exch_ts = 1_700_000_000_000_000_000 + np.arange(n, dtype=np.int64) * 50_000_000
    volume = np.cumsum(rng.integers(0, 6, n, dtype=np.int64))
    ticks = data.from_arrays(os.path.join(directory, "ticks.hvtk"), exch_ts, last,
                             high=last + 1, low=last - 1, bid=last - 1, ask=last + 1,
                             volume=volume)

    def records():
        # A snapshot of 20 levels a side, then an update every 20 ticks
        # setting the level just outside the touch; every level at an even
        # price, so that the orders, at odd prices, have no displayed
        # quantity ahead of them and rest in the book rather than queue.
        even = int(last[0]) // 2 * 2
        yield data.Snapshot(1, bids=[(even - 2 - 2 * k, 5) for k in range(20)],
                            asks=[(even + 2 + 2 * k, 5) for k in range(20)],
                            time_ns=int(exch_ts[0]) - 1)
        for u, i in enumerate(range(20, n, 20)):
            p = int(last[i]) // 2 * 2
            yield data.Update(u + 2, u + 2, int(exch_ts[i]) - 1, bids=[(p - 2, 1 + u % 7)],
                              asks=[(p + 2, 1 + u % 5)])

    depth = data.save_depth(os.path.join(directory, "depth.hvdp"), records())
    return ticks, depth


class PlaceOnce:
    """10^5 buy limits at the odd prices of the 2_000 ticks below the first
    price, placed on the first batch; then only collects ticks."""

    def __init__(self) -> None:
        self.placed = False

    def on_columns(self, batch):
        if self.placed:
            return None
        self.placed = True
        top = int(batch.last[len(batch) - 1]) // 2 * 2 - 19
        return [halvorn.Order("buy", 1 + i % 3, price=top - 2 * (i % 1_000))
                for i in range(ORDERS)]


def tier(kind, partial: bool):
    fields = {"partial_fills": True} if partial else {}
    return kind(**fields)


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main() -> None:
    directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp()
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2_000_000
    os.makedirs(directory, exist_ok=True)
    ticks, depth = write_files(directory, n)
    # The example's series in a tick file: a run streams it, converting nothing.
    columns = mm.synthetic_series(n)
    series = data.from_arrays(os.path.join(directory, "quotes.hvtk"), columns["exch_ts"],
                              columns["last"], bid=columns["bid"], ask=columns["ask"],
                              volume=columns["volume"])

    state = np.zeros(4, dtype=np.int64)
    quoter = compiled.strategy(mm.quote, state=state)  # compiled once, its state reset per run

    def market_maker(partial: bool):
        v = mm.market_maker_venue(partial_fills=True) if partial else mm.market_maker_venue()

        def run() -> None:
            state[:] = 0
            venue.run(quoter, series, 10_000, venue=v)
        return run

    def resting(kind, partial: bool, with_depth: bool):
        v = venue.Venue(tier=tier(kind, partial), enforce_margin=False)
        extra = {"depth": depth} if with_depth else {}

        def run() -> None:
            venue.run(PlaceOnce(), ticks, 10**9, venue=v, batch=BATCH, **extra)
        return run

    figures = {
        "market maker, L1, partial fills off": market_maker(False),
        "10^5 resting, L2 with depth, partial fills off": resting(venue.L2, False, True),
        "10^5 resting, L1, partial fills off": resting(venue.L1, False, False),
    }
    if HAS_PARTS:
        figures.update({
            "market maker, L1, partial fills on": market_maker(True),
            "10^5 resting, L2 with depth, partial fills on": resting(venue.L2, True, True),
            "10^5 resting, L1, partial fills on": resting(venue.L1, True, False),
        })
    for fn in figures.values():
        fn()  # compiles the market maker, warms the page cache
    best = {name: float("inf") for name in figures}
    for _ in range(5):
        for name, fn in figures.items():
            best[name] = min(best[name], timed(fn))
    for name, seconds in best.items():
        print(f"{name}: {seconds / n * 1e9:.1f} ns/tick")
    if HAS_PARTS:
        for what in ("market maker, L1", "10^5 resting, L2 with depth", "10^5 resting, L1"):
            on, off = best[f"{what}, partial fills on"], best[f"{what}, partial fills off"]
            print(f"{what}: partial fills on cost {100 * (on / off - 1):+.1f} %")


if __name__ == "__main__":
    main()
