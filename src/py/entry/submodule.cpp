// The entry of one of the package's C++ submodules (halvorn.venue, ...).
//
// A submodule is imported as an extension of its own file, so that the
// import system sees an ordinary submodule, `import halvorn.venue` and
// `from halvorn import venue` both work, and the main module's contents stay
// what they are.  Its definition and all its code live in the main module's
// library: this entry only imports the main module and returns the
// definition it keeps for the submodule, so there is one copy of the engine
// and one set of classes.
//
// Built once per submodule with HALVORN_SUBMODULE set to its name.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py/module_state.hpp"

#define HALVORN_CONCAT(a, b) a##b
#define HALVORN_INIT(name) HALVORN_CONCAT(PyInit_, name)
#define HALVORN_STRINGIFY(x) #x
#define HALVORN_NAME(x) HALVORN_STRINGIFY(x)

PyMODINIT_FUNC HALVORN_INIT(HALVORN_SUBMODULE)() {
  PyObject* parent = PyImport_ImportModule("halvorn");
  if (parent == nullptr) return nullptr;
  auto* state = static_cast<halvorn::py::ModuleState*>(PyModule_GetState(parent));
  // sys.modules keeps the main module, and so its definitions, alive.
  Py_DECREF(parent);
  if (state == nullptr || state->submodules.tag != halvorn::py::Submodules::TAG) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "halvorn." HALVORN_NAME(
                                           HALVORN_SUBMODULE) " needs the halvorn module it was "
                                                              "built with");
    return nullptr;
  }
  PyModuleDef* def = state->submodules.HALVORN_SUBMODULE;
  if (def == nullptr) {
    PyErr_SetString(PyExc_ImportError, "halvorn." HALVORN_NAME(HALVORN_SUBMODULE) " is missing");
    return nullptr;
  }
  return PyModuleDef_Init(def);
}
