// The engine's side of order terms: where a resting order the market trades
// through fills, post-only and immediate orders, the trigger bound on an
// order sent by a conditional order, one-cancels-other pairs, cancels that
// travel, and the trigger book.

#include <gtest/gtest.h>

#include <vector>

#include "engine/l1.hpp"
#include "engine/trigger_book.hpp"

namespace halvorn::engine {
namespace {

constexpr InstrumentId INSTRUMENT{1};

Tick quote(Nanos t, std::int64_t last, std::int64_t bid, std::int64_t ask) {
  return Tick{t, t, last, 0, 0, bid, ask, 0};
}

Working limit(OrderId id, Side side, std::int64_t price) {
  return limit_order(id, side, price, 1, 0, 0, Offset::Open);
}

Working market(OrderId id, Side side) { return market_order(id, side, 1, 0, 0, Offset::Open); }

std::vector<L0Fill> copy(std::span<const L0Fill> fills) { return {fills.begin(), fills.end()}; }

// The worked example of the docs: a buy resting at 100, and the next tick's
// ask at 98.  The venue fills it at its limit; the core module's rule, at the
// quote.  A buy that was marketable when it entered takes liquidity and gets
// the better price under either rule.
TEST(RestingPrice, AnOrderTradedThroughFillsAtItsLimitUnlessTheRuleIsTheQuote) {
  for (RestingPrice rule : {RestingPrice::Limit, RestingPrice::Quote}) {
    L0Engine e(INSTRUMENT);
    e.resting = rule;
    e.on_tick(quote(1, 101, 100, 102));
    ASSERT_EQ(e.submit(limit(1, Side::Buy, 100)), Admission::Accepted);  // rests
    ASSERT_EQ(e.submit(limit(2, Side::Sell, 103)), Admission::Accepted);
    ASSERT_EQ(e.submit(limit(3, Side::Buy, 102)), Admission::Accepted);  // marketable
    // The last trade stays where it was, so no price path crosses the
    // orders: the quote alone reaches them.
    auto fills = copy(e.on_tick(quote(2, 101, 97, 98)));
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[0].order, 3u);  // the higher buy first
    EXPECT_EQ(fills[0].price, 98);
    EXPECT_TRUE(fills[0].taker);
    EXPECT_EQ(fills[1].order, 1u);
    EXPECT_EQ(fills[1].price, rule == RestingPrice::Limit ? 100 : 98);
    EXPECT_FALSE(fills[1].taker);
    // And a sell resting at 103 that the bid moves through.
    fills = copy(e.on_tick(quote(3, 101, 105, 106)));
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].price, rule == RestingPrice::Limit ? 103 : 105);
  }
}

