// Mark files: the mark price of an instrument over time (with the index
// price when it is known), and the funding settlements priced at it, in one
// file a run can stream beside its ticks.  docs/mark_format.md gives the
// byte grammar.
//
// A perpetual venue values positions, tests maintenance margin and settles
// funding at its mark price, not at the last trade, so a run that is to
// liquidate and pay funding as the venue did needs the mark as a series of
// its own.  The records are fixed-width and in time order, read a block at
// a time, so a series far larger than memory never has to be resident; the
// settlements, a few a day, follow the records and are read whole.
//
// The same format holds a premium index (MarkKind::Premium): a rate in
// billionths where a mark holds a price in ticks, which is what a venue
// derives its funding rates from.  A reader says which kind a file is, and
// a run that wants marks refuses the other.
//
// Thread-safety: a MarkWriter or MarkReader is used by one thread at a time;
// each owns its file, so readers of one file are independent.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/funding_csv.hpp"
#include "data/instrument_definition.hpp"
#include "data/replace.hpp"
#include "data/ticks.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// "HVMK" read as a little-endian unsigned 32-bit integer.
inline constexpr std::uint32_t MARK_MAGIC = 0x4B4D'5648u;
inline constexpr std::uint16_t MARK_VERSION = 1;
inline constexpr std::size_t MARK_HEADER_BYTES = 48;
// A mark record and a settlement record are both three signed 64-bit
// integers.
inline constexpr std::size_t MARK_RECORD_BYTES = 24;
// Records per read: the unit of memory and of checking.
inline constexpr std::size_t MARK_BLOCK_RECORDS = 8192;

// What a file's values are.
enum class MarkKind : std::uint8_t {
  Price = 1,    // mark and index prices, in ticks
  Premium = 2,  // a premium index, in billionths; index unused (0)
};

// One observation of the mark.
struct MarkRecord {
  Nanos time = 0;          // exchange clock, as a tick's exch_ts
  std::int64_t mark = 0;   // ticks (billionths for a premium index)
  std::int64_t index = 0;  // ticks; 0 when the source gave no index price
  friend bool operator==(const MarkRecord&, const MarkRecord&) = default;
};

// "unknown mark file kind 7"
struct UnknownKind {
  std::uint8_t kind = 0;
  friend bool operator==(const UnknownKind&, const UnknownKind&) = default;
};
// "funding settlement 2 at 5 ns is not after the one before it, at 5 ns"
struct SettlementsUnordered {
  std::uint64_t index = 0;
  Nanos time = 0;
  Nanos previous = 0;
  friend bool operator==(const SettlementsUnordered&, const SettlementsUnordered&) = default;
};

// A mark file that cannot be used.  The kinds shared with tick files keep
// their meaning; a GoesBackwards index counts mark records from 0.
struct MarkError {
  std::variant<Truncated, BadMagic, UnknownVersion, ChecksumMismatch, GoesBackwards, UnknownKind,
               SettlementsUnordered>
      kind;

  // "mark file truncated: needed 96 bytes, 48 available", "not a mark file:
  // magic 0x4b545648", "unknown mark file version 2", "mark file checksum
  // mismatch: expected 0x..., computed 0x...", "mark 3 goes backwards:
  // previous time 5, found 4", and the two above.
  std::string display() const;
  friend bool operator==(const MarkError&, const MarkError&) = default;
};

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
  // when its time is below the previous record's.  A write that fails is
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

// The bytes of a complete mark file: what a MarkWriter would write for the
// same records, settlements and definition (tests and small series).
// Requires: records in time order, settlements in strictly increasing time,
// check_definition(d) finding nothing when given.
std::vector<std::uint8_t> encode_marks(std::uint64_t instrument, MarkKind kind,
                                       std::span<const MarkRecord> records,
                                       std::span<const PricedRate> settlements,
                                       const InstrumentDefinition* definition = nullptr);

// Where a mark file's records end and its settlements begin, and where the
// instrument block begins; none beyond 64 bits.
std::optional<std::uint64_t> mark_settlements_offset(std::uint64_t count);
std::optional<std::uint64_t> mark_block_offset(std::uint64_t count, std::uint64_t settlements);

}  // namespace halvorn::data
