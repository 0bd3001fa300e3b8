// Mark files: what the writer streams is what encode_marks lays out by
// hand from the documented grammar, records come back across block
// boundaries, and every check of the reader fires on a file damaged in just
// that way.

#include "data/mark_reader.hpp"
#include "data/mark_writer.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "data/crc32.hpp"
#include "data/instrument_block.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::ScratchDir;

std::vector<MarkRecord> series(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<MarkRecord> out;
  Nanos t = 1'704'067'200'000'000'000;
  for (std::size_t i = 0; i < n; ++i) {
    t += static_cast<Nanos>(rng() % 3) * 1'000'000;  // equal times are allowed
    out.push_back(MarkRecord{t, 420'000 + static_cast<std::int64_t>(rng() % 100) - 50,
                             rng() % 4 == 0 ? 0 : 420'010});
  }
  return out;
}

struct Read {
  std::vector<MarkRecord> records;
  std::optional<MarkError> error;
};

Read drain(const std::string& path) {
  Read out;
  MarkOpened opened = MarkReader::open(path);
  if (auto* e = std::get_if<MarkError>(&opened)) {
    out.error = *e;
    return out;
  }
  MarkReader& reader = std::get<MarkReader>(opened);
  for (;;) {
    MarkNext n = reader.next();
    if (auto* r = std::get_if<MarkRecord>(&n)) {
      out.records.push_back(*r);
    } else {
      if (auto* e = std::get_if<MarkError>(&n)) out.error = *e;
      // After the end or an error, nothing more.
      EXPECT_TRUE(std::holds_alternative<End>(reader.next()));
      return out;
    }
  }
}

std::string written(const ScratchDir& dir, const std::vector<MarkRecord>& records,
                    const std::vector<PricedRate>& settlements, MarkKind kind,
                    const InstrumentDefinition* d) {
  const std::string path = dir.file("w.hvmk");
  MarkBegun begun = MarkWriter::begin(path, d ? d->id : 3, kind);
  MarkWriter& w = std::get<MarkWriter>(begun);
  for (const MarkRecord& r : records) EXPECT_FALSE(w.add(r));
  for (const PricedRate& s : settlements) EXPECT_FALSE(w.add_settlement(s));
  if (d) EXPECT_FALSE(w.set_instrument(*d));
  EXPECT_EQ(w.commit(), 0);
  return path;
}

std::uint64_t le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b[at + i]} << (8 * i);
  return v;
}

TEST(MarkFile, TheWriterStreamsTheDocumentedBytesAndTheyReadBack) {
  ScratchDir dir;
  const InstrumentDefinition btc =
      std::get<InstrumentDefinition>(define_instrument(3, "BTCUSDT", "0.10", "0.001"));
  // Across two whole blocks and part of a third.
  const std::vector<MarkRecord> records = series(2 * MARK_BLOCK_RECORDS + 17, 1);
  const std::vector<PricedRate> settled = {{5, 100'000, 420'001}, {9, -25'000, 420'003}};
  const std::string path = written(dir, records, settled, MarkKind::Price, &btc);
  const Bytes bytes = testing::read_bytes(path);
  EXPECT_EQ(bytes, encode_marks(3, MarkKind::Price, records, settled, &btc));

  // The header, field by field.
  const std::size_t body = records.size() * MARK_RECORD_BYTES;
  EXPECT_EQ(le(bytes, 0, 4), 0x4B4D'5648u);  // "HVMK"
  EXPECT_EQ(le(bytes, 4, 2), 1u);
  EXPECT_EQ(bytes[6], 1);
  EXPECT_EQ(le(bytes, 8, 8), records.size());
  EXPECT_EQ(le(bytes, 16, 8), 3u);
  EXPECT_EQ(le(bytes, 24, 4), crc32(bytes.data() + 48, body));
  EXPECT_EQ(le(bytes, 28, 4), crc32(bytes.data() + 48 + body, 2 * MARK_RECORD_BYTES));
  EXPECT_EQ(le(bytes, 32, 8), 2u);
  EXPECT_EQ(le(bytes, 48 + 24, 8), static_cast<std::uint64_t>(records[1].time));

  const Read back = drain(path);
  EXPECT_FALSE(back.error) << back.error->display();
  EXPECT_EQ(back.records, records);
  MarkReader reader = std::get<MarkReader>(MarkReader::open(path));
  EXPECT_EQ(std::get<std::vector<PricedRate>>(reader.settlements()), settled);
  EXPECT_EQ((std::tuple{reader.count(), reader.settlement_count(), reader.kind()}),
            (std::tuple{records.size(), std::uint64_t{2}, MarkKind::Price}));
  EXPECT_EQ(std::get<std::optional<InstrumentDefinition>>(instrument_of_mark_file(path)), btc);
}

TEST(MarkFile, TheWriterRefusesWhatTheReaderWouldAndLeavesNothing) {
  ScratchDir dir;
  MarkBegun begun = MarkWriter::begin(dir.file("x.hvmk"), 1, MarkKind::Premium);
  MarkWriter& w = std::get<MarkWriter>(begun);
  EXPECT_FALSE(w.add({5, 1, 0}));
  const std::optional<MarkError> back = w.add({4, 1, 0});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->display(), "mark 1 goes backwards: previous time 5, found 4");
  EXPECT_FALSE(w.add_settlement({5, 1, 1}));
  EXPECT_EQ(w.add_settlement({5, 2, 1})->display(),
            "funding settlement 1 at 5 ns is not after the one before it, at 5 ns");
  EXPECT_EQ(w.count(), 1u);
  {
    MarkWriter dropped = std::move(w);  // never committed
  }
  EXPECT_TRUE(dir.names().empty());
}

