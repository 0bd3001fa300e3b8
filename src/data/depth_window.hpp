// Finding a stretch of exchange time in a depth file without reading the
// file from its start.
//
// Depth records have no fixed width and the file no index, so a position in
// the middle of it is not known to be a record's start.  But every record is
// 48 + 16 n bytes and the body starts right after the header, so records
// start only at multiples of 16 bytes into the body, and a record's fixed
// part is constrained (a kind of 1 or 2, zero bytes where the grammar writes
// them, level counts that fit in the body, times that never decrease).  A
// position is taken as a record's start when a chain of CHAIN records read
// from it all keep those rules, or end exactly at the body's end.  Level
// data that forms such a chain by accident is not something recorded depth
// holds; and a reader of the window checks every record it hands out.
//
// With that, a binary search over byte positions finds the first record at
// or after a time; the window starts at the last snapshot at or before the
// first record of the stretch, so that a book rebuilt from the window is the
// book the whole file gives at the stretch's first tick, and ends at the
// first record at or after its end.  Finding that snapshot reads backwards
// from the stretch's start as far as the snapshot lies.
//
// Thread-safety: a pure function of the file; it opens its own handle.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "data/depth_file.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// Records read in a row from a position before it is taken as a start.
inline constexpr int DEPTH_CHAIN = 8;

// Bytes [from, to) of a depth file's body (counted from the end of its
// header), both records' starts or the body's end.
struct DepthWindow {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  friend bool operator==(const DepthWindow&, const DepthWindow&) = default;
};

// A window and what the header said when it was found.
struct DepthWindowFound {
  DepthWindow bytes;
  std::uint64_t count = 0;
  std::uint64_t levels = 0;
  std::uint32_t checksum = 0;
  std::uint64_t instrument = 0;
  std::uint64_t blocks_read = 0;  // of DEPTH_SEARCH_BLOCK bytes
};

// No record's start could be found near `offset` (into the body): the file
// is damaged there.
struct Unframed {
  std::uint64_t offset = 0;
  friend bool operator==(const Unframed&, const Unframed&) = default;
};

inline constexpr std::size_t DEPTH_SEARCH_BLOCK = 1u << 16;

// The depth records a run over ticks in [start, end) needs.  Errors: those
// of DepthReader::open; Truncated for a file shorter than its header says;
// Unframed where no record's start is found.
std::variant<DepthWindowFound, DepthError, Unframed> find_depth_window(const std::string& path,
                                                                       Nanos start, Nanos end);

}  // namespace halvorn::data
