// The interpreter lock, taken and given back on one thread.
//
// A Gil belongs to the call that made it (a run function, a load) and to the
// thread that call runs on: it remembers that thread's own state, so taking
// the lock back is PyEval_RestoreThread of exactly that state.  The
// per-process lock API (PyGILState_*) is never used: inside a
// subinterpreter it finds the main interpreter's state for the thread and
// waits for the lock the thread itself holds.
//
// When the interpreter is finalising, taking the lock on a thread that did
// not start the finalisation ends that thread with a forced unwind.  acquire()
// notes it (thread_exiting()) and lets it go on; every guard here and every
// Ref then stays away from the interpreter.
//
// Thread-safety: a Gil is used by the one thread that made it.

#pragma once

#include <cxxabi.h>

#include <exception>

#include "py/pyref.hpp"

namespace halvorn::py {

class Gil {
 public:
  // Requires: the calling thread holds the lock.
  Gil() : thread_(PyThreadState_Get()) {}
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

  bool held() const { return held_; }

  // Gives the lock back; nothing when it is not held, or when the thread is
  // being torn down (it does not hold it then, whatever held() said).
  void release() {
    if (!held_ || thread_exiting()) return;
    held_ = false;
    PyEval_SaveThread();
  }

  // Takes the lock back; nothing when it is held.  A forced unwind at
  // interpreter exit passes through, marked.
  void acquire();

  // Whether no other thread state exists in any interpreter: then no thread
  // can be waiting for the lock, since asking for it needs one.
  // Requires: the lock is held.
  bool alone() const;

 private:
  PyThreadState* thread_;
  bool held_ = true;
};

// Runs `body` with the lock released and takes it back afterwards.  A C++
// exception thrown while unlocked is carried past the point where the lock
// is taken again and rethrown there, so that the boundary raises it with the
// lock held; taking the lock back is never done while an exception is in
// flight, because at interpreter exit it ends the thread with an unwind of
// its own.
template <class F>
void run_unlocked(Gil& gil, F&& body) {
  std::exception_ptr error;
  gil.release();
  try {
    body();
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  } catch (...) {
    error = std::current_exception();
  }
  gil.acquire();
  if (error) std::rethrow_exception(error);
}

// Holds the lock for a scope, taking it if needed, and afterwards leaves it
// as it found it.
class Locked {
 public:
  explicit Locked(Gil& gil) : gil_(gil), was_held_(gil.held()) { gil_.acquire(); }
  ~Locked() {
    if (!was_held_ && !thread_exiting()) gil_.release();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Gil& gil_;
  bool was_held_;
};

}  // namespace halvorn::py
