// A converted depth file drives the L2 matcher's depth book: its records are
// streamed back and handed to an L2Engine as a run hands them over
// (snapshots installed, updates applied under the sequence rules), and the
// book's levels after a known sequence are exactly the expected ones.  The
// stale update, the gap that drops the book and the snapshot that brings it
// back come from the depth diffs' own ids; the two-clock stream's made-up
// ids must never break the sequence.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "book/depth_book.hpp"
#include "depth_csv_files.hpp"
#include "engine/l2.hpp"

namespace halvorn::data {
namespace {

using book::Level;
using testing::CLOCKED_HEADER;
using testing::depth_options;
using testing::DIFFS_HEADER;
using testing::MemoryFiles;
using testing::ScratchDir;

// What the engine said to each update, in order; snapshots say "installed".
struct Driven {
  engine::L2Engine engine{InstrumentId{1}, engine::L1Config{}};
  std::vector<std::string> said;
};

// Streams the depth file at `path` into an L2 engine, stopping after
// `limit` records.
void drive(const std::string& path, Driven& d, std::size_t limit = SIZE_MAX) {
  DepthReader reader = testing::open_depth(path, 64);
  book::DepthRecord record;
  for (std::size_t n = 0; n < limit; ++n) {
    DepthNext next = reader.next(record);
    if (std::holds_alternative<End>(next)) return;
    ASSERT_TRUE(std::holds_alternative<RecordReady>(next)) << std::get<DepthError>(next).display();
    if (auto* u = std::get_if<book::DepthUpdate>(&record.entry)) {
      d.said.push_back(book::to_string(d.engine.on_depth(*u)));
    } else {
      d.engine.install_snapshot(std::get<book::DepthSnapshot>(record.entry));
      d.said.push_back("installed");
    }
  }
}

void convert(const std::string& path, const std::string& csv) {
  DepthConversion c =
      convert_depth_csv(path, MemoryFiles{{{"a.csv", csv}}}.input(), depth_options("0.1", "1"));
  ASSERT_TRUE(std::holds_alternative<DepthConverted>(c)) << std::get<ConvertError>(c).display();
}

TEST(DepthCsvBook, DiffIdsKeepTheSequenceRulesAndASnapshotResynchronises) {
  ScratchDir dir;
  const std::string path = dir.file("d.hvdp");
  convert(path, std::string(DIFFS_HEADER) +
                    // The snapshot, as of update 100.
                    "X,1700000000000,0,100,100,b,snap,100.0,1\n"
                    "X,1700000000000,0,100,100,b,snap,99.9,2\n"
                    "X,1700000000000,0,100,100,b,snap,99.8,3\n"
                    "X,1700000000000,0,100,100,a,snap,100.1,1\n"
                    "X,1700000000000,0,100,100,a,snap,100.2,2\n"
                    // Entirely within the snapshot: ignored.
                    "X,1700000000001,0,95,100,b,set,99.0,5\n"
                    // Overlaps it, and continues it.
                    "X,1700000000002,0,99,102,b,set,100.0,0\n"
                    "X,1700000000002,0,99,102,a,set,100.1,4\n"
                    "X,1700000000002,0,99,102,b,set,99.7,1\n"
                    "X,1700000000003,0,103,103,a,set,100.3,7\n"
                    // 104 and 105 are missing: the book is dropped...
                    "X,1700000000004,0,106,107,a,set,100.3,0\n"
                    "X,1700000000005,0,108,108,a,set,100.4,1\n"
                    // ...until the next snapshot, with an update at its time.
                    "X,1700000000006,0,200,200,b,snap,100.5,1\n"
                    "X,1700000000006,0,200,200,a,snap,100.6,2\n"
                    "X,1700000000006,0,200,200,a,snap,100.7,1\n"
                    "X,1700000000006,0,195,201,b,set,100.4,3\n"
                    "X,1700000000006,0,195,201,a,set,100.6,0\n"
                    "X,1700000000007,0,202,202,b,set,100.5,2\n");

  Driven first;
  drive(path, first, 4);
  EXPECT_EQ(first.engine.depth.bids.levels, (std::vector<Level>{{999, 2}, {998, 3}, {997, 1}}));
  EXPECT_EQ(first.engine.depth.asks.levels, (std::vector<Level>{{1001, 4}, {1002, 2}, {1003, 7}}));
  EXPECT_TRUE(first.engine.depth_ready);

  Driven all;
  drive(path, all);
  EXPECT_EQ(all.said, (std::vector<std::string>{
                          "installed",
                          "stale update: already in the snapshot",
                          "applied",
                          "applied",
                          "sequence gap: last applied 103, update follows 105",
                          "depth book has no snapshot",
                          "installed",
                          "applied",
                          "applied",
                      }));
  EXPECT_EQ(all.engine.depth.bids.levels, (std::vector<Level>{{1005, 2}, {1004, 3}}));
  EXPECT_EQ(all.engine.depth.asks.levels, (std::vector<Level>{{1007, 1}}));
  EXPECT_EQ(all.engine.depth.snapshot_id, 200u);
  EXPECT_EQ(all.engine.depth.last_final_id, 202u);
  EXPECT_TRUE(all.engine.depth_ready);
  EXPECT_FALSE(all.engine.resync_pending);
}

TEST(DepthCsvBook, TwoClockIdsNeverBreakTheSequence) {
  ScratchDir dir;
  const std::string path = dir.file("d.hvdp");
  convert(path, std::string(CLOCKED_HEADER) +
                    "ex,X,1700000000000000,1700000000000500,true,bid,100.0,1\n"
                    "ex,X,1700000000000000,1700000000000500,true,bid,99.9,2\n"
                    "ex,X,1700000000000000,1700000000000500,true,ask,100.1,3\n"
                    // An update at the snapshot's own time.
                    "ex,X,1700000000000000,1700000000000600,false,bid,99.9,0\n"
                    "ex,X,1700000000000010,1700000000000700,false,ask,100.2,4\n"
                    "ex,X,1700000000000010,1700000000000700,false,bid,99.8,5\n"
                    "ex,X,1700000000000020,1700000000000800,false,ask,100.1,0\n"
                    // A fresh snapshot mid-stream replaces the whole book.
                    "ex,X,1700000000000030,1700000000000900,true,bid,100.3,6\n"
                    "ex,X,1700000000000030,1700000000000900,true,ask,100.5,7\n"
                    "ex,X,1700000000000040,1700000000001000,false,bid,100.4,8\n"
                    "ex,X,1700000000000040,1700000000001000,false,ask,100.5,0\n"
                    "ex,X,1700000000000040,1700000000001000,false,ask,100.6,9\n");

  Driven before;
  drive(path, before, 4);
  EXPECT_EQ(before.engine.depth.bids.levels, (std::vector<Level>{{1000, 1}, {998, 5}}));
  EXPECT_EQ(before.engine.depth.asks.levels, (std::vector<Level>{{1002, 4}}));

  Driven all;
  drive(path, all);
  EXPECT_EQ(all.said, (std::vector<std::string>{"installed", "applied", "applied", "applied",
                                                "installed", "applied"}));
  EXPECT_EQ(all.engine.depth.bids.levels, (std::vector<Level>{{1004, 8}, {1003, 6}}));
  EXPECT_EQ(all.engine.depth.asks.levels, (std::vector<Level>{{1006, 9}}));
  EXPECT_EQ(all.engine.depth.applied, 1u);
  EXPECT_FALSE(all.engine.resync_pending);
}

}  // namespace
}  // namespace halvorn::data
