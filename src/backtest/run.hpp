// The run loop: one strategy over one series of ticks against one simulated
// account.
//
// run_stream owns the account kernel for the duration of a run.  For each
// tick it applies the funding that fell due, applies the tick, records fills
// and liquidations, keeps the running statistics, shows the strategy a
// TickContext and turns the strategy's intents into kernel events.  It is
// written once, as a template over the strategy and over the tick source, and
// holds no more than the current tick of the series.
//
// Thread-safety: a run uses one thread; separate runs share nothing.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/kernel.hpp"
#include "core/matcher.hpp"
#include "engine/tick.hpp"
#include "margin/funding.hpp"
#include "margin/tier.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::backtest {

// Everything a run needs besides the strategy and the ticks.  A run reads it
// and never changes it, so one configuration serves many runs.
struct RunConfig {
  core::Tier tier;
  margin::TierTable margin_tiers = margin::TierTable::example_btcusdt();
  margin::FundingSchedule funding;
  std::size_t equity_every = 0;  // sample equity every this many ticks; 0 = never
  std::int64_t contract_size = 10'000;
  Cash balance = 0;
  std::array<std::int64_t, 2> fee_rates{0, 0};  // maker, taker; billionths
  InstrumentId instrument{1};
  bool track_margin = false;
  bool enforce_margin = true;
  bool hedge = false;
};

// One closing-out of the account by the venue.
struct Liquidation {
  Nanos at = 0;
  std::int64_t price = 0;
  QtyLots quantity = 0;
  Cash balance = 0;
  Cash forfeited = 0;  // non-zero only on the last report of one liquidation
  friend bool operator==(const Liquidation&, const Liquidation&) = default;
};

struct MarginStats {
  Cash peak_maintenance = 0;
  std::optional<Cash> min_headroom;  // absent when no tick had a position open
};

// What a run produced.
struct RunResult {
  std::optional<MarginStats> margin;  // present only when track_margin was set
  std::string strategy;
  std::vector<Fill> fills;  // in booking order, including those settled at the end
  std::vector<Liquidation> liquidations;
  std::vector<Cash> equity_curve;  // the starting balance, then every equity_every-th tick
  // The exchange time of each equity sample: the starting balance carries
  // the first tick's (0 when there was none).
  std::vector<Nanos> equity_times;
  std::string tier;
  std::size_t ticks = 0;
  Cash final_equity = 0;
  Cash realized = 0;
  Cash funding_paid = 0;
  Cash fees_paid = 0;
  Cash min_equity = 0;  // never above the starting balance
  std::int64_t max_adverse = 0;
  std::size_t invalid_ticks = 0;
  std::size_t foreign_intents = 0;
  std::size_t exposed_ticks = 0;  // ticks after which a position was open
};

// A TickSource hands out ticks in order: next() fills `out` and returns true,
// or returns false at the end of the series.
template <class T>
concept TickSource = requires(T& t, engine::Tick& out) {
  { t.next(out) } -> std::convertible_to<bool>;
};

// A series held in memory.
struct SpanTicks {
  std::span<const engine::Tick> ticks;
  std::size_t index = 0;

  bool next(engine::Tick& out) {
    if (index == ticks.size()) return false;
    out = ticks[index++];
    return true;
  }
};

// Appends the endings found in one step's outputs: a fill whose order is no
// longer live ends Filled, a cancellation ends Canceled; an order id appears
// at most once in `endings`.  `noted` holds the ids of `endings`, so that
// each check costs the same however many orders are live or have ended; it
// follows the list it serves, and once that list has been emptied (the run
// loop empties it when the strategy has seen it) the next call empties it
// too.
void note_endings(std::span<const core::Output> outputs, const core::LiveOrders& live,
                  std::vector<strategy::OrderEnding>& endings, engine::IdSet& noted);

// Appends the close notices of one kernel output (none unless it is a
// liquidation): the long leg first, then the short leg, each when non-zero.
void venue_closes(const core::Output& output, std::vector<strategy::VenueClosed>& out);

namespace internal {

// The state a run keeps beside the kernel, and the steps that do not depend
// on the strategy or the tick source.
class Loop {
 public:
  Loop(const RunConfig& config);

  void apply_funding(const engine::Tick& tick) {
    if (!config_.funding.rates.empty()) apply_scheduled_funding(tick);
  }
  // Steps 2 to 11 for one tick; returns the context to show the strategy.
  const strategy::TickContext& apply_tick(const engine::Tick& tick);
  void apply_intents(std::span<const strategy::Intent> intents) {
    if (!intents.empty()) apply_each_intent(intents);
  }
  RunResult finish(std::string_view strategy_name);

  std::span<const Fill> tick_fills() const { return tick_fills_; }
  std::vector<strategy::OrderEnding>& endings() { return endings_; }
  std::vector<strategy::VenueClosed>& closes() { return closes_; }
  std::vector<strategy::Intent>& intents() { return intents_; }

 private:
  void record(std::span<const core::Output> outputs, bool fills_too);
  void apply_scheduled_funding(const engine::Tick& tick);
  void apply_each_intent(std::span<const strategy::Intent> intents);

  const RunConfig& config_;
  core::Kernel kernel_;
  RunResult result_;
  std::vector<strategy::OrderEnding> endings_;
  engine::IdSet noted_;  // the ids of endings_
  std::vector<strategy::VenueClosed> closes_;
  std::vector<strategy::Intent> intents_;
  std::vector<Fill> tick_fills_;
  std::vector<OrderId> live_copy_;
  strategy::TickContext context_;
  Nanos last_funding_;
};

}  // namespace internal

// Drives `strategy` over `ticks`.  Reports no errors: a strategy that fails
// records its failure itself, and a tick source that fails simply ends.
template <strategy::Strategy S, TickSource T>
RunResult run_stream(const RunConfig& config, S& strategy, T& ticks) {
  internal::Loop loop(config);
  engine::Tick tick;
  while (ticks.next(tick)) {
    loop.apply_funding(tick);
    const strategy::TickContext& context = loop.apply_tick(tick);
    auto& intents = loop.intents();
    intents.clear();
    strategy::notify_fills(strategy, loop.tick_fills());
    strategy::notify_endings(strategy, std::span<const strategy::OrderEnding>(loop.endings()));
    strategy::notify_venue_closed(strategy, std::span<const strategy::VenueClosed>(loop.closes()));
    loop.endings().clear();
    loop.closes().clear();
    strategy.on_tick(context, intents);
    loop.apply_intents(intents);
    if (strategy::halted(strategy)) break;
  }
  strategy::notify_run_end(strategy);
  return loop.finish(strategy.name());
}

}  // namespace halvorn::backtest
