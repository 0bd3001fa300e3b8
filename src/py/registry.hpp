// Adding things to a module: the one way functions and classes are added,
// and the one way a class refuses to be called.
//
// The module's contents have a fixed order, and __all__ lists exactly what
// was added, in that order; add_to_module keeps the two together.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <span>

#include "py/pyref.hpp"

namespace halvorn::py {

// Appends `name` to the module's __all__ (creating it on first use) and then
// sets the attribute.  Steals `value`.  Returns -1 with an exception set on
// failure.
int add_to_module(PyObject* module, const char* name, PyObject* value);

// Creates a class from `layout` for `module`, adds it under its short name and
// keeps a strong reference in `*slot` for the code that instantiates it.
int add_class(PyObject* module, PyType_Spec* layout, PyTypeObject** slot);

// Adds each function of `defs`, in order, bound to the module.
int add_functions(PyObject* module, std::span<PyMethodDef> defs);

// A function taking keywords, as a method table stores it.  The detour
// through a function type with no parameters is the conversion the compiler
// accepts without a warning for this deliberate cast.
inline PyCFunction as_cfunction(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The class name without its module ("Tick" for "halvorn.Tick").
const char* short_name(PyTypeObject* type);

// A tp_new for classes Python may not call: raises TypeError "cannot create
// '{name}' instances" with the class's short name.  (The interpreter's own
// flag for this would print the qualified name.)
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwds);

}  // namespace halvorn::py
