// Orders, fills, currencies and balances.

#include <gtest/gtest.h>

#include <variant>

#include "engine/l0.hpp"
#include "types/currency.hpp"
#include "types/order.hpp"

namespace halvorn {
namespace {

Working order_of(QtyLots qty) { return engine::limit_order(7, Side::Buy, 100, qty, 1, 2, Offset::Open); }

TEST(WorkingFill, ExactRemainderCompletesAndOneMoreOverfills) {
  auto done = Working::fill(order_of(5), 5);
  ASSERT_TRUE(std::holds_alternative<FillComplete>(done));
  EXPECT_EQ(std::get<FillComplete>(done).order.filled, 5);

  auto over = Working::fill(order_of(5), 6);
  ASSERT_TRUE(std::holds_alternative<FillOverfill>(over));
  EXPECT_EQ(std::get<FillOverfill>(over).remaining, 5);
  EXPECT_EQ(std::get<FillOverfill>(over).requested, 6);

  EXPECT_TRUE(std::holds_alternative<FillNonPositive>(Working::fill(order_of(5), 0)));
  EXPECT_TRUE(std::holds_alternative<FillNonPositive>(Working::fill(order_of(5), -1)));
}

TEST(WorkingFill, PartialThenRestCompletesAndCarriesEveryOtherField) {
  Working w = order_of(5);
  auto first = Working::fill(w, 2);
  ASSERT_TRUE(std::holds_alternative<FillPartial>(first));
  Working partial = std::get<FillPartial>(first).order;
  EXPECT_EQ(partial.filled, 2);
  EXPECT_EQ(partial.remaining(), 3);
  // The matchers, not fill, advance the status.
  EXPECT_EQ(partial.status, OrderStatus::New);
  auto rest = Working::fill(partial, 3);
  ASSERT_TRUE(std::holds_alternative<FillComplete>(rest));
  Working done = std::get<FillComplete>(rest).order;
  EXPECT_EQ(done.filled, done.qty);
  done.filled = w.filled;
  EXPECT_EQ(done, w);
  // A rejected fill leaves the order's remaining count in the outcome.
  auto over = Working::fill(partial, 4);
  EXPECT_EQ(std::get<FillOverfill>(over).remaining, 3);
}

TEST(OrderConstructors, StartNewAndRefuseNonPositiveQuantities) {
  Working m = engine::market_order(3, Side::Sell, 4, 10, 11, Offset::Close);
  EXPECT_TRUE(m.kind.is_market());
  EXPECT_EQ(m.status, OrderStatus::New);
  EXPECT_EQ(m.filled, 0);
  EXPECT_EQ(m.exch_ts, 10);
  EXPECT_EQ(m.local_ts, 11);
  Working l = engine::limit_order(3, Side::Buy, -5, 1, 0, 0, Offset::Open);
  EXPECT_EQ(l.kind, OrderKind::limit(-5));
  for (QtyLots bad : {QtyLots{0}, QtyLots{-1}, I64_MIN}) {
    try {
      engine::limit_order(1, Side::Buy, 100, bad, 0, 0, Offset::Open);
      FAIL() << "quantity " << bad << " accepted";
    } catch (const Panic& p) {
      EXPECT_STREQ(p.what(), "order quantity must be positive");
    }
    EXPECT_THROW(engine::market_order(1, Side::Buy, bad, 0, 0, Offset::Open), Panic);
  }
}

TEST(SignedQuantity, FollowsTheSideAndPanicsOnOverflow) {
  EXPECT_EQ(signed_qty(Side::Buy, 3), 3);
  EXPECT_EQ(signed_qty(Side::Sell, 3), -3);
  EXPECT_EQ(signed_qty(Side::Sell, I64_MAX), -I64_MAX);
  EXPECT_THROW(signed_qty(Side::Sell, I64_MIN), Panic);
}

TEST(CurrencyOrder, ShorterCodesSortFirst) {
  EXPECT_LT(Currency::of("USD"), Currency::of("USDC"));
  EXPECT_LT(Currency::of("USDC"), Currency::of("USDT"));
  EXPECT_LT(Currency::of("BTC"), USDT);
  EXPECT_EQ(USDT.code(), "USDT");
  EXPECT_EQ(USDT.bytes[4], 0);
}

TEST(Instrument, DebugForm) { EXPECT_EQ(to_string(InstrumentId{1}), "InstrumentId(1)"); }

TEST(BalancesTest, HoldOneSortedEntryPerCurrencyAndSaturate) {
  Balances b = Balances::of(USDT, 5);
  EXPECT_EQ(b.get(USDT), 5);
  EXPECT_EQ(b.get(Currency::of("USDC")), 0);
  b.add(Currency::of("BTC"), 0);  // a new currency gets an entry even for zero
  b.add(Currency::of("USDC"), -2);
  ASSERT_EQ(b.entries.size(), 3u);
  EXPECT_EQ(b.entries[0].first, Currency::of("BTC"));
  EXPECT_EQ(b.entries[1].first, Currency::of("USDC"));
  EXPECT_EQ(b.entries[2].first, USDT);
  b.add(USDT, I64_MAX);
  EXPECT_EQ(b.get(USDT), I64_MAX);
  b.add(USDT, 1);
  EXPECT_EQ(b.get(USDT), I64_MAX);
  b.add(USDT, -I64_MAX);
  EXPECT_EQ(b.get(USDT), 0);
}

}  // namespace
}  // namespace halvorn
