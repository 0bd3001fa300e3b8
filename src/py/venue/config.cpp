#include "py/venue/config.hpp"

#include <array>
#include <limits>
#include <string>

#include "data/decimal.hpp"
#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/value_class.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

// No latency may reach the edge of 64-bit time: with any time a tick file
// can sensibly carry (before the year 2116), adding one never overflows.
constexpr std::int64_t MAX_LATENCY = std::int64_t{1} << 62;

VenueState* state_of(PyTypeObject* type) { return venue_state_of_type(type); }

// ValueError "{field} must be {rule}, got {value}".
bool refuse(const char* field, const char* rule, long long value) {
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %s", field, rule, grouped(value).c_str());
  return false;
}

bool in_range(const char* field, long long value, long long low, long long high, const char* rule) {
  return (value >= low && value <= high) || refuse(field, rule, value);
}

// TypeError "{field} must be {what}, got {type}".
bool wrong_type(const char* field, const char* what, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "%s must be %s, got %.200s", field, what, Py_TYPE(obj)->tp_name);
  return false;
}

// ---------------------------------------------------------------------------
// Latencies and queue models

bool latency_value(const char* field, PyObject* obj, Nanos* out) {
  return to_i64(obj, field, out) &&
         in_range(field, *out, 0, MAX_LATENCY, "between 0 and 2**62 nanoseconds");
}

struct FixedClass {
  using Data = engine::Latency::Fixed;
  static constexpr const char* NAME = "halvorn.venue.Fixed";
  static constexpr const char* DOC =
      "Fixed(ns)\n--\n\n"
      "A latency that is the same for every order (or every report), in nanoseconds.\n\n"
      "```python\n"
      "venue.L1(order_latency=venue.Fixed(5_000_000))  # 5 ms\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a latency below 0 or above 2**62 ns.";
  static constexpr std::array FIELDS = {"ns"};
  static constexpr std::array DOCS = {"The latency, in nanoseconds."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) { return tuple_of(from_i64(d.value)); }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"ns", nullptr};
    Arguments<1> parsed;
    if (!parse_arguments(args, kwds, "O:Fixed", kwlist, &parsed)) return false;
    PyObject* ns = parsed[0];
    return latency_value("ns", ns, &out->value);
  }
};

struct QuantilesClass {
  using Data = engine::Latency::Quantiles;
  static constexpr const char* NAME = "halvorn.venue.Quantiles";
  static constexpr const char* DOC =
      "Quantiles(p50, p90, p99, p999)\n--\n\n"
      "A latency drawn per order from four buckets, in nanoseconds.\n\n"
      "Half of the orders take `p50`, 40 % `p90`, 9 % `p99` and 1 % `p999`.\n"
      "The draw is a hash of the order id, so an order always takes the same\n"
      "time and a run repeats exactly.\n\n"
      "```python\n"
      "venue.Quantiles(2_000_000, 5_000_000, 20_000_000, 100_000_000)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a value below 0 or above 2**62 ns, or for quantiles\n"
      "that decrease.";
  static constexpr std::array FIELDS = {"p50", "p90", "p99", "p999"};
  static constexpr std::array DOCS = {
      "The latency of half of the orders, in nanoseconds.",
      "The latency of the next 40 % of the orders, in nanoseconds.",
      "The latency of the next 9 % of the orders, in nanoseconds.",
      "The latency of the slowest 1 % of the orders, in nanoseconds.",
  };
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.p50), from_i64(d.p90), from_i64(d.p99), from_i64(d.p999));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"p50", "p90", "p99", "p999", nullptr};
    Arguments<4> v;
    if (!parse_arguments(args, kwds, "OOOO:Quantiles", kwlist, &v)) return false;
    Nanos* fields[4] = {&out->p50, &out->p90, &out->p99, &out->p999};
    for (int i = 0; i < 4; ++i) {
      if (!latency_value(FIELDS[i], v[i], fields[i])) return false;
      if (i > 0 && *fields[i] < *fields[i - 1]) {
        PyErr_Format(PyExc_ValueError, "quantiles must not decrease: %s %s is below %s %s",
                     FIELDS[i], grouped(*fields[i]).c_str(), FIELDS[i - 1],
                     grouped(*fields[i - 1]).c_str());
        return false;
      }
    }
    return true;
  }
};

