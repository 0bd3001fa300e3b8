#include "py/venue/unit_views.hpp"

#include <cstddef>
#include <string>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/values.hpp"
#include "py/venue/instrument_class.hpp"
#include "py/venue/unit_values.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

// What a venue.Context holds: the context first, where Context's own
// getters read it, then the instrument.
struct VenueContext {
  strategy::TickContext context;
  Ref instrument;  // a venue.Instrument, or None
};
static_assert(offsetof(VenueContext, context) == 0);

// What a view in units holds: the tick and the account as counts, and the
// steps that turn them into units.
struct UnitsData {
  engine::Tick tick;
  QtyLots position = 0;
  std::int64_t entry = 0;
  QtyLots short_position = 0;
  std::int64_t short_entry = 0;
  Cash equity = 0;
  data::Decimal price_step;
  data::Decimal qty_step;
  bool floats = false;
};

const char NO_INSTRUMENT[] =
    "this run has no Instrument, so its ticks and lots have no unit: run it on a "
    "Venue(instrument=Instrument(...)), or on a tick file converted with one";

// ---------------------------------------------------------------------------
// Units

enum class Kind { Price, Qty, Cash };

PyObject* value_of(PyObject* self, std::int64_t count, Kind kind) {
  const UnitsData& u = unbox<UnitsData>(self);
  const data::Decimal& step = kind == Kind::Price ? u.price_step
                              : kind == Kind::Qty ? u.qty_step
                                                  : cash_step();
  if (u.floats) return PyFloat_FromDouble(double_of_steps(count, step));
  return decimal_of_steps(venue_state_of_type(Py_TYPE(self)), count, step);
}

template <std::int64_t engine::Tick::* Field, Kind K>
PyObject* units_tick(PyObject* self, void*) {
  return value_of(self, unbox<UnitsData>(self).tick.*Field, K);
}
template <std::int64_t UnitsData::* Field, Kind K>
PyObject* units_account(PyObject* self, void*) {
  return value_of(self, unbox<UnitsData>(self).*Field, K);
}

PyGetSetDef units_getset[] = {
    {"last", units_tick<&engine::Tick::last, Kind::Price>, nullptr, "Last traded price.", nullptr},
    {"high", units_tick<&engine::Tick::high, Kind::Price>, nullptr, "High over the observation.",
     nullptr},
    {"low", units_tick<&engine::Tick::low, Kind::Price>, nullptr, "Low over the observation.",
     nullptr},
    {"bid", units_tick<&engine::Tick::bid, Kind::Price>, nullptr,
     "Best bid, or zero when the book had none.", nullptr},
    {"ask", units_tick<&engine::Tick::ask, Kind::Price>, nullptr,
     "Best ask, or zero when the book had none.", nullptr},
    {"volume", units_tick<&engine::Tick::volume, Kind::Qty>, nullptr,
     "Cumulative volume, in the base asset.", nullptr},
    {"position", units_account<&UnitsData::position, Kind::Qty>, nullptr,
     "Net long position, in the base asset.", nullptr},
    {"entry", units_account<&UnitsData::entry, Kind::Price>, nullptr,
     "Average entry of the long position.", nullptr},
    {"short_position", units_account<&UnitsData::short_position, Kind::Qty>, nullptr,
     "Net short position, in the base asset.", nullptr},
    {"short_entry", units_account<&UnitsData::short_entry, Kind::Price>, nullptr,
     "Average entry of the short position.", nullptr},
    {"equity", units_account<&UnitsData::equity, Kind::Cash>, nullptr, "Account equity, in USDT.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* units_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    std::string text = "Units(";
    const char* names[] = {"last", "bid", "ask", "position", "entry", "equity"};
    for (const char* name : names) {
      Ref value = Ref::steal(PyObject_GetAttrString(self, name));
      Ref shown = value ? Ref::steal(PyObject_Str(value.get())) : Ref();
      std::string part;
      if (!shown || !utf8_of(shown.get(), &part)) return nullptr;
      text += std::string(text.size() > 6 ? ", " : "") + name + "=" + part;
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

const char units_doc[] =
    "The tick and the account of a venue.Context in the instrument's units:\n"
    "prices in the quote currency, quantities in the base asset, equity in\n"
    "USDT.  `ctx.units` holds exact decimal.Decimal values, `ctx.floats` the\n"
    "floats nearest them; each value is made when it is read.\n\n"
    "```python\n"
    "u = ctx.units\n"
    "if u.last - u.entry > 5 and u.position > 0: ...   # 5 USDT above entry\n"
    "```";

PyType_Slot units_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<UnitsData>)},
    {Py_tp_repr, reinterpret_cast<void*>(units_repr)},
    {Py_tp_getset, units_getset},
    {Py_tp_doc, const_cast<char*>(units_doc)},
    {0, nullptr},
};

PyType_Spec units_spec = {"halvorn.venue.Units", static_cast<int>(sizeof(Boxed<UnitsData>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, units_slots};

// ---------------------------------------------------------------------------
// Context

PyObject* context_instrument(PyObject* self, void*) {
  return Py_NewRef(unbox<VenueContext>(self).instrument.get());
}

PyObject* context_units(PyObject* self, bool floats) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const VenueContext& v = unbox<VenueContext>(self);
    const VenueState* st = venue_state_of_type(Py_TYPE(self));
    if (v.instrument.get() == Py_None) {
      PyErr_SetString(PyExc_ValueError, NO_INSTRUMENT);
      return nullptr;
    }
    const data::InstrumentDefinition& d = instrument_value(v.instrument.get()).definition;
    const strategy::TickContext& c = v.context;
    return box(st->units_type,
               UnitsData{c.tick, c.position, c.entry, c.short_position, c.short_entry, c.equity,
                         d.tick_size.value, d.lot_size.value, floats});
  });
}
PyObject* context_get_units(PyObject* self, void*) { return context_units(self, false); }
PyObject* context_get_floats(PyObject* self, void*) { return context_units(self, true); }

