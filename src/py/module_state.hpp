// The module's state: the exception type and the class objects.
//
// Everything the binding layer needs at run time is reached through the
// module: module functions get it from their module object, methods and
// slots from their type (which was created with the module).  There are no
// stray globals, so a second interpreter or a reload gets its own classes.
//
// Thread-safety: read with the interpreter lock held.

#pragma once

#include <cstdint>

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

// The package's submodules written in C++ (halvorn.venue, ...) keep their
// definitions in this library, beside the module's; each is imported
// through a small extension of its own that asks the main module for its
// definition (see entry/submodule.cpp).
struct Submodules {
  // Marks a state as this library's, so that an entry never reads a foreign
  // module's state as ours.
  static constexpr std::uint64_t TAG = 0x68616c766f726e31;  // "halvorn1"
  std::uint64_t tag = TAG;
  PyModuleDef* venue = nullptr;
  // halvorn.data._native, the C++ part of the halvorn.data package (an
  // entry finds its definition by the last part of its module's name).
  PyModuleDef* _native = nullptr;
};

struct ModuleState {
  Submodules submodules;                // first, at a layout every entry shares
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
  Freelist free_venue_contexts;  // halvorn.venue.Context's, which are larger
};

extern PyModuleDef module_def;

inline ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Every submodule's state begins with this, so that any class of the
// package leads to the main module's state.
struct SubmoduleHead {
  static constexpr std::uint64_t TAG = 0x68616c766f726e32;  // "halvorn2"
  std::uint64_t tag;
  ModuleState* core;  // the main module's state, alive while `parent` is
  PyObject* parent;   // a strong reference to the main module
};

// The main module's state, from one of the package's classes (the main
// module's or a submodule's).
inline ModuleState* state_of_type(PyTypeObject* type) {
  void* state = PyType_GetModuleState(type);
  if (static_cast<SubmoduleHead*>(state)->tag == SubmoduleHead::TAG) {
    return static_cast<SubmoduleHead*>(state)->core;
  }
  return static_cast<ModuleState*>(state);
}

}  // namespace halvorn::py
