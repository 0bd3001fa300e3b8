// The header checks and the reading skeleton that depth and mark files
// share, run over both kinds: a refusal must be the same whichever road
// opened the file (a reader, or the look-up of its instrument block), and a
// damaged or short body must stop the reader before it hands out a record
// the checksum has not vouched for.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data/depth_reader.hpp"
#include "data/instrument_block.hpp"
#include "data/mark_reader.hpp"
#include "depth_files.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::ScratchDir;
using testing::set_le;
using testing::write_bytes;

constexpr std::uint64_t FILE_INSTRUMENT = 7;

InstrumentDefinition defined(std::uint64_t id) {
  auto d = define_instrument(id, "BTC", "0.1", "0.001");
  if (auto* p = std::get_if<DefinitionProblem>(&d)) {
    ADD_FAILURE() << p->display();
    std::abort();
  }
  return std::get<InstrumentDefinition>(std::move(d));
}

// What a record stream ended with: records handed out, and the error.
template <class Error>
struct Ending {
  std::uint64_t handed_out = 0;
  std::optional<Error> error;
};

struct DepthFile {
  using Error = DepthError;
  static constexpr std::size_t HEADER = DEPTH_HEADER_BYTES;

  // Three records, then the block when one is given.
  static Bytes file(const InstrumentDefinition* block) {
    using testing::snapshot_at;
    using testing::update_at;
    Bytes b = testing::encoded(FILE_INSTRUMENT, {snapshot_at(10, 1, {{100, 5}}, {{101, 4}}),
                                                 update_at(20, 2, 2, {{100, 6}}, {}),
                                                 update_at(30, 3, 3, {}, {{101, 3}, {102, 9}})});
    if (block != nullptr) {
      const Bytes encoded = encode_instrument_block(*block);
      b.insert(b.end(), encoded.begin(), encoded.end());
    }
    return b;
  }
  // Where the records end, before any block.
  static std::size_t body_end(const Bytes& b) {
    return HEADER +
           static_cast<std::size_t>(*depth_body_bytes(testing::le(b, 8, 8), testing::le(b, 32, 8)));
  }
  // A byte only the checksum covers: the last level's price.
  static std::size_t unchecked_byte(const Bytes& b) { return body_end(b) - 16; }

  static std::optional<Error> open_error(const std::string& path) {
    DepthOpened o = DepthReader::open(path);
    if (auto* e = std::get_if<Error>(&o)) return *e;
    return std::nullopt;
  }
  static Ending<Error> read_all(const std::string& path) {
    DepthOpened o = DepthReader::open(path, 64);
    if (auto* e = std::get_if<Error>(&o)) return {0, *e};
    testing::DrainedDepth d = testing::drain(std::get<DepthReader>(o));
    return {d.records.size(), d.error};
  }
  static DepthInstrument instrument_of(const std::string& path) {
    return instrument_of_depth_file(path);
  }
};

struct MarkFile {
  using Error = MarkError;
  static constexpr std::size_t HEADER = MARK_HEADER_BYTES;

  static Bytes file(const InstrumentDefinition* block) {
    const std::vector<MarkRecord> records = {{10, 100, 99}, {20, 101, 0}, {30, 102, 101}};
    const std::vector<PricedRate> settlements = {{15, 100, 100}, {25, -50, 101}};
    return encode_marks(FILE_INSTRUMENT, MarkKind::Price, records, settlements, block);
  }
  // The records end where the settlements begin.
  static std::size_t body_end(const Bytes& b) {
    return static_cast<std::size_t>(*mark_settlements_offset(testing::le(b, 8, 8)));
  }
  // A byte only the checksum covers: the last record's index price.
  static std::size_t unchecked_byte(const Bytes& b) { return body_end(b) - 8; }

  static std::optional<Error> open_error(const std::string& path) {
    MarkOpened o = MarkReader::open(path);
    if (auto* e = std::get_if<Error>(&o)) return *e;
    return std::nullopt;
  }
  static Ending<Error> read_all(const std::string& path) {
    MarkOpened o = MarkReader::open(path);
    if (auto* e = std::get_if<Error>(&o)) return {0, *e};
    MarkReader& reader = std::get<MarkReader>(o);
    Ending<Error> out;
    for (std::uint64_t step = 0; step <= reader.count(); ++step) {
      MarkNext n = reader.next();
      if (std::holds_alternative<MarkRecord>(n)) continue;
      if (auto* e = std::get_if<Error>(&n)) out.error = *e;
      EXPECT_TRUE(std::holds_alternative<End>(reader.next())) << "stays stopped";
      break;
    }
    out.handed_out = reader.handed_out();
    return out;
  }
  static MarkInstrument instrument_of(const std::string& path) {
    return instrument_of_mark_file(path);
  }
};

template <class Kind>
class FileHeaderTest : public ::testing::Test {
 protected:
  using Error = typename Kind::Error;

