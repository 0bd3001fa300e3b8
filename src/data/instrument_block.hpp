// The instrument block: an instrument's definition stored after the records
// of a tick file or a depth file, where the readers of records never look.
//
// Both formats end in trailing bytes that no reader reads, so a file with a
// block is still a file of the same version: every reader written before the
// block existed reads the same records from it, and a file written without
// one still opens.  The block is found from the header alone (its offset is
// where the header's counts say the records end), tagged with a magic of its
// own, checksummed, and carries its length, so that a later version can add
// fields that a reader of this one steps over.  docs/tick_format.md gives
// the byte grammar.
//
// Reading the block reads the file's header and the block, never the
// records: it costs the same for a file of any size.
//
// Thread-safety: pure functions; the file functions open their own handle.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/depth_file.hpp"
#include "data/instrument_definition.hpp"
#include "data/mark_file.hpp"
#include "data/ticks.hpp"

namespace halvorn::data {

// "HVIN" read as a little-endian unsigned 32-bit integer.
inline constexpr std::uint32_t INSTRUMENT_MAGIC = 0x4E49'5648u;
// Version 1 holds the id, the symbol and the two steps, which is all a
// linear contract needs; version 2 adds the contract's kind, its value and
// its settlement coin after them.  A linear definition is written as version
// 1, so that every linear file is the same bytes it always was; an inverse
// one as version 2, which a reader of version 1 reads for its steps.
inline constexpr std::uint16_t INSTRUMENT_VERSION = 2;
inline constexpr std::uint16_t LINEAR_INSTRUMENT_VERSION = 1;
// magic, version, reserved, length, checksum.
inline constexpr std::size_t INSTRUMENT_HEAD_BYTES = 16;
// The longest body any version may have: a damaged length never makes a
// reader hold more than this.
inline constexpr std::uint32_t MAX_INSTRUMENT_BODY = 1u << 20;

// Why a block whose magic is there cannot be read.
namespace damaged {
// The file ends inside the block; both counts are bytes from the start of
// the file.
struct Truncated {
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
  friend bool operator==(const Truncated&, const Truncated&) = default;
};
struct TooLong {
  std::uint32_t length = 0;
  friend bool operator==(const TooLong&, const TooLong&) = default;
};
struct ChecksumMismatch {
  std::uint32_t expected = 0;  // from the block
  std::uint32_t computed = 0;
  friend bool operator==(const ChecksumMismatch&, const ChecksumMismatch&) = default;
};
// Version 0, which no writer writes.
struct VersionZero {
  friend bool operator==(const VersionZero&, const VersionZero&) = default;
};
// The fields of the block's version run past the body's length.
struct FieldsPastLength {
  std::uint32_t length = 0;
  friend bool operator==(const FieldsPastLength&, const FieldsPastLength&) = default;
};
// A kind byte that is neither linear (0) nor inverse (1).
struct UnknownKind {
  std::uint8_t kind = 0;
  friend bool operator==(const UnknownKind&, const UnknownKind&) = default;
};
}  // namespace damaged

// A block that is present but cannot be used: damaged, or holding a
// definition that cannot be (a step that is no positive number, a symbol
// that is not UTF-8, an id other than the header's).
struct BlockError {
  std::uint64_t offset = 0;  // where the block starts in the file
  std::variant<damaged::Truncated, damaged::TooLong, damaged::ChecksumMismatch,
               damaged::VersionZero, damaged::FieldsPastLength, damaged::UnknownKind,
               DefinitionProblem>
      reason;

  // "instrument block at byte 96: " then the reason, e.g. "checksum
  // mismatch: expected 0x1234abcd, computed 0x00000000".
  std::string display() const;
  friend bool operator==(const BlockError&, const BlockError&) = default;
};

// The block's bytes for `d`: version 1 for a linear definition, version
// INSTRUMENT_VERSION for an inverse one.
// Requires: check_definition(d) finds nothing.
std::vector<std::uint8_t> encode_instrument_block(const InstrumentDefinition& d);

// What bytes found at a block's offset hold.  `bytes` runs from the offset
// to the end of the file (or further than the block; what follows it is not
// looked at); `offset` and `header_id` are the file's, for the error and the
// check that the block belongs to the file.  Returns no definition when the
// bytes do not start with the magic (no block), or when a later version
// keeps no fields this one reads.
std::variant<std::optional<InstrumentDefinition>, BlockError> decode_instrument_block(
    std::span<const std::uint8_t> bytes, std::uint64_t offset, std::uint64_t header_id);

// The definitions a tick file and a depth file hold.  No definition for a
// file without a block; the file's own error when it is no readable file of
// its kind (as its reader would give it opening it; Truncated also when the
// file is shorter than its records, with the file's size available, and
// for anything but a regular file, which cannot be read from the block's
// offset without reading the records); the block's error when it is
// damaged.
using TickInstrument = std::variant<std::optional<InstrumentDefinition>, Error, BlockError>;
TickInstrument instrument_of_tick_file(const std::string& path);

using DepthInstrument = std::variant<std::optional<InstrumentDefinition>, DepthError, BlockError>;
DepthInstrument instrument_of_depth_file(const std::string& path);

// The same for a mark file (mark_file.hpp), whose block follows its
// settlements.
using MarkInstrument = std::variant<std::optional<InstrumentDefinition>, MarkError, BlockError>;
MarkInstrument instrument_of_mark_file(const std::string& path);

// The offset of the block in a tick file of `count` records, and in a depth
// file of `count` records and `levels` levels: where the records end.  None
// when that is beyond 64 bits.
std::optional<std::uint64_t> tick_block_offset(std::uint64_t count);
std::optional<std::uint64_t> depth_block_offset(std::uint64_t count, std::uint64_t levels);

}  // namespace halvorn::data
