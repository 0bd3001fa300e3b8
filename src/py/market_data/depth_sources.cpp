#include "py/market_data/depth_sources.hpp"

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/depth_reader.hpp"
#include "data/depth_writer.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/file_sources.hpp"
#include "py/market_data/slices.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

namespace {

// Records handed to the writer per release of the lock: enough that giving
// the lock up costs nothing beside the encoding, few enough that the
// objects held meanwhile stay small.
constexpr std::size_t SAVE_BATCH = 4096;

// A depth file for FileSource: its records are Snapshot and Update objects,
// read into one DepthRecord reused throughout.
struct DepthFile {
  using Data = DepthSourceData;
  using Reader = data::DepthReader;
  using Error = data::DepthError;
  using Scratch = book::DepthRecord;
  static constexpr const char* NAME = "depth";
  static constexpr const char* SOURCE = "DepthSource";
  static constexpr auto LOAD = signature("halvorn.data._native.load_depth", either("path"));
  static constexpr auto READ = signature("halvorn.data._native.read_depth", either("source"));
  static constexpr const char* STREAM_CLASS = "halvorn.data._native.DepthFileReader";
  static constexpr const char* STREAM_DOC = "The records of a depth file, read a block at a time.";
  static constexpr PyTypeObject* DataState::* SOURCE_TYPE = &DataState::depth_source_type;
  static constexpr PyTypeObject* DataState::* STREAM_TYPE = &DataState::depth_file_reader_type;

  static std::optional<data::DepthOpened> open(const Data& source) { return open_depth(source); }
  static void raise_changed(const Data& source) { raise_changed_depth(source); }
  static const Data* slice_of(PyObject* obj) { return depth_slice_of(obj); }
  static void take_header(Data& source, const Reader& reader) { source.levels = reader.levels(); }
  static data::DepthNext next(Reader& reader, Scratch& record) { return reader.next(record); }
  static std::optional<PyObject*> record(DataState* st, const data::DepthNext& step,
                                         const Scratch& record) {
    if (!std::holds_alternative<data::RecordReady>(step)) return std::nullopt;
    return depth_record_object(st, record);
  }
  static std::optional<std::uint64_t> counted_from(const Data& source) {
    if (!source.window) return std::nullopt;
    return data::DEPTH_HEADER_BYTES + source.window->bytes.from;
  }
};

using Source = FileSource<DepthFile>;

const DepthSourceData& source_of(PyObject* self) { return Source::of(self); }

// Counts the snapshots and updates of the source's file, once.
bool count_kinds(const DepthSourceData& source) {
  if (source.snapshots) return true;
  std::optional<data::DepthReader> reader = Source::open_reader(source);
  if (!reader) return false;
  std::uint64_t snapshots = 0, updates = 0;
  std::optional<data::DepthError> error;
  Gil gil;
  run_unlocked(gil, [&] {
    book::DepthRecord record;
    for (;;) {
      data::DepthNext step = reader->next(record);
      if (auto* e = std::get_if<data::DepthError>(&step)) {
        error = *e;
        return;
      }
      if (std::holds_alternative<data::End>(step)) return;
      ++(std::holds_alternative<book::DepthSnapshot>(record.entry) ? snapshots : updates);
    }
  });
  if (error) {
    Source::raise_file_error(source, *error);
    return false;
  }
  source.snapshots = snapshots;
  source.updates = updates;
  return true;
}

// ---------------------------------------------------------------------------
// DepthSource

PyObject* source_levels(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(source_of(self).levels);
}
PyObject* source_snapshots(PyObject* self, void*) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    if (!count_kinds(source_of(self))) return nullptr;
    return PyLong_FromUnsignedLongLong(*source_of(self).snapshots);
  });
}
PyObject* source_updates(PyObject* self, void*) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    if (!count_kinds(source_of(self))) return nullptr;
    return PyLong_FromUnsignedLongLong(*source_of(self).updates);
  });
}

PyObject* source_repr(PyObject* self) {
  const DepthSourceData& s = source_of(self);
  return PyUnicode_FromFormat("DepthSource(%R, %llu records, instrument %llu)", s.path.get(),
                              static_cast<unsigned long long>(s.records),
                              static_cast<unsigned long long>(s.instrument));
}

