#include "py/venue/instrument_class.hpp"

#include <cstdint>
#include <string_view>

#include "data/decimal.hpp"
#include "data/float_scaling.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/unit_values.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

constexpr auto INSTRUMENT = signature("halvorn.venue.Instrument", either("symbol"),
                                      either("tick_size"), either("lot_size"), keyword("id", "1"));
// The value is positional only: its name differs between the two.
constexpr auto TO_TICKS = method_signature("halvorn.venue.Instrument.to_ticks", positional("price"),
                                           keyword("rounding", "'exact'"));
constexpr auto TO_LOTS = method_signature("halvorn.venue.Instrument.to_lots", positional("qty"),
                                          keyword("rounding", "'exact'"));
constexpr auto PRICE_OF =
    method_signature("halvorn.venue.Instrument.price_of", positional("ticks"));
constexpr auto QTY_OF = method_signature("halvorn.venue.Instrument.qty_of", positional("lots"));

const char INSTRUMENT_DOC[] =
    "What a run's integers mean: prices in ticks of `tick_size`, quantities in\n"
    "lots of `lot_size`, both decimal text (\"0.01\", \"0.001\"; an int, a\n"
    "decimal.Decimal or a float is read as the decimal it writes).  From them\n"
    "follow `contract_size`, the Cash value of one tick on one lot, and exact\n"
    "conversions both ways:\n\n"
    "```python\n"
    "eth = venue.Instrument(\"ETHUSDT\", \"0.01\", \"0.001\")\n"
    "eth.to_ticks(\"2450.17\")   # 245017\n"
    "eth.price_of(245017)      # Decimal('2450.17')\n"
    "eth.contract_size         # 1_000: 0.01 USDT on 0.001 ETH, in Cash\n"
    "```\n\n"
    "`price_step` and `qty_step` are one tick and one lot as Decimals.  Give\n"
    "it to a Venue (`Venue(instrument=eth)`) and a run is valued in its units,\n"
    "its strategy finds it as `ctx.instrument` and may trade in its units;\n"
    "the data converters write it into the files they make.\n\n"
    "# Errors\n\n"
    "TypeError for a symbol that is not a str or a size of another kind;\n"
    "ValueError for a size that is not a positive decimal number, or sizes\n"
    "whose tick on one lot is not a whole number of cash units (10^-8 USDT).";

PyObject* instrument_get_symbol(PyObject* self, void*) {
  return str_of(instrument_value(self).definition.symbol);
}
PyObject* instrument_get_tick_size(PyObject* self, void*) {
  return str_of(instrument_value(self).definition.tick_size.text);
}
PyObject* instrument_get_lot_size(PyObject* self, void*) {
  return str_of(instrument_value(self).definition.lot_size.text);
}
PyObject* instrument_get_id(PyObject* self, void*) {
  return from_u64(instrument_value(self).definition.id);
}
PyObject* instrument_get_contract_size(PyObject* self, void*) {
  return from_i64(instrument_value(self).contract_size);
}

PyObject* instrument_get_price_step(PyObject* self, void*) {
  return decimal_of_steps(venue_state_of_type(Py_TYPE(self)), 1,
                          instrument_value(self).definition.tick_size.value);
}
PyObject* instrument_get_qty_step(PyObject* self, void*) {
  return decimal_of_steps(venue_state_of_type(Py_TYPE(self)), 1,
                          instrument_value(self).definition.lot_size.value);
}

