// Tick files: a 32-byte header, then fixed-width 64-byte records, written
// whole by encode and streamed back a block at a time by TickReader, so that a
// series far larger than memory can feed a run.  docs/tick_format.md gives
// the byte grammar.
//
// The reader checks the header when it opens, the order of exchange times as
// it hands records out, and a CRC-32 over all record bytes when it reads the
// last block.  Its errors are values with fixed display texts; the
// operating system's reasons are never carried in them.
//
// Thread-safety: encode is a pure function.  A TickReader is used by one
// thread at a time; it owns its file handle and buffers, so readers over the
// same file are independent.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/crc32.hpp"
#include "engine/tick.hpp"

namespace halvorn::data {

struct InstrumentDefinition;

// "HVTK" read as a little-endian unsigned 32-bit integer.
inline constexpr std::uint32_t MAGIC = 0x4B545648u;
inline constexpr std::uint16_t VERSION = 2;
inline constexpr std::size_t HEADER_BYTES = 32;
inline constexpr std::size_t RECORD_BYTES = 64;
// Records per read: the unit of both memory and checking.
inline constexpr std::size_t BLOCK_RECORDS = 8192;

static_assert(sizeof(engine::Tick) == RECORD_BYTES, "a record is one tick as the engine holds it");

// The file is shorter than its header says (or could not be read at all).
struct Truncated {
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  friend bool operator==(const Truncated&, const Truncated&) = default;
};
struct BadMagic {
  std::uint32_t magic = 0;
  friend bool operator==(const BadMagic&, const BadMagic&) = default;
};
struct UnknownVersion {
  std::uint16_t version = 0;
  friend bool operator==(const UnknownVersion&, const UnknownVersion&) = default;
};
struct ChecksumMismatch {
  std::uint32_t expected = 0;  // from the header
  std::uint32_t computed = 0;
  friend bool operator==(const ChecksumMismatch&, const ChecksumMismatch&) = default;
};
struct GoesBackwards {
  std::uint64_t index = 0;  // 0-based position of the record in the file
  std::int64_t previous = 0;
  std::int64_t found = 0;
  friend bool operator==(const GoesBackwards&, const GoesBackwards&) = default;
};

// A tick file that cannot be used, for one of five reasons.
struct Error {
  std::variant<Truncated, BadMagic, UnknownVersion, ChecksumMismatch, GoesBackwards> kind;

