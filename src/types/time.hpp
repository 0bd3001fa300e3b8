// Time.
//
// A point in time is integer nanoseconds on the time base of the tick data
// (venue time or local receive time).  Compared as signed values.

#pragma once

#include <cstdint>

namespace halvorn {

using Nanos = std::int64_t;

inline constexpr Nanos NANOS_PER_MILLI = 1'000'000;
inline constexpr Nanos NANOS_PER_MICRO = 1'000;

// The whole millisecond a time falls in, rounded toward the smaller value, so
// that a time just before zero falls in the millisecond before zero.
// Unsigned division by a constant is always a multiplication; the signed
// form compiles to a hardware divide, a tenth of a depth reader's time.
constexpr std::int64_t floor_millis(Nanos t) {
  constexpr auto M = static_cast<std::uint64_t>(NANOS_PER_MILLI);
  const auto u = static_cast<std::uint64_t>(t);
  if (t >= 0) return static_cast<std::int64_t>(u / M);
  // ~u is -t - 1, which exists for every negative t.
  return -1 - static_cast<std::int64_t>(~u / M);
}
static_assert(floor_millis(-1) == -1 && floor_millis(-1'000'000) == -1 &&
              floor_millis(-1'000'001) == -2 && floor_millis(999'999) == 0);

}  // namespace halvorn
