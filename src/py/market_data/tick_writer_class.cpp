#include "py/market_data/tick_writer_class.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>

#include "data/column_writer.hpp"
#include "data/tick_writer.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/gil.hpp"
#include "py/market_data/column_arguments.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/instrument_arguments.hpp"
#include "py/market_data/quality_values.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"
#include "types/panic.hpp"

namespace halvorn::py::market_data {

namespace {

struct WriterData {
  std::optional<data::TickWriter> writer;  // empty once finished or failed
  bool busy = false;                       // a thread is writing through it
  std::uint64_t count = 0;
  // What the clocks of the ticks appended say of each other.
  data::ClockFindings clock;
  // What float64 columns are counted in: prices in ticks, the volume in
  // lots.  Absent when the writer was not given that size.
  std::optional<data::Step> tick_size, lot_size;
};

using PyWriter = Boxed<WriterData>;

// A size argument: None, or decimal text read as a step.  False with
// TypeError or ValueError naming `arg`.
bool size_of(PyObject* obj, const char* arg, std::optional<data::Step>* out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::string text;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected the step as decimal text (\"0.10\"), got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  if (!utf8_of(obj, &text)) return false;
  *out = data::parse_step(text);
  if (!*out) {
    raise_value_error(data::DefinitionProblem{data::definition::BadStep{arg, text}}.display());
    return false;
  }
  return true;
}

constexpr auto WRITER = signature(
    "halvorn.data._native.Writer", either("dest"), either("instrument", "1"),
    keyword("symbol", "None"), keyword("tick_size", "None"), keyword("lot_size", "None"),
    keyword("kind", "None"), keyword("contract_value", "None"), keyword("settle", "None"));
constexpr auto APPEND =
    method_signature("halvorn.data._native.Writer.append", either("exch_ts"), either("last"),
                     keyword("local_ts", "None"), keyword("high", "None"), keyword("low", "None"),
                     keyword("bid", "None"), keyword("ask", "None"), keyword("volume", "None"),
                     keyword("round", "False"));
constexpr auto FINISH = method_signature("halvorn.data._native.Writer.finish");
constexpr auto ABANDON = method_signature("halvorn.data._native.Writer.abandon");

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(type), [&]() -> PyObject* {
    ArgumentsOf<WRITER> parsed;
    if (!parse<WRITER>(args, kwds, &parsed)) return nullptr;
    PyObject *dest = parsed[0], *instrument_obj = parsed[1];
    std::string path, symbol;
    std::uint64_t instrument = 1;
    WriterData data;
    data::ContractTerms terms;
    if (!fs_path_of(dest, "dest", &path)) return nullptr;
    if (instrument_obj != nullptr && !to_u64(instrument_obj, "instrument", &instrument)) {
      return nullptr;
    }
    if (!symbol_of(parsed[2], "symbol", &symbol) ||
        !size_of(parsed[3], "tick_size", &data.tick_size) ||
        !size_of(parsed[4], "lot_size", &data.lot_size) ||
        !contract_of(parsed[5], parsed[6], parsed[7], &terms)) {
      return nullptr;
    }
    // The definition goes into the file only whole: a symbol alone says
    // nothing about what the counts mean.
    std::optional<data::InstrumentDefinition> definition;
    if (data.tick_size && data.lot_size) {
      definition.emplace();
      if (!define(instrument, std::move(symbol), data.tick_size->text, data.lot_size->text, terms,
                  &*definition)) {
        return nullptr;
      }
    } else if (!symbol.empty()) {
      PyErr_SetString(PyExc_ValueError,
                      "argument 'symbol': a symbol is written with the instrument's sizes; give "
                      "tick_size= and lot_size= too");
      return nullptr;
    } else if (terms.kind != data::ContractKind::Linear || terms.contract_value ||
               !terms.settle.empty()) {
      // The same for a contract's kind: without the sizes nothing is written.
      PyErr_SetString(PyExc_ValueError,
                      "argument 'kind': a contract's kind is written with the instrument's "
                      "sizes; give tick_size= and lot_size= too");
      return nullptr;
    }
    std::optional<data::WriterBegun> begun;
    Gil gil;
    run_unlocked(gil, [&] { begun = data::TickWriter::begin(path, instrument); });
    if (auto* e = std::get_if<data::WriteFailed>(&*begun)) {
      raise_value_error(e->display());
      return nullptr;
    }
    data.writer.emplace(std::move(std::get<data::TickWriter>(*begun)));
    if (definition && data.writer->set_instrument(*std::move(definition))) {
      panic("a definition that define() accepted is one the file can hold");
    }
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

// Where float64 columns are counted: a field's step and how `round`
// rounds it.  Prices of a bid round down and of an ask up, the volume down:
// whichever way does not flatter the strategy.  last, high and low have no
// side to round by and go to the nearest tick.
bool float_steps(const WriterData& d, bool round, data::Columns* columns) {
  data::Column* in_order[] = {&columns->exch_ts, &columns->local_ts, &columns->last,
                              &columns->high,    &columns->low,      &columns->bid,
                              &columns->ask,     &columns->volume};
  for (std::size_t i = 0; i < FIELDS.size(); ++i) {
    data::Column& c = *in_order[i];
    if (!c.present() || c.kind != data::ElementKind::F64) continue;
    const std::string_view field = FIELDS[i];
    if (field == "exch_ts" || field == "local_ts") {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected integer nanoseconds, got float64 values: a time is "
                   "counted exactly, never through a float",
                   FIELDS[i]);
      return false;
    }
    const bool volume = field == "volume";
    const std::optional<data::Step>& step = volume ? d.lot_size : d.tick_size;
    if (!step) {
      const char* size = volume ? "lot_size" : "tick_size";
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected integers (%s), or float64 values and %s= to count "
                   "them in; got a buffer of format 'd' and no %s",
                   FIELDS[i], volume ? "lots" : "ticks", size, size);
      return false;
    }
    c.step = *step;
    c.rounding = data::Rounding::Exact;
    if (round && field == "ask") c.rounding = data::Rounding::Up;
    if (round && (field == "bid" || volume)) c.rounding = data::Rounding::Down;
    if (round && (field == "last" || field == "high" || field == "low")) {
      c.rounding = data::Rounding::Nearest;
    }
  }
  return true;
}

PyObject* writer_append(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    ArgumentsOf<APPEND> parsed;
    if (!parse<APPEND>(args, kwds, &parsed)) return nullptr;
    // In record order: local_ts is the third field and the third keyword.
    const std::array<PyObject*, 8> objs{parsed[0], parsed[2], parsed[1], parsed[3],
                                        parsed[4], parsed[5], parsed[6], parsed[7]};
    bool round = false;
    if (parsed.given(8) && !to_bool(parsed[8], "round", &round)) return nullptr;
    WriterData& d = unbox<WriterData>(self);
    if (!writer_ready(d)) return nullptr;
    std::array<HeldColumn, 8> held;
    for (std::size_t i = 0; i < FIELDS.size(); ++i) {
      if (!held[i].take(objs[i], FIELDS[i])) return nullptr;
    }
    // Asked again: taking the columns ran their elements' __index__, which
    // may have finished or abandoned this very writer.
    if (!writer_ready(d)) return nullptr;
    data::Columns columns{held[0].column(), held[1].column(), held[2].column(), held[3].column(),
                          held[4].column(), held[5].column(), held[6].column(), held[7].column()};
    if (!float_steps(d, round, &columns)) return nullptr;
    std::optional<data::ColumnsError> error;
    data::RoundedValues rounded;
    d.busy = true;
    Gil gil;
    run_unlocked(gil, [&] { error = data::append_columns(*d.writer, columns, &rounded); });
    d.busy = false;
    if (error) {
      // A writer that failed removes what it wrote now, not when collected.
      run_unlocked(gil, [&] { d.writer.reset(); });
      raise_value_error(error->display());
      return nullptr;
    }
    d.count = d.writer->count();
    d.clock = d.writer->clock();
    Ref moved = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(FIELDS.size())));
    if (!moved) return nullptr;
    for (std::size_t i = 0; i < FIELDS.size(); ++i) {
      PyObject* n = PyLong_FromUnsignedLongLong(rounded.by_field[i]);
      if (n == nullptr) return nullptr;
      PyTuple_SET_ITEM(moved.get(), static_cast<Py_ssize_t>(i), n);
    }
    return moved.release();
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

PyObject* writer_get_clock(PyObject* self, void*) {
  return clock_tuple(unbox<WriterData>(self).clock);
}

PyObject* writer_repr(PyObject* self) {
  const WriterData& d = unbox<WriterData>(self);
  return PyUnicode_FromFormat("<Writer: %llu ticks, %s>", static_cast<unsigned long long>(d.count),
                              d.writer ? "open" : "closed");
}

PyMethodDef writer_methods[] = {
    function_def<APPEND>(
        writer_append,
        "Append rows from columns (ns, ticks, lots), as from_arrays takes them.\n\n"
        "A float64 price column is counted in the writer's tick_size, a float64\n"
        "volume in its lot_size, exactly; with `round`, bids round down, asks up,\n"
        "the volume down and last, high and low to the nearest tick.  Returns the\n"
        "values rounded, per field in record order.\n\n"
        "# Errors\n\n"
        "TypeError or OverflowError naming a column (a float64 one without the\n"
        "size it is counted in); ValueError for columns of different lengths, a\n"
        "value beyond int64 or off the grid, or a time that goes back (the writer\n"
        "is then closed and nothing is left at the target)."),
    {"finish", writer_finish, METH_NOARGS,
     docstring<FINISH>("Write the header and put the file in place; returns the ticks written.")},
    {"abandon", writer_abandon, METH_NOARGS,
     docstring<ABANDON>("Give up an unfinished file now, removing what was written; the target\n"
                        "is as it was.  Nothing after finish().  A writer that is collected\n"
                        "unfinished does the same, but an exception's traceback can keep it\n"
                        "alive for a long time.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef writer_getset[] = {
    {"count", writer_get_count, nullptr, "Ticks appended so far.", nullptr},
    {"clock", writer_get_clock, nullptr,
     "Local minus exchange time of the ticks appended so far: (ticks, min,\n"
     "median, max, behind, jumps, largest_jump), in ns and counts.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<WriterData>)},
    {Py_tp_repr, reinterpret_cast<void*>(writer_repr)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {Py_tp_doc, const_cast<char*>(docstring<WRITER>(
                    "A tick file written from columns, batch by batch.\n\n"
                    "With both sizes (decimal text) the file holds the instrument's\n"
                    "definition (id, symbol, sizes) after its records, and float64\n"
                    "columns are counted in them.  Nothing at `dest` changes until\n"
                    "finish(); a writer dropped unfinished leaves the target as it was.\n\n"
                    "# Errors\n\n"
                    "ValueError for a size that is no positive decimal number, a symbol\n"
                    "a file cannot hold (not UTF-8, more than 65535 bytes), or a symbol\n"
                    "without both sizes."))},
    {0, nullptr},
};

PyType_Spec writer_spec = {"halvorn.data._native.Writer", sizeof(PyWriter), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, writer_slots};

}  // namespace

const std::array<ClassEntry<DataState>, 1> WRITER_CLASSES = {{
    {[] { return &writer_spec; }, &DataState::writer_type},
}};

}  // namespace halvorn::py::market_data
