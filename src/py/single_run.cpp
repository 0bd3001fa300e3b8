// A run of one instrument over one tick input: a series in memory or a tick
// file streamed, with the venue's depth file and marks (a file's or a
// frame's) merged in by time, driven by a Python strategy or a compiled
// one.  A dict of symbol to ticks is handed on to the portfolio's road.

#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "py/portfolio_run.hpp"
#include "py/pre_run_checks.hpp"
#include "py/run_files.hpp"
#include "py/run_path.hpp"
#include "py/run_steps.hpp"
#include "py/values.hpp"

namespace halvorn::py {

namespace {

// run_stream over `ticks`, with `depth` and the marks (a file's, or those
// held in memory when the request has them) merged in when there are any.
template <class Driven, class T>
backtest::RunResult run_over(const backtest::RunConfig& config, Driven& driven, T& ticks,
                             std::optional<data::StreamedDepth>& depth,
                             std::optional<data::StreamedMarks>& marks, const RunRequest& request) {
  auto with_marks = [&](auto& points) {
    if (depth) return backtest::run_until_failure(config, driven, ticks, *depth, points);
    backtest::NoDepth none;
    return backtest::run_until_failure(config, driven, ticks, none, points);
  };
  if (marks) {
    MarkPoints points{*marks};
    return with_marks(points);
  }
  if (request.marks_in_memory) {
    backtest::SpanMarks points{request.mark_points};
    return with_marks(points);
  }
  backtest::NoMarks none;
  return with_marks(none);
}

// Runs `driven` over `input` with the lock released and taken back after,
// with the records of the depth file `depth` (when not null) merged in by
// time.  The files are opened first, the lock given up while they may
// block; a failure to open raises "{path}: {error}".  A depth or mark
// file that fails part-way ends the run at the tick that reached the
// failure (backtest::run_until_failure); its error is raised at the end.
// Returns false with the exception set.
template <class Driven>
bool run_input(const backtest::RunConfig& config, Driven& driven, Gil& gil, const TickInput& input,
               backtest::RunResult* result, RunEnd* end, const RunRequest& request) {
  RunFiles files;
  if (!open_run_files(gil, driven.read_hooks(), driven.interrupt(), std::span(&input, 1),
                      std::span(&request.depth, 1), std::span(&request.marks, 1), &files)) {
    return false;
  }
  std::optional<data::StreamedDepth>& streamed = files.depth.front();
  std::optional<data::StreamedMarks>& marked = files.marks.front();
  if (const auto* series = std::get_if<TickArray>(&input)) {
    backtest::SpanTicks source{*series};
    driven.limit_series(series->size());
    run_unlocked(gil,
                 [&] { *result = run_over(config, driven, source, streamed, marked, request); });
  } else {
    data::StreamedTicks& source = *files.ticks.front();
    driven.limit_series(files.tick_records);
    run_unlocked(gil,
                 [&] { *result = run_over(config, driven, source, streamed, marked, request); });
    if (source.error()) end->reader_error = *source.error();
  }
  if (streamed && streamed->error()) end->depth_error = *streamed->error();
  if (marked && marked->error()) end->mark_error = *marked->error();
  return true;
}

// A run of a compiled strategy: the same road as a Python one, with the
// interpreter lock released from the first tick to the last.
bool run_compiled(const RunRequest& request, PyObject* compiled, const TickInput& input,
                  backtest::RunResult* out) {
  if (!compiled_run_allowed(request)) return false;
  CompiledParts parts;
  if (!compiled_parts(compiled, request.batch, &parts) ||
      !RunProgress::of(request.progress, length_of(input), &parts.progress)) {
    return false;
  }
  Gil gil;
  CompiledDriven driven(gil, std::move(parts));
  const backtest::RunConfig config =
      request.venue->run_config(request.balance, request.equity_every);
  RunEnd end;
  const bool ran = run_input(config, driven, gil, input, out, &end, request);
  return finish_run(driven, ran, out, end);
}

}  // namespace

bool run_strategy(const RunRequest& given, PyObject* strategy, PyObject* ticks,
                  backtest::RunResult* out, venue::VenueConfig* used,
                  std::vector<venue::InstrumentLeg>* legs) {
  const int portfolio = given.venue_protocol() ? is_portfolio(ticks) : 0;
  if (portfolio < 0) return false;
  if (portfolio > 0) return run_portfolio(given, strategy, ticks, out, used, legs);
  if (given.venues != nullptr || given.depths != nullptr || given.mark_files != nullptr) {
    const bool venues = given.venues != nullptr, depths = given.depths != nullptr;
    PyErr_Format(PyExc_TypeError,
                 "a dict of %s configures a portfolio, whose ticks are a dict of symbol to "
                 "ticks: give %s for one instrument's ticks",
                 venues   ? "venues"
                 : depths ? "depth files"
                          : "mark files",
                 venues   ? "venue=Venue(...)"
                 : depths ? "depth=DepthSource"
                          : "marks=MarkSource");
    return false;
  }
  const bool compiled = is_compiled(given, strategy);
  if (compiled ? given.batch == 0 : !check_cadence(strategy, given.batch, given.venue_protocol())) {
    if (compiled) check_cadence(strategy, 0, false);
    return false;
  }
  TickInput input;
  if (!resolve_input(given, ticks, &input)) return false;
  venue::VenueConfig venue;
  if (given.venue_protocol()) {
    if (!venue_of_input(input, *given.venue, &venue)) return false;
  } else {
    venue = *given.venue;
  }
  if (given.venue_protocol()) {
    if ((given.marks != nullptr &&
         !check_file_instrument("the mark file", given.marks->path.get(),
                                mark_file_definition(given.marks->fs_path), venue)) ||
        (given.depth != nullptr &&
         !check_file_instrument("the depth file", given.depth->path.get(),
                                depth_file_definition(given.depth->fs_path), venue)) ||
        !warn_before_run(input, venue, given.marks)) {
      return false;
    }
  }
  RunRequest request = given;
  request.venue = &venue;
  if (!given.wallets.empty()) {
    // A dict naming the one currency the instrument settles in is its amount.
    backtest::RunConfig config = venue.run_config(0, 0);
    if (!balances_for(given, &config)) return false;
    request.balance = config.balance;
    request.wallets.clear();
  }
  if (used != nullptr) *used = venue;
  if (compiled) return run_compiled(request, strategy, input, out);
  AdapterParts parts;
  if (!adapter_parts(request, strategy, request.batch, length_of(input), &parts)) return false;
  Gil gil;
  PyDriven driven(gil, Ref::borrow(strategy), strategy_name(strategy), std::move(parts));
  if (venue.definition) driven.set_symbol(venue.definition->symbol);
  const backtest::RunConfig config =
      request.venue->run_config(request.balance, request.equity_every);
  RunEnd end;
  const bool ran = run_input(config, driven, gil, input, out, &end, request);
  return finish_run(driven, ran, out, end);
}

}  // namespace halvorn::py