TEST(MarkFile, AMarkOfNoPriceIsRefusedWhereItIsWrittenAndWhereItIsRead) {
  ScratchDir dir;
  MarkBegun begun = MarkWriter::begin(dir.file("z.hvmk"), 1, MarkKind::Price);
  MarkWriter& w = std::get<MarkWriter>(begun);
  EXPECT_FALSE(w.add({1, 100, 0}));
  EXPECT_EQ(w.add({2, 0, 0})->display(), "mark 1 is 0, and a mark price is above 0");
  EXPECT_EQ(w.add({2, -5, 0})->display(), "mark 1 is -5, and a mark price is above 0");
  // A premium index is a rate, which may be anything.
  MarkBegun premium = MarkWriter::begin(dir.file("p.hvmk"), 1, MarkKind::Premium);
  EXPECT_FALSE(std::get<MarkWriter>(premium).add({1, -5, 0}));
  // A file written otherwise stops its reader at the mark.
  const std::string path = dir.file("r.hvmk");
  testing::write_bytes(path, encode_marks(1, MarkKind::Price, {{{1, 100, 0}, {2, 0, 0}}}, {}));
  const Read r = drain(path);
  EXPECT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.error->display(), "mark 1 is 0, and a mark price is above 0");
}

TEST(MarkFile, ADamagedSettlementCountIsHeldAgainstTheFileBeforeAnythingIsAllocated) {
  ScratchDir dir;
  Bytes b = encode_marks(1, MarkKind::Price, series(3, 4), {{{7, 1, 1}}});
  const std::size_t size = b.size();
  for (const std::uint64_t count : {std::uint64_t{1} << 40, std::uint64_t{2}}) {
    for (int i = 0; i < 8; ++i) b[32 + i] = static_cast<std::uint8_t>(count >> (8 * i));
    testing::write_bytes(dir.file("s.hvmk"), b);
    MarkReader reader = std::get<MarkReader>(MarkReader::open(dir.file("s.hvmk")));
    EXPECT_EQ(std::get<MarkError>(reader.settlements()).display(),
              "mark file truncated: needed " + std::to_string(48 + 24 * (3 + count)) + " bytes, " +
                  std::to_string(size) + " available");
  }
}

TEST(MarkFile, EachCheckOfTheReaderFires) {
  ScratchDir dir;
  const std::vector<MarkRecord> records = series(100, 2);
  const std::vector<PricedRate> one = {{7, 1, 1}};
  const Bytes good = encode_marks(1, MarkKind::Price, records, one);
  const std::string path = dir.file("d.hvmk");
  const auto error = [&](Bytes b) {
    testing::write_bytes(path, b);
    const Read r = drain(path);
    return r.error ? r.error->display() : std::string("none");
  };
  EXPECT_EQ(error({}), "mark file truncated: needed 48 bytes, 0 available");
  Bytes b = good;
  b[0] = 'X';
  EXPECT_EQ(error(b), "not a mark file: magic 0x4b4d5658");
  b = good;
  b[4] = 2;
  EXPECT_EQ(error(b), "unknown mark file version 2");
  b = good;
  b[6] = 7;
  EXPECT_EQ(error(b), "unknown mark file kind 7");
  b = good;
  b[48 + 30] ^= 1;
  EXPECT_EQ(error(b).substr(0, 34), "mark file checksum mismatch: expec");
  EXPECT_EQ(error(Bytes(good.begin(), good.begin() + 48 + 24 * 50)),
            "mark file truncated: needed 2448 bytes, 48 available");
  // Out of order on disk, with a checksum that covers it: the reader hands
  // out the records before it.
  std::vector<MarkRecord> swapped = records;
  swapped[40].time = swapped[39].time - 1;
  testing::write_bytes(path, encode_marks(1, MarkKind::Price, swapped, {}));
  const Read r = drain(path);
  EXPECT_EQ(r.records.size(), 40u);
  EXPECT_EQ(r.error->display(), "mark 40 goes backwards: previous time " +
                                    std::to_string(swapped[39].time) + ", found " +
                                    std::to_string(swapped[40].time));
  // Settlements are checked where they are read.
  b = good;
  b[48 + 24 * 100 + 3] ^= 1;
  testing::write_bytes(path, b);
  MarkReader reader = std::get<MarkReader>(MarkReader::open(path));
  EXPECT_EQ(std::get<MarkError>(reader.settlements()).display().substr(0, 28),
            "mark file checksum mismatch:");
}

TEST(MarkFile, AStreamedSourceKeepsItsErrorForAfterTheRun) {
  ScratchDir dir;
  const std::vector<MarkRecord> records = series(MARK_BLOCK_RECORDS + 5, 3);
  Bytes b = encode_marks(1, MarkKind::Price, records, {});
  b.resize(b.size() - 1);
  testing::write_bytes(dir.file("s.hvmk"), b);
  StreamedMarks marks(std::get<MarkReader>(MarkReader::open(dir.file("s.hvmk"))));
  MarkRecord r;
  std::size_t n = 0;
  while (marks.next(r)) EXPECT_EQ(r, records[n++]);
  // The first block is whole and handed out; the second is short.
  EXPECT_EQ(n, MARK_BLOCK_RECORDS);
  ASSERT_TRUE(marks.error());
  EXPECT_EQ(marks.error()->display().substr(0, 20), "mark file truncated:");
  EXPECT_FALSE(marks.next(r));
}

}  // namespace
}  // namespace halvorn::data
