#include "py/tick_files.hpp"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "data/instrument_block.hpp"
#include "data/replace.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/interruption.hpp"
#include "py/market_data/slices.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py {

namespace {

using PyTickSource = Boxed<TickSourceData>;

// ValueError "{path}: {text}".
void raise_with_path(PyObject* path, const char* text) {
  PyErr_Format(PyExc_ValueError, "%U: %s", path, text);
}

// ---------------------------------------------------------------------------
// TickSource

PyObject* source_get_path(PyObject* self, void*) {
  return Py_NewRef(tick_source_of(self).path.get());
}
PyObject* source_get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(tick_source_of(self).count);
}
PyObject* source_get_instrument(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(tick_source_of(self).instrument);
}

Py_ssize_t source_length(PyObject* self) {
  const std::uint64_t count = tick_source_of(self).count;
  if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

PyObject* source_repr(PyObject* self) {
  const TickSourceData& s = tick_source_of(self);
  return PyUnicode_FromFormat("TickSource(%U, %llu ticks, instrument %llu)", s.path.get(),
                              static_cast<unsigned long long>(s.count),
                              static_cast<unsigned long long>(s.instrument));
}

PyGetSetDef source_getset[] = {
    {"path", source_get_path, nullptr, "The file this reads.", nullptr},
    {"count", source_get_count, nullptr, "Records the header claims, so `len()` costs no read.",
     nullptr},
    {"instrument", source_get_instrument, nullptr, "The instrument the file was written for.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char source_doc[] =
    "A tick file, held by name rather than by contents.\n\n"
    "# Why this holds a path and not an open reader\n\n"
    "A reader is consumed by iterating it, so a source that owned one\n"
    "could be run exactly once \u2014 and [`compare_modes`] runs the same input\n"
    "twice by design. Holding the path lets every run open its own reader\n"
    "over the same bytes, which is also what makes a source reusable in a\n"
    "loop the caller writes.\n\n"
    "# Why this is not a list\n\n"
    "The alternative already existed: build `Tick` objects in Python and\n"
    "pass the list. That materialises one Python object per observation,\n"
    "which at the sizes this is for \u2014 hundreds of millions of ticks \u2014 is\n"
    "tens of gigabytes of interpreter heap before the first callback\n"
    "fires. A file is read a block at a time and never fully resident, so\n"
    "the run is bounded by the file rather than by memory.";

PyType_Slot source_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<TickSourceData>)},
    {Py_tp_repr, reinterpret_cast<void*>(source_repr)},
    {Py_mp_length, reinterpret_cast<void*>(source_length)},
    {Py_tp_getset, source_getset},
    {Py_tp_doc, const_cast<char*>(source_doc)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// load_ticks, save_ticks

constexpr auto LOAD_TICKS = signature("halvorn.load_ticks", either("path"));
constexpr auto SAVE_TICKS =
    signature("halvorn.save_ticks", either("path"), either("ticks"), either("instrument", "1"));

PyObject* load_ticks(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    ArgumentsOf<LOAD_TICKS> parsed;
    if (!parse<LOAD_TICKS>(args, kwds, &parsed)) return nullptr;
    PyObject* path = parsed[0];
    TickSourceData source;
    const PathArgument named = path_argument(path, "path", &source.fs_path);
    if (named == PathArgument::Refused) return nullptr;
    source.path = Ref::steal(PyUnicode_FromObject(path));
    if (!source.path) return nullptr;
    if (named == PathArgument::Unnameable) {
      // A string no file can be named by fails as any unopenable path does.
      raise_tick_file_error(source, data::Error{data::Truncated{data::HEADER_BYTES, 0}});
      return nullptr;
    }
    Gil gil;
    Interruption interruption(gil);
    data::Opened opened = data::TickReader::open(source.fs_path, interruption.read_hooks());
    gil.acquire();
    if (std::holds_alternative<data::Interrupted>(opened)) {
      interruption.pending().restore();  // what the signal's handler raised
      return nullptr;
    }
    if (auto* error = std::get_if<data::Error>(&opened)) {
      raise_tick_file_error(source, *error);
      return nullptr;
    }
    // Only the header was read; the reader (and its file) closes here.
    const data::TickReader& reader = std::get<data::TickReader>(opened);
    source.count = reader.count();
    source.instrument = reader.instrument();
    // The block costs one more small read at the end of the file.  A file the
    // reader opened but whose end is short or unseekable holds no definition
    // here; its reader reports what is wrong with its records.
    // Only a regular file is opened again: a second open of a pipe would
    // wait, with the lock held, for a writer that has come and gone.
    struct stat status{};
    const bool regular = ::stat(source.fs_path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    data::TickInstrument defined =
        regular ? data::instrument_of_tick_file(source.fs_path)
                : data::TickInstrument{std::optional<data::InstrumentDefinition>{}};
    if (const auto* damaged = std::get_if<data::BlockError>(&defined)) {
      const std::string text = damaged->display();
      PyErr_Format(PyExc_ValueError, "%U: %s", source.path.get(), text.c_str());
      return nullptr;
    }
    if (const auto* found = std::get_if<std::optional<data::InstrumentDefinition>>(&defined)) {
      source.definition = *found;
    }
    return box(st->tick_source_type, std::move(source));
  });
}

PyObject* save_ticks(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    ArgumentsOf<SAVE_TICKS> parsed;
    if (!parse<SAVE_TICKS>(args, kwds, &parsed)) return nullptr;
    PyObject *path = parsed[0], *ticks_obj = parsed[1], *instrument_obj = parsed[2];
    std::string fs_path;
    const PathArgument named = path_argument(path, "path", &fs_path);
    if (named == PathArgument::Refused) return nullptr;
    TickArray ticks;
    if (!ticks_from(st, ticks_obj, &ticks)) return nullptr;
    std::uint64_t instrument = 1;
    if (instrument_obj != nullptr && !to_u64(instrument_obj, "instrument", &instrument)) {
      return nullptr;
    }
    std::vector<std::uint8_t> bytes = data::encode(instrument, ticks);
    int err = EINVAL;  // what a path that can name no file comes to
    if (named == PathArgument::Ok) {
      Gil gil;
      run_unlocked(gil, [&] { err = data::replace_file(fs_path, bytes); });
    }
    if (err != 0) {
      raise_with_path(path, std::strerror(err));
      return nullptr;
    }
    return PyLong_FromSize_t(ticks.size());
  });
}

