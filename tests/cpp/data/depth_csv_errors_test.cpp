// Every way a depth conversion refuses its input, by the exact text a user
// reads: the file, the line and what was expected there.  Each conversion
// runs over an existing depth file, which must come through byte for byte
// with nothing left beside it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <utility>

#include "depth_csv_files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::CLOCKED_HEADER;
using testing::depth_options;
using testing::DIFFS_HEADER;
using testing::MemoryFiles;
using testing::read_bytes;
using testing::ScratchDir;
using testing::write_bytes;

const std::string DIFF_ROW = "BTC,1700000000000,1700000000000,5,5,b,snap,100.0,1\n";
const std::string CLOCKED_ROW = "ex,BTC,1700000000000000,1700000000000000,true,bid,100.0,1\n";

class DepthCsvErrors : public ::testing::Test {
 protected:
  std::string error(const Input& input, DepthConvertOptions opt = depth_options(),
                    const Progress& progress = {}) {
    const std::string path = dir_.file("out.hvdp");
    const Bytes old = testing::encoded(3, {testing::snapshot_at(7, 9, {{10, 2}}, {{11, 1}})});
    write_bytes(path, old);
    DepthConversion c = convert_depth_csv(path, input, opt, progress);
    EXPECT_EQ(read_bytes(path), old);
    EXPECT_EQ(dir_.names(), std::vector<std::string>{"out.hvdp"});
    if (auto* e = std::get_if<ConvertError>(&c)) return e->display();
    ADD_FAILURE() << "converted";
    return "";
  }
  std::string error(MemoryFiles files, DepthConvertOptions opt = depth_options()) {
    return error(files.input(), std::move(opt));
  }
  std::string error(const std::string& text, DepthConvertOptions opt = depth_options()) {
    return error(MemoryFiles{{{"a.csv", text}}}, std::move(opt));
  }

  ScratchDir dir_;
};

TEST_F(DepthCsvErrors, FieldsThatAreNotWhatTheColumnHolds) {
  const auto diff = [](const char* row) {
    return std::string(DIFFS_HEADER) + DIFF_ROW + row + "\n";
  };
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,x,set,100.0,1")),
            "a.csv:3: column side: \"x\" is not a book side (b, bid or buy; a, ask or sell)");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,bids,set,100.0,1")),
            "a.csv:3: column side: \"bids\" is not a book side (b, bid or buy; a, ask or sell)");
  EXPECT_EQ(
      error(diff("BTC,1700000000000,1700000000000,6,6,a,delete,100.0,1")),
      "a.csv:3: column update_type: \"delete\" is not an update type (snap, snapshot, set or delta)");
  EXPECT_EQ(error(diff("BTC,1700000000000,x,6,6,a,set,100.0,1")),
            "a.csv:3: column trans_id: \"x\" is not an integer");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,-6,6,a,set,100.0,1")),
            "a.csv:3: column first_update_id: \"-6\" is negative");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,-1,a,set,100.0,1")),
            "a.csv:3: column last_update_id: \"-1\" is negative");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,12,11,a,set,100.0,1")),
            "a.csv:3: first_update_id 12 is after last_update_id 11");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,a,set,100.05,1")),
            "a.csv:3: column price: \"100.05\" is not a whole number of ticks of 0.1; a tick "
            "size of 0.01 fits it and every price before it");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,a,set,100.0,0.0005")),
            "a.csv:3: column qty: \"0.0005\" is not a whole number of lots of 0.001");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,a,set,100.0,-1")),
            "a.csv:3: column qty: \"-1\" is negative");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,a,set,1e30,1")),
            "a.csv:3: column price: \"1e30\" is beyond 9223372036854775807 ticks of 0.1");
  EXPECT_EQ(error(diff("BTC,1700000000000,1700000000000,6,6,a,set")),
            "a.csv:3: expected 9 columns "
            "(symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty),"
            " found 7");

  const auto clocked = [](const char* row) {
    return std::string(CLOCKED_HEADER) + CLOCKED_ROW + row + "\n";
  };
  EXPECT_EQ(error(clocked("ex,BTC,1700000000000000,1700000000000000,yes,bid,100.0,1")),
            "a.csv:3: column is_snapshot: \"yes\" is not a boolean (true, false, 1 or 0)");
  EXPECT_EQ(error(clocked("ex,BTC,1700000000000000,1700000000000000,\"false\",bid,100.0,1")),
            "a.csv:3: column is_snapshot: \"\"false\"\" is not a boolean (true, false, 1 or 0)");
  EXPECT_EQ(error(clocked("ex,BTC,1700000000000000,1700000000000000,false,offer,100.0,1")),
            "a.csv:3: column side: \"offer\" is not a book side (b, bid or buy; a, ask or sell)");
  EXPECT_EQ(error(clocked("ex,BTC,1700000000000000,x,false,bid,100.0,1")),
            "a.csv:3: column local_timestamp: \"x\" is not an integer");
  EXPECT_EQ(error(clocked("ex,BTC,1700000000000000,1700000000000000,false,bid,100.0,0.0001")),
            "a.csv:3: column amount: \"0.0001\" is not a whole number of lots of 0.001");
}

