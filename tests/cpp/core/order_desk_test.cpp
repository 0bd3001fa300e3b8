// Conditional orders, contingent groups and reduce-only orders through the
// kernel: the worked examples of docs/venue.md at each tier, and the rules
// that must hold whatever the prices (a bracket's two exits never both
// fill, a reduce-only order never flips a position).

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "core/kernel.hpp"

namespace halvorn::core {
namespace {

constexpr InstrumentId ONE{1};

Kernel kernel(const Tier& tier = Tier{}, bool hedge = false,
              engine::TriggeredPrice triggered = engine::TriggeredPrice::Order) {
  State s = State::create(ONE, 10'000, margin::TierTable::example_btcusdt(), 100'000'000'000,
                          Tier::matcher(tier, ONE, engine::RestingPrice::Limit, triggered));
  s.fees_known = true;
  s.hedge = hedge;
  s.enforce_margin = false;
  return Kernel(std::move(s));
}

event::Tick tick(Nanos t, std::int64_t last, std::int64_t bid, std::int64_t ask,
                 std::int64_t volume = 0) {
  return event::Tick{engine::Tick{t, t, last, 0, 0, bid, ask, volume}, std::nullopt};
}

// An order of the strategy, sent on the tick at time t.
event::Submit order(OrderId id, Side side, QtyLots qty, Nanos t = 0,
                    std::optional<std::int64_t> price = std::nullopt, OrderTerms terms = {}) {
  return event::Submit{id, side, Offset::Open, qty, t, t, ONE, price, terms};
}

OrderTerms stop(std::int64_t trigger, bool reduce_only = true) {
  OrderTerms t;
  t.trigger = TriggerTerms{TriggerTerms::Kind::Stop, trigger, 0, 0};
  t.reduce_only = reduce_only;
  return t;
}

OrderTerms take_profit(std::int64_t trigger) {
  OrderTerms t;
  t.trigger = TriggerTerms{TriggerTerms::Kind::TakeProfit, trigger, 0, 0};
  t.reduce_only = true;
  return t;
}

OrderTerms trailing(std::int64_t distance, std::int64_t activation = 0) {
  OrderTerms t;
  t.trigger = TriggerTerms{TriggerTerms::Kind::Trailing, activation, distance, 0};
  t.reduce_only = true;
  return t;
}

OrderTerms member(GroupRole role, OrderId leader, OrderTerms t = {}) {
  t.role = role;
  t.leader = leader;
  return t;
}

std::vector<Output> apply(Kernel& k, const Event& e) {
  auto out = k.apply(e);
  return {out.begin(), out.end()};
}

std::vector<Fill> fills_of(const std::vector<Output>& out) {
  std::vector<Fill> fills;
  for (const Output& o : out) {
    if (const auto* f = std::get_if<output::Fill>(&o)) fills.push_back(*f);
  }
  return fills;
}

// A long of `qty` lots bought with a market order at 100.
void go_long(Kernel& k, QtyLots qty, OrderId id = 1) {
  apply(k, tick(0, 100, 99, 101));
  apply(k, order(id, Side::Buy, qty));
  ASSERT_EQ(fills_of(apply(k, tick(1, 100, 99, 100))).size(), 1u);
  ASSERT_EQ(k.state().holdings[0].long_size, qty);
}

// The worked example of a stop-market at L0: long, a sell stop at 97; the
// tick at 96 fires it, and the order it sends fills on the next tick at that
// tick's bid, 93, below the stop (a gap is not bridged).
TEST(StopMarket, FiresOnTheTickThatReachesItAndFillsOnTheNextAtItsTouch) {
  Kernel k = kernel();
  go_long(k, 2);
  EXPECT_TRUE(apply(k, order(2, Side::Sell, 2, 1, std::nullopt, stop(97))).empty());
  EXPECT_TRUE(apply(k, tick(2, 98, 97, 99)).empty());
  EXPECT_EQ(apply(k, tick(3, 96, 95, 97)), (std::vector<Output>{output::Triggered{2, 97, 3}}));
  EXPECT_TRUE(k.live().contains(2));
  const auto out = fills_of(apply(k, tick(4, 94, 93, 95)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].price, 93);
  EXPECT_EQ(out[0].exch_ts, 4);
  EXPECT_TRUE(out[0].taker);
  EXPECT_EQ(k.state().holdings[0].long_size, 0);
  EXPECT_TRUE(k.live().empty());
}

// The same stop at L1 with 5 ns of order latency: the order it sends is
// sent at the firing tick's local time and arrives 5 later; the tick at 7
// is the first to see it.
TEST(StopMarket, AtL1TheOrderItSendsTravelsLikeAnyOther) {
  engine::L1Config c;
  c.order_latency.kind = engine::Latency::Fixed{5};
  Kernel k = kernel(Tier{Tier::L1{c}});
  apply(k, tick(0, 100, 99, 101));
  apply(k, order(1, Side::Buy, 2));
  apply(k, tick(5, 100, 99, 100));
  ASSERT_EQ(k.state().holdings[0].long_size, 2);
  apply(k, order(2, Side::Sell, 2, 5, std::nullopt, stop(97)));
  EXPECT_EQ(apply(k, tick(6, 96, 95, 97)), (std::vector<Output>{output::Triggered{2, 97, 6}}));
  EXPECT_TRUE(fills_of(apply(k, tick(10, 95, 94, 96))).empty());
  const auto out = fills_of(apply(k, tick(11, 94, 92, 95)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].price, 92);
}

// At L2 with a synced depth book, the order a stop sends walks the bids.
TEST(StopMarket, AtL2TheOrderItSendsWalksTheDepth) {
  Kernel k = kernel(Tier{Tier::L2{engine::L1Config{}}});
  apply(k, tick(0, 100, 99, 101));
  apply(k, order(1, Side::Buy, 2));
  apply(k, tick(1, 100, 99, 100));
  book::DepthSnapshot snap;
  snap.last_update_id = 1;
  snap.bids = {{93, 1}, {92, 5}};
  snap.asks = {{95, 5}};
  apply(k, event::Snapshot{snap});
  apply(k, order(2, Side::Sell, 2, 1, std::nullopt, stop(97)));
  apply(k, tick(2, 96, 95, 97));
  const auto out = fills_of(apply(k, tick(3, 94, 93, 95)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].price, 92);  // (93 + 92) / 2, truncated for a sell
}

// A stop-limit fires into a limit order: at 96 it sends a sell at 95, which
// the next bid (93) does not reach; it rests, and fills at its limit when a
// bid comes back to it.
TEST(StopLimit, SendsALimitOrderThatRestsWhenTheMarketHasGone) {
  Kernel k = kernel();
  go_long(k, 1);
  apply(k, order(2, Side::Sell, 1, 1, 95, stop(97)));
  apply(k, tick(2, 96, 95, 97));
  EXPECT_TRUE(fills_of(apply(k, tick(3, 94, 93, 94))).empty());
  const auto out = fills_of(apply(k, tick(4, 94, 96, 97)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].price, 95);
  EXPECT_FALSE(out[0].taker);
}

// The order a take-profit sends takes the bid it meets; held to its trigger
// only when the run asks for that bound.
TEST(TakeProfit, ASellFiresOnARiseAndFillsAtTheBidOrNoBetterThanItsTrigger) {
  for (const auto& [rule, price] : {std::pair{engine::TriggeredPrice::Order, 107},
                                    std::pair{engine::TriggeredPrice::Trigger, 105}}) {
    Kernel k = kernel(Tier{}, false, rule);
    go_long(k, 1);
    apply(k, order(2, Side::Sell, 1, 1, std::nullopt, take_profit(105)));
    EXPECT_TRUE(apply(k, tick(2, 104, 103, 105)).empty());
    EXPECT_EQ(apply(k, tick(3, 106, 105, 107)),
              (std::vector<Output>{output::Triggered{2, 105, 3}}));
    const auto out = fills_of(apply(k, tick(4, 108, 107, 109)));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].price, price);
  }
}

