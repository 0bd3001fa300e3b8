// What a depth source and a mark source share, written once over the file
// kind: a source names a file and holds nothing open, every reader of it
// opens the file anew (the whole file, or a slice's part of it), and every
// error a file gives is raised as ValueError "{path}: {error}".
//
// A kind is a traits struct (depth_sources.cpp, mark_sources.cpp):
//
//   struct DepthFile {
//     using Data = DepthSourceData;           // what a source holds: a FileSourceFields
//     using Reader = data::DepthReader;       // one pass over the file
//     using Error = data::DepthError;
//     using Scratch = book::DepthRecord;      // storage a record stream reuses
//     static constexpr const char* NAME;      // "depth": the records' name in messages
//     static constexpr const char* SOURCE;    // "DepthSource"
//     static constexpr auto LOAD = signature("halvorn.data._native.load_depth", either("path"));
//     static constexpr auto READ = signature("halvorn.data._native.read_depth", either("source"));
//     static constexpr PyTypeObject* DataState::*SOURCE_TYPE, *STREAM_TYPE;
//     static PyType_Spec stream_spec;         // the stream class, from stream_slots
//     static std::optional<Opened> open(const Data&);      // nullopt: a slice's file changed
//     static void raise_changed(const Data&);
//     static const Data* slice_of(PyObject*);
//     static void take_header(Data&, const Reader&);        // what else its header gives
//     static auto next(Reader&, Scratch&);                  // one step of the reader
//     static std::optional<PyObject*> record(DataState*, const Step&, const Scratch&);
//     static std::optional<std::uint64_t> counted_from(const Data&);  // a slice's first byte
//   };
//
// Thread-safety: call with the interpreter lock held; readers run with it
// given up.

#pragma once

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/streamed_records.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

