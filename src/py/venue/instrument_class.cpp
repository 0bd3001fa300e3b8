#include "py/venue/instrument_class.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string_view>

#include "data/decimal.hpp"
#include "data/float_scaling.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/unit_values.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

// A coin an account can be kept in: 1 to 8 ASCII letters or digits, as a
// Currency holds them.
bool valid_coin(const std::string& coin) {
  return !coin.empty() && coin.size() <= 8 && std::all_of(coin.begin(), coin.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
}

constexpr auto INSTRUMENT =
    signature("halvorn.venue.Instrument", either("symbol"), either("tick_size"), either("lot_size"),
              keyword("id", "1"), keyword("kind", "'linear'"), keyword("contract_value", "None"),
              keyword("settle", "None"));
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
    "`kind=\"inverse\"` makes a coin-margined contract: quoted in USD a coin,\n"
    "each contract worth `contract_value` USD, margined and settled in the\n"
    "coin `settle` (`Instrument(\"BTCUSD_PERP\", \"0.1\", \"1\", kind=\"inverse\",\n"
    "contract_value=\"100\", settle=\"BTC\")`).  A run on it keeps its account\n"
    "in that coin, in Cash units of 10^-8 coin.\n\n"
    "# Errors\n\n"
    "TypeError for a symbol that is not a str or a size of another kind;\n"
    "ValueError for a size that is not a positive decimal number, or sizes\n"
    "whose tick on one lot is not a whole number of cash units (10^-8 USDT),\n"
    "a kind other than \"linear\" or \"inverse\", an inverse contract without\n"
    "contract_value or settle, or a linear one with either.";

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
PyObject* instrument_get_kind(PyObject* self, void*) {
  return PyUnicode_FromString(
      instrument_value(self).definition.kind == data::ContractKind::Inverse ? "inverse" : "linear");
}
PyObject* instrument_get_contract_value(PyObject* self, void*) {
  const std::optional<data::Step>& v = instrument_value(self).definition.contract_value;
  if (!v) Py_RETURN_NONE;
  return str_of(v->text);
}
PyObject* instrument_get_settle(PyObject* self, void*) {
  const data::InstrumentDefinition& d = instrument_value(self).definition;
  if (d.kind != data::ContractKind::Inverse) Py_RETURN_NONE;
  return str_of(d.settle);
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
    {"kind", instrument_get_kind, nullptr,
     "\"linear\" (valued in USDT at the price) or \"inverse\" (in its coin, at "
     "contract_value over the price).",
     nullptr},
    {"contract_value", instrument_get_contract_value, nullptr,
     "An inverse contract's value in USD, as decimal text; None for a linear one.", nullptr},
    {"settle", instrument_get_settle, nullptr,
     "The coin an inverse contract is margined and settled in; None for a linear one.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The value of an Instrument of d, refused when a run could not value it:
// a tick on a lot that is no whole number of cash units, or an inverse
// contract whose coin value of a lot, or coin, a run cannot hold.
bool instrument_of(data::InstrumentDefinition d, InstrumentValue* out) {
  const data::ContractSize size = data::contract_size(d);
  if (size.fault != data::ContractFault::None) {
    const std::string text =
        instrument_text(d) + ": " + data::describe(size.fault, d.tick_size, d.lot_size);
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  if (!settlement_of(d)) {
    const std::string text =
        instrument_text(d) + ": " +
        (!valid_coin(d.settle)
             ? "settle must be a coin of 1 to 8 letters or digits, as an account keeps it"
             : "one lot of " + d.lot_size.text + " contracts of " + d.contract_value->text +
                   " USD at one tick of " + d.tick_size.text +
                   " is a coin value in cash units too large or too fine to hold");
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  out->definition = std::move(d);
  out->contract_size = size.cash;
  return true;
}

// The kind, contract value and settlement coin (v[0] to v[2], null when not
// given) into d, each refusal naming its field.
bool contract_kind(const VenueState* st, std::array<PyObject*, 3> v,
                   data::InstrumentDefinition* d) {
  if (v[0]) {
    if (!PyUnicode_Check(v[0])) return wrong_type("kind", "\"linear\" or \"inverse\"", v[0]);
    std::string kind;
    if (!utf8_of(v[0], &kind)) return false;
    if (kind != "linear" && kind != "inverse") {
      PyErr_Format(PyExc_ValueError, "kind must be \"linear\" or \"inverse\", not %R", v[0]);
      return false;
    }
    d->kind = kind == "inverse" ? data::ContractKind::Inverse : data::ContractKind::Linear;
  }
  const bool inverse = d->kind == data::ContractKind::Inverse;
  const bool has_value = v[1] && v[1] != Py_None;
  const bool has_settle = v[2] && v[2] != Py_None;
  if (inverse != has_value || inverse != has_settle) {
    const char* field = inverse != has_value ? "contract_value" : "settle";
    PyErr_Format(PyExc_ValueError,
                 inverse ? "an inverse instrument needs %s: the USD value of one contract "
                           "(contract_value) and the coin it settles in (settle)"
                         : "%s is for an inverse instrument: give kind=\"inverse\" or leave it out",
                 field);
    return false;
  }
  if (!inverse) return true;
  std::string value;
  if (!decimal_text(st, v[1], "contract_value", &value)) return false;
  d->contract_value = data::parse_step(value);
  if (!d->contract_value) {
    PyErr_Format(PyExc_ValueError, "contract_value %s is not a positive decimal number",
                 quote_escaped_utf8(value).c_str());
    return false;
  }
  if (!PyUnicode_Check(v[2])) return wrong_type("settle", "a str", v[2]);
  return utf8_of(v[2], &d->settle);
}

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
  data::InstrumentDefinition d = std::move(std::get<data::InstrumentDefinition>(made));
  if (!contract_kind(st, {v[4], v[5], v[6]}, &d)) return false;
  if (const std::optional<data::DefinitionProblem> problem = data::check_definition(d)) {
    const std::string text = problem->display();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return false;
  }
  return instrument_of(std::move(d), out);
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
                  from_u64(d.id), instrument_get_kind(self, nullptr),
                  instrument_get_contract_value(self, nullptr),
                  instrument_get_settle(self, nullptr));
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
  if (d.kind == data::ContractKind::Linear) {
    return Py_BuildValue("(O{s:N})", args.get(), "id", from_u64(d.id));
  }
  return Py_BuildValue("(O{s:N,s:s,s:N,s:N})", args.get(), "id", from_u64(d.id), "kind", "inverse",
                       "contract_value", instrument_get_contract_value(self, nullptr), "settle",
                       instrument_get_settle(self, nullptr));
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
  InstrumentValue value;
  if (!instrument_of(d, &value)) return nullptr;
  return box(st->instrument_type, std::move(value));
}

std::optional<Settlement> settlement_of(const data::InstrumentDefinition& d) {
  if (d.kind != data::ContractKind::Inverse || !d.contract_value) return Settlement{};
  if (!valid_coin(d.settle)) return std::nullopt;
  // lot x value x CASH_SCALE / tick = (l x v) / t x 10^(le + ve + 8 - te),
  // the power of ten moved to whichever side keeps it whole; the common
  // factors go before the terms are held to 64 bits.
  constexpr int CASH_DIGITS = 8;
  static_assert(CASH_SCALE == 100'000'000);
  using u128 = unsigned __int128;
  const data::Decimal &lot = d.lot_size.value, &value = d.contract_value->value,
                      &tick = d.tick_size.value;
  u128 num = static_cast<u128>(lot.digits) * value.digits;
  u128 den = tick.digits;
  long e = static_cast<long>(lot.exponent) + value.exponent + CASH_DIGITS - tick.exponent;
  for (; e < 0 && num % 10 == 0; ++e) num /= 10;
  constexpr u128 LIMIT = static_cast<u128>(I64_MAX);
  constexpr u128 ROOM = ~static_cast<u128>(0) / 10;
  for (; e > 0; --e) {
    if (num > ROOM) return std::nullopt;
    num *= 10;
  }
  for (; e < 0; ++e) {
    if (den > ROOM) return std::nullopt;
    den *= 10;
  }
  const u128 g = std::gcd(num, den);
  num /= g;
  den /= g;
  if (num > LIMIT || den > LIMIT) return std::nullopt;
  // The tick in USD, digits x 10^exponent, as a fraction; one too fine or
  // too large to hold values no coin (a run with one wallet never asks).
  u128 tick_num = tick.digits, tick_den = 1;
  for (long k = tick.exponent; k > 0 && tick_num <= LIMIT; --k) tick_num *= 10;
  for (long k = tick.exponent; k < 0 && tick_den <= LIMIT; ++k) tick_den *= 10;
  const u128 common = std::gcd(tick_num, tick_den);
  tick_num /= common;
  tick_den /= common;
  margin::TickWorth worth{};
  if (tick_num <= LIMIT && tick_den <= LIMIT) {
    worth = {static_cast<std::int64_t>(tick_num), static_cast<std::int64_t>(tick_den)};
  }
  return Settlement{
      margin::InverseValue{static_cast<std::int64_t>(num), static_cast<std::int64_t>(den)},
      Currency::of(d.settle), worth};
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
  if (d.kind == data::ContractKind::Inverse && d.contract_value) {
    text += ", kind='inverse', contract_value=" + text_repr(d.contract_value->text) +
            ", settle=" + text_repr(d.settle);
  }
  return text + ")";
}

}  // namespace halvorn::py::venue
