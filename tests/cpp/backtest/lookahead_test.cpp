// The lookahead check: which points are rerun and how runs are compared.

#include "backtest/lookahead.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <vector>

#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using strategy::Intent;
using testing::market;
using testing::tick;

TEST(Spread, PicksEvenlyByPositionAlwaysIncludingTheEnds) {
  std::vector<std::size_t> ten(10);
  std::iota(ten.begin(), ten.end(), 100);
  EXPECT_EQ(spread(ten, 4), (std::vector<std::size_t>{100, 103, 106, 109}));
  EXPECT_EQ(spread(ten, 1), (std::vector<std::size_t>{100}));
  EXPECT_EQ(spread(ten, 2), (std::vector<std::size_t>{100, 109}));
  EXPECT_EQ(spread(ten, 10), ten);
  EXPECT_EQ(spread(ten, 200), ten);
  EXPECT_TRUE(spread(ten, 0).empty());
  EXPECT_TRUE(spread({}, 0).empty());
  EXPECT_TRUE(spread({}, 5).empty());

  std::vector<std::size_t> many(1000);
  std::iota(many.begin(), many.end(), 0);
  auto picks = spread(many, 200);
  EXPECT_EQ(picks.size(), 200u);
  EXPECT_EQ(picks.front(), 0u);
  EXPECT_EQ(picks.back(), 999u);
  EXPECT_TRUE(std::is_sorted(picks.begin(), picks.end()));

  // Few signals asked for many near-duplicate positions: repeats collapse.
  std::vector<std::size_t> three = {5, 6, 7};
  EXPECT_EQ(spread(three, 2), (std::vector<std::size_t>{5, 7}));
}

TEST(FirstDifference, FindsTheEarliestDisagreeingTick) {
  Intent buy = market(1, Side::Buy, 1);
  Intent sell = market(1, Side::Sell, 1);
  Intent buy_id2 = market(2, Side::Buy, 1);
  using Log = std::vector<LogEntry>;
  Log a = {{2, buy}, {5, sell}};
  EXPECT_EQ(first_difference(a, a), std::nullopt);
  EXPECT_EQ(first_difference(a, Log{{2, buy}, {5, buy}}), 5u);
  EXPECT_EQ(first_difference(a, Log{{2, buy_id2}, {5, sell}}), 2u);  // ids are compared too
  EXPECT_EQ(first_difference(a, Log{{2, buy}, {4, sell}}), 4u);      // the smaller tick index
  EXPECT_EQ(first_difference(a, Log{{2, buy}}), 5u);                 // one list ends first
  EXPECT_EQ(first_difference(Log{{2, buy}}, a), 5u);
  EXPECT_EQ(first_difference(Log{}, a), 2u);
  EXPECT_EQ(intents_on(Log{{1, buy}, {2, sell}, {2, buy}}, 2), (std::vector<Intent>{sell, buy}));
}

// A strategy made for the first `known` ticks of a series.
struct Built {
  std::function<void(std::size_t, const strategy::TickContext&, std::vector<Intent>&)> decide;
  std::size_t calls = 0;
  void on_tick(const strategy::TickContext& c, std::vector<Intent>& out) {
    decide(calls++, c, out);
  }
  std::string_view name() const { return "built"; }
};

std::vector<engine::Tick> series(std::size_t n) {
  std::vector<engine::Tick> ticks;
  for (std::size_t i = 0; i < n; ++i) {
    const auto p = static_cast<std::int64_t>(100 + (i * 7) % 5);
    ticks.push_back(tick(static_cast<Nanos>(1000 + i), p, p - 1, p + 1));
  }
  return ticks;
}

RunConfig config() {
  RunConfig c;
  c.balance = 100'000'000'000;
  return c;
}

