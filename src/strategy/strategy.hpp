// The contract between the run loop and a trading strategy.
//
// A strategy never touches the account or the matcher.  On every tick it is
// shown a flat, read-only TickContext and answers by appending Intent values
// to a list the run loop owns.  The run loop is written once, as a template
// over any type that models the Strategy concept, so the call is resolved
// when the program is built; no virtual dispatch sits on the per-tick path.
//
// Feedback (the fills of the tick, the endings of orders, the venue's close
// notices) is optional: a strategy that defines on_fills / on_endings /
// on_venue_closed receives it, one that does not gets the default of doing
// nothing.
//
// Thread-safety: a strategy is driven by one run, on one thread, at a time.

#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/tick.hpp"
#include "types/order_terms.hpp"
#include "types/types.hpp"

namespace halvorn::strategy {

// The account's position in one instrument, as a strategy is shown it.
struct Position {
  InstrumentId instrument;
  QtyLots position = 0;          // long leg; the signed net position in net mode
  std::int64_t entry = 0;        // ticks
  QtyLots short_position = 0;    // short leg
  std::int64_t short_entry = 0;  // ticks
  std::size_t working = 0;       // orders for the instrument live after this tick
  friend bool operator==(const Position&, const Position&) = default;
};

// What the strategy is shown on one tick, after the tick has been applied to
// the account.  Valid only during the call.
struct TickContext {
  engine::Tick tick;
  QtyLots position = 0;          // long leg; the signed net position in net mode
  std::int64_t entry = 0;        // average entry of that position, ticks
  QtyLots short_position = 0;    // short leg
  std::int64_t short_entry = 0;  // average entry of the short leg, ticks
  Cash equity = 0;               // account equity after this tick
  std::size_t working = 0;       // live orders of the tick's instrument after this tick
  InstrumentId instrument;       // the instrument of the tick
  // Where the tick's record lies in the run's tick source, for a strategy
  // that reads ticks in place, and how many of the ticks after it will lie
  // there too, contiguous with it; null and 0 when the source keeps none.
  const engine::Tick* record = nullptr;
  std::size_t in_place = 0;
  // Where the instrument id of the tick lies, alongside the record, for a
  // source that merges several instruments' series; null otherwise.
  const std::int64_t* instrument_record = nullptr;
  // The account in every instrument, in the run's order of instruments;
  // `revision` changes whenever any of them may have.
  std::span<const Position> positions;
  std::uint64_t revision = 0;
};

namespace intent {

// Place a limit order.
struct Limit {
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  InstrumentId instrument;
  OrderId id = 0;
  std::int64_t price = 0;
  QtyLots qty = 0;
  friend bool operator==(const Limit&, const Limit&) = default;
};

// Place a market order.
struct Market {
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  InstrumentId instrument;
  OrderId id = 0;
  QtyLots qty = 0;
  friend bool operator==(const Market&, const Market&) = default;
};

// Place an order with terms: a limit order when price is present, a market
// order otherwise; terms say how long it works, what it may do to the
// position, what condition sends it and which group it belongs to.  A
// close-position order's qty is 0.
struct Place {
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  InstrumentId instrument;
  OrderId id = 0;
  std::optional<std::int64_t> price;
  QtyLots qty = 0;
  OrderTerms terms;
  friend bool operator==(const Place&, const Place&) = default;
};

// Cancel the live order with this id.
struct Cancel {
  OrderId id = 0;
  friend bool operator==(const Cancel&, const Cancel&) = default;
};

// Cancel every live order of the account.
struct CancelAll {
  friend bool operator==(const CancelAll&, const CancelAll&) = default;
};

}  // namespace intent

// One request of the strategy.  Two intents are equal when they are the same
// alternative with equal fields, ids included: the lookahead check compares
// runs with exactly this equality.
using Intent =
    std::variant<intent::Limit, intent::Market, intent::Cancel, intent::CancelAll, intent::Place>;

// How an order finished, and the one thing the strategy hears of an order
// that goes on: Triggered, a conditional order that fired and sent its
// order.  A refusal carries its reason: Rejected plus the reason's value.
enum class Ending : std::uint8_t {
  Filled = 0,
  Canceled = 1,
  Expired = 2,    // an immediate order its first tick did not fill
  Triggered = 3,  // not an end: the order it stands for is on its way
  Rejected = 8,   // + RejectReason
};

constexpr Ending rejected_for(RejectReason reason) {
  return static_cast<Ending>(static_cast<std::uint8_t>(Ending::Rejected) +
                             static_cast<std::uint8_t>(reason));
}

// The reason of a refusal; nullopt for any other ending.
constexpr std::optional<RejectReason> rejection_of(Ending ending) {
  const auto v = static_cast<std::uint8_t>(ending);
  const auto base = static_cast<std::uint8_t>(Ending::Rejected);
  if (v < base || static_cast<std::size_t>(v - base) >= REJECT_REASONS) return std::nullopt;
  return static_cast<RejectReason>(v - base);
}

using OrderEnding = std::pair<OrderId, Ending>;

// The venue closed one leg of the account's position at a liquidation.
struct VenueClosed {
  QtyLots lots = 0;  // size of the closed leg, always positive
  std::int64_t price = 0;
  Nanos at = 0;
  InstrumentId instrument;
  Side side = Side::Buy;  // Buy for the long leg, Sell for the short leg
  friend bool operator==(const VenueClosed&, const VenueClosed&) = default;
};

// A Strategy decides once per tick and has a name.
//
// on_tick(context, intents): `intents` is empty on entry; the strategy appends
// what it wants applied, in order.  The call cannot fail: a strategy that can
// fail records the failure itself and reports it after the run.
// name(): read once, at the end of the run.
template <class S>
concept Strategy = requires(S& s, const TickContext& context, std::vector<Intent>& intents) {
  s.on_tick(context, intents);
  { s.name() } -> std::convertible_to<std::string_view>;
};

// The feedback notifications, each doing nothing unless the strategy defines
// the matching member.
template <Strategy S>
void notify_fills(S& s, std::span<const Fill> fills) {
  if constexpr (requires { s.on_fills(fills); }) s.on_fills(fills);
}
template <Strategy S>
void notify_endings(S& s, std::span<const OrderEnding> endings) {
  if constexpr (requires { s.on_endings(endings); }) s.on_endings(endings);
}
template <Strategy S>
void notify_venue_closed(S& s, std::span<const VenueClosed> closes) {
  if constexpr (requires { s.on_venue_closed(closes); }) s.on_venue_closed(closes);
}

// Tells the strategy that the run has seen its last tick (and, for a run cut
// short, that no more calls will come), before the run's closing figures are
// made.  Doing nothing unless the strategy defines on_run_end().
template <Strategy S>
void notify_run_end(S& s) {
  if constexpr (requires { s.on_run_end(); }) s.on_run_end();
}

// Whether the strategy asks the run to stop before the series ends.  Only an
// interruption (Ctrl-C reaching a Python strategy) does; a strategy without
// the member never stops a run.
template <Strategy S>
bool halted(const S& s) {
  if constexpr (requires {
                  { s.halted() } -> std::convertible_to<bool>;
                }) {
    return s.halted();
  } else {
    return false;
  }
}

}  // namespace halvorn::strategy
