// Mark price CSV to mark file: throughput on one core for each layout.
//
//   mark_csv_bench [--rows N] [--dir DIR] [--passes P]
//
// N rows (4_000_000 by default) of klines and of the derivative ticker are
// made in memory first, then converted from there (best of P passes), so the
// figure is the converter's alone: MB/s of uncompressed CSV in and rows per
// second, the mark file written to a temporary file in DIR (/dev/shm when it
// exists, else /tmp) and removed.  The klines are one a second with eight
// decimals, as mark prices are written, and rounded to the tick; the ticker
// rows leave most columns empty and change the mark on most rows, the index
// on a third, and announce funding every eight hours.

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
#include "data/mark_csv.hpp"
#include "support/flags.hpp"

namespace {

using halvorn::bench::Memory;
using halvorn::bench::put;
using halvorn::bench::put_fixed;
using halvorn::bench::put_uint;
using halvorn::data::ConvertError;
using halvorn::data::Input;
using halvorn::data::Layout;
using halvorn::data::MarkConvertOptions;
using halvorn::data::MarksConverted;
using Clock = std::chrono::steady_clock;

struct Random {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint64_t next() {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    return state;
  }
};

std::string make(Layout layout, std::uint64_t n) {
  Random rng;
  std::string out;
  std::vector<char> row(512);
  std::uint64_t mark = 4'212'340'000'000;  // in units of 1e-8
  std::uint64_t time_ms = 1'700'000'000'000, funding_ms = time_ms + 8 * 3'600'000;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t r = rng.next();
    mark = mark + r % 2'000'001 - 1'000'000;
    char* p = row.data();
    if (layout == Layout::Klines) {
      p = put_uint(p, time_ms);
      *p++ = ',';
      for (int k = 0; k < 4; ++k) {
        p = put_fixed(p, mark + static_cast<std::uint64_t>(k) * 137, 8);
        *p++ = ',';
      }
      p = put(p, "0,");
      p = put_uint(p, time_ms + 999);
      p = put(p, ",0,60,0,0,0\n");
      time_ms += 1'000;
    } else {
      time_ms += 1 + r % 1'000;
      if (time_ms > funding_ms) funding_ms += 8 * 3'600'000;
      const std::uint64_t us = time_ms * 1'000 + (r >> 8) % 1'000;
      p = put(p, "exch,BTCUSDT,");
      p = put_uint(p, us);
      *p++ = ',';
      p = put_uint(p, us + 150);
      *p++ = ',';
      if ((r >> 16) % 4 == 0) {  // a funding announcement
        p = put_uint(p, funding_ms * 1'000);
        p = put(p, ",0.000");
        p = put_uint(p, 100 + (r >> 20) % 900);
      } else {
        *p++ = ',';
      }
      p = put(p, ",,,,");
      if ((r >> 30) % 3 == 0) p = put_fixed(p, mark / 10'000'000 - 3, 1);
      *p++ = ',';
      if ((r >> 34) % 4 != 0) p = put_fixed(p, mark / 10'000'000, 1);
      *p++ = '\n';
    }
    out.append(row.data(), p);
  }
  return out;
}

void throughput(const char* what, Layout layout, const std::string& csv, const std::string& out,
                int passes) {
  MarkConvertOptions o;
  o.tick_size = "0.1";
  o.lot_size = "0.001";
  o.round = true;
  o.layout = layout;
  double best = 1e300;
  MarksConverted done;
  for (int p = 0; p < passes; ++p) {
    Memory m{&csv};
    Input in = m.input();
    const auto start = Clock::now();
    auto r = halvorn::data::convert_marks_csv(out, in, o);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (auto* e = std::get_if<ConvertError>(&r)) {
      std::fprintf(stderr, "conversion failed: %s\n", e->display().c_str());
      std::exit(1);
    }
    done = std::get<MarksConverted>(r);
    best = std::min(best, s);
  }
  ::unlink(out.c_str());
  const double bytes = static_cast<double>(done.bytes);
  std::printf(
      "%-18s %7.1f MB in, %9llu rows, %8llu records, %4llu settlements, %6.3f s: %7.1f MB/s, "
      "%6.2f M rows/s\n",
      what, bytes / 1e6, static_cast<unsigned long long>(done.rows),
      static_cast<unsigned long long>(done.records),
      static_cast<unsigned long long>(done.settlements), best, bytes / best / 1e6,
      static_cast<double>(done.rows) / best / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t n = 4'000'000;
  std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  int passes = 3;
  if (!halvorn::bench::read_flags(argc, argv,
                                  {{"--rows", &n}, {"--dir", &dir}, {"--passes", &passes}})) {
    std::fprintf(stderr, "usage: %s [--rows N] [--dir DIR] [--passes P]\n", argv[0]);
    return 2;
  }
  passes = std::max(1, passes);
  const std::string out = dir + "/mark_csv_bench." + std::to_string(::getpid()) + ".hvmk";
  throughput("klines", Layout::Klines, make(Layout::Klines, n), out, passes);
  throughput("derivative ticker", Layout::DerivativeTicker, make(Layout::DerivativeTicker, n), out,
             passes);
  return 0;
}
