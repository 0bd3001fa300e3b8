// Runs over several instruments in one cross-margined account: the merge of
// their series, a liquidation that only the account as a whole calls for,
// funding and fees each at its own instrument's terms, and a portfolio of
// one instrument that runs exactly as a single-instrument run.

#include <gtest/gtest.h>

#include <random>
#include <span>
#include <utility>
#include <vector>

#include "backtest/kway_merge.hpp"
#include "backtest/run_loop.hpp"
#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using testing::market;
using testing::Scripted;
using testing::tick;

constexpr Cash USDT_CASH = 100'000'000;
constexpr std::uint32_t BTC = 1;
constexpr std::uint32_t ETH = 2;

// One bracket at 1 %: maintenance is a hundredth of the notional.
margin::TierTable one_percent() { return margin::TierTable{{{I64_MAX, 10'000'000, 0}}}; }

// BTC in ticks of 0.1 USDT and lots of 0.001 BTC (10_000 Cash a tick-lot),
// ETH in ticks of 0.01 USDT and lots of 0.001 ETH (1_000 Cash).
RunConfig btc_eth(Cash balance) {
  RunConfig c;
  c.balance = balance;
  c.instruments[0].instrument = InstrumentId{BTC};
  c.instruments[0].contract_size = 10'000;
  c.instruments[0].margin_tiers = one_percent();
  InstrumentConfig eth;
  eth.instrument = InstrumentId{ETH};
  eth.contract_size = 1'000;
  eth.margin_tiers = one_percent();
  c.instruments.push_back(eth);
  return c;
}

// The ticks of each instrument, merged.
struct Series {
  std::vector<engine::Tick> btc, eth;
  SpanTicks b{}, e{};
  std::optional<MergedTicks<SpanTicks>> merged;

  MergedTicks<SpanTicks>& merge() {
    b = SpanTicks{btc};
    e = SpanTicks{eth};
    merged.emplace(std::vector<SpanTicks*>{&b, &e},
                   std::vector<InstrumentId>{InstrumentId{BTC}, InstrumentId{ETH}});
    return *merged;
  }
};

TEST(PortfolioMerge, EqualTimesComeInTheOrderOfTheSourcesAndEachSourceInItsOwnOrder) {
  std::vector<engine::Tick> a = {tick(1, 10), tick(5, 11), tick(5, 12), tick(9, 13)};
  std::vector<engine::Tick> b = {tick(0, 20), tick(5, 21), tick(7, 22)};
  std::vector<engine::Tick> c = {tick(5, 30), tick(5, 31)};
  for (std::size_t block : {1u, 2u, 3u, 4096u}) {
    SpanTicks sa{a}, sb{b}, sc{c};
    MergedTicks<SpanTicks> m({&sa, &sb, &sc}, {InstrumentId{7}, InstrumentId{8}, InstrumentId{9}},
                             block);
    std::vector<std::pair<std::int64_t, std::int64_t>> got;  // (last, instrument)
    while (const engine::Tick* t = m.next_in_place())
      got.emplace_back(t->last, *m.last_instrument());
    EXPECT_EQ(got,
              (std::vector<std::pair<std::int64_t, std::int64_t>>{
                  {20, 8}, {10, 7}, {11, 7}, {12, 7}, {21, 8}, {30, 9}, {31, 9}, {22, 8}, {13, 7}}))
        << "block " << block;
  }
}

