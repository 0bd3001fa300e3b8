// run_backtest, compare_modes and lookahead_check: the core module's run
// functions.  They convert their arguments as the module always has,
// describe its account (the default venue with their contract size and
// margin flag) and take the one road every run takes (run_path.hpp).
//
// Thread-safety: called with the interpreter lock held; a run releases it
// while the engine works.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py {

// run_backtest, compare_modes and lookahead_check, in that order.
extern PyMethodDef run_functions[3];

}  // namespace halvorn::py
