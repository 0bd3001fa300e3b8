// The streamed writer against encode, the whole-file writer it must agree
// with byte for byte; what a failure leaves behind; and tick files from
// strided integer columns of every width, against ticks built by hand.

#include "data/tick_writer.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>

#include "data/column_writer.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using engine::Tick;
using testing::Bytes;
using testing::read_bytes;
using testing::ScratchDir;
using testing::series;
using testing::write_bytes;

TickWriter begin_ok(const std::string& path, std::uint64_t instrument) {
  WriterBegun b = TickWriter::begin(path, instrument);
  if (auto* e = std::get_if<WriteFailed>(&b)) {
    ADD_FAILURE() << e->display();
    std::abort();
  }
  return std::move(std::get<TickWriter>(b));
}

TEST(TickWriter, WritesWhatEncodeWritesInAnyPieces) {
  ScratchDir dir;
  // Across block boundaries, in pieces of awkward sizes, and empty.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, BLOCK_RECORDS, 3 * BLOCK_RECORDS + 17}) {
    const std::vector<Tick> ticks = series(n);
    const std::string path = dir.file("w.hvtk");
    TickWriter w = begin_ok(path, 42);
    for (std::size_t at = 0, piece = 1; at < n; at += piece, piece = piece * 3 + 1) {
      ASSERT_FALSE(w.append(std::span(ticks).subspan(at, std::min(piece, n - at))));
    }
    ASSERT_FALSE(w.finish());
    EXPECT_EQ(w.count(), n);
    EXPECT_EQ(read_bytes(path), encode(42, ticks)) << n << " ticks";
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{"w.hvtk"});
}

TEST(TickWriter, RefusesATickThatGoesBackAndWritesNothing) {
  ScratchDir dir;
  const std::string path = dir.file("keep.hvtk");
  write_bytes(path, Bytes{1, 2, 3});
  std::vector<Tick> ticks = series(10);
  ticks[7].exch_ts = ticks[6].exch_ts - 1;
  TickWriter w = begin_ok(path, 1);
  std::optional<WriteError> e = w.append(ticks);
  ASSERT_TRUE(e);
  EXPECT_EQ(display(*e), "tick 7 goes backwards: previous exchange time " +
                             std::to_string(ticks[6].exch_ts) + ", found " +
                             std::to_string(ticks[7].exch_ts));
  EXPECT_TRUE(w.finish()) << "a writer that failed does not finish";
  EXPECT_EQ(read_bytes(path), (Bytes{1, 2, 3}));
}

TEST(TickWriter, AFailureOrAnUnfinishedWriterLeavesTheTargetAsItWas) {
  ScratchDir dir;
  const std::string path = dir.file("keep.hvtk");
  const Bytes old = encode(9, series(5));
  write_bytes(path, old);
  {
    TickWriter w = begin_ok(path, 1);
    ASSERT_FALSE(w.append(series(100)));
  }  // dropped
  EXPECT_EQ(read_bytes(path), old);

  // A write that fails half-way, as on a full disk.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100'000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  TickWriter w = begin_ok(path, 1);
  std::optional<WriteError> e = w.append(series(5 * BLOCK_RECORDS));
  if (!e) e = w.finish();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(e);
  EXPECT_EQ(display(*e), path + ": File too large");
  EXPECT_EQ(read_bytes(path), old);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvtk"});

  // Targets that cannot be written, or cannot take a header written last.
  WriterBegun b = TickWriter::begin(dir.file("no/dir/x.hvtk"), 1);
  ASSERT_TRUE(std::holds_alternative<WriteFailed>(b));
  EXPECT_EQ(std::get<WriteFailed>(b).code, ENOENT);
  b = TickWriter::begin("/dev/null", 1);
  ASSERT_TRUE(std::holds_alternative<WriteFailed>(b));
  EXPECT_EQ(std::get<WriteFailed>(b).code, ESPIPE);
}

// ---------------------------------------------------------------------------
// Columns

template <class T>
Column column(const std::vector<T>& v, ElementKind kind) {
  return Column{v.data(), v.size(), static_cast<std::ptrdiff_t>(sizeof(T)), kind};
}