TEST(PostOnly, AMarketableOneIsRefusedAndOneThatRestsFillsAsAMaker) {
  L0Engine e(INSTRUMENT);
  e.on_tick(quote(1, 100, 99, 101));
  Working would_take = limit(1, Side::Buy, 101);
  would_take.post_only = true;
  EXPECT_EQ(e.submit(would_take), Admission::WouldTake);
  EXPECT_TRUE(e.book.empty());
  Working rests = limit(2, Side::Buy, 100);
  rests.post_only = true;
  EXPECT_EQ(e.submit(rests), Admission::Accepted);
  auto fills = copy(e.on_tick(quote(2, 99, 98, 99)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_FALSE(fills[0].taker);
}

TEST(Immediate, ExpiresAtOnceWithNothingToTakeAndAfterItsFirstTickOtherwise) {
  L0Engine e(INSTRUMENT);
  e.on_tick(quote(1, 100, 99, 101));
  Working passive = limit(1, Side::Buy, 100);
  passive.tif = TimeInForce::ImmediateOrCancel;
  EXPECT_EQ(e.submit(passive), Admission::Expired);
  Working taking = limit(2, Side::Buy, 101);
  taking.tif = TimeInForce::FillOrKill;
  Working taking_too = limit(3, Side::Buy, 101);
  taking_too.tif = TimeInForce::ImmediateOrCancel;
  EXPECT_EQ(e.submit(taking), Admission::Accepted);
  EXPECT_EQ(e.submit(taking_too), Admission::Accepted);
  // The next tick's ask has moved away from both: neither fills, both expire.
  EXPECT_TRUE(e.on_tick(quote(2, 102, 101, 103)).empty());
  EXPECT_EQ(e.notices, (std::vector<Notice>{{Notice::Kind::Expired, {}, 2, 0, 2},
                                            {Notice::Kind::Expired, {}, 3, 0, 2}}));
  EXPECT_TRUE(e.book.empty());
  // One that its first tick fills is not noticed at all.
  e.notices.clear();
  Working fills_now = limit(4, Side::Buy, 103);
  fills_now.tif = TimeInForce::ImmediateOrCancel;
  e.submit(fills_now);
  EXPECT_EQ(e.on_tick(quote(3, 102, 101, 103)).size(), 1u);
  EXPECT_TRUE(e.notices.empty());
}

TEST(TriggerBound, AnOrderSentByATriggerFillsNoBetterThanTheTrigger) {
  L0Engine e(INSTRUMENT);
  e.on_tick(quote(1, 100, 99, 101));
  e.bounds.put(1, 100);  // a sell stop at 100
  e.bounds.put(2, 106);  // a buy take-profit at 106
  e.submit(market(1, Side::Sell));
  e.submit(market(2, Side::Buy));
  // The price bounced: the ask is below the buy's trigger, the bid above the
  // sell's.  Neither gets the better price.
  auto fills = copy(e.on_tick(quote(2, 103, 102, 104)));
  ASSERT_EQ(fills.size(), 2u);
  EXPECT_EQ(fills[0].price, 106);
  EXPECT_EQ(fills[1].price, 100);
  // The bound never makes a fill worse than the market: a gapped stop fills
  // at the worse quote.
  e.bounds.put(3, 100);
  e.submit(market(3, Side::Sell));
  fills = copy(e.on_tick(quote(3, 90, 89, 91)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].price, 89);
  EXPECT_EQ(L0Engine::bounded(market(3, Side::Sell), 100, 120), 100);
  // A stop-limit's limit binds where the two disagree.
  EXPECT_EQ(L0Engine::bounded(limit(4, Side::Sell, 101), 100, 120), 101);
  EXPECT_TRUE(e.bounds.empty());
}

TEST(Pairs, TheFirstLegToExecuteTakesTheOtherOutOfTheBookOnTheSameTick) {
  L0Engine e(INSTRUMENT);
  e.on_tick(quote(1, 100, 99, 101));
  e.submit(limit(1, Side::Buy, 99));
  e.submit(limit(2, Side::Sell, 101));
  e.pair(1, 2);
  // The tick reaches both: the bid reaches the sell, the ask the buy.
  auto fills = copy(e.on_tick(Tick{2, 2, 100, 0, 0, 101, 99, 0}));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].order, 1u);
  EXPECT_EQ(e.notices, (std::vector<Notice>{{Notice::Kind::Canceled, {}, 2, 0, 2}}));
  EXPECT_TRUE(e.book.empty());
  EXPECT_TRUE(e.partners.empty());
}

L1Config with_cancel_latency(Nanos latency) {
  L1Config c;
  c.cancel_latency.kind = Latency::Fixed{latency};
  return c;
}

