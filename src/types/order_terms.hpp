// The terms an order can carry besides its side, size and limit: how long it
// works, whether it may only make or only reduce, the condition that sends
// it, and the group it belongs to; and the reasons the venue refuses one.
//
// A plain order has default terms (good till cancelled, no condition, no
// group), which is every order the core module's run functions place.
//
// Thread-safety: plain values.

#pragma once

#include <cstddef>
#include <cstdint>

#include "types/ids.hpp"

namespace halvorn {

// How long an order works once it reaches the venue.  An immediate order
// meets one tick in the book and what that tick does not fill expires.  The
// two immediate kinds differ only where an order can fill in parts: there
// immediate-or-cancel keeps the part its tick fills, while fill-or-kill
// fills whole on that tick or not at all.
enum class TimeInForce : std::uint8_t {
  GoodTillCancel = 0,
  ImmediateOrCancel = 1,
  FillOrKill = 2,
};

// The price a conditional order watches.  Perpetual venues let a trader
// choose: the last trade reacts to every print, wicks included, while the
// mark price follows the index and ignores a thin book's spikes.
enum class TriggerSource : std::uint8_t {
  Last = 0,  // the last trade of each tick
  Mark = 1,  // the mark price; the last trade while the holding has no mark yet
};

// What sends a conditional order.  The engine holds it, away from the
// matcher, until the price it watches reaches its trigger; it then sends
// the order it stands for as the strategy would have sent it then.
struct TriggerTerms {
  enum class Kind : std::uint8_t {
    None = 0,
    Stop = 1,        // a sell fires on a fall to price, a buy on a rise to it
    TakeProfit = 2,  // a sell fires on a rise to price, a buy on a fall to it
    Trailing = 3,    // fires when the price turns back `distance` (or `rate`) from its best
  };

  Kind kind = Kind::None;
  // Stop and TakeProfit: the trigger price.  Trailing: the activation price,
  // which the price must reach (a sell from below, a buy from above) before
  // the trail starts; 0 starts it at once.  Ticks.
  std::int64_t price = 0;
  std::int64_t distance = 0;  // Trailing: ticks behind the best price; 0 when by rate
  std::int64_t rate = 0;      // Trailing: billionths of the best price; 0 when by distance
  TriggerSource source = TriggerSource::Last;  // what fires it, and what a trail follows

  bool any() const { return kind != Kind::None; }
  friend bool operator==(const TriggerTerms&, const TriggerTerms&) = default;
};

// An order's place in a contingent group.  A group is led by its first
// order; every other member names the leader's id.
enum class GroupRole : std::uint8_t {
  None = 0,
  OneCancelsOther = 1,  // a leg of a pair: the first leg to fill or fire ends the other
  BracketEntry = 2,     // the entry of a bracket
  BracketStop = 3,      // the bracket's stop-loss, armed when its entry fills
  BracketTake = 4,      // the bracket's take-profit, armed when its entry fills
};

struct OrderTerms {
  TimeInForce tif = TimeInForce::GoodTillCancel;
  bool post_only = false;       // refused rather than taking liquidity on arrival
  bool reduce_only = false;     // never opens or adds to a position, never flips it
  bool close_position = false;  // the whole position it reduces, sized when it is sent
  GroupRole role = GroupRole::None;
  OrderId leader = 0;  // the group's first order; 0 for the leader itself
  TriggerTerms trigger;

  bool plain() const { return *this == OrderTerms{}; }
  friend bool operator==(const OrderTerms&, const OrderTerms&) = default;
};

// Why the venue refused an order (or another request).
enum class RejectReason : std::uint8_t {
  NonPositiveQuantity = 0,  // a Submit with qty <= 0
  DuplicateId = 1,          // a Submit whose id is live
  NoBalance = 2,            // a Submit while the settlement balance is <= 0
  NotExternal = 3,          // an ExternalFill while fills are not external
  UnknownInstrument = 4,    // no holding for the event's instrument
  PostOnlyWouldTake = 5,    // a post-only order marketable when it reached the venue
  ReduceOnlyFlat = 6,       // a reduce-only order with no position to reduce
  ReduceOnlySameSide = 7,   // a reduce-only order on the side of the position it would grow
  GroupEnded = 8,           // a group member whose leader was refused or has ended
  NotionalTooLarge = 9,     // a fill worth more than Cash holds: its fee cannot be charged
};

inline constexpr std::size_t REJECT_REASONS = 10;

// A short name of each reason, in snake case ("post_only_would_take").
const char* name_of(RejectReason reason);

}  // namespace halvorn
