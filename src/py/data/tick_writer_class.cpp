#include "py/data/tick_writer_class.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "data/column_writer.hpp"
#include "data/tick_writer.hpp"
#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/data/column_arguments.hpp"
#include "py/data/data_state.hpp"
#include "py/gil.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

namespace {

struct WriterData {
  std::optional<data::TickWriter> writer;  // empty once finished or failed
  bool busy = false;                       // a thread is writing through it
  std::uint64_t count = 0;
};

using PyWriter = Boxed<WriterData>;

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(type), [&]() -> PyObject* {
    static const char* kwlist[] = {"dest", "instrument", nullptr};
    Arguments<2> parsed;
    if (!parse_arguments(args, kwds, "O|O:Writer", kwlist, &parsed)) return nullptr;
    PyObject *dest = parsed[0], *instrument_obj = parsed[1];
    std::string path;
    std::uint64_t instrument = 1;
    if (!fs_path_of(dest, "dest", &path)) return nullptr;
    if (instrument_obj != nullptr && !to_u64(instrument_obj, "instrument", &instrument)) {
      return nullptr;
    }
    std::optional<data::WriterBegun> begun;
    Gil gil;
    run_unlocked(gil, [&] { begun = data::TickWriter::begin(path, instrument); });
    if (auto* e = std::get_if<data::WriteFailed>(&*begun)) {
      raise_value_error(e->display());
      return nullptr;
    }
    WriterData data;
    data.writer.emplace(std::move(std::get<data::TickWriter>(*begun)));
    return box(type, std::move(data));
  });
}

bool writer_ready(WriterData& d) {
  if (d.busy) {
    PyErr_SetString(PyExc_RuntimeError, "the writer is in use by another thread");
    return false;
  }
  if (!d.writer) {
    PyErr_SetString(PyExc_ValueError, "the writer is finished (or failed) and takes no more ticks");
    return false;
  }
  return true;
}

PyObject* writer_append(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    static const char* kwlist[] = {"exch_ts", "last", "local_ts", "high", "low",
                                   "bid",     "ask",  "volume",   nullptr};
    Arguments<8> parsed;
    if (!parse_arguments(args, kwds, "OO|$OOOOOO:append", kwlist, &parsed)) return nullptr;
    // In record order: local_ts is the third field and the third keyword.
    const std::array<PyObject*, 8> objs{parsed[0], parsed[2], parsed[1], parsed[3],
                                        parsed[4], parsed[5], parsed[6], parsed[7]};
    WriterData& d = unbox<WriterData>(self);
    if (!writer_ready(d)) return nullptr;
    std::array<HeldColumn, 8> held;
    for (std::size_t i = 0; i < FIELDS.size(); ++i) {
      if (!held[i].take(objs[i], FIELDS[i])) return nullptr;
    }
    // Asked again: taking the columns ran their elements' __index__, which
    // may have finished or abandoned this very writer.
    if (!writer_ready(d)) return nullptr;
    const data::Columns columns{held[0].column(), held[1].column(), held[2].column(),
                                held[3].column(), held[4].column(), held[5].column(),
                                held[6].column(), held[7].column()};
    std::optional<data::ColumnsError> error;
    d.busy = true;
    Gil gil;
    run_unlocked(gil, [&] { error = data::append_columns(*d.writer, columns); });
    d.busy = false;
    if (error) {
      // A writer that failed removes what it wrote now, not when collected.
      run_unlocked(gil, [&] { d.writer.reset(); });
      raise_value_error(error->display());
      return nullptr;
    }
    d.count = d.writer->count();
    Py_RETURN_NONE;
  });
}

PyObject* writer_finish(PyObject* self, PyObject*) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    WriterData& d = unbox<WriterData>(self);
    if (!writer_ready(d)) return nullptr;
    std::optional<data::WriteError> error;
    d.busy = true;
    Gil gil;
    run_unlocked(gil, [&] {
      error = d.writer->finish();
      d.writer.reset();
    });
    d.busy = false;
    if (error) {
      raise_value_error(data::display(*error));
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(d.count);
  });
}

PyObject* writer_abandon(PyObject* self, PyObject*) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    WriterData& d = unbox<WriterData>(self);
    if (d.busy) {
      PyErr_SetString(PyExc_RuntimeError, "the writer is in use by another thread");
      return nullptr;
    }
    Gil gil;
    run_unlocked(gil, [&] { d.writer.reset(); });
    Py_RETURN_NONE;
  });
}

PyObject* writer_get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<WriterData>(self).count);
}

PyObject* writer_repr(PyObject* self) {
  const WriterData& d = unbox<WriterData>(self);
  return PyUnicode_FromFormat("<Writer: %llu ticks, %s>", static_cast<unsigned long long>(d.count),
                              d.writer ? "open" : "closed");
}

PyMethodDef writer_methods[] = {
    {"append", as_cfunction(writer_append), METH_VARARGS | METH_KEYWORDS,
     "append($self, exch_ts, last, *, local_ts=None, high=None, low=None, bid=None, ask=None, "
     "volume=None)\n--\n\n"
     "Append rows from integer columns (ns, ticks, lots), as from_arrays takes them.\n\n"
     "# Errors\n\n"
     "TypeError or OverflowError naming a column; ValueError for columns of\n"
     "different lengths, a value beyond int64 or a time that goes back (the\n"
     "writer is then closed and nothing is left at the target)."},
    {"finish", writer_finish, METH_NOARGS,
     "finish($self)\n--\n\n"
     "Write the header and put the file in place; returns the ticks written."},
    {"abandon", writer_abandon, METH_NOARGS,
     "abandon($self)\n--\n\n"
     "Give up an unfinished file now, removing what was written; the target\n"
     "is as it was.  Nothing after finish().  A writer that is collected\n"
     "unfinished does the same, but an exception's traceback can keep it\n"
     "alive for a long time."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"count", writer_get_count, nullptr, "Ticks appended so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<WriterData>)},
    {Py_tp_repr, reinterpret_cast<void*>(writer_repr)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc,
     const_cast<char*>("Writer(dest, instrument=1)\n--\n\n"
                       "A tick file written from integer columns, batch by batch.\n\n"
                       "Nothing at `dest` changes until finish(); a writer dropped unfinished\n"
                       "leaves the target as it was.")},
    {0, nullptr},
};

PyType_Spec writer_spec = {"halvorn.data._native.Writer", sizeof(PyWriter), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, writer_slots};

}  // namespace

const std::array<ClassEntry<DataState>, 1> WRITER_CLASSES = {{
    {[] { return &writer_spec; }, &DataState::writer_type},
}};

}  // namespace halvorn::py::market_data
