// Reading mark files: MarkReader streams the records of one file a block at
// a time, and StreamedMarks is the mark source a run merges with its ticks.
// mark_file.hpp gives the format.
//
// Thread-safety: a MarkReader is used by one thread at a time; each owns its
// file, so readers of one file are independent.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data/funding_csv.hpp"
#include "data/mark_file.hpp"
#include "data/ticks.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// One step of a reader: the next record, the error that stops the series, or
// the end.
using MarkNext = std::variant<MarkRecord, MarkError, End>;

class MarkReader;
using MarkOpened = std::variant<MarkReader, MarkError>;

// A MarkReader streams the records of one mark file in file order, holding
// one block of them whatever the file's size.  The records of a block are
// handed out once it has been read whole, those of the last block only
// after the checksum over all records has matched.
//
// Invariants: after an error every later step yields End; no record is
// handed out whose time is below the previous one's.
class MarkReader {
 public:
  // Opens `path` and checks its header; reads nothing else.  A path that
  // cannot be opened, or whose file is shorter than the header, gives
  // Truncated{48, 0} whatever the reason.
  static MarkOpened open(const std::string& path);

  // Opens `path` as open does, to hand out records [window.first,
  // window.stop) only, reading no block outside them; as for a tick file, a
  // window that is not the whole file is not checked against the checksum
  // over all records, and its order is.  Requires: window.first <=
  // window.stop.
  static MarkOpened open_window(const std::string& path, RecordWindow window);

  MarkReader(MarkReader&& other) noexcept;
  MarkReader& operator=(MarkReader&& other) noexcept;
  MarkReader(const MarkReader&) = delete;
  MarkReader& operator=(const MarkReader&) = delete;
  ~MarkReader();

  MarkNext next();

  // The settlements after the records, checked against their checksum and
  // their order.  Reads them from the file on each call, wherever the
  // records stand.
  std::variant<std::vector<PricedRate>, MarkError> settlements() const;

  std::uint64_t count() const { return count_; }
  std::uint32_t checksum() const { return expected_crc_; }
  std::uint64_t settlement_count() const { return settlement_count_; }
  std::uint64_t instrument() const { return instrument_; }
  MarkKind kind() const { return kind_; }
  std::uint64_t handed_out() const { return handed_out_; }

 private:
  MarkReader(int fd, std::uint64_t count, std::uint64_t settlements, std::uint64_t instrument,
             MarkKind kind, std::uint32_t checksum, std::uint32_t settlement_checksum);
  std::optional<MarkError> read_block();
  MarkError fail(MarkError e);

  int fd_ = -1;
  std::uint64_t count_ = 0;
  std::uint64_t settlement_count_ = 0;
  std::uint64_t instrument_ = 0;
  MarkKind kind_ = MarkKind::Price;
  std::uint32_t expected_crc_ = 0;
  std::uint32_t settlement_crc_ = 0;
  std::unique_ptr<MarkRecord[]> block_;
  std::size_t at_ = 0;       // next record of the block to hand out
  std::size_t held_ = 0;     // records in the block
  std::uint64_t read_ = 0;   // records read, counted from the file's first
  std::uint64_t first_ = 0;  // the window read: [first_, stop_)
  std::uint64_t stop_ = 0;
  std::uint64_t handed_out_ = 0;
  std::uint32_t crc_ = 0;
  Nanos previous_ = INT64_MIN;
  bool finished_ = true;
};

// A mark source for a run, in the shape the run loop takes (bool
// next(MarkRecord&)): the reader's records in order, ending at its end or
// at its first error, which it keeps for the caller to report once the run
// is over.
class StreamedMarks {
 public:
  explicit StreamedMarks(MarkReader reader) : reader_(std::move(reader)) {}

  bool next(MarkRecord& out);
  const std::optional<MarkError>& error() const { return error_; }
  std::uint64_t handed_out() const { return reader_.handed_out(); }

 private:
  MarkReader reader_;
  std::optional<MarkError> error_;
};

// The time of a mark file's last record, read from where the header says
// it lies; none for a file without records or that cannot be read.
std::optional<Nanos> last_mark_time(const std::string& path);

}  // namespace halvorn::data
