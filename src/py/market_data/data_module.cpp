// halvorn.data._native: the definition of the submodule and its execution
// step.  The halvorn.data package (python/halvorn/data) is its only user.

#include "data/csv_layout.hpp"
#include "py/boundary.hpp"
#include "py/market_data/capture.hpp"
#include "py/market_data/csv.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/decimal_columns.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/market_data/file_replacement.hpp"
#include "py/market_data/instrument_arguments.hpp"
#include "py/market_data/mapped_columns.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/market_data/quality_values.hpp"
#include "py/market_data/slices.hpp"
#include "py/market_data/tick_writer_class.hpp"
#include "py/module_hooks.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

namespace {

const char data_doc[] =
    "The C++ half of halvorn.data: CSV conversion, columns in and out of tick\n"
    "files, depth and mark files, and exact decimal scaling.  Use halvorn.data; this module's\n"
    "functions take their arguments already settled.";

struct DataRefs {
  template <class F>
  static void each(DataState* st, F&& f) {
    f(&st->head.parent);
    each_class(st, WRITER_CLASSES, f);
    each_class(st, MAPPED_CLASSES, f);
    each_class(st, DEPTH_RECORD_CLASSES, f);
    each_class(st, DEPTH_SOURCE_CLASSES, f);
    each_class(st, MARK_SOURCE_CLASSES, f);
    each_class(st, SLICE_CLASSES, f);
  }
};

const char* kind_name(data::StreamKind kind) {
  switch (kind) {
    case data::StreamKind::Trades:
      return "trades";
    case data::StreamKind::Quotes:
      return "quotes";
    case data::StreamKind::Funding:
      return "funding";
    case data::StreamKind::Depth:
      return "depth";
    case data::StreamKind::Marks:
      return "marks";
  }
  return "";
}

// The converters' layouts as (name, key, stream) and their time units as
// (name, nanoseconds per step), from the one table each: the Python half
// offers exactly these, by these names.
int add_tables(PyObject* module) {
  const std::span<const data::LayoutEntry> specs = data::layouts();
  Ref layouts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(specs.size())));
  if (!layouts) return -1;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    PyObject* row = Py_BuildValue("(sss)", specs[i].name, specs[i].key, kind_name(specs[i].kind));
    if (row == nullptr) return -1;
    PyTuple_SET_ITEM(layouts.get(), static_cast<Py_ssize_t>(i), row);
  }
  Ref units = Ref::steal(PyTuple_New(3));
  if (!units) return -1;
  const data::TimeUnit all[] = {data::TimeUnit::Milliseconds, data::TimeUnit::Microseconds,
                                data::TimeUnit::Nanoseconds};
  for (std::size_t i = 0; i < std::size(all); ++i) {
    PyObject* row = Py_BuildValue("(sL)", data::unit_name(all[i]),
                                  static_cast<long long>(data::unit_nanos(all[i])));
    if (row == nullptr) return -1;
    PyTuple_SET_ITEM(units.get(), static_cast<Py_ssize_t>(i), row);
  }
  if (add_to_module(module, "LAYOUTS", layouts.release()) < 0) return -1;
  return add_to_module(module, "TIME_UNITS", units.release());
}

int exec_data(PyObject* module) {
  DataState* st = data_state_of_module(module);
  if (begin_submodule(st->head) < 0) return -1;
  return guarded(st->head.core, [&]() -> int {
    if (add_tables(module) < 0 || add_csv_functions(module, st) < 0 ||
        add_capture_functions(module) < 0) {
      return -1;
    }
    if (add_classes(module, st, WRITER_CLASSES) < 0 ||
        add_classes(module, st, MAPPED_CLASSES) < 0 ||
        add_functions(module, mapped_functions) < 0 ||
        add_functions(module, decimal_column_functions) < 0 ||
        add_functions(module, instrument_functions) < 0 ||
        add_functions(module, survey_functions) < 0 ||
        PyModule_AddFunctions(module, replacement_functions) < 0 ||
        add_classes(module, st, DEPTH_RECORD_CLASSES) < 0) {
      return -1;
    }
    if (add_depth_functions(module, st) < 0 || add_mark_functions(module, st) < 0) return -1;
    return add_slice_functions(module, st);
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
