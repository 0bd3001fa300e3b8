// Columns as arguments: a 1-D buffer of signed or unsigned integers of 8 to
// 64 bits or of float64 values, strided or not, read in place (NumPy is a
// choice of the caller, never a dependency), or a sequence of ints copied
// once.  A float64 column is taken as it is; what it is counted in is the
// writer's business (column_writer.hpp).
//
// Thread-safety: take() with the interpreter lock held; the column it gives
// may then be read without it while the HeldColumn lives.

#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "data/column_writer.hpp"
#include "py/pyref.hpp"

namespace halvorn::py::market_data {

// The eight fields in record order, as arguments and column names.
inline constexpr std::array<const char*, 8> FIELDS = {"exch_ts", "local_ts", "last", "high",
                                                      "low",     "bid",      "ask",  "volume"};

// The element kind of a buffer's format ("q", "<i", "@B", "d", ...), by its
// code and size; false for anything but an integer or a float64 of the
// machine's order or little-endian.
bool element_kind(const char* format, Py_ssize_t itemsize, data::ElementKind* out);

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
  bool take(PyObject* obj, const char* arg);

  const data::Column& column() const { return column_; }

 private:
  bool take_buffer(PyObject* obj, const char* arg);

  Py_buffer view_{};
  bool has_view_ = false;
  std::vector<std::int64_t> copy_;
  data::Column column_;
};

}  // namespace halvorn::py::market_data
