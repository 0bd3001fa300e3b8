#include "py/venue/instrument_class.hpp"

#include <cstdint>
#include <string_view>

#include "data/decimal.hpp"
#include "data/float_scaling.hpp"
#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/value_class.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

constexpr const char* INSTRUMENT_DOC =
    "Instrument(symbol, tick_size, lot_size, *, id=1)\n--\n\n"
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
    "Give it to a Venue (`Venue(instrument=eth)`) and a run is valued in its\n"
    "units; the data converters write it into the files they make.\n\n"
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

PyGetSetDef instrument_getset[] = {
    {"symbol", instrument_get_symbol, nullptr, "The instrument's symbol.", nullptr},
    {"tick_size", instrument_get_tick_size, nullptr,
     "The price step, as decimal text: a price of n ticks is n × tick_size.", nullptr},
    {"lot_size", instrument_get_lot_size, nullptr,
     "The quantity step, as decimal text: n lots are n × lot_size.", nullptr},
    {"id", instrument_get_id, nullptr, "The instrument id tick files and ticks carry.", nullptr},
    {"contract_size", instrument_get_contract_size, nullptr,
     "The Cash value of a price move of one tick on one lot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The decimal text a size or a value argument stands for: a str as it is,
// an int or a decimal.Decimal as str() writes it, a float as its shortest
// round trip writes it ("0.01", never 0.01000000000000000020816...).
bool decimal_text(PyObject* obj, const char* name, std::string* out) {
  if (PyUnicode_Check(obj)) return utf8_of(obj, out);
  if (PyFloat_Check(obj)) {
    *out = data::shortest_text(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be decimal text such as \"0.01\", not a bool", name);
    return false;
  }
  if (PyIndex_Check(obj)) {
    // An int, or an integer of another kind (a NumPy int64): its value.
    Ref number = Ref::steal(PyNumber_Index(obj));
    Ref text = number ? Ref::steal(PyObject_Str(number.get())) : Ref();
    return text && utf8_of(text.get(), out);
  }
  bool is_decimal = false;
  {
    Ref module = Ref::steal(PyImport_ImportModule("decimal"));
    Ref decimal = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Decimal")) : Ref();
    if (!decimal) return false;
    const int is = PyObject_IsInstance(obj, decimal.get());
    if (is < 0) return false;
    is_decimal = is == 1;
  }
  if (!is_decimal) {
    PyErr_Format(PyExc_TypeError,
                 "%s must be decimal text such as \"0.01\" (or an int, a "
                 "Decimal or a float), not %.200s",
                 name, Py_TYPE(obj)->tp_name);
    return false;
  }
  Ref text = Ref::steal(PyObject_Str(obj));
  return text && utf8_of(text.get(), out);
}

bool make_instrument(PyObject* args, PyObject* kwds, InstrumentValue* out) {
  static const char* kwlist[] = {"symbol", "tick_size", "lot_size", "id", nullptr};
  Arguments<4> v;
  if (!parse_arguments(args, kwds, "OOO|$O:Instrument", kwlist, &v)) return false;
  if (!PyUnicode_Check(v[0])) {
    PyErr_Format(PyExc_TypeError, "symbol must be a str, not %.200s", Py_TYPE(v[0])->tp_name);
    return false;
  }
  std::string symbol, tick, lot;
  std::uint64_t id = 1;
  if (!utf8_of(v[0], &symbol) || !decimal_text(v[1], "tick_size", &tick) ||
      !decimal_text(v[2], "lot_size", &lot) || (v[3] && !to_u64(v[3], "id", &id))) {
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
    if (!make_instrument(args, kwds, &value)) return nullptr;
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

bool rounding_of(PyObject* obj, data::Rounding* out) {
  std::string text;
  if (obj == nullptr) {
    *out = data::Rounding::Exact;
    return true;
  }
  if (PyUnicode_Check(obj) && utf8_of(obj, &text)) {
    if (text == "exact") *out = data::Rounding::Exact;
    if (text == "down") *out = data::Rounding::Down;
    if (text == "up") *out = data::Rounding::Up;
    if (text == "exact" || text == "down" || text == "up") return true;
  }
  if (PyErr_Occurred()) return false;
  Ref repr = Ref::steal(PyObject_Repr(obj));
  PyErr_Format(PyExc_ValueError, "rounding must be 'exact', 'down' or 'up', got %s",
               repr ? PyUnicode_AsUTF8(repr.get()) : "?");
  return false;
}

// A price or a quantity in whole steps of `step`, exactly, or rounded as
// asked; refused with the value and the step otherwise.
PyObject* to_steps(PyObject* self, PyObject* args, PyObject* kwds, bool price) {
  // The value is positional only, as the signature says.
  static const char* price_kw[] = {"", "rounding", nullptr};
  static const char* qty_kw[] = {"", "rounding", nullptr};
  Arguments<2> v;
  if (!parse_arguments(args, kwds, price ? "O|$O:to_ticks" : "O|$O:to_lots",
                       price ? price_kw : qty_kw, &v)) {
    return nullptr;
  }
  const InstrumentValue& inst = instrument_value(self);
  const data::Step& step = price ? inst.definition.tick_size : inst.definition.lot_size;
  const char* name = price ? "price" : "qty";
  const char* unit = price ? "ticks" : "lots";
  data::Rounding rounding;
  if (!rounding_of(v[1], &rounding)) return nullptr;
  std::int64_t count = 0;
  std::string text;
  const char* fault = nullptr;
  if (PyFloat_Check(v[0])) {
    const data::DoubleScaled s = data::scale_double(PyFloat_AS_DOUBLE(v[0]), step, rounding);
    text = data::shortest_text(PyFloat_AS_DOUBLE(v[0]));
    count = s.count;
    if (s.fault == data::DoubleFault::NotMultiple) fault = "multiple";
    if (s.fault == data::DoubleFault::OutOfRange) fault = "range";
    if (s.fault == data::DoubleFault::NotFinite) fault = "number";
  } else {
    if (!decimal_text(v[0], name, &text)) return nullptr;
    data::Decimal d;
    const data::DecimalFault read = data::parse_decimal(text, &d);
    if (read == data::DecimalFault::TooManyDigits) {
      fault = "digits";
    } else if (read == data::DecimalFault::OutOfRange) {
      fault = "exponent";
    } else if (read != data::DecimalFault::None) {
      fault = "number";
    } else {
      const data::Scaled s = data::scale(d, step, rounding);
      count = s.count;
      if (s.fault == data::ScaleFault::NotMultiple) fault = "multiple";
      if (s.fault == data::ScaleFault::OutOfRange) fault = "range";
    }
  }
  if (fault == nullptr) return from_i64(count);
  const std::string quoted = quote_escaped_utf8(text);
  if (fault[0] == 'n') {
    PyErr_Format(PyExc_ValueError, "%s %s is not a decimal number", name, quoted.c_str());
  } else if (fault[0] == 'd') {
    // Read as far as it is written, a longer decimal would be rounded by
    // the reading before any rounding asked for: it is refused instead.
    PyErr_Format(PyExc_ValueError,
                 "%s %s has more than 19 significant digits, more than a value is read with; "
                 "give it with at most 19",
                 name, quoted.c_str());
  } else if (fault[0] == 'e') {
    PyErr_Format(PyExc_ValueError, "%s %s has an exponent beyond 9999", name, quoted.c_str());
  } else if (fault[0] == 'm') {
    PyErr_Format(PyExc_ValueError,
                 "%s %s is not a whole number of %s of %s (rounding='down' or 'up' rounds it)",
                 name, quoted.c_str(), unit, step.text.c_str());
  } else {
    PyErr_Format(PyExc_ValueError, "%s %s is beyond 9223372036854775807 %s of %s", name,
                 quoted.c_str(), unit, step.text.c_str());
  }
  return nullptr;
}

PyObject* instrument_to_ticks(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return to_steps(self, args, kwds, true); });
}
PyObject* instrument_to_lots(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return to_steps(self, args, kwds, false); });
}

