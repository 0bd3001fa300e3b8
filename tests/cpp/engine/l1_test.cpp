// The L1 matcher: latency draws, arrival of pending orders, queue position,
// report latency and the square-root impact.

#include "engine/l1.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace halvorn::engine {
namespace {

constexpr InstrumentId INSTRUMENT{3};

Tick tick(Nanos t, std::int64_t last, std::int64_t high, std::int64_t low, std::int64_t volume,
          std::int64_t bid = 0, std::int64_t ask = 0) {
  return Tick{t, t + 7, last, high, low, bid, ask, volume};
}

Working buy_limit(OrderId id, std::int64_t price, QtyLots qty = 1) {
  return limit_order(id, Side::Buy, price, qty, 0, 0, Offset::Open);
}
Working sell_limit(OrderId id, std::int64_t price, QtyLots qty = 1) {
  return limit_order(id, Side::Sell, price, qty, 0, 0, Offset::Open);
}
Working market(OrderId id, Side side, QtyLots qty = 1) {
  return market_order(id, side, qty, 0, 0, Offset::Open);
}

std::vector<OrderId> ids(std::span<const L0Fill> fills) {
  std::vector<OrderId> out;
  for (const L0Fill& f : fills) out.push_back(f.order);
  return out;
}

L1Config queue_of(QueueModel::Fixed fixed) {
  L1Config c;
  c.queue.kind = fixed;
  return c;
}

TEST(Latency, QuantileDrawsFollowTheHashOfTheOrderId) {
  const Latency q{Latency::Quantiles{10, 20, 30, 40}};
  EXPECT_EQ(Latency::sample(q, 0), 20);  // bucket 535
  EXPECT_EQ(Latency::sample(q, 1), 10);  // bucket 465
  EXPECT_EQ(Latency::sample(q, 4), 30);  // bucket 978
  EXPECT_EQ(Latency::sample(Latency{Latency::Fixed{77}}, 4), 77);

  // Over many ids the buckets come out near 50, 40, 9 and 1 percent.
  std::int64_t counts[4] = {};
  for (OrderId id = 0; id < 100'000; ++id) ++counts[Latency::sample(q, id) / 10 - 1];
  EXPECT_NEAR(counts[0], 50'000, 1'000);
  EXPECT_NEAR(counts[1], 40'000, 1'000);
  EXPECT_NEAR(counts[2], 9'000, 500);
  EXPECT_NEAR(counts[3], 1'000, 200);
}

TEST(Latency, ZeroOnlyWhenEveryValueIsZero) {
  EXPECT_TRUE(Latency{}.is_zero());
  EXPECT_TRUE((Latency{Latency::Quantiles{0, 0, 0, 0}}.is_zero()));
  EXPECT_FALSE((Latency{Latency::Quantiles{0, 0, 0, 1}}.is_zero()));
  EXPECT_FALSE(Latency{Latency::Fixed{-1}}.is_zero());
}

TEST(L1, AnOrderArrivesAtTheFirstTickReachingItsArrivalTimeAndMayFillThere) {
  L1Config c;
  c.order_latency.kind = Latency::Fixed{5'000'000};
  L1Engine e(INSTRUMENT, c);
  e.submit(market(1, Side::Buy, 2), 1'000'000'000);
  ASSERT_EQ(e.pending.size(), 1u);
  EXPECT_EQ(e.pending[0].arrive_at, 1'005'000'000);
  EXPECT_TRUE(e.on_tick(tick(1'004'999'999, 100, 101, 99, 0, 99, 101)).empty());
  EXPECT_EQ(e.pending.size(), 1u);
  auto fills = e.on_tick(tick(1'005'000'000, 100, 101, 99, 0, 99, 102));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].price, 102);
  EXPECT_TRUE(e.pending.empty());
}

TEST(L1, SendTimesSaturate) {
  L1Config c;
  c.order_latency.kind = Latency::Fixed{10};
  L1Engine e(INSTRUMENT, c);
  e.submit(market(1, Side::Buy), I64_MAX - 3);
  EXPECT_EQ(e.pending[0].arrive_at, I64_MAX);
}

TEST(L1, PendingOrdersArriveInSubmissionOrderNotArrivalTimeOrder) {
  L1Config c;
  // Id 0 draws p90, id 1 draws p50.
  c.order_latency.kind = Latency::Quantiles{1, 100, 1'000, 10'000};
  L1Engine e(INSTRUMENT, c);
  e.submit(market(0, Side::Buy), 0);   // arrives at 100
  e.submit(market(1, Side::Buy), 50);  // arrives at 51
  EXPECT_EQ(ids(e.on_tick(tick(200, 100, 101, 99, 0, 99, 101))), (std::vector<OrderId>{0, 1}));
}

TEST(L1, AnOrderWhoseOwnDrawIsZeroStillWaitsForATick) {
  L1Config c;
  c.order_latency.kind = Latency::Quantiles{0, 100, 100, 100};  // id 1 draws 0
  L1Engine e(INSTRUMENT, c);
  e.submit(buy_limit(1, 100), 50);
  EXPECT_EQ(e.pending.size(), 1u);
  EXPECT_TRUE(e.inner.book.empty());
}

// Queue Fixed 10, no latency, a buy limit at 100, after one tick that
// establishes the volume counter.
L1Engine queued_buy_at_100() {
  L1Engine e(INSTRUMENT, queue_of({10}));
  e.on_tick(tick(0, 105, 106, 104, 100));
  e.submit(buy_limit(1, 100), 0);
  return e;
}

TEST(L1Queue, TradedVolumeInsideTheRangeWorksThroughWhatIsAhead) {
  L1Engine e = queued_buy_at_100();
  ASSERT_EQ(e.queued.size(), 1u);
  EXPECT_EQ(e.queued[0].ahead, 10);
  EXPECT_TRUE(e.on_tick(tick(1, 100, 101, 99, 106)).empty());
  ASSERT_EQ(e.queued.size(), 1u);
  EXPECT_EQ(e.queued[0].ahead, 4);
  // ahead becomes -1: the order enters the book and fills on the same tick.
  auto fills = e.on_tick(tick(2, 100, 101, 99, 111));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].rule, FillRule::Quote);
  EXPECT_EQ(fills[0].price, 100);
  EXPECT_TRUE(e.queued.empty());
}

TEST(L1Queue, APriceMovingThroughTheOrderReleasesItAtOnce) {
  L1Engine e = queued_buy_at_100();
  // High 99 < 100 and no volume traded: released whatever is ahead, and the
  // L0 rules of the same tick see the fall through it.
  auto fills = e.on_tick(tick(1, 99, 99, 98, 100));
  EXPECT_TRUE(e.queued.empty());
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].rule, FillRule::Crossed);
  EXPECT_EQ(fills[0].price, 100);
}

TEST(L1Queue, TicksWithoutRangeOrOutsideItLeaveTheQueueAlone) {
  L1Engine e = queued_buy_at_100();
  e.on_tick(tick(1, 100, 0, 0, 150));      // no range
  e.on_tick(tick(2, 103, 104, 101, 190));  // buy below the low
  ASSERT_EQ(e.queued.size(), 1u);
  EXPECT_EQ(e.queued[0].ahead, 10);
  EXPECT_EQ(e.last_traded, 40);
}

TEST(L1Queue, AVolumeCounterThatGoesDownTradesNothing) {
  L1Engine e(INSTRUMENT, queue_of({10}));
  e.on_tick(tick(0, 105, 106, 104, 500));
  e.submit(buy_limit(1, 100), 0);
  e.on_tick(tick(1, 100, 101, 99, 20));
  ASSERT_EQ(e.queued.size(), 1u);
  EXPECT_EQ(e.queued[0].ahead, 10);
  EXPECT_EQ(e.last_traded, 0);
}

TEST(L1Queue, EveryQueuedOrderInTheRangeIsCreditedTheFullVolume) {
  L1Engine e(INSTRUMENT, queue_of({10}));
  e.on_tick(tick(0, 105, 106, 104, 0));
  e.submit(buy_limit(1, 100), 0);
  e.submit(buy_limit(2, 101), 0);
  e.on_tick(tick(1, 102, 102, 100, 7));
  ASSERT_EQ(e.queued.size(), 2u);
  EXPECT_EQ(e.queued[0].ahead, 3);
  EXPECT_EQ(e.queued[1].ahead, 3);
}

TEST(L1Queue, TradedShareTakesItsShareOfTheLastTradedVolume) {
  L1Config c;
  c.queue.kind = QueueModel::TradedShare{50};
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 105, 106, 104, 100));
  e.submit(buy_limit(1, 100), 0);  // nothing traded known yet: straight to the book
  EXPECT_TRUE(e.queued.empty());
  EXPECT_EQ(e.inner.book.count(Lane::BuyLimits), 1u);
  e.on_tick(tick(1, 105, 106, 104, 107));
  e.submit(buy_limit(2, 100), 0);
  ASSERT_EQ(e.queued.size(), 1u);
  EXPECT_EQ(e.queued[0].ahead, 3);  // 50 x 7 / 100 = 3.5
  // A share of a volume near 64 bits saturates before it is divided.
  e.on_tick(tick(2, 105, 106, 104, 107 + I64_MAX / 2));
  e.on_tick(tick(3, 105, 106, 104, I64_MAX));
  e.submit(buy_limit(3, 100), 0);
  ASSERT_EQ(e.queued.size(), 2u);
  EXPECT_EQ(e.queued[1].ahead, I64_MAX / 100);
}

TEST(L1Queue, ArrivalsTakeTheirShareOfTheArrivingTicksVolume) {
  L1Config c;
  c.queue.kind = QueueModel::TradedShare{100};
  c.order_latency.kind = Latency::Fixed{5};
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 105, 106, 104, 100));
  e.submit(buy_limit(1, 100), 0);
  e.on_tick(tick(10, 105, 106, 104, 130));
  ASSERT_EQ(e.queued.size(), 1u);
  EXPECT_EQ(e.queued[0].ahead, 30);
}

TEST(L1Queue, AKnownNegativePositionCountsAsNothingAhead) {
  L1Engine e(INSTRUMENT, queue_of({10}));
  e.submit_queue(buy_limit(1, 100), 0, -5, false);
  EXPECT_TRUE(e.queued.empty());
  EXPECT_EQ(e.inner.book.count(Lane::BuyLimits), 1u);
}

TEST(L1, CancelFindsPendingQueuedAndRestingOrders) {
  L1Config c = queue_of({10});
  c.order_latency.kind = Latency::Fixed{100};
  L1Engine e(INSTRUMENT, c);
  e.submit(buy_limit(1, 100), 0);
  EXPECT_TRUE(e.cancel(1));
  EXPECT_FALSE(e.cancel(1));
  e.submit(buy_limit(2, 100), 0);
  e.submit_queue(sell_limit(3, 200), 0, 0, false);  // nothing ahead: will rest
  e.submit(buy_limit(4, 90), 0);
  EXPECT_TRUE(e.on_tick(tick(200, 100, 0, 0, 0)).empty());  // 2 and 4 queue, 3 rests
  e.submit(buy_limit(5, 100), 250);
  ASSERT_EQ(e.queued.size(), 2u);
  EXPECT_TRUE(e.cancel(2));
  EXPECT_EQ(e.queued_count(), 1u);
  EXPECT_EQ(e.cancel_all(), 3u);  // pending 5, queued 4, resting 3
  EXPECT_TRUE(e.pending.empty());
  EXPECT_TRUE(e.queued.empty());
  EXPECT_TRUE(e.inner.book.empty());
}

TEST(L1, ACancelledWaitingOrderIsDroppedByTheNextTickAndItsIdMayWaitAgain) {
  L1Config c = queue_of({10});
  c.order_latency.kind = Latency::Fixed{100};
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 105, 106, 104, 0, 104, 106));
  e.submit(buy_limit(1, 100), 0);
  EXPECT_TRUE(e.cancel(1));
  EXPECT_FALSE(e.cancel(1));
  EXPECT_EQ(e.pending_count(), 0u);
  // The same id sent again before any tick is a new order, alive.
  e.submit(buy_limit(1, 100), 10);
  e.submit(buy_limit(2, 100), 10);
  EXPECT_EQ(e.pending_count(), 2u);
  e.on_tick(tick(100, 105, 106, 104, 0, 104, 106));
  ASSERT_EQ(e.pending.size(), 2u);
  EXPECT_EQ(e.pending[0].order.id, 1u);
  EXPECT_EQ(e.pending[0].arrive_at, 110);
  EXPECT_EQ(e.pending[1].order.id, 2u);

  e.on_tick(tick(110, 105, 106, 104, 0, 104, 106));
  ASSERT_EQ(e.queued.size(), 2u);
  EXPECT_TRUE(e.pending.empty());
  EXPECT_TRUE(e.cancel(2));
  EXPECT_EQ(e.queued_count(), 1u);
  EXPECT_EQ(e.cancel_all(), 1u);  // the dead entry of order 2 is not counted
  EXPECT_EQ(e.queued_count(), 0u);
}

TEST(L1Report, FillsAreReportedOnTheFirstTickAtOrAfterTheirReportTime) {
  L1Config c;
  c.report_latency.kind = Latency::Fixed{1'000};
  L1Engine e(INSTRUMENT, c);
  e.submit(market(1, Side::Buy), 0);
  EXPECT_TRUE(e.on_tick(tick(10'000, 100, 101, 99, 0, 99, 101)).empty());
  ASSERT_EQ(e.delayed.size(), 1u);
  EXPECT_EQ(e.delayed[0].report_at, 11'000);
  EXPECT_TRUE(e.on_tick(tick(10'999, 100, 101, 99, 0)).empty());
  auto fills = e.on_tick(tick(11'000, 100, 101, 99, 0));
  ASSERT_EQ(fills.size(), 1u);
  // The fill keeps the stamps of the tick that executed it.
  EXPECT_EQ(fills[0].exch_ts, 10'000);
  EXPECT_EQ(fills[0].local_ts, 10'007);
  EXPECT_TRUE(e.delayed.empty());
  EXPECT_TRUE(e.drain_unreported().empty());
}

TEST(L1Report, ADelayedFillSurvivesCancellationOfItsOrder) {
  L1Config c;
  c.report_latency.kind = Latency::Fixed{1'000};
  L1Engine e(INSTRUMENT, c);
  e.submit(market(1, Side::Buy), 0);
  e.on_tick(tick(10, 100, 101, 99, 0));
  EXPECT_FALSE(e.cancel(1));
  EXPECT_EQ(e.cancel_all(), 0u);
  EXPECT_EQ(ids(e.on_tick(tick(5'000, 100, 101, 99, 0))), (std::vector<OrderId>{1}));
}

TEST(L1Report, DrainSortsByReportTimeKeepingExecutionOrderForTies) {
  L1Config c;
  // Ids 0 and 5 draw p90; ids 1 and 2 draw p50.
  c.report_latency.kind = Latency::Quantiles{100, 500, 900, 900};
  L1Engine e(INSTRUMENT, c);
  for (OrderId id : {0, 5, 2, 1}) e.submit(market(id, Side::Buy), 0);
  e.on_tick(tick(1'000, 100, 101, 99, 0));
  EXPECT_EQ(e.delayed.size(), 4u);
  EXPECT_EQ(ids(e.drain_unreported()), (std::vector<OrderId>{2, 1, 0, 5}));
  EXPECT_TRUE(e.delayed.empty());
}

// Ticks at the end of time are data: a report due beyond it saturates to
// the last representable time and is still booked at the end.
TEST(L1Report, AReportTimeBeyondSixtyFourBitsSaturates) {
  L1Config c;
  c.report_latency.kind = Latency::Fixed{10};
  L1Engine e(INSTRUMENT, c);
  e.submit(market(1, Side::Buy), 0);
  EXPECT_TRUE(e.on_tick(Tick{I64_MAX - 5, I64_MAX, 100, 101, 99, 0, 0, 0}).empty());
  ASSERT_EQ(e.delayed.size(), 1u);
  EXPECT_EQ(e.delayed[0].report_at, I64_MAX);
  EXPECT_EQ(ids(e.drain_unreported()), (std::vector<OrderId>{1}));
}

L0Fill taker(Side side, QtyLots qty, std::int64_t price = 1'000) {
  L0Fill f;
  f.order = 1;
  f.seq = 1;
  f.price = price;
  f.qty = qty;
  f.instrument = INSTRUMENT;
  f.side = side;
  f.taker = true;
  f.rule = FillRule::MarketOrder;
  return f;
}

TEST(L1Impact, MovesTakerFillsBySquareRootOfTheirShareOfTradedVolume) {
  const Tick t = tick(0, 1'000, 1'005, 995, 0);  // range 10
  L0Fill buy = taker(Side::Buy, 4);
  l1_impact(buy, 16, 100, t);
  EXPECT_EQ(buy.price, 1'005);  // sqrt(0.25) x 10 x 1.0 = 5
  L0Fill sell = taker(Side::Sell, 4);
  l1_impact(sell, 16, 100, t);
  EXPECT_EQ(sell.price, 995);
  L0Fill truncated = taker(Side::Buy, 1);
  l1_impact(truncated, 3, 100, t);  // sqrt(1/3) x 10 = 5.77
  EXPECT_EQ(truncated.price, 1'005);
  L0Fill half = taker(Side::Buy, 4);
  l1_impact(half, 16, 50, t);  // 2.5
  EXPECT_EQ(half.price, 1'002);
}

TEST(L1Impact, LeavesMakerFillsAndQuietTicksAlone) {
  const Tick t = tick(0, 1'000, 1'005, 995, 0);
  L0Fill maker = taker(Side::Buy, 4);
  maker.taker = false;
  l1_impact(maker, 16, 100, t);
  EXPECT_EQ(maker.price, 1'000);
  for (auto [traded, pct, high, low] :
       std::vector<std::array<std::int64_t, 4>>{{0, 100, 1'005, 995},
                                                {16, 0, 1'005, 995},
                                                {16, 100, 995, 1'005},
                                                {1'000'000, 100, 1'001, 1'000}}) {
    L0Fill f = taker(Side::Buy, 4);
    l1_impact(f, traded, static_cast<std::uint32_t>(pct), tick(0, 1'000, high, low, 0));
    EXPECT_EQ(f.price, 1'000) << traded << " " << pct << " " << high << " " << low;
  }
}

TEST(L1Impact, AHugeShiftARangeAndAPriceBeyondSixtyFourBitsSaturate) {
  const Tick t = tick(0, 1'000, 2'000'000'000'000, 0, 0);
  L0Fill sell = taker(Side::Sell, 1'000'000'000'000'000'000);
  l1_impact(sell, 1, 100, t);
  EXPECT_EQ(sell.price, 1);  // never below one tick, however far impact pushes
  L0Fill buy = taker(Side::Buy, 1'000'000'000'000'000'000);
  l1_impact(buy, 1, 100, t);
  EXPECT_EQ(buy.price, I64_MAX);
  // A range of I64_MAX + 2 counts as I64_MAX: one lot of four traded moves
  // by half of it.
  L0Fill wide = taker(Side::Buy, 1, 0);
  l1_impact(wide, 4, 100, tick(0, 0, I64_MAX, -2, 0));
  EXPECT_EQ(wide.price, static_cast<std::int64_t>(std::sqrt(0.25) * static_cast<double>(I64_MAX)));
}

TEST(L1Impact, AppliesToMarketOrdersOnTheTick) {
  L1Config c;
  c.impact_pct = 100;
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 1'000, 1'001, 999, 100, 999, 1'002));
  e.submit(market(1, Side::Buy, 4), 0);
  e.submit(buy_limit(2, 1'001, 4), 0);  // below the ask it arrived at: it rests
  auto fills = e.on_tick(tick(1, 1'000, 1'005, 995, 116, 999, 1'001));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].price, 1'006);  // the ask moved by 5
  EXPECT_EQ(fills[1].price, 1'001);  // a maker fill at the ask, unmoved
}

TEST(L1Taker, AMarketableLimitSkipsTheQueueAndImpactStopsAtItsLimit) {
  L1Config c = queue_of({20});
  c.impact_pct = 100;
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 1'000, 1'001, 999, 100, 999, 1'001));
  e.submit(buy_limit(1, 1'003, 4), 0);  // marketable, little room above the ask
  e.submit(buy_limit(2, 1'010, 4), 0);  // marketable, room for the whole shift
  e.submit(buy_limit(3, 1'000, 4), 0);  // below the ask: joins the queue
  e.submit(sell_limit(4, 995, 4), 0);   // marketable, little room below the bid
  EXPECT_EQ(e.queued_count(), 1u);
  EXPECT_EQ(e.inner.book.size(), 3u);
  // 16 traded over a range of 10: impact moves a taker of 4 lots by 5.
  auto fills = e.on_tick(tick(1, 1'000, 1'005, 995, 116, 999, 1'001));
  ASSERT_EQ(fills.size(), 3u);
  EXPECT_EQ(fills[0].order, 2u);
  EXPECT_EQ(fills[0].price, 1'006);
  EXPECT_EQ(fills[1].order, 1u);
  EXPECT_EQ(fills[1].price, 1'003);
  EXPECT_EQ(fills[2].order, 4u);
  EXPECT_EQ(fills[2].price, 995);  // 999 - 5 is below its limit
  for (const L0Fill& f : fills) EXPECT_TRUE(f.taker) << f.order;
  EXPECT_EQ(e.queued_count(), 1u);
}

TEST(L1Taker, AnOrderReleasedFromTheQueueRestsWhateverTheQuoteSays) {
  L1Config c = queue_of({20});
  c.impact_pct = 100;
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 1'000, 1'001, 999, 100, 999, 1'001));
  e.submit(buy_limit(1, 1'000, 4), 0);
  ASSERT_EQ(e.queued_count(), 1u);
  // The ask falls below the order while it still waits behind 4 lots...
  EXPECT_TRUE(e.on_tick(tick(1, 999, 1'005, 995, 116, 998, 999)).empty());
  ASSERT_EQ(e.queued_count(), 1u);
  // ...and once the queue releases it, it fills as a maker, unmoved.
  auto fills = e.on_tick(tick(2, 999, 1'005, 995, 132, 998, 999));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_FALSE(fills[0].taker);
  EXPECT_EQ(fills[0].price, 999);
}

TEST(L1Taker, AnArrivingOrderIsJudgedAgainstTheTickBeforeItsArrival) {
  L1Config c;
  c.order_latency.kind = Latency::Fixed{10};
  L1Engine e(INSTRUMENT, c);
  e.on_tick(tick(0, 100, 101, 99, 0, 99, 101));
  e.submit(buy_limit(1, 101), 0);  // marketable when sent, not when it arrives
  e.submit(buy_limit(2, 105), 0);
  e.on_tick(tick(5, 104, 105, 103, 0, 103, 105));
  auto fills = e.on_tick(tick(10, 104, 0, 0, 0, 99, 100));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].order, 2u);
  EXPECT_TRUE(fills[0].taker);
  EXPECT_EQ(fills[1].order, 1u);
  EXPECT_FALSE(fills[1].taker);
}

}  // namespace
}  // namespace halvorn::engine
