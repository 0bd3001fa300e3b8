// An owning handle for PyObject*.
//
// Ref keeps reference counting honest without goto ladders: a Ref owns one
// strong reference and drops it when it goes out of scope.  Ownership is
// explicit at both ends: Ref::steal takes over a new reference (what most
// C API calls return), Ref::borrow adds one, release() hands the reference
// back to the caller (what an entry point returns to the interpreter).
//
// A thread that the interpreter tears down at exit (a daemon thread asking
// for the interpreter lock after finalisation began) is unwound by force,
// without the lock.  Nothing on that road may touch an object, so once the
// unwind has been seen (thread_exiting()) a Ref gives its reference up
// without dropping it: leaking at process exit is harmless, touching a
// finalised interpreter is not.
//
// Thread-safety: a Ref may only be created, copied or destroyed while the
// interpreter lock is held.

#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace halvorn::py {

namespace detail {
// Set on a thread once it is being unwound because the interpreter is
// finalising; never cleared, because such a thread never runs Python again.
[[gnu::tls_model("initial-exec")]] inline thread_local bool thread_exiting = false;
}  // namespace detail

// Whether this thread is being torn down at interpreter exit.
inline bool thread_exiting() { return detail::thread_exiting; }

// Marks this thread as being torn down.  Every handler that sees the forced
// unwind (abi::__forced_unwind) calls it and rethrows: the unwind must reach
// the bottom of the thread, and nothing on its way may touch the interpreter.
inline void note_thread_exit() { detail::thread_exiting = true; }

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
  ~Ref() {
    if (p_ != nullptr && !thread_exiting()) Py_DECREF(p_);
  }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller; the Ref is empty afterwards.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace halvorn::py
