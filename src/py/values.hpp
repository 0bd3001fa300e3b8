// Tick, Order and Context: the value classes that cross between a Python
// strategy and the engine, and the extraction of Python sequences of them.
//
// Each holds engine values directly: a Tick holds an engine::Tick, a Context
// the strategy::TickContext the run loop built, an Order the request a
// strategy made.  Nothing is scaled or converted on the way in or out.
//
// Thread-safety: everything here runs with the interpreter lock held.

#pragma once

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

#include "engine/tick.hpp"
#include "py/module_state.hpp"
#include "py/order_ticket.hpp"
#include "py/pyref.hpp"
#include "strategy/strategy.hpp"
#include "types/types.hpp"

namespace halvorn::py {

// An order as a strategy asked for it.
struct OrderRequest {
  std::int64_t price = 0;
  QtyLots qty = 0;
  bool has_price = false;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
};

// A cancellation a strategy of halvorn.venue may return beside its orders.
struct CancelRequest {
  OrderId order_id = 0;
};
struct CancelAllRequest {};

// One of the venue's orders (its object holds an OrderTicket) or groups (a
// GroupData), held by a strong reference until the adapter has read it: the
// objects are immutable, and a reference keeps a request small.
struct TicketRequest {
  Ref object;
};
struct GroupRequest {
  Ref object;
};

using Request =
    std::variant<OrderRequest, CancelRequest, CancelAllRequest, TicketRequest, GroupRequest>;

// The classes a returned sequence may hold besides Order; null: none.
struct RequestTypes {
  PyTypeObject* cancel = nullptr;      // holds a CancelRequest
  PyTypeObject* cancel_all = nullptr;  // holds a CancelAllRequest
  // The venue's order classes, each holding an OrderTicket, and its group
  // classes, each a GroupData (order_classes.hpp).
  std::array<PyTypeObject*, 5> tickets{};
  std::array<PyTypeObject*, 2> groups{};
  // The venue keeps long and short legs apart, so that an order that only
  // reduces must name the leg it reduces.
  bool hedge = false;
};

// The class layouts, for the module definition.
extern PyType_Spec tick_spec;
extern PyType_Spec context_spec;
extern PyType_Spec order_spec;

// New Tick / Context objects; nullptr with an exception set on failure.
PyObject* new_tick(ModuleState* state, const engine::Tick& tick);
PyObject* new_context(ModuleState* state, const strategy::TickContext& context);
// Shows `context` in a Context made by new_context that nothing but the
// caller holds.
void rewrite_context(PyObject* ctx, const strategy::TickContext& context);

// Context's attributes and repr, for any class whose objects hold a
// strategy::TickContext at the very start of their data: halvorn.Context,
// and halvorn.venue.Context, which shows a strategy more.
constexpr std::size_t CONTEXT_FIELDS = 8;
extern PyGetSetDef context_getset[CONTEXT_FIELDS + 1];
PyObject* context_repr(PyObject* self);

// The fixed strings of a side and an offset ("buy", "open", ...), borrowed.
PyObject* side_string(ModuleState* state, Side side);
PyObject* offset_string(ModuleState* state, Offset offset);

// Requires: `obj` is a Tick (an Order).
const engine::Tick& tick_of(PyObject* obj);
const OrderRequest& order_of(PyObject* obj);

// Sequence extraction: `obj` must follow the sequence protocol, must not be a
// str, and every element must be an Order (or a class of `types`).  On
// failure returns false with a TypeError (or the exception iteration raised)
// set and `out` cleared; callers replace the error with their own message.
bool extract_requests(ModuleState* state, const RequestTypes& types, PyObject* obj,
                      std::vector<Request>* out);

}  // namespace halvorn::py
