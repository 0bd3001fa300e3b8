// The boundary between the engine and the interpreter.
//
// No C++ exception may cross into the interpreter.  Every entry point runs its
// body through guarded(), which turns an invariant failure (Panic) into
// PanicException, memory exhaustion into MemoryError, and anything else into
// PanicException carrying what() -- so a fault in the engine ends the Python
// call that reached it, never the process.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "py/state.hpp"
#include "types/panic.hpp"

namespace halvorn::py {

// Raises PanicException(message) (RuntimeError when no state is at hand).
void raise_panic(ModuleState* state, const char* message);

// Sets the Python error for the exception currently being handled.
void raise_current_exception(ModuleState* state) noexcept;

template <class F>
auto guarded(ModuleState* state, F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    raise_current_exception(state);
    if constexpr (std::is_pointer_v<decltype(body())>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

}  // namespace halvorn::py
