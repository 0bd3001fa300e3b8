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

#include "data/decimal.hpp"
#include "py/pyref.hpp"
#include "strategy/strategy.hpp"
#include "types/order_terms.hpp"
#include "types/types.hpp"

namespace halvorn::py {

// The fields of an order given in its instrument's units (decimal text, a
// Decimal, a float) rather than as counts.  Which instrument that is, and so
// what a tick and a lot are, is known only when the order is placed: the
// adapter counts them then (order_units.hpp), and until then the count
// fields of the ticket hold 1, standing for "given".
struct UnitTerms {
  std::optional<data::Decimal> qty;
  std::optional<data::Decimal> price;
  std::optional<data::Decimal> trigger;  // a trailing stop's activation price
  std::optional<data::Decimal> distance;
  data::Rounding rounding = data::Rounding::Exact;
  // A bracket's exit whose size was left out: the entry's, as counted.
  bool qty_of_entry = false;

  bool any() const { return qty || price || trigger || distance; }
};

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
  UnitTerms units;                        // the fields given in units, if any

  // Whether it may only reduce a position.
  bool reducing() const { return terms.reduce_only || terms.close_position; }
  // The offset it is placed with: as given, else close for an order that
  // only reduces, else open.
  Offset placed_offset() const {
    return offset.value_or(reducing() ? Offset::Close : Offset::Open);
  }
};

// The intent that places `ticket` as order `id` for `instrument`, in the
// place `role` of the group that order `leader` leads (GroupRole::None and
// 0 for an order of no group).  The one road from a ticket to the engine,
// for the orders a Python strategy returns and those a compiled one writes.
inline strategy::intent::Place placed(const OrderTicket& ticket, InstrumentId instrument,
                                      OrderId id, GroupRole role, OrderId leader) {
  OrderTerms terms = ticket.terms;
  terms.role = role;
  terms.leader = leader;
  return strategy::intent::Place{
      ticket.side, ticket.placed_offset(), instrument, id, ticket.price, ticket.qty, terms};
}

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