TEST(Lookahead, QuietStrategyNeedsOnlyTheFullRun) {
  const auto ticks = series(20);
  std::size_t builds = 0;
  auto build = [&](std::size_t) {
    ++builds;
    return Built{[](std::size_t, const strategy::TickContext&, std::vector<Intent>&) {}};
  };
  LookaheadReport r = lookahead(config(), build, ticks, 200);
  EXPECT_EQ(r.signals, 0u);
  EXPECT_EQ(r.checked, 0u);
  EXPECT_TRUE(r.divergences.empty());
  EXPECT_EQ(builds, 1u);
}

TEST(Lookahead, StrategyUsingOnlyThePastIsClean) {
  const auto ticks = series(60);
  std::size_t builds = 0;
  auto build = [&](std::size_t) {
    ++builds;
    auto prev = std::make_shared<std::int64_t>(0);
    return Built{[prev](std::size_t, const strategy::TickContext& c, std::vector<Intent>& out) {
      if (c.tick.last > *prev) out.push_back(market(out.size() + 1, Side::Buy, 1));
      *prev = c.tick.last;
    }};
  };
  LookaheadReport full = lookahead(config(), build, ticks, 200);
  EXPECT_GT(full.signals, 5u);
  EXPECT_EQ(full.checked, full.signals);
  EXPECT_TRUE(full.divergences.empty());
  EXPECT_EQ(builds, 1 + full.checked);

  LookaheadReport none = lookahead(config(), build, ticks, 0);
  EXPECT_EQ(none.checked, 0u);
  EXPECT_EQ(none.signals, full.signals);
  EXPECT_TRUE(none.divergences.empty());

  LookaheadReport sampled = lookahead(config(), build, ticks, 3);
  EXPECT_EQ(sampled.checked, 3u);
}

TEST(Lookahead, StrategyFittedToTheFutureIsCaughtWhereItDecided) {
  auto ticks = series(12);
  ticks[9].last = ticks[8].last + 50;  // the future it peeks at
  auto build = [&](std::size_t known) {
    const bool knows_rise = known > 9;
    return Built{
        [knows_rise](std::size_t i, const strategy::TickContext&, std::vector<Intent>& out) {
          if (i == 3) out.push_back(market(1, Side::Sell, 1));  // an honest signal
          if (i == 7 && knows_rise) out.push_back(market(2, Side::Buy, 1));
        }};
  };
  LookaheadReport r = lookahead(config(), build, ticks, 200);
  EXPECT_EQ(r.signals, 2u);
  ASSERT_EQ(r.divergences.size(), 1u);
  const Divergence& d = r.divergences[0];
  EXPECT_EQ(d.checked_at, 7u);
  EXPECT_EQ(d.tick, 7u);
  EXPECT_EQ(d.exch_ts, ticks[7].exch_ts);
  EXPECT_EQ(d.full, (std::vector<Intent>{market(2, Side::Buy, 1)}));
  EXPECT_TRUE(d.prefix.empty());
}

TEST(Lookahead, ExtraOrderOnThePrefixsLastTickDivergesThereAtEveryPoint) {
  const auto ticks = series(10);
  auto build = [](std::size_t known) {
    return Built{[known](std::size_t i, const strategy::TickContext&, std::vector<Intent>& out) {
      if (i % 3 == 0) out.push_back(market(i + 1, Side::Buy, 1));
      if (i + 1 == known) out.push_back(strategy::intent::CancelAll{});  // "the data ends here"
    }};
  };
  LookaheadReport r = lookahead(config(), build, ticks, 200);
  // Signals: 0, 3, 6, 9 (9 also carries the full run's own end-of-data intent).
  EXPECT_EQ(r.signals, 4u);
  ASSERT_EQ(r.divergences.size(), 3u);  // the point at 9 is the full run itself
  for (std::size_t j = 0; j < 3; ++j) {
    EXPECT_EQ(r.divergences[j].checked_at, 3 * j);
    EXPECT_EQ(r.divergences[j].tick, 3 * j);
    EXPECT_EQ(r.divergences[j].full.size(), 1u);
    EXPECT_EQ(r.divergences[j].prefix.size(), 2u);
  }
}

}  // namespace
}  // namespace halvorn::backtest
