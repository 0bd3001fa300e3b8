// One position backed by collateral, judged against a tier table: its equity,
// its maintenance margin, whether the venue would liquidate it, and at what
// price.
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "margin/tier.hpp"
#include "types/fixed.hpp"

namespace halvorn::margin {

// How a position's value at entry is known.
namespace basis {
// From the average entry price: |size| x entry x contract_size.
struct Entry {};
// Exactly, as a 128-bit cost basis.
struct Cost {
  Wide cost = 0;
};
}  // namespace basis
using Basis = std::variant<basis::Entry, basis::Cost>;

// The three ways a position can stand at a price.
namespace assessment {
// Above maintenance.  distance is how far the price is from the liquidation
// price, absent when the position has none.
struct Healthy {
  std::optional<std::int64_t> distance;
  Cash equity = 0;
  Cash maintenance = 0;
};
// Size 0.
struct Flat {};
// Equity at or below maintenance.
struct Liquidatable {
  Cash equity = 0;
  Cash maintenance = 0;
};
}  // namespace assessment
using Assessment = std::variant<assessment::Healthy, assessment::Flat, assessment::Liquidatable>;

// A MarginedPosition is one signed position with the collateral that backs it.
struct MarginedPosition {
  Basis basis;
  std::int64_t contract_size = 0;
  std::int64_t entry = 0;  // average entry price, ticks; read by the Entry basis
  QtyLots size = 0;        // positive long, negative short
  Cash collateral = 0;
  InverseValue inverse{};  // an inverse contract's coin value; linear when empty

  Contract contract() const { return Contract{contract_size, inverse}; }

  // The value paid for the position: the Cost basis, or |size| x entry x
  // contract_size.
  Wide cost_basis() const;

  // Unrealised profit at price.  With the Entry basis an overflow of
  // (price - entry) x size x contract_size is a Panic.
  Cash unrealized(std::int64_t price) const;

  // Flat for size 0; Liquidatable when collateral plus unrealised profit is at
  // or below maintenance (equality liquidates); otherwise Healthy with the
  // distance to the liquidation price.
  Assessment assess(const TierTable& tiers, std::int64_t price) const;

  // Whether assess would give Liquidatable, without working out a liquidation
  // price: this runs on every tick with a position open.
  bool is_liquidatable(const TierTable& tiers, std::int64_t price) const;

  // The first whole tick, coming from price, at which equity would equal
  // maintenance under the bracket that applies at price: rounded down for a
  // long, up for a short.  None for a flat position, for a long whose
  // collateral covers its cost, and for a price beyond the 64-bit range.  An
  // overflow of the 128-bit arithmetic is a Panic.
  //
  // An inverse position has no straight line to solve: its value goes as
  // 1 / price and is rounded.  Under one bracket whose rate is below 100 %,
  // equity less maintenance only grows as the price moves away from the
  // liquidation (each rounded value steps by whole units and the bracket's
  // truncated share of a step is at most the step), so the price is found
  // by bisection on the exact test: the highest price at or below `price`
  // that liquidates a long, the lowest at or above it that liquidates a
  // short.  None when there is none, as for a short its coin covers, or for
  // a bracket the bisection cannot rely on (a negative rate, or 100 % and
  // more).
  std::optional<std::int64_t> liquidation_price_at(const TierTable& tiers,
                                                   std::int64_t price) const;
};

}  // namespace halvorn::margin
