// Stretches of exchange time found in depth files without a pass over them,
// against the same stretch found by walking every record of the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "data/depth_window.hpp"
#include "depth_files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::ScratchDir;
using testing::snapshot_at;
using testing::update_at;
using testing::write_bytes;

// Records with ties in time, a snapshot now and then, and levels whose
// prices and quantities look like the start of a record (a price of 1 or 2
// ticks, small quantities), so that a search that took level data for a
// record's start would show.
std::vector<book::DepthRecord> records(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<book::DepthRecord> out;
  Nanos t = 1'000'000;
  std::uint64_t id = 1;
  for (std::size_t i = 0; i < n; ++i) {
    t += random() % 3;
    std::vector<book::Level> bids, asks;
    const std::size_t levels = random() % 40;
    for (std::size_t j = 0; j < levels; ++j) {
      const std::int64_t price = j % 5 == 0 ? 1 + static_cast<std::int64_t>(random() % 2)
                                            : 600'000 - static_cast<std::int64_t>(j);
      (j % 2 ? asks : bids).push_back({price, static_cast<std::int64_t>(random() % 4)});
    }
    if (i % 700 == 0) {
      out.push_back(snapshot_at(t, id, bids, asks));
    } else {
      out.push_back(update_at(t, id + 1, id + 1, bids, asks, id));
      ++id;
    }
  }
  return out;
}

struct Reference {
  std::vector<std::uint64_t> offsets;  // each record's start in the body, then the end
  std::vector<Nanos> times;
  std::vector<bool> snapshots;
};

Reference reference(const std::vector<book::DepthRecord>& rs) {
  Reference ref;
  std::uint64_t at = 0;
  for (const auto& r : rs) {
    ref.offsets.push_back(at);
    ref.times.push_back(r.time);
    const auto* s = std::get_if<book::DepthSnapshot>(&r.entry);
    ref.snapshots.push_back(s != nullptr);
    const std::size_t n = s != nullptr ? s->bids.size() + s->asks.size()
                                       : std::get<book::DepthUpdate>(r.entry).bids.size() +
                                             std::get<book::DepthUpdate>(r.entry).asks.size();
    at += DEPTH_RECORD_BYTES + DEPTH_LEVEL_BYTES * n;
  }
  ref.offsets.push_back(at);
  return ref;
}

TEST(DepthWindow, StartsAtTheSnapshotBeforeTheStretchAndEndsAtItsEnd) {
  ScratchDir dir;
  const auto rs = records(12'000, 3);
  const Reference ref = reference(rs);
  const std::string path = dir.file("d.hvdp");
  write_bytes(path, testing::encoded(4, rs));
  std::mt19937_64 random(9);
  std::uniform_int_distribution<Nanos> any(ref.times.front() - 5, ref.times.back() + 5);
  for (int i = 0; i < 200; ++i) {
    Nanos start = any(random), end = any(random);
    if (end < start) std::swap(start, end);
    if (end == start) ++end;
    auto found = find_depth_window(path, start, end);
    ASSERT_TRUE(std::holds_alternative<DepthWindowFound>(found));
    const DepthWindowFound& w = std::get<DepthWindowFound>(found);
    const auto first = static_cast<std::size_t>(
        std::lower_bound(ref.times.begin(), ref.times.end(), start) - ref.times.begin());
    const auto stop = static_cast<std::size_t>(
        std::lower_bound(ref.times.begin(), ref.times.end(), end) - ref.times.begin());
    std::size_t from = first < rs.size() && ref.snapshots[first] ? first : 0;
    if (from == 0) {
      for (std::size_t k = first; k-- > 0;) {
        if (ref.snapshots[k]) {
          from = k;
          break;
        }
      }
    }
    EXPECT_EQ(w.bytes, (DepthWindow{ref.offsets[from], ref.offsets[stop]})) << start << ".." << end;
    EXPECT_EQ(w.count, rs.size());
    // A window within reach of its snapshot reads a handful of blocks, not
    // the file's.
    EXPECT_LT(w.blocks_read, 60u);

    DepthOpened opened = DepthReader::open_window(path, w.bytes.from, w.bytes.to);
    auto& reader = std::get<DepthReader>(opened);
    book::DepthRecord record;
    std::size_t k = from;
    for (;;) {
      const DepthNext step = reader.next(record);
      if (std::holds_alternative<End>(step)) break;
      ASSERT_TRUE(std::holds_alternative<RecordReady>(step))
          << std::get<DepthError>(step).display();
      ASSERT_LT(k, stop);
      EXPECT_EQ(record, testing::as_read(rs[k]));
      ++k;
    }
    EXPECT_EQ(k, stop);
  }
}

TEST(DepthWindow, AWindowsRecordsAreCheckedAndNamedFromItsFirst) {
  ScratchDir dir;
  auto rs = records(3'000, 5);
  const Reference ref = reference(rs);
  const std::string path = dir.file("d.hvdp");
  Bytes bytes = testing::encoded(4, rs);
  // A negative quantity in record 1_405, the sixth of a window from 1_400.
  const std::uint64_t at = DEPTH_HEADER_BYTES + ref.offsets[1'405] + DEPTH_RECORD_BYTES + 8;
  ASSERT_GT(ref.offsets[1'406] - ref.offsets[1'405], DEPTH_RECORD_BYTES);
  bytes[at + 7] = 0xff;
  write_bytes(path, bytes);
  DepthOpened opened = DepthReader::open_window(path, ref.offsets[1'400], ref.offsets[1'500]);
  auto& reader = std::get<DepthReader>(opened);
  book::DepthRecord record;
  int ready = 0;
  DepthNext step;
  while (std::holds_alternative<RecordReady>(step = reader.next(record))) ++ready;
  EXPECT_EQ(ready, 5);
  ASSERT_TRUE(std::holds_alternative<DepthError>(step));
  EXPECT_TRUE(std::get<DepthError>(step).display().starts_with("depth record 5 is malformed"))
      << std::get<DepthError>(step).display();
}

TEST(DepthWindow, AFileWithoutRecordStartsWhereTheyMustBeIsNamedDamaged) {
  ScratchDir dir;
  const auto rs = records(4'000, 8);
  const Reference ref = reference(rs);
  const std::string path = dir.file("d.hvdp");
  Bytes bytes = testing::encoded(4, rs);
  // Every record's kind in the middle of the file wiped out.
  for (std::size_t k = 1'000; k < 3'000; ++k) bytes[DEPTH_HEADER_BYTES + ref.offsets[k]] = 9;
  write_bytes(path, bytes);
  auto found = find_depth_window(path, ref.times[2'000], ref.times[2'100]);
  ASSERT_TRUE(std::holds_alternative<Unframed>(found));
}

}  // namespace
}  // namespace halvorn::data
