// What merging a portfolio's tick files by time can cost at the least, next
// to what the merge costs.
//
//   merge_floor_bench [--files K] [--ticks N] [--dir DIR] [--passes P] [--keep]
//
// Writes K files of N / K ticks each, instrument k ticking 1 / K of a step
// after instrument k - 1, so that every tick comes from another file than
// the one before it, and one file of the same N ticks; files already in DIR
// are reused.  Each file is then read from the page cache P times in four
// ways, the best pass of each reported in ns a tick and against the first:
//
//   one file          the single file's ticks where they lie in its blocks;
//   K files in turn   each tick from the next file, where it lies: reading
//                     K files at once with no merge and no copy;
//   K files copied    the same ticks copied in turn into one block of
//                     ticks with an instrument id beside each: the least
//                     any merged block costs, the order known beforehand;
//   K files merged    the run's own merge by time into such a block.
//
// The gap between the first two is what reading K files instead of one
// costs; between the second and the third, what copying each tick into the
// merged block costs; between the third and the fourth, what finding the
// order costs.  Each file reads the blocks a run merging K files reads.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backtest/kway_merge.hpp"
#include "data/tick_writer.hpp"
#include "data/ticks.hpp"
#include "support/flags.hpp"

namespace {

using halvorn::InstrumentId;
using halvorn::backtest::MergedTicks;
using halvorn::data::StreamedTicks;
using halvorn::data::TickReader;
using halvorn::engine::Tick;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t START = 1'700'000'000'000'000'000;
constexpr std::int64_t STEP = 50'000'000;  // ns between two ticks of one instrument

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

// n ticks of a random walk, one every `step` ns from `first` on.
void write_series(const std::string& path, std::uint64_t instrument, std::uint64_t n,
                  std::int64_t first, std::int64_t step) {
  auto begun = halvorn::data::TickWriter::begin(path, instrument);
  auto* writer = std::get_if<halvorn::data::TickWriter>(&begun);
  if (writer == nullptr) die(path + ": cannot be written");
  std::vector<Tick> chunk(1 << 14);
  std::uint64_t state = 0x9E3779B97F4A7C15ull + instrument;
  std::int64_t price = 600'000;
  for (std::uint64_t done = 0; done < n;) {
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, chunk.size()));
    for (std::size_t i = 0; i < k; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      price += static_cast<std::int64_t>(state % 7) - 3;
      const std::int64_t ts = first + static_cast<std::int64_t>(done + i) * step;
      chunk[i] = Tick{ts, ts, price, price, price, price - 1, price + 1, 0};
    }
    if (writer->append(std::span<const Tick>(chunk.data(), k))) die(path + ": append failed");
    done += k;
  }
  if (writer->finish()) die(path + ": finish failed");
}

// `path` with n records, written unless it is there already.
void ensure(const std::string& path, std::uint64_t instrument, std::uint64_t n, std::int64_t first,
            std::int64_t step) {
  auto opened = TickReader::open(path);
  if (auto* r = std::get_if<TickReader>(&opened); r != nullptr && r->count() == n) return;
  write_series(path, instrument, n, first, step);
}

StreamedTicks stream(const std::string& path, std::size_t block_records) {
  auto opened = TickReader::open(path, {}, block_records);
  auto* reader = std::get_if<TickReader>(&opened);
  if (reader == nullptr) die(path + ": cannot be read");
  return StreamedTicks(std::move(*reader));
}

std::vector<StreamedTicks> streams(const std::vector<std::string>& paths,
                                   std::size_t block_records) {
  std::vector<StreamedTicks> out;
  out.reserve(paths.size());
  for (const std::string& p : paths) out.push_back(stream(p, block_records));
  return out;
}

struct Pass {
  std::uint64_t ticks = 0;
  std::int64_t sum = 0;  // of prices and ids, so that no read is left out
};

Pass one_file(const std::string& path) {
  StreamedTicks s = stream(path, halvorn::data::BLOCK_RECORDS);
  Pass p;
  while (const Tick* t = s.next_in_place()) {
    p.sum += t->last;
    ++p.ticks;
  }
  return p;
}

Pass in_turn(const std::vector<std::string>& paths, std::size_t block_records) {
  std::vector<StreamedTicks> s = streams(paths, block_records);
  Pass p;
  for (bool more = true; more;) {
    for (std::size_t k = 0; k < s.size(); ++k) {
      const Tick* t = s[k].next_in_place();
      if (t == nullptr) {
        more = false;
        break;
      }
      p.sum += t->last + static_cast<std::int64_t>(k + 1);
      ++p.ticks;
    }
  }
  return p;
}

