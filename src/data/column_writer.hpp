// A tick file from eight columns, as a caller holding arrays has them: each
// column a strided view of signed or unsigned integers of 8 to 64 bits, or of
// float64 values counted in a step of the column's own, read in place and
// never copied whole.
//
// This is what lets a caller with data in arrays (from a data frame, a
// memory-mapped file, a computation) write a file without building one tick
// object per row: the columns are gathered a block at a time into records
// and streamed through a TickWriter, so memory stays at one block whatever
// the length.
//
// A float64 column is scaled as float_scaling.hpp scales: each value is the
// decimal its shortest text writes, counted exactly in the column's step
// (42123.4 is 421234 ticks of 0.1), refused when it is not a whole number of
// steps or rounded as the column asks.
//
// Thread-safety: write_columns reads the columns and nothing else; the caller
// keeps them alive and unchanged for the duration of the call.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "data/csv_error.hpp"
#include "data/decimal.hpp"
#include "data/float_scaling.hpp"
#include "data/instrument_definition.hpp"
#include "data/tick_writer.hpp"

namespace halvorn::data {

enum class ElementKind : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64, F64 };

// Element i of a column is the value of `kind` at data + i × stride bytes
// (the stride may be negative, or 0 to repeat one value; no alignment is
// required).  A column with data == nullptr is absent.  An F64 column counts
// its values in `step` (the tick size for a price, the lot size for the
// volume), rounded as `rounding` says; an integer column ignores both.
struct Column {
  const void* data = nullptr;
  std::size_t length = 0;
  std::ptrdiff_t stride = 0;
  ElementKind kind = ElementKind::I64;
  Step step{};
  Rounding rounding = Rounding::Exact;

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

// An F64 column without a step to count its values in:
// "column {name} holds float64 values and has no step to count them in".
struct MissingStep {
  const char* name = "";
};

// Why a file could not be written from columns.  The tick file's own
// GoesBackwards names the row (rows and ticks correspond one to one).  A
// float64 value that does not scale is the CSV converter's error for the
// same value, placed by column and row (unscaled_value_error).  A definition
// is refused with its problem.
struct ColumnsError {
  std::variant<MissingColumn, LengthMismatch, ValueOutOfRange, WriteFailed, GoesBackwards,
               MissingStep, ConvertError, DefinitionProblem>
      kind;

  std::string display() const;
};

// Float64 values rounded onto their column's grid, per field in record
// order (exch_ts, local_ts, last, high, low, bid, ask, volume).
struct RoundedValues {
  std::array<std::uint64_t, 8> by_field{};

  std::uint64_t total() const;
};

// The CSV converter's error for a float64 value that did not scale, at
// `where`, in `column`: "column last: \"42123.45\" is not a whole number of
// ticks of 0.1" (NotMultiple), "... is beyond 9223372036854775807 ticks of
// 0.1" (OutOfRange), "column last: \"nan\" is not a decimal number"
// (NotFinite).  `steps` names the step: "ticks of 0.1", "lots of 0.001".
// Requires: !scaled.ok().
ConvertError unscaled_value_error(Place where, std::string column, const ColumnScaled& scaled,
                                  std::string steps);

// Writes the rows of `columns` to a tick file at `path` for `instrument`.
// Returns the number of ticks written, and adds the values it rounded to
// `*rounded` when that is given.  On any error nothing at `path` has
// changed.  A float64 value that does not scale is reported as
// "column {name}, row {row}: ..." with rows counted from 1.
std::variant<std::uint64_t, ColumnsError> write_columns(const std::string& path,
                                                        std::uint64_t instrument,
                                                        const Columns& columns,
                                                        RoundedValues* rounded = nullptr);

// The same for definition.id, with the definition in the file's instrument
// block; a definition a file cannot hold is refused before anything is
// written.
std::variant<std::uint64_t, ColumnsError> write_columns(const std::string& path,
                                                        const InstrumentDefinition& definition,
                                                        const Columns& columns,
                                                        RoundedValues* rounded = nullptr);

// The same into a writer that is already open (so that several column
// sets can make one file); the writer is not finished.  ValueOutOfRange
// counts the rows of `columns` from 0 and GoesBackwards the ticks of the
// file from 0, as they always have; a float64 value that does not scale is
// placed by its row in `columns`, counted from 1.
std::optional<ColumnsError> append_columns(TickWriter& writer, const Columns& columns,
                                           RoundedValues* rounded = nullptr);

}  // namespace halvorn::data
