// Ticks per second of Kernel::apply, and heap allocations per tick.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_BUILD_BENCH=ON
//   cmake --build build/bench --target kernel_bench && build/bench/bench/core/kernel_bench
//
// Accounts of each tier, each fed the same random walk of ticks.  L0: flat
// with an empty book; flat with 100 resting limit orders that the walk never
// reaches (every tick still runs the crossing and quote steps against them);
// and a long position, which adds the margin check to every tick.  L1, with
// quantile latencies, a traded-share queue and impact: flat with an empty
// book, and flat with 100 limit orders queued behind a fixed quantity out of
// the walk's range.  L2
// with the same configuration over a synced depth book: ticks alone, and
// every tick followed by one depth update.  The global operator new is
// replaced by a counting one so that allocations are reported beside the
// timing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "core/kernel.hpp"
#include "support/counting_new.hpp"

using halvorn::testing::allocations;

namespace {

using namespace halvorn;
using namespace halvorn::core;

constexpr InstrumentId ONE{1};
constexpr std::size_t WALK = 1 << 12;
constexpr std::size_t TICKS = 20'000'000;
constexpr int REPEATS = 5;

std::vector<Event> random_walk() {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> step(-3, 3);
  std::vector<Event> out;
  out.reserve(WALK);
  std::int64_t last = 600'000;
  for (std::size_t i = 0; i < WALK; ++i) {
    last = std::clamp<std::int64_t>(last + step(rng), 590'000, 610'000);
    const auto t = static_cast<Nanos>(i) * 1'000'000;
    out.push_back(event::Tick{
        engine::Tick{t, t, last, last + 2, last - 2, last - 1, last + 1, static_cast<int>(i)},
        std::nullopt});
  }
  return out;
}

Kernel make_kernel(const Tier& tier = Tier{}) {
  State s = State::create(ONE, 10'000, margin::TierTable::example_btcusdt(), 100'000'000'000);
  s.fees_known = true;
  return Kernel(State::matching_with(std::move(s), Tier::matcher(tier, ONE)));
}

engine::L1Config busy() {
  engine::L1Config c;
  c.order_latency.kind = engine::Latency::Quantiles{1'000'000, 2'000'000, 5'000'000, 20'000'000};
  c.report_latency.kind = engine::Latency::Quantiles{500'000, 1'000'000, 3'000'000, 9'000'000};
  c.queue.kind = engine::QueueModel::TradedShare{50};
  c.impact_pct = 30;
  return c;
}

// Ten levels a side around the walk's start.
book::DepthSnapshot snapshot() {
  book::DepthSnapshot s{1, {}, {}};
  for (std::int64_t i = 1; i <= 10; ++i) {
    s.bids.push_back(book::Level{600'000 - i, 5 * i});
    s.asks.push_back(book::Level{600'000 + i, 5 * i});
  }
  return s;
}

void rest_far_away(Kernel& k) {
  for (OrderId id = 1; id <= 100; ++id) {
    const bool buy = id % 2 == 0;
    const std::int64_t price =
        buy ? 500'000 - static_cast<std::int64_t>(id) : 700'000 + static_cast<std::int64_t>(id);
    k.apply(event::Submit{id, buy ? Side::Buy : Side::Sell, Offset::Open, 1, 0, 0, std::nullopt,
                          price});
  }
}

struct Result {
  double ns_per_tick;
  double allocations_per_tick;
};

// step(i) applies the events of tick i and returns how many outputs they gave.
template <class Step>
Result measure_steps(Step&& step) {
  std::size_t sink = 0;
  for (std::size_t i = 0; i < WALK; ++i) sink += step(i);  // warm up
  double best = 1e300;
  std::size_t allocated = 0;
  for (int r = 0; r < REPEATS; ++r) {
    const std::size_t before = allocations;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < TICKS; ++i) sink += step(i);
    const auto stop = std::chrono::steady_clock::now();
    allocated += allocations - before;
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  if (sink == 1) std::puts("");  // keeps the outputs observable
  return {best / TICKS, static_cast<double>(allocated) / (static_cast<double>(TICKS) * REPEATS)};
}

Result measure(Kernel& k, const std::vector<Event>& walk) {
  return measure_steps([&](std::size_t i) { return k.apply(walk[i % WALK]).size(); });
}

// Each tick followed by one depth update that continues the sequence and
// moves the best bid's size; the event is reused so that building it costs
// nothing inside the loop.
Result measure_with_depth(Kernel& k, const std::vector<Event>& walk) {
  Event update = event::Depth{book::DepthUpdate{std::nullopt, {{599'999, 1}}, {}, 0, 0, 0}};
  book::DepthUpdate& u = std::get<event::Depth>(update).update;
  std::uint64_t id = 1;
  return measure_steps([&](std::size_t i) {
    const std::size_t n = k.apply(walk[i % WALK]).size();
    ++id;
    u.first_id = u.final_id = id;
    u.bids[0].qty = static_cast<std::int64_t>(id % 9) + 1;
    u.time_ms = static_cast<std::int64_t>(i);
    return n + k.apply(update).size();
  });
}

void report(const char* name, Result r) {
  std::printf("%-34s %8.1f ns/tick %12.0f ticks/s %10.6f allocations/tick\n", name, r.ns_per_tick,
              1e9 / r.ns_per_tick, r.allocations_per_tick);
}

}  // namespace

int main() {
  const std::vector<Event> walk = random_walk();
  std::printf("Kernel::apply, best of %d runs of %zu ticks\n", REPEATS, TICKS);

  Kernel empty = make_kernel();
  report("flat, empty book", measure(empty, walk));

  Kernel resting = make_kernel();
  rest_far_away(resting);
  report("flat, 100 resting limit orders", measure(resting, walk));
  if (resting.live().size() != 100) std::puts("resting orders filled: the walk reached them");

  Kernel open = make_kernel();
  open.apply(event::Submit{1, Side::Buy, Offset::Open, 10, 0, 0, std::nullopt, std::nullopt});
  open.apply(walk[0]);
  report("long 10 lots, empty book", measure(open, walk));

  const Tier l1{Tier::L1{busy()}};
  Kernel l1_empty = make_kernel(l1);
  report("L1: flat, empty book", measure(l1_empty, walk));

  // A fixed queue keeps them waiting: the walk never reaches their prices.
  engine::L1Config queueing = busy();
  queueing.queue.kind = engine::QueueModel::Fixed{1'000};
  Kernel l1_queued = make_kernel(Tier{Tier::L1{queueing}});
  rest_far_away(l1_queued);
  report("L1: flat, 100 waiting limit orders", measure(l1_queued, walk));
  if (l1_queued.live().size() != 100) std::puts("L1 orders filled: the walk reached them");

  const Tier l2{Tier::L2{busy()}};
  Kernel l2_ticks = make_kernel(l2);
  l2_ticks.apply(event::Snapshot{snapshot()});
  report("L2: flat, synced, ticks only", measure(l2_ticks, walk));

  Kernel l2_depth = make_kernel(l2);
  l2_depth.apply(event::Snapshot{snapshot()});
  report("L2: flat, synced, 1 update per tick", measure_with_depth(l2_depth, walk));
  const auto& l2_matcher = l2_depth.state().holdings.front().matcher;
  if (l2_matcher.invalid_ticks() != 0) std::puts("L2 depth stream broke");
  return open.summary().long_size == 10 ? 0 : 1;
}
