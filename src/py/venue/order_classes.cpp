#include "py/venue/order_classes.hpp"

#include <array>
#include <limits>
#include <string>
#include <utility>

#include "py/argument_conversion.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/order_group_classes.hpp"
#include "py/venue/order_units.hpp"
#include "py/venue/unit_values.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

using Form = OrderTicket::Form;
using TriggerKind = TriggerTerms::Kind;

constexpr long long MOST = std::numeric_limits<std::int64_t>::max();

constexpr const char* ROUNDING_DOC =
    "How values in units that fall between two steps are counted: `\"exact\"`\n"
    "refuses them, `\"down\"` and `\"up\"` round toward minus or plus infinity.";

// ---------------------------------------------------------------------------
// Fields in

bool equals(PyObject* s, const char* ascii) {
  return PyUnicode_CompareWithASCIIString(s, ascii) == 0;
}

// One of the words a field takes (`expected` lists them), as its value.
template <class E, std::size_t N>
bool word_arg(const char* field, PyObject* obj, const std::pair<const char*, E> (&words)[N],
              const char* expected, E* out) {
  if (!PyUnicode_Check(obj)) return wrong_type(field, expected, obj);
  for (const auto& [word, value] : words) {
    if (equals(obj, word)) {
      *out = value;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %s", field, expected,
               quote_escaped(obj).c_str());
  return false;
}

bool side_arg(PyObject* obj, Side* out) {
  static constexpr std::pair<const char*, Side> WORDS[] = {{"buy", Side::Buy},
                                                           {"sell", Side::Sell}};
  return word_arg("side", obj, WORDS, "\"buy\" or \"sell\"", out);
}

bool offset_arg(PyObject* obj, std::optional<Offset>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  static constexpr std::pair<const char*, Offset> WORDS[] = {{"open", Offset::Open},
                                                             {"close", Offset::Close}};
  Offset offset;
  if (!word_arg("offset", obj, WORDS, "\"open\", \"close\" or None", &offset)) return false;
  *out = offset;
  return true;
}

bool tif_arg(PyObject* obj, TimeInForce* out) {
  *out = TimeInForce::GoodTillCancel;
  if (obj == nullptr) return true;
  static constexpr std::pair<const char*, TimeInForce> WORDS[] = {
      {"gtc", TimeInForce::GoodTillCancel},
      {"ioc", TimeInForce::ImmediateOrCancel},
      {"fok", TimeInForce::FillOrKill}};
  return word_arg("tif", obj, WORDS, "\"gtc\", \"ioc\" or \"fok\"", out);
}

// What fires a conditional order: "last" (the default) or "mark".
bool fired_by_arg(PyObject* obj, TriggerSource* out) {
  *out = TriggerSource::Last;
  if (obj == nullptr) return true;
  static constexpr std::pair<const char*, TriggerSource> WORDS[] = {{"last", TriggerSource::Last},
                                                                    {"mark", TriggerSource::Mark}};
  return word_arg("fired_by", obj, WORDS, "\"last\" or \"mark\"", out);
}

bool flag_arg(const char* field, PyObject* obj, bool* out) {
  *out = false;
  return obj == nullptr || to_bool(obj, field, out);
}

bool text_arg(const char* field, PyObject* obj, std::optional<std::string>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) return wrong_type(field, "a str or None", obj);
  std::string text;
  if (!utf8_of(obj, &text)) return false;
  *out = std::move(text);
  return true;
}

bool tag_arg(PyObject* obj, std::optional<std::string>* out) { return text_arg("tag", obj, out); }

// The symbol of one of the run's instruments, or None for the tick's.  Which
// symbols a run has is known only when it starts, so only the empty text,
// which no instrument has, is refused here.
bool instrument_arg(PyObject* obj, std::optional<std::string>* out) {
  if (!text_arg("instrument", obj, out)) return false;
  if (!out->has_value() || !(*out)->empty()) return true;
  out->reset();
  PyErr_SetString(PyExc_ValueError,
                  "instrument must be the symbol of one of the run's instruments, or None for "
                  "the tick's, got \"\"");
  return false;
}

// An order that only reduces closes: it cannot be sent to open a leg.
bool reducing_offset(const OrderTicket& t) {
  if (!t.reducing() || t.offset != Offset::Open) return true;
  PyErr_SetString(PyExc_ValueError,
                  "offset: an order that only reduces a position closes it; give "
                  "offset=\"close\" (which names the leg in hedge mode) or leave it out");
  return false;
}

