// Captures of JSON lines through the C++ converter: a worked capture whose
// files are written out by hand, the same capture read a byte at a time
// across two files, what the reordering window takes and refuses, the
// checks of the depth chain and of the trade ids, and the errors with their
// file and line.  The Python tests check random captures against a
// reference reader.

#include "data/capture_convert.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "csv_files.hpp"
#include "data/depth_reader.hpp"
#include "data/mark_reader.hpp"
#include "depth_files.hpp"

namespace halvorn::data {
namespace {

using testing::MemoryFiles;
using testing::ScratchDir;

struct Outcome {
  std::string error;
  CaptureConverted done;
  std::vector<engine::Tick> ticks;
  std::vector<book::DepthRecord> depth;
  std::vector<MarkRecord> marks;
  std::vector<PricedRate> settlements;
};

CaptureOptions options(const ScratchDir& dir) {
  CaptureOptions o;
  o.ticks_path = dir.file("c.hvtk");
  o.depth_path = dir.file("c.hvdp");
  o.marks_path = dir.file("c.hvmk");
  o.tick_size = "0.1";
  o.lot_size = "0.001";
  return o;
}

Outcome convert(MemoryFiles files, const CaptureOptions& o) {
  Outcome out;
  CaptureConversion c = convert_capture(files.input(), o);
  if (const auto* e = std::get_if<CaptureError>(&c)) {
    out.error = e->display();
    return out;
  }
  out.done = std::get<CaptureConverted>(c);
  if (!o.ticks_path.empty()) {
    TickReader reader = testing::open_ok(o.ticks_path);
    out.ticks = testing::drain(reader).ticks;
  }
  if (!o.depth_path.empty()) {
    DepthReader reader = testing::open_depth(o.depth_path);
    out.depth = testing::drain(reader).records;
  }
  if (!o.marks_path.empty()) {
    MarkReader reader = std::get<MarkReader>(MarkReader::open(o.marks_path));
    for (MarkNext n = reader.next(); std::holds_alternative<MarkRecord>(n); n = reader.next()) {
      out.marks.push_back(std::get<MarkRecord>(n));
    }
    out.settlements = std::get<std::vector<PricedRate>>(reader.settlements());
  }
  return out;
}

constexpr Nanos MS = 1'000'000;
constexpr Nanos T0 = 1'700'000'000'000 * MS;

// `text` with each "~N" made the exchange time N ms after 1700000000000 ms.
std::string at_ms(std::string text) {
  for (std::size_t at = text.find('~'); at != std::string::npos; at = text.find('~', at)) {
    std::size_t end = at + 1;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    const long ms = std::stol(text.substr(at + 1, end - at - 1));
    text.replace(at, end - at, std::to_string(1'700'000'000'000 + ms));
  }
  return text;
}

// Ten lines of a recorder's capture; local times in µs.
const std::string CAPTURE = at_ms(
    "1700000000005100 {\"e\":\"depthUpdate\",\"E\":~3,\"T\":~3,\"s\":\"BTCUSDT\",\"U\":8,"
    "\"u\":9,\"pu\":7,\"b\":[[\"10.0\",\"1\"]],\"a\":[]}\n"
    // The snapshot covers update 9, and arrives after it, stamped with its
    // time: it goes first, and the book skips the update it holds.
    "1700000000006000 {\"lastUpdateId\":9,\"E\":~4,\"T\":~3,\"bids\":[[\"10.0\",\"1\"],"
    "[\"9.9\",\"2\"]],\"asks\":[[\"10.2\",\"0.5\"]]}\n"
    "1700000000006100 {\"stream\":\"btcusdt@aggTrade\",\"data\":{\"e\":\"aggTrade\","
    "\"E\":~5,\"T\":~4,\"s\":\"BTCUSDT\",\"a\":40,\"p\":\"10.1\",\"q\":\"0.250\","
    "\"m\":true}}\n"
    // A quote of the trade's own time goes after the trade, which it
    // received later.
    "1700000000006050 {\"e\":\"bookTicker\",\"u\":1,\"s\":\"BTCUSDT\",\"b\":10.0,"
    "\"B\":\"1\",\"a\":\"10.2\",\"A\":\"1\",\"T\":~4,\"E\":~4}\n"
    "{\"result\":null,\"id\":1}\n"
    "1700000000007000 {\"e\":\"aggTrade\",\"T\":~6,\"s\":\"ETHUSDT\",\"a\":1,\"p\":\"1\","
    "\"q\":\"1\"}\n"
    "1700000000007100 {\"e\":\"markPriceUpdate\",\"E\":~6,\"s\":\"BTCUSDT\",\"p\":\"10.1\","
    "\"i\":\"10.0\",\"r\":\"0.00010000\",\"T\":~8}\n"
    "1700000000008100 {\"e\":\"depthUpdate\",\"E\":~8,\"T\":~8,\"s\":\"BTCUSDT\",\"U\":10,"
    "\"u\":12,\"pu\":9,\"b\":[],\"a\":[[\"10.2\",\"0\"],[\"10.3\",\"4\"]]}\n"
    "1700000000009100 {\"e\":\"markPriceUpdate\",\"E\":~9,\"s\":\"BTCUSDT\",\"p\":\"10.2\","
    "\"i\":\"10.0\",\"r\":\"0.00020000\",\"T\":~16}\n"
    "1700000000009500 {\"e\":\"aggTrade\",\"T\":~9,\"s\":\"BTCUSDT\",\"a\":41,\"p\":10.2,"
    "\"q\":\"1e-3\",\"m\":false}\n");

TEST(Capture, MakesEveryFileFromOnePass) {
  ScratchDir dir;
  CaptureOptions o = options(dir);
  o.symbol = "btcusdt";  // compared without regard to case; ETHUSDT is passed over
  const Outcome got = convert(MemoryFiles{{{"cap.jsonl", CAPTURE}}}, o);
  ASSERT_EQ(got.error, "");
  const Nanos local = T0 + 6 * MS;
  EXPECT_EQ(got.ticks, (std::vector<engine::Tick>{
                           {T0 + 4 * MS, local + 100'000, 101, 101, 101, 0, 0, 250},
                           {T0 + 4 * MS, local + 50'000, 101, 101, 101, 100, 102, 250},
                           {T0 + 9 * MS, T0 + 9'500'000, 102, 102, 102, 100, 102, 251}}));
  EXPECT_EQ(got.depth,
            testing::as_read(std::vector<book::DepthRecord>{
                testing::snapshot_at(T0 + 3 * MS, 9, {{100, 1000}, {99, 2000}}, {{102, 500}}),
                testing::update_at(T0 + 3 * MS, 8, 9, {{100, 1000}}, {}, 7),
                testing::update_at(T0 + 8 * MS, 10, 12, {}, {{102, 0}, {103, 4000}}, 9)}));
  EXPECT_EQ(got.marks, (std::vector<MarkRecord>{{T0 + 6 * MS, 101, 100}, {T0 + 9 * MS, 102, 100}}));
  // Funding at 8 ms, seen passed at 9 ms: the rate named for it, at the
  // mark in force at 8 ms.
  EXPECT_EQ(got.settlements, (std::vector<PricedRate>{{T0 + 8 * MS, 100'000, 101}}));
  EXPECT_EQ(got.done.messages, 10u);
  EXPECT_EQ(got.done.skipped, 1u);
  EXPECT_EQ(got.done.other_symbols, 1u);
  EXPECT_EQ(got.done.symbol, "btcusdt");
  EXPECT_EQ(got.done.settlements, 1u);
}

TEST(Capture, ReadsTheSameAByteAtATimeAcrossFiles) {
  ScratchDir dir;
  CaptureOptions o = options(dir);
  o.symbol = "BTCUSDT";
  const Outcome whole = convert(MemoryFiles{{{"a", CAPTURE}}}, o);
  const std::size_t cut = CAPTURE.find('\n', CAPTURE.size() / 2) + 1;
  MemoryFiles split{{{"a", CAPTURE.substr(0, cut)}, {"b", CAPTURE.substr(cut)}}};
  split.chunk = 1;
  const Outcome parts = convert(split, o);
  ASSERT_EQ(parts.error, "");
  EXPECT_EQ(parts.ticks, whole.ticks);
  EXPECT_EQ(parts.depth, whole.depth);
  EXPECT_EQ(parts.marks, whole.marks);
  EXPECT_EQ(parts.done, whole.done);
}

std::string trade(int ms, int id, const char* symbol = "BTCUSDT") {
  return "{\"e\":\"aggTrade\",\"T\":" + std::to_string(1'700'000'000'000 + ms) + ",\"s\":\"" +
         symbol + "\",\"a\":" + std::to_string(id) + ",\"p\":\"10.0\",\"q\":\"0.001\"}\n";
}

std::string update(int ms, int first, int last, int pu) {
  return "{\"e\":\"depthUpdate\",\"T\":" + std::to_string(1'700'000'000'000 + ms) +
         ",\"s\":\"BTCUSDT\",\"U\":" + std::to_string(first) + ",\"u\":" + std::to_string(last) +
         ",\"pu\":" + std::to_string(pu) + ",\"b\":[],\"a\":[]}\n";
}

std::string snapshot(int ms, int id) {
  return "{\"lastUpdateId\":" + std::to_string(id) +
         ",\"T\":" + std::to_string(1'700'000'000'000 + ms) + ",\"bids\":[],\"asks\":[]}\n";
}

TEST(Capture, WaitsForLateMessagesOnlyAsLongAsAsked) {
  ScratchDir dir;
  CaptureOptions o = options(dir);
  o.depth_path = o.marks_path = "";
  o.max_delay = 5 * MS;
  o.allow_gaps = true;  // a trade written out of place would show as a gap or a repeat
  // 4 ms arrives 1 ms behind 5 ms, and is put before it; 3 ms arrives 7 ms
  // behind 10 ms, once 4 ms has been written.
  const std::string late = trade(0, 1) + trade(5, 4) + trade(4, 3) + trade(10, 5) + trade(3, 2);
  EXPECT_EQ(convert(MemoryFiles{{{"a", late}}}, o).error,
            "a:5: this message's exchange time, " + std::to_string(T0 + 3 * MS) +
                " ns, is before " + std::to_string(T0 + 4 * MS) +
                " ns, already written: it came more than max_delay (5000000 ns) behind a message "
                "stamped later; give a larger max_delay");
  o.max_delay = 7 * MS;
  const Outcome got = convert(MemoryFiles{{{"a", late}}}, o);
  ASSERT_EQ(got.error, "");
  std::vector<Nanos> times;
  for (const engine::Tick& t : got.ticks) times.push_back(t.exch_ts - T0);
  EXPECT_EQ(times, (std::vector<Nanos>{0, 3 * MS, 4 * MS, 5 * MS, 10 * MS}));
  EXPECT_EQ(got.done.repeated_trades + got.done.missing_trades, 0u);
}

TEST(Capture, ABrokenDepthChainOrTradeGapIsRefusedUnlessAllowed) {
  ScratchDir dir;
  CaptureOptions o = options(dir);
  o.ticks_path = o.marks_path = "";
  // Updates before the snapshot are what a recorder buffers; the break is
  // the one after it.
  const std::string chain = update(0, 5, 6, 4) + snapshot(1, 6) + update(2, 7, 8, 6) +
                            update(3, 11, 12, 10) + snapshot(4, 12) + update(5, 13, 13, 12);
  EXPECT_EQ(convert(MemoryFiles{{{"d", chain}}}, o).error,
            "d:4: depth update 11..12 (pu 10) does not continue the book (sequence gap: last "
            "applied 8, update follows 10): a message was lost, and a run's book stops here until "
            "a later snapshot; give allow_gaps=True to write it all the same");
  o.allow_gaps = true;
  const Outcome allowed = convert(MemoryFiles{{{"d", chain}}}, o);
  ASSERT_EQ(allowed.error, "");
  EXPECT_EQ(allowed.depth.size(), 6u);
  EXPECT_EQ(allowed.done.depth_breaks, 1u);
  // A snapshot that does not reach the first update after it is a break too.
  o.allow_gaps = false;
  EXPECT_NE(convert(MemoryFiles{{{"d", snapshot(0, 3) + update(1, 9, 10, 8)}}}, o)
                .error.find("d:2: depth update 9..10 (pu 8) does not continue the book (gap after "
                            "snapshot 3: first update covers 9..10)"),
            std::string::npos);

  o = options(dir);
  o.depth_path = o.marks_path = "";
  const std::string trades = trade(0, 100) + trade(1, 101) + trade(1, 101) + trade(2, 105);
  EXPECT_EQ(convert(MemoryFiles{{{"t", trades}}}, o).error,
            "t:4: missing aggregated trades 102 to 104 (the message before is 101, this one "
            "105); give allow_gaps=True to accept a capture with trades missing");
  o.allow_gaps = true;
  const Outcome gaps = convert(MemoryFiles{{{"t", trades}}}, o);
  EXPECT_EQ(gaps.ticks.size(), 3u);
  EXPECT_EQ(gaps.done.missing_trades, 3u);
  EXPECT_EQ(gaps.done.repeated_trades, 1u);
}

TEST(Capture, ErrorsNameTheFileAndLine) {
  ScratchDir dir;
  CaptureOptions o = options(dir);
  o.depth_path = o.marks_path = "";
  const auto error = [&](const std::string& second_line) {
    return convert(MemoryFiles{{{"a", trade(0, 1)}, {"b.jsonl", trade(1, 2) + second_line}}}, o)
        .error;
  };
  EXPECT_EQ(
      error("{\"e\":\"aggTrade\",\"T\":1700000000002,\"s\":\"BTCUSDT\",\"a\":3,\"p\":\"10.05\","
            "\"q\":\"1\"}"),
      "b.jsonl:2: field \"p\": \"10.05\" is not a whole number of ticks of 0.1; a tick size "
      "of 0.01 fits it and every price before it");
  EXPECT_EQ(
      error("{\"e\":\"aggTrade\",\"T\":1700000000002,\"s\":\"BTCUSDT\",\"a\":3,\"p\":\"10\"}"),
      "b.jsonl:2: an aggregated trade (aggTrade) has no field \"q\"");
  EXPECT_EQ(error("12:00:01 {}"),
            "b.jsonl:2: the line does not start with a local time or a message: \"12:00:01 {}\" (a "
            "line is a JSON object, or a local time -- an integer of milliseconds, microseconds "
            "or nanoseconds since 1970, or a UTC time such as 2024-01-02T03:04:05.123456Z -- then "
            "spaces or tabs and the object)");
  EXPECT_EQ(error("1700000000002 {\"e\":\"aggTrade\",\"T\":1,\"s\":\"BTCUSDT\",\"a\":3,"
                  "\"p\":\"10\",\"q\":\"1\"}"),
            "b.jsonl:2: field \"T\": \"1\" is not a time: not in milliseconds, microseconds or "
            "nanoseconds of the years 1990 to 2099 (631152000000 to 4102444799999, "
            "631152000000000 to 4102444799999999 or 631152000000000000 to 4102444799999999999); "
            "give the time unit");
  EXPECT_EQ(error("1700000000002 {\"e\":\"aggTrade\" \"T\":1}"),
            "b.jsonl:2: the message is not JSON: expected ',' or '}' (byte 31 of the line)");
  EXPECT_EQ(error(trade(2, 3, "ETHUSDT")),
            "b.jsonl:2: the capture holds messages of BTCUSDT (from line 1 of a) and of ETHUSDT: "
            "give the symbol to read, as symbol= or an Instrument");
  EXPECT_EQ(error("{\"e\":\"trade\",\"T\":1700000000002,\"s\":\"BTCUSDT\",\"t\":3,\"p\":\"10\","
                  "\"q\":\"1\"}"),
            "b.jsonl:2: the capture holds both trades (trade) and aggregated trades (aggTrade) of "
            "BTCUSDT, which are the same trades counted twice: give trades=\"trades\" or "
            "trades=\"agg_trades\"");
  EXPECT_EQ(convert(MemoryFiles{{{"a", "{\"result\":null}\n"}}}, o).error,
            "the capture has no trades of the symbol asked for, so it makes no ticks (a tick "
            "carries the last trade price)");
  o.ticks_path = "";
  o.depth_path = dir.file("d.hvdp");
  EXPECT_EQ(convert(MemoryFiles{{{"a", update(0, 1, 2, 0)}}}, o).error,
            "the capture has depth updates of BTCUSDT but no snapshot, and a book cannot start "
            "without one: record the depth snapshot too");
}

TEST(Capture, AFailedConversionLeavesEveryTargetAsItWas) {
  ScratchDir dir;
  CaptureOptions o = options(dir);
  o.symbol = "BTCUSDT";
  testing::write_bytes(o.ticks_path, testing::Bytes{1, 2, 3});
  const Outcome got =
      convert(MemoryFiles{{{"a", CAPTURE + "1700000000009600 {\"e\":\"aggTrade\"}\n"}}}, o);
  EXPECT_EQ(got.error, "a:11: an aggregated trade (aggTrade) has no field \"p\"");
  EXPECT_EQ(testing::read_bytes(o.ticks_path), (testing::Bytes{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::exists(o.depth_path));
  EXPECT_FALSE(std::filesystem::exists(o.marks_path));
}

}  // namespace
}  // namespace halvorn::data
