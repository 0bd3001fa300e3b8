// C++ data inside a Python object: the one way the binding does it.
//
// A Boxed<T> is the object header followed by a T, constructed in place when
// the object is made and destroyed when it is deallocated.  Objects made
// once per tick (ticks, contexts) come from a freelist of their class
// instead of the allocator.  None of these objects take part in garbage
// collection: a T holds plain values, or references to objects that cannot
// form cycles (strings).
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <new>
#include <utility>

#include "py/module_state.hpp"

namespace halvorn::py {

template <class T>
struct Boxed {
  PyObject ob_base;
  T data;
};

template <class T>
T& unbox(PyObject* self) {
  return reinterpret_cast<Boxed<T>*>(self)->data;
}

// A new object of `type` holding T(args...), its memory taken from `free`
// when that is given and not empty.  nullptr with MemoryError set when there
// is no memory; an exception of T's constructor propagates after the memory
// is returned.
template <class T, class... Args>
PyObject* box(PyTypeObject* type, Freelist* free, Args&&... args) {
  PyObject* obj = free != nullptr && free->count > 0
                      ? free->items[--free->count]
                      : static_cast<PyObject*>(PyObject_Malloc(sizeof(Boxed<T>)));
  if (obj == nullptr) return PyErr_NoMemory();
  try {
    new (&reinterpret_cast<Boxed<T>*>(obj)->data) T(std::forward<Args>(args)...);
  } catch (...) {
    PyObject_Free(obj);
    throw;
  }
  PyObject_Init(obj, type);  // takes a reference to the heap type
  return obj;
}

template <class T>
PyObject* box(PyTypeObject* type, T value) {
  return box<T>(type, nullptr, std::move(value));
}

// tp_dealloc for a Boxed<T>.
template <class T>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  unbox<T>(self).~T();
  PyObject_Free(self);
  Py_DECREF(type);
}

// tp_dealloc for a Boxed<T> whose class keeps the freelist ModuleState::*List.
template <class T, Freelist ModuleState::* List>
void pooled_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  unbox<T>(self).~T();
  Freelist& free = state_of_type(type)->*List;
  if (free.count < Freelist::CAPACITY) {
    free.items[free.count++] = self;
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(type);
}

}  // namespace halvorn::py
