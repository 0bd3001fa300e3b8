// Reading a Python sequence of the binding's own objects into an array of
// what they hold: ticks for a run, orders and cancellations a strategy
// returned.
//
// The walk is the same for every kind of element: a list or tuple is walked
// in place (checking an element's class runs no Python code, so nothing can
// change the sequence under the walk), any other sequence through its
// iterator, holding each item while it is copied.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <algorithm>

#include "py/argument_conversion.hpp"
#include "py/pyref.hpp"

namespace halvorn::py {

// The most a sequence's claimed length reserves up front.
inline constexpr Py_ssize_t SEQUENCE_RESERVE_CAP = Py_ssize_t{1} << 20;

// `copy(item)` returns whether the item is of a class the sequence may hold,
// and copies it out when it is.
template <class Array, class Copy>
bool extract_sequence(PyObject* obj, const char* what, Array* out, Copy copy) {
  out->clear();
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected a sequence of %s, got %.200s", what,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  // A list or tuple knows its true length, so its array is sized once; any
  // other sequence's length is only a hint, and one claiming to be enormous
  // must not make us reserve it up front.
  const bool exact = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    if (!current_error_is_ordinary()) return false;
    PyErr_Clear();
  } else {
    out->reserve(static_cast<std::size_t>(exact ? n : std::min(n, SEQUENCE_RESERVE_CAP)));
  }
  auto take = [&](PyObject* item) {
    if (!copy(item)) {
      PyErr_Format(PyExc_TypeError, "expected a sequence of %s, found %.200s", what,
                   Py_TYPE(item)->tp_name);
      out->clear();
      return false;
    }
    return true;
  };
  // Lists and tuples are walked in place: checking an element's type runs no
  // Python code, so nothing can change the sequence under the walk, and the
  // result is what iterating it would give.
  if (exact) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    // The elements are separate heap objects: fetch a few ahead so that the
    // copy does not wait on each one in turn.
    constexpr Py_ssize_t AHEAD = 8;
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (i + AHEAD < size) __builtin_prefetch(items[i + AHEAD]);
      if (!take(items[i])) return false;
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!take(item.get())) return false;
  }
  if (PyErr_Occurred()) {
    out->clear();
    return false;
  }
  return true;
}

}  // namespace halvorn::py
