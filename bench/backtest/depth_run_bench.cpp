// An L2 run over a generated day streamed from files: ticks per second,
// depth updates per second, and peak resident memory.
//
//   depth_run_bench [--ticks N] [--updates M] [--levels L] [--dir DIR] [--keep]
//
// Writes a tick file of N ticks (10_000_000 by default) and a depth file of
// M updates (20_000_000) over the same day (depth_day.hpp: a snapshot of L
// levels a side, 500 by default, every million updates, a lost update every
// four million), unless DIR already holds them, then runs a strategy that trades
// a little (a market order every 500 ticks, a resting limit order replaced
// every 2000) three ways, each in a process of its own so that each peak
// resident memory is the run's alone:
//   - L2 with the depth merged in,
//   - L2 over the ticks alone, as a baseline for what depth adds,
//   - L1 over the ticks alone.
// Both files are streamed, so the peak stays the same whatever N and M are;
// run it with a smaller day to see that.  The files are left in the page
// cache (the condition measured: a day read before) and removed at the end
// unless --keep.
//
//   cmake -S . -B build/bench -DHALVORN_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench --target depth_run_bench
//   build/bench/bench/backtest/depth_run_bench

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "../data/depth_day.hpp"
#include "backtest/run_loop.hpp"
#include "data/depth_reader.hpp"
#include "data/ticks.hpp"
#include "support/flags.hpp"

namespace {

using halvorn::InstrumentId;
using halvorn::Offset;
using halvorn::OrderId;
using halvorn::Side;
using halvorn::backtest::RunConfig;
using halvorn::backtest::RunResult;
namespace intent = halvorn::strategy::intent;
using Clock = std::chrono::steady_clock;

struct Trader {
  std::size_t calls = 0;
  OrderId next_id = 1;
  std::optional<OrderId> resting;

  void on_tick(const halvorn::strategy::TickContext& c,
               std::vector<halvorn::strategy::Intent>& intents) {
    ++calls;
    if (calls % 500 == 0) {
      const Side side = (calls / 500) % 2 ? Side::Buy : Side::Sell;
      intents.push_back(intent::Market{side, Offset::Open, InstrumentId{1}, next_id++, 1});
    }
    if (calls % 2000 == 0) {
      if (resting) intents.push_back(intent::Cancel{*resting});
      const bool buy = (calls / 2000) % 2;
      resting = next_id;
      intents.push_back(intent::Limit{buy ? Side::Buy : Side::Sell, Offset::Open, InstrumentId{1},
                                      next_id++, buy ? c.tick.bid - 2 : c.tick.ask + 2, 1});
    }
  }
  std::string_view name() const { return "trader"; }
};

// What one run reports to the parent.
struct Measured {
  double seconds = 0;
  std::uint64_t ticks = 0;
  std::uint64_t depth_records = 0;
  std::uint64_t invalid_ticks = 0;
  std::uint64_t fills = 0;
  std::uint64_t fills_bytes = 0;  // the result's fills array, which grows with the run
  bool failed = false;
  long max_rss_kb = 0;
};

// Runs `f` in a child process and collects its figures and peak memory.
template <class F>
Measured in_child(F f) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) std::exit(1);
  const pid_t pid = ::fork();
  if (pid < 0) std::exit(1);
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const Measured m = f();
    const bool ok = ::write(pipe_fds[1], &m, sizeof m) == static_cast<ssize_t>(sizeof m);
    ::_exit(ok ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  Measured m;
  if (::read(pipe_fds[0], &m, sizeof m) != static_cast<ssize_t>(sizeof m)) m.failed = true;
  ::close(pipe_fds[0]);
  int status = 0;
  struct rusage usage;
  ::wait4(pid, &status, 0, &usage);
  m.max_rss_kb = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) m.failed = true;
  return m;
}

RunConfig config(bool l2) {
  halvorn::engine::L1Config c;
  c.order_latency.kind = halvorn::engine::Latency::Fixed{1'000'000};
  c.report_latency.kind = halvorn::engine::Latency::Fixed{1'000'000};
  c.impact_pct = 50;
  RunConfig config;
  config.instruments[0].tier = l2 ? halvorn::core::Tier{halvorn::core::Tier::L2{c}}
                                  : halvorn::core::Tier{halvorn::core::Tier::L1{c}};
  config.balance = halvorn::units_to_cash(1'000'000'000);
  return config;
}

halvorn::data::StreamedTicks open_ticks(const std::string& path) {
  auto o = halvorn::data::TickReader::open(path);
  if (auto* e = std::get_if<halvorn::data::Error>(&o)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e->display().c_str());
    std::exit(1);
  }
  return halvorn::data::StreamedTicks(std::move(std::get<halvorn::data::TickReader>(o)));
}

