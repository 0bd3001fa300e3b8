// CSV to tick file: throughput on one core, the column encoder's output
// rate, and peak memory of a large conversion against a small one.
//
//   csv_convert_bench [--rows N] [--big-rows B] [--small-rows S] [--dir DIR] [--passes P]
//                     [--skip-memory]
//
// 1. Throughput: N rows (4_000_000 by default) of each layout are made in
//    memory first, then converted from there (best of P passes), so the
//    figure is the converter's alone: MB/s of uncompressed CSV in, output
//    written to a temporary file in DIR (/dev/shm when it exists, else
//    /tmp) and removed.  Trades with best quotes merges two streams.
// 2. Columns: N rows of eight columns of mixed widths through write_columns,
//    in GB/s of tick file written.
// 3. Memory: S (1_000_000) and then B (50_000_000) trade rows, made on the
//    fly inside the Input callbacks so the input is never held, each
//    converted in a fresh process (this program run again, before this one
//    has allocated anything large) whose peak resident set (getrusage of
//    the child) is reported; the difference is what the converter's memory
//    grows by with the input.  Runs first.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "data/column_writer.hpp"
#include "data/csv_convert.hpp"
#include "data/csv_in_memory.hpp"
#include "support/flags.hpp"
#include "support/rerun.hpp"

namespace {

using halvorn::bench::Memory;
using halvorn::bench::put_fixed;
using halvorn::bench::put_uint;
using halvorn::data::ConvertError;
using halvorn::data::ConvertOptions;
using halvorn::data::Input;
using halvorn::data::Layout;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Rows of one layout as an archive would hold them: a random walk of
// prices to two decimals, quantities to three, times in milliseconds.
struct Rows {
  Layout layout = Layout::Trades;
  std::uint64_t left = 0;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint64_t id = 1'000'000'000, time = 1'700'000'000'000, price = 4'212'340;

  std::uint64_t next_random() {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  }

  // Writes whole rows into [buf, buf + cap); returns the bytes written.
  std::size_t fill(char* buf, std::size_t cap) {
    char* p = buf;
    while (left > 0 && static_cast<std::size_t>(buf + cap - p) >= 160) {
      const std::uint64_t r = next_random();
      time += r % 3;
      price = price + 10 * ((r >> 8) % 3) - 10;
      const std::uint64_t qty = 1 + (r >> 16) % 20'000;
      const bool maker = (r >> 40) & 1;
      p = put_uint(p, id++);
      *p++ = ',';
      if (layout == Layout::BestQuotes) {
        p = put_fixed(p, price - 10, 2);
        *p++ = ',';
        p = put_fixed(p, qty, 3);
        *p++ = ',';
        p = put_fixed(p, price + 10, 2);
        *p++ = ',';
        p = put_fixed(p, qty / 2 + 1, 3);
        *p++ = ',';
        p = put_uint(p, time);
        *p++ = ',';
        p = put_uint(p, time + 1);
      } else {
        p = put_fixed(p, price, 2);
        *p++ = ',';
        p = put_fixed(p, qty, 3);
        *p++ = ',';
        if (layout == Layout::Trades) {
          p = put_fixed(p, price * qty / 1000, 4);
        } else {
          p = put_uint(p, id * 3);
          *p++ = ',';
          p = put_uint(p, id * 3 + 2);
        }
        *p++ = ',';
        p = put_uint(p, time);
        std::memcpy(p, maker ? ",true" : ",false", maker ? 5 : 6);
        p += maker ? 5 : 6;
      }
      *p++ = '\n';
      --left;
    }
    return static_cast<std::size_t>(p - buf);
  }
};

// One file made row by row as it is read.
struct Generated {
  Rows rows;
  bool given = false;

