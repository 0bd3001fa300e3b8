// The fee a fill carries is the fee the account was charged for it: in a
// run of one instrument and in a portfolio at each instrument's own rates,
// on maker and taker fills, with rebates, on runs the venue liquidates, and
// on the fills the strategy is shown as well as those of the result.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "backtest/kway_merge.hpp"
#include "backtest/run_loop.hpp"
#include "core/account.hpp"
#include "core/kernel.hpp"
#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using testing::limit;
using testing::market;
using testing::Scripted;
using testing::tick;

constexpr Cash USDT_CASH = 100'000'000;

// A random walk of quotes with a spread of two ticks.
std::vector<engine::Tick> walk(std::mt19937_64& rng, std::int64_t price, Nanos first) {
  std::vector<engine::Tick> ticks;
  for (Nanos t = first; t < first + 600; t += 2) {
    price += static_cast<std::int64_t>(rng() % 41) - 20;
    ticks.push_back(tick(t, price, price - 1, price + 1, price + 3, price - 3));
  }
  return ticks;
}

// Market and limit orders on random calls, some far enough through the
// quote to rest and fill later as a maker.
void script(std::mt19937_64& rng, Scripted& s, std::size_t calls, std::int64_t price,
            std::uint32_t instruments) {
  for (std::size_t call = 0; call < calls; ++call) {
    if (rng() % 6 != 0) continue;
    const Side side = rng() % 2 ? Side::Buy : Side::Sell;
    const OrderId id = call + 1;
    const std::uint32_t instrument = 1 + static_cast<std::uint32_t>(rng() % instruments);
    const std::int64_t offset = static_cast<std::int64_t>(rng() % 41) - 20;
    s.script[call] = {rng() % 2 ? market(id, side, 1 + rng() % 40, instrument)
                                : limit(id, side, price + offset, 1 + rng() % 40, instrument)};
  }
}

// What each instrument's fills carry, and how many were maker and taker.
struct Carried {
  std::vector<Cash> by_instrument;
  Cash total = 0;
  std::size_t makers = 0, takers = 0;
};

// Checks every fill's fee against its notional at the rates of its
// instrument, and adds them up.
Carried carried(const RunResult& r, const RunConfig& config) {
  Carried c;
  c.by_instrument.assign(config.instruments.size(), 0);
  for (const Fill& f : r.fills) {
    const std::size_t i = f.instrument.value - 1;
    const InstrumentConfig& instrument = config.instruments[i];
    const Cash expected = core::fill_fee(f, instrument.contract_size, instrument.fee_rates);
    EXPECT_EQ(f.fee, expected) << "order " << f.order << " seq " << f.seq;
    c.by_instrument[i] += f.fee;
    c.total += f.fee;
    ++(f.taker ? c.takers : c.makers);
  }
  return c;
}

// The fills the strategy heard, in the order it heard them.
std::vector<Fill> heard(const Scripted& s) {
  std::vector<Fill> all;
  for (const auto& fills : s.fills) all.insert(all.end(), fills.begin(), fills.end());
  return all;
}

