// Orders whose prices and quantities are given in units.
//
// The venue's orders take each price, quantity, trigger, trailing distance
// and activation either as a count (an int: ticks or lots, as always) or in
// the instrument's units (decimal text, a Decimal, a float read as the
// decimal it writes).  An order does not know its instrument when it is made
// (it names a symbol, or none for the tick's), so a value in units is kept
// as it was given and counted when the strategy returns the order: exactly,
// in the steps of the instrument it is for, or rounded as the order's
// `rounding` asks; a value between two steps is refused there, naming the
// value and the step, and fails the run as a strategy's mistake does.
//
// Thread-safety: the readers run with the interpreter lock held; counting a
// ticket is pure.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "data/instrument_definition.hpp"
#include "py/order_ticket.hpp"
#include "py/pyref.hpp"

namespace halvorn::py::venue {

struct VenueState;

// A count field of an order: an int of at least 1 (`rule` says what, "a
// price of at least 1 tick"), or a positive value in units, kept in `*units`
// with `*count` 1.  False with a TypeError naming the field for anything
// else, or a ValueError for a value out of range.
bool count_or_units(const VenueState* st, PyObject* obj, const char* field, const char* rule,
                    std::int64_t* count, std::optional<data::Decimal>* units);

// An order's qty: a count of lots or a quantity in units, into `out`; None
// (or absent), when `none_allowed`, is 0: the whole position it faces.
bool qty_arg(const VenueState* st, PyObject* obj, bool none_allowed, OrderTicket* out);

// A price field: None (or absent), a count of ticks, or a price in units
// (kept in `*units`).
bool price_arg(const VenueState* st, const char* field, PyObject* obj,
               std::optional<std::int64_t>* out, std::optional<data::Decimal>* units);

// Why a bracket's exit does not fit its entry: on the entry's side, or a
// stop (`stop`) not beyond the entry's price the losing way, a take-profit
// not beyond it the winning way; nothing when it fits, or when a level is
// not yet known (given in units: judged again once counted).
std::optional<std::string> bracket_exit_refusal(const OrderTicket& entry, const OrderTicket& exit,
                                                bool stop);

// Makes `exit` the exit a bracket places: it closes what `entry` opened, at
// the entry's size when it gives none, only ever reducing, on the leg and
// instrument the entry opened.
void close_what_entry_opens(const OrderTicket& entry, OrderTicket* exit);

// The attribute of such a field: the value in units as a Decimal when it was
// given so, else the count.  A new reference; null with an exception set.
PyObject* count_field(const VenueState* st, std::int64_t count,
                      const std::optional<data::Decimal>& units);

// An order's fields and which of them were given in units: what its
// equality compares, since 1 (a lot) and Decimal("1") (of the base asset)
// are equal numbers.  Steals `fields`; null with the exception set.
Ref keyed_by_units(Ref fields, const OrderTicket& ticket);

// The `rounding` attribute of an order: "exact", "down" or "up".
PyObject* rounding_field(data::Rounding rounding);

// `ticket` with its values in units counted in the steps of `instrument`
// (null: the run has none), rounded as the ticket asks.  Returns the text of
// the refusal when a value cannot be counted: no instrument to count it by,
// a value between two steps, a count below one step.
std::optional<std::string> count_units(OrderTicket* ticket,
                                       const data::InstrumentDefinition* instrument);

}  // namespace halvorn::py::venue
