// Depth files: the bytes the encoder writes, the texts of every error, the
// ways a reader ends (with exactly the records it hands out first), blocks
// and records that straddle them, and the writer's all-or-nothing file.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <limits>

#include "data/depth_reader.hpp"
#include "data/depth_writer.hpp"
#include "depth_files.hpp"

namespace halvorn::data {
namespace {

using namespace testing;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::string text(const DepthError& e) { return e.display(); }
DepthError malformed_error(std::uint64_t index, MalformedReason reason) {
  return DepthError{Malformed{index, reason}};
}

TEST(DepthErrorText, EachKindAndReasonHasItsFixedText) {
  EXPECT_EQ(text({Truncated{184, 40}}), "depth file truncated: needed 184 bytes, 40 available");
  EXPECT_EQ(text({BadMagic{0x4B545648}}), "not a depth file: magic 0x4b545648");
  EXPECT_EQ(text({BadMagic{0x1}}), "not a depth file: magic 0x00000001");
  EXPECT_EQ(text({UnknownVersion{65535}}), "unknown depth file version 65535");
  EXPECT_EQ(text({ChecksumMismatch{0xABC, 0xDEADBEEF}}),
            "depth file checksum mismatch: expected 0x00000abc, computed 0xdeadbeef");
  EXPECT_EQ(text({GoesBackwards{2, 5, -4}}),
            "depth record 2 goes backwards: previous time 5, found -4");
  using namespace malformed;
  const std::pair<MalformedReason, const char*> reasons[] = {
      {UnknownKind{0}, "unknown kind 0"},
      {UnknownFlags{0x01, true}, "undefined flags 0x01 on a snapshot"},
      {UnknownFlags{0x83, false}, "undefined flags 0x83 on an update"},
      {ReservedNotZero{}, "reserved bytes are not zero"},
      {TooManyLevels{4294967295u + 1ull},
       "4294967296 levels, more than the 1048576 a record may hold"},
      {LevelsPastHeader{3, 2}, "3 levels, but only 2 of the header's are left"},
      {LevelsShortOfHeader{1}, "the last record leaves 1 of the header's levels unused"},
      {NegativeQuantity{2, std::numeric_limits<std::int64_t>::min()},
       "level 2 has quantity -9223372036854775808"},
  };
  for (const auto& [reason, want] : reasons) {
    EXPECT_EQ(text(malformed_error(U64_MAX, reason)),
              std::string("depth record 18446744073709551615 is malformed: ") + want);
  }
}

// A snapshot and two updates, one stating its previous id and one not.
std::vector<DepthRecord> three() {
  return {snapshot_at(7, 1000, {{99, 5}}, {{101, 6}, {102, 0}}),
          update_at(8, 1001, 1002, {}, {{101, 0}}, 1000), update_at(8, 1003, 1003, {{98, 1}}, {})};
}

TEST(DepthEncode, HeaderThenRecordsOfFixedPartAndLevelsInLittleEndian) {
  const Bytes b = encoded(0x0102030405060708ull, three());
  ASSERT_EQ(b.size(), 40u + 3 * 48 + 5 * 16);
  const std::vector<std::tuple<std::size_t, std::size_t, std::uint64_t>> fields = {
      // Header: magic, version, reserved, count, instrument, checksum, reserved, levels.
      {0, 4, 0x50445648},
      {4, 2, 1},
      {6, 2, 0},
      {8, 8, 3},
      {16, 8, 0x0102030405060708ull},
      {24, 4, crc32_bytewise(0, b.data() + 40, b.size() - 40)},
      {28, 4, 0},
      {32, 8, 5},
      // The snapshot: kind, flags, 0, counts, 0, time, id, two zero fields, levels.
      {40, 1, 1},
      {41, 1, 0},
      {42, 2, 0},
      {44, 4, 1},
      {48, 4, 2},
      {52, 4, 0},
      {56, 8, 7},
      {64, 8, 1000},
      {72, 8, 0},
      {80, 8, 0},
      {88, 8, 99},
      {96, 8, 5},
      {104, 8, 101},
      {112, 8, 6},
      {120, 8, 102},
      {128, 8, 0},
      // The update with a previous id: flag bit 0 and the id at offset 40.
      {136, 1, 2},
      {137, 1, 1},
      {140, 4, 0},
      {144, 4, 1},
      {152, 8, 8},
      {160, 8, 1001},
      {168, 8, 1002},
      {176, 8, 1000},
      {184, 8, 101},
      {192, 8, 0},
      // The update without one: no flag, and zero where the id would be.
      {200, 1, 2},
      {201, 1, 0},
      {204, 4, 1},
      {208, 4, 0},
      {216, 8, 8},
      {224, 8, 1003},
      {232, 8, 1003},
      {240, 8, 0},
      {248, 8, 98},
      {256, 8, 1}};
  for (const auto& [at, width, value] : fields) EXPECT_EQ(le(b, at, width), value) << "at " << at;

  // Nothing but a header for no records, with a checksum of 0.
  const Bytes empty = encoded(9, {});
  ASSERT_EQ(empty.size(), 40u);
  EXPECT_EQ(le(empty, 8, 8), 0u);
  EXPECT_EQ(le(empty, 24, 4), 0u);
  EXPECT_EQ(le(empty, 32, 8), 0u);
  EXPECT_EQ(le(empty, 16, 8), 9u);
}

TEST(DepthEncode, RefusesWhatAReaderWouldRefuseWithTheReadersError) {
  std::vector<DepthRecord> rs = three();
  rs.push_back(update_at(7, 1, 1, {}, {}));
  EXPECT_EQ(std::get<DepthError>(encode_depth(1, rs)), (DepthError{GoesBackwards{3, 8, 7}}));
  rs.back() = update_at(9, 1, 1, {{5, 1}}, {{6, 2}, {7, -3}});
  EXPECT_EQ(std::get<DepthError>(encode_depth(1, rs)),
            malformed_error(3, malformed::NegativeQuantity{2, -3}));
  rs.back() = snapshot_at(9, 1, std::vector<Level>(MAX_RECORD_LEVELS, Level{1, 1}), {{2, 1}});
  EXPECT_EQ(std::get<DepthError>(encode_depth(1, rs)),
            malformed_error(3, malformed::TooManyLevels{MAX_RECORD_LEVELS + 1ull}));
}

TEST(DepthReader, ReadsBackWhatWasWrittenWhateverTheBlockSize) {
  ScratchDir dir;
  std::vector<DepthRecord> rs = three();
  // Levels of a snapshot and an update larger than the small blocks below.
  std::vector<Level> wide;
  for (int i = 0; i < 100; ++i) wide.push_back({1000 - i, i});
  rs.push_back(snapshot_at(9, 2000, wide, wide));
  rs.push_back(update_at(9, 2001, 2001, wide, {}));
  rs.push_back(update_at(10, 2002, 2002, {}, {}));
  const Bytes b = encoded(1, rs);
  for (std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{48}, std::size_t{100},
                            std::size_t{4096}, DEPTH_BLOCK_BYTES}) {
    DrainedDepth got = read_back(dir.file("d.hvdp"), b, block);
    EXPECT_FALSE(got.error) << block << ": " << got.error->display();
    EXPECT_EQ(got.records, as_read(rs)) << "block " << block;
  }
  DepthReader reader = open_depth(dir.file("d.hvdp"));
  EXPECT_EQ(reader.count(), rs.size());
  EXPECT_EQ(reader.levels(), 5u + 200 + 100);
  EXPECT_EQ(reader.instrument(), 1u);
}

TEST(DepthReader, AnUpdatesMillisecondIsItsTimeRoundedDown) {
  ScratchDir dir;
  // The extremes as well: rounding down from the least time must not
  // overflow on its way to the millisecond below.
  const std::pair<Nanos, std::int64_t> cases[] = {
      {std::numeric_limits<Nanos>::min(), -9'223'372'036'855},
      {-1'500'000, -2},
      {-1'000'001, -2},
      {-1'000'000, -1},
      {-999'999, -1},
      {-1, -1},
      {0, 0},
      {1'999'999, 1},
      {std::numeric_limits<Nanos>::max(), 9'223'372'036'854}};
  std::vector<DepthRecord> rs;
  for (const auto& [ns, ms] : cases) rs.push_back(update_at(ns, 1, 1, {}, {}));
  DrainedDepth got = read_back(dir.file("d.hvdp"), encoded(1, rs));
  ASSERT_EQ(got.records.size(), std::size(cases));
  for (std::size_t i = 0; i < got.records.size(); ++i) {
    const auto& u = std::get<DepthUpdate>(got.records[i].entry);
    EXPECT_EQ(u.time_ms, cases[i].second) << cases[i].first;
    EXPECT_EQ(u.time_ns, cases[i].first);
  }
}

TEST(DepthReader, OpeningChecksTheHeaderOnly) {
  ScratchDir dir;
  auto open_error = [&](const Bytes& b) {
    write_bytes(dir.file("h"), b);
    DepthOpened o = DepthReader::open(dir.file("h"));
    return std::holds_alternative<DepthError>(o) ? text(std::get<DepthError>(o)) : "opened";
  };
  const std::string short_header = "depth file truncated: needed 40 bytes, 0 available";
  EXPECT_EQ(text(std::get<DepthError>(DepthReader::open(dir.file("missing")))), short_header);
  EXPECT_EQ(text(std::get<DepthError>(DepthReader::open(dir.path().string()))), short_header);
  EXPECT_EQ(open_error({}), short_header);
  Bytes b = encoded(1, three());
  EXPECT_EQ(open_error(Bytes(b.begin(), b.begin() + 39)), short_header);
  EXPECT_EQ(open_error(Bytes(b.begin(), b.begin() + 40)), "opened") << "records are not read";
  const engine::Tick tick{};
  EXPECT_EQ(open_error(encode(1, std::span(&tick, 1))), "not a depth file: magic 0x4b545648");
  set_le(b, 4, 2, 2);
  EXPECT_EQ(open_error(b), "unknown depth file version 2");
}

TEST(DepthReader, ATruncatedFileHandsOutTheRecordsOfWholeBlocksFirst) {
  ScratchDir dir;
  // A bare header promising two records of three levels.
  Bytes bare = encoded(1, {});
  set_le(bare, 8, 8, 2);
  set_le(bare, 32, 8, 3);
  DrainedDepth got = read_back(dir.file("d"), bare);
  EXPECT_TRUE(got.records.empty());
  ASSERT_TRUE(got.error);
  EXPECT_EQ(text(*got.error), "depth file truncated: needed 184 bytes, 40 available");

  // Ten updates of 64 bytes in blocks of 256: the cut falls in the third
  // block, which record 8 needs; records 0-7 fill the first two.
  std::vector<DepthRecord> rs;
  for (std::uint64_t i = 0; i < 10; ++i) rs.push_back(update_at(i, i, i, {{1, 1}}, {}));
  Bytes b = encoded(1, rs);
  b.resize(40 + 550);
  got = read_back(dir.file("d"), b, 256);
  EXPECT_EQ(got.records, as_read(std::vector(rs.begin(), rs.begin() + 8)));
  ASSERT_TRUE(got.error);
  EXPECT_EQ(text(*got.error), "depth file truncated: needed 680 bytes, 552 available");

  // A record claiming the most levels there may be in a tiny file.
  Bytes huge = encoded(1, {update_at(1, 1, 1, {{1, 1}}, {})});
  set_le(huge, 44, 4, MAX_RECORD_LEVELS);
  set_le(huge, 32, 8, MAX_RECORD_LEVELS);
  got = read_back(dir.file("d"), huge);
  EXPECT_EQ(got.error, (DepthError{Truncated{40 + 48 + 16ull * MAX_RECORD_LEVELS, 40}}));
}

TEST(DepthReader, TheChecksumGuardsTheLastBlockAndIgnoresTheHeader) {
  ScratchDir dir;
  std::vector<DepthRecord> rs;
  for (std::uint64_t i = 0; i < 10; ++i) rs.push_back(update_at(i, i, i, {{1, 1}}, {}));
  const Bytes good = encoded(1, rs);
  const std::uint32_t crc = static_cast<std::uint32_t>(le(good, 24, 4));

  // A level price of record 9 changed.  The last block holds records 8 and
  // 9; neither is handed out.
  Bytes late = good;
  late[40 + 9 * 64 + 48] ^= 0x10;
  DrainedDepth got = read_back(dir.file("d"), late, 256);
  EXPECT_EQ(got.records, as_read(std::vector(rs.begin(), rs.begin() + 8)));
  EXPECT_EQ(got.error,
            (DepthError{ChecksumMismatch{crc, crc32_bytewise(0, late.data() + 40, 640)}}));

  // One in the first block: handed out as it is before the check fails.
  Bytes early = good;
  early[40 + 48] ^= 0x10;
  got = read_back(dir.file("d"), early, 256);
  ASSERT_EQ(got.records.size(), 8u);
  EXPECT_EQ(std::get<DepthUpdate>(got.records[0].entry).bids[0].price, 0x11);
  EXPECT_TRUE(std::holds_alternative<ChecksumMismatch>(got.error->kind));

  // The instrument, the reserved header bytes and trailing bytes are not
  // covered, nor read.
  Bytes outside = good;
  outside[6] = outside[7] = 0xFF;
  set_le(outside, 28, 4, 0xFFFFFFFF);
  set_le(outside, 16, 8, 77);
  outside.insert(outside.end(), {1, 2, 3, 4, 5});
  got = read_back(dir.file("d"), outside, 256);
  EXPECT_FALSE(got.error);
  EXPECT_EQ(got.records, as_read(rs));
}

TEST(DepthReader, EachMalformedRecordIsNamedWithItsReason) {
  ScratchDir dir;
  const Bytes good = encoded(1, three());  // records at 40, 136 and 200
  struct Case {
    const char* what;
    void (*edit)(Bytes&);
    std::size_t handed_out;
    const char* error;
  };
  const Case cases[] = {
      {"kind", [](Bytes& b) { b[136] = 3; }, 1, "depth record 1 is malformed: unknown kind 3"},
      {"kind 0", [](Bytes& b) { b[40] = 0; }, 0, "depth record 0 is malformed: unknown kind 0"},
      {"snapshot flag", [](Bytes& b) { b[41] = 1; }, 0,
       "depth record 0 is malformed: undefined flags 0x01 on a snapshot"},
      {"update flags", [](Bytes& b) { b[201] = 0x81; }, 2,
       "depth record 2 is malformed: undefined flags 0x81 on an update"},
      {"reserved 2", [](Bytes& b) { b[43] = 1; }, 0,
       "depth record 0 is malformed: reserved bytes are not zero"},
      {"reserved 12", [](Bytes& b) { b[136 + 15] = 1; }, 1,
       "depth record 1 is malformed: reserved bytes are not zero"},
      {"snapshot 32", [](Bytes& b) { b[40 + 32] = 1; }, 0,
       "depth record 0 is malformed: reserved bytes are not zero"},
      {"absent prev", [](Bytes& b) { b[200 + 47] = 1; }, 2,
       "depth record 2 is malformed: reserved bytes are not zero"},
      {"too many", [](Bytes& b) { set_le(b, 44, 4, MAX_RECORD_LEVELS - 1); }, 0,
       "depth record 0 is malformed: 1048577 levels, more than the 1048576 a record may hold"},
      {"past header", [](Bytes& b) { set_le(b, 32, 8, 2); }, 0,
       "depth record 0 is malformed: 3 levels, but only 2 of the header's are left"},
      {"short of header",
       [](Bytes& b) {
         set_le(b, 32, 8, 6);
         b.resize(b.size() + 16);  // the bytes the larger count promises
       },
       2, "depth record 2 is malformed: the last record leaves 1 of the header's levels unused"},
      {"negative", [](Bytes& b) { set_le(b, 40 + 48 + 2 * 16 + 8, 8, U64_MAX); }, 0,
       "depth record 0 is malformed: level 2 has quantity -1"},
      {"backwards", [](Bytes& b) { set_le(b, 216, 8, static_cast<std::uint64_t>(-4)); }, 2,
       "depth record 2 goes backwards: previous time 8, found -4"},
  };
  const std::vector<DepthRecord> all = as_read(three());
  for (const Case& c : cases) {
    Bytes b = good;
    c.edit(b);
    reseal(b);
    DrainedDepth got = read_back(dir.file("d"), b);
    EXPECT_EQ(got.records, std::vector(all.begin(), all.begin() + c.handed_out)) << c.what;
    ASSERT_TRUE(got.error) << c.what;
    EXPECT_EQ(text(*got.error), c.error) << c.what;
  }
}

TEST(DepthReader, AHeaderOfNoRecordsEndsAtOnceWhateverItsLevelsSay) {
  ScratchDir dir;
  Bytes b = encoded(1, {});
  set_le(b, 32, 8, 12345);
  set_le(b, 24, 4, 0xBAD);
  DrainedDepth got = read_back(dir.file("d"), b);
  EXPECT_TRUE(got.records.empty());
  EXPECT_FALSE(got.error);
}

TEST(DepthReader, ASnapshotManyBlocksLongIsReadWhole) {
  ScratchDir dir;
  std::vector<Level> bids, asks;
  for (std::int64_t i = 0; i < 300'000; ++i) {
    bids.push_back({1'000'000 - i, i % 7 + 1});
    asks.push_back({1'000'001 + i, i % 5 + 1});
  }
  const std::vector<DepthRecord> rs = {update_at(1, 1, 1, {{5, 5}}, {}),
                                       snapshot_at(2, 10, bids, asks),
                                       update_at(3, 11, 11, {}, {{1'000'001, 0}})};
  const Bytes b = encoded(1, rs);
  ASSERT_GT(b.size(), 9 * DEPTH_BLOCK_BYTES);
  DrainedDepth got = read_back(dir.file("d"), b);
  EXPECT_FALSE(got.error);
  EXPECT_TRUE(got.records == as_read(rs));
}

TEST(StreamedDepth, EndsTheStreamAtTheFirstErrorAndKeepsIt) {
  ScratchDir dir;
  Bytes b = encoded(1, three());
  set_le(b, 216, 8, 2);  // record 2 now goes back to time 2
  reseal(b);
  write_bytes(dir.file("d"), b);
  StreamedDepth depth(open_depth(dir.file("d")));
  DepthRecord r;
  std::vector<DepthRecord> seen;
  while (depth.next(r)) seen.push_back(r);
  EXPECT_FALSE(depth.next(r));
  const std::vector<DepthRecord> all = as_read(three());
  EXPECT_EQ(seen, std::vector(all.begin(), all.begin() + 2));
  EXPECT_EQ(depth.handed_out(), 2u);
  ASSERT_TRUE(depth.error());
  EXPECT_EQ(text(*depth.error()), "depth record 2 goes backwards: previous time 8, found 2");
}

// ---------------------------------------------------------------------------
// The writer

std::vector<DepthRecord> many_updates(std::size_t n) {
  std::vector<DepthRecord> rs;
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = static_cast<std::int64_t>(i);
    rs.push_back(update_at(v / 3, i + 1, i + 1, {{100 - v % 5, v % 4}}, {{101 + v % 3, 1}}, i));
  }
  return rs;
}

DepthWriter begin_ok(const std::string& path) {
  DepthBegun w = DepthWriter::begin(path, 1);
  if (auto* err = std::get_if<int>(&w)) {
    ADD_FAILURE() << "begin: errno " << *err;
    std::abort();
  }
  return std::move(std::get<DepthWriter>(w));
}

TEST(DepthWriter, StreamsTheBytesTheEncoderMakesAndSkipsWhatItRefuses) {
  ScratchDir dir;
  const std::vector<DepthRecord> rs = many_updates(40'000);  // several buffers' worth
  DepthWriter w = begin_ok(dir.file("d.hvdp"));
  for (std::size_t i = 0; i < rs.size(); ++i) {
    ASSERT_FALSE(w.add(rs[i]));
    if (i == 20'000) {
      EXPECT_EQ(w.add(update_at(-1, 1, 1, {}, {})),
                (DepthError{GoesBackwards{i + 1, rs[i].time, -1}}));
      EXPECT_EQ(w.add(update_at(rs[i].time, 1, 1, {{1, -1}}, {})),
                malformed_error(i + 1, malformed::NegativeQuantity{0, -1}));
    }
  }
  EXPECT_EQ(w.count(), rs.size());
  EXPECT_EQ(w.levels(), 2 * rs.size());
  EXPECT_EQ(w.failed(), 0);
  EXPECT_TRUE(dir.names().empty()) << "the unfinished file has no name until it is complete";
  ASSERT_EQ(w.commit(), 0);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"d.hvdp"});
  EXPECT_EQ(read_bytes(dir.file("d.hvdp")), encoded(1, rs));
}

