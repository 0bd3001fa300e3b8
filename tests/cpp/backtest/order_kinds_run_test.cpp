// The run loop with the venue's order kinds: what the strategy hears of a
// conditional order and a refusal, what the result counts, and a batched run
// that takes ticks in bulk while only held stops work, stopping exactly at
// the tick that fires one.

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <vector>

#include "backtest/run_loop.hpp"
#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using testing::Scripted;
using testing::tick;
using E = strategy::Ending;

constexpr Cash BALANCE = 100'000'000'000;

RunConfig config() {
  RunConfig c;
  c.balance = BALANCE;
  c.resting = engine::RestingPrice::Limit;
  return c;
}

strategy::Intent place(OrderId id, Side side, QtyLots qty, std::optional<std::int64_t> price,
                       OrderTerms terms = {}) {
  return strategy::intent::Place{side, Offset::Open, InstrumentId{1}, id, price, qty, terms};
}

OrderTerms stop_at(std::int64_t trigger) {
  OrderTerms t;
  t.trigger = TriggerTerms{TriggerTerms::Kind::Stop, trigger, 0, 0};
  t.reduce_only = true;
  return t;
}

TEST(OrderKindsRun, TheStrategyHearsTriggersRefusalsAndEndsAndTheResultCountsThem) {
  Scripted s;
  OrderTerms post_only;
  post_only.post_only = true;
  OrderTerms ioc;
  ioc.tif = TimeInForce::ImmediateOrCancel;
  s.script[0] = {place(1, Side::Buy, 2, std::nullopt), place(2, Side::Buy, 1, 101, post_only),
                 place(3, Side::Buy, 1, 90, ioc)};
  s.script[1] = {place(4, Side::Sell, 2, std::nullopt, stop_at(97))};
  const std::vector<engine::Tick> ticks = {tick(0, 100, 99, 101), tick(1, 100, 99, 100),
                                           tick(2, 96, 95, 97), tick(3, 94, 93, 95),
                                           tick(4, 94, 93, 95)};
  SpanTicks source{ticks};
  const RunResult r = run_stream(config(), s, source);
  ASSERT_EQ(s.endings.size(), 5u);
  EXPECT_EQ(s.endings[1], (std::vector<strategy::OrderEnding>{
                              {2, strategy::rejected_for(RejectReason::PostOnlyWouldTake)},
                              {3, E::Expired},
                              {1, E::Filled}}));
  EXPECT_EQ(s.endings[2], (std::vector<strategy::OrderEnding>{{4, E::Triggered}}));
  EXPECT_EQ(s.endings[3], (std::vector<strategy::OrderEnding>{{4, E::Filled}}));
  EXPECT_EQ(r.triggered, 1u);
  EXPECT_EQ(r.expired, 1u);
  EXPECT_EQ(r.rejected[static_cast<std::size_t>(RejectReason::PostOnlyWouldTake)], 1u);
  ASSERT_EQ(r.fills.size(), 2u);
  EXPECT_EQ(r.fills[1].price, 93);
  EXPECT_EQ(strategy::rejection_of(strategy::rejected_for(RejectReason::GroupEnded)),
            RejectReason::GroupEnded);
  EXPECT_EQ(strategy::rejection_of(E::Triggered), std::nullopt);
}

// Decides on the last tick of each batch: when flat, a long of one lot
// with a stop 20 below; in between it only collects ticks, and with `Idle`
// says so, so that the run may hand them over in bulk.
template <bool Idle>
struct Stopper {
  std::size_t batch;
  std::size_t held = 0;  // ticks of the current batch so far
  OrderId next = 0;
  std::size_t taken_at_once = 0;

  void on_tick(const strategy::TickContext& c, std::vector<strategy::Intent>& intents) {
    if (++held < batch) return;
    held = 0;
    if (c.position != 0 || c.working != 0) return;
    intents.push_back(place(++next, Side::Buy, 1, std::nullopt));
    intents.push_back(place(++next, Side::Sell, 1, std::nullopt, stop_at(c.tick.last - 20)));
  }
  std::string_view name() const { return "stopper"; }
  std::size_t idle_ticks() const
    requires Idle
  {
    return batch - held - 1;
  }
  void on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t)
    requires Idle
  {
    held += ticks.size();
    taken_at_once += ticks.size();
  }
};

TEST(OrderKindsRun, TicksTakenAtOnceWhileOnlyStopsWaitFireThemOnTheSameTicks) {
  std::mt19937_64 rng(5);
  std::vector<engine::Tick> ticks;
  std::int64_t last = 600'000;
  for (Nanos t = 0; t < 20'000; ++t) {
    last += static_cast<std::int64_t>(rng() % 7) - 3;
    ticks.push_back(tick(t, last, last - 1, last + 1));
  }
  Stopper<false> stepped{250};
  Stopper<true> bulk{250};
  SpanTicks a{ticks}, b{ticks};
  const RunResult one = run_stream(config(), stepped, a);
  const RunResult other = run_stream(config(), bulk, b);
  EXPECT_EQ(one.fills, other.fills);
  EXPECT_EQ(one.final_equity, other.final_equity);
  EXPECT_EQ(one.min_equity, other.min_equity);
  EXPECT_GT(one.triggered, 3u);
  EXPECT_EQ(one.triggered, other.triggered);
  // Most ticks went by in bulk, stops held all the while.
  EXPECT_GT(bulk.taken_at_once, ticks.size() / 2);
}

}  // namespace
}  // namespace halvorn::backtest
