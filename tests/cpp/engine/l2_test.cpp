// The L2 matcher: queue positions read from depth, taker fills priced by
// walking a per-tick copy of the depth, and what happens when the depth
// stream breaks and a snapshot brings it back.

#include "engine/l2.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace halvorn::engine {
namespace {

using book::Level;

constexpr InstrumentId INSTRUMENT{9};

Tick tick(Nanos t, std::int64_t last, std::int64_t high, std::int64_t low, std::int64_t volume,
          std::int64_t bid = 0, std::int64_t ask = 0) {
  return Tick{t, t, last, high, low, bid, ask, volume};
}

Working buy_limit(OrderId id, std::int64_t price) {
  return limit_order(id, Side::Buy, price, 1, 0, 0, Offset::Open);
}
Working market(OrderId id, Side side, QtyLots qty) {
  return market_order(id, side, qty, 0, 0, Offset::Open);
}

L2Engine synced(const L1Config& config, std::vector<Level> bids, std::vector<Level> asks) {
  L2Engine e(INSTRUMENT, config);
  e.install_snapshot(book::DepthSnapshot{100, std::move(bids), std::move(asks)});
  return e;
}

book::DepthUpdate next_update(std::uint64_t id, std::int64_t time_ms, std::vector<Level> bids,
                              std::vector<Level> asks = {}) {
  return book::DepthUpdate{std::nullopt, std::move(bids), std::move(asks), time_ms, id, id};
}

std::vector<std::int64_t> prices(std::span<const L0Fill> fills) {
  std::vector<std::int64_t> out;
  for (const L0Fill& f : fills) out.push_back(f.price);
  return out;
}

TEST(L2, ANewEngineIsUnsyncedAndAnUpdateStartsAResynchronisation) {
  L2Engine e(INSTRUMENT, L1Config{});
  EXPECT_FALSE(e.depth_ready);
  EXPECT_FALSE(e.resync_pending);
  EXPECT_EQ(e.on_depth(next_update(1, 0, {{100, 1}})),
            book::ApplyResult(book::apply::NoSnapshot{}));
  EXPECT_TRUE(e.resync_pending);
  EXPECT_FALSE(e.depth_ready);
  e.install_snapshot(book::DepthSnapshot{7, {{100, 4}}, {}});
  EXPECT_TRUE(e.depth_ready);
  EXPECT_FALSE(e.resync_pending);
  EXPECT_EQ(e.depth.snapshot_id, 7u);
  EXPECT_EQ(e.on_depth(next_update(8, 0, {{100, 2}})), book::ApplyResult(book::apply::Applied{}));
  EXPECT_EQ(e.depth.bids.qty_at(100), 2);
}

TEST(L2, ALimitOrderWithoutLatencyQueuesBehindTheDisplayedSizeAtItsPrice) {
  L2Engine e = synced(L1Config{}, {{100, 5}, {99, 8}}, {{101, 3}});
  e.on_tick(tick(10, 100, 101, 99, 0, 99, 101));  // a buy at 100 is below the ask
  e.submit(buy_limit(1, 100), 20);
  e.submit(buy_limit(2, 98), 20);  // no level there: nothing ahead, straight to the book
  ASSERT_EQ(e.l1.queued.size(), 1u);
  EXPECT_EQ(e.l1.queued[0].ahead, 5);
  EXPECT_EQ(e.l1.queued[0].joined, 20);
  EXPECT_EQ(e.l1.inner.book.count(Lane::BuyLimits), 1u);

  // Volume counts only once a whole tick interval lies after the join time.
  e.on_tick(tick(30, 100, 101, 99, 4));
  EXPECT_EQ(e.l1.queued[0].ahead, 5);
  e.on_tick(tick(40, 100, 101, 99, 8));
  EXPECT_EQ(e.l1.queued[0].ahead, 1);
  const auto fills = e.on_tick(tick(50, 100, 101, 99, 9));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].order, 1u);
}

