// The trigger book: conditional orders waiting for the price to reach their
// trigger, ordered so that a tick finds what it fires without looking at
// what it does not.
//
// A trigger fires either when the price falls to it or below (a sell stop, a
// buy take-profit) or when the price rises to it or above (a buy stop, a sell
// take-profit).  Each kind is kept as the resting-order book keeps one side
// of its limit orders: the triggers that fire on a fall as its buy lane
// (highest first), those that fire on a rise as its sell lane (lowest first).
// A tick then looks at the front of each lane, as the L0 rules look at the
// best resting limit, and 10^5 waiting stops cost a tick what 10^5 resting
// limit orders cost.  Insert and remove are logarithmic.
//
// Thread-safety: owned by one matcher and used by one thread at a time.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/resting_book.hpp"

namespace halvorn::engine {

// Which way a trigger fires.
enum class Fires : std::uint8_t {
  AtOrBelow = 0,  // when the price falls to the level or below
  AtOrAbove = 1,  // when the price rises to the level or above
};

// Whether `price` fires a trigger at `level` that fires `fires`: the one
// comparison by which the book takes what a price reaches and a run skips
// ticks that reach nothing.
constexpr bool reaches(std::int64_t price, std::int64_t level, Fires fires) {
  return fires == Fires::AtOrBelow ? price <= level : price >= level;
}

// The nearest levels of the triggers of one or more books: the highest of
// those that fire at or below a price, the lowest of those that fire at or
// above it; the far end of the 64-bit range for a direction that holds none,
// which no price reaches.
struct Reach {
  std::int64_t below = I64_MIN;
  std::int64_t above = I64_MAX;

  bool reached_by(std::int64_t price) const {
    return reaches(price, below, Fires::AtOrBelow) || reaches(price, above, Fires::AtOrAbove);
  }
  // The reach of this book's triggers and `other`'s together.
  Reach with(const Reach& other) const {
    return Reach{std::max(below, other.below), std::min(above, other.above)};
  }
};

// A TriggerBook holds order ids by trigger level.
//
// Invariants: an id is held at most once; the entry numbers rise with entry
// time, across both directions.
class TriggerBook {
 public:
  // Adds an id at a level; it fires after every id already waiting at a
  // level the same move reaches first.
  // Requires: the id is not held.
  void insert(OrderId id, std::int64_t level, Fires fires);

  // Removes the id; returns whether it was held.
  bool remove(OrderId id) {
    const bool held = book_.remove(id).has_value();
    if (held) reach_ = nearest_levels();
    return held;
  }

  bool contains(OrderId id) const { return book_.find(id) != nullptr; }
  std::size_t size() const { return book_.size(); }
  bool empty() const { return book_.empty(); }
  void clear() {
    book_.clear();
    reach_ = Reach{};
  }

  // The levels a price must reach to fire anything held.  Kept as the book
  // changes, since every tick of an account with a conditional order asks
  // it and almost every one reaches nothing.
  const Reach& reach() const { return reach_; }

  // Removes every id whose level `price` reaches and appends it to `out` as
  // (entry number, id); returns whether any was.  The caller sorts `out` to
  // fire them in the order they were placed.
  bool take_reached(std::int64_t price, std::vector<std::pair<std::uint64_t, OrderId>>& out);

 private:
  // A trigger is held as a one-lot limit order at its level, on the side
  // whose lane keeps the order a move reaches them in: those that fire on a
  // fall as bids (highest first), those that fire on a rise as asks (lowest
  // first).  Nothing else here knows which lane is which.
  static constexpr Side side_of(Fires fires) {
    return fires == Fires::AtOrBelow ? Side::Buy : Side::Sell;
  }
  static constexpr Lane lane_of(Fires fires) {
    return fires == Fires::AtOrBelow ? Lane::BuyLimits : Lane::SellLimits;
  }
  static std::int64_t level_of(const Resting& held) { return held.order.kind.price; }
  // The level of the trigger a move in `fires`'s direction reaches first;
  // none when none fires that way.
  std::optional<std::int64_t> nearest(Fires fires) const {
    const Resting* front = book_.front(lane_of(fires));
    return front == nullptr ? std::nullopt : std::optional<std::int64_t>(level_of(*front));
  }
  Reach nearest_levels() const {
    return Reach{nearest(Fires::AtOrBelow).value_or(I64_MIN),
                 nearest(Fires::AtOrAbove).value_or(I64_MAX)};
  }

  Book book_;
  Reach reach_;  // nearest_levels() of book_, as it stands
};

}  // namespace halvorn::engine
