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

// What one lot of an inverse contract is worth in its settlement coin:
// lots at a price of p ticks are worth lots x numerator / (p x denominator)
// Cash, where numerator / denominator is lot size x contract value x
// CASH_SCALE / tick size, kept as a reduced fraction so that no tick size
// makes it inexact.  A numerator of 0 means a linear contract.
struct InverseValue {
  std::int64_t numerator = 0;
  std::int64_t denominator = 1;

  bool inverse() const { return numerator != 0; }
  friend bool operator==(const InverseValue&, const InverseValue&) = default;
};

// What one tick of an inverse contract's price is worth in USD, as a
// reduced fraction: c Cash units of its coin at a price of p ticks are worth
// c x p x numerator / denominator Cash units of USD, which an account counts
// as USDT.  What values a coin wallet beside a USDT one; a numerator of 0
// values nothing.
struct TickWorth {
  std::int64_t numerator = 0;
  std::int64_t denominator = 1;

  // coin at price in USD Cash, truncated toward zero; at 128 bits,
  // saturating, clamped into Cash.
  Cash in_usd(Cash coin, std::int64_t price) const;
  friend bool operator==(const TickWorth&, const TickWorth&) = default;
};

// How a coin value that is not a whole number of Cash units is rounded.
enum class Rounding : std::uint8_t { Down, Up };

// An inverse value is rounded by the side of the trade that books it: down
// for what is bought, up for what is sold.  Every round trip of an inverse
// position, long or short, profits by what its buys were worth less what
// its sells were worth, so both roundings can only lower the profit: the
// account is never credited with coin it would not have.
constexpr Rounding rounding_of_buy(bool buy) { return buy ? Rounding::Down : Rounding::Up; }

// A Contract turns prices and lots into Cash.  A linear one is worth price x
// lots x contract_size: one tick on one lot is contract_size.  An inverse one
// is worth lots x inverse.numerator / (price x inverse.denominator) in its
// coin, rounded as rounding_of_buy says.
struct Contract {
  std::int64_t contract_size = 0;
  InverseValue inverse{};

  // The value of lots (taken as |lots|) at price: exact for a linear
  // contract, rounded `rounding` for an inverse one, whose value at a price
  // below one tick is its value at one tick.  At 128 bits, saturating.
  Wide value(std::int64_t price, QtyLots lots, Rounding rounding) const;

  // What a leg of this size is valued at: what closing it at price would
  // book (a long sells, a short buys), clamped into Cash.  Linear: |size| x
  // price x contract_size.  Maintenance brackets read this value.
  Cash notional(std::int64_t price, QtyLots size) const;

  // The unrealised profit of a leg of this size whose exact cost basis is
  // cost: 0 when flat, else sign(size) x (value at price - cost) for a
  // linear contract and sign(size) x (cost - value at price) for an inverse
  // one, the value being notional's; saturating at 128 bits and clamped
  // into Cash.
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
  // linear with a positive size, never less at a higher price (an inverse
  // leg's value, and so what it asks, falls as the price rises).  A bound that needs no
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
