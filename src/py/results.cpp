#include "py/results.hpp"

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/registry.hpp"

namespace halvorn::py {

// The Python objects of the three results.
using PyRunResult = Boxed<RunSummary>;
using PyModeComparison = Boxed<Comparison>;
using PyLookaheadReport = Boxed<Report>;

RunSummary RunSummary::of(backtest::RunResult&& r) {
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

namespace {

std::optional<std::uint64_t> first_difference(const std::vector<std::int64_t>& a,
                                              const std::vector<std::int64_t>& b) {
  const std::size_t shared = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < shared; ++i) {
    if (a[i] != b[i]) return i;
  }
  if (a.size() == b.size()) return std::nullopt;
  return shared;
}

}  // namespace

Comparison Comparison::of(std::uint64_t batch, const RunSummary& a, const RunSummary& b) {
  Comparison c;
  c.batch = batch;
  c.compat_fills = a.fills;
  c.batched_fills = b.fills;
  c.first_divergence = first_difference(a.fill_prices, b.fill_prices);
  // Two legal runs can end more than 64 bits of cash apart (a huge contract
  // size without margin enforcement); the difference then saturates, as
  // every other difference of money does, rather than failing the call.
  c.equity_difference = sub_sat(b.final_equity, a.final_equity);
  c.identical = !c.first_divergence && c.equity_difference == 0;
  return c;
}

Report Report::of(const backtest::LookaheadReport& report) {
  Report r;
  r.signals = report.signals;
  r.checked = report.checked;
  for (const backtest::Divergence& d : report.divergences) {
    r.divergences.emplace_back(d.checked_at, d.tick, d.exch_ts);
  }
  return r;
}

const RunSummary& run_summary_of(PyObject* obj) { return unbox<RunSummary>(obj); }

PyObject* int_list(const std::vector<std::int64_t>& values) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromLongLong(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

namespace {

PyObject* from_size(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* from_cash(std::int64_t v) { return PyLong_FromLongLong(v); }

// ---------------------------------------------------------------------------
// RunResult

#define RESULT_GETTER(NAME, CONVERT) \
  PyObject* run_result_##NAME(PyObject* self, void*) { return CONVERT(run_summary_of(self).NAME); }
RESULT_GETTER(ticks, from_size)
RESULT_GETTER(fills, from_size)
RESULT_GETTER(liquidations, from_size)
RESULT_GETTER(final_equity, from_cash)
RESULT_GETTER(min_equity, from_cash)
RESULT_GETTER(fees_paid, from_cash)
RESULT_GETTER(funding_paid, from_cash)
#undef RESULT_GETTER

PyObject* run_result_strategy(PyObject* self, void*) {
  return str_of(run_summary_of(self).strategy);
}
PyObject* run_result_fill_prices(PyObject* self, void*) {
  return int_list(run_summary_of(self).fill_prices);
}
PyObject* run_result_equity_curve(PyObject* self, void*) {
  return int_list(run_summary_of(self).equity_curve);
}

PyObject* run_result_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const RunSummary& r = run_summary_of(self);
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

}  // namespace

PyType_Spec run_result_spec = {"halvorn.RunResult", sizeof(PyRunResult), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, run_result_slots};

namespace {

// ---------------------------------------------------------------------------
// ModeComparison

PyObject* comparison_batch(PyObject* self, void*) {
  return from_size(unbox<Comparison>(self).batch);
}
PyObject* comparison_compat_fills(PyObject* self, void*) {
  return from_size(unbox<Comparison>(self).compat_fills);
}
PyObject* comparison_batched_fills(PyObject* self, void*) {
  return from_size(unbox<Comparison>(self).batched_fills);
}
PyObject* comparison_first_divergence(PyObject* self, void*) {
  const auto& d = unbox<Comparison>(self).first_divergence;
  if (!d) Py_RETURN_NONE;
  return from_size(*d);
}
PyObject* comparison_equity_difference(PyObject* self, void*) {
  return from_cash(unbox<Comparison>(self).equity_difference);
}
PyObject* comparison_identical(PyObject* self, void*) {
  return PyBool_FromLong(unbox<Comparison>(self).identical);
}

PyObject* comparison_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const Comparison& c = unbox<Comparison>(self);
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

}  // namespace

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

namespace {

PyType_Slot comparison_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Comparison>)},
    {Py_tp_repr, reinterpret_cast<void*>(comparison_repr)},
    {Py_tp_getset, comparison_getset},
    {Py_tp_doc, const_cast<char*>("What batching cost, measured on this strategy and this data.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec mode_comparison_spec = {"halvorn.ModeComparison", sizeof(PyModeComparison), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                    comparison_slots};

namespace {

// ---------------------------------------------------------------------------
// LookaheadReport

PyObject* report_signals(PyObject* self, void*) { return from_size(unbox<Report>(self).signals); }
PyObject* report_checked(PyObject* self, void*) { return from_size(unbox<Report>(self).checked); }
PyObject* report_clean(PyObject* self, void*) {
  return PyBool_FromLong(unbox<Report>(self).divergences.empty());
}
PyObject* report_sampled(PyObject* self, void*) {
  const Report& r = unbox<Report>(self);
  return PyBool_FromLong(r.checked < r.signals);
}
PyObject* report_divergences(PyObject* self, void*) {
  const Report& r = unbox<Report>(self);
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
  const Report& r = unbox<Report>(self);
  return PyUnicode_FromFormat(
      "LookaheadReport(signals=%llu, checked=%llu, clean=%s, divergences=%zu)",
      static_cast<unsigned long long>(r.signals), static_cast<unsigned long long>(r.checked),
      r.divergences.empty() ? "True" : "False", r.divergences.size());
}

}  // namespace

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

namespace {

PyType_Slot report_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Report>)},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_getset, report_getset},
    {Py_tp_doc, const_cast<char*>("What the lookahead check found. See `lookahead_check`.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec lookahead_report_spec = {"halvorn.LookaheadReport", sizeof(PyLookaheadReport), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, report_slots};

}  // namespace halvorn::py
