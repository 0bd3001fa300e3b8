// What a mark file and a depth file hold besides their records: the gaps,
// repeats and broken sequences that make a run quietly wrong, read once
// from start to end for an inspection (tick_quality.hpp surveys tick
// files).
//
// Thread-safety: pure functions; each opens its own reader.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "book/depth_book.hpp"
#include "data/depth_reader.hpp"
#include "data/mark_file.hpp"
#include "data/tick_quality.hpp"

namespace halvorn::data {

struct MarkSurvey {
  std::uint64_t records = 0;
  Nanos first = 0, last = 0;  // the first and the last record's time
  std::uint64_t gaps = 0;     // steps between records longer than the gap asked about
  Nanos largest_gap = 0;
  Nanos largest_gap_at = 0;    // the time of the record after it
  std::uint64_t repeated = 0;  // records equal to the one before
  std::uint64_t settlements = 0;
  // Settlements whose time comes before every record: no mark was in force.
  std::uint64_t unmarked = 0;
  // Settlements at which the mark in force was older than stale_after, and
  // the oldest mark a settlement met.
  std::uint64_t stale_settlements = 0;
  Nanos oldest_mark = 0;
  // Settlements priced otherwise than at the mark in force at their time.
  std::uint64_t off_mark = 0;
};

// Reads the mark file at `path` whole (records and settlements).  Its
// reader's error when it cannot be read to its end.
std::variant<MarkSurvey, MarkError> survey_mark_file(const std::string& path,
                                                     const SurveyLimits& limits);

struct DepthSurvey {
  std::uint64_t records = 0, snapshots = 0, updates = 0;
  Nanos first = 0, last = 0;
  std::uint64_t gaps = 0;
  Nanos largest_gap = 0;
  Nanos largest_gap_at = 0;
  // Updates that do not continue the id sequence of the book: a run drops
  // its book at each and has none until the next snapshot.
  std::uint64_t breaks = 0;
  // Updates that met no book (before the first snapshot, or after a break):
  // a run's ticks then are invalid.
  std::uint64_t unbooked = 0;
  std::uint64_t crossed = 0;  // snapshots whose best bid is at or above the best ask
};

std::variant<DepthSurvey, DepthError> survey_depth_file(const std::string& path,
                                                        const SurveyLimits& limits);

}  // namespace halvorn::data
