// The run loop: step order, statistics, endings, feedback and funding.

#include "backtest/run_loop.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using testing::limit;
using testing::market;
using testing::Scripted;
using testing::tick;

constexpr Cash BALANCE = 100'000'000'000;  // 1_000 USDT

RunConfig config_with(std::size_t equity_every = 0) {
  RunConfig c;
  c.balance = BALANCE;
  c.equity_every = equity_every;
  return c;
}

RunResult run(const RunConfig& config, Scripted& s, const std::vector<engine::Tick>& ticks) {
  SpanTicks source{ticks};
  return run_stream(config, s, source);
}

TEST(RunStream, EmptySeriesNeverCallsTheStrategy) {
  Scripted s;
  RunResult r = run(config_with(3), s, {});
  EXPECT_EQ(r.ticks, 0u);
  EXPECT_EQ(s.calls, 0u);
  EXPECT_TRUE(r.fills.empty());
  EXPECT_EQ(r.final_equity, BALANCE);
  EXPECT_EQ(r.min_equity, BALANCE);
  EXPECT_EQ(r.equity_curve, std::vector<Cash>{BALANCE});
  EXPECT_EQ(r.tier, "L0");
  EXPECT_EQ(r.strategy, "scripted");
  EXPECT_FALSE(r.margin.has_value());
}

TEST(RunStream, EquitySamplesStartWithTheBalanceAndFollowTheCounter) {
  std::vector<engine::Tick> ticks;
  for (int i = 0; i < 5; ++i) ticks.push_back(tick(i, 100 + i, 0, 100 + i));
  Scripted buy;
  buy.script[0] = {market(1, Side::Buy, 1)};  // fills at tick 1 at 101, then rises 1 a tick
  RunResult every1 = run(config_with(1), buy, ticks);
  ASSERT_EQ(every1.equity_curve.size(), 6u);
  EXPECT_EQ(every1.equity_curve[0], BALANCE);
  EXPECT_EQ(every1.equity_curve[1], BALANCE);
  EXPECT_EQ(every1.equity_curve[2], BALANCE);  // marked at 101, entered at 101
  EXPECT_EQ(every1.equity_curve[5], BALANCE + 3 * 10'000);
  EXPECT_EQ(every1.final_equity, BALANCE + 3 * 10'000);
  // Equity only rose, yet the minimum starts at, and never exceeds, the balance.
  EXPECT_EQ(every1.min_equity, BALANCE);

  Scripted idle;
  RunResult every2 = run(config_with(2), idle, ticks);
  EXPECT_EQ(every2.equity_curve.size(), 3u);  // start, after tick 2, after tick 4
  EXPECT_EQ(every2.ticks, 5u);
  EXPECT_EQ(idle.calls, 5u);
}

TEST(RunStream, OrdersExecuteAtTheEarliestOnTheNextTick) {
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 2)};
  RunResult r = run(config_with(), s, {tick(10, 100, 99, 101), tick(20, 102, 101, 103)});
  ASSERT_EQ(r.fills.size(), 1u);
  EXPECT_EQ(r.fills[0].price, 103);
  EXPECT_EQ(r.fills[0].exch_ts, 20);
  EXPECT_EQ(r.fills[0].order, 1u);
  // The context of tick 1 already shows the position.
  EXPECT_EQ(s.seen[0].position, 0);
  EXPECT_EQ(s.seen[1].position, 2);
  EXPECT_EQ(s.seen[1].entry, 103);
  EXPECT_EQ(s.seen[1].working, 0u);
  EXPECT_EQ(s.seen[0].instrument, InstrumentId{1});
  // The fills of a tick are handed over in that tick.
  ASSERT_EQ(s.fills.size(), 2u);
  EXPECT_TRUE(s.fills[0].empty());
  EXPECT_EQ(s.fills[1], r.fills);
}

TEST(RunStream, EndingsAreNotedOncePerOrderAndHandedOverBeforeTheNextCall) {
  Scripted s;
  s.script[0] = {limit(1, Side::Buy, 90, 1), limit(2, Side::Buy, 80, 1), market(3, Side::Buy, 1)};
  // Cancel of a live order, of an unknown id, and a limit cancelled on the
  // call that placed it.
  s.script[1] = {strategy::intent::Cancel{2}, strategy::intent::Cancel{77},
                 limit(4, Side::Buy, 10, 1), strategy::intent::Cancel{4}};
  s.script[2] = {strategy::intent::CancelAll{}};
  std::vector<engine::Tick> ticks = {tick(1, 100, 99, 101), tick(2, 100, 99, 101),
                                     tick(3, 100, 99, 101), tick(4, 100, 99, 101)};
  RunResult r = run(config_with(), s, ticks);
  ASSERT_EQ(s.endings.size(), 4u);
  EXPECT_TRUE(s.endings[0].empty());
  using E = strategy::Ending;
  // Tick 1: the market order filled during the tick.
  EXPECT_EQ(s.endings[1], (std::vector<strategy::OrderEnding>{{3, E::Filled}}));
  // After call 1: order 2 cancelled, order 4 placed and cancelled.
  EXPECT_EQ(s.endings[2], (std::vector<strategy::OrderEnding>{{2, E::Canceled}, {4, E::Canceled}}));
  // After call 2: cancel-all took order 1, the only one left.
  EXPECT_EQ(s.endings[3], (std::vector<strategy::OrderEnding>{{1, E::Canceled}}));
  EXPECT_EQ(s.seen[2].working, 1u);
  EXPECT_EQ(s.seen[3].working, 0u);
  EXPECT_EQ(r.fills.size(), 1u);
}

