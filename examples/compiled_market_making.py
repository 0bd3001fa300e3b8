"""A market maker compiled with numba, quoting both sides on an L1 venue.

    python examples/compiled_market_making.py [n_ticks] [--partial-fills]

On a BTCUSDT-like series generated here (n_ticks, default 2_000_000, a tick
every 50 ms), the strategy keeps one bid at the best bid and one ask at the
best ask, each for a fixed size; when the touch moves away from a quote it
cancels the quote and places a new one; when its inventory reaches the
limit it stops quoting the side that would add to it.  The venue delays
orders and reports, keeps a queue ahead of every resting order (a share of
the traded volume at its price must trade first) and charges takers a fee
(makers pay none here), so what the maker earns is what a real queue would
have let it earn against the bursts it is picked off by.

With --partial-fills the venue fills a quote by the volume that trades at
its price past its queue, in parts, as a venue does, rather than whole once
its queue has traded away: the inventory moves by what traded, and a quote
partly filled keeps its place until the touch leaves it.

The strategy runs as a compiled function: the engine calls it on every tick
without the interpreter, which is what a strategy that decides on every
tick needs.  Needs the jit extra: pip install "halvorn[jit]".
"""

from __future__ import annotations

import sys
import time
from typing import Any

try:
    import numba
except ImportError:
    print("this example needs numba: pip install 'halvorn[jit]'")
    sys.exit(0)

import numpy as np

from halvorn import compiled, venue

SIZE = 5  # lots of 0.001 BTC per quote
LIMIT = 20  # the inventory beyond which a side stops quoting, in lots

# The state's words.
BID_ID, ASK_ID, BID_PRICE, ASK_PRICE = range(4)


@numba.njit
def quote(ticks, account, fills, ends, state, orders):  # type: ignore[no-untyped-def]
    tick = ticks[ticks.shape[0] - 1]
    for i in range(ends.shape[0]):  # quotes that filled or were canceled
        if ends[i, 0] == state[BID_ID]:
            state[BID_ID] = 0
        if ends[i, 0] == state[ASK_ID]:
            state[ASK_ID] = 0
    bid, ask = tick[compiled.BID], tick[compiled.ASK]
    if bid <= 0 or ask <= 0:
        return 0
    position = account[compiled.POSITION]
    made = account[compiled.ORDERS_MADE]
    k = 0
    # A quote left behind by the touch is pulled; its end arrives later.
    if state[BID_ID] != 0 and state[BID_PRICE] != bid:
        compiled.cancel(orders, k, state[BID_ID])
        k += 1
        state[BID_ID] = 0
    if state[ASK_ID] != 0 and state[ASK_PRICE] != ask:
        compiled.cancel(orders, k, state[ASK_ID])
        k += 1
        state[ASK_ID] = 0
    if state[BID_ID] == 0 and position < LIMIT:
        compiled.limit(orders, k, compiled.BUY, bid, SIZE)
        k += 1
        made += 1
        state[BID_ID], state[BID_PRICE] = made, bid
    if state[ASK_ID] == 0 and position > -LIMIT:
        compiled.limit(orders, k, compiled.SELL, ask, SIZE)
        k += 1
        made += 1
        state[ASK_ID], state[ASK_PRICE] = made, ask
    return k


def synthetic_series(n: int, seed: int = 5) -> dict[str, np.ndarray]:
    """A random walk in ticks of 0.1 with a one-tick spread most of the time,
    bursts of six ticks, and a cumulative traded volume."""
    rng = np.random.default_rng(seed)
    # Mostly quiet, with bursts that run through several levels: the moves
    # a resting quote is picked off by.
    steps = rng.choice([-1, 0, 0, 0, 0, 0, 0, 1], n) * np.where(rng.random(n) < 0.02, 6, 1)
    last = 600_000 + np.cumsum(steps)
    spread = 1 + (rng.random(n) < 0.1)
    volume = np.cumsum(rng.integers(0, 8, n))
    return {"exch_ts": 1_700_000_000 * 10**9 + np.arange(n, dtype=np.int64) * 50_000_000,
            "last": last, "bid": last - (spread > 1), "ask": last + 1, "volume": volume}


def market_maker_venue(**tier: Any) -> venue.Venue:
    """The venue the example quotes on: latency both ways, a queue of half
    the last traded volume, takers charged 0.05 %; `tier` adds fields of
    the L1 tier (partial_fills=True)."""
    return venue.Venue(
        instrument=venue.Instrument("BTCUSDT", "0.1", "0.001"),
        tier=venue.L1(order_latency=venue.Fixed(20_000_000), report_latency=venue.Fixed(5_000_000),
                      queue=venue.TradedShare(50), **tier),
        maker_fee=0, taker_fee=venue.rate("0.0005"))


def main() -> None:
    arguments = [a for a in sys.argv[1:] if a != "--partial-fills"]
    n = int(arguments[0]) if arguments else 2_000_000
    ticks = synthetic_series(n)
    v = market_maker_venue(partial_fills=True) if "--partial-fills" in sys.argv[1:] else \
        market_maker_venue()
    btc = v.instrument
    state = np.zeros(4, dtype=np.int64)
    strategy = compiled.strategy(quote, state=state, name="compiled market maker")
    start = time.perf_counter()
    run = venue.run(strategy, ticks, 10_000, venue=v, equity_every=n // 100)
    seconds = time.perf_counter() - start
    fills = np.asarray(run.fills)
    makers = int((fills["taker"] == 0).sum()) if len(fills) else 0
    print(f"{run.ticks:,} ticks in {seconds:.2f} s ({run.ticks / seconds / 1e6:.1f} M ticks/s)")
    print(f"{len(fills):,} fills, {makers:,} as maker; fees paid {run.fees_paid / 1e8:+.2f} USDT")
    print(f"final equity {run.final_equity / 1e8:,.2f} USDT from 10,000.00; inventory at the end "
          f"{btc.qty_of(run_position(run))} BTC")


def run_position(run: venue.Run) -> int:
    """The position the fills leave, in lots (net mode)."""
    fills = np.asarray(run.fills)
    signed = np.where(fills["side"] == 0, fills["qty"], -fills["qty"])
    return int(signed.sum())


if __name__ == "__main__":
    main()
