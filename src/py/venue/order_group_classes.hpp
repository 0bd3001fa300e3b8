// The groups of orders halvorn.venue takes: OneCancelsOther, two orders
// of which the first to fill or fire cancels the other, and BracketOrder,
// an entry whose exits are armed once it fills.  Each checks its members
// when it is made: orders of the venue's kinds, for one instrument.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <Python.h>

namespace halvorn::py::venue {

// The classes' specs, for the order classes' table (order_classes.hpp).
PyType_Spec* one_cancels_other_spec();
PyType_Spec* bracket_order_spec();

}  // namespace halvorn::py::venue
