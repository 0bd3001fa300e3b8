#include "py/boundary.hpp"

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

int add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  Ref all_ref = Ref::steal(all);
  Ref name_obj = Ref::steal(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all, name_obj.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

}  // namespace halvorn::py
