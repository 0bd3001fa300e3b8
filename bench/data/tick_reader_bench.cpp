// Reader throughput over a large tick file, checksum included.
//
//   tick_reader_bench [--ticks N] [--path FILE] [--passes P] [--keep]
//
// Writes a file of N ticks (50_000_000 by default, 3.2 GB) in a streaming way
// -- one chunk of records at a time under an incremental CRC, the header
// written last -- unless FILE already holds a tick file of N records, then
// reads it P times through TickReader::next and once through the run loop's
// StreamedTicks, and reports the best pass in GB/s and ticks/s.  The file is
// left in the page cache (that is the condition measured: a series that has
// been read before, or fits in memory), and removed at the end unless --keep.
// The raw speed of each CRC method is reported too, for comparison.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data/ticks.hpp"
#include "support/flags.hpp"

namespace {

using halvorn::data::Error;
using halvorn::data::Next;
using halvorn::data::StreamedTicks;
using halvorn::data::TickReader;
using halvorn::engine::Tick;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void put_le(unsigned char* at, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool write_all(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// A random walk of prices with non-decreasing times, produced a chunk at a
// time so that the whole series is never in memory.
void write_file(const std::string& path, std::uint64_t n) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  unsigned char header[32] = {};
  if (!write_all(fd, header, sizeof header)) std::exit(1);  // rewritten at the end
  std::vector<Tick> chunk(1 << 16);
  std::uint32_t crc = 0;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::int64_t ts = 1'700'000'000'000'000'000, price = 60'000'000, volume = 0;
  for (std::uint64_t done = 0; done < n;) {
    std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, chunk.size()));
    for (std::size_t i = 0; i < k; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      ts += static_cast<std::int64_t>(state % 1'000'000);
      price += static_cast<std::int64_t>(state >> 61) - 3;
      volume += static_cast<std::int64_t>((state >> 20) % 50);
      chunk[i] = Tick{ts, ts + 150'000, price, price + 2, price - 2, price - 1, price + 1, volume};
    }
    // Little-endian host assumed: the records are the ticks' own bytes.
    crc = halvorn::data::crc32_extend(crc, chunk.data(), k * sizeof(Tick));
    if (!write_all(fd, chunk.data(), k * sizeof(Tick))) {
      std::perror("write");
      std::exit(1);
    }
    done += k;
  }
  std::memcpy(header, "HVTK", 4);
  put_le(header + 4, 2, 2);
  put_le(header + 8, n, 8);
  put_le(header + 16, 1, 8);
  put_le(header + 24, crc, 4);
  if (::pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) std::exit(1);
  ::close(fd);
}

TickReader open_or_die(const std::string& path) {
  auto opened = TickReader::open(path);
  if (auto* e = std::get_if<Error>(&opened)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e->display().c_str());
    std::exit(1);
  }
  return std::move(std::get<TickReader>(opened));
}

void check(std::uint64_t got, std::uint64_t want, const std::optional<Error>& error) {
  if (error || got != want) {
    std::fprintf(stderr, "read %llu of %llu ticks%s%s\n", static_cast<unsigned long long>(got),
                 static_cast<unsigned long long>(want), error ? ": " : "",
                 error ? error->display().c_str() : "");
    std::exit(1);
  }
}

// One pass through next(); returns seconds.
double pass_next(const std::string& path, std::uint64_t n, std::int64_t* sink) {
  auto start = Clock::now();
  TickReader reader = open_or_die(path);
  std::uint64_t got = 0;
  std::optional<Error> error;
  for (;;) {
    Next step = reader.next();
    if (auto* t = std::get_if<Tick>(&step)) {
      *sink += t->last;
      ++got;
      continue;
    }
    if (auto* e = std::get_if<Error>(&step)) error = *e;
    break;
  }
  double s = seconds_since(start);
  check(got, n, error);
  return s;
}

// One pass through the run loop's adapter; returns seconds.
double pass_streamed(const std::string& path, std::uint64_t n, std::int64_t* sink) {
  auto start = Clock::now();
  StreamedTicks ticks(open_or_die(path));
  Tick t;
  std::uint64_t got = 0;
  while (ticks.next(t)) {
    *sink += t.last;
    ++got;
  }
  double s = seconds_since(start);
  check(got, n, ticks.error());
  return s;
}

void report(const char* what, double s, std::uint64_t n) {
  double bytes = 32.0 + 64.0 * static_cast<double>(n);
  std::printf("%-34s %7.3f s  %6.2f GB/s  %7.1f M ticks/s\n", what, s, bytes / s / 1e9,
              static_cast<double>(n) / s / 1e6);
}

void crc_speeds() {
  std::vector<unsigned char> buf(1 << 19);  // one block, as the reader checksums it
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 7);
  using Fn = std::uint32_t (*)(std::uint32_t, const void*, std::size_t);
  struct Method {
    const char* name;
    Fn fn;
    bool available;
  };
  const Method methods[] = {
      {"crc32 byte at a time", halvorn::data::crc32_bytewise, true},
      {"crc32 slicing by 8", halvorn::data::crc32_slicing, true},
      {"crc32 carry-less folding", halvorn::data::crc32_folding,
       halvorn::data::crc32_folding_supported()},
      {"crc32 carry-less folding, 64 bytes", halvorn::data::crc32_wide_folding,
       halvorn::data::crc32_wide_folding_supported()},
  };
  for (const Method& m : methods) {
    if (!m.available) continue;
    std::uint32_t crc = 0;
    int rounds = 0;
    auto start = Clock::now();
    do {
      crc = m.fn(crc, buf.data(), buf.size());
      ++rounds;
    } while (seconds_since(start) < 0.3);
    double s = seconds_since(start);
    std::printf("%-34s %6.2f GB/s (in cache; %08x)\n", m.name,
                static_cast<double>(buf.size()) * rounds / s / 1e9, crc);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t n = 50'000'000;
  std::string path = "tick_reader_bench.hvtk";
  int passes = 3;
  bool keep = false;
  if (!halvorn::bench::read_flags(
          argc, argv,
          {{"--ticks", &n}, {"--path", &path}, {"--passes", &passes}, {"--keep", &keep}})) {
    std::fprintf(stderr, "usage: %s [--ticks N] [--path FILE] [--passes P] [--keep]\n", argv[0]);
    return 2;
  }
  passes = std::max(1, passes);

  bool reuse = false;
  if (auto opened = TickReader::open(path); std::holds_alternative<TickReader>(opened)) {
    reuse = std::get<TickReader>(opened).count() == n;
  }
  if (!reuse) {
    auto start = Clock::now();
    write_file(path, n);
    report("write (streamed, incremental CRC)", seconds_since(start), n);
  }

  std::int64_t sink = 0;
  // The first pass also brings the file into the page cache if it was not.
  double warm = pass_next(path, n, &sink);
  report("read, first pass", warm, n);
  double best = 1e300;
  for (int p = 0; p < passes; ++p) best = std::min(best, pass_next(path, n, &sink));
  report("read via TickReader::next (best)", best, n);
  double best_streamed = 1e300;
  for (int p = 0; p < passes; ++p)
    best_streamed = std::min(best_streamed, pass_streamed(path, n, &sink));
  report("read via StreamedTicks (best)", best_streamed, n);
  crc_speeds();
  std::printf("(checksum of prices %lld)\n", static_cast<long long>(sink));

  if (!keep) ::unlink(path.c_str());
  return 0;
}
