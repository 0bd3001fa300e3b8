// The orders a compiled strategy writes into its order slots, read into the
// engine's intents.
//
// A slot says in words what a venue order object says in fields: its kind
// (market, limit, stop, take-profit, trailing stop, close-position), its
// side, offset, size and levels, its time in force, whether it is post-only
// or reduce-only, what fires it, the instrument it is for and its place in
// a one-cancels-other pair or a bracket.  Each is read into the ticket the
// venue classes make (py/order_ticket.hpp) and placed through the same
// function, so that a slot and the object that says the same place the
// same order; what an object's constructor would refuse, a slot is refused
// for, with the words that are wrong.
//
// Thread-safety: a pure function of its arguments.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "strategy/strategy.hpp"
#include "types/ids.hpp"

namespace halvorn::py {

// Appends to `intents` what the first `count` slots of `slots` (each
// `words` wide: ORDER_WORDS or FULL_ORDER_WORDS) ask for, in slot order;
// orders are numbered from *orders_made + 1, and *orders_made is advanced
// past them.  An order whose instrument word is 0 is for `tick_instrument`.
// On a slot that cannot be placed, nothing is appended, *orders_made is
// left as it was, and what is wrong is returned ("order slot 3 has kind
// 9; ..."): a call that reports anything wrong places none of its orders.
std::optional<std::string> read_order_slots(const std::int64_t* slots, std::size_t count,
                                            std::size_t words, InstrumentId tick_instrument,
                                            std::uint64_t* orders_made,
                                            std::vector<strategy::Intent>& intents);

}  // namespace halvorn::py
