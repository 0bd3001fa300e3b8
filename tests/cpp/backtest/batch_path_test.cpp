// The batch path: ticks a batched strategy only collects are handed over at
// once while nothing is working, and a batch's columns are read in place
// when its ticks lie together.  Neither may change anything a run reports.

#include <gtest/gtest.h>

#include <random>

#include "backtest/run_loop.hpp"
#include "batch_path.hpp"

namespace halvorn::backtest {
namespace {

using testing::Batcher;

std::vector<engine::Tick> walk(std::uint64_t seed, std::size_t n, std::int64_t step = 10) {
  std::mt19937_64 rng(seed);
  std::vector<engine::Tick> out;
  std::int64_t price = 60'000, volume = 0;
  for (std::size_t i = 0; i < n; ++i) {
    price += static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * step + 1)) - step;
    volume += static_cast<std::int64_t>(rng() % 5);
    const std::int64_t t =
        static_cast<std::int64_t>(i) * 1'000 + static_cast<std::int64_t>(rng() % 3);
    out.push_back(
        engine::Tick{t, t + 7, price, price + 4, price - 4, price - 1, price + 1, volume});
  }
  // Equal and ordered times only: the runs below read a series as a file would.
  for (std::size_t i = 1; i < n; ++i) out[i].exch_ts = std::max(out[i].exch_ts, out[i - 1].exch_ts);
  return out;
}

