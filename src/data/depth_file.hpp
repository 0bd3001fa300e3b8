// Depth files: a 40-byte header, then a stream of variable-length records,
// each a depth snapshot or an incremental depth update, so that a day of
// market depth far larger than memory can feed an L2 run beside its ticks.
// docs/depth_format.md gives the byte grammar.
//
// This header holds what the reader and the writer share: the layout
// constants, the errors a depth file can have, with their fixed texts, and
// the encoder that turns records into file bytes.  The encoder refuses every
// record a reader would refuse, with the error the reader would give, so a
// file it wrote is always readable to the end.
//
// Thread-safety: DepthError is a plain value and encode_depth a pure
// function; a DepthEncoder is used by one thread at a time.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "book/depth_records.hpp"
#include "data/ticks.hpp"

namespace halvorn::data {

// "HVDP" read as a little-endian unsigned 32-bit integer.
inline constexpr std::uint32_t DEPTH_MAGIC = 0x50445648u;
inline constexpr std::uint16_t DEPTH_VERSION = 1;
inline constexpr std::size_t DEPTH_HEADER_BYTES = 40;
// The fixed part of every record: kind, flags, level counts, time and ids.
inline constexpr std::size_t DEPTH_RECORD_BYTES = 48;
inline constexpr std::size_t DEPTH_LEVEL_BYTES = 16;
// Bid and ask levels together.  Far above any real book, and low enough that
// a damaged count can never make a reader hold more than 16 MiB for one
// record.
inline constexpr std::uint32_t MAX_RECORD_LEVELS = 1u << 20;
// Record kinds.
inline constexpr std::uint8_t DEPTH_SNAPSHOT = 1;
inline constexpr std::uint8_t DEPTH_UPDATE = 2;
// An update's flag: its prev_final_id field is stated.
inline constexpr std::uint8_t DEPTH_HAS_PREV = 0x01;

// Why a record cannot be read, beyond a wrong checksum or time order.
namespace malformed {
struct UnknownKind {
  std::uint8_t kind = 0;
  friend bool operator==(const UnknownKind&, const UnknownKind&) = default;
};
// Flag bits that mean nothing for the record's kind.
struct UnknownFlags {
  std::uint8_t flags = 0;
  bool snapshot = false;
  friend bool operator==(const UnknownFlags&, const UnknownFlags&) = default;
};
struct ReservedNotZero {
  friend bool operator==(const ReservedNotZero&, const ReservedNotZero&) = default;
};
// More bid and ask levels than MAX_RECORD_LEVELS.
struct TooManyLevels {
  std::uint64_t levels = 0;
  friend bool operator==(const TooManyLevels&, const TooManyLevels&) = default;
};
// More levels than the header's total has left for this record.
struct LevelsPastHeader {
  std::uint64_t levels = 0;
  std::uint64_t left = 0;
  friend bool operator==(const LevelsPastHeader&, const LevelsPastHeader&) = default;
};
// The last record leaves some of the header's total unused.
struct LevelsShortOfHeader {
  std::uint64_t unused = 0;
  friend bool operator==(const LevelsShortOfHeader&, const LevelsShortOfHeader&) = default;
};
// A displayed quantity below zero; level is the 0-based position among the
// record's levels, bids first.
struct NegativeQuantity {
  std::uint64_t level = 0;
  std::int64_t qty = 0;
  friend bool operator==(const NegativeQuantity&, const NegativeQuantity&) = default;
};
}  // namespace malformed

using MalformedReason =
    std::variant<malformed::UnknownKind, malformed::UnknownFlags, malformed::ReservedNotZero,
                 malformed::TooManyLevels, malformed::LevelsPastHeader,
                 malformed::LevelsShortOfHeader, malformed::NegativeQuantity>;

// A record that is not what the grammar allows.  index is its 0-based
// position in the file.
struct Malformed {
  std::uint64_t index = 0;
  MalformedReason reason;
  friend bool operator==(const Malformed&, const Malformed&) = default;
};

// A depth file that cannot be used, for one of six reasons.  The first five
// carry the same fields as a tick file's (GoesBackwards compares record
// times), with texts of their own so that a message says which file failed.
struct DepthError {
  std::variant<Truncated, BadMagic, UnknownVersion, ChecksumMismatch, GoesBackwards, Malformed>
      kind;

  // The fixed text, e.g. "depth file truncated: needed 136 bytes, 40
  // available" or "depth record 3 is malformed: unknown kind 7".
  std::string display() const;
  friend bool operator==(const DepthError&, const DepthError&) = default;
};

// The depth file's header, for the checks every file kind shares
// (file_header.hpp): nothing beyond magic and version to check.
struct DepthFormat {
  using Error = DepthError;
  static constexpr std::uint32_t MAGIC = DEPTH_MAGIC;
  static constexpr std::uint16_t VERSION = DEPTH_VERSION;
  static constexpr std::size_t HEADER_BYTES = DEPTH_HEADER_BYTES;
  static std::optional<DepthError> check_fields(const std::uint8_t*) { return std::nullopt; }
};

// The size of the record bytes a header with these counts promises, or
// nullopt when that does not fit in 64 bits.
std::optional<std::uint64_t> depth_body_bytes(std::uint64_t count, std::uint64_t levels);

// A DepthEncoder turns records into depth-file bytes: each record's bytes as
// it is appended, the header once all are in.  It keeps the running counts,
// the checksum of the bytes appended and the last record's time.
class DepthEncoder {
 public:
  explicit DepthEncoder(std::uint64_t instrument) : instrument_(instrument) {}

  // Appends the record's bytes to `out`.  A record a reader would refuse
  // (more than MAX_RECORD_LEVELS levels, a negative quantity, a time below
  // the previous record's) is refused with the reader's error and nothing is
  // appended; the encoder goes on as if it had not been offered.  The
  // record's time is written; an update's time_ms and time_ns are not, a
  // reader sets them from it.
  std::optional<DepthError> append(const book::DepthRecord& record, std::vector<std::uint8_t>& out);

  // The header for the records appended so far.
  std::array<std::uint8_t, DEPTH_HEADER_BYTES> header() const;

  std::uint64_t count() const { return count_; }
  std::uint64_t levels() const { return levels_; }

 private:
  std::uint64_t instrument_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t levels_ = 0;
  std::uint32_t crc_ = 0;
  Nanos previous_ = INT64_MIN;
};

// The bytes of a complete depth file holding `records`, or the error of the
// first record a reader would refuse.
std::variant<std::vector<std::uint8_t>, DepthError> encode_depth(
    std::uint64_t instrument, std::span<const book::DepthRecord> records);

}  // namespace halvorn::data
