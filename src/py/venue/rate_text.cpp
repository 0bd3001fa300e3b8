#include "py/venue/rate_text.hpp"

#include <string>

#include "data/decimal.hpp"
#include "py/argument_conversion.hpp"

namespace halvorn::py::venue {

namespace {

// ---------------------------------------------------------------------------
// Rates from decimal text

// What the text of a rate is counted in.
struct RateUnit {
  const char* function;
  const char* step;  // one unit of the result, as the text's own unit
  const char* name;  // for messages
};

constexpr RateUnit RATE{"rate", "0.000000001", "billionths"};
constexpr RateUnit PERCENT{"percent", "0.0000001", "billionths (0.0000001 %)"};
constexpr RateUnit BPS{"bps", "0.00001", "billionths (0.00001 basis points)"};

// The text as a whole number of `unit`, exactly.
PyObject* exact_count(PyObject* const* args, Py_ssize_t nargs, const RateUnit& unit) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", unit.function,
                 nargs);
    return nullptr;
  }
  PyObject* text = args[0];
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes the text of a decimal number, such as \"0.0004\", got %.200s; a float "
                 "has been rounded before it gets here",
                 unit.function, Py_TYPE(text)->tp_name);
    return nullptr;
  }
  std::string utf8;
  if (!utf8_of(text, &utf8)) return nullptr;
  data::Decimal value;
  if (data::parse_decimal(utf8, &value) != data::DecimalFault::None) {
    PyErr_Format(PyExc_ValueError, "%R is not a decimal number", text);
    return nullptr;
  }
  const data::Scaled scaled =
      data::scale(value, *data::parse_step(unit.step), data::Rounding::Exact);
  if (scaled.fault == data::ScaleFault::NotMultiple) {
    PyErr_Format(PyExc_ValueError, "%R is not a whole number of %s", text, unit.name);
    return nullptr;
  }
  if (scaled.fault != data::ScaleFault::None) {
    PyErr_Format(PyExc_ValueError, "%R does not fit in 64 bits of %s", text, unit.name);
    return nullptr;
  }
  return PyLong_FromLongLong(scaled.count);
}

PyObject* rate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(args, nargs, RATE);
}
PyObject* percent(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(args, nargs, PERCENT);
}
PyObject* bps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(args, nargs, BPS);
}

}  // namespace

PyMethodDef rate_functions[3] = {
    {"rate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rate)), METH_FASTCALL,
     "rate(text, /)\n--\n\n"
     "A rate written as a decimal fraction, in billionths, exactly.\n\n"
     "```python\n"
     "venue.rate(\"0.0004\")   # 400_000, 0.04 %\n"
     "venue.rate(\"-0.0001\")  # -100_000, a rebate\n"
     "```\n\n"
     "# Errors\n\n"
     "TypeError for anything but a str (a float has already been rounded);\n"
     "ValueError for text that is not a decimal number or not a whole\n"
     "number of billionths."},
    {"percent", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(percent)), METH_FASTCALL,
     "percent(text, /)\n--\n\n"
     "A rate written in percent, in billionths, exactly.\n\n"
     "```python\n"
     "venue.percent(\"0.04\")  # 400_000\n"
     "```\n\n"
     "# Errors\n\n"
     "As `rate`."},
    {"bps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bps)), METH_FASTCALL,
     "bps(text, /)\n--\n\n"
     "A rate written in basis points (0.01 %), in billionths, exactly.\n\n"
     "```python\n"
     "venue.bps(\"4\")  # 400_000\n"
     "```\n\n"
     "# Errors\n\n"
     "As `rate`."},
};

}  // namespace halvorn::py::venue
