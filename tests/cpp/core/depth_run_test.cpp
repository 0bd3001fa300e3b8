// The higher tiers through the kernel: which matcher each tier builds, where
// depth and snapshots go, and one account run over a synthetic stream whose
// depth breaks and is restored, with its outcome pinned.

#include <gtest/gtest.h>

#include <vector>

#include "core/kernel.hpp"

namespace halvorn::core {
namespace {

using book::Level;

constexpr InstrumentId ONE{1};
constexpr InstrumentId TWO{2};
constexpr Nanos MS = 1'000'000;

engine::L1Config lagged() {
  engine::L1Config c;
  c.order_latency.kind = engine::Latency::Fixed{1 * MS};
  c.report_latency.kind = engine::Latency::Fixed{2 * MS};
  c.impact_pct = 100;
  return c;
}

State account(const Tier& tier) {
  State s = State::create(ONE, 1, margin::TierTable::example_btcusdt(), 1'000'000'000'000'000);
  return State::matching_with(std::move(s), Tier::matcher(tier, ONE));
}

const engine::L2Engine& l2_of(const Kernel& k) {
  return *std::get<std::unique_ptr<engine::L2Engine>>(k.state().holdings.front().matcher.engine);
}

Event tick(std::int64_t ms, std::int64_t volume, std::int64_t last, std::int64_t high,
           std::int64_t low, std::int64_t bid = 0, std::int64_t ask = 0) {
  return event::Tick{engine::Tick{ms * MS, ms * MS, last, high, low, bid, ask, volume},
                     std::nullopt};
}

Event submit(OrderId id, Side side, QtyLots qty, std::int64_t ms,
             std::optional<std::int64_t> price = std::nullopt) {
  return event::Submit{id, side, Offset::Open, qty, ms * MS, ms * MS, std::nullopt, price, {}};
}

Event depth(std::uint64_t first, std::uint64_t final, std::int64_t ms, std::vector<Level> bids,
            std::vector<Level> asks) {
  return event::Depth{book::DepthUpdate{std::nullopt, bids, asks, ms, first, final}};
}

Event snapshot(std::uint64_t id, std::vector<Level> bids, std::vector<Level> asks) {
  return event::Snapshot{book::DepthSnapshot{id, bids, asks}};
}

TEST(Tiers, EachTierBuildsItsEngineAndReportsItsName) {
  const Tier tiers[] = {Tier{}, Tier{Tier::L1{lagged()}}, Tier{Tier::L2{lagged()}}};
  const char* names[] = {"L0", "L1", "L2"};
  for (std::size_t i = 0; i < 3; ++i) {
    Matcher m = Tier::matcher(tiers[i], TWO);
    EXPECT_STREQ(tiers[i].name(), names[i]);
    EXPECT_STREQ(m.tier_name(), names[i]);
    EXPECT_EQ(m.engine.index(), i);
    EXPECT_EQ(m.instrument(), TWO);
    EXPECT_FALSE(m.cancel(42));
    EXPECT_EQ(m.cancel_all(), 0u);
    EXPECT_TRUE(m.drain_unreported().empty());
    EXPECT_EQ(m.invalid_ticks(), 0u);
    // Only L2 keeps depth.
    EXPECT_EQ(m.on_depth(book::DepthUpdate{}).has_value(), i == 2);
    EXPECT_EQ(m.on_snapshot(book::DepthSnapshot{}), i == 2);
  }
  const Matcher l1 = Tier::matcher(Tier{Tier::L1{lagged()}}, ONE);
  EXPECT_NE(std::get<std::unique_ptr<engine::L1Engine>>(l1.engine), nullptr);
  EXPECT_LT(sizeof(Matcher), sizeof(engine::L1Engine));
  EXPECT_EQ(std::get<std::unique_ptr<engine::L1Engine>>(l1.engine)->config, lagged());
}

TEST(KernelDepth, GoesToTheOnlyHoldingsL2MatcherAndIsOtherwiseIgnored) {
  Kernel single(account(Tier{Tier::L2{{}}}));
  EXPECT_TRUE(single.apply(snapshot(10, {{99, 1}}, {{101, 1}})).empty());
  EXPECT_TRUE(single.apply(depth(11, 11, 0, {{99, 4}}, {})).empty());
  EXPECT_EQ(l2_of(single).depth.bids.qty_at(99), 4);
  EXPECT_TRUE(l2_of(single).depth_ready);

  State two = account(Tier{Tier::L2{{}}});
  two.holdings.emplace_back(TWO, 1, margin::TierTable::example_btcusdt(),
                            Tier::matcher(Tier{Tier::L2{{}}}, TWO));
  Kernel several(std::move(two));
  EXPECT_TRUE(several.apply(snapshot(10, {{99, 1}}, {})).empty());
  EXPECT_TRUE(several.apply(depth(11, 11, 0, {{99, 4}}, {})).empty());
  EXPECT_EQ(l2_of(several).depth, book::Book{});
  EXPECT_FALSE(l2_of(several).resync_pending);

  Kernel l1(account(Tier{Tier::L1{{}}}));
  EXPECT_TRUE(l1.apply(snapshot(10, {{99, 1}}, {})).empty());
  EXPECT_TRUE(l1.apply(depth(11, 11, 0, {{99, 4}}, {})).empty());
}

std::vector<Fill> fills_of(std::span<const Output> outputs) {
  std::vector<Fill> out;
  for (const Output& o : outputs) {
    if (const auto* f = std::get_if<output::Fill>(&o)) out.push_back(*f);
  }
  return out;
}

TEST(KernelDepth, ASyntheticStreamLosesItsDepthAndASnapshotRestoresIt) {
  Kernel k(account(Tier{Tier::L2{lagged()}}));
  const std::vector<Event> stream = {
      snapshot(1'000, {{99'990, 5}, {99'980, 10}}, {{100'010, 4}, {100'020, 6}}),
      tick(1, 1'000, 100'000, 100'010, 99'990, 99'990, 100'010),
      // Both arrive at 2 ms; the buy limit sees 5 ahead now, but its place is
      // read when it arrives, after the update below raises the level to 8.
      submit(1, Side::Buy, 6, 1),
      submit(2, Side::Buy, 2, 1, 99'990),
      depth(1'001, 1'001, 2, {{99'990, 8}}, {}),
      // The market buy walks the asks: (4 x 100_010 + 2 x 100_020) / 6,
      // rounded up.  The limit joins the queue with 8 ahead.
      tick(2, 1'010, 100'000, 100'010, 99'990, 99'990, 100'010),
      tick(3, 1'016, 100'000, 100'010, 99'990, 99'990, 100'010),  // 6 traded: 2 ahead
      depth(1'002, 1'002, 3, {}, {{100'010, 0}, {100'015, 3}}),
      depth(1'005, 1'006, 3, {{99'990, 1}}, {}),  // 1003 and 1004 are missing
      submit(3, Side::Sell, 1, 3),
      // Invalid: only the market buy's report comes through.
      tick(4, 1'030, 99'995, 100'000, 99'990),
      tick(5, 1'040, 99'990, 99'995, 99'985),
      snapshot(2'000, {{99'990, 3}, {99'980, 7}}, {{100'000, 2}, {100'005, 5}}),
      // Valid again: the sell arrives and takes the bid; the queued buy sees
      // 10 traded and rests; no crossing on the first tick after the break.
      tick(6, 1'050, 99'995, 100'000, 99'990, 99'990, 100'000),
      depth(2'001, 2'001, 6, {{99'990, 1}}, {}),
      // The fall through 99_990 crosses the resting buy at its price.
      tick(7, 1'060, 99'985, 99'990, 99'980, 99'980, 99'990),
      tick(8, 1'070, 99'985, 99'990, 99'980, 99'980, 99'990),
  };
  std::vector<Fill> fills;
  std::vector<std::size_t> reported_at;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    for (const Fill& f : fills_of(k.apply(stream[i]))) {
      fills.push_back(f);
      reported_at.push_back(i);
    }
  }
  const engine::L2Engine& l2 = l2_of(k);
  EXPECT_EQ(l2.invalid_ticks, 2u);
  EXPECT_EQ(k.state().holdings.front().matcher.invalid_ticks(), 2u);
  EXPECT_TRUE(l2.depth_ready);
  EXPECT_FALSE(l2.resync_pending);
  EXPECT_EQ(l2.depth.snapshot_id, 2'000u);
  EXPECT_EQ(l2.depth.last_final_id, 2'001u);
  EXPECT_EQ(l2.depth.applied, 1u);

  for (const Fill& f : fills_of(k.settle_unreported())) {
    fills.push_back(f);
    reported_at.push_back(stream.size());
  }
  const std::vector<Fill> expected = {
      {2 * MS, 2 * MS, 1, 1, 100'014, 6, ONE, Side::Buy, Offset::Open, true},
      {6 * MS, 6 * MS, 3, 2, 99'990, 1, ONE, Side::Sell, Offset::Open, true},
      {6 * MS, 6 * MS, 2, 3, 99'990, 2, ONE, Side::Buy, Offset::Open, false},
  };
  EXPECT_EQ(fills, expected);
  EXPECT_EQ(reported_at, (std::vector<std::size_t>{10, 16, stream.size()}));
  EXPECT_TRUE(k.live().empty());
  EXPECT_EQ(k.summary().long_size, 7);
}

}  // namespace
}  // namespace halvorn::core
