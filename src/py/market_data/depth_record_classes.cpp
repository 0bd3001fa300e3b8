// Snapshot and Update: the two records of a depth stream as Python values.
//
// Each holds the engine's own DepthRecord, so that writing one is a copy and
// reading one back makes no choices: what save_depth is given is what a run
// applies.  Levels go in as any sequence of (price_ticks, qty_lots) pairs and
// come out as a tuple of tuples, in the order given.  A negative quantity is
// refused when the record is made, since no depth file can hold one.

#include <array>
#include <string>

#include "py/argument_conversion.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"

namespace halvorn::py::market_data {

namespace {

// An exact int that fits in 64 bits, without building the name an error
// would need: levels are converted by the million.
bool plain_i64(PyObject* obj, std::int64_t* out) {
  if (!PyLong_CheckExact(obj)) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) return false;
  *out = static_cast<std::int64_t>(v);
  return true;
}

// The levels of one side from a sequence of (price_ticks, qty_lots) pairs.
bool levels_of(PyObject* obj, const char* side, std::vector<book::Level>* out) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || !PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "%s must be a sequence of (price_ticks, qty_lots) pairs, got %.200s", side,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  // Walked as tuples of our own, the pairs too: a price's __index__ or a
  // pair's __len__ may empty the caller's lists.
  Ref seq = frozen_items(obj);
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  out->clear();
  out->reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyTuple_GET_ITEM(seq.get(), i);
    Ref held;
    if (PyTuple_CheckExact(pair)) {
      held = Ref::borrow(pair);
    } else if (!PyUnicode_Check(pair) && !PyBytes_Check(pair) && PySequence_Check(pair)) {
      held = frozen_items(pair);
      if (!held) {
        // A pair that could not be read is the same refusal as a wrong one.
        if (!current_error_is_ordinary()) return false;
        PyErr_Clear();
      }
    }
    if (!held || PyTuple_GET_SIZE(held.get()) != 2) {
      PyErr_Format(PyExc_TypeError, "%s[%zd] must be a (price_ticks, qty_lots) pair, got %.200s",
                   side, i, Py_TYPE(pair)->tp_name);
      return false;
    }
    PyObject* price_obj = PyTuple_GET_ITEM(held.get(), 0);
    PyObject* qty_obj = PyTuple_GET_ITEM(held.get(), 1);
    book::Level level;
    if (!plain_i64(price_obj, &level.price) || !plain_i64(qty_obj, &level.qty) || level.qty < 0) {
      // The slow road, naming the field, only for what the fast one did not take.
      const std::string at = std::string(side) + "[" + std::to_string(i) + "]";
      if (!to_i64(price_obj, (at + " price").c_str(), &level.price) ||
          !to_i64(qty_obj, (at + " qty").c_str(), &level.qty)) {
        return false;
      }
      if (level.qty < 0) {
        PyErr_Format(PyExc_ValueError,
                     "%s qty must not be negative, got %lld; a qty of 0 deletes the level",
                     at.c_str(), static_cast<long long>(level.qty));
        return false;
      }
    }
    out->push_back(level);
  }
  return true;
}

PyObject* levels_tuple(const std::vector<book::Level>& levels) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(levels.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    Ref pair = tuple_of(from_i64(levels[i].price), from_i64(levels[i].qty));
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return tuple.release();
}

const book::DepthSnapshot& snapshot_of(const book::DepthRecord& r) {
  return std::get<book::DepthSnapshot>(r.entry);
}
const book::DepthUpdate& update_of(const book::DepthRecord& r) {
  return std::get<book::DepthUpdate>(r.entry);
}

constexpr auto SNAPSHOT = signature("halvorn.data._native.Snapshot", either("last_update_id"),
                                    either("bids"), either("asks"), either("time_ns", "0"));
constexpr auto UPDATE =
    signature("halvorn.data._native.Update", either("first_id"), either("final_id"),
              either("time_ns"), either("bids"), either("asks"), either("prev_final_id", "None"));

struct SnapshotClass {
  using Data = book::DepthRecord;
  static constexpr const char* NAME = "halvorn.data.Snapshot";
  static inline const char* const DOC = docstring<SNAPSHOT>(
      "The whole displayed book as of one update id, from which a depth book\n"
      "starts, or starts again after its stream broke.\n\n"
      "`bids` and `asks` are sequences of (price_ticks, qty_lots) pairs in any\n"
      "order (a later pair for the same price wins; a qty of 0 is no level).\n"
      "The update that continues the stream after it is the one whose\n"
      "previous id is `last_update_id`.  `time_ns` is when it takes effect,\n"
      "on the ticks' exchange clock: a run applies it before every tick at\n"
      "or after that time.\n\n"
      "```python\n"
      "data.Snapshot(100, bids=[(99, 4)], asks=[(100, 2), (101, 3)])\n"
      "```\n\n"
      "# Errors\n\n"
      "TypeError for levels that are not (int, int) pairs; ValueError for a\n"
      "negative qty.");
  static constexpr std::array FIELDS = {"last_update_id", "bids", "asks", "time_ns"};
  static_assert(fields_are_parameters(SNAPSHOT, FIELDS));
  static constexpr std::array DOCS = {
      "The last update id the snapshot covers.",
      "Bid levels as (price_ticks, qty_lots) pairs, as given.",
      "Ask levels as (price_ticks, qty_lots) pairs, as given.",
      "When it takes effect, in nanoseconds on the exchange clock.",
  };
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    const book::DepthSnapshot& s = snapshot_of(d);
    return tuple_of(from_u64(s.last_update_id), levels_tuple(s.bids), levels_tuple(s.asks),
                    from_i64(d.time));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<SNAPSHOT> parsed;
    if (!parse<SNAPSHOT>(args, kwds, &parsed)) return false;
    PyObject *id = parsed[0], *bids = parsed[1], *asks = parsed[2], *time = parsed[3];
    book::DepthSnapshot s;
    out->time = 0;
    if (!to_u64(id, "last_update_id", &s.last_update_id) || !levels_of(bids, "bids", &s.bids) ||
        !levels_of(asks, "asks", &s.asks) ||
        (time != nullptr && !to_i64(time, "time_ns", &out->time))) {
      return false;
    }
    out->entry = std::move(s);
    return true;
  }
};

