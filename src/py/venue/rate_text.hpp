// Rates written as decimal text (rate("0.0004"), percent("0.04"),
// bps("4")), turned exactly into the billionths every rate of the venue is
// given in, or refused: a rate that is not a whole number of billionths is
// not silently rounded.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py::venue {

// rate, percent and bps, in that order.
extern PyMethodDef rate_functions[3];

}  // namespace halvorn::py::venue
