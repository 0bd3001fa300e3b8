#include "py/market_data/slices.hpp"

#include <type_traits>
#include <utility>

#include "data/depth_window.hpp"
#include "data/time_window.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

namespace {

// What a slice holds: the file it reads, with its window; the source it was
// cut from; and the stretch of time asked for.
template <class File>
struct SliceData {
  File file;
  Ref source;
  Nanos start = 0;
  Nanos end = 0;
};
using TickSliceData = SliceData<TickSourceData>;
using MarkSliceData = SliceData<MarkSourceData>;
using DepthSliceData = SliceData<DepthSourceData>;

template <class File>
constexpr const char* KIND = std::is_same_v<File, TickSourceData>   ? "ticks"
                             : std::is_same_v<File, MarkSourceData> ? "marks"
                                                                    : "depth";

template <class File>
const File& file_of(PyObject* self) {
  return unbox<SliceData<File>>(self).file;
}

// ---------------------------------------------------------------------------
// The getters both classes share

template <class File>
PyObject* get_source(PyObject* self, void*) {
  return Py_NewRef(unbox<SliceData<File>>(self).source.get());
}
template <class File>
PyObject* get_start(PyObject* self, void*) {
  return PyLong_FromLongLong(unbox<SliceData<File>>(self).start);
}
template <class File>
PyObject* get_end(PyObject* self, void*) {
  return PyLong_FromLongLong(unbox<SliceData<File>>(self).end);
}
template <class File>
PyObject* get_first(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(file_of<File>(self).window->records.first);
}
template <class File>
PyObject* get_stop(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(file_of<File>(self).window->records.stop);
}
template <class File>
PyObject* get_path(PyObject* self, void*) {
  return Py_NewRef(file_of<File>(self).path.get());
}
template <class File>
PyObject* get_instrument(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(file_of<File>(self).instrument);
}

template <class File>
Py_ssize_t slice_length(PyObject* self) {
  const data::RecordWindow& w = file_of<File>(self).window->records;
  return static_cast<Py_ssize_t>(w.stop - w.first);
}

// Pickled as the call that makes it again: a worker that receives a slice
// opens the file and finds its records for itself.
template <class File>
PyObject* slice_reduce(PyObject* self, PyObject*) {
  const auto& d = unbox<SliceData<File>>(self);
  Ref module = Ref::steal(PyImport_ImportModule("halvorn.data._slices"));
  if (!module) return nullptr;
  Ref remake = Ref::steal(PyObject_GetAttrString(module.get(), "remake"));
  if (!remake) return nullptr;
  return Py_BuildValue("(O(sOLL))", remake.get(), KIND<File>, d.file.path.get(),
                       static_cast<long long>(d.start), static_cast<long long>(d.end));
}

template <class File>
PyObject* slice_repr(PyObject* self) {
  const auto& d = unbox<SliceData<File>>(self);
  const data::RecordWindow& w = d.file.window->records;
  const bool ticks = std::is_same_v<File, TickSourceData>;
  return PyUnicode_FromFormat(
      "%s(%R, start=%lld, end=%lld: %llu %s from %s %llu)", ticks ? "TickSlice" : "MarkSlice",
      d.file.path.get(), static_cast<long long>(d.start), static_cast<long long>(d.end),
      static_cast<unsigned long long>(w.stop - w.first), ticks ? "ticks" : "records",
      ticks ? "tick" : "record", static_cast<unsigned long long>(w.first));
}

template <class File>
PyGetSetDef slice_getset[] = {
    {"source", get_source<File>, nullptr, "The source this slice was cut from.", nullptr},
    {"path", get_path<File>, nullptr, "The file this reads.", nullptr},
    {"start", get_start<File>, nullptr, "Exchange time (ns) the slice starts at, included.",
     nullptr},
    {"end", get_end<File>, nullptr, "Exchange time (ns) the slice ends at, excluded.", nullptr},
    {"first", get_first<File>, nullptr, "Position in the file of the first record read.", nullptr},
    {"stop", get_stop<File>, nullptr, "Position in the file after the last record read.", nullptr},
    {"instrument", get_instrument<File>, nullptr, "The instrument the file was written for.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class File>
PyMethodDef slice_methods[] = {
    {"__reduce__", slice_reduce<File>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

template <class File>
PyType_Slot slice_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<SliceData<File>>)},
    {Py_tp_repr, reinterpret_cast<void*>(slice_repr<File>)},
    {Py_mp_length, reinterpret_cast<void*>(slice_length<File>)},
    {Py_tp_getset, slice_getset<File>},
    {Py_tp_methods, slice_methods<File>},
    {Py_tp_doc,
     const_cast<char*>(std::is_same_v<File, TickSourceData>
                           ? "The ticks of a tick file in a stretch of exchange time.\n\n"
                             "Made by `halvorn.data.between`; a run reads only its blocks."
                           : "The mark records a run over a stretch of exchange time reads.\n\n"
                             "Made by `halvorn.data.between`; a run reads only its blocks.")},
    {0, nullptr},
};

PyType_Spec tick_slice_spec = {"halvorn.data.TickSlice", sizeof(Boxed<TickSliceData>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                               slice_slots<TickSourceData>};
PyType_Spec mark_slice_spec = {"halvorn.data.MarkSlice", sizeof(Boxed<MarkSliceData>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                               slice_slots<MarkSourceData>};

// A depth slice is a stretch of bytes: its records are not counted.
PyObject* get_first_byte(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(data::DEPTH_HEADER_BYTES +
                                     file_of<DepthSourceData>(self).window->bytes.from);
}
PyObject* get_stop_byte(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(data::DEPTH_HEADER_BYTES +
                                     file_of<DepthSourceData>(self).window->bytes.to);
}

PyObject* depth_slice_repr(PyObject* self) {
  const auto& d = unbox<DepthSliceData>(self);
  const data::DepthWindow& w = d.file.window->bytes;
  return PyUnicode_FromFormat("DepthSlice(%R, start=%lld, end=%lld: bytes %llu to %llu)",
                              d.file.path.get(), static_cast<long long>(d.start),
                              static_cast<long long>(d.end),
                              static_cast<unsigned long long>(data::DEPTH_HEADER_BYTES + w.from),
                              static_cast<unsigned long long>(data::DEPTH_HEADER_BYTES + w.to));
}

PyGetSetDef depth_slice_getset[] = {
    {"source", get_source<DepthSourceData>, nullptr, "The source this slice was cut from.",
     nullptr},
    {"path", get_path<DepthSourceData>, nullptr, "The file this reads.", nullptr},
    {"start", get_start<DepthSourceData>, nullptr,
     "Exchange time (ns) of the first tick the slice serves, included.", nullptr},
    {"end", get_end<DepthSourceData>, nullptr, "Exchange time (ns) the slice ends at, excluded.",
     nullptr},
    {"first_byte", get_first_byte, nullptr,
     "Where in the file the first record read starts: the last snapshot at or\n"
     "before the first record of the stretch.",
     nullptr},
    {"stop_byte", get_stop_byte, nullptr, "Where in the file reading stops.", nullptr},
    {"instrument", get_instrument<DepthSourceData>, nullptr,
     "The instrument the file was written for.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot depth_slice_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DepthSliceData>)},
    {Py_tp_repr, reinterpret_cast<void*>(depth_slice_repr)},
    {Py_tp_getset, depth_slice_getset},
    {Py_tp_methods, slice_methods<DepthSourceData>},
    {Py_tp_doc,
     const_cast<char*>("The depth records a run over a stretch of exchange time reads: from\n"
                       "the last snapshot before it, so that the book is the whole file's.\n\n"
                       "Made by `halvorn.data.between`; a run reads only its bytes.")},
    {0, nullptr},
};

PyType_Spec depth_slice_spec = {"halvorn.data.DepthSlice", sizeof(Boxed<DepthSliceData>), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, depth_slice_slots};

// ---------------------------------------------------------------------------
// tick_slice, mark_slice, depth_slice

// The three take the same arguments.
constexpr auto slice_signature(const char* qualname) {
  return signature(qualname, either("source"), either("start"), either("end"));
}
constexpr auto TICK_SLICE = slice_signature("halvorn.data._native.tick_slice");
constexpr auto MARK_SLICE = slice_signature("halvorn.data._native.mark_slice");
constexpr auto DEPTH_SLICE = slice_signature("halvorn.data._native.depth_slice");

// Makes a slice of the source in `args`, parsed by SIG: reads it with `source_of` and the
// stretch after it, runs `find(fs_path, start, end)` with the lock given up,
// and has `keep(found, file)` put the window found into the slice's file (or
// raise and return false).
template <class File, const auto& SIG, class SourceOf, class Find, class Keep>
PyObject* cut(DataState* st, PyObject* args, PyObject* kwds, PyTypeObject* type, SourceOf source_of,
              Find find, Keep keep) {
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<SIG> parsed;
    if (!parse<SIG>(args, kwds, &parsed)) return nullptr;
    const File* file = source_of(parsed[0]);
    if (file == nullptr) return nullptr;
    SliceData<File> slice;
    std::int64_t start = 0, end = 0;
    if (!to_i64(parsed[1], "start", &start) || !to_i64(parsed[2], "end", &end)) return nullptr;
    slice.start = start;
    slice.end = end;
    slice.file = *file;
    slice.source = Ref::borrow(parsed[0]);
    std::optional<decltype(find(slice.file.fs_path, slice.start, slice.end))> found;
    {
      Gil gil;
      run_unlocked(gil, [&] { found = find(slice.file.fs_path, slice.start, slice.end); });
    }
    if (!keep(*found, slice.file)) return nullptr;
    return box(type, std::move(slice));
  });
}

// The source argument of a slice of a whole file of this kind, or null with
// a TypeError.
template <class File>
const File* whole(const File* file, const char* kind) {
  if (file != nullptr && file->window) {
    PyErr_Format(PyExc_TypeError, "argument 'source': expected a %sSource, got %sSlice", kind,
                 kind);
    return nullptr;
  }
  return file;
}

PyObject* tick_slice(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return cut<TickSourceData, TICK_SLICE>(
      st, args, kwds, st->tick_slice_type,
      [&](PyObject* source) -> const TickSourceData* {
        if (is_tick_source(st->head.core, source)) return &tick_source_of(source);
        PyErr_Format(PyExc_TypeError, "argument 'source': expected a TickSource, got %.200s",
                     Py_TYPE(source)->tp_name);
        return nullptr;
      },
      data::find_tick_window,
      [](const std::variant<data::TimeWindow, data::Error>& found, TickSourceData& file) {
        if (const auto* error = std::get_if<data::Error>(&found)) {
          raise_tick_file_error(file, *error);
          return false;
        }
        const data::TimeWindow& window = std::get<data::TimeWindow>(found);
        file.count = window.records.stop - window.records.first;
        file.instrument = window.instrument;
        file.window = window;
        return true;
      });
}

PyObject* mark_slice(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return cut<MarkSourceData, MARK_SLICE>(
      st, args, kwds, st->mark_slice_type,
      [](PyObject* source) {
        const MarkSourceData* file = nullptr;
        return mark_source_of(source, "source", &file) ? whole(file, "Mark") : nullptr;
      },
      data::find_mark_window,
      [](const std::variant<data::TimeWindow, data::MarkError>& found, MarkSourceData& file) {
        if (const auto* error = std::get_if<data::MarkError>(&found)) {
          raise_mark_file_error(file, *error);
          return false;
        }
        const data::TimeWindow& window = std::get<data::TimeWindow>(found);
        file.records = window.records.stop - window.records.first;
        file.window = window;
        return true;
      });
}

PyObject* depth_slice(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  using Found = std::variant<data::DepthWindowFound, data::DepthError, data::Unframed>;
  return cut<DepthSourceData, DEPTH_SLICE>(
      st, args, kwds, st->depth_slice_type,
      [](PyObject* source) {
        const DepthSourceData* file = nullptr;
        return depth_source_of(source, "source", &file) ? whole(file, "Depth") : nullptr;
      },
      data::find_depth_window,
      [](const Found& found, DepthSourceData& file) {
        if (const auto* error = std::get_if<data::DepthError>(&found)) {
          raise_depth_file_error(file, *error);
          return false;
        }
        if (const auto* lost = std::get_if<data::Unframed>(&found)) {
          PyErr_Format(PyExc_ValueError,
                       "%U: no depth record starts near byte %llu, where one must: the file is "
                       "damaged there",
                       file.path.get(),
                       static_cast<unsigned long long>(data::DEPTH_HEADER_BYTES + lost->offset));
          return false;
        }
        file.window = std::get<data::DepthWindowFound>(found);
        return true;
      });
}

PyMethodDef slice_functions[] = {
    function_def<TICK_SLICE>(
        tick_slice, "The TickSlice of `source` from `start` (ns, included) to `end` (excluded)."),
    function_def<MARK_SLICE>(mark_slice,
                             "The MarkSlice a run over ticks in [start, end) reads of `source`."),
    function_def<DEPTH_SLICE>(depth_slice,
                              "The DepthSlice a run over ticks in [start, end) reads of `source`."),
};

template <class File>
const File* slice_of(PyObject* obj, PyTypeObject* DataState::* slot) {
  // Only a module that was imported can have made one.
  Ref name = Ref::steal(PyUnicode_FromString("halvorn.data._native"));
  if (!name) {
    PyErr_Clear();
    return nullptr;
  }
  Ref native = Ref::steal(PyImport_GetModule(name.get()));
  if (!native) {
    PyErr_Clear();
    return nullptr;
  }
  DataState* st = data_state_of_module(native.get());
  if (st == nullptr || st->*slot == nullptr || !Py_IS_TYPE(obj, st->*slot)) return nullptr;
  return &file_of<File>(obj);
}

}  // namespace

const TickSourceData* tick_slice_of(PyObject* obj) {
  return slice_of<TickSourceData>(obj, &DataState::tick_slice_type);
}

const MarkSourceData* mark_slice_of(PyObject* obj) {
  return slice_of<MarkSourceData>(obj, &DataState::mark_slice_type);
}

const DepthSourceData* depth_slice_of(PyObject* obj) {
  return slice_of<DepthSourceData>(obj, &DataState::depth_slice_type);
}

std::optional<data::DepthOpened> open_depth(const DepthSourceData& source) {
  data::DepthOpened opened = data::DepthReader::open(source.fs_path);
  const auto* reader = std::get_if<data::DepthReader>(&opened);
  if (!source.window || reader == nullptr) return opened;
  const data::DepthWindowFound& w = *source.window;
  if (reader->count() != w.count || reader->levels() != w.levels ||
      reader->checksum() != w.checksum) {
    return std::nullopt;
  }
  return data::DepthReader::open_window(source.fs_path, w.bytes.from, w.bytes.to);
}

void raise_changed_depth(const DepthSourceData& source) {
  raise_changed_window(
      source.path.get(),
      data::TimeWindow{
          {}, source.window->count, source.window->checksum, source.window->instrument, 0});
}

std::optional<data::MarkOpened> open_marks(const MarkSourceData& source) {
  data::MarkOpened opened = data::MarkReader::open(source.fs_path);
  const auto* reader = std::get_if<data::MarkReader>(&opened);
  if (!source.window || reader == nullptr) return opened;
  if (reader->count() != source.window->count || reader->checksum() != source.window->checksum) {
    return std::nullopt;
  }
  return data::MarkReader::open_window(source.fs_path, source.window->records);
}

void raise_changed_marks(const MarkSourceData& source) {
  raise_changed_window(source.path.get(), *source.window);
}

const std::array<ClassEntry<DataState>, 3> SLICE_CLASSES = {{
    {[] { return &tick_slice_spec; }, &DataState::tick_slice_type},
    {[] { return &mark_slice_spec; }, &DataState::mark_slice_type},
    {[] { return &depth_slice_spec; }, &DataState::depth_slice_type},
}};

int add_slice_functions(PyObject* module, DataState* st) {
  if (add_classes(module, st, SLICE_CLASSES) < 0) return -1;
  return add_functions(module, slice_functions);
}

}  // namespace halvorn::py::market_data
