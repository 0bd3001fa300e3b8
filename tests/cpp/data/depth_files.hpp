// Helpers for the depth-file tests: building records, editing file bytes in
// place, and draining a reader into what it handed out and how it ended.

#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data/crc32.hpp"
#include "data/depth_reader.hpp"
#include "files.hpp"

namespace halvorn::data::testing {

using book::DepthRecord;
using book::DepthSnapshot;
using book::DepthUpdate;
using book::Level;

inline DepthRecord snapshot_at(Nanos time, std::uint64_t id, std::vector<Level> bids,
                               std::vector<Level> asks) {
  return DepthRecord{time, DepthSnapshot{id, std::move(bids), std::move(asks)}};
}

inline DepthRecord update_at(Nanos time, std::uint64_t first, std::uint64_t final,
                             std::vector<Level> bids, std::vector<Level> asks,
                             std::optional<std::uint64_t> prev = std::nullopt) {
  return DepthRecord{time, DepthUpdate{prev, std::move(bids), std::move(asks), 0, first, final}};
}

// The record as a reader hands it back: an update's times are the record's.
inline DepthRecord as_read(DepthRecord r) {
  if (auto* u = std::get_if<DepthUpdate>(&r.entry)) {
    u->time_ns = r.time;
    u->time_ms = r.time / 1'000'000 - (r.time % 1'000'000 < 0 ? 1 : 0);
  }
  return r;
}

inline std::vector<DepthRecord> as_read(std::vector<DepthRecord> rs) {
  for (auto& r : rs) r = as_read(std::move(r));
  return rs;
}

inline Bytes encoded(std::uint64_t instrument, const std::vector<DepthRecord>& records) {
  auto e = encode_depth(instrument, records);
  if (auto* error = std::get_if<DepthError>(&e)) {
    ADD_FAILURE() << error->display();
    return {};
  }
  return std::get<Bytes>(std::move(e));
}

inline std::uint64_t le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b[at + i]} << (8 * i);
  return v;
}

inline void set_le(Bytes& b, std::size_t at, std::size_t width, std::uint64_t v) {
  for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Rewrites the header's checksum over the record bytes its counts cover (as
// far as the file holds them), so that an edit reaches the checks behind it.
inline void reseal(Bytes& b) {
  if (b.size() < 40) return;
  const unsigned __int128 body = static_cast<unsigned __int128>(le(b, 8, 8)) * 48 +
                                 static_cast<unsigned __int128>(le(b, 32, 8)) * 16;
  const std::size_t n = body < b.size() - 40 ? static_cast<std::size_t>(body) : b.size() - 40;
  set_le(b, 24, 4, crc32_bytewise(0, b.data() + 40, n));
}

// What a reader handed out, and the error that stopped it (none at a clean
// end).
struct DrainedDepth {
  std::vector<DepthRecord> records;
  std::optional<DepthError> error;
};

// Steps `reader` until it stops, through one record reused throughout as a
// run does, and checks that it then stays stopped.
inline DrainedDepth drain(DepthReader& reader) {
  DrainedDepth out;
  DepthRecord record;
  // A reader never hands out more than its header's count; the bound turns
  // one that never stops into a failure rather than a hang.
  for (std::uint64_t step = 0; step <= reader.count(); ++step) {
    DepthNext n = reader.next(record);
    if (std::holds_alternative<RecordReady>(n)) {
      out.records.push_back(record);
      continue;
    }
    if (auto* e = std::get_if<DepthError>(&n)) out.error = *e;
    for (int again = 0; again < 3; ++again) {
      EXPECT_TRUE(std::holds_alternative<End>(reader.next(record))) << "stays stopped";
    }
    EXPECT_EQ(reader.handed_out(), out.records.size());
    return out;
  }
  ADD_FAILURE() << "reader handed out more than its count";
  return out;
}

inline DepthReader open_depth(const std::string& path, std::size_t block = DEPTH_BLOCK_BYTES) {
  DepthOpened o = DepthReader::open(path, block);
  if (auto* e = std::get_if<DepthError>(&o)) {
    ADD_FAILURE() << path << ": " << e->display();
    std::abort();
  }
  return std::move(std::get<DepthReader>(o));
}

// Writes `bytes` to `path` and drains a reader over it.
inline DrainedDepth read_back(const std::string& path, const Bytes& bytes,
                              std::size_t block = DEPTH_BLOCK_BYTES) {
  write_bytes(path, bytes);
  DepthReader reader = open_depth(path, block);
  return drain(reader);
}

}  // namespace halvorn::data::testing
