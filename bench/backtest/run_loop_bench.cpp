// Ticks per second of the run loop with a strategy that never trades, over
// an in-memory series: the engine's own cost per tick, without Python.
//
//   cmake -S . -B build/bench -DHALVORN_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench --target run_loop_bench && build/bench/bench/backtest/run_loop_bench

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "backtest/run_loop.hpp"

namespace {

using halvorn::backtest::RunConfig;
using halvorn::backtest::SpanTicks;
using halvorn::engine::Tick;

struct Idle {
  std::size_t calls = 0;
  void on_tick(const halvorn::strategy::TickContext&, std::vector<halvorn::strategy::Intent>&) {
    ++calls;
  }
  std::string_view name() const { return "idle"; }
};

struct HoldsOne {
  bool sent = false;
  void on_tick(const halvorn::strategy::TickContext&,
               std::vector<halvorn::strategy::Intent>& intents) {
    if (sent) return;
    sent = true;
    intents.push_back(halvorn::strategy::intent::Market{halvorn::Side::Buy, halvorn::Offset::Open,
                                                        halvorn::InstrumentId{1}, 1, 1});
  }
  std::string_view name() const { return "holds-one"; }
};

template <class S>
double ns_per_tick(const RunConfig& config, const std::vector<Tick>& ticks) {
  double best = 1e300;
  for (int rep = 0; rep < 5; ++rep) {
    S strategy;
    SpanTicks source{ticks};
    auto start = std::chrono::steady_clock::now();
    auto result = halvorn::backtest::run_stream(config, strategy, source);
    auto stop = std::chrono::steady_clock::now();
    if (result.ticks != ticks.size()) std::abort();
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  return best / static_cast<double>(ticks.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  std::vector<Tick> ticks;
  ticks.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto p = static_cast<std::int64_t>(600'000 + i % 50);
    ticks.push_back(Tick{static_cast<std::int64_t>(1000 + i), static_cast<std::int64_t>(1000 + i),
                         p, p, p, p - 1, p + 1, static_cast<std::int64_t>(i)});
  }
  RunConfig config;
  config.balance = halvorn::units_to_cash(100'000);
  const double flat = ns_per_tick<Idle>(config, ticks);
  const double open = ns_per_tick<HoldsOne>(config, ticks);
  std::printf("run loop, flat account, no orders: %6.1f ns/tick  %6.1f M ticks/s\n", flat,
              1e3 / flat);
  std::printf("run loop, one open position:       %6.1f ns/tick  %6.1f M ticks/s\n", open,
              1e3 / open);
}
