#include "py/venue/account_classes.hpp"

#include <array>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "py/argument_conversion.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/instrument_class.hpp"
#include "py/venue/tier_classes.hpp"
#include "py/venue/venue_config.hpp"

namespace halvorn::py::venue {

namespace {

// ---------------------------------------------------------------------------
// Margin brackets and funding rates

// Earlier releases took these fields by position: a call so still works, and
// warns how it is written now.
constexpr auto BRACKET = signature("halvorn.venue.Bracket", keyword_or_position("up_to"),
                                   keyword_or_position("rate"), keyword_or_position("amount"));
constexpr auto FUNDING_RATE = signature("halvorn.venue.FundingRate", keyword_or_position("time"),
                                        keyword_or_position("rate"), keyword_or_position("price"));

struct BracketClass {
  using Data = margin::Bracket;
  static constexpr const char* NAME = "halvorn.venue.Bracket";
  static inline const char* const DOC = docstring<BRACKET>(
      "One row of a maintenance-margin table.\n\n"
      "A position whose notional is at most `up_to` (Cash) needs\n"
      "notional * rate / 1_000_000_000 - amount (Cash) of maintenance margin;\n"
      "`rate` is in billionths.  A notional above every bracket uses the last.\n\n"
      "```python\n"
      "venue.Bracket(up_to=5_000_000_000_000, rate=4_000_000, amount=0)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a negative up_to or amount, or a rate outside 0 to\n"
      "1_000_000_000.");
  static constexpr std::array FIELDS = {"up_to", "rate", "amount"};
  static_assert(fields_are_parameters(BRACKET, FIELDS));
  static constexpr std::array DOCS = {
      "The largest position notional the bracket covers, in Cash.",
      "Maintenance-margin rate, in billionths.",
      "Amount subtracted from notional times rate, in Cash.",
  };
  static constexpr bool KEYWORD_ONLY = true;
  static constexpr bool NO_DEFAULTS = true;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.up_to), from_i64(d.rate), from_i64(d.amount));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<BRACKET> parsed;
    if (!parse<BRACKET>(args, kwds, &parsed)) return false;
    PyObject *up_to = parsed[0], *rate = parsed[1], *amount = parsed[2];
    constexpr long long MAX = std::numeric_limits<std::int64_t>::max();
    return to_i64(up_to, "up_to", &out->up_to) &&
           in_range("up_to", out->up_to, 0, MAX, "at least 0") &&
           to_i64(rate, "rate", &out->rate) &&
           in_range("rate", out->rate, 0, RATE_SCALE, "between 0 and 1_000_000_000") &&
           to_i64(amount, "amount", &out->amount) &&
           in_range("amount", out->amount, 0, MAX, "at least 0");
  }
};

struct FundingRateClass {
  using Data = margin::FundingRate;
  static constexpr const char* NAME = "halvorn.venue.FundingRate";
  static inline const char* const DOC = docstring<FUNDING_RATE>(
      "One funding settlement: at `time` (ns), positions pay or receive\n"
      "`rate` (billionths; positive: longs pay shorts) of their value at\n"
      "`price` (ticks).  Settled before the first tick at or after `time`.\n\n"
      "```python\n"
      "venue.FundingRate(time=8 * 3600 * 10**9, rate=venue.rate(\"0.0001\"), price=600_000)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a rate outside -1_000_000_000 to 1_000_000_000 or a\n"
      "negative price.");
  static constexpr std::array FIELDS = {"time", "rate", "price"};
  static_assert(fields_are_parameters(FUNDING_RATE, FIELDS));
  static constexpr std::array DOCS = {
      "When the funding is settled, in nanoseconds.",
      "The funding rate, in billionths; positive: longs pay shorts.",
      "The price at which positions are valued for it, in ticks.",
  };
  static constexpr bool KEYWORD_ONLY = true;
  static constexpr bool NO_DEFAULTS = true;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.time), from_i64(d.rate), from_i64(d.price));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<FUNDING_RATE> parsed;
    if (!parse<FUNDING_RATE>(args, kwds, &parsed)) return false;
    PyObject *time = parsed[0], *rate = parsed[1], *price = parsed[2];
    return to_i64(time, "time", &out->time) && to_i64(rate, "rate", &out->rate) &&
           in_range("rate", out->rate, -RATE_SCALE, RATE_SCALE,
                    "between -1_000_000_000 and 1_000_000_000") &&
           to_i64(price, "price", &out->price) &&
           in_range("price", out->price, 0, std::numeric_limits<std::int64_t>::max(), "at least 0");
  }
};

