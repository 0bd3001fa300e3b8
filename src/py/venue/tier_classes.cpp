#include "py/venue/tier_classes.hpp"

#include <array>
#include <limits>

#include "py/argument_conversion.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"

namespace halvorn::py::venue {

namespace {

// No latency may reach the edge of 64-bit time: with any time a tick file
// can sensibly carry (before the year 2116), adding one never overflows.
constexpr std::int64_t MAX_LATENCY = std::int64_t{1} << 62;

// ---------------------------------------------------------------------------
// Latencies and queue models

constexpr auto FIXED = signature("halvorn.venue.Fixed", either("ns"));
constexpr auto QUANTILES = signature("halvorn.venue.Quantiles", either("p50"), either("p90"),
                                     either("p99"), either("p999"));
constexpr auto QUEUE_FIXED = signature("halvorn.venue.QueueFixed", either("lots"));
constexpr auto TRADED_SHARE = signature("halvorn.venue.TradedShare", either("pct"));

bool latency_value(const char* field, PyObject* obj, Nanos* out) {
  return to_i64(obj, field, out) &&
         in_range(field, *out, 0, MAX_LATENCY, "between 0 and 2**62 nanoseconds");
}

struct FixedClass {
  using Data = engine::Latency::Fixed;
  static constexpr const char* NAME = "halvorn.venue.Fixed";
  static inline const char* const DOC = docstring<FIXED>(
      "A latency that is the same for every order (or every report), in nanoseconds.\n\n"
      "```python\n"
      "venue.L1(order_latency=venue.Fixed(5_000_000))  # 5 ms\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a latency below 0 or above 2**62 ns.");
  static constexpr std::array FIELDS = {"ns"};
  static_assert(fields_are_parameters(FIXED, FIELDS));
  static constexpr std::array DOCS = {"The latency, in nanoseconds."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) { return tuple_of(from_i64(d.value)); }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<FIXED> parsed;
    if (!parse<FIXED>(args, kwds, &parsed)) return false;
    PyObject* ns = parsed[0];
    return latency_value("ns", ns, &out->value);
  }
};

struct QuantilesClass {
  using Data = engine::Latency::Quantiles;
  static constexpr const char* NAME = "halvorn.venue.Quantiles";
  static inline const char* const DOC = docstring<QUANTILES>(
      "A latency drawn per order from four buckets, in nanoseconds.\n\n"
      "Half of the orders take `p50`, 40 % `p90`, 9 % `p99` and 1 % `p999`.\n"
      "The draw is a hash of the order id, so an order always takes the same\n"
      "time and a run repeats exactly.\n\n"
      "```python\n"
      "venue.Quantiles(2_000_000, 5_000_000, 20_000_000, 100_000_000)\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a value below 0 or above 2**62 ns, or for quantiles\n"
      "that decrease.");
  static constexpr std::array FIELDS = {"p50", "p90", "p99", "p999"};
  static_assert(fields_are_parameters(QUANTILES, FIELDS));
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
    ArgumentsOf<QUANTILES> v;
    if (!parse<QUANTILES>(args, kwds, &v)) return false;
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
  static inline const char* const DOC = docstring<QUEUE_FIXED>(
      "The same quantity ahead of every new limit order, in lots.\n\n"
      "An order waits until that many lots have traded at its price (or the\n"
      "price has moved through it) before it can fill.\n\n"
      "```python\n"
      "venue.L1(queue=venue.QueueFixed(10))\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a negative quantity.");
  static constexpr std::array FIELDS = {"lots"};
  static_assert(fields_are_parameters(QUEUE_FIXED, FIELDS));
  static constexpr std::array DOCS = {"Lots ahead of a new limit order."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) { return tuple_of(from_i64(d.lots)); }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<QUEUE_FIXED> parsed;
    if (!parse<QUEUE_FIXED>(args, kwds, &parsed)) return false;
    PyObject* lots = parsed[0];
    return to_i64(lots, "lots", &out->lots) &&
           in_range("lots", out->lots, 0, std::numeric_limits<std::int64_t>::max(), "at least 0");
  }
};

