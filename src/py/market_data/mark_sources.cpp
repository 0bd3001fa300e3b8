#include "py/market_data/mark_sources.hpp"

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/mark_reader.hpp"
#include "data/mark_writer.hpp"
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

// Records handed to the writer per release of the lock, as save_depth.
constexpr std::size_t SAVE_BATCH = 8192;

const char* kind_name(data::MarkKind kind) {
  return kind == data::MarkKind::Premium ? "premium" : "mark";
}

// A mark file for FileSource: its records are (time ns, mark, index)
// tuples, read straight from the reader's steps.
struct MarkFile {
  using Data = MarkSourceData;
  using Reader = data::MarkReader;
  using Error = data::MarkError;
  struct Scratch {};
  static constexpr const char* NAME = "mark";
  static constexpr const char* SOURCE = "MarkSource";
  static constexpr auto LOAD = signature("halvorn.data._native.load_marks", either("path"));
  static constexpr auto READ = signature("halvorn.data._native.read_marks", either("source"));
  static constexpr const char* STREAM_CLASS = "halvorn.data._native.MarkFileReader";
  static constexpr const char* STREAM_DOC = "The records of a mark file, read a block at a time.";
  static constexpr PyTypeObject* DataState::* SOURCE_TYPE = &DataState::mark_source_type;
  static constexpr PyTypeObject* DataState::* STREAM_TYPE = &DataState::mark_file_reader_type;

  static std::optional<data::MarkOpened> open(const Data& source) { return open_marks(source); }
  static void raise_changed(const Data& source) { raise_changed_marks(source); }
  static const Data* slice_of(PyObject* obj) { return mark_slice_of(obj); }
  static void take_header(Data& source, const Reader& reader) {
    source.settlements = reader.settlement_count();
    source.kind = reader.kind();
  }
  static data::MarkNext next(Reader& reader, Scratch&) { return reader.next(); }
  static std::optional<PyObject*> record(DataState*, const data::MarkNext& step, const Scratch&) {
    const auto* r = std::get_if<data::MarkRecord>(&step);
    if (r == nullptr) return std::nullopt;
    return Py_BuildValue("(LLL)", static_cast<long long>(r->time), static_cast<long long>(r->mark),
                         static_cast<long long>(r->index));
  }
  // A mark slice counts records by their place in the file.
  static std::optional<std::uint64_t> counted_from(const Data&) { return std::nullopt; }
};

using Source = FileSource<MarkFile>;

const MarkSourceData& source_of(PyObject* self) { return Source::of(self); }

// ---------------------------------------------------------------------------
// MarkSource

PyObject* source_settlements(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(source_of(self).settlements);
}
PyObject* source_kind(PyObject* self, void*) {
  return PyUnicode_FromString(kind_name(source_of(self).kind));
}

PyObject* source_repr(PyObject* self) {
  const MarkSourceData& s = source_of(self);
  return PyUnicode_FromFormat("MarkSource(%R, %llu records, %llu settlements, %s, instrument %llu)",
                              s.path.get(), static_cast<unsigned long long>(s.records),
                              static_cast<unsigned long long>(s.settlements), kind_name(s.kind),
                              static_cast<unsigned long long>(s.instrument));
}

