// Writing mark files: MarkWriter streams records into a file that replaces
// its target only once it is whole (replace.hpp), so a failed write leaves
// what was there.  mark_file.hpp gives the format.
//
// Thread-safety: a MarkWriter is used by one thread at a time.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data/funding_csv.hpp"
#include "data/instrument_definition.hpp"
#include "data/mark_file.hpp"
#include "data/replace.hpp"

namespace halvorn::data {

class MarkWriter;
using MarkBegun = std::variant<MarkWriter, int>;

// A mark file being written to replace `path`: records streamed through one
// buffer, settlements held until commit (there are a few a day), and the
// header, which depends on everything, written last.
//
// Invariants: until commit succeeds the target is unchanged; records added
// are in time order, settlements in strictly increasing time.
class MarkWriter {
 public:
  // Returns the errno of the step that failed, as Replacement::begin does.
  static MarkBegun begin(const std::string& path, std::uint64_t instrument, MarkKind kind);

  MarkWriter(MarkWriter&&) noexcept = default;
  MarkWriter& operator=(MarkWriter&&) noexcept = default;
  MarkWriter(const MarkWriter&) = delete;
  MarkWriter& operator=(const MarkWriter&) = delete;
  ~MarkWriter() = default;  // abandons the file unless committed

  // Adds a record; refused (and not written) with the reader's own error
  // when its time is below the previous record's, or when a file of prices
  // is given a mark of 0 or below.  A write that fails is
  // remembered (failed()) and nothing more is written.
  std::optional<MarkError> add(const MarkRecord& record);

  // Adds a settlement; refused unless after the previous one.
  std::optional<MarkError> add_settlement(const PricedRate& settlement);

  // As TickWriter::set_instrument.
  std::optional<DefinitionProblem> set_instrument(InstrumentDefinition d);

  // Writes the rest and puts the file in place.  Returns 0 or the errno of
  // the first step that failed (a write while adding included), in which
  // case the target is as it was.  Requires: called at most once.
  int commit();

  int failed() const { return error_; }
  std::uint64_t count() const { return count_; }
  std::uint64_t settlements() const { return settlements_.size(); }

 private:
  MarkWriter(Replacement file, std::uint64_t instrument, MarkKind kind);
  void flush();

  Replacement file_;
  std::uint64_t instrument_ = 0;
  MarkKind kind_ = MarkKind::Price;
  std::optional<InstrumentDefinition> definition_;
  std::vector<std::uint8_t> buffer_;
  std::vector<PricedRate> settlements_;
  std::uint64_t count_ = 0;
  std::uint32_t crc_ = 0;
  Nanos previous_ = INT64_MIN;
  int error_ = 0;
};

}  // namespace halvorn::data
