// The module definition: multi-phase initialisation with a single execution
// step that fills the module in its fixed order -- the documentation, the
// statistics functions, CASH_SCALE, the classes, then the tick-file and run
// functions -- each addition also appended to __all__.

#include <utility>

#include "py/boundary.hpp"
#include "py/market_data/data_state.hpp"
#include "py/module_hooks.hpp"
#include "py/module_state.hpp"
#include "py/registry.hpp"
#include "py/results.hpp"
#include "py/core_run_functions.hpp"
#include "py/stats_functions.hpp"
#include "py/tick_files.hpp"
#include "py/values.hpp"
#include "py/venue/venue_state.hpp"
#include "types/fixed.hpp"

namespace halvorn::py {

namespace {

const char module_doc[] = "Evaluate the backtest you already have.";

int make_panic_exception(ModuleState* st) {
  st->panic_exception = PyErr_NewExceptionWithDoc(
      "halvorn.PanicException",
      "An invariant of the engine failed.\n\n"
      "Raised when the engine reaches a state that correct input cannot reach.\n"
      "It derives from BaseException so that a strategy's `except Exception`\n"
      "does not swallow it: the run it ended cannot be trusted.",
      PyExc_BaseException, nullptr);
  return st->panic_exception == nullptr ? -1 : 0;
}

// The interned strings of the module state and their texts.
constexpr std::pair<PyObject * ModuleState::*, const char*> STRINGS[] = {
    {&ModuleState::str_buy, "buy"},
    {&ModuleState::str_sell, "sell"},
    {&ModuleState::str_open, "open"},
    {&ModuleState::str_close, "close"},
    {&ModuleState::str_on_tick, "on_tick"},
    {&ModuleState::str_on_batch, "on_batch"},
    {&ModuleState::str_position, "position"},
    {&ModuleState::str_entry, "entry"},
    {&ModuleState::str_short_position, "short_position"},
    {&ModuleState::str_equity, "equity"},
    {&ModuleState::str_last, "last"},
};

int make_strings(ModuleState* st) {
  for (const auto& [member, text] : STRINGS) {
    st->*member = PyUnicode_InternFromString(text);
    if (st->*member == nullptr) return -1;
  }
  return 0;
}

// The module's classes, in the order it shows them.
const std::array<ClassEntry<ModuleState>, 7> CLASSES = {{
    {[] { return &tick_spec; }, &ModuleState::tick_type},
    {[] { return &tick_source_spec; }, &ModuleState::tick_source_type},
    {[] { return &context_spec; }, &ModuleState::context_type},
    {[] { return &order_spec; }, &ModuleState::order_type},
    {[] { return &run_result_spec; }, &ModuleState::run_result_type},
    {[] { return &mode_comparison_spec; }, &ModuleState::mode_comparison_type},
    {[] { return &lookahead_report_spec; }, &ModuleState::lookahead_report_type},
}};

int exec_module(PyObject* module) {
  ModuleState* st = state_of_module(module);
  st->submodules.tag = Submodules::TAG;
  st->submodules.venue = &venue::venue_def;
  st->submodules._native = &market_data::data_def;
  return guarded(st, [&]() -> int {
    if (make_panic_exception(st) < 0 || make_strings(st) < 0) return -1;
    if (add_to_module(module, "__doc__", PyUnicode_FromString(module_doc)) < 0) return -1;
    if (add_stats_functions(module) < 0) return -1;
    if (add_to_module(module, "CASH_SCALE", PyLong_FromLongLong(CASH_SCALE)) < 0) return -1;
    if (add_classes(module, st, CLASSES) < 0) return -1;
    if (add_functions(module, tick_file_functions) < 0) return -1;
    return add_functions(module, run_functions);
  });
}

void drain(Freelist& free) {
  while (free.count > 0) PyObject_Free(free.items[--free.count]);
}

struct ModuleRefs {
  template <class F>
  static void each(ModuleState* st, F&& f) {
    f(reinterpret_cast<PyObject**>(&st->panic_exception));
    each_class(st, CLASSES, f);
    for (const auto& [member, text] : STRINGS) f(&(st->*member));
  }
  // The objects kept for reuse go back to the allocator with the module.
  static void after_clear(ModuleState* st) {
    drain(st->free_ticks);
    drain(st->free_contexts);
    drain(st->free_venue_contexts);
  }
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "halvorn",
    nullptr,  // the documentation is the __doc__ the execution step adds
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_refs<ModuleState, ModuleRefs>,
    clear_refs<ModuleState, ModuleRefs>,
    free_refs<ModuleState, ModuleRefs>,
};

}  // namespace halvorn::py

PyMODINIT_FUNC PyInit_halvorn() { return PyModuleDef_Init(&halvorn::py::module_def); }
