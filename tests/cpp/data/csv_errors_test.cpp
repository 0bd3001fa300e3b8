// Every way a conversion refuses its input, by the exact text a user reads:
// the file, the line and what was expected there.  Each conversion runs
// over an existing target, which must come through byte for byte with
// nothing left beside it.

#include <gtest/gtest.h>

#include "csv_files.hpp"
#include "data/csv_convert.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::MemoryFiles;
using testing::options;
using testing::read_bytes;
using testing::ScratchDir;
using testing::write_bytes;

const char* const TRADES_HEADER = "id,price,qty,quote_qty,time,is_buyer_maker\n";

class ConvertErrors : public ::testing::Test {
 protected:
  // The error converting `trades` (and `quotes`) gives, checking that the
  // target was left alone.
  std::string error(MemoryFiles trades, MemoryFiles* quotes = nullptr,
                    ConvertOptions opt = options(), const Progress& progress = {}) {
    const std::string path = dir_.file("out.hvtk");
    const Bytes old = encode(3, testing::series(4));
    write_bytes(path, old);
    Input t = trades.input();
    Input q = quotes != nullptr ? quotes->input() : Input{};
    Conversion c = convert_csv(path, t, quotes != nullptr ? &q : nullptr, opt, progress);
    EXPECT_EQ(read_bytes(path), old);
    EXPECT_EQ(dir_.names(), std::vector<std::string>{"out.hvtk"});
    if (auto* e = std::get_if<ConvertError>(&c)) return e->display();
    ADD_FAILURE() << "converted";
    return "";
  }
  // The same for one file of trades.
  std::string error(const std::string& text, ConvertOptions opt = options()) {
    return error(MemoryFiles{{{"a.csv", text}}}, nullptr, std::move(opt));
  }

  ScratchDir dir_;
};

TEST_F(ConvertErrors, RowsOfTheWrongShape) {
  EXPECT_EQ(error(std::string(TRADES_HEADER) + "1,1.0,1,1,1700000000000,true\n1,1.0,1,1\n"),
            "a.csv:3: expected 6 columns (id,price,qty,quote_qty,time,is_buyer_maker), found 4");
  EXPECT_EQ(error("1,1.0,1,1,1700000000000,true\n\n2,1.0,1,1,1700000000000,true\n"),
            "a.csv:2: expected 6 columns (id,price,qty,quote_qty,time,is_buyer_maker), found an "
            "empty line");
  EXPECT_EQ(error("1,1.0,1,1,1700000000000,true,7\n"),
            "a.csv: the first row looks like one of the best bid and offer layout, which cannot "
            "be a trade file (trades, aggregated trades or two-clock trades); give the layout if "
            "it is one of those");
  EXPECT_EQ(error("1,1.0,1,1700000000000,true\n"),
            "a.csv:1: cannot tell the layout of a file without a header from its first row, of 5 "
            "columns; give the layout, or add the header of one of: trades "
            "(id,price,qty,quote_qty,time,is_buyer_maker), aggregated trades "
            "(agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_"
            "maker) or two-clock trades "
            "(exchange,symbol,timestamp,local_timestamp,id,side,price,amount)");
  EXPECT_EQ(error("id,prize,qty,quote_qty,time,is_buyer_maker\n"),
            "a.csv:1: the first line \"id,prize,qty,quote_qty,time,is_buyer_maker\" is not the "
            "header of a layout a trade file can have: trades "
            "(id,price,qty,quote_qty,time,is_buyer_maker), aggregated trades "
            "(agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_"
            "maker) or two-clock trades "
            "(exchange,symbol,timestamp,local_timestamp,id,side,price,amount)");
  EXPECT_EQ(error(std::string(1 << 20, '1')), "a.csv:1: line is longer than 1048576 bytes");
}

