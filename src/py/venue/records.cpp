#include "py/venue/records.hpp"

#include <array>
#include <cstring>

#include "py/argument_conversion.hpp"
#include "py/read_only_buffer.hpp"
#include "py/results.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/values.hpp"
#include "py/venue/instrument_class.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

FillRecord fill_record(const Fill& f, const backtest::Booking& booking) {
  FillRecord r{};
  r.tick = booking.tick;
  r.effect = static_cast<std::uint8_t>(booking.effect);
  r.exch_ts = f.exch_ts;
  r.local_ts = f.local_ts;
  r.order = f.order;
  r.seq = f.seq;
  r.price = f.price;
  r.qty = f.qty;
  r.fee = f.fee;
  r.side = static_cast<std::uint8_t>(f.side);
  r.offset = static_cast<std::uint8_t>(f.offset);
  r.taker = f.taker;
  r.instrument = f.instrument.value;
  return r;
}

namespace {

// An instrument id: a 32-bit unsigned integer.
bool to_u32(PyObject* obj, const char* arg, std::uint32_t* out) {
  std::uint64_t value = 0;
  if (!to_u64(obj, arg, &value)) return false;
  if (value > UINT32_MAX) {
    PyErr_Format(PyExc_ValueError, "%s must be an instrument id below 2**32, got %llu", arg,
                 static_cast<unsigned long long>(value));
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

// Every field of a record given by keyword, for records made back from
// their fields (a copy, a pickle).
template <std::size_t N>
bool all_fields(PyObject* args, PyObject* kwds, const char* name,
                const std::array<const char*, N>& fields, std::array<PyObject*, N>* out) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes its fields by keyword", name);
    return false;
  }
  Py_ssize_t seen = 0;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* value = kwds != nullptr ? PyDict_GetItemString(kwds, fields[i]) : nullptr;
    if (value == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() needs the field %s", name, fields[i]);
      return false;
    }
    (*out)[i] = value;
    ++seen;
  }
  if (kwds != nullptr && PyDict_GET_SIZE(kwds) != seen) {
    PyErr_Format(PyExc_TypeError, "%s() takes only its fields", name);
    return false;
  }
  return true;
}

