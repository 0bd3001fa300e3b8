// Stretches of exchange time found in tick and mark files by binary search,
// and readers of those stretches alone.  The reference is the same stretch
// found by std::lower_bound over the series held in memory.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "data/mark_reader.hpp"
#include "data/time_window.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::drain;
using testing::ScratchDir;
using testing::series;
using testing::write_bytes;

TimeWindow found(const std::string& path, Nanos start, Nanos end) {
  auto result = find_tick_window(path, start, end);
  if (auto* e = std::get_if<Error>(&result)) {
    ADD_FAILURE() << e->display();
    return {};
  }
  return std::get<TimeWindow>(result);
}

// The records [first, stop) a window of ticks must have, by lower_bound.
RecordWindow expected(const std::vector<engine::Tick>& ticks, Nanos start, Nanos end) {
  auto at = [&](Nanos t) {
    return static_cast<std::uint64_t>(
        std::lower_bound(ticks.begin(), ticks.end(), t,
                         [](const engine::Tick& a, Nanos b) { return a.exch_ts < b; }) -
        ticks.begin());
  };
  if (end <= start) return {};
  return {at(start), at(end)};
}

TEST(TickWindow, IsTheLowerBoundOfBothEndsWithFewProbes) {
  ScratchDir dir;
  // Times 1000, 1000, 1000, 1003, ...: every third time repeats three times,
  // so boundaries fall on ties, and three blocks' worth of records.
  const auto ticks = series(3 * BLOCK_RECORDS + 17);
  const std::string path = dir.file("t.hvtk");
  write_bytes(path, encode(7, ticks));
  const Nanos first = ticks.front().exch_ts, last = ticks.back().exch_ts;
  std::mt19937_64 random(5);
  std::uniform_int_distribution<Nanos> any(first - 10, last + 10);
  const auto limit = static_cast<std::uint64_t>(2 * (std::ceil(std::log2(ticks.size())) + 1));
  for (int i = 0; i < 300; ++i) {
    Nanos start = any(random), end = any(random);
    if (i % 3 == 0) end = start + 3;  // a window of one tie group or none
    const TimeWindow w = found(path, start, end);
    EXPECT_EQ(w.records, expected(ticks, start, end)) << start << ".." << end;
    EXPECT_EQ(w.count, ticks.size());
    EXPECT_EQ(w.instrument, 7u);
    EXPECT_LE(w.probes, limit) << "a search reads a few records, not the file";
  }
}

TEST(TickWindow, ReadsTheWindowAloneAndCountsPositionsInTheFile) {
  ScratchDir dir;
  const auto ticks = series(2 * BLOCK_RECORDS + 100);
  const std::string path = dir.file("t.hvtk");
  Bytes bytes = encode(1, ticks);
  const RecordWindow window{BLOCK_RECORDS - 5, BLOCK_RECORDS + 40};
  // Cut the file short after the window: a reader of the window never
  // reaches the missing records, where a reader of the file fails.
  bytes.resize(HEADER_BYTES + RECORD_BYTES * (window.stop + 3));
  write_bytes(path, bytes);
  Opened opened = TickReader::open_window(path, window);
  auto& reader = std::get<TickReader>(opened);
  EXPECT_EQ(reader.records(), window.stop - window.first);
  const auto out = drain(reader);
  EXPECT_FALSE(out.error) << out.error->display();
  ASSERT_EQ(out.ticks.size(), window.stop - window.first);
  EXPECT_TRUE(std::equal(out.ticks.begin(), out.ticks.end(), ticks.begin() + window.first,
                         [](const engine::Tick& a, const engine::Tick& b) {
                           return std::memcmp(&a, &b, sizeof a) == 0;
                         }));
  Opened whole = TickReader::open(path);
  EXPECT_TRUE(drain(std::get<TickReader>(whole)).error.has_value());

  // A record that goes backwards inside the window is named by its place in
  // the file, as a reader of the whole file names it.
  auto broken = ticks;
  broken[window.first + 10].exch_ts = 0;
  write_bytes(path, encode(1, broken));
  Opened again = TickReader::open_window(path, window);
  const auto stopped = drain(std::get<TickReader>(again));
  ASSERT_TRUE(stopped.error);
  EXPECT_EQ(stopped.error->display(), "tick " + std::to_string(window.first + 10) +
                                          " goes backwards: previous exchange time " +
                                          std::to_string(broken[window.first + 9].exch_ts) +
                                          ", found 0");
  EXPECT_EQ(stopped.ticks.size(), 10u);
}

