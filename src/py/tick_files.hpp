// Tick files from Python: the TickSource class, load_ticks and save_ticks,
// and how a run gets its ticks from either a file or a sequence.
//
// A TickSource names a file and holds nothing open: every run opens its own
// reader on the path, so one source can feed any number of runs.  Opening
// and reading never hold the interpreter lock while they may block (a file
// may be a pipe whose writer is a thread of this process), and a signal that
// interrupts them is delivered: Ctrl-C ends a read from a stalled pipe.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "data/instrument_definition.hpp"
#include "data/ticks.hpp"
#include "data/time_window.hpp"
#include "py/gil.hpp"
#include "py/module_state.hpp"
#include "py/tick_input.hpp"

namespace halvorn::py {

// What a TickSource holds; a slice of one (halvorn.data.between) holds the
// same with its window, and count is then the window's.
struct TickSourceData {
  Ref path;             // the str the caller passed, as an exact str
  std::string fs_path;  // the same path encoded for the file system
  std::uint64_t count = 0;
  std::uint64_t instrument = 0;
  // What the file's instrument block defines: none for a file written
  // without one (and for a pipe, whose end cannot be read before its records).
  std::optional<data::InstrumentDefinition> definition;
  // A slice's records, and the header they were found under.
  std::optional<data::TimeWindow> window;
};

extern PyType_Spec tick_source_spec;
// load_ticks, then save_ticks.
extern PyMethodDef tick_file_functions[2];

bool is_tick_source(ModuleState* state, PyObject* obj);
// Requires: is_tick_source(state, source).
const TickSourceData& tick_source_of(PyObject* source);

// The ticks of a run: a series copied out of Python, or a tick file that the
// run streams.
using TickInput = std::variant<TickArray, const TickSourceData*>;

// A TickSource is used by its path (it must outlive the input); anything else
// goes through ticks_from.  Returns false with the exception set.
bool resolve_ticks(ModuleState* state, PyObject* ticks, TickInput* out);

// Opens the file of `source` for a run: the whole file, or a slice's
// records only.  nullopt for a slice whose file's header no longer says what
// it said when the slice was made: its records may have moved.
std::optional<data::Opened> open_source(const TickSourceData& source, data::ReadHooks hooks,
                                        std::size_t block_records = data::BLOCK_RECORDS);

// Raises ValueError for a slice whose file open_source found changed.
void raise_changed_file(const TickSourceData& source);
// The same for any slice: the file at `path`, cut under `window`.
void raise_changed_window(PyObject* path, const data::TimeWindow& window);

// Raises ValueError "{path}: {error}" for a file that cannot be used, as
// load_ticks does and as a run does when the source's file no longer opens.
void raise_tick_file_error(const TickSourceData& source, const data::Error& error);

}  // namespace halvorn::py
