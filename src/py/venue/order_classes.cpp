#include "py/venue/order_classes.hpp"

#include <array>
#include <limits>
#include <string>
#include <utility>

#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

using Form = OrderTicket::Form;
using TriggerKind = TriggerTerms::Kind;

constexpr long long MOST = std::numeric_limits<std::int64_t>::max();

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

// A quantity of at least one lot; None (when allowed) is 0, the whole
// position.
bool qty_arg(PyObject* obj, bool none_allowed, QtyLots* out) {
  if (obj == nullptr || obj == Py_None) {
    if (none_allowed) {
      *out = 0;
      return true;
    }
    return wrong_type("qty", "an int", obj == nullptr ? Py_None : obj);
  }
  return to_i64(obj, "qty", out) && in_range("qty", *out, 1, MOST, "at least 1 lot");
}

// A price of at least one tick, or None.
bool price_arg(const char* field, PyObject* obj, std::optional<std::int64_t>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::int64_t v = 0;
  if (!to_i64(obj, field, &v) || !in_range(field, v, 1, MOST, "a price of at least 1 tick")) {
    return false;
  }
  *out = v;
  return true;
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
PyObject* optional_int(const std::optional<std::int64_t>& v) {
  return v ? from_i64(*v) : Py_NewRef(Py_None);
}
PyObject* qty_of(const OrderTicket& t) { return t.qty == 0 ? Py_NewRef(Py_None) : from_i64(t.qty); }
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

struct OrderClass {
  using Data = OrderTicket;
  static constexpr const char* NAME = "halvorn.venue.Order";
  static constexpr const char* DOC =
      "Order(side, qty, *, price=None, offset=None, tif='gtc', post_only=False, "
      "reduce_only=False, tag=None, instrument=None)\n--\n\n"
      "An order with the venue's terms: a limit order at `price` (ticks), or a\n"
      "market order without one.\n\n"
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
      "```\n\n"
      "# Errors\n\n"
      "ValueError naming the field: a side, offset or tif not among its words,\n"
      "a qty or price below 1, post_only without a price or with an immediate\n"
      "tif, a reduce-only order with offset=\"open\", an empty instrument;\n"
      "TypeError naming the field for a tag or instrument that is not a str.";
  static constexpr std::array FIELDS = {"side",      "qty",         "price", "offset",    "tif",
                                        "post_only", "reduce_only", "tag",   "instrument"};
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "Lots.",
      "Limit price in ticks, or None for a market order.",
      "`\"open\"`, `\"close\"`, or None when left out.",
      "Time in force: `\"gtc\"`, `\"ioc\"` or `\"fok\"`.",
      "Refused rather than take liquidity on arrival.",
      "Only ever reduces the position it faces.",
      "The strategy's text for the order, or None.",
      "The symbol of the instrument it is for, or None for the tick's.",
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(side_text(d.side), qty_of(d), optional_int(d.price), offset_text(d.offset),
                    tif_text(d.terms.tif), flag(d.terms.post_only), flag(d.terms.reduce_only),
                    text_or_none(d.tag), text_or_none(d.instrument));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"side",      "qty",         "price", "offset",     "tif",
                                   "post_only", "reduce_only", "tag",   "instrument", nullptr};
    Arguments<9> a;
    if (!parse_arguments(args, kwds, "OO|$OOOOOOO:Order", kwlist, &a)) return false;
    *out = OrderTicket{};
    out->form = Form::Order;
    if (!side_arg(a[0], &out->side) || !qty_arg(a[1], false, &out->qty) ||
        !price_arg("price", a[2], &out->price) || !offset_arg(a[3], &out->offset) ||
        !tif_arg(a[4], &out->terms.tif) || !flag_arg("post_only", a[5], &out->terms.post_only) ||
        !flag_arg("reduce_only", a[6], &out->terms.reduce_only) || !tag_arg(a[7], &out->tag) ||
        !instrument_arg(a[8], &out->instrument) || !reducing_offset(*out)) {
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

constexpr char stop_doc[] =
    "Stop(side, qty=None, *, trigger, price=None, offset=None, reduce_only=False, tag=None, "
    "fired_by='last', instrument=None)\n--\n\n"
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
    "for, as for venue.Order: its trigger watches that instrument's prices.\n\n"
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
    "TakeProfit(side, qty=None, *, trigger, price=None, offset=None, reduce_only=False, "
    "tag=None, fired_by='last', instrument=None)\n--\n\n"
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
  static constexpr const char* DOC = STOP ? stop_doc : take_profit_doc;
  static constexpr std::array FIELDS = {"side",        "qty", "trigger",  "price",     "offset",
                                        "reduce_only", "tag", "fired_by", "instrument"};
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "Lots, or None for the whole position it closes.",
      "The price at which it fires, in ticks.",
      "The limit of the order it sends, in ticks, or None for a market order.",
      "`\"open\"`, `\"close\"`, or None when left out.",
      "Only ever reduces the position it faces.",
      "The strategy's text for the order, or None.",
      "The price it watches: `\"last\"` (the last trade) or `\"mark\"`.",
      "The symbol of the instrument it is for, or None for the tick's.",
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;
  static constexpr std::size_t REQUIRED = 1;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(side_text(d.side), qty_of(d), from_i64(d.terms.trigger.price),
                    optional_int(d.price), offset_text(d.offset), flag(d.terms.reduce_only),
                    text_or_none(d.tag), fired_by_text(d.terms.trigger.source),
                    text_or_none(d.instrument));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"side",        "qty", "trigger",  "price",      "offset",
                                   "reduce_only", "tag", "fired_by", "instrument", nullptr};
    Arguments<9> a;
    if (!parse_arguments(args, kwds, STOP ? "O|O$OOOOOOO:Stop" : "O|O$OOOOOOO:TakeProfit", kwlist,
                         &a)) {
      return false;
    }
    *out = OrderTicket{};
    out->form = STOP ? Form::Stop : Form::TakeProfit;
    if (a[2] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() needs trigger=, the price at which it fires",
                   STOP ? "Stop" : "TakeProfit");
      return false;
    }
    std::int64_t trigger = 0;
    if (!side_arg(a[0], &out->side) || !qty_arg(a[1], true, &out->qty) ||
        !to_i64(a[2], "trigger", &trigger) ||
        !in_range("trigger", trigger, 1, MOST, "a price of at least 1 tick") ||
        !price_arg("price", a[3], &out->price) || !offset_arg(a[4], &out->offset) ||
        !flag_arg("reduce_only", a[5], &out->terms.reduce_only) || !tag_arg(a[6], &out->tag) ||
        !instrument_arg(a[8], &out->instrument)) {
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

struct TrailingStopClass {
  using Data = OrderTicket;
  static constexpr const char* NAME = "halvorn.venue.TrailingStop";
  static constexpr const char* DOC =
      "TrailingStop(side, qty=None, *, distance=None, rate=None, activation=None, offset=None, "
      "reduce_only=False, tag=None, fired_by='last', instrument=None)\n--\n\n"
      "A trailing stop-market order: its trigger follows the best price it\n"
      "watches (`fired_by`: \"last\", the last trade, or \"mark\", the mark\n"
      "price) since its trail started -- the highest for a sell, the lowest for\n"
      "a buy -- at `distance` ticks, or at `rate` billionths of that price (at\n"
      "least one tick), and it fires when the price turns back to the trigger.\n"
      "With an `activation` price the trail starts only once the price reaches\n"
      "it (a sell's from below, a buy's from above); without one it starts at\n"
      "once.  It then fires and executes as a Stop does.  `instrument` names\n"
      "the run's instrument it is for, as for venue.Order.\n\n"
      "```python\n"
      "venue.TrailingStop(\"sell\", 2, distance=300)                  # 300 ticks behind\n"
      "venue.TrailingStop(\"sell\", 2, rate=venue.rate(\"0.01\"), activation=610_000)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError naming the field: neither or both of distance and rate, a\n"
      "distance of 0, a rate outside 1 to 999_999_999, an activation price or\n"
      "qty below 1, an empty instrument; TypeError naming the field for a tag\n"
      "or instrument that is not a str.";
  static constexpr std::array FIELDS = {"side",       "qty",       "distance",    "rate",
                                        "activation", "offset",    "reduce_only", "tag",
                                        "fired_by",   "instrument"};
  static constexpr std::array DOCS = {
      "`\"buy\"` or `\"sell\"`.",
      "Lots, or None for the whole position it closes.",
      "How far the trigger trails the best price, in ticks, or None.",
      "How far the trigger trails, in billionths of the best price, or None.",
      "The price at which the trail starts, in ticks, or None for at once.",
      "`\"open\"`, `\"close\"`, or None when left out.",
      "Only ever reduces the position it faces.",
      "The strategy's text for the order, or None.",
      "The price it trails and fires on: `\"last\"` or `\"mark\"`.",
      "The symbol of the instrument it is for, or None for the tick's.",
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;
  static constexpr std::size_t REQUIRED = 2;

  static Ref fields(PyTypeObject*, const Data& d) {
    const TriggerTerms& t = d.terms.trigger;
    return tuple_of(side_text(d.side), qty_of(d), positive_or_none(t.distance),
                    positive_or_none(t.rate), positive_or_none(t.price), offset_text(d.offset),
                    flag(d.terms.reduce_only), text_or_none(d.tag), fired_by_text(t.source),
                    text_or_none(d.instrument));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"side",       "qty",        "distance",    "rate",
                                   "activation", "offset",     "reduce_only", "tag",
                                   "fired_by",   "instrument", nullptr};
    Arguments<10> a;
    if (!parse_arguments(args, kwds, "O|O$OOOOOOOO:TrailingStop", kwlist, &a)) return false;
    *out = OrderTicket{};
    out->form = Form::TrailingStop;
    std::optional<std::int64_t> activation;
    if (!side_arg(a[0], &out->side) || !qty_arg(a[1], true, &out->qty) ||
        !price_arg("activation", a[4], &activation) || !offset_arg(a[5], &out->offset) ||
        !flag_arg("reduce_only", a[6], &out->terms.reduce_only) || !tag_arg(a[7], &out->tag) ||
        !instrument_arg(a[9], &out->instrument)) {
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
    if (by_distance && !(to_i64(a[2], "distance", &t.distance) &&
                         in_range("distance", t.distance, 1, MOST, "at least 1 tick"))) {
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

struct ClosePositionClass {
  using Data = OrderTicket;
  static constexpr const char* NAME = "halvorn.venue.ClosePosition";
  static constexpr const char* DOC =
      "ClosePosition(side, *, offset=None, tag=None, instrument=None)\n--\n\n"
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
      "not a str.";
  static constexpr std::array FIELDS = {"side", "offset", "tag", "instrument"};
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
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"side", "offset", "tag", "instrument", nullptr};
    Arguments<4> a;
    if (!parse_arguments(args, kwds, "O|$OOO:ClosePosition", kwlist, &a)) return false;
    *out = OrderTicket{};
    out->form = Form::ClosePosition;
    out->terms.close_position = true;
    return side_arg(a[0], &out->side) && offset_arg(a[1], &out->offset) &&
           tag_arg(a[2], &out->tag) && instrument_arg(a[3], &out->instrument) &&
           reducing_offset(*out);
  }
};

// ---------------------------------------------------------------------------
// Groups

// The ticket of one of the venue's order objects, or a TypeError naming the
// field.  `forms` are the classes accepted there.
bool member_of(const VenueState* st, PyObject* obj, const char* field, const char* what,
               std::initializer_list<Form> forms, const OrderTicket** out) {
  PyTypeObject* type = Py_TYPE(obj);
  const std::array<std::pair<PyTypeObject*, Form>, 4> known = {{
      {st->venue_order_type, Form::Order},
      {st->stop_type, Form::Stop},
      {st->take_profit_type, Form::TakeProfit},
      {st->trailing_stop_type, Form::TrailingStop},
  }};
  for (const auto& [t, form] : known) {
    if (type != t) continue;
    for (Form allowed : forms) {
      if (allowed == form) {
        *out = &unbox<OrderTicket>(obj);
        return true;
      }
    }
  }
  return wrong_type(field, what, obj);
}

// The price an order of a bracket is judged by: its limit, else the
// trigger it fires at; none for a market order or a trailing stop.
std::optional<std::int64_t> level_of(const OrderTicket& t) {
  if (t.price) return t.price;
  if (t.terms.trigger.kind == TriggerKind::Stop ||
      t.terms.trigger.kind == TriggerKind::TakeProfit) {
    return t.terms.trigger.price;
  }
  return std::nullopt;
}

// How the instrument of a member reads in a refusal.
std::string instrument_words(const OrderTicket& t) {
  return "instrument=" + (t.instrument ? quote_escaped_utf8(*t.instrument) : std::string("None"));
}

// The members of a group are for one instrument, since what one fills or
// fires cancels or arms the others on the same position.  None (the tick's
// instrument) differs from every named one: which that is changes from tick
// to tick.  A ValueError naming both fields when they differ.
bool one_instrument(const OrderTicket& a, const char* a_field, const OrderTicket& b,
                    const char* b_field) {
  if (a.instrument == b.instrument) return true;
  PyErr_Format(PyExc_ValueError,
               "%s and %s: the orders of a group are for one instrument, got %s and %s", a_field,
               b_field, instrument_words(a).c_str(), instrument_words(b).c_str());
  return false;
}

struct OneCancelsOtherClass {
  using Data = GroupData;
  static constexpr const char* NAME = "halvorn.venue.OneCancelsOther";
  static constexpr const char* DOC =
      "OneCancelsOther(first, second)\n--\n\n"
      "Two orders of which at most one fills: the first to fill (or, for a\n"
      "conditional order, to fire) cancels the other at once, before anything\n"
      "else can reach it, and a cancel of either by the strategy cancels both.\n"
      "Each is a venue.Order, Stop, TakeProfit or TrailingStop; they are\n"
      "numbered in order, first then second.  Both are for one instrument: they\n"
      "name the same, or neither names one.\n\n"
      "```python\n"
      "venue.OneCancelsOther(venue.Order(\"sell\", 1, price=612_000),\n"
      "                      venue.Stop(\"sell\", 1, trigger=590_000))\n"
      "```\n\n"
      "# Errors\n\n"
      "TypeError for a member that is not one of those orders; ValueError\n"
      "naming both for legs for different instruments.";
  static constexpr std::array FIELDS = {"first", "second"};
  static constexpr std::array DOCS = {"The first leg.", "The second leg."};
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(Py_NewRef(d.objects[0].get()), Py_NewRef(d.objects[1].get()));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"first", "second", nullptr};
    Arguments<2> a;
    if (!parse_arguments(args, kwds, "OO:OneCancelsOther", kwlist, &a)) return false;
    const VenueState* st = venue_state_of_type(type);
    constexpr const char* what = "a venue.Order, Stop, TakeProfit or TrailingStop";
    const auto forms = {Form::Order, Form::Stop, Form::TakeProfit, Form::TrailingStop};
    const OrderTicket* legs[2] = {};
    if (!member_of(st, a[0], "first", what, forms, &legs[0]) ||
        !member_of(st, a[1], "second", what, forms, &legs[1]) ||
        !one_instrument(*legs[0], "first", *legs[1], "second")) {
      return false;
    }
    *out = GroupData{};
    out->ticket.kind = GroupRole::OneCancelsOther;
    for (int i = 0; i < 2; ++i) {
      out->ticket.members[i] = *legs[i];
      out->ticket.present[i] = true;
      out->objects[i] = Ref::borrow(a[i]);
    }
    out->objects[2] = Ref::borrow(Py_None);
    return true;
  }
};

struct BracketOrderClass {
  using Data = GroupData;
  static constexpr const char* NAME = "halvorn.venue.BracketOrder";
  static constexpr const char* DOC =
      "BracketOrder(entry, *, stop_loss=None, take_profit=None)\n--\n\n"
      "An entry with its exits: a `stop_loss` (a Stop or a TrailingStop) and a\n"
      "`take_profit` (a TakeProfit, or a venue.Order at a limit price) on the\n"
      "other side.  The exits wait, unarmed, until the entry fills; they are\n"
      "then armed for what filled (and raised as more of an entry filled in\n"
      "parts fills) and form a one-cancels-other pair, and both end once the\n"
      "position the entry opened is gone (an exit filled, or the strategy\n"
      "closed it), taking along what is left of an entry filled in part.  An\n"
      "entry that ends unfilled takes them along.  An exit's qty left at None\n"
      "is the entry's; exits only ever reduce.  Numbered entry, stop-loss,\n"
      "take-profit.  Its orders are for one instrument: an exit that names none\n"
      "is for the entry's.\n\n"
      "```python\n"
      "venue.BracketOrder(venue.Order(\"buy\", 2, price=600_000),\n"
      "                   stop_loss=venue.Stop(\"sell\", trigger=594_000),\n"
      "                   take_profit=venue.TakeProfit(\"sell\", trigger=612_000))\n"
      "```\n\n"
      "# Errors\n\n"
      "TypeError for an entry that is not a venue.Order, Stop or TakeProfit, or\n"
      "an exit of the wrong class; ValueError naming the field for an entry\n"
      "without a qty or that only reduces, an exit on the entry's side, a stop\n"
      "not below a buy entry's price (above a sell's), a take-profit not above\n"
      "it (below), a bracket without either exit, or an exit naming another\n"
      "instrument than the entry (naming both fields).";
  static constexpr std::array FIELDS = {"entry", "stop_loss", "take_profit"};
  static constexpr std::array DOCS = {
      "The order that opens the position.",
      "The Stop or TrailingStop that closes it at a loss, or None.",
      "The TakeProfit (or limit Order) that closes it at a profit, or None.",
  };
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 1;
  static constexpr std::size_t REQUIRED = 2;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(Py_NewRef(d.objects[0].get()), Py_NewRef(d.objects[1].get()),
                    Py_NewRef(d.objects[2].get()));
  }

  // An exit on the other side of the entry, beyond its price the right way.
  static bool exit_ok(const OrderTicket& entry, const OrderTicket& exit, const char* field,
                      bool stop) {
    if (exit.side == entry.side) {
      PyErr_Format(PyExc_ValueError,
                   "%s: side must be the other side of the entry's (\"%s\" for a %s entry), got "
                   "\"%s\"",
                   field, name_of(entry.side == Side::Buy ? Side::Sell : Side::Buy),
                   name_of(entry.side), name_of(exit.side));
      return false;
    }
    const std::optional<std::int64_t> at = level_of(entry);
    const std::optional<std::int64_t> level = level_of(exit);
    if (!at || !level) return true;
    const bool buy = entry.side == Side::Buy;
    // A stop loses: below a buy's price, above a sell's; a take-profit gains.
    const bool below = stop == buy;
    if (below ? *level < *at : *level > *at) return true;
    PyErr_Format(PyExc_ValueError, "%s: a %s entry at %s needs its %s %s that price, got %s", field,
                 name_of(entry.side), grouped(*at).c_str(), stop ? "stop" : "take-profit",
                 below ? "below" : "above", grouped(*level).c_str());
    return false;
  }

  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"entry", "stop_loss", "take_profit", nullptr};
    Arguments<3> a;
    if (!parse_arguments(args, kwds, "O|$OO:BracketOrder", kwlist, &a)) return false;
    const VenueState* st = venue_state_of_type(type);
    const OrderTicket* entry = nullptr;
    const OrderTicket* stop = nullptr;
    const OrderTicket* take = nullptr;
    if (!member_of(st, a[0], "entry", "a venue.Order, Stop or TakeProfit",
                   {Form::Order, Form::Stop, Form::TakeProfit}, &entry)) {
      return false;
    }
    const bool has_stop = a[1] != nullptr && a[1] != Py_None;
    const bool has_take = a[2] != nullptr && a[2] != Py_None;
    if (has_stop && !member_of(st, a[1], "stop_loss", "a venue.Stop or TrailingStop",
                               {Form::Stop, Form::TrailingStop}, &stop)) {
      return false;
    }
    if (has_take && !member_of(st, a[2], "take_profit", "a venue.TakeProfit or a limit Order",
                               {Form::TakeProfit, Form::Order}, &take)) {
      return false;
    }
    if (entry->qty == 0 || entry->reducing()) {
      PyErr_SetString(PyExc_ValueError,
                      "entry: a bracket's entry opens a position: it needs a qty and cannot be "
                      "reduce-only");
      return false;
    }
    if (!has_stop && !has_take) {
      PyErr_SetString(PyExc_ValueError,
                      "stop_loss and take_profit: a bracket needs at least one of them");
      return false;
    }
    if (take != nullptr && take->form == Form::Order && !take->price) {
      PyErr_SetString(PyExc_ValueError,
                      "take_profit: an Order as take-profit needs its limit price= (or give a "
                      "TakeProfit)");
      return false;
    }
    // An exit that names no instrument is for the entry's, filled in below.
    if ((stop != nullptr && stop->instrument &&
         !one_instrument(*entry, "entry", *stop, "stop_loss")) ||
        (take != nullptr && take->instrument &&
         !one_instrument(*entry, "entry", *take, "take_profit"))) {
      return false;
    }
    if ((stop != nullptr && !exit_ok(*entry, *stop, "stop_loss", true)) ||
        (take != nullptr && !exit_ok(*entry, *take, "take_profit", false))) {
      return false;
    }
    *out = GroupData{};
    out->ticket.kind = GroupRole::BracketEntry;
    out->ticket.members[0] = *entry;
    out->ticket.present[0] = true;
    const OrderTicket* exits[2] = {stop, take};
    for (int i = 0; i < 2; ++i) {
      if (exits[i] == nullptr) continue;
      OrderTicket exit = *exits[i];
      // An exit closes what the entry opened: its size by default, and only
      // ever reducing, on the leg the entry opened.
      if (exit.qty == 0) exit.qty = entry->qty;
      exit.terms.close_position = false;
      exit.terms.reduce_only = true;
      exit.offset = Offset::Close;
      exit.instrument = entry->instrument;  // the same, or none given
      out->ticket.members[i + 1] = exit;
      out->ticket.present[i + 1] = true;
    }
    for (int i = 0; i < 3; ++i) out->objects[i] = Ref::borrow(a[i] ? a[i] : Py_None);
    return true;
  }
};

}  // namespace

const std::array<ClassEntry<VenueState>, 7> ORDER_CLASSES = {{
    {[] { return value_spec<OrderClass>(); }, &VenueState::venue_order_type},
    {[] { return value_spec<StopClass>(); }, &VenueState::stop_type},
    {[] { return value_spec<TakeProfitClass>(); }, &VenueState::take_profit_type},
    {[] { return value_spec<TrailingStopClass>(); }, &VenueState::trailing_stop_type},
    {[] { return value_spec<ClosePositionClass>(); }, &VenueState::close_position_type},
    {[] { return value_spec<OneCancelsOtherClass>(); }, &VenueState::one_cancels_other_type},
    {[] { return value_spec<BracketOrderClass>(); }, &VenueState::bracket_order_type},
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
