// Finding a stretch of exchange time in a tick or mark file without reading
// the file: a binary search over the records' times, each probe one small
// positioned read, so that a month of a year-long file is found with a few
// dozen reads and then streamed on its own (TickReader::open_window,
// MarkReader::open_window).
//
// The search trusts the file's order: it is a search for a boundary in
// times that never decrease.  Its answer is exact for such a file, and a
// reader of the window checks the order of every record it hands out, so a
// file whose order is broken inside the window still fails there.  What a
// window cannot check is the file's checksum, which covers every record.
//
// Thread-safety: pure functions of the file; each opens its own handle.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "data/mark_file.hpp"
#include "data/ticks.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// The records of a file that a stretch [start, end) of exchange time needs,
// and what the header said when they were found, so that a reader can tell
// the file it opens later is still the same.
struct TimeWindow {
  RecordWindow records;
  std::uint64_t count = 0;     // the header's record count
  std::uint32_t checksum = 0;  // the header's checksum of the records
  std::uint64_t instrument = 0;
  std::uint64_t probes = 0;  // positioned reads the search made
  friend bool operator==(const TimeWindow&, const TimeWindow&) = default;
};

// The ticks of `path` whose exch_ts lies in [start, end): from the first at
// or after start to the first at or after end (empty when end <= start).
// Errors: those of TickReader::open, and Truncated (needed: the size the
// header promises; available: the file's size) for a file shorter than its
// header says, since a probe past its end would read nothing.
std::variant<TimeWindow, Error> find_tick_window(const std::string& path, Nanos start, Nanos end);

// The mark records a run over ticks in [start, end) reads: from the last at
// or before start, which is the mark in force at start (the first record
// when none is), to the first at or after end, which no tick before end
// uses.  Empty when end <= start.  Errors as for ticks, with the mark
// file's texts.
std::variant<TimeWindow, MarkError> find_mark_window(const std::string& path, Nanos start,
                                                     Nanos end);

}  // namespace halvorn::data
