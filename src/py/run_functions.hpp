// run_backtest, compare_modes and lookahead_check, and the steps of a run
// that other run functions share: the configuration, running an adapter
// over a series or a tick file with the lock released, and the order in
// which what stopped a run is reported.
//
// Thread-safety: called with the interpreter lock held; a run releases it
// while the engine works.

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "backtest/run.hpp"
#include "data/depth_file.hpp"
#include "data/ticks.hpp"
#include "py/adapter.hpp"
#include "py/data/depth_sources.hpp"
#include "py/tick_files.hpp"

namespace halvorn::py {

// run_backtest, compare_modes and lookahead_check, in that order.
extern PyMethodDef run_functions[3];

// The configuration of every run of those three: tier L0, the example
// margin table, no funding, no fees, instrument 1, net mode, no margin
// statistics.
backtest::RunConfig specified_config(std::int64_t balance, bool enforce_margin,
                                     std::uint64_t equity_every, std::int64_t contract_size);

// Refuses a batch of 0 ("batch must be at least 1; ...") and a strategy
// without the method its cadence needs (on_tick for batch 1, on_batch for
// more, or on_columns where `columns` allows it).  Returns false with the
// exception set.
bool check_cadence(PyObject* strategy, std::uint64_t batch, bool columns = false);

// How a run over a tick input ended besides its result.
struct RunEnd {
  std::optional<data::Error> reader_error;      // the tick file stopped the series
  std::optional<data::DepthError> depth_error;  // the depth file stopped the run
};

// Runs `driven` over `input` with the lock released and taken back after,
// with the records of the depth file `depth` (when not null) merged in by
// time.  The files are opened first, the lock given up while they may block;
// a failure to open raises "{path}: {error}".  A depth file that fails
// part-way ends the run at the tick that reached the failure: the book
// would lack what the file could not give, so nothing after it is worth
// running.  Returns false with the exception set.
bool run_input(const backtest::RunConfig& config, PyDriven& driven, Gil& gil,
               const TickInput& input, backtest::RunResult* result, RunEnd* end,
               const market_data::DepthSourceData* depth = nullptr);

// Makes the venue protocol of one strategy a lookahead check built (left
// null for the specified protocol); false with the exception set when the
// strategy cannot run on the venue.
using ProtocolFor =
    std::function<bool(PyObject* strategy, std::shared_ptr<const VenueProtocol>* out)>;

// The lookahead check of `build` over `ticks`: each rerun's strategy is
// built from the prefix as a list of Tick, with the lock taken for the
// build only.  A LookaheadReport, or nullptr with the exception set
// (the strategy's failure as ValueError, an interrupt unchanged).
PyObject* check_lookahead(ModuleState* st, PyObject* build, const TickArray& ticks,
                          const backtest::RunConfig& config, std::size_t max_points,
                          const ProtocolFor& protocol_for);

// Raises what stopped a finished run, in order of precedence: an interrupt
// (raised unchanged), the strategy's failure, the tick file's error, the
// depth file's error.
// Returns true when something was raised.
bool raise_run_end(PyDriven& driven, const backtest::RunResult& result, const RunEnd& end);

}  // namespace halvorn::py
