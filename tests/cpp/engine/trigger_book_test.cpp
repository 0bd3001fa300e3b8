// The trigger book against a plain list of levels: what a price takes, in
// which order, and that the reach a run scans ticks with fires exactly when
// the book would take something.

#include "engine/trigger_book.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace halvorn::engine {
namespace {

struct Waiting {
  OrderId id;
  std::int64_t level;
  Fires fires;
};

TEST(TriggerBook, TakesWhatAPriceReachesAsAPlainListDoesAndTheReachAgreesThroughCancels) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    TriggerBook book;
    std::vector<Waiting> plain;
    OrderId next = 1;
    for (int step = 0; step < 60; ++step) {
      const auto roll = rng() % 12;
      if (roll < 7) {
        const Waiting w{next++, 100 + static_cast<std::int64_t>(rng() % 21),
                        rng() % 2 ? Fires::AtOrBelow : Fires::AtOrAbove};
        book.insert(w.id, w.level, w.fires);
        plain.push_back(w);
        continue;
      }
      if (roll < 10 || roll == 11) {
        // A cancel (of an id it may not hold), or now and then all of them:
        // the reach follows what is left.
        if (roll == 11) {
          book.clear();
          plain.clear();
        } else {
          const OrderId id = 1 + rng() % next;
          const bool held = std::erase_if(plain, [&](const Waiting& w) { return w.id == id; });
          EXPECT_EQ(book.remove(id), held);
        }
        Reach left;
        for (const Waiting& w : plain) {
          if (w.fires == Fires::AtOrBelow) left.below = std::max(left.below, w.level);
          if (w.fires == Fires::AtOrAbove) left.above = std::min(left.above, w.level);
        }
        EXPECT_EQ(std::pair(book.reach().below, book.reach().above),
                  std::pair(left.below, left.above));
        continue;
      }
      const std::int64_t price = 95 + static_cast<std::int64_t>(rng() % 31);
      std::vector<OrderId> expected;
      std::erase_if(plain, [&](const Waiting& w) {
        const bool fired = w.fires == Fires::AtOrBelow ? price <= w.level : price >= w.level;
        if (fired) expected.push_back(w.id);
        return fired;
      });
      const bool reached = book.reach().reached_by(price);
      std::vector<std::pair<std::uint64_t, OrderId>> taken;
      EXPECT_EQ(book.take_reached(price, taken), !expected.empty());
      EXPECT_EQ(reached, !expected.empty()) << "price " << price;
      // Sorted by entry number, they come in the order they were placed.
      std::sort(taken.begin(), taken.end());
      std::vector<OrderId> ids;
      for (const auto& [seq, id] : taken) ids.push_back(id);
      EXPECT_EQ(ids, expected);
      EXPECT_EQ(book.size(), plain.size());
    }
  }
}

TEST(TriggerBook, AnEmptyReachIsReachedByNoPriceAndJoinsToTheNearerLevels) {
  EXPECT_FALSE(Reach{}.reached_by(I64_MIN + 1));
  EXPECT_FALSE(Reach{}.reached_by(I64_MAX - 1));
  const Reach a{90, 110}, b{95, 120};
  const Reach both = a.with(b);
  EXPECT_EQ(both.below, 95);
  EXPECT_EQ(both.above, 110);
  EXPECT_TRUE(both.reached_by(95));
  EXPECT_FALSE(both.reached_by(96));
  EXPECT_FALSE(both.reached_by(109));
  EXPECT_TRUE(both.reached_by(110));
}

}  // namespace
}  // namespace halvorn::engine
