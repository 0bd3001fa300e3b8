// The perpetual archives through the C++ converters: worked cases whose
// records are written out by hand, the conversion summaries (repeated
// trades, stale quotes), how a headerless file of each new layout is told,
// and the errors the new layouts add, with their file and line.  The Python
// tests check the same layouts against references over random files.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "csv_files.hpp"
#include "data/depth_csv.hpp"
#include "data/mark_csv.hpp"
#include "data/mark_reader.hpp"
#include "depth_csv_files.hpp"

namespace halvorn::data {
namespace {

using testing::convert_depth_to;
using testing::convert_to;
using testing::depth_options;
using testing::MemoryFiles;
using testing::options;
using testing::ScratchDir;

const char* const CHAINED =
    "symbol,timestamp,first_update_id,last_update_id,side,update_type,price,qty,pu\n";
const char* const KLINES =
    "open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume,"
    "taker_buy_quote_volume,ignore\n";
const char* const TICKER =
    "exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,"
    "predicted_funding_rate,open_interest,last_price,index_price,mark_price\n";

TEST(ChainedDiffs, UpdatesCarryTheirPuAndDeletesRemoveTheLevel) {
  ScratchDir dir;
  for (bool header : {true, false}) {
    const std::string rows =
        "X,1700000000000,100,100,b,snap,10.0,1,-1\n"  // a snapshot's pu is not used
        "X,1700000000000,100,100,a,snap,10.1,2,-1\n"
        "X,1700000000002,95,104,b,set,10.0,0,99\n"
        "X,1700000000002,95,104,a,Delete,10.1,7,99\n"
        "X,1700000000002,120,131,b,UPDATE,9.9,4,104\n";
    const testing::DepthOutcome o = convert_depth_to(
        dir.file("c.hvdp"), MemoryFiles{{{"c.csv", (header ? CHAINED : "") + rows}}},
        depth_options("0.1", "1"));
    ASSERT_EQ(o.error, "");
    book::DepthUpdate first{
        99, {{100, 0}}, {{101, 0}}, 1700000000002, 95, 104, 1'700'000'000'002'000'000};
    book::DepthUpdate second{
        104, {{99, 4}}, {}, 1700000000002, 120, 131, 1'700'000'000'002'000'000};
    EXPECT_EQ(o.records,
              (std::vector<book::DepthRecord>{
                  {1'700'000'000'000'000'000, book::DepthSnapshot{100, {{100, 1}}, {{101, 2}}}},
                  {1'700'000'000'002'000'000, first},
                  {1'700'000'000'002'000'000, second}}));
  }
}

TEST(DepthDiffs, ArchivesThatCallTheirUpdatesDeltasAreRead) {
  ScratchDir dir;
  const std::pair<std::string, std::optional<std::uint64_t>> layouts[] = {
      {std::string(testing::DIFFS_HEADER) + "X,1700000000000,0,100,100,b,snap,10.0,1\n"
                                            "X,1700000000001,0,101,101,a,delta,10.1,2\n"
                                            "X,1700000000002,0,102,102,b,DELTA,10.0,0\n",
       std::nullopt},
      {std::string(CHAINED) + "X,1700000000000,100,100,b,snap,10.0,1,0\n"
                              "X,1700000000001,101,101,a,delta,10.1,2,100\n"
                              "X,1700000000002,102,102,b,Delta,10.0,0,101\n",
       101}};
  for (const auto& [csv, second_prev] : layouts) {
    const testing::DepthOutcome o = convert_depth_to(
        dir.file("d.hvdp"), MemoryFiles{{{"d.csv", csv}}}, depth_options("0.1", "1"));
    ASSERT_EQ(o.error, "");
    const std::optional<std::uint64_t> first_prev =
        second_prev ? std::optional<std::uint64_t>(100) : std::nullopt;
    EXPECT_EQ(
        o.records,
        (std::vector<book::DepthRecord>{
            {1'700'000'000'000'000'000, book::DepthSnapshot{100, {{100, 1}}, {}}},
            {1'700'000'000'001'000'000,
             book::DepthUpdate{
                 first_prev, {}, {{101, 2}}, 1700000000001, 101, 101, 1'700'000'000'001'000'000}},
            {1'700'000'000'002'000'000, book::DepthUpdate{second_prev,
                                                          {{100, 0}},
                                                          {},
                                                          1700000000002,
                                                          102,
                                                          102,
                                                          1'700'000'000'002'000'000}}}));
  }
}

TEST(ChainedDiffs, SnapshotsInFilesOfTheirOwnComeFirstAtTheirTime) {
  ScratchDir dir;
  MemoryFiles updates{
      {{"u.csv", std::string(CHAINED) + "X,1700000000001,95,104,b,set,10.0,2,90\n"
                                        "X,1700000000002,110,120,b,set,10.0,3,104\n"}}};
  MemoryFiles snapshots{
      {{"s.csv", std::string(CHAINED) + "X,1700000000000,90,90,b,snap,10.0,1,0\n"
                                        "X,1700000000002,104,104,b,snap,9.9,5,0\n"}}};
  Input u = updates.input(), s = snapshots.input();
  DepthConversion c = convert_depth_csv(dir.file("m.hvdp"), u, &s, depth_options("0.1", "1"));
  ASSERT_TRUE(std::holds_alternative<DepthConverted>(c)) << std::get<ConvertError>(c).display();
  EXPECT_EQ(std::get<DepthConverted>(c).snapshots, 2u);
  DepthReader reader = testing::open_depth(dir.file("m.hvdp"));
  const std::vector<book::DepthRecord> got = testing::drain(reader).records;
  ASSERT_EQ(got.size(), 4u);
  // At 2 ms the snapshot comes before the update of its time.
  EXPECT_TRUE(std::holds_alternative<book::DepthSnapshot>(got[2].entry));
  EXPECT_EQ(std::get<book::DepthSnapshot>(got[2].entry).last_update_id, 104u);
  EXPECT_EQ(std::get<book::DepthUpdate>(got[3].entry).prev_final_id, 104u);

  MemoryFiles again{{{"u.csv", std::string(CHAINED) + "X,1700000000001,95,104,b,set,10.0,2,90\n"}}};
  MemoryFiles other{
      {{"d.csv", std::string(testing::DIFFS_HEADER) + "X,1700000000002,0,104,104,b,snap,9.9,5\n"}}};
  u = again.input();
  s = other.input();
  c = convert_depth_csv(dir.file("x.hvdp"), u, &s, depth_options("0.1", "1"));
  EXPECT_EQ(std::get<ConvertError>(c).display(),
            "d.csv: this file is of the depth diffs layout, but the stream began with a file of "
            "the chained depth diffs layout (u.csv); one stream is one layout");
}

TEST(BookSnapshots, EachRowIsAWholeBookWithMadeUpIds) {
  ScratchDir dir;
  std::string header = "exchange,symbol,timestamp,local_timestamp";
  for (int i = 0; i < 5; ++i) {
    const std::string n = std::to_string(i);
    header += ",asks[" + n + "].price,asks[" + n + "].amount,bids[" + n + "].price,bids[" + n +
              "].amount";
  }
  const std::string rows = "ex,X,1700000000000000,1700000000000100,10.1,2,10.0,1,10.2,3,9.9,0" +
                           std::string(12, ',') +
                           "\n"
                           "ex,X,1700000000000500,1700000000000600" +
                           std::string(20, ',') + "\n";
  const testing::DepthOutcome o =
      convert_depth_to(dir.file("b.hvdp"), MemoryFiles{{{"b.csv", header + "\n" + rows}}},
                       depth_options("0.1", "1"));
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.records, (std::vector<book::DepthRecord>{
                           {1'700'000'000'000'000'000,
                            book::DepthSnapshot{1, {{100, 1}, {99, 0}}, {{101, 2}, {102, 3}}}},
                           {1'700'000'000'000'500'000, book::DepthSnapshot{2, {}, {}}}}));
  // Told without the header, by its 24 columns.
  EXPECT_EQ(convert_depth_to(dir.file("n.hvdp"), MemoryFiles{{{"b.csv", rows}}},
                             depth_options("0.1", "1"))
                .records,
            o.records);
  // Levels that are not whole, and half a level.
  EXPECT_EQ(convert_depth_to(dir.file("x.hvdp"),
                             MemoryFiles{{{"b.csv", header + "\nex,X,1700000000000000,1,10.15,2" +
                                                        std::string(18, ',') + "\n"}}},
                             depth_options("0.1", "1"))
                .error,
            "b.csv:2: column asks[0].price: \"10.15\" is not a whole number of ticks of 0.1; a "
            "tick size of 0.01 fits it and every price before it");
  EXPECT_EQ(convert_depth_to(dir.file("x.hvdp"),
                             MemoryFiles{{{"b.csv", header + "\nex,X,1700000000000000,1,,2" +
                                                        std::string(18, ',') + "\n"}}},
                             depth_options("0.1", "1"))
                .error,
            "b.csv:2: column asks[0].price: \"\" is not a decimal number");
}

// The records and settlements a mark conversion wrote, or its error.
struct Marks {
  std::vector<MarkRecord> records;
  std::vector<PricedRate> settlements;
  std::string error;
  MarksConverted done;
};

Marks convert_marks(const ScratchDir& dir, const std::string& text, MarkConvertOptions o = {}) {
  if (o.tick_size.empty()) o.tick_size = "0.1";
  if (o.lot_size.empty()) o.lot_size = "0.001";
  MemoryFiles files{{{"m.csv", text}}};
  Marks out;
  MarkConversion c = convert_marks_csv(dir.file("m.hvmk"), files.input(), o);
  if (auto* e = std::get_if<ConvertError>(&c)) {
    out.error = e->display();
    return out;
  }
  out.done = std::get<MarksConverted>(c);
  MarkReader reader = std::get<MarkReader>(MarkReader::open(dir.file("m.hvmk")));
  for (MarkNext n = reader.next(); std::holds_alternative<MarkRecord>(n); n = reader.next()) {
    out.records.push_back(std::get<MarkRecord>(n));
  }
  out.settlements = std::get<std::vector<PricedRate>>(reader.settlements());
  return out;
}

TEST(Marks, KlinesGiveTheCloseAtTheCloseTime) {
  ScratchDir dir;
  const std::string rows =
      "1704067200000,42000.1,42010,41990,42000.5,0,1704067259999,0,60,0,0,0\n"
      "1704067260000,42000.5,42010,41990,42001.25,0,1704067319999,0,60,0,0,0\n";
  MarkConvertOptions round;
  round.round = true;
  const Marks m = convert_marks(dir, KLINES + rows, round);
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.records, (std::vector<MarkRecord>{{1'704'067'259'999'000'000, 420005, 0},
                                                {1'704'067'319'999'000'000, 420012, 0}}));
  EXPECT_EQ(m.done, (MarksConverted{2, 0, 2, rows.size() + std::string(KLINES).size()}));
  EXPECT_EQ(convert_marks(dir, rows).error,
            "m.csv:2: column close: \"42001.25\" is not a whole number of ticks of 0.1; a mark "
            "or index price is taken to the nearest tick only when rounding is asked for");
}

