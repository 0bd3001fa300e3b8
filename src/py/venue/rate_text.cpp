#include "py/venue/rate_text.hpp"

#include <string>

#include "data/decimal.hpp"
#include "py/argument_conversion.hpp"
#include "py/signatures.hpp"
#include "py/venue/unit_values.hpp"
#include "py/venue/venue_state.hpp"

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
PyObject* exact_count(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      const RateUnit& unit) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", unit.function,
                 nargs);
    return nullptr;
  }
  // A float is read as the decimal it writes, as an Instrument reads its
  // sizes: 0.0004 is "0.0004", the rate its writer meant.
  PyObject* text = args[0];
  data::Decimal value;
  if (!unit_value(venue_state_of_module(module), text, unit.function, &value)) return nullptr;
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

PyObject* rate(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(module, args, nargs, RATE);
}
PyObject* percent(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(module, args, nargs, PERCENT);
}
PyObject* bps(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(module, args, nargs, BPS);
}

// One argument by position: the functions take it by fast call and count
// it themselves; the table gives their docstrings and their stubs' lines.
constexpr auto RATE_SIGNATURE = signature("halvorn.venue.rate", positional("value"));
constexpr auto PERCENT_SIGNATURE = signature("halvorn.venue.percent", positional("value"));
constexpr auto BPS_SIGNATURE = signature("halvorn.venue.bps", positional("value"));

}  // namespace

PyMethodDef rate_functions[3] = {
    {"rate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rate)), METH_FASTCALL,
     docstring<RATE_SIGNATURE>(
         "A rate written as a decimal fraction, in billionths, exactly.\n\n"
         "```python\n"
         "venue.rate(\"0.0004\")   # 400_000, 0.04 %\n"
         "venue.rate(\"-0.0001\")  # -100_000, a rebate\n"
         "```\n\n"
         "# Errors\n\n"
         "TypeError for anything but decimal text, a Decimal, an int or a float\n"
         "(read as the decimal it writes: 0.0004 is \"0.0004\"); ValueError for\n"
         "text that is not a decimal number or not a whole number of billionths.")},
    {"percent", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(percent)), METH_FASTCALL,
     docstring<PERCENT_SIGNATURE>("A rate written in percent, in billionths, exactly.\n\n"
                                  "```python\n"
                                  "venue.percent(\"0.04\")  # 400_000\n"
                                  "```\n\n"
                                  "# Errors\n\n"
                                  "As `rate`.")},
    {"bps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bps)), METH_FASTCALL,
     docstring<BPS_SIGNATURE>("A rate written in basis points (0.01 %), in billionths, exactly.\n\n"
                              "```python\n"
                              "venue.bps(\"4\")  # 400_000\n"
                              "```\n\n"
                              "# Errors\n\n"
                              "As `rate`.")},
};

}  // namespace halvorn::py::venue
