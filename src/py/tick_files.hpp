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
#include "py/gil.hpp"
#include "py/module_state.hpp"
#include "py/tick_input.hpp"

namespace halvorn::py {

// What a TickSource holds.
struct TickSourceData {
  Ref path;             // the str the caller passed, as an exact str
  std::string fs_path;  // the same path encoded for the file system
  std::uint64_t count = 0;
  std::uint64_t instrument = 0;
  // What the file's instrument block defines: none for a file written
  // without one (and for a pipe, whose end cannot be read before its records).
  std::optional<data::InstrumentDefinition> definition;
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

// Raises ValueError "{path}: {error}" for a file that cannot be used, as
// load_ticks does and as a run does when the source's file no longer opens.
void raise_tick_file_error(const TickSourceData& source, const data::Error& error);

}  // namespace halvorn::py
