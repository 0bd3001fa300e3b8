// Depth CSV to depth file: throughput on one core for each layout, and peak
// memory of a large conversion against a small one.
//
//   depth_csv_bench [--rows N] [--big-rows B] [--small-rows S] [--dir DIR] [--passes P]
//                   [--skip-memory]
//
// 1. Throughput: N rows (4_000_000 by default) of each layout are made in
//    memory first, then converted from there (best of P passes), so the
//    figure is the converter's alone: MB/s of uncompressed CSV in and rows
//    per second, the depth file written to a temporary file in DIR
//    (/dev/shm when it exists, else /tmp) and removed.  Book snapshots of 25
//    levels hold a whole book per row, N / 25 rows of them.
// 2. Memory: S (1_000_000) and then B (20_000_000) rows of depth diffs, made
//    on the fly inside the Input callbacks so the input is never held, each
//    converted in a fresh process (this program run again, before this one
//    has allocated anything large) whose peak resident set (getrusage of
//    the child) is reported; the difference is what the converter's memory
//    grows by with the input.  Runs first.
//
// The rows are a day as a recorder writes it: updates of one to eight
// levels near a random-walk mid price, prices to one decimal, quantities to
// three, and a snapshot of 1000 levels every 50_000 rows, so the largest
// message, which bounds the converter's memory, is the same at any size.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "data/csv_in_memory.hpp"
#include "data/depth_csv.hpp"
#include "support/flags.hpp"
#include "support/rerun.hpp"

namespace {

using halvorn::bench::Memory;
using halvorn::bench::put;
using halvorn::bench::put_fixed;
using halvorn::bench::put_uint;
using halvorn::data::ConvertError;
using halvorn::data::DepthConverted;
using halvorn::data::DepthConvertOptions;
using halvorn::data::DepthLayout;
using halvorn::data::Input;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr std::uint64_t SNAPSHOT_EVERY = 50'000;
constexpr int SNAPSHOT_LEVELS = 1'000;

// Rows of one depth layout, message by message.
struct Rows {
  DepthLayout layout = DepthLayout::Diffs;
  std::uint64_t left = 0;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint64_t id = 1'000'000'000;
  std::uint64_t time_us = 1'700'000'000'000'000;
  std::uint64_t mid = 421'234;  // ticks of 0.1
  std::uint64_t since_snapshot = SNAPSHOT_EVERY;
  // The message being written: rows left in it, and whether a snapshot.
  int in_message = 0;
  int level = 0;
  bool snapshot = false;
  std::uint64_t first = 0;
  std::uint64_t pu = 0;  // the last id of the update before, for chained diffs

  std::uint64_t next_random() {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  }

  void start_message() {
    const std::uint64_t r = next_random();
    snapshot = since_snapshot >= SNAPSHOT_EVERY;
    time_us += 1 + r % 2'000;
    mid = mid + (r >> 12) % 3 - 1;
    if (snapshot) {
      since_snapshot = 0;
      in_message = SNAPSHOT_LEVELS;
      first = id;
    } else {
      in_message = 1 + static_cast<int>((r >> 20) % 8);
      pu = id;
      // Chained diffs leave holes between one update's ids and the next's.
      first = id + 1 + (layout == DepthLayout::Chained ? (r >> 28) % 20 : 0);
      id = first + (r >> 24) % 3;
    }
    level = 0;
  }

