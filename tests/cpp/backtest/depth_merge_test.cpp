// Runs that merge a depth stream with their ticks: the order records and
// ticks meet in, taker prices and queue positions read from depth written to
// a file, the fallback to square-root impact, and a stream that breaks and
// comes back at the next snapshot.

#include <gtest/gtest.h>

#include <vector>

#include "backtest/run_loop.hpp"
#include "cpp/data/files.hpp"
#include "data/depth_reader.hpp"
#include "data/depth_writer.hpp"
#include "scripted.hpp"

namespace halvorn::backtest {
namespace {

using book::DepthRecord;
using book::DepthSnapshot;
using book::DepthUpdate;
using book::Level;
using testing::limit;
using testing::market;
using testing::Scripted;

constexpr Nanos MS = 1'000'000;

DepthRecord snapshot_at(Nanos t, std::uint64_t id, std::vector<Level> bids,
                        std::vector<Level> asks) {
  return DepthRecord{t, DepthSnapshot{id, std::move(bids), std::move(asks)}};
}

DepthRecord update_at(Nanos t, std::uint64_t first, std::uint64_t final, std::vector<Level> bids,
                      std::vector<Level> asks) {
  return DepthRecord{
      t, DepthUpdate{std::nullopt, std::move(bids), std::move(asks), t / MS, first, final, t}};
}

engine::Tick tick_at(Nanos t, std::int64_t last, std::int64_t high, std::int64_t low,
                     std::int64_t volume, std::int64_t bid = 99, std::int64_t ask = 101) {
  return engine::Tick{t, t, last, high, low, bid, ask, volume};
}

RunConfig l2(engine::L1Config c = {}) {
  RunConfig config;
  config.instruments[0].tier = core::Tier{core::Tier::L2{c}};
  config.balance = 1'000'000'000'000'000;
  config.instruments[0].contract_size = 1;
  return config;
}

RunResult run_in_memory(const RunConfig& config, Scripted& s,
                        const std::vector<engine::Tick>& ticks,
                        const std::vector<DepthRecord>& depth) {
  SpanTicks tick_source{ticks};
  SpanDepth depth_source{depth};
  return run_stream(config, s, tick_source, depth_source);
}

// Writes `records` as a depth file through the writer and runs over it.
struct FileRun {
  RunResult result;
  std::optional<data::DepthError> error;
  std::uint64_t handed_out = 0;
};

FileRun run_from_file(const RunConfig& config, Scripted& s, const std::vector<engine::Tick>& ticks,
                      const std::vector<DepthRecord>& depth) {
  data::testing::ScratchDir dir;
  const std::string path = dir.file("day.hvdp");
  auto begun = data::DepthWriter::begin(path, 1);
  auto& writer = std::get<data::DepthWriter>(begun);
  for (const DepthRecord& r : depth) EXPECT_FALSE(writer.add(r));
  EXPECT_EQ(writer.commit(), 0);
  data::StreamedDepth source(std::get<data::DepthReader>(data::DepthReader::open(path)));
  SpanTicks tick_source{ticks};
  FileRun out;
  out.result = run_stream(config, s, tick_source, source);
  out.error = source.error();
  out.handed_out = source.handed_out();
  return out;
}

TEST(DepthMerge, RecordsAtATicksTimeComeBeforeItInFileOrderAndLaterOnesWait) {
  // A market buy sent on the first tick executes on the second, at the
  // depth's average whenever that is above the tick's ask of 99: its price
  // says which asks were in the book when the second tick came.
  const std::vector<engine::Tick> ticks = {tick_at(10 * MS, 99, 99, 99, 0, 98, 99),
                                           tick_at(20 * MS, 99, 99, 99, 0, 98, 99)};
  const std::vector<DepthRecord> depth = {
      snapshot_at(0, 100, {{98, 10}}, {{100, 10}}),
      // Two records at the second tick's own time, to be applied in this
      // order: the ask ends at 103, not 105.
      update_at(20 * MS, 101, 101, {}, {{100, 0}, {105, 10}}),
      update_at(20 * MS, 102, 102, {}, {{105, 0}, {103, 10}}),
      // After the second tick: it must not see these.
      update_at(20 * MS + 1, 103, 103, {}, {{101, 10}}),
      update_at(30 * MS, 104, 104, {}, {{100, 10}}),
  };
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 4)};
  RunResult r = run_in_memory(l2(), s, ticks, depth);
  ASSERT_EQ(r.fills.size(), 1u);
  EXPECT_EQ(r.fills[0].price, 103);
  EXPECT_EQ(r.fills[0].exch_ts, 20 * MS);
  EXPECT_EQ(r.depth_records, 3u) << "records after the last tick are never applied";
  EXPECT_EQ(r.invalid_ticks, 0u);

