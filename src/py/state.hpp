// The module's state: the exception type and the class objects.
//
// Everything the binding layer needs at run time is reached through the
// module: module functions get it from their module object, methods and
// slots from their type (which was created with the module).  There are no
// stray globals, so a second interpreter or a reload gets its own classes.
//
// Thread-safety: read with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py {

// Recently freed objects of one small class, reused before the allocator is
// asked: a run in throughput mode makes and drops thousands of Ticks per
// batch, and compatibility mode one Context per tick.
struct Freelist {
  static constexpr int CAPACITY = 8192;
  int count;
  PyObject* items[CAPACITY];
};

struct ModuleState {
  PyObject* panic_exception = nullptr;  // PanicException, a BaseException subclass
  PyTypeObject* tick_type = nullptr;
  PyTypeObject* tick_source_type = nullptr;
  PyTypeObject* context_type = nullptr;
  PyTypeObject* order_type = nullptr;
  PyTypeObject* run_result_type = nullptr;
  PyTypeObject* mode_comparison_type = nullptr;
  PyTypeObject* lookahead_report_type = nullptr;
  // The four strings an Order's side and offset can hold; returned as they
  // are, so reading them never allocates.
  PyObject* str_buy = nullptr;
  PyObject* str_sell = nullptr;
  PyObject* str_open = nullptr;
  PyObject* str_close = nullptr;
  // Names the strategy adapter looks up or sets on every call.
  PyObject* str_on_tick = nullptr;
  PyObject* str_on_batch = nullptr;
  PyObject* str_position = nullptr;
  PyObject* str_entry = nullptr;
  PyObject* str_short_position = nullptr;
  PyObject* str_equity = nullptr;
  PyObject* str_last = nullptr;
  Freelist free_ticks;
  Freelist free_contexts;
};

extern PyModuleDef module_def;

inline ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that created `type`.
// Requires: `type` is one of this module's classes.
inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace halvorn::py
