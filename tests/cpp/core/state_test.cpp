// Fill accounting: exact cost basis, truncating closes, net and hedge
// booking, fees and equity.

#include "core/account.hpp"

#include <gtest/gtest.h>

#include "core/cost.hpp"

namespace halvorn::core {
namespace {

constexpr InstrumentId ONE{1};

State account(std::int64_t contract_size, bool hedge = false) {
  State s = State::create(ONE, contract_size, margin::TierTable::example_btcusdt(), 0);
  s.hedge = hedge;
  return s;
}

Fill fill(Side side, QtyLots qty, std::int64_t price, Offset offset = Offset::Open,
          bool taker = false) {
  return Fill{0, 0, 1, 1, price, qty, ONE, side, offset, taker};
}

const Holding& holding(const State& s) { return s.holdings.front(); }

TEST(CostClose, SplitsTheBasisExactlyAndTruncatesTowardZero) {
  // 41 over 4 lots, one closed at 11: 10.25 is inexact, the profit 0.75
  // truncates to 0 and the fraction stays in the remaining 30.
  cost::Closed first = cost::close(41, 4, 1, 11);
  EXPECT_EQ(first.profit, 0);
  EXPECT_EQ(first.remaining, 30);
  cost::Closed rest = cost::close(first.remaining, 3, 3, 33);
  EXPECT_EQ(rest.profit, 3);
  EXPECT_EQ(rest.remaining, 0);

  // A short: basis 10 for 3 lots, one bought back at 4 loses 0.67, which
  // truncates to 0; the rest at 4 each loses 2, and 0 - 2 = 10 - 12.
  cost::Closed short_first = cost::close(10, -3, 1, 4);
  EXPECT_EQ(short_first.profit, 0);
  EXPECT_EQ(short_first.remaining, 6);
  EXPECT_EQ(cost::close(6, -2, 2, 8).profit, -2);

  // A loss on a long truncates toward zero too: 10.25 closed at 9.
  EXPECT_EQ(cost::close(41, 4, 1, 9).profit, -1);
  // Shares too large for 64 bits do not overflow on the way.
  EXPECT_EQ(cost::close(WIDE_MAX - 1, I64_MAX, I64_MAX, WIDE_MAX).profit, 1);
  EXPECT_THROW(cost::close(1, 0, 0, 0), Panic);
}

TEST(ApplyFill, AddingKeepsTheExactBasisAndClosingRealisesAgainstIt) {
  State s = account(10'000);
  s.apply_fill(fill(Side::Buy, 3, 100));
  s.apply_fill(fill(Side::Buy, 1, 101));
  EXPECT_EQ(holding(s).long_size, 4);
  EXPECT_EQ(holding(s).long_entry, 100);
  EXPECT_EQ(holding(s).cost(Leg::Long), 4'010'000);

  State closed = account(10'000);
  closed.apply_fill(fill(Side::Buy, 3, 100));
  closed.apply_fill(fill(Side::Buy, 1, 101));
  closed.apply_fill(fill(Side::Sell, 4, 102));
  EXPECT_EQ(closed.realized, 70'000);
  EXPECT_EQ(closed.balance(), 70'000);
  EXPECT_EQ(holding(closed).long_size, 0);
  EXPECT_EQ(holding(closed).long_entry, 0);

  s.apply_fill(fill(Side::Sell, 1, 100));
  EXPECT_EQ(s.realized, -2'500);
  EXPECT_EQ(holding(s).cost(Leg::Long), 3'007'500);
  EXPECT_EQ(holding(s).long_entry, 100);
  s.apply_fill(fill(Side::Sell, 3, 100));
  EXPECT_EQ(s.realized, -10'000);
}

TEST(ApplyFill, NetModeFlipsThroughFlatInOneFill) {
  State s = account(10'000);
  s.apply_fill(fill(Side::Sell, 2, 100));
  EXPECT_EQ(holding(s).long_size, -2);
  EXPECT_EQ(holding(s).short_size, 0);
  s.apply_fill(fill(Side::Buy, 5, 90, Offset::Close));
  EXPECT_EQ(s.realized, 200'000);
  EXPECT_EQ(holding(s).long_size, 3);
  EXPECT_EQ(holding(s).long_entry, 90);
  EXPECT_EQ(holding(s).cost(Leg::Long), 2'700'000);
}

TEST(ApplyFill, HedgeModeKeepsLegsApartAndCloseOnlyReducesTheOppositeLeg) {
  State s = account(10'000, true);
  s.apply_fill(fill(Side::Buy, 2, 100));
  s.apply_fill(fill(Side::Sell, 1, 105));
  EXPECT_EQ(holding(s).long_size, 2);
  EXPECT_EQ(holding(s).short_size, -1);
  EXPECT_EQ(holding(s).short_entry, 105);
  s.apply_fill(fill(Side::Buy, 5, 95, Offset::Close));
  EXPECT_EQ(s.realized, 100'000);
  EXPECT_EQ(holding(s).short_size, 0);
  EXPECT_EQ(holding(s).short_entry, 0);
  EXPECT_EQ(holding(s).long_size, 2);
  // A close against a flat leg and an open of nothing book nothing.
  s.apply_fill(fill(Side::Buy, 1, 95, Offset::Close));
  s.apply_fill(fill(Side::Sell, 0, 95));
  EXPECT_EQ(s.realized, 100'000);
  EXPECT_EQ(holding(s).short_size, 0);
}

TEST(ApplyFill, ZeroContractSizeValuesEverythingAtZero) {
  State s = account(0);
  s.holdings.front().fee_rates = {1'000'000, 1'000'000};
  s.apply_fill(fill(Side::Buy, 2, 100));
  s.apply_fill(fill(Side::Buy, 1, 107));
  EXPECT_EQ(holding(s).long_entry, 107);
  s.apply_fill(fill(Side::Sell, 3, 200));
  EXPECT_EQ(s.realized, 0);
  EXPECT_EQ(holding(s).fee_of(fill(Side::Sell, 3, 200)), 0);
}

TEST(ApplyFill, AFillForAnotherInstrumentIsAnInvariantFailure) {
  State s = account(1);
  Fill stray = fill(Side::Buy, 1, 1);
  stray.instrument = InstrumentId{2};
  try {
    s.apply_fill(stray);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "a fill for an instrument this account does not hold");
  }
}

TEST(Fees, RateByLiquidityTruncatedAndRebatesCredit) {
  State s = account(10'000);
  s.holdings.front().fee_rates = {-100'000, 500'000};
  EXPECT_EQ(holding(s).fee_of(fill(Side::Buy, 2, 600'000, Offset::Open, true)), 6'000'000);
  EXPECT_EQ(holding(s).fee_of(fill(Side::Sell, 2, 600'000)), -1'200'000);
  EXPECT_EQ(fill_fee(fill(Side::Sell, 1, 1), 1, holding(s).fee_rates), 0);
  s.charge_fee(-1'200'000);
  EXPECT_EQ(s.fees, -1'200'000);
  EXPECT_EQ(s.balance(), 1'200'000);
}

TEST(Equity, MarksEveryLegAtItsHoldingsLastPrice) {
  State s = account(10'000, true);
  s.credit(1'000'000);
  EXPECT_EQ(s.equity(), 1'000'000);
  s.apply_fill(fill(Side::Buy, 2, 100));
  s.apply_fill(fill(Side::Sell, 1, 105));
  s.holdings.front().last = 110;
  // long +2 x 10 x 10_000, short -1 x 5 x 10_000
  EXPECT_EQ(s.equity(), 1'000'000 + 200'000 - 50'000);
  const margin::TierTable table = margin::TierTable::example_btcusdt();
  EXPECT_EQ(s.maintenance(), table.maintenance(margin::Contract{10'000}, 110, 2) +
                                 table.maintenance(margin::Contract{10'000}, 110, -1));
}

TEST(CostBasis, RecomputedFromTheEntryWhenTheKeyNoLongerMatches) {
  State s = account(10'000);
  s.apply_fill(fill(Side::Buy, 3, 100));
  s.apply_fill(fill(Side::Buy, 1, 101));
  Holding& h = s.holdings.front();
  h.long_size = 2;
  EXPECT_EQ(h.cost(Leg::Long), 2'000'000);
  h.flatten();
  EXPECT_EQ(h.cost(Leg::Long), 0);
  EXPECT_EQ(h.long_cost, CostBasis{});
}

}  // namespace
}  // namespace halvorn::core
