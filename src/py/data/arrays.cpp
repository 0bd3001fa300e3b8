#include "py/data/arrays.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/column_writer.hpp"
#include "data/crc32.hpp"
#include "data/csv_error.hpp"
#include "data/decimal.hpp"
#include "data/tick_writer.hpp"
#include "data/ticks.hpp"
#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/data/data_state.hpp"
#include "py/gil.hpp"
#include "py/read_only_buffer.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

// Records are read in place as the machine's own integers.
static_assert(std::endian::native == std::endian::little, "tick files are little-endian");

namespace {

// The eight fields in record order, as arguments and column names.
constexpr std::array<const char*, 8> FIELDS = {"exch_ts", "local_ts", "last", "high",
                                               "low",     "bid",      "ask",  "volume"};

// ---------------------------------------------------------------------------
// Columns in

// The element kind of a buffer's format ("q", "<i", "@B", ...), by its
// letter for the sign and its item size for the width; false when it is no
// integer format this reads.
bool element_kind(const char* format, Py_ssize_t itemsize, data::ElementKind* out) {
  if (format == nullptr) format = "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return false;
  const char letter = format[0];
  if (std::strchr("bhilqn", letter) != nullptr) {
    switch (itemsize) {
      case 1:
        *out = data::ElementKind::I8;
        return true;
      case 2:
        *out = data::ElementKind::I16;
        return true;
      case 4:
        *out = data::ElementKind::I32;
        return true;
      case 8:
        *out = data::ElementKind::I64;
        return true;
      default:
        return false;
    }
  }
  if (std::strchr("BHILQN", letter) != nullptr) {
    switch (itemsize) {
      case 1:
        *out = data::ElementKind::U8;
        return true;
      case 2:
        *out = data::ElementKind::U16;
        return true;
      case 4:
        *out = data::ElementKind::U32;
        return true;
      case 8:
        *out = data::ElementKind::U64;
        return true;
      default:
        return false;
    }
  }
  return false;
}

// One column argument, held for the duration of a write: a buffer read in
// place, or a sequence of ints copied once.
class HeldColumn {
 public:
  HeldColumn() = default;
  HeldColumn(const HeldColumn&) = delete;
  HeldColumn& operator=(const HeldColumn&) = delete;
  ~HeldColumn() {
    if (has_view_) PyBuffer_Release(&view_);
  }

  // Takes `obj` (None: absent).  False with TypeError or OverflowError
  // naming `arg`.
  bool take(PyObject* obj, const char* arg) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyObject_CheckBuffer(obj)) return take_buffer(obj, arg);
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected a 1-D integer array or a sequence of int, got %.200s",
                   arg, Py_TYPE(obj)->tp_name);
      return false;
    }
    // Walked as a tuple of our own: an element's __index__ may empty the
    // caller's list.
    Ref items = frozen_items(obj);
    if (!items) {
      raise_from_current(PyExc_TypeError,
                         std::string("argument '") + arg + "': expected a sequence of int");
      return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    copy_.resize(static_cast<std::size_t>(n));
    PyObject** values = PySequence_Fast_ITEMS(items.get());
    std::string name;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyLong_CheckExact(values[i])) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(values[i], &overflow);
        if (overflow == 0) {
          copy_[static_cast<std::size_t>(i)] = v;
          continue;
        }
      }
      name = std::string(arg) + "[" + std::to_string(i) + "]";
      if (!to_i64(values[i], name.c_str(), &copy_[static_cast<std::size_t>(i)])) return false;
    }
    column_ =
        data::Column{copy_.data(), copy_.size(), sizeof(std::int64_t), data::ElementKind::I64};
    // An empty column is still present: a non-null pointer says so.
    if (copy_.empty()) column_.data = &column_;
    return true;
  }

  const data::Column& column() const { return column_; }

 private:
  bool take_buffer(PyObject* obj, const char* arg) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
      raise_from_current(PyExc_TypeError, std::string("argument '") + arg +
                                              "': its buffer cannot be read as a strided array");
      return false;
    }
    has_view_ = true;
    if (view_.ndim != 1) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a 1-D array, got %d dimensions", arg,
                   view_.ndim);
      return false;
    }
    data::ElementKind kind;
    if (!element_kind(view_.format, view_.itemsize, &kind)) {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected integers (signed or unsigned, 8 to 64 bits, native "
                   "or little-endian), got a buffer of format '%s'",
                   arg, view_.format != nullptr ? view_.format : "B");
      return false;
    }
    const std::size_t n = static_cast<std::size_t>(view_.shape[0]);
    const std::ptrdiff_t stride = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
    // An empty buffer may have no memory at all; present all the same.
    column_ = data::Column{view_.buf != nullptr ? view_.buf : &column_, n, stride, kind};
    return true;
  }

  Py_buffer view_{};
  bool has_view_ = false;
  std::vector<std::int64_t> copy_;
  data::Column column_;
};

