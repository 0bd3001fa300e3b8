// The L2 matcher: the L1 matcher with the market's depth book.
//
// Depth is used twice.  A limit order's queue position is the displayed
// quantity at its own price on its own side, read at submission or, for an
// order still on its way, from the book as it stood when the first depth
// update or tick at or after its arrival came in.  A taker fill is priced by
// walking the opposite side for its quantity, never better for the order
// than the L0 price.  The walk takes every displayed level the order's
// limit allows, best first; what the displayed book cannot hold is priced
// at the worst price the order could still be given: its limit, or, for a
// market order, the deepest level displayed when the tick began.  So a
// larger order never fills cheaper than a smaller one, and once an order
// can fill in parts, that same rule says what part rests or expires.  Only
// when the side displays nothing at all does the L1 square-root impact
// price the fill instead, and where impact is configured a walk that ran
// past the book is never cheaper than it either.  When the depth stream
// breaks, the book is dropped and every tick until a new snapshot is an
// invalid tick: nothing arrives, queues or matches, and only earlier
// executions are reported.
//
// Thread-safety: an engine is used by one thread at a time.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "book/depth_book.hpp"
#include "engine/l1.hpp"

namespace halvorn::engine {

// The price a walk of the depth gives a taker fill, and whether it ran past
// the displayed book (priced the lots beyond it by the rule above).
struct Walked {
  std::int64_t price = 0;
  bool beyond = false;

  friend bool operator==(const Walked&, const Walked&) = default;
};

// A WorkingDepth holds the copies of the depth sides that the taker fills of
// one tick consume, so that successive fills walk deeper while the depth
// book itself never changes.  A new one serves each tick.
struct WorkingDepth {
  std::optional<book::Side> bids;  // copied when a sell fill first needs it
  std::optional<book::Side> asks;  // copied when a buy fill first needs it
  // The deepest price each side displayed when it was copied: where the
  // lots beyond the displayed book are priced for a market order.
  std::int64_t deepest_bid = 0;
  std::int64_t deepest_ask = 0;

  // Copies a side of `depth` the first time a fill needs it.
  void copy(const book::Book& depth, bool sell);

  // The depth price of a taker fill of qty lots: the average over the
  // displayed levels it takes (those at or better than `limit` for a limit
  // order) and, for the lots they cannot hold, the limit or the deepest
  // price displayed; truncated for a sell and rounded up for a buy.
  // nullopt when the side displayed nothing when it was copied, or when the
  // average leaves the 64-bit range.
  std::optional<Walked> take(const book::Book& depth, bool sell, QtyLots qty,
                             std::optional<std::int64_t> limit = std::nullopt);
};

// An L2Engine is an L1Engine whose queue positions and taker prices come from
// a depth book.
//
// Invariants: depth_ready and resync_pending are never both true; while
// resync_pending the depth book is empty.
struct L2Engine {
  // Over L1Engine(instrument, config) with an empty depth book (no snapshot),
  // both flags false and no invalid ticks.
  L2Engine(InstrumentId instrument, const L1Config& config);

  L1Engine l1;
  book::Book depth;
  std::uint64_t invalid_ticks = 0;
  bool depth_ready = false;     // the book can be read for queue positions
  bool resync_pending = false;  // the stream broke and no snapshot has come since

  // Sends an order at time now.  While resynchronising every order waits in
  // pending for the depth, whatever its latency.  The result as for L1.
  Admission submit(const Working& order, Nanos now);

  bool cancel(OrderId id) { return l1.cancel(id); }
  CancelOutcome request_cancel(OrderId id, Nanos now) { return l1.request_cancel(id, now); }
  std::size_t cancel_all() { return l1.cancel_all(); }
  std::vector<L0Fill> drain_unreported() { return l1.drain_unreported(); }

  // One tick: an invalid tick while resynchronising, otherwise the L1 tick
  // with depth-priced taker fills.  Returns a view of the fills reported on
  // this tick, valid until the next tick.
  std::span<const L0Fill> on_tick(const Tick& tick);

  // Applies one depth update.  Orders that arrived strictly before the
  // update's time read their queue position from the book as it was before
  // it.  An error drops the book and starts a resynchronisation; the result
  // says which.
  book::ApplyResult on_depth(const book::DepthUpdate& update);

  // Rebuilds the book from a snapshot and makes it readable again, ending a
  // resynchronisation.  Orders still waiting for depth are resolved by the
  // next tick or update.
  void install_snapshot(const book::DepthSnapshot& snapshot);

  // Gives every pending order that waits for depth and has arrived by cutoff
  // its queue position from the book as it stands now.
  void resolve_pending(Nanos cutoff);

 private:
  void resynchronise();

  // The storage of the last tick's WorkingDepth copies, handed to the next.
  std::vector<book::Level> spare_bids_;
  std::vector<book::Level> spare_asks_;
};

}  // namespace halvorn::engine
