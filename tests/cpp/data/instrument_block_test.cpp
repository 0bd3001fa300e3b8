// The instrument block: written by the tick and depth writers and the CSV
// converters, read back from where the header says the records end, never
// seen by the readers of records, and reported when damaged.

#include "data/instrument_block.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "data/depth_writer.hpp"
#include "data/mark_writer.hpp"
#include "data/tick_writer.hpp"
#include "depth_csv_files.hpp"
#include "depth_files.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::read_bytes;
using testing::ScratchDir;
using testing::series;
using testing::set_le;
using testing::write_bytes;

InstrumentDefinition defined(std::uint64_t id, std::string symbol, std::string_view tick,
                             std::string_view lot) {
  auto d = define_instrument(id, std::move(symbol), tick, lot);
  if (auto* p = std::get_if<DefinitionProblem>(&d)) {
    ADD_FAILURE() << p->display();
    std::abort();
  }
  return std::get<InstrumentDefinition>(std::move(d));
}

const InstrumentDefinition BTC = defined(1, "BTC", "0.1", "0.001");

InstrumentDefinition inverse(std::uint64_t id, std::string symbol, std::string_view value,
                             std::string settle) {
  InstrumentDefinition d = defined(id, std::move(symbol), "0.1", "1");
  d.kind = ContractKind::Inverse;
  d.contract_value = parse_step(value);
  d.settle = std::move(settle);
  return d;
}

const InstrumentDefinition BTCUSD = inverse(1, "BTCUSD", "100", "BTC");

