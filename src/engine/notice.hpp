// What a matcher tells the account besides fills: an order it cancelled, let
// expire or refused on its own account, and a conditional order that fired.
//
// Notices come out of the tick (or the request) that caused them, in the
// order they happened, and are not held back by report latency: the venue
// says at once that an order is gone.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>

#include "types/order_terms.hpp"
#include "types/time.hpp"

namespace halvorn::engine {

struct Notice {
  enum class Kind : std::uint8_t {
    Canceled = 0,   // a cancel reached it, or its group ended it
    Expired = 1,    // an immediate order its first tick did not fill
    Rejected = 2,   // refused when it reached the venue (reason says why)
    Triggered = 3,  // a conditional order fired; the order it stands for is on its way
  };

  Kind kind = Kind::Canceled;
  RejectReason reason = RejectReason::NonPositiveQuantity;  // Rejected only
  OrderId id = 0;
  std::int64_t price = 0;  // Triggered: the trigger it fired at
  Nanos at = 0;            // venue time of the tick (or request) that caused it

  friend bool operator==(const Notice&, const Notice&) = default;
};

}  // namespace halvorn::engine
