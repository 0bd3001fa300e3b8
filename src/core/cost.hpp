// The realised-profit arithmetic of closing part of a leg.
//
// A leg keeps its exact cost basis at 128 bits.  Closing c of its n lots
// takes c/n of the basis; when that share is not a whole number of Cash units
// the profit is truncated toward zero and the unit of rounding stays in the
// remaining basis.  Over the life of a leg, from flat back to flat, its
// realised profits therefore add up exactly to the total exit value minus the
// total cost (for a short, the negation), with no rounding lost or invented.
//
// Thread-safety: pure functions.

#pragma once

#include "types/fixed.hpp"

namespace halvorn::core::cost {

// The outcome of closing part of a leg.
struct Closed {
  Wide remaining = 0;  // the cost basis left for the lots still open
  Cash profit = 0;     // realised profit, clamped into Cash
};

// Closes c lots of a leg of signed size m whose cost basis is cost, for an exit
// value of exit_value (|c| x price x contract_size).  The profit is truncated
// toward zero for a non-negative basis, so neither a profit nor a loss is ever
// rounded up in magnitude.  Closing every lot leaves a remaining basis of 0.
// Requires: m != 0 (a Panic otherwise: there is nothing to divide among).
Closed close(Wide cost, QtyLots m, QtyLots c, Wide exit_value);

}  // namespace halvorn::core::cost