// ---------------------------------------------------------------------------
// Fields out

PyObject* side_text(Side side) { return PyUnicode_FromString(name_of(side)); }
PyObject* qty_of(PyTypeObject* type, const OrderTicket& t) {
  if (t.qty == 0) return Py_NewRef(Py_None);
  return count_field(venue_state_of_type(type), t.qty, t.units.qty);
}
PyObject* price_of(PyTypeObject* type, const OrderTicket& t) {
  if (!t.price) return Py_NewRef(Py_None);
  return count_field(venue_state_of_type(type), *t.price, t.units.price);
}
PyObject* offset_text(const std::optional<Offset>& o) {
  return o ? PyUnicode_FromString(name_of(*o)) : Py_NewRef(Py_None);
}
PyObject* tif_text(TimeInForce tif) {
  switch (tif) {
    case TimeInForce::ImmediateOrCancel:
      return PyUnicode_FromString("ioc");
    case TimeInForce::FillOrKill:
      return PyUnicode_FromString("fok");
    case TimeInForce::GoodTillCancel:
      break;
  }
  return PyUnicode_FromString("gtc");
}
PyObject* text_or_none(const std::optional<std::string>& text) {
  return text ? PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()))
              : Py_NewRef(Py_None);
}
PyObject* flag(bool v) { return PyBool_FromLong(v); }
PyObject* fired_by_text(TriggerSource source) {
  return PyUnicode_FromString(source == TriggerSource::Mark ? "mark" : "last");
}
PyObject* positive_or_none(std::int64_t v) { return v > 0 ? from_i64(v) : Py_NewRef(Py_None); }

// ---------------------------------------------------------------------------
// Order

constexpr auto ORDER =
    signature("halvorn.venue.Order", either("side"), either("qty"), keyword("price", "None"),
              keyword("offset", "None"), keyword("tif", "'gtc'"), keyword("post_only", "False"),
              keyword("reduce_only", "False"), keyword("tag", "None"),
              keyword("instrument", "None"), keyword("rounding", "'exact'"));

struct OrderClass {
  using Data = OrderTicket;
  static constexpr const char* NAME = "halvorn.venue.Order";
  static inline const char* const DOC = docstring<ORDER>(
      "An order with the venue's terms: a limit order at `price`, or a market\n"
      "order without one.\n\n"
      "`qty` and `price` are counts (an int: lots and ticks) or in the units of\n"
      "the instrument the order is for (decimal text, a Decimal, or a float\n"
      "read as the decimal it writes: \"0.5\", 2450.17).  A value in units is\n"
      "counted when the strategy returns the order, exactly; one between two\n"
      "steps fails the run naming the value and the step, unless `rounding` is\n"
      "\"down\" or \"up\" (toward minus or plus infinity).\n\n"
      "`tif` is how long it works: \"gtc\" until filled or cancelled; \"ioc\" and\n"
      "\"fok\" only on the first tick it meets at the venue, what that tick does\n"
      "not fill expiring (on_end(id, \"expired\")); every tier fills an order\n"
      "whole, so the two behave alike.  A `post_only` order is refused\n"
      "(on_end(id, \"rejected:post_only_would_take\")) rather than take\n"
      "liquidity when it reaches the venue, so it never pays the taker rate.  A\n"
      "`reduce_only` order never opens, adds to or flips a position: refused\n"
      "when there is nothing on the other side to reduce, and filled for no\n"
      "more than the position.  `offset` is \"open\" by default (\"close\" for a\n"
      "reduce-only order); in hedge mode a reduce-only order must give\n"
      "offset=\"close\", which names the leg.  `tag` is a text of yours, kept in\n"
      "Run.order_tags under the order's id.  `instrument` is the symbol of the\n"
      "run's instrument it is for (\"ETHUSDT\"), in a run over several; left at\n"
      "None it is for the instrument of the tick the strategy is deciding on.\n\n"
      "```python\n"
      "venue.Order(\"buy\", 2, price=599_990, post_only=True, tag=\"quote\")\n"
      "venue.Order(\"buy\", \"0.002\", price=\"59999.0\")   # in units\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError naming the field: a side, offset or tif not among its words,\n"
      "a qty or price below 1, post_only without a price or with an immediate\n"
      "tif, a reduce-only order with offset=\"open\", an empty instrument;\n"
      "TypeError naming the field for a tag or instrument that is not a str.");
  static constexpr std::array FIELDS = {"side",       "qty",       "price",       "offset",
                                        "tif",        "post_only", "reduce_only", "tag",
                                        "instrument", "rounding"};
  static_assert(fields_are_parameters(ORDER, FIELDS));
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "Lots (an int), or a Decimal in the instrument's units.",
      "Limit price in ticks (an int) or in units (a Decimal), or None for a\nmarket order.",
      "`\"open\"`, `\"close\"`, or None when left out.",
      "Time in force: `\"gtc\"`, `\"ioc\"` or `\"fok\"`.",
      "Refused rather than take liquidity on arrival.",
      "Only ever reduces the position it faces.",
      "The strategy's text for the order, or None.",
      "The symbol of the instrument it is for, or None for the tick's.",
      ROUNDING_DOC,
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;