bool side_of(ModuleState* st, const char* field, PyObject* obj, bool buy_sell, std::uint8_t* out) {
  PyObject* first = buy_sell ? st->str_buy : st->str_open;
  PyObject* second = buy_sell ? st->str_sell : st->str_close;
  if (PyUnicode_Check(obj) && PyUnicode_Compare(obj, first) == 0) {
    *out = 0;
  } else if (PyUnicode_Check(obj) && PyUnicode_Compare(obj, second) == 0) {
    *out = 1;
  } else {
    PyErr_Format(PyExc_ValueError, "%s must be %R or %R, got %R", field, first, second, obj);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Fill, Liquidation, Closed, MarginStats

struct FillClass {
  using Data = FillItem;
  static constexpr const char* NAME = "halvorn.venue.Fill";
  static constexpr const char* DOC =
      "One fill of a run, and what a strategy's on_fill(fill) receives.\n\n"
      "Times in nanoseconds, price in ticks, qty in lots, fee in Cash (what\n"
      "was charged; negative for a rebate).  `taker` is whether the fill took\n"
      "liquidity (a market order, or a limit order marketable when it reached\n"
      "the venue), which decides its fee rate.  `remaining` is what the order\n"
      "still had working after this fill: 0 for a whole fill and for the last\n"
      "part of an order filled in parts.\n\n"
      "```python\n"
      "for f in run.fills:\n"
      "    print(f.exch_ts, f.side, f.qty, f.price, f.fee)\n"
      "```";
  static constexpr std::array FIELDS = {"exch_ts",    "local_ts", "order",    "seq",   "price",
                                        "qty",        "side",     "offset",   "taker", "fee",
                                        "instrument", "tick",     "remaining"};
  static constexpr std::array DOCS = {
      "Venue time of the tick the fill happened on, in nanoseconds.",
      "Local time of that tick, in nanoseconds.",
      "The id of the order that filled.",
      "The fill's number within the run's matcher, from 1.",
      "Execution price, in ticks.",
      "Executed quantity, in lots.",
      "`\"buy\"` or `\"sell\"`.",
      "`\"open\"` or `\"close\"`.",
      "Whether the fill took liquidity (taker rate) rather than provided it.",
      "The fee charged for the fill, in Cash; negative for a rebate.",
      "The instrument id of the fill: 1, 2, ... in the order a portfolio's\n"
      "ticks were given (Run.symbols); the venue's instrument id otherwise.",
      "The index, from 0, of the tick whose step booked the fill (across every\n"
      "instrument of a portfolio); the number of ticks for a fill settled after\n"
      "the last one.",
      "Lots of the order still working after this fill, in lots; 0 for a whole\n"
      "fill and for the last part of an order filled in parts.",
  };
  static constexpr bool KEYWORD_ONLY = true;
  static constexpr bool RECORD = true;

  static Ref fields(PyTypeObject* type, const Data& item) {
    ModuleState* st = state_of_type(type);
    const FillRecord& d = item.record;
    return tuple_of(from_i64(d.exch_ts), from_i64(d.local_ts), from_u64(d.order), from_u64(d.seq),
                    from_i64(d.price), from_i64(d.qty),
                    Py_NewRef(side_string(st, d.side == 0 ? Side::Buy : Side::Sell)),
                    Py_NewRef(offset_string(st, d.offset == 0 ? Offset::Open : Offset::Close)),
                    PyBool_FromLong(d.taker), from_i64(d.fee), from_u64(d.instrument),
                    from_u64(d.tick), from_i64(item.remaining));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* item) {
    std::array<PyObject*, FIELDS.size()> v{};
    if (!all_fields(args, kwds, "Fill", FIELDS, &v)) return false;
    ModuleState* st = state_of_type(type);
    *item = FillItem{};
    FillRecord* out = &item->record;
    return to_i64(v[0], "exch_ts", &out->exch_ts) && to_i64(v[1], "local_ts", &out->local_ts) &&
           to_u64(v[2], "order", &out->order) && to_u64(v[3], "seq", &out->seq) &&
           to_i64(v[4], "price", &out->price) && to_i64(v[5], "qty", &out->qty) &&
           side_of(st, "side", v[6], true, &out->side) &&
           side_of(st, "offset", v[7], false, &out->offset) &&
           to_bool(v[8], "taker", &out->taker) && to_i64(v[9], "fee", &out->fee) &&
           to_u32(v[10], "instrument", &out->instrument) && to_u64(v[11], "tick", &out->tick) &&
           to_i64(v[12], "remaining", &item->remaining);
  }
};

struct LiquidationClass {
  using Data = backtest::Liquidation;
  static constexpr const char* NAME = "halvorn.venue.Liquidation";
  static constexpr const char* DOC =
      "One closing-out of the account by the venue.\n\n"
      "At `at` (ns) the holding was valued out at `price` (ticks): `quantity`\n"
      "lots, `balance` the settlement balance after it and `forfeited` what\n"
      "the venue took (Cash; on the last record of one liquidation).";
  static constexpr std::array FIELDS = {"at",      "price",     "quantity",
                                        "balance", "forfeited", "instrument"};
  static constexpr std::array DOCS = {
      "When it happened, in nanoseconds.", "The price the holding was closed at, in ticks.",
      "Net size closed, in lots.",         "Settlement balance after the close, in Cash.",
      "Balance the venue took, in Cash.",  "The instrument id of the holding closed.",
  };
  static constexpr bool KEYWORD_ONLY = true;
  static constexpr bool RECORD = true;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.at), from_i64(d.price), from_i64(d.quantity), from_i64(d.balance),
                    from_i64(d.forfeited), from_u64(d.instrument.value));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    std::array<PyObject*, FIELDS.size()> v{};
    return all_fields(args, kwds, "Liquidation", FIELDS, &v) && to_i64(v[0], "at", &out->at) &&
           to_i64(v[1], "price", &out->price) && to_i64(v[2], "quantity", &out->quantity) &&
           to_i64(v[3], "balance", &out->balance) && to_i64(v[4], "forfeited", &out->forfeited) &&
           to_u32(v[5], "instrument", &out->instrument.value);
  }
};

