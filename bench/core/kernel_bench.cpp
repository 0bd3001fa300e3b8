// Ticks per second of Kernel::apply, and heap allocations per tick.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_BUILD_BENCH=ON
//   cmake --build build/bench --target kernel_bench && build/bench/bench/core/kernel_bench
//
// Three accounts, each fed the same random walk of ticks: flat with an empty
// book; flat with 100 resting limit orders that the walk never reaches (every
// tick still runs the crossing and quote steps against them); and a long
// position, which adds the margin check to every tick.  The global operator
// new is replaced by a counting one so that allocations are reported beside
// the timing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "core/kernel.hpp"

namespace {
std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

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

Kernel make_kernel() {
  State s = State::create(ONE, 10'000, margin::TierTable::example_btcusdt(), 100'000'000'000);
  s.fees_known = true;
  return Kernel(State::matching_with(std::move(s), Tier::matcher(Tier{}, ONE)));
}

struct Result {
  double ns_per_tick;
  double allocations_per_tick;
};

Result measure(Kernel& k, const std::vector<Event>& walk) {
  std::size_t sink = 0;
  for (const Event& e : walk) sink += k.apply(e).size();  // warm up
  double best = 1e300;
  std::size_t allocated = 0;
  for (int r = 0; r < REPEATS; ++r) {
    const std::size_t before = allocations;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < TICKS; ++i) sink += k.apply(walk[i % WALK]).size();
    const auto stop = std::chrono::steady_clock::now();
    allocated += allocations - before;
    best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
  }
  if (sink == 1) std::puts("");  // keeps the outputs observable
  return {best / TICKS, static_cast<double>(allocated) / (static_cast<double>(TICKS) * REPEATS)};
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
  for (OrderId id = 1; id <= 100; ++id) {
    const bool buy = id % 2 == 0;
    const std::int64_t price =
        buy ? 500'000 - static_cast<std::int64_t>(id) : 700'000 + static_cast<std::int64_t>(id);
    resting.apply(event::Submit{id, buy ? Side::Buy : Side::Sell, Offset::Open, 1, 0, 0,
                                std::nullopt, price});
  }
  report("flat, 100 resting limit orders", measure(resting, walk));
  if (resting.live().size() != 100) std::puts("resting orders filled: the walk reached them");

  Kernel open = make_kernel();
  open.apply(event::Submit{1, Side::Buy, Offset::Open, 10, 0, 0, std::nullopt, std::nullopt});
  open.apply(walk[0]);
  report("long 10 lots, empty book", measure(open, walk));
  return open.summary().long_size == 10 ? 0 : 1;
}