PyGetSetDef source_getset[] = {
    {"path", Source::path, nullptr, "The file this reads.", nullptr},
    {"records", Source::records, nullptr,
     "Mark records the header claims, so `len()` costs no read.", nullptr},
    {"settlements", source_settlements, nullptr,
     "Funding settlements after the records, from the header.", nullptr},
    {"instrument", Source::instrument, nullptr, "The instrument the file was written for.",
     nullptr},
    {"kind", source_kind, nullptr,
     "\"mark\": mark and index prices in ticks; \"premium\": a premium index in\n"
     "billionths.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot source_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<MarkSourceData>)},
    {Py_tp_repr, reinterpret_cast<void*>(source_repr)},
    {Py_mp_length, reinterpret_cast<void*>(Source::length)},
    {Py_tp_getset, source_getset},
    {Py_tp_doc,
     const_cast<char*>("A mark file, held by name rather than by contents.\n\n"
                       "Made by `load_marks`, `save_marks` or `marks_from_csv`.  Whatever\n"
                       "streams its records opens its own reader and reads from the start a\n"
                       "block at a time, so one source serves any number of runs and a\n"
                       "series larger than memory is never resident.")},
    {0, nullptr},
};

PyType_Spec source_spec = {"halvorn.data.MarkSource", sizeof(Boxed<MarkSourceData>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, source_slots};

// ---------------------------------------------------------------------------
// save_marks, mark_settlements

// The integers of one item of `what`: a sequence of `low` to `high` ints,
// read from a tuple of our own.  `values` gets them, missing ones 0.
bool item_ints(PyObject* item, const char* what, std::uint64_t index, std::size_t low,
               std::size_t high, std::int64_t* values) {
  Ref items;
  if (PyTuple_Check(item) || PyList_Check(item)) items = frozen_items(item);
  const Py_ssize_t n = items ? PyTuple_GET_SIZE(items.get()) : -1;
  if (!items || n < static_cast<Py_ssize_t>(low) || n > static_cast<Py_ssize_t>(high)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s[%llu]: expected a tuple of %zu to %zu ints, got %.200s", what,
                 static_cast<unsigned long long>(index), low, high, Py_TYPE(item)->tp_name);
    return false;
  }
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(high); ++i) values[i] = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const std::string arg =
        std::string(what) + "[" + std::to_string(index) + "][" + std::to_string(i) + "]";
    if (!to_i64(PyTuple_GET_ITEM(items.get(), i), arg.c_str(), &values[i])) return false;
  }
  return true;
}

bool write_batch(data::MarkWriter& writer, std::vector<data::MarkRecord>& batch,
                 std::optional<data::MarkError>* refused) {
  Gil gil;
  run_unlocked(gil, [&] {
    for (const data::MarkRecord& r : batch) {
      if ((*refused = writer.add(r)) || writer.failed() != 0) return;
    }
  });
  batch.clear();
  return !*refused && writer.failed() == 0;
}

constexpr auto SAVE_MARKS =
    signature("halvorn.data._native.save_marks", either("path"), either("records"),
              either("settlements"), either("instrument"), either("premium"));
constexpr auto MARK_SETTLEMENTS =
    signature("halvorn.data._native.mark_settlements", either("source"));

PyObject* save_marks(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<SAVE_MARKS> parsed;
    if (!parse<SAVE_MARKS>(args, kwds, &parsed)) return nullptr;
    PyObject *path = parsed[0], *records_obj = parsed[1], *settlements_obj = parsed[2],
             *instrument_obj = parsed[3], *premium_obj = parsed[4];
    std::string fs_path;
    std::uint64_t instrument = 1;
    bool premium = false;
    if (!fs_path_of(path, "path", &fs_path) || !to_u64(instrument_obj, "instrument", &instrument) ||
        !to_bool(premium_obj, "premium", &premium)) {
      return nullptr;
    }
    Ref records = Ref::steal(PyObject_GetIter(records_obj));
    if (!records) return nullptr;
    Ref settlements = Ref::steal(PyObject_GetIter(settlements_obj));
    if (!settlements) return nullptr;
    std::optional<data::MarkWriter> begun = begin_writer<data::MarkWriter>(path, [&] {
      return data::MarkWriter::begin(fs_path, instrument,
                                     premium ? data::MarkKind::Premium : data::MarkKind::Price);
    });
    if (!begun) return nullptr;
    // Dropped on any early return, which abandons the file.
    data::MarkWriter writer = std::move(*begun);
    std::optional<data::MarkError> refused;
    std::vector<data::MarkRecord> batch;
    batch.reserve(SAVE_BATCH);
    std::uint64_t index = 0;
    for (;;) {
      Ref item = Ref::steal(PyIter_Next(records.get()));
      if (!item) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      std::int64_t v[3];
      if (!item_ints(item.get(), "records", index++, 2, 3, v)) return nullptr;
      batch.push_back(data::MarkRecord{v[0], v[1], v[2]});
      if (batch.size() == SAVE_BATCH && !write_batch(writer, batch, &refused)) break;
    }
    if (!refused && writer.failed() == 0) (void)write_batch(writer, batch, &refused);
    index = 0;
    while (!refused && writer.failed() == 0) {
      Ref item = Ref::steal(PyIter_Next(settlements.get()));
      if (!item) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      std::int64_t v[3];
      if (!item_ints(item.get(), "settlements", index++, 3, 3, v)) return nullptr;
      refused = writer.add_settlement(data::PricedRate{v[0], v[1], v[2]});
    }
    if (refused) {
      raise_value_error(refused->display());
      return nullptr;
    }
    if (!commit_writer(writer, path)) return nullptr;
    return Source::make(st, path);
  });
}