// Marks (and depth) of one time are applied in the order of the instruments:
// with cross margin, which mark comes first decides what a liquidation finds.
TEST(PortfolioMerge, MarksAndDepthOfEqualTimesComeInTheOrderOfTheSources) {
  std::vector<MarkPoint> a = {{1, 10}, {5, 11}, {5, 12}}, b = {{5, 20}, {6, 21}}, c = {{5, 30}};
  SpanMarks sa{a}, sb{b}, sc{c};
  MergedMarks<SpanMarks> marks({&sa, &sb, &sc},
                               {InstrumentId{7}, InstrumentId{8}, InstrumentId{9}});
  std::vector<std::pair<std::int64_t, std::uint32_t>> got;  // (price, instrument)
  for (MarkPoint m; marks.next(m);) got.emplace_back(m.price, marks.last_instrument().value);
  EXPECT_EQ(got, (std::vector<std::pair<std::int64_t, std::uint32_t>>{
                     {10, 7}, {11, 7}, {12, 7}, {20, 8}, {30, 9}, {21, 8}}));

  auto update = [](Nanos t) {
    book::DepthRecord r;
    r.time = t;
    return r;
  };
  std::vector<book::DepthRecord> d1 = {update(3)}, d2 = {update(3)};
  SpanDepth s1{d1}, s2{d2};
  MergedDepth<SpanDepth> depth({&s1, &s2}, {InstrumentId{1}, InstrumentId{2}});
  std::vector<std::uint32_t> order;
  for (book::DepthRecord r; depth.next(r);) order.push_back(depth.last_instrument().value);
  EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 2}));
}

TEST(PortfolioMerge, TicksAtTheLargestTimeComeAfterSourcesThatHaveEnded) {
  std::vector<engine::Tick> a = {tick(1, 10)};
  std::vector<engine::Tick> b = {tick(2, 20), tick(I64_MAX, 21)};
  std::vector<engine::Tick> c = {tick(I64_MAX, 30)};
  SpanTicks sa{a}, sb{b}, sc{c};
  MergedTicks<SpanTicks> m({&sa, &sb, &sc}, {InstrumentId{1}, InstrumentId{2}, InstrumentId{3}}, 2);
  std::vector<std::int64_t> got;
  while (const engine::Tick* t = m.next_in_place()) got.push_back(t->last);
  EXPECT_EQ(got, (std::vector<std::int64_t>{10, 20, 21, 30}));
}

TEST(PortfolioMerge, AgreesWithASortOfEverySeriesOnRandomInput) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 50; ++round) {
    const std::size_t k = 1 + rng() % 40;
    std::vector<std::vector<engine::Tick>> series(k);
    std::vector<std::tuple<Nanos, std::size_t, std::size_t>> expected;  // time, source, index
    for (std::size_t s = 0; s < k; ++s) {
      Nanos t = 0;
      const std::size_t n = rng() % 300;
      for (std::size_t i = 0; i < n; ++i) {
        t += static_cast<Nanos>(rng() % 4);  // many equal times, within and across sources
        series[s].push_back(tick(t, static_cast<std::int64_t>(s * 1000 + i)));
        expected.emplace_back(t, s, i);
      }
    }
    std::stable_sort(expected.begin(), expected.end());
    std::vector<SpanTicks> spans;
    for (auto& v : series) spans.push_back(SpanTicks{v});
    std::vector<SpanTicks*> sources;
    std::vector<InstrumentId> ids;
    for (std::size_t s = 0; s < k; ++s) {
      sources.push_back(&spans[s]);
      ids.push_back(InstrumentId{static_cast<std::uint32_t>(s + 1)});
    }
    MergedTicks<SpanTicks> m(sources, ids, 1 + rng() % 64);
    std::size_t at = 0;
    while (const engine::Tick* t = m.next_in_place()) {
      ASSERT_LT(at, expected.size());
      const auto& [time, s, i] = expected[at++];
      ASSERT_EQ(t->exch_ts, time);
      ASSERT_EQ(t->last, static_cast<std::int64_t>(s * 1000 + i));
      ASSERT_EQ(*m.last_instrument(), static_cast<std::int64_t>(s + 1));
    }
    EXPECT_EQ(at, expected.size());
  }
}

