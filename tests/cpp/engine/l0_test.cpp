// The L0 matcher: crossing between ticks, market orders at the touch, limit
// orders against the quote, and the order in which one tick reports them.

#include "engine/l0.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace halvorn::engine {
namespace {

constexpr InstrumentId INSTRUMENT{7};

Tick tick(Nanos t, std::int64_t last, std::int64_t high = 0, std::int64_t low = 0,
          std::int64_t bid = 0, std::int64_t ask = 0) {
  return Tick{t, t + 1, last, high, low, bid, ask, 0};
}

Working buy_limit(OrderId id, std::int64_t price, QtyLots qty = 1) {
  return limit_order(id, Side::Buy, price, qty, 0, 0, Offset::Open);
}
Working sell_limit(OrderId id, std::int64_t price, QtyLots qty = 1) {
  return limit_order(id, Side::Sell, price, qty, 0, 0, Offset::Close);
}

std::vector<L0Fill> copy(std::span<const L0Fill> fills) { return {fills.begin(), fills.end()}; }

TEST(L0, FirstTickHasNoCrossingAndFillsByQuoteFallingBackOnLowAndLast) {
  L0Engine engine(INSTRUMENT);
  engine.submit(buy_limit(1, 100, 3));
  auto fills = copy(engine.on_tick(tick(10, 99, 0, 98)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0], (L0Fill{10, 11, 1, 1, 99, 3, INSTRUMENT, Side::Buy, Offset::Open, false,
                              FillRule::Quote, OrderKind::limit(100)}));
  EXPECT_TRUE(engine.book.empty());
  EXPECT_EQ(engine.prev_last, 99);
  EXPECT_EQ(engine.prev_times, (std::pair<Nanos, Nanos>{10, 11}));
}

TEST(L0, CrossedOrdersFillAtTheirOwnPricesInEntryOrderWithThePreviousStamps) {
  L0Engine engine(INSTRUMENT);
  engine.submit(sell_limit(1, 102));
  engine.submit(sell_limit(2, 101));
  EXPECT_TRUE(engine.on_tick(tick(10, 100)).empty());
  auto fills = copy(engine.on_tick(tick(20, 100, 103)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].order, 1u);
  EXPECT_EQ(fills[0].price, 102);
  EXPECT_EQ(fills[1].order, 2u);
  EXPECT_EQ(fills[1].price, 101);
  for (const L0Fill& f : fills) {
    EXPECT_EQ(f.rule, FillRule::Crossed);
    EXPECT_FALSE(f.taker);
    EXPECT_EQ(f.exch_ts, 10);
    EXPECT_EQ(f.local_ts, 11);
  }
}

TEST(L0, FallingPriceCrossesBuysInEntryOrderAcrossLevels) {
  L0Engine engine(INSTRUMENT);
  engine.on_tick(tick(10, 100));
  engine.submit(buy_limit(1, 97));
  engine.submit(buy_limit(2, 99));
  engine.submit(buy_limit(3, 95));  // below the low: not crossed, and 96 > 95 keeps it unfilled
  auto fills = copy(engine.on_tick(tick(20, 98, 0, 96)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].order, 1u);
  EXPECT_EQ(fills[1].order, 2u);
  EXPECT_EQ(fills[1].price, 99);
  EXPECT_EQ(engine.book.count(Lane::BuyLimits), 1u);
}

TEST(L0, ManyCrossedOrdersStillExecuteInEntryOrder) {
  L0Engine engine(INSTRUMENT);
  engine.on_tick(tick(10, 100));
  // Entered from the highest price down, so entry order is the reverse of
  // price order; more than the insertion-sort limit.
  for (OrderId id = 1; id <= 30; ++id) engine.submit(sell_limit(id, 131 - std::int64_t(id)));
  auto fills = copy(engine.on_tick(tick(20, 100, 200, 0, 0, 0)));
  ASSERT_EQ(fills.size(), 30u);
  for (std::size_t i = 0; i < fills.size(); ++i) {
    EXPECT_EQ(fills[i].order, i + 1);
    EXPECT_EQ(fills[i].seq, i + 1);
  }
}

TEST(L0, RangeReachingBothWaysCrossesOnlySellsButQuotesStillFillBuys) {
  L0Engine engine(INSTRUMENT);
  engine.on_tick(tick(10, 100));
  engine.submit(buy_limit(1, 98));
  engine.submit(sell_limit(2, 102));
  auto fills = copy(engine.on_tick(tick(20, 100, 103, 97)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].order, 2u);
  EXPECT_EQ(fills[0].rule, FillRule::Crossed);
  EXPECT_EQ(fills[1].order, 1u);
  EXPECT_EQ(fills[1].rule, FillRule::Quote);
  EXPECT_EQ(fills[1].price, 98);  // min(98, last 100)
  EXPECT_EQ(fills[1].exch_ts, 20);
}

TEST(L0, AHighEqualToThePreviousLastIsNoRiseAndTheFallCrossesTheBuys) {
  L0Engine engine(INSTRUMENT);
  engine.on_tick(tick(10, 100, 0, 0, 99, 101));
  engine.submit(buy_limit(1, 98));
  engine.submit(buy_limit(2, 97));  // at the low: crossed too
  engine.submit(buy_limit(3, 96));  // below it: stays
  // The ask of 100 is above every buy, so only the crossing can fill them.
  auto fills = copy(engine.on_tick(tick(20, 99, 100, 97, 96, 100)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].order, 1u);
  EXPECT_EQ(fills[0].price, 98);
  EXPECT_EQ(fills[1].order, 2u);
  EXPECT_EQ(fills[1].price, 97);
  for (const L0Fill& f : fills) {
    EXPECT_EQ(f.rule, FillRule::Crossed);
    EXPECT_EQ(f.exch_ts, 10);
    EXPECT_EQ(f.local_ts, 11);
  }
  EXPECT_EQ(engine.book.size(), 1u);
}

TEST(L0, OneTickReportsCrossingsThenMarketsThenLimitsWithRunningSequenceNumbers) {
  L0Engine engine(INSTRUMENT);
  engine.submit(buy_limit(1, 100));
  engine.submit(sell_limit(2, 95));
  engine.submit(sell_limit(3, 103));
  EXPECT_TRUE(engine.on_tick(tick(10, 100, 0, 0, 90, 110)).empty());
  engine.submit(market_order(4, Side::Sell, 1'000'000, 0, 0, Offset::Open));
  engine.submit(market_order(5, Side::Buy, 2, 0, 0, Offset::Open));

  auto fills = copy(engine.on_tick(tick(20, 100, 104, 99, 98, 99)));
  ASSERT_EQ(fills.size(), 5u);
  struct Expect {
    OrderId order;
    std::int64_t price;
    FillRule rule;
    bool taker;
  };
  const Expect expected[] = {{3, 103, FillRule::Crossed, false},
                             {5, 99, FillRule::MarketOrder, true},
                             {4, 98, FillRule::MarketOrder, true},
                             {1, 99, FillRule::Quote, false},
                             {2, 98, FillRule::Quote, false}};
  for (std::size_t i = 0; i < fills.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fills[i].order, expected[i].order);
    EXPECT_EQ(fills[i].price, expected[i].price);
    EXPECT_EQ(fills[i].rule, expected[i].rule);
    EXPECT_EQ(fills[i].taker, expected[i].taker);
    EXPECT_EQ(fills[i].seq, i + 1);
  }
  EXPECT_EQ(fills[2].qty, 1'000'000);  // a market order fills whole, whatever its size
  EXPECT_TRUE(engine.book.empty());
}

