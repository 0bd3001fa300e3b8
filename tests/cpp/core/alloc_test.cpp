// The per-tick paths of every tier allocate nothing once warm.  This
// executable replaces the global operator new with a counting one, which is
// why it stands alone.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "core/kernel.hpp"
#include "support/counting_new.hpp"

using halvorn::testing::allocations;

namespace halvorn::core {
namespace {

constexpr InstrumentId ONE{1};

// Every effect switched on, so that each array of the engine is walked.
engine::L1Config busy() {
  engine::L1Config c;
  c.order_latency.kind = engine::Latency::Quantiles{1'000, 2'000, 5'000, 9'000};
  c.report_latency.kind = engine::Latency::Quantiles{500, 1'500, 3'000, 7'000};
  c.queue.kind = engine::QueueModel::TradedShare{50};
  c.impact_pct = 30;
  return c;
}

Kernel flat_kernel(const Tier& tier) {
  State s = State::create(ONE, 10'000, margin::TierTable::example_btcusdt(), 100'000'000'000);
  return Kernel(State::matching_with(std::move(s), Tier::matcher(tier, ONE)));
}

std::vector<Event> ticks(int n) {
  std::vector<Event> out;
  for (int i = 0; i < n; ++i) {
    const std::int64_t last = 600'000 + (i % 7) * 3 - 9;
    out.push_back(event::Tick{
        engine::Tick{i * 1'000, i * 1'000, last, last + 5, last - 5, last - 1, last + 1, i * 3},
        std::nullopt});
  }
  return out;
}

// Allocations made while applying every event once, after one warm-up pass.
std::size_t allocations_applying(Kernel& k, const std::vector<Event>& events) {
  for (const Event& e : events) k.apply(e);
  const std::size_t before = allocations;
  for (const Event& e : events) k.apply(e);
  return allocations - before;
}

TEST(KernelAllocation, TickOnAFlatAccountWithAnEmptyBookAllocatesNothing) {
  // The counter does see the kernel's own buffers being reserved.
  const std::size_t at_start = allocations;
  Kernel k = flat_kernel(Tier{});
  ASSERT_GT(allocations, at_start);
  EXPECT_EQ(allocations_applying(k, ticks(10'000)), 0u);
}

TEST(KernelAllocation, TicksPastOneHundredRestingOrdersAllocateNothing) {
  Kernel k = flat_kernel(Tier{});
  for (OrderId id = 1; id <= 100; ++id) {
    const bool buy = id % 2 == 0;
    k.apply(event::Submit{id,
                          buy ? Side::Buy : Side::Sell,
                          Offset::Open,
                          1,
                          0,
                          0,
                          std::nullopt,
                          buy ? 500'000 - std::int64_t(id) : 700'000 + std::int64_t(id),
                          {}});
  }
  EXPECT_EQ(allocations_applying(k, ticks(10'000)), 0u);
  EXPECT_EQ(k.live().size(), 100u);
}

TEST(KernelAllocation, SubmittingAndFillingMarketOrdersAllocatesNothingOnceWarm) {
  Kernel k = flat_kernel(Tier{});
  std::vector<Event> events;
  const std::vector<Event> prices = ticks(2'000);
  for (std::size_t i = 0; i < prices.size(); ++i) {
    const Side side = i % 2 == 0 ? Side::Buy : Side::Sell;
    events.push_back(
        event::Submit{i + 1, side, Offset::Open, 3, 0, 0, std::nullopt, std::nullopt, {}});
    events.push_back(prices[i]);
  }
  EXPECT_EQ(allocations_applying(k, events), 0u);
  EXPECT_EQ(k.state().fees, 0);
  EXPECT_TRUE(k.live().empty());
}

// A thousand orders far from the price rest (L0) or wait in the queue (L1)
// while, every tick, the oldest of them is cancelled and replaced, an order
// is sent and cancelled at once, and a marketable order is sent and filled:
// the book's pool, the id indexes and the live list recycle their storage.
TEST(TierAllocation, ChurnAgainstAThousandWaitingOrdersAllocatesNothingOnceWarm) {
  engine::L1Config queueing;
  queueing.order_latency.kind = engine::Latency::Fixed{2'500};
  queueing.queue.kind = engine::QueueModel::Fixed{1'000'000};
  for (const Tier& tier : {Tier{}, Tier{Tier::L1{queueing}}}) {
    SCOPED_TRACE(tier.name());
    Kernel k = flat_kernel(tier);
    const auto far = [](OrderId id) {
      const bool buy = id % 2 == 0;
      const auto offset = static_cast<std::int64_t>(id % 1'000);
      return event::Submit{id,
                           buy ? Side::Buy : Side::Sell,
                           Offset::Open,
                           1,
                           0,
                           0,
                           std::nullopt,
                           buy ? 500'000 - offset : 700'000 + offset,
                           {}};
    };
    for (OrderId id = 1; id <= 1'000; ++id) k.apply(far(id));
    const std::vector<Event> prices = ticks(4'000);
    std::vector<Event> events;
    for (std::size_t i = 0; i < prices.size(); ++i) {
      const OrderId id = 1'001 + i;
      const auto t = static_cast<Nanos>(i) * 1'000;
      const engine::Tick& last = std::get<event::Tick>(prices[i == 0 ? 0 : i - 1]).tick;
      const bool buy = i % 2 == 0;
      events.push_back(far(id));
      events.push_back(event::Cancel{id - 1'000});
      events.push_back(far(2'000'000 + i));
      events.push_back(event::Cancel{2'000'000 + i});
      events.push_back(event::Submit{1'000'000 + i,
                                     buy ? Side::Buy : Side::Sell,
                                     Offset::Open,
                                     1,
                                     t,
                                     t,
                                     std::nullopt,
                                     buy ? last.ask + 30 : last.bid - 30,
                                     {}});
      events.push_back(prices[i]);
    }
    const std::size_t half = events.size() / 2;
    std::size_t fills = 0;
    for (std::size_t i = 0; i < half; ++i) fills += k.apply(events[i]).size();
    const std::size_t before = allocations;
    for (std::size_t i = half; i < events.size(); ++i) fills += k.apply(events[i]).size();
    EXPECT_EQ(allocations - before, 0u);
    EXPECT_GT(fills, 3'000u);
    EXPECT_GE(k.live().size(), 1'000u);
  }
}

TEST(TierAllocation, L1TicksOnAFlatAccountWithAnEmptyBookAllocateNothing) {
  const std::size_t at_start = allocations;
  Kernel k = flat_kernel(Tier{Tier::L1{busy()}});
  ASSERT_GT(allocations, at_start);  // the counter sees the engine being built
  EXPECT_EQ(allocations_applying(k, ticks(10'000)), 0u);
}

TEST(TierAllocation, L1OrdersThroughLatencyQueueAndReportsAllocateNothingOnceWarm) {
  // Fixed latencies make the stream periodic, so the first half reaches
  // every high-water mark the second half does; time runs on through both
  // halves, so fills keep coming due as they are made.
  engine::L1Config config = busy();
  config.order_latency.kind = engine::Latency::Fixed{2'500};
  config.report_latency.kind = engine::Latency::Fixed{3'500};
  Kernel k = flat_kernel(Tier{Tier::L1{config}});
  const std::vector<Event> prices = ticks(4'000);
  std::vector<Event> events;
  for (std::size_t i = 0; i < prices.size(); ++i) {
    const Side side = i % 2 == 0 ? Side::Buy : Side::Sell;
    const auto t = static_cast<Nanos>(i) * 1'000;
    // A market order, and a limit order at the last price that queues.
    events.push_back(
        event::Submit{2 * i + 1, side, Offset::Open, 1, t, t, std::nullopt, std::nullopt, {}});
    events.push_back(event::Submit{2 * i + 2,
                                   side,
                                   Offset::Open,
                                   1,
                                   t,
                                   t,
                                   std::nullopt,
                                   600'000 + static_cast<std::int64_t>(i % 7) * 3 - 9,
                                   {}});
    events.push_back(prices[i]);
  }
  const std::size_t half = events.size() / 2;
  std::size_t fills = 0;
  for (std::size_t i = 0; i < half; ++i) fills += k.apply(events[i]).size();
  const std::size_t before = allocations;
  for (std::size_t i = half; i < events.size(); ++i) fills += k.apply(events[i]).size();
  EXPECT_EQ(allocations - before, 0u);
  EXPECT_GT(fills, 4'000u);
}

TEST(TierAllocation, L2TakerFillsPricedFromDepthAllocateNothingOnceWarm) {
  engine::L1Config config = busy();
  config.order_latency.kind = engine::Latency::Fixed{0};
  config.report_latency.kind = engine::Latency::Fixed{0};
  Kernel k = flat_kernel(Tier{Tier::L2{config}});
  std::vector<book::Level> bids, asks;
  for (std::int64_t i = 1; i <= 20; ++i) {
    bids.push_back({599'990 - i, 2});
    asks.push_back({600'010 + i, 2});
  }
  k.apply(event::Snapshot{book::DepthSnapshot{1, bids, asks}});
  const std::vector<Event> prices = ticks(2'000);
  std::vector<Event> events;
  for (std::size_t i = 0; i < prices.size(); ++i) {
    const Side side = i % 2 == 0 ? Side::Buy : Side::Sell;
    events.push_back(
        event::Submit{i + 1, side, Offset::Open, 3, 0, 0, std::nullopt, std::nullopt, {}});
    events.push_back(prices[i]);
  }
  std::size_t fills = 0;
  for (std::size_t i = 0; i < events.size() / 2; ++i) fills += k.apply(events[i]).size();
  const std::size_t before = allocations;
  for (std::size_t i = events.size() / 2; i < events.size(); ++i)
    fills += k.apply(events[i]).size();
  EXPECT_EQ(allocations - before, 0u);
  EXPECT_EQ(fills, 2'000u);
}

TEST(TierAllocation, L2TicksOnASyncedBookAllocateNothing) {
  Kernel k = flat_kernel(Tier{Tier::L2{busy()}});
  k.apply(event::Snapshot{book::DepthSnapshot{1, {{599'990, 5}}, {{600'010, 5}}}});
  EXPECT_EQ(allocations_applying(k, ticks(10'000)), 0u);
}

}  // namespace
}  // namespace halvorn::core
