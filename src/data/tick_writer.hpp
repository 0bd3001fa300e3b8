// Writing a tick file of any size without holding it: records are appended
// block by block under a running CRC-32, and the header -- which needs the
// count and the checksum of everything after it -- is written last.
//
// The file is written through a Replacement, so until finish() succeeds
// nothing at the target has changed: a conversion that fails half-way, or a
// writer dropped without finishing, leaves an existing file byte for byte and
// no file where there was none.
//
// The writer refuses a tick whose exchange time goes below the one before it,
// with the reader's own error: a file the reader would refuse is never
// written, so a mistake is found at writing, not hours into a run.
//
// Given the instrument's definition, the writer puts it after the records as
// the instrument block (instrument_block.hpp), which readers of records never
// see, so that the file says what its integers mean.
//
// Thread-safety: a TickWriter is used by one thread at a time.

#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>

#include "data/instrument_definition.hpp"
#include "data/replace.hpp"
#include "data/tick_quality.hpp"
#include "data/ticks.hpp"
#include "engine/tick.hpp"

namespace halvorn::data {

// The file system refused a step of writing `path`; `code` is its errno.
struct WriteFailed {
  std::string path;
  int code = 0;

  // "{path}: {the system's description of code}", e.g.
  // "out/a.hvtk: No such file or directory".
  std::string display() const;
  friend bool operator==(const WriteFailed&, const WriteFailed&) = default;
};

// Why a writer stopped: the file system, or a tick out of order (the
// reader's GoesBackwards, with the tick's 0-based index in the file).
using WriteError = std::variant<WriteFailed, GoesBackwards>;

// The text of either kind.
std::string display(const WriteError& error);

class TickWriter;
using WriterBegun = std::variant<TickWriter, WriteFailed>;

// A tick file being written.
//
// Invariants: holds at most one block (BLOCK_RECORDS records) in memory;
// after an error every later call returns that error, finish() commits
// nothing, and what was written so far is already removed.
class TickWriter {
 public:
  // Starts a file for `instrument` that will replace `path`.  Fails at once
  // when `path` cannot be written, or is a pipe or device, which cannot take
  // a header written last (ESPIPE).
  static WriterBegun begin(const std::string& path, std::uint64_t instrument);

  TickWriter(TickWriter&&) noexcept = default;
  TickWriter& operator=(TickWriter&&) noexcept = default;
  TickWriter(const TickWriter&) = delete;
  TickWriter& operator=(const TickWriter&) = delete;
  ~TickWriter() = default;  // unfinished: the target is left as it was

  // Appends ticks in order.  Returns the first error, if any; ticks before
  // the one that goes backwards are kept, but the file will not be finished.
  std::optional<WriteError> append(std::span<const engine::Tick> ticks);

  // Has finish() write `d` after the records, in place of any definition
  // given before.  Refused, leaving the writer as it was, when `d` could not
  // be read back (check_definition) or its id is not the instrument the
  // writer began with.
  std::optional<DefinitionProblem> set_instrument(InstrumentDefinition d);

  // Writes what is buffered, the instrument block when there is a
  // definition, and the header, and puts the file in place.
  // Returns the error, in which case the target is as it was.  A finished
  // writer takes no more ticks: later calls fail with EBADF.
  std::optional<WriteError> finish();

  // Ticks appended so far.
  std::uint64_t count() const { return count_; }
  // What the local and the exchange clocks of the ticks appended so far say
  // of each other: every writer measures it, so that every converter can
  // say when latency counted from the local clock would be off.
  ClockFindings clock() const { return clock_.findings(); }

 private:
  TickWriter(Replacement file, std::string path, std::uint64_t instrument);
  std::optional<WriteError> flush();
  std::optional<WriteError> fail(WriteError e);

  std::optional<Replacement> file_;  // dropped at the first error, removing what it wrote
  std::string path_;
  std::uint64_t instrument_ = 0;
  std::optional<InstrumentDefinition> definition_;
  std::unique_ptr<std::uint8_t[]> block_;  // BLOCK_RECORDS records
  std::size_t buffered_ = 0;               // records in block_
  std::uint64_t count_ = 0;
  std::uint32_t crc_ = 0;
  std::int64_t previous_ = INT64_MIN;  // the exchange time of the last tick appended
  ClockMeter clock_;
  std::optional<WriteError> error_;
};

}  // namespace halvorn::data
