// Writing depth files: DepthWriter streams records into a new file that
// takes the place of its target only once it is complete.
//
// A depth stream can be far larger than memory, so the writer holds one
// buffer of record bytes, not the file: records go out as the buffer fills,
// under a running checksum, and the header, which depends on all of them, is
// written last over the placeholder the file starts with.  The file is a
// Replacement: until commit succeeds the target is untouched, and a writer
// that fails or is dropped leaves nothing behind.
//
// Given the instrument's definition, the writer puts it after the records as
// the instrument block (instrument_block.hpp), which readers of records never
// see, so that the file says what its integers mean.
//
// Thread-safety: a DepthWriter is used by one thread at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "book/depth_records.hpp"
#include "data/depth_file.hpp"
#include "data/instrument_definition.hpp"
#include "data/replace.hpp"

namespace halvorn::data {

// Record bytes gathered before they are written out.
inline constexpr std::size_t DEPTH_WRITE_BUFFER_BYTES = 1u << 20;

class DepthWriter;
using DepthBegun = std::variant<DepthWriter, int>;

// A DepthWriter is a depth file for `instrument` being written to replace
// `path`.
//
// Invariants: the file holds the header placeholder followed by the bytes of
// every accepted record not still in the buffer; the target is unchanged
// until commit succeeds.
class DepthWriter {
 public:
  // Starts a depth file that will replace `path`.  Returns the errno of the
  // step that failed (as Replacement::begin does).  A target that is neither
  // a regular file nor absent (a device, a pipe) is written in place and
  // cannot be rewound to take the header: commit fails with ESPIPE.
  static DepthBegun begin(const std::string& path, std::uint64_t instrument);

  DepthWriter(DepthWriter&&) noexcept = default;
  DepthWriter& operator=(DepthWriter&&) noexcept = default;
  DepthWriter(const DepthWriter&) = delete;
  DepthWriter& operator=(const DepthWriter&) = delete;
  ~DepthWriter() = default;  // abandons the file unless committed

  // Adds one record.  A record a reader would refuse is refused with the
  // error a reader would give for it, nothing of it is written, and the
  // writer goes on as if it had not been offered.  A write that fails is
  // remembered (failed()), and from then on nothing more is written; the
  // records are still checked.
  std::optional<DepthError> add(const book::DepthRecord& record);

  // Has commit() write `d` after the records, in place of any definition
  // given before.  Refused, leaving the writer as it was, when `d` could not
  // be read back (check_definition) or its id is not the instrument the
  // writer began with.
  std::optional<DefinitionProblem> set_instrument(InstrumentDefinition d);

  // Writes what is buffered, the instrument block when there is a
  // definition, then the header, and puts the file in place of
  // the target.  Returns 0, or the errno of the first step that failed
  // (including a write while adding), in which case the target is as it was
  // and nothing is left behind.  Requires: called at most once.
  int commit();

  // The errno of the first failed write, 0 while none has failed: lets a long
  // conversion stop early instead of learning it at commit.
  int failed() const { return error_; }
  std::uint64_t count() const { return encoder_.count(); }
  std::uint64_t levels() const { return encoder_.levels(); }

 private:
  DepthWriter(Replacement file, std::uint64_t instrument);
  void flush();

  Replacement file_;
  DepthEncoder encoder_;
  std::uint64_t instrument_ = 0;
  std::optional<InstrumentDefinition> definition_;
  std::vector<std::uint8_t> buffer_;
  int error_ = 0;
};

}  // namespace halvorn::data