TEST_F(DepthCsvErrors, TimesThatCannotBeToldOrGoBack) {
  EXPECT_EQ(error(std::string(DIFFS_HEADER) + "BTC,123456,0,5,5,b,snap,100.0,1\n"),
            "a.csv:2: column timestamp: cannot tell whether \"123456\" is in milliseconds, "
            "microseconds or nanoseconds (the years 1990 to 2099 are 631152000000 to "
            "4102444799999 in milliseconds, 631152000000000 to 4102444799999999 in "
            "microseconds, 631152000000000000 to 4102444799999999999 in nanoseconds); give the "
            "time unit");
  EXPECT_EQ(
      error(std::string(DIFFS_HEADER) + DIFF_ROW + "BTC,1700000000000000,0,6,6,b,set,100.0,1\n"),
      "a.csv:3: column timestamp: \"1700000000000000\" is not a time in milliseconds, the "
      "unit of this file since line 2");
  EXPECT_EQ(error(std::string(CLOCKED_HEADER) + CLOCKED_ROW +
                  "ex,BTC,1700000000000000,1700000000000,false,bid,100.0,1\n"),
            "a.csv:3: column local_timestamp: \"1700000000000\" is not a time in microseconds, the "
            "unit of this file since line 2");
  // Within a message, between messages, and from one file to the next.
  EXPECT_EQ(
      error(std::string(DIFFS_HEADER) + "BTC,1700000000005,0,5,5,b,snap,100.0,1\n" +
            "BTC,1700000000005,0,6,6,b,set,100.0,1\n" + "BTC,1700000000004,0,7,7,b,set,100.0,1\n"),
      "a.csv:4: column timestamp: \"1700000000004\" goes back in time: 1700000000004000000 "
      "ns is before 1700000000005000000 ns at line 3");
  EXPECT_EQ(error(MemoryFiles{{{"day1.csv", CLOCKED_ROW},
                               {"day2.csv",
                                "ex,BTC,1699999999999999,1700000000000000,true,bid,"
                                "100.0,1\n"}}}),
            "day2.csv:1: column timestamp: \"1699999999999999\" goes back in time: "
            "1699999999999999000 ns is before 1700000000000000000 ns at line 1 of day1.csv");
  DepthConvertOptions nanos = depth_options();
  nanos.unit = TimeUnit::Nanoseconds;
  EXPECT_EQ(error(std::string(DIFFS_HEADER) + DIFF_ROW + "BTC,-5,0,6,6,b,set,100.0,1\n", nanos),
            "a.csv:3: column timestamp: \"-5\" goes back in time: -5 ns is before 1700000000000 ns "
            "at line 2");
}

TEST_F(DepthCsvErrors, FilesOfTheWrongLayout) {
  const std::string both =
      "depth diffs "
      "(symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty), "
      "two-clock depth (exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount), "
      "chained depth diffs "
      "(symbol,timestamp,first_update_id,last_update_id,side,update_type,price,qty,pu), 5-level "
      "book snapshots (exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,"
      "bids[0].price,bids[0].amount,...,bids[4].amount) or 25-level book snapshots "
      "(exchange,symbol,timestamp,local_timestamp,asks[0].price,asks[0].amount,bids[0].price,"
      "bids[0].amount,...,bids[24].amount)";
  const std::string names =
      "depth diffs, two-clock depth, chained depth diffs, 5-level book snapshots or 25-level book "
      "snapshots";
  EXPECT_EQ(error("symbol,time,side,price,qty\n"),
            "a.csv:1: the first line \"symbol,time,side,price,qty\" is not the header of a layout "
            "a depth file can have: " +
                both);
  EXPECT_EQ(error("BTC,1700000000000,0,5,5,b,100.0,1\n"),
            "a.csv:1: cannot tell the layout of a file without a header from its first row, of 8 "
            "columns; give the layout, or add the header of one of: " +
                both);
  EXPECT_EQ(error("id,price,qty,quote_qty,time,is_buyer_maker\n1,1.0,1,1,1700000000000,true\n"),
            "a.csv: a file of the trades layout cannot be a depth file (" + names + ")");
  EXPECT_EQ(error("ex,BTC,1700000000000000,1700000000000000,7,buy,100.0,1\n"),
            "a.csv: the first row looks like one of the two-clock trades layout, which cannot be a "
            "depth file (" +
                names + "); give the layout if it is one of those");
  DepthConvertOptions diffs = depth_options();
  diffs.layout = DepthLayout::Diffs;
  EXPECT_EQ(error(std::string(CLOCKED_HEADER) + CLOCKED_ROW, diffs),
            "a.csv:1: the header is that of the two-clock depth layout, but the depth diffs layout "
            "was asked for");
  EXPECT_EQ(error(CLOCKED_ROW, diffs),
            "a.csv:1: expected 9 columns "
            "(symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty),"
            " found 8");
  EXPECT_EQ(
      error(MemoryFiles{{{"day1.csv", DIFF_ROW}, {"day2.csv", CLOCKED_ROW}}}),
      "day2.csv: this file is of the two-clock depth layout, but the stream began with a file "
      "of the depth diffs layout (day1.csv); one stream is one layout");
  EXPECT_EQ(error(std::string(DIFFS_HEADER) + DIFF_ROW + "\n" + DIFF_ROW),
            "a.csv:3: expected 9 columns "
            "(symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty),"
            " found an empty line");
  EXPECT_EQ(error(std::string(1 << 20, '1')), "a.csv:1: line is longer than 1048576 bytes");
}

