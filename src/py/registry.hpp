// Adding things to a module: the one way functions and classes are added,
// and the one way a class refuses to be called.
//
// The module's contents have a fixed order, and __all__ lists exactly what
// was added, in that order; add_to_module keeps the two together.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>
#include <cstddef>
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

// Creates a class from `layout` for `module` without adding it: a class
// the module hands out but Python may not name.
int make_class(PyObject* module, PyType_Spec* layout, PyTypeObject** slot);

// One class of a module: how to make it, where the module's state keeps it,
// and whether the module shows it (and lists it in __all__) or only hands
// its objects out.  A module's classes are listed once, in tables of these:
// its execution step makes them from the tables and its garbage-collector
// hooks visit the same tables, so no class is made without being visited.
template <class State>
struct ClassEntry {
  PyType_Spec* (*layout)();
  PyTypeObject* State::* slot;
  bool shown = true;
  // A vectorcall entry for calls to the class, where one is worth having: a
  // class a strategy calls for every order it makes is called without the
  // argument tuple and keyword dict that tp_new takes.
  vectorcallfunc call = nullptr;
};

// Makes the classes of `table`, in order.  -1 with an exception set.
template <class State, std::size_t N>
int add_classes(PyObject* module, State* st, const std::array<ClassEntry<State>, N>& table) {
  for (const ClassEntry<State>& c : table) {
    if ((c.shown ? add_class : make_class)(module, c.layout(), &(st->*c.slot)) < 0) return -1;
    if (c.call != nullptr) (st->*c.slot)->tp_vectorcall = c.call;
  }
  return 0;
}

// Calls f(PyObject**) on the slot of each class of `table`.
template <class State, std::size_t N, class F>
void each_class(State* st, const std::array<ClassEntry<State>, N>& table, F&& f) {
  for (const ClassEntry<State>& c : table) f(reinterpret_cast<PyObject**>(&(st->*c.slot)));
}

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