struct QueueFixedClass {
  using Data = engine::QueueModel::Fixed;
  static constexpr const char* NAME = "halvorn.venue.QueueFixed";
  static constexpr const char* DOC =
      "QueueFixed(lots)\n--\n\n"
      "The same quantity ahead of every new limit order, in lots.\n\n"
      "An order waits until that many lots have traded at its price (or the\n"
      "price has moved through it) before it can fill.\n\n"
      "```python\n"
      "venue.L1(queue=venue.QueueFixed(10))\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a negative quantity.";
  static constexpr std::array FIELDS = {"lots"};
  static constexpr std::array DOCS = {"Lots ahead of a new limit order."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) { return tuple_of(from_i64(d.lots)); }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"lots", nullptr};
    Arguments<1> parsed;
    if (!parse_arguments(args, kwds, "O:QueueFixed", kwlist, &parsed)) return false;
    PyObject* lots = parsed[0];
    return to_i64(lots, "lots", &out->lots) &&
           in_range("lots", out->lots, 0, std::numeric_limits<std::int64_t>::max(), "at least 0");
  }
};

struct TradedShareClass {
  using Data = engine::QueueModel::TradedShare;
  static constexpr const char* NAME = "halvorn.venue.TradedShare";
  static constexpr const char* DOC =
      "TradedShare(pct)\n--\n\n"
      "Ahead of a new limit order: this percentage of the volume traded between\n"
      "the two most recent ticks, in lots (truncated).\n\n"
      "```python\n"
      "venue.L1(queue=venue.TradedShare(50))\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a percentage outside 0 to 100.";
  static constexpr std::array FIELDS = {"pct"};
  static constexpr std::array DOCS = {"Percent of the last traded volume, 0 to 100."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(PyLong_FromUnsignedLong(d.pct));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"pct", nullptr};
    Arguments<1> parsed;
    if (!parse_arguments(args, kwds, "O:TradedShare", kwlist, &parsed)) return false;
    PyObject* pct = parsed[0];
    std::int64_t v = 0;
    if (!to_i64(pct, "pct", &v) || !in_range("pct", v, 0, 100, "between 0 and 100")) return false;
    out->pct = static_cast<std::uint32_t>(v);
    return true;
  }
};

PyObject* latency_object(VenueState* st, const engine::Latency& latency) {
  if (const auto* f = std::get_if<engine::Latency::Fixed>(&latency.kind)) {
    return box(st->fixed_type, *f);
  }
  return box(st->quantiles_type, std::get<engine::Latency::Quantiles>(latency.kind));
}

bool latency_of(VenueState* st, const char* field, PyObject* obj, engine::Latency* out) {
  if (Py_IS_TYPE(obj, st->fixed_type)) {
    out->kind = unbox<engine::Latency::Fixed>(obj);
  } else if (Py_IS_TYPE(obj, st->quantiles_type)) {
    out->kind = unbox<engine::Latency::Quantiles>(obj);
  } else {
    return wrong_type(field, "a Fixed or Quantiles latency", obj);
  }
  return true;
}

PyObject* queue_object(VenueState* st, const engine::QueueModel& queue) {
  if (const auto* f = std::get_if<engine::QueueModel::Fixed>(&queue.kind)) {
    return box(st->queue_fixed_type, *f);
  }
  if (const auto* s = std::get_if<engine::QueueModel::TradedShare>(&queue.kind)) {
    return box(st->traded_share_type, *s);
  }
  return Py_NewRef(Py_None);
}