// A block of `version` around `body`, with the body's length and checksum.
Bytes block_of(std::uint16_t version, const Bytes& body) {
  Bytes b(INSTRUMENT_HEAD_BYTES);
  set_le(b, 0, 4, INSTRUMENT_MAGIC);
  set_le(b, 4, 2, version);
  set_le(b, 8, 4, body.size());
  set_le(b, 12, 4, crc32(body.data(), body.size()));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes body_of(const InstrumentDefinition& d) {
  const Bytes block = encode_instrument_block(d);
  return Bytes(block.begin() + INSTRUMENT_HEAD_BYTES, block.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A definition's fields as text, an inverse one's kind after its steps.
std::string described(const std::optional<InstrumentDefinition>& d) {
  if (!d) return "none";
  std::string out =
      std::to_string(d->id) + " " + d->symbol + " " + d->tick_size.text + " " + d->lot_size.text;
  if (d->kind == ContractKind::Inverse)
    out += " inverse " + d->contract_value->text + " " + d->settle;
  return out;
}

// What instrument_of_tick_file says, as text: the definition's fields, "none",
// or the error's display.
std::string tick_answer(const std::string& path) {
  TickInstrument r = instrument_of_tick_file(path);
  if (auto* e = std::get_if<Error>(&r)) return e->display();
  if (auto* e = std::get_if<BlockError>(&r)) return e->display();
  const auto& d = std::get<std::optional<InstrumentDefinition>>(r);
  return described(d);
}

std::string tick_answer_for(const ScratchDir& dir, const Bytes& bytes) {
  const std::string path = dir.file("probe.hvtk");
  write_bytes(path, bytes);
  return tick_answer(path);
}

TEST(InstrumentBlock, IsTheBytesTheFormatDocumentShows) {
  // The worked example of docs/tick_format.md, byte for byte.
  const Bytes expected = {
      0x48, 0x56, 0x49, 0x4e, 0x01, 0x00, 0x00, 0x00, 0x19, 0x00, 0x00, 0x00,  //
      0x65, 0x70, 0x7d, 0x46, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
      0x03, 0x00, 0x42, 0x54, 0x43, 0x03, 0x00, 0x30, 0x2e, 0x31, 0x05, 0x00,  //
      0x30, 0x2e, 0x30, 0x30, 0x31};
  EXPECT_EQ(encode_instrument_block(BTC), expected);
  const Bytes body(expected.begin() + 16, expected.end());
  EXPECT_EQ(crc32(body.data(), body.size()), 0x467d7065u);
}

TEST(InstrumentBlock, AWrittenDefinitionReadsBackAndTheRecordsAreUnchanged) {
  ScratchDir dir;
  const std::vector<engine::Tick> ticks = series(3 * BLOCK_RECORDS + 5);
  for (const InstrumentDefinition& d :
       {BTC, defined(9, "", "0.10", "1e-3"), defined(2, "ÉTH/€", "0.00001", "5")}) {
    const std::string path = dir.file("a.hvtk");
    WriterBegun begun = TickWriter::begin(path, d.id);
    TickWriter& w = std::get<TickWriter>(begun);
    ASSERT_FALSE(w.append(ticks));
    ASSERT_FALSE(w.set_instrument(d));
    ASSERT_FALSE(w.finish());

    TickInstrument read = instrument_of_tick_file(path);
    ASSERT_TRUE(std::holds_alternative<std::optional<InstrumentDefinition>>(read));
    EXPECT_EQ(std::get<std::optional<InstrumentDefinition>>(read), d);

    // The records' reader hands out the same ticks as from a file without
    // the block, and the block sits exactly where the records end: cut off,
    // it leaves the file a writer without a definition writes.
    const Bytes bytes = read_bytes(path);
    EXPECT_EQ(bytes, encode(d, ticks));
    TickReader reader = testing::open_ok(path);
    testing::Drained drained = testing::drain(reader);
    EXPECT_FALSE(drained.error);
    EXPECT_EQ(drained.ticks, ticks);
    const std::uint64_t offset = *tick_block_offset(ticks.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(offset)),
              encode(d.id, ticks));
    EXPECT_EQ(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end()),
              encode_instrument_block(d));
  }
}

TEST(InstrumentBlock, AFileWithoutOneHasNone) {
  ScratchDir dir;
  const Bytes plain = encode(1, series(10));
  EXPECT_EQ(tick_answer_for(dir, plain), "none");
  EXPECT_EQ(tick_answer_for(dir, encode(1, {})), "none");
  // Trailing bytes of someone else's: too short for a magic, or another one.
  EXPECT_EQ(tick_answer_for(dir, plain + Bytes{0x48, 0x56, 0x49}), "none");
  EXPECT_EQ(tick_answer_for(dir, plain + Bytes{0x48, 0x56, 0x49, 0x4f, 1, 0, 0, 0}), "none");
  // A block after the end of the records only: one the records swallow is
  // not looked for.
  EXPECT_EQ(tick_answer_for(dir, encode(BTC, series(10))), "1 BTC 0.1 0.001");

  // A writer given no definition writes none, and one refused leaves the
  // writer as it was.
  const std::string path = dir.file("w.hvtk");
  WriterBegun begun = TickWriter::begin(path, 5);
  TickWriter& w = std::get<TickWriter>(begun);
  std::optional<DefinitionProblem> refused = w.set_instrument(BTC);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->display(), "the definition's id 1 is not the file's instrument 5");
  InstrumentDefinition bad = defined(5, "x", "1", "1");
  bad.symbol = "\xFF";
  ASSERT_TRUE(w.set_instrument(bad));
  ASSERT_FALSE(w.finish());
  EXPECT_EQ(tick_answer(path), "none");
  EXPECT_EQ(read_bytes(path), encode(5, {}));
}

TEST(InstrumentBlock, TheLastDefinitionGivenIsTheOneWritten) {
  ScratchDir dir;
  const std::string path = dir.file("w.hvtk");
  WriterBegun begun = TickWriter::begin(path, 1);
  TickWriter& w = std::get<TickWriter>(begun);
  ASSERT_FALSE(w.set_instrument(defined(1, "first", "1", "1")));
  ASSERT_FALSE(w.set_instrument(BTC));
  ASSERT_FALSE(w.finish());
  EXPECT_EQ(tick_answer(path), "1 BTC 0.1 0.001");
}

