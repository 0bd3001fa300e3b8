// What a run checks of its files before it starts, and what it warns of.
//
// A mark or depth file recorded for another instrument than the venue's
// would value or fill this instrument at another market's prices: each is
// refused as a tick file is, by the definition its instrument block keeps.
// And two hazards that leave every number plausible are said before the
// first tick: a local clock that runs behind the exchange's, on a tier that
// counts latency from it, and marks that end before the ticks.
//
// Thread-safety: called with the interpreter lock held.

#pragma once

#include <optional>
#include <string>

#include "data/instrument_definition.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/tick_files.hpp"
#include "py/venue/venue_config.hpp"

namespace halvorn::py {

// The definition the instrument block of a mark or a depth file keeps; none
// for a file without one (or whose block cannot be read: the reader of the
// records says what is wrong with the file).
std::optional<data::InstrumentDefinition> mark_file_definition(const std::string& fs_path);
std::optional<data::InstrumentDefinition> depth_file_definition(const std::string& fs_path);

// Refuses a file whose definition names another instrument than `venue`'s:
// another symbol (when both name one), other sizes or another contract
// (data::contract_mismatch); and an inverse file when the venue has no
// definition to value it by.  `what` says which
// file ("the mark file"), `path` is its str, and `given_for` the symbol a
// portfolio was given it for (or null).  False with ValueError set.
bool check_file_instrument(const char* what, PyObject* path,
                           const std::optional<data::InstrumentDefinition>& file,
                           const venue::VenueConfig& venue, PyObject* given_for = nullptr);

// Warns of what would make a run over `input` on `venue` with `marks` (or
// null) mislead: on tier L1 or L2 a local clock behind the exchange's (the
// whole of ticks in memory is looked at, a sample of a file), and marks
// that end more than a minute before the ticks.  `symbol` names the
// portfolio's instrument, or is null.  False with the exception set when a
// warning was made an error.
bool warn_before_run(const TickInput& input, const venue::VenueConfig& venue,
                     const market_data::MarkSourceData* marks, PyObject* symbol = nullptr);

}  // namespace halvorn::py
