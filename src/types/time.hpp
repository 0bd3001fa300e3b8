// Time.
//
// A point in time is integer nanoseconds on the time base of the tick data
// (venue time or local receive time).  Compared as signed values.

#pragma once

#include <cstdint>

namespace halvorn {

using Nanos = std::int64_t;

inline constexpr Nanos NANOS_PER_MILLI = 1'000'000;

}  // namespace halvorn