TEST(InstrumentBlock, ADamagedBlockIsReported) {
  ScratchDir dir;
  const Bytes records = encode(1, series(2));  // the block starts at byte 160
  const Bytes good = encode_instrument_block(BTC);

  Bytes flipped = good;
  flipped[30] ^= 0x01;
  EXPECT_EQ(
      tick_answer_for(dir, records + flipped),
      "instrument block at byte 160: checksum mismatch: expected 0x467d7065, computed 0x" + [&] {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", crc32(flipped.data() + 16, 25));
        return std::string(hex);
      }());
  EXPECT_EQ(tick_answer_for(dir, records + Bytes(good.begin(), good.end() - 1)),
            "instrument block at byte 160: truncated: needed 201 bytes, 200 available");
  EXPECT_EQ(tick_answer_for(dir, records + Bytes(good.begin(), good.begin() + 7)),
            "instrument block at byte 160: truncated: needed 176 bytes, 167 available");

  Bytes zero = good;
  set_le(zero, 4, 2, 0);
  EXPECT_EQ(tick_answer_for(dir, records + zero),
            "instrument block at byte 160: version 0 is never written");
  Bytes huge = good;
  set_le(huge, 8, 4, 0xFFFFFFFF);
  EXPECT_EQ(tick_answer_for(dir, records + huge),
            "instrument block at byte 160: a length of 4294967295 bytes, more than the 1048576 "
            "a block may have");

  // Sound framing around fields that do not fit, or do not make a
  // definition.
  EXPECT_EQ(tick_answer_for(dir, records + block_of(1, Bytes{1, 0, 0, 0, 0, 0, 0, 0, 3, 0})),
            "instrument block at byte 160: the fields run past the length of 10 bytes");
  Bytes bad_tick = body_of(BTC);
  bad_tick[8 + 2 + 3 + 2] = '-';  // "-.1"
  EXPECT_EQ(tick_answer_for(dir, records + block_of(1, bad_tick)),
            "instrument block at byte 160: tick_size \"-.1\" is not a positive decimal number");
  Bytes bad_symbol = body_of(BTC);
  bad_symbol[10] = 0xC0;
  EXPECT_EQ(tick_answer_for(dir, records + block_of(1, bad_symbol)),
            "instrument block at byte 160: the symbol is not UTF-8");

  // The header's instrument rewritten, which its checksum does not cover:
  // the block then describes another instrument.
  Bytes moved = records + good;
  set_le(moved, 16, 8, 2);
  EXPECT_EQ(tick_answer_for(dir, moved),
            "instrument block at byte 160: the definition's id 1 is not the file's instrument 2");
}

TEST(InstrumentBlock, ALaterVersionIsReadForTheFieldsItKeeps) {
  ScratchDir dir;
  const Bytes records = encode(1, series(2));
  // Fields of its own after those of the versions before are stepped over,
  // and so are bytes after the block.
  const Bytes extra{0xAA, 0xBB, 0xCC, 0x00, 0x01};
  EXPECT_EQ(tick_answer_for(dir, records + block_of(3, body_of(BTCUSD) + extra) + Bytes{1, 2, 3}),
            "1 BTCUSD 0.1 1 inverse 100 BTC");
  EXPECT_EQ(tick_answer_for(dir, records + block_of(1, body_of(BTC) + extra)), "1 BTC 0.1 0.001");
  // One whose body cannot hold them holds nothing this version knows; its
  // framing is still checked.
  EXPECT_EQ(tick_answer_for(dir, records + block_of(3, Bytes{1, 0, 0, 0})), "none");
  Bytes damaged = block_of(3, Bytes{1, 0, 0, 0});
  damaged[17] ^= 0x10;
  EXPECT_NE(tick_answer_for(dir, records + damaged).find("checksum mismatch"), std::string::npos);
}

