// The resting-order book: price-time priority, entry numbers, removal and
// in-place replacement, and a long random stream checked against a plain
// sorted-array book.

#include "engine/resting_book.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "engine/l0.hpp"

namespace halvorn::engine {
namespace {

Working buy(OrderId id, std::int64_t price) {
  return limit_order(id, Side::Buy, price, 1, 0, 0, Offset::Open);
}
Working sell(OrderId id, std::int64_t price) {
  return limit_order(id, Side::Sell, price, 1, 0, 0, Offset::Open);
}

std::vector<OrderId> ids(const std::vector<Resting>& side) {
  std::vector<OrderId> out;
  for (const Resting& r : side) out.push_back(r.id());
  return out;
}

TEST(Book, LimitsKeepPriceThenEntryOrder) {
  Book book;
  book.insert(buy(1, 100));
  book.insert(buy(2, 101));
  book.insert(buy(3, 100));
  book.insert(sell(4, 100));
  book.insert(sell(5, 99));
  book.insert(sell(6, 100));
  EXPECT_EQ(ids(book.orders(Lane::BuyLimits)), (std::vector<OrderId>{2, 1, 3}));
  EXPECT_EQ(ids(book.orders(Lane::SellLimits)), (std::vector<OrderId>{5, 4, 6}));
}

TEST(Book, EveryInsertTakesTheNextEntryNumberWhicheverArrayItLandsIn) {
  Book book;
  book.insert(market_order(1, Side::Buy, 1, 0, 0, Offset::Open));
  book.insert(sell(2, 50));
  book.insert(buy(3, 40));
  EXPECT_EQ(book.orders(Lane::BuyMarkets)[0].entry_seq, 0u);
  EXPECT_EQ(book.orders(Lane::SellLimits)[0].entry_seq, 1u);
  EXPECT_EQ(book.orders(Lane::BuyLimits)[0].entry_seq, 2u);
  EXPECT_EQ(book.next_seq, 3u);
  EXPECT_EQ(book.size(), 3u);

  book.next_seq = UINT64_MAX;
  EXPECT_THROW(book.insert(buy(4, 40)), Panic);
}

TEST(Book, RemoveKeepsTheRestInOrderAndIgnoresUnknownIds) {
  Book book;
  for (OrderId id : {1, 2, 3}) book.insert(buy(id, 100));
  std::optional<Working> removed = book.remove(2);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->id, 2u);
  EXPECT_EQ(ids(book.orders(Lane::BuyLimits)), (std::vector<OrderId>{1, 3}));

  Book before = book;
  EXPECT_FALSE(book.remove(9));
  book.replace(9, std::nullopt);
  book.replace(9, buy(9, 100));
  EXPECT_EQ(book.orders(Lane::BuyLimits), before.orders(Lane::BuyLimits));
  EXPECT_EQ(book.next_seq, before.next_seq);
}

TEST(Book, ReplaceOverwritesInPlaceAndLaterInsertsStillQueueBehind) {
  Book book;
  book.insert(buy(1, 100));
  book.insert(buy(2, 100));
  Working advanced = book.orders(Lane::BuyLimits)[0].order;
  advanced.filled = 1;
  advanced.status = OrderStatus::PartiallyFilled;
  book.replace(1, advanced);
  EXPECT_EQ(book.orders(Lane::BuyLimits)[0].order, advanced);
  EXPECT_EQ(book.orders(Lane::BuyLimits)[0].entry_seq, 0u);
  book.insert(buy(3, 100));
  EXPECT_EQ(ids(book.orders(Lane::BuyLimits)), (std::vector<OrderId>{1, 2, 3}));

  book.replace(1, std::nullopt);
  EXPECT_EQ(ids(book.orders(Lane::BuyLimits)), (std::vector<OrderId>{2, 3}));
}

// The book as four sorted arrays, searched and shifted the plain way.
struct ArrayBook {
  std::array<std::vector<Resting>, 4> lanes;
  std::uint64_t next_seq = 0;

