// Depth files from Python: the DepthSource class, load_depth, save_depth and
// read_depth, and the Snapshot and Update records they read and write.
//
// A DepthSource names a depth file and holds nothing open, as a TickSource
// names a tick file: every run, and every read_depth, opens its own reader
// on the path, so one source feeds any number of runs, each from the start,
// with one block of the file in memory whatever its size.  Only the header is
// read when a source is made; the numbers of snapshots and updates, which
// the header does not hold, are counted by one pass over the file the first
// time they are asked for.
//
// Thread-safety: call with the interpreter lock held.  A source's counts are
// filled in under that lock.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "book/depth_records.hpp"
#include "data/depth_file.hpp"
#include "data/depth_window.hpp"
#include "py/market_data/file_source_fields.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

struct DataState;

// What a DepthSource holds.
struct DepthSourceData : FileSourceFields {
  std::uint64_t levels = 0;
  // Counted on first use: snapshots, then updates.
  mutable std::optional<std::uint64_t> snapshots;
  mutable std::optional<std::uint64_t> updates;
  // A DepthSlice's bytes of the body, and the header they were found under.
  std::optional<data::DepthWindowFound> window;
};

// The source `obj` stands for, or false with a TypeError naming `arg` when it
// is not a DepthSource or a DepthSlice of one.  A DepthSource can only have been made by
// halvorn.data._native, so this finds its class there.
bool depth_source_of(PyObject* obj, const char* arg, const DepthSourceData** out);

// Raises ValueError "{path}: {error}" for a depth file that cannot be used.
void raise_depth_file_error(const DepthSourceData& source, const data::DepthError& error);

// The Python record for one depth record: a Snapshot or an Update.
PyObject* depth_record_object(DataState* state, const book::DepthRecord& record);

// The depth record a Snapshot or an Update holds, or null when `obj` is
// neither.
const book::DepthRecord* depth_record_of(DataState* state, PyObject* obj);

// Adds Snapshot and Update to the module (depth_records.cpp).
extern const std::array<ClassEntry<DataState>, 2> DEPTH_RECORD_CLASSES;

// Adds DepthSource, load_depth, save_depth and read_depth to the module.
extern const std::array<ClassEntry<DataState>, 2> DEPTH_SOURCE_CLASSES;
int add_depth_functions(PyObject* module, DataState* state);

}  // namespace halvorn::py::market_data
