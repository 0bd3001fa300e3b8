// An L2 run over a depth file that never changes the book near the orders
// agrees with the L1 run of the same orders, with zero latency and no
// impact, wherever the engine's rules say it must.
//
// Why they must agree, rule by rule:
//   - With zero order latency an order reaches the venue at once on both
//     tiers.
//   - An L2 limit order queues behind the displayed size at its own price on
//     its own side.  The book never has a level at any price an order uses,
//     so that size is 0 and the order rests at once, as every limit order
//     does under L1's Off queue model.
//   - An L2 taker fill is priced at the worse of the L0 price and the depth
//     average.  The best level opposite each taker order sits exactly at the
//     tick's quote (the L0 price of a market order) with more than all the
//     orders of a run could take, so the average is the L0 price; L1 with an
//     impact of 0 leaves it there too.
//   - Report latency is 0 on both, and the depth stream never breaks, so no
//     tick is invalid.
// So every fill agrees field for field, sequence numbers included, and with
// them everything the run derives from fills and ticks: fees, realised
// profit, the equity curve and its minimum, the margin statistics, the
// adverse excursion, the contexts and feedback the strategy was shown.  Only
// the tier's name and the count of depth records applied differ.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backtest/run_loop.hpp"
#include "core/account.hpp"
#include "cpp/data/files.hpp"
#include "data/depth_reader.hpp"
#include "data/depth_writer.hpp"
#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using book::DepthRecord;
using book::DepthSnapshot;
using book::DepthUpdate;
using book::Level;
using testing::limit;
using testing::market;
using testing::Scripted;

constexpr std::int64_t BID = 999;
constexpr std::int64_t ASK = 1001;
constexpr std::int64_t DEEP = 1'000'000'000'000;

struct Market {
  std::vector<engine::Tick> ticks;
  std::vector<DepthRecord> depth;
  std::map<std::size_t, std::vector<strategy::Intent>> script;
};

// Prices wander between 994 and 1006 under a fixed quote of 999 / 1001;
// the depth changes only at 990 and below, 1010 and above.  Orders: market
// orders, resting limits at 995-998 and 1003-1006, marketable limits at 1003
// (buys) and 997 (sells), cancels of earlier orders and now and then a
// cancel-all.  The best ask of the depth is touch_ask.
Market random_market(std::uint64_t seed, std::int64_t touch_ask) {
  std::mt19937_64 rng(seed);
  auto pick = [&](std::uint64_t n) { return static_cast<std::int64_t>(rng() % n); };
  Market m;
  const std::vector<Level> far_bids = {{990, 5}, {980, 7}}, far_asks = {{1010, 5}, {1020, 7}};
  std::vector<Level> bids = {{BID, DEEP}}, asks = {{touch_ask, DEEP}};
  bids.insert(bids.end(), far_bids.begin(), far_bids.end());
  asks.insert(asks.end(), far_asks.begin(), far_asks.end());
  m.depth.push_back(DepthRecord{0, DepthSnapshot{100, bids, asks}});
  std::uint64_t id = 100;
  std::int64_t last = 1000, volume = 0;
  OrderId order = 0;
  for (std::size_t i = 0; i < 3000; ++i) {
    const Nanos t = static_cast<Nanos>(i + 1) * 1'000;
    // Depth between the previous tick and this one, sometimes at its time.
    for (int k = pick(4); k > 0; --k) {
      const Nanos at = std::max(t - (rng() % 3 == 0 ? 0 : 1 + pick(999)), m.depth.back().time);
      DepthUpdate u{std::nullopt, {}, {}, 0, id + 1, id + 1 + static_cast<std::uint64_t>(pick(3))};
      id = u.final_id;
      for (int j = 1 + pick(3); j > 0; --j) {
        if (rng() % 2) {
          u.bids.push_back({900 + pick(91), pick(20)});
        } else {
          u.asks.push_back({1010 + pick(91), pick(20)});
        }
      }
      m.depth.push_back(DepthRecord{at, std::move(u)});
    }
    if (i == 1500) {  // a fresh snapshot of the same book mid-stream
      m.depth.push_back(DepthRecord{t, DepthSnapshot{id, bids, asks}});
    }
    last = std::clamp<std::int64_t>(last + pick(3) - 1, 994, 1006);
    volume += pick(20);
    m.ticks.push_back(engine::Tick{t, t, last, last + pick(3), last - pick(3), BID, ASK, volume});

    std::vector<strategy::Intent> intents;
    switch (pick(10)) {
      case 0:
        intents.push_back(market(++order, rng() % 2 ? Side::Buy : Side::Sell, 1 + pick(5)));
        break;
      case 1:
        intents.push_back(limit(++order, Side::Buy, 995 + pick(4), 1 + pick(3)));
        break;
      case 2:
        intents.push_back(limit(++order, Side::Sell, 1003 + pick(4), 1 + pick(3)));
        break;
      case 3:
        intents.push_back(rng() % 2 ? limit(++order, Side::Buy, 1003, 1)
                                    : limit(++order, Side::Sell, 997, 1));
        break;
      case 4:
        if (order > 0) intents.push_back(strategy::intent::Cancel{1 + rng() % order});
        break;
      case 5:
        if (rng() % 20 == 0) intents.push_back(strategy::intent::CancelAll{});
        break;
      default:
        break;
    }
    if (!intents.empty()) m.script[i] = std::move(intents);
  }
  return m;
}