bool queue_of(VenueState* st, PyObject* obj, engine::QueueModel* out) {
  if (obj == Py_None) {
    out->kind = engine::QueueModel::Off{};
  } else if (Py_IS_TYPE(obj, st->queue_fixed_type)) {
    out->kind = unbox<engine::QueueModel::Fixed>(obj);
  } else if (Py_IS_TYPE(obj, st->traded_share_type)) {
    out->kind = unbox<engine::QueueModel::TradedShare>(obj);
  } else {
    return wrong_type("queue", "None, a QueueFixed or a TradedShare", obj);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Tiers

struct NoFields {};

struct L0Class : Fieldless<NoFields> {
  static constexpr const char* NAME = "halvorn.venue.L0";
  static constexpr const char* DOC =
      "L0()\n--\n\n"
      "Fills at the observed prices: market orders at the touch of the next\n"
      "tick, limit orders when the observed prices reach them; no latency, no\n"
      "queue, no impact.  What `halvorn.run_backtest` runs.\n\n"
      "```python\n"
      "venue.Venue(tier=venue.L0())\n"
      "```";
};

// L1 and L2 take the same configuration; they differ in whether the engine
// keeps a depth book.
template <bool Depth>
struct LatencyTierClass {
  using Data = engine::L1Config;
  static constexpr const char* NAME = Depth ? "halvorn.venue.L2" : "halvorn.venue.L1";
  static constexpr const char* DOC =
      Depth ? "L1 plus a depth book kept from recorded depth (a run's `depth=`).\n\n"
              "Queue positions are read from the displayed size at the order's\n"
              "price and taker fills are priced by walking the book; the L1\n"
              "square-root impact applies only where the depth cannot absorb a\n"
              "fill.  Without depth the engine behaves as L1.\n\n"
              "```python\n"
              "venue.L2(order_latency=venue.Fixed(2_000_000))\n"
              "```\n\n"
              "# Errors\n\n"
              "TypeError naming the field for a value of the wrong kind;\n"
              "OverflowError for an impact_pct beyond 32 bits."
            : "Fills after order latency and queue position, moved by price impact,\n"
              "reported after report latency.\n\n"
              "`order_latency` and `report_latency` are `Fixed` or `Quantiles`\n"
              "latencies; `queue` is None (a limit order rests at once), a\n"
              "`QueueFixed` or a `TradedShare`; `impact_pct` is the square-root\n"
              "impact coefficient in percent (0: none): a taker fill of q lots\n"
              "after v lots traded in a tick whose range is r ticks moves by\n"
              "trunc(sqrt(q / v) * r * impact_pct / 100) ticks.\n\n"
              "```python\n"
              "venue.L1(order_latency=venue.Fixed(5_000_000), queue=venue.QueueFixed(10))\n"
              "```\n\n"
              "# Errors\n\n"
              "TypeError naming the field for a value of the wrong kind;\n"
              "OverflowError for an impact_pct beyond 32 bits.";
  static constexpr std::array FIELDS = {"order_latency", "report_latency", "queue", "impact_pct"};
  static constexpr std::array DOCS = {
      "From an order's decision to its arrival at the venue.",
      "From an execution to the account learning of it.",
      "What stands ahead of a new limit order: None, QueueFixed or TradedShare.",
      "Square-root impact coefficient, in percent; 0 disables impact.",
  };
  static constexpr bool KEYWORD_ONLY = true;

  static Ref fields(PyTypeObject* type, const Data& d) {
    VenueState* st = state_of(type);
    return tuple_of(latency_object(st, d.order_latency), latency_object(st, d.report_latency),
                    queue_object(st, d.queue), PyLong_FromUnsignedLong(d.impact_pct));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"order_latency", "report_latency", "queue", "impact_pct",
                                   nullptr};
    Arguments<4> parsed;
    if (!parse_arguments(args, kwds, Depth ? "|$OOOO:L2" : "|$OOOO:L1", kwlist, &parsed)) {
      return false;
    }
    PyObject *order = parsed[0], *report = parsed[1], *queue = parsed[2], *impact = parsed[3];
    VenueState* st = state_of(type);
    *out = engine::L1Config{};
    if (order != nullptr && !latency_of(st, "order_latency", order, &out->order_latency)) {
      return false;
    }
    if (report != nullptr && !latency_of(st, "report_latency", report, &out->report_latency)) {
      return false;
    }
    if (queue != nullptr && !queue_of(st, queue, &out->queue)) return false;
    if (impact != nullptr) {
      std::uint64_t pct = 0;
      if (!to_u64(impact, "impact_pct", &pct)) return false;
      if (pct > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Format(PyExc_OverflowError, "impact_pct must fit in 32 bits, got %s",
                     grouped(static_cast<long long>(pct)).c_str());
        return false;
      }
      out->impact_pct = static_cast<std::uint32_t>(pct);
    }
    return true;
  }
};

using L1Class = LatencyTierClass<false>;
using L2Class = LatencyTierClass<true>;

PyObject* tier_object(VenueState* st, const core::Tier& tier) {
  if (const auto* l1 = std::get_if<core::Tier::L1>(&tier.kind)) return box(st->l1_type, l1->config);
  if (const auto* l2 = std::get_if<core::Tier::L2>(&tier.kind)) return box(st->l2_type, l2->config);
  return box(st->l0_type, NoFields{});
}

bool tier_of(VenueState* st, PyObject* obj, core::Tier* out) {
  if (Py_IS_TYPE(obj, st->l0_type)) {
    out->kind = core::Tier::L0{};
  } else if (Py_IS_TYPE(obj, st->l1_type)) {
    out->kind = core::Tier::L1{unbox<engine::L1Config>(obj)};
  } else if (Py_IS_TYPE(obj, st->l2_type)) {
    out->kind = core::Tier::L2{unbox<engine::L1Config>(obj)};
  } else {
    return wrong_type("tier", "L0(), L1(...) or L2(...)", obj);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Margin brackets and funding rates

struct BracketClass {
  using Data = margin::Bracket;
  static constexpr const char* NAME = "halvorn.venue.Bracket";
  static constexpr const char* DOC =
      "Bracket(up_to, rate, amount)\n--\n\n"
      "One row of a maintenance-margin table.\n\n"
      "A position whose notional is at most `up_to` (Cash) needs\n"
      "notional * rate / 1_000_000_000 - amount (Cash) of maintenance margin;\n"
      "`rate` is in billionths.  A notional above every bracket uses the last.\n\n"
      "```python\n"
      "venue.Bracket(up_to=5_000_000_000_000, rate=4_000_000, amount=0)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a negative up_to or amount, or a rate outside 0 to\n"
      "1_000_000_000.";
  static constexpr std::array FIELDS = {"up_to", "rate", "amount"};
  static constexpr std::array DOCS = {
      "The largest position notional the bracket covers, in Cash.",
      "Maintenance-margin rate, in billionths.",
      "Amount subtracted from notional times rate, in Cash.",
  };
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.up_to), from_i64(d.rate), from_i64(d.amount));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"up_to", "rate", "amount", nullptr};
    Arguments<3> parsed;
    if (!parse_arguments(args, kwds, "OOO:Bracket", kwlist, &parsed)) return false;
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
  static constexpr const char* DOC =
      "FundingRate(time, rate, price)\n--\n\n"
      "One funding settlement: at `time` (ns), positions pay or receive\n"
      "`rate` (billionths; positive: longs pay shorts) of their value at\n"
      "`price` (ticks).  Settled before the first tick at or after `time`.\n\n"
      "```python\n"
      "venue.FundingRate(time=8 * 3600 * 10**9, rate=venue.rate(\"0.0001\"), price=600_000)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a rate outside -1_000_000_000 to 1_000_000_000 or a\n"
      "negative price.";
  static constexpr std::array FIELDS = {"time", "rate", "price"};
  static constexpr std::array DOCS = {
      "When the funding is settled, in nanoseconds.",
      "The funding rate, in billionths; positive: longs pay shorts.",
      "The price at which positions are valued for it, in ticks.",
  };
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.time), from_i64(d.rate), from_i64(d.price));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"time", "rate", "price", nullptr};
    Arguments<3> parsed;
    if (!parse_arguments(args, kwds, "OOO:FundingRate", kwlist, &parsed)) return false;
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