struct TradedShareClass {
  using Data = engine::QueueModel::TradedShare;
  static constexpr const char* NAME = "halvorn.venue.TradedShare";
  static inline const char* const DOC = docstring<TRADED_SHARE>(
      "Ahead of a new limit order: this percentage of the volume traded between\n"
      "the two most recent ticks, in lots (truncated).\n\n"
      "```python\n"
      "venue.L1(queue=venue.TradedShare(50))\n"
      "```\n\n"
      "# Errors\n\n"
      "ValueError for a percentage outside 0 to 100.");
  static constexpr std::array FIELDS = {"pct"};
  static_assert(fields_are_parameters(TRADED_SHARE, FIELDS));
  static constexpr std::array DOCS = {"Percent of the last traded volume, 0 to 100."};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(PyLong_FromUnsignedLong(d.pct));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<TRADED_SHARE> parsed;
    if (!parse<TRADED_SHARE>(args, kwds, &parsed)) return false;
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

constexpr auto L0_TIER = signature("halvorn.venue.L0");
// The defaults are objects (Fixed(0)), which a text signature cannot carry:
// the classes set their __signature__ from what L1() holds.
template <bool Depth>
constexpr auto LATENCY_TIER = computed_signature(
    Depth ? "halvorn.venue.L2" : "halvorn.venue.L1", keyword("order_latency", "Fixed(0)"),
    keyword("report_latency", "Fixed(0)"), keyword("queue", "None"), keyword("impact_pct", "0"),
    keyword("cancel_latency", "Fixed(0)"), keyword("partial_fills", "False"));

struct L0Class : Fieldless<NoFields> {
  static constexpr const char* NAME = "halvorn.venue.L0";
  static inline const char* const DOC = docstring<L0_TIER>(
      "Fills at the observed prices: market orders at the touch of the next\n"
      "tick, limit orders when the observed prices reach them; no latency, no\n"
      "queue, no impact.  What `halvorn.run_backtest` runs.\n\n"
      "```python\n"
      "venue.Venue(tier=venue.L0())\n"
      "```");
};

// L1 and L2 take the same configuration; they differ in whether the engine
// keeps a depth book.
template <bool Depth>
struct LatencyTierClass {
  using Data = engine::L1Config;
  static constexpr const char* NAME = Depth ? "halvorn.venue.L2" : "halvorn.venue.L1";
  static inline const char* const DOC = docstring<LATENCY_TIER<Depth>>(
      Depth ? "L1 plus a depth book kept from recorded depth (a run's `depth=`).\n\n"
              "Queue positions are read from the displayed size at the order's\n"
              "price and taker fills are priced by walking the book; the L1\n"
              "square-root impact applies only where the depth cannot absorb a\n"
              "fill.  Without depth the engine behaves as L1.  With\n"
              "`partial_fills=True` a taker takes what the displayed levels hold\n"
              "within its limit, the rest resting (\"gtc\"), expiring (\"ioc\") or\n"
              "keeping the whole from filling (\"fok\"), and a resting order fills\n"
              "by the volume traded past the depth ahead of it.\n\n"
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
              "trunc(sqrt(q / v) * r * impact_pct / 100) ticks.  `cancel_latency`\n"
              "delays a cancel as `order_latency` delays an order: the order works,\n"
              "and may fill, until the cancel arrives (the default, 0, cancels at\n"
              "once).  `partial_fills=True` fills a resting order by the volume\n"
              "traded past its queue, in parts, the rest keeping its place; by\n"
              "default every order fills whole.\n\n"
              "```python\n"
              "venue.L1(order_latency=venue.Fixed(5_000_000), queue=venue.QueueFixed(10))\n"
              "```\n\n"
              "# Errors\n\n"
              "TypeError naming the field for a value of the wrong kind;\n"
              "OverflowError for an impact_pct beyond 32 bits.");
  static constexpr std::array FIELDS = {"order_latency", "report_latency", "queue",
                                        "impact_pct",    "cancel_latency", "partial_fills"};
  static_assert(fields_are_parameters(LATENCY_TIER<Depth>, FIELDS));
  static constexpr std::array DOCS = {
      "From an order's decision to its arrival at the venue.",
      "From an execution to the account learning of it.",
      "What stands ahead of a new limit order: None, QueueFixed or TradedShare.",
      "Square-root impact coefficient, in percent; 0 disables impact.",
      "From a cancel's decision to its arrival; the order works until then (0: at once).",
      "Whether orders fill in parts, by traded volume and displayed depth.",
  };
  static constexpr bool KEYWORD_ONLY = true;

  static Ref fields(PyTypeObject* type, const Data& d) {
    VenueState* st = venue_state_of_type(type);
    return tuple_of(latency_object(st, d.order_latency), latency_object(st, d.report_latency),
                    queue_object(st, d.queue), PyLong_FromUnsignedLong(d.impact_pct),
                    latency_object(st, d.cancel_latency), PyBool_FromLong(d.partial_fills));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<LATENCY_TIER<Depth>> parsed;
    if (!parse<LATENCY_TIER<Depth>>(args, kwds, &parsed)) return false;
    PyObject *order = parsed[0], *report = parsed[1], *queue = parsed[2], *impact = parsed[3],
             *cancel = parsed[4], *partial = parsed[5];
    VenueState* st = venue_state_of_type(type);
    *out = engine::L1Config{};
    if (order != nullptr && !latency_of(st, "order_latency", order, &out->order_latency)) {
      return false;
    }
    if (report != nullptr && !latency_of(st, "report_latency", report, &out->report_latency)) {
      return false;
    }
    if (queue != nullptr && !queue_of(st, queue, &out->queue)) return false;
    if (cancel != nullptr && !latency_of(st, "cancel_latency", cancel, &out->cancel_latency)) {
      return false;
    }
    if (partial != nullptr && !to_bool(partial, "partial_fills", &out->partial_fills)) return false;
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

}  // namespace

const std::array<ClassEntry<VenueState>, 7> TIER_CLASSES = {{
    {[] { return value_spec<L0Class>(); }, &VenueState::l0_type},
    {[] { return value_spec<L1Class>(); }, &VenueState::l1_type},
    {[] { return value_spec<L2Class>(); }, &VenueState::l2_type},
    {[] { return value_spec<FixedClass>(); }, &VenueState::fixed_type},
    {[] { return value_spec<QuantilesClass>(); }, &VenueState::quantiles_type},
    {[] { return value_spec<QueueFixedClass>(); }, &VenueState::queue_fixed_type},
    {[] { return value_spec<TradedShareClass>(); }, &VenueState::traded_share_type},
}};

int finish_tier_classes(VenueState* st) {
  if (set_keyword_signature<L1Class>(st->l1_type) < 0 ||
      set_keyword_signature<L2Class>(st->l2_type) < 0) {
    return -1;
  }
  st->zero_latency = box(st->fixed_type, engine::Latency::Fixed{0});
  return st->zero_latency == nullptr ? -1 : 0;
}

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

}  // namespace halvorn::py::venue