const char load_ticks_doc[] =
    "Open a tick file for a run, without reading it.\n\n"
    "Only the header is read here, so opening a file of any size is\n"
    "immediate and a wrong path or a corrupt header fails now rather than\n"
    "halfway through a backtest.\n\n"
    "```python\n"
    "ticks = halvorn.load_ticks(\"btcusdt-2024.hvtk\")\n"
    "result = halvorn.run_backtest(strategy, ticks, balance, batch=4096)\n"
    "```\n\n"
    "# Errors\n\n"
    "Reports a missing file, a header that is not this format, or a\n"
    "version this build does not read.";

const char save_ticks_doc[] =
    "Write ticks to a file `load_ticks` can read.\n\n"
    "The pair exists because a reader with no writer is a feature nobody\n"
    "can reach: the only other producer of this format converts captured\n"
    "venue archives, so a Python caller holding ticks from anywhere else\n"
    "had no way to make a file at all.\n\n"
    "This takes a sequence, so it is bounded by memory in the way\n"
    "`load_ticks` exists to avoid. That is deliberate and is the division\n"
    "of labour: files are written once, from whatever the caller already\n"
    "has in hand, and read many times without ever being resident.\n"
    "Converting something too large to hold is a job for a converter that\n"
    "streams, not for this.\n\n"
    "# Errors\n\n"
    "Reports a path that cannot be written.";

}  // namespace

PyType_Spec tick_source_spec = {"halvorn.TickSource", sizeof(PyTickSource), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, source_slots};

PyMethodDef tick_file_functions[2] = {
    function_def<LOAD_TICKS>(load_ticks, load_ticks_doc),
    function_def<SAVE_TICKS>(save_ticks, save_ticks_doc),
};

bool is_tick_source(ModuleState* state, PyObject* obj) {
  return Py_IS_TYPE(obj, state->tick_source_type);
}

const TickSourceData& tick_source_of(PyObject* source) { return unbox<TickSourceData>(source); }

bool resolve_ticks(ModuleState* st, PyObject* ticks, TickInput* out) {
  if (is_tick_source(st, ticks)) {
    *out = &tick_source_of(ticks);
    return true;
  }
  if (const TickSourceData* slice = market_data::tick_slice_of(ticks)) {
    *out = slice;
    return true;
  }
  TickArray series;
  if (!ticks_from(st, ticks, &series)) return false;
  *out = std::move(series);
  return true;
}

std::optional<data::Opened> open_source(const TickSourceData& source, data::ReadHooks hooks,
                                        std::size_t block_records) {
  data::Opened opened = data::TickReader::open(source.fs_path, hooks, block_records);
  const auto* reader = std::get_if<data::TickReader>(&opened);
  if (!source.window || reader == nullptr) return opened;
  if (reader->count() != source.window->count || reader->checksum() != source.window->checksum) {
    return std::nullopt;
  }
  return data::TickReader::open_window(source.fs_path, source.window->records, hooks,
                                       block_records);
}

void raise_changed_window(PyObject* path, const data::TimeWindow& window) {
  PyErr_Format(PyExc_ValueError,
               "%U: the file is no longer the one this slice was cut from (its header said %llu "
               "records with checksum 0x%08x then); make the slice again from the file as it is",
               path, static_cast<unsigned long long>(window.count),
               static_cast<unsigned>(window.checksum));
}

void raise_changed_file(const TickSourceData& source) {
  raise_changed_window(source.path.get(), *source.window);
}

void raise_tick_file_error(const TickSourceData& source, const data::Error& error) {
  raise_with_path(source.path.get(), error.display().c_str());
}

}  // namespace halvorn::py
