// The execution tiers of halvorn.venue and what configures them: L0, L1 and
// L2, their Fixed and Quantiles latencies and their QueueFixed and
// TradedShare queue models.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>

#include "core/matcher.hpp"
#include "py/registry.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

// The tier classes, in the order the module shows them.
extern const std::array<ClassEntry<VenueState>, 7> TIER_CLASSES;

// After the classes are made: the signatures that show their defaults, and
// the values handed out as defaults.  -1 with an exception set.
int finish_tier_classes(VenueState* state);

// The object of a tier (L0(), L1(...), L2(...)); null with an exception set.
PyObject* tier_object(VenueState* state, const core::Tier& tier);
// The tier an object stands for; false with a TypeError naming `tier`.
bool tier_of(VenueState* state, PyObject* obj, core::Tier* out);

}  // namespace halvorn::py::venue
