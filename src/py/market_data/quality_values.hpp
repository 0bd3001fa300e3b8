// What the hazards of market data look like from Python: a clock's findings
// as a tuple, and the surveys of tick, mark and depth files behind
// halvorn.data.inspect, each a dict of counts.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "data/tick_quality.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

// (ticks, min, median, max, behind, jumps, largest_jump), in ns and counts,
// as halvorn.data._hazards reads it.  Null with the exception set.
PyObject* clock_tuple(const data::ClockFindings& c);

// survey_ticks, survey_marks, survey_depth.
extern PyMethodDef survey_functions[3];

}  // namespace halvorn::py::market_data