TEST_F(ConvertErrors, FieldsThatAreNotWhatTheColumnHolds) {
  const auto row = [](const char* fields) { return std::string(TRADES_HEADER) + fields + "\n"; };
  EXPECT_EQ(error(row("1,4x,1,1,1700000000000,true")),
            "a.csv:2: column price: \"4x\" is not a decimal number");
  EXPECT_EQ(error(row("1,4,,1,1700000000000,true")),
            "a.csv:2: column qty: \"\" is not a decimal number");
  EXPECT_EQ(error(row("1,4,1,1,1700000000000.5,true")),
            "a.csv:2: column time: \"1700000000000.5\" is not an integer");
  EXPECT_EQ(error(row("1,4,1,1,1700000000000,yes")),
            "a.csv:2: column is_buyer_maker: \"yes\" is not a boolean (true, false, 1 or 0)");
  EXPECT_EQ(error(row("99999999999999999999,4,1,1,1700000000000,true")),
            "a.csv:2: column id: \"99999999999999999999\" does not fit in a signed 64-bit integer");
  EXPECT_EQ(
      error(row("1,1.00000000000000000001,1,1,1700000000000,true")),
      "a.csv:2: column price: \"1.00000000000000000001\" has more than 19 significant digits");
  EXPECT_EQ(error(row("1,1e10000,1,1,1700000000000,true")),
            "a.csv:2: column price: \"1e10000\" has an exponent beyond 9999");
  EXPECT_EQ(error(row("1,1e30,1,1,1700000000000,true")),
            "a.csv:2: column price: \"1e30\" is beyond 9223372036854775807 ticks of 0.1");
  EXPECT_EQ(error(row("1,4.25,1,1,1700000000000,true")),
            "a.csv:2: column price: \"4.25\" is not a whole number of ticks of 0.1; a tick size "
            "of 0.01 fits it and every price before it");
  EXPECT_EQ(error(row("1,4,0.0005,1,1700000000000,true")),
            "a.csv:2: column qty: \"0.0005\" is not a whole number of lots of 0.001");
  EXPECT_EQ(error(row("1,4,-1,1,1700000000000,true")), "a.csv:2: column qty: \"-1\" is negative");
  EXPECT_EQ(error("x,BTC,1700000000000000,1700000000000000,1,b,1,1\n"),
            "a.csv:1: cannot tell the layout of a file without a header from its first row, of 8 "
            "columns; give the layout, or add the header of one of: trades "
            "(id,price,qty,quote_qty,time,is_buyer_maker), aggregated trades "
            "(agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_"
            "maker) or two-clock trades "
            "(exchange,symbol,timestamp,local_timestamp,id,side,price,amount)");
  ConvertOptions clocked = options();
  clocked.trades.layout = Layout::ClockedTrades;
  EXPECT_EQ(error("x,BTC,1700000000000000,1700000000000000,1,b,1,1\n", clocked),
            "a.csv:1: column side: \"b\" is not a side (buy, sell or unknown)");
  clocked.round = true;
  EXPECT_EQ(error("x,BTC,1700000000000000,1700000000000000,1,unknown,1.05,1\n", clocked),
            "a.csv:1: column price: \"1.05\" is not a whole number of ticks of 0.1, and the trade "
            "has no aggressor side to round it by");
  // The cumulative volume is a count too.
  EXPECT_EQ(error("1,1,9223372036854775807,0,1700000000000,true\n"
                  "2,1,1,0,1700000000001,true\n",
                  options("1", "1")),
            "a.csv:2: column qty: \"1\" takes the cumulative volume beyond 9223372036854775807 "
            "lots of 1");
}

TEST_F(ConvertErrors, TimeUnitsThatCannotBeToldOrChange) {
  EXPECT_EQ(error("1,1,1,1,123456,true\n"),
            "a.csv:1: column time: cannot tell whether \"123456\" is in milliseconds, "
            "microseconds or nanoseconds (the years 1990 to 2099 are 631152000000 to "
            "4102444799999 in milliseconds, 631152000000000 to 4102444799999999 in "
            "microseconds, 631152000000000000 to 4102444799999999999 in nanoseconds); give the "
            "time unit");
  EXPECT_EQ(error("1,1,1,1,1700000000000,true\n2,1,1,1,1700000000000000,true\n"),
            "a.csv:2: column time: \"1700000000000000\" is not a time in milliseconds, the unit of "
            "this file since line 1");
  ConvertOptions micros = options();
  micros.trades.unit = TimeUnit::Microseconds;
  EXPECT_EQ(error("1,1,1,1,9200000000000000000,true\n", micros),
            "a.csv:1: column time: \"9200000000000000000\" in microseconds is beyond the times a "
            "tick holds (the years 1677 to 2262)");
  // An explicit unit takes any time in range.
  micros.trades.unit = TimeUnit::Milliseconds;
  EXPECT_EQ(error("1,1,1,1,123456,true\n1,1,1,1,123455,true\n", micros),
            "a.csv:2: column time: \"123455\" goes back in time: 123455000000 ns is before "
            "123456000000 ns at line 1");
}

TEST_F(ConvertErrors, TimeGoingBackInAFileAcrossFilesAndPastTheWindow) {
  EXPECT_EQ(error(MemoryFiles{{{"a.csv", "1,1,1,1,1700000000005,true\n"},
                               {"b.csv", "2,1,1,1,1700000000004,true\n"}}}),
            "b.csv:1: column time: \"1700000000004\" goes back in time: 1700000000004000000 ns "
            "is before 1700000000005000000 ns at line 1 of a.csv");
  ConvertOptions windowed = options();
  windowed.trades.sort_window = 2;
  EXPECT_EQ(error("1,1,1,1,1700000000005,true\n"
                  "2,1,1,1,1700000000007,true\n"
                  "3,1,1,1,1700000000006,true\n"
                  "4,1,1,1,1700000000004,true\n",
                  windowed),
            "a.csv:4: column time: \"1700000000004\" goes back in time: 1700000000004000000 ns "
            "is before 1700000000006000000 ns at line 3, which the sorting window of 2 rows has "
            "already written");
}