  static std::size_t lane_of(const Working& w) {
    if (w.kind.is_market()) return w.side == Side::Buy ? 2 : 3;
    return w.side == Side::Buy ? 0 : 1;
  }
  void insert(const Working& w) {
    const Resting r{w, next_seq++};
    std::vector<Resting>& lane = lanes[lane_of(w)];
    const std::int64_t p = w.kind.price;
    auto at = lane.end();
    if (lane_of(w) == 0) {
      at = std::partition_point(lane.begin(), lane.end(),
                                [p](const Resting& x) { return x.order.kind.price >= p; });
    } else if (lane_of(w) == 1) {
      at = std::partition_point(lane.begin(), lane.end(),
                                [p](const Resting& x) { return x.order.kind.price <= p; });
    }
    lane.insert(at, r);
  }
  Resting* find(OrderId id) {
    for (auto& lane : lanes) {
      for (Resting& r : lane) {
        if (r.id() == id) return &r;
      }
    }
    return nullptr;
  }
  bool remove(OrderId id) {
    for (auto& lane : lanes) {
      for (auto it = lane.begin(); it != lane.end(); ++it) {
        if (it->id() == id) {
          lane.erase(it);
          return true;
        }
      }
    }
    return false;
  }
};

constexpr Lane LANES[] = {Lane::BuyLimits, Lane::SellLimits, Lane::BuyMarkets, Lane::SellMarkets};

void expect_same(const Book& book, const ArrayBook& ref, std::mt19937_64& rng) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const Lane lane = LANES[i];
    ASSERT_EQ(book.orders(lane), ref.lanes[i]) << "lane " << i;
    ASSERT_EQ(book.count(lane), ref.lanes[i].size());
    const Resting* front = book.front(lane);
    if (ref.lanes[i].empty()) {
      ASSERT_EQ(front, nullptr);
    } else {
      ASSERT_NE(front, nullptr);
      ASSERT_EQ(*front, ref.lanes[i].front());
    }
    total += ref.lanes[i].size();
  }
  ASSERT_EQ(book.size(), total);
  // A few price ranges on each limit side, compared as sets.
  for (std::size_t i = 0; i < 2; ++i) {
    for (int k = 0; k < 4; ++k) {
      const std::int64_t lo = 80 + static_cast<std::int64_t>(rng() % 50);
      const std::int64_t hi = lo + static_cast<std::int64_t>(rng() % 12) - 2;
      std::vector<Resting> got, want;
      book.for_each_priced(LANES[i], lo, hi, [&](const Resting& r) { got.push_back(r); });
      for (const Resting& r : ref.lanes[i]) {
        if (lo <= r.order.kind.price && r.order.kind.price <= hi) want.push_back(r);
      }
      const auto by_seq = [](const Resting& a, const Resting& b) {
        return a.entry_seq < b.entry_seq;
      };
      std::sort(got.begin(), got.end(), by_seq);
      std::sort(want.begin(), want.end(), by_seq);
      ASSERT_EQ(got, want) << "lane " << i << " from " << lo << " to " << hi;
    }
  }
}

// Inserts at clustered prices (many ties, and new best prices), removals and
// replacements of random live ids, unknown ids, and an occasional clear.
TEST(Book, AgreesWithAPlainSortedArrayBookOverARandomStream) {
  std::mt19937_64 rng(1234);
  Book book;
  ArrayBook ref;
  std::vector<OrderId> ids;
  std::size_t peak = 0;
  OrderId next_id = 1;
  for (int op = 0; op < 30'000; ++op) {
    const int what = static_cast<int>(rng() % 100);
    if (what < 50 || ids.empty()) {
      const OrderId id = next_id++;
      const Side side = rng() % 2 ? Side::Buy : Side::Sell;
      const std::int64_t price = 80 + static_cast<std::int64_t>(rng() % 50);
      const Working w = rng() % 8 == 0
                            ? market_order(id, side, 1 + rng() % 5, 0, 0, Offset::Open)
                            : limit_order(id, side, price, 1 + rng() % 5, 0, 0, Offset::Open);
      book.insert(w);
      ref.insert(w);
      ids.push_back(id);
    } else if (what < 80) {
      const std::size_t k = rng() % ids.size();
      const std::optional<Working> removed = book.remove(ids[k]);
      const Resting* expected = ref.find(ids[k]);
      ASSERT_TRUE(removed.has_value());
      ASSERT_EQ(*removed, expected->order);
      ref.remove(ids[k]);
      ids[k] = ids.back();
      ids.pop_back();
    } else if (what < 95) {
      const OrderId id = ids[rng() % ids.size()];
      Resting* stored = ref.find(id);
      Working advanced = stored->order;
      advanced.filled = std::min<QtyLots>(advanced.qty, advanced.filled + 1);
      advanced.status = OrderStatus::PartiallyFilled;
      book.replace(id, advanced);
      stored->order = advanced;
      ASSERT_EQ(book.find(id)->order, advanced);
    } else if (what < 99 || rng() % 20 != 0) {
      const OrderId unknown = next_id + 1'000;
      ASSERT_FALSE(book.remove(unknown).has_value());
      ASSERT_EQ(book.find(unknown), nullptr);
    } else {
      ASSERT_EQ(book.clear(), ids.size());
      for (auto& lane : ref.lanes) lane.clear();
      ids.clear();
    }
    ASSERT_EQ(book.next_seq, ref.next_seq);
    if (op % 97 == 0) expect_same(book, ref, rng);
    peak = std::max(peak, ids.size());
  }
  expect_same(book, ref, rng);
  EXPECT_GT(peak, 1'000u);
}

}  // namespace
}  // namespace halvorn::engine
