// Slices of tick, mark and depth files in exchange time: the TickSlice,
// MarkSlice and DepthSlice classes of halvorn.data, which every run takes
// where it takes the whole file.
//
// A slice is found by a binary search over the file's records
// (data/time_window.hpp, data/depth_window.hpp) when it is made, and holds the positions of its
// records and what the file's header said then.  A run opens the file and
// reads the slice's blocks only; a file whose header says something else by
// then is refused, since its records may have moved.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>
#include <optional>

#include "data/depth_reader.hpp"
#include "data/mark_reader.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/registry.hpp"
#include "py/tick_files.hpp"

namespace halvorn::py::market_data {

struct DataState;

// The file `obj` reads when it is a TickSlice, or null (and no exception)
// when it is anything else.
const TickSourceData* tick_slice_of(PyObject* obj);

// The file a MarkSlice reads, or null (and no exception) for anything else.
const MarkSourceData* mark_slice_of(PyObject* obj);

// The file a DepthSlice reads, or null (and no exception) for anything else.
const DepthSourceData* depth_slice_of(PyObject* obj);

// Opens a depth source's file for a run: the whole file or a slice's
// bytes.  nullopt for a slice whose file has changed since it was made.
std::optional<data::DepthOpened> open_depth(const DepthSourceData& source);

// Raises ValueError for a slice whose file open_depth found changed.
void raise_changed_depth(const DepthSourceData& source);

// Opens a mark source's file for a run: the whole file or a slice's
// records.  nullopt for a slice whose file has changed since it was made.
std::optional<data::MarkOpened> open_marks(const MarkSourceData& source);

// Raises ValueError for a slice whose file open_marks found changed.
void raise_changed_marks(const MarkSourceData& source);

// TickSlice, MarkSlice and DepthSlice, and the functions that make them.
extern const std::array<ClassEntry<DataState>, 3> SLICE_CLASSES;
int add_slice_functions(PyObject* module, DataState* state);

}  // namespace halvorn::py::market_data
