// run_backtest, compare_modes and lookahead_check, and the read-only classes
// they return: RunResult, ModeComparison and LookaheadReport.

#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "backtest/lookahead.hpp"
#include "backtest/run.hpp"
#include "data/ticks.hpp"
#include "py/boundary.hpp"
#include "py/convert.hpp"
#include "py/driven.hpp"
#include "py/tier.hpp"
#include "py/tier_run.hpp"

namespace halvorn::py {

namespace {

// C++ members inside a Python object: constructed in place after allocation,
// destroyed in dealloc.
template <class T>
struct Boxed {
  PyObject ob_base;
  T data;
};

template <class T>
PyObject* new_boxed(PyTypeObject* type, T data) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<Boxed<T>*>(obj)->data) T(std::move(data));
  return obj;
}

template <class T>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Boxed<T>*>(self)->data.~T();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class T>
const T& data_of(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->data;
}

template <class Int>
PyObject* list_of(const std::vector<Int>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromLongLong(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* from_size(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* from_cash(std::int64_t v) { return PyLong_FromLongLong(v); }

// ---------------------------------------------------------------------------
// RunResult

#define RESULT_GETTER(NAME, CONVERT)                   \
  PyObject* run_result_##NAME(PyObject* self, void*) { \
    return CONVERT(data_of<RunSummary>(self).NAME);    \
  }
RESULT_GETTER(ticks, from_size)
RESULT_GETTER(fills, from_size)
RESULT_GETTER(liquidations, from_size)
RESULT_GETTER(final_equity, from_cash)
RESULT_GETTER(min_equity, from_cash)
RESULT_GETTER(fees_paid, from_cash)
RESULT_GETTER(funding_paid, from_cash)
#undef RESULT_GETTER

PyObject* run_result_strategy(PyObject* self, void*) {
  const std::string& name = data_of<RunSummary>(self).strategy;
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}
PyObject* run_result_fill_prices(PyObject* self, void*) {
  return list_of(data_of<RunSummary>(self).fill_prices);
}
PyObject* run_result_equity_curve(PyObject* self, void*) {
  return list_of(data_of<RunSummary>(self).equity_curve);
}

PyObject* run_result_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const RunSummary& r = data_of<RunSummary>(self);
    std::string text = "RunResult(strategy=" + quote_escaped_utf8(r.strategy) +
                       ", ticks=" + std::to_string(r.ticks) + ", fills=" + std::to_string(r.fills) +
                       ", final_equity=" + std::to_string(r.final_equity);
    if (r.liquidations != 0) text += ", LIQUIDATED " + std::to_string(r.liquidations) + "x";
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef run_result_getset[] = {
    {"strategy", run_result_strategy, nullptr, "The strategy's name.", nullptr},
    {"ticks", run_result_ticks, nullptr, "Observations processed.", nullptr},
    {"fills", run_result_fills, nullptr, "Fills the strategy received.", nullptr},
    {"liquidations", run_result_liquidations, nullptr, "Times the venue closed the account.",
     nullptr},
    {"final_equity", run_result_final_equity, nullptr,
     "Equity at the end, in the cash unit's smallest denomination.", nullptr},
    {"min_equity", run_result_min_equity, nullptr, "The lowest equity the account showed.",
     nullptr},
    {"fees_paid", run_result_fees_paid, nullptr, "Fees paid.", nullptr},
    {"funding_paid", run_result_funding_paid, nullptr, "Funding paid.", nullptr},
    {"fill_prices", run_result_fill_prices, nullptr,
     "Prices of every fill, in order, in ticks.\n\n"
     "Carried so two runs can be compared exactly rather than through\n"
     "their totals, which can agree while the runs did not.",
     nullptr},
    {"equity_curve", run_result_equity_curve, nullptr,
     "Equity samples, in the cash unit's smallest denomination.\n\n"
     "The starting balance followed by the equity after every\n"
     "`equity_every`-th tick; empty when `equity_every` was 0. A new list\n"
     "on every read, ready to turn into returns for the statistics.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot run_result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<RunSummary>)},
    {Py_tp_repr, reinterpret_cast<void*>(run_result_repr)},
    {Py_tp_getset, run_result_getset},
    {Py_tp_doc, const_cast<char*>("What a run produced.")},
    {0, nullptr},
};

PyType_Spec run_result_spec = {"halvorn.RunResult", sizeof(Boxed<RunSummary>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, run_result_slots};

// ---------------------------------------------------------------------------
// ModeComparison

struct Comparison {
  std::uint64_t batch = 0;
  std::uint64_t compat_fills = 0;
  std::uint64_t batched_fills = 0;
  std::optional<std::uint64_t> first_divergence;
  std::int64_t equity_difference = 0;
  bool identical = false;
};

PyObject* comparison_batch(PyObject* self, void*) {
  return from_size(data_of<Comparison>(self).batch);
}
PyObject* comparison_compat_fills(PyObject* self, void*) {
  return from_size(data_of<Comparison>(self).compat_fills);
}
PyObject* comparison_batched_fills(PyObject* self, void*) {
  return from_size(data_of<Comparison>(self).batched_fills);
}
PyObject* comparison_first_divergence(PyObject* self, void*) {
  const auto& d = data_of<Comparison>(self).first_divergence;
  if (!d) Py_RETURN_NONE;
  return from_size(*d);
}
PyObject* comparison_equity_difference(PyObject* self, void*) {
  return from_cash(data_of<Comparison>(self).equity_difference);
}
PyObject* comparison_identical(PyObject* self, void*) {
  return PyBool_FromLong(data_of<Comparison>(self).identical);
}

PyObject* comparison_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const Comparison& c = data_of<Comparison>(self);
    std::string text = "ModeComparison(batch=" + std::to_string(c.batch);
    if (c.identical) {
      text += ", identical)";
    } else {
      text +=
          ", fills " + std::to_string(c.compat_fills) + " vs " + std::to_string(c.batched_fills);
      text += ", first divergence ";
      text += c.first_divergence ? "Some(" + std::to_string(*c.first_divergence) + ")" : "None";
      text += ", equity ";
      if (c.equity_difference >= 0) text += "+";
      text += std::to_string(c.equity_difference) + ")";
    }
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef comparison_getset[] = {
    {"batch", comparison_batch, nullptr, "Batch size the throughput run used.", nullptr},
    {"compat_fills", comparison_compat_fills, nullptr, "Fills in the per-tick run.", nullptr},
    {"batched_fills", comparison_batched_fills, nullptr, "Fills in the batched run.", nullptr},
    {"first_divergence", comparison_first_divergence, nullptr,
     "Index of the first fill whose price differs, or `None` when every\nfill matched.", nullptr},
    {"equity_difference", comparison_equity_difference, nullptr,
     "Difference in final equity, batched minus per-tick.", nullptr},
    {"identical", comparison_identical, nullptr, "Whether the two runs are indistinguishable.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot comparison_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Comparison>)},
    {Py_tp_repr, reinterpret_cast<void*>(comparison_repr)},
    {Py_tp_getset, comparison_getset},
    {Py_tp_doc, const_cast<char*>("What batching cost, measured on this strategy and this data.")},
    {0, nullptr},
};

PyType_Spec comparison_spec = {"halvorn.ModeComparison", sizeof(Boxed<Comparison>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, comparison_slots};

// ---------------------------------------------------------------------------
// LookaheadReport

struct Report {
  std::uint64_t signals = 0;
  std::uint64_t checked = 0;
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::int64_t>> divergences;
};

PyObject* report_signals(PyObject* self, void*) { return from_size(data_of<Report>(self).signals); }
PyObject* report_checked(PyObject* self, void*) { return from_size(data_of<Report>(self).checked); }
PyObject* report_clean(PyObject* self, void*) {
  return PyBool_FromLong(data_of<Report>(self).divergences.empty());
}
PyObject* report_sampled(PyObject* self, void*) {
  const Report& r = data_of<Report>(self);
  return PyBool_FromLong(r.checked < r.signals);
}
PyObject* report_divergences(PyObject* self, void*) {
  const Report& r = data_of<Report>(self);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(r.divergences.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < r.divergences.size(); ++i) {
    const auto& [checked_at, tick, exch_ts] = r.divergences[i];
    PyObject* item =
        Py_BuildValue("(KKL)", static_cast<unsigned long long>(checked_at),
                      static_cast<unsigned long long>(tick), static_cast<long long>(exch_ts));
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* report_repr(PyObject* self) {
  const Report& r = data_of<Report>(self);
  return PyUnicode_FromFormat(
      "LookaheadReport(signals=%llu, checked=%llu, clean=%s, divergences=%zu)",
      static_cast<unsigned long long>(r.signals), static_cast<unsigned long long>(r.checked),
      r.divergences.empty() ? "True" : "False", r.divergences.size());
}

PyGetSetDef report_getset[] = {
    {"signals", report_signals, nullptr, "Ticks on which the full run sent any order.", nullptr},
    {"checked", report_checked, nullptr, "How many of those were rerun on a prefix.", nullptr},
    {"clean", report_clean, nullptr, "No rerun decided differently.", nullptr},
    {"sampled", report_sampled, nullptr,
     "Fewer points were rerun than there were signals, so a clean\n"
     "result covers a sample of them.",
     nullptr},
    {"divergences", report_divergences, nullptr,
     "Each disagreement as `(checked_at, tick, exch_ts)`: the prefix\n"
     "that disagreed, the first tick it disagreed on, and that tick's\n"
     "time.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot report_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Report>)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_getset, report_getset},
    {Py_tp_doc, const_cast<char*>("What the lookahead check found. See `lookahead_check`.")},
    {0, nullptr},
};

PyType_Spec report_spec = {"halvorn.LookaheadReport", sizeof(Boxed<Report>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, report_slots};

// ---------------------------------------------------------------------------
// Running

// Every run started from Python: L0, the example tier table, no funding, no
// fees, instrument 1, net mode, no margin statistics.
backtest::RunConfig make_config(std::int64_t balance, bool enforce_margin,
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

// Runs `body` with the interpreter lock released.  A C++ exception thrown
// while unlocked is carried back and rethrown once the lock is held again, so
// that the boundary raises it as the matching Python exception.
template <class F>
void run_unlocked(F&& body) {
  std::exception_ptr error;
  {
    Unlocked unlocked;
    try {
      body();
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
}

// The same for a run of one adapter, which may still hold the lock when the
// engine stops early with an exception.
template <class F>
void run_unlocked(PyDriven& driven, F&& body) {
  run_unlocked([&] {
    struct GiveBack {
      PyDriven& driven;
      ~GiveBack() { driven.release_lock(); }
    } give_back{driven};
    body();
  });
}

RunSummary summarize(backtest::RunResult&& r) {
  RunSummary s;
  s.strategy = std::move(r.strategy);
  s.ticks = r.ticks;
  s.fills = r.fills.size();
  s.liquidations = r.liquidations.size();
  s.final_equity = r.final_equity;
  s.min_equity = r.min_equity;
  s.fees_paid = r.fees_paid;
  s.funding_paid = r.funding_paid;
  s.fill_prices.reserve(r.fills.size());
  for (const Fill& f : r.fills) s.fill_prices.push_back(f.price);
  s.equity_curve = std::move(r.equity_curve);
  return s;
}

// Whether `object` has `method` (hasattr): an AttributeError means no; any
// other exception propagates.  Returns -1 with the exception set.
int has_method(PyObject* object, const char* method) {
  Ref attribute = Ref::steal(PyObject_GetAttrString(object, method));
  if (attribute) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

}  // namespace

bool resolve_ticks(ModuleState* st, PyObject* ticks, TickInput* out) {
  if (is_tick_source(st, ticks)) {
    *out = tick_source_path(ticks);
    return true;
  }
  TickArray series;
  if (!ticks_from(st, ticks, &series)) return false;
  *out = std::move(series);
  return true;
}

bool run_input(const backtest::RunConfig& config, PyDriven& driven, const TickInput& input,
               backtest::RunResult* result, std::optional<std::string>* reader_error) {
  if (const auto* series = std::get_if<TickArray>(&input)) {
    backtest::SpanTicks source{*series};
    driven.limit_series(series->size());
    run_unlocked(driven, [&] { *result = backtest::run_stream(config, driven, source); });
    return true;
  }
  const std::string& path = std::get<std::string>(input);
  data::Opened opened = data::TickReader::open(path);
  if (const auto* error = std::get_if<data::Error>(&opened)) {
    PyErr_Format(PyExc_ValueError, "%s: %s", path.c_str(), error->display().c_str());
    return false;
  }
  driven.limit_series(std::get<data::TickReader>(opened).count());
  data::StreamedTicks source(std::move(std::get<data::TickReader>(opened)));
  run_unlocked(driven, [&] { *result = backtest::run_stream(config, driven, source); });
  if (source.error()) *reader_error = source.error()->display();
  return true;
}

PyObject* run_backtest_impl(ModuleState* st, PyObject* strategy, PyObject* ticks,
                            std::int64_t balance, std::uint64_t batch, bool enforce_margin,
                            std::uint64_t equity_every, std::int64_t contract_size) {
  if (batch == 0) {
    PyErr_SetString(PyExc_ValueError, "batch must be at least 1; 1 is compatibility mode");
    return nullptr;
  }
  const char* method = batch == 1 ? "on_tick" : "on_batch";
  int has = has_method(strategy, method);
  if (has < 0) return nullptr;
  if (has == 0) {
    PyErr_Format(PyExc_TypeError, "a strategy run with batch=%llu must implement %s()",
                 static_cast<unsigned long long>(batch), method);
    return nullptr;
  }
  TickInput input;
  if (!resolve_ticks(st, ticks, &input)) return nullptr;

  PyDriven driven(st, Ref::borrow(strategy), strategy_name(strategy), batch);
  const backtest::RunConfig config =
      make_config(balance, enforce_margin, equity_every, contract_size);
  backtest::RunResult result;
  std::optional<std::string> reader_error;
  if (!run_input(config, driven, input, &result, &reader_error)) return nullptr;

  if (driven.interrupt()) {
    driven.interrupt().restore();
    return nullptr;
  }
  if (driven.failure()) {
    PyErr_Format(PyExc_ValueError, "the strategy failed during the run: %s",
                 driven.failure()->c_str());
    return nullptr;
  }
  if (reader_error) {
    PyErr_Format(PyExc_ValueError, "the tick file stopped the run after %zu ticks: %s",
                 result.ticks, reader_error->c_str());
    return nullptr;
  }
  return new_boxed(st->run_result_type, summarize(std::move(result)));
}

const RunSummary& run_summary_of(PyObject* run_result) { return data_of<RunSummary>(run_result); }

namespace {

PyObject* run_backtest(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"strategy",       "ticks",        "balance",       "batch",
                                   "enforce_margin", "equity_every", "contract_size", nullptr};
    PyObject *strategy, *ticks, *balance_obj, *batch_obj = nullptr, *enforce_obj = nullptr,
                                              *every_obj = nullptr, *size_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|OOOO:run_backtest",
                                     const_cast<char**>(kwlist), &strategy, &ticks, &balance_obj,
                                     &batch_obj, &enforce_obj, &every_obj, &size_obj)) {
      return nullptr;
    }
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

std::optional<std::uint64_t> first_divergence(const std::vector<std::int64_t>& a,
                                              const std::vector<std::int64_t>& b) {
  const std::size_t shared = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < shared; ++i) {
    if (a[i] != b[i]) return i;
  }
  if (a.size() == b.size()) return std::nullopt;
  return shared;
}

PyObject* compare_modes(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"build",          "ticks",         "balance", "batch",
                                   "enforce_margin", "contract_size", nullptr};
    PyObject *build, *ticks, *balance_obj, *batch_obj, *enforce_obj = nullptr, *size_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|OO:compare_modes",
                                     const_cast<char**>(kwlist), &build, &ticks, &balance_obj,
                                     &batch_obj, &enforce_obj, &size_obj)) {
      return nullptr;
    }
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

    const RunSummary& a = run_summary_of(r1.get());
    const RunSummary& b = run_summary_of(r2.get());
    Comparison c;
    c.batch = batch;
    c.compat_fills = a.fills;
    c.batched_fills = b.fills;
    c.first_divergence = first_divergence(a.fill_prices, b.fill_prices);
    c.equity_difference =
        sub_checked(b.final_equity, a.final_equity, "equity difference overflows");
    c.identical = !c.first_divergence && c.equity_difference == 0;
    return new_boxed(st->mode_comparison_type, std::move(c));
  });
}

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"build",          "ticks",         "balance", "max_points",
                                   "enforce_margin", "contract_size", nullptr};
    PyObject *build, *ticks_obj, *balance_obj, *points_obj = nullptr, *enforce_obj = nullptr,
                                               *size_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|OOO:lookahead_check",
                                     const_cast<char**>(kwlist), &build, &ticks_obj, &balance_obj,
                                     &points_obj, &enforce_obj, &size_obj)) {
      return nullptr;
    }
    std::int64_t balance = 0, contract_size = 10'000;
    std::uint64_t max_points = 200;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance)) return nullptr;
    if (points_obj && !to_u64(points_obj, "max_points", &max_points)) return nullptr;
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;

    TickArray ticks;
    if (!ticks_from(st, ticks_obj, &ticks)) return nullptr;
    const backtest::RunConfig config = make_config(balance, enforce_margin, 0, contract_size);
    auto shared = std::make_shared<SharedFailure>();

    // Called by the check with the lock released: takes it for the build.
    auto build_step = [&](std::size_t k) -> PyDriven {
      Locked lock;
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(k)));
      for (std::size_t i = 0; list && i < k; ++i) {
        PyObject* tick = new_tick(st, ticks[i]);
        if (tick == nullptr) {
          list = Ref();
          break;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tick);
      }
      Ref object = list ? Ref::steal(PyObject_CallOneArg(build, list.get())) : Ref();
      if (!object) {
        PyDriven failed(st, Ref::borrow(Py_None), std::string(), 1, shared);
        failed.record_current_exception("build raised: ");
        return failed;
      }
      std::string name = strategy_name(object.get());
      return PyDriven(st, std::move(object), std::move(name), 1, shared);
    };

    backtest::LookaheadReport report;
    run_unlocked([&] {
      report = backtest::lookahead(config, build_step, ticks, static_cast<std::size_t>(max_points));
    });

    if (shared->interrupt) {
      shared->interrupt.restore();
      return nullptr;
    }
    if (shared->message) {
      PyErr_Format(PyExc_ValueError, "the strategy failed during the check: %s",
                   shared->message->c_str());
      return nullptr;
    }
    Report r;
    r.signals = report.signals;
    r.checked = report.checked;
    for (const backtest::Divergence& d : report.divergences) {
      r.divergences.emplace_back(d.checked_at, d.tick, d.exch_ts);
    }
    return new_boxed(st->lookahead_report_type, std::move(r));
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

PyMethodDef run_functions[] = {
    {"run_backtest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_backtest)),
     METH_VARARGS | METH_KEYWORDS, run_backtest_doc},
    {"compare_modes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compare_modes)),
     METH_VARARGS | METH_KEYWORDS, compare_modes_doc},
    {"lookahead_check",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lookahead_check)),
     METH_VARARGS | METH_KEYWORDS, lookahead_check_doc},
};

}  // namespace

PyObject* create_run_result_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &run_result_spec, nullptr);
}
PyObject* create_mode_comparison_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &comparison_spec, nullptr);
}
PyObject* create_lookahead_report_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &report_spec, nullptr);
}

int add_run_functions(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  for (PyMethodDef& def : run_functions) {
    if (add_to_module(module, def.ml_name, PyCFunction_NewEx(&def, module, name.get())) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace halvorn::py
