// The cost of one order operation as the number of live orders grows.
//
//   cmake -S . -B build/bench -G Ninja -DHALVORN_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench --target resting_bench
//   build/bench/bench/backtest/resting_bench [count ...]   (default 10000 100000)
//
// First the run loop: a strategy adds one resting limit order per tick, far
// from a price that stays in a narrow band, so nothing ever fills, until
// `count` orders rest.  Prices are spread over both sides, so orders land at
// the best end, the far end and everywhere between.  Reported are the whole
// run's time, its ns per tick (one submit each) and the ns per tick of its
// first and last tenth: with every operation logarithmic or better the last
// tenth, with the book nearly full, costs about what the first did, and the
// whole run's time grows in proportion to the count.
//
// Then the kernel alone, against a book of `count` resting orders: ticks on
// which nothing fills, cancels of orders spread through the book (each one
// replaced by a fresh order so that the book keeps its size), marketable
// orders submitted and filled on the next tick, and every order cancelled
// one event at a time in insertion order.  Last, an L1 account whose orders
// all wait in its queue, cancelled and replaced.  Every figure is the best
// of three, to see past the other work of a shared machine.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "backtest/run_loop.hpp"

namespace {

using namespace halvorn;
using Clock = std::chrono::steady_clock;

constexpr InstrumentId ONE{1};
constexpr std::int64_t MID = 600'000;

double ns_since(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Ticks in a band of 50 around MID, with a volume counter that rises.
engine::Tick tick_at(std::size_t i) {
  const auto p = static_cast<std::int64_t>(MID + i % 50);
  const auto t = static_cast<Nanos>(1'000 + i);
  return engine::Tick{t, t, p, p + 1, p - 1, p - 1, p + 1, static_cast<std::int64_t>(i)};
}

// The order with this id: buys below the band and sells above it, each at
// one of 50_000 prices picked by a multiplicative step, so that successive
// orders land all over their side.
struct Far {
  Side side;
  std::int64_t price;
};
Far far_order(OrderId id) {
  const auto spread = static_cast<std::int64_t>((id * 7'919) % 50'000);
  if (id % 2 == 0) return {Side::Buy, MID - 1'000 - spread};
  return {Side::Sell, MID + 1'000 + spread};
}

// Adds one far limit order per tick until `target` have been sent, noting
// the time at every tenth of the way.
struct AddsOneRestingPerTick {
  std::size_t target = 0;
  OrderId next = 1;
  std::vector<Clock::time_point> marks;

  void on_tick(const strategy::TickContext&, std::vector<strategy::Intent>& intents) {
    if (next > target) return;
    if ((next - 1) % (target / 10) == 0) marks.push_back(Clock::now());
    const Far o = far_order(next);
    intents.push_back(strategy::intent::Limit{o.side, Offset::Open, ONE, next, o.price, 1});
    ++next;
    if (next > target) marks.push_back(Clock::now());
  }
  std::string_view name() const { return "adds-one-resting-per-tick"; }
};

// Best of REPEATS, to see past the other work of a shared machine.
constexpr int REPEATS = 3;

void run_loop(std::size_t count) {
  std::vector<engine::Tick> ticks;
  ticks.reserve(count);
  for (std::size_t i = 0; i < count; ++i) ticks.push_back(tick_at(i));
  backtest::RunConfig config;
  config.balance = units_to_cash(100'000);
  double total = 1e300, first = 1e300, last = 1e300;
  for (int r = 0; r < REPEATS; ++r) {
    AddsOneRestingPerTick strategy;
    strategy.target = count;
    backtest::SpanTicks source{ticks};
    const auto start = Clock::now();
    const backtest::RunResult result = backtest::run_stream(config, strategy, source);
    total = std::min(total, ns_since(start));
    if (!result.fills.empty() || strategy.marks.size() != 11) std::abort();
    const auto tenth = [&](std::size_t k) {
      return std::chrono::duration<double, std::nano>(strategy.marks[k + 1] - strategy.marks[k])
          .count();
    };
    first = std::min(first, tenth(0));
    last = std::min(last, tenth(9));
  }
  const double per_tenth = static_cast<double>(count / 10);
  std::printf(
      "run loop, %7zu resting: %8.3f s total %7.1f ns/tick   first tenth %7.1f ns/tick   "
      "last tenth %7.1f ns/tick\n",
      count, total * 1e-9, total / static_cast<double>(count), first / per_tenth, last / per_tenth);
}

core::Kernel make_kernel(const core::Tier& tier) {
  core::State s =
      core::State::create(ONE, 10'000, margin::TierTable::example_btcusdt(), 100'000'000'000);
  s.fees_known = true;
  return core::Kernel(core::State::matching_with(std::move(s), core::Tier::matcher(tier, ONE)));
}

void submit_far(core::Kernel& k, OrderId id) {
  const Far o = far_order(id);
  k.apply(core::event::Submit{id, o.side, Offset::Open, 1, 0, 0, std::nullopt, o.price});
}

void report(std::size_t count, const char* what, double ns, std::size_t ops) {
  std::printf("kernel, %7zu live: %-44s %8.1f ns each\n", count, what,
              ns / static_cast<double>(ops));
}

// The best time of REPEATS calls of step(r), each making OPS operations.
constexpr std::size_t OPS = 10'000;
template <class Step>
double best_of(Step&& step) {
  double best = 1e300;
  for (int r = 0; r < REPEATS; ++r) {
    const auto start = Clock::now();
    step(r);
    best = std::min(best, ns_since(start));
  }
  return best;
}

void kernel_ops(std::size_t count) {
  core::Kernel k = make_kernel(core::Tier{});
  for (OrderId id = 1; id <= count; ++id) submit_far(k, id);
  OrderId next = count + 1;
  std::size_t sink = 0;

  double ns = best_of([&](int r) {
    for (std::size_t i = 0; i < 10 * OPS; ++i) {
      sink += k.apply(core::event::Tick{tick_at(r * 10 * OPS + i), {}}).size();
    }
  });
  report(count, "tick, nothing fills", ns, 10 * OPS);

  // Orders spread through the book, a tenth of it at most and each repeat
  // its own; every one cancelled is replaced so that the book keeps its
  // size.
  const std::size_t ops = std::min(OPS, count / 10);
  std::vector<OrderId> ids(k.live().begin(), k.live().end());
  const std::size_t stride = ids.size() / ops;
  std::vector<OrderId> cancelled;
  double cancel_ns = 1e300, submit_ns = 1e300;
  for (int r = 0; r < REPEATS; ++r) {
    cancelled.clear();
    for (std::size_t i = 0; i < ops; ++i) cancelled.push_back(ids[r + i * stride]);
    auto start = Clock::now();
    for (OrderId id : cancelled) sink += k.apply(core::event::Cancel{id}).size();
    cancel_ns = std::min(cancel_ns, ns_since(start));
    start = Clock::now();
    for (std::size_t i = 0; i < ops; ++i) submit_far(k, next++);
    submit_ns = std::min(submit_ns, ns_since(start));
  }
  if (k.live().size() != count) std::abort();
  report(count, "cancel of a resting order", cancel_ns, ops);
  report(count, "submit of a resting order", submit_ns, ops);

  // An order at the next tick's touch fills on that tick, the book around it
  // staying; buys and sells take turns so that no position builds up.
  std::size_t fills = 0;
  ns = best_of([&](int r) {
    for (std::size_t i = 0; i < ops; ++i) {
      const engine::Tick t = tick_at(r * ops + i + 1);
      const bool buy = i % 2 == 0;
      k.apply(core::event::Submit{next++, buy ? Side::Buy : Side::Sell, Offset::Open, 1, 0, 0,
                                  std::nullopt, buy ? t.ask : t.bid});
      fills += k.apply(core::event::Tick{t, {}}).size();
    }
  });
  if (fills != REPEATS * ops || k.live().size() != count) std::abort();
  report(count, "submit, then the tick that fills it", ns, ops);

  ids.assign(k.live().begin(), k.live().end());
  const auto start = Clock::now();
  for (OrderId id : ids) sink += k.apply(core::event::Cancel{id}).size();
  report(count, "cancel of every order, in insertion order", ns_since(start), ids.size());
  if (!k.live().empty() || sink == 0) std::abort();
}

void l1_queue_cancels(std::size_t count) {
  engine::L1Config config;
  config.queue.kind = engine::QueueModel::Fixed{1'000'000};
  core::Kernel k = make_kernel(core::Tier{core::Tier::L1{config}});
  for (OrderId id = 1; id <= count; ++id) submit_far(k, id);
  OrderId next = count + 1;
  const std::size_t ops = std::min(OPS, count / 10);
  const std::size_t stride = count / ops;
  std::size_t sink = 0;
  const double ns = best_of([&](int r) {
    for (std::size_t i = 0; i < ops; ++i) {
      sink += k.apply(core::event::Cancel{static_cast<OrderId>(1 + r + i * stride)}).size();
    }
    for (std::size_t i = 0; i < ops; ++i) submit_far(k, next++);
  });
  if (sink != REPEATS * ops || k.live().size() != count) std::abort();
  report(count, "L1: cancel and resubmit of a queued order", ns, ops);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::strtoull(argv[i], nullptr, 10));
  if (counts.empty()) counts = {10'000, 100'000};
  for (std::size_t count : counts) {
    if (count < 10) return 2;
    run_loop(count);
  }
  for (std::size_t count : counts) {
    kernel_ops(count);
    l1_queue_cancels(count);
  }
}
