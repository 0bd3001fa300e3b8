#include "py/tick_batch.hpp"

#include <bit>
#include <cstddef>

#include "py/boxed.hpp"
#include "py/read_only_buffer.hpp"
#include "py/registry.hpp"

namespace halvorn::py {

namespace {

// The tick's eight fields, then the instrument of each tick.
constexpr std::size_t BATCH_COLUMNS = backtest::TICK_COLUMNS + 1;
constexpr const char* NAMES[BATCH_COLUMNS] = {"exch_ts", "local_ts", "last",   "high",      "low",
                                              "bid",     "ask",      "volume", "instrument"};

constexpr char STALE[] =
    "a TickBatch and its columns are valid only during the on_columns call that received "
    "them; copy what you keep, e.g. numpy.array(batch.last)";

struct ColumnData {
  const std::int64_t* base = nullptr;
  Py_ssize_t length = 0;
  Py_ssize_t stride = 0;
  Py_ssize_t exports = 0;
  int index = 0;
  bool valid = false;
  Py_ssize_t shape[1] = {0};
  Py_ssize_t strides[1] = {0};
};

struct BatchData {
  std::array<Ref, BATCH_COLUMNS> columns;
  Py_ssize_t length = 0;
  bool valid = false;
};

ColumnData& column_of(PyObject* self) { return unbox<ColumnData>(self); }
BatchData& batch_of(PyObject* self) { return unbox<BatchData>(self); }

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  ColumnData& c = column_of(self);
  if (!c.valid) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_BufferError, STALE);
    return -1;
  }
  const int exported = export_read_only(
      self, view, flags,
      ReadOnlyView{c.base, c.length, sizeof(std::int64_t), c.stride, "q", c.shape, c.strides,
                   "a TickBatch column is read-only",
                   "this TickBatch column is a strided view of the tick records; ask for "
                   "strides (numpy.asarray does)"});
  if (exported == 0) ++c.exports;
  return exported;
}

void column_releasebuffer(PyObject* self, Py_buffer*) { --column_of(self).exports; }

Py_ssize_t column_length(PyObject* self) {
  const ColumnData& c = column_of(self);
  if (!c.valid) {
    PyErr_SetString(PyExc_ValueError, STALE);
    return -1;
  }
  return c.length;
}

PyObject* column_item(PyObject* self, Py_ssize_t i) {
  const ColumnData& c = column_of(self);
  if (!c.valid) {
    PyErr_SetString(PyExc_ValueError, STALE);
    return nullptr;
  }
  if (i < 0 || i >= c.length) {
    PyErr_SetString(PyExc_IndexError, "column index out of range");
    return nullptr;
  }
  const auto* at = reinterpret_cast<const std::byte*>(c.base) + i * c.stride;
  return PyLong_FromLongLong(*reinterpret_cast<const std::int64_t*>(at));
}

// NumPy reads a column through the buffer protocol, but when the export is
// refused it quietly makes an array of the object itself; a stale column
// must fail loudly, so it also answers the array interface, raising then.
// A live column's interface names no address: the memory is reached through
// the column's own buffer, where every export is counted and a column kept
// past its call is refused.  A raw address would let an array outlive the
// batch and show freed memory.
PyObject* column_array_interface(PyObject* self, void*) {
  const ColumnData& c = column_of(self);
  if (!c.valid) {
    PyErr_SetString(PyExc_ValueError, STALE);
    return nullptr;
  }
  const char* typestr = std::endian::native == std::endian::little ? "<i8" : ">i8";
  return Py_BuildValue("{s:(n),s:s,s:(n),s:i}", "shape", c.length, "typestr", typestr, "strides",
                       c.stride, "version", 3);
}

PyGetSetDef column_getset[] = {
    {"__array_interface__", column_array_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* column_repr(PyObject* self) {
  const ColumnData& c = column_of(self);
  if (!c.valid) return PyUnicode_FromFormat("Column(%s, no longer valid)", NAMES[c.index]);
  return PyUnicode_FromFormat("Column(%s, %zd values)", NAMES[c.index], c.length);
}

PyType_Slot column_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<ColumnData>)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_sq_item, reinterpret_cast<void*>(column_item)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(column_releasebuffer)},
    {Py_tp_getset, column_getset},
    {Py_tp_doc,
     const_cast<char*>("One column of a TickBatch: a read-only 1-D buffer of int64 (ticks,\n"
                       "lots or nanoseconds) that numpy.asarray reads without a copy; valid\n"
                       "only during the on_columns call that received it.")},
    {0, nullptr},
};

template <int I>
PyObject* batch_column(PyObject* self, void*) {
  const BatchData& b = batch_of(self);
  if (!b.valid) {
    PyErr_SetString(PyExc_ValueError, STALE);
    return nullptr;
  }
  return Py_NewRef(b.columns[I].get());
}