  static Ref fields(PyTypeObject* type, const Data& d) {
    return tuple_of(side_text(d.side), qty_of(type, d), price_of(type, d), offset_text(d.offset),
                    tif_text(d.terms.tif), flag(d.terms.post_only), flag(d.terms.reduce_only),
                    text_or_none(d.tag), text_or_none(d.instrument),
                    rounding_field(d.units.rounding));
  }
  static Ref key(PyTypeObject* type, const Data& d) { return keyed_by_units(fields(type, d), d); }
  static constexpr const auto& SIGNATURE = ORDER;
  static bool build(PyTypeObject* type, const ArgumentsOf<ORDER>& a, Data* out) {
    const VenueState* st = venue_state_of_type(type);
    *out = OrderTicket{};
    out->form = Form::Order;
    if (!side_arg(a[0], &out->side) || !qty_arg(st, a[1], false, out) ||
        !price_arg(st, "price", a[2], &out->price, &out->units.price) ||
        !offset_arg(a[3], &out->offset) || !tif_arg(a[4], &out->terms.tif) ||
        !flag_arg("post_only", a[5], &out->terms.post_only) ||
        !flag_arg("reduce_only", a[6], &out->terms.reduce_only) || !tag_arg(a[7], &out->tag) ||
        !instrument_arg(a[8], &out->instrument) || !rounding_of(a[9], &out->units.rounding) ||
        !reducing_offset(*out)) {
      return false;
    }
    if (out->terms.post_only && !out->price) {
      PyErr_SetString(PyExc_ValueError,
                      "post_only: a market order always takes liquidity; give price= for a "
                      "post-only limit order");
      return false;
    }
    if (out->terms.post_only && out->terms.tif != TimeInForce::GoodTillCancel) {
      PyErr_SetString(PyExc_ValueError,
                      "post_only: a post-only order waits in the book, so its tif must be "
                      "\"gtc\"");
      return false;
    }
    return true;
  }
};

// ---------------------------------------------------------------------------
// Stop, TakeProfit

// A stop and a take-profit take the same arguments.
template <TriggerKind K>
constexpr auto LEVEL =
    signature(K == TriggerKind::Stop ? "halvorn.venue.Stop" : "halvorn.venue.TakeProfit",
              either("side"), either("qty", "None"),
              keyword_explained("trigger", "needs trigger=, the price at which it fires"),
              keyword("price", "None"), keyword("offset", "None"), keyword("reduce_only", "False"),
              keyword("tag", "None"), keyword("fired_by", "'last'"), keyword("instrument", "None"),
              keyword("rounding", "'exact'"));