  // The same through a depth file.
  Scripted again;
  again.script[0] = {market(1, Side::Buy, 4)};
  FileRun f = run_from_file(l2(), again, ticks, depth);
  EXPECT_FALSE(f.error);
  EXPECT_EQ(f.result.fills, r.fills);
  EXPECT_EQ(f.result.depth_records, 3u);
  EXPECT_EQ(f.handed_out, 4u) << "one record read ahead of the last tick, and no more";

  // Without ticks nothing is applied.
  Scripted none;
  EXPECT_EQ(run_in_memory(l2(), none, {}, depth).depth_records, 0u);
}

TEST(DepthMerge, TakerBuysOfOneTickWalkTheAsksOfTheFile) {
  // Asks 100 x 2 and 101 x 3; two buys of 2 on one tick whose ask is 100.
  const std::vector<DepthRecord> depth = {snapshot_at(0, 1, {{99, 5}}, {{100, 2}, {101, 3}})};
  const std::vector<engine::Tick> ticks = {tick_at(1 * MS, 100, 100, 100, 1000, 99, 100),
                                           tick_at(2 * MS, 100, 100, 100, 1000, 99, 100),
                                           tick_at(3 * MS, 100, 100, 100, 1000, 99, 100)};
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 2), market(2, Side::Buy, 2)};
  s.script[1] = {market(3, Side::Buy, 2)};  // the next tick starts from the full book again
  FileRun f = run_from_file(l2(), s, ticks, depth);
  ASSERT_EQ(f.result.fills.size(), 3u);
  EXPECT_EQ(f.result.fills[0].price, 100);
  EXPECT_EQ(f.result.fills[1].price, 101);
  EXPECT_EQ(f.result.fills[0].exch_ts, 2 * MS);
  EXPECT_EQ(f.result.fills[1].exch_ts, 2 * MS);
  EXPECT_EQ(f.result.fills[2].price, 100);
  EXPECT_TRUE(f.result.fills[0].taker);
}

TEST(DepthMerge, ATakerBuyLargerThanTheBookTakesTheSquareRootImpact) {
  engine::L1Config c;
  c.impact_pct = 100;
  const std::vector<DepthRecord> depth = {snapshot_at(0, 1, {{99, 5}}, {{100, 2}, {101, 3}})};
  // 40 lots traded over a range of 20: a buy of 10 moves by
  // trunc(sqrt(10 / 40) x 20) = 10 ticks from the ask of 100.
  const std::vector<engine::Tick> ticks = {tick_at(1 * MS, 100, 100, 100, 1000, 99, 100),
                                           tick_at(2 * MS, 100, 110, 90, 1040, 99, 100)};
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 10)};
  FileRun f = run_from_file(l2(c), s, ticks, depth);
  ASSERT_EQ(f.result.fills.size(), 1u);
  EXPECT_EQ(f.result.fills[0].price, 110);

  // Five lots the depth can absorb take its average, rounded up, instead.
  Scripted five;
  five.script[0] = {market(1, Side::Buy, 5)};
  FileRun g = run_from_file(l2(c), five, ticks, depth);
  ASSERT_EQ(g.result.fills.size(), 1u);
  EXPECT_EQ(g.result.fills[0].price, 101);  // (2 x 100 + 3 x 101) / 5 = 100.6
}

TEST(DepthMerge, ABrokenStreamComesBackAtTheNextSnapshot) {
  const std::vector<DepthRecord> depth = {
      snapshot_at(0, 100, {{99, 5}}, {{101, 5}}),
      update_at(15 * MS, 101, 101, {}, {{101, 4}}),
      update_at(25 * MS, 104, 105, {}, {{101, 3}}),  // 102 and 103 are missing
      update_at(45 * MS, 106, 106, {}, {{101, 2}}),  // refused too: no snapshot yet
      snapshot_at(55 * MS, 200, {{99, 5}}, {{102, 5}}),
      update_at(65 * MS, 201, 201, {}, {{102, 1}, {103, 9}}),
      update_at(75 * MS, 207, 207, {}, {}),  // after the last tick
  };
  std::vector<engine::Tick> ticks;
  for (int i = 1; i <= 7; ++i) ticks.push_back(tick_at(i * 10 * MS, 100, 100, 100, 1000));
  // A market buy sent while the stream is broken waits for the depth, and
  // executes on the first tick after the snapshot, priced from it.
  Scripted s;
  s.script[2] = {market(1, Side::Buy, 3)};
  s.script[5] = {market(2, Side::Buy, 3)};
  FileRun f = run_from_file(l2(), s, ticks, depth);
  EXPECT_EQ(f.result.invalid_ticks, 3u) << "the ticks at 30, 40 and 50 ms";
  EXPECT_EQ(f.result.ticks, 7u);
  EXPECT_EQ(f.result.depth_records, 6u);
  ASSERT_EQ(f.result.fills.size(), 2u);
  EXPECT_EQ(f.result.fills[0].exch_ts, 60 * MS);
  EXPECT_EQ(f.result.fills[0].price, 102);
  // Updates apply again after the snapshot: 1 at 102, then 103.
  EXPECT_EQ(f.result.fills[1].exch_ts, 70 * MS);
  EXPECT_EQ(f.result.fills[1].price, 103);  // (102 + 2 x 103) / 3, rounded up
}

