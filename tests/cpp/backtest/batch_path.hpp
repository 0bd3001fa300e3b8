// A batched strategy for the tests of the batch path: it decides on the tick
// that completes each batch of `batch` ticks, from that batch's ticks only,
// and either takes the ticks in between at once (Idle) or tick by tick.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "backtest/batch_columns.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::backtest::testing {

// What a batch shows a strategy: its ticks and the account after its last.
struct Seen {
  std::vector<engine::Tick> ticks;
  QtyLots position = 0;
  Cash equity = 0;
  std::size_t working = 0;
  friend bool operator==(const Seen&, const Seen&) = default;
};

template <bool Idle>
struct Batcher {
  Batcher(std::size_t batch, std::uint64_t seed, QtyLots lots = 2)
      : batch(batch), seed(seed), lots(lots), columns(batch) {}

  std::size_t batch;
  std::uint64_t seed;
  QtyLots lots;  // the size of an opening order
  BatchColumns columns;
  std::vector<Seen> seen;
  OrderId next_id = 0;
  std::size_t taken_at_once = 0;  // ticks the run handed over in bulk

  // The batch's ticks as the columns show them.
  std::vector<engine::Tick> gathered() const {
    const ColumnView v = columns.view();
    std::vector<engine::Tick> out(v.length);
    for (std::size_t r = 0; r < v.length; ++r) {
      std::int64_t f[TICK_COLUMNS];
      for (std::size_t c = 0; c < TICK_COLUMNS; ++c) {
        f[c] = *reinterpret_cast<const std::int64_t*>(reinterpret_cast<const char*>(v.base[c]) +
                                                      static_cast<std::ptrdiff_t>(r) * v.stride);
      }
      out[r] = engine::Tick{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
    }
    return out;
  }

  void on_tick(const strategy::TickContext& c, std::vector<strategy::Intent>& intents) {
    columns.add(c.tick, c.record, c.in_place);
    if (columns.size() < batch) return;
    Seen s{gathered(), c.position, c.equity, c.working};
    columns.clear();
    // A decision from the batch alone: open long or short, close, add the
    // other side (a second leg in hedge mode), or stand by, by a hash of its
    // last price, so that runs trade, rest orders and go flat again.
    const std::uint64_t h =
        (static_cast<std::uint64_t>(c.tick.last) * 0x9E3779B97F4A7C15ull) ^ seed;
    const InstrumentId one{1};
    const bool flat = c.position == 0 && c.short_position == 0;
    auto market = [&](Side side, Offset offset, QtyLots qty) {
      intents.push_back(strategy::intent::Market{side, offset, one, ++next_id, qty});
    };
    if (flat && h % 3 == 0) {
      market(Side::Buy, Offset::Open, lots);
    } else if (flat && h % 3 == 1) {
      market(Side::Sell, Offset::Open, lots);
    } else if (!flat && h % 2 == 0) {
      if (c.position != 0) {
        market(c.position > 0 ? Side::Sell : Side::Buy, Offset::Close,
               c.position > 0 ? c.position : -c.position);
      }
      if (c.short_position != 0) market(Side::Buy, Offset::Close, -c.short_position);
    } else if (!flat && h % 5 == 1) {
      market(Side::Sell, Offset::Open, lots);
    } else if (h % 7 == 0) {
      intents.push_back(
          strategy::intent::Limit{Side::Buy, Offset::Open, one, ++next_id, c.tick.last - 2, 1});
    }
    if (c.working > 0 && h % 5 == 0) intents.push_back(strategy::intent::CancelAll{});
    seen.push_back(std::move(s));
  }
  std::string_view name() const { return "batcher"; }

  std::size_t idle_ticks() const
    requires Idle
  {
    return batch - columns.size() - 1;
  }
  void on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t in_place)
    requires Idle
  {
    columns.add_run(ticks, in_place);
    taken_at_once += ticks.size();
  }
};

}  // namespace halvorn::backtest::testing
