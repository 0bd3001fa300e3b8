// Fixed-point cash and the arithmetic rules every money computation follows.
//
// Money is Cash: a signed 64-bit count of 1/CASH_SCALE of the settlement
// currency.  Money never fails: accumulation saturates, products are formed at
// 128 bits and clamped back, and rates are integers in billionths applied with
// truncation toward zero.  Quantities and counters, by contrast, treat overflow
// as an invariant failure (Panic), because correct input cannot reach it.
//
// Thread-safety: pure functions.

#pragma once

#include <cstdint>
#include <limits>

#include "types/panic.hpp"

namespace halvorn {

using Cash = std::int64_t;
using QtyLots = std::int64_t;
using Wide = __int128;

inline constexpr Cash CASH_SCALE = 100'000'000;
// The Cash value of one tick on one lot where nothing says otherwise: a tick
// of 0.1 on a lot of 0.001 is 0.0001 of the settlement currency.
inline constexpr std::int64_t DEFAULT_CONTRACT_SIZE = 10'000;
// A rate of RATE_SCALE billionths is 100 %.
inline constexpr std::int64_t RATE_SCALE = 1'000'000'000;

inline constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
inline constexpr Wide WIDE_MAX = static_cast<Wide>(~static_cast<unsigned __int128>(0) >> 1);
inline constexpr Wide WIDE_MIN = -WIDE_MAX - 1;

// Saturating 64-bit addition: balances and totals never wrap.
constexpr std::int64_t add_sat(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? I64_MAX : I64_MIN;
  return r;
}

// Saturating subtraction, for differences of money or prices that are only
// reported (headroom, excursion), never booked.
constexpr std::int64_t sub_sat(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? I64_MAX : I64_MIN;
  return r;
}

// Negation and absolute value saturate: -I64_MIN is I64_MAX.
constexpr std::int64_t neg_sat(std::int64_t a) { return a == I64_MIN ? I64_MAX : -a; }
constexpr std::int64_t abs_sat(std::int64_t a) { return a < 0 ? neg_sat(a) : a; }

// Narrowing clamps into the 64-bit range.
constexpr std::int64_t clamp64(Wide v) {
  if (v > I64_MAX) return I64_MAX;
  if (v < I64_MIN) return I64_MIN;
  return static_cast<std::int64_t>(v);
}

// 128-bit arithmetic that saturates at the 128-bit limits by the sign the
// true result would have.
constexpr Wide add_sat128(Wide a, Wide b) {
  Wide r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? WIDE_MAX : WIDE_MIN;
  return r;
}
constexpr Wide sub_sat128(Wide a, Wide b) {
  Wide r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? WIDE_MAX : WIDE_MIN;
  return r;
}
constexpr bool fits64(Wide v) { return v == static_cast<std::int64_t>(v); }

constexpr Wide mul_sat128(Wide a, Wide b) {
  // Two factors within 64 bits cannot overflow 128: the common case needs no
  // check, which for 128-bit operands is a call into the runtime.
  if (fits64(a) && fits64(b)) return a * b;
  Wide r;
  if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? WIDE_MIN : WIDE_MAX;
  return r;
}

// x / RATE_SCALE truncated toward zero, as the 128-bit division gives it,
// but by four divisions of 64-bit values by the constant (each a
// multiplication), where the 128-bit division is a call into the runtime.
constexpr Wide div_rate_scale(Wide x) {
  if (fits64(x)) return static_cast<std::int64_t>(x) / RATE_SCALE;
  const bool negative = x < 0;
  const unsigned __int128 u =
      negative ? -static_cast<unsigned __int128>(x) : static_cast<unsigned __int128>(x);
  unsigned __int128 q = 0;
  std::uint64_t r = 0;
  for (int shift = 96; shift >= 0; shift -= 32) {
    // r < RATE_SCALE < 2^30, so the step's dividend fits in 64 bits.
    const std::uint64_t step = (r << 32) | static_cast<std::uint32_t>(u >> shift);
    q = (q << 32) | (step / static_cast<std::uint64_t>(RATE_SCALE));
    r = step % static_cast<std::uint64_t>(RATE_SCALE);
  }
  return negative ? -static_cast<Wide>(q) : static_cast<Wide>(q);
}

// The value of a quantity at a price: price x lots x contract_size, formed at
// 128 bits.  Two 64-bit factors never overflow 128 bits; the third may, and
// then saturates by sign.
constexpr Wide value128(std::int64_t price, std::int64_t lots, std::int64_t contract_size) {
  return mul_sat128(static_cast<Wide>(price) * lots, contract_size);
}

// Applies a rate in billionths: amount x rate / 10^9, truncated toward zero,
// clamped into 64 bits.
constexpr Cash apply_rate(Cash amount, std::int64_t rate) {
  // The common case fits 64 bits, where division by the constant compiles to
  // a multiplication; both divisions truncate toward zero, so they agree.
  std::int64_t product;
  if (!__builtin_mul_overflow(amount, rate, &product)) return product / RATE_SCALE;
  return clamp64(div_rate_scale(static_cast<Wide>(amount) * rate));
}

// Whole currency units to Cash, saturating by the sign of the input.
constexpr Cash units_to_cash(std::int64_t units) {
  Cash r;
  if (__builtin_mul_overflow(units, CASH_SCALE, &r)) return units > 0 ? I64_MAX : I64_MIN;
  return r;
}

// Addition for quantities and counters that correct input keeps in range:
// overflow is an invariant failure rather than a saturation.
inline std::int64_t add_checked(std::int64_t a, std::int64_t b, const char* what) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) panic(what);
  return r;
}
inline std::int64_t sub_checked(std::int64_t a, std::int64_t b, const char* what) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) panic(what);
  return r;
}
inline std::int64_t mul_checked(std::int64_t a, std::int64_t b, const char* what) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) panic(what);
  return r;
}

// Advances an identifier counter by one; overflow is an invariant failure.
inline std::uint64_t next_counter(std::uint64_t c, const char* what) {
  if (c == std::numeric_limits<std::uint64_t>::max()) panic(what);
  return c + 1;
}

}  // namespace halvorn