// The elements of a sequence argument (not a str), each of class `type`,
// copied out in order.  The sequence is copied first, so an element's
// conversion cannot change what is being walked.
template <class T>
bool sequence_of(PyObject* obj, PyTypeObject* type, const char* field, const char* what,
                 std::vector<T>* out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    return wrong_type(field, what, obj);
  }
  Ref items = Ref::steal(PySequence_Tuple(obj));
  if (!items) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->clear();
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!Py_IS_TYPE(item, type)) {
      PyErr_Format(PyExc_TypeError, "%s must be %s; item %zd is %.200s", field, what, i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    out->push_back(unbox<T>(item));
  }
  return true;
}

template <class T>
PyObject* tuple_of_objects(PyTypeObject* type, const std::vector<T>& values) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = box(type, values[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

bool brackets_of(VenueState* st, PyObject* obj, margin::TierTable* out) {
  if (!sequence_of(obj, st->bracket_type, "margin_tiers", "a sequence of Bracket",
                   &out->brackets)) {
    return false;
  }
  const auto& b = out->brackets;
  if (b.empty()) {
    PyErr_SetString(PyExc_ValueError, "margin_tiers must hold at least one Bracket");
    return false;
  }
  for (std::size_t i = 1; i < b.size(); ++i) {
    if (b[i].up_to <= b[i - 1].up_to) {
      PyErr_Format(PyExc_ValueError,
                   "margin_tiers must be in ascending up_to order: bracket %zu covers up to %s, "
                   "not above bracket %zu's %s",
                   i, grouped(b[i].up_to).c_str(), i - 1, grouped(b[i - 1].up_to).c_str());
      return false;
    }
  }
  // A Bracket's rate is never negative, so only an edge can fall.
  if (const std::optional<std::size_t> i = out->first_falling_bracket(); i && *i > 0) {
    PyErr_Format(PyExc_ValueError,
                 "margin_tiers: bracket %zu asks less maintenance just above %s than bracket %zu "
                 "asks at it, and maintenance must not fall as a position grows: its amount may "
                 "be at most bracket %zu's plus the rate increase times that up_to",
                 *i, grouped(b[*i - 1].up_to).c_str(), *i - 1, *i - 1);
    return false;
  }
  return true;
}

// The funding of a Venue: a sequence of FundingRate, or columns as users
// hold them (a DataFrame or a dict of `time`, `rate` and `price`), which
// halvorn._mark_frames makes FundingRates of, scaling rates and prices
// exactly (prices with the Venue's Instrument, `definition`).
bool funding_of(VenueState* st, PyObject* obj,
                const std::optional<data::InstrumentDefinition>& definition,
                margin::FundingSchedule* out) {
  Ref frames = Ref::steal(PyImport_ImportModule("halvorn._mark_frames"));
  if (!frames) return false;
  Ref instrument = definition ? Ref::steal(new_instrument(st, *definition)) : Ref::borrow(Py_None);
  if (!instrument) return false;
  Ref rates =
      Ref::steal(PyObject_CallMethod(frames.get(), "funding_rates", "OO", obj, instrument.get()));
  if (!rates) return false;
  if (!sequence_of(rates.get(), st->funding_rate_type, "funding", "a sequence of FundingRate",
                   &out->rates)) {
    return false;
  }
  const auto& r = out->rates;
  for (std::size_t i = 1; i < r.size(); ++i) {
    if (r[i].time < r[i - 1].time) {
      PyErr_Format(PyExc_ValueError,
                   "funding must be in time order: rate %zu at %s comes before rate %zu at %s", i,
                   grouped(r[i].time).c_str(), i - 1, grouped(r[i - 1].time).c_str());
      return false;
    }
    // A venue settles once per settlement time: two rates at one time (a row
    // repeated where two archives overlap) would settle twice.
    if (r[i].time == r[i - 1].time) {
      PyErr_Format(PyExc_ValueError,
                   "funding settles once per time: rates %zu and %zu are both at %s", i - 1, i,
                   grouped(r[i].time).c_str());
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Venue

bool fee_rate(const char* field, PyObject* obj, std::int64_t* out) {
  return to_i64(obj, field, out) &&
         in_range(field, *out, -RATE_SCALE, RATE_SCALE, "between -1_000_000_000 and 1_000_000_000");
}

bool flag(const char* field, PyObject* obj, bool* out) { return to_bool(obj, field, out); }

// One of two words, for the field `field`: `first` gives a, `second` b.
template <class T>
bool word_of(PyObject* obj, const char* field, const char* first, T a, const char* second, T b,
             T* out) {
  const std::string both = std::string("\"") + first + "\" or \"" + second + "\"";
  if (!PyUnicode_Check(obj)) return wrong_type(field, both.c_str(), obj);
  if (PyUnicode_CompareWithASCIIString(obj, first) == 0) {
    *out = a;
  } else if (PyUnicode_CompareWithASCIIString(obj, second) == 0) {
    *out = b;
  } else {
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", field, both.c_str(), obj);
    return false;
  }
  return true;
}

bool resting_of(PyObject* obj, engine::RestingPrice* out) {
  return word_of(obj, "resting_fills", "limit", engine::RestingPrice::Limit, "quote",
                 engine::RestingPrice::Quote, out);
}

// Where the order a conditional order sends fills.
bool triggered_of(PyObject* obj, engine::TriggeredPrice* out) {
  return word_of(obj, "triggered_fills", "order", engine::TriggeredPrice::Order, "trigger",
                 engine::TriggeredPrice::Trigger, out);
}

// The defaults are objects, which a text signature cannot carry: the class
// sets its __signature__ from what a Venue() holds, and the texts here are
// what the stub writes for them.
constexpr auto VENUE = computed_signature(
    "halvorn.venue.Venue", keyword("tier", "L0()"), keyword("maker_fee", "0"),
    keyword("taker_fee", "0"), keyword("funding", "()"), keyword("margin_tiers", "EXAMPLE_BTCUSDT"),
    keyword("hedge", "False"), keyword("track_margin", "False"), keyword("enforce_margin", "True"),
    keyword("contract_size", "10000"), keyword("instrument", "1"),
    keyword("resting_fills", "'limit'"), keyword("triggered_fills", "'order'"));

struct VenueClass {
  using Data = VenueConfig;
  static constexpr const char* NAME = "halvorn.venue.Venue";
  static inline const char* const DOC = docstring<VENUE>(
      "The simulated venue a run trades on: execution tier, fees, funding,\n"
      "margin brackets and the account's options.\n\n"
      "Rates are integers in billionths (1_000_000_000 = 100 %; a negative\n"
      "maker rate is a rebate; `venue.rate(\"0.0004\")` gives 400_000), times\n"
      "are nanoseconds, prices ticks and money Cash (`halvorn.CASH_SCALE` per\n"
      "USDT).  `contract_size` is the Cash value of one tick on one lot.  The\n"
      "defaults are what `halvorn.run_backtest` runs: tier L0, no fees, no\n"
      "funding, the example BTCUSDT brackets, net position mode.  A `hedge`\n"
      "account holds its long and short legs apart; `track_margin` keeps the\n"
      "run's margin statistics (`Run.margin`).\n\n"
      "```python\n"
      "v = venue.Venue(taker_fee=venue.rate(\"0.0005\"), maker_fee=venue.rate(\"0.0002\"),\n"
      "                tier=venue.L1(order_latency=venue.Fixed(5_000_000)))\n"
      "run = venue.run(strategy, ticks, 10_000, venue=v)\n"
      "```\n\n"
      "# Errors\n\n"
      "TypeError naming the field for a value of the wrong kind; ValueError\n"
      "for a fee rate beyond 100 %, funding out of time order, an empty or\n"
      "unsorted margin table, a contract size below 1, or a contract size that\n"
      "is not the one of the Instrument given with it.\n\n"
      "`instrument` is an id or an `Instrument`; with an Instrument the\n"
      "contract size follows from its tick and lot sizes, and a run over a\n"
      "tick file converted with other sizes is refused.  A Venue given neither\n"
      "an Instrument nor a contract size takes both from a tick file that\n"
      "defines its instrument.\n\n"
      "`funding` is a sequence of FundingRate, or columns as users hold them\n"
      "(a pandas DataFrame or a dict of `time`, `rate` and `price`): times as\n"
      "datetimes or integer ns, rates as integer billionths or a fraction\n"
      "(0.0001 is 100_000), prices as integer ticks or scaled exactly by the\n"
      "Instrument; a value off its grid is refused with its row.\n\n"
      "`resting_fills` says where a resting limit order that the market trades\n"
      "through fills: \"limit\" (the default), at its own limit, as a venue\n"
      "fills it -- only an order that takes liquidity gets a better price; or\n"
      "\"quote\", at the quote when that is better, the rule of\n"
      "`halvorn.run_backtest`.\n\n"
      "`triggered_fills` says where the order a stop, take-profit or trailing\n"
      "stop sends when it fires fills: \"order\" (the default), where that\n"
      "order fills, as a venue fills it -- a stop gapped through at the worse\n"
      "quote, a take-profit at the better one; or \"trigger\", never better\n"
      "than its trigger, a conservative bound.");
  static constexpr std::array FIELDS = {"tier",         "maker_fee",      "taker_fee",
                                        "funding",      "margin_tiers",   "hedge",
                                        "track_margin", "enforce_margin", "contract_size",
                                        "instrument",   "resting_fills",  "triggered_fills"};
  static_assert(fields_are_parameters(VENUE, FIELDS));
  static constexpr std::array DOCS = {
      "The execution tier: L0(), L1(...) or L2(...).",
      "Fee rate of fills that provide liquidity, in billionths; negative is a rebate.",
      "Fee rate of fills that take liquidity, in billionths.",
      "Funding settlements, in time order: a tuple of FundingRate (given as one, or as "
      "columns).",
      "Maintenance-margin brackets, in ascending up_to order: a tuple of Bracket.",
      "Hedge position mode: long and short legs held apart.",
      "Keep the margin statistics of a run (Run.margin).",
      "Liquidate the account when its equity no longer covers maintenance.",
      "Cash value of a price of one tick on one lot.",
      "The instrument the account trades: its id, or the Instrument given.",
      "Where a resting order the market trades through fills: \"limit\" or \"quote\".",
      "Where the order a conditional order sends fills: \"order\" or \"trigger\".",
  };
  static constexpr bool KEYWORD_ONLY = true;

  // A copy (a pickle sent to a sweep's worker) of a Venue whose contract
  // size was left out leaves it out too, so that it still gives way to the
  // instrument a tick file defines.
  static bool passed(const Data& d, std::size_t field) {
    return field != 8 || d.contract_size_given || d.definition.has_value();
  }

  static Ref fields(PyTypeObject* type, const Data& d) {
    VenueState* st = venue_state_of_type(type);
    return tuple_of(
        tier_object(st, d.tier), from_i64(d.maker_fee), from_i64(d.taker_fee),
        tuple_of_objects(st->funding_rate_type, d.funding.rates),
        tuple_of_objects(st->bracket_type, d.margin_tiers.brackets), PyBool_FromLong(d.hedge),
        PyBool_FromLong(d.track_margin), PyBool_FromLong(d.enforce_margin),
        from_i64(d.contract_size),
        d.definition ? new_instrument(st, *d.definition) : PyLong_FromUnsignedLong(d.instrument),
        PyUnicode_FromString(d.resting == engine::RestingPrice::Limit ? "limit" : "quote"),
        PyUnicode_FromString(d.triggered == engine::TriggeredPrice::Order ? "order" : "trigger"));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<VENUE> v;
    if (!parse<VENUE>(args, kwds, &v)) return false;
    VenueState* st = venue_state_of_type(type);
    *out = VenueConfig{};
    if (v[0] && !tier_of(st, v[0], &out->tier)) return false;
    if (v[1] && !fee_rate("maker_fee", v[1], &out->maker_fee)) return false;
    if (v[2] && !fee_rate("taker_fee", v[2], &out->taker_fee)) return false;
    if (v[4] && !brackets_of(st, v[4], &out->margin_tiers)) return false;
    if (v[5] && !flag("hedge", v[5], &out->hedge)) return false;
    if (v[6] && !flag("track_margin", v[6], &out->track_margin)) return false;
    if (v[7] && !flag("enforce_margin", v[7], &out->enforce_margin)) return false;
    if (v[8] && !(to_i64(v[8], "contract_size", &out->contract_size) &&
                  in_range("contract_size", out->contract_size, 1,
                           std::numeric_limits<std::int64_t>::max(), "at least 1"))) {
      return false;
    }
    out->contract_size_given = v[8] != nullptr;
    if (v[9]) {
      std::uint64_t instrument = 0;
      if (Py_IS_TYPE(v[9], st->instrument_type)) {
        const InstrumentValue& given = instrument_value(v[9]);
        if (out->contract_size_given && out->contract_size != given.contract_size) {
          const std::string named = instrument_text(given.definition);
          PyErr_Format(PyExc_ValueError,
                       "contract_size %s is not the %s of %s (one tick of %s on one lot of %s); "
                       "leave contract_size out, it follows from the instrument",
                       grouped(out->contract_size).c_str(), grouped(given.contract_size).c_str(),
                       named.c_str(), given.definition.tick_size.text.c_str(),
                       given.definition.lot_size.text.c_str());
          return false;
        }
        out->definition = given.definition;
        out->contract_size = given.contract_size;
        instrument = given.definition.id;
      } else if (!PyLong_Check(v[9]) && PyIndex_Check(v[9]) == 0) {
        return wrong_type("instrument", "an int id or an Instrument", v[9]);
      } else if (!to_u64(v[9], "instrument", &instrument)) {
        return false;
      }
      if (instrument > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Format(PyExc_OverflowError, "instrument must fit in 32 bits, got %s",
                     grouped(static_cast<long long>(instrument)).c_str());
        return false;
      }
      out->instrument = static_cast<std::uint32_t>(instrument);
    }
    // The example brackets are amounts of USDT.  Read as amounts of a coin
    // they would hold every position a venue lists in the first bracket, a
    // maintenance that looks right and is not: an inverse instrument's
    // brackets are given, not defaulted.
    if (v[4] == nullptr && out->definition &&
        out->definition->kind == data::ContractKind::Inverse) {
      PyErr_Format(PyExc_ValueError,
                   "margin_tiers: the default brackets (EXAMPLE_BTCUSDT) are amounts of USDT, "
                   "and %s keeps its account in %s: give its brackets in %s",
                   out->definition->symbol.c_str(), out->definition->settle.c_str(),
                   out->definition->settle.c_str());
      return false;
    }
    // Funding given as columns scales its prices with the instrument.
    if (v[3] && !funding_of(st, v[3], out->definition, &out->funding)) return false;
    if (v[10] && !resting_of(v[10], &out->resting)) return false;
    if (v[11] && !triggered_of(v[11], &out->triggered)) return false;
    return true;
  }
};

// HALVORN_STEPPED, set to anything but "" or "0", steps every tick of a run
// through the account (RunConfig::stepped).  Read with the interpreter lock
// held, as Python's own changes to the environment are made.
bool stepped_by_environment() {
  const char* value = std::getenv("HALVORN_STEPPED");
  return value != nullptr && std::string_view(value) != "" && std::string_view(value) != "0";
}

}  // namespace

const std::array<ClassEntry<VenueState>, 4> ACCOUNT_CLASSES = {{
    {instrument_layout, &VenueState::instrument_type},
    {[] { return value_spec<BracketClass>(); }, &VenueState::bracket_type},
    {[] { return value_spec<FundingRateClass>(); }, &VenueState::funding_rate_type},
    {[] { return value_spec<VenueClass>(); }, &VenueState::venue_type},
}};

int finish_account_classes(PyObject* module, VenueState* st) {
  if (set_keyword_signature<VenueClass>(st->venue_type) < 0) return -1;
  st->example_tiers =
      tuple_of_objects(st->bracket_type, margin::TierTable::example_btcusdt().brackets);
  if (st->example_tiers == nullptr ||
      add_to_module(module, "EXAMPLE_BTCUSDT", Py_NewRef(st->example_tiers)) < 0) {
    return -1;
  }
  st->default_venue = box(st->venue_type, VenueConfig{});
  return st->default_venue == nullptr ? -1 : 0;
}

backtest::InstrumentConfig VenueConfig::instrument_config() const {
  backtest::InstrumentConfig config{
      InstrumentId{instrument}, tier, margin_tiers, funding, contract_size, {maker_fee, taker_fee}};
  if (definition) {
    // An Instrument, or a file's definition, is only taken once it has a
    // settlement: none here is a fault of that check.
    const std::optional<Settlement> settlement = settlement_of(*definition);
    if (!settlement) panic("an instrument's settlement is checked when it is taken");
    config.inverse = settlement->inverse;
    config.settle = settlement->currency;
    config.tick_worth = settlement->tick_worth;
  }
  return config;
}

backtest::RunConfig VenueConfig::run_config(Cash balance, std::uint64_t equity_every) const {
  backtest::RunConfig config;
  config.balance = balance;
  config.equity_every = static_cast<std::size_t>(equity_every);
  config.track_margin = track_margin;
  config.enforce_margin = enforce_margin;
  config.hedge = hedge;
  config.resting = resting;
  config.triggered = triggered;
  config.instruments = {instrument_config()};
  config.stepped = stepped_by_environment();
  return config;
}

bool venue_config(VenueState* st, PyObject* venue, const VenueConfig** out) {
  if (venue == nullptr || venue == Py_None) venue = st->default_venue;
  if (!Py_IS_TYPE(venue, st->venue_type)) return wrong_type("venue", "a Venue", venue);
  *out = &unbox<VenueConfig>(venue);
  return true;
}

}  // namespace halvorn::py::venue
