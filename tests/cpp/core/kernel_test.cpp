// The kernel step: refusals, booking order, funding, fees, external fills and
// liquidation with its write-off.

#include "core/kernel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvorn::core {
namespace {

constexpr InstrumentId ONE{1};
constexpr InstrumentId TWO{2};
constexpr std::int64_t CS = 10'000;

State account(Cash balance, std::int64_t contract_size = CS) {
  State s = State::create(ONE, contract_size, margin::TierTable::example_btcusdt(), balance);
  s.fees_known = true;
  return State::matching_with(std::move(s), Tier::matcher(Tier{}, ONE));
}

void add_holding(State& s, InstrumentId instrument) {
  s.holdings.emplace_back(instrument, CS, margin::TierTable::example_btcusdt(),
                          Tier::matcher(Tier{}, instrument));
}

Event tick(Nanos t, std::int64_t last, std::int64_t bid = 0, std::int64_t ask = 0,
           std::optional<InstrumentId> instrument = std::nullopt) {
  return event::Tick{engine::Tick{t, t, last, 0, 0, bid, ask, 0}, instrument};
}

Event submit(OrderId id, Side side, QtyLots qty, std::optional<std::int64_t> price = std::nullopt,
             std::optional<InstrumentId> instrument = ONE) {
  return event::Submit{id, side, Offset::Open, qty, 0, 0, instrument, price, {}};
}

Event external(OrderId order, Side side, QtyLots qty, std::int64_t price, event::ExternalFee fee,
               InstrumentId instrument = ONE, bool taker = false) {
  return event::ExternalFill{
      Fill{0, 0, order, 1, price, qty, instrument, side, Offset::Open, taker}, fee};
}

std::vector<OrderId> live_ids(const Kernel& k) { return {k.live().begin(), k.live().end()}; }

std::vector<Output> run(Kernel& k, const Event& e) {
  auto out = k.apply(e);
  return {out.begin(), out.end()};
}

// Opens a long of qty lots at price with a market order and one tick.
void open_long(Kernel& k, OrderId id, QtyLots qty, std::int64_t price) {
  ASSERT_TRUE(run(k, submit(id, Side::Buy, qty)).empty());
  auto out = run(k, tick(1, price, 0, price));
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(std::get<output::Fill>(out[0]).qty, qty);
}

TEST(KernelSubmit, RefusalsComeInTheirOrderAndLeaveLiveAlone) {
  Kernel k(account(1'000));
  EXPECT_EQ(run(k, submit(1, Side::Buy, 0)),
            std::vector<Output>{(output::Rejected{RejectReason::NonPositiveQuantity, 1})});
  EXPECT_TRUE(k.live().empty());
  EXPECT_TRUE(run(k, submit(1, Side::Buy, 1, 50)).empty());
  EXPECT_EQ(run(k, submit(1, Side::Buy, 1)),
            std::vector<Output>{(output::Rejected{RejectReason::DuplicateId, 1})});
  EXPECT_EQ(run(k, submit(2, Side::Buy, 1, std::nullopt, TWO)),
            std::vector<Output>{(output::Rejected{RejectReason::UnknownInstrument, 2})});
  EXPECT_EQ(live_ids(k), std::vector<OrderId>{1});
  EXPECT_EQ(k.state().time, 0);

  Kernel broke(account(0));
  EXPECT_EQ(run(broke, submit(3, Side::Buy, 1)),
            std::vector<Output>{(output::Rejected{RejectReason::NoBalance, 3})});
}

TEST(KernelTick, BooksFillsInMatcherOrderWithTheirFeesAndFreesTheirIds) {
  State s = account(1'000'000'000);
  s.holdings.front().fee_rates = {100'000, 500'000};
  Kernel k(std::move(s));
  run(k, submit(1, Side::Buy, 2, 100));
  run(k, submit(2, Side::Sell, 1));
  auto out = run(k, tick(50, 100, 99, 100));
  ASSERT_EQ(out.size(), 2u);
  const Fill first = std::get<output::Fill>(out[0]);
  const Fill second = std::get<output::Fill>(out[1]);
  EXPECT_EQ(first, (Fill{50, 50, 2, 1, 99, 1, ONE, Side::Sell, Offset::Open, true, 0, 495}));
  EXPECT_EQ(second.order, 1u);
  EXPECT_EQ(second.price, 100);
  // Taker 990_000 x 0.05 % truncated, then maker 2_000_000 x 0.01 %.
  EXPECT_EQ(k.state().fees, 495 + 200);
  // Short 1 at 99 bought back at 100, then long 1 at 100.
  EXPECT_EQ(k.state().realized, -10'000);
  const Summary sum = k.summary();
  EXPECT_EQ(sum.long_size, 1);
  EXPECT_EQ(sum.long_entry, 100);
  EXPECT_EQ(sum.balance, 1'000'000'000 - 695 - 10'000);
  EXPECT_EQ(sum.last, 100);
  EXPECT_EQ(sum.time, 50);
  EXPECT_TRUE(sum.fees_complete);
  EXPECT_TRUE(k.live().empty());
  // Once filled, the id may be used again.
  EXPECT_TRUE(run(k, submit(1, Side::Buy, 1, 10)).empty());
}

TEST(KernelTick, AMarketableLimitPaysTheTakerRateOnItsFirstTickOnly) {
  State s = account(1'000'000'000);
  s.holdings.front().fee_rates = {200'000, 500'000};
  Kernel k(std::move(s));
  run(k, tick(1, 100, 99, 101));
  run(k, submit(1, Side::Buy, 1, 101));  // at the ask: takes
  run(k, submit(2, Side::Buy, 1, 100));  // inside the spread: rests
  auto out = run(k, tick(2, 100, 99, 100));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::get<output::Fill>(out[0]).order, 1u);
  EXPECT_TRUE(std::get<output::Fill>(out[0]).taker);
  EXPECT_FALSE(std::get<output::Fill>(out[1]).taker);
  // A notional of 1 x 100 x 10_000: 500 at 0.05 %, 200 at 0.02 %.
  EXPECT_EQ(k.state().fees, 500 + 200);

  // Marketable when sent, but the ask moves away and the order outlives its
  // first tick: when the price comes back it fills as a maker.
  run(k, submit(3, Side::Sell, 1, 99));
  EXPECT_TRUE(run(k, tick(3, 97, 97, 98)).empty());
  out = run(k, tick(4, 99, 99, 100));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(std::get<output::Fill>(out[0]).taker);
  EXPECT_EQ(std::get<output::Fill>(out[0]).price, 99);
  EXPECT_EQ(k.state().fees, 500 + 200 + 198);  // 990_000 at 0.02 %
}

TEST(KernelCancel, CancelsWhatAMatcherHoldsAndIgnoresTheRest) {
  Kernel k(account(1'000));
  run(k, submit(1, Side::Buy, 1, 50));
  run(k, submit(2, Side::Buy, 1, 50));
  EXPECT_TRUE(run(k, event::Cancel{9}).empty());
  EXPECT_EQ(run(k, event::Cancel{1}), std::vector<Output>{output::Canceled{1}});
  EXPECT_EQ(live_ids(k), std::vector<OrderId>{2});
  EXPECT_TRUE(run(k, event::Cancel{1}).empty());
}

TEST(KernelResolve, EventsWithoutInstrumentNeedExactlyOneHolding) {
  State s = account(1'000);
  add_holding(s, TWO);
  Kernel k(std::move(s));
  EXPECT_EQ(run(k, tick(5, 100)),
            std::vector<Output>{(output::Rejected{RejectReason::UnknownInstrument, 0})});
  EXPECT_EQ(k.state().time, 0);
  EXPECT_TRUE(run(k, tick(5, 100, 0, 0, TWO)).empty());
  EXPECT_EQ(k.state().holdings[1].last, 100);
  EXPECT_EQ(k.state().holdings[0].last, 0);
  // Funding and reported funding take their time even when refused.
  EXPECT_EQ(run(k, event::FundingPaid{9, 1, std::nullopt}),
            std::vector<Output>{(output::Rejected{RejectReason::UnknownInstrument, 0})});
  EXPECT_EQ(k.state().time, 9);
}

TEST(KernelFunding, SettlesEachLegAndSkipsFlatAccounts) {
  Kernel flat(account(100'000'000'000));
  const margin::FundingRate rate{7, 100'000, 600'000};
  EXPECT_TRUE(run(flat, event::Funding{rate, std::nullopt}).empty());
  EXPECT_EQ(flat.state().time, 7);
  EXPECT_EQ(flat.state().balance(), 100'000'000'000);

  Kernel k(account(100'000'000'000));
  open_long(k, 1, 100, 600'000);
  EXPECT_EQ(run(k, event::Funding{rate, std::nullopt}),
            std::vector<Output>{(output::Funded{-60'000'000, 7})});
  EXPECT_EQ(k.state().funding, -60'000'000);
  EXPECT_EQ(k.state().balance(), 100'000'000'000 - 60'000'000);

  EXPECT_EQ(run(k, event::FundingPaid{8, 5, std::nullopt}),
            std::vector<Output>{(output::Funded{5, 8})});
  EXPECT_EQ(k.state().funding, -60'000'000 + 5);

  // Hedge mode: the long pays, the short receives, one Funded for the sum.
  State hedged = account(100'000'000'000);
  hedged.hedge = true;
  hedged.external_fills = true;
  Kernel h(std::move(hedged));
  run(h, tick(1, 600'000));
  run(h, external(1, Side::Buy, 100, 600'000, event::fee::Reported{0}));
  run(h, external(2, Side::Sell, 30, 600'000, event::fee::Reported{0}));
  EXPECT_EQ(run(h, event::Funding{rate, std::nullopt}),
            std::vector<Output>{(output::Funded{-60'000'000 + 18'000'000, 7})});
}

TEST(KernelLiquidation, TheWorkedExampleLiquidatesAt502008InBothModes) {
  for (bool hedge : {false, true}) {
    SCOPED_TRACE(hedge);
    State s = account(100'000'000'000);
    s.hedge = hedge;
    Kernel k(std::move(s));
    open_long(k, 1, 100, 600'000);
    run(k, submit(2, Side::Buy, 1, 1));
    EXPECT_TRUE(run(k, tick(2, 502'009)).empty());
    EXPECT_EQ(
        run(k, tick(3, 502'008)),
        std::vector<Output>{(output::Liquidated{ONE, 3, 502'008, 100, 0, 2'008'000'000, 100, 0})});
    EXPECT_EQ(k.state().realized, -97'992'000'000);
    EXPECT_EQ(k.state().forfeited, 2'008'000'000);
    EXPECT_EQ(k.state().balance(), 0);
    EXPECT_TRUE(k.live().empty());
    EXPECT_TRUE(k.state().holdings[0].is_flat());
    // The resting order went with the account, without a Canceled report.
    EXPECT_TRUE(run(k, event::Cancel{2}).empty());
    EXPECT_EQ(run(k, submit(3, Side::Buy, 1)),
              std::vector<Output>{(output::Rejected{RejectReason::NoBalance, 3})});
    run(k, event::Transfer{1, 4});
    EXPECT_TRUE(run(k, submit(3, Side::Buy, 1)).empty());
  }
}

// The worked example's long of 100 lots from 600_000 is liquidated at a
// last trade of 502_008.  With a mark stream, a wick of the last trade to
// 502_008 that the mark does not follow leaves the account standing; the
// mark falling there liquidates it, closing the leg at the mark; and a
// funding settlement without a price of its own is priced at the mark.
TEST(KernelMark, TheMarkNotTheLastTradeValuesTestsAndPricesFunding) {
  for (bool hedge : {false, true}) {
    SCOPED_TRACE(hedge);
    State s = account(100'000'000'000);
    s.hedge = hedge;
    Kernel k(std::move(s));
    open_long(k, 1, 100, 600'000);
    EXPECT_TRUE(run(k, event::Mark{2, 560'000, std::nullopt}).empty());
    EXPECT_TRUE(run(k, tick(3, 502'008)).empty()) << "a wick the mark does not follow";
    EXPECT_EQ(k.state().holdings[0].last, 560'000);
    EXPECT_EQ(k.state().equity(), 100'000'000'000 - 40'000 * 100 * CS);

    // 0.01 % of 100 lots at the mark of 560_000, paid by the long.
    EXPECT_EQ(run(k, event::Funding{margin::FundingRate{4, 100'000, 0}, std::nullopt}),
              std::vector<Output>{(output::Funded{-56'000'000, 4})});

    const std::vector<Output> out = run(k, event::Mark{5, 502'000, std::nullopt});
    ASSERT_EQ(out.size(), 1u);
    const auto& liquidated = std::get<output::Liquidated>(out[0]);
    EXPECT_EQ(liquidated.price, 502'000) << "closed at the mark";
    EXPECT_EQ(liquidated.time, 5);
    EXPECT_EQ(k.state().realized, -98'000 * 100 * CS);
    EXPECT_TRUE(k.state().holdings[0].is_flat());
  }
  // Without marks the same wick liquidates, as the worked example shows.
  Kernel plain(account(100'000'000'000));
  open_long(plain, 1, 100, 600'000);
  EXPECT_EQ(run(plain, tick(3, 502'008)).size(), 1u);
  // A mark of 0 is no mark: the holding stays valued at the last trade.
  Kernel zero(account(100'000'000'000));
  open_long(zero, 1, 100, 600'000);
  EXPECT_TRUE(run(zero, event::Mark{2, 0, std::nullopt}).empty());
  EXPECT_FALSE(zero.state().holdings[0].marked);
}

// One lot bought at 600_000 needs a maintenance of 24_000_000 there (0.4 %
// of 6_000_000_000).  With exactly that balance the account stands at
// maintenance on the tick that fills it, in each of the kernel's two tests:
// the one-position test of a single net holding, and the account-wide one
// of hedge mode and of several holdings.  A balance one unit higher
// survives.
TEST(KernelLiquidation, EquityExactlyAtMaintenanceLiquidatesInBothTests) {
  enum class Account { Net, Hedge, TwoHoldings };
  for (Account shape : {Account::Net, Account::Hedge, Account::TwoHoldings}) {
    for (Cash balance : {24'000'000, 24'000'001}) {
      SCOPED_TRACE(static_cast<int>(shape));
      SCOPED_TRACE(balance);
      State s = account(balance);
      s.hedge = shape == Account::Hedge;
      if (shape == Account::TwoHoldings) add_holding(s, TWO);
      Kernel k(std::move(s));
      ASSERT_TRUE(run(k, submit(1, Side::Buy, 1)).empty());
      auto out = run(k, tick(1, 600'000, 0, 600'000, ONE));
      ASSERT_FALSE(out.empty());
      EXPECT_EQ(std::get<output::Fill>(out[0]).price, 600'000);
      if (balance == 24'000'000) {
        EXPECT_EQ(out, (std::vector<Output>{
                           out[0], output::Liquidated{ONE, 1, 600'000, 1, 0, balance, 1, 0}}));
      } else {
        EXPECT_EQ(out.size(), 1u);
        EXPECT_EQ(k.state().holdings[0].long_size, 1);
      }
    }
  }
}

TEST(KernelLiquidation, WithoutEnforcementEquityGoesNegative) {
  State s = account(100'000'000'000);
  s.enforce_margin = false;
  Kernel k(std::move(s));
  open_long(k, 1, 100, 600'000);
  EXPECT_TRUE(run(k, tick(2, 502'008)).empty());
  EXPECT_TRUE(run(k, tick(3, 400'000)).empty());
  EXPECT_EQ(k.summary().equity, -100'000'000'000);
  EXPECT_EQ(k.summary().long_size, 100);
}

TEST(KernelLiquidation, WriteOffOfTheSmallestBalanceLeavesExactlyZero) {
  // Huge contract: a fall to 1 loses far more than 64 bits hold, the loss
  // saturates and the balance reaches the smallest Cash value.  A venue's
  // own fill of that worth is refused, so the position is reported from
  // outside.
  State s = account(1'000'000'000'000'000'000, 1'000'000'000'000);
  s.external_fills = true;
  Kernel k(std::move(s));
  run(k, tick(1, 1'000'000, 0, 1'000'000));
  run(k, external(1, Side::Buy, 10'000'000, 1'000'000, event::fee::Reported{0}));
  run(k, event::Transfer{-2'000'000'000'000'000'000, 2});
  auto out = run(k, tick(3, 1));
  ASSERT_EQ(out.size(), 1u);
  const auto& liq = std::get<output::Liquidated>(out[0]);
  EXPECT_EQ(liq.balance, 0);
  EXPECT_EQ(liq.forfeited, I64_MIN);
  EXPECT_EQ(k.state().balance(), 0);
  EXPECT_EQ(k.state().forfeited, I64_MIN);
}

TEST(KernelFill, AFillWorthMoreThanCashHoldsIsRefusedNotChargedASaturatedFee) {
  // 10^7 lots at 10^6 ticks of a contract of 10^6 is worth 10^19 cash units,
  // past the 9.2 × 10^18 a Cash holds; a lot fewer fills.
  for (const QtyLots lots : {QtyLots{10'000'000}, QtyLots{9'000'000}}) {
    State s = account(1'000'000'000, 1'000'000);
    s.holdings.front().fee_rates = {0, 500'000};
    s.enforce_margin = false;  // the fill alone is looked at
    Kernel k(std::move(s));
    ASSERT_TRUE(run(k, submit(1, Side::Buy, lots)).empty());
    const auto out = run(k, tick(1, 1'000'000, 0, 1'000'000));
    if (lots == 10'000'000) {
      EXPECT_EQ(out, (std::vector<Output>{output::Rejected{RejectReason::NotionalTooLarge, 1}}));
      EXPECT_EQ(k.state().fees, 0);
      EXPECT_EQ(k.state().holdings[0].long_size, 0);
    } else {
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(k.state().fees, 9'000'000'000'000'000'000 / 2'000);  // 0.05 % of the worth
    }
  }
}

TEST(KernelLiquidation, SeveralHoldingsCloseTogetherAndOnlyTheLastReportForfeits) {
  State s = account(100'000'000'000);
  s.external_fills = true;
  add_holding(s, TWO);
  Kernel k(std::move(s));
  run(k, tick(1, 600'000, 0, 0, ONE));
  run(k, external(1, Side::Buy, 100, 600'000, event::fee::Reported{0}));
  run(k, external(2, Side::Buy, 1, 1, event::fee::Reported{0}, TWO));
  EXPECT_TRUE(run(k, tick(2, 510'000, 0, 0, ONE)).empty());
  auto out = run(k, tick(3, 502'000, 0, 0, ONE));
  // Holding two has seen no tick and closes at its entry.
  EXPECT_EQ(out, (std::vector<Output>{
                     output::Liquidated{ONE, 3, 502'000, 100, 0, 0, 100, 0},
                     output::Liquidated{TWO, 3, 1, 1, 0, 2'000'000'000, 1, 0},
                 }));
  EXPECT_EQ(k.state().realized, -98'000'000'000);
}

TEST(KernelExternal, FillsFromOutsideReplaceTheSimulatedOrder) {
  Kernel closed(account(1'000));
  EXPECT_EQ(run(closed, external(4, Side::Buy, 1, 10, event::fee::Unknown{})),
            std::vector<Output>{(output::Rejected{RejectReason::NotExternal, 4})});
  EXPECT_EQ(closed.state().holdings[0].long_size, 0);

  State s = account(1'000'000'000);
  s.external_fills = true;
  s.holdings.front().fee_rates = {0, 500'000};
  Kernel k(std::move(s));
  run(k, submit(5, Side::Buy, 3, 10));
  auto out = run(k, external(5, Side::Buy, 1, 10, event::fee::Reported{123}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<output::Fill>(out[0]).qty, 1);
  EXPECT_TRUE(k.live().empty());
  EXPECT_TRUE(run(k, event::Cancel{5}).empty());
  EXPECT_EQ(k.state().fees, 123);

  run(k, external(6, Side::Buy, 1, 10, event::fee::Unknown{}));
  EXPECT_FALSE(k.summary().fees_complete);
  run(k, external(7, Side::Buy, 2, 600'000, event::fee::Computed{}, ONE, true));
  EXPECT_EQ(k.state().fees, 123 + 6'000'000);
  EXPECT_EQ(k.state().holdings[0].long_size, 4);
  // A fee statement replaces the incompleteness flag.
  run(k, event::Fee{9, 7, false});
  EXPECT_TRUE(k.summary().fees_complete);
  EXPECT_EQ(k.state().fees, 123 + 6'000'000 + 7);
  EXPECT_EQ(k.state().time, 9);
}

TEST(KernelEvents, ClockTransferDepthAndSettlementProduceNoOutput) {
  Kernel k(account(1'000));
  EXPECT_TRUE(run(k, event::Clock{11}).empty());
  EXPECT_EQ(k.state().time, 11);
  EXPECT_TRUE(run(k, event::Transfer{-400, 12}).empty());
  EXPECT_EQ(k.state().balance(), 600);
  EXPECT_EQ(k.state().time, 12);
  const Summary before = k.summary();
  EXPECT_TRUE(
      run(k, event::Depth{book::DepthUpdate{std::nullopt, {{100, 1}}, {}, 1, 1, 1}}).empty());
  EXPECT_EQ(k.summary(), before);
  run(k, submit(1, Side::Buy, 1, 10));
  EXPECT_TRUE(k.settle_unreported().empty());
  EXPECT_EQ(live_ids(k), std::vector<OrderId>{1});
}

TEST(Matcher, TierBuildsAnL0ForTheInstrumentAndStatesRefuseAnotherOne) {
  const Tier tier{};
  EXPECT_STREQ(tier.name(), "L0");
  Matcher m = Tier::matcher(tier, TWO);
  EXPECT_STREQ(m.tier_name(), "L0");
  EXPECT_EQ(m.instrument(), TWO);
  EXPECT_FALSE(m.cancel(1));
  EXPECT_TRUE(m.drain_unreported().empty());
  try {
    State::matching_with(State::create(ONE, CS, margin::TierTable::example_btcusdt(), 1),
                         std::move(m));
    FAIL() << "a matcher for another instrument was installed";
  } catch (const Panic& p) {
    const std::string msg = p.what();
    EXPECT_NE(msg.find("matcher is for a different instrument than the state it is going into"),
              std::string::npos);
    EXPECT_NE(msg.find("InstrumentId(2)"), std::string::npos);
    EXPECT_NE(msg.find("InstrumentId(1)"), std::string::npos);
  }
  State empty = account(1);
  empty.holdings.clear();
  EXPECT_THROW(Kernel(std::move(empty)).summary(), Panic);
}

}  // namespace
}  // namespace halvorn::core
