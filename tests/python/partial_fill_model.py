"""A per-tick model of how a venue run fills orders in parts at L1 and L2,
written from the rules docs/venue.md gives ("Orders that fill in parts"
and the whole-fill rules it builds on), for the differential test that
runs it beside the engine.

It covers what the test sends: limit and market orders of any time in
force, cancels, no order latency, no report latency, no impact, the
default `resting_fills="limit"`, and at L2 a depth file of snapshots and
updates that continue their sequence.  Prices are ticks, sizes lots.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class Order:
    id: int
    buy: bool
    price: int | None  # None: a market order
    qty: int
    tif: str = "gtc"
    filled: int = 0
    seq: int = 0  # entry number in the book

    @property
    def left(self) -> int:
        return self.qty - self.filled


@dataclass
class Queued:
    order: Order
    ahead: int
    joined: int | None


@dataclass
class Model:
    l2: bool
    queue: tuple[str, int] | None  # ("fixed", lots), ("share", percent) or None
    fills: list[tuple[int, int, int, int, int, bool]] = field(default_factory=list)
    ends: list[tuple[int, str]] = field(default_factory=list)
    book: dict[int, Order] = field(default_factory=dict)
    queued: list[Queued] = field(default_factory=list)
    takers: set[int] = field(default_factory=set)
    immediate: list[int] = field(default_factory=list)
    prev_last: int | None = None
    quote: tuple[int, int] | None = None
    prev_volume: int | None = None
    last_traded: int | None = None
    last_tick_time: int | None = None
    next_seq: int = 0
    bids: dict[int, int] | None = None  # the depth book; None before a snapshot
    asks: dict[int, int] | None = None
    tick_index: int = -1

    # --- depth ---------------------------------------------------------------------------

    def depth(self, record: Any) -> None:
        if hasattr(record, "last_update_id"):
            self.bids, self.asks = dict(record.bids), dict(record.asks)
            return
        for side, levels in ((self.bids, record.bids), (self.asks, record.asks)):
            assert side is not None, "the test sends no update before a snapshot"
            for price, qty in levels:
                if qty == 0:
                    side.pop(price, None)
                else:
                    side[price] = qty

    def _ready(self) -> bool:
        return self.l2 and self.bids is not None

    # --- orders --------------------------------------------------------------------------

    def _rest(self, order: Order) -> None:
        order.seq = self.next_seq
        self.next_seq += 1
        self.book[order.id] = order

    def _marketable(self, order: Order) -> bool:
        if order.price is None or self.quote is None:
            return False
        bid, ask = self.quote
        return order.price >= ask if order.buy else order.price <= bid

    def submit(self, order: Order, now: int) -> None:
        ahead = None
        if self._ready() and order.price is not None:
            ahead = (self.bids if order.buy else self.asks).get(order.price, 0)  # type: ignore[union-attr]
        joined = now if ahead is not None else None
        if order.price is None or self._marketable(order):
            if order.price is not None:
                self.takers.add(order.id)
            self._rest(order)
            if order.tif != "gtc":
                self.immediate.append(order.id)
            return
        if order.tif != "gtc":
            self.ends.append((order.id, "expired"))
            return
        if ahead is not None:
            lots: int | None = max(ahead, 0)
        elif self.queue is None:
            lots = None
        elif self.queue[0] == "fixed":
            lots = self.queue[1]
        else:
            lots = None if self.last_traded is None else self.queue[1] * self.last_traded // 100
        if lots is None or lots < 1:
            self._rest(order)
        else:
            self.queued.append(Queued(order, lots, joined))

    def cancel(self, order_id: int) -> None:
        for q in self.queued:
            if q.order.id == order_id:
                self.queued.remove(q)
                self.ends.append((order_id, "canceled"))
                return
        if self.book.pop(order_id, None) is not None:
            self.takers.discard(order_id)
            self.ends.append((order_id, "canceled"))

    # --- ticks ---------------------------------------------------------------------------

    def tick(self, t: Any) -> None:
        self.tick_index += 1
        traded = 0 if self.prev_volume is None else max(t.volume - self.prev_volume, 0)
        self.budget = traded
        self.past: dict[int, int] = {}
        self.executed: set[int] = set()
        self.copies: dict[bool, list[list[int]]] = {}
        self._advance_queue(t, traded)
        if self.book:
            self._match(t)
        self.prev_last = t.last
        self.quote = (t.bid if t.bid > 0 else t.last, t.ask if t.ask > 0 else t.last)
        self.takers.clear()
        self.immediate.clear()
        if self.prev_volume is not None:
            self.last_traded = traded
        self.prev_volume = t.volume
        self.last_tick_time = t.exch_ts

    def _advance_queue(self, t: Any, traded: int) -> None:
        kept = []
        for q in self.queued:
            waiting = q.joined is not None and (self.last_tick_time is None
                                                or self.last_tick_time < q.joined)
            eligible = False
            if not waiting and (t.high != 0 or t.low != 0):
                p, buy = q.order.price, q.order.buy
                if (buy and t.high < p) or (not buy and t.low > p):
                    eligible = True
                elif t.low <= p <= t.high:
                    q.ahead -= traded
                    eligible = q.ahead <= 0
                    if eligible:
                        self.past[q.order.id] = -q.ahead
            if eligible:
                self._rest(q.order)
            else:
                kept.append(q)
        self.queued = kept

    def _match(self, t: Any) -> None:
        high = t.high if t.high > 0 else t.last
        low = t.low if t.low > 0 else t.last
        if self.prev_last is not None:
            p = self.prev_last
            if p < high:
                crossed = [o for o in self.book.values()
                           if not o.buy and o.price is not None and p < o.price <= high]
            elif p > low:
                crossed = [o for o in self.book.values()
                           if o.buy and o.price is not None and low <= o.price < p]
            else:
                crossed = []
            for o in sorted(crossed, key=lambda o: o.seq):
                if o.id in self.book:
                    self._reach(o, o.price, o.id in self.takers, t)  # type: ignore[arg-type]
        for buy, price in ((True, t.ask if t.ask > 0 else t.last),
                           (False, t.bid if t.bid > 0 else t.last)):
            for o in sorted((o for o in self.book.values() if o.price is None and o.buy == buy),
                            key=lambda o: o.seq):
                self._reach(o, price, True, t)
        for buy in (True, False):
            if buy:
                threshold, bound = (t.ask if t.ask > 0 else low), (t.ask if t.ask > 0 else t.last)
            else:
                threshold, bound = (t.bid if t.bid > 0 else high), (t.bid if t.bid > 0 else t.last)
            if threshold < 1:
                continue
            reached = [o for o in self.book.values() if o.buy == buy and o.price is not None
                       and (o.price >= threshold if buy else o.price <= threshold)]
            reached.sort(key=lambda o: (-o.price if buy else o.price, o.seq))  # type: ignore[operator]
            for o in reached:
                if o.id not in self.book:
                    continue
                taker = o.id in self.takers
                limit = o.price
                if bound < 1 or not taker:
                    price = limit
                else:
                    price = min(limit, bound) if buy else max(limit, bound)  # type: ignore[type-var]
                self._reach(o, price, taker, t)  # type: ignore[arg-type]
        for order_id in self.immediate:
            if self.book.pop(order_id, None) is not None:
                self.ends.append((order_id, "expired"))

    def _through(self, o: Order, t: Any) -> bool:
        if o.buy:
            low = t.low if t.low > 0 else t.last
            return low < o.price or t.last < o.price or 0 < t.ask < o.price  # type: ignore[operator]
        high = t.high if t.high > 0 else t.last
        return high > o.price or t.last > o.price or t.bid > o.price  # type: ignore[operator]

    def _reach(self, o: Order, price: int, taker: bool, t: Any) -> None:
        if o.id in self.executed:
            return
        self.executed.add(o.id)
        walked = None
        if taker:
            if self._ready():
                qty, walked = self._size_taker(o)
            else:
                qty = o.left
        else:
            qty = o.left
            if not self._through(o, t):
                qty = min(o.left, self.budget, self.past.get(o.id, o.left))
            self.budget = max(self.budget - qty, 0)
        if qty <= 0:
            return
        if walked is not None:
            price = max(price, walked) if o.buy else min(price, walked)
            if o.price is not None:
                price = min(price, o.price) if o.buy else max(price, o.price)
        o.filled += qty
        self.fills.append((self.tick_index, o.id, price, qty, o.left, taker))
        if o.left == 0:
            del self.book[o.id]
            self.ends.append((o.id, "filled"))

    def _size_taker(self, o: Order) -> tuple[int, int | None]:
        """What the displayed levels within the order's limit hold, taken
        from this tick's copy of the other side, and their average price
        (rounded up for a buy, truncated for a sell)."""
        if o.buy not in self.copies:
            side = self.asks if o.buy else self.bids
            assert side is not None
            self.copies[o.buy] = [[p, q] for p, q in sorted(side.items(), reverse=not o.buy)]
        levels = self.copies[o.buy]
        within = 0
        for p, q in levels:
            if o.price is not None and (p > o.price if o.buy else p < o.price):
                break
            within += max(q, 0)
        qty = min(within, o.left)
        if qty <= 0 or (o.tif == "fok" and qty < o.left):
            return 0, None
        wanted, notional = qty, 0
        for level in levels:
            take = min(max(level[1], 0), wanted)
            notional += level[0] * take
            level[1] -= take
            wanted -= take
            if wanted == 0:
                break
        while levels and levels[0][1] == 0:
            levels.pop(0)
        return qty, (-(-notional // qty) if o.buy else notional // qty)