TEST(InstrumentBlock, AFileThatIsNoTickFileGivesItsReadersError) {
  ScratchDir dir;
  EXPECT_EQ(tick_answer(dir.file("missing.hvtk")), "truncated: needed 32 bytes, 0 available");
  EXPECT_EQ(tick_answer(dir.path().string()), "truncated: needed 32 bytes, 0 available");
  EXPECT_EQ(tick_answer_for(dir, Bytes{0, 1, 2, 3}), "truncated: needed 32 bytes, 0 available");
  Bytes wrong = encode(1, {});
  wrong[0] = 0;
  EXPECT_EQ(tick_answer_for(dir, wrong), "not a tick file: magic 0x4b545600");
  set_le(wrong, 0, 4, MAGIC);
  set_le(wrong, 4, 2, 3);
  EXPECT_EQ(tick_answer_for(dir, wrong), "unknown tick file version 3");
  // Shorter than its records: the size the file has is what is available.
  const Bytes whole = encode(BTC, series(4));
  EXPECT_EQ(tick_answer_for(dir, Bytes(whole.begin(), whole.begin() + 100)),
            "truncated: needed 288 bytes, 100 available");
  Bytes endless = encode(1, {});
  set_le(endless, 8, 8, ~std::uint64_t{0});
  EXPECT_EQ(tick_answer_for(dir, endless),
            "truncated: needed 18446744073709551615 bytes, 32 available");
  EXPECT_EQ(tick_answer_for(dir, testing::encoded(1, {})), "not a tick file: magic 0x50445648");
}

// --------------------------------------------------------------------------
// Inverse contracts: version 2

TEST(InstrumentBlock, AnInverseDefinitionIsVersionTwoAsTheFormatDocumentShows) {
  // The worked example of docs/tick_format.md: version 1's fields, then the
  // kind, the contract value and the coin.
  const Bytes expected = {0x48, 0x56, 0x49, 0x4e, 0x02, 0x00, 0x00, 0x00, 0x23, 0x00, 0x00,
                          0x00, 0xb6, 0xec, 0x69, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x06, 0x00, 0x42, 0x54, 0x43, 0x55, 0x53, 0x44, 0x03,
                          0x00, 0x30, 0x2e, 0x31, 0x01, 0x00, 0x31, 0x01, 0x03, 0x00, 0x31,
                          0x30, 0x30, 0x03, 0x00, 0x42, 0x54, 0x43};
  EXPECT_EQ(encode_instrument_block(BTCUSD), expected);
  // A linear one stays version 1, the bytes every linear file had before.
  EXPECT_EQ(encode_instrument_block(BTC)[4], 1);

  ScratchDir dir;
  const Bytes records = encode(1, series(2));
  EXPECT_EQ(tick_answer_for(dir, records + expected), "1 BTCUSD 0.1 1 inverse 100 BTC");
  // A reader of version 1 takes the fields it knows and steps over the rest:
  // the same body tagged version 1 is what such a reader makes of it.
  EXPECT_EQ(tick_answer_for(dir, records + block_of(1, body_of(BTCUSD))), "1 BTCUSD 0.1 1");
}

TEST(InstrumentBlock, ADamagedInverseBlockIsRefusedLikeAnyOther) {
  ScratchDir dir;
  const Bytes records = encode(1, series(2));
  const Bytes body = body_of(BTCUSD);
  const std::size_t kind_at = body.size() - (2 + 3) - (2 + 3) - 1;
  const auto answer = [&](const Bytes& b) {
    return tick_answer_for(dir, records + block_of(2, b));
  };
  const std::string at = "instrument block at byte 160: ";

  // Cut anywhere in version 2's fields: the kind byte, a text's length, a
  // text.
  for (std::size_t cut : {kind_at, kind_at + 1, kind_at + 2, body.size() - 1}) {
    EXPECT_EQ(answer(Bytes(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(cut))),
              at + "the fields run past the length of " + std::to_string(cut) + " bytes")
        << cut;
  }
  Bytes kind = body;
  kind[kind_at] = 7;
  EXPECT_EQ(answer(kind), at + "unknown contract kind 7");
  // A linear kind with an inverse contract's fields, and an inverse one
  // without them.
  kind[kind_at] = 0;
  EXPECT_EQ(answer(kind), at + "a linear contract has no contract_value or settle coin");
  Bytes no_coin(body.begin(), body.end() - 3);
  set_le(no_coin, no_coin.size() - 2, 2, 0);
  EXPECT_EQ(answer(no_coin), at + "an inverse contract needs a contract_value and a settle coin");
  Bytes bad_coin = body;
  bad_coin[bad_coin.size() - 1] = 0xC0;
  EXPECT_EQ(answer(bad_coin), at + "the settle coin is not 1 to 16 UTF-8 bytes");
  Bytes bad_value = body;
  bad_value[kind_at + 3] = '-';  // "-00"
  EXPECT_EQ(answer(bad_value), at + "contract_value \"-00\" is not a positive decimal number");
  // A linear kind with no fields is a linear definition, however tagged.
  Bytes linear = body_of(BTC) + Bytes{0, 0, 0, 0, 0};
  EXPECT_EQ(tick_answer_for(dir, records + block_of(2, linear)), "1 BTC 0.1 0.001");
}

