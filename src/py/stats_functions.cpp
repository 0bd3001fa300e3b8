// The statistics functions: argument conversion, the pure step, and the
// translation of its outcome into a float, a tuple or a ValueError.

#include "py/stats_functions.hpp"

#include <string>
#include <vector>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/pure.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py {

namespace {

// The elements of `obj`, which must follow the sequence protocol and not be
// a str, in a tuple of our own: converting an element runs its __float__,
// which must not be able to change what is being walked.
Ref sequence_items(PyObject* obj, const char* arg, const char* expected) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", arg, expected,
                 Py_TYPE(obj)->tp_name);
    return Ref();
  }
  Ref items = frozen_items(obj);
  if (!items) {
    raise_from_current(PyExc_TypeError,
                       std::string("argument '") + arg + "': could not be read as a sequence");
  }
  return items;
}

bool to_f64_array(PyObject* obj, const char* arg, std::vector<double>* out) {
  Ref items = sequence_items(obj, arg, "a sequence of numbers");
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->clear();
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    double x = 0.0;
    if (!to_f64(PyTuple_GET_ITEM(items.get(), i), arg, &x)) return false;
    out->push_back(x);
  }
  return true;
}

bool to_f64_columns(PyObject* obj, const char* arg, std::vector<std::vector<double>>* out) {
  Ref items = sequence_items(obj, arg, "a sequence of sequences of numbers");
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->clear();
  out->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_f64_array(PyTuple_GET_ITEM(items.get(), i), arg, &(*out)[i])) return false;
  }
  return true;
}

// The outcome as a Python float, or ValueError with its text.
PyObject* float_or_raise(const pure::Outcome<double>& outcome) {
  if (const auto* text = std::get_if<std::string>(&outcome)) {
    PyErr_SetString(PyExc_ValueError, text->c_str());
    return nullptr;
  }
  return PyFloat_FromDouble(std::get<double>(outcome));
}

constexpr auto SHARPE_RATIO = signature("halvorn.sharpe_ratio", either("returns"));
constexpr auto MOMENTS = signature("halvorn.moments", either("returns"));
constexpr auto PROBABILISTIC_SHARPE_RATIO =
    signature("halvorn.probabilistic_sharpe_ratio", either("observed"), either("benchmark"),
              either("n_observations"), either("skewness"), either("kurtosis"));
constexpr auto DEFLATED_SHARPE_RATIO =
    signature("halvorn.deflated_sharpe_ratio", either("all_sharpes"), either("n_observations"),
              either("skewness"), either("kurtosis"));
constexpr auto PROBABILITY_OF_BACKTEST_OVERFITTING = signature(
    "halvorn.probability_of_backtest_overfitting", either("columns"), either("n_blocks", "16"));
constexpr auto MINIMUM_TRACK_RECORD_LENGTH =
    signature("halvorn.minimum_track_record_length", either("observed"), either("benchmark"),
              either("skewness"), either("kurtosis"), either("confidence", "0.95"));

template <class F>
PyObject* entry(PyObject* module, F&& body) {
  return guarded(state_of_module(module), std::forward<F>(body));
}

PyObject* sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    ArgumentsOf<SHARPE_RATIO> parsed;
    if (!parse<SHARPE_RATIO>(args, kwds, &parsed)) return nullptr;
    PyObject* returns_obj = parsed[0];
    std::vector<double> returns;
    if (!to_f64_array(returns_obj, "returns", &returns)) return nullptr;
    return float_or_raise(pure::sharpe_ratio(returns));
  });
}

PyObject* moments(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    ArgumentsOf<MOMENTS> parsed;
    if (!parse<MOMENTS>(args, kwds, &parsed)) return nullptr;
    PyObject* returns_obj = parsed[0];
    std::vector<double> returns;
    if (!to_f64_array(returns_obj, "returns", &returns)) return nullptr;
    const auto outcome = pure::moments(returns);
    if (const auto* text = std::get_if<std::string>(&outcome)) {
      PyErr_SetString(PyExc_ValueError, text->c_str());
      return nullptr;
    }
    const auto& m = std::get<pure::MomentsSummary>(outcome);
    return Py_BuildValue("(ddd)", m.sharpe, m.skewness, m.kurtosis);
  });
}

