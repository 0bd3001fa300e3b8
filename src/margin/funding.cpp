#include "margin/funding.hpp"

#include <algorithm>

namespace halvorn::margin {

FundingPayment FundingRate::settle(std::int64_t contract_size, QtyLots size) const {
  const Cash notional = clamp64(value128(price, abs_sat(size), contract_size));
  const Cash payment = apply_rate(notional, rate);
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
