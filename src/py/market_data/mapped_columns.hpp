// A tick file's eight columns handed out as read-only buffers over one
// read-only mapping of it (map_columns, what halvorn.data.to_arrays
// returns): checked once (header, checksum, time order), then read in place
// by NumPy with no copy.  The mapping lives as long as any column does.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>

#include "py/registry.hpp"

namespace halvorn::py::market_data {

struct DataState;

// The mapping and its columns: handed out, never made from Python, and not
// part of the module's surface.
extern const std::array<ClassEntry<DataState>, 2> MAPPED_CLASSES;
// map_columns.
extern PyMethodDef mapped_functions[1];

}  // namespace halvorn::py::market_data