bool funding_of(VenueState* st, PyObject* obj, margin::FundingSchedule* out) {
  if (!sequence_of(obj, st->funding_rate_type, "funding", "a sequence of FundingRate",
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

struct VenueClass {
  using Data = VenueConfig;
  static constexpr const char* NAME = "halvorn.venue.Venue";
  static constexpr const char* DOC =
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
      "unsorted margin table, or a contract size below 1.";
  static constexpr std::array FIELDS = {
      "tier",  "maker_fee",    "taker_fee",      "funding",       "margin_tiers",
      "hedge", "track_margin", "enforce_margin", "contract_size", "instrument"};
  static constexpr std::array DOCS = {
      "The execution tier: L0(), L1(...) or L2(...).",
      "Fee rate of fills that provide liquidity, in billionths; negative is a rebate.",
      "Fee rate of fills that take liquidity, in billionths.",
      "Funding settlements, in time order: a tuple of FundingRate.",
      "Maintenance-margin brackets, in ascending up_to order: a tuple of Bracket.",
      "Hedge position mode: long and short legs held apart.",
      "Keep the margin statistics of a run (Run.margin).",
      "Liquidate the account when its equity no longer covers maintenance.",
      "Cash value of a price of one tick on one lot.",
      "The instrument the account trades.",
  };
  static constexpr bool KEYWORD_ONLY = true;

  static Ref fields(PyTypeObject* type, const Data& d) {
    VenueState* st = state_of(type);
    return tuple_of(tier_object(st, d.tier), from_i64(d.maker_fee), from_i64(d.taker_fee),
                    tuple_of_objects(st->funding_rate_type, d.funding.rates),
                    tuple_of_objects(st->bracket_type, d.margin_tiers.brackets),
                    PyBool_FromLong(d.hedge), PyBool_FromLong(d.track_margin),
                    PyBool_FromLong(d.enforce_margin), from_i64(d.contract_size),
                    PyLong_FromUnsignedLong(d.instrument));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    static const char* kwlist[] = {"tier",          "maker_fee",  "taker_fee",    "funding",
                                   "margin_tiers",  "hedge",      "track_margin", "enforce_margin",
                                   "contract_size", "instrument", nullptr};
    Arguments<10> v;
    if (!parse_arguments(args, kwds, "|$OOOOOOOOOO:Venue", kwlist, &v)) return false;
    VenueState* st = state_of(type);
    *out = VenueConfig{};
    if (v[0] && !tier_of(st, v[0], &out->tier)) return false;
    if (v[1] && !fee_rate("maker_fee", v[1], &out->maker_fee)) return false;
    if (v[2] && !fee_rate("taker_fee", v[2], &out->taker_fee)) return false;
    if (v[3] && !funding_of(st, v[3], &out->funding)) return false;
    if (v[4] && !brackets_of(st, v[4], &out->margin_tiers)) return false;
    if (v[5] && !flag("hedge", v[5], &out->hedge)) return false;
    if (v[6] && !flag("track_margin", v[6], &out->track_margin)) return false;
    if (v[7] && !flag("enforce_margin", v[7], &out->enforce_margin)) return false;
    if (v[8] && !(to_i64(v[8], "contract_size", &out->contract_size) &&
                  in_range("contract_size", out->contract_size, 1,
                           std::numeric_limits<std::int64_t>::max(), "at least 1"))) {
      return false;
    }
    if (v[9]) {
      std::uint64_t instrument = 0;
      if (!to_u64(v[9], "instrument", &instrument)) return false;
      if (instrument > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Format(PyExc_OverflowError, "instrument must fit in 32 bits, got %s",
                     grouped(static_cast<long long>(instrument)).c_str());
        return false;
      }
      out->instrument = static_cast<std::uint32_t>(instrument);
    }
    return true;
  }
};

// ---------------------------------------------------------------------------
// Rates from decimal text

// What the text of a rate is counted in.
struct RateUnit {
  const char* function;
  const char* step;  // one unit of the result, as the text's own unit
  const char* name;  // for messages
};

constexpr RateUnit RATE{"rate", "0.000000001", "billionths"};
constexpr RateUnit PERCENT{"percent", "0.0000001", "billionths (0.0000001 %)"};
constexpr RateUnit BPS{"bps", "0.00001", "billionths (0.00001 basis points)"};

// The text as a whole number of `unit`, exactly.
PyObject* exact_count(PyObject* const* args, Py_ssize_t nargs, const RateUnit& unit) {
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", unit.function,
                 nargs);
    return nullptr;
  }
  PyObject* text = args[0];
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes the text of a decimal number, such as \"0.0004\", got %.200s; a float "
                 "has been rounded before it gets here",
                 unit.function, Py_TYPE(text)->tp_name);
    return nullptr;
  }
  std::string utf8;
  if (!utf8_of(text, &utf8)) return nullptr;
  data::Decimal value;
  if (data::parse_decimal(utf8, &value) != data::DecimalFault::None) {
    PyErr_Format(PyExc_ValueError, "%R is not a decimal number", text);
    return nullptr;
  }
  const data::Scaled scaled =
      data::scale(value, *data::parse_step(unit.step), data::Rounding::Exact);
  if (scaled.fault == data::ScaleFault::NotMultiple) {
    PyErr_Format(PyExc_ValueError, "%R is not a whole number of %s", text, unit.name);
    return nullptr;
  }
  if (scaled.fault != data::ScaleFault::None) {
    PyErr_Format(PyExc_ValueError, "%R does not fit in 64 bits of %s", text, unit.name);
    return nullptr;
  }
  return PyLong_FromLongLong(scaled.count);
}