struct ClosedClass {
  using Data = strategy::VenueClosed;
  static constexpr const char* NAME = "halvorn.venue.Closed";
  static constexpr const char* DOC =
      "What a strategy's on_liquidation(closed) receives: the venue closed one\n"
      "leg of the account's position.\n\n"
      "`lots` is the leg's size (positive), `price` the close price in ticks,\n"
      "`at` the time in ns, `side` \"buy\" for the long leg and \"sell\" for the\n"
      "short leg.";
  static constexpr std::array FIELDS = {"lots", "price", "at", "instrument", "side"};
  static constexpr std::array DOCS = {
      "Size of the closed leg, in lots, always positive.",
      "The price the venue closed it at, in ticks.",
      "When, in nanoseconds.",
      "The instrument of the closed holding.",
      "`\"buy\"` for the long leg, `\"sell\"` for the short leg.",
  };
  static constexpr bool KEYWORD_ONLY = true;
  static constexpr bool RECORD = true;

  static Ref fields(PyTypeObject* type, const Data& d) {
    return tuple_of(from_i64(d.lots), from_i64(d.price), from_i64(d.at),
                    PyLong_FromUnsignedLong(d.instrument.value),
                    Py_NewRef(side_string(state_of_type(type), d.side)));
  }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out) {
    std::array<PyObject*, FIELDS.size()> v{};
    std::uint64_t instrument = 0;
    std::uint8_t side = 0;
    if (!all_fields(args, kwds, "Closed", FIELDS, &v) || !to_i64(v[0], "lots", &out->lots) ||
        !to_i64(v[1], "price", &out->price) || !to_i64(v[2], "at", &out->at) ||
        !to_u64(v[3], "instrument", &instrument) ||
        !side_of(state_of_type(type), "side", v[4], true, &side)) {
      return false;
    }
    out->instrument = InstrumentId{static_cast<std::uint32_t>(instrument)};
    out->side = side == 0 ? Side::Buy : Side::Sell;
    return true;
  }
};

struct MarginClass {
  using Data = backtest::MarginStats;
  static constexpr const char* NAME = "halvorn.venue.MarginStats";
  static constexpr const char* DOC =
      "The margin statistics of a run made with track_margin=True.\n\n"
      "`peak_maintenance` is the largest maintenance margin seen on a tick\n"
      "with a position open; `min_headroom` the smallest equity minus\n"
      "maintenance on such a tick, or None when no tick had a position (Cash).";
  static constexpr std::array FIELDS = {"peak_maintenance", "min_headroom"};
  static constexpr std::array DOCS = {
      "Largest maintenance margin seen with a position open, in Cash.",
      "Smallest equity minus maintenance with a position open, in Cash, or None.",
  };
  static constexpr bool KEYWORD_ONLY = true;
  static constexpr bool RECORD = true;

  static Ref fields(PyTypeObject*, const Data& d) {
    return tuple_of(from_i64(d.peak_maintenance),
                    d.min_headroom ? from_i64(*d.min_headroom) : Py_NewRef(Py_None));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    std::array<PyObject*, FIELDS.size()> v{};
    if (!all_fields(args, kwds, "MarginStats", FIELDS, &v) ||
        !to_i64(v[0], "peak_maintenance", &out->peak_maintenance)) {
      return false;
    }
    out->min_headroom.reset();
    if (v[1] == Py_None) return true;
    std::int64_t headroom = 0;
    if (!to_i64(v[1], "min_headroom", &headroom)) return false;
    out->min_headroom = headroom;
    return true;
  }
};

// ---------------------------------------------------------------------------
// Fills: the fill records of one run, as a sequence and as a buffer

struct FillsData {
  std::vector<FillRecord> records;
  std::vector<std::int64_t> remaining;  // one per record
  Py_ssize_t shape[1] = {0};
  Py_ssize_t strides[1] = {sizeof(FillRecord)};
};

// The records' layout as the buffer protocol describes it (native byte
// order, no alignment): what numpy.asarray turns into a structured dtype.
constexpr char FILL_FORMAT[] =
    "T{=q:exch_ts:=q:local_ts:=Q:order:=Q:seq:=q:price:=q:qty:=q:fee:=B:side:=B:offset:=?:taker:"
    "=B:effect:=I:instrument:=Q:tick:}";

Py_ssize_t fills_length(PyObject* self) {
  return static_cast<Py_ssize_t>(unbox<FillsData>(self).records.size());
}

PyObject* fills_item(PyObject* self, Py_ssize_t i) {
  const FillsData& d = unbox<FillsData>(self);
  if (i < 0 || static_cast<std::size_t>(i) >= d.records.size()) {
    PyErr_SetString(PyExc_IndexError, "fill index out of range");
    return nullptr;
  }
  const auto at = static_cast<std::size_t>(i);
  return box(venue_state_of_type(Py_TYPE(self))->fill_type,
             FillItem{d.records[at], d.remaining[at]});
}