constexpr char stop_doc[] =
    "A stop order: held by the engine until the price it watches reaches\n"
    "`trigger` (a sell on a fall to it or below, a buy on a rise to it or\n"
    "above), then sent as a market order, or as a limit order at `price` (a\n"
    "stop-limit).  `fired_by` is the price it watches: \"last\", each tick's\n"
    "last trade, or \"mark\", the run's mark price (each tick's last trade until\n"
    "the first mark, as the account is valued).\n\n"
    "It fires on the exact tick (or mark) whose price reaches the trigger, in\n"
    "every cadence (a batched strategy hears on_end(id, \"triggered\") before\n"
    "its next batch); the order it sends is sent as if the strategy had sent\n"
    "it then, so it executes at the earliest on the next tick, through the\n"
    "tier's latency, queue and impact, where that order fills (or, on a\n"
    "Venue(triggered_fills=\"trigger\"), never better than the trigger).\n"
    "`qty=None` closes the whole position it faces when it fires.  A\n"
    "`reduce_only` stop (or one closing the position) is judged against the\n"
    "position when it fires.  `instrument` names the run's instrument it is\n"
    "for, as for venue.Order: its trigger watches that instrument's prices.\n"
    "`qty`, `trigger` and `price` are counts or in units, as for venue.Order.\n\n"
    "```python\n"
    "venue.Stop(\"sell\", 2, trigger=590_000)                  # stop-market\n"
    "venue.Stop(\"sell\", 2, trigger=590_000, price=589_500)   # stop-limit\n"
    "venue.Stop(\"sell\", 2, trigger=590_000, fired_by=\"mark\")  # on the mark price\n"
    "```\n\n"
    "# Errors\n\n"
    "ValueError naming the field: a trigger, price or qty below 1, a side,\n"
    "offset or fired_by not among its words, a reduce-only stop with\n"
    "offset=\"open\", an empty instrument; TypeError when trigger is missing,\n"
    "or naming the field for a tag or instrument that is not a str.";

constexpr char take_profit_doc[] =
    "A take-profit order: held until the price it watches (`fired_by`,\n"
    "\"last\" or \"mark\", as for Stop) reaches `trigger` the other way from a\n"
    "stop (a sell on a rise to it or above, a buy on a fall to it or below),\n"
    "then sent as a market order, or a limit order at `price`.  It fires and\n"
    "executes as a Stop does.\n\n"
    "```python\n"
    "venue.TakeProfit(\"sell\", 2, trigger=612_000)\n"
    "```\n\n"
    "# Errors\n\n"
    "As Stop.";

template <TriggerKind K>
struct LevelClass {
  using Data = OrderTicket;
  static constexpr bool STOP = K == TriggerKind::Stop;
  static constexpr const char* NAME = STOP ? "halvorn.venue.Stop" : "halvorn.venue.TakeProfit";
  static inline const char* const DOC = docstring<LEVEL<K>>(STOP ? stop_doc : take_profit_doc);
  static constexpr std::array FIELDS = {"side",        "qty", "trigger",  "price",      "offset",
                                        "reduce_only", "tag", "fired_by", "instrument", "rounding"};
  static_assert(fields_are_parameters(LEVEL<K>, FIELDS));
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "Lots (or a Decimal in units), or None for the whole position it closes.",
      "The price at which it fires, in ticks (or a Decimal in units).",
      "The limit of the order it sends, in ticks (or a Decimal in units), or\nNone for a market "
      "order.",
      "`\"open\"`, `\"close\"`, or None when left out.",
      "Only ever reduces the position it faces.",
      "The strategy's text for the order, or None.",
      "The price it watches: `\"last\"` (the last trade) or `\"mark\"`.",
      "The symbol of the instrument it is for, or None for the tick's.",
      ROUNDING_DOC,
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;
  static constexpr std::size_t REQUIRED = 1;

  static Ref fields(PyTypeObject* type, const Data& d) {
    return tuple_of(side_text(d.side), qty_of(type, d),
                    count_field(venue_state_of_type(type), d.terms.trigger.price, d.units.trigger),
                    price_of(type, d), offset_text(d.offset), flag(d.terms.reduce_only),
                    text_or_none(d.tag), fired_by_text(d.terms.trigger.source),
                    text_or_none(d.instrument), rounding_field(d.units.rounding));
  }
  static Ref key(PyTypeObject* type, const Data& d) { return keyed_by_units(fields(type, d), d); }
  static constexpr const auto& SIGNATURE = LEVEL<K>;
  static bool build(PyTypeObject* type, const ArgumentsOf<LEVEL<K>>& a, Data* out) {
    const VenueState* st = venue_state_of_type(type);
    *out = OrderTicket{};
    out->form = STOP ? Form::Stop : Form::TakeProfit;
    std::int64_t trigger = 0;
    if (!side_arg(a[0], &out->side) || !qty_arg(st, a[1], true, out) ||
        !count_or_units(st, a[2], "trigger", "a price of at least 1 tick", &trigger,
                        &out->units.trigger) ||
        !price_arg(st, "price", a[3], &out->price, &out->units.price) ||
        !offset_arg(a[4], &out->offset) ||
        !flag_arg("reduce_only", a[5], &out->terms.reduce_only) || !tag_arg(a[6], &out->tag) ||
        !instrument_arg(a[8], &out->instrument) || !rounding_of(a[9], &out->units.rounding)) {
      return false;
    }
    out->terms.trigger = TriggerTerms{K, trigger, 0, 0};
    if (!fired_by_arg(a[7], &out->terms.trigger.source)) return false;
    if (out->qty == 0) out->terms.close_position = true;
    return reducing_offset(*out);
  }
};