TEST(Marks, TheTickerSettlesWhatItAnnouncedOnceATimeHasPassed) {
  ScratchDir dir;
  // Times in microseconds; funding at 1704096000000000 (eight hours on).
  const std::string rows =
      "ex,X,1704067200000000,1704067200000001,1704096000000000,0.0001,0.0002,5,42000,42000.0,"
      "42000.5\n"
      "ex,X,1704096000000000,1704096000000001,,,,,,,42001.0\n"
      "ex,X,1704096000000001,1704096000000002,1704124800000000,-0.00005,,,,,\n";
  const Marks m = convert_marks(dir, TICKER + rows);
  ASSERT_EQ(m.error, "");
  EXPECT_EQ(m.records, (std::vector<MarkRecord>{{1'704'067'200'000'000'000, 420005, 420000},
                                                {1'704'096'000'000'000'000, 420010, 420000}}));
  EXPECT_EQ(m.settlements, (std::vector<PricedRate>{{1'704'096'000'000'000'000, 100'000, 420010}}));
  EXPECT_EQ((std::pair{m.done.records, m.done.settlements}),
            (std::pair{std::uint64_t{2}, std::uint64_t{1}}));
  // A rate is exact or refused.
  EXPECT_EQ(convert_marks(dir, TICKER + std::string("ex,X,1704067200000000,1704067200000001,,"
                                                    "0.0000000001,,,,,\n"))
                .error,
            "m.csv:2: column funding_rate: \"0.0000000001\" is not a whole number of billionths");
  // A kline file given as a ticker, and a ticker as premium klines.
  MarkConvertOptions ticker;
  ticker.layout = Layout::DerivativeTicker;
  EXPECT_EQ(convert_marks(dir, KLINES, ticker).error,
            "m.csv:1: the header is that of the klines layout, but the derivative ticker layout "
            "was asked for");
  ticker.premium = true;
  EXPECT_EQ(convert_marks(dir, TICKER, ticker).error,
            "the derivative ticker layout holds mark and index prices, not a premium index");
}

TEST(Marks, OtherStreamsAreToldApart) {
  ScratchDir dir;
  EXPECT_EQ(convert_marks(dir, "id,price,qty,quote_qty,time,is_buyer_maker\n").error,
            "m.csv: a file of the trades layout cannot be a mark price file (klines or "
            "derivative ticker)");
  EXPECT_EQ(convert_marks(dir, "1,2,3\n").error,
            "m.csv: the first row looks like one of the funding history layout, which cannot be a "
            "mark price file (klines or derivative ticker); give the layout if it is one of "
            "those");
  EXPECT_EQ(convert_marks(dir, "1,2,3,4,5\n").error,
            "m.csv:1: cannot tell the layout of a file without a header from its first row, of 5 "
            "columns; give the layout, or add the header of one of: klines "
            "(open_time,open,high,low,close,volume,close_time,quote_volume,count,taker_buy_volume,"
            "taker_buy_quote_volume,ignore) or derivative ticker "
            "(exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,predicted_"
            "funding_rate,open_interest,last_price,index_price,mark_price)");
}

TEST(Trades, RepeatsAreCountedDroppedOrRefusedWithWhereTheyAre) {
  ScratchDir dir;
  const std::string day1 = "1,1.0,1,0,1700000000000,true\n2,1.0,2,0,1700000000001,true\n";
  const std::string day2 = "2,1.0,2,0,1700000000001,true\n3,1.0,4,0,1700000000002,true\n";
  ConvertOptions o = options("0.1", "1");
  testing::Outcome kept =
      convert_to(dir.file("k.hvtk"), MemoryFiles{{{"a.csv", day1}, {"b.csv", day2}}}, nullptr, o);
  ASSERT_EQ(kept.error, "");
  EXPECT_EQ(kept.done.duplicates, 1u);
  EXPECT_EQ(kept.done.first_duplicate, (std::pair{Place{"b.csv", 1}, Place{"a.csv", 2}}));
  EXPECT_EQ(kept.ticks.back().volume, 9);
  o.repeats = Repeats::Skip;
  testing::Outcome skipped =
      convert_to(dir.file("s.hvtk"), MemoryFiles{{{"a.csv", day1}, {"b.csv", day2}}}, nullptr, o);
  EXPECT_EQ((std::pair{skipped.ticks.size(), skipped.ticks.back().volume}),
            (std::pair{std::size_t{3}, std::int64_t{7}}));
  o.repeats = Repeats::Refuse;
  EXPECT_EQ(
      convert_to(dir.file("r.hvtk"), MemoryFiles{{{"a.csv", day1}, {"b.csv", day2}}}, nullptr, o)
          .error,
      "b.csv:1: trade id 2 repeats the trade at line 2 of a.csv (at the same time, "
      "1700000000001000000 ns); a trade given twice would count its quantity twice: remove "
      "the repeat, or have repeated trades skipped");
}

TEST(Trades, StaleQuotesAreMeasuredAndQuotesAloneRefused) {
  ScratchDir dir;
  // One quote, then trades 10 s, 70 s and 130 s after it.
  const std::string trades =
      "1,1.0,1,0,1700000010000,true\n2,1.0,1,0,1700000070000,true\n3,1.0,1,0,1700000130000,true\n";
  const auto quotes = [] { return MemoryFiles{{{"q.csv", "1,0.9,1,1.1,1,1700000000000,1\n"}}}; };
  MemoryFiles first = quotes();
  ConvertOptions o = options("0.1", "1");
  EXPECT_EQ((std::pair{o.stale_after, o.stale}),
            (std::pair{Nanos{60'000'000'000}, ConvertOptions::Stale::Clear}));
  o.stale = ConvertOptions::Stale::Keep;
  testing::Outcome kept =
      convert_to(dir.file("k.hvtk"), MemoryFiles{{{"t.csv", trades}}}, &first, o);
  ASSERT_EQ(kept.error, "");
  EXPECT_EQ((std::pair{kept.done.stale_ticks, kept.done.oldest_quote}),
            (std::pair{std::uint64_t{2}, Nanos{130'000'000'000}}));
  EXPECT_EQ(kept.ticks.back().bid, 9);
  o.stale = ConvertOptions::Stale::Clear;
  MemoryFiles again = quotes();
  testing::Outcome cleared =
      convert_to(dir.file("c.hvtk"), MemoryFiles{{{"t.csv", trades}}}, &again, o);
  EXPECT_EQ((std::tuple{cleared.ticks[0].bid, cleared.ticks[1].bid, cleared.ticks[2].ask}),
            (std::tuple{9, 0, 0}));
  o.stale = ConvertOptions::Stale::Refuse;
  MemoryFiles third = quotes();
  EXPECT_EQ(convert_to(dir.file("r.hvtk"), MemoryFiles{{{"t.csv", trades}}}, &third, o).error,
            "t.csv:2: the latest quote at this trade is 70000000000 ns old (from "
            "1700000000000000000 ns), more than the 60000000000 ns a quote may be; the quotes "
            "end at 1700000000000000000 ns");
  MemoryFiles fourth = quotes();
  EXPECT_EQ(convert_to(dir.file("n.hvtk"), MemoryFiles{{{"t.csv", ""}}}, &fourth, o).error,
            "the trades have no rows, so none of the 1 quote rows makes a tick (a tick carries "
            "the last trade price); give the trades of the same days");
  EXPECT_EQ(dir.names(), (std::vector<std::string>{"c.hvtk", "k.hvtk"}));
}

}  // namespace
}  // namespace halvorn::data
