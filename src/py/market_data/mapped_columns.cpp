#include "py/market_data/mapped_columns.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "data/crc32.hpp"
#include "data/ticks.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/gil.hpp"
#include "py/market_data/column_arguments.hpp"
#include "py/market_data/data_state.hpp"
#include "py/read_only_buffer.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

// Records are read in place as the machine's own integers.
static_assert(std::endian::native == std::endian::little, "tick files are little-endian");

namespace {

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

constexpr auto MAP_COLUMNS = signature("halvorn.data._native.map_columns", either("path"));

PyObject* map_columns(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<MAP_COLUMNS> parsed;
    if (!parse<MAP_COLUMNS>(args, kwds, &parsed)) return nullptr;
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

}  // namespace

const std::array<ClassEntry<DataState>, 2> MAPPED_CLASSES = {{
    {[] { return &mapping_spec; }, &DataState::mapping_type, false},
    {[] { return &mapped_column_spec; }, &DataState::mapped_column_type, false},
}};

PyMethodDef mapped_functions[1] = {
    function_def<MAP_COLUMNS>(
        map_columns,
        "Map a tick file read-only and check it (header, checksum, time order).\n\n"
        "Returns (count, instrument, views): the eight columns in record order,\n"
        "each a read-only strided int64 memoryview over the mapping.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the tick reader's text."),
};

}  // namespace halvorn::py::market_data
