// The plain records of a market depth stream: price levels, the incremental
// updates that set them, the snapshots a book starts from, and the timed
// records of a stream that carries both.
//
// These carry the market's displayed depth from wherever it is read (a depth
// file, a converter) to the account kernel's Depth and Snapshot events, which
// hand them to a depth-keeping matcher.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "types/time.hpp"

namespace halvorn::book {

// A Level is the displayed quantity at one price.
struct Level {
  std::int64_t price = 0;  // ticks
  std::int64_t qty = 0;    // lots; 0 in an update deletes the level

  friend bool operator==(const Level&, const Level&) = default;
};

// A DepthUpdate is one incremental depth message, identified by the range of
// update ids it contains.
struct DepthUpdate {
  // The final id of the message before this one, when the stream states it.
  std::optional<std::uint64_t> prev_final_id;
  std::vector<Level> bids;
  std::vector<Level> asks;
  std::int64_t time_ms = 0;
  std::uint64_t first_id = 0;
  std::uint64_t final_id = 0;
  // The update's time to the nanosecond, when its source records one; it
  // then takes the place of time_ms, which is only that time rounded down.
  std::optional<Nanos> time_ns = std::nullopt;

  friend bool operator==(const DepthUpdate&, const DepthUpdate&) = default;
};

// A DepthSnapshot is the whole displayed depth as of one update id, from
// which a book starts (or starts again after its stream broke).  Levels may
// come in any order; a later level for the same price wins and a quantity of
// 0 is no level.
struct DepthSnapshot {
  std::uint64_t last_update_id = 0;  // the last update id the snapshot covers
  std::vector<Level> bids;
  std::vector<Level> asks;

  friend bool operator==(const DepthSnapshot&, const DepthSnapshot&) = default;
};

// A DepthRecord is one entry of a recorded depth stream: an update or a
// snapshot, with the time at which it takes effect.  A stream is in time
// order, so a run can merge it with its ticks by this time; the L2 matcher
// reads an update's own time_ns (or time_ms), which whoever makes the record
// sets to the same instant (a depth file reader does).
struct DepthRecord {
  Nanos time = 0;
  std::variant<DepthUpdate, DepthSnapshot> entry;

  friend bool operator==(const DepthRecord&, const DepthRecord&) = default;
};

}  // namespace halvorn::book