// ---------------------------------------------------------------------------
// Writer

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

// ---------------------------------------------------------------------------
// A mapped tick file and its columns

struct MappedData {
  void* base = nullptr;
  std::size_t size = 0;

  MappedData() = default;
  MappedData(void* b, std::size_t s) : base(b), size(s) {}
  MappedData(MappedData&& o) noexcept
      : base(std::exchange(o.base, nullptr)), size(std::exchange(o.size, 0)) {}
  MappedData& operator=(MappedData&& o) noexcept {
    std::swap(base, o.base);
    std::swap(size, o.size);
    return *this;
  }
  ~MappedData() {
    if (base != nullptr) ::munmap(base, size);
  }
};

struct MappedColumnData {
  Ref mapping;  // keeps the records mapped
  const std::int64_t* first = nullptr;
  Py_ssize_t length = 0;
  Py_ssize_t shape[1] = {0};
  Py_ssize_t strides[1] = {data::RECORD_BYTES};
};

char COLUMN_FORMAT[] = "q";

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  MappedColumnData& d = unbox<MappedColumnData>(self);
  return export_read_only(
      self, view, flags,
      ReadOnlyView{d.first, d.length, sizeof(std::int64_t), data::RECORD_BYTES, COLUMN_FORMAT,
                   d.shape, d.strides, "a tick file's columns are read-only",
                   "a tick file's column is every eighth integer of its records, not "
                   "contiguous; read it with numpy.asarray or memoryview, or copy it"});
}

PyType_Slot mapping_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<MappedData>)},
    {Py_tp_doc, const_cast<char*>("A tick file mapped read-only, its records checked.")},
    {0, nullptr},
};

PyType_Spec mapping_spec = {"halvorn.data._native.Mapping", sizeof(Boxed<MappedData>), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, mapping_slots};

PyType_Slot column_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<MappedColumnData>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {Py_tp_doc, const_cast<char*>("One field of a mapped tick file: a strided int64 buffer.")},
    {0, nullptr},
};

PyType_Spec mapped_column_spec = {"halvorn.data._native.MappedColumn",
                                  sizeof(Boxed<MappedColumnData>), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, column_slots};

// What the checks of a mapped file found, as the reader would say it.
std::optional<data::Error> check_records(const std::uint8_t* base, std::size_t size,
                                         std::uint64_t* count, std::uint64_t* instrument) {
  if (size < data::HEADER_BYTES) return data::Error{data::Truncated{data::HEADER_BYTES, 0}};
  std::uint32_t magic, checksum;
  std::uint16_t version;
  std::memcpy(&magic, base, 4);
  std::memcpy(&version, base + 4, 2);
  std::memcpy(count, base + 8, 8);
  std::memcpy(instrument, base + 16, 8);
  std::memcpy(&checksum, base + 24, 4);
  if (magic != data::MAGIC) return data::Error{data::BadMagic{magic}};
  if (version != data::VERSION) return data::Error{data::UnknownVersion{version}};
  const std::uint64_t present = (size - data::HEADER_BYTES) / data::RECORD_BYTES;
  if (*count > present) {
    // As the reader reports it: the size promised, and what the blocks read
    // whole before the short one hold.
    std::uint64_t needed;
    if (__builtin_mul_overflow(*count, data::RECORD_BYTES, &needed) ||
        __builtin_add_overflow(needed, data::HEADER_BYTES, &needed)) {
      needed = UINT64_MAX;
    }
    const std::uint64_t whole = present / data::BLOCK_RECORDS * data::BLOCK_RECORDS;
    return data::Error{data::Truncated{needed, data::HEADER_BYTES + whole * data::RECORD_BYTES}};
  }
  const std::uint8_t* records = base + data::HEADER_BYTES;
  const std::uint32_t computed = data::crc32(records, *count * data::RECORD_BYTES);
  if (computed != checksum) return data::Error{data::ChecksumMismatch{checksum, computed}};
  std::int64_t previous = INT64_MIN;
  for (std::uint64_t i = 0; i < *count; ++i) {
    std::int64_t t;
    std::memcpy(&t, records + i * data::RECORD_BYTES, sizeof t);
    if (t < previous) return data::Error{data::GoesBackwards{i, previous, t}};
    previous = t;
  }
  return std::nullopt;
}