  // The fixed text, e.g. "truncated: needed 96 bytes, 32 available" or
  // "not a tick file: magic 0x03020100".
  std::string display() const;
  friend bool operator==(const Error&, const Error&) = default;
};

// The bytes of a complete file holding `ticks` for `instrument`: header, then
// one record per tick.  Does not validate the ticks: a series whose exchange
// time goes backwards is written as it is and refused only when read.
std::vector<std::uint8_t> encode(std::uint64_t instrument, std::span<const engine::Tick> ticks);

// The same for definition.id, followed by the definition's instrument block
// (instrument_block.hpp).  Requires: check_definition(definition) finds
// nothing.
std::vector<std::uint8_t> encode(const InstrumentDefinition& definition,
                                 std::span<const engine::Tick> ticks);

// The end of a series (TickReader::next's third outcome).
struct End {
  friend bool operator==(const End&, const End&) = default;
};

// The caller gave up a read that a signal interrupted (see ReadHooks).  Not
// a fault of the file: the reader stops, and the caller reports whatever
// made it give up.
struct Interrupted {
  friend bool operator==(const Interrupted&, const Interrupted&) = default;
};

// One step of a reader: the next tick, an error, the end, or the caller's
// interruption.
using Next = std::variant<engine::Tick, Error, End, Interrupted>;

// What a reader does around the system calls that may block.  A file may be
// a pipe whose writer stalls, or whose writer needs a lock the caller holds:
// before_blocking lets the caller give such a lock up first (before the open,
// and before each read of anything but a regular file), and when a signal
// interrupts a call, interrupted asks the caller whether to give up (true)
// or to retry (false).  Without hooks the reader just retries.
struct ReadHooks {
  void* context = nullptr;
  void (*before_blocking)(void* context) = nullptr;
  bool (*interrupted)(void* context) = nullptr;
};

class TickReader;
using Opened = std::variant<TickReader, Error, Interrupted>;

// Records [first, stop) of a file, by their 0-based positions.
struct RecordWindow {
  std::uint64_t first = 0;
  std::uint64_t stop = 0;
  friend bool operator==(const RecordWindow&, const RecordWindow&) = default;
};

// A TickReader streams the records of one tick file, in file order.
//
// It holds one block of at most BLOCK_RECORDS records (or as many as it was
// opened with) whatever the file size (the block is read straight into the
// memory records are handed out from, so there is no second copy) and
// allocates nothing per record.  The records
// of a block are handed out only once the block has been read whole, and
// those of the last block only after the checksum over the whole file has
// matched; so a consumer that stops early never reaches the check.
//
// Invariants:
//   - after an error every later step yields End;
//   - no record is handed out whose exchange time is below the previous one.
class TickReader {
 public:
  // Opens `path` and checks its 32-byte header; reads nothing else.  A path
  // that cannot be opened, or whose file is shorter than the header, gives
  // Truncated{32, 0} whatever the reason.  The hooks serve this open and
  // every later read.  A block holds `block_records` records (at least one):
  // a run reading many files at once keeps their blocks small enough to
  // stay in the processor's caches together.
  static Opened open(const std::string& path, ReadHooks hooks = {},
                     std::size_t block_records = BLOCK_RECORDS);

  // Opens `path` as open does, to hand out records [window.first,
  // window.stop) only: it seeks to the first and reads no block outside the
  // window.  The checksum covers every record of the file, so a window that
  // is not the whole file is not checked against it; the order of its
  // exchange times is.  A window past the header's count gives Truncated
  // with the size a file holding it would have, and the size the header
  // promises.  Requires: window.first <= window.stop.
  static Opened open_window(const std::string& path, RecordWindow window, ReadHooks hooks = {},
                            std::size_t block_records = BLOCK_RECORDS);

  TickReader(TickReader&& other) noexcept;
  TickReader& operator=(TickReader&& other) noexcept;
  TickReader(const TickReader&) = delete;
  TickReader& operator=(const TickReader&) = delete;
  ~TickReader();  // closes the file

  // The next record, the error that stops the series, or the end.
  Next next() {
    if (const engine::Tick* t = take()) [[likely]]
      return Next(std::in_place_index<0>, *t);
    return next_slow();
  }

  // The header's record count, instrument and checksum.
  std::uint64_t count() const { return count_; }
  std::uint64_t instrument() const { return instrument_; }
  std::uint32_t checksum() const { return expected_crc_; }
  // The records this reader hands out: the count, or its window's.
  std::uint64_t records() const { return stop_ - first_; }
  // Whether the reader stopped because the caller gave up a read.
  bool interrupted() const { return interrupted_; }
  // Records handed out so far.
  std::uint64_t handed_out() const {
    return before_block_ + static_cast<std::uint64_t>(cursor_ - block_.get());
  }

 private:
  friend class StreamedTicks;

  TickReader(int fd, std::uint64_t count, std::uint64_t instrument, std::uint32_t checksum,
             ReadHooks hooks, std::size_t block_records);

  // Records of the current block not yet handed out.
  std::size_t block_left() const { return static_cast<std::size_t>(block_end_ - cursor_); }

  // Up to n records of the current block from the next one on, stopping
  // before one that goes backwards (the next step reports it); nothing is
  // handed out until skip_run says how many were used.
  std::span<const engine::Tick> peek_run(std::size_t n) const {
    const engine::Tick* end = cursor_ + std::min(n, block_left());
    const engine::Tick* p = cursor_;
    for (std::int64_t previous = previous_; p != end && p->exch_ts >= previous; ++p) {
      previous = p->exch_ts;
    }
    return {cursor_, p};
  }
  // Hands out the first k records of the last peek_run.
  void skip_run(std::size_t k) {
    if (k == 0) return;
    cursor_ += k;
    previous_ = cursor_[-1].exch_ts;
  }