TEST(L0, MarketOrdersFallBackOnLastWithoutAQuote) {
  L0Engine engine(INSTRUMENT);
  engine.submit(market_order(1, Side::Buy, 1, 0, 0, Offset::Open));
  engine.submit(market_order(2, Side::Sell, 1, 0, 0, Offset::Open));
  auto fills = copy(engine.on_tick(tick(10, 77)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].price, 77);
  EXPECT_EQ(fills[1].price, 77);
}

TEST(L0, QuotesFillLimitsAtTheBetterPriceAndNeverBelowOneTick) {
  L0Engine engine(INSTRUMENT);
  engine.submit(buy_limit(1, 100));
  engine.submit(sell_limit(2, 100));
  auto fills = copy(engine.on_tick(tick(10, 100, 0, 0, 105, 95)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].price, 95);
  EXPECT_EQ(fills[1].price, 105);

  // No ask, no low, last 0: the threshold is 0 and buys never fill by quote.
  L0Engine dry(INSTRUMENT);
  dry.submit(buy_limit(1, 100));
  EXPECT_TRUE(dry.on_tick(tick(10, 0)).empty());
  // A low of 5 with last 0: the cap falls below one tick and the limit price
  // is used.
  auto capped = copy(dry.on_tick(tick(20, 0, 0, 5)));
  ASSERT_EQ(capped.size(), 1u);
  EXPECT_EQ(capped[0].price, 100);
}