using StopClass = LevelClass<TriggerKind::Stop>;
using TakeProfitClass = LevelClass<TriggerKind::TakeProfit>;

// ---------------------------------------------------------------------------
// TrailingStop

constexpr auto TRAILING_STOP = signature(
    "halvorn.venue.TrailingStop", either("side"), either("qty", "None"),
    keyword("distance", "None"), keyword("rate", "None"), keyword("activation", "None"),
    keyword("offset", "None"), keyword("reduce_only", "False"), keyword("tag", "None"),
    keyword("fired_by", "'last'"), keyword("instrument", "None"), keyword("rounding", "'exact'"));

struct TrailingStopClass {
  using Data = OrderTicket;
  static constexpr const char* NAME = "halvorn.venue.TrailingStop";
  static inline const char* const DOC = docstring<TRAILING_STOP>(
      "A trailing stop-market order: its trigger follows the best price it\n"
      "watches (`fired_by`: \"last\", the last trade, or \"mark\", the mark\n"
      "price) since its trail started -- the highest for a sell, the lowest for\n"
      "a buy -- at `distance` ticks, or at `rate` billionths of that price (at\n"
      "least one tick), and it fires when the price turns back to the trigger.\n"
      "With an `activation` price the trail starts only once the price reaches\n"
      "it (a sell's from below, a buy's from above); without one it starts at\n"
      "once.  It then fires and executes as a Stop does.  `instrument` names\n"
      "the run's instrument it is for, as for venue.Order.  `qty`, `distance`\n"
      "and `activation` are counts or in units, as for venue.Order (a distance\n"
      "of \"5.0\" is 5 USDT of price).\n\n"
      "```python\n"
      "venue.TrailingStop(\"sell\", 2, distance=300)                  # 300 ticks behind\n"
      "venue.TrailingStop(\"sell\", 2, rate=venue.rate(\"0.01\"), activation=610_000)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError naming the field: neither or both of distance and rate, a\n"
      "distance of 0, a rate outside 1 to 999_999_999, an activation price or\n"
      "qty below 1, an empty instrument; TypeError naming the field for a tag\n"
      "or instrument that is not a str.");
  static constexpr std::array FIELDS = {"side",       "qty",        "distance",    "rate",
                                        "activation", "offset",     "reduce_only", "tag",
                                        "fired_by",   "instrument", "rounding"};
  static_assert(fields_are_parameters(TRAILING_STOP, FIELDS));
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "Lots (or a Decimal in units), or None for the whole position it closes.",
      "How far the trigger trails the best price, in ticks (or a Decimal in\nunits), or None.",
      "How far the trigger trails, in billionths of the best price, or None.",
      "The price at which the trail starts, in ticks (or a Decimal in units),\nor None for at "
      "once.",
      "`\"open\"`, `\"close\"`, or None when left out.",
      "Only ever reduces the position it faces.",
      "The strategy's text for the order, or None.",
      "The price it trails and fires on: `\"last\"` or `\"mark\"`.",
      "The symbol of the instrument it is for, or None for the tick's.",
      ROUNDING_DOC,
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;
  static constexpr std::size_t REQUIRED = 2;

