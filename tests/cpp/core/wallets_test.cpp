// An account whose holdings settle in two currencies: a wallet each,
// margined and liquidated on its own, and the account's figures in USDT.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/kernel.hpp"

namespace halvorn::core {
namespace {

constexpr InstrumentId LINEAR{1};
constexpr InstrumentId INVERSE{2};
constexpr Currency BTC = Currency::of("BTC");
// 1,000 USDT and 0.2 BTC.
constexpr Cash USDT_BALANCE = 100'000'000'000;
constexpr Cash BTC_BALANCE = 20'000'000;

// A linear BTCUSDT (contract size 10,000, the example brackets) beside a
// coin-margined contract of 100 USD on a tick of 0.1 USD, settled in BTC,
// with a flat 0.5 % maintenance: the two worked liquidations of each kind.
State two_wallets(Cash btc = BTC_BALANCE) {
  State s = State::create(LINEAR, 10'000, margin::TierTable::example_btcusdt(), USDT_BALANCE);
  s.wallets = true;
  s.fees_known = true;
  s.balances.add(BTC, btc);
  Holding& h = s.holdings.emplace_back(
      INVERSE, 0, margin::TierTable{{margin::Bracket{CASH_SCALE * 1'000'000, 5'000'000, 0}}},
      Tier::matcher(Tier{}, INVERSE));
  h.inverse = margin::InverseValue{100'000'000'000, 1};
  h.currency = BTC;
  h.tick_worth = margin::TickWorth{1, 10};
  return s;
}

Event tick(Nanos t, std::int64_t last, InstrumentId instrument) {
  return event::Tick{engine::Tick{t, t, last, 0, 0, last, last, 0}, instrument};
}

Event buy(OrderId id, QtyLots qty, InstrumentId instrument,
          std::optional<std::int64_t> price = std::nullopt, OrderTerms terms = {}) {
  return event::Submit{id, Side::Buy, Offset::Open, qty, 0, 0, instrument, price, terms};
}

OrderTerms member(GroupRole role, OrderId leader, std::int64_t trigger = 0) {
  OrderTerms t;
  t.role = role;
  t.leader = leader;
  if (trigger != 0) t.trigger = TriggerTerms{TriggerTerms::Kind::Stop, trigger, 0, 0};
  t.reduce_only = role != GroupRole::BracketEntry;
  return t;
}

std::vector<Output> run(Kernel& k, const Event& e) {
  auto out = k.apply(e);
  return {out.begin(), out.end()};
}

std::vector<OrderId> live_ids(const Kernel& k) { return {k.live().begin(), k.live().end()}; }

// A long of 100 lots at 600,000 in the USDT wallet, a long of 1,000
// contracts at 50,000 USD in the BTC one, a resting bid on the first that
// will not fill (id 10) and a bracket on the second whose entry will not
// (11, with its stop-loss 12 and take-profit 13).
Kernel both_long() {
  Kernel k(two_wallets());
  run(k, buy(1, 100, LINEAR));
  run(k, tick(1, 600'000, LINEAR));
  run(k, buy(2, 1'000, INVERSE));
  run(k, tick(2, 500'000, INVERSE));
  run(k, buy(10, 1, LINEAR, 1'000));
  run(k, buy(11, 1, INVERSE, 1'000, member(GroupRole::BracketEntry, 0)));
  auto exit = [&](OrderId id, GroupRole role, std::optional<std::int64_t> price,
                  std::int64_t trigger) {
    run(k, event::Submit{id, Side::Sell, Offset::Open, 1, 0, 0, INVERSE, price,
                         member(role, 11, trigger)});
  };
  exit(12, GroupRole::BracketStop, std::nullopt, 500);
  exit(13, GroupRole::BracketTake, 2'000, 0);
  EXPECT_EQ(live_ids(k), (std::vector<OrderId>{10, 11, 12, 13}));
  EXPECT_EQ(k.state().holdings[0].long_size, 100);
  EXPECT_EQ(k.state().holdings[1].long_size, 1'000);
  return k;
}

TEST(Wallets, TheCoinWalletIsLiquidatedWhereItAloneBreachesAndTheOtherStands) {
  Kernel k = both_long();
  // The BTC wallet's worked example: 0.2 BTC and a long worth 2 BTC stand at
  // 45,681.9 USD and are liquidated at 45,681.8, whatever USDT holds.
  EXPECT_TRUE(run(k, tick(3, 456'819, INVERSE)).empty());
  auto out = run(k, tick(4, 456'818, INVERSE));
  ASSERT_EQ(out.size(), 1u);
  const auto& closed = std::get<output::Liquidated>(out[0]);
  EXPECT_EQ(closed.instrument, INVERSE);
  EXPECT_EQ(closed.price, 456'818);
  EXPECT_EQ(closed.balance, 0);
  EXPECT_EQ(k.state().balance_in(BTC), 0);
  // The USDT wallet, its long and its order are as they were; the whole
  // bracket went with the BTC wallet.
  EXPECT_EQ(k.state().balance_in(USDT), USDT_BALANCE);
  EXPECT_EQ(k.state().holdings[0].long_size, 100);
  EXPECT_EQ(live_ids(k), std::vector<OrderId>{10});
  // And it meets its own worked example later: 502,009 stands, 502,008
  // liquidates it, forfeiting 20.08 USDT.
  EXPECT_TRUE(run(k, tick(5, 502'009, LINEAR)).empty());
  out = run(k, tick(6, 502'008, LINEAR));
  EXPECT_EQ(
      out,
      (std::vector<Output>{output::Liquidated{LINEAR, 6, 502'008, 100, 0, 2'008'000'000, 100, 0}}));
  EXPECT_TRUE(k.live().empty());
}

TEST(Wallets, TheUsdtWalletIsLiquidatedAloneAndTheCoinPositionGoesOn) {
  Kernel k = both_long();
  auto out = run(k, tick(3, 502'008, LINEAR));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<output::Liquidated>(out[0]).instrument, LINEAR);
  EXPECT_EQ(std::get<output::Liquidated>(out[0]).forfeited, 2'008'000'000);
  EXPECT_EQ(k.state().holdings[1].long_size, 1'000);
  EXPECT_EQ(k.state().balance_in(BTC), BTC_BALANCE);
  EXPECT_EQ(live_ids(k), (std::vector<OrderId>{11, 12, 13}));
  // The coin wallet keeps its own price of liquidation, not a tick sooner.
  EXPECT_TRUE(run(k, tick(4, 456'819, INVERSE)).empty());
  EXPECT_EQ(run(k, tick(5, 456'818, INVERSE)).size(), 1u);
}

TEST(Wallets, FiguresAreInUsdtAndOrdersNeedCashInTheirOwnWallet) {
  State s = two_wallets(0);
  s.holdings[1].fee_rates = {0, 500'000};  // 0.05 % taker on the coin contract
  Kernel k(std::move(s));
  run(k, tick(1, 500'000, INVERSE));
  // An empty BTC wallet refuses the coin contract's orders, not the others.
  EXPECT_EQ(run(k, buy(1, 1'000, INVERSE)),
            (std::vector<Output>{output::Rejected{RejectReason::NoBalance, 1}}));
  EXPECT_TRUE(run(k, buy(2, 1, LINEAR)).empty());

  Kernel funded(two_wallets());
  run(funded, tick(1, 500'000, INVERSE));
  run(funded, tick(1, 600'000, LINEAR));
  // 1,000 USDT and 0.2 BTC at 50,000 USD: 11,000 USDT.
  EXPECT_EQ(funded.summary().equity, 1'100'000'000'000);
  EXPECT_EQ(funded.summary().balance, 1'100'000'000'000);
  State paying = two_wallets();
  paying.holdings[1].fee_rates = {0, 500'000};
  Kernel k2(std::move(paying));
  run(k2, buy(3, 1'000, INVERSE));
  run(k2, tick(2, 500'000, INVERSE));
  // The fee is 0.001 BTC of the wallet's, and 50 USDT of the account's
  // total, converted at the fill's price.
  EXPECT_EQ(k2.state().holdings[1].fees, 100'000);
  EXPECT_EQ(k2.state().balance_in(BTC), BTC_BALANCE - 100'000);
  EXPECT_EQ(k2.state().fees, 5'000'000'000);
  EXPECT_EQ(k2.state().balance_in(USDT), USDT_BALANCE);
  // Equity: the USDT wallet, and the coin wallet's 0.199 BTC at 50,000.
  EXPECT_EQ(k2.summary().equity, USDT_BALANCE + 995'000'000'000);
}

}  // namespace
}  // namespace halvorn::core
