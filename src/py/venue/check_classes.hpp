// What a venue's mode comparison and lookahead check return: the values
// halvorn.ModeComparison and halvorn.LookaheadReport hold, under the same
// attributes, printed in units (the difference in equity in USDT, the time
// of the first divergence in UTC).
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>

#include "py/registry.hpp"

namespace halvorn::py::venue {

struct VenueState;

// venue.ModeComparison and venue.LookaheadReport.
extern const std::array<ClassEntry<VenueState>, 2> CHECK_CLASSES;

}  // namespace halvorn::py::venue