PyObject* map_columns(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    static const char* kwlist[] = {"path", nullptr};
    Arguments<1> parsed;
    if (!parse_arguments(args, kwds, "O:map_columns", kwlist, &parsed)) return nullptr;
    PyObject* path_obj = parsed[0];
    std::string path;
    if (!fs_path_of(path_obj, "path", &path)) return nullptr;
    std::optional<data::Error> error;
    MappedData mapped;
    std::uint64_t count = 0, instrument = 0;
    Gil gil;
    run_unlocked(gil, [&] {
      // As the reader: a file that cannot be opened is one with no header.
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat info;
      if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
          static_cast<std::uint64_t>(info.st_size) < data::HEADER_BYTES) {
        if (fd >= 0) ::close(fd);
        error = data::Error{data::Truncated{data::HEADER_BYTES, 0}};
        return;
      }
      const auto size = static_cast<std::size_t>(info.st_size);
      void* base = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      ::close(fd);
      if (base == MAP_FAILED) {
        error = data::Error{data::Truncated{data::HEADER_BYTES, 0}};
        return;
      }
      mapped = MappedData(base, size);
      error = check_records(static_cast<const std::uint8_t*>(base), size, &count, &instrument);
    });
    if (error) {
      PyErr_Format(PyExc_ValueError, "%U: %s", path_obj, error->display().c_str());
      return nullptr;
    }
    if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "the file has more records than a buffer can index");
      return nullptr;
    }
    const auto* records = static_cast<const std::uint8_t*>(mapped.base) + data::HEADER_BYTES;
    Ref mapping = Ref::steal(box(st->mapping_type, std::move(mapped)));
    Ref views = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(FIELDS.size())));
    if (!mapping || !views) return nullptr;
    for (std::size_t i = 0; i < FIELDS.size(); ++i) {
      MappedColumnData column;
      column.mapping = mapping;
      column.first = reinterpret_cast<const std::int64_t*>(records + i * sizeof(std::int64_t));
      column.length = static_cast<Py_ssize_t>(count);
      Ref exporter = Ref::steal(box(st->mapped_column_type, std::move(column)));
      if (!exporter) return nullptr;
      PyObject* view = PyMemoryView_FromObject(exporter.get());
      if (view == nullptr) return nullptr;
      PyTuple_SET_ITEM(views.get(), static_cast<Py_ssize_t>(i), view);
    }
    return Py_BuildValue("(KKO)", static_cast<unsigned long long>(count),
                         static_cast<unsigned long long>(instrument), views.get());
  });
}

// ---------------------------------------------------------------------------
// Decimal text to steps, a column at a time

