#include "py/run_functions.hpp"

#include <memory>
#include <string>
#include <utility>

#include "backtest/lookahead.hpp"
#include "data/depth_reader.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/argument_conversion.hpp"
#include "py/registry.hpp"
#include "py/results.hpp"

namespace halvorn::py {

backtest::RunConfig specified_config(std::int64_t balance, bool enforce_margin,
                                     std::uint64_t equity_every, std::int64_t contract_size) {
  backtest::RunConfig config;
  config.tier = core::Tier{};
  config.margin_tiers = margin::TierTable::example_btcusdt();
  config.equity_every = static_cast<std::size_t>(equity_every);
  config.contract_size = contract_size;
  config.balance = units_to_cash(balance);
  config.instrument = InstrumentId{1};
  config.enforce_margin = enforce_margin;
  return config;
}

namespace {

// A tick source that ends once the depth stream has failed.
template <backtest::InPlaceSource T>
struct UntilDepthFails {
  T& ticks;
  const data::StreamedDepth& depth;

  bool next(engine::Tick& out) { return !depth.error() && ticks.next(out); }
  const engine::Tick* next_in_place() { return depth.error() ? nullptr : ticks.next_in_place(); }
  std::size_t in_place() const { return depth.error() ? 0 : ticks.in_place(); }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return ticks.peek_in_place(depth.error() ? 0 : n);
  }
  void skip_in_place(std::size_t k) { ticks.skip_in_place(k); }
};

// run_stream over `ticks`, with `depth` merged in when there is one.
template <class T>
backtest::RunResult run_over(const backtest::RunConfig& config, PyDriven& driven, T& ticks,
                             std::optional<data::StreamedDepth>& depth) {
  if (!depth) return backtest::run_stream(config, driven, ticks);
  UntilDepthFails<T> until{ticks, *depth};
  return backtest::run_stream(config, driven, until, *depth);
}

}  // namespace

bool run_input(const backtest::RunConfig& config, PyDriven& driven, Gil& gil,
               const TickInput& input, backtest::RunResult* result, RunEnd* end,
               const market_data::DepthSourceData* depth) {
  std::optional<data::StreamedDepth> streamed;
  if (depth != nullptr) {
    std::optional<data::DepthOpened> opened;
    run_unlocked(gil, [&] { opened = data::DepthReader::open(depth->fs_path); });
    if (const auto* error = std::get_if<data::DepthError>(&*opened)) {
      market_data::raise_depth_file_error(*depth, *error);
      return false;
    }
    streamed.emplace(std::move(std::get<data::DepthReader>(*opened)));
  }
  if (const auto* series = std::get_if<TickArray>(&input)) {
    backtest::SpanTicks source{*series};
    driven.limit_series(series->size());
    run_unlocked(gil, [&] { *result = run_over(config, driven, source, streamed); });
  } else {
    const TickSourceData& file = *std::get<const TickSourceData*>(input);
    std::optional<data::StreamedTicks> source;
    run_unlocked(gil, [&] {
      data::Opened opened = data::TickReader::open(file.fs_path, driven.read_hooks());
      if (auto* reader = std::get_if<data::TickReader>(&opened)) {
        driven.limit_series(reader->count());
        source.emplace(std::move(*reader));
        *result = run_over(config, driven, *source, streamed);
      } else if (auto* error = std::get_if<data::Error>(&opened)) {
        end->reader_error = *error;
      }
    });
    if (!source) {
      // The file did not open: no strategy method has been called.  An
      // interruption while it opened is the adapter's to raise.
      if (driven.interrupt()) {
        driven.interrupt().restore();
      } else {
        raise_tick_file_error(file, *end->reader_error);
      }
      return false;
    }
    if (source->error()) end->reader_error = *source->error();
  }
  if (streamed && streamed->error()) end->depth_error = *streamed->error();
  return true;
}

bool check_cadence(PyObject* strategy, std::uint64_t batch, bool columns) {
  if (batch == 0) {
    PyErr_SetString(PyExc_ValueError, "batch must be at least 1; 1 is compatibility mode");
    return false;
  }
  const char* method = batch == 1 ? "on_tick" : "on_batch";
  int has = has_attribute(strategy, method);
  if (has == 0 && batch > 1 && columns) has = has_attribute(strategy, "on_columns");
  if (has < 0) return false;
  if (has == 0) {
    PyErr_Format(PyExc_TypeError, "a strategy run with batch=%llu must implement %s()%s",
                 static_cast<unsigned long long>(batch), method,
                 batch > 1 && columns ? " or on_columns()" : "");
    return false;
  }
  return true;
}

