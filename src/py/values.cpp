#include "py/values.hpp"

#include <algorithm>
#include <cstddef>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/registry.hpp"
#include "py/sequence_extraction.hpp"
#include "py/signatures.hpp"

namespace halvorn::py {

namespace {

using PyTick = Boxed<engine::Tick>;
using PyOrder = Boxed<OrderRequest>;
using PyContext = Boxed<strategy::TickContext>;

}  // namespace

// ---------------------------------------------------------------------------
// Tick

PyObject* new_tick(ModuleState* state, const engine::Tick& tick) {
  return box<engine::Tick>(state->tick_type, &state->free_ticks, tick);
}

const engine::Tick& tick_of(PyObject* obj) { return unbox<engine::Tick>(obj); }

namespace {

template <std::int64_t engine::Tick::* Field>
PyObject* tick_get(PyObject* self, void*) {
  return PyLong_FromLongLong(tick_of(self).*Field);
}

constexpr auto TICK =
    signature("halvorn.Tick", either("exch_ts"), either("last"), either("local_ts", "None"),
              either("high", "None"), either("low", "None"), either("bid", "0"), either("ask", "0"),
              either("volume", "0"));

PyObject* tick_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  ArgumentsOf<TICK> a;
  if (!parse<TICK>(args, kwds, &a)) return nullptr;
  PyObject *exch_ts = a[0], *last = a[1], *local_ts = a[2], *high = a[3], *low = a[4], *bid = a[5],
           *ask = a[6], *volume = a[7];
  engine::Tick t;
  if (!to_i64(exch_ts, "exch_ts", &t.exch_ts) || !to_i64(last, "last", &t.last)) return nullptr;
  auto optional = [](PyObject* obj, const char* name, std::int64_t fallback, std::int64_t* out) {
    if (obj == nullptr || obj == Py_None) {
      *out = fallback;
      return true;
    }
    return to_i64(obj, name, out);
  };
  if (!optional(local_ts, "local_ts", t.exch_ts, &t.local_ts) ||
      !optional(high, "high", t.last, &t.high) || !optional(low, "low", t.last, &t.low)) {
    return nullptr;
  }
  // bid, ask and volume default to 0 only when absent: None is not a price.
  auto required_or_zero = [](PyObject* obj, const char* name, std::int64_t* out) {
    if (obj == nullptr) {
      *out = 0;
      return true;
    }
    return to_i64(obj, name, out);
  };
  if (!required_or_zero(bid, "bid", &t.bid) || !required_or_zero(ask, "ask", &t.ask) ||
      !required_or_zero(volume, "volume", &t.volume)) {
    return nullptr;
  }
  return box<engine::Tick>(type, &state_of_type(type)->free_ticks, t);
}

PyObject* tick_repr(PyObject* self) {
  const engine::Tick& t = tick_of(self);
  return PyUnicode_FromFormat("Tick(exch_ts=%lld, last=%lld, bid=%lld, ask=%lld)",
                              static_cast<long long>(t.exch_ts), static_cast<long long>(t.last),
                              static_cast<long long>(t.bid), static_cast<long long>(t.ask));
}

PyGetSetDef tick_getset[] = {
    {"exch_ts", tick_get<&engine::Tick::exch_ts>, nullptr,
     "When the venue says it happened, in nanoseconds.", nullptr},
    {"local_ts", tick_get<&engine::Tick::local_ts>, nullptr,
     "When this process saw it, in nanoseconds.", nullptr},
    {"last", tick_get<&engine::Tick::last>, nullptr, "Last traded price, in ticks.", nullptr},
    {"high", tick_get<&engine::Tick::high>, nullptr, "High over the observation, in ticks.",
     nullptr},
    {"low", tick_get<&engine::Tick::low>, nullptr, "Low over the observation, in ticks.", nullptr},
    {"bid", tick_get<&engine::Tick::bid>, nullptr,
     "Best bid, in ticks, or zero when the book had none.", nullptr},
    {"ask", tick_get<&engine::Tick::ask>, nullptr,
     "Best ask, in ticks, or zero when the book had none.", nullptr},
    {"volume", tick_get<&engine::Tick::volume>, nullptr, "Cumulative volume, in lots.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char tick_doc[] =
    "One observation, as Python sees it.\n\n"
    "Prices are integers in their native tick units, exactly as the engine\n"
    "holds them. Scaling them in the Python layer would put a float on the\n"
    "path between the engine and the decision, which is the one place this\n"
    "system refuses to put one.";

PyType_Slot tick_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tick_new)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(pooled_dealloc<engine::Tick, &ModuleState::free_ticks>)},
    {Py_tp_repr, reinterpret_cast<void*>(tick_repr)},
    {Py_tp_getset, tick_getset},
    {Py_tp_doc, const_cast<char*>(docstring<TICK>(tick_doc))},
    {0, nullptr},
};

}  // namespace