// A trailing sell 3 behind the best price: best 100, then 104 (level 101);
// the fall to 101 fires it at 101.
TEST(Trailing, FollowsTheBestPriceAndFiresOnTheTurn) {
  Kernel k = kernel();
  go_long(k, 1);
  apply(k, order(2, Side::Sell, 1, 1, std::nullopt, trailing(3)));
  for (std::int64_t last : {100, 104, 102}) EXPECT_TRUE(apply(k, tick(2, last, 99, 110)).empty());
  EXPECT_EQ(apply(k, tick(3, 101, 100, 102)), (std::vector<Output>{output::Triggered{2, 101, 3}}));
  const auto out = fills_of(apply(k, tick(4, 101, 100, 102)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].price, 100);
}

TEST(Trailing, WaitsForItsActivationPriceAndTrailsByRate) {
  Kernel k = kernel();
  go_long(k, 1);
  OrderTerms t = trailing(0, 110);
  t.trigger.rate = 50'000'000;  // 5 % of the best price
  apply(k, order(2, Side::Sell, 1, 1, std::nullopt, t));
  // Not active yet: a fall fires nothing.
  for (std::int64_t last : {100, 80, 109}) EXPECT_TRUE(apply(k, tick(2, last, 1, 200)).empty());
  EXPECT_TRUE(apply(k, tick(3, 120, 119, 121)).empty());  // active, best 120, level 114
  EXPECT_TRUE(apply(k, tick(4, 115, 114, 116)).empty());
  EXPECT_EQ(apply(k, tick(5, 114, 113, 115)), (std::vector<Output>{output::Triggered{2, 114, 5}}));
}