// The remainders as a read-only memoryview of int64, made from a copy: the
// records' own buffer keeps the layout it has always had.
PyObject* fills_remaining(PyObject* self, void*) {
  const std::vector<std::int64_t>& remaining = unbox<FillsData>(self).remaining;
  Ref bytes = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(remaining.data()),
                                static_cast<Py_ssize_t>(remaining.size() * sizeof(std::int64_t))));
  if (!bytes) return nullptr;
  Ref view = Ref::steal(PyMemoryView_FromObject(bytes.get()));
  if (!view) return nullptr;
  return PyObject_CallMethod(view.get(), "cast", "s", "q");
}

PyGetSetDef fills_getset[] = {
    {"remaining", fills_remaining, nullptr,
     "The lots each fill's order still had working after it, in fill order, as a\n"
     "read-only memoryview of int64 (numpy.asarray reads it).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int fills_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  FillsData& d = unbox<FillsData>(self);
  return export_read_only(self, view, flags,
                          ReadOnlyView{d.records.data(), static_cast<Py_ssize_t>(d.records.size()),
                                       sizeof(FillRecord), sizeof(FillRecord), FILL_FORMAT, d.shape,
                                       d.strides, "a run's fills are read-only", nullptr});
}

PyObject* fills_repr(PyObject* self) {
  return PyUnicode_FromFormat("Fills(%zd fills)", fills_length(self));
}

PyType_Slot fills_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<FillsData>)},
    {Py_tp_repr, reinterpret_cast<void*>(fills_repr)},
    {Py_tp_getset, fills_getset},
    {Py_sq_length, reinterpret_cast<void*>(fills_length)},
    {Py_sq_item, reinterpret_cast<void*>(fills_item)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(fills_getbuffer)},
    {Py_tp_doc, const_cast<char*>(
                    "The fills of a run, in booking order: a sequence of Fill, and a read-only\n"
                    "buffer of 72-byte records that numpy.asarray reads without a copy (fields\n"
                    "exch_ts, local_ts, order, seq, price, qty, fee as int64/uint64, side and\n"
                    "offset as uint8 codes, 0 for buy/open and 1 for sell/close, taker as bool,\n"
                    "effect as a uint8 code, 0 to 3 for a fill that opened (or added to),\n"
                    "reduced, closed or reversed its position, instrument as uint32 and tick,\n"
                    "the index of the tick it was booked on, as uint64).\n\n"
                    "```python\n"
                    "fills = numpy.asarray(run.fills)\n"
                    "notional = (fills[\"price\"] * fills[\"qty\"]).sum()\n"
                    "```")},
    {0, nullptr},
};

PyType_Spec fills_spec = {"halvorn.venue.Fills", sizeof(Boxed<FillsData>), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, fills_slots};

// ---------------------------------------------------------------------------
// Run

struct RunData {
  RunSummary summary;  // what a RunResult holds
  std::vector<Nanos> equity_times;
  std::string tier;
  Cash realized = 0;
  std::int64_t max_adverse = 0;
  std::uint64_t invalid_ticks = 0;
  std::uint64_t foreign_intents = 0;
  std::uint64_t exposed_ticks = 0;
  std::uint64_t depth_records = 0;
  std::uint64_t triggered = 0;
  std::uint64_t expired = 0;
  Ref rejected;        // a dict: reason -> count, for the reasons that occurred
  Ref order_tags;      // a dict: order id -> tag
  Ref fills;           // a Fills
  Ref liquidations;    // a tuple of Liquidation
  Ref margin;          // a MarginStats, or None
  Ref instrument;      // the Instrument the run's integers are in, or None
  Ref symbols;         // a tuple of str: the instruments' symbols, by id
  Ref instruments;     // a dict: symbol -> Instrument
  Ref per_instrument;  // a tuple of InstrumentResult, by id
  Ref wallets;         // a tuple of Wallet, by currency; empty with one currency
};

const RunData& run_of(PyObject* self) { return unbox<RunData>(self); }