PyType_Spec tick_spec = {"halvorn.Tick", sizeof(PyTick), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, tick_slots};

// ---------------------------------------------------------------------------
// Order

const OrderRequest& order_of(PyObject* obj) { return unbox<OrderRequest>(obj); }

PyObject* side_string(ModuleState* st, Side side) {
  return side == Side::Buy ? st->str_buy : st->str_sell;
}
PyObject* offset_string(ModuleState* st, Offset offset) {
  return offset == Offset::Open ? st->str_open : st->str_close;
}

namespace {

constexpr auto ORDER = signature("halvorn.Order", either("side"), either("qty"),
                                 either("offset", "\"open\""), either("price", "None"));

PyObject* order_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(type), [&]() -> PyObject* {
    ArgumentsOf<ORDER> a;
    if (!parse<ORDER>(args, kwds, &a)) return nullptr;
    PyObject *side_obj = a[0], *qty_obj = a[1], *offset_obj = a[2], *price_obj = a[3];
    auto is_str = [](PyObject* obj, const char* name) {
      if (PyUnicode_Check(obj)) return true;
      PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %.200s", name,
                   Py_TYPE(obj)->tp_name);
      return false;
    };
    std::int64_t qty = 0, price = 0;
    bool has_price = price_obj != nullptr && price_obj != Py_None;
    if (!is_str(side_obj, "side") || !to_i64(qty_obj, "qty", &qty)) return nullptr;
    if (offset_obj != nullptr && !is_str(offset_obj, "offset")) return nullptr;
    if (has_price && !to_i64(price_obj, "price", &price)) return nullptr;
    // Compared as code points, so a string that is not valid UTF-8 (a lone
    // surrogate) is still reported as a wrong side rather than a wrong type.
    auto equals = [](PyObject* s, const char* ascii) {
      return PyUnicode_CompareWithASCIIString(s, ascii) == 0;
    };
    bool buy = equals(side_obj, "buy");
    if (!buy && !equals(side_obj, "sell")) {
      PyErr_Format(PyExc_ValueError, "side must be \"buy\" or \"sell\", got %s",
                   quote_escaped(side_obj).c_str());
      return nullptr;
    }
    bool open = offset_obj == nullptr || equals(offset_obj, "open");
    if (!open && !equals(offset_obj, "close")) {
      PyErr_Format(PyExc_ValueError, "offset must be \"open\" or \"close\", got %s",
                   quote_escaped(offset_obj).c_str());
      return nullptr;
    }
    if (qty < 1) {
      PyErr_Format(PyExc_ValueError, "qty must be positive, got %lld", static_cast<long long>(qty));
      return nullptr;
    }
    return box(type, OrderRequest{price, qty, has_price, buy ? Side::Buy : Side::Sell,
                                  open ? Offset::Open : Offset::Close});
  });
}

PyObject* order_get_price(PyObject* self, void*) {
  if (!order_of(self).has_price) Py_RETURN_NONE;
  return PyLong_FromLongLong(order_of(self).price);
}
PyObject* order_get_side(PyObject* self, void*) {
  return Py_NewRef(side_string(state_of_type(Py_TYPE(self)), order_of(self).side));
}
PyObject* order_get_offset(PyObject* self, void*) {
  return Py_NewRef(offset_string(state_of_type(Py_TYPE(self)), order_of(self).offset));
}
PyObject* order_get_qty(PyObject* self, void*) { return PyLong_FromLongLong(order_of(self).qty); }

PyObject* order_repr(PyObject* self) {
  const OrderRequest& o = order_of(self);
  const char* side = name_of(o.side);
  const char* offset = name_of(o.offset);
  if (o.has_price) {
    return PyUnicode_FromFormat("Order(\"%s\", %lld, \"%s\", price=%lld)", side,
                                static_cast<long long>(o.qty), offset,
                                static_cast<long long>(o.price));
  }
  return PyUnicode_FromFormat("Order(\"%s\", %lld, \"%s\")", side, static_cast<long long>(o.qty),
                              offset);
}

PyGetSetDef order_getset[] = {
    {"price", order_get_price, nullptr, "Limit price in ticks, or `None` for a market order.",
     nullptr},
    {"side", order_get_side, nullptr, "`\"buy\"` or `\"sell\"`.", nullptr},
    {"offset", order_get_offset, nullptr, "`\"open\"` or `\"close\"`.", nullptr},
    {"qty", order_get_qty, nullptr, "Lots.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char order_doc[] =
    "An order a Python strategy wants placed.\n\n"
    "`side` is `\"buy\"` or `\"sell\"`; `offset` is `\"open\"` or `\"close\"`.\n"
    "Both are validated at construction rather than at submission, so a\n"
    "typo fails on the line that wrote it instead of somewhere inside the\n"
    "engine.";

PyType_Slot order_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(order_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<OrderRequest>)},
    {Py_tp_repr, reinterpret_cast<void*>(order_repr)},
    {Py_tp_getset, order_getset},
    {Py_tp_doc, const_cast<char*>(docstring<ORDER>(order_doc))},
    {0, nullptr},
};

}  // namespace

