// Mark files from Python: the MarkSource class, load_marks, save_marks,
// read_marks and mark_settlements.
//
// A MarkSource names a mark file and holds nothing open, as a DepthSource
// names a depth file: whatever streams its records opens its own reader on
// the path, so one source serves any number of runs, each from the start,
// with one block of the file in memory whatever its size.  Only the header
// is read when a source is made.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "data/mark_file.hpp"
#include "data/time_window.hpp"
#include "py/market_data/file_source_fields.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

struct DataState;

// What a MarkSource holds; a MarkSlice holds the same with its window, and
// records is then the window's.
struct MarkSourceData : FileSourceFields {
  std::uint64_t settlements = 0;
  data::MarkKind kind = data::MarkKind::Price;
  std::optional<data::TimeWindow> window;  // a slice's records
};

// The source `obj` stands for, or false with a TypeError naming `arg` when
// it is not a MarkSource or a MarkSlice of one.
bool mark_source_of(PyObject* obj, const char* arg, const MarkSourceData** out);

// Raises ValueError "{path}: {error}" for a mark file that cannot be used.
void raise_mark_file_error(const MarkSourceData& source, const data::MarkError& error);

// Adds MarkSource and its record iterator to the module, and load_marks,
// save_marks, read_marks and mark_settlements.
extern const std::array<ClassEntry<DataState>, 2> MARK_SOURCE_CLASSES;
int add_mark_functions(PyObject* module, DataState* state);

}  // namespace halvorn::py::market_data