TEST(DepthMerge, AnOrderArrivingWithinAnUpdatesMillisecondReadsTheBookBeforeIt) {
  // The limit buy at 99 is sent at 1 ms and arrives at 1.4 ms; the update
  // at 1.5 ms raises the bids at 99 from 5 to 8.  To the nanosecond the
  // order arrived first and queues behind 5: the 6 lots traded by the tick
  // at 3 ms put it in the book, where that tick's ask of 99 fills it.  Behind
  // 8 it would wait for the tick at 4 ms.
  engine::L1Config c;
  c.order_latency.kind = engine::Latency::Fixed{400'000};
  const std::vector<engine::Tick> ticks = {
      tick_at(1 * MS, 99, 100, 99, 1000, 98, 101), tick_at(2 * MS, 99, 100, 99, 1010, 98, 101),
      tick_at(3 * MS, 99, 100, 99, 1016, 98, 99), tick_at(4 * MS, 99, 100, 99, 1020, 98, 99)};
  std::vector<DepthRecord> depth = {snapshot_at(0, 1, {{99, 5}}, {{101, 5}}),
                                    update_at(1'500'000, 2, 2, {{99, 8}}, {})};
  Scripted s;
  s.script[0] = {limit(1, Side::Buy, 99, 1)};
  FileRun f = run_from_file(l2(c), s, ticks, depth);
  ASSERT_EQ(f.result.fills.size(), 1u);
  EXPECT_EQ(f.result.fills[0].exch_ts, 3 * MS);
  EXPECT_EQ(f.result.fills[0].price, 99);

  // The same update known only to the millisecond.
  std::get<DepthUpdate>(depth[1].entry).time_ns.reset();
  Scripted coarse;
  coarse.script[0] = {limit(1, Side::Buy, 99, 1)};
  RunResult r = run_in_memory(l2(c), coarse, ticks, depth);
  ASSERT_EQ(r.fills.size(), 1u);
  EXPECT_EQ(r.fills[0].exch_ts, 4 * MS);
}

TEST(DepthMerge, ADepthFileThatFailsPartWayEndsTheDepthNotTheRun) {
  data::testing::ScratchDir dir;
  const std::string path = dir.file("cut.hvdp");
  const std::vector<DepthRecord> depth = {snapshot_at(0, 1, {{99, 5}}, {{100, 2}, {101, 3}}),
                                          update_at(15 * MS, 2, 2, {}, {{100, 0}})};
  auto bytes = std::get<std::vector<std::uint8_t>>(data::encode_depth(1, depth));
  bytes.resize(bytes.size() - 1);
  data::testing::write_bytes(path, bytes);
  data::StreamedDepth source(std::get<data::DepthReader>(data::DepthReader::open(path)));
  const std::vector<engine::Tick> ticks = {tick_at(10 * MS, 100, 100, 100, 0, 99, 100),
                                           tick_at(20 * MS, 100, 100, 100, 0, 99, 100)};
  SpanTicks tick_source{ticks};
  Scripted s;
  s.script[0] = {market(1, Side::Buy, 2)};
  RunResult r = run_stream(l2(), s, tick_source, source);
  EXPECT_EQ(r.ticks, 2u);
  EXPECT_EQ(r.depth_records, 0u) << "the one block was short: nothing was handed out";
  ASSERT_TRUE(source.error());
  EXPECT_EQ(
      source.error()->display(),
      "depth file truncated: needed " + std::to_string(bytes.size() + 1) + " bytes, 40 available");
  ASSERT_EQ(r.fills.size(), 1u);
  EXPECT_EQ(r.fills[0].price, 100) << "an unsynced book prices at the tick";
}

}  // namespace
}  // namespace halvorn::backtest
