// The one road every run started from Python takes.
//
// halvorn.run_backtest, compare_modes and lookahead_check convert their
// arguments as the core module always has and describe its account: the
// default Venue with their contract size and margin flag.  halvorn.venue's
// run, compare_modes and lookahead_check convert theirs and describe the
// Venue they were given.  Both then hand a RunRequest to the functions here,
// which check the strategy's cadence, resolve the ticks, make the adapter,
// run the engine with the lock released over the ticks and any depth file,
// and raise whatever stopped the run.
//
// What differs between the two kinds of caller is data, not code: the
// protocol the strategy speaks.  The core module's is orders only, on_tick
// or on_batch; the venue's adds cancellations, the feedback hooks, columnar
// batches, progress, a flushed last batch, and refuses ticks recorded for
// another instrument.  Several instruments, new order kinds or a strategy
// that is not a Python object each enter here once, in the request.
//
// The road of one run: run_strategy -> check_cadence -> resolve_ticks ->
// adapter_parts -> PyDriven -> run_input (backtest::run_until_failure, unlocked) ->
// raise_run_end.  A portfolio's road, and the comparisons' and the lookahead
// check's reruns, share its steps (run_steps.hpp) and the one road that
// opens a run's files (run_files.hpp); each concept has its file:
// single_run.cpp, portfolio_run.cpp, run_comparisons.cpp.
//
// Thread-safety: called with the interpreter lock held; a run releases it
// while the engine works.

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "backtest/run_loop.hpp"
#include "data/depth_file.hpp"
#include "data/ticks.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/module_state.hpp"
#include "py/results.hpp"
#include "py/strategy_adapter.hpp"
#include "py/tick_files.hpp"
#include "py/venue/venue_config.hpp"

namespace halvorn::py {

namespace venue {
struct VenueState;
}

// One run's inputs once its arguments are converted.
struct RunRequest {
  ModuleState* core = nullptr;
  // The venue protocol's module; null for the core module's protocol.
  const venue::VenueState* venue_module = nullptr;
  const venue::VenueConfig* venue = nullptr;  // the account and the matcher
  Cash balance = 0;                           // the starting balance, in Cash
  // The balance given as a dict of currency to amount, by currency (each
  // in Cash of its currency; never empty when given): a wallet each, for a
  // portfolio whose instruments settle in several; `balance` is then not
  // read.
  std::vector<std::pair<Currency, Cash>> wallets;
  std::uint64_t batch = 1;  // 1: per tick
  std::uint64_t equity_every = 0;
  bool flush = false;
  PyObject* progress = nullptr;  // None or null for none; held by the caller
  const market_data::DepthSourceData* depth = nullptr;
  // The venue's mark prices, streamed beside the ticks; null for none.
  const market_data::MarkSourceData* marks = nullptr;
  // Or the mark prices given in memory (a frame of them), in time order,
  // when `marks_in_memory`.
  std::vector<backtest::MarkPoint> mark_points;
  bool marks_in_memory = false;
  // A dict of symbol to Venue, for a portfolio whose instruments trade on
  // venues of their own; null when `venue` serves every instrument.
  PyObject* venues = nullptr;
  // A dict of symbol to DepthSource, for a portfolio's instruments on L2;
  // null for none.
  PyObject* depths = nullptr;
  // A dict of symbol to MarkSource, for a portfolio; null for none.
  PyObject* mark_files = nullptr;

  bool venue_protocol() const { return venue_module != nullptr; }
};

// The venue's marks when given as columns (a DataFrame, a dict of arrays,
// a structured array, with `time` and `mark`), as ticks are: prices scaled
// exactly with the request's venue's Instrument and held in the request.
// Returns 1 when they were, 0 when `marks` holds no columns, -1 with the
// exception set.  Requires: the request's venue is set.
int mark_frame(PyObject* marks, RunRequest* request);

// Refuses a batch of 0 ("batch must be at least 1; ...") and a strategy
// without the method its cadence needs (on_tick for batch 1, on_batch for
// more, or on_columns where `columns` allows it).  Returns false with the
// exception set.
bool check_cadence(PyObject* strategy, std::uint64_t batch, bool columns);

// One run of `strategy` over `ticks` as `request` describes it.  False with
// the exception set: a refused argument, or what stopped the run (see
// raise_run_end).
// `used`, when given, receives the venue the run traded on: the request's,
// with the instrument a tick file defines (see the Venue's documentation).
// A dict of symbol to ticks is a portfolio (the venue protocol only): its
// instruments' series merged by time into one account; `legs`, when given,
// receives each instrument's symbol and venue, in the order of their ids.
bool run_strategy(const RunRequest& request, PyObject* strategy, PyObject* ticks,
                  backtest::RunResult* out, venue::VenueConfig* used = nullptr,
                  std::vector<venue::InstrumentLeg>* legs = nullptr);

// Builds a strategy with `build()` and runs it per tick, then builds another
// and runs it in batches of `batch`, each as run_strategy does (equity not
// sampled, no progress), and compares the two.  Whatever `build` or either
// run raised propagates.
bool compare_runs(const RunRequest& request, PyObject* build, PyObject* ticks, std::uint64_t batch,
                  Comparison* out);

// The lookahead check of `build` over `ticks` (a sequence of Tick): each
// rerun's strategy is built from the prefix as a list of Tick, with the lock
// taken for the build only.  False with the exception set (the strategy's
// failure as ValueError, an interrupt unchanged).
bool check_lookahead(const RunRequest& request, PyObject* build, PyObject* ticks,
                     std::size_t max_points, Report* out);

}  // namespace halvorn::py