// Long 1 BTC at 60_000.0 and short 20 ETH at 3_000.00 on 2_000 USDT: each
// leg's notional is 60_000 USDT and its maintenance 600 USDT.  BTC falls to
// 59_600.0 (-400 USDT, maintenance 596) and the account still covers both
// legs (equity 1_600 against 1_196); ETH then rises to 3_020.00 (-400 USDT,
// maintenance 604): equity 1_200 is at the 1_200 both legs need, though
// either leg alone on the same balance would stand (1_600 against 596 or
// 604).  The venue closes both, each at its own last price, and takes the
// 1_200 USDT left once.
TEST(PortfolioRun, ACrossMarginedAccountIsLiquidatedWholeWhereNoLegAloneWouldBe) {
  Series s;
  s.btc = {tick(1, 600'000, 599'999, 600'000), tick(3, 600'000, 599'999, 600'000),
           tick(4, 596'000, 595'999, 596'000), tick(9, 597'000)};
  s.eth = {tick(2, 300'000, 300'000, 300'001), tick(5, 302'000, 301'999, 302'000)};
  Scripted strategy;
  strategy.script[0] = {market(1, Side::Buy, 1'000, BTC), market(2, Side::Sell, 20'000, ETH)};
  const RunConfig config = btc_eth(2'000 * USDT_CASH);
  const RunResult r = run_stream(config, strategy, s.merge());

  ASSERT_EQ(r.fills.size(), 2u);
  EXPECT_EQ(r.fills[0].instrument, InstrumentId{ETH});
  EXPECT_EQ(r.fills[0].price, 300'000);
  EXPECT_EQ(r.fills[1].instrument, InstrumentId{BTC});
  EXPECT_EQ(r.fills[1].price, 600'000);
  ASSERT_EQ(r.liquidations.size(), 2u);
  EXPECT_EQ(r.liquidations[0], (Liquidation{5, 596'000, 1'000, 0, 0, {BTC}}));
  EXPECT_EQ(r.liquidations[1], (Liquidation{5, 302'000, -20'000, 0, 1'200 * USDT_CASH, {ETH}}));
  EXPECT_EQ(r.realized, -800 * USDT_CASH);
  EXPECT_EQ(r.final_equity, 0);
  ASSERT_EQ(r.instruments.size(), 2u);
  EXPECT_EQ(r.instruments[0].realized, -400 * USDT_CASH);
  EXPECT_EQ(r.instruments[1].realized, -400 * USDT_CASH);
  EXPECT_EQ(r.instruments[0].ticks, 4u);
  EXPECT_EQ(r.instruments[1].ticks, 2u);
  // The strategy heard both closes before its call on the tick that
  // liquidated (the fifth).
  const auto& closes = strategy.closes[4];
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].instrument, InstrumentId{BTC});
  EXPECT_EQ(closes[1].instrument, InstrumentId{ETH});

  // Either leg alone, on the same balance and prices, is not liquidated.
  for (std::uint32_t alone : {BTC, ETH}) {
    Series one = s;
    (alone == BTC ? one.eth : one.btc) = {};
    Scripted single;
    single.script[0] = {alone == BTC ? market(1, Side::Buy, 1'000, BTC)
                                     : market(2, Side::Sell, 20'000, ETH)};
    const RunResult lone = run_stream(config, single, one.merge());
    EXPECT_TRUE(lone.liquidations.empty()) << "instrument " << alone;
    EXPECT_EQ(lone.fills.size(), 1u);
  }
}

// Fees at each instrument's own rates and funding at each one's own times
// and prices: BTC takers pay 0.05 %, ETH takers 0.10 %; BTC funds at 0.01 %
// at t=10, ETH at 0.02 % at t=12.
TEST(PortfolioRun, FeesAndFundingAreEachInstrumentsOwn) {
  Series s;
  s.btc = {tick(1, 600'000, 599'999, 600'000), tick(3, 600'000, 599'999, 600'000),
           tick(11, 600'000), tick(20, 600'000)};
  s.eth = {tick(2, 300'000, 300'000, 300'001), tick(13, 300'000)};
  Scripted strategy;
  strategy.script[0] = {market(1, Side::Buy, 1'000, BTC), market(2, Side::Sell, 20'000, ETH)};
  RunConfig config = btc_eth(100'000 * USDT_CASH);
  config.instruments[0].fee_rates = {0, 500'000};
  config.instruments[0].funding.rates = {{10, 100'000, 600'000}};
  config.instruments[1].fee_rates = {0, 1'000'000};
  config.instruments[1].funding.rates = {{12, 200'000, 300'000}};
  const RunResult r = run_stream(config, strategy, s.merge());

  ASSERT_EQ(r.fills.size(), 2u);
  // Notional 60_000 USDT each: 30 USDT of BTC fees, 60 of ETH fees.
  EXPECT_EQ(r.instruments[0].fees, 30 * USDT_CASH);
  EXPECT_EQ(r.instruments[1].fees, 60 * USDT_CASH);
  EXPECT_EQ(r.fees_paid, 90 * USDT_CASH);
  // The long pays 6 USDT of BTC funding; the short receives 12 of ETH's.
  EXPECT_EQ(r.instruments[0].funding, -6 * USDT_CASH);
  EXPECT_EQ(r.instruments[1].funding, 12 * USDT_CASH);
  EXPECT_EQ(r.funding_paid, 6 * USDT_CASH);
  EXPECT_EQ(r.final_equity, (100'000 - 90 + 6) * USDT_CASH);
  EXPECT_EQ(r.instruments[0].position, 1'000);
  EXPECT_EQ(r.instruments[1].position, -20'000);
}

// Every instrument is of one kind: listed the other way round, each still
// pays its own fees and funding, whichever holds the first place.
TEST(PortfolioRun, NoInstrumentIsSpecialForComingFirst) {
  Series s;
  s.btc = {tick(1, 600'000, 599'999, 600'000), tick(3, 600'000), tick(11, 600'000)};
  s.eth = {tick(2, 300'000, 300'000, 300'001), tick(13, 300'000)};
  Scripted strategy;
  strategy.script[0] = {market(1, Side::Buy, 1'000, BTC), market(2, Side::Sell, 20'000, ETH)};
  RunConfig config = btc_eth(100'000 * USDT_CASH);
  config.instruments[0].fee_rates = {0, 500'000};
  config.instruments[0].funding.rates = {{10, 100'000, 600'000}};
  config.instruments[1].fee_rates = {0, 1'000'000};
  config.instruments[1].funding.rates = {{12, 200'000, 300'000}};
  std::swap(config.instruments[0], config.instruments[1]);
  const RunResult r = run_stream(config, strategy, s.merge());

  ASSERT_EQ(r.instruments.size(), 2u);
  const InstrumentTotals& eth = r.instruments[0];
  const InstrumentTotals& btc = r.instruments[1];
  ASSERT_EQ(eth.instrument, InstrumentId{ETH});
  EXPECT_EQ(btc.fees, 30 * USDT_CASH);
  EXPECT_EQ(eth.fees, 60 * USDT_CASH);
  EXPECT_EQ(btc.funding, -6 * USDT_CASH);
  EXPECT_EQ(eth.funding, 12 * USDT_CASH);
  EXPECT_EQ(btc.ticks, 3u);
  EXPECT_EQ(eth.ticks, 2u);
}

TEST(PortfolioRun, AnAccountHoldsAtLeastOneInstrumentAndEachOnce) {
  Scripted strategy;
  SpanTicks none;
  RunConfig empty;
  empty.instruments.clear();
  EXPECT_THROW(run_stream(empty, strategy, none), Panic);
  RunConfig twice = btc_eth(USDT_CASH);
  twice.instruments[1].instrument = InstrumentId{BTC};
  EXPECT_THROW(run_stream(twice, strategy, none), Panic);
}

TEST(PortfolioRun, TheStrategySeesEveryInstrumentAndAnOrderForNoneIsRefusedVisibly) {
  Series s;
  s.btc = {tick(1, 600'000, 599'999, 600'000), tick(3, 600'000, 599'999, 600'000),
           tick(5, 600'000)};
  s.eth = {tick(2, 300'000, 300'000, 300'001), tick(4, 300'000)};
  Scripted strategy;
  strategy.script[0] = {market(1, Side::Buy, 5, BTC), market(2, Side::Buy, 5, 3),
                        testing::limit(3, Side::Buy, 1, 1, ETH)};
  const RunResult r = run_stream(btc_eth(10'000 * USDT_CASH), strategy, s.merge());
  EXPECT_EQ(r.foreign_intents, 1u);
  ASSERT_EQ(strategy.seen.size(), 5u);
  EXPECT_EQ(strategy.seen[1].instrument, InstrumentId{ETH});
  // Before BTC's fill: one order working in each instrument.
  const auto& at_eth = strategy.positions[1];
  ASSERT_EQ(at_eth.size(), 2u);
  EXPECT_EQ(at_eth[0].working, 1u);
  EXPECT_EQ(at_eth[1].working, 1u);
  EXPECT_EQ(strategy.seen[1].working, 1u);  // the tick's own instrument's
  EXPECT_EQ(strategy.seen[1].position, 0);
  // After it: BTC long 5, shown on an ETH tick too; BTC's order is done.
  const auto& later = strategy.positions[3];
  EXPECT_EQ(strategy.seen[3].instrument, InstrumentId{ETH});
  EXPECT_EQ(later[0].position, 5);
  EXPECT_EQ(later[0].entry, 600'000);
  EXPECT_EQ(later[0].working, 0u);
  EXPECT_EQ(later[1].working, 1u);
  EXPECT_EQ(strategy.seen[3].position, 0);  // the tick's own instrument, ETH, is flat
  // The order for instrument 3 ended refused, heard on the next tick.
  EXPECT_EQ(strategy.endings[1],
            (std::vector<strategy::OrderEnding>{
                {2, strategy::rejected_for(RejectReason::UnknownInstrument)}}));
}

// A portfolio of one instrument is the single-instrument run, fill for fill,
// whatever the strategy does.
TEST(PortfolioRun, OneInstrumentThroughTheMergeIsTheSingleRun) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 40; ++round) {
    std::vector<engine::Tick> ticks;
    std::int64_t price = 600'000;
    for (Nanos t = 0; t < 400; ++t) {
      price += static_cast<std::int64_t>(rng() % 41) - 20;
      ticks.push_back(tick(t, price, price - 1, price + 1, price + 3, price - 3));
    }
    Scripted a, b;
    for (std::size_t call = 0; call < ticks.size(); ++call) {
      if (rng() % 7 != 0) continue;
      const Side side = rng() % 2 ? Side::Buy : Side::Sell;
      const OrderId id = call + 1;
      a.script[call] = {
          rng() % 2 ? market(id, side, 1 + rng() % 50)
                    : testing::limit(id, side, price + static_cast<std::int64_t>(rng() % 21) - 10,
                                     1 + rng() % 50)};
    }
    b.script = a.script;
    RunConfig config;
    config.balance = 50 * USDT_CASH;  // small: some rounds liquidate
    config.instruments[0].fee_rates = {-100'000, 400'000};
    config.instruments[0].funding.rates = {{100, 100'000, 0}, {300, -50'000, 0}};
    config.equity_every = 7;
    SpanTicks plain{ticks};
    const RunResult single = run_stream(config, a, plain);
    SpanTicks inner{ticks};
    MergedTicks<SpanTicks> merged({&inner}, {InstrumentId{1}}, 1 + rng() % 100);
    const RunResult through = run_stream(config, b, merged);
    ASSERT_EQ(single.fills, through.fills);
    EXPECT_EQ(single.liquidations, through.liquidations);
    EXPECT_EQ(single.equity_curve, through.equity_curve);
    EXPECT_EQ(single.final_equity, through.final_equity);
    EXPECT_EQ(single.instruments, through.instruments);
    EXPECT_EQ(a.endings, b.endings);
  }
}

}  // namespace
}  // namespace halvorn::backtest
