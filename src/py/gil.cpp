#include "py/gil.hpp"

#include <cxxabi.h>

namespace halvorn::py {

void Gil::acquire() {
  if (held_) return;
  try {
    PyEval_RestoreThread(thread_);
  } catch (abi::__forced_unwind&) {
    // The interpreter is finalising and this thread is being ended.
    note_thread_exit();
    throw;
  }
  held_ = true;
}

bool Gil::alone() const {
  // The lock is one for the whole process, so a thread of any interpreter
  // could be the one waiting for it.
  int states = 0;
  for (PyInterpreterState* interp = PyInterpreterState_Head(); interp != nullptr;
       interp = PyInterpreterState_Next(interp)) {
    for (PyThreadState* t = PyInterpreterState_ThreadHead(interp); t != nullptr;
         t = PyThreadState_Next(t)) {
      if (++states > 1) return false;
    }
  }
  return true;
}

}  // namespace halvorn::py
