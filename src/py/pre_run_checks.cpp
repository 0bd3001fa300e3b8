#include "py/pre_run_checks.hpp"

#include <variant>

#include "data/instrument_block.hpp"
#include "data/mark_reader.hpp"
#include "data/tick_quality.hpp"
#include "py/market_data/quality_values.hpp"
#include "py/pyref.hpp"
#include "py/venue/instrument_class.hpp"

namespace halvorn::py {

namespace {

template <class Found>
std::optional<data::InstrumentDefinition> defined(const Found& found) {
  const auto* d = std::get_if<std::optional<data::InstrumentDefinition>>(&found);
  return d != nullptr ? *d : std::nullopt;
}

// Calls halvorn.data._hazards.<name>(args...), which says what it found as
// a warning.  False with the exception set.
template <class... Args>
bool warn_through(const char* name, const char* format, Args... args) {
  Ref hazards = Ref::steal(PyImport_ImportModule("halvorn.data._hazards"));
  if (!hazards) return false;
  Ref done = Ref::steal(PyObject_CallMethod(hazards.get(), name, format, args...));
  return static_cast<bool>(done);
}

PyObject* or_none(PyObject* obj) { return obj != nullptr ? obj : Py_None; }

}  // namespace

std::optional<data::InstrumentDefinition> mark_file_definition(const std::string& fs_path) {
  return defined(data::instrument_of_mark_file(fs_path));
}

std::optional<data::InstrumentDefinition> depth_file_definition(const std::string& fs_path) {
  return defined(data::instrument_of_depth_file(fs_path));
}

bool check_file_instrument(const char* what, PyObject* path,
                           const std::optional<data::InstrumentDefinition>& file,
                           const venue::VenueConfig& venue, PyObject* given_for) {
  if (!file) return true;
  if (!venue.definition) {
    if (file->kind == data::ContractKind::Linear) return true;
    // The sizes alone value a position as a linear one: an inverse file run
    // without its instrument would be valued in the wrong currency.
    const std::string file_text = venue::instrument_text(*file);
    PyErr_Format(PyExc_ValueError,
                 "%s %R was converted for %s, whose contract is %s, and the venue was given no "
                 "instrument: give Venue(instrument=...) the file's instrument",
                 what, path, file_text.c_str(), data::contract_text(*file).c_str());
    return false;
  }
  const data::InstrumentDefinition& v = *venue.definition;
  const bool same_symbol = file->symbol.empty() || v.symbol.empty() || file->symbol == v.symbol;
  const std::string file_text = venue::instrument_text(*file);
  const std::string venue_text = venue::instrument_text(v);
  if (same_symbol && data::same_size(file->tick_size, v.tick_size) &&
      data::same_size(file->lot_size, v.lot_size)) {
    // Equal sizes of another kind of contract are no equal market: every
    // price would value a position in another currency.
    const std::optional<std::string> contract = data::contract_mismatch(*file, v);
    if (!contract) return true;
    PyErr_Format(PyExc_ValueError,
                 "%s %R was converted for %s, and the venue trades %s: %s; give the venue the "
                 "file's instrument",
                 what, path, file_text.c_str(), venue_text.c_str(), contract->c_str());
    return false;
  }
  if (given_for != nullptr) {
    PyErr_Format(PyExc_ValueError, "%s %R given for %R is of %s, and its venue trades %s", what,
                 path, given_for, file_text.c_str(), venue_text.c_str());
  } else {
    PyErr_Format(PyExc_ValueError,
                 "%s %R was converted for %s, and the venue trades %s: its prices would be "
                 "another market's; give the file of the venue's instrument",
                 what, path, file_text.c_str(), venue_text.c_str());
  }
  return false;
}

bool warn_before_run(const TickInput& input, const venue::VenueConfig& venue,
                     const market_data::MarkSourceData* marks, PyObject* symbol) {
  const auto* series = std::get_if<TickArray>(&input);
  const TickSourceData* file = series == nullptr ? std::get<const TickSourceData*>(input) : nullptr;
  // Only the tiers with latency count it from the local clock.
  if (!std::holds_alternative<core::Tier::L0>(venue.tier.kind)) {
    std::optional<data::ClockFindings> clock;
    if (series != nullptr) {
      data::ClockMeter meter;
      meter.add(std::span<const engine::Tick>(series->data(), series->size()));
      clock = meter.findings();
    } else {
      clock = data::sample_tick_clock(file->fs_path);
    }
    if (clock && clock->misleading()) {
      Ref findings = Ref::steal(market_data::clock_tuple(*clock));
      if (!findings || !warn_through("warn_run_clock", "sOOO", venue.tier.name(), findings.get(),
                                     series == nullptr ? Py_True : Py_False, or_none(symbol))) {
        return false;
      }
    }
  }
  if (marks == nullptr) return true;
  const std::optional<Nanos> marks_end = data::last_mark_time(marks->fs_path);
  std::optional<Nanos> ticks_end;
  if (series != nullptr && !series->empty()) ticks_end = series->back().exch_ts;
  if (file != nullptr) ticks_end = data::last_tick_time(file->fs_path);
  if (!marks_end || !ticks_end) return true;
  return warn_through("warn_run_marks_end", "LLO", static_cast<long long>(*marks_end),
                      static_cast<long long>(*ticks_end), or_none(symbol));
}

}  // namespace halvorn::py