TEST(DepthWriter, NothingChangesUntilCommitAndADroppedWriterLeavesNothing) {
  ScratchDir dir;
  const std::string path = dir.file("keep.hvdp");
  const Bytes old = encoded(3, three());
  write_bytes(path, old);
  ::chmod(path.c_str(), 0600);
  {
    DepthWriter w = begin_ok(path);
    for (const auto& r : many_updates(30'000)) ASSERT_FALSE(w.add(r));
    EXPECT_EQ(read_bytes(path), old);
  }
  EXPECT_EQ(read_bytes(path), old);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvdp"});

  DepthWriter w = begin_ok(path);
  ASSERT_FALSE(w.add(three()[0]));
  ASSERT_EQ(w.commit(), 0);
  EXPECT_EQ(read_bytes(path), encoded(1, {three()[0]}));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a private file stays private";
  EXPECT_EQ(std::get<int>(DepthWriter::begin(dir.file("no/such/dir/d"), 1)), ENOENT);
}

TEST(DepthWriter, AWriteThatFailsPartWayLeavesTheOldFileWhole) {
  // A file-size limit makes a write fail part-way, as a full disk would.
  ScratchDir dir;
  const std::string path = dir.file("keep.hvdp");
  const Bytes old = encoded(3, three());
  write_bytes(path, old);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 2 * DEPTH_WRITE_BUFFER_BYTES;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  DepthWriter w = begin_ok(path);
  std::size_t added = 0;
  for (const auto& r : many_updates(60'000)) {  // about 5 MB
    ASSERT_FALSE(w.add(r));
    ++added;
    if (w.failed() != 0) break;
  }
  const int failed = w.failed();
  const int committed = w.commit();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(failed, EFBIG) << "known before commit, after " << added << " records";
  EXPECT_LT(added, 60'000u);
  EXPECT_EQ(committed, EFBIG);
  EXPECT_EQ(read_bytes(path), old);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvdp"}) << "the unfinished file is gone";
}

}  // namespace
}  // namespace halvorn::data
