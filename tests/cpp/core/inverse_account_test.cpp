// The money of an inverse holding: fills valued in the coin and rounded by
// their side, a cost basis that loses nothing across additions and partial
// closes, funding and fees on the coin value, and the liquidation price
// against the full test at every price around it.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "core/account.hpp"
#include "core/liquidation_bound.hpp"
#include "margin/funding.hpp"
#include "margin/position.hpp"

namespace halvorn::core {
namespace {

constexpr InstrumentId ID{1};
// A contract of 100 USD, lots of one contract, a tick of 0.1 USD: one lot at
// p ticks is worth 100 / (p / 10) coin, 10^11 / p Cash.
constexpr margin::InverseValue HUNDRED_USD{100'000'000'000, 1};

State inverse_account(margin::InverseValue inverse, Cash balance, bool hedge = false) {
  State s = State::create(ID, 0, margin::TierTable::example_btcusdt(), balance);
  s.holdings.front().inverse = inverse;
  s.hedge = hedge;
  return s;
}

Fill fill(Side side, QtyLots qty, std::int64_t price, Offset offset = Offset::Open) {
  return Fill{0, 0, 0, 0, price, qty, ID, side, offset, false};
}

// floor or ceil of lots x numerator / (price x denominator), from the
// definition rather than from Contract::value.
Wide coin(const margin::InverseValue& v, QtyLots lots, std::int64_t price, bool up) {
  const Wide n = static_cast<Wide>(lots) * v.numerator;
  const Wide d = static_cast<Wide>(price) * v.denominator;
  return n / d + (up && n % d != 0 ? 1 : 0);
}

TEST(InverseAccount, LongOfAThousandContractsFrom50000To55000) {
  State s = inverse_account(HUNDRED_USD, 100'000'000);
  s.apply_fill(fill(Side::Buy, 1'000, 500'000));
  const Holding& h = s.holdings.front();
  EXPECT_EQ(h.cost(Leg::Long), 200'000'000);  // 2 BTC, exactly
  EXPECT_EQ(h.long_entry, 500'000);
  // 100,000 USD at 55,000 is 1.81818181818... BTC: the sale is booked at
  // 181,818,182 units, rounded up, so the profit is the exact
  // 0.181818181818... BTC rounded down.
  EXPECT_EQ(h.unrealized(Leg::Long, 550'000), 18'181'818);
  s.apply_fill(fill(Side::Sell, 1'000, 550'000));
  EXPECT_EQ(s.realized, 18'181'818);
  EXPECT_EQ(s.balance(), 118'181'818);
  EXPECT_TRUE(h.is_flat());
}

TEST(InverseAccount, ShortGainsAsThePriceFallsAndRoundsAgainstItself) {
  State s = inverse_account(HUNDRED_USD, 100'000'000);
  s.apply_fill(fill(Side::Sell, 3, 300'007));  // sold: rounded up
  const Holding& h = s.holdings.front();
  EXPECT_EQ(h.cost(Leg::Long), coin(HUNDRED_USD, 3, 300'007, true));
  s.apply_fill(fill(Side::Buy, 3, 290'003));  // bought back: rounded down
  EXPECT_EQ(s.realized, coin(HUNDRED_USD, 3, 290'003, false) - coin(HUNDRED_USD, 3, 300'007, true));
  EXPECT_GT(s.realized, 0);
}

TEST(InverseAccount, FeesAreOnTheBookedCoinValue) {
  // A taker fee of 0.05 % on a sale of 7 contracts at 43,210.7 USD.
  const Holding h = [] {
    Holding x(ID, 0, margin::TierTable::example_btcusdt(), Tier::matcher(Tier{}, ID));
    x.inverse = HUNDRED_USD;
    x.fee_rates = {-100'000, 500'000};
    return x;
  }();
  Fill f = fill(Side::Sell, 7, 432'107);
  f.taker = true;
  const Wide value = coin(HUNDRED_USD, 7, 432'107, true);
  EXPECT_EQ(h.fee_of(f), static_cast<Cash>(value * 500'000 / RATE_SCALE));
  f.taker = false;
  EXPECT_EQ(h.fee_of(f), -static_cast<Cash>(value * 100'000 / RATE_SCALE));
}

TEST(InverseAccount, FundingIsTheCoinValueAtThePriceTimesTheRateTruncatedOnce) {
  const margin::Contract contract{0, HUNDRED_USD};
  const margin::FundingRate rate{0, 100'000, 432'107};  // 0.01 %
  // 1000 x 10^11 x 10^5 / (432,107 x 10^9), truncated: 23,142.
  EXPECT_EQ(rate.settle(contract, 1'000).amount, -23'142);
  EXPECT_EQ(rate.settle(contract, -1'000).amount, 23'142);
  const margin::FundingRate negative{0, -100'000, 432'107};
  EXPECT_EQ(negative.settle(contract, 1'000).amount, 23'142);
  EXPECT_EQ(rate.settle(contract, 0).amount, 0);
}

// From flat back to flat through random additions, partial closes and
// reversals, the realised profits add up to what the buys were worth less
// what the sells were worth, each rounded once by its side, never more than
// the exact profit in rationals; in hedge mode per leg likewise.
TEST(InverseAccount, RealisedProfitsAddUpExactlyOverAPositionsLife) {
  std::mt19937_64 gen(38);
  auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen);
  };
  const margin::InverseValue values[] = {HUNDRED_USD, {100'000'000, 1}, {20'000'000'000, 3}};
  for (int trial = 0; trial < 2'000; ++trial) {
    const margin::InverseValue v = values[trial % 3];
    const bool hedge = trial % 2 == 1;
    State s = inverse_account(v, 1'000'000'000'000, hedge);
    Wide bought = 0, sold = 0;
    // The exact profit, as a fraction over the common denominator of
    // every price's value: kept as sum of n_i / d_i compared pairwise below.
    long double exact = 0;
    for (int k = 0, fills = static_cast<int>(uniform(1, 12)); k < fills; ++k) {
      const Side side = uniform(0, 1) ? Side::Buy : Side::Sell;
      const QtyLots qty = uniform(1, 500);
      const std::int64_t price = uniform(1'000, 900'000);
      const Offset offset = hedge && uniform(0, 2) == 0 ? Offset::Close : Offset::Open;
      const Holding& h = s.holdings.front();
      const QtyLots before_long = h.long_size, before_short = h.short_size;
      s.apply_fill(fill(side, qty, price, offset));
      // The parts the fill booked: in hedge mode the lots it moved on one
      // leg (a close beyond its leg books only the leg); in net mode the
      // lots it closed and those it opened the other way, each its own part.
      std::vector<QtyLots> parts;
      if (hedge) {
        const QtyLots moved = (h.long_size - before_long) + (before_short - h.short_size);
        parts.push_back(moved < 0 ? -moved : moved);
      } else {
        const bool against = before_long != 0 && (before_long > 0) != (side == Side::Buy);
        const QtyLots closed =
            against ? std::min<QtyLots>(qty, before_long > 0 ? before_long : -before_long) : 0;
        parts = {closed, qty - closed};
      }
      for (const QtyLots lots : parts) {
        if (lots == 0) continue;
        (side == Side::Buy ? bought : sold) += coin(v, lots, price, side == Side::Sell);
        exact += (side == Side::Buy ? 1.0L : -1.0L) * lots * v.numerator / (price * v.denominator);
      }
    }
    // Close what is left at one last price.
    Holding& h = s.holdings.front();
    const std::int64_t last = uniform(1'000, 900'000);
    for (const auto& [leg, side] : {std::pair{Leg::Long, Side::Sell}, {Leg::Short, Side::Buy}}) {
      const QtyLots size = h.size(leg);
      if (size == 0) continue;
      const Side closing = size > 0 ? Side::Sell : Side::Buy;
      const QtyLots lots = size > 0 ? size : -size;
      s.apply_fill(fill(hedge ? side : closing, lots, last, Offset::Close));
      (closing == Side::Buy ? bought : sold) += coin(v, lots, last, closing == Side::Sell);
      exact += (closing == Side::Buy ? 1.0L : -1.0L) * lots * v.numerator / (last * v.denominator);
    }
    ASSERT_TRUE(h.is_flat()) << trial;
    ASSERT_EQ(static_cast<Wide>(s.realized), bought - sold) << trial;
    ASSERT_LE(static_cast<long double>(s.realized), exact + 1e-6L) << trial;
  }
}

// The liquidation price of random inverse positions: the full test
// liquidates there and at every price beyond it, and at no price between it
// and where the position stands.
TEST(InverseAccount, LiquidationPriceAgreesWithTheFullTestAroundIt) {
  std::mt19937_64 gen(3838);
  auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen);
  };
  int found = 0;
  for (int trial = 0; trial < 3'000; ++trial) {
    // The price is found under the bracket the position is in where it
    // stands, as for a linear contract: with one bracket the full test must
    // agree on both sides of it; with several, it may liquidate sooner.
    const bool one_bracket = trial % 3 != 0;
    const margin::TierTable tiers =
        one_bracket ? margin::TierTable{{{I64_MAX, uniform(0, 200'000'000), uniform(0, 10'000)}}}
                    : margin::TierTable::example_btcusdt();
    const margin::InverseValue v = trial % 2 ? HUNDRED_USD : margin::InverseValue{7'000'000, 3};
    const std::int64_t price = uniform(10'000, 900'000);
    const QtyLots size = uniform(1, 5'000) * (uniform(0, 1) ? 1 : -1);
    const Wide cost =
        coin(v, size > 0 ? size : -size, price + uniform(-price / 20, price / 20), size < 0);
    const Cash collateral = static_cast<Cash>(cost * uniform(2, 150) / 100);
    const margin::MarginedPosition p{margin::basis::Cost{cost}, 0, 0, size, collateral, v};
    if (p.is_liquidatable(tiers, price)) continue;
    const std::optional<std::int64_t> at = p.liquidation_price_at(tiers, price);
    if (!at) {
      // None: a long never has one while it is healthy at price; a short
      // whose coin covers it stays healthy however high the price goes.
      ASSERT_LT(size, 0) << trial;
      ASSERT_FALSE(p.is_liquidatable(tiers, I64_MAX / 2)) << trial;
      continue;
    }
    ++found;
    const std::int64_t step = size > 0 ? -1 : 1;
    ASSERT_TRUE(p.is_liquidatable(tiers, *at)) << trial;
    for (std::int64_t d = 1; d <= 64; ++d) {
      const std::int64_t beyond = *at + step * d;
      const std::int64_t before = *at - step * d;
      if (beyond >= 1) ASSERT_TRUE(p.is_liquidatable(tiers, beyond)) << trial << " " << d;
      const bool between = size > 0 ? before <= price : before >= price;
      if (one_bracket && between) {
        ASSERT_FALSE(p.is_liquidatable(tiers, before)) << trial << " " << d;
      }
    }
  }
  EXPECT_GT(found, 1'000);
}

// The prices a tick may skip the margin check in: for an inverse holding
// with one leg, every price the range admits (around both ends, and across
// it) passes the full test; one with two legs gets no range but its price.
TEST(InverseAccount, HealthyRangeHoldsOnlyHealthyPrices) {
  std::mt19937_64 gen(383838);
  auto uniform = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen);
  };
  int ranged_long = 0, ranged_short = 0;
  for (int trial = 0; trial < 2'000; ++trial) {
    const bool hedge = trial % 4 == 3;
    const margin::InverseValue v = trial % 2 ? HUNDRED_USD : margin::InverseValue{7'000'000, 3};
    State s = inverse_account(v, 0, hedge);
    if (trial % 3 == 0) {
      s.holdings.front().tiers =
          margin::TierTable{{{uniform(10'000, 100'000'000), uniform(0, 50'000'000), 0},
                             {I64_MAX, 60'000'000, uniform(0, 1'000'000)}}};
    }
    const std::int64_t price = uniform(10'000, 900'000);
    const QtyLots qty = uniform(1, 5'000);
    const bool buy = uniform(0, 2) != 0;
    s.apply_fill(fill(buy ? Side::Buy : Side::Sell, qty, price + uniform(-price / 20, price / 20)));
    if (hedge && trial % 8 == 3) s.apply_fill(fill(Side::Sell, uniform(1, 50), price));
    s.credit(static_cast<Cash>(coin(v, qty, price, false) * uniform(2, 150) / 100));
    s.holdings.front().last = price;
    const Marked at = s.marked_at(0, price);
    if (at.equity <= at.maintenance) continue;
    const PriceRange range = healthy_range(s, 0, price);
    ASSERT_TRUE(range.contains(price)) << trial;
    const Holding& h = s.holdings.front();
    if (h.long_size != 0 && h.short_size != 0) {
      ASSERT_EQ(range.lo, price) << trial;
      ASSERT_EQ(range.hi, price) << trial;
      continue;
    }
    const bool is_long = h.long_size > 0;
    (is_long ? ranged_long : ranged_short) += range.lo < price || range.hi > price;
    auto healthy = [&](std::int64_t p) {
      const Marked m = s.marked_at(0, p);
      return m.equity > m.maintenance;
    };
    const std::int64_t top = std::min(range.hi, price * 8);
    for (std::int64_t d = 0; d < 64; ++d) {
      ASSERT_TRUE(healthy(std::min(range.lo + d, top))) << trial << " " << d;
      ASSERT_TRUE(healthy(std::max(top - d, range.lo))) << trial << " " << d;
      ASSERT_TRUE(healthy(uniform(range.lo, top))) << trial;
    }
  }
  EXPECT_GT(ranged_long, 500);
  EXPECT_GT(ranged_short, 100);
}

}  // namespace
}  // namespace halvorn::core
