#include "py/market_data/column_arguments.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "py/argument_conversion.hpp"

namespace halvorn::py::market_data {

// The element kind of a buffer's format ("q", "<i", "@B", "d", ...), by its
// letter for the sign and its item size for the width; false when it is no
// format this reads.
bool element_kind(const char* format, Py_ssize_t itemsize, data::ElementKind* out) {
  using enum data::ElementKind;
  // By sign, then by width: 1, 2, 4 and 8 bytes.
  constexpr data::ElementKind SIGNED[] = {I8, I16, I32, I64};
  constexpr data::ElementKind UNSIGNED[] = {U8, U16, U32, U64};
  if (format == nullptr) format = "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  if (format[0] == 'd' && itemsize == 8) {
    *out = F64;
    return true;
  }
  const bool is_signed = std::strchr("bhilqn", format[0]) != nullptr;
  if (!is_signed && std::strchr("BHILQN", format[0]) == nullptr) return false;
  const int width = std::countr_zero(static_cast<unsigned>(itemsize));
  if (itemsize < 1 || itemsize > 8 || std::popcount(static_cast<unsigned>(itemsize)) != 1) {
    return false;
  }
  *out = (is_signed ? SIGNED : UNSIGNED)[width];
  return true;
}

bool HeldColumn::take(PyObject* obj, const char* arg) {
  if (obj == nullptr || obj == Py_None) return true;
  if (PyObject_CheckBuffer(obj)) return take_buffer(obj, arg);
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a 1-D integer array or a sequence of int, got %.200s",
                 arg, Py_TYPE(obj)->tp_name);
    return false;
  }
  // Walked as a tuple of our own: an element's __index__ may empty the
  // caller's list.
  Ref items = frozen_items(obj);
  if (!items) {
    raise_from_current(PyExc_TypeError,
                       std::string("argument '") + arg + "': expected a sequence of int");
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  copy_.resize(static_cast<std::size_t>(n));
  PyObject** values = PySequence_Fast_ITEMS(items.get());
  std::string name;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyLong_CheckExact(values[i])) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(values[i], &overflow);
      if (overflow == 0) {
        copy_[static_cast<std::size_t>(i)] = v;
        continue;
      }
    }
    name = std::string(arg) + "[" + std::to_string(i) + "]";
    if (!to_i64(values[i], name.c_str(), &copy_[static_cast<std::size_t>(i)])) return false;
  }
  column_ = data::Column{copy_.data(), copy_.size(), sizeof(std::int64_t), data::ElementKind::I64};
  // An empty column is still present: a non-null pointer says so.
  if (copy_.empty()) column_.data = &column_;
  return true;
}

bool HeldColumn::take_buffer(PyObject* obj, const char* arg) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
    raise_from_current(PyExc_TypeError, std::string("argument '") + arg +
                                            "': its buffer cannot be read as a strided array");
    return false;
  }
  has_view_ = true;
  if (view_.ndim != 1) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-D array, got %d dimensions", arg,
                 view_.ndim);
    return false;
  }
  data::ElementKind kind;
  if (!element_kind(view_.format, view_.itemsize, &kind)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected integers (signed or unsigned, 8 to 64 bits, native "
                 "or little-endian) or float64, got a buffer of format '%s'",
                 arg, view_.format != nullptr ? view_.format : "B");
    return false;
  }
  const std::size_t n = static_cast<std::size_t>(view_.shape[0]);
  const std::ptrdiff_t stride = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
  // An empty buffer may have no memory at all; present all the same.
  column_ = data::Column{view_.buf != nullptr ? view_.buf : &column_, n, stride, kind};
  return true;
}

}  // namespace halvorn::py::market_data
