// The one merge: ticks, depth records and marks of the same times come out
// in the same order, the order of a stable sort by time over the sources in
// turn; and the block sizes a portfolio's merge reads and hands out in.

#include "backtest/kway_merge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <tuple>
#include <vector>

#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using Order = std::vector<std::tuple<Nanos, std::uint32_t, std::int64_t>>;  // time, id, value

TEST(KWayMerge, EveryKindOfStreamFollowsTheOneTieRule) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 90; ++round) {
    // A few sources are merged by a queue of heads, many by a tournament:
    // both are asked, over random times, sources in turn and long runs.
    const std::size_t k = 1 + rng() % (round < 60 ? 16 : 40);
    const int pattern = round % 3;
    std::vector<std::vector<engine::Tick>> ticks(k);
    std::vector<std::vector<MarkPoint>> marks(k);
    std::vector<std::vector<book::DepthRecord>> depth(k);
    std::vector<InstrumentId> ids;
    Order expected;
    for (std::size_t s = 0; s < k; ++s) {
      // Ids out of order: the tie goes by the order the sources were named.
      ids.push_back(InstrumentId{static_cast<std::uint32_t>(100 - 3 * s)});
      Nanos t = static_cast<Nanos>(rng() % 3);
      for (std::size_t i = 0, n = rng() % 60; i < n; ++i) {
        if (pattern == 0) {
          t += static_cast<Nanos>(rng() % 3);  // many equal times, within and across sources
        } else if (pattern == 1) {
          t = static_cast<Nanos>(i * k + s);  // in turn, as instruments ticking in a cycle
        } else {
          t += rng() % 8 == 0 ? static_cast<Nanos>(rng() % 500) : 0;  // runs of one source
        }
        const std::int64_t value = static_cast<std::int64_t>(s * 1000 + i);
        ticks[s].push_back(testing::tick(t, value));
        marks[s].push_back(MarkPoint{t, value});
        book::DepthRecord r;
        r.time = t;
        book::DepthUpdate update;
        update.first_id = static_cast<std::uint64_t>(value);
        r.entry = std::move(update);
        depth[s].push_back(std::move(r));
        expected.emplace_back(t, ids.back().value, value);
      }
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });

    std::vector<SpanTicks> tick_spans;
    std::vector<SpanMarks> mark_spans;
    std::vector<SpanDepth> depth_spans;
    for (std::size_t s = 0; s < k; ++s) {
      tick_spans.push_back(SpanTicks{ticks[s]});
      mark_spans.push_back(SpanMarks{marks[s]});
      depth_spans.push_back(SpanDepth{depth[s]});
    }
    auto pointers = [](auto& v) {
      std::vector<std::remove_reference_t<decltype(v[0])>*> out;
      for (auto& x : v) out.push_back(&x);
      return out;
    };

    Order got;
    MergedTicks<SpanTicks> merged_ticks(pointers(tick_spans), ids, 1 + rng() % 16);
    while (const engine::Tick* t = merged_ticks.next_in_place()) {
      got.emplace_back(t->exch_ts, static_cast<std::uint32_t>(*merged_ticks.last_instrument()),
                       t->last);
    }
    EXPECT_EQ(got, expected) << "ticks, round " << round;

    got.clear();
    MergedMarks<SpanMarks> merged_marks(pointers(mark_spans), ids);
    for (MarkPoint m; merged_marks.next(m);) {
      got.emplace_back(m.time, merged_marks.last_instrument().value, m.price);
    }
    EXPECT_EQ(got, expected) << "marks, round " << round;

    got.clear();
    MergedDepth<SpanDepth> merged_depth(pointers(depth_spans), ids);
    for (book::DepthRecord r; merged_depth.next(r);) {
      got.emplace_back(r.time, merged_depth.last_instrument().value,
                       static_cast<std::int64_t>(std::get<book::DepthUpdate>(r.entry).first_id));
    }
    EXPECT_EQ(got, expected) << "depth, round " << round;
  }
}

// A source read a block at a time into one buffer, as a file is: a record
// is valid until the next block is read over it, the records after the one
// last handed out are shown in place up to the block's end or a record that
// goes backwards, and a record that goes backwards ends the series.
struct BlockedTicks {
  std::vector<engine::Tick> all;
  std::size_t block = 1;
  std::vector<engine::Tick> buffer;
  std::size_t read = 0;    // records of `all` read into buffers so far
  std::size_t cursor = 0;  // in buffer
  std::size_t handed = 0;
  Nanos previous = INT64_MIN;
  bool ended = false;

