#include "py/venue/order_units.hpp"

#include <limits>

#include "py/argument_conversion.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/unit_values.hpp"

namespace halvorn::py::venue {

bool count_or_units(const VenueState* st, PyObject* obj, const char* field, const char* rule,
                    std::int64_t* count, std::optional<data::Decimal>* units) {
  units->reset();
  if (!is_unit_value(st, obj)) {
    return to_i64(obj, field, count) &&
           in_range(field, *count, 1, std::numeric_limits<std::int64_t>::max(), rule);
  }
  data::Decimal value;
  if (!unit_value(st, obj, field, &value)) return false;
  if (value.digits == 0 || value.negative) {
    PyErr_Format(PyExc_ValueError, "%s must be positive, got %s", field,
                 quote_escaped_utf8(data::decimal_text(value)).c_str());
    return false;
  }
  *units = value;
  *count = 1;
  return true;
}

// A quantity of at least one lot, or in units; None (when allowed) is 0,
// the whole position.
bool qty_arg(const VenueState* st, PyObject* obj, bool none_allowed, OrderTicket* out) {
  if (obj == nullptr || obj == Py_None) {
    if (none_allowed) {
      out->qty = 0;
      return true;
    }
    return wrong_type("qty", "an int of lots or a quantity in units",
                      obj == nullptr ? Py_None : obj);
  }
  return count_or_units(st, obj, "qty", "at least 1 lot", &out->qty, &out->units.qty);
}

// A price of at least one tick, or in units (kept in `*units`), or None.
bool price_arg(const VenueState* st, const char* field, PyObject* obj,
               std::optional<std::int64_t>* out, std::optional<data::Decimal>* units) {
  out->reset();
  units->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::int64_t v = 0;
  if (!count_or_units(st, obj, field, "a price of at least 1 tick", &v, units)) return false;
  *out = v;
  return true;
}

PyObject* count_field(const VenueState* st, std::int64_t count,
                      const std::optional<data::Decimal>& units) {
  if (!units) return from_i64(count);
  // The value as given: one step of the value itself.
  return decimal_of_steps(st, 1, *units);
}

Ref keyed_by_units(Ref fields, const OrderTicket& t) {
  if (!fields) return Ref();
  const UnitTerms& u = t.units;
  return Ref::steal(Py_BuildValue("(N(bbbbb))", fields.release(), u.qty.has_value(),
                                  u.price.has_value(), u.trigger.has_value(),
                                  u.distance.has_value(), u.qty_of_entry));
}

PyObject* rounding_field(data::Rounding rounding) {
  switch (rounding) {
    case data::Rounding::Down:
      return PyUnicode_FromString("down");
    case data::Rounding::Up:
      return PyUnicode_FromString("up");
    default:
      break;
  }
  return PyUnicode_FromString("exact");
}

namespace {

// One value counted into `*out`, or the refusal.
std::optional<std::string> count_one(const std::optional<data::Decimal>& value, const char* name,
                                     const data::InstrumentDefinition* instrument, bool price,
                                     data::Rounding rounding, std::int64_t* out) {
  if (!value) return std::nullopt;
  const char* unit = price ? "ticks" : "lots";
  const std::string quoted = quote_escaped_utf8(data::decimal_text(*value));
  if (instrument == nullptr) {
    return std::string(name) + " " + quoted +
           " is in units, and the run has no Instrument to count it in " + unit +
           ": give the Venue instrument=Instrument(...), or the " + name + " in " + unit +
           " as an int";
  }
  const data::Step& step = price ? instrument->tick_size : instrument->lot_size;
  StepCount counted = count_steps(*value, step, rounding, name, unit);
  if (counted.refusal) return std::move(counted.refusal);
  if (counted.count < 1) {
    return std::string(name) + " " + quoted + " is less than one " + (price ? "tick" : "lot") +
           " of " + step.text + " once rounded";
  }
  *out = counted.count;
  return std::nullopt;
}

// The price an order of a bracket is judged by: its limit, else the
// trigger it fires at; none for a market order or a trailing stop, nor for
// a level in units, which is judged once counted.
std::optional<std::int64_t> level_of(const OrderTicket& t) {
  if (t.price) return t.units.price ? std::nullopt : t.price;
  if (t.terms.trigger.kind == TriggerTerms::Kind::Stop ||
      t.terms.trigger.kind == TriggerTerms::Kind::TakeProfit) {
    if (t.units.trigger) return std::nullopt;
    return t.terms.trigger.price;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> bracket_exit_refusal(const OrderTicket& entry, const OrderTicket& exit,
                                                bool stop) {
  const char* field = stop ? "stop_loss" : "take_profit";
  if (exit.side == entry.side) {
    return std::string(field) + ": side must be the other side of the entry's (\"" +
           name_of(entry.side == Side::Buy ? Side::Sell : Side::Buy) + "\" for a " +
           name_of(entry.side) + " entry), got \"" + name_of(exit.side) + "\"";
  }
  const std::optional<std::int64_t> at = level_of(entry);
  const std::optional<std::int64_t> level = level_of(exit);
  if (!at || !level) return std::nullopt;
  const bool buy = entry.side == Side::Buy;
  // A stop loses: below a buy's price, above a sell's; a take-profit gains.
  const bool below = stop == buy;
  if (below ? *level < *at : *level > *at) return std::nullopt;
  return std::string(field) + ": a " + name_of(entry.side) + " entry at " + grouped(*at) +
         " needs its " + (stop ? "stop " : "take-profit ") + (below ? "below" : "above") +
         " that price, got " + grouped(*level);
}

void close_what_entry_opens(const OrderTicket& entry, OrderTicket* exit) {
  if (exit->qty == 0) {
    exit->qty = entry.qty;
    exit->units.qty_of_entry = entry.units.qty.has_value();
  }
  exit->terms.close_position = false;
  exit->terms.reduce_only = true;
  exit->offset = Offset::Close;
  exit->instrument = entry.instrument;  // the same, or none given
}

std::optional<std::string> count_units(OrderTicket* t,
                                       const data::InstrumentDefinition* instrument) {
  const UnitTerms& u = t->units;
  if (!u.any()) return std::nullopt;
  std::int64_t price = 0;
  const bool trailing = t->form == OrderTicket::Form::TrailingStop;
  std::optional<std::string> refusal;
  if (!(refusal = count_one(u.qty, "qty", instrument, false, u.rounding, &t->qty)) &&
      !(refusal = count_one(u.price, "price", instrument, true, u.rounding, &price)) &&
      !(refusal = count_one(u.trigger, trailing ? "activation" : "trigger", instrument, true,
                            u.rounding, &t->terms.trigger.price)) &&
      !(refusal = count_one(u.distance, "distance", instrument, true, u.rounding,
                            &t->terms.trigger.distance))) {
    if (u.price) t->price = price;
    // What is counted is what the engine reads; nothing in units remains.
    t->units = UnitTerms{};
  }
  return refusal;
}

}  // namespace halvorn::py::venue