template <class T, T RunSummary::* Field>
PyObject* summary_get(PyObject* self, void*) {
  if constexpr (std::is_signed_v<T>) {
    return from_i64(run_of(self).summary.*Field);
  } else {
    return from_u64(run_of(self).summary.*Field);
  }
}
template <class T, T RunData::* Field>
PyObject* run_get(PyObject* self, void*) {
  if constexpr (std::is_same_v<T, Ref>) {
    return Py_NewRef((run_of(self).*Field).get());
  } else if constexpr (std::is_signed_v<T>) {
    return from_i64(run_of(self).*Field);
  } else {
    return from_u64(run_of(self).*Field);
  }
}
// A fresh copy of a dict the run holds, so that no caller changes the run.
template <Ref RunData::* Field>
PyObject* run_get_copy(PyObject* self, void*) {
  return PyDict_Copy((run_of(self).*Field).get());
}
PyObject* run_strategy(PyObject* self, void*) { return str_of(run_of(self).summary.strategy); }
PyObject* run_tier(PyObject* self, void*) { return str_of(run_of(self).tier); }
PyObject* run_fill_prices(PyObject* self, void*) {
  return int_list(run_of(self).summary.fill_prices);
}
PyObject* run_equity_curve(PyObject* self, void*) {
  return int_list(run_of(self).summary.equity_curve);
}
PyObject* run_equity_times(PyObject* self, void*) { return int_list(run_of(self).equity_times); }

// What a run prints is in USDT and its instruments' units, written by
// halvorn._unit_text; the counts stay its attributes.
PyObject* run_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)),
                 [&] { return call_python("halvorn._unit_text", "run_repr", {self}); });
}
PyObject* run_str(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)),
                 [&] { return call_python("halvorn._unit_text", "run_str", {self}); });
}