TEST(FillFee, EachFillCarriesWhatTheAccountWasChargedForIt) {
  std::mt19937_64 rng(34);
  std::size_t makers = 0, takers = 0, liquidated = 0;
  for (int round = 0; round < 40; ++round) {
    const std::vector<engine::Tick> ticks = walk(rng, 600'000, 0);
    Scripted s;
    script(rng, s, ticks.size(), 600'000, 1);
    RunConfig config;
    config.balance = (round % 2 ? 50 : 100'000) * USDT_CASH;  // the small ones may liquidate
    config.instruments[0].fee_rates = {-100'000, 400'000};    // a maker rebate
    config.instruments[0].funding.rates = {{100, 100'000, 0}};
    SpanTicks source{ticks};
    const RunResult r = run_stream(config, s, source);

    const Carried c = carried(r, config);
    // Liquidations pay no fee: what the fills carry is every fee paid.
    EXPECT_EQ(c.total, r.fees_paid) << "round " << round;
    EXPECT_EQ(c.total, r.instruments.at(0).fees) << "round " << round;
    // What the strategy was shown, fee included, is what the run reports;
    // only fills settled after the last tick reach no call.
    const std::vector<Fill> shown = heard(s);
    ASSERT_LE(shown.size(), r.fills.size());
    EXPECT_TRUE(std::equal(shown.begin(), shown.end(), r.fills.begin())) << "round " << round;
    makers += c.makers;
    takers += c.takers;
    liquidated += r.liquidations.empty() ? 0 : 1;
  }
  // The cases above were all reached.
  EXPECT_GT(makers, 0u);
  EXPECT_GT(takers, 0u);
  EXPECT_GT(liquidated, 0u);
}

TEST(FillFee, APortfolioFillCarriesTheFeeAtItsOwnInstrumentsRates) {
  std::mt19937_64 rng(35);
  std::size_t liquidated = 0;
  for (int round = 0; round < 30; ++round) {
    std::vector<engine::Tick> btc = walk(rng, 600'000, 0), eth = walk(rng, 300'000, 1);
    Scripted s;
    script(rng, s, btc.size() + eth.size(), round % 3 ? 600'000 : 300'000, 2);
    RunConfig config;
    config.balance = (round % 2 ? 100 : 100'000) * USDT_CASH;
    config.instruments[0].fee_rates = {-100'000, 500'000};
    config.instruments[0].contract_size = 10'000;
    InstrumentConfig other;
    other.instrument = InstrumentId{2};
    other.contract_size = 1'000;
    other.fee_rates = {200'000, 1'000'000};
    config.instruments.push_back(other);
    SpanTicks a{btc}, b{eth};
    MergedTicks<SpanTicks> merged({&a, &b}, {InstrumentId{1}, InstrumentId{2}});
    const RunResult r = run_stream(config, s, merged);

    const Carried c = carried(r, config);
    ASSERT_EQ(r.instruments.size(), 2u);
    EXPECT_EQ(c.by_instrument[0], r.instruments[0].fees) << "round " << round;
    EXPECT_EQ(c.by_instrument[1], r.instruments[1].fees) << "round " << round;
    EXPECT_EQ(c.total, r.fees_paid) << "round " << round;
    const std::vector<Fill> shown = heard(s);
    ASSERT_LE(shown.size(), r.fills.size());
    EXPECT_TRUE(std::equal(shown.begin(), shown.end(), r.fills.begin())) << "round " << round;
    liquidated += r.liquidations.empty() ? 0 : 1;
  }
  EXPECT_GT(liquidated, 0u);
}

// A reported fee is the one the fill carries; an unknown one is carried as
// the 0 the account was charged.
TEST(FillFee, AnExternalFillCarriesTheFeeItWasBookedWith) {
  core::State state = core::State::create(
      InstrumentId{1}, 10'000, margin::TierTable::example_btcusdt(), 1'000'000 * USDT_CASH);
  state.holdings.front().fee_rates = {100'000, 500'000};
  state.external_fills = true;
  core::Kernel k(std::move(state));
  const Fill fill{1, 1, 7, 1, 600'000, 2, InstrumentId{1}, Side::Buy, Offset::Open, true};
  const auto booked = [&](core::event::ExternalFee fee) {
    for (const core::Output& o : k.apply(core::event::ExternalFill{fill, fee})) {
      if (const auto* f = std::get_if<core::output::Fill>(&o)) return f->fee;
    }
    ADD_FAILURE() << "no fill booked";
    return Cash{-1};
  };
  Cash before = k.state().fees;
  EXPECT_EQ(booked(core::event::fee::Reported{123}), 123);
  EXPECT_EQ(k.state().fees - before, 123);
  before = k.state().fees;
  // 2 lots of 600_000 ticks at 10_000 Cash: 12_000_000_000 of notional,
  // 0.05 % of it.
  EXPECT_EQ(booked(core::event::fee::Computed{}), 6'000'000);
  EXPECT_EQ(k.state().fees - before, 6'000'000);
  before = k.state().fees;
  EXPECT_EQ(booked(core::event::fee::Unknown{}), 0);
  EXPECT_EQ(k.state().fees - before, 0);
}

}  // namespace
}  // namespace halvorn::backtest
