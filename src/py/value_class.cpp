#include "py/value_class.hpp"

#include "py/argument_conversion.hpp"

namespace halvorn::py {

namespace {

// Tuples longer than this are shown by their first elements and a count.
constexpr Py_ssize_t SHOWN = 4;

}  // namespace

std::string grouped(long long value) {
  const std::string digits = std::to_string(value);
  const std::size_t start = value < 0 ? 1 : 0;
  std::string out = digits.substr(0, start);
  const std::size_t n = digits.size() - start;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += '_';
    out += digits[start + i];
  }
  return out;
}

std::string repr_of(PyObject* value) {
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return grouped(v);
    PyErr_Clear();
  }
  if (PyTuple_CheckExact(value)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    std::string out = "(";
    for (Py_ssize_t i = 0; i < n && i < SHOWN; ++i) {
      if (i > 0) out += ", ";
      out += repr_of(PyTuple_GET_ITEM(value, i));
    }
    if (n > SHOWN) out += ", ...(" + std::to_string(n - SHOWN) + " more)";
    if (n == 1) out += ",";
    return out + ")";
  }
  Ref text = Ref::steal(PyObject_Repr(value));
  std::string utf8;
  if (text && utf8_of(text.get(), &utf8)) return utf8;
  PyErr_Clear();
  return "<?>";
}

std::string value_repr(const char* name, std::span<const char* const> names, PyObject* values,
                       bool named, PyObject* defaults) {
  std::string out = name;
  out += "(";
  bool first = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* value = PyTuple_GET_ITEM(values, static_cast<Py_ssize_t>(i));
    if (defaults != nullptr) {
      const int same = PyObject_RichCompareBool(
          value, PyTuple_GET_ITEM(defaults, static_cast<Py_ssize_t>(i)), Py_EQ);
      if (same < 0) PyErr_Clear();
      if (same == 1) continue;
    }
    if (!first) out += ", ";
    first = false;
    if (named) {
      out += names[i];
      out += "=";
    }
    out += repr_of(value);
  }
  return out + ")";
}

}  // namespace halvorn::py
