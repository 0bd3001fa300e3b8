// Identifiers of orders and instruments.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace halvorn {

// An OrderId is chosen by the strategy that places the order; it is only
// compared for equality and sorted numerically.
using OrderId = std::uint64_t;

// An InstrumentId names one tradable instrument.  A one-field record rather
// than a bare integer so that it cannot be confused with a quantity or a price.
struct InstrumentId {
  std::uint32_t value = 0;

  friend constexpr bool operator==(InstrumentId, InstrumentId) = default;
};

// The debug form, "InstrumentId(1)".
std::string to_string(InstrumentId id);
std::ostream& operator<<(std::ostream& os, InstrumentId id);

}  // namespace halvorn