Measured measure(const RunResult& r, Clock::time_point start, bool source_failed) {
  Measured m;
  m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  m.ticks = r.ticks;
  m.depth_records = r.depth_records;
  m.invalid_ticks = r.invalid_ticks;
  m.fills = r.fills.size();
  m.fills_bytes = r.fills.capacity() * sizeof(halvorn::Fill);
  m.failed = source_failed;
  return m;
}

Measured run_with_depth(const std::string& ticks_path, const std::string& depth_path) {
  const RunConfig c = config(true);
  const auto start = Clock::now();
  auto ticks = open_ticks(ticks_path);
  auto opened = halvorn::data::DepthReader::open(depth_path);
  if (!std::holds_alternative<halvorn::data::DepthReader>(opened)) std::exit(1);
  halvorn::data::StreamedDepth depth(std::move(std::get<halvorn::data::DepthReader>(opened)));
  Trader trader;
  const RunResult r = halvorn::backtest::run_stream(c, trader, ticks, depth);
  return measure(r, start, ticks.error() || depth.error());
}

Measured run_ticks_only(const std::string& ticks_path, bool l2) {
  const RunConfig c = config(l2);
  const auto start = Clock::now();
  auto ticks = open_ticks(ticks_path);
  Trader trader;
  const RunResult r = halvorn::backtest::run_stream(c, trader, ticks);
  return measure(r, start, ticks.error().has_value());
}

void report(const char* what, const Measured& m) {
  if (m.failed) {
    std::printf("%-20s FAILED\n", what);
    return;
  }
  std::printf(
      "%-20s %6.3f s  %5.2f M ticks/s  %5.2f M depth/s  %5.1f ns/tick  peak %4.1f MiB"
      " (fills %3.1f MiB)  %llu fills, %llu invalid ticks\n",
      what, m.seconds, static_cast<double>(m.ticks) / m.seconds / 1e6,
      static_cast<double>(m.depth_records) / m.seconds / 1e6,
      m.seconds * 1e9 / static_cast<double>(m.ticks), static_cast<double>(m.max_rss_kb) / 1024,
      static_cast<double>(m.fills_bytes) / (1024 * 1024), static_cast<unsigned long long>(m.fills),
      static_cast<unsigned long long>(m.invalid_ticks));
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t n_ticks = 10'000'000, n_updates = 20'000'000;
  std::uint64_t levels = 500;
  std::string dir = ".";
  bool keep = false;
  if (!halvorn::bench::read_flags(argc, argv,
                                  {{"--ticks", &n_ticks},
                                   {"--updates", &n_updates},
                                   {"--levels", &levels},
                                   {"--dir", &dir},
                                   {"--keep", &keep}})) {
    std::fprintf(stderr, "usage: %s [--ticks N] [--updates M] [--levels L] [--dir DIR] [--keep]\n",
                 argv[0]);
    return 2;
  }
  const std::string ticks_path = dir + "/depth_run_bench.hvtk";
  const std::string depth_path = dir + "/depth_run_bench-" + std::to_string(levels) + ".hvdp";

  // The files are written by a child too, so that nothing of the writing
  // is resident in the processes that run.
  const Measured written = in_child([&] {
    const auto start = Clock::now();
    auto ticks = halvorn::data::TickReader::open(ticks_path);
    if (!std::holds_alternative<halvorn::data::TickReader>(ticks) ||
        std::get<halvorn::data::TickReader>(ticks).count() != n_ticks) {
      halvorn::bench::write_tick_day(ticks_path, n_ticks);
    }
    auto depth = halvorn::data::DepthReader::open(depth_path);
    if (!std::holds_alternative<halvorn::data::DepthReader>(depth) ||
        std::get<halvorn::data::DepthReader>(depth).count() !=
            halvorn::bench::depth_day_records(n_updates)) {
      halvorn::bench::write_depth_day(depth_path, n_updates, levels);
    }
    Measured m;
    m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return m;
  });
  if (written.failed) return 1;
  std::printf("%llu ticks, %llu depth updates of %lld levels a side (ready in %.1f s)\n",
              static_cast<unsigned long long>(n_ticks), static_cast<unsigned long long>(n_updates),
              static_cast<long long>(levels), written.seconds);

  // A first pass brings both files into the page cache.
  (void)in_child([&] { return run_with_depth(ticks_path, depth_path); });
  report("L2, ticks and depth", in_child([&] { return run_with_depth(ticks_path, depth_path); }));
  report("L2, ticks only", in_child([&] { return run_ticks_only(ticks_path, true); }));
  report("L1, ticks only", in_child([&] { return run_ticks_only(ticks_path, false); }));

  if (!keep) {
    ::unlink(ticks_path.c_str());
    ::unlink(depth_path.c_str());
  }
  return 0;
}