// A bracket: a buy at 100 with a stop-loss at 95 and a take-profit at 110.
// Its exits wait for the entry, then the first to act ends the other.
TEST(Bracket, ExitsArmWhenTheEntryFillsAndTheFirstToActEndsTheOther) {
  Kernel k = kernel(Tier{}, false, engine::TriggeredPrice::Trigger);
  apply(k, tick(0, 102, 101, 103));
  apply(k, order(1, Side::Buy, 2, 0, 100, member(GroupRole::BracketEntry, 0)));
  apply(k, order(2, Side::Sell, 2, 0, std::nullopt, member(GroupRole::BracketStop, 1, stop(95))));
  apply(k, order(3, Side::Sell, 2, 0, 110, member(GroupRole::BracketTake, 1, OrderTerms{})));
  EXPECT_EQ(k.live().size(), 3u);
  // Before the entry fills, a fall through 95 fires nothing.
  EXPECT_TRUE(apply(k, tick(1, 101, 100, 102)).empty());
  // The entry fills at 100 on a fall to 94 (crossed on the way down), and
  // the stop-loss armed by it fires on that very tick.
  const auto out = apply(k, tick(2, 94, 93, 95));
  ASSERT_EQ(fills_of(out).size(), 1u);
  EXPECT_EQ(fills_of(out)[0].order, 1u);
  EXPECT_NE(std::find(out.begin(), out.end(), Output{output::Canceled{3}}), out.end());
  EXPECT_NE(std::find(out.begin(), out.end(), Output{output::Triggered{2, 95, 2}}), out.end());
  // The take-profit's limit at 110 is never reached now; the stop fills.
  const auto exits = fills_of(apply(k, tick(3, 111, 110, 112)));
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].order, 2u);
  EXPECT_EQ(exits[0].price, 95);  // a sell bounded by its trigger
  EXPECT_EQ(k.state().holdings[0].long_size, 0);
  EXPECT_TRUE(k.live().empty());
}

