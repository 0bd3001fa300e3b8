// Tick files from Python: the TickSource class, load_ticks and save_ticks,
// and ticks_from, which turns every other form of a ticks argument into an
// array.
//
// A TickSource names a file and holds nothing open: every run opens its own
// reader on the path, so one source can feed any number of runs.

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "data/replace.hpp"
#include "data/ticks.hpp"
#include "py/boundary.hpp"
#include "py/convert.hpp"
#include "py/tier.hpp"

namespace halvorn::py {

namespace {

struct PyTickSource {
  PyObject ob_base;
  PyObject* path;  // the str the caller passed, as an exact str
  std::uint64_t count;
  std::uint64_t instrument;
  std::string fs_path;  // the same path encoded for the file system
};

PyTickSource* source_of(PyObject* self) { return reinterpret_cast<PyTickSource*>(self); }

const char ticks_from_message[] =
    "ticks must be a sequence of Tick, or a TickSource; build them with halvorn.Tick(...), or "
    "read a file with load_ticks() \u2014 which is the one to use when the series is larger than "
    "memory";

// The path as the file system wants it (the file-system encoding, with
// undecodable bytes carried through as Python does for os functions).
// Returns false, with no exception set, when the string cannot name a file.
bool fs_encode(PyObject* path, std::string* out) {
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(path));
  if (!bytes) {
    PyErr_Clear();
    return false;
  }
  out->assign(PyBytes_AS_STRING(bytes.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

bool check_path(PyObject* obj) {
  if (PyUnicode_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "argument 'path': expected str, got %.200s", Py_TYPE(obj)->tp_name);
  return false;
}

void raise_with_path(PyObject* path, const char* text) {
  PyErr_Format(PyExc_ValueError, "%U: %s", path, text);
}

// ---------------------------------------------------------------------------
// TickSource

void source_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyTickSource* s = source_of(self);
  Py_XDECREF(s->path);
  s->fs_path.~basic_string();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* source_get_path(PyObject* self, void*) { return Py_NewRef(source_of(self)->path); }
PyObject* source_get_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(source_of(self)->count);
}
PyObject* source_get_instrument(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(source_of(self)->instrument);
}

Py_ssize_t source_length(PyObject* self) {
  std::uint64_t count = source_of(self)->count;
  if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(count);
}

PyObject* source_repr(PyObject* self) {
  const PyTickSource* s = source_of(self);
  return PyUnicode_FromFormat("TickSource(%U, %llu ticks, instrument %llu)", s->path,
                              static_cast<unsigned long long>(s->count),
                              static_cast<unsigned long long>(s->instrument));
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
    {Py_tp_dealloc, reinterpret_cast<void*>(source_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(source_repr)},
    {Py_mp_length, reinterpret_cast<void*>(source_length)},
    {Py_tp_getset, source_getset},
    {Py_tp_doc, const_cast<char*>(source_doc)},
    {0, nullptr},
};

PyType_Spec source_spec = {"halvorn.TickSource", sizeof(PyTickSource), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, source_slots};

// A new TickSource; nullptr with an exception set on failure.
PyObject* new_source(ModuleState* st, PyObject* path, std::string fs_path, std::uint64_t count,
                     std::uint64_t instrument) {
  Ref exact = Ref::steal(PyUnicode_FromObject(path));
  if (!exact) return nullptr;
  PyTypeObject* type = st->tick_source_type;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  PyTickSource* s = source_of(obj);
  new (&s->fs_path) std::string(std::move(fs_path));
  s->path = exact.release();
  s->count = count;
  s->instrument = instrument;
  return obj;
}

// ---------------------------------------------------------------------------
// load_ticks, save_ticks

PyObject* load_ticks(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"path", nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:load_ticks", const_cast<char**>(kwlist),
                                     &path)) {
      return nullptr;
    }
    if (!check_path(path)) return nullptr;
    std::string fs_path;
    if (!fs_encode(path, &fs_path)) {
      // A string no file can be named by fails as any unopenable path does.
      raise_tick_file_error(path, data::Error{data::Truncated{data::HEADER_BYTES, 0}});
      return nullptr;
    }
    data::Opened opened = data::TickReader::open(fs_path);
    if (auto* error = std::get_if<data::Error>(&opened)) {
      raise_tick_file_error(path, *error);
      return nullptr;
    }
    // Only the header was read; the reader (and its file) closes here.
    const data::TickReader& reader = std::get<data::TickReader>(opened);
    return new_source(st, path, std::move(fs_path), reader.count(), reader.instrument());
  });
}

PyObject* save_ticks(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kwlist[] = {"path", "ticks", "instrument", nullptr};
    PyObject *path = nullptr, *ticks_obj = nullptr, *instrument_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:save_ticks", const_cast<char**>(kwlist),
                                     &path, &ticks_obj, &instrument_obj)) {
      return nullptr;
    }
    if (!check_path(path)) return nullptr;
    TickArray ticks;
    if (!ticks_from(st, ticks_obj, &ticks)) return nullptr;
    std::uint64_t instrument = 1;
    if (instrument_obj != nullptr && !to_u64(instrument_obj, "instrument", &instrument)) {
      return nullptr;
    }
    std::vector<std::uint8_t> bytes = data::encode(instrument, ticks);
    std::string fs_path;
    int err = fs_encode(path, &fs_path) ? data::replace_file(fs_path, bytes) : EINVAL;
    if (err != 0) {
      raise_with_path(path, std::strerror(err));
      return nullptr;
    }
    return PyLong_FromSize_t(ticks.size());
  });
}

const char load_ticks_doc[] =
    "load_ticks(path)\n--\n\n"
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
    "save_ticks(path, ticks, instrument=1)\n--\n\n"
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

// A function taking keywords, as the method table stores it.  The detour
// through a function type with no parameters is the conversion the compiler
// accepts without a warning for this deliberate cast.
PyCFunction as_cfunction(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef load_ticks_def = {"load_ticks", as_cfunction(load_ticks), METH_VARARGS | METH_KEYWORDS,
                              load_ticks_doc};
PyMethodDef save_ticks_def = {"save_ticks", as_cfunction(save_ticks), METH_VARARGS | METH_KEYWORDS,
                              save_ticks_doc};

int add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  return add_to_module(module, def->ml_name, PyCFunction_NewEx(def, module, module_name.get()));
}

}  // namespace

PyObject* create_tick_source_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &source_spec, nullptr);
}

int add_tick_file_functions(PyObject* module) {
  if (add_function(module, &load_ticks_def) < 0) return -1;
  return add_function(module, &save_ticks_def);
}

bool is_tick_source(ModuleState* state, PyObject* obj) {
  return Py_IS_TYPE(obj, state->tick_source_type);
}

const std::string& tick_source_path(PyObject* source) { return source_of(source)->fs_path; }

PyObject* tick_source_path_str(PyObject* source) { return source_of(source)->path; }

void raise_tick_file_error(PyObject* path, const data::Error& error) {
  raise_with_path(path, error.display().c_str());
}

bool ticks_from(ModuleState* state, PyObject* ticks, TickArray* out) {
  if (extract_ticks(state, ticks, out)) return true;
  // KeyboardInterrupt, SystemExit and an engine panic are not about the
  // argument's shape; they go on as they are.
  if (!current_error_is_ordinary()) return false;
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, ticks_from_message);
  return false;
}

}  // namespace halvorn::py