TEST(TickWindow, AWholeWindowIsCheckedAsTheFileIsAndAWindowPastTheCountIsRefused) {
  ScratchDir dir;
  const auto ticks = series(50);
  const std::string path = dir.file("t.hvtk");
  Bytes bytes = encode(1, ticks);
  bytes[HEADER_BYTES + 8] ^= 1;  // a local_ts: only the checksum sees it
  write_bytes(path, bytes);
  Opened whole = TickReader::open_window(path, {0, 50});
  const auto out = drain(std::get<TickReader>(whole));
  ASSERT_TRUE(out.error);
  EXPECT_TRUE(std::holds_alternative<ChecksumMismatch>(out.error->kind));
  Opened part = TickReader::open_window(path, {0, 49});
  EXPECT_FALSE(drain(std::get<TickReader>(part)).error);
  Opened past = TickReader::open_window(path, {10, 51});
  ASSERT_TRUE(std::holds_alternative<Error>(past));
  EXPECT_EQ(std::get<Error>(past).display(), "truncated: needed 3296 bytes, 3232 available");
}

TEST(TickWindow, AFileShorterThanItsHeaderIsRefusedBeforeAnyProbe) {
  ScratchDir dir;
  const std::string path = dir.file("t.hvtk");
  Bytes bytes = encode(1, series(100));
  bytes.resize(bytes.size() - 1);
  write_bytes(path, bytes);
  auto result = find_tick_window(path, 0, 2000);
  ASSERT_TRUE(std::holds_alternative<Error>(result));
  EXPECT_EQ(std::get<Error>(result).display(), "truncated: needed 6432 bytes, 6431 available");
}

TEST(MarkWindow, StartsAtTheMarkInForceAndReadsOnlyItsRecords) {
  ScratchDir dir;
  std::vector<MarkRecord> marks;
  for (Nanos t = 0; t < 30'000; t += 10) marks.push_back({t - t % 20, 600'000 + t, 0});
  const std::string path = dir.file("m.hvmk");
  write_bytes(path, encode_marks(3, MarkKind::Price, marks, {}));
  for (auto [start, end] :
       {std::pair<Nanos, Nanos>{-5, 40}, {15, 16}, {20, 95}, {29'990, 40'000}, {100, 100}}) {
    auto result = find_mark_window(path, start, end);
    ASSERT_TRUE(std::holds_alternative<TimeWindow>(result));
    const RecordWindow w = std::get<TimeWindow>(result).records;
    if (end <= start) {
      EXPECT_EQ(w.stop - w.first, 0u);
      continue;
    }
    // The last record at or before start, or the first when none is.
    std::uint64_t first = 0;
    while (first + 1 < marks.size() && marks[first + 1].time <= start) ++first;
    std::uint64_t stop = 0;
    while (stop < marks.size() && marks[stop].time < end) ++stop;
    EXPECT_EQ(w, (RecordWindow{first, stop})) << start << ".." << end;
    MarkOpened opened = MarkReader::open_window(path, w);
    auto& reader = std::get<MarkReader>(opened);
    std::vector<MarkRecord> got;
    for (;;) {
      MarkNext step = reader.next();
      if (auto* r = std::get_if<MarkRecord>(&step)) {
        got.push_back(*r);
        continue;
      }
      EXPECT_TRUE(std::holds_alternative<End>(step));
      break;
    }
    EXPECT_EQ(got, std::vector<MarkRecord>(marks.begin() + first, marks.begin() + stop));
  }
}

}  // namespace
}  // namespace halvorn::data
