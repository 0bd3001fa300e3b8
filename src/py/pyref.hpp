// An owning handle for PyObject*.
//
// Ref keeps reference counting honest without goto ladders: a Ref owns one
// strong reference and drops it when it goes out of scope.  Ownership is
// explicit at both ends: Ref::steal takes over a new reference (what most
// C API calls return), Ref::borrow adds one, release() hands the reference
// back to the caller (what an entry point returns to the interpreter).
//
// Thread-safety: a Ref may only be created, copied or destroyed while the
// interpreter lock is held.

#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace halvorn::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller; the Ref is empty afterwards.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace halvorn::py
