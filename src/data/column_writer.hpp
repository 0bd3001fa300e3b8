// A tick file from eight integer columns, as a caller holding arrays has
// them: each column a strided view of signed or unsigned integers of 8 to 64
// bits, read in place and never copied whole.
//
// This is what lets a caller with data in arrays (from a data frame, a
// memory-mapped file, a computation) write a file without building one tick
// object per row: the columns are gathered a block at a time into records
// and streamed through a TickWriter, so memory stays at one block whatever
// the length.
//
// Thread-safety: write_columns reads the columns and nothing else; the caller
// keeps them alive and unchanged for the duration of the call.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "data/tick_writer.hpp"

namespace halvorn::data {

enum class ElementKind : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64 };

// Element i of a column is the integer of `kind` at data + i × stride bytes
// (the stride may be negative, or 0 to repeat one value).  A column with
// data == nullptr is absent.
struct Column {
  const void* data = nullptr;
  std::size_t length = 0;
  std::ptrdiff_t stride = 0;
  ElementKind kind = ElementKind::I64;

  bool present() const { return data != nullptr; }
};

// The eight fields of a tick, in record order.  exch_ts and last are
// required; an absent column takes the field's usual default: local_ts =
// exch_ts, high = low = last, bid = ask = volume = 0.
struct Columns {
  Column exch_ts, local_ts, last, high, low, bid, ask, volume;
};

// A required column is absent: "column {name} is required".
struct MissingColumn {
  const char* name = "";
};
// Present columns of different lengths:
// "column {name} has {length} values, column exch_ts has {expected}".
struct LengthMismatch {
  const char* name = "";
  std::size_t length = 0;
  std::size_t expected = 0;
};
// An unsigned value above the largest signed 64-bit integer:
// "column {name}, row {row}: {value} does not fit in a signed 64-bit integer".
struct ValueOutOfRange {
  const char* name = "";
  std::uint64_t row = 0;
  std::uint64_t value = 0;
};

// Why a file could not be written from columns.  The tick file's own
// GoesBackwards names the row (rows and ticks correspond one to one).
struct ColumnsError {
  std::variant<MissingColumn, LengthMismatch, ValueOutOfRange, WriteFailed, GoesBackwards> kind;

  std::string display() const;
};

// Writes the rows of `columns` to a tick file at `path` for `instrument`.
// Returns the number of ticks written.  On any error nothing at `path` has
// changed.
std::variant<std::uint64_t, ColumnsError> write_columns(const std::string& path,
                                                        std::uint64_t instrument,
                                                        const Columns& columns);

// The same into a writer that is already open (so that several column
// sets can make one file); the writer is not finished.
std::optional<ColumnsError> append_columns(TickWriter& writer, const Columns& columns);

}  // namespace halvorn::data
