// The garbage-collector hooks every module of the binding shares, and the
// first step of a submodule's execution.
//
// A module's state says which references it holds through a Refs type:
// Refs::each(state, f) calls f(PyObject**) on every slot, and Refs may also
// have after_clear(state) for what clearing the references leaves (the main
// module's freelists).  The hooks visit or clear exactly those slots.
//
// Thread-safety: called by the interpreter with its lock held.

#pragma once

#include "py/module_state.hpp"
#include "py/pyref.hpp"

namespace halvorn::py {

template <class State, class Refs>
int traverse_refs(PyObject* module, visitproc visit, void* arg) {
  auto* st = static_cast<State*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  int result = 0;
  Refs::each(st, [&](PyObject** slot) {
    if (result == 0 && *slot != nullptr) result = visit(*slot, arg);
  });
  return result;
}

template <class State, class Refs>
int clear_refs(PyObject* module) {
  auto* st = static_cast<State*>(PyModule_GetState(module));
  if (st == nullptr) return 0;
  Refs::each(st, [](PyObject** slot) { Py_CLEAR(*slot); });
  if constexpr (requires { Refs::after_clear(st); }) Refs::after_clear(st);
  return 0;
}

template <class State, class Refs>
void free_refs(void* module) {
  clear_refs<State, Refs>(static_cast<PyObject*>(module));
}

// Points a submodule's head at the main module's state and keeps the main
// module alive with it.  -1 with an exception set when it cannot be
// imported.
inline int begin_submodule(SubmoduleHead& head) {
  Ref parent = Ref::steal(PyImport_ImportModule("halvorn"));
  if (!parent) return -1;
  head.tag = SubmoduleHead::TAG;
  head.core = static_cast<ModuleState*>(PyModule_GetState(parent.get()));
  head.parent = parent.release();
  return 0;
}

}  // namespace halvorn::py