TEST_F(ConvertErrors, AggregatedTradeIdsMustFollowOn) {
  const std::string header =
      "agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_maker\n";
  const std::string rows = header +
                           "100,1,1,1,1,1700000000000,true\n"
                           "105,1,1,1,1,1700000000001,true\n";
  EXPECT_EQ(error(rows),
            "a.csv:3: missing aggregated trades 101 to 104 (the row before is 100, this row 105)");
  EXPECT_EQ(error(MemoryFiles{{{"a.csv", header + "100,1,1,1,1,1700000000000,true\n"},
                               {"b.csv", "102,1,1,1,1,1700000000001,true\n"}}}),
            "b.csv:1: missing aggregated trade 101 (the row before is 100, this row 102)");
  EXPECT_EQ(error(header + "100,1,1,1,1,1700000000000,true\n100,1,1,1,1,1700000000000,true\n"),
            "a.csv:3: aggregated trade id 100 does not follow id 100 of the row before; ids "
            "must increase");
  // With allow_gaps the gap goes through.
  ScratchDir dir;
  ConvertOptions gaps = options();
  gaps.allow_gaps = true;
  auto o = testing::convert_to(dir.file("g.hvtk"), MemoryFiles{{{"a.csv", rows}}}, nullptr, gaps);
  EXPECT_EQ(o.error, "");
  EXPECT_EQ(o.ticks.size(), 2u);
}

TEST_F(ConvertErrors, FilesOfTheWrongLayout) {
  ConvertOptions agg = options();
  agg.trades.layout = Layout::AggTrades;
  EXPECT_EQ(error(std::string(TRADES_HEADER), agg),
            "a.csv:1: the header is that of the trades layout, but the aggregated trades layout "
            "was asked for");
  EXPECT_EQ(error(MemoryFiles{{{"a.csv", "1,1,1,1,1700000000000,true\n"},
                               {"b.csv", "1,1,1,1,1,1700000000000,true\n"}}}),
            "b.csv: this file is of the aggregated trades layout, but the stream began with a "
            "file of the trades layout (a.csv); one stream is one layout");
  EXPECT_EQ(error("calc_time,funding_interval_hours,last_funding_rate\n"),
            "a.csv: a file of the funding history layout cannot be a trade file (trades, "
            "aggregated trades or two-clock trades)");
  MemoryFiles trades{{{"t.csv", "1,1,1,1,1700000000000,true\n"}}};
  MemoryFiles quotes{{{"q.csv", std::string(TRADES_HEADER) + "1,1,1,1,1700000000000,true\n"}}};
  EXPECT_EQ(error(trades, &quotes),
            "q.csv: a file of the trades layout cannot be a quote file (best bid and offer or "
            "two-clock quotes)");
}

TEST_F(ConvertErrors, TheQuoteStreamIsCheckedLikeTheTrades) {
  MemoryFiles trades{{{"t.csv", "1,1,1,1,1700000000000,true\n"}}};
  MemoryFiles quotes{{{"q.csv", "1,1,1,1,1,1700000000000,1\n1,1,1,1.05,1,1700000000000,1\n"}}};
  EXPECT_EQ(error(trades, &quotes),
            "q.csv:2: column best_ask_price: \"1.05\" is not a whole number of ticks of 0.1; a "
            "tick size of 0.01 fits it and every price before it");
}

TEST_F(ConvertErrors, LateErrorsStillLeaveNothing) {
  // Enough rows for blocks to have been written before the bad one.
  std::string text;
  for (int i = 0; i < 30'000; ++i)
    text += "1,1,1,1," + std::to_string(1'700'000'000'000 + i) + ",true\n";
  text += "1,1,1,1,1700000000000,maybe\n";
  EXPECT_EQ(error(text),
            "a.csv:30001: column is_buyer_maker: \"maybe\" is not a boolean (true, false, 1 or 0)");
}

TEST_F(ConvertErrors, TheCallerStopsOrCannotRead) {
  MemoryFiles failing{{{"a.csv", "1,1,1,1,1700000000000,true\n"}, {"b.csv", "x"}}};
  failing.fail_in_file = 1;
  EXPECT_EQ(error(failing), "b.csv: reading failed");
  Progress stop{nullptr, [](void*, std::uint64_t, std::uint64_t) { return false; }, 1};
  EXPECT_EQ(
      error(MemoryFiles{{{"a.csv", "1,1,1,1,1700000000000,true\n"}}}, nullptr, options(), stop),
      "stopped by the caller");
  EXPECT_EQ(error("", options("0", "1")), "tick_size \"0\" is not a positive decimal number");
  EXPECT_EQ(error("", options("1", "-1")), "lot_size \"-1\" is not a positive decimal number");
}

TEST(ConvertError, AnUnwritableTargetIsTheSystemsReason) {
  ScratchDir dir;
  MemoryFiles trades{{{"a.csv", "1,1,1,1,1700000000000,true\n"}}};
  Input t = trades.input();
  Conversion c = convert_csv(dir.file("no/such/x.hvtk"), t, nullptr, options());
  ASSERT_TRUE(std::holds_alternative<ConvertError>(c));
  EXPECT_EQ(std::get<ConvertError>(c).display(),
            dir.file("no/such/x.hvtk") + ": No such file or directory");
}

}  // namespace
}  // namespace halvorn::data