PyGetSetDef instrument_getset[] = {
    {"symbol", instrument_get_symbol, nullptr, "The instrument's symbol.", nullptr},
    {"tick_size", instrument_get_tick_size, nullptr,
     "The price step, as decimal text: a price of n ticks is n × tick_size.", nullptr},
    {"lot_size", instrument_get_lot_size, nullptr,
     "The quantity step, as decimal text: n lots are n × lot_size.", nullptr},
    {"id", instrument_get_id, nullptr, "The instrument id tick files and ticks carry.", nullptr},
    {"price_step", instrument_get_price_step, nullptr,
     "One tick as a decimal.Decimal: the smallest move of a price.", nullptr},
    {"qty_step", instrument_get_qty_step, nullptr,
     "One lot as a decimal.Decimal: the smallest quantity.", nullptr},
    {"contract_size", instrument_get_contract_size, nullptr,
     "The Cash value of a price move of one tick on one lot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool make_instrument(PyTypeObject* type, PyObject* args, PyObject* kwds, InstrumentValue* out) {
  ArgumentsOf<INSTRUMENT> v;
  if (!parse<INSTRUMENT>(args, kwds, &v)) return false;
  if (!PyUnicode_Check(v[0])) {
    PyErr_Format(PyExc_TypeError, "symbol must be a str, not %.200s", Py_TYPE(v[0])->tp_name);
    return false;
  }
  std::string symbol, tick, lot;
  std::uint64_t id = 1;
  const VenueState* st = venue_state_of_type(type);
  if (!utf8_of(v[0], &symbol) || !decimal_text(st, v[1], "tick_size", &tick) ||
      !decimal_text(st, v[2], "lot_size", &lot) || (v[3] && !to_u64(v[3], "id", &id))) {
    return false;
  }
  auto made = data::define_instrument(id, std::move(symbol), tick, lot);
  if (const auto* problem = std::get_if<data::DefinitionProblem>(&made)) {
    const std::string text = problem->display();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  out->definition = std::move(std::get<data::InstrumentDefinition>(made));
  const data::ContractSize size = data::contract_size(out->definition);
  if (size.fault != data::ContractFault::None) {
    const std::string text =
        instrument_text(out->definition) + ": " +
        data::describe(size.fault, out->definition.tick_size, out->definition.lot_size);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  out->contract_size = size.cash;
  return true;
}

PyObject* instrument_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(type), [&]() -> PyObject* {
    InstrumentValue value;
    if (!make_instrument(type, args, kwds, &value)) return nullptr;
    return box(type, std::move(value));
  });
}

PyObject* instrument_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    return str_of(instrument_text(instrument_value(self).definition));
  });
}

// Equal instruments have equal ids, symbols and size texts: what a file
// holds.  ("0.1" and "0.10" are different texts of one size, and the runs
// that compare a file with a venue compare sizes, not texts.)
Ref key_of(PyObject* self) {
  const data::InstrumentDefinition& d = instrument_value(self).definition;
  return tuple_of(str_of(d.symbol), str_of(d.tick_size.text), str_of(d.lot_size.text),
                  from_u64(d.id));
}

PyObject* instrument_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  Ref ka = key_of(a), kb = key_of(b);
  if (!ka || !kb) return nullptr;
  return PyObject_RichCompare(ka.get(), kb.get(), op);
}

Py_hash_t instrument_hash(PyObject* self) {
  Ref key = key_of(self);
  return key ? PyObject_Hash(key.get()) : -1;
}

PyObject* instrument_getnewargs_ex(PyObject* self, PyObject*) {
  const data::InstrumentDefinition& d = instrument_value(self).definition;
  Ref args = tuple_of(str_of(d.symbol), str_of(d.tick_size.text), str_of(d.lot_size.text));
  if (!args) return nullptr;
  return Py_BuildValue("(O{s:N})", args.get(), "id", from_u64(d.id));
}

// A price or a quantity in whole steps of `step`, exactly, or rounded as
// asked; refused with the value and the step otherwise.  A float takes the
// fast exact path that columns of floats take; it counts as its shortest
// decimal, as every other form of a value does.
PyObject* to_steps(PyObject* self, PyObject* args, PyObject* kwds, bool price) {
  ArgumentsOf<TO_TICKS> v;
  if (!(price ? parse<TO_TICKS>(args, kwds, &v) : parse<TO_LOTS>(args, kwds, &v))) return nullptr;
  const VenueState* st = venue_state_of_type(Py_TYPE(self));
  const InstrumentValue& inst = instrument_value(self);
  const data::Step& step = price ? inst.definition.tick_size : inst.definition.lot_size;
  const char* name = price ? "price" : "qty";
  const char* unit = price ? "ticks" : "lots";
  data::Rounding rounding;
  if (!rounding_of(v[1], &rounding)) return nullptr;
  if (PyFloat_Check(v[0])) {
    const double x = PyFloat_AS_DOUBLE(v[0]);
    const data::DoubleScaled s = data::scale_double(x, step, rounding);
    if (s.fault == data::DoubleFault::None) return from_i64(s.count);
    if (s.fault == data::DoubleFault::NotFinite) {
      PyErr_Format(PyExc_ValueError, "%s %s is not a decimal number", name,
                   quote_escaped_utf8(data::shortest_text(x)).c_str());
      return nullptr;
    }
  }
  data::Decimal value;
  if (!unit_value(st, v[0], name, &value)) return nullptr;
  const StepCount counted = count_steps(value, step, rounding, name, unit);
  if (!counted.refusal) return from_i64(counted.count);
  raise_value_error(*counted.refusal);
  return nullptr;
}