PyGetSetDef source_getset[] = {
    {"path", Source::path, nullptr, "The file this reads.", nullptr},
    {"records", Source::records, nullptr,
     "Records the header claims (snapshots and updates), so `len()` costs no read.", nullptr},
    {"levels", source_levels, nullptr, "Price levels in all records together, from the header.",
     nullptr},
    {"instrument", Source::instrument, nullptr, "The instrument the file was written for.",
     nullptr},
    {"snapshots", source_snapshots, nullptr,
     "Snapshot records.  The header does not hold it: the first read of this\n"
     "or of `updates` counts both in one pass over the file.",
     nullptr},
    {"updates", source_updates, nullptr, "Update records; counted as `snapshots` is.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot source_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<DepthSourceData>)},
    {Py_tp_repr, reinterpret_cast<void*>(source_repr)},
    {Py_mp_length, reinterpret_cast<void*>(Source::length)},
    {Py_tp_getset, source_getset},
    {Py_tp_doc,
     const_cast<char*>("A depth file, held by name rather than by contents.\n\n"
                       "Made by `load_depth`, `save_depth` or `depth_from_csv`.  Every run\n"
                       "given it as `depth=` opens its own reader and streams the records\n"
                       "from the start a block at a time, merged with the ticks by time, so\n"
                       "one source serves any number of runs and a day of depth larger than\n"
                       "memory is never resident.")},
    {0, nullptr},
};

PyType_Spec source_spec = {"halvorn.data.DepthSource", sizeof(Boxed<DepthSourceData>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, source_slots};

// ---------------------------------------------------------------------------
// save_depth

// Adds the records held by `batch` to the writer with the lock given up.
// The objects are immutable and held, so their records can be read without
// it.  Returns the refusal of the first record the writer would not take.
std::optional<data::DepthError> add_batch(data::DepthWriter& writer, std::vector<Ref>& batch,
                                          std::vector<const book::DepthRecord*>& records) {
  std::optional<data::DepthError> refused;
  Gil gil;
  run_unlocked(gil, [&] {
    for (const book::DepthRecord* r : records) {
      if ((refused = writer.add(*r))) return;
      if (writer.failed() != 0) return;
    }
  });
  batch.clear();
  records.clear();
  return refused;
}

constexpr auto SAVE_DEPTH = signature("halvorn.data._native.save_depth", either("path"),
                                      either("records"), either("instrument", "1"));

PyObject* save_depth(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<SAVE_DEPTH> parsed;
    if (!parse<SAVE_DEPTH>(args, kwds, &parsed)) return nullptr;
    PyObject *path = parsed[0], *records_obj = parsed[1], *instrument_obj = parsed[2];
    std::string fs_path;
    std::uint64_t instrument = 1;
    if (!fs_path_of(path, "path", &fs_path)) return nullptr;
    if (instrument_obj != nullptr && !to_u64(instrument_obj, "instrument", &instrument)) {
      return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(records_obj));
    if (!iterator) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'records': expected an iterable of Snapshot and Update, got %.200s",
                   Py_TYPE(records_obj)->tp_name);
      return nullptr;
    }
    std::optional<data::DepthWriter> begun = begin_writer<data::DepthWriter>(
        path, [&] { return data::DepthWriter::begin(fs_path, instrument); });
    if (!begun) return nullptr;
    // Dropped on any early return, which abandons the file.
    data::DepthWriter writer = std::move(*begun);
    std::vector<Ref> batch;
    std::vector<const book::DepthRecord*> records;
    batch.reserve(SAVE_BATCH);
    records.reserve(SAVE_BATCH);
    std::uint64_t index = 0;
    std::optional<data::DepthError> refused;
    for (;;) {
      Ref item = Ref::steal(PyIter_Next(iterator.get()));
      if (!item) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      const book::DepthRecord* record = depth_record_of(st, item.get());
      if (record == nullptr) {
        PyErr_Format(PyExc_TypeError, "records[%llu]: expected a Snapshot or an Update, got %.200s",
                     static_cast<unsigned long long>(index), Py_TYPE(item.get())->tp_name);
        return nullptr;
      }
      ++index;
      records.push_back(record);
      batch.push_back(std::move(item));
      if (records.size() == SAVE_BATCH) {
        if ((refused = add_batch(writer, batch, records)) || writer.failed() != 0) break;
      }
    }
    if (!refused && writer.failed() == 0 && !records.empty()) {
      refused = add_batch(writer, batch, records);
    }
    if (refused) {
      raise_value_error(refused->display());
      return nullptr;
    }
    if (!commit_writer(writer, path)) return nullptr;
    return Source::make(st, path);
  });
}

PyMethodDef depth_functions[] = {
    function_def<DepthFile::LOAD>(Source::load,
                                  "Open a depth file for runs, reading only its header.\n\n"
                                  "# Errors\n\n"
                                  "ValueError \"{path}: {error}\" with the depth reader's text."),
    function_def<SAVE_DEPTH>(
        save_depth,
        "Write an iterable of Snapshot and Update to a depth file at `path`.\n\n"
        "# Errors\n\n"
        "TypeError for an item that is neither; ValueError with the depth\n"
        "writer's text for a record a reader would refuse; OSError for a path\n"
        "that cannot be written.  Nothing at `path` changes on an error."),
    function_def<DepthFile::READ>(
        Source::read,
        "Iterate the records of a DepthSource's file, streamed.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the depth reader's text, when\n"
        "opening or where the file fails."),
};

}  // namespace

bool depth_source_of(PyObject* obj, const char* arg, const DepthSourceData** out) {
  return Source::source_of(obj, arg, out);
}

void raise_depth_file_error(const DepthSourceData& source, const data::DepthError& error) {
  Source::raise_file_error(source, error);
}

const std::array<ClassEntry<DataState>, 2> DEPTH_SOURCE_CLASSES = {{
    {[] { return &source_spec; }, &DataState::depth_source_type},
    {[] { return &Source::stream_spec; }, &DataState::depth_file_reader_type, false},
}};

int add_depth_functions(PyObject* module, DataState* st) {
  if (add_classes(module, st, DEPTH_SOURCE_CLASSES) < 0) return -1;
  return add_functions(module, depth_functions);
}

}  // namespace halvorn::py::market_data