TEST(InstrumentBlock, TickDepthAndMarkFilesCarryAnInverseDefinition) {
  ScratchDir dir;
  const InstrumentDefinition d = inverse(3, "XBTUSD", "1", "XBT");

  const std::string ticks = dir.file("t.hvtk");
  WriterBegun begun = TickWriter::begin(ticks, 3);
  TickWriter& w = std::get<TickWriter>(begun);
  ASSERT_FALSE(w.append(series(5)));
  ASSERT_FALSE(w.set_instrument(d));
  ASSERT_FALSE(w.finish());
  EXPECT_EQ(std::get<std::optional<InstrumentDefinition>>(instrument_of_tick_file(ticks)), d);

  const std::string depth = dir.file("d.hvdp");
  DepthBegun depth_begun = DepthWriter::begin(depth, 3);
  DepthWriter& dw = std::get<DepthWriter>(depth_begun);
  ASSERT_FALSE(dw.set_instrument(d));
  ASSERT_FALSE(dw.add(testing::snapshot_at(10, 100, {{420, 3}}, {{421, 2}})));
  ASSERT_EQ(dw.commit(), 0);
  EXPECT_EQ(std::get<std::optional<InstrumentDefinition>>(instrument_of_depth_file(depth)), d);

  const std::string marks = dir.file("m.hvmk");
  MarkBegun mark_begun = MarkWriter::begin(marks, 3, MarkKind::Price);
  MarkWriter& mw = std::get<MarkWriter>(mark_begun);
  ASSERT_FALSE(mw.add(MarkRecord{1, 420'000, 0}));
  ASSERT_FALSE(mw.set_instrument(d));
  ASSERT_EQ(mw.commit(), 0);
  EXPECT_EQ(std::get<std::optional<InstrumentDefinition>>(instrument_of_mark_file(marks)), d);
}

// --------------------------------------------------------------------------
// Depth files

std::string depth_answer(const std::string& path) {
  DepthInstrument r = instrument_of_depth_file(path);
  if (auto* e = std::get_if<DepthError>(&r)) return e->display();
  if (auto* e = std::get_if<BlockError>(&r)) return e->display();
  const auto& d = std::get<std::optional<InstrumentDefinition>>(r);
  return described(d);
}

std::vector<testing::DepthRecord> depth_records() {
  using testing::snapshot_at;
  using testing::update_at;
  return {snapshot_at(10, 100, {{420, 3}, {419, 1}}, {{421, 2}}),
          update_at(11, 101, 101, {{420, 0}}, {}),
          update_at(12, 102, 104, {}, {{422, 5}, {423, 1}}, 101)};
}

TEST(InstrumentBlock, DepthFilesCarryItAfterTheirRecordsToo) {
  ScratchDir dir;
  const std::string path = dir.file("d.hvdp");
  const InstrumentDefinition d = defined(3, "ETH", "0.01", "0.0001");
  const auto records = depth_records();
  DepthBegun begun = DepthWriter::begin(path, 3);
  DepthWriter& w = std::get<DepthWriter>(begun);
  EXPECT_EQ(w.set_instrument(BTC)->display(),
            "the definition's id 1 is not the file's instrument 3");
  ASSERT_FALSE(w.set_instrument(d));
  for (const auto& r : records) ASSERT_FALSE(w.add(r));
  ASSERT_EQ(w.commit(), 0);
  EXPECT_EQ(depth_answer(path), "3 ETH 0.01 0.0001");

  const Bytes bytes = read_bytes(path);
  const Bytes plain = testing::encoded(3, records);
  EXPECT_EQ(*depth_block_offset(3, 6), plain.size());
  EXPECT_EQ(bytes, plain + encode_instrument_block(d));
  DepthReader reader = testing::open_depth(path);
  testing::DrainedDepth drained = testing::drain(reader);
  EXPECT_FALSE(drained.error);
  EXPECT_EQ(drained.records, testing::as_read(records));

  write_bytes(path, plain);
  EXPECT_EQ(depth_answer(path), "none");
  Bytes flipped = plain + encode_instrument_block(d);
  flipped.back() ^= 1;
  write_bytes(path, flipped);
  EXPECT_NE(depth_answer(path).find("instrument block at byte " + std::to_string(plain.size()) +
                                    ": checksum mismatch"),
            std::string::npos);
  write_bytes(path, Bytes(plain.begin(), plain.end() - 1));
  EXPECT_EQ(depth_answer(path), "depth file truncated: needed " + std::to_string(plain.size()) +
                                    " bytes, " + std::to_string(plain.size() - 1) + " available");
  write_bytes(path, encode(BTC, series(1)));
  EXPECT_EQ(depth_answer(path), "not a depth file: magic 0x4b545648");
  EXPECT_EQ(depth_answer(dir.file("missing")),
            "depth file truncated: needed 40 bytes, 0 available");
}

// --------------------------------------------------------------------------
// Conversions write the definition they scaled with

TEST(InstrumentBlock, ConversionsRecordTheSizesTheyScaledWith) {
  ScratchDir dir;
  testing::MemoryFiles trades{{{"t.csv", "1,42123.40,0.013,0,1700000000123,true\n"}}};
  ConvertOptions options = testing::options("0.10", "0.001");
  options.instrument = 12;
  options.symbol = "BTCUSDT";
  const std::string ticks = dir.file("t.hvtk");
  ASSERT_EQ(testing::convert_to(ticks, trades, nullptr, options).error, "");
  EXPECT_EQ(tick_answer(ticks), "12 BTCUSDT 0.10 0.001");
  options.symbol.clear();
  ASSERT_EQ(testing::convert_to(ticks, trades, nullptr, options).error, "");
  EXPECT_EQ(tick_answer(ticks), "12  0.10 0.001") << "an empty symbol by default";
  options.contract = ContractTerms{ContractKind::Inverse, parse_step("100"), "BTC"};
  ASSERT_EQ(testing::convert_to(ticks, trades, nullptr, options).error, "");
  EXPECT_EQ(tick_answer(ticks), "12  0.10 0.001 inverse 100 BTC");

  testing::MemoryFiles depth{{{"d.csv", std::string(testing::DIFFS_HEADER) +
                                            "BTC,1700000000000,1,100,100,b,snap,4212.3,1.5\n"}}};
  DepthConvertOptions depth_options = testing::depth_options("0.1", "0.5");
  depth_options.instrument = 4;
  depth_options.symbol = "BTC";
  const std::string levels = dir.file("d.hvdp");
  ASSERT_EQ(testing::convert_depth_to(levels, depth, depth_options).error, "");
  EXPECT_EQ(depth_answer(levels), "4 BTC 0.1 0.5");
  depth_options.contract = ContractTerms{ContractKind::Inverse, parse_step("10"), "BTC"};
  ASSERT_EQ(testing::convert_depth_to(levels, depth, depth_options).error, "");
  EXPECT_EQ(depth_answer(levels), "4 BTC 0.1 0.5 inverse 10 BTC");
}

}  // namespace
}  // namespace halvorn::data
