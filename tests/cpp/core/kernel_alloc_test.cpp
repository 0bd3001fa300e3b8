// The per-tick path allocates nothing once warm.  This executable replaces
// the global operator new with a counting one, which is why it stands alone.

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

Kernel flat_kernel() {
  State s = State::create(ONE, 10'000, margin::TierTable::example_btcusdt(), 100'000'000'000);
  return Kernel(State::matching_with(std::move(s), Tier::matcher(Tier{}, ONE)));
}

std::vector<Event> ticks(int n) {
  std::vector<Event> out;
  for (int i = 0; i < n; ++i) {
    const std::int64_t last = 600'000 + (i % 7) * 3 - 9;
    out.push_back(event::Tick{engine::Tick{i, i, last, last + 5, last - 5, last - 1, last + 1, i},
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
  Kernel k = flat_kernel();
  ASSERT_GT(allocations, at_start);
  EXPECT_EQ(allocations_applying(k, ticks(10'000)), 0u);
}

TEST(KernelAllocation, TicksPastOneHundredRestingOrdersAllocateNothing) {
  Kernel k = flat_kernel();
  for (OrderId id = 1; id <= 100; ++id) {
    const bool buy = id % 2 == 0;
    k.apply(event::Submit{id, buy ? Side::Buy : Side::Sell, Offset::Open, 1, 0, 0, std::nullopt,
                          buy ? 500'000 - std::int64_t(id) : 700'000 + std::int64_t(id)});
  }
  EXPECT_EQ(allocations_applying(k, ticks(10'000)), 0u);
  EXPECT_EQ(k.live().size(), 100u);
}

TEST(KernelAllocation, SubmittingAndFillingMarketOrdersAllocatesNothingOnceWarm) {
  Kernel k = flat_kernel();
  std::vector<Event> events;
  const std::vector<Event> prices = ticks(2'000);
  for (std::size_t i = 0; i < prices.size(); ++i) {
    const Side side = i % 2 == 0 ? Side::Buy : Side::Sell;
    events.push_back(event::Submit{i + 1, side, Offset::Open, 3, 0, 0, std::nullopt, std::nullopt});
    events.push_back(prices[i]);
  }
  EXPECT_EQ(allocations_applying(k, events), 0u);
  EXPECT_EQ(k.state().fees, 0);
  EXPECT_TRUE(k.live().empty());
}

}  // namespace
}  // namespace halvorn::core
