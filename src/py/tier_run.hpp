// The run functions and their result classes.
//
// Thread-safety: called with the interpreter lock held; each run releases it
// while the engine works.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "backtest/run.hpp"
#include "py/driven.hpp"
#include "py/state.hpp"
#include "py/tick_array.hpp"

namespace halvorn::py {

// What a Python RunResult holds: counts, totals, fill prices and the equity
// samples of one run, as plain values.
struct RunSummary {
  std::string strategy;
  std::uint64_t ticks = 0;
  std::uint64_t fills = 0;
  std::uint64_t liquidations = 0;
  std::int64_t final_equity = 0;
  std::int64_t min_equity = 0;
  std::int64_t fees_paid = 0;
  std::int64_t funding_paid = 0;
  std::vector<std::int64_t> fill_prices;
  std::vector<std::int64_t> equity_curve;
};

// The ticks of a run: a series copied out of Python, or the path of a tick
// file that the run streams.
using TickInput = std::variant<TickArray, std::string>;

// A TickSource is used by its path; anything else goes through ticks_from.
// Returns false with the exception set.
bool resolve_ticks(ModuleState* state, PyObject* ticks, TickInput* out);

// Runs the adapter over the input with the lock released.  For a file, opens
// it first (a failure to open raises "{path}: {error}") and ends the series at
// the reader's first error, which is returned in `reader_error`.  Returns
// false with the exception set.
bool run_input(const backtest::RunConfig& config, PyDriven& driven, const TickInput& input,
               backtest::RunResult* result, std::optional<std::string>* reader_error);

// run_backtest after argument conversion: a new RunResult, or null with the
// exception set.
PyObject* run_backtest_impl(ModuleState* state, PyObject* strategy, PyObject* ticks,
                            std::int64_t balance, std::uint64_t batch, bool enforce_margin,
                            std::uint64_t equity_every, std::int64_t contract_size);

// Requires: `run_result` is a RunResult.
const RunSummary& run_summary_of(PyObject* run_result);

PyObject* create_run_result_type(PyObject* module);
PyObject* create_mode_comparison_type(PyObject* module);
PyObject* create_lookahead_report_type(PyObject* module);
// Adds run_backtest, compare_modes and lookahead_check, in that order.
int add_run_functions(PyObject* module);

}  // namespace halvorn::py