PyObject* rate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(args, nargs, RATE);
}
PyObject* percent(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(args, nargs, PERCENT);
}
PyObject* bps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return exact_count(args, nargs, BPS);
}

PyMethodDef rate_functions[] = {
    {"rate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rate)), METH_FASTCALL,
     "rate(text, /)\n--\n\n"
     "A rate written as a decimal fraction, in billionths, exactly.\n\n"
     "```python\n"
     "venue.rate(\"0.0004\")   # 400_000, 0.04 %\n"
     "venue.rate(\"-0.0001\")  # -100_000, a rebate\n"
     "```\n\n"
     "# Errors\n\n"
     "TypeError for anything but a str (a float has already been rounded);\n"
     "ValueError for text that is not a decimal number or not a whole\n"
     "number of billionths."},
    {"percent", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(percent)), METH_FASTCALL,
     "percent(text, /)\n--\n\n"
     "A rate written in percent, in billionths, exactly.\n\n"
     "```python\n"
     "venue.percent(\"0.04\")  # 400_000\n"
     "```\n\n"
     "# Errors\n\n"
     "As `rate`."},
    {"bps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bps)), METH_FASTCALL,
     "bps(text, /)\n--\n\n"
     "A rate written in basis points (0.01 %), in billionths, exactly.\n\n"
     "```python\n"
     "venue.bps(\"4\")  # 400_000\n"
     "```\n\n"
     "# Errors\n\n"
     "As `rate`."},
};