TEST(L0, CancelAndSubmitLeaveTheLastFillsAloneUntilTheNextTick) {
  L0Engine engine(INSTRUMENT);
  engine.submit(buy_limit(1, 100));
  engine.on_tick(tick(10, 99));
  engine.submit(buy_limit(2, 50));
  engine.submit(buy_limit(3, 51));
  engine.submit(market_order(4, Side::Sell, 1, 0, 0, Offset::Open));
  EXPECT_TRUE(engine.cancel(2));
  EXPECT_FALSE(engine.cancel(2));
  ASSERT_EQ(engine.fills.size(), 1u);
  EXPECT_EQ(engine.fills[0].order, 1u);
  EXPECT_EQ(engine.cancel_all(), 2u);
  EXPECT_TRUE(engine.book.empty());
  EXPECT_EQ(engine.fills.size(), 1u);
  EXPECT_TRUE(engine.on_tick(tick(20, 99)).empty());
}

TEST(L0, ExecuteAtDropsAnOrderWithNothingLeftWithoutAFill) {
  L0Engine engine(INSTRUMENT);
  Working spent = buy_limit(1, 100);
  spent.filled = spent.qty;
  engine.submit(spent);
  engine.execute_at(spent, 100, false, FillRule::Quote, 0, 0);
  EXPECT_TRUE(engine.book.empty());
  EXPECT_TRUE(engine.fills.empty());
  EXPECT_EQ(engine.fill_seq, 0u);
}

// After a tick with last 100, bid 99 and ask 101: a buy at 101 or above, or
// a sell at 99 or below, could trade at once.
L0Engine after_quote_99_101() {
  L0Engine engine(INSTRUMENT);
  engine.on_tick(tick(10, 100, 0, 0, 99, 101));
  return engine;
}

TEST(L0Taker, LimitsMarketableOnEntryTakeAndTheOthersMake) {
  L0Engine engine = after_quote_99_101();
  engine.submit(buy_limit(1, 101));   // at the ask
  engine.submit(buy_limit(2, 100));   // inside the spread
  engine.submit(sell_limit(3, 99));   // at the bid
  engine.submit(sell_limit(4, 100));  // inside the spread
  auto fills = copy(engine.on_tick(tick(20, 100, 0, 0, 100, 100)));
  ASSERT_EQ(fills.size(), 4u);
  const std::pair<OrderId, bool> expected[] = {{1, true}, {2, false}, {3, true}, {4, false}};
  for (std::size_t i = 0; i < fills.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(fills[i].order, expected[i].first);
    EXPECT_EQ(fills[i].taker, expected[i].second);
    EXPECT_EQ(fills[i].rule, FillRule::Quote);
    EXPECT_EQ(fills[i].price, 100);  // prices are those of any limit fill
  }
}

TEST(L0Taker, AnOrderThatSurvivesItsFirstTickHasRested) {
  L0Engine engine = after_quote_99_101();
  engine.submit(buy_limit(1, 101));
  EXPECT_TRUE(engine.on_tick(tick(20, 104, 105, 103, 103, 105)).empty());
  auto fills = copy(engine.on_tick(tick(30, 104, 0, 0, 100, 101)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_FALSE(fills[0].taker);

  // Cancelled and sent again below the ask, the same id rests.
  L0Engine again = after_quote_99_101();
  again.submit(buy_limit(7, 101));
  EXPECT_TRUE(again.cancel(7));
  again.submit(buy_limit(7, 100));
  fills = copy(again.on_tick(tick(20, 100, 0, 0, 99, 100)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_FALSE(fills[0].taker);
}

TEST(L0Taker, TheReferenceIsThePreviousTicksQuoteFallingBackOnItsLast) {
  // Before any tick nothing is marketable, however high the buy.
  L0Engine fresh(INSTRUMENT);
  fresh.submit(buy_limit(1, 1'000));
  auto fills = copy(fresh.on_tick(tick(10, 100, 0, 0, 99, 100)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_FALSE(fills[0].taker);

  // A tick without bid or ask: its last is the reference on both sides.
  L0Engine bare(INSTRUMENT);
  bare.on_tick(tick(10, 100));
  bare.submit(buy_limit(1, 100));
  bare.submit(buy_limit(2, 99));
  bare.submit(sell_limit(3, 100));
  bare.submit(sell_limit(4, 101));
  fills = copy(bare.on_tick(tick(20, 100, 0, 0, 101, 99)));
  ASSERT_EQ(fills.size(), 4u);
  const std::pair<OrderId, bool> expected[] = {{1, true}, {2, false}, {3, true}, {4, false}};
  for (std::size_t i = 0; i < fills.size(); ++i) {
    EXPECT_EQ(fills[i].order, expected[i].first) << i;
    EXPECT_EQ(fills[i].taker, expected[i].second) << i;
  }
}

}  // namespace
}  // namespace halvorn::engine