// The worked example of the docs: a buy resting at 100, a cancel sent at
// 1_000 that takes 5_000 to arrive, and a tick at 3_000 that reaches the
// order: it fills.  Without the latency the cancel would have saved it.
TEST(CancelLatency, AnOrderWorksUntilItsCancelArrives) {
  L1Engine e(INSTRUMENT, with_cancel_latency(5'000));
  e.inner.resting = RestingPrice::Limit;
  e.on_tick(quote(0, 101, 100, 102));
  e.submit(limit(1, Side::Buy, 100), 0);
  EXPECT_EQ(e.request_cancel(1, 1'000), CancelOutcome::Requested);
  EXPECT_EQ(e.request_cancel(9, 1'000), CancelOutcome::Unknown);
  auto fills = copy(e.on_tick(quote(3'000, 98, 97, 98)));
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].price, 100);
  // The cancel lands on nothing and says nothing.
  EXPECT_TRUE(e.on_tick(quote(6'000, 98, 97, 98)).empty());
  EXPECT_TRUE(e.inner.notices.empty());
  EXPECT_TRUE(e.cancels.empty());

  L1Engine immediate(INSTRUMENT, L1Config{});
  immediate.on_tick(quote(0, 101, 100, 102));
  immediate.submit(limit(1, Side::Buy, 100), 0);
  EXPECT_EQ(immediate.request_cancel(1, 1'000), CancelOutcome::Done);
  EXPECT_TRUE(immediate.on_tick(quote(3'000, 98, 97, 98)).empty());
}

TEST(CancelLatency, ACancelThatArrivesFirstRemovesTheOrderBeforeTheTickIsMatched) {
  L1Engine e(INSTRUMENT, with_cancel_latency(5'000));
  e.on_tick(quote(0, 101, 100, 102));
  e.submit(limit(1, Side::Buy, 100), 0);
  e.request_cancel(1, 1'000);
  EXPECT_TRUE(e.on_tick(quote(5'999, 101, 100, 102)).empty());
  EXPECT_TRUE(e.inner.notices.empty());
  EXPECT_TRUE(e.on_tick(quote(6'000, 98, 97, 98)).empty());
  EXPECT_EQ(e.inner.notices, (std::vector<Notice>{{Notice::Kind::Canceled, {}, 1, 0, 6'000}}));
  EXPECT_TRUE(e.inner.book.empty());
}

TEST(CancelLatency, APendingOrderAndItsCancelDueOnOneTickNeverFill) {
  L1Config c = with_cancel_latency(100);
  c.order_latency.kind = Latency::Fixed{1'000};
  L1Engine e(INSTRUMENT, c);
  e.on_tick(quote(0, 101, 100, 102));
  e.submit(market(1, Side::Buy), 0);
  EXPECT_EQ(e.request_cancel(1, 950), CancelOutcome::Requested);
  EXPECT_TRUE(e.on_tick(quote(1'100, 101, 100, 102)).empty());
  EXPECT_EQ(e.inner.notices.size(), 1u);
  EXPECT_EQ(e.pending_count(), 0u);
}

TEST(L1Arrival, APostOnlyOrderThatArrivesMarketableIsRefusedOnThatTick) {
  L1Config c;
  c.order_latency.kind = Latency::Fixed{1'000};
  L1Engine e(INSTRUMENT, c);
  e.on_tick(quote(0, 101, 100, 102));
  Working order = limit(1, Side::Buy, 101);
  order.post_only = true;
  EXPECT_EQ(e.submit(order, 0), Admission::Accepted);  // on its way
  e.on_tick(quote(500, 100, 99, 101));                 // the ask comes down to it
  EXPECT_TRUE(e.on_tick(quote(1'000, 100, 99, 101)).empty());
  EXPECT_EQ(e.inner.notices, (std::vector<Notice>{{Notice::Kind::Rejected,
                                                   RejectReason::PostOnlyWouldTake, 1, 0, 1'000}}));
}

TEST(TriggerBook, ATickTakesExactlyTheLevelsItReachesFromEitherSide) {
  TriggerBook book;
  book.insert(1, 95, Fires::AtOrBelow);  // a sell stop
  book.insert(2, 90, Fires::AtOrBelow);
  book.insert(3, 105, Fires::AtOrAbove);  // a buy stop
  book.insert(4, 110, Fires::AtOrAbove);
  std::vector<std::pair<std::uint64_t, OrderId>> out;
  EXPECT_FALSE(book.take_reached(100, out));
  EXPECT_TRUE(book.take_reached(95, out));
  EXPECT_EQ(out, (std::vector<std::pair<std::uint64_t, OrderId>>{{0, 1}}));
  out.clear();
  EXPECT_TRUE(book.take_reached(120, out));
  EXPECT_EQ(out, (std::vector<std::pair<std::uint64_t, OrderId>>{{2, 3}, {3, 4}}));
  EXPECT_TRUE(book.remove(2));
  EXPECT_FALSE(book.remove(2));
  EXPECT_TRUE(book.empty());
}

}  // namespace
}  // namespace halvorn::engine