  static Ref fields(PyTypeObject* type, const Data& d) {
    const TriggerTerms& t = d.terms.trigger;
    const VenueState* st = venue_state_of_type(type);
    return tuple_of(
        side_text(d.side), qty_of(type, d),
        t.distance > 0 ? count_field(st, t.distance, d.units.distance) : Py_NewRef(Py_None),
        positive_or_none(t.rate),
        t.price > 0 ? count_field(st, t.price, d.units.trigger) : Py_NewRef(Py_None),
        offset_text(d.offset), flag(d.terms.reduce_only), text_or_none(d.tag),
        fired_by_text(t.source), text_or_none(d.instrument), rounding_field(d.units.rounding));
  }
  static Ref key(PyTypeObject* type, const Data& d) { return keyed_by_units(fields(type, d), d); }
  static constexpr const auto& SIGNATURE = TRAILING_STOP;
  static bool build(PyTypeObject* type, const ArgumentsOf<TRAILING_STOP>& a, Data* out) {
    const VenueState* st = venue_state_of_type(type);
    *out = OrderTicket{};
    out->form = Form::TrailingStop;
    std::optional<std::int64_t> activation;
    if (!side_arg(a[0], &out->side) || !qty_arg(st, a[1], true, out) ||
        !price_arg(st, "activation", a[4], &activation, &out->units.trigger) ||
        !offset_arg(a[5], &out->offset) ||
        !flag_arg("reduce_only", a[6], &out->terms.reduce_only) || !tag_arg(a[7], &out->tag) ||
        !instrument_arg(a[9], &out->instrument) || !rounding_of(a[10], &out->units.rounding)) {
      return false;
    }
    const bool by_distance = a[2] != nullptr && a[2] != Py_None;
    const bool by_rate = a[3] != nullptr && a[3] != Py_None;
    if (by_distance == by_rate) {
      PyErr_SetString(PyExc_ValueError,
                      by_rate ? "distance and rate: give the trail one way, not both"
                              : "distance: give the trail as distance= (ticks) or rate= "
                                "(billionths of the best price)");
      return false;
    }
    TriggerTerms& t = out->terms.trigger;
    t.kind = TriggerKind::Trailing;
    t.price = activation.value_or(0);
    if (!fired_by_arg(a[8], &t.source)) return false;
    if (by_distance && !count_or_units(st, a[2], "distance", "at least 1 tick", &t.distance,
                                       &out->units.distance)) {
      return false;
    }
    if (by_rate &&
        !(to_i64(a[3], "rate", &t.rate) &&
          in_range("rate", t.rate, 1, RATE_SCALE - 1, "between 1 and 999_999_999 billionths"))) {
      return false;
    }
    if (out->qty == 0) out->terms.close_position = true;
    return reducing_offset(*out);
  }
};

// ---------------------------------------------------------------------------
// ClosePosition

constexpr auto CLOSE_POSITION =
    signature("halvorn.venue.ClosePosition", either("side"), keyword("offset", "None"),
              keyword("tag", "None"), keyword("instrument", "None"));

struct ClosePositionClass {
  using Data = OrderTicket;
  static constexpr const char* NAME = "halvorn.venue.ClosePosition";
  static inline const char* const DOC = docstring<CLOSE_POSITION>(
      "A market order for the whole position it faces (a sell closes a long, a\n"
      "buy a short), sized when the venue accepts it; refused when there is\n"
      "nothing to close (on_end(id, \"rejected:reduce_only_flat\")).  In hedge\n"
      "mode give offset=\"close\": with the side it names the leg.  `instrument`\n"
      "names the run's instrument whose position it closes, as for venue.Order.\n\n"
      "```python\n"
      "return [venue.ClosePosition(\"sell\")]\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a side not \"buy\" or \"sell\", offset=\"open\", or an empty\n"
      "instrument; TypeError naming the field for a tag or instrument that is\n"
      "not a str.");
  static constexpr std::array FIELDS = {"side", "offset", "tag", "instrument"};
  static_assert(fields_are_parameters(CLOSE_POSITION, FIELDS));
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "`\"close\"`, or None when left out.",
      "The strategy's text for the order, or None.",
      "The symbol of the instrument it is for, or None for the tick's.",
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 1;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(side_text(d.side), offset_text(d.offset), text_or_none(d.tag),
                    text_or_none(d.instrument));
  }
  static constexpr const auto& SIGNATURE = CLOSE_POSITION;
  static bool build(PyTypeObject*, const ArgumentsOf<CLOSE_POSITION>& a, Data* out) {
    *out = OrderTicket{};
    out->form = Form::ClosePosition;
    out->terms.close_position = true;
    return side_arg(a[0], &out->side) && offset_arg(a[1], &out->offset) &&
           tag_arg(a[2], &out->tag) && instrument_arg(a[3], &out->instrument) &&
           reducing_offset(*out);
  }
};