Py_ssize_t batch_length(PyObject* self) {
  const BatchData& b = batch_of(self);
  if (!b.valid) {
    PyErr_SetString(PyExc_ValueError, STALE);
    return -1;
  }
  return b.length;
}

PyObject* batch_repr(PyObject* self) {
  const BatchData& b = batch_of(self);
  if (!b.valid) return PyUnicode_FromString("TickBatch(no longer valid)");
  return PyUnicode_FromFormat("TickBatch(%zd ticks)", b.length);
}

PyGetSetDef batch_getset[] = {
    {"exch_ts", batch_column<0>, nullptr, "When the venue says each tick happened, in ns.",
     nullptr},
    {"local_ts", batch_column<1>, nullptr, "When this process saw each tick, in ns.", nullptr},
    {"last", batch_column<2>, nullptr, "Last traded prices, in ticks.", nullptr},
    {"high", batch_column<3>, nullptr, "Highs, in ticks.", nullptr},
    {"low", batch_column<4>, nullptr, "Lows, in ticks.", nullptr},
    {"bid", batch_column<5>, nullptr, "Best bids, in ticks; 0 where the book had none.", nullptr},
    {"ask", batch_column<6>, nullptr, "Best asks, in ticks; 0 where the book had none.", nullptr},
    {"volume", batch_column<7>, nullptr, "Cumulative volume, in lots.", nullptr},
    {"instrument", batch_column<8>, nullptr,
     "The instrument id of each tick: the run's numbering of a portfolio's\n"
     "instruments (1, 2, ... in the order the ticks were given).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<BatchData>)},
    {Py_tp_repr, reinterpret_cast<void*>(batch_repr)},
    {Py_sq_length, reinterpret_cast<void*>(batch_length)},
    {Py_tp_getset, batch_getset},
    {Py_tp_doc,
     const_cast<char*>("The ticks of one batch as columns: what on_columns(batch) receives.\n\n"
                       "Each attribute is a read-only int64 Column that numpy.asarray reads\n"
                       "without a copy; len(batch) is the number of ticks.  Valid only during\n"
                       "the call: copy what you keep.\n\n"
                       "```python\n"
                       "def on_columns(self, batch):\n"
                       "    last = numpy.asarray(batch.last)\n"
                       "    fast, slow = last[-50:].mean(), last.mean()\n"
                       "```")},
    {0, nullptr},
};

}  // namespace

PyType_Spec column_spec = {"halvorn.venue.Column", sizeof(Boxed<ColumnData>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, column_slots};
PyType_Spec tick_batch_spec = {"halvorn.venue.TickBatch", sizeof(Boxed<BatchData>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, batch_slots};

PyObject* BatchHolder::show(PyTypeObject* batch_type, PyTypeObject* column_type,
                            const backtest::ColumnView& view) {
  // A batch or column the strategy kept stays invalid, and is replaced.
  if (!batch_ || Py_REFCNT(batch_.get()) > 1) {
    batch_ = Ref::steal(box(batch_type, BatchData{}));
    if (!batch_) return nullptr;
  }
  BatchData& b = batch_of(batch_.get());
  for (std::size_t c = 0; c < BATCH_COLUMNS; ++c) {
    Ref& column = b.columns[c];
    if (!column || Py_REFCNT(column.get()) > 1 || column_of(column.get()).exports > 0) {
      ColumnData fresh;
      fresh.index = static_cast<int>(c);
      column = Ref::steal(box(column_type, fresh));
      if (!column) return nullptr;
    }
    ColumnData& data = column_of(column.get());
    const bool tick_field = c < backtest::TICK_COLUMNS;
    data.base = tick_field ? view.base[c] : view.instrument;
    data.length = static_cast<Py_ssize_t>(view.length);
    data.stride = tick_field ? view.stride : static_cast<Py_ssize_t>(sizeof(std::int64_t));
    data.valid = true;
  }
  b.length = static_cast<Py_ssize_t>(view.length);
  b.valid = true;
  return batch_.get();
}

bool BatchHolder::finish() {
  if (!batch_) return true;
  BatchData& b = batch_of(batch_.get());
  b.valid = false;
  bool kept = false;
  for (Ref& column : b.columns) {
    if (!column) continue;
    ColumnData& data = column_of(column.get());
    data.valid = false;
    kept = kept || data.exports > 0;
  }
  if (kept) {
    PyErr_SetString(PyExc_ValueError,
                    "on_columns kept a view of a batch column past the call, which would show "
                    "the next batch's data; copy what you keep, e.g. numpy.array(batch.last)");
    return false;
  }
  return true;
}

}  // namespace halvorn::py
