// A generated trading day for the depth benchmarks: a tick file and a depth
// file over the same span of time, written streaming so that neither is ever
// in memory.
//
// Prices follow one random walk.  Each tick quotes one tick either side of
// it; each depth update sets one to three levels within twenty ticks of it
// (a quarter of them deletions).  A snapshot of `side_levels` levels a side
// (500 by default) opens the depth, and another follows every
// `snapshot_every` updates; every
// `gap_every` updates one update id is skipped, so the stream breaks and the
// matcher waits for the next snapshot, as a recorded stream sometimes does.
//
// Thread-safety: free functions over their own state.

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data/crc32.hpp"
#include "data/depth_writer.hpp"
#include "data/ticks.hpp"

namespace halvorn::bench {

// xorshift64: cheap, and the same day every time.
struct Walk {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

inline constexpr std::int64_t DAY_START = 1'700'000'000'000'000'000;
inline constexpr std::int64_t DAY_NS = 86'400'000'000'000;
inline constexpr std::int64_t MID = 60'000'000;

// The mid price at time t: a walk sampled on a fixed grid, so that ticks and
// depth written separately agree on it.
inline std::int64_t mid_at(std::int64_t t) {
  std::uint64_t x = static_cast<std::uint64_t>((t - DAY_START) / 50'000'000) + 1;  // 50 ms steps
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  // A slow triangle over eight hours, so the book drifts across prices,
  // plus a little noise on each 50 ms step.
  const std::int64_t hours = (t - DAY_START) / 3'600'000'000'000;
  const std::int64_t drift = (hours % 8 < 4 ? hours % 8 : 8 - hours % 8) * 40;
  return MID + drift + static_cast<std::int64_t>(x % 7) - 3;
}

inline bool write_all(int fd, const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Writes `n` ticks evenly over the day, the header last.
inline void write_tick_day(const std::string& path, std::uint64_t n) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  unsigned char header[32] = {};
  if (!write_all(fd, header, sizeof header)) std::exit(1);
  std::vector<engine::Tick> chunk(1 << 16);
  std::uint32_t crc = 0;
  Walk walk;
  std::int64_t volume = 0;
  const std::int64_t step = DAY_NS / static_cast<std::int64_t>(n);
  for (std::uint64_t done = 0; done < n;) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, chunk.size()));
    for (std::size_t i = 0; i < k; ++i) {
      const std::int64_t t = DAY_START + static_cast<std::int64_t>(done + i + 1) * step;
      const std::int64_t mid = mid_at(t);
      const std::uint64_t r = walk.next();
      volume += static_cast<std::int64_t>(r % 40);
      const std::int64_t last = mid + static_cast<std::int64_t>(r >> 62) - 1;
      chunk[i] = engine::Tick{t, t + 100'000, last, last + 2, last - 2, mid - 1, mid + 1, volume};
    }
    // Little-endian host assumed: the records are the ticks' own bytes.
    crc = data::crc32_extend(crc, chunk.data(), k * sizeof(engine::Tick));
    if (!write_all(fd, chunk.data(), k * sizeof(engine::Tick))) std::exit(1);
    done += k;
  }
  std::memcpy(header, "HVTK", 4);
  header[4] = 2;
  for (int i = 0; i < 8; ++i) header[8 + i] = static_cast<unsigned char>(n >> (8 * i));
  header[16] = 1;
  for (int i = 0; i < 4; ++i) header[24 + i] = static_cast<unsigned char>(crc >> (8 * i));
  if (::pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) std::exit(1);
  ::close(fd);
}

struct DepthDay {
  std::uint64_t updates = 0;
  std::uint64_t snapshots = 0;
  std::uint64_t gaps = 0;
};

// The records write_depth_day writes for `n` updates: the updates and the
// snapshots among them.
inline std::uint64_t depth_day_records(std::uint64_t n, std::uint64_t snapshot_every = 1'000'000) {
  std::uint64_t snapshots = 1;
  for (std::uint64_t i = snapshot_every / 2; i < n; i += snapshot_every) snapshots += i > 0;
  return n + snapshots;
}

// Writes `n` depth updates evenly over the day through the depth writer,
// with the snapshots and gaps described above.
inline DepthDay write_depth_day(const std::string& path, std::uint64_t n,
                                std::int64_t side_levels = 500,
                                std::uint64_t snapshot_every = 1'000'000,
                                std::uint64_t gap_every = 4'000'000) {
  auto begun = data::DepthWriter::begin(path, 1);
  if (auto* err = std::get_if<int>(&begun)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(*err));
    std::exit(1);
  }
  data::DepthWriter& writer = std::get<data::DepthWriter>(begun);
  auto add = [&](const book::DepthRecord& r) {
    if (auto refused = writer.add(r)) {
      std::fprintf(stderr, "refused: %s\n", refused->display().c_str());
      std::exit(1);
    }
  };
  DepthDay day;
  Walk walk;
  std::uint64_t id = 1'000;
  const std::int64_t step = DAY_NS / static_cast<std::int64_t>(n);
  auto snapshot = [&](std::int64_t t) {
    book::DepthSnapshot s{id, {}, {}};
    const std::int64_t mid = mid_at(t);
    for (std::int64_t i = 1; i <= side_levels; ++i) {
      s.bids.push_back({mid - i, 1 + static_cast<std::int64_t>(walk.next() % 50)});
      s.asks.push_back({mid + i, 1 + static_cast<std::int64_t>(walk.next() % 50)});
    }
    add(book::DepthRecord{t, std::move(s)});
    ++day.snapshots;
  };
  snapshot(DAY_START);
  book::DepthRecord record{0, book::DepthUpdate{}};
  auto& u = std::get<book::DepthUpdate>(record.entry);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::int64_t t = DAY_START + static_cast<std::int64_t>(i) * step + step / 2;
    if (i > 0 && i % gap_every == 0) {
      ++id;  // an update lost: the stream breaks here
      ++day.gaps;
    }
    if (i > 0 && i % snapshot_every == snapshot_every / 2) snapshot(t);
    const std::int64_t mid = mid_at(t);
    u.bids.clear();
    u.asks.clear();
    const std::uint64_t r = walk.next();
    for (std::uint64_t j = 0; j <= r % 3; ++j) {
      const std::uint64_t s = walk.next();
      const std::int64_t away = 1 + static_cast<std::int64_t>(s % 20);
      const std::int64_t qty =
          (s >> 8) % 4 == 0 ? 0 : 1 + static_cast<std::int64_t>((s >> 16) % 50);
      ((s >> 40) % 2 ? u.bids : u.asks).push_back({(s >> 40) % 2 ? mid - away : mid + away, qty});
    }
    u.first_id = u.final_id = ++id;
    record.time = t;
    add(record);
    ++day.updates;
  }
  if (int err = writer.commit()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), std::strerror(err));
    std::exit(1);
  }
  return day;
}

}  // namespace halvorn::bench