TEST(Bracket, AnEntryThatEndsUnfilledTakesItsExitsAlong) {
  Kernel k = kernel();
  apply(k, tick(0, 102, 101, 103));
  apply(k, order(1, Side::Buy, 1, 0, 100, member(GroupRole::BracketEntry, 0)));
  apply(k, order(2, Side::Sell, 1, 0, std::nullopt, member(GroupRole::BracketStop, 1, stop(95))));
  const auto out = apply(k, event::Cancel{1, 0});
  EXPECT_EQ(out, (std::vector<Output>{output::Canceled{1}, output::Canceled{2}}));
  EXPECT_TRUE(k.live().empty());
  // A member of a group that has ended is refused.
  EXPECT_EQ(apply(k, order(3, Side::Sell, 1, 0, 110, member(GroupRole::BracketTake, 1))),
            (std::vector<Output>{output::Rejected{RejectReason::GroupEnded, 3}}));
}

TEST(Bracket, ExitsEndWhenThePositionTheEntryOpenedIsClosedByOtherMeans) {
  Kernel k = kernel();
  apply(k, tick(0, 100, 99, 101));
  apply(k, order(1, Side::Buy, 1, 0, std::nullopt, member(GroupRole::BracketEntry, 0)));
  apply(k, order(2, Side::Sell, 1, 0, std::nullopt, member(GroupRole::BracketStop, 1, stop(90))));
  apply(k, order(3, Side::Sell, 1, 0, 120, member(GroupRole::BracketTake, 1)));
  apply(k, tick(1, 100, 99, 101));
  ASSERT_EQ(k.state().holdings[0].long_size, 1);
  EXPECT_EQ(k.live().size(), 2u);
  apply(k, order(4, Side::Sell, 1, 1));
  const auto out = apply(k, tick(2, 100, 99, 101));
  EXPECT_EQ(fills_of(out).size(), 1u);
  EXPECT_NE(std::find(out.begin(), out.end(), Output{output::Canceled{2}}), out.end());
  EXPECT_NE(std::find(out.begin(), out.end(), Output{output::Canceled{3}}), out.end());
  EXPECT_TRUE(k.live().empty());
}

TEST(OneCancelsOther, AStrategyCancelOfOneLegTakesTheOther) {
  Kernel k = kernel();
  apply(k, tick(0, 100, 99, 101));
  apply(k, order(1, Side::Buy, 1, 0, 95, member(GroupRole::OneCancelsOther, 0)));
  apply(k, order(2, Side::Buy, 1, 0, std::nullopt,
                 member(GroupRole::OneCancelsOther, 1, stop(105, false))));
  EXPECT_EQ(apply(k, event::Cancel{2, 0}),
            (std::vector<Output>{output::Canceled{2}, output::Canceled{1}}));
}

TEST(ReduceOnly, RefusedWithNothingToReduceAndClippedToThePosition) {
  Kernel k = kernel();
  OrderTerms reduce;
  reduce.reduce_only = true;
  apply(k, tick(0, 100, 99, 101));
  EXPECT_EQ(apply(k, order(1, Side::Sell, 1, 0, std::nullopt, reduce)),
            (std::vector<Output>{output::Rejected{RejectReason::ReduceOnlyFlat, 1}}));
  go_long(k, 2, 2);
  EXPECT_EQ(apply(k, order(3, Side::Buy, 1, 1, std::nullopt, reduce)),
            (std::vector<Output>{output::Rejected{RejectReason::ReduceOnlySameSide, 3}}));
  apply(k, order(4, Side::Sell, 5, 1, std::nullopt, reduce));
  const auto out = fills_of(apply(k, tick(2, 100, 99, 101)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].qty, 2);
  EXPECT_EQ(k.state().holdings[0].long_size, 0);
}

TEST(ClosePosition, IsSizedFromThePositionWhenSentAndWhenItFires) {
  Kernel k = kernel();
  go_long(k, 3);
  OrderTerms close;
  close.close_position = true;
  apply(k, order(2, Side::Sell, 0, 1, std::nullopt, close));
  auto out = fills_of(apply(k, tick(2, 100, 99, 101)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].qty, 3);
  go_long(k, 4, 3);
  OrderTerms close_at = stop(97);
  close_at.close_position = true;
  apply(k, order(4, Side::Sell, 0, 1, std::nullopt, close_at));
  apply(k, tick(3, 96, 95, 97));
  out = fills_of(apply(k, tick(4, 96, 95, 97)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].qty, 4);
}

