// What a strategy of halvorn.venue is shown on each tick: venue.Context,
// which is halvorn.Context (the same attributes, in ticks, lots and Cash)
// and its instrument (`ctx.instrument`), with two views of the tick and the
// account in the instrument's units, made when read:
//
//   ctx.units    exact decimal.Decimal values: 2450.17, 0.5, 10000.00000000
//   ctx.floats   the floats nearest those, for arithmetic at float speed
//
// Which to read is the strategy's choice, tick by tick; neither costs a tick
// anything until it is read (docs/venue.md gives what each costs a read).
// The integers stay where they were: `ctx.last` is ticks.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>

#include "py/registry.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py::venue {

struct VenueState;

// venue.Context and venue.Units, in the order the module shows them.
extern const std::array<ClassEntry<VenueState>, 2> UNIT_VIEW_CLASSES;

// A new venue.Context for `context`, whose instrument is `instrument` (a
// venue.Instrument, or None).  Null with an exception set.
PyObject* new_venue_context(const VenueState* state, const strategy::TickContext& context,
                            PyObject* instrument);
// Shows `context` and `instrument` in a venue.Context made by
// new_venue_context that nothing but the caller holds.
void rewrite_venue_context(PyObject* ctx, const strategy::TickContext& context,
                           PyObject* instrument);

}  // namespace halvorn::py::venue
