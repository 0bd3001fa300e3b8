// The account a venue holds and how it is margined and funded: Bracket,
// FundingRate and the Venue itself, and what a venue argument stands for.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>

#include "py/registry.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

// The account classes, in the order the module shows them.
extern const std::array<ClassEntry<VenueState>, 4> ACCOUNT_CLASSES;

// After the classes are made: Venue's signature, EXAMPLE_BTCUSDT and the
// default Venue().  -1 with an exception set.
int finish_account_classes(PyObject* module, VenueState* state);

}  // namespace halvorn::py::venue
