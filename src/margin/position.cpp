#include "margin/position.hpp"

#include <algorithm>

namespace halvorn::margin {

namespace {

constexpr const char* LIQUIDATION_OVERFLOW = "liquidation price arithmetic overflows";

Wide checked_sub(Wide a, Wide b) {
  Wide r;
  if (__builtin_sub_overflow(a, b, &r)) panic(LIQUIDATION_OVERFLOW);
  return r;
}
Wide checked_add(Wide a, Wide b) {
  Wide r;
  if (__builtin_add_overflow(a, b, &r)) panic(LIQUIDATION_OVERFLOW);
  return r;
}
Wide checked_mul(Wide a, Wide b, const char* what) {
  Wide r;
  if (__builtin_mul_overflow(a, b, &r)) panic(what);
  return r;
}

// Division rounded toward negative and positive infinity.
// Requires: d > 0.
Wide floor_div(Wide n, Wide d) {
  Wide q = n / d;
  return (n % d != 0 && n < 0) ? q - 1 : q;
}
Wide ceil_div(Wide n, Wide d) {
  Wide q = n / d;
  return (n % d != 0 && n > 0) ? q + 1 : q;
}

// MarginedPosition::liquidation_price_at for an inverse position.
std::optional<std::int64_t> inverse_liquidation_price(const MarginedPosition& position,
                                                      const Bracket& b, std::int64_t price) {
  if (b.rate < 0 || b.rate >= RATE_SCALE || price < 1) return std::nullopt;
  const Contract c = position.contract();
  const Wide cost = position.cost_basis();
  const Cash collateral = position.collateral;
  const QtyLots size = position.size;
  // The exact test under bracket b alone, as the straight-line solution for
  // a linear contract uses the bracket at `price` alone.
  auto liquidates = [&](std::int64_t p) {
    const Cash equity = add_sat(collateral, c.unrealized_from_cost(cost, p, size));
    const Cash n = c.notional(p, size);
    const Cash maintenance = std::max<Cash>(0, sub_sat(apply_rate(n, b.rate), b.amount));
    return equity <= maintenance;
  };
  if (size > 0) {
    // Highest p in [1, price] that liquidates: lo always does, hi never.
    if (!liquidates(1)) return std::nullopt;
    if (liquidates(price)) return price;
    std::int64_t lo = 1, hi = price;
    while (hi - lo > 1) {
      const std::int64_t mid = lo + (hi - lo) / 2;
      (liquidates(mid) ? lo : hi) = mid;
    }
    return lo;
  }
  // Lowest p in [price, I64_MAX] that liquidates: hi always does, lo never.
  if (!liquidates(I64_MAX)) return std::nullopt;
  std::int64_t lo = price, hi = I64_MAX;
  if (liquidates(lo)) return lo;
  while (hi - lo > 1) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    (liquidates(mid) ? hi : lo) = mid;
  }
  return hi;
}

}  // namespace

Wide MarginedPosition::cost_basis() const {
  if (const auto* c = std::get_if<basis::Cost>(&basis)) return c->cost;
  return contract().value(entry, size, rounding_of_buy(size > 0));
}

Cash MarginedPosition::unrealized(std::int64_t price) const {
  if (const auto* c = std::get_if<basis::Cost>(&basis)) {
    return contract().unrealized_from_cost(c->cost, price, size);
  }
  if (inverse.inverse()) return contract().unrealized_from_cost(cost_basis(), price, size);
  const char* overflow = "unrealised profit overflows";
  Wide moved = static_cast<Wide>(price) - entry;
  return clamp64(checked_mul(checked_mul(moved, size, overflow), contract_size, overflow));
}

bool MarginedPosition::is_liquidatable(const TierTable& tiers, std::int64_t price) const {
  if (size == 0) return false;
  const Cash equity = add_sat(collateral, unrealized(price));
  return equity <= tiers.maintenance(contract(), price, size);
}

Assessment MarginedPosition::assess(const TierTable& tiers, std::int64_t price) const {
  if (size == 0) return assessment::Flat{};
  const Cash equity = add_sat(collateral, unrealized(price));
  const Cash maintenance = tiers.maintenance(contract(), price, size);
  if (equity <= maintenance) return assessment::Liquidatable{equity, maintenance};
  std::optional<std::int64_t> at = liquidation_price_at(tiers, price);
  if (!at) return assessment::Healthy{std::nullopt, equity, maintenance};
  std::int64_t distance = sub_checked(price, *at, "liquidation distance overflows");
  if (distance == I64_MIN) panic("liquidation distance overflows");
  return assessment::Healthy{distance < 0 ? -distance : distance, equity, maintenance};
}

std::optional<std::int64_t> MarginedPosition::liquidation_price_at(const TierTable& tiers,
                                                                   std::int64_t price) const {
  if (size == 0) return std::nullopt;
  const Bracket& b = tiers.bracket_of(contract().notional(price, size));
  if (inverse.inverse()) return inverse_liquidation_price(*this, b, price);
  const Wide cost = cost_basis();
  const Wide lots = static_cast<Wide>(abs_sat(size)) * contract_size;
  Wide at;
  if (size > 0) {
    Wide numerator = checked_mul(checked_sub(checked_sub(cost, collateral), b.amount), RATE_SCALE,
                                 LIQUIDATION_OVERFLOW);
    Wide denominator =
        checked_mul(lots, static_cast<Wide>(RATE_SCALE) - b.rate, LIQUIDATION_OVERFLOW);
    if (denominator <= 0) return std::nullopt;
    at = floor_div(numerator, denominator);
  } else {
    Wide numerator = checked_mul(checked_add(checked_add(cost, collateral), b.amount), RATE_SCALE,
                                 LIQUIDATION_OVERFLOW);
    Wide denominator =
        checked_mul(lots, static_cast<Wide>(RATE_SCALE) + b.rate, LIQUIDATION_OVERFLOW);
    if (denominator <= 0) return std::nullopt;
    at = ceil_div(numerator, denominator);
  }
  // A price beyond the 64-bit range (a short backed by near-saturated
  // collateral) is treated as no liquidation price at all.
  if (at < 1 || at > I64_MAX) return std::nullopt;
  return static_cast<std::int64_t>(at);
}

}  // namespace halvorn::margin