RunConfig config_for(int tier) {
  RunConfig c;
  c.balance = 1'000 * CASH_SCALE;
  c.equity_every = 37;
  c.instruments[0].fee_rates = {-100'000, 500'000};
  c.track_margin = true;
  c.instruments[0].funding.rates = {
      {50'000, 100'000, 60'000}, {50'000, -30'000, 60'010}, {700'000, 20'000, 60'000}};
  if (tier > 0) {
    // With latency, and without: an order sent with none takes its queue
    // from the volume traded between the two latest ticks, which a run that
    // skipped ticks must still know.
    engine::L1Config l1;
    if (tier == 1) {
      l1.order_latency.kind = engine::Latency::Fixed{1'500};
      l1.report_latency.kind = engine::Latency::Fixed{800};
    }
    l1.queue.kind = engine::QueueModel::TradedShare{30};
    l1.impact_pct = 40;
    c.instruments[0].tier.kind = core::Tier::L1{l1};
  }
  return c;
}

void expect_same(const RunResult& a, const RunResult& b) {
  EXPECT_EQ(a.ticks, b.ticks);
  EXPECT_EQ(a.fills, b.fills);
  EXPECT_EQ(a.liquidations, b.liquidations);
  EXPECT_EQ(a.equity_curve, b.equity_curve);
  EXPECT_EQ(a.equity_times, b.equity_times);
  EXPECT_EQ(a.final_equity, b.final_equity);
  EXPECT_EQ(a.min_equity, b.min_equity);
  EXPECT_EQ(a.realized, b.realized);
  EXPECT_EQ(a.fees_paid, b.fees_paid);
  EXPECT_EQ(a.funding_paid, b.funding_paid);
  EXPECT_EQ(a.max_adverse, b.max_adverse);
  EXPECT_EQ(a.exposed_ticks, b.exposed_ticks);
  ASSERT_EQ(a.margin.has_value(), b.margin.has_value());
  if (a.margin) {
    EXPECT_EQ(a.margin->peak_maintenance, b.margin->peak_maintenance);
    EXPECT_EQ(a.margin->min_headroom, b.margin->min_headroom);
  }
}

TEST(BatchPath, TicksTakenAtOnceChangeNothingARunReports) {
  std::size_t runs_that_traded = 0;
  for (int tier : {0, 1, 2}) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
      for (std::size_t batch : {2u, 7u, 64u, 1000u}) {
        const auto ticks = walk(seed, 20'000);
        const RunConfig config = config_for(tier);
        Batcher<false> per_tick{batch, seed};
        Batcher<true> bulk{batch, seed};
        SpanTicks a{ticks}, b{ticks};
        const RunResult ra = run_stream(config, per_tick, a);
        const RunResult rb = run_stream(config, bulk, b);
        SCOPED_TRACE(::testing::Message()
                     << "tier " << tier << " seed " << seed << " batch " << batch);
        expect_same(ra, rb);
        EXPECT_EQ(per_tick.seen, bulk.seen);
        runs_that_traded += ra.fills.size() > 10;
        if (batch >= 64) {
          EXPECT_GT(bulk.taken_at_once, ticks.size() / 4);
        }
      }
    }
  }
  EXPECT_GT(runs_that_traded, 45u) << "the runs must trade for the comparison to mean something";
}

// A position held with nothing working is marked in bulk too, up to the tick
// that settles funding or liquidates, which the run then steps through: with
// little cash behind a wild walk and funding every thousand ticks, the runs
// are liquidated and funded mid-batch, in net and in hedge mode, with margin
// tracked tick by tick and without, under the example brackets, under
// brackets that jump where these positions' notionals wander, and under
// brackets so steep that a long is liquidated as the price rises.
TEST(BatchPath, AHeldPositionIsMarkedAtOnceUpToFundingAndLiquidation) {
  const margin::TierTable jumping{{
      {1'790'000'000, 50'000'000, 0},
      {1'810'000'000, 150'000'000, 0},
      {I64_MAX, 100'000'000, -10'000'000},
  }};
  const margin::TierTable steep{{{1'800'000'000, 10'000'000, 0}, {I64_MAX, 950'000'000, 0}}};
  std::size_t liquidations = 0, funded = 0, runs = 0;
  for (bool hedge : {false, true}) {
    for (bool track : {false, true}) {
      for (int table : {0, 1, 2}) {
        for (int tier : {0, 1}) {
          for (std::uint64_t seed = 1; seed <= 3; ++seed) {
            for (std::size_t batch : {7u, 64u, 500u}) {
              const auto ticks = walk(seed, 20'000, 30);
              RunConfig config = config_for(tier);
              config.hedge = hedge;
              config.track_margin = track;
              config.balance = (table == 0 ? 1 : 4) * CASH_SCALE;
              if (table > 0) config.instruments[0].margin_tiers = table == 1 ? jumping : steep;
              config.instruments[0].funding.rates.clear();
              for (std::int64_t t = 1'000'000; t < 20'000'000; t += 1'000'000) {
                config.instruments[0].funding.rates.push_back(
                    {t + 500, t % 3'000'000 == 0 ? -400'000 : 300'000, 60'000});
              }
              Batcher<false> per_tick{batch, seed, 3};
              Batcher<true> bulk{batch, seed, 3};
              SpanTicks a{ticks}, b{ticks};
              const RunResult ra = run_stream(config, per_tick, a);
              const RunResult rb = run_stream(config, bulk, b);
              SCOPED_TRACE(::testing::Message()
                           << "hedge " << hedge << " track " << track << " table " << table
                           << " tier " << tier << " seed " << seed << " batch " << batch);
              expect_same(ra, rb);
              EXPECT_EQ(per_tick.seen, bulk.seen);
              // More ticks went over at once than the account spent flat:
              // some of them found it holding.
              if (batch >= 64 && ra.exposed_ticks > ticks.size() / 10) {
                EXPECT_GT(bulk.taken_at_once, ticks.size() - ra.exposed_ticks);
              }
              liquidations += !ra.liquidations.empty();
              funded += ra.funding_paid != 0;
              ++runs;
            }
          }
        }
      }
    }
  }
  EXPECT_GT(liquidations, runs / 4) << "the runs must be liquidated for the test to mean something";
  EXPECT_GT(funded, runs * 2 / 5) << "the runs must settle funding for the test to mean something";
}

TEST(BatchPath, AColumnBatchIsReadInPlaceOnlyWhenItsTicksLieTogether) {
  const auto ticks = walk(9, 100);
  // The whole batch ahead in the source: a view of the records.
  BatchColumns together(10);
  for (std::size_t i = 0; i < 10; ++i) together.add(ticks[i], &ticks[i], 99 - i);
  ColumnView v = together.view();
  EXPECT_EQ(v.stride, static_cast<std::ptrdiff_t>(sizeof(engine::Tick)));
  EXPECT_EQ(v.base[2], &ticks[0].last);
  // Too few ticks left in place at the batch's first tick: copied by column.
  BatchColumns apart(10);
  for (std::size_t i = 0; i < 10; ++i) apart.add(ticks[i], &ticks[i], 5);
  v = apart.view();
  EXPECT_EQ(v.stride, static_cast<std::ptrdiff_t>(sizeof(std::int64_t)));
  for (std::size_t r = 0; r < 10; ++r) EXPECT_EQ(v.base[7][r], ticks[r].volume);
  // A record that is not where the batch began after all: what came before
  // is copied out first, and the batch still reads right.
  BatchColumns moved(4);
  moved.add(ticks[0], &ticks[0], 50);
  moved.add(ticks[1], &ticks[1], 50);
  moved.add(ticks[2], &ticks[40], 50);
  moved.add(ticks[3], nullptr, 0);
  v = moved.view();
  EXPECT_EQ(v.stride, static_cast<std::ptrdiff_t>(sizeof(std::int64_t)));
  for (std::size_t r = 0; r < 4; ++r) EXPECT_EQ(v.base[0][r], ticks[r].exch_ts);
  EXPECT_THROW(moved.add(ticks[4], nullptr, 0), Panic);
}

}  // namespace
}  // namespace halvorn::backtest
