// Filling in parts at L1 and L2: a resting order reached by a tick fills by
// the volume traded on it past its queue (whole when the tick traded through
// it), the rest keeping its place; an L2 taker takes what the displayed
// levels within its limit hold, the rest resting, expiring or, for
// fill-or-kill, keeping the whole from filling.

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "engine/l2.hpp"

namespace halvorn::engine {
namespace {

constexpr InstrumentId INSTRUMENT{3};

Tick tick(Nanos t, std::int64_t last, std::int64_t high, std::int64_t low, std::int64_t volume,
          std::int64_t bid = 0, std::int64_t ask = 0) {
  return Tick{t, t, last, high, low, bid, ask, volume};
}

Working limit(OrderId id, Side side, std::int64_t price, QtyLots qty,
              TimeInForce tif = TimeInForce::GoodTillCancel) {
  Working w = limit_order(id, side, price, qty, 0, 0, Offset::Open);
  w.tif = tif;
  return w;
}

L1Config partial(std::int64_t queue_lots = 0) {
  L1Config c;
  c.partial_fills = true;
  if (queue_lots > 0) c.queue.kind = QueueModel::Fixed{queue_lots};
  return c;
}

// (order, qty, remaining) of each fill.
using Part = std::tuple<OrderId, QtyLots, QtyLots>;
std::vector<Part> parts(std::span<const L0Fill> fills) {
  std::vector<Part> out;
  for (const L0Fill& f : fills) out.emplace_back(f.order, f.qty, f.remaining);
  return out;
}

TEST(PartialFills, AQueuedOrderFillsByTheVolumePastItsQueueAndTheRestKeepsWorking) {
  L1Engine e(INSTRUMENT, partial(2));
  e.on_tick(tick(0, 101, 101, 101, 0, 100, 101));
  e.submit(limit(1, Side::Buy, 100, 5), 0);
  ASSERT_EQ(e.queued_count(), 1u);
  // 3 lots trade at 100: 2 work off the queue, 1 gets past it.  The fall
  // from 101 reaches the order without trading through it.
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 101, 100, 3, 99, 100))), (std::vector<Part>{{1, 1, 4}}));
  // At the front now: each tick's volume at its price fills it, the ask
  // sitting on it reaching it.
  EXPECT_EQ(parts(e.on_tick(tick(2, 100, 100, 100, 5, 99, 100))), (std::vector<Part>{{1, 2, 2}}));
  EXPECT_TRUE(e.on_tick(tick(3, 100, 100, 100, 5, 99, 100)).empty());  // nothing traded
  EXPECT_EQ(parts(e.on_tick(tick(4, 100, 100, 100, 9, 99, 100))), (std::vector<Part>{{1, 2, 0}}));
  EXPECT_TRUE(e.inner.book.empty());
  // Whole fills, the same ticks: one fill of 5 on the tick the queue ran out.
  L1Config whole = partial(2);
  whole.partial_fills = false;
  L1Engine w(INSTRUMENT, whole);
  w.on_tick(tick(0, 101, 101, 101, 0, 100, 101));
  w.submit(limit(1, Side::Buy, 100, 5), 0);
  EXPECT_EQ(parts(w.on_tick(tick(1, 100, 101, 100, 3, 99, 100))), (std::vector<Part>{{1, 5, 0}}));
}

TEST(PartialFills, ATickThatTradesThroughTheOrderFillsItWhole) {
  L1Engine e(INSTRUMENT, partial());
  e.on_tick(tick(0, 101, 101, 101, 0));
  e.submit(limit(1, Side::Buy, 100, 5), 0);
  e.submit(limit(2, Side::Sell, 110, 5), 0);
  // A low of 99 is a trade below the buy: whatever the volume says.
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 101, 99, 1))), (std::vector<Part>{{1, 5, 0}}));
  // A rise to the sell's price reaches it, but nothing traded on the tick;
  // a bid above it then trades through it.
  EXPECT_TRUE(e.on_tick(tick(2, 110, 110, 100, 1)).empty());
  EXPECT_EQ(parts(e.on_tick(tick(3, 109, 110, 108, 1, 111, 112))), (std::vector<Part>{{2, 5, 0}}));
}

TEST(PartialFills, OneTicksVolumeIsSharedInTheOrderTheRulesReachTheOrders) {
  L1Engine e(INSTRUMENT, partial());
  e.on_tick(tick(0, 101, 101, 101, 0));
  e.submit(limit(1, Side::Buy, 100, 2), 0);
  e.submit(limit(2, Side::Buy, 100, 2), 0);
  e.submit(limit(3, Side::Buy, 100, 2), 0);
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 101, 100, 3))), (std::vector<Part>{{1, 2, 0}, {2, 1, 1}}));
  ASSERT_EQ(e.inner.book.size(), 2u);
  // The next tick reaches them by the quote, the earliest first.
  EXPECT_EQ(parts(e.on_tick(tick(2, 100, 100, 100, 5, 99, 100))),
            (std::vector<Part>{{2, 1, 0}, {3, 1, 1}}));
}

TEST(PartialFills, AnOrderFillsAtMostOnceATick) {
  L1Engine e(INSTRUMENT, partial());
  e.on_tick(tick(0, 101, 101, 101, 0));
  e.submit(limit(1, Side::Buy, 100, 10), 0);
  // Crossed by the fall to 100 and reached by the ask at 100 on the same
  // tick: one part of the tick's 4 lots, not two.
  const auto fills = e.on_tick(tick(1, 100, 101, 100, 4, 99, 100));
  EXPECT_EQ(parts(fills), (std::vector<Part>{{1, 4, 6}}));
  EXPECT_EQ(fills[0].rule, FillRule::Crossed);
}

