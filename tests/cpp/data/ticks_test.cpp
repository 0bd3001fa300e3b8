// Tick files: the bytes encode writes, the texts of the five errors, and
// every way a reader ends -- with exactly the records it hands out first.

#include "data/ticks.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <limits>

#include "files.hpp"

namespace halvorn::data {
namespace {

using engine::Tick;
using testing::Bytes;
using testing::drain;
using testing::open_error;
using testing::open_ok;
using testing::ScratchDir;
using testing::series;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

std::uint64_t le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b[at + i]} << (8 * i);
  return v;
}

void set_le(Bytes& b, std::size_t at, std::size_t width, std::uint64_t v) {
  for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(ErrorText, EachKindHasItsFixedText) {
  EXPECT_EQ((Error{Truncated{96, 32}}.display()), "truncated: needed 96 bytes, 32 available");
  EXPECT_EQ((Error{Truncated{U64_MAX, 0}}.display()),
            "truncated: needed 18446744073709551615 bytes, 0 available");
  EXPECT_EQ((Error{BadMagic{0x03020100}}.display()), "not a tick file: magic 0x03020100");
  // Eight digits, zero-padded, lowercase.
  EXPECT_EQ((Error{BadMagic{0x1}}.display()), "not a tick file: magic 0x00000001");
  EXPECT_EQ((Error{BadMagic{0xFFFFFFFF}}.display()), "not a tick file: magic 0xffffffff");
  EXPECT_EQ((Error{UnknownVersion{1}}.display()), "unknown tick file version 1");
  EXPECT_EQ((Error{UnknownVersion{65535}}.display()), "unknown tick file version 65535");
  EXPECT_EQ((Error{ChecksumMismatch{0xABC, 0xDEADBEEF}}.display()),
            "checksum mismatch: expected 0x00000abc, computed 0xdeadbeef");
  EXPECT_EQ((Error{GoesBackwards{2, 5, 4}}.display()),
            "tick 2 goes backwards: previous exchange time 5, found 4");
  EXPECT_EQ((Error{GoesBackwards{U64_MAX, I64_MAX, I64_MIN}}.display()),
            "tick 18446744073709551615 goes backwards: previous exchange time "
            "9223372036854775807, found -9223372036854775808");
}

TEST(Encode, NoTicksIsABareHeader) {
  Bytes b = encode(0xA1B2C3D4E5F60718ull, {});
  const Bytes expected = {'H',  'V',  'T',  'K',  2,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0,
                          0x18, 0x07, 0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(b, expected);
}

TEST(Encode, RecordsAreLittleEndianFieldsInOrderUnderAChecksum) {
  const Tick one{1, 2, 3, 4, 5, 6, 7, 8};
  Bytes b = encode(1, std::span(&one, 1));
  ASSERT_EQ(b.size(), 96u);
  EXPECT_EQ(le(b, 0, 4), MAGIC);
  EXPECT_EQ(le(b, 4, 2), 2u);
  EXPECT_EQ(le(b, 6, 2), 0u);
  EXPECT_EQ(le(b, 8, 8), 1u);
  EXPECT_EQ(le(b, 16, 8), 1u);
  EXPECT_EQ(le(b, 24, 4), crc32_bytewise(0, b.data() + 32, 64));
  EXPECT_EQ(le(b, 28, 4), 0u);
  for (std::size_t f = 0; f < 8; ++f) EXPECT_EQ(le(b, 32 + 8 * f, 8), f + 1) << "field " << f;

  // Negative values are two's complement; a backwards series is written as
  // it is, and refused only by a reader.
  const Tick backwards[2] = {{10, 0, -1, 0, 0, 0, 0, I64_MIN}, {9, 0, 0, 0, 0, 0, 0, 0}};
  Bytes c = encode(7, backwards);
  EXPECT_EQ(le(c, 32 + 16, 8), U64_MAX);
  EXPECT_EQ(le(c, 32 + 56, 8), 0x8000000000000000ull);
  EXPECT_EQ(le(c, 96, 8), 9u);
}

TEST(Reader, GivesBackWhatWasWrittenThenEnds) {
  ScratchDir dir;
  const Tick extremes[3] = {{I64_MIN, I64_MAX, I64_MIN, I64_MAX, 0, -1, 1, I64_MIN},
                            {I64_MIN, 0, 0, 0, 0, 0, 0, 0},
                            {I64_MAX, 1, 2, 3, 4, 5, 6, 7}};
  testing::write_bytes(dir.file("x.hvtk"), encode(42, extremes));
  TickReader r = open_ok(dir.file("x.hvtk"));
  EXPECT_EQ(r.count(), 3u);
  EXPECT_EQ(r.instrument(), 42u);
  auto d = drain(r);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(d.ticks, std::vector<Tick>(std::begin(extremes), std::end(extremes)));

  testing::write_bytes(dir.file("empty.hvtk"), encode(1, {}));
  TickReader e = open_ok(dir.file("empty.hvtk"));
  EXPECT_EQ(e.count(), 0u);
  EXPECT_TRUE(std::holds_alternative<End>(e.next()));
}

TEST(Reader, OpeningReadsOnlyTheHeader) {
  // A header promising a million records, and none of them: opening succeeds
  // and reports the count; only reading finds the truncation.
  ScratchDir dir;
  Bytes b = encode(9, {});
  set_le(b, 8, 8, 1'000'000);
  testing::write_bytes(dir.file("big.hvtk"), b);
  TickReader r = open_ok(dir.file("big.hvtk"));
  EXPECT_EQ(r.count(), 1'000'000u);
  EXPECT_EQ(r.instrument(), 9u);
  auto d = drain(r);
  EXPECT_TRUE(d.ticks.empty());
  EXPECT_EQ(d.error, (Error{Truncated{64'000'032, 32}}));
  EXPECT_EQ(d.error->display(), "truncated: needed 64000032 bytes, 32 available");
}

TEST(Reader, HeaderFailures) {
  ScratchDir dir;
  const Error no_header{Truncated{32, 0}};
  EXPECT_EQ(open_error(dir.file("missing.hvtk")), no_header);
  EXPECT_EQ(open_error(dir.path().string()), no_header) << "a directory";
  EXPECT_EQ(open_error(std::string("a\0b", 3)), no_header) << "a name with a NUL in it";
  testing::write_bytes(dir.file("empty"), {});
  EXPECT_EQ(open_error(dir.file("empty")), no_header);
  // A header one byte short reports 0 available, not 31.
  Bytes b = encode(1, series(2));
  testing::write_bytes(dir.file("short"), Bytes(b.begin(), b.begin() + 31));
  EXPECT_EQ(open_error(dir.file("short")), no_header);

  Bytes magic = b;
  magic[0] = 0, magic[1] = 1, magic[2] = 2, magic[3] = 3;
  magic[4] = 9;  // the magic is checked before the version
  testing::write_bytes(dir.file("magic"), magic);
  auto e = open_error(dir.file("magic"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->display(), "not a tick file: magic 0x03020100");

  for (std::uint16_t version : {0, 1, 3, 0x0102, 0xFFFF}) {
    Bytes v = b;
    set_le(v, 4, 2, version);
    testing::write_bytes(dir.file("version"), v);
    EXPECT_EQ(open_error(dir.file("version")), (Error{UnknownVersion{version}}));
  }
  set_le(b, 4, 2, 1);
  testing::write_bytes(dir.file("v1"), b);
  EXPECT_EQ(open_error(dir.file("v1"))->display(), "unknown tick file version 1");

  if (::geteuid() != 0) {  // permission bits do not bind root
    testing::write_bytes(dir.file("locked"), encode(1, series(1)));
    ::chmod(dir.file("locked").c_str(), 0);
    EXPECT_EQ(open_error(dir.file("locked")), no_header);
  }
}

TEST(Reader, HeaderFieldsOutsideTheChecksumAndTrailingBytesAreIgnored) {
  ScratchDir dir;
  const auto ticks = series(5);
  Bytes b = encode(3, ticks);
  b[6] = 0xAA, b[7] = 0xBB;                    // reserved
  b[28] = 1, b[29] = 2, b[30] = 3, b[31] = 4;  // reserved
  set_le(b, 16, 8, 77);                        // instrument
  b.insert(b.end(), {1, 2, 3, 4, 5, 6, 7});    // after the last record
  testing::write_bytes(dir.file("x"), b);
  TickReader r = open_ok(dir.file("x"));
  EXPECT_EQ(r.instrument(), 77u);
  auto d = drain(r);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(d.ticks, ticks);
}

TEST(Reader, ReadsInBlocksAndChecksTheChecksumBeforeHandingOutTheLast) {
  ScratchDir dir;
  const auto ticks = series(BLOCK_RECORDS + 1);
  const Bytes good = encode(1, ticks);
  testing::write_bytes(dir.file("ok"), good);
  TickReader ok = open_ok(dir.file("ok"));
  auto d = drain(ok);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(d.ticks, ticks);

  // A byte changed in either block is found only when the last block has
  // been read: the first block's records are out by then, the last's never.
  for (std::size_t at : {std::size_t{32 + 17}, good.size() - 1}) {
    Bytes bad = good;
    bad[at] ^= 0x40;
    testing::write_bytes(dir.file("bad"), bad);
    TickReader r = open_ok(dir.file("bad"));
    auto f = drain(r);
    EXPECT_EQ(f.ticks.size(), BLOCK_RECORDS) << "byte " << at;
    const ChecksumMismatch expected{static_cast<std::uint32_t>(le(good, 24, 4)),
                                    crc32_bytewise(0, bad.data() + 32, bad.size() - 32)};
    EXPECT_EQ(f.error, Error{expected});
  }

  // A file of exactly one block hands out nothing when its checksum fails.
  Bytes one = encode(1, series(BLOCK_RECORDS));
  one[40] ^= 1;
  testing::write_bytes(dir.file("one"), one);
  TickReader r = open_ok(dir.file("one"));
  auto f = drain(r);
  EXPECT_TRUE(f.ticks.empty());
  ASSERT_TRUE(f.error);
  EXPECT_TRUE(std::holds_alternative<ChecksumMismatch>(f.error->kind));
}

// A reader opened with small blocks (as a portfolio's files are) reads the
// same records and finds the same faults, block by smaller block.
TEST(Reader, SmallerBlocksReadTheSameAndCountTheirOwnBlocksAsAvailable) {
  ScratchDir dir;
  const auto ticks = series(10);
  const Bytes good = encode(1, ticks);
  testing::write_bytes(dir.file("ok"), good);
  for (std::size_t block : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{10}}) {
    TickReader r = open_ok(dir.file("ok"), block);
    auto d = drain(r);
    EXPECT_FALSE(d.error) << "block " << block;
    EXPECT_EQ(d.ticks, ticks) << "block " << block;
  }

  // The checksum still holds back the last block: with blocks of 3, the
  // first 9 records are out when the tenth's block shows the fault.
  Bytes bad = good;
  bad[good.size() - 1] ^= 0x40;
  testing::write_bytes(dir.file("bad"), bad);
  TickReader r = open_ok(dir.file("bad"), 3);
  auto f = drain(r);
  EXPECT_EQ(f.ticks, std::vector<Tick>(ticks.begin(), ticks.begin() + 9));
  ASSERT_TRUE(f.error);
  EXPECT_TRUE(std::holds_alternative<ChecksumMismatch>(f.error->kind));

  // Cut inside the fourth block: three whole blocks of 3 count as available.
  Bytes cut = good;
  cut.resize(cut.size() - 32);
  testing::write_bytes(dir.file("cut"), cut);
  TickReader c = open_ok(dir.file("cut"), 3);
  auto e = drain(c);
  EXPECT_EQ(e.ticks, std::vector<Tick>(ticks.begin(), ticks.begin() + 9));
  EXPECT_EQ(e.error, (Error{Truncated{32 + 64 * 10, 32 + 64 * 9}}));
}

TEST(Reader, TruncationCountsOnlyWholeBlocksAsAvailable) {
  ScratchDir dir;
  // One record fewer than the header claims, in a single block.
  Bytes b = encode(1, series(3));
  set_le(b, 8, 8, 4);
  testing::write_bytes(dir.file("a"), b);
  TickReader a = open_ok(dir.file("a"));
  auto d = drain(a);
  EXPECT_TRUE(d.ticks.empty());
  EXPECT_EQ(d.error, (Error{Truncated{32 + 64 * 4, 32}}));

  // Cut inside the second block (halfway through its one record): the whole
  // first block is handed out, and it alone counts as available.
  const auto ticks = series(BLOCK_RECORDS + 1);
  Bytes c = encode(1, ticks);
  c.resize(c.size() - 32);
  testing::write_bytes(dir.file("c"), c);
  TickReader r = open_ok(dir.file("c"));
  auto e = drain(r);
  EXPECT_EQ(e.ticks, std::vector<Tick>(ticks.begin(), ticks.begin() + BLOCK_RECORDS));
  EXPECT_EQ(e.error, (Error{Truncated{32 + 64 * (BLOCK_RECORDS + 1), 32 + 64 * BLOCK_RECORDS}}));
}

TEST(Reader, NeededSaturatesWhenTheHeaderPromisesMoreThan64BitsOfBytes) {
  ScratchDir dir;
  Bytes b = encode(1, series(2));
  const std::uint64_t largest_fitting = (U64_MAX - 32) / 64;  // 32 + 64n <= U64_MAX
  for (auto [count, needed] :
       {std::pair{largest_fitting, 32 + 64 * largest_fitting},
        std::pair{largest_fitting + 1, U64_MAX}, std::pair{U64_MAX, U64_MAX}}) {
    set_le(b, 8, 8, count);
    testing::write_bytes(dir.file("x"), b);
    TickReader r = open_ok(dir.file("x"));
    EXPECT_EQ(r.count(), count);
    // The first block is cut short, so nothing is handed out.
    EXPECT_EQ(drain(r).error, (Error{Truncated{needed, 32}})) << count;
  }
}

TEST(Reader, AnExchangeTimeGoingBackwardsStopsBeforeThatRecord) {
  ScratchDir dir;
  std::vector<Tick> ticks = {{5, 0, 1}, {5, 0, 2}, {4, 0, 3}, {6, 0, 4}};
  testing::write_bytes(dir.file("a"), encode(1, ticks));
  TickReader a = open_ok(dir.file("a"));
  auto d = drain(a);
  EXPECT_EQ(d.ticks, std::vector<Tick>(ticks.begin(), ticks.begin() + 2));
  ASSERT_TRUE(d.error);
  EXPECT_EQ(d.error->display(), "tick 2 goes backwards: previous exchange time 5, found 4");

  // At a block boundary the index is the record's place in the file.
  auto many = series(BLOCK_RECORDS + 3);
  many[BLOCK_RECORDS].exch_ts = many[BLOCK_RECORDS - 1].exch_ts - 1;
  testing::write_bytes(dir.file("b"), encode(1, many));
  TickReader b = open_ok(dir.file("b"));
  auto e = drain(b);
  EXPECT_EQ(e.ticks.size(), BLOCK_RECORDS);
  EXPECT_EQ(e.error, (Error{GoesBackwards{BLOCK_RECORDS, many[BLOCK_RECORDS - 1].exch_ts,
                                          many[BLOCK_RECORDS].exch_ts}}));

  // The first record may hold the smallest time there is.
  std::vector<Tick> lowest = {{I64_MIN}, {I64_MIN}, {I64_MAX}, {-1}};
  testing::write_bytes(dir.file("c"), encode(1, lowest));
  TickReader c = open_ok(dir.file("c"));
  EXPECT_EQ(drain(c).error, (Error{GoesBackwards{3, I64_MAX, -1}}));
}

TEST(Reader, TheChecksumOfTheLastBlockComesBeforeItsOrder) {
  // Both faults in the one block: the checksum is compared before any record
  // of the block is handed out.
  ScratchDir dir;
  std::vector<Tick> ticks = {{5}, {4}};
  Bytes b = encode(1, ticks);
  b[24] ^= 1;
  testing::write_bytes(dir.file("x"), b);
  TickReader r = open_ok(dir.file("x"));
  auto d = drain(r);
  EXPECT_TRUE(d.ticks.empty());
  ASSERT_TRUE(d.error);
  EXPECT_TRUE(std::holds_alternative<ChecksumMismatch>(d.error->kind));
}

TEST(Reader, MovesMidStream) {
  ScratchDir dir;
  const auto ticks = series(BLOCK_RECORDS + 10);
  testing::write_bytes(dir.file("x"), encode(1, ticks));
  TickReader a = open_ok(dir.file("x"));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(std::holds_alternative<Tick>(a.next()));
  TickReader b = std::move(a);
  EXPECT_TRUE(std::holds_alternative<End>(a.next())) << "a moved-from reader has ended";
  auto d = drain(b);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(d.ticks, std::vector<Tick>(ticks.begin() + 5, ticks.end()));
}

TEST(StreamedTicks, EndsTheSeriesAtTheFirstErrorAndKeepsIt) {
  ScratchDir dir;
  auto ticks = series(BLOCK_RECORDS + 3);
  testing::write_bytes(dir.file("ok"), encode(1, ticks));
  StreamedTicks ok(open_ok(dir.file("ok")));
  std::vector<Tick> seen;
  Tick t;
  while (ok.next(t)) seen.push_back(t);
  EXPECT_EQ(seen, ticks);
  EXPECT_FALSE(ok.error());
  EXPECT_FALSE(ok.next(t));

  ticks[BLOCK_RECORDS + 1].exch_ts = I64_MIN;
  testing::write_bytes(dir.file("bad"), encode(1, ticks));
  StreamedTicks bad(open_ok(dir.file("bad")));
  seen.clear();
  while (bad.next(t)) seen.push_back(t);
  EXPECT_EQ(seen, std::vector<Tick>(ticks.begin(), ticks.begin() + BLOCK_RECORDS + 1));
  EXPECT_EQ(bad.handed_out(), BLOCK_RECORDS + 1);
  ASSERT_TRUE(bad.error());
  EXPECT_TRUE(std::holds_alternative<GoesBackwards>(bad.error()->kind));
  EXPECT_FALSE(bad.next(t));
  EXPECT_TRUE(bad.error()) << "the error is kept after the series ends";
}

TEST(StreamedTicks, RecordsShownInPlaceStopBeforeOneThatGoesBackwards) {
  // A run reads what lies in place by peeking and skipping: what it is shown
  // stops before a record that goes backwards, mid-block or first in a
  // block, and the next step reports that record.
  ScratchDir dir;
  for (const std::size_t bad : {std::size_t{7}, std::size_t{BLOCK_RECORDS}}) {
    auto ticks = series(BLOCK_RECORDS + 20);
    ticks[bad].exch_ts = ticks[bad - 1].exch_ts - 1;
    testing::write_bytes(dir.file("x"), encode(1, ticks));
    StreamedTicks s(open_ok(dir.file("x")));
    std::vector<Tick> seen;
    while (const Tick* t = s.next_in_place()) {
      seen.push_back(*t);
      const std::span<const Tick> shown = s.peek_in_place(SIZE_MAX);
      EXPECT_LE(shown.size(), s.in_place());
      // Take what is shown in two steps, to hand out part of a run.
      const std::size_t first = shown.size() / 2;
      seen.insert(seen.end(), shown.begin(), shown.begin() + static_cast<std::ptrdiff_t>(first));
      s.skip_in_place(first);
      const std::span<const Tick> rest = s.peek_in_place(SIZE_MAX);
      EXPECT_EQ(rest.size(), shown.size() - first) << bad;
      seen.insert(seen.end(), rest.begin(), rest.end());
      s.skip_in_place(rest.size());
    }
    EXPECT_EQ(seen,
              std::vector<Tick>(ticks.begin(), ticks.begin() + static_cast<std::ptrdiff_t>(bad)))
        << bad;
    ASSERT_TRUE(s.error()) << bad;
    EXPECT_EQ(*s.error(), (Error{GoesBackwards{bad, ticks[bad - 1].exch_ts, ticks[bad].exch_ts}}))
        << bad;
  }
}

}  // namespace
}  // namespace halvorn::data