  // Writes `bytes` and checks that the reader and the block look-up refuse
  // the file with the same error, which is returned.
  std::optional<Error> refusal_of(const Bytes& bytes) {
    write_bytes(path_, bytes);
    const std::optional<Error> opened = Kind::open_error(path_);
    auto looked_up = Kind::instrument_of(path_);
    const Error* block_error = std::get_if<Error>(&looked_up);
    EXPECT_EQ(opened.has_value(), block_error != nullptr);
    if (opened && block_error != nullptr) {
      EXPECT_EQ(*opened, *block_error)
          << opened->display() << " against " << block_error->display();
    }
    return opened;
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("file");
};

using Kinds = ::testing::Types<DepthFile, MarkFile>;
TYPED_TEST_SUITE(FileHeaderTest, Kinds);

TYPED_TEST(FileHeaderTest, HeaderRefusalsAreTheSameOnBothRoads) {
  using Error = typename TypeParam::Error;
  const Error short_header{Truncated{TypeParam::HEADER, 0}};
  const Bytes good = TypeParam::file(nullptr);
  EXPECT_EQ(this->refusal_of(good), std::nullopt);

  // Any header cut short, down to an empty file, is the same Truncated.
  for (std::size_t n = 0; n < TypeParam::HEADER; ++n) {
    EXPECT_EQ(this->refusal_of(Bytes(good.begin(), good.begin() + static_cast<long>(n))),
              short_header)
        << n << " bytes";
  }

  Bytes other = good;
  other[0] ^= 0x20;
  EXPECT_EQ(this->refusal_of(other),
            Error{BadMagic{static_cast<std::uint32_t>(testing::le(other, 0, 4))}});

  // A newer version may lay its records out otherwise: never read as this one.
  for (const std::uint16_t version : {std::uint16_t{0}, std::uint16_t{2}, std::uint16_t{0xffff}}) {
    Bytes newer = good;
    set_le(newer, 4, 2, version);
    EXPECT_EQ(this->refusal_of(newer), Error{UnknownVersion{version}}) << version;
  }

  // A file that is not there reads as one without a header.
  EXPECT_EQ(TypeParam::open_error(this->dir_.file("missing")), short_header);
}

TYPED_TEST(FileHeaderTest, DamagedRecordIsNeverHandedOut) {
  Bytes damaged = TypeParam::file(nullptr);
  damaged[TypeParam::unchecked_byte(damaged)] ^= 0x01;
  write_bytes(this->path_, damaged);
  const auto ended = TypeParam::read_all(this->path_);
  ASSERT_TRUE(ended.error.has_value());
  EXPECT_TRUE(std::holds_alternative<ChecksumMismatch>(ended.error->kind))
      << ended.error->display();
  // The damaged record is the last: it comes out only once the checksum
  // over every record has matched, which it does not.
  EXPECT_LT(ended.handed_out, 3u);
}

TYPED_TEST(FileHeaderTest, ShortBodyStopsWithTruncated) {
  const Bytes good = TypeParam::file(nullptr);
  const std::size_t end = TypeParam::body_end(good);
  for (std::size_t cut = TypeParam::HEADER; cut < end; ++cut) {
    write_bytes(this->path_, Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
    const auto ended = TypeParam::read_all(this->path_);
    ASSERT_TRUE(ended.error.has_value()) << cut;
    EXPECT_TRUE(std::holds_alternative<Truncated>(ended.error->kind))
        << cut << ": " << ended.error->display();
    EXPECT_LT(ended.handed_out, 3u) << cut;
  }
}

TYPED_TEST(FileHeaderTest, BlockOfAnotherInstrumentIsRefusedAndRecordsStillRead) {
  const InstrumentDefinition mine = defined(FILE_INSTRUMENT);
  write_bytes(this->path_, TypeParam::file(&mine));
  auto found = TypeParam::instrument_of(this->path_);
  ASSERT_TRUE(std::holds_alternative<std::optional<InstrumentDefinition>>(found));
  EXPECT_EQ(std::get<std::optional<InstrumentDefinition>>(found), mine);

  const InstrumentDefinition other = defined(FILE_INSTRUMENT + 1);
  const Bytes bytes = TypeParam::file(&other);
  write_bytes(this->path_, bytes);
  found = TypeParam::instrument_of(this->path_);
  ASSERT_TRUE(std::holds_alternative<BlockError>(found));
  const BlockError& error = std::get<BlockError>(found);
  EXPECT_EQ(error.reason, (decltype(error.reason){DefinitionProblem{
                              definition::IdMismatch{FILE_INSTRUMENT + 1, FILE_INSTRUMENT}}}));
  // Readers of records never look at the block, whoever it names.
  const auto ended = TypeParam::read_all(this->path_);
  EXPECT_EQ(ended.error, std::nullopt);
  EXPECT_EQ(ended.handed_out, 3u);
}

}  // namespace
}  // namespace halvorn::data