TEST(L2, PendingOrdersReadTheBookAsItStoodBeforeTheFirstLaterUpdate) {
  L1Config c;
  c.order_latency.kind = Latency::Fixed{999'999'999};
  L2Engine e = synced(c, {{100, 7}}, {});
  e.submit(buy_limit(1, 100), 0);  // arrives at 999_999_999
  e.submit(buy_limit(2, 100), 1);  // arrives at 1_000_000_000
  ASSERT_EQ(e.l1.pending.size(), 2u);
  EXPECT_TRUE(e.l1.pending[0].needs_depth);

  ASSERT_EQ(e.on_depth(next_update(101, 1'000, {{100, 3}})),
            book::ApplyResult(book::apply::Applied{}));
  EXPECT_FALSE(e.l1.pending[0].needs_depth);
  EXPECT_EQ(e.l1.pending[0].ahead, 7);
  // Still waiting: the size it saw at submission is not the final word.
  EXPECT_TRUE(e.l1.pending[1].needs_depth);

  // The tick at the second arrival reads the book after the update.
  e.on_tick(tick(1'000'000'000, 105, 106, 104, 0));
  ASSERT_EQ(e.l1.queued.size(), 2u);
  EXPECT_EQ(e.l1.queued[0].ahead, 7);
  EXPECT_EQ(e.l1.queued[0].joined, 999'999'999);
  EXPECT_EQ(e.l1.queued[1].ahead, 3);
  EXPECT_EQ(e.l1.queued[1].joined, 1'000'000'000);
}

TEST(L2, SuccessiveTakerFillsOfATickWalkDeeperIntoOneCopyOfTheDepth) {
  L2Engine e = synced(L1Config{}, {{99, 10}}, {{100, 2}, {101, 3}});
  for (Nanos t : {10, 20}) {
    e.submit(market(1, Side::Buy, 2), t);
    e.submit(market(2, Side::Buy, 2), t);
    EXPECT_EQ(prices(e.on_tick(tick(t, 100, 100, 100, 0, 99, 100))),
              (std::vector<std::int64_t>{100, 101}))
        << "tick " << t;
  }
  EXPECT_EQ(e.depth.asks.levels, (std::vector<Level>{{100, 2}, {101, 3}}));
}

TEST(L2, DepthNeverMakesATakerFillBetterThanTheL0Price) {
  L2Engine e = synced(L1Config{}, {{99, 1}, {98, 1}}, {{90, 5}});
  e.submit(market(1, Side::Sell, 2), 0);  // depth 98.5 -> 98, below the bid
  e.submit(market(2, Side::Buy, 2), 0);   // depth 90, below the ask
  EXPECT_EQ(prices(e.on_tick(tick(10, 100, 100, 100, 0, 99, 100))),
            (std::vector<std::int64_t>{100, 98}));
}

TEST(L2, ATakerTheDepthCannotAbsorbFallsBackOnTheSquareRootImpact) {
  L1Config c;
  c.impact_pct = 100;
  L2Engine e = synced(c, {}, {{100, 2}, {101, 3}});
  e.on_tick(tick(0, 100, 100, 100, 0));
  e.submit(market(1, Side::Buy, 10), 0);
  // 40 traded, range 10: sqrt(10 / 40) x 10 = 5 above the ask.
  EXPECT_EQ(prices(e.on_tick(tick(10, 100, 105, 95, 40, 99, 100))),
            (std::vector<std::int64_t>{105}));

  // Unsynced, the book is empty and every taker falls back the same way.
  L2Engine u(INSTRUMENT, c);
  u.on_tick(tick(0, 100, 100, 100, 0));
  u.submit(market(1, Side::Buy, 10), 0);
  EXPECT_EQ(prices(u.on_tick(tick(10, 100, 105, 95, 40, 99, 100))),
            (std::vector<std::int64_t>{105}));
}

TEST(WorkingDepth, RoundsABuyUpAndASellDownAndPricesWhatTheBookCannotHoldAtItsWorst) {
  book::Book depth;
  depth.install(book::DepthSnapshot{1, {{101, 1}, {100, 1}}, {{100, 1}, {101, 1}}});
  WorkingDepth w;
  EXPECT_EQ(w.take(depth, false, 2), (Walked{101, false}));  // 201 / 2 rounded up
  EXPECT_EQ(w.take(depth, true, 2), (Walked{100, false}));   // 201 / 2 truncated
  // The copy is used up: what comes after pays the deepest price displayed,
  // never less than the walk before it.
  EXPECT_EQ(w.take(depth, false, 1), (Walked{101, true}));

  WorkingDepth fresh;
  EXPECT_EQ(fresh.take(depth, true, 3), (Walked{100, true}));  // (101 + 100 + 100) / 3
  EXPECT_TRUE(fresh.bids->levels.empty());
  EXPECT_EQ(fresh.take(depth, true, 0), std::nullopt);
  EXPECT_FALSE(fresh.asks.has_value());
  EXPECT_EQ(depth.bids.levels.size(), 2u);

  // A limit takes only the levels it allows and prices the rest at itself.
  WorkingDepth limited;
  EXPECT_EQ(limited.take(depth, false, 3, 100), (Walked{100, true}));
  EXPECT_EQ(limited.asks->levels.size(), 1u);  // 101 is left for later fills
  EXPECT_EQ(limited.take(depth, false, 1), (Walked{101, false}));

  // A side that displays nothing gives no depth price.
  book::Book one_sided;
  one_sided.install(book::DepthSnapshot{1, {{99, 5}}, {}});
  WorkingDepth none;
  EXPECT_EQ(none.take(one_sided, false, 1), std::nullopt);
}

TEST(L2Resync, ABrokenStreamMakesTicksInvalidUntilASnapshot) {
  L1Config c;
  c.report_latency.kind = Latency::Fixed{1'000};
  L2Engine e = synced(c, {{99, 5}}, {{101, 5}});
  e.l1.inner.submit(limit_order(7, Side::Sell, 103, 1, 0, 0, Offset::Open));
  e.submit(market(1, Side::Buy, 1), 0);
  EXPECT_TRUE(e.on_tick(tick(10'000, 100, 100, 100, 50, 99, 101)).empty());
  ASSERT_EQ(e.l1.delayed.size(), 1u);

  // A gap: the book is dropped and the previous tick forgotten.
  ASSERT_EQ(e.on_depth(next_update(101, 10, {{99, 6}})), book::ApplyResult(book::apply::Applied{}));
  EXPECT_EQ(e.on_depth(next_update(103, 10, {{99, 7}})),
            book::ApplyResult(book::apply::SequenceGap{101, 102}));
  EXPECT_TRUE(e.resync_pending);
  EXPECT_FALSE(e.depth_ready);
  EXPECT_EQ(e.depth, book::Book{});
  EXPECT_EQ(e.l1.prev_volume, std::nullopt);
  EXPECT_EQ(e.l1.inner.prev_last, std::nullopt);

  // Orders wait for the depth whatever their latency.
  e.submit(market(2, Side::Buy, 1), 10'100);
  e.submit(buy_limit(3, 200), 10'100);
  ASSERT_EQ(e.l1.pending.size(), 2u);
  EXPECT_TRUE(e.l1.pending[0].needs_depth);
  EXPECT_EQ(e.l1.pending[1].arrive_at, 10'100);
  EXPECT_EQ(e.l1.pending[1].joined, 10'100);

  // The sell at 103 would be crossed by this tick's range; nothing matches,
  // but the fill made before the break is reported when its time comes.
  EXPECT_TRUE(e.on_tick(tick(10'500, 104, 105, 104, 60)).empty());
  EXPECT_EQ(e.invalid_ticks, 1u);
  const auto reported = e.on_tick(tick(11'000, 104, 105, 104, 70));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].order, 1u);
  EXPECT_EQ(e.invalid_ticks, 2u);
  EXPECT_EQ(e.l1.pending.size(), 2u);
  EXPECT_EQ(e.l1.inner.book.size(), 1u);
  EXPECT_EQ(e.l1.prev_volume, 70);
  EXPECT_EQ(e.l1.inner.prev_last, std::nullopt);

  // Another failing update keeps it resynchronising.
  EXPECT_EQ(e.on_depth(next_update(104, 11, {})), book::ApplyResult(book::apply::NoSnapshot{}));
  EXPECT_TRUE(e.resync_pending);

  e.install_snapshot(book::DepthSnapshot{200, {{101, 4}}, {{102, 3}}});
  EXPECT_EQ(e.on_tick(tick(12'000, 102, 103, 101, 80, 101, 102)).size(), 0u);
  EXPECT_EQ(e.invalid_ticks, 2u);
  // The pending orders arrived: the market order executed at the ask (to be
  // reported later) and the limit order read its position from the new book
  // (no level at 200: it rests).  The first good tick had no crossing step,
  // so the sell at 103 still rests.
  ASSERT_EQ(e.l1.delayed.size(), 2u);
  EXPECT_EQ(e.l1.delayed[0].fill.order, 2u);
  EXPECT_EQ(e.l1.delayed[0].fill.price, 102);
  EXPECT_EQ(e.l1.delayed[1].fill.order, 3u);
  EXPECT_TRUE(e.l1.pending.empty());
  EXPECT_EQ(e.l1.inner.book.count(Lane::SellLimits), 1u);
}

TEST(L2Resync, AFailedUpdateForgetsQueuePositionsAlreadyRead) {
  L1Config c;
  c.order_latency.kind = Latency::Fixed{5'000'000'000};
  L2Engine e = synced(c, {{100, 7}}, {});
  e.submit(buy_limit(1, 100), 0);
  ASSERT_EQ(e.on_depth(next_update(101, 6'000, {})), book::ApplyResult(book::apply::Applied{}));
  ASSERT_FALSE(e.l1.pending[0].needs_depth);
  ASSERT_EQ(e.l1.pending[0].ahead, 7);
  e.on_depth(next_update(150, 6'001, {}));
  EXPECT_TRUE(e.l1.pending[0].needs_depth);
  EXPECT_EQ(e.l1.pending[0].ahead, std::nullopt);
}

TEST(L2, AMarketableLimitWalksTheDepthButNeverPastItsLimit) {
  L2Engine e = synced(L1Config{}, {{99, 10}}, {{100, 2}, {101, 3}});
  e.on_tick(tick(0, 100, 100, 100, 0, 99, 100));
  // Four lots walk 100 x 2 and 101 x 2: (200 + 202) / 4 rounds up to 101.
  e.submit(limit_order(1, Side::Buy, 102, 4, 0, 0, Offset::Open), 0);
  auto fills = e.on_tick(tick(10, 100, 100, 100, 0, 99, 100));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_TRUE(fills[0].taker);
  EXPECT_EQ(fills[0].price, 101);
  // The same walk for a buy limited at the ask stops at its limit.
  e.submit(limit_order(2, Side::Buy, 100, 4, 0, 0, Offset::Open), 10);
  fills = e.on_tick(tick(20, 100, 100, 100, 0, 99, 100));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_TRUE(fills[0].taker);
  EXPECT_EQ(fills[0].price, 100);
  // One that rested is a maker and is not priced from depth at all.
  e.submit(limit_order(3, Side::Buy, 98, 4, 0, 0, Offset::Open), 20);
  EXPECT_TRUE(e.on_tick(tick(30, 100, 100, 100, 0, 99, 100)).empty());
  fills = e.on_tick(tick(40, 98, 98, 98, 0, 97, 98));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_FALSE(fills[0].taker);
  EXPECT_EQ(fills[0].price, 98);
}

}  // namespace
}  // namespace halvorn::engine
