#include "py/argument_conversion.hpp"

#include "py/boundary.hpp"

#include <cstdio>

namespace halvorn::py {

bool optional_attribute(PyObject* obj, PyObject* name, Ref* out) {
  *out = Ref::steal(PyObject_GetAttr(obj, name));
  if (*out) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  return true;
}

int has_attribute(PyObject* obj, const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  Ref value;
  if (!key || !optional_attribute(obj, key.get(), &value)) return -1;
  return value ? 1 : 0;
}

bool current_error_is_ordinary() {
  return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception);
}

void raise_from_current(PyObject* type, const std::string& message) {
  if (!current_error_is_ordinary()) return;
  PyObject *cause_type, *cause, *cause_tb;
  PyErr_Fetch(&cause_type, &cause, &cause_tb);
  PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
  if (cause_tb != nullptr) PyException_SetTraceback(cause, cause_tb);
  Py_XDECREF(cause_type);
  Py_XDECREF(cause_tb);
  PyErr_SetString(type, message.c_str());
  PyObject *new_type, *new_value, *new_tb;
  PyErr_Fetch(&new_type, &new_value, &new_tb);
  PyErr_NormalizeException(&new_type, &new_value, &new_tb);
  if (cause != nullptr) {
    Py_INCREF(cause);
    PyException_SetContext(new_value, cause);  // steals
    PyException_SetCause(new_value, cause);    // steals
  }
  PyErr_Restore(new_type, new_value, new_tb);
}

namespace {

std::string arg_prefix(const char* arg) { return std::string("argument '") + arg + "': "; }

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// The object as a Python int: itself, or the result of its __index__.
Ref as_index(PyObject* obj, const char* arg, const char* expected) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", arg, expected,
                 type_name(obj));
    return Ref();
  }
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    raise_from_current(PyExc_TypeError, arg_prefix(arg) + "could not be converted to " + expected);
  }
  return index;
}

}  // namespace

bool to_i64(PyObject* obj, const char* arg, std::int64_t* out) {
  Ref index = as_index(obj, arg, "an int");
  if (!index) return false;
  long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "argument '%s': out of range for a signed 64-bit integer",
                 arg);
    return false;
  }
  *out = v;
  return true;
}

bool to_u64(PyObject* obj, const char* arg, std::uint64_t* out) {
  Ref index = as_index(obj, arg, "an int");
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "argument '%s': out of range for an unsigned 64-bit integer",
                 arg);
    return false;
  }
  *out = v;
  return true;
}

bool to_bool(PyObject* obj, const char* arg, bool* out) {
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %.200s", arg, type_name(obj));
    return false;
  }
  *out = obj == Py_True;
  return true;
}

bool to_f64(PyObject* obj, const char* arg, double* out) {
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a number, got %.200s", arg,
                 type_name(obj));
    return false;
  }
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_OverflowError, "argument '%s': too large for a 64-bit float", arg);
    } else {
      raise_from_current(PyExc_TypeError,
                         arg_prefix(arg) + "expected a number, got " + type_name(obj));
    }
    return false;
  }
  *out = v;
  return true;
}

bool utf8_of(PyObject* str, std::string* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* str_of(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

namespace {

void append_escaped(std::string& out, Py_UCS4 ch) {
  switch (ch) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case 0:
      out += "\\0";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\n':
      out += "\\n";
      return;
    default:
      break;
  }
  if (!Py_UNICODE_ISPRINTABLE(ch)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(ch));
    out += buf;
    return;
  }
  // Encode the code point as UTF-8.
  if (ch < 0x80) {
    out.push_back(static_cast<char>(ch));
  } else if (ch < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else if (ch < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
    out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (ch >> 18)));
    out.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
  }
}

}  // namespace

std::string quote_escaped(PyObject* str) {
  std::string out = "\"";
  Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  for (Py_ssize_t i = 0; i < n; ++i) append_escaped(out, PyUnicode_READ(kind, data, i));
  out += "\"";
  return out;
}

std::string quote_escaped_utf8(std::string_view utf8) {
  Ref str = Ref::steal(str_of(utf8));
  if (!str) {
    PyErr_Clear();
    return "\"\"";
  }
  return quote_escaped(str.get());
}

PathArgument path_argument(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return PathArgument::Refused;
  }
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(obj));
  if (!bytes) {
    if (!current_error_is_ordinary()) return PathArgument::Refused;
    PyErr_Clear();
    return PathArgument::Unnameable;
  }
  out->assign(PyBytes_AS_STRING(bytes.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return out->find('\0') == std::string::npos ? PathArgument::Ok : PathArgument::Unnameable;
}

bool fs_path_of(PyObject* obj, const char* arg, std::string* out) {
  switch (path_argument(obj, arg, out)) {
    case PathArgument::Ok:
      return true;
    case PathArgument::Refused:
      return false;
    case PathArgument::Unnameable:
      break;
  }
  PyErr_Format(PyExc_ValueError, "argument '%s': %R can name no file (it holds a NUL character)",
               arg, obj);
  return false;
}

std::optional<std::string> str_attribute(PyObject* obj, const char* name) {
  Ref value = Ref::steal(python([&] { return PyObject_GetAttrString(obj, name); }));
  std::string text;
  if (value && PyUnicode_Check(value.get()) && utf8_of(value.get(), &text)) return text;
  PyErr_Clear();
  return std::nullopt;
}

Ref frozen_items(PyObject* sequence) { return Ref::steal(PySequence_Tuple(sequence)); }

void raise_value_error(const std::string& text) {
  Ref message = Ref::steal(str_of(text));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
}

PyObject* call_python(const char* module, const char* function,
                      std::initializer_list<PyObject*> args) {
  Ref imported = Ref::steal(PyImport_ImportModule(module));
  Ref callable = imported ? Ref::steal(PyObject_GetAttrString(imported.get(), function)) : Ref();
  if (!callable) return nullptr;
  return PyObject_Vectorcall(callable.get(), args.begin(), args.size(), nullptr);
}

}  // namespace halvorn::py