PyObject* probabilistic_sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    ArgumentsOf<PROBABILISTIC_SHARPE_RATIO> parsed;
    if (!parse<PROBABILISTIC_SHARPE_RATIO>(args, kwds, &parsed)) return nullptr;
    PyObject *observed_obj = parsed[0], *benchmark_obj = parsed[1], *n_obj = parsed[2],
             *skewness_obj = parsed[3], *kurtosis_obj = parsed[4];
    double observed = 0.0, benchmark = 0.0, skewness = 0.0, kurtosis = 0.0;
    std::uint64_t n_observations = 0;
    if (!to_f64(observed_obj, "observed", &observed) ||
        !to_f64(benchmark_obj, "benchmark", &benchmark) ||
        !to_u64(n_obj, "n_observations", &n_observations) ||
        !to_f64(skewness_obj, "skewness", &skewness) ||
        !to_f64(kurtosis_obj, "kurtosis", &kurtosis)) {
      return nullptr;
    }
    return float_or_raise(
        pure::probabilistic_sharpe_ratio(observed, benchmark, n_observations, skewness, kurtosis));
  });
}

PyObject* deflated_sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    ArgumentsOf<DEFLATED_SHARPE_RATIO> parsed;
    if (!parse<DEFLATED_SHARPE_RATIO>(args, kwds, &parsed)) return nullptr;
    PyObject *sharpes_obj = parsed[0], *n_obj = parsed[1], *skewness_obj = parsed[2],
             *kurtosis_obj = parsed[3];
    std::vector<double> all_sharpes;
    double skewness = 0.0, kurtosis = 0.0;
    std::uint64_t n_observations = 0;
    if (!to_f64_array(sharpes_obj, "all_sharpes", &all_sharpes) ||
        !to_u64(n_obj, "n_observations", &n_observations) ||
        !to_f64(skewness_obj, "skewness", &skewness) ||
        !to_f64(kurtosis_obj, "kurtosis", &kurtosis)) {
      return nullptr;
    }
    return float_or_raise(
        pure::deflated_sharpe_ratio(all_sharpes, n_observations, skewness, kurtosis));
  });
}

PyObject* probability_of_backtest_overfitting(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    ArgumentsOf<PROBABILITY_OF_BACKTEST_OVERFITTING> parsed;
    if (!parse<PROBABILITY_OF_BACKTEST_OVERFITTING>(args, kwds, &parsed)) return nullptr;
    PyObject *columns_obj = parsed[0], *n_blocks_obj = parsed[1];
    std::vector<std::vector<double>> columns;
    std::uint64_t n_blocks = 16;
    if (!to_f64_columns(columns_obj, "columns", &columns)) return nullptr;
    if (n_blocks_obj != nullptr && !to_u64(n_blocks_obj, "n_blocks", &n_blocks)) return nullptr;
    return float_or_raise(pure::probability_of_backtest_overfitting(columns, n_blocks));
  });
}

PyObject* minimum_track_record_length(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    ArgumentsOf<MINIMUM_TRACK_RECORD_LENGTH> parsed;
    if (!parse<MINIMUM_TRACK_RECORD_LENGTH>(args, kwds, &parsed)) return nullptr;
    PyObject *observed_obj = parsed[0], *benchmark_obj = parsed[1], *skewness_obj = parsed[2],
             *kurtosis_obj = parsed[3], *confidence_obj = parsed[4];
    double observed = 0.0, benchmark = 0.0, skewness = 0.0, kurtosis = 0.0;
    double confidence = 0.95;
    if (!to_f64(observed_obj, "observed", &observed) ||
        !to_f64(benchmark_obj, "benchmark", &benchmark) ||
        !to_f64(skewness_obj, "skewness", &skewness) ||
        !to_f64(kurtosis_obj, "kurtosis", &kurtosis) ||
        (confidence_obj != nullptr && !to_f64(confidence_obj, "confidence", &confidence))) {
      return nullptr;
    }
    return float_or_raise(
        pure::minimum_track_record_length(observed, benchmark, skewness, kurtosis, confidence));
  });
}

// The docstrings are the text signatures alone, which is what lets
// inspect.signature read them.
PyMethodDef functions[] = {
    function_def<SHARPE_RATIO>(sharpe_ratio, ""),
    function_def<MOMENTS>(moments, ""),
    function_def<PROBABILISTIC_SHARPE_RATIO>(probabilistic_sharpe_ratio, ""),
    function_def<DEFLATED_SHARPE_RATIO>(deflated_sharpe_ratio, ""),
    function_def<PROBABILITY_OF_BACKTEST_OVERFITTING>(probability_of_backtest_overfitting, ""),
    function_def<MINIMUM_TRACK_RECORD_LENGTH>(minimum_track_record_length, ""),
};

}  // namespace

int add_stats_functions(PyObject* module) { return add_functions(module, functions); }

}  // namespace halvorn::py