struct UpdateClass {
  using Data = book::DepthRecord;
  static constexpr const char* NAME = "halvorn.data.Update";
  static inline const char* const DOC = docstring<UPDATE>(
      "One incremental depth message: the levels it sets, and the range of\n"
      "update ids it contains.\n\n"
      "`bids` and `asks` are sequences of (price_ticks, qty_lots) pairs; a qty\n"
      "of 0 deletes the level at that price, any other replaces or adds it.\n"
      "`prev_final_id` is the final id of the message before this one when\n"
      "the stream states it; without it a depth book expects this one to\n"
      "follow on from `first_id - 1`, and one that does not breaks the stream\n"
      "until the next Snapshot.  `time_ns` is when it takes effect, on the\n"
      "ticks' exchange clock.\n\n"
      "```python\n"
      "data.Update(101, 101, 1_000_000_000, bids=[], asks=[(100, 0)])  # ask 100 gone\n"
      "```\n\n"
      "# Errors\n\n"
      "TypeError for levels that are not (int, int) pairs; ValueError for a\n"
      "negative qty.");
  static constexpr std::array FIELDS = {"first_id", "final_id", "time_ns",
                                        "bids",     "asks",     "prev_final_id"};
  static_assert(fields_are_parameters(UPDATE, FIELDS));
  static constexpr std::array DOCS = {
      "The first update id the message contains.",
      "The last update id the message contains.",
      "When it takes effect, in nanoseconds on the exchange clock.",
      "Bid levels to set as (price_ticks, qty_lots) pairs; qty 0 deletes.",
      "Ask levels to set as (price_ticks, qty_lots) pairs; qty 0 deletes.",
      "The final id of the message before this one, or None when not stated.",
  };
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data& d) {
    const book::DepthUpdate& u = update_of(d);
    return tuple_of(from_u64(u.first_id), from_u64(u.final_id), from_i64(d.time),
                    levels_tuple(u.bids), levels_tuple(u.asks),
                    u.prev_final_id ? from_u64(*u.prev_final_id) : Py_NewRef(Py_None));
  }
  static bool make(PyTypeObject*, PyObject* args, PyObject* kwds, Data* out) {
    ArgumentsOf<UPDATE> parsed;
    if (!parse<UPDATE>(args, kwds, &parsed)) return false;
    PyObject *first = parsed[0], *final = parsed[1], *time = parsed[2], *bids = parsed[3],
             *asks = parsed[4], *prev = parsed[5];
    book::DepthUpdate u;
    if (!to_u64(first, "first_id", &u.first_id) || !to_u64(final, "final_id", &u.final_id) ||
        !to_i64(time, "time_ns", &out->time) || !levels_of(bids, "bids", &u.bids) ||
        !levels_of(asks, "asks", &u.asks)) {
      return false;
    }
    if (prev != nullptr && prev != Py_None) {
      std::uint64_t id = 0;
      if (!to_u64(prev, "prev_final_id", &id)) return false;
      u.prev_final_id = id;
    }
    u.time_ns = out->time;
    u.time_ms = floor_millis(out->time);
    out->entry = std::move(u);
    return true;
  }
};

}  // namespace

PyObject* depth_record_object(DataState* st, const book::DepthRecord& record) {
  PyTypeObject* type = std::holds_alternative<book::DepthSnapshot>(record.entry) ? st->snapshot_type
                                                                                 : st->update_type;
  return box(type, record);
}

const book::DepthRecord* depth_record_of(DataState* st, PyObject* obj) {
  if (Py_IS_TYPE(obj, st->snapshot_type) || Py_IS_TYPE(obj, st->update_type)) {
    return &unbox<book::DepthRecord>(obj);
  }
  return nullptr;
}

const std::array<ClassEntry<DataState>, 2> DEPTH_RECORD_CLASSES = {{
    {[] { return value_spec<SnapshotClass>(); }, &DataState::snapshot_type},
    {[] { return value_spec<UpdateClass>(); }, &DataState::update_type},
}};

}  // namespace halvorn::py::market_data
