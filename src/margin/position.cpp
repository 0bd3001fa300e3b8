#include "margin/position.hpp"

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

}  // namespace

Wide MarginedPosition::cost_basis() const {
  if (const auto* c = std::get_if<basis::Cost>(&basis)) return c->cost;
  return value128(entry, abs_sat(size), contract_size);
}

Cash MarginedPosition::unrealized(std::int64_t price) const {
  if (const auto* c = std::get_if<basis::Cost>(&basis)) {
    return Contract{contract_size}.unrealized_from_cost(c->cost, price, size);
  }
  const char* overflow = "unrealised profit overflows";
  Wide moved = static_cast<Wide>(price) - entry;
  return clamp64(checked_mul(checked_mul(moved, size, overflow), contract_size, overflow));
}

bool MarginedPosition::is_liquidatable(const TierTable& tiers, std::int64_t price) const {
  if (size == 0) return false;
  const Cash equity = add_sat(collateral, unrealized(price));
  return equity <= tiers.maintenance(Contract{contract_size}, price, size);
}

Assessment MarginedPosition::assess(const TierTable& tiers, std::int64_t price) const {
  if (size == 0) return assessment::Flat{};
  const Cash equity = add_sat(collateral, unrealized(price));
  const Cash maintenance = tiers.maintenance(Contract{contract_size}, price, size);
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
  const Bracket& b = tiers.bracket_of(Contract{contract_size}.notional(price, size));
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
