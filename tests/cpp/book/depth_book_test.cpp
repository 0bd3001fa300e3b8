// The depth book: the update-id sequence rules, setting levels on a side,
// taking from a side, and starting again from a snapshot.

#include "book/depth_book.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace halvorn::book {
namespace {

Book with_snapshot(std::uint64_t id) {
  Book b;
  b.install(DepthSnapshot{id, {{99, 5}}, {{101, 5}}});
  return b;
}

DepthUpdate update(std::uint64_t first, std::uint64_t final,
                   std::optional<std::uint64_t> prev = std::nullopt) {
  return DepthUpdate{prev, {{98, 1}}, {}, 0, first, final};
}

std::vector<std::int64_t> prices(const Side& s) {
  std::vector<std::int64_t> out;
  for (const Level& l : s.levels) out.push_back(l.price);
  return out;
}

TEST(DepthBook, FirstUpdateAfterSnapshotIsStaleAppliedOrAStartGap) {
  {
    Book b = with_snapshot(100);
    const Book before = b;
    EXPECT_EQ(b.apply(update(90, 100)), ApplyResult(apply::Stale{}));
    EXPECT_EQ(b, before);
  }
  {
    Book b = with_snapshot(100);
    EXPECT_EQ(b.apply(update(95, 105)), ApplyResult(apply::Applied{}));
    EXPECT_EQ(b.last_final_id, 105u);
    EXPECT_EQ(b.applied, 1u);
    EXPECT_EQ(b.bids.qty_at(98), 1);
  }
  {
    Book b = with_snapshot(100);
    const Book before = b;
    const ApplyResult r = b.apply(update(102, 110));
    EXPECT_EQ(r, ApplyResult(apply::StartGap{100, 102, 110}));
    EXPECT_TRUE(is_error(r));
    EXPECT_EQ(b, before);
    // The id right after the snapshot is no gap.
    EXPECT_EQ(b.apply(update(101, 110)), ApplyResult(apply::Applied{}));
  }
  {
    // A stated previous id at or below the snapshot vouches for the start;
    // one above it does not.
    Book b = with_snapshot(100);
    EXPECT_EQ(b.apply(update(102, 110, 101)), ApplyResult(apply::StartGap{100, 102, 110}));
    EXPECT_EQ(b.apply(update(102, 110, 100)), ApplyResult(apply::Applied{}));
  }
}

TEST(DepthBook, LaterUpdatesMustContinueFromTheLastFinalId) {
  Book b = with_snapshot(100);
  ASSERT_EQ(b.apply(update(95, 105)), ApplyResult(apply::Applied{}));
  {
    Book c = b;
    EXPECT_EQ(c.apply(update(200, 210, 105)), ApplyResult(apply::Applied{}));
  }
  {
    Book c = b;
    EXPECT_EQ(c.apply(update(106, 110, 104)), ApplyResult(apply::SequenceGap{105, 104}));
    EXPECT_EQ(c, b);
  }
  {
    Book c = b;
    EXPECT_EQ(c.apply(update(106, 110)), ApplyResult(apply::Applied{}));
    EXPECT_EQ(c.applied, 2u);
  }
  {
    Book c = b;
    EXPECT_EQ(c.apply(update(107, 110)), ApplyResult(apply::SequenceGap{105, 106}));
  }
  {
    // After the snapshot's own range, an update that is stale by id is a gap,
    // not ignored: staleness is only judged against the snapshot.
    Book c = b;
    EXPECT_EQ(c.apply(update(90, 100)), ApplyResult(apply::SequenceGap{105, 89}));
  }
}

TEST(DepthBook, FirstIdZeroExpectsPreviousZero) {
  Book b;
  b.install(DepthSnapshot{0, {}, {}});
  ASSERT_EQ(b.apply(update(0, 1, 0)), ApplyResult(apply::Applied{}));
  ASSERT_EQ(b.apply(update(2, 3)), ApplyResult(apply::Applied{}));
  Book c;
  c.install(DepthSnapshot{0, {}, {}});
  c.last_final_id = 0;
  EXPECT_EQ(c.apply(update(0, 0)), ApplyResult(apply::Applied{}));
}

TEST(DepthBook, WithoutSnapshotEveryUpdateIsRefused) {
  Book b;
  for (const DepthUpdate& u : {update(0, 0), update(1, 5), update(7, 9, 6)}) {
    EXPECT_EQ(b.apply(u), ApplyResult(apply::NoSnapshot{}));
  }
  EXPECT_EQ(b, Book{});
}

TEST(DepthBook, BidsAndAsksKeepBestFirstOneLevelPerPrice) {
  Side bids{{}, true};
  Side asks{{}, false};
  for (std::int64_t p : {100, 102, 101}) {
    bids.apply(p, 1);
    asks.apply(p, 1);
  }
  EXPECT_EQ(prices(bids), (std::vector<std::int64_t>{102, 101, 100}));
  EXPECT_EQ(prices(asks), (std::vector<std::int64_t>{100, 101, 102}));

  bids.apply(101, 7);
  EXPECT_EQ(bids.levels, (std::vector<Level>{{102, 1}, {101, 7}, {100, 1}}));
  bids.apply(101, 0);
  asks.apply(101, 0);
  EXPECT_EQ(prices(bids), (std::vector<std::int64_t>{102, 100}));
  EXPECT_EQ(prices(asks), (std::vector<std::int64_t>{100, 102}));
  const Side unchanged = asks;
  asks.apply(99, 0);
  EXPECT_EQ(asks, unchanged);
  EXPECT_EQ(asks.qty_at(102), 1);
  EXPECT_EQ(asks.qty_at(101), std::nullopt);
}

TEST(DepthBook, TakeWalksTheBestLevelsAndConsumesThem) {
  Side asks{{{100, 2}, {101, 3}}, false};
  Side copy = asks;
  EXPECT_EQ(copy.take(4), (Taken{402, 4, false}));
  EXPECT_EQ(copy.levels, (std::vector<Level>{{101, 1}}));

  copy = asks;
  EXPECT_EQ(copy.take(10), (Taken{503, 5, true}));
  EXPECT_TRUE(copy.levels.empty());

  copy = asks;
  EXPECT_EQ(copy.take(2), (Taken{200, 2, false}));
  EXPECT_EQ(copy.levels, (std::vector<Level>{{101, 3}}));

  copy = asks;
  EXPECT_EQ(copy.take(0), (Taken{0, 0, false}));
  EXPECT_EQ(copy.take(-3), (Taken{0, 0, false}));
  EXPECT_EQ(copy, asks);

  Side empty{{}, true};
  EXPECT_EQ(empty.take(1), (Taken{0, 0, true}));
}

TEST(DepthBook, TakePassesOverLevelsWithNothingToGive) {
  // Only an update can set a negative level; it yields nothing and stays.
  Side bids{{}, true};
  bids.apply(103, 2);
  bids.apply(102, -4);
  bids.apply(101, 3);
  EXPECT_EQ(bids.take(4), (Taken{103 * 2 + 101 * 2, 4, false}));
  EXPECT_EQ(bids.levels, (std::vector<Level>{{102, -4}, {101, 1}}));
}

TEST(DepthBook, SnapshotReplacesBothSidesAndRestartsTheSequence) {
  Book b = with_snapshot(100);
  ASSERT_EQ(b.apply(update(101, 105)), ApplyResult(apply::Applied{}));
  b.install(DepthSnapshot{500, {{10, 1}, {12, 2}, {11, 3}, {12, 4}, {9, 0}}, {{20, 1}, {15, 2}}});
  EXPECT_EQ(b.snapshot_id, 500u);
  EXPECT_EQ(b.last_final_id, std::nullopt);
  EXPECT_EQ(b.applied, 0u);
  EXPECT_EQ(b.bids.levels, (std::vector<Level>{{12, 4}, {11, 3}, {10, 1}}));
  EXPECT_EQ(b.asks.levels, (std::vector<Level>{{15, 2}, {20, 1}}));
  EXPECT_EQ(b.apply(update(501, 502, 104)), ApplyResult(apply::Applied{}));

  b.clear();
  EXPECT_EQ(b, Book{});
}

TEST(DepthBook, ResultsHaveDisplayTexts) {
  EXPECT_EQ(to_string(apply::NoSnapshot{}), "depth book has no snapshot");
  EXPECT_EQ(to_string(apply::StartGap{100, 102, 110}),
            "gap after snapshot 100: first update covers 102..110");
  EXPECT_EQ(to_string(apply::SequenceGap{105, 104}),
            "sequence gap: last applied 105, update follows 104");
  EXPECT_FALSE(is_error(apply::Stale{}));
  EXPECT_FALSE(is_error(apply::Applied{}));
  EXPECT_TRUE(is_error(apply::NoSnapshot{}));
}

}  // namespace
}  // namespace halvorn::book