PyType_Spec order_spec = {"halvorn.Order", sizeof(PyOrder), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, order_slots};

// ---------------------------------------------------------------------------
// Context

PyObject* new_context(ModuleState* state, const strategy::TickContext& context) {
  return box<strategy::TickContext>(state->context_type, &state->free_contexts, context);
}

void rewrite_context(PyObject* ctx, const strategy::TickContext& context) {
  unbox<strategy::TickContext>(ctx) = context;
}

namespace {

const strategy::TickContext& context_of(PyObject* self) {
  return unbox<strategy::TickContext>(self);
}

PyObject* context_get_tick(PyObject* self, void*) {
  return new_tick(state_of_type(Py_TYPE(self)), context_of(self).tick);
}
PyObject* context_get_last(PyObject* self, void*) {
  return PyLong_FromLongLong(context_of(self).tick.last);
}
template <std::int64_t strategy::TickContext::* Field>
PyObject* context_get(PyObject* self, void*) {
  return PyLong_FromLongLong(context_of(self).*Field);
}
PyObject* context_get_working(PyObject* self, void*) {
  return PyLong_FromSize_t(context_of(self).working);
}

}  // namespace

PyObject* context_repr(PyObject* self) {
  const strategy::TickContext& c = context_of(self);
  return PyUnicode_FromFormat("Context(last=%lld, position=%lld, equity=%lld)",
                              static_cast<long long>(c.tick.last),
                              static_cast<long long>(c.position), static_cast<long long>(c.equity));
}

PyGetSetDef context_getset[CONTEXT_FIELDS + 1] = {
    {"tick", context_get_tick, nullptr, "The observation this call is about.", nullptr},
    {"last", context_get_last, nullptr,
     "Last traded price, in ticks. Shorthand for `ctx.tick.last`.", nullptr},
    {"position", context_get<&strategy::TickContext::position>, nullptr,
     "Net long position, in lots.", nullptr},
    {"entry", context_get<&strategy::TickContext::entry>, nullptr,
     "Average entry of the long position, in ticks.", nullptr},
    {"short_position", context_get<&strategy::TickContext::short_position>, nullptr,
     "Net short position, in lots.", nullptr},
    {"short_entry", context_get<&strategy::TickContext::short_entry>, nullptr,
     "Average entry of the short position, in ticks.", nullptr},
    {"equity", context_get<&strategy::TickContext::equity>, nullptr,
     "Account equity, in the cash unit's smallest denomination.", nullptr},
    {"working", context_get_working, nullptr, "Orders resting at the venue.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

namespace {

const char context_doc[] =
    "The tick plus the account, as Python sees it.\n\n"
    "Flat rather than nested: a nested `ctx.tick.last` is two attribute\n"
    "lookups across the boundary where `ctx.last` is one, and this object\n"
    "is built once per tick in the mode that cares about that.";

PyType_Slot context_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(pooled_dealloc<strategy::TickContext, &ModuleState::free_contexts>)},
    {Py_tp_repr, reinterpret_cast<void*>(context_repr)},
    {Py_tp_getset, context_getset},
    {Py_tp_doc, const_cast<char*>(context_doc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec context_spec = {"halvorn.Context", sizeof(PyContext), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, context_slots};

// ---------------------------------------------------------------------------
// Sequence extraction

bool extract_requests(ModuleState* state, const RequestTypes& types, PyObject* obj,
                      std::vector<Request>* out) {
  return extract_sequence(obj, "Order", out, [&](PyObject* item) {
    PyTypeObject* type = Py_TYPE(item);
    if (type == state->order_type) {
      out->emplace_back(order_of(item));
    } else if (types.cancel != nullptr && type == types.cancel) {
      out->emplace_back(unbox<CancelRequest>(item));
    } else if (types.cancel_all != nullptr && type == types.cancel_all) {
      out->emplace_back(CancelAllRequest{});
    } else if (std::find(types.tickets.begin(), types.tickets.end(), type) != types.tickets.end()) {
      out->emplace_back(TicketRequest{Ref::borrow(item)});
    } else if (std::find(types.groups.begin(), types.groups.end(), type) != types.groups.end()) {
      out->emplace_back(GroupRequest{Ref::borrow(item)});
    } else {
      return false;
    }
    return true;
  });
}

}  // namespace halvorn::py