TEST(RunStream, ForeignIntentsAreCountedAndNeverReachTheKernel) {
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 1, /*instrument=*/2), strategy::intent::Cancel{1}};
  RunResult r = run(config_with(), s, {tick(1, 100, 99, 101), tick(2, 100, 99, 101)});
  EXPECT_EQ(r.foreign_intents, 1u);
  EXPECT_TRUE(r.fills.empty());
  EXPECT_EQ(s.seen[1].working, 0u);
}

TEST(RunStream, LiquidationIsRecordedAndAnnouncedBeforeTheNextDecision) {
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 100)};
  s.script[1] = {limit(2, Side::Sell, 700'000, 5)};  // dropped by the venue at liquidation
  std::vector<engine::Tick> ticks = {tick(1, 600'000, 599'999, 600'000),
                                     tick(2, 600'000, 599'999, 600'000), tick(3, 502'009),
                                     tick(4, 502'008), tick(5, 502'000)};
  RunResult r = run(config_with(), s, ticks);
  ASSERT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.liquidations[0], (Liquidation{4, 502'008, 100, 0, 2'008'000'000}));
  ASSERT_EQ(s.closes.size(), 5u);
  EXPECT_TRUE(s.closes[2].empty());
  EXPECT_EQ(s.closes[3],
            (std::vector<strategy::VenueClosed>{{100, 502'008, 4, InstrumentId{1}, Side::Buy}}));
  EXPECT_TRUE(s.closes[4].empty());
  // Dropped orders get no ending; the strategy learns of the close instead.
  for (const auto& e : s.endings) {
    for (const auto& [id, ending] : e) EXPECT_NE(id, 2u);
  }
  EXPECT_EQ(s.seen[3].working, 0u);
  EXPECT_EQ(r.final_equity, 0);
  EXPECT_EQ(r.min_equity, 0);
  EXPECT_EQ(r.realized, -97'992'000'000);
  // The tick that liquidates already shows a flat account, so the worst
  // excursion measured is the one before it.
  EXPECT_EQ(r.max_adverse, 600'000 - 502'009);
}

TEST(RunStream, AdverseExcursionUsesTheRangeAndStaysZeroWhenFavourable) {
  Scripted up;
  up.script[0] = {market(1, Side::Buy, 1)};
  RunResult r = run(config_with(), up,
                    {tick(1, 100, 99, 100), tick(2, 100, 99, 100), tick(3, 110, 0, 0, 112, 105)});
  EXPECT_EQ(r.max_adverse, 0);

  Scripted shorted;
  shorted.script[0] = {market(1, Side::Sell, 1)};
  RunResult s = run(config_with(), shorted,
                    {tick(1, 100, 100, 101), tick(2, 100, 100, 101), tick(3, 104, 0, 0, 109, 103),
                     tick(4, 99, 0, 0, 0, 0)});
  EXPECT_EQ(s.max_adverse, 9);  // the high of tick 3 against the entry at 100
}

TEST(RunStream, OpenPositionsAndLiveOrdersAreValuedNotClosedAtTheEnd) {
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 3), limit(2, Side::Buy, 50, 1)};
  RunResult r =
      run(config_with(), s, {tick(1, 100, 99, 100), tick(2, 100, 99, 100), tick(3, 107, 106, 108)});
  EXPECT_EQ(r.fills.size(), 1u);
  EXPECT_EQ(r.final_equity, BALANCE + 3 * 7 * 10'000);
  EXPECT_EQ(r.realized, 0);
}

TEST(RunStream, MarginTrackingFollowsOpenPositionsOnly) {
  RunConfig c = config_with();
  c.track_margin = true;
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 100)};
  RunResult r =
      run(c, s, {tick(1, 600'000, 0, 600'000), tick(2, 600'000, 0, 600'000), tick(3, 550'000)});
  ASSERT_TRUE(r.margin.has_value());
  // Notional 600_000 x 100 x 10_000 in the 0.4 % bracket.
  EXPECT_EQ(r.margin->peak_maintenance, 2'400'000'000);
  ASSERT_TRUE(r.margin->min_headroom.has_value());
  EXPECT_EQ(*r.margin->min_headroom, BALANCE - Cash{50'000} * 100 * 10'000 - 2'200'000'000);

  Scripted idle;
  RunResult flat = run(c, idle, {tick(1, 100)});
  EXPECT_EQ(flat.margin->peak_maintenance, 0);
  EXPECT_FALSE(flat.margin->min_headroom.has_value());
}

TEST(RunStream, FundingDueSinceThePreviousTickIsAppliedOnceBeforeTheTick) {
  RunConfig c = config_with();
  for (Nanos t : {5, 15, 25, 35}) c.instruments[0].funding.rates.push_back({t, 100'000, 600'000});
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 100)};
  // Tick times 0, 10, 20, 18 (backwards), 30: funding at 5 finds the account
  // flat, 15 and 25 charge the long, and the step back applies nothing twice.
  RunResult r = run(c, s,
                    {tick(0, 600'000, 0, 600'000), tick(10, 600'000, 0, 600'000), tick(20, 600'000),
                     tick(18, 600'000), tick(30, 600'000)});
  EXPECT_EQ(r.funding_paid, -120'000'000);
  EXPECT_EQ(r.final_equity, BALANCE - 120'000'000);
}

// The liquidation case above, with the venue's mark: the wick of the last
// trade to 502_008 that the mark (still at 590_000) does not follow leaves
// the account standing, funding due without a price settles at the mark,
// and the mark falling through maintenance liquidates at the mark, between
// two ticks, before the strategy's next decision.
TEST(RunStream, TheMarkStreamValuesTheAccountAndLiquidatesAtItsPrice) {
  RunConfig c = config_with(1);
  c.instruments[0].funding.rates.push_back({4, 100'000, 0});
  const std::vector<engine::Tick> ticks = {tick(1, 600'000, 599'999, 600'000),
                                           tick(2, 600'000, 599'999, 600'000),
                                           tick(3, 502'009),
                                           tick(4, 502'008),
                                           tick(6, 502'000),
                                           tick(7, 520'000)};
  const std::vector<MarkPoint> points = {{2, 590'000}, {5, 590'000}, {6, 501'000}};
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 100)};
  SpanTicks source{ticks};
  NoDepth none;
  RunResult r = run_stream(c, s, source, none, SpanMarks{points});
  // 0.01 % of 100 lots at the mark of 590_000, paid by the long.
  EXPECT_EQ(r.funding_paid, -59'000'000);
  ASSERT_EQ(r.liquidations.size(), 1u);
  EXPECT_EQ(r.liquidations[0].at, 6);
  EXPECT_EQ(r.liquidations[0].price, 501'000);
  // Equity is the mark's: on the wick at 4 the account is worth 10 ticks
  // down on 100 lots, not 97_992.
  EXPECT_EQ(r.equity_curve[4], BALANCE - Cash{10'000} * 100 * 10'000 - 59'000'000);
  ASSERT_EQ(s.closes.size(), 6u);
  EXPECT_EQ(s.closes[4],
            (std::vector<strategy::VenueClosed>{{100, 501'000, 6, InstrumentId{1}, Side::Buy}}));

  // An empty mark stream is the run without one, step for step.
  Scripted a, b;
  a.script[0] = b.script[0] = {market(1, Side::Buy, 100)};
  SpanTicks first{ticks}, second{ticks};
  const RunResult with_none = run_stream(c, a, first, none);
  const RunResult with_empty = run_stream(c, b, second, none, SpanMarks{});
  EXPECT_EQ(with_none.liquidations, with_empty.liquidations);
  EXPECT_EQ(with_none.equity_curve, with_empty.equity_curve);
  EXPECT_EQ(with_none.funding_paid, with_empty.funding_paid);
  // Without marks the settlement, priced at the last trade, tips the
  // account over at 502_009.
  EXPECT_EQ(with_none.liquidations[0], (Liquidation{4, 502'009, 100, 0, 1'958'799'100}));
}

TEST(VenueCloses, LongLegFirstAndZeroLegsSkipped) {
  core::Output both = core::output::Liquidated{InstrumentId{3}, 9, 500, 1, 0, 0, 4, -3};
  std::vector<strategy::VenueClosed> out;
  venue_closes(both, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], (strategy::VenueClosed{4, 500, 9, InstrumentId{3}, Side::Buy}));
  EXPECT_EQ(out[1], (strategy::VenueClosed{3, 500, 9, InstrumentId{3}, Side::Sell}));
  out.clear();
  venue_closes(core::output::Liquidated{InstrumentId{1}, 1, 1, I64_MIN, 0, 0, 0, I64_MIN}, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].lots, I64_MAX);  // saturating absolute value
  out.clear();
  venue_closes(core::output::Canceled{5}, out);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace halvorn::backtest