  // Writes whole rows into [buf, buf + cap); returns the bytes written.
  std::size_t fill(char* buf, std::size_t cap) {
    char* p = buf;
    while (left > 0 && static_cast<std::size_t>(buf + cap - p) >= 160) {
      if (in_message == 0) start_message();
      const std::uint64_t r = next_random();
      // A snapshot lists bids then asks outward from the mid; an update
      // touches levels near it, a quarter of them deletions.
      const bool ask = snapshot ? level >= SNAPSHOT_LEVELS / 2 : (r & 1) != 0;
      const std::uint64_t depth = snapshot ? 1 + level % (SNAPSHOT_LEVELS / 2) : 1 + (r >> 8) % 20;
      const std::uint64_t price = ask ? mid + depth : mid - depth;
      const std::uint64_t qty = !snapshot && (r >> 16) % 4 == 0 ? 0 : 1 + (r >> 20) % 50'000;
      if (layout == DepthLayout::Diffs || layout == DepthLayout::Chained) {
        p = put(p, "BTCUSDT,");
        p = put_uint(p, time_us / 1'000);
        *p++ = ',';
        if (layout == DepthLayout::Diffs) {
          p = put_uint(p, time_us / 1'000 - 1);
          *p++ = ',';
        }
        p = put_uint(p, first);
        *p++ = ',';
        p = put_uint(p, id);
        p = put(p, ask ? ",a," : ",b,");
        p = put(p, snapshot ? "snap," : "set,");
      } else {
        p = put(p, "exch,BTCUSDT,");
        p = put_uint(p, time_us);
        *p++ = ',';
        p = put_uint(p, time_us + 150 + r % 300);
        p = put(p, snapshot ? ",true," : ",false,");
        p = put(p, ask ? "ask," : "bid,");
      }
      p = put_fixed(p, price, 1);
      *p++ = ',';
      p = put_fixed(p, qty, 3);
      if (layout == DepthLayout::Chained) {
        *p++ = ',';
        p = put_uint(p, snapshot ? 0 : pu);
      }
      *p++ = '\n';
      --in_message;
      ++level;
      ++since_snapshot;
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

// `n` rows of 25-level book snapshots: a whole book of a random walk per
// row, a few levels of it changed from the row before.
std::string make_books(std::uint64_t n) {
  constexpr int LEVELS = 25;
  std::string out;
  std::vector<char> row(4096);
  std::uint64_t state = 0x9E3779B97F4A7C15ull, time_us = 1'700'000'000'000'000, mid = 421'234;
  std::uint64_t qty[2][LEVELS];
  for (auto& side : qty) std::fill(std::begin(side), std::end(side), 1'000);
  for (std::uint64_t i = 0; i < n; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    time_us += 1 + state % 20'000;
    mid = mid + (state >> 12) % 3 - 1;
    qty[(state >> 20) & 1][(state >> 21) % LEVELS] = 1 + (state >> 28) % 50'000;
    char* p = row.data();
    p = put(p, "exch,BTCUSDT,");
    p = put_uint(p, time_us);
    *p++ = ',';
    p = put_uint(p, time_us + 150);
    for (int l = 0; l < LEVELS; ++l) {
      *p++ = ',';
      p = put_fixed(p, mid + 1 + static_cast<std::uint64_t>(l), 1);
      *p++ = ',';
      p = put_fixed(p, qty[1][l], 3);
      *p++ = ',';
      p = put_fixed(p, mid - static_cast<std::uint64_t>(l), 1);
      *p++ = ',';
      p = put_fixed(p, qty[0][l], 3);
    }
    *p++ = '\n';
    out.append(row.data(), p);
  }
  return out;
}

std::string make(DepthLayout layout, std::uint64_t n) {
  Rows rows{layout, n};
  std::string out;
  std::vector<char> chunk(1 << 20);
  while (rows.left > 0) out.append(chunk.data(), rows.fill(chunk.data(), chunk.size()));
  return out;
}

DepthConvertOptions bench_options() {
  DepthConvertOptions o;
  o.tick_size = "0.1";
  o.lot_size = "0.001";
  return o;
}

void die(const ConvertError& e) {
  std::fprintf(stderr, "conversion failed: %s\n", e.display().c_str());
  std::exit(1);
}

void throughput(const char* what, const std::string& csv, const std::string& out, int passes) {
  double best = 1e300;
  DepthConverted done;
  for (int p = 0; p < passes; ++p) {
    Memory m{&csv};
    Input in = m.input();
    const auto start = Clock::now();
    auto r = halvorn::data::convert_depth_csv(out, in, bench_options());
    const double s = seconds_since(start);
    if (auto* e = std::get_if<ConvertError>(&r)) die(*e);
    done = std::get<DepthConverted>(r);
    best = std::min(best, s);
  }
  ::unlink(out.c_str());
  const double bytes = static_cast<double>(done.bytes);
  std::printf(
      "%-16s %7.1f MB in, %9llu rows, %8llu records (%llu snapshots), %6.3f s: %7.1f MB/s, "
      "%6.2f M rows/s\n",
      what, bytes / 1e6, static_cast<unsigned long long>(done.rows),
      static_cast<unsigned long long>(done.records),
      static_cast<unsigned long long>(done.snapshots), best, bytes / best / 1e6,
      static_cast<double>(done.rows) / best / 1e6);
}

// Converts `n` generated rows to `out`; what a child process runs.
int convert_generated(std::uint64_t n, const std::string& out) {
  Generated g{Rows{DepthLayout::Diffs, n}};
  Input in = g.input();
  auto r = halvorn::data::convert_depth_csv(out, in, bench_options());
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
  std::uint64_t n = 4'000'000, big = 20'000'000, small = 1'000'000;
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
  const std::string out = dir + "/depth_csv_bench." + std::to_string(::getpid()) + ".hvdp";

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
    const std::string diffs = make(DepthLayout::Diffs, n);
    throughput("depth diffs", diffs, out, passes);
  }
  {
    const std::string clocked = make(DepthLayout::TwoClock, n);
    throughput("two-clock depth", clocked, out, passes);
  }
  {
    const std::string chained = make(DepthLayout::Chained, n);
    throughput("chained diffs", chained, out, passes);
  }
  {
    const std::string books = make_books(n / 25);
    throughput("book snapshot 25", books, out, passes);
  }
  return 0;
}