// One message of `rows` snapshot rows, made as they are read.
struct HugeMessage {
  std::uint64_t rows = 0;
  std::uint64_t made = 0;
  bool given = false;

  Input input() {
    return Input{this,
                 [](void* c, std::string* name) {
                   *name = "huge.csv";
                   return !std::exchange(static_cast<HugeMessage*>(c)->given, true);
                 },
                 [](void* c, std::uint8_t* buf, std::size_t cap) -> std::ptrdiff_t {
                   auto* h = static_cast<HugeMessage*>(c);
                   static const std::string row =
                       "ex,BTC,1700000000000000,1700000000000000,true,bid,1,1\n";
                   std::size_t n = 0;
                   for (; h->made < h->rows && cap - n >= row.size(); ++h->made) {
                     std::memcpy(buf + n, row.data(), row.size());
                     n += row.size();
                   }
                   return static_cast<std::ptrdiff_t>(n);
                 }};
  }
};

TEST_F(DepthCsvErrors, AMessageLargerThanARecordHolds) {
  HugeMessage huge{MAX_RECORD_LEVELS + 1};
  EXPECT_EQ(
      error(huge.input(), depth_options("1", "1")),
      "huge.csv:1048577: the depth message from line 1 has more than 1048576 levels, the most "
      "one depth record holds");
}

TEST_F(DepthCsvErrors, TheCallerStopsOrCannotRead) {
  MemoryFiles files{{{"a.csv", std::string(CLOCKED_HEADER) + CLOCKED_ROW},
                     {"b.csv", std::string(CLOCKED_HEADER) + CLOCKED_ROW}}};
  files.fail_in_file = 1;
  EXPECT_EQ(error(files), "b.csv: reading failed");

  Progress stop{nullptr, [](void*, std::uint64_t, std::uint64_t) { return false; }, 1};
  MemoryFiles one{{{"a.csv", std::string(CLOCKED_HEADER) + CLOCKED_ROW}}};
  EXPECT_EQ(error(one.input(), depth_options(), stop), "stopped by the caller");
}

TEST_F(DepthCsvErrors, StepsAndTargetsRefusedBeforeReading) {
  EXPECT_EQ(error(DIFF_ROW, depth_options("0")),
            "tick_size \"0\" is not a positive decimal number");
  EXPECT_EQ(error(DIFF_ROW, depth_options("0.1", "-1")),
            "lot_size \"-1\" is not a positive decimal number");

  MemoryFiles files{{{"a.csv", DIFF_ROW}}};
  const std::string missing = dir_.file("no/such/dir/out.hvdp");
  DepthConversion c = convert_depth_csv(missing, files.input(), depth_options());
  ASSERT_TRUE(std::holds_alternative<ConvertError>(c));
  EXPECT_EQ(std::get<ConvertError>(c).display(), missing + ": No such file or directory");

  // A pipe could not take the header written last; it is refused without
  // being opened, which would wait for a reader.
  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  MemoryFiles again{{{"a.csv", DIFF_ROW}}};
  c = convert_depth_csv(fifo, again.input(), depth_options());
  ASSERT_TRUE(std::holds_alternative<ConvertError>(c));
  EXPECT_EQ(std::get<ConvertError>(c).display(), fifo + ": Illegal seek");
}

}  // namespace
}  // namespace halvorn::data