Pass copied(const std::vector<std::string>& paths, std::size_t block_records, std::size_t block) {
  std::vector<StreamedTicks> s = streams(paths, block_records);
  std::vector<Tick> ticks(block);
  std::vector<std::int64_t> tags(block);
  Pass p;
  std::size_t next = 0;
  for (bool more = true; more;) {
    std::size_t n = 0;
    while (n < block) {
      const Tick* t = s[next].next_in_place();
      if (t == nullptr) {
        more = false;
        break;
      }
      ticks[n] = *t;
      tags[n] = static_cast<std::int64_t>(next + 1);
      ++n;
      next = next + 1 == s.size() ? 0 : next + 1;
    }
    for (std::size_t i = 0; i < n; ++i) p.sum += ticks[i].last + tags[i];
    p.ticks += n;
  }
  return p;
}

Pass merged(const std::vector<std::string>& paths, std::size_t block_records, std::size_t block) {
  std::vector<StreamedTicks> s = streams(paths, block_records);
  std::vector<StreamedTicks*> sources;
  std::vector<InstrumentId> ids;
  for (std::size_t k = 0; k < s.size(); ++k) {
    sources.push_back(&s[k]);
    ids.push_back(InstrumentId{static_cast<std::uint32_t>(k + 1)});
  }
  MergedTicks<StreamedTicks> m(std::move(sources), ids, block);
  Pass p;
  while (const Tick* t = m.next_in_place()) {
    const std::size_t n = m.in_place();
    const std::int64_t* id = m.last_instrument();
    p.sum += t->last + *id;
    for (std::size_t i = 0; i < n; ++i) p.sum += t[i + 1].last + id[i + 1];
    m.skip_in_place(n);
    p.ticks += n + 1;
  }
  return p;
}

// ns a tick of one pass; the best of each way is kept over passes that
// take the ways in turn, so that a busy spell of the machine falls on all
// of them rather than on one.
template <class F>
double ns_of(std::uint64_t want, std::int64_t* sink, F pass) {
  const auto start = Clock::now();
  const Pass p = pass();
  const double s = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  if (p.ticks != want) die("a pass read the wrong number of ticks");
  *sink += p.sum;
  return s / static_cast<double>(want);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t files = 10;
  std::uint64_t n = 50'000'000;
  std::string dir = ".";
  int passes = 3;
  bool keep = false;
  if (!halvorn::bench::read_flags(argc, argv,
                                  {{"--files", &files},
                                   {"--ticks", &n},
                                   {"--dir", &dir},
                                   {"--passes", &passes},
                                   {"--keep", &keep}}) ||
      files < 2 || n < files) {
    std::fprintf(stderr,
                 "usage: %s [--files K>=2] [--ticks N>=K] [--dir DIR] [--passes P] [--keep]\n",
                 argv[0]);
    return 2;
  }
  passes = std::max(1, passes);
  const std::uint64_t each = n / files;
  n = each * files;
  const auto k = static_cast<std::int64_t>(files);

  const std::string single = dir + "/merge-floor-1-of-" + std::to_string(n) + ".hvtk";
  ensure(single, 1, n, START, STEP / k);
  std::vector<std::string> paths;
  for (std::uint64_t i = 0; i < files; ++i) {
    paths.push_back(dir + "/merge-floor-" + std::to_string(i) + "-of-" + std::to_string(files) +
                    "x" + std::to_string(each) + ".hvtk");
    ensure(paths.back(), i + 1, each, START + static_cast<std::int64_t>(i) * (STEP / k), STEP);
  }

  // The blocks a run merging these files reads and hands out.
  const std::size_t block_records =
      halvorn::backtest::merge_read_records(files, halvorn::data::BLOCK_RECORDS);
  const std::size_t block = halvorn::backtest::merge_block(4096);
  std::int64_t sink = 0;
  one_file(single);  // into the page cache
  in_turn(paths, block_records);

  double one = 1e300, turn = 1e300, copy = 1e300, merge = 1e300;
  for (int i = 0; i < passes; ++i) {
    one = std::min(one, ns_of(n, &sink, [&] { return one_file(single); }));
    turn = std::min(turn, ns_of(n, &sink, [&] { return in_turn(paths, block_records); }));
    copy = std::min(copy, ns_of(n, &sink, [&] { return copied(paths, block_records, block); }));
    merge = std::min(merge, ns_of(n, &sink, [&] { return merged(paths, block_records, block); }));
  }

  std::printf("%llu ticks; %llu files of %llu read %zu records at a time, block of %zu\n",
              static_cast<unsigned long long>(n), static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(each), block_records, block);
  const auto line = [one](const char* what, double ns) {
    std::printf("%-16s %6.2f ns a tick  %5.2fx\n", what, ns, ns / one);
  };
  line("one file", one);
  line("K files in turn", turn);
  line("K files copied", copy);
  line("K files merged", merge);
  std::printf("(checksum %lld)\n", static_cast<long long>(sink));

  if (!keep) {
    ::unlink(single.c_str());
    for (const std::string& p : paths) ::unlink(p.c_str());
  }
  return 0;
}
