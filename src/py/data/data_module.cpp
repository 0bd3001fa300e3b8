// halvorn.data._native: the definition of the submodule and its execution
// step.  The halvorn.data package (python/halvorn/data) is its only user.

#include "py/boundary.hpp"
#include "py/data/arrays.hpp"
#include "py/data/csv.hpp"
#include "py/data/data_state.hpp"
#include "py/data/depth_sources.hpp"
#include "py/module_hooks.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

namespace {

const char data_doc[] =
    "The C++ half of halvorn.data: CSV conversion, columns in and out of tick\n"
    "files, depth files, and exact decimal scaling.  Use halvorn.data; this module's\n"
    "functions take their arguments already settled.";

struct DataRefs {
  template <class F>
  static void each(DataState* st, F&& f) {
    f(&st->head.parent);
    each_class(st, ARRAY_CLASSES, f);
    each_class(st, DEPTH_RECORD_CLASSES, f);
    each_class(st, DEPTH_SOURCE_CLASSES, f);
  }
};

int exec_data(PyObject* module) {
  DataState* st = data_state_of_module(module);
  if (begin_submodule(st->head) < 0) return -1;
  return guarded(st->head.core, [&]() -> int {
    if (add_csv_functions(module, st) < 0) return -1;
    if (add_array_functions(module, st) < 0 || add_classes(module, st, DEPTH_RECORD_CLASSES) < 0) {
      return -1;
    }
    return add_depth_functions(module, st);
  });
}

PyModuleDef_Slot data_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_data)},
    {0, nullptr},
};

}  // namespace

PyModuleDef data_def = {
    PyModuleDef_HEAD_INIT,
    "halvorn.data._native",
    data_doc,
    sizeof(DataState),
    nullptr,
    data_slots,
    traverse_refs<DataState, DataRefs>,
    clear_refs<DataState, DataRefs>,
    free_refs<DataState, DataRefs>,
};

}  // namespace halvorn::py::market_data