PyObject* mark_settlements(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<MARK_SETTLEMENTS> parsed;
    if (!parse<MARK_SETTLEMENTS>(args, kwds, &parsed)) return nullptr;
    const MarkSourceData* data = nullptr;
    if (!Source::source_of(parsed[0], "source", &data)) return nullptr;
    std::optional<data::MarkReader> reader = Source::open_reader(*data);
    if (!reader) return nullptr;
    std::optional<std::variant<std::vector<data::PricedRate>, data::MarkError>> read;
    {
      Gil gil;
      run_unlocked(gil, [&] { read = reader->settlements(); });
    }
    if (auto* error = std::get_if<data::MarkError>(&*read)) {
      Source::raise_file_error(*data, *error);
      return nullptr;
    }
    const auto& rates = std::get<std::vector<data::PricedRate>>(*read);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rates.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rates.size(); ++i) {
      PyObject* item = Py_BuildValue("(LLL)", static_cast<long long>(rates[i].time),
                                     static_cast<long long>(rates[i].rate),
                                     static_cast<long long>(rates[i].price));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyMethodDef mark_functions[] = {
    function_def<MarkFile::LOAD>(Source::load,
                                 "Open a mark file, reading only its header.\n\n"
                                 "# Errors\n\n"
                                 "ValueError \"{path}: {error}\" with the mark reader's text."),
    function_def<SAVE_MARKS>(
        save_marks,
        "Write (time ns, mark[, index]) records and (time ns, rate, price)\n"
        "settlements to a mark file at `path`.\n\n"
        "# Errors\n\n"
        "TypeError for an item that is no tuple of ints; ValueError with the\n"
        "mark writer's text for records out of order; OSError for a path that\n"
        "cannot be written.  Nothing at `path` changes on an error."),
    function_def<MarkFile::READ>(
        Source::read,
        "Iterate the (time ns, mark, index) records of a MarkSource's file, streamed.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the mark reader's text."),
    function_def<MARK_SETTLEMENTS>(
        mark_settlements,
        "The (time ns, rate billionths, price ticks) settlements of a MarkSource's file.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the mark reader's text."),
};

}  // namespace

bool mark_source_of(PyObject* obj, const char* arg, const MarkSourceData** out) {
  return Source::source_of(obj, arg, out);
}

void raise_mark_file_error(const MarkSourceData& source, const data::MarkError& error) {
  Source::raise_file_error(source, error);
}

const std::array<ClassEntry<DataState>, 2> MARK_SOURCE_CLASSES = {{
    {[] { return &source_spec; }, &DataState::mark_source_type},
    {[] { return &Source::stream_spec; }, &DataState::mark_file_reader_type, false},
}};

int add_mark_functions(PyObject* module, DataState* st) {
  if (add_classes(module, st, MARK_SOURCE_CLASSES) < 0) return -1;
  return add_functions(module, mark_functions);
}

}  // namespace halvorn::py::market_data
