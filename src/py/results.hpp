// RunResult, ModeComparison and LookaheadReport: the read-only classes the
// run functions return, each holding plain values copied out of the engine's
// results.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "backtest/lookahead.hpp"
#include "backtest/run_loop.hpp"
#include "py/module_state.hpp"

namespace halvorn::py {

// What a Python RunResult holds: counts, totals, fill prices and the equity
// samples of one run.
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

  static RunSummary of(backtest::RunResult&& result);
};

// What a ModeComparison holds.
struct Comparison {
  std::uint64_t batch = 0;
  std::uint64_t compat_fills = 0;
  std::uint64_t batched_fills = 0;
  std::optional<std::uint64_t> first_divergence;
  std::int64_t equity_difference = 0;  // saturated where it leaves 64 bits
  bool identical = false;

  // The comparison of a per-tick run with a batched one.
  static Comparison of(std::uint64_t batch, const RunSummary& per_tick, const RunSummary& batched);
};

// What a LookaheadReport holds.
struct Report {
  std::uint64_t signals = 0;
  std::uint64_t checked = 0;
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::int64_t>> divergences;

  static Report of(const backtest::LookaheadReport& report);
};

// The attributes of ModeComparison and LookaheadReport, for the venue's
// classes that hold the same values and print them in units.
extern PyGetSetDef comparison_getset[];
extern PyGetSetDef report_getset[];

extern PyType_Spec run_result_spec;
extern PyType_Spec mode_comparison_spec;
extern PyType_Spec lookahead_report_spec;

// Requires: `obj` is a RunResult.
const RunSummary& run_summary_of(PyObject* obj);

// A list of Python ints; nullptr with an exception set on failure.
PyObject* int_list(const std::vector<std::int64_t>& values);

}  // namespace halvorn::py