  Input input() {
    return Input{this,
                 [](void* c, std::string* name) {
                   *name = "generated.csv";
                   return !std::exchange(static_cast<Generated*>(c)->given, true);
                 },
                 [](void* c, std::uint8_t* buf, std::size_t cap) -> std::ptrdiff_t {
                   return static_cast<std::ptrdiff_t>(
                       static_cast<Generated*>(c)->rows.fill(reinterpret_cast<char*>(buf), cap));
                 }};
  }
};

std::string make(Layout layout, std::uint64_t n) {
  Rows rows{layout, n};
  std::string out;
  std::vector<char> chunk(1 << 20);
  while (rows.left > 0) out.append(chunk.data(), rows.fill(chunk.data(), chunk.size()));
  return out;
}

ConvertOptions bench_options() {
  ConvertOptions o;
  o.tick_size = "0.10";
  o.lot_size = "0.001";
  return o;
}

void die(const ConvertError& e) {
  std::fprintf(stderr, "conversion failed: %s\n", e.display().c_str());
  std::exit(1);
}

void throughput(const char* what, const std::string& trades, const std::string* quotes,
                const std::string& out, int passes) {
  double best = 1e300;
  halvorn::data::Converted done;
  for (int p = 0; p < passes; ++p) {
    Memory t{&trades}, q{quotes};
    Input ti = t.input(), qi = q.input();
    const auto start = Clock::now();
    auto r = halvorn::data::convert_csv(out, ti, quotes ? &qi : nullptr, bench_options());
    const double s = seconds_since(start);
    if (auto* e = std::get_if<ConvertError>(&r)) die(*e);
    done = std::get<halvorn::data::Converted>(r);
    best = std::min(best, s);
  }
  ::unlink(out.c_str());
  const double bytes = static_cast<double>(done.bytes);
  std::printf("%-30s %6.1f MB in, %9llu ticks, %6.3f s: %7.1f MB/s, %6.2f M rows/s\n", what,
              bytes / 1e6, static_cast<unsigned long long>(done.ticks), best, bytes / best / 1e6,
              static_cast<double>(done.trades + done.quotes) / best / 1e6);
}

void columns(std::uint64_t n, const std::string& out, int passes) {
  std::vector<std::int64_t> exch(n), volume(n);
  std::vector<std::int32_t> last(n), bid(n), ask(n);
  std::vector<std::uint32_t> local_delay(n);
  std::int64_t t = 1'700'000'000'000'000'000, v = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    t += static_cast<std::int64_t>(i % 7) * 1000;
    v += static_cast<std::int64_t>(i % 13);
    exch[i] = t;
    volume[i] = v;
    last[i] = static_cast<std::int32_t>(421'234 + i % 50);
    bid[i] = last[i] - 1;
    ask[i] = last[i] + 1;
    local_delay[i] = static_cast<std::uint32_t>(i % 1000);
  }
  using halvorn::data::Column;
  using halvorn::data::ElementKind;
  halvorn::data::Columns c;
  c.exch_ts = Column{exch.data(), n, 8, ElementKind::I64};
  c.local_ts = Column{local_delay.data(), n, 4, ElementKind::U32};
  c.last = Column{last.data(), n, 4, ElementKind::I32};
  c.bid = Column{bid.data(), n, 4, ElementKind::I32};
  c.ask = Column{ask.data(), n, 4, ElementKind::I32};
  c.volume = Column{volume.data(), n, 8, ElementKind::I64};
  double best = 1e300;
  for (int p = 0; p < passes; ++p) {
    const auto start = Clock::now();
    auto r = halvorn::data::write_columns(out, 1, c);
    const double s = seconds_since(start);
    if (auto* e = std::get_if<halvorn::data::ColumnsError>(&r)) {
      std::fprintf(stderr, "columns failed: %s\n", e->display().c_str());
      std::exit(1);
    }
    best = std::min(best, s);
  }
  ::unlink(out.c_str());
  const double bytes = 32.0 + 64.0 * static_cast<double>(n);
  std::printf("%-30s %6.1f MB out, %6.3f s: %6.2f GB/s\n", "columns (6 of 8, mixed widths)",
              bytes / 1e6, best, bytes / best / 1e9);
}

// Converts `n` generated trade rows to `out`; what a child process runs.
int convert_generated(std::uint64_t n, const std::string& out) {
  Generated g{Rows{Layout::Trades, n}};
  Input in = g.input();
  auto r = halvorn::data::convert_csv(out, in, nullptr, bench_options());
  ::unlink(out.c_str());
  if (auto* e = std::get_if<ConvertError>(&r)) die(*e);
  return 0;
}

// Converts `n` generated rows in a fresh process (this program run again);
// returns its peak resident set in KiB.
long peak_kib(const char* self, std::uint64_t n, const std::string& out) {
  return halvorn::bench::rerun_peak_kib(self,
                                        {"--child-rows", std::to_string(n), "--child-out", out});
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t n = 4'000'000, big = 50'000'000, small = 1'000'000;
  std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  int passes = 3;
  std::uint64_t child_rows = 0;
  std::string child_out;
  bool skip_memory = false;
  if (!halvorn::bench::read_flags(argc, argv,
                                  {{"--rows", &n},
                                   {"--big-rows", &big},
                                   {"--small-rows", &small},
                                   {"--dir", &dir},
                                   {"--passes", &passes},
                                   {"--skip-memory", &skip_memory},
                                   {"--child-rows", &child_rows},
                                   {"--child-out", &child_out}})) {
    std::fprintf(stderr,
                 "usage: %s [--rows N] [--big-rows B] [--small-rows S] [--dir DIR] "
                 "[--passes P] [--skip-memory]\n",
                 argv[0]);
    return 2;
  }
  passes = std::max(1, passes);
  const bool memory = !skip_memory;
  if (!child_out.empty()) return convert_generated(child_rows, child_out);
  const std::string out = dir + "/csv_convert_bench." + std::to_string(::getpid()) + ".hvtk";

  // Memory first, while this process is small: a child's peak as the
  // system counts it includes what it was forked from.
  if (memory) {
    const long s = peak_kib(argv[0], small, out);
    const long b = peak_kib(argv[0], big, out);
    std::printf("peak resident: %llu rows %ld KiB, %llu rows %ld KiB, difference %ld KiB\n",
                static_cast<unsigned long long>(small), s, static_cast<unsigned long long>(big), b,
                b - s);
  }
  {
    const std::string trades = make(Layout::Trades, n);
    throughput("trades", trades, nullptr, out, passes);
    const std::string agg = make(Layout::AggTrades, n);
    throughput("aggregated trades", agg, nullptr, out, passes);
    const std::string quotes = make(Layout::BestQuotes, n);
    throughput("trades with best quotes", trades, &quotes, out, passes);
  }
  columns(n, out, passes);
  return 0;
}
