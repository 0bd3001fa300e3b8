// The plain records of a market depth stream: price levels and the
// incremental updates that set them.
//
// These carry the market's displayed depth from wherever it is read to the
// account kernel's Depth and Snapshot events, which hand them to a
// depth-keeping matcher.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <optional>
#include <vector>

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

}  // namespace halvorn::book
