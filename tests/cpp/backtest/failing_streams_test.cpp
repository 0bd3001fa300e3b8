// A depth or mark stream that fails part-way ends the run at the tick that
// reached the failure, for one instrument and for a portfolio's merge; a
// stream that cannot fail runs to the end of the ticks.

#include "backtest/failing_streams.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "backtest/kway_merge.hpp"
#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using testing::Scripted;
using testing::tick;

// A record of a mark file: the adapter takes its time and its mark.
struct FileMark {
  Nanos time = 0;
  std::int64_t mark = 0;
  std::int64_t index = 0;
};

// A stream read from a file that fails on reading past its first `good`
// records, and keeps the error for the caller, as the file readers do.
template <class Record>
struct FailingFile {
  FailingFile(std::vector<Record> r, std::size_t g) : records(std::move(r)), good(g) {}

  std::vector<Record> records;
  std::size_t good = 0;
  std::size_t at = 0;
  std::optional<int> error_;

  bool next(Record& out) {
    if (error_ || at == records.size()) return false;
    if (at == good) {
      error_ = 7;
      return false;
    }
    out = records[at++];
    return true;
  }
  const std::optional<int>& error() const { return error_; }
};

std::vector<engine::Tick> ticks_every(Nanos step, Nanos from, std::size_t n) {
  std::vector<engine::Tick> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(tick(from + step * static_cast<Nanos>(i), 100));
  return out;
}

RunConfig on_l2() {
  RunConfig config;
  config.balance = 1'000'000'000;
  config.instruments[0].tier = core::Tier{core::Tier::L2{}};
  return config;
}

TEST(FailingStreams, ADepthFileThatFailsEndsTheRunAtTheTickThatReachedIt) {
  const std::vector<engine::Tick> ticks = ticks_every(10, 0, 10);
  std::vector<book::DepthRecord> records;
  for (Nanos t : {5, 15, 25, 35, 45}) {
    book::DepthRecord r;
    r.time = t;
    book::DepthSnapshot snapshot;
    snapshot.bids = {{99, 1}};
    snapshot.asks = {{101, 1}};
    r.entry = snapshot;
    records.push_back(r);
  }
  const RunConfig config = on_l2();
  // The fourth read fails at the tick of time 30, which is still run.
  FailingFile<book::DepthRecord> file(records, 3);
  SpanTicks source{ticks};
  NoMarks none;
  Scripted s;
  const RunResult r = run_until_failure(config, s, source, file, none);
  EXPECT_TRUE(file.error());
  EXPECT_EQ(r.ticks, 4u);
  EXPECT_EQ(r.depth_records, 3u);
  EXPECT_EQ(s.seen.back().tick.exch_ts, 30);

  // The same records held in memory cannot fail: every tick is run.
  const std::vector<book::DepthRecord> first(records.begin(), records.begin() + 3);
  SpanDepth kept{first};
  SpanTicks again{ticks};
  Scripted t;
  EXPECT_EQ(run_until_failure(config, t, again, kept, none).ticks, ticks.size());
}

TEST(FailingStreams, AMarkFileThatFailsEndsTheRunAndItsMarksAreTheFilesMarks) {
  const std::vector<engine::Tick> ticks = ticks_every(10, 0, 10);
  FailingFile<FileMark> file({{5, 90, 1}, {15, 95, 2}, {25, 97, 3}}, 2);
  MarkPoints<FailingFile<FileMark>, FileMark> marks{file};
  SpanTicks source{ticks};
  NoDepth none;
  RunConfig config;
  config.balance = 1'000'000'000;
  Scripted s;
  const RunResult r = run_until_failure(config, s, source, none, marks);
  EXPECT_TRUE(file.error());
  EXPECT_EQ(r.ticks, 3u);
  // The holding is valued at the last mark applied, not at the trades' 100.
  EXPECT_EQ(r.instruments.at(0).last, 95);
}

TEST(FailingStreams, OneFailingFileOfAPortfolioEndsTheWholeRun) {
  RunConfig config;
  config.balance = 1'000'000'000;
  InstrumentConfig second;
  second.instrument = InstrumentId{2};
  config.instruments.push_back(second);
  const std::vector<engine::Tick> a = ticks_every(10, 0, 10), b = ticks_every(10, 5, 10);
  auto run = [&](std::size_t good) {
    FailingFile<FileMark> fine({{1, 90, 0}, {11, 91, 0}, {21, 92, 0}}, 3);
    FailingFile<FileMark> failing({{2, 80, 0}, {12, 81, 0}}, good);
    MarkPoints<FailingFile<FileMark>, FileMark> m1{fine}, m2{failing};
    MergedMarks<MarkPoints<FailingFile<FileMark>, FileMark>> marks(
        {&m1, &m2}, {InstrumentId{1}, InstrumentId{2}});
    SpanTicks sa{a}, sb{b};
    MergedTicks<SpanTicks> ticks({&sa, &sb}, {InstrumentId{1}, InstrumentId{2}});
    NoDepth none;
    Scripted s;
    return run_until_failure(config, s, ticks, none, marks).ticks;
  };
  EXPECT_EQ(run(2), a.size() + b.size());
  // The second instrument's file fails reading past its first mark, which
  // the tick of time 5 applies.
  EXPECT_EQ(run(1), 2u);
}

}  // namespace
}  // namespace halvorn::backtest
