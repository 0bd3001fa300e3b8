// The one merge: ticks, depth records and marks of the same times come out
// in the same order, the order of a stable sort by time over the sources in
// turn; and the block sizes a portfolio's merge reads and hands out in.

#include "backtest/kway_merge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
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
