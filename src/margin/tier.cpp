#include "margin/tier.hpp"

#include <algorithm>

namespace halvorn::margin {

Wide Contract::value(std::int64_t price, QtyLots lots, Rounding rounding) const {
  if (!inverse.inverse()) return value128(price, abs_sat(lots), contract_size);
  const std::int64_t held = abs_sat(lots);
  const std::int64_t at = price < 1 ? 1 : price;
  // The common case divides 64-bit values: a 128-bit division is a call
  // into the runtime, and this runs on every tick an inverse position is
  // marked.
  std::int64_t n64, d64;
  if (!__builtin_mul_overflow(held, inverse.numerator, &n64) &&
      !__builtin_mul_overflow(at, inverse.denominator, &d64)) {
    const std::int64_t q = n64 / d64;
    return rounding == Rounding::Up && n64 % d64 != 0 ? q + 1 : q;
  }
  // Two 64-bit factors each side: neither product overflows 128 bits.
  const Wide n = static_cast<Wide>(held) * inverse.numerator;
  const Wide d = static_cast<Wide>(at) * inverse.denominator;
  const Wide q = n / d;
  return rounding == Rounding::Up && n % d != 0 ? q + 1 : q;
}

Cash TickWorth::in_usd(Cash coin, std::int64_t price) const {
  if (numerator == 0 || denominator <= 0) return 0;
  return clamp64(mul_sat128(mul_sat128(coin, price), numerator) / denominator);
}

Cash Contract::notional(std::int64_t price, QtyLots size) const {
  return clamp64(value(price, size, rounding_of_buy(size < 0)));
}

Cash Contract::unrealized_from_cost(Wide cost, std::int64_t price, QtyLots size) const {
  if (size == 0) return 0;
  const Wide worth = value(price, size, rounding_of_buy(size < 0));
  // An inverse long gains as the coin value of its contracts falls.
  const bool gains_with_value = (size > 0) != inverse.inverse();
  const Wide diff = sub_sat128(worth, cost);
  return clamp64(gains_with_value ? diff : mul_sat128(diff, -1));
}

const Bracket& TierTable::bracket_of(Cash notional) const {
  if (brackets.empty()) panic("non-empty by construction");
  for (const Bracket& b : brackets) {
    if (b.up_to >= notional) return b;
  }
  return brackets.back();
}

Cash TierTable::maintenance(Contract contract, std::int64_t price, QtyLots size) const {
  const Cash n = contract.notional(price, size);
  const Bracket& b = bracket_of(n);
  const Cash m = sub_sat(apply_rate(n, b.rate), b.amount);
  return m > 0 ? m : 0;
}

Cash TierTable::most_maintenance(Contract contract, std::int64_t price, QtyLots size) const {
  const Cash n = contract.notional(price, size);
  Cash most = 0;
  for (const Bracket& b : brackets) most = std::max(most, sub_sat(apply_rate(n, b.rate), b.amount));
  return most;
}

bool TierTable::rates_nonnegative() const {
  return std::all_of(brackets.begin(), brackets.end(),
                     [](const Bracket& b) { return b.rate >= 0; });
}

std::optional<std::size_t> TierTable::first_falling_bracket() const {
  auto asks = [](const Bracket& b, Cash notional) {
    const Cash m = sub_sat(apply_rate(notional, b.rate), b.amount);
    return m > 0 ? m : 0;
  };
  for (std::size_t i = 0; i < brackets.size(); ++i) {
    if (brackets[i].rate < 0) return i;
    if (i == 0) continue;
    const Cash edge = brackets[i - 1].up_to;
    if (edge < I64_MAX && asks(brackets[i], edge + 1) < asks(brackets[i - 1], edge)) return i;
  }
  return std::nullopt;
}

TierTable TierTable::example_btcusdt() {
  return TierTable{{
      {5'000'000'000'000, 4'000'000, 0},
      {50'000'000'000'000, 5'000'000, 5'000'000'000},
      {100'000'000'000'000, 10'000'000, 255'000'000'000},
      {1'000'000'000'000'000, 25'000'000, 1'755'000'000'000},
      {I64_MAX, 50'000'000, 26'755'000'000'000},
  }};
}

}  // namespace halvorn::margin
