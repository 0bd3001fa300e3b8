// Funding: at the times a schedule lists, the holders of one side of the
// contract pay the holders of the other a fraction of their position's value.
//
// There is no built-in funding interval; funding happens exactly at the
// listed times.
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "margin/tier.hpp"
#include "types/fixed.hpp"
#include "types/time.hpp"

namespace halvorn::margin {

// A FundingPayment is the result of settling one rate against one position.
struct FundingPayment {
  Nanos time = 0;
  Cash amount = 0;  // to add to the account; negative when the position pays
  std::int64_t rate = 0;
  std::int64_t price = 0;

  friend bool operator==(const FundingPayment&, const FundingPayment&) = default;
};

// A FundingRate is one settlement: positive rates make longs pay shorts.
struct FundingRate {
  Nanos time = 0;
  std::int64_t rate = 0;   // billionths
  std::int64_t price = 0;  // ticks; where the position's value is measured

  // Settles this rate against a position of signed size s.  The magnitude is
  // truncated toward zero before the sign is applied, so a payment never
  // exceeds the exact amount; a flat position settles 0.  An inverse
  // position's exact amount is |s| x its coin value per lot / price x rate,
  // truncated once: its value at the price is not rounded on the way.
  FundingPayment settle(const Contract& contract, QtyLots size) const;
  FundingPayment settle(std::int64_t contract_size, QtyLots size) const {
    return settle(Contract{contract_size}, size);
  }

  friend bool operator==(const FundingRate&, const FundingRate&) = default;
};

// A FundingSchedule lists the rates of a run.
//
// Invariants: rates are in ascending time order.
struct FundingSchedule {
  std::vector<FundingRate> rates;

  // The consecutive rates with after < time <= up_to.  Consecutive calls whose
  // after is the previous up_to cover every rate exactly once.  The view is
  // valid while the schedule is unchanged.
  std::span<const FundingRate> between(Nanos after, Nanos up_to) const;
};

}  // namespace halvorn::margin