// ---------------------------------------------------------------------------
// Cancel, CancelAll

constexpr auto CANCEL = signature("halvorn.venue.Cancel", either("order_id"));
constexpr auto CANCEL_ALL = signature("halvorn.venue.CancelAll");

struct CancelClass {
  using Data = CancelRequest;
  static constexpr const char* NAME = "halvorn.venue.Cancel";
  static inline const char* const DOC = docstring<CANCEL>(
      "Cancel the live order with this id; returned by a strategy beside its\n"
      "orders.  Orders are numbered 1, 2, 3, ... in the order the strategy\n"
      "returned them, across the whole run.  An id that is not live (filled,\n"
      "cancelled, never sent) is ignored.\n\n"
      "```python\n"
      "return [venue.Cancel(3), halvorn.Order(\"buy\", 1, price=599_990)]\n"
      "```");
  static constexpr std::array FIELDS = {"order_id"};
  static_assert(fields_are_parameters(CANCEL, FIELDS));
  static constexpr std::array DOCS = {"The id of the order to cancel."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) { return tuple_of(from_u64(d.order_id)); }
  static constexpr const auto& SIGNATURE = CANCEL;
  static bool build(PyTypeObject*, const ArgumentsOf<CANCEL>& a, Data* out) {
    return to_u64(a[0], "order_id", &out->order_id);
  }
};

struct CancelAllClass : Fieldless<CancelAllRequest> {
  static constexpr const char* NAME = "halvorn.venue.CancelAll";
  static inline const char* const DOC = docstring<CANCEL_ALL>(
      "Cancel every live order of the account; returned by a strategy beside\n"
      "its orders (an order returned after it in the same list is kept).\n\n"
      "```python\n"
      "return [venue.CancelAll()]\n"
      "```");
};

}  // namespace

// Cancel and CancelAll come last, after the groups, where the module has
// always shown them.
const std::array<ClassEntry<VenueState>, 9> ORDER_CLASSES = {{
    {[] { return value_spec<OrderClass>(); }, &VenueState::venue_order_type, true,
     value_vectorcall<OrderClass>},
    {[] { return value_spec<StopClass>(); }, &VenueState::stop_type, true,
     value_vectorcall<StopClass>},
    {[] { return value_spec<TakeProfitClass>(); }, &VenueState::take_profit_type, true,
     value_vectorcall<TakeProfitClass>},
    {[] { return value_spec<TrailingStopClass>(); }, &VenueState::trailing_stop_type, true,
     value_vectorcall<TrailingStopClass>},
    {[] { return value_spec<ClosePositionClass>(); }, &VenueState::close_position_type, true,
     value_vectorcall<ClosePositionClass>},
    {one_cancels_other_spec, &VenueState::one_cancels_other_type},
    {bracket_order_spec, &VenueState::bracket_order_type},
    {[] { return value_spec<CancelClass>(); }, &VenueState::cancel_type, true,
     value_vectorcall<CancelClass>},
    {[] { return value_spec<CancelAllClass>(); }, &VenueState::cancel_all_type},
}};

RequestTypes venue_requests(const VenueState* st, bool hedge) {
  RequestTypes types;
  types.cancel = st->cancel_type;
  types.cancel_all = st->cancel_all_type;
  types.tickets = {st->venue_order_type, st->stop_type, st->take_profit_type,
                   st->trailing_stop_type, st->close_position_type};
  types.groups = {st->one_cancels_other_type, st->bracket_order_type};
  types.hedge = hedge;
  return types;
}

PyObject* ending_text(const VenueState* st, strategy::Ending ending) {
  switch (ending) {
    case strategy::Ending::Filled:
      return Py_NewRef(st->str_filled);
    case strategy::Ending::Canceled:
      return Py_NewRef(st->str_canceled);
    case strategy::Ending::Expired:
      return Py_NewRef(st->str_expired);
    case strategy::Ending::Triggered:
      return Py_NewRef(st->str_triggered);
    default:
      break;
  }
  const std::optional<RejectReason> reason = strategy::rejection_of(ending);
  return PyUnicode_FromFormat("rejected:%s", reason ? name_of(*reason) : "unknown");
}

}  // namespace halvorn::py::venue
