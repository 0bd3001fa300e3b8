// The orders halvorn.venue takes besides halvorn.Order: venue.Order (time in
// force, post-only, reduce-only, a tag), the conditional orders Stop,
// TakeProfit and TrailingStop, ClosePosition, the groups OneCancelsOther
// and BracketOrder (order_group_classes.cpp), and the cancellations Cancel
// and CancelAll.
//
// Each checks its fields when it is made, with a ValueError or TypeError
// naming the field: nothing reaches the engine that it would have to refuse
// for being malformed.  A strategy returns them from on_tick, on_batch or
// on_columns beside halvorn.Order; the adapter numbers them (a group's
// members in order) and links each group.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>

#include "py/registry.hpp"
#include "py/values.hpp"

namespace halvorn::py::venue {

struct VenueState;

// The order, group and cancellation classes, in the order the module shows
// them.
extern const std::array<ClassEntry<VenueState>, 9> ORDER_CLASSES;

// What a strategy of this venue may return: cancellations and every order
// class; `hedge` for a venue that keeps legs apart.
RequestTypes venue_requests(const VenueState* state, bool hedge);

// The text on_end receives for how an order ended: "filled", "canceled",
// "expired", "triggered", or "rejected:" and the reason ("rejected:
// post_only_would_take").  A new reference; null with an exception set.
PyObject* ending_text(const VenueState* state, strategy::Ending ending);

}  // namespace halvorn::py::venue
