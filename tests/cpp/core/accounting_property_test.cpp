// Randomised fill sequences in net and hedge mode, checked against a plain
// cash-flow model after every fill: over every life of a leg, from flat back
// to flat, the realised profits add up exactly to the exit value minus the
// cost (the negation for a short), and balance, realised profit, fees and
// equity agree with one another throughout.

#include <gtest/gtest.h>

#include <random>

#include "core/kernel.hpp"

namespace halvorn::core {
namespace {

constexpr InstrumentId ONE{1};
constexpr Cash START = 1'000'000'000'000;
constexpr int SEQUENCES = 2'000;
constexpr int FILLS = 60;

// One leg as the model sees it: its size, and what its current life has paid,
// received and realised.
struct LegModel {
  QtyLots size = 0;
  Wide cost = 0;
  Wide exit = 0;
  Wide realized = 0;
};

struct Checker {
  std::int64_t contract_size;
  LegModel legs[2];  // [0] long (the net position in net mode), [1] short
  Wide cash_flow = 0;
  Wide fees = 0;
  int lives = 0;

  Wide value(QtyLots lots, std::int64_t price) const {
    return static_cast<Wide>(lots) * price * contract_size;
  }

  // Adds lots in direction d at price; a flat leg starts a new life.
  void open(LegModel& leg, int d, QtyLots lots, std::int64_t price) {
    leg.size += d * lots;
    leg.cost += value(lots, price);
    cash_flow -= d * value(lots, price);
  }

  // Closes up to lots of the leg and returns how many closed.
  QtyLots close(LegModel& leg, QtyLots lots, std::int64_t price, Wide realized) {
    if (leg.size == 0) return 0;
    const int d = leg.size > 0 ? 1 : -1;
    const QtyLots c = std::min<QtyLots>(lots, d * leg.size);
    leg.size -= d * c;
    leg.exit += value(c, price);
    leg.realized += realized;
    cash_flow += d * value(c, price);
    if (leg.size == 0) {
      EXPECT_EQ(leg.realized, d * (leg.exit - leg.cost)) << "a life that ended at " << price;
      ++lives;
      leg = LegModel{};
    }
    return c;
  }
};

void run_sequences(bool hedge) {
  std::mt19937_64 rng(hedge ? 20240611 : 20240610);
  auto uniform = [&rng](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
  };
  int lives = 0;
  for (int seq = 0; seq < SEQUENCES; ++seq) {
    const std::int64_t sizes[] = {1, 3, 7, 10'000};
    Checker model{sizes[uniform(0, 3)], {}, 0, 0, 0};
    State s = State::create(ONE, model.contract_size, margin::TierTable::example_btcusdt(), START);
    s.hedge = hedge;
    s.external_fills = true;
    s.enforce_margin = false;
    s.holdings.front().fee_rates = {uniform(-200'000, 500'000), uniform(0, 1'000'000)};
    const auto rates = s.holdings.front().fee_rates;
    Kernel k(std::move(s));

    for (int i = 0; i < FILLS; ++i) {
      const std::int64_t mark = uniform(1, 2'000);
      k.apply(event::Tick{engine::Tick{i, i, mark, 0, 0, 0, 0, 0}, std::nullopt});
      const Side side = uniform(0, 1) ? Side::Buy : Side::Sell;
      const Offset offset = hedge && uniform(0, 1) == 0 ? Offset::Close : Offset::Open;
      const QtyLots qty = uniform(1, 50);
      const std::int64_t price = uniform(1, 2'000);
      const bool taker = uniform(0, 1);
      const Fill fill{i, i, static_cast<OrderId>(i), 1, price, qty, ONE, side, offset, taker};

      const Cash realized_before = k.state().realized;
      k.apply(event::ExternalFill{fill, event::fee::Computed{}});
      const Wide realized = k.state().realized - realized_before;
      model.fees += model.value(qty, price) * rates[taker ? 1 : 0] / RATE_SCALE;

      if (hedge) {
        if (offset == Offset::Close) {
          model.close(model.legs[side == Side::Buy ? 1 : 0], qty, price, realized);
        } else {
          EXPECT_EQ(realized, 0);
          model.open(model.legs[side == Side::Buy ? 0 : 1], sign_of(side), qty, price);
        }
      } else {
        LegModel& net = model.legs[0];
        QtyLots rest = qty;
        if (net.size != 0 && (net.size > 0) != (side == Side::Buy)) {
          rest -= model.close(net, qty, price, realized);
        } else {
          EXPECT_EQ(realized, 0);
        }
        if (rest > 0) model.open(net, sign_of(side), rest, price);
      }

      const State& st = k.state();
      const Holding& h = st.holdings.front();
      ASSERT_EQ(h.long_size, model.legs[0].size);
      ASSERT_EQ(h.short_size, model.legs[1].size);
      ASSERT_EQ(st.fees, model.fees);
      ASSERT_EQ(st.balance(), START + st.realized - st.fees);
      const Wide marked =
          model.value(model.legs[0].size, mark) + model.value(model.legs[1].size, mark);
      ASSERT_EQ(st.equity(), START - model.fees + model.cash_flow + marked)
          << "sequence " << seq << " fill " << i;
    }
    lives += model.lives;
  }
  // Guard against a generator that never brings a leg back to flat.
  EXPECT_GT(lives, SEQUENCES * 2);
}

TEST(AccountingProperty, NetModeLivesRealiseExactlyTheirCashFlow) { run_sequences(false); }
TEST(AccountingProperty, HedgeModeLivesRealiseExactlyTheirCashFlow) { run_sequences(true); }

}  // namespace
}  // namespace halvorn::core
