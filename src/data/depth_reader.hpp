// Reading depth files: DepthReader streams the records of one file a block at
// a time, and StreamedDepth is the depth source a run merges with its ticks.
//
// The reader checks the header when it opens and reads nothing else then.
// As it hands records out it checks each one's framing and level counts
// against the grammar and the header, the order of record times, and, when
// it reads the last block, a CRC-32 over all record bytes.  Errors are values
// with fixed display texts (DepthError); the operating system's reasons are
// never carried in them.
//
// Thread-safety: a DepthReader is used by one thread at a time; it owns its
// file handle and buffer, so readers over the same file are independent.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "book/depth_records.hpp"
#include "data/depth_file.hpp"

namespace halvorn::data {

// The unit of reading and of checking: the body is read in blocks of this
// many bytes (the last one shorter), each checksummed as it arrives.
inline constexpr std::size_t DEPTH_BLOCK_BYTES = 1u << 20;

// DepthReader::next put the next record into the caller's record.
struct RecordReady {
  friend bool operator==(const RecordReady&, const RecordReady&) = default;
};

// One step of a reader: a record, the error that stops the stream, or the end.
using DepthNext = std::variant<RecordReady, DepthError, End>;

class DepthReader;
using DepthOpened = std::variant<DepthReader, DepthError>;

// A DepthReader streams the records of one depth file, in file order.
//
// It reads the body in blocks and holds one block and the record being
// assembled, whatever the file size.  Its buffer grows, doubling, only as the
// bytes of a record larger than the room left actually arrive, so it stays
// below twice the sum of the largest record and a block, and a damaged level
// count never costs more memory than the file holds (no record may claim
// more than MAX_RECORD_LEVELS levels in any case).  A record is handed out only
// once all its bytes have been read, and a record that ends in the last
// block only after the checksum over the whole body has matched; so a
// consumer that stops early never reaches the check.  Reads never go past
// the body the header's counts promise: trailing bytes are never read.
//
// Invariants:
//   - after an error every later step yields End;
//   - no record is handed out whose time is below the previous one's.
class DepthReader {
 public:
  // Opens `path` and checks its 40-byte header; reads nothing else.  A path
  // that cannot be opened, or whose file is shorter than the header, gives
  // Truncated{40, 0} whatever the reason.  block_bytes, clamped to between 1
  // and 1 GiB, is the reading unit; tests use small ones to put record
  // boundaries everywhere in a block.
  static DepthOpened open(const std::string& path, std::size_t block_bytes = DEPTH_BLOCK_BYTES);

  // Opens `path` as open does, to hand out the records in body bytes
  // [from, to) only (record starts, as find_depth_window gives them): it
  // seeks to the first and reads nothing past the last.  Every record is
  // checked as a reader of the file checks it, its levels against the bytes
  // left in the window, except against the checksum over the whole body;
  // the index an error names counts records from the window's first.  A
  // window past the body gives Truncated.
  static DepthOpened open_window(const std::string& path, std::uint64_t from, std::uint64_t to,
                                 std::size_t block_bytes = DEPTH_BLOCK_BYTES);

  DepthReader(DepthReader&& other) noexcept;
  DepthReader& operator=(DepthReader&& other) noexcept;
  DepthReader(const DepthReader&) = delete;
  DepthReader& operator=(const DepthReader&) = delete;
  ~DepthReader();  // closes the file

  // Reads the next record into `out`, reusing the storage of its level
  // arrays, and yields RecordReady; or yields the error that stops the
  // stream, or the end.  An update's time_ns is the record's time and its
  // time_ms that time rounded down to the millisecond.  On an error `out`
  // may hold part of the refused record: a valid value, not one to use.
  DepthNext next(book::DepthRecord& out);

  // The header's counts and instrument.
  std::uint64_t count() const { return count_; }
  std::uint64_t levels() const { return levels_; }
  std::uint64_t instrument() const { return instrument_; }
  std::uint32_t checksum() const { return expected_crc_; }
  // Records handed out so far.
  std::uint64_t handed_out() const { return handed_out_; }

 private:
  DepthReader(int fd, std::size_t block_bytes, std::uint64_t count, std::uint64_t levels,
              std::uint64_t instrument, std::uint32_t checksum);

  // Reads blocks until `n` unread bytes are buffered.  An error finishes the
  // reader.
  std::optional<DepthError> ensure(std::size_t n);
  std::optional<DepthError> read_block();
  // Makes room behind the buffered bytes for `k` more.
  void make_room(std::size_t k);
  DepthError fail(DepthError error);

  int fd_ = -1;
  std::size_t block_bytes_ = DEPTH_BLOCK_BYTES;
  std::unique_ptr<std::uint8_t[]> buffer_;  // allocated on the first read
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // buffered bytes not yet handed out: [begin_, end_)
  std::size_t end_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t levels_ = 0;
  std::uint64_t instrument_ = 0;
  std::uint32_t expected_crc_ = 0;
  // The body the header promises; nullopt when its size does not fit in 64
  // bits, which no file can satisfy.
  std::optional<std::uint64_t> body_;
  std::uint64_t read_ = 0;  // body bytes read, in whole blocks
  std::uint32_t crc_ = 0;   // CRC-32 of the body bytes read so far
  std::uint64_t handed_out_ = 0;
  std::uint64_t levels_left_ = 0;  // of the header's total
  Nanos previous_ = INT64_MIN;     // time of the last record handed out
  std::uint64_t offset_ = 0;       // where in the body reading started
  bool windowed_ = false;          // reading [offset_, offset_ + *body_) only
  bool finished_ = true;           // set by any error, and in a moved-from reader
};

// A depth source for the run loop over a file, in the shape the loop asks
// for (bool next(DepthRecord&)): hands out the reader's records in order and
// ends the stream at the reader's end or at its first error, which it keeps
// aside for the caller to report once the run is over:
//
//   StreamedDepth depth(std::move(reader));
//   RunResult result = run_stream(config, strategy, ticks, depth);
//   if (depth.error()) ...  // the run saw depth.handed_out() records, then this
class StreamedDepth {
 public:
  explicit StreamedDepth(DepthReader reader) : reader_(std::move(reader)) {}

  // Reads the next record into `out` and returns true, or returns false once
  // the stream has ended (and on every later call).
  bool next(book::DepthRecord& out);

  // The error that ended the stream, if one did.
  const std::optional<DepthError>& error() const { return error_; }
  std::uint64_t handed_out() const { return reader_.handed_out(); }

 private:
  DepthReader reader_;
  std::optional<DepthError> error_;
};

}  // namespace halvorn::data
