// The statistics functions: argument conversion, the pure step, and the
// translation of its outcome into a float, a tuple or a ValueError.

#include "py/stats_functions.hpp"

#include <string>
#include <vector>

#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/pure.hpp"
#include "py/registry.hpp"

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

template <class F>
PyObject* entry(PyObject* module, F&& body) {
  return guarded(state_of_module(module), std::forward<F>(body));
}

PyObject* sharpe_ratio(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    static const char* kwlist[] = {"returns", nullptr};
    Arguments<1> parsed;
    if (!parse_arguments(args, kwds, "O:sharpe_ratio", kwlist, &parsed)) return nullptr;
    PyObject* returns_obj = parsed[0];
    std::vector<double> returns;
    if (!to_f64_array(returns_obj, "returns", &returns)) return nullptr;
    return float_or_raise(pure::sharpe_ratio(returns));
  });
}

PyObject* moments(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    static const char* kwlist[] = {"returns", nullptr};
    Arguments<1> parsed;
    if (!parse_arguments(args, kwds, "O:moments", kwlist, &parsed)) return nullptr;
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
    static const char* kwlist[] = {"observed", "benchmark", "n_observations",
                                   "skewness", "kurtosis",  nullptr};
    Arguments<5> parsed;
    if (!parse_arguments(args, kwds, "OOOOO:probabilistic_sharpe_ratio", kwlist, &parsed))
      return nullptr;
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
    static const char* kwlist[] = {"all_sharpes", "n_observations", "skewness", "kurtosis",
                                   nullptr};
    Arguments<4> parsed;
    if (!parse_arguments(args, kwds, "OOOO:deflated_sharpe_ratio", kwlist, &parsed)) return nullptr;
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
    static const char* kwlist[] = {"columns", "n_blocks", nullptr};
    Arguments<2> parsed;
    if (!parse_arguments(args, kwds, "O|O:probability_of_backtest_overfitting", kwlist, &parsed))
      return nullptr;
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
    static const char* kwlist[] = {"observed", "benchmark",  "skewness",
                                   "kurtosis", "confidence", nullptr};
    Arguments<5> parsed;
    if (!parse_arguments(args, kwds, "OOOO|O:minimum_track_record_length", kwlist, &parsed))
      return nullptr;
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
    {"sharpe_ratio", as_cfunction(sharpe_ratio), METH_VARARGS | METH_KEYWORDS,
     "sharpe_ratio(returns)\n--\n\n"},
    {"moments", as_cfunction(moments), METH_VARARGS | METH_KEYWORDS, "moments(returns)\n--\n\n"},
    {"probabilistic_sharpe_ratio", as_cfunction(probabilistic_sharpe_ratio),
     METH_VARARGS | METH_KEYWORDS,
     "probabilistic_sharpe_ratio(observed, benchmark, n_observations, skewness, kurtosis)\n--\n\n"},
    {"deflated_sharpe_ratio", as_cfunction(deflated_sharpe_ratio), METH_VARARGS | METH_KEYWORDS,
     "deflated_sharpe_ratio(all_sharpes, n_observations, skewness, kurtosis)\n--\n\n"},
    {"probability_of_backtest_overfitting", as_cfunction(probability_of_backtest_overfitting),
     METH_VARARGS | METH_KEYWORDS,
     "probability_of_backtest_overfitting(columns, n_blocks=16)\n--\n\n"},
    {"minimum_track_record_length", as_cfunction(minimum_track_record_length),
     METH_VARARGS | METH_KEYWORDS,
     "minimum_track_record_length(observed, benchmark, skewness, kurtosis, "
     "confidence=0.95)\n--\n\n"},
};

}  // namespace

int add_stats_functions(PyObject* module) { return add_functions(module, functions); }

}  // namespace halvorn::py
