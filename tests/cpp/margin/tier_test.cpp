// Tier tables, maintenance margin and the judgement of one position:
// liquidation prices and the ticks on either side of them.

#include <gtest/gtest.h>

#include <cstdlib>

#include "margin/position.hpp"
#include "margin/tier.hpp"

namespace halvorn::margin {
namespace {

const TierTable TABLE = TierTable::example_btcusdt();

Cash maintenance_of_notional(Cash notional) { return TABLE.maintenance(Contract{1}, notional, 1); }

TEST(TierTable, ExampleMaintenanceAtAndAcrossBracketEdges) {
  EXPECT_EQ(maintenance_of_notional(5'000'000'000'000), 20'000'000'000);
  EXPECT_EQ(maintenance_of_notional(5'000'000'000'001), 20'000'000'000);
  EXPECT_EQ(TABLE.maintenance(Contract{10'000}, 100'000, 10'000), 45'000'000'000);
  EXPECT_EQ(TABLE.maintenance(Contract{10'000}, 600'000, 0), 0);
  EXPECT_EQ(TABLE.maintenance(Contract{10'000}, 600'000, -2),
            TABLE.maintenance(Contract{10'000}, 600'000, 2));
  // The amounts keep maintenance continuous: one Cash unit of notional past an
  // edge changes it by less than one unit.
  for (std::size_t i = 0; i + 1 < TABLE.brackets.size(); ++i) {
    const Cash edge = TABLE.brackets[i].up_to;
    SCOPED_TRACE(edge);
    EXPECT_LE(std::abs(maintenance_of_notional(edge + 1) - maintenance_of_notional(edge)), 1);
    EXPECT_EQ(&TABLE.bracket_of(edge), &TABLE.brackets[i]);
    EXPECT_EQ(&TABLE.bracket_of(edge + 1), &TABLE.brackets[i + 1]);
  }
  EXPECT_EQ(maintenance_of_notional(I64_MAX), apply_rate(I64_MAX, 50'000'000) - 26'755'000'000'000);
}

TEST(TierTable, NotionalAboveEveryBracketUsesTheLastAndEmptyTablesPanic) {
  TierTable small{{{100, 10'000'000, 0}, {1'000, 20'000'000, 1}}};
  EXPECT_EQ(small.bracket_of(5'000).rate, 20'000'000);
  // Maintenance never goes below zero.
  const TierTable flat_rate{{{I64_MAX, 0, 5}}};
  EXPECT_EQ(flat_rate.maintenance(Contract{1}, 10, 1), 0);
  try {
    TierTable{}.maintenance(Contract{1}, 1, 1);
    FAIL() << "an empty table was used";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "non-empty by construction");
  }
}

TEST(Contract, UnrealizedFromCostSignsByLeg) {
  const Contract c{10'000};
  EXPECT_EQ(c.unrealized_from_cost(2'000'000, 90, -2), 200'000);
  EXPECT_EQ(c.unrealized_from_cost(2'000'000, 90, 2), -200'000);
  EXPECT_EQ(c.unrealized_from_cost(123, 90, 0), 0);
  // Saturates instead of wrapping.
  EXPECT_EQ(c.unrealized_from_cost(WIDE_MIN, 1, -1), I64_MIN);
  EXPECT_EQ(c.notional(600'000, -2), 12'000'000'000);
}

MarginedPosition hundred_lots(QtyLots size, Basis basis = basis::Entry{}) {
  return MarginedPosition{basis, 10'000, 600'000, size, 100'000'000'000};
}

TEST(MarginedPosition, LongLiquidatesAt502008AndIsHealthyOneTickAbove) {
  for (Basis b : {Basis{basis::Entry{}}, Basis{basis::Cost{600'000'000'000}}}) {
    const MarginedPosition p = hundred_lots(100, b);
    EXPECT_EQ(p.liquidation_price_at(TABLE, 600'000), 502'008);
    auto at = std::get<assessment::Liquidatable>(p.assess(TABLE, 502'008));
    EXPECT_EQ(at.equity, 2'008'000'000);
    EXPECT_EQ(at.maintenance, 2'008'032'000);
    EXPECT_TRUE(p.is_liquidatable(TABLE, 502'008));
    auto above = std::get<assessment::Healthy>(p.assess(TABLE, 502'009));
    EXPECT_EQ(above.equity, 2'009'000'000);
    EXPECT_EQ(above.maintenance, 2'008'036'000);
    EXPECT_FALSE(p.is_liquidatable(TABLE, 502'009));
    EXPECT_EQ(std::get<assessment::Healthy>(p.assess(TABLE, 600'000)).distance, 97'992);
  }
}

TEST(MarginedPosition, ShortLiquidatesAt697212AndIsHealthyOneTickBelow) {
  const MarginedPosition p = hundred_lots(-100);
  EXPECT_EQ(p.liquidation_price_at(TABLE, 600'000), 697'212);
  auto at = std::get<assessment::Liquidatable>(p.assess(TABLE, 697'212));
  EXPECT_EQ(at.equity, 2'788'000'000);
  EXPECT_EQ(at.maintenance, 2'788'848'000);
  auto below = std::get<assessment::Healthy>(p.assess(TABLE, 697'211));
  EXPECT_EQ(below.equity, 2'789'000'000);
  EXPECT_EQ(below.maintenance, 2'788'844'000);
  EXPECT_EQ(below.distance, 1);
}

// One lot at 600_000 with a contract size of 10_000 needs 0.4 % of
// 6_000_000_000, that is 24_000_000; backed by exactly that much, it stands
// at maintenance at its entry price.
TEST(MarginedPosition, EquityExactlyAtMaintenanceLiquidates) {
  for (QtyLots size : {1, -1}) {
    for (Basis b : {Basis{basis::Entry{}}, Basis{basis::Cost{6'000'000'000}}}) {
      SCOPED_TRACE(size);
      const MarginedPosition p{b, 10'000, 600'000, size, 24'000'000};
      auto at = std::get<assessment::Liquidatable>(p.assess(TABLE, 600'000));
      EXPECT_EQ(at.equity, 24'000'000);
      EXPECT_EQ(at.maintenance, 24'000'000);
      EXPECT_TRUE(p.is_liquidatable(TABLE, 600'000));
      // One tick in the position's favour is enough.
      const std::int64_t better = 600'000 + size;
      EXPECT_TRUE(std::holds_alternative<assessment::Healthy>(p.assess(TABLE, better)));
      EXPECT_FALSE(p.is_liquidatable(TABLE, better));
    }
  }
}

TEST(MarginedPosition, PositionsWithoutALiquidationPrice) {
  EXPECT_TRUE(std::holds_alternative<assessment::Flat>(hundred_lots(0).assess(TABLE, 1)));
  EXPECT_EQ(hundred_lots(0).liquidation_price_at(TABLE, 1), std::nullopt);
  EXPECT_FALSE(hundred_lots(0).is_liquidatable(TABLE, 1));

  // Collateral covering the whole cost: no positive liquidation price.
  MarginedPosition covered{basis::Entry{}, 10'000, 600'000, 1, 6'000'000'000};
  EXPECT_EQ(covered.liquidation_price_at(TABLE, 600'000), std::nullopt);
  auto healthy = std::get<assessment::Healthy>(covered.assess(TABLE, 600'000));
  EXPECT_EQ(healthy.distance, std::nullopt);

  // A short backed by saturated collateral would liquidate beyond the 64-bit
  // price range: treated as having no liquidation price, without failing.
  MarginedPosition unbounded{basis::Entry{}, 1, I64_MAX / 2, -1, I64_MAX};
  EXPECT_EQ(unbounded.liquidation_price_at(TABLE, I64_MAX / 2), std::nullopt);
  EXPECT_EQ(std::get<assessment::Healthy>(unbounded.assess(TABLE, I64_MAX / 2)).distance,
            std::nullopt);
}

TEST(TierTable, MaintenanceThatFallsAsAPositionGrowsIsFoundAtItsBracket) {
  EXPECT_EQ(TierTable::example_btcusdt().first_falling_bracket(), std::nullopt);
  // Continuous at the edge (amount = rate increase x up_to) does not fall.
  EXPECT_EQ((TierTable{{{1'000'000'000, 4'000'000, 0}, {I64_MAX, 5'000'000, 1'000'000}}})
                .first_falling_bracket(),
            std::nullopt);
  // One cash unit more of amount, and just above the edge asks less.
  EXPECT_EQ((TierTable{{{1'000'000'000, 4'000'000, 0}, {I64_MAX, 5'000'000, 1'000'001}}})
                .first_falling_bracket(),
            1u);
  EXPECT_EQ((TierTable{{{100, 10'000'000, 0}, {200, 20'000'000, 0}, {I64_MAX, 5'000'000, 0}}})
                .first_falling_bracket(),
            2u);
  EXPECT_EQ((TierTable{{{I64_MAX, -1, 0}}}).first_falling_bracket(), 0u);
}

TEST(MarginedPosition, EntryBasisProductOverflowIsAnInvariantFailure) {
  MarginedPosition huge{basis::Entry{}, I64_MAX, 0, I64_MAX, 0};
  EXPECT_THROW(huge.unrealized(I64_MAX), Panic);
  // The exact basis saturates instead.
  MarginedPosition exact{basis::Cost{0}, I64_MAX, 0, I64_MAX, 0};
  EXPECT_EQ(exact.unrealized(I64_MAX), I64_MAX);
}

}  // namespace
}  // namespace halvorn::margin
