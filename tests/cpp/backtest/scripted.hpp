// A strategy for tests: sends scripted intents on given ticks and remembers
// everything the run loop showed it.

#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <string_view>
#include <vector>

#include "engine/tick.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::backtest::testing {

using strategy::Intent;
using strategy::OrderEnding;
using strategy::TickContext;
using strategy::VenueClosed;

struct Scripted {
  std::map<std::size_t, std::vector<Intent>> script;  // call index -> intents
  std::size_t calls = 0;
  std::vector<TickContext> seen;
  // The account in every instrument as each call showed it: the context's
  // view of it is valid only during the call.
  std::vector<std::vector<strategy::Position>> positions;
  // Feedback handed over before each call, by call index.
  std::vector<std::vector<Fill>> fills;
  std::vector<std::vector<OrderEnding>> endings;
  std::vector<std::vector<VenueClosed>> closes;

  void on_fills(std::span<const Fill> f) { fills.emplace_back(f.begin(), f.end()); }
  void on_endings(std::span<const OrderEnding> e) { endings.emplace_back(e.begin(), e.end()); }
  void on_venue_closed(std::span<const VenueClosed> c) { closes.emplace_back(c.begin(), c.end()); }

  void on_tick(const TickContext& context, std::vector<Intent>& intents) {
    seen.push_back(context);
    seen.back().positions = {};
    positions.emplace_back(context.positions.begin(), context.positions.end());
    auto it = script.find(calls++);
    if (it != script.end()) intents.insert(intents.end(), it->second.begin(), it->second.end());
  }
  std::string_view name() const { return "scripted"; }
};

inline engine::Tick tick(Nanos t, std::int64_t last, std::int64_t bid = 0, std::int64_t ask = 0,
                         std::int64_t high = 0, std::int64_t low = 0) {
  return engine::Tick{t, t, last, high, low, bid, ask, 0};
}

inline Intent market(OrderId id, Side side, QtyLots qty, std::uint32_t instrument = 1) {
  return strategy::intent::Market{side, Offset::Open, InstrumentId{instrument}, id, qty};
}

inline Intent limit(OrderId id, Side side, std::int64_t price, QtyLots qty,
                    std::uint32_t instrument = 1) {
  return strategy::intent::Limit{side, Offset::Open, InstrumentId{instrument}, id, price, qty};
}

}  // namespace halvorn::backtest::testing