TEST(PartialFills, TakersFillWholeAtL1) {
  L1Engine e(INSTRUMENT, partial());
  e.on_tick(tick(0, 100, 100, 100, 0, 99, 101));
  e.submit(market_order(1, Side::Buy, 50, 0, 0, Offset::Open), 0);
  e.submit(limit(2, Side::Sell, 99, 50), 0);  // marketable
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 100, 100, 1, 99, 101))),
            (std::vector<Part>{{1, 50, 0}, {2, 50, 0}}));
}

// Synced with asks 101 x 2, 102 x 3, 104 x 10 and bids 99 x 4.
L2Engine thin_book(const L1Config& config) {
  L2Engine e(INSTRUMENT, config);
  e.install_snapshot(book::DepthSnapshot{1, {{99, 4}}, {{101, 2}, {102, 3}, {104, 10}}});
  e.on_tick(tick(0, 100, 100, 100, 0, 99, 101));
  return e;
}

TEST(PartialFillsL2, ATakerTakesWhatTheLevelsWithinItsLimitHoldAndTheRestRests) {
  L2Engine e = thin_book(partial());
  e.submit(limit(1, Side::Buy, 102, 10), 0);
  const auto fills = e.on_tick(tick(1, 100, 100, 100, 0, 99, 101));
  EXPECT_EQ(parts(fills), (std::vector<Part>{{1, 5, 5}}));
  EXPECT_EQ(fills[0].price, 102);  // (2 x 101 + 3 x 102) / 5 = 101.6, up
  EXPECT_TRUE(fills[0].taker);
  // The rest rests at 102 as a maker.
  ASSERT_NE(e.l1.inner.book.find(1), nullptr);
  EXPECT_FALSE(e.l1.inner.takers.contains(1));
}

TEST(PartialFillsL2, IocKeepsItsPartAndFokFillsWholeOrNotAtAll) {
  L2Engine e = thin_book(partial());
  e.submit(limit(1, Side::Buy, 102, 10, TimeInForce::FillOrKill), 0);
  e.submit(limit(2, Side::Buy, 102, 10, TimeInForce::ImmediateOrCancel), 0);
  // Five lots lie within 102: the fok cannot fill whole and takes nothing,
  // the ioc takes the five, and both end with their tick.
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 100, 100, 0, 99, 101))), (std::vector<Part>{{2, 5, 5}}));
  std::vector<std::pair<Notice::Kind, OrderId>> ends;
  for (const Notice& n : e.l1.inner.notices) ends.emplace_back(n.kind, n.id);
  EXPECT_EQ(ends, (std::vector<std::pair<Notice::Kind, OrderId>>{{Notice::Kind::Expired, 1},
                                                                 {Notice::Kind::Expired, 2}}));
  EXPECT_TRUE(e.l1.inner.book.empty());
  // A fok the levels can hold fills whole, walking them.
  L2Engine f = thin_book(partial());
  f.submit(limit(1, Side::Buy, 104, 7, TimeInForce::FillOrKill), 0);
  const auto fills = f.on_tick(tick(1, 100, 100, 100, 0, 99, 101));
  EXPECT_EQ(parts(fills), (std::vector<Part>{{1, 7, 0}}));
  EXPECT_EQ(fills[0].price, 103);  // (202 + 306 + 208) / 7 = 102.3, up
}

TEST(PartialFillsL2, AMarketOrderKeepsTakingOnTheTicksAfterAndAnEmptySideFillsNothing) {
  L2Engine e = thin_book(partial());
  e.submit(market_order(1, Side::Buy, 20, 0, 0, Offset::Open), 0);
  e.submit(market_order(2, Side::Sell, 5, 0, 0, Offset::Open), 0);
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 100, 100, 0, 99, 101))),
            (std::vector<Part>{{1, 15, 5}, {2, 4, 1}}));
  // Each tick walks the book as the depth then shows it.
  e.on_depth(book::DepthUpdate{std::nullopt, {{99, 0}}, {}, 0, 2, 2});
  EXPECT_EQ(parts(e.on_tick(tick(2, 100, 100, 100, 0, 99, 101))), (std::vector<Part>{{1, 5, 0}}));
  EXPECT_NE(e.l1.inner.book.find(2), nullptr);
}

TEST(PartialFillsL2, BeforeTheBookIsSyncedATakerFillsWholeAsAtL1) {
  L2Engine e(INSTRUMENT, partial());
  e.on_tick(tick(0, 100, 100, 100, 0, 99, 101));
  e.submit(market_order(1, Side::Buy, 20, 0, 0, Offset::Open), 0);
  EXPECT_EQ(parts(e.on_tick(tick(1, 100, 100, 100, 0, 99, 101))), (std::vector<Part>{{1, 20, 0}}));
}

TEST(PartialFillsL2, ARestingOrderFillsByTheVolumePastTheDepthAheadOfIt) {
  L2Engine e = thin_book(partial());
  e.submit(limit(1, Side::Buy, 99, 6), 0);  // 4 displayed ahead at 99
  EXPECT_TRUE(e.on_tick(tick(1, 100, 100, 100, 0, 99, 101)).empty());
  EXPECT_EQ(parts(e.on_tick(tick(2, 99, 100, 99, 7, 98, 99))), (std::vector<Part>{{1, 3, 3}}));
}

}  // namespace
}  // namespace halvorn::engine