// The keyword-only classes show their real defaults in their signature,
// which a text signature (literals only) cannot carry.
template <class C>
int set_signature(PyTypeObject* type) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return -1;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter || !signature) return -1;
  Ref keyword_only = Ref::steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
  typename C::Data fresh;
  Ref none = Ref::steal(PyTuple_New(0));
  if (!keyword_only || !none || !C::make(type, none.get(), nullptr, &fresh)) return -1;
  Ref defaults = C::fields(type, fresh);
  Ref params = Ref::steal(PyList_New(0));
  if (!defaults || !params) return -1;
  for (std::size_t i = 0; i < C::FIELDS.size(); ++i) {
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:O}", "default", PyTuple_GET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i))));
    Ref args = Ref::steal(Py_BuildValue("(sO)", C::FIELDS[i], keyword_only.get()));
    if (!kwargs || !args) return -1;
    Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    if (!p || PyList_Append(params.get(), p.get()) < 0) return -1;
  }
  Ref sig = Ref::steal(PyObject_CallOneArg(signature.get(), params.get()));
  if (!sig || PyDict_SetItemString(type->tp_dict, "__signature__", sig.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

}  // namespace

backtest::RunConfig VenueConfig::run_config(std::int64_t balance,
                                            std::uint64_t equity_every) const {
  backtest::RunConfig config;
  config.tier = tier;
  config.margin_tiers = margin_tiers;
  config.funding = funding;
  config.equity_every = static_cast<std::size_t>(equity_every);
  config.contract_size = contract_size;
  config.balance = units_to_cash(balance);
  config.fee_rates = {maker_fee, taker_fee};
  config.instrument = InstrumentId{instrument};
  config.track_margin = track_margin;
  config.enforce_margin = enforce_margin;
  config.hedge = hedge;
  return config;
}

const std::array<ClassEntry<VenueState>, 10> CONFIG_CLASSES = {{
    {[] { return value_spec<L0Class>(); }, &VenueState::l0_type},
    {[] { return value_spec<L1Class>(); }, &VenueState::l1_type},
    {[] { return value_spec<L2Class>(); }, &VenueState::l2_type},
    {[] { return value_spec<FixedClass>(); }, &VenueState::fixed_type},
    {[] { return value_spec<QuantilesClass>(); }, &VenueState::quantiles_type},
    {[] { return value_spec<QueueFixedClass>(); }, &VenueState::queue_fixed_type},
    {[] { return value_spec<TradedShareClass>(); }, &VenueState::traded_share_type},
    {[] { return value_spec<BracketClass>(); }, &VenueState::bracket_type},
    {[] { return value_spec<FundingRateClass>(); }, &VenueState::funding_rate_type},
    {[] { return value_spec<VenueClass>(); }, &VenueState::venue_type},
}};

int add_config(PyObject* module, VenueState* st) {
  if (add_classes(module, st, CONFIG_CLASSES) < 0) return -1;
  if (set_signature<L1Class>(st->l1_type) < 0 || set_signature<L2Class>(st->l2_type) < 0 ||
      set_signature<VenueClass>(st->venue_type) < 0) {
    return -1;
  }
  st->example_tiers =
      tuple_of_objects(st->bracket_type, margin::TierTable::example_btcusdt().brackets);
  if (st->example_tiers == nullptr ||
      add_to_module(module, "EXAMPLE_BTCUSDT", Py_NewRef(st->example_tiers)) < 0) {
    return -1;
  }
  st->zero_latency = box(st->fixed_type, engine::Latency::Fixed{0});
  st->default_venue = box(st->venue_type, VenueConfig{});
  if (st->zero_latency == nullptr || st->default_venue == nullptr) return -1;
  return add_functions(module, rate_functions);
}

bool venue_config(VenueState* st, PyObject* venue, const VenueConfig** out) {
  if (venue == nullptr || venue == Py_None) venue = st->default_venue;
  if (!Py_IS_TYPE(venue, st->venue_type)) return wrong_type("venue", "a Venue", venue);
  *out = &unbox<VenueConfig>(venue);
  return true;
}

}  // namespace halvorn::py::venue