TEST(Columns, EveryWidthStrideAndDefault) {
  ScratchDir dir;
  const std::size_t n = BLOCK_RECORDS + 5;
  // exch_ts unsigned 64-bit; last interleaved in a struct of arrays (a
  // stride wider than the element); volume read backwards; bid one value
  // repeated; the other columns absent.
  struct Pair {
    std::int32_t last;
    std::int16_t pad;
  };
  std::vector<std::uint64_t> exch(n);
  std::vector<Pair> pairs(n);
  std::vector<std::uint8_t> volume(n);
  std::vector<std::int16_t> local(n);
  const std::int8_t bid = -3;
  std::vector<Tick> want(n);
  for (std::size_t i = 0; i < n; ++i) {
    exch[i] = 1'000'000 + i / 2;
    pairs[i] = {static_cast<std::int32_t>(60'000 - 7 * i), 0};
    volume[i] = static_cast<std::uint8_t>(i * 13);
    local[i] = static_cast<std::int16_t>(-static_cast<int>(i % 30'000));
    const std::int64_t last = pairs[i].last;
    want[i] = Tick{static_cast<std::int64_t>(exch[i]), local[i], last, last, last, bid, 0, 0};
  }
  for (std::size_t i = 0; i < n; ++i) want[i].volume = volume[n - 1 - i];

  Columns c;
  c.exch_ts = column(exch, ElementKind::U64);
  c.local_ts = column(local, ElementKind::I16);
  c.last = Column{&pairs[0].last, n, sizeof(Pair), ElementKind::I32};
  c.bid = Column{&bid, n, 0, ElementKind::I8};
  c.volume = Column{&volume[n - 1], n, -1, ElementKind::U8};
  const std::string path = dir.file("c.hvtk");
  auto written = write_columns(path, 5, c);
  ASSERT_TRUE(std::holds_alternative<std::uint64_t>(written))
      << std::get<ColumnsError>(written).display();
  EXPECT_EQ(std::get<std::uint64_t>(written), n);
  EXPECT_EQ(read_bytes(path), encode(5, want));

  // Without local_ts it is exch_ts.
  c.local_ts = Column{};
  for (Tick& t : want) t.local_ts = t.exch_ts;
  ASSERT_TRUE(std::holds_alternative<std::uint64_t>(write_columns(path, 5, c)));
  EXPECT_EQ(read_bytes(path), encode(5, want));
}

TEST(Columns, ErrorsNameTheColumnAndRowAndWriteNothing) {
  ScratchDir dir;
  const std::string path = dir.file("keep.hvtk");
  write_bytes(path, Bytes{7});
  std::vector<std::int64_t> t = {1, 2, 3}, p = {10, 11, 12}, shorter = {1, 2};
  std::vector<std::uint64_t> big = {5, 0x8000000000000000ull, 6};
  const auto error_of = [&](const Columns& c) {
    auto r = write_columns(path, 1, c);
    EXPECT_TRUE(std::holds_alternative<ColumnsError>(r));
    return std::holds_alternative<ColumnsError>(r) ? std::get<ColumnsError>(r).display() : "";
  };
  Columns c;
  c.last = column(p, ElementKind::I64);
  EXPECT_EQ(error_of(c), "column exch_ts is required");
  c = Columns{};
  c.exch_ts = column(t, ElementKind::I64);
  EXPECT_EQ(error_of(c), "column last is required");
  c.last = column(p, ElementKind::I64);
  c.ask = column(shorter, ElementKind::I64);
  EXPECT_EQ(error_of(c), "column ask has 2 values, column exch_ts has 3");
  c.ask = column(big, ElementKind::U64);
  EXPECT_EQ(error_of(c),
            "column ask, row 1: 9223372036854775808 does not fit in a signed 64-bit integer");
  c.ask = Column{};
  t = {1, 3, 2};
  EXPECT_EQ(error_of(c), "row 2 goes backwards: previous exchange time 3, found 2");
  EXPECT_EQ(read_bytes(path), Bytes{7});
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvtk"});
}

}  // namespace
}  // namespace halvorn::data