// count × step as a decimal.Decimal, exactly: the product of a 64-bit count
// and a step's at most 19 digits fits 128 bits, and a Decimal made from
// text is never rounded by its context.
PyObject* decimal_of(PyObject* count_obj, const data::Step& step) {
  std::int64_t count = 0;
  if (!to_i64(count_obj, "count", &count)) return nullptr;
  const __int128 product = static_cast<__int128>(count) * static_cast<__int128>(step.value.digits);
  unsigned __int128 magnitude = product < 0 ? static_cast<unsigned __int128>(-product)
                                            : static_cast<unsigned __int128>(product);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  const std::int32_t exponent = step.value.exponent;
  if (exponent >= 0) {
    digits.append(static_cast<std::size_t>(exponent), '0');
  } else {
    const auto places = static_cast<std::size_t>(-exponent);
    if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
    digits.insert(digits.size() - places, 1, '.');
  }
  if (product < 0) digits.insert(0, 1, '-');
  Ref module = Ref::steal(PyImport_ImportModule("decimal"));
  Ref decimal = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Decimal")) : Ref();
  Ref text = Ref::steal(str_of(digits));
  if (!decimal || !text) return nullptr;
  return PyObject_CallOneArg(decimal.get(), text.get());
}

PyObject* instrument_price_of(PyObject* self, PyObject* ticks) {
  return guarded(state_of_type(Py_TYPE(self)),
                 [&] { return decimal_of(ticks, instrument_value(self).definition.tick_size); });
}
PyObject* instrument_qty_of(PyObject* self, PyObject* lots) {
  return guarded(state_of_type(Py_TYPE(self)),
                 [&] { return decimal_of(lots, instrument_value(self).definition.lot_size); });
}

PyMethodDef instrument_methods[] = {
    {"to_ticks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(instrument_to_ticks)),
     METH_VARARGS | METH_KEYWORDS,
     "to_ticks($self, price, /, *, rounding='exact')\n--\n\n"
     "A price (decimal text, Decimal, int or float) in whole ticks.  A price\n"
     "between two ticks is refused, or rounded 'down' or 'up' as asked."},
    {"to_lots", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(instrument_to_lots)),
     METH_VARARGS | METH_KEYWORDS,
     "to_lots($self, qty, /, *, rounding='exact')\n--\n\n"
     "A quantity in whole lots, as to_ticks counts a price in ticks."},
    {"price_of", instrument_price_of, METH_O,
     "price_of($self, ticks, /)\n--\n\nA price in ticks as an exact decimal.Decimal."},
    {"qty_of", instrument_qty_of, METH_O,
     "qty_of($self, lots, /)\n--\n\nA quantity in lots as an exact decimal.Decimal."},
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
    {Py_tp_doc, const_cast<char*>(INSTRUMENT_DOC)},
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
