// The state of halvorn.data._native, the C++ half of the halvorn.data
// package: its classes, and the main module whose classes it shares.
//
// The package's public functions are Python (python/halvorn/data); they
// settle what their arguments mean and call in here for everything that
// parses, scales or writes.
//
// Thread-safety: read with the interpreter lock held.

#pragma once

#include "py/module_state.hpp"

namespace halvorn::py::market_data {

struct DataState {
  SubmoduleHead head;                    // first: leads the classes to the main module's state
  PyTypeObject* writer_type;             // Writer: a tick file written from columns, batch by batch
  PyTypeObject* mapping_type;            // a tick file mapped read-only, checked
  PyTypeObject* mapped_column_type;      // one field of a mapped file, as a strided buffer
  PyTypeObject* depth_source_type;       // DepthSource: a depth file, held by name
  PyTypeObject* snapshot_type;           // Snapshot: the whole book as of an update id
  PyTypeObject* update_type;             // Update: one incremental depth message
  PyTypeObject* depth_file_reader_type;  // what read_depth returns: records streamed from a file
  PyTypeObject* mark_source_type;        // MarkSource: a mark file, held by name
  PyTypeObject* mark_file_reader_type;   // what read_marks returns: records streamed from a file
  PyTypeObject* tick_slice_type;         // TickSlice: a tick file's records in a stretch of time
  PyTypeObject* mark_slice_type;         // MarkSlice: the mark records such a stretch reads
  PyTypeObject* depth_slice_type;        // DepthSlice: the depth records such a stretch reads
};

extern PyModuleDef data_def;

inline DataState* data_state_of_module(PyObject* module) {
  return static_cast<DataState*>(PyModule_GetState(module));
}

// Requires: `type` is one of halvorn.data._native's classes.
inline DataState* data_state_of_type(PyTypeObject* type) {
  return static_cast<DataState*>(PyType_GetModuleState(type));
}

}  // namespace halvorn::py::market_data
