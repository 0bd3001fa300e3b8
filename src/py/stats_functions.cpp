// The statistics functions: argument conversion, the pure step, and the
// translation of its outcome into a float, a tuple or a ValueError.

#include "py/stats_functions.hpp"

#include <string>
#include <vector>

#include "py/boundary.hpp"
#include "py/convert.hpp"
#include "py/pure.hpp"
#include "py/registry.hpp"

namespace halvorn::py {

namespace {

// A list of our own holding the elements of `obj`, which must follow the
// sequence protocol and not be a str.  Copying first means a conversion that
// runs Python code (a __float__) cannot resize what is being walked.
Ref sequence_copy(PyObject* obj, const char* arg, const char* expected) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", arg, expected,
                 Py_TYPE(obj)->tp_name);
    return Ref();
  }
  Ref list = Ref::steal(PySequence_List(obj));
  if (!list) {
    raise_from_current(PyExc_TypeError,
                       std::string("argument '") + arg + "': could not be read as a sequence");
  }
  return list;
}

bool to_f64_array(PyObject* obj, const char* arg, std::vector<double>* out) {
  Ref list = sequence_copy(obj, arg, "a sequence of numbers");
  if (!list) return false;
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  out->clear();
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    double x = 0.0;
    if (!to_f64(PyList_GET_ITEM(list.get(), i), arg, &x)) return false;
    out->push_back(x);
  }
  return true;
}

bool to_f64_columns(PyObject* obj, const char* arg, std::vector<std::vector<double>>* out) {
  Ref list = sequence_copy(obj, arg, "a sequence of sequences of numbers");
  if (!list) return false;
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  out->clear();
  out->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_f64_array(PyList_GET_ITEM(list.get(), i), arg, &(*out)[i])) return false;
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
    PyObject* returns_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:sharpe_ratio", const_cast<char**>(kwlist),
                                     &returns_obj)) {
      return nullptr;
    }
    std::vector<double> returns;
    if (!to_f64_array(returns_obj, "returns", &returns)) return nullptr;
    return float_or_raise(pure::sharpe_ratio(returns));
  });
}

PyObject* moments(PyObject* module, PyObject* args, PyObject* kwds) {
  return entry(module, [&]() -> PyObject* {
    static const char* kwlist[] = {"returns", nullptr};
    PyObject* returns_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:moments", const_cast<char**>(kwlist),
                                     &returns_obj)) {
      return nullptr;
    }
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
    PyObject *observed_obj = nullptr, *benchmark_obj = nullptr, *n_obj = nullptr,
             *skewness_obj = nullptr, *kurtosis_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOO:probabilistic_sharpe_ratio",
                                     const_cast<char**>(kwlist), &observed_obj, &benchmark_obj,
                                     &n_obj, &skewness_obj, &kurtosis_obj)) {
      return nullptr;
    }
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
    PyObject *sharpes_obj = nullptr, *n_obj = nullptr, *skewness_obj = nullptr,
             *kurtosis_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO:deflated_sharpe_ratio",
                                     const_cast<char**>(kwlist), &sharpes_obj, &n_obj,
                                     &skewness_obj, &kurtosis_obj)) {
      return nullptr;
    }
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
    PyObject* columns_obj = nullptr;
    PyObject* n_blocks_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:probability_of_backtest_overfitting",
                                     const_cast<char**>(kwlist), &columns_obj, &n_blocks_obj)) {
      return nullptr;
    }
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
    PyObject *observed_obj = nullptr, *benchmark_obj = nullptr, *skewness_obj = nullptr,
             *kurtosis_obj = nullptr;
    PyObject* confidence_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|O:minimum_track_record_length",
                                     const_cast<char**>(kwlist), &observed_obj, &benchmark_obj,
                                     &skewness_obj, &kurtosis_obj, &confidence_obj)) {
      return nullptr;
    }
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
