#include "margin/funding.hpp"

#include <algorithm>

namespace halvorn::margin {

namespace {

// |lots| x numerator x |rate| / (price x denominator x RATE_SCALE), truncated:
// the inverse payment's magnitude, with one rounding.  A product beyond 128
// bits saturates, as every money product does.
Cash inverse_payment(const InverseValue& inverse, std::int64_t price, QtyLots lots,
                     std::int64_t rate) {
  const Wide worth = static_cast<Wide>(abs_sat(lots)) * inverse.numerator;
  const Wide scaled = mul_sat128(worth, rate < 0 ? -static_cast<Wide>(rate) : rate);
  const Wide per = static_cast<Wide>(price < 1 ? 1 : price) * inverse.denominator;
  // Truncating twice is truncating once for non-negative operands, and
  // per x RATE_SCALE could overflow.
  return clamp64(scaled / per / RATE_SCALE);
}

}  // namespace

FundingPayment FundingRate::settle(const Contract& contract, QtyLots size) const {
  Cash payment;
  if (contract.inverse.inverse()) {
    payment = inverse_payment(contract.inverse, price, size, rate);
    if (rate < 0) payment = neg_sat(payment);
  } else {
    payment = apply_rate(contract.notional(price, size), rate);
  }
  return FundingPayment{time, size < 0 ? payment : neg_sat(payment), rate, price};
}

std::span<const FundingRate> FundingSchedule::between(Nanos after, Nanos up_to) const {
  auto count_up_to = [this](Nanos t) {
    return static_cast<std::size_t>(
        std::partition_point(rates.begin(), rates.end(),
                             [t](const FundingRate& r) { return r.time <= t; }) -
        rates.begin());
  };
  const std::size_t lo = count_up_to(after);
  const std::size_t hi = count_up_to(up_to);
  if (lo > hi) return {};
  return std::span<const FundingRate>(rates).subspan(lo, hi - lo);
}

}  // namespace halvorn::margin
