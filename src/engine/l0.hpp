// The L0 matcher: fills at observed prices.
//
// L0 is the execution core of every tier.  A market order executes at the
// touch of the next tick; a limit order executes when the price path between
// two ticks passes through it (at exactly its price) or when the current quote
// reaches it (at the quote when that is better, never worse than its limit).
// There is no latency, no queue and no impact, and every execution is for the
// order's whole remaining quantity.  The higher tiers wrap an L0Engine and
// reach into its fields, which is why they are plain members.
//
// Thread-safety: an engine is used by one thread at a time.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/book.hpp"
#include "engine/tick.hpp"
#include "types/order.hpp"

namespace halvorn::engine {

// Build a working order for submission: status New, filled 0.
// Requires: qty > 0; a quantity of zero or less is a Panic ("order quantity
// must be positive"), because the kernel rejects such orders before building
// them.
Working limit_order(OrderId id, Side side, std::int64_t price, QtyLots qty, Nanos exch_ts,
                    Nanos local_ts, Offset offset);
Working market_order(OrderId id, Side side, QtyLots qty, Nanos exch_ts, Nanos local_ts,
                     Offset offset);

// Which L0 rule produced a fill.
enum class FillRule : std::uint8_t { Crossed = 0, Quote = 1, MarketOrder = 2 };

// An L0Fill is the execution record every matcher produces: the fields of a
// Fill followed by the rule that produced it.  taker is true exactly for
// MarketOrder fills.
struct L0Fill {
  Nanos exch_ts = 0;
  Nanos local_ts = 0;
  OrderId order = 0;
  std::uint64_t seq = 0;  // the engine's fill count after this fill, from 1
  std::int64_t price = 0;
  QtyLots qty = 0;
  InstrumentId instrument;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  bool taker = false;
  FillRule rule = FillRule::Crossed;

  // The booked form: every field but rule.
  Fill to_fill() const {
    return Fill{exch_ts, local_ts, order, seq, price, qty, instrument, side, offset, taker};
  }

  friend bool operator==(const L0Fill&, const L0Fill&) = default;
};

// An L0Engine matches one instrument's resting orders against ticks.
//
// Invariants: prev_last and prev_times are both present or both absent;
// fill_seq is the number of fills made so far.
struct L0Engine {
  // An engine with no previous tick, an empty book, fill_seq 0 and output
  // buffers reserved for 16 entries.
  explicit L0Engine(InstrumentId instrument);

  std::optional<std::int64_t> prev_last;              // last of the previous tick
  std::optional<std::pair<Nanos, Nanos>> prev_times;  // (exch_ts, local_ts) of it
  Book book;
  std::vector<L0Fill> fills;  // this tick's fills, reused
  // Orders crossed between two ticks as (entry_seq, id); scratch, reused.
  std::vector<std::pair<std::uint64_t, OrderId>> crossed;
  std::uint64_t fill_seq = 0;
  InstrumentId instrument;

  // Rests the order in the book; it executes at the earliest on the next
  // on_tick.  No check is made here.
  void submit(const Working& order);

  // Removes the order with this id; returns whether there was one.
  bool cancel(OrderId id);

  // Removes every resting order; returns how many there were.
  std::size_t cancel_all();

  // Executes a resting order completely at price, appending one L0Fill
  // stamped with the given times.  An order with nothing remaining leaves the
  // book without a fill.  A fill sequence number that overflows is a Panic.
  void execute_at(Working order, std::int64_t price, bool taker, FillRule rule, Nanos exch_ts,
                  Nanos local_ts);

  // Runs the matching rules for one tick.  Returns a view of this tick's fills
  // (crossing fills, buy markets, sell markets, buy limits, sell limits), valid
  // until the next on_tick.
  std::span<const L0Fill> on_tick(const Tick& tick);

 private:
  void cross(const Tick& tick);
  void execute_markets(Lane lane, std::int64_t price, const Tick& tick);
  void remember(const Tick& tick);
};

}  // namespace halvorn::engine
