// The L0 matcher: fills at observed prices.
//
// Thread-safety: an engine is used by one thread at a time.

#pragma once

#include "types/order.hpp"

namespace halvorn::engine {

// Build a working order for submission: status New, filled 0.
// Requires: qty > 0; a quantity of zero or less is a Panic ("order quantity
// must be positive"), because the kernel rejects such orders before building
// them.
Working limit_order(OrderId id, Side side, std::int64_t price, QtyLots qty, Nanos exch_ts,
                    Nanos local_ts, Offset offset);
Working market_order(OrderId id, Side side, QtyLots qty, Nanos exch_ts, Nanos local_ts,
                     Offset offset);

}  // namespace halvorn::engine
