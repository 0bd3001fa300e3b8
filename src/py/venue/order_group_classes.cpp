#include "py/venue/order_group_classes.hpp"

#include <array>
#include <initializer_list>
#include <string>
#include <utility>

#include "py/argument_conversion.hpp"
#include "py/order_ticket.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/order_units.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

using Form = OrderTicket::Form;

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

constexpr auto ONE_CANCELS_OTHER =
    signature("halvorn.venue.OneCancelsOther", either("first"), either("second"));
constexpr auto BRACKET_ORDER =
    signature("halvorn.venue.BracketOrder", either("entry"), keyword("stop_loss", "None"),
              keyword("take_profit", "None"));

struct OneCancelsOtherClass {
  using Data = GroupData;
  static constexpr const char* NAME = "halvorn.venue.OneCancelsOther";
  static inline const char* const DOC = docstring<ONE_CANCELS_OTHER>(
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
      "naming both for legs for different instruments.");
  static constexpr std::array FIELDS = {"first", "second"};
  static_assert(fields_are_parameters(ONE_CANCELS_OTHER, FIELDS));
  static constexpr std::array DOCS = {"The first leg.", "The second leg."};
  static constexpr bool KEYWORD_ONLY = false;
  static constexpr std::size_t POSITIONAL = 2;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(Py_NewRef(d.objects[0].get()), Py_NewRef(d.objects[1].get()));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<ONE_CANCELS_OTHER> a;
    if (!parse<ONE_CANCELS_OTHER>(args, kwds, &a)) return false;
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
  static inline const char* const DOC = docstring<BRACKET_ORDER>(
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
      "instrument than the entry (naming both fields).");
  static constexpr std::array FIELDS = {"entry", "stop_loss", "take_profit"};
  static_assert(fields_are_parameters(BRACKET_ORDER, FIELDS));
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

  static bool exit_ok(const OrderTicket& entry, const OrderTicket& exit, bool stop) {
    const std::optional<std::string> refusal = bracket_exit_refusal(entry, exit, stop);
    if (refusal) raise_value_error(*refusal);
    return !refusal;
  }

  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<BRACKET_ORDER> a;
    if (!parse<BRACKET_ORDER>(args, kwds, &a)) return false;
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
    if ((stop != nullptr && !exit_ok(*entry, *stop, true)) ||
        (take != nullptr && !exit_ok(*entry, *take, false))) {
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
      close_what_entry_opens(*entry, &exit);
      out->ticket.members[i + 1] = exit;
      out->ticket.present[i + 1] = true;
    }
    for (int i = 0; i < 3; ++i) out->objects[i] = Ref::borrow(a[i] ? a[i] : Py_None);
    return true;
  }
};

}  // namespace

PyType_Spec* one_cancels_other_spec() { return value_spec<OneCancelsOtherClass>(); }
PyType_Spec* bracket_order_spec() { return value_spec<BracketOrderClass>(); }

}  // namespace halvorn::py::venue