// Raises the OSError (FileNotFoundError, PermissionError, ...) for `err`,
// naming `path` as the caller gave it.
inline void raise_file_os_error(int err, PyObject* path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

// Begins a writer with the lock given up, as `begin()` does (a Writer, or
// the errno of the step that failed); nullopt with an OSError naming
// `path` when it fails.  A writer dropped before its commit abandons the
// file, so every early return of a caller leaves `path` as it was.
template <class Writer, class Begin>
std::optional<Writer> begin_writer(PyObject* path, Begin begin) {
  std::optional<std::variant<Writer, int>> begun;
  {
    Gil gil;
    run_unlocked(gil, [&] { begun.emplace(begin()); });
  }
  if (const int* err = std::get_if<int>(&*begun)) {
    raise_file_os_error(*err, path);
    return std::nullopt;
  }
  return std::move(std::get<Writer>(*begun));
}

// Commits a writer with the lock given up; false with an OSError naming
// `path` when it fails, in which case nothing at `path` changed.
template <class Writer>
bool commit_writer(Writer& writer, PyObject* path) {
  int err = 0;
  {
    Gil gil;
    run_unlocked(gil, [&] { err = writer.commit(); });
  }
  if (err == 0) return true;
  raise_file_os_error(err, path);
  return false;
}

template <class Kind>
struct FileSource {
  using Data = typename Kind::Data;
  using Reader = typename Kind::Reader;
  using Error = typename Kind::Error;

  static const Data& of(PyObject* self) { return unbox<Data>(self); }

  // Raises ValueError "{path}: {error}" for a file that cannot be used.  A
  // slice's reader counts records from the slice's first, so its message
  // says where that is.
  static void raise_file_error(const Data& source, const Error& error) {
    Ref text = Ref::steal(str_of(error.display()));
    if (!text) return;
    if (const std::optional<std::uint64_t> from = Kind::counted_from(source)) {
      PyErr_Format(PyExc_ValueError, "%U, records counted from byte %llu: %U", source.path.get(),
                   static_cast<unsigned long long>(*from), text.get());
      return;
    }
    PyErr_Format(PyExc_ValueError, "%U: %U", source.path.get(), text.get());
  }

  // Opens the source's file with the lock given up: the file may be slow, or
  // a pipe.  Raises "{path}: {error}" when it does not open.
  static std::optional<Reader> open_reader(const Data& source) {
    std::optional<decltype(Kind::open(source))> opened;
    {
      Gil gil;
      run_unlocked(gil, [&] { opened = Kind::open(source); });
    }
    if (!*opened) {
      Kind::raise_changed(source);
      return std::nullopt;
    }
    if (auto* error = std::get_if<Error>(&**opened)) {
      raise_file_error(source, *error);
      return std::nullopt;
    }
    return std::move(std::get<Reader>(**opened));
  }

  // The source `obj` stands for, or false with a TypeError naming `arg` when
  // it is neither a source of this kind nor a slice of one.  A source can
  // only have been made by halvorn.data._native, so this finds its class
  // there.
  static bool source_of(PyObject* obj, const char* arg, const Data** out) {
    Ref native = Ref::steal(PyImport_ImportModule("halvorn.data._native"));
    if (!native) return false;
    DataState* st = data_state_of_module(native.get());
    if (st != nullptr && st->*Kind::SOURCE_TYPE != nullptr &&
        Py_IS_TYPE(obj, st->*Kind::SOURCE_TYPE)) {
      *out = &of(obj);
      return true;
    }
    if (const Data* slice = Kind::slice_of(obj)) {
      *out = slice;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a %s (halvorn.data.%s), got %.200s", arg,
                 Kind::SOURCE, Kind::LOAD.name(), Py_TYPE(obj)->tp_name);
    return false;
  }

  // --- the source's getters every kind has

  static PyObject* path(PyObject* self, void*) { return Py_NewRef(of(self).path.get()); }
  static PyObject* records(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(of(self).records);
  }
  static PyObject* instrument(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(of(self).instrument);
  }
  static Py_ssize_t length(PyObject* self) {
    const std::uint64_t n = of(self).records;
    if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(n);
  }

  // --- the records of a file, streamed (what read_depth and read_marks return)

  struct Stream {
    Ref source;                      // the source read
    std::optional<Reader> reader;    // empty once the stream ended
    typename Kind::Scratch scratch;  // reused from record to record
    bool busy = false;               // a thread is reading, with the lock given up
  };

  static PyObject* stream_iter(PyObject* self) { return Py_NewRef(self); }

  static PyObject* stream_next(PyObject* self) {
    DataState* st = data_state_of_type(Py_TYPE(self));
    return guarded(st->head.core, [&]() -> PyObject* {
      Stream& s = unbox<Stream>(self);
      return next_streamed(
          s.reader, s.busy, Kind::NAME, [&](Reader& r) { return Kind::next(r, s.scratch); },
          [&](const auto& step) { return Kind::record(st, step, s.scratch); },
          [&](const auto& step) {
            if (const auto* error = std::get_if<Error>(&step)) {
              raise_file_error(of(s.source.get()), *error);
            }
          });
    });
  }

  static inline PyType_Slot stream_slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Stream>)},
      {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
      {Py_tp_doc, const_cast<char*>(Kind::STREAM_DOC)},
      {0, nullptr},
  };

  static inline PyType_Spec stream_spec = {Kind::STREAM_CLASS, sizeof(Boxed<Stream>), 0,
                                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                           stream_slots};

  // --- load, read

  // A new source for `path` (an exact str), its header checked.
  static PyObject* make(DataState* st, PyObject* path) {
    Data source;
    // A path that is no str is refused first, naming the argument.
    if (!fs_path_of(path, "path", &source.fs_path)) return nullptr;
    source.path = Ref::steal(PyUnicode_FromObject(path));
    if (!source.path) return nullptr;
    std::optional<Reader> reader = open_reader(source);
    if (!reader) return nullptr;
    // Only the header was read; the reader (and its file) closes here.
    source.records = reader->count();
    source.instrument = reader->instrument();
    Kind::take_header(source, *reader);
    return box(st->*Kind::SOURCE_TYPE, std::move(source));
  }

  static PyObject* load(PyObject* module, PyObject* args, PyObject* kwds) {
    DataState* st = data_state_of_module(module);
    return guarded(st->head.core, [&]() -> PyObject* {
      ArgumentsOf<Kind::LOAD> parsed;
      if (!parse<Kind::LOAD>(args, kwds, &parsed)) return nullptr;
      return make(st, parsed[0]);
    });
  }

  static PyObject* read(PyObject* module, PyObject* args, PyObject* kwds) {
    DataState* st = data_state_of_module(module);
    return guarded(st->head.core, [&]() -> PyObject* {
      ArgumentsOf<Kind::READ> parsed;
      if (!parse<Kind::READ>(args, kwds, &parsed)) return nullptr;
      PyObject* source = parsed[0];
      const Data* data = nullptr;
      if (!source_of(source, "source", &data)) return nullptr;
      Stream stream;
      stream.source = Ref::borrow(source);
      stream.reader = open_reader(*data);
      if (!stream.reader) return nullptr;
      return box(st->*Kind::STREAM_TYPE, std::move(stream));
    });
  }
};

}  // namespace halvorn::py::market_data
