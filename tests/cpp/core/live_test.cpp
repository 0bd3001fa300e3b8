// The kernel's live orders: membership and acceptance order through long
// streams of inserts and erases, across the compactions they cause.

#include "core/live.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace halvorn::core {
namespace {

std::vector<OrderId> listed(const LiveOrders& live) { return {live.begin(), live.end()}; }

// Erase patterns: the oldest first (holes pile up at the front), the newest
// first (the tail shrinks), and at random; with an occasional clear.
TEST(LiveOrders, KeepAcceptanceOrderAgainstAPlainList) {
  for (int pattern = 0; pattern < 3; ++pattern) {
    SCOPED_TRACE(pattern);
    std::mt19937_64 rng(pattern + 1);
    LiveOrders live;
    std::vector<OrderId> ref;
    OrderId next = 0;  // id 0 is an id like any other
    for (int op = 0; op < 20'000; ++op) {
      const int what = static_cast<int>(rng() % 100);
      if (what < 48 || ref.empty()) {
        live.insert(next);
        ref.push_back(next++);
      } else if (what < 99) {
        std::size_t k = pattern == 0 ? 0 : pattern == 1 ? ref.size() - 1 : rng() % ref.size();
        if (rng() % 4 == 0) k = rng() % ref.size();
        ASSERT_TRUE(live.erase(ref[k]));
        ASSERT_FALSE(live.erase(ref[k]));
        ref.erase(ref.begin() + static_cast<std::ptrdiff_t>(k));
      } else if (rng() % 10 == 0) {
        live.clear();
        ref.clear();
      }
      ASSERT_EQ(live.size(), ref.size());
      if (op % 101 == 0) {
        ASSERT_EQ(listed(live), ref);
        for (OrderId id = next > 50 ? next - 50 : 0; id < next + 2; ++id) {
          ASSERT_EQ(live.contains(id), std::find(ref.begin(), ref.end(), id) != ref.end());
        }
      }
    }
    EXPECT_EQ(listed(live), ref);
  }
}

TEST(LiveOrders, AnErasedIdCanBeAcceptedAgainAndGoesToTheBack) {
  LiveOrders live;
  for (OrderId id : {4, 7, 9}) live.insert(id);
  EXPECT_TRUE(live.erase(4));
  live.insert(4);
  EXPECT_EQ(listed(live), (std::vector<OrderId>{7, 9, 4}));
  EXPECT_TRUE(live.contains(4));
  live.clear();
  EXPECT_TRUE(live.empty());
  EXPECT_EQ(live.begin(), live.end());
  EXPECT_FALSE(live.contains(7));
}

}  // namespace
}  // namespace halvorn::core
