// Contracts and tiered maintenance margin.
//
// A Contract turns prices and lots into Cash; a TierTable says how much
// maintenance margin a position of a given notional needs.  Everything here is
// a pure function of its inputs and keeps no state; the account kernel uses it
// to value legs and to decide liquidation.  Rates are in billionths.
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "types/fixed.hpp"

namespace halvorn::margin {

// A Contract is the Cash value of a price of one tick on one lot.
struct Contract {
  std::int64_t contract_size = 0;

  // |size| x price x contract_size at 128 bits, clamped into Cash.
  Cash notional(std::int64_t price, QtyLots size) const;

  // The unrealised profit of a leg of this size whose exact cost basis is
  // cost: 0 when flat, else sign(size) x (value at price - cost), saturating
  // at 128 bits and clamped into Cash.
  Cash unrealized_from_cost(Wide cost, std::int64_t price, QtyLots size) const;
};

// A Bracket is one row of a tier table: notionals up to up_to (inclusive) need
// notional x rate - amount.
struct Bracket {
  Cash up_to = 0;
  std::int64_t rate = 0;  // billionths
  Cash amount = 0;

  friend bool operator==(const Bracket&, const Bracket&) = default;
};

// A TierTable holds the maintenance-margin brackets of an instrument.
//
// Invariants: brackets are in ascending up_to order; a table in use is never
// empty (using an empty one is a Panic, "non-empty by construction").  A
// notional above every up_to uses the last bracket.
struct TierTable {
  std::vector<Bracket> brackets;

  // The first bracket whose up_to covers the notional, else the last.
  const Bracket& bracket_of(Cash notional) const;

  // The maintenance margin of a leg of size s at price p: notional x rate,
  // truncated, less the bracket's amount, and never below 0.
  Cash maintenance(Contract contract, std::int64_t price, QtyLots size) const;

  // The most any one bracket would ask of that leg: never less than
  // maintenance(), and, while every rate is at least 0 and the contract
  // size positive, never less at a higher price.  A bound that needs no
  // bracket search, for ruling out liquidation over a range of prices.
  Cash most_maintenance(Contract contract, std::int64_t price, QtyLots size) const;
  // Whether no bracket's rate is negative.
  bool rates_nonnegative() const;
  // The first bracket at which maintenance falls as a position grows: one
  // with a negative rate, or one that asks less just above the previous
  // bracket's up_to than the previous bracket asks at it.  Empty when
  // maintenance never falls, as a venue's table never lets it.
  std::optional<std::size_t> first_falling_bracket() const;

  // The example BTCUSDT table every run started from Python uses.  Its amounts
  // make maintenance continuous where brackets meet.
  static TierTable example_btcusdt();

  friend bool operator==(const TierTable&, const TierTable&) = default;
};

}  // namespace halvorn::margin