bool raise_run_end(PyDriven& driven, const backtest::RunResult& result, const RunEnd& end) {
  if (driven.interrupt()) {
    driven.interrupt().restore();
    return true;
  }
  if (driven.failure()) {
    driven.raise_failure("the strategy failed during the run: ");
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
  return false;
}

PyObject* check_lookahead(ModuleState* st, PyObject* build, const TickArray& ticks,
                          const backtest::RunConfig& config, std::size_t max_points,
                          const ProtocolFor& protocol_for) {
  auto shared = std::make_shared<SharedFailure>();
  Gil gil;

  // Called by the check with the lock released: takes it for the build.
  auto build_step = [&](std::size_t k) -> PyDriven {
    Locked lock(gil);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(k)));
    for (std::size_t i = 0; list && i < k; ++i) {
      PyObject* tick = new_tick(st, ticks[i]);
      if (tick == nullptr) {
        list = Ref();
        break;
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tick);
    }
    Ref object =
        list ? Ref::steal(python([&] { return PyObject_CallOneArg(build, list.get()); })) : Ref();
    std::shared_ptr<const VenueProtocol> protocol;
    if (!object || !protocol_for(object.get(), &protocol)) {
      PyDriven failed(st, gil, Ref::borrow(Py_None), std::string(), 1, shared);
      failed.record_current_exception("build raised: ");
      return failed;
    }
    std::string name = strategy_name(object.get());
    return PyDriven(st, gil, std::move(object), std::move(name), 1, shared, std::move(protocol));
  };

  backtest::LookaheadReport report;
  run_unlocked(gil, [&] { report = backtest::lookahead(config, build_step, ticks, max_points); });
  if (shared->interrupt) {
    shared->interrupt.restore();
    return nullptr;
  }
  if (shared->message) {
    raise_message(PyExc_ValueError, "the strategy failed during the check: ", *shared->message);
    return nullptr;
  }
  return box(st->lookahead_report_type, Report::of(report));
}

namespace {

// run_backtest after argument conversion: a new RunResult, or null with the
// exception set.
PyObject* run_backtest_impl(ModuleState* st, PyObject* strategy, PyObject* ticks,
                            std::int64_t balance, std::uint64_t batch, bool enforce_margin,
                            std::uint64_t equity_every, std::int64_t contract_size) {
  if (!check_cadence(strategy, batch)) return nullptr;
  TickInput input;
  if (!resolve_ticks(st, ticks, &input)) return nullptr;

  Gil gil;
  PyDriven driven(st, gil, Ref::borrow(strategy), strategy_name(strategy), batch);
  const backtest::RunConfig config =
      specified_config(balance, enforce_margin, equity_every, contract_size);
  backtest::RunResult result;
  RunEnd end;
  if (!run_input(config, driven, gil, input, &result, &end)) return nullptr;
  if (raise_run_end(driven, result, end)) return nullptr;
  return box(st->run_result_type, RunSummary::of(std::move(result)));
}

PyObject* run_backtest(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"strategy",       "ticks",        "balance",       "batch",
                                   "enforce_margin", "equity_every", "contract_size", nullptr};
    Arguments<7> parsed;
    if (!parse_arguments(args, kwds, "OOO|OOOO:run_backtest", kwlist, &parsed)) return nullptr;
    PyObject *strategy = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *batch_obj = parsed[3], *enforce_obj = parsed[4], *every_obj = parsed[5],
             *size_obj = parsed[6];
    std::int64_t balance = 0, contract_size = 10'000;
    std::uint64_t batch = 1, equity_every = 0;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance)) return nullptr;
    if (batch_obj && !to_u64(batch_obj, "batch", &batch)) return nullptr;
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (every_obj && !to_u64(every_obj, "equity_every", &equity_every)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;
    return run_backtest_impl(st, strategy, ticks, balance, batch, enforce_margin, equity_every,
                             contract_size);
  });
}

