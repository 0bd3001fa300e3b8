// The instruments of a run as its strategy meets them.
//
// A strategy of halvorn.venue is told what its integers mean: the context
// of each tick carries the tick's venue.Instrument (ctx.instrument), a
// batched strategy finds it on itself, and the orders it gives in units are
// counted in that instrument's ticks and lots.  This table holds, for each
// instrument id of a run, the Instrument object handed out (None when the
// venue defines none) and its definition.  The core module's runs have an
// empty table, and show their strategies what they always have.
//
// Thread-safety: made and dropped with the interpreter lock held; looking
// a definition up reads plain values.

#pragma once

#include <optional>
#include <vector>

#include "data/instrument_definition.hpp"
#include "py/pyref.hpp"
#include "types/types.hpp"

namespace halvorn::py {

namespace venue {
struct VenueState;
}

class RunInstruments {
 public:
  // Empty: the core module's protocol.
  RunInstruments() = default;

  // Adds instrument `id`, defined by `definition` or by nothing.  False with
  // the exception set.  Requires: the lock is held.
  bool add(const venue::VenueState* state, InstrumentId id,
           const std::optional<data::InstrumentDefinition>& definition);

  bool empty() const { return held_.empty(); }
  const venue::VenueState* state() const { return state_; }

  // The definition of instrument `id`; null when the run's venue gives none
  // or the run has no such instrument.
  const data::InstrumentDefinition* definition(InstrumentId id) const {
    const Held* h = find(id);
    return h != nullptr && h->definition ? &*h->definition : nullptr;
  }
  // Its venue.Instrument, borrowed; None when it has none.
  PyObject* object(InstrumentId id) const {
    const Held* h = find(id);
    return h != nullptr ? h->object.get() : Py_None;
  }
  // A read-only mapping of symbol to Instrument, for a portfolio's
  // strategy; a new reference, null with the exception set.  `symbols` in
  // id order.  Requires: the lock is held.
  PyObject* by_symbol(const std::vector<Ref>& symbols) const;

  // Drops the references it holds.  Requires: the lock is held.
  void drop() { held_.clear(); }

 private:
  struct Held {
    InstrumentId id;
    Ref object;  // a venue.Instrument, or None
    std::optional<data::InstrumentDefinition> definition;
  };
  const Held* find(InstrumentId id) const {
    // A portfolio numbers its instruments 1, 2, ... in order; a run of one
    // has the venue's id.
    const std::size_t at = id.value - 1;
    if (at < held_.size() && held_[at].id == id) return &held_[at];
    for (const Held& h : held_) {
      if (h.id == id) return &h;
    }
    return nullptr;
  }

  const venue::VenueState* state_ = nullptr;
  std::vector<Held> held_;
};

}  // namespace halvorn::py
