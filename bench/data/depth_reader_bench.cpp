// Reader throughput over a large depth file, checksum and checks included.
//
//   depth_reader_bench [--updates N] [--path FILE] [--passes P] [--keep]
//
// Writes a depth file of N updates (20_000_000 by default, about 1.8 GB)
// through DepthWriter -- the generated day of depth_day.hpp, with its
// snapshots and gaps -- unless FILE already holds one of that many records,
// then reads it P times through DepthReader::next and through the run loop's
// StreamedDepth, and reports the best pass in GB/s and records/s.  The file
// is left in the page cache (the condition measured: a day that has been
// read before, or fits in memory) and removed at the end unless --keep.
//
//   cmake -S . -B build/bench -DHALVORN_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build/bench --target depth_reader_bench
//   build/bench/bench/data/depth_reader_bench

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "data/depth_reader.hpp"
#include "depth_day.hpp"
#include "support/flags.hpp"

namespace {

using halvorn::book::DepthRecord;
using halvorn::data::DepthError;
using halvorn::data::DepthReader;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

DepthReader open_or_die(const std::string& path) {
  auto opened = DepthReader::open(path);
  if (auto* e = std::get_if<DepthError>(&opened)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e->display().c_str());
    std::exit(1);
  }
  return std::move(std::get<DepthReader>(opened));
}

void check(std::uint64_t got, std::uint64_t want, const std::optional<DepthError>& error) {
  if (error || got != want) {
    std::fprintf(stderr, "read %llu of %llu records%s%s\n", static_cast<unsigned long long>(got),
                 static_cast<unsigned long long>(want), error ? ": " : "",
                 error ? error->display().c_str() : "");
    std::exit(1);
  }
}

// A sum over every level read, so that nothing can be skipped.
std::int64_t touch(const DepthRecord& r) {
  std::int64_t s = r.time;
  std::visit(
      [&](const auto& e) {
        for (const auto& l : e.bids) s += l.qty;
        for (const auto& l : e.asks) s -= l.qty;
      },
      r.entry);
  return s;
}

double pass_next(const std::string& path, std::uint64_t count, std::int64_t* sink) {
  auto start = Clock::now();
  DepthReader reader = open_or_die(path);
  DepthRecord record;
  std::uint64_t got = 0;
  std::optional<DepthError> error;
  for (;;) {
    auto step = reader.next(record);
    if (std::holds_alternative<halvorn::data::RecordReady>(step)) {
      *sink += touch(record);
      ++got;
      continue;
    }
    if (auto* e = std::get_if<DepthError>(&step)) error = *e;
    break;
  }
  double s = seconds_since(start);
  check(got, count, error);
  return s;
}

double pass_streamed(const std::string& path, std::uint64_t count, std::int64_t* sink) {
  auto start = Clock::now();
  halvorn::data::StreamedDepth depth(open_or_die(path));
  DepthRecord record;
  std::uint64_t got = 0;
  while (depth.next(record)) {
    *sink += touch(record);
    ++got;
  }
  double s = seconds_since(start);
  check(got, count, depth.error());
  return s;
}

void report(const char* what, double s, double bytes, std::uint64_t count) {
  std::printf("%-36s %7.3f s  %6.2f GB/s  %7.1f M records/s\n", what, s, bytes / s / 1e9,
              static_cast<double>(count) / s / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t n = 20'000'000;
  std::string path = "depth_reader_bench.hvdp";
  int passes = 3;
  bool keep = false;
  if (!halvorn::bench::read_flags(
          argc, argv,
          {{"--updates", &n}, {"--path", &path}, {"--passes", &passes}, {"--keep", &keep}})) {
    std::fprintf(stderr, "usage: %s [--updates N] [--path FILE] [--passes P] [--keep]\n", argv[0]);
    return 2;
  }
  passes = std::max(1, passes);

  std::uint64_t count = 0;
  if (auto o = DepthReader::open(path); std::holds_alternative<DepthReader>(o)) {
    count = std::get<DepthReader>(o).count();
  }
  if (count != halvorn::bench::depth_day_records(n)) {
    auto start = Clock::now();
    const auto day = halvorn::bench::write_depth_day(path, n);
    count = day.updates + day.snapshots;
    std::printf("write (DepthWriter)                  %7.3f s  %llu updates, %llu snapshots\n",
                seconds_since(start), static_cast<unsigned long long>(day.updates),
                static_cast<unsigned long long>(day.snapshots));
  }
  DepthReader probe = open_or_die(path);
  const double bytes =
      40.0 + 48.0 * static_cast<double>(probe.count()) + 16.0 * static_cast<double>(probe.levels());
  std::printf("file: %.2f GB, %llu records, %llu levels\n", bytes / 1e9,
              static_cast<unsigned long long>(probe.count()),
              static_cast<unsigned long long>(probe.levels()));

  std::int64_t sink = 0;
  report("read, first pass", pass_next(path, count, &sink), bytes, count);
  double best = 1e300;
  for (int p = 0; p < passes; ++p) best = std::min(best, pass_next(path, count, &sink));
  report("read via DepthReader::next (best)", best, bytes, count);
  double best_streamed = 1e300;
  for (int p = 0; p < passes; ++p)
    best_streamed = std::min(best_streamed, pass_streamed(path, count, &sink));
  report("read via StreamedDepth (best)", best_streamed, bytes, count);
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024);
  std::printf("(sum of levels %lld)\n", static_cast<long long>(sink));
  if (!keep) ::unlink(path.c_str());
  return 0;
}
