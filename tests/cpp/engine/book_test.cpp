// The resting-order book: price-time priority, entry numbers, removal and
// in-place replacement.

#include "engine/book.hpp"

#include <gtest/gtest.h>

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
  EXPECT_EQ(ids(book.buy_limits), (std::vector<OrderId>{2, 1, 3}));
  EXPECT_EQ(ids(book.sell_limits), (std::vector<OrderId>{5, 4, 6}));
}

TEST(Book, EveryInsertTakesTheNextEntryNumberWhicheverArrayItLandsIn) {
  Book book;
  book.insert(market_order(1, Side::Buy, 1, 0, 0, Offset::Open));
  book.insert(sell(2, 50));
  book.insert(buy(3, 40));
  EXPECT_EQ(book.buy_markets[0].entry_seq, 0u);
  EXPECT_EQ(book.sell_limits[0].entry_seq, 1u);
  EXPECT_EQ(book.buy_limits[0].entry_seq, 2u);
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
  EXPECT_EQ(ids(book.buy_limits), (std::vector<OrderId>{1, 3}));

  Book before = book;
  EXPECT_FALSE(book.remove(9));
  book.replace(9, std::nullopt);
  book.replace(9, buy(9, 100));
  EXPECT_EQ(book.buy_limits, before.buy_limits);
  EXPECT_EQ(book.next_seq, before.next_seq);
}

TEST(Book, ReplaceOverwritesInPlaceAndLaterInsertsStillQueueBehind) {
  Book book;
  book.insert(buy(1, 100));
  book.insert(buy(2, 100));
  Working advanced = book.buy_limits[0].order;
  advanced.filled = 1;
  advanced.status = OrderStatus::PartiallyFilled;
  book.replace(1, advanced);
  EXPECT_EQ(book.buy_limits[0].order, advanced);
  EXPECT_EQ(book.buy_limits[0].entry_seq, 0u);
  book.insert(buy(3, 100));
  EXPECT_EQ(ids(book.buy_limits), (std::vector<OrderId>{1, 2, 3}));

  book.replace(1, std::nullopt);
  EXPECT_EQ(ids(book.buy_limits), (std::vector<OrderId>{2, 3}));
}

}  // namespace
}  // namespace halvorn::engine