PyObject* scale_texts(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    static const char* kwlist[] = {"offsets",  "data",   "offset", "length",    "step", "unit",
                                   "rounding", "column", "place",  "first_row", nullptr};
    Arguments<10> parsed;
    if (!parse_arguments(args, kwds, "OOOO$OOOOOO:scale_texts", kwlist, &parsed)) return nullptr;
    PyObject *offsets_obj = parsed[0], *data_obj = parsed[1], *step_obj = parsed[4],
             *unit_obj = parsed[5], *rounding_obj = parsed[6], *column_obj = parsed[7],
             *place_obj = parsed[8];
    std::int64_t offset = 0, length = 0, first_row = 0;
    if (!to_i64(parsed[2], "offset", &offset) || !to_i64(parsed[3], "length", &length) ||
        !to_i64(parsed[9], "first_row", &first_row)) {
      return nullptr;
    }
    std::string step_text, unit, rounding, column, place;
    if (!PyUnicode_Check(step_obj) || !PyUnicode_Check(unit_obj) ||
        !PyUnicode_Check(rounding_obj) || !PyUnicode_Check(column_obj) ||
        !PyUnicode_Check(place_obj)) {
      PyErr_SetString(PyExc_TypeError,
                      "scale_texts: step, unit, rounding, column and place are str");
      return nullptr;
    }
    if (!utf8_of(step_obj, &step_text) || !utf8_of(unit_obj, &unit) ||
        !utf8_of(rounding_obj, &rounding) || !utf8_of(column_obj, &column) ||
        !utf8_of(place_obj, &place)) {
      return nullptr;
    }
    std::optional<data::Step> step = data::parse_step(step_text);
    if (!step) {
      raise_value_error(data::ConvertError{
          data::Place{}, data::BadStep{unit == "lots" ? "lot_size" : "tick_size", step_text}}
                            .display());
      return nullptr;
    }
    const data::Rounding mode = rounding == "down" ? data::Rounding::Down
                                : rounding == "up" ? data::Rounding::Up
                                                   : data::Rounding::Exact;
    const bool quantity = unit == "lots";
    Py_buffer offsets, data;
    if (PyObject_GetBuffer(offsets_obj, &offsets, PyBUF_SIMPLE) < 0) return nullptr;
    if (PyObject_GetBuffer(data_obj, &data, PyBUF_SIMPLE) < 0) {
      PyBuffer_Release(&offsets);
      return nullptr;
    }
    struct Release {
      Py_buffer* a;
      Py_buffer* b;
      ~Release() {
        PyBuffer_Release(a);
        PyBuffer_Release(b);
      }
    } release{&offsets, &data};
    const auto offsets_held =
        static_cast<std::int64_t>(static_cast<std::size_t>(offsets.len) / sizeof(std::int64_t));
    if (offset < 0 || length < 0 || offset >= offsets_held || length > offsets_held - offset - 1) {
      PyErr_SetString(PyExc_ValueError, "scale_texts: the offsets do not cover the rows");
      return nullptr;
    }
    Ref out = Ref::steal(PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(static_cast<std::size_t>(length) * sizeof(std::int64_t))));
    if (!out) return nullptr;
    auto* values = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
    const auto* ends = static_cast<const std::int64_t*>(offsets.buf) + offset;
    const auto* text = static_cast<const char*>(data.buf);
    std::optional<data::ConvertError> error;
    Gil gil;
    run_unlocked(gil, [&] {
      const std::string detail = unit + " of " + step->text;
      for (std::int64_t i = 0; i < length && !error; ++i) {
        const std::int64_t begin = ends[i], end = ends[i + 1];
        if (begin < 0 || end < begin || end > data.len) {
          error = data::ConvertError{data::Place{place, 0}, data::ReadFailed{}};
          break;
        }
        const std::string_view field(text + begin, static_cast<std::size_t>(end - begin));
        const data::Place where{
            place, static_cast<std::uint64_t>(first_row) + static_cast<std::uint64_t>(i) + 1};
        data::Decimal d;
        switch (data::parse_decimal(field, &d)) {
          case data::DecimalFault::None:
            break;
          case data::DecimalFault::NotANumber:
            error = data::ConvertError{
                where, data::BadField{column, std::string(field), data::Expected::Decimal}};
            continue;
          case data::DecimalFault::TooManyDigits:
            error = data::ConvertError{
                where, data::OutOfRange{column, std::string(field), data::Limit::Digits, ""}};
            continue;
          case data::DecimalFault::OutOfRange:
            error = data::ConvertError{
                where, data::OutOfRange{column, std::string(field), data::Limit::Exponent, ""}};
            continue;
        }
        if (quantity && d.negative && d.digits != 0) {
          error = data::ConvertError{where, data::Negative{column, std::string(field)}};
          continue;
        }
        const data::Scaled s = data::scale(d, *step, mode);
        if (s.fault == data::ScaleFault::NotMultiple) {
          error = data::ConvertError{where,
                                     data::NotMultiple{column, std::string(field), detail, false}};
        } else if (s.fault == data::ScaleFault::OutOfRange) {
          error = data::ConvertError{
              where, data::OutOfRange{column, std::string(field), data::Limit::Steps, detail}};
        } else {
          values[i] = s.count;
        }
      }
    });
    if (error) {
      raise_value_error(error->display());
      return nullptr;
    }
    return out.release();
  });
}

PyMethodDef array_functions[] = {
    {"map_columns", as_cfunction(map_columns), METH_VARARGS | METH_KEYWORDS,
     "map_columns(path)\n--\n\n"
     "Map a tick file read-only and check it (header, checksum, time order).\n\n"
     "Returns (count, instrument, views): the eight columns in record order,\n"
     "each a read-only strided int64 memoryview over the mapping.\n\n"
     "# Errors\n\n"
     "ValueError \"{path}: {error}\" with the tick reader's text."},
    {"scale_texts", as_cfunction(scale_texts), METH_VARARGS | METH_KEYWORDS,
     "scale_texts(offsets, data, offset, length, *, step, unit, rounding, column, place, "
     "first_row)\n--\n\n"
     "Scale a column of decimal texts (int64 offsets and bytes, as a large\n"
     "string array lays them out) to whole steps; returns a bytearray of int64.\n\n"
     "# Errors\n\n"
     "ValueError with the converter's text, placed at `place` and the row."},
};

}  // namespace

const std::array<ClassEntry<DataState>, 3> ARRAY_CLASSES = {{
    {[] { return &writer_spec; }, &DataState::writer_type},
    // The mapping and its columns are handed out, never made from Python, and
    // not part of the module's surface.
    {[] { return &mapping_spec; }, &DataState::mapping_type, false},
    {[] { return &mapped_column_spec; }, &DataState::mapped_column_type, false},
}};

int add_array_functions(PyObject* module, DataState* st) {
  if (add_classes(module, st, ARRAY_CLASSES) < 0) return -1;
  return add_functions(module, array_functions);
}

}  // namespace halvorn::py::market_data
