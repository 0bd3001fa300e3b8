// With an all-zero configuration the L1 matcher adds nothing: over a long
// seeded stream of ticks, submissions and cancellations it reports exactly
// the fills of the L0 matcher, field for field, on the same ticks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/l0.hpp"
#include "engine/l1.hpp"

namespace halvorn::engine {
namespace {

constexpr InstrumentId INSTRUMENT{5};
constexpr int TICKS = 50'000;

// A quote field that is sometimes absent (0), so the fallbacks on last are
// exercised too.
std::int64_t maybe(std::mt19937_64& rng, std::int64_t v) {
  return std::uniform_int_distribution<int>(0, 9)(rng) == 0 ? 0 : v;
}

Tick random_tick(std::mt19937_64& rng, Nanos t, std::int64_t& last, std::int64_t& volume) {
  last =
      std::clamp<std::int64_t>(last + std::uniform_int_distribution<int>(-4, 4)(rng), 900, 1'100);
  const std::int64_t spread = std::uniform_int_distribution<int>(0, 3)(rng);
  volume += std::uniform_int_distribution<int>(-2, 20)(rng);  // sometimes goes down
  return Tick{t,
              t + 3,
              last,
              maybe(rng, last + std::uniform_int_distribution<int>(0, 5)(rng)),
              maybe(rng, last - std::uniform_int_distribution<int>(0, 5)(rng)),
              maybe(rng, last - spread),
              maybe(rng, last + spread),
              volume};
}

TEST(L0L1Equivalence, AllZeroConfigurationFillsExactlyAsL0) {
  std::mt19937_64 rng(20240607);
  L0Engine l0(INSTRUMENT);
  L1Engine l1(INSTRUMENT, L1Config{});
  ASSERT_TRUE(l1.config.order_latency.is_zero());
  ASSERT_TRUE(l1.config.report_latency.is_zero());

  std::int64_t last = 1'000;
  std::int64_t volume = 0;
  OrderId next_id = 1;
  std::size_t fills = 0;
  std::size_t cancelled = 0;
  std::size_t by_rule[3] = {};
  for (int i = 0; i < TICKS; ++i) {
    const Nanos t = static_cast<Nanos>(i) * 1'000;
    const int actions = std::uniform_int_distribution<int>(0, 3)(rng);
    for (int a = 0; a < actions; ++a) {
      const int what = std::uniform_int_distribution<int>(0, 9)(rng);
      if (what < 6) {
        const Side side = std::uniform_int_distribution<int>(0, 1)(rng) ? Side::Buy : Side::Sell;
        const QtyLots qty = std::uniform_int_distribution<int>(1, 5)(rng);
        const Offset offset =
            std::uniform_int_distribution<int>(0, 1)(rng) ? Offset::Open : Offset::Close;
        const Working order =
            what < 5 ? limit_order(next_id, side,
                                   last + std::uniform_int_distribution<int>(-12, 12)(rng), qty, t,
                                   t + 3, offset)
                     : market_order(next_id, side, qty, t, t + 3, offset);
        ++next_id;
        l0.submit(order);
        l1.submit(order, order.local_ts);
      } else if (what < 9) {
        // Mostly recent ids, which are the ones still likely to be working.
        const OrderId id =
            std::uniform_int_distribution<OrderId>(next_id > 30 ? next_id - 30 : 1, next_id)(rng);
        const bool removed = l0.cancel(id);
        ASSERT_EQ(l1.cancel(id), removed) << "order " << id << " at tick " << i;
        cancelled += removed;
      } else if (std::uniform_int_distribution<int>(0, 50)(rng) == 0) {
        ASSERT_EQ(l1.cancel_all(), l0.cancel_all()) << "tick " << i;
      }
    }
    const Tick tick = random_tick(rng, t, last, volume);
    const auto expected = l0.on_tick(tick);
    const auto actual = l1.on_tick(tick);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), actual.begin(), actual.end()))
        << "tick " << i;
    fills += expected.size();
    for (const L0Fill& f : expected) ++by_rule[static_cast<int>(f.rule)];
  }
  EXPECT_TRUE(l1.pending.empty());
  EXPECT_TRUE(l1.queued.empty());
  EXPECT_TRUE(l1.drain_unreported().empty());
  EXPECT_EQ(l1.inner.book.orders(Lane::BuyLimits), l0.book.orders(Lane::BuyLimits));
  EXPECT_EQ(l1.inner.book.orders(Lane::SellLimits), l0.book.orders(Lane::SellLimits));
  EXPECT_EQ(l1.inner.book.next_seq, l0.book.next_seq);
  // The stream exercised every rule and the cancellations.
  EXPECT_GT(fills, 10'000u);
  EXPECT_GT(cancelled, 1'000u);
  for (std::size_t n : by_rule) EXPECT_GT(n, 1'000u);
  std::printf("%zu fills (%zu crossed, %zu quote, %zu market), %zu cancelled\n", fills, by_rule[0],
              by_rule[1], by_rule[2], cancelled);
}

}  // namespace
}  // namespace halvorn::engine