PyGetSetDef run_getset[] = {
    {"strategy", run_strategy, nullptr, "The strategy's name.", nullptr},
    {"ticks", summary_get<std::uint64_t, &RunSummary::ticks>, nullptr, "Observations processed.",
     nullptr},
    {"fills", run_get<Ref, &RunData::fills>, nullptr,
     "Every fill booked, in order: a sequence of Fill that is also a buffer of\n"
     "records (see Fills).",
     nullptr},
    {"symbols", run_get<Ref, &RunData::symbols>, nullptr,
     "The symbols of the run's instruments, in the order of their ids (a\n"
     "fill's `instrument` is its 1-based position here); empty for a run of\n"
     "one instrument without an Instrument.",
     nullptr},
    {"instruments", run_get_copy<&RunData::instruments>, nullptr,
     "Each instrument's Instrument, by symbol.", nullptr},
    {"per_instrument", run_get<Ref, &RunData::per_instrument>, nullptr,
     "What each instrument added up to, in the order of their ids: a tuple of\n"
     "InstrumentResult (symbol, ticks, realized, fees, funding, position,\n"
     "short_position, last).  Its fields are counts (money in Cash; realized,\n"
     "fees and funding sum to the run's totals); it prints as a table in USDT\n"
     "and each instrument's units, and to_frame() makes it a DataFrame.",
     nullptr},
    {"wallets", run_get<Ref, &RunData::wallets>, nullptr,
     "The wallets of a portfolio whose instruments settle in more than one\n"
     "currency, in currency order: a tuple of Wallet (currency, balance,\n"
     "equity, realized, fees, funding, forfeited, equity_curve), each in its\n"
     "own currency and margined on its own.  The run's money figures are then\n"
     "in USDT, a coin valued at its instrument's price.  Empty for a run in\n"
     "one currency.",
     nullptr},
    {"instrument", run_get<Ref, &RunData::instrument>, nullptr,
     "The Instrument the run's ticks, lots and prices are in: the Venue's, or\n"
     "the one its tick file defines; None when neither says.",
     nullptr},
    {"liquidations", run_get<Ref, &RunData::liquidations>, nullptr,
     "Every closing-out of the account by the venue: a tuple of Liquidation.", nullptr},
    {"final_equity", summary_get<std::int64_t, &RunSummary::final_equity>, nullptr,
     "Equity at the end, in Cash.", nullptr},
    {"min_equity", summary_get<std::int64_t, &RunSummary::min_equity>, nullptr,
     "The lowest equity the account showed, in Cash; never above the starting balance.", nullptr},
    {"fees_paid", summary_get<std::int64_t, &RunSummary::fees_paid>, nullptr,
     "Fees paid, in Cash; rebates reduce it.", nullptr},
    {"funding_paid", summary_get<std::int64_t, &RunSummary::funding_paid>, nullptr,
     "Net funding received, in Cash: negative when the account paid.", nullptr},
    {"fill_prices", run_fill_prices, nullptr, "Prices of every fill, in order, in ticks.", nullptr},
    {"equity_curve", run_equity_curve, nullptr,
     "Equity samples, in Cash: the starting balance, then the equity after\n"
     "every `equity_every`-th tick; empty when `equity_every` was 0.",
     nullptr},
    {"equity_times", run_equity_times, nullptr,
     "The exchange time of each equity sample, in nanoseconds; the starting\n"
     "balance carries the first tick's time (0 when there was none).",
     nullptr},
    {"realized", run_get<Cash, &RunData::realized>, nullptr,
     "Realised profit and loss at the end, in Cash.", nullptr},
    {"max_adverse", run_get<std::int64_t, &RunData::max_adverse>, nullptr,
     "Largest adverse excursion of the net position against its entry, in ticks.", nullptr},
    {"margin", run_get<Ref, &RunData::margin>, nullptr,
     "MarginStats when the venue tracked margin, else None.", nullptr},
    {"tier", run_tier, nullptr, "The execution tier: \"L0\", \"L1\" or \"L2\".", nullptr},
    {"invalid_ticks", run_get<std::uint64_t, &RunData::invalid_ticks>, nullptr,
     "Ticks an L2 run spent resynchronising its depth book.", nullptr},
    {"foreign_intents", run_get<std::uint64_t, &RunData::foreign_intents>, nullptr,
     "Orders addressed to another instrument, which were not applied.", nullptr},
    {"exposed_ticks", run_get<std::uint64_t, &RunData::exposed_ticks>, nullptr,
     "Ticks after which a position was open.", nullptr},
    {"triggered", run_get<std::uint64_t, &RunData::triggered>, nullptr,
     "Conditional orders (stops, take-profits, trailing stops) that fired.", nullptr},
    {"expired", run_get<std::uint64_t, &RunData::expired>, nullptr,
     "Immediate orders (tif \"ioc\" or \"fok\") that their first tick left unfilled.", nullptr},
    {"rejected", run_get_copy<&RunData::rejected>, nullptr,
     "Orders the venue refused, counted by reason: a dict such as\n"
     "{\"post_only_would_take\": 3}; the reasons are those on_end names after\n"
     "\"rejected:\".",
     nullptr},
    {"order_tags", run_get_copy<&RunData::order_tags>, nullptr,
     "The tags the strategy gave its orders: a dict of order id to tag.", nullptr},
    {"depth_records", run_get<std::uint64_t, &RunData::depth_records>, nullptr,
     "Depth records (snapshots and updates) handed to the matcher, refused\n"
     "updates included; 0 without depth.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr auto FILLS_FRAME =
    method_signature("halvorn.venue.Run.fills_frame", keyword("units", "'float'"));
constexpr auto EQUITY_FRAME =
    method_signature("halvorn.venue.Run.equity_frame", keyword("units", "'float'"));

// A view of the run in units, made by the function of halvorn._run_units
// (which needs pandas) that SIG names: name(run, units).
template <const auto& SIG>
PyObject* run_units_view(PyObject* self, PyObject* args, PyObject* kwds) {
  ArgumentsOf<SIG> v;
  if (!parse<SIG>(args, kwds, &v)) return nullptr;
  Ref units = v[0] ? Ref::borrow(v[0]) : Ref::steal(PyUnicode_FromString("float"));
  if (!units) return nullptr;
  return call_python("halvorn._run_units", SIG.name(), {self, units.get()});
}

PyMethodDef run_methods[] = {
    function_def<FILLS_FRAME>(
        run_units_view<FILLS_FRAME>,
        "The fills as a pandas DataFrame indexed by fill time (UTC): order,\n"
        "side, offset, price in the quote currency, qty in the base asset, fee in\n"
        "USDT, taker, and the times in ns.  units='float' gives float64 columns\n"
        "of the floats nearest the exact values, 'decimal' the exact\n"
        "decimal.Decimal values.  Needs the run's instrument and pandas (the\n"
        "report extra)."),
    function_def<EQUITY_FRAME>(
        run_units_view<EQUITY_FRAME>,
        "The equity samples as a pandas DataFrame indexed by time (UTC), in\n"
        "USDT: float64, or exact decimal.Decimal values with units='decimal'.\n"
        "Needs pandas (the report extra)."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<RunData>)},
    {Py_tp_repr, reinterpret_cast<void*>(run_repr)},
    {Py_tp_str, reinterpret_cast<void*>(run_str)},
    {Py_tp_getset, run_getset},
    {Py_tp_methods, run_methods},
    {Py_tp_doc, const_cast<char*>("What a venue run produced: everything a RunResult has, with\n"
                                  "the fills and liquidations as records, and the rest of the\n"
                                  "engine's result.")},
    {0, nullptr},
};

PyType_Spec run_spec = {"halvorn.venue.Run", sizeof(Boxed<RunData>), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, run_slots};

// A struct sequence of `type` taking `values`, new references of which any
// may be null where making it failed: then null, with the exception set.
template <std::size_t N>
PyObject* struct_sequence(PyTypeObject* type, std::array<PyObject*, N> values) {
  Ref item = Ref::steal(PyStructSequence_New(type));
  bool ok = static_cast<bool>(item);
  for (std::size_t k = 0; k < N; ++k) {
    ok = ok && values[k] != nullptr;
    if (item) {
      PyStructSequence_SetItem(item.get(), static_cast<Py_ssize_t>(k), values[k]);
    } else {
      Py_XDECREF(values[k]);
    }
  }
  return ok ? item.release() : nullptr;
}

// The symbols, Instruments and per-instrument results of a run: a
// portfolio's legs, or the one instrument of the venue.
bool instrument_results(VenueState* st, const backtest::RunResult& r, const VenueConfig& venue,
                        std::span<const InstrumentLeg> legs, RunData* data) {
  std::vector<std::pair<Ref, const VenueConfig*>> named;  // symbol (or None), venue
  if (legs.empty()) {
    Ref symbol = venue.definition ? Ref::steal(PyUnicode_FromStringAndSize(
                                        venue.definition->symbol.data(),
                                        static_cast<Py_ssize_t>(venue.definition->symbol.size())))
                                  : Ref::borrow(Py_None);
    if (!symbol) return false;
    named.emplace_back(std::move(symbol), &venue);
  }
  for (const InstrumentLeg& leg : legs) named.emplace_back(leg.symbol, &leg.venue);
  data->symbols = Ref::steal(PyTuple_New(0));
  data->instruments = Ref::steal(PyDict_New());
  data->per_instrument = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(r.instruments.size())));
  if (!data->symbols || !data->instruments || !data->per_instrument) return false;
  Ref symbols = Ref::steal(PyList_New(0));
  if (!symbols) return false;
  for (const auto& [symbol, config] : named) {
    if (symbol.get() == Py_None) continue;
    if (PyList_Append(symbols.get(), symbol.get()) < 0) return false;
    if (config->definition) {
      Ref instrument = Ref::steal(new_instrument(st, *config->definition));
      if (!instrument ||
          PyDict_SetItem(data->instruments.get(), symbol.get(), instrument.get()) < 0) {
        return false;
      }
    }
  }
  data->symbols = Ref::steal(PyList_AsTuple(symbols.get()));
  if (!data->symbols) return false;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(st->instrument_result_type);
  for (std::size_t i = 0; i < r.instruments.size(); ++i) {
    const backtest::InstrumentTotals& t = r.instruments[i];
    PyObject* symbol = i < named.size() ? named[i].first.get() : Py_None;
    PyObject* item = struct_sequence<8>(
        type,
        {Py_NewRef(symbol), PyLong_FromSize_t(t.ticks), from_i64(t.realized), from_i64(t.fees),
         from_i64(t.funding), from_i64(t.position), from_i64(t.short_position), from_i64(t.last)});
    if (item == nullptr) return false;
    PyTuple_SET_ITEM(data->per_instrument.get(), static_cast<Py_ssize_t>(i), item);
  }
  data->per_instrument =
      Ref::steal(call_python("halvorn._unit_text", "InstrumentResults",
                             {data->per_instrument.get(), data->instruments.get()}));
  return static_cast<bool>(data->per_instrument);
}

