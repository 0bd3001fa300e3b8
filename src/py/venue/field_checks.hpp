// The checks every configuration class of halvorn.venue makes of its
// fields, with the messages they all give: a ValueError naming the field,
// its rule and the value, or a TypeError naming the field and what it takes.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"
#include "py/value_class.hpp"

namespace halvorn::py::venue {

// ValueError "{field} must be {rule}, got {value}".
inline bool refuse(const char* field, const char* rule, long long value) {
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %s", field, rule, grouped(value).c_str());
  return false;
}

inline bool in_range(const char* field, long long value, long long low, long long high,
                     const char* rule) {
  return (value >= low && value <= high) || refuse(field, rule, value);
}

// TypeError "{field} must be {what}, got {type}".
inline bool wrong_type(const char* field, const char* what, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "%s must be %s, got %.200s", field, what, Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace halvorn::py::venue