PyObject* instrument_to_ticks(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return to_steps(self, args, kwds, true); });
}
PyObject* instrument_to_lots(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return to_steps(self, args, kwds, false); });
}

PyObject* decimal_of(PyObject* self, PyObject* count_obj, bool price) {
  std::int64_t count = 0;
  if (!to_i64(count_obj, price ? "ticks" : "lots", &count)) return nullptr;
  const data::InstrumentDefinition& d = instrument_value(self).definition;
  return decimal_of_steps(venue_state_of_type(Py_TYPE(self)), count,
                          price ? d.tick_size.value : d.lot_size.value);
}

PyObject* instrument_price_of(PyObject* self, PyObject* ticks) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return decimal_of(self, ticks, true); });
}
PyObject* instrument_qty_of(PyObject* self, PyObject* lots) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return decimal_of(self, lots, false); });
}

PyMethodDef instrument_methods[] = {
    function_def<TO_TICKS>(
        instrument_to_ticks,
        "A price (decimal text, Decimal, int or float) in whole ticks.  A price\n"
        "between two ticks is refused, or rounded 'down' or 'up' as asked."),
    function_def<TO_LOTS>(instrument_to_lots,
                          "A quantity in whole lots, as to_ticks counts a price in ticks."),
    {PRICE_OF.name(), instrument_price_of, METH_O,
     docstring<PRICE_OF>("A price in ticks as an exact decimal.Decimal.")},
    {QTY_OF.name(), instrument_qty_of, METH_O,
     docstring<QTY_OF>("A quantity in lots as an exact decimal.Decimal.")},
    {"__getnewargs_ex__", instrument_getnewargs_ex, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot instrument_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(instrument_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<InstrumentValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(instrument_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(instrument_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(instrument_hash)},
    {Py_tp_getset, instrument_getset},
    {Py_tp_methods, instrument_methods},
    {Py_tp_doc, const_cast<char*>(docstring<INSTRUMENT>(INSTRUMENT_DOC))},
    {0, nullptr},
};

PyType_Spec instrument_spec = {"halvorn.venue.Instrument",
                               static_cast<int>(sizeof(Boxed<InstrumentValue>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, instrument_slots};

}  // namespace

PyType_Spec* instrument_layout() { return &instrument_spec; }

const InstrumentValue& instrument_value(PyObject* obj) { return unbox<InstrumentValue>(obj); }

PyObject* new_instrument(const VenueState* st, const data::InstrumentDefinition& d) {
  const data::ContractSize size = data::contract_size(d);
  if (size.fault != data::ContractFault::None) {
    const std::string text =
        instrument_text(d) + ": " + data::describe(size.fault, d.tick_size, d.lot_size);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  return box(st->instrument_type, InstrumentValue{d, size.cash});
}

namespace {

// A str's repr, as Python writes it, so that the text pastes back.
std::string text_repr(const std::string& utf8) {
  Ref str = Ref::steal(str_of(utf8));
  if (!str) {
    PyErr_Clear();
    return "''";
  }
  return repr_of(str.get());
}

}  // namespace

std::string instrument_text(const data::InstrumentDefinition& d) {
  std::string text = "Instrument(" + text_repr(d.symbol) + ", " + text_repr(d.tick_size.text) +
                     ", " + text_repr(d.lot_size.text);
  if (d.id != 1) {
    Ref id = Ref::steal(from_u64(d.id));
    text += ", id=" + (id ? repr_of(id.get()) : std::to_string(d.id));
  }
  return text + ")";
}

}  // namespace halvorn::py::venue