bool wallet_results(VenueState* st, const backtest::RunResult& r, RunData* data) {
  data->wallets = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(r.wallets.size())));
  if (!data->wallets) return false;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(st->wallet_type);
  for (std::size_t i = 0; i < r.wallets.size(); ++i) {
    const backtest::WalletTotals& w = r.wallets[i];
    Ref curve = Ref::steal(int_list(w.equity_curve));
    PyObject* item = struct_sequence<8>(
        type, {str_of(w.currency.code()), from_i64(w.balance), from_i64(w.equity),
               from_i64(w.realized), from_i64(w.fees), from_i64(w.funding), from_i64(w.forfeited),
               curve ? PyList_AsTuple(curve.get()) : nullptr});
    if (item == nullptr) return false;
    PyTuple_SET_ITEM(data->wallets.get(), static_cast<Py_ssize_t>(i), item);
  }
  return true;
}

}  // namespace

PyObject* new_run(VenueState* st, backtest::RunResult&& r, const VenueConfig& venue,
                  std::span<const InstrumentLeg> legs) {
  FillsData fills;
  fills.records.reserve(r.fills.size());
  fills.remaining.reserve(r.fills.size());
  for (std::size_t i = 0; i < r.fills.size(); ++i) {
    const Fill& f = r.fills[i];
    fills.records.push_back(fill_record(f, r.bookings[i]));
    fills.remaining.push_back(f.remaining);
  }
  RunData data;
  if (!instrument_results(st, r, venue, legs, &data) || !wallet_results(st, r, &data)) {
    return nullptr;
  }
  Ref liquidations = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(r.liquidations.size())));
  if (!liquidations) return nullptr;
  for (std::size_t i = 0; i < r.liquidations.size(); ++i) {
    PyObject* item = box(st->liquidation_type, r.liquidations[i]);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(liquidations.get(), static_cast<Py_ssize_t>(i), item);
  }
  data.fills = Ref::steal(box(st->fills_type, std::move(fills)));
  data.margin = r.margin ? Ref::steal(box(st->margin_type, *r.margin)) : Ref::borrow(Py_None);
  data.instrument = venue.definition && legs.empty()
                        ? Ref::steal(new_instrument(st, *venue.definition))
                        : Ref::borrow(Py_None);
  if (!data.fills || !data.margin || !data.instrument) return nullptr;
  data.liquidations = std::move(liquidations);
  data.equity_times = std::move(r.equity_times);
  data.tier = r.tier;
  data.realized = r.realized;
  data.max_adverse = r.max_adverse;
  data.invalid_ticks = r.invalid_ticks;
  data.foreign_intents = r.foreign_intents;
  data.exposed_ticks = r.exposed_ticks;
  data.depth_records = r.depth_records;
  data.triggered = r.triggered;
  data.expired = r.expired;
  data.rejected = Ref::steal(PyDict_New());
  data.order_tags = Ref::steal(PyDict_New());
  if (!data.rejected || !data.order_tags) return nullptr;
  for (std::size_t i = 0; i < r.rejected.size(); ++i) {
    if (r.rejected[i] == 0) continue;
    Ref count = Ref::steal(PyLong_FromSize_t(r.rejected[i]));
    if (!count || PyDict_SetItemString(data.rejected.get(), name_of(static_cast<RejectReason>(i)),
                                       count.get()) < 0) {
      return nullptr;
    }
  }
  for (const auto& [id, tag] : r.order_tags) {
    Ref key = Ref::steal(PyLong_FromUnsignedLongLong(id));
    Ref text =
        Ref::steal(PyUnicode_FromStringAndSize(tag.data(), static_cast<Py_ssize_t>(tag.size())));
    if (!key || !text || PyDict_SetItem(data.order_tags.get(), key.get(), text.get()) < 0) {
      return nullptr;
    }
  }
  data.summary = RunSummary::of(std::move(r));
  return box(st->run_type, std::move(data));
}

const std::array<ClassEntry<VenueState>, 6> RECORD_CLASSES = {{
    {[] { return value_spec<FillClass>(); }, &VenueState::fill_type},
    {[] { return &fills_spec; }, &VenueState::fills_type},
    {[] { return value_spec<LiquidationClass>(); }, &VenueState::liquidation_type},
    {[] { return value_spec<ClosedClass>(); }, &VenueState::closed_type},
    {[] { return value_spec<MarginClass>(); }, &VenueState::margin_type},
    {[] { return &run_spec; }, &VenueState::run_type},
}};

}  // namespace halvorn::py::venue