  // The common step, kept inline: the next record of the current block when
  // one is waiting and in order, else nullptr and next_slow does the work.
  const engine::Tick* take() {
    if (cursor_ == block_end_) return nullptr;
    const engine::Tick* t = cursor_;
    if (t->exch_ts < previous_) return nullptr;
    previous_ = t->exch_ts;
    ++cursor_;
    return t;
  }

  Next next_slow();
  // Reads, checksums and decodes the next block; an error or an interruption
  // finishes the reader.
  std::optional<Next> read_block();
  Error fail(Error error);

  // The exchange time of the last record handed out.  Before the first it is
  // the smallest value there is, which no record can go below, so the first
  // record needs no special case.
  std::int64_t previous_ = INT64_MIN;
  // The records of the current block not yet handed out: [cursor_, block_end_).
  const engine::Tick* cursor_ = nullptr;
  const engine::Tick* block_end_ = nullptr;
  std::unique_ptr<engine::Tick[]> block_;  // block_records_ records, allocated on first read
  std::size_t block_records_ = BLOCK_RECORDS;
  int fd_ = -1;
  std::uint64_t count_ = 0;
  std::uint64_t instrument_ = 0;
  std::uint32_t expected_crc_ = 0;
  std::uint64_t remaining_ = 0;  // records not yet read from the file
  std::uint64_t first_ = 0;      // the window read: [first_, stop_)
  std::uint64_t stop_ = 0;
  std::uint64_t before_block_ = 0;  // records handed out before the current block
  std::uint32_t crc_ = 0;           // CRC-32 of the record bytes read so far
  ReadHooks hooks_;
  bool finished_ = true;  // set by any error, and in a moved-from reader
  bool interrupted_ = false;
};

// A tick source for the run loop over a file, in the shape the loop asks for
// (bool next(Tick&), or the records in place): hands out the reader's
// records in order and ends the series at the reader's end, at its first
// error, which it keeps aside for the caller to report once the run is
// over, or at an interruption the caller asked for (reader().interrupted()):
//
//   StreamedTicks ticks(std::move(reader));
//   RunResult result = run_stream(config, strategy, ticks);
//   if (ticks.error()) ...  // the run covered result.ticks ticks, then this
class StreamedTicks {
 public:
  explicit StreamedTicks(TickReader reader) : reader_(std::move(reader)) {}

  // Copies the next record into `out` and returns true, or returns false
  // once the series has ended (and on every later call).
  bool next(engine::Tick& out) {
    if (const engine::Tick* t = reader_.take()) [[likely]] {
      out = *t;
      return true;
    }
    return next_slow(out);
  }

  // The next record where it lies in the reader's block, valid until a
  // record beyond the block is asked for; null once the series has ended.
  const engine::Tick* next_in_place() {
    if (const engine::Tick* t = reader_.take()) [[likely]]
      return t;
    return next_in_place_slow();
  }
  // Records after the last one handed out that lie in the block with it.
  std::size_t in_place() const { return reader_.block_left(); }
  // Up to n of those, not yet handed out (fewer at the block's end or before
  // a record that goes backwards); skip_in_place(k) hands out the first k.
  std::span<const engine::Tick> peek_in_place(std::size_t n) const { return reader_.peek_run(n); }
  void skip_in_place(std::size_t k) { reader_.skip_run(k); }

  // The error that ended the series, if one did.
  const std::optional<Error>& error() const { return error_; }
  std::uint64_t handed_out() const { return reader_.handed_out(); }
  const TickReader& reader() const { return reader_; }

 private:
  bool next_slow(engine::Tick& out);
  const engine::Tick* next_in_place_slow();

  TickReader reader_;
  std::optional<Error> error_;
};

}  // namespace halvorn::data
