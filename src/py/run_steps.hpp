// The steps every run started from Python shares, whether it is of one
// instrument or a portfolio, or a rerun of a comparison or the lookahead
// check: the ticks resolved, the venue a tick file agrees with, the parts
// of the adapter, and what stopped the run raised at its end.  Internal to
// the run path (see run_path.hpp for the road these steps make).
//
// Thread-safety: called with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "backtest/failing_streams.hpp"
#include "backtest/run_loop.hpp"
#include "data/depth_file.hpp"
#include "data/mark_reader.hpp"
#include "data/ticks.hpp"
#include "py/boundary.hpp"
#include "py/compiled_strategy.hpp"
#include "py/run_path.hpp"
#include "py/strategy_adapter.hpp"
#include "py/tick_files.hpp"
#include "py/venue/venue_config.hpp"

namespace halvorn::py {

// How a run over a tick input ended besides its result.
struct RunEnd {
  std::optional<data::Error> reader_error;      // the tick file stopped the series
  std::optional<data::DepthError> depth_error;  // the depth file stopped the run
  std::optional<data::MarkError> mark_error;    // the mark file stopped the run
};

// A mark file's records as the run loop takes them.
using MarkPoints = backtest::MarkPoints<data::StreamedMarks, data::MarkRecord>;

// Raises what stopped a finished run, in order of precedence: an interrupt
// (raised unchanged), the strategy's failure, the tick file's error, the
// depth file's error.  Returns true when something was raised.
template <class Driven>
bool raise_run_end(Driven& driven, const backtest::RunResult& result, const RunEnd& end) {
  if (driven.interrupt()) {
    driven.interrupt().restore();
    return true;
  }
  if (driven.failure()) {
    driven.failure().raise("the strategy failed during the run: ");
    return true;
  }
  if (end.reader_error) {
    raise_message(
        PyExc_ValueError,
        "the tick file stopped the run after " + std::to_string(result.ticks) + " ticks: ",
        end.reader_error->display());
    return true;
  }
  if (end.depth_error) {
    raise_message(
        PyExc_ValueError,
        "the depth file stopped the run after " + std::to_string(result.ticks) + " ticks: ",
        end.depth_error->display());
    return true;
  }
  if (end.mark_error) {
    raise_message(
        PyExc_ValueError,
        "the mark file stopped the run after " + std::to_string(result.ticks) + " ticks: ",
        end.mark_error->display());
    return true;
  }
  return false;
}

// Ticks recorded for another instrument would fill a venue's orders at
// another market's prices.  A list carries no instrument and is taken as
// the venue's.
// The venue a run trades on: the one given, with what a tick file says of
// its instrument.  A file for another instrument id is refused; a file that
// defines its sizes must agree with the venue's Instrument, or with a
// contract size written out; a venue given neither takes the file's
// definition, so that a file converted with a tick of 0.01 is not valued as
// if its tick were 0.1.
bool venue_of_input(const TickInput& input, const venue::VenueConfig& given,
                    venue::VenueConfig* out);

// The ticks of a run.  The venue's protocol also takes ticks as users hold
// them in columns: halvorn._tick_frames turns them into tick records, and
// the records are copied once into the run's series, as a list's ticks are.
bool resolve_input(const RunRequest& request, PyObject* ticks, TickInput* out);

// The ticks `input` holds: a series' length, a tick file's record count.
std::uint64_t length_of(const TickInput& input);

// The parts of the adapter that drives `strategy` with `batch`, by the
// protocol of the request.  False with the exception set when looking a
// hook up or resolving the progress argument raised.
bool adapter_parts(const RunRequest& request, PyObject* strategy, std::uint64_t batch,
                   std::uint64_t ticks, AdapterParts* out);

// Whether `strategy` is a venue.Compiled, which the venue's protocol runs
// without the interpreter.
bool is_compiled(const RunRequest& request, PyObject* strategy);

// Whether the request's options can be honoured by a compiled strategy;
// false with a ValueError naming the option when one cannot.
bool compiled_run_allowed(const RunRequest& request);

// The parts of the adapter of a compiled strategy: its function, its object
// and its state, held for the run.  False with the exception set.
bool compiled_parts(PyObject* compiled, std::uint64_t batch, CompiledParts* out);

// Hands the adapter's tags over, closes its progress bar and raises what
// stopped the run.  `ran` is whether the run itself got going.
bool finish_run(PyDriven& driven, bool ran, backtest::RunResult* out, const RunEnd& end);
bool finish_run(CompiledDriven& driven, bool ran, backtest::RunResult* out, const RunEnd& end);

}  // namespace halvorn::py