PyObject* compare_modes(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"build",          "ticks",         "balance", "batch",
                                   "enforce_margin", "contract_size", nullptr};
    Arguments<6> parsed;
    if (!parse_arguments(args, kwds, "OOOO|OO:compare_modes", kwlist, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *batch_obj = parsed[3], *enforce_obj = parsed[4], *size_obj = parsed[5];
    std::int64_t balance = 0, contract_size = 10'000;
    std::uint64_t batch = 0;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance) || !to_u64(batch_obj, "batch", &batch)) {
      return nullptr;
    }
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;

    Ref s1 = Ref::steal(PyObject_CallNoArgs(build));
    if (!s1) return nullptr;
    Ref r1 = Ref::steal(
        run_backtest_impl(st, s1.get(), ticks, balance, 1, enforce_margin, 0, contract_size));
    if (!r1) return nullptr;
    Ref s2 = Ref::steal(PyObject_CallNoArgs(build));
    if (!s2) return nullptr;
    Ref r2 = Ref::steal(
        run_backtest_impl(st, s2.get(), ticks, balance, batch, enforce_margin, 0, contract_size));
    if (!r2) return nullptr;
    return box(st->mode_comparison_type,
               Comparison::of(batch, run_summary_of(r1.get()), run_summary_of(r2.get())));
  });
}

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"build",          "ticks",         "balance", "max_points",
                                   "enforce_margin", "contract_size", nullptr};
    Arguments<6> parsed;
    if (!parse_arguments(args, kwds, "OOO|OOO:lookahead_check", kwlist, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks_obj = parsed[1], *balance_obj = parsed[2],
             *points_obj = parsed[3], *enforce_obj = parsed[4], *size_obj = parsed[5];
    std::int64_t balance = 0, contract_size = 10'000;
    std::uint64_t max_points = 200;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance)) return nullptr;
    if (points_obj && !to_u64(points_obj, "max_points", &max_points)) return nullptr;
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;

    TickArray ticks;
    if (!ticks_from(st, ticks_obj, &ticks)) return nullptr;
    const backtest::RunConfig config = specified_config(balance, enforce_margin, 0, contract_size);
    return check_lookahead(st, build, ticks, config, static_cast<std::size_t>(max_points),
                           [](PyObject*, std::shared_ptr<const VenueProtocol>*) { return true; });
  });
}

const char run_backtest_doc[] =
    "run_backtest(strategy, ticks, balance, batch=1, enforce_margin=True, equity_every=0, "
    "contract_size=10000)\n--\n\n"
    "Run a Python strategy over a tick series.\n\n"
    "`balance` is in whole currency units \u2014 100_000 means a hundred\n"
    "thousand USDT \u2014 not in the internal fixed-point representation. The\n"
    "internal one is exposed as `CASH_SCALE` for converting the integers\n"
    "this returns, but is not what any argument takes: a balance argument\n"
    "that silently meant one hundred-millionth of what the caller intended\n"
    "produced a run liquidated on its first trade, and the numbers looked\n"
    "plausible.\n\n"
    "`contract_size` is how much of the underlying one lot is, at the same\n"
    "scale. It has a default so a first run works, and it is an argument\n"
    "because no default is right for a second one.\n\n"
    "`batch` selects the mode: `1` (the default) is compatibility mode,\n"
    "one call per tick, and anything larger is throughput mode. See the\n"
    "module documentation for what batching costs.\n\n"
    "# Errors\n\n"
    "Propagates whatever the strategy raised, and refuses a strategy that\n"
    "does not implement the method its cadence requires.";

const char compare_modes_doc[] =
    "compare_modes(build, ticks, balance, batch, enforce_margin=True, contract_size=10000)\n--\n\n"
    "Run one strategy both ways over the same ticks and report what\n"
    "batching changed.\n\n"
    "`build` is called twice \u2014 once per mode \u2014 because a strategy carries\n"
    "state and reusing one instance would make the second run depend on\n"
    "the first. Pass the class itself, or any zero-argument callable.\n\n"
    "# Errors\n\n"
    "Propagates whatever either run raised.";

const char lookahead_check_doc[] =
    "lookahead_check(build, ticks, balance, max_points=200, enforce_margin=True, "
    "contract_size=10000)\n--\n\n"
    "Whether a strategy decides from the past alone.\n\n"
    "`build` is called with a list of the ticks the strategy may know\n"
    "about and returns a strategy object \u2014 once with all of `ticks`, then\n"
    "once per checked point with the ticks up to that point. A strategy\n"
    "that fits anything to its data has to fit it to what it is given\n"
    "here; one built from the whole window sends different orders on a\n"
    "prefix than on all of it, and each point where it does is reported.\n\n"
    "Compatibility mode only: batching delays decisions by design, and\n"
    "that delay is not the thing this looks for.\n\n"
    "# Errors\n\n"
    "Whatever `build` or the strategy raised, in any of the runs.";

}  // namespace

PyMethodDef run_functions[3] = {
    {"run_backtest", as_cfunction(run_backtest), METH_VARARGS | METH_KEYWORDS, run_backtest_doc},
    {"compare_modes", as_cfunction(compare_modes), METH_VARARGS | METH_KEYWORDS, compare_modes_doc},
    {"lookahead_check", as_cfunction(lookahead_check), METH_VARARGS | METH_KEYWORDS,
     lookahead_check_doc},
};

}  // namespace halvorn::py
