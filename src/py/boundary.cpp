#include "py/boundary.hpp"

#include <exception>
#include <new>
#include <stdexcept>

#include "types/panic.hpp"

namespace halvorn::py {

void raise_panic(ModuleState* state, const char* message) {
  PyObject* type = state != nullptr && state->panic_exception != nullptr ? state->panic_exception
                                                                         : PyExc_RuntimeError;
  PyErr_SetString(type, message);
}

void raise_current_exception(ModuleState* state) noexcept {
  try {
    throw;
  } catch (const Panic& p) {
    raise_panic(state, p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(state, e.what());
  } catch (...) {
    raise_panic(state, "an unknown failure reached the module boundary");
  }
}

}  // namespace halvorn::py