// Context's eight attributes, then the three a venue adds.
std::array<PyGetSetDef, CONTEXT_FIELDS + 4> make_context_getset() {
  std::array<PyGetSetDef, CONTEXT_FIELDS + 4> all{};
  for (std::size_t i = 0; i < CONTEXT_FIELDS; ++i) all[i] = context_getset[i];
  all[CONTEXT_FIELDS] = {"instrument", context_instrument, nullptr,
                         "The venue.Instrument of the tick, or None when the run's venue\n"
                         "defines none: its steps and exact conversions (to_ticks, to_lots,\n"
                         "price_of, qty_of), for thresholds decided once.",
                         nullptr};
  all[CONTEXT_FIELDS + 1] = {"units", context_get_units, nullptr,
                             "The tick and the account in the instrument's units, as exact\n"
                             "decimal.Decimal values (a venue.Units).",
                             nullptr};
  all[CONTEXT_FIELDS + 2] = {"floats", context_get_floats, nullptr,
                             "The tick and the account in the instrument's units, as the\n"
                             "nearest floats (a venue.Units).",
                             nullptr};
  return all;
}

std::array<PyGetSetDef, CONTEXT_FIELDS + 4> venue_context_getset = make_context_getset();

const char venue_context_doc[] =
    "The tick plus the account, as a strategy of halvorn.venue sees it: every\n"
    "attribute of halvorn.Context (counts: ticks, lots, Cash), and the tick's\n"
    "instrument with views in its units.\n\n"
    "```python\n"
    "def on_tick(self, ctx):\n"
    "    if self.stop is None:                        # decided once, exactly\n"
    "        self.stop = ctx.instrument.to_ticks(\"2400.00\")\n"
    "    if ctx.last <= self.stop: ...\n"
    "    if ctx.units.equity < 9_500: ...             # USDT, a Decimal\n"
    "```\n\n"
    "# Errors\n\n"
    "Reading `units` or `floats` raises ValueError when the run has no\n"
    "Instrument.";

PyType_Slot venue_context_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc,
     reinterpret_cast<void*>(pooled_dealloc<VenueContext, &ModuleState::free_venue_contexts>)},
    {Py_tp_repr, reinterpret_cast<void*>(context_repr)},
    {Py_tp_getset, venue_context_getset.data()},
    {Py_tp_doc, const_cast<char*>(venue_context_doc)},
    {0, nullptr},
};

PyType_Spec venue_context_spec = {
    "halvorn.venue.Context", static_cast<int>(sizeof(Boxed<VenueContext>)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, venue_context_slots};

}  // namespace

const std::array<ClassEntry<VenueState>, 2> UNIT_VIEW_CLASSES = {{
    {[] { return &venue_context_spec; }, &VenueState::context_type},
    {[] { return &units_spec; }, &VenueState::units_type},
}};

PyObject* new_venue_context(const VenueState* st, const strategy::TickContext& context,
                            PyObject* instrument) {
  return box<VenueContext>(st->context_type, &st->head.core->free_venue_contexts, context,
                           Ref::borrow(instrument));
}

void rewrite_venue_context(PyObject* ctx, const strategy::TickContext& context,
                           PyObject* instrument) {
  VenueContext& v = unbox<VenueContext>(ctx);
  v.context = context;
  // The instrument is the same one tick after tick (a portfolio's change
  // with the tick's instrument): a reference moves only when it changes.
  if (v.instrument.get() != instrument) v.instrument = Ref::borrow(instrument);
}

}  // namespace halvorn::py::venue