RunConfig config_for(core::Tier tier) {
  RunConfig c;
  c.instruments[0].tier = std::move(tier);
  c.balance = 1'000'000'000'000'000;
  c.instruments[0].contract_size = 10'000;
  c.instruments[0].fee_rates = {200'000, 500'000};
  c.equity_every = 13;
  c.track_margin = true;
  return c;
}

struct Outcome {
  RunResult result;
  Scripted strategy;
};

Outcome run_l1(const Market& m) {
  Outcome r;
  r.strategy.script = m.script;
  SpanTicks ticks{m.ticks};
  r.result = run_stream(config_for(core::Tier{core::Tier::L1{}}), r.strategy, ticks);
  return r;
}

Outcome run_l2_over_file(const Market& m) {
  data::testing::ScratchDir dir;
  const std::string path = dir.file("depth.hvdp");
  auto begun = data::DepthWriter::begin(path, 1);
  auto& writer = std::get<data::DepthWriter>(begun);
  for (const DepthRecord& r : m.depth) EXPECT_FALSE(writer.add(r));
  EXPECT_EQ(writer.commit(), 0);
  data::StreamedDepth depth(std::get<data::DepthReader>(data::DepthReader::open(path)));
  Outcome r;
  r.strategy.script = m.script;
  SpanTicks ticks{m.ticks};
  r.result = run_stream(config_for(core::Tier{core::Tier::L2{}}), r.strategy, ticks, depth);
  EXPECT_FALSE(depth.error());
  return r;
}

TEST(DepthEquivalence, AnL2RunOverQuietDepthAgreesWithTheL1Run) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    const Market m = random_market(seed, ASK);
    const Outcome l1 = run_l1(m);
    const Outcome l2 = run_l2_over_file(m);
    const RunResult& a = l1.result;
    const RunResult& b = l2.result;

    // What differs.
    EXPECT_EQ(a.tier, "L1");
    EXPECT_EQ(b.tier, "L2");
    EXPECT_EQ(a.depth_records, 0u);
    EXPECT_GT(b.depth_records, 3000u);

    // What must agree.
    EXPECT_EQ(a.fills, b.fills) << "seed " << seed;
    EXPECT_EQ(a.liquidations, b.liquidations);
    EXPECT_EQ(a.equity_curve, b.equity_curve);
    EXPECT_EQ(a.ticks, b.ticks);
    EXPECT_EQ(a.final_equity, b.final_equity);
    EXPECT_EQ(a.realized, b.realized);
    EXPECT_EQ(a.funding_paid, b.funding_paid);
    EXPECT_EQ(a.fees_paid, b.fees_paid);
    EXPECT_EQ(a.min_equity, b.min_equity);
    EXPECT_EQ(a.max_adverse, b.max_adverse);
    EXPECT_EQ(a.invalid_ticks, 0u);
    EXPECT_EQ(b.invalid_ticks, 0u);
    EXPECT_EQ(a.foreign_intents, b.foreign_intents);
    ASSERT_TRUE(a.margin && b.margin);
    EXPECT_EQ(a.margin->peak_maintenance, b.margin->peak_maintenance);
    EXPECT_EQ(a.margin->min_headroom, b.margin->min_headroom);
    EXPECT_EQ(l1.strategy.fills, l2.strategy.fills);
    EXPECT_EQ(l1.strategy.endings, l2.strategy.endings);
    ASSERT_EQ(l1.strategy.seen.size(), l2.strategy.seen.size());
    for (std::size_t i = 0; i < l1.strategy.seen.size(); ++i) {
      const auto &x = l1.strategy.seen[i], &y = l2.strategy.seen[i];
      ASSERT_TRUE(x.position == y.position && x.entry == y.entry && x.equity == y.equity &&
                  x.working == y.working)
          << "seed " << seed << ", call " << i;
    }

    // The runs did enough for the agreement to mean something: takers and
    // makers on both sides, and orders still resting at some point.
    std::size_t takers = 0, makers = 0, buys = 0;
    for (const Fill& f : b.fills) {
      (f.taker ? takers : makers) += 1;
      buys += f.side == Side::Buy;
    }
    EXPECT_GT(takers, 100u);
    EXPECT_GT(makers, 100u);
    EXPECT_GT(buys, 100u);
    EXPECT_GT(b.fills.size() - buys, 100u);
  }
}

TEST(DepthEquivalence, TheAgreementComesFromTheDepthNotFromIgnoringIt) {
  // The same stream with the best ask one tick above the quote: every taker
  // buy now pays at least 1002 on L2 (the depth average, or its own price
  // when that is worse, as for a marketable limit crossed at its limit), and
  // only the taker buys differ.
  const Market m = random_market(1, ASK + 1);
  const Outcome l1 = run_l1(m);
  const Outcome l2 = run_l2_over_file(m);
  ASSERT_EQ(l1.result.fills.size(), l2.result.fills.size());
  std::size_t moved = 0;
  for (std::size_t i = 0; i < l1.result.fills.size(); ++i) {
    Fill f = l1.result.fills[i];
    if (f.taker && f.side == Side::Buy && f.price < ASK + 1) {
      EXPECT_EQ(f.price, ASK);
      f.price = ASK + 1;
      // and pays the fee of that price
      const RunConfig config = config_for(core::Tier{});
      f.fee =
          core::fill_fee(f, config.instruments[0].contract_size, config.instruments[0].fee_rates);
      ++moved;
    }
    EXPECT_EQ(f, l2.result.fills[i]) << "fill " << i;
  }
  EXPECT_GT(moved, 50u);
}

}  // namespace
}  // namespace halvorn::backtest