TEST(Immediate, AnOrderItsFirstTickLeavesUnfilledExpires) {
  Kernel k = kernel();
  apply(k, tick(0, 100, 99, 101));
  OrderTerms ioc;
  ioc.tif = TimeInForce::ImmediateOrCancel;
  EXPECT_EQ(apply(k, order(1, Side::Buy, 1, 0, 100, ioc)),
            (std::vector<Output>{output::Expired{1}}));
  apply(k, order(2, Side::Buy, 1, 0, 101, ioc));
  EXPECT_EQ(apply(k, tick(1, 103, 102, 104)), (std::vector<Output>{output::Expired{2}}));
  EXPECT_TRUE(k.live().empty());
}

TEST(CancelLatency, TheOrderStaysLiveUntilItsCancelLands) {
  engine::L1Config c;
  c.cancel_latency.kind = engine::Latency::Fixed{10};
  Kernel k = kernel(Tier{Tier::L1{c}});
  apply(k, tick(0, 101, 100, 102));
  apply(k, order(1, Side::Buy, 1, 0, 100));
  EXPECT_TRUE(apply(k, event::Cancel{1, 0}).empty());
  EXPECT_TRUE(k.live().contains(1));
  EXPECT_TRUE(apply(k, tick(5, 101, 100, 102)).empty());
  EXPECT_EQ(apply(k, tick(10, 101, 100, 102)), (std::vector<Output>{output::Canceled{1}}));
  EXPECT_TRUE(k.live().empty());
}

// Whatever the path, a bracket's stop-loss and take-profit never both fill,
// and reduce-only exits never take the account past flat.
TEST(Bracket, OverRandomPathsTheExitsNeverBothFillAndNeverFlip) {
  std::mt19937_64 rng(7);
  std::size_t stops = 0, takes = 0;
  for (int run = 0; run < 200; ++run) {
    Kernel k = kernel();
    std::int64_t last = 1'000;
    apply(k, tick(0, last, last - 1, last + 1));
    OrderId next = 1;
    std::vector<Fill> fills;
    for (Nanos t = 1; t < 400; ++t) {
      if (k.live().empty() && k.state().holdings[0].long_size == 0) {
        const OrderId entry = next;
        apply(k, order(entry, Side::Buy, 3, t, std::nullopt, member(GroupRole::BracketEntry, 0)));
        apply(k, order(entry + 1, Side::Sell, 3, t, std::nullopt,
                       member(GroupRole::BracketStop, entry, stop(last - 7))));
        apply(k, order(entry + 2, Side::Sell, 3, t, last + 7,
                       member(GroupRole::BracketTake, entry, OrderTerms{.reduce_only = true})));
        next += 3;
      }
      last += static_cast<std::int64_t>(rng() % 9) - 4;
      const std::int64_t spread = static_cast<std::int64_t>(rng() % 3);
      for (const Fill& f :
           fills_of(apply(k, tick(t, last, last - 1 - spread, last + 1 + spread)))) {
        fills.push_back(f);
      }
      const QtyLots held = k.state().holdings[0].long_size;
      ASSERT_GE(held, 0);
      ASSERT_LE(held, 3);
    }
    for (OrderId entry = 1; entry < next; entry += 3) {
      const auto filled = [&](OrderId id) {
        return std::any_of(fills.begin(), fills.end(),
                           [&](const Fill& f) { return f.order == id; });
      };
      ASSERT_FALSE(filled(entry + 1) && filled(entry + 2)) << "bracket " << entry;
      stops += filled(entry + 1);
      takes += filled(entry + 2);
    }
  }
  // The paths reach both exits, many times.
  EXPECT_GT(stops, 1'000u);
  EXPECT_GT(takes, 1'000u);
}

}  // namespace
}  // namespace halvorn::core
