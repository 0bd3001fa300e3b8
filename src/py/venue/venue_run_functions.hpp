// The run functions of halvorn.venue: run, compare_modes, lookahead_check.
//
// Thread-safety: called with the interpreter lock held; a run releases it
// while the engine works.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py::venue {

struct VenueState;

// Adds run, compare_modes and lookahead_check to the module.
int add_runs(PyObject* module, VenueState* state);

}  // namespace halvorn::py::venue
