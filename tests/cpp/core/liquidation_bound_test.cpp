// The range a tick may skip the margin check in, against the full check.
//
// Seeded random accounts (net and hedge mode, one to three instruments, tier
// tables whose brackets the prices cross, with and without gaps where they
// meet, marks) are probed at every price near the ends of each range: a
// price the range admits that the full check liquidates would be a
// liquidation a tick late.  Then kernels walk ticks, fills, marks, funding
// and transfers over the same accounts, and every tick's verdict is compared
// with the full check made on a copy of the account: a liquidation a tick
// late or a tick early.

#include "core/liquidation_bound.hpp"

#include <gtest/gtest.h>

#include <random>

#include "core/kernel.hpp"

namespace halvorn::core {
namespace {

constexpr InstrumentId IDS[] = {InstrumentId{1}, InstrumentId{2}, InstrumentId{3}};
constexpr int ACCOUNTS = 3'000;
constexpr int WALKS = 300;
constexpr int STEPS = 400;

struct Rng {
  std::mt19937_64 gen;
  std::int64_t uniform(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen);
  }
};

// Brackets whose up_to values lie around the notional a position of the
// account will have, so that prices cross them; the amounts either keep
// maintenance continuous where brackets meet or are drawn at random.
margin::TierTable tiers(Rng& r, Cash notional) {
  if (r.uniform(0, 3) == 0) return margin::TierTable::example_btcusdt();
  margin::TierTable t;
  const bool continuous = r.uniform(0, 1) == 1;
  Cash up_to = notional / r.uniform(2, 8);
  std::int64_t rate = r.uniform(1'000'000, 20'000'000);
  Cash amount = 0;
  for (int i = 0; i < 4; ++i) {
    t.brackets.push_back({i == 3 ? I64_MAX : up_to, rate, amount});
    const std::int64_t next = rate + r.uniform(0, 40'000'000);
    amount = continuous ? amount + apply_rate(up_to, next - rate) : r.uniform(0, notional / 50);
    rate = next;
    up_to = up_to * 2 + r.uniform(0, notional);
  }
  return t;
}

// An account with positions near `price` and a balance that leaves the
// liquidation price within a few percent of it, or none at all.
State random_account(Rng& r) {
  const int holdings = static_cast<int>(r.uniform(1, 3));
  const std::int64_t sizes[] = {1, 10, 10'000};
  const std::int64_t cs = sizes[r.uniform(0, 2)];
  const std::int64_t price = r.uniform(1'000, 200'000);
  const Cash notional = price * cs * 20;
  State s = State::create(IDS[0], cs, tiers(r, notional), 0);
  for (int i = 1; i < holdings; ++i) {
    s.holdings.emplace_back(IDS[i], cs, tiers(r, notional), Tier::matcher(Tier{}, IDS[i]));
  }
  s.hedge = r.uniform(0, 1) == 1;
  s.external_fills = true;
  for (Holding& h : s.holdings) {
    h.last = price + r.uniform(-price / 10, price / 10);
    h.marked = r.uniform(0, 4) == 0;
  }
  for (int f = 0, fills = static_cast<int>(r.uniform(1, 4)); f < fills; ++f) {
    const Holding& h = s.holdings[r.uniform(0, holdings - 1)];
    const Side side = r.uniform(0, 1) ? Side::Buy : Side::Sell;
    const Offset offset = s.hedge && r.uniform(0, 2) == 0 ? Offset::Close : Offset::Open;
    s.apply_fill(Fill{0, 0, 1, 1, h.last + r.uniform(-price / 50, price / 50), r.uniform(1, 40),
                      h.instrument, side, offset, false});
  }
  s.credit(notional * r.uniform(1, 40) / 100);
  return s;
}

bool breached(const State& s, std::size_t index, std::int64_t price) {
  const Marked m = s.marked_at(index, price);
  return m.equity <= m.maintenance;
}

TEST(HealthyRange, AdmitsNoPriceTheFullCheckLiquidates) {
  Rng r{std::mt19937_64(20'261'210)};
  int ranged = 0;
  for (int a = 0; a < ACCOUNTS; ++a) {
    const State s = random_account(r);
    const std::size_t index = r.uniform(0, static_cast<std::int64_t>(s.holdings.size()) - 1);
    const std::int64_t price = s.holdings[index].last;
    if (breached(s, index, price)) continue;
    const PriceRange range = healthy_range(s, index, price);
    ASSERT_TRUE(range.contains(price));
    if (range.hi > range.lo) ++ranged;
    for (const std::int64_t end : {range.lo, range.hi}) {
      for (std::int64_t p = end - 3; p <= end + 3; ++p) {
        if (range.contains(p)) {
          ASSERT_FALSE(breached(s, index, p))
              << "account " << a << " at " << p << " in [" << range.lo << ", " << range.hi << "]";
        }
      }
    }
    for (int k = 0; k < 20; ++k) {
      const std::int64_t p = r.uniform(range.lo, range.hi);
      ASSERT_FALSE(breached(s, index, p)) << "account " << a << " at " << p;
    }
  }
  // A range that is only ever the price itself would skip nothing.
  EXPECT_GT(ranged, ACCOUNTS / 2);
}

TEST(HealthyRange, KernelLiquidatesOnTheTickTheFullCheckDoes) {
  Rng r{std::mt19937_64(7)};
  int liquidations = 0;
  for (int w = 0; w < WALKS; ++w) {
    Kernel k(random_account(r));
    const std::size_t n = k.state().holdings.size();
    std::int64_t step = 0;
    for (int i = 1; i <= STEPS; ++i) {
      const std::size_t index = r.uniform(0, static_cast<std::int64_t>(n) - 1);
      const Holding& h = k.state().holdings[index];
      const std::optional<InstrumentId> instrument =
          n == 1 ? std::nullopt : std::optional<InstrumentId>(h.instrument);
      const std::int64_t roll = r.uniform(0, 99);
      if (roll < 4) {
        const Side side = r.uniform(0, 1) ? Side::Buy : Side::Sell;
        k.apply(event::ExternalFill{
            Fill{i, i, static_cast<OrderId>(i), 1, h.last, r.uniform(1, 10), h.instrument, side,
                 k.state().hedge && r.uniform(0, 2) == 0 ? Offset::Close : Offset::Open, false},
            event::fee::Computed{}});
        continue;
      }
      if (roll < 6) {
        k.apply(event::Mark{i, std::max<std::int64_t>(1, h.last + r.uniform(-20, 20)), instrument});
        continue;
      }
      if (roll < 8) {
        k.apply(event::FundingPaid{i, r.uniform(-h.last * h.contract_size, 1'000), instrument});
        continue;
      }
      if (roll < 9) {
        k.apply(event::Transfer{r.uniform(1, h.last * h.contract_size * 5), i});
        continue;
      }
      // Mostly small moves, so that walks linger near the ends of the range.
      step = std::clamp<std::int64_t>(step + r.uniform(-3, 3), -40, 40);
      const std::int64_t last = std::max<std::int64_t>(1, h.last + step);
      // No order works here, so the tick changes nothing but its price.
      const std::vector<Holding>& all = k.state().holdings;
      const bool flat =
          std::all_of(all.begin(), all.end(), [](const Holding& x) { return x.is_flat(); });
      const bool expected = !flat && breached(k.state(), index, h.marked ? h.last : last);
      const auto outputs =
          k.apply(event::Tick{engine::Tick{i, i, last, 0, 0, 0, 0, 0}, instrument});
      const bool liquidated = std::any_of(outputs.begin(), outputs.end(), [](const Output& o) {
        return std::holds_alternative<output::Liquidated>(o);
      });
      ASSERT_EQ(liquidated, expected) << "walk " << w << " step " << i << " at " << last;
      liquidations += liquidated;
      if (liquidated) k.apply(event::Transfer{r.uniform(1, last * h.contract_size * 10), i});
    }
  }
  // Walks that never reach maintenance would test nothing.
  EXPECT_GT(liquidations, WALKS / 4);
}

}  // namespace
}  // namespace halvorn::core
