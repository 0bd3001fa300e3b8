// Tick files and arrays: a file written from integer columns (Writer), a
// file's eight columns handed out as read-only buffers over one mapping of
// it (map_columns), and decimal text scaled to whole steps a column at a
// time (scale_texts, for columnar files whose prices are text or decimal).
//
// Columns come in through the buffer protocol and go out through it, so
// NumPy is a choice of the caller and never a dependency here: a column in
// is any 1-D integer buffer, strided or not (or a sequence of ints, copied
// once), read in place while the interpreter lock is given up; a column out
// is a strided 1-D view of the mapped records that numpy.asarray takes as
// it is.
//
// Thread-safety: call with the interpreter lock held.  A Writer refuses to
// be used by a second thread while a first is writing through it.

#pragma once

#include "py/pyref.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

struct DataState;

// Adds Writer, map_columns and scale_texts to the module.
// The Writer and the classes of a mapped file.
extern const std::array<ClassEntry<DataState>, 3> ARRAY_CLASSES;

int add_array_functions(PyObject* module, DataState* state);

}  // namespace halvorn::py::market_data
