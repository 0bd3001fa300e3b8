// The six statistics functions of the module.
//
// Each converts its arguments, runs its pure step and returns plain floats;
// an error of the statistics becomes a ValueError carrying its display
// text.  They hold the interpreter lock throughout and keep no state.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py {

// Adds sharpe_ratio, moments, probabilistic_sharpe_ratio,
// deflated_sharpe_ratio, probability_of_backtest_overfitting and
// minimum_track_record_length to the module, in that order.  Returns -1 with
// an exception set on failure.
int add_stats_functions(PyObject* module);

}  // namespace halvorn::py
