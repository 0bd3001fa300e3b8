// The boundary between the engine and the interpreter.
//
// No C++ exception may cross into the interpreter.  Every entry point the
// interpreter calls whose body can throw -- module functions, constructors,
// and the slots that build C++ strings or containers (reprs) -- runs its body
// through guarded(), which turns an invariant failure (Panic) into
// PanicException, memory exhaustion into MemoryError, and anything else into
// PanicException carrying what(), so that a fault in the engine ends the
// Python call that reached it, never the process.  Getters, lengths and
// deallocators that only read plain fields or call the C API cannot throw
// and are not wrapped.
//
// One unwind is let through: the forced unwind with which the interpreter
// ends a thread that asks for the lock after finalisation began.  Swallowing
// it aborts the process, so guarded() and every other handler here marks
// the thread (note_thread_exit) and rethrows it; python() wraps calls into
// the interpreter made from engine code so that the mark is set before any
// of the caller's destructors run.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cxxabi.h>

#include <type_traits>

#include "py/module_state.hpp"
#include "py/pyref.hpp"

namespace halvorn::py {

// Raises PanicException(message) (RuntimeError when no state is at hand).
void raise_panic(ModuleState* state, const char* message);

// Sets the Python error for the exception currently being handled.
// Requires: called from a handler of anything but the forced unwind.
void raise_current_exception(ModuleState* state) noexcept;

template <class F>
auto guarded(ModuleState* state, F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  } catch (...) {
    raise_current_exception(state);
    if constexpr (std::is_pointer_v<decltype(body())>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

// Runs one call into the interpreter from engine code: any call can run
// Python code, and Python code can give the lock up and find the
// interpreter finalising when it asks for it again.
template <class F>
auto python(F&& call) -> decltype(call()) {
  try {
    return call();
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  }
}

}  // namespace halvorn::py
