// What a strategy of halvorn.venue asks for when it returns one of the
// venue's order classes (venue.Order, Stop, TakeProfit, TrailingStop,
// ClosePosition) or a group of them (OneCancelsOther, BracketOrder): the
// request as the class checked it, before the adapter numbers it.
//
// Thread-safety: plain values.

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "py/pyref.hpp"
#include "types/order_terms.hpp"
#include "types/types.hpp"

namespace halvorn::py {

// One order as a venue class holds it.
struct OrderTicket {
  // Which class made it, for its attributes and its repr.
  enum class Form : std::uint8_t {
    Order = 0,
    Stop = 1,
    TakeProfit = 2,
    TrailingStop = 3,
    ClosePosition = 4,
  };

  Form form = Form::Order;
  Side side = Side::Buy;
  QtyLots qty = 0;                        // 0: the whole position it reduces
  std::optional<std::int64_t> price;      // the limit; none for a market order
  std::optional<Offset> offset;           // as given; none when left out
  OrderTerms terms;                       // no group yet: the adapter links groups
  std::optional<std::string> tag;         // the strategy's text, UTF-8
  std::optional<std::string> instrument;  // a symbol of the run's, UTF-8; none: the tick's

  // Whether it may only reduce a position.
  bool reducing() const { return terms.reduce_only || terms.close_position; }
  // The offset it is placed with: as given, else close for an order that
  // only reduces, else open.
  Offset placed_offset() const {
    return offset.value_or(reducing() ? Offset::Close : Offset::Open);
  }
};

// A contingent group as a venue class holds it: a one-cancels-other pair
// (two legs) or a bracket (entry, stop-loss, take-profit, either exit
// possibly absent).
struct GroupTicket {
  GroupRole kind = GroupRole::OneCancelsOther;  // or BracketEntry
  std::array<OrderTicket, 3> members{};
  std::array<bool, 3> present{};

  // The instrument every member is for: the classes refuse a group whose
  // members disagree, and fill in a bracket exit's from its entry.
  const std::optional<std::string>& instrument() const { return members[0].instrument; }
};

// What a group object holds: the group, and the member objects it was made
// of, which its attributes give back.
struct GroupData {
  GroupTicket ticket;
  std::array<Ref, 3> objects;  // None where a member is absent
};

}  // namespace halvorn::py