  const engine::Tick* next_in_place() {
    if (ended) return nullptr;
    if (cursor == buffer.size()) {
      if (read == all.size()) {
        ended = true;
        return nullptr;
      }
      // A stale pointer into the old block reads these, not the records.
      std::fill(buffer.begin(), buffer.end(), testing::tick(-1, -1));
      buffer.assign(all.begin() + static_cast<std::ptrdiff_t>(read),
                    all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), read + block)));
      read += buffer.size();
      cursor = 0;
    }
    if (buffer[cursor].exch_ts < previous) {
      ended = true;
      return nullptr;
    }
    previous = buffer[cursor].exch_ts;
    ++handed;
    return &buffer[cursor++];
  }
  bool next(engine::Tick& out) {
    const engine::Tick* t = next_in_place();
    if (t != nullptr) out = *t;
    return t != nullptr;
  }
  std::size_t in_place() const { return buffer.size() - cursor; }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    std::size_t end = cursor;
    for (Nanos p = previous; end < buffer.size() && end - cursor < n && buffer[end].exch_ts >= p;
         ++end) {
      p = buffer[end].exch_ts;
    }
    return std::span<const engine::Tick>(buffer).subspan(cursor, end - cursor);
  }
  void skip_in_place(std::size_t k) {
    EXPECT_LE(k, peek_in_place(k).size()) << "handed out past what was shown";
    cursor += k;
    handed += k;
    if (k > 0) previous = buffer[cursor - 1].exch_ts;
  }
};

TEST(KWayMerge, SourcesReadInBlocksAreWalkedInPlaceAndHandedOutWhole) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 60; ++round) {
    const std::size_t k = 1 + rng() % 20;
    std::vector<BlockedTicks> sources(k);
    std::vector<InstrumentId> ids;
    std::vector<std::size_t> good(k);
    Order expected;
    for (std::size_t s = 0; s < k; ++s) {
      ids.push_back(InstrumentId{static_cast<std::uint32_t>(s + 1)});
      BlockedTicks& src = sources[s];
      src.block = 1 + rng() % 9;
      Nanos t = static_cast<Nanos>(rng() % 4);
      const std::size_t n = rng() % 50;
      // Now and then a source goes backwards part-way: it ends there.
      const std::size_t back = n > 1 && rng() % 3 == 0 ? 1 + rng() % (n - 1) : n;
      for (std::size_t i = 0; i < n; ++i) {
        const Nanos before = t;
        t += round % 2 == 0 ? static_cast<Nanos>(rng() % 3) : static_cast<Nanos>(k);
        const Nanos at = i == back ? before - 1 : t;
        src.all.push_back(testing::tick(at, static_cast<std::int64_t>(s * 1000 + i)));
        if (i < back) expected.emplace_back(at, ids.back().value, src.all.back().last);
      }
      good[s] = back;
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    std::vector<BlockedTicks*> pointers;
    for (BlockedTicks& s : sources) pointers.push_back(&s);

    Order got;
    MergedTicks<BlockedTicks> merged(pointers, ids, 1 + rng() % 16);
    while (const engine::Tick* t = merged.next_in_place()) {
      got.emplace_back(t->exch_ts, static_cast<std::uint32_t>(*merged.last_instrument()), t->last);
    }
    EXPECT_EQ(got, expected) << "round " << round;
    for (std::size_t s = 0; s < k; ++s) {
      EXPECT_TRUE(sources[s].ended) << "round " << round << " source " << s;
      EXPECT_EQ(sources[s].handed, good[s]) << "round " << round << " source " << s;
    }
  }
}

TEST(KWayMerge, AMergeOfNoSourcesIsEmpty) {
  MergedTicks<SpanTicks> ticks({}, {});
  EXPECT_EQ(ticks.next_in_place(), nullptr);
  MergedMarks<SpanMarks> marks({}, {});
  MarkPoint m;
  EXPECT_FALSE(marks.next(m));
}

TEST(MergeBlocks, ABlockHoldsItsBatchesWithinItsBounds) {
  EXPECT_EQ(merge_block(1), MERGE_BLOCK);
  EXPECT_EQ(merge_block(5'000), 5'000 * MERGE_BATCHES);
  EXPECT_EQ(merge_block(1'000'000), MERGE_BLOCK_MOST);
  // A batch so large that a block of several would overflow is held to the
  // most, not wrapped round to a small block.
  EXPECT_EQ(merge_block(UINT64_MAX / 2), MERGE_BLOCK_MOST);
  EXPECT_EQ(merge_block(UINT64_MAX), MERGE_BLOCK_MOST);
}

TEST(MergeBlocks, FilesReadTogetherShareTheReadButEachReadsTheLeast) {
  constexpr std::size_t USUAL = 8192;
  EXPECT_EQ(merge_read_records(0, USUAL), USUAL);
  EXPECT_EQ(merge_read_records(1, USUAL), USUAL);
  for (std::size_t files : {9u, 64u, 100u}) {
    const std::size_t each = merge_read_records(files, USUAL);
    EXPECT_LE(each * files, MERGE_READ_RECORDS) << files;
    EXPECT_GE(each, MERGE_READ_LEAST) << files;
  }
  EXPECT_EQ(merge_read_records(1'000, USUAL), MERGE_READ_LEAST);
}

}  // namespace
}  // namespace halvorn::backtest
