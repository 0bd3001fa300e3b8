// The Python classes, the strategy adapter, the run functions and the tick
// functions.
//
// register_tier fills the module after the statistics functions, in a fixed
// order: CASH_SCALE, then the classes, then the functions.
//
// Thread-safety: everything here runs with the interpreter lock held, except
// where a function says it releases it.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/tick.hpp"
#include "py/state.hpp"
#include "py/tick_array.hpp"
#include "types/order.hpp"

namespace halvorn::data {
struct Error;
}

namespace halvorn::py {

// Adds CASH_SCALE, the classes and the run and tick functions to the module.
// Returns -1 with an exception set on failure.
int register_tier(PyObject* module);

// The instance layouts of the value classes.  Each starts with the object
// header (what PyObject_HEAD declares), spelled out so that formatting tools
// see an ordinary member.
struct PyTick {
  PyObject ob_base;
  engine::Tick tick;
};

struct PyOrder {
  PyObject ob_base;
  std::int64_t price;
  QtyLots qty;
  bool has_price;
  Side side;
  Offset offset;
};

// The account values a Context shows besides its tick.
struct ContextValues {
  QtyLots position = 0;
  std::int64_t entry = 0;
  QtyLots short_position = 0;
  std::int64_t short_entry = 0;
  Cash equity = 0;
  std::uint64_t working = 0;
};

struct PyContext {
  PyObject ob_base;
  engine::Tick tick;
  ContextValues values;
};

// An order as a strategy returned it, copied out of its Order object.
struct OrderRequest {
  std::int64_t price = 0;
  QtyLots qty = 0;
  bool has_price = false;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
};

// New Tick / Context objects; nullptr with an exception set on failure.
PyObject* new_tick(ModuleState* state, const engine::Tick& tick);
PyObject* new_context(ModuleState* state, const engine::Tick& tick, const ContextValues& values);

// Sequence extraction: `obj` must follow the sequence protocol, must not be a
// str, and every element must be a Tick (an Order).  On failure returns false
// with a TypeError (or the exception iteration raised) set and `out` cleared;
// callers replace the error with their own message.
bool extract_ticks(ModuleState* state, PyObject* obj, TickArray* out);
bool extract_orders(ModuleState* state, PyObject* obj, std::vector<OrderRequest>* out);

// The value classes and their registration (tier_values.cpp).
PyObject* create_tick_type(PyObject* module);
PyObject* create_context_type(PyObject* module);
PyObject* create_order_type(PyObject* module);

// Tick files (tier_sources.cpp).
PyObject* create_tick_source_type(PyObject* module);
// Adds load_ticks and then save_ticks.
int add_tick_file_functions(PyObject* module);

// True when `obj` is a TickSource.
bool is_tick_source(ModuleState* state, PyObject* obj);
// The file a TickSource names, encoded for the file system: what a run hands
// to data::TickReader::open.  The reference lives as long as the source.
// Requires: is_tick_source(state, source).
const std::string& tick_source_path(PyObject* source);
// The same path as the str the caller gave load_ticks (borrowed), for
// messages.  Requires: is_tick_source(state, source).
PyObject* tick_source_path_str(PyObject* source);
// Raises ValueError "{path}: {error}", as load_ticks does and as a run does
// when the source's file no longer opens.  `path` is a str.
void raise_tick_file_error(PyObject* path, const data::Error& error);

// Turns a ticks argument that is not a TickSource into an array, every
// element converted before anything else happens.  On failure returns false
// with the one TypeError every ticks argument gives ("ticks must be a
// sequence of Tick, or a TickSource; ..."), whatever the underlying fault;
// only KeyboardInterrupt, SystemExit and a panic pass through as they are.
// A TickSource itself is refused here: callers that stream test
// is_tick_source first.
bool ticks_from(ModuleState* state, PyObject* ticks, TickArray* out);

// A tp_new for classes Python may not call: raises TypeError "cannot create
// '{name}' instances" with the class's short name.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwds);

}  // namespace halvorn::py
