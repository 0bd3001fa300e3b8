// halvorn.data._native: the definition of the submodule and its execution
// step.  The halvorn.data package (python/halvorn/data) is its only user.

#include "py/boundary.hpp"
#include "py/data/arrays.hpp"
#include "py/data/csv.hpp"
#include "py/data/depth.hpp"
#include "py/data/state.hpp"
#include "py/registry.hpp"

namespace halvorn::py::ingest {

namespace {

const char data_doc[] =
    "The C++ half of halvorn.data: CSV conversion, columns in and out of tick\n"
    "files, depth files, and exact decimal scaling.  Use halvorn.data; this module's\n"
    "functions take their arguments already settled.";

template <class F>
void for_each_reference(DataState* st, F&& f) {
  f(&st->head.parent);
  f(reinterpret_cast<PyObject**>(&st->writer_type));
  f(reinterpret_cast<PyObject**>(&st->mapping_type));
  f(reinterpret_cast<PyObject**>(&st->column_type));
  f(reinterpret_cast<PyObject**>(&st->depth_source_type));
  f(reinterpret_cast<PyObject**>(&st->snapshot_type));
  f(reinterpret_cast<PyObject**>(&st->update_type));
  f(reinterpret_cast<PyObject**>(&st->depth_records_type));
}

int exec_data(PyObject* module) {
  DataState* st = data_state_of_module(module);
  Ref parent = Ref::steal(PyImport_ImportModule("halvorn"));
  if (!parent) return -1;
  st->head.tag = SubmoduleHead::TAG;
  st->head.core = state_of_module(parent.get());
  st->head.parent = parent.release();
  return guarded(st->head.core, [&]() -> int {
    if (add_csv_functions(module, st) < 0) return -1;
    if (add_array_functions(module, st) < 0 || add_depth_records(module, st) < 0) return -1;
    return add_depth_functions(module, st);
  });
}

int traverse_data(PyObject* module, visitproc visit, void* arg) {
  DataState* st = data_state_of_module(module);
  if (st == nullptr) return 0;
  int result = 0;
  for_each_reference(st, [&](PyObject** slot) {
    if (result == 0 && *slot != nullptr) result = visit(*slot, arg);
  });
  return result;
}

int clear_data(PyObject* module) {
  DataState* st = data_state_of_module(module);
  if (st != nullptr) for_each_reference(st, [](PyObject** slot) { Py_CLEAR(*slot); });
  return 0;
}

void free_data(void* module) { clear_data(static_cast<PyObject*>(module)); }

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
    traverse_data,
    clear_data,
    free_data,
};

}  // namespace halvorn::py::ingest
