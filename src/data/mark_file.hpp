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
// This header holds what the reader (mark_reader.hpp) and the writer
// (mark_writer.hpp) share: the layout constants, the records, the errors a
// mark file can have with their fixed texts, and the encoder of a whole file.
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/funding_csv.hpp"
#include "data/instrument_definition.hpp"
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

// A mark of 0 or below in a file of prices: "mark 3 is 0, and a mark price
// is above 0".  A price of none is no mark, and valuing a position at it
// would be a loss no venue booked; writers refuse one, readers stop at it.
struct NotAPrice {
  std::uint64_t index = 0;  // counted from 0, as GoesBackwards counts
  std::int64_t value = 0;
  friend bool operator==(const NotAPrice&, const NotAPrice&) = default;
};

// A mark file that cannot be used.  The kinds shared with tick files keep
// their meaning; a GoesBackwards index counts mark records from 0.
struct MarkError {
  std::variant<Truncated, BadMagic, UnknownVersion, ChecksumMismatch, GoesBackwards, UnknownKind,
               SettlementsUnordered, NotAPrice>
      kind;

  // "mark file truncated: needed 96 bytes, 48 available", "not a mark file:
  // magic 0x4b545648", "unknown mark file version 2", "mark file checksum
  // mismatch: expected 0x..., computed 0x...", "mark 3 goes backwards:
  // previous time 5, found 4", and the two above.
  std::string display() const;
  friend bool operator==(const MarkError&, const MarkError&) = default;
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

// The mark file's header, for the checks every file kind shares
// (file_header.hpp): a kind byte beside magic and version.
struct MarkFormat {
  using Error = MarkError;
  static constexpr std::uint32_t MAGIC = MARK_MAGIC;
  static constexpr std::uint16_t VERSION = MARK_VERSION;
  static constexpr std::size_t HEADER_BYTES = MARK_HEADER_BYTES;
  static std::optional<MarkError> check_fields(const std::uint8_t* header);
};

// The bytes of a mark file's parts, for the writer and encode_marks alike.
namespace mark_bytes {
// A record or a settlement: three little-endian signed 64-bit integers.
void put_record(std::uint8_t* at, std::int64_t a, std::int64_t b, std::int64_t c);
std::vector<std::uint8_t> settlements(std::span<const PricedRate> settlements);
std::array<std::uint8_t, MARK_HEADER_BYTES> header(std::uint64_t instrument, MarkKind kind,
                                                   std::uint64_t count, std::uint32_t crc,
                                                   std::uint64_t settlements,
                                                   std::uint32_t settlement_crc);
}  // namespace mark_bytes

}  // namespace halvorn::data
