// Depth CSV conversion: the records that come out of both layouts, read back
// from the depth file.  Small archives written out by hand pin down the
// grouping of rows into messages and the ids; random archives (headers or
// not, CRLF, files cut anywhere, any read size, several spellings of every
// field) are checked against a plain reference of the same rules; and the
// scaling of prices and quantities is exact or refused, or rounded against
// the strategy when asked.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "depth_csv_files.hpp"

namespace halvorn::data {
namespace {

using testing::as_read;
using testing::CLOCKED_HEADER;
using testing::convert_depth_to;
using testing::depth_options;
using testing::DepthOutcome;
using testing::DIFFS_HEADER;
using testing::MemoryFiles;
using testing::ScratchDir;
using testing::snapshot_at;
using testing::update_at;

constexpr std::int64_t MS = 1'000'000;
constexpr std::int64_t US = 1'000;
constexpr std::int64_t T0_MS = 1'700'000'000'000;
constexpr std::int64_t T0_US = 1'700'000'000'000'000;

TEST(DepthCsv, DiffRowsOfOneMessageMakeOneRecord) {
  ScratchDir dir;
  // A snapshot of three rows, then updates.  Two updates share a timestamp
  // but not their ids, so they stay two; the bids and asks of a message keep
  // their row order however they are interleaved; a quantity of 0 is kept
  // as the deletion it is.
  const std::string csv = std::string(DIFFS_HEADER) +
                          "BTC,1700000000000,1700000000000,100,100,b,snap,4212.3,1.5\n"
                          "BTC,1700000000000,1700000000000,100,100,a,snap,4212.4,0.25\n"
                          "BTC,1700000000000,1700000000000,100,100,bid,snap,4212.1,2\n"
                          "BTC,1700000000005,1700000000004,101,103,ask,set,4212.4,0\n"
                          "BTC,1700000000005,1700000000004,101,103,buy,set,4212.2,0.01\n"
                          "BTC,1700000000005,1700000000004,101,103,sell,set,4212.5,3\n"
                          "BTC,1700000000005,1700000000004,101,103,B,set,4212.3,0\n"
                          "BTC,1700000000005,1700000000004,104,104,A,SET,4212.6,1\n"
                          "BTC,1700000000009,1700000000008,105,107,Bid,Set,4212.0,4e-3\n";
  const DepthOutcome o =
      convert_depth_to(dir.file("d.hvdp"), MemoryFiles{{{"a.csv", csv}}}, depth_options());
  ASSERT_EQ(o.error, "");
  const std::int64_t t = T0_MS * MS;
  EXPECT_EQ(
      o.records,
      as_read({
          snapshot_at(t, 100, {{42123, 1500}, {42121, 2000}}, {{42124, 250}}),
          update_at(t + 5 * MS, 101, 103, {{42122, 10}, {42123, 0}}, {{42124, 0}, {42125, 3000}}),
          update_at(t + 5 * MS, 104, 104, {}, {{42126, 1000}}),
          update_at(t + 9 * MS, 105, 107, {{42120, 4}}, {}),
      }));
  EXPECT_EQ(o.done, (DepthConverted{4, 1, 3, 9, 9, csv.size()}));
}

TEST(DepthCsv, TwoClockMessagesGetIdsThatFollowOn) {
  ScratchDir dir;
  // A snapshot, an update at the snapshot's own timestamp, two more, and a
  // snapshot mid-stream that starts the book again.  Every message takes the
  // next id, so each update follows on from what came before it.
  const std::string csv = std::string(CLOCKED_HEADER) +
                          "ex,BTC,1700000000000000,1700000000000100,true,bid,100.0,1\n"
                          "ex,BTC,1700000000000000,1700000000000100,True,ask,100.1,2\n"
                          "ex,BTC,1700000000000000,1700000000000101,1,bid,99.9,3\n"
                          "ex,BTC,1700000000000000,1700000000000150,false,bid,100.0,0\n"
                          "ex,BTC,1700000000000007,1700000000000160,0,ask,100.2,5\n"
                          "ex,BTC,1700000000000007,1700000000000160,False,bid,99.8,0.5\n"
                          "ex,BTC,1700000000000009,1700000000000200,TRUE,ask,101.0,1\n"
                          "ex,BTC,1700000000000012,1700000000000230,FALSE,ask,101.0,0\n";
  const DepthOutcome o =
      convert_depth_to(dir.file("d.hvdp"), MemoryFiles{{{"a.csv", csv}}}, depth_options());
  ASSERT_EQ(o.error, "");
  const std::int64_t t = T0_US * US;
  EXPECT_EQ(o.records, as_read({
                           snapshot_at(t, 1, {{1000, 1000}, {999, 3000}}, {{1001, 2000}}),
                           update_at(t, 2, 2, {{1000, 0}}, {}),
                           update_at(t + 7 * US, 3, 3, {{998, 500}}, {{1002, 5000}}),
                           snapshot_at(t + 9 * US, 4, {}, {{1010, 1000}}),
                           update_at(t + 12 * US, 5, 5, {}, {{1010, 0}}),
                       }));
  EXPECT_EQ(o.done, (DepthConverted{5, 2, 3, 8, 8, csv.size()}));
}

TEST(DepthCsv, FilesOfAStreamContinueOneAnother) {
  ScratchDir dir;
  // Daily files: the ids go on counting from file to file, a message cut by
  // the end of a file goes on in the next, and each file has its own header
  // (or none), line ends and time unit.
  MemoryFiles files{{
      {"day1.csv", std::string(CLOCKED_HEADER) +
                       "ex,BTC,1700000000000000,1700000000000000,true,bid,100.0,1\r\n"
                       "ex,BTC,1700000000001000,1700000000001000,false,bid,100.0,2\r\n"
                       "ex,BTC,1700000000002000,1700000000002000,false,ask,100.5,1"},
      {"day2.csv",
       "ex,BTC,1700000000002000,1700000000002000,false,ask,100.6,1\n"
       "ex,BTC,1700000000003000,1700000000003000,false,bid,100.1,4\n"},
      {"day3.csv",
       std::string(CLOCKED_HEADER) + "ex,BTC,1700000000004,1700000000004,false,bid,100.1,0\n"},
  }};
  files.chunk = 5;
  const DepthOutcome o = convert_depth_to(dir.file("d.hvdp"), files, depth_options());
  ASSERT_EQ(o.error, "");
  const std::int64_t t = T0_US * US;
  EXPECT_EQ(o.records, as_read({
                           snapshot_at(t, 1, {{1000, 1000}}, {}),
                           update_at(t + 1 * MS, 2, 2, {{1000, 2000}}, {}),
                           update_at(t + 2 * MS, 3, 3, {}, {{1005, 1000}, {1006, 1000}}),
                           update_at(t + 3 * MS, 4, 4, {{1001, 4000}}, {}),
                           update_at(t + 4 * MS, 5, 5, {{1001, 0}}, {}),
                       }));
}

TEST(DepthCsv, TimesBeforeZeroComeThroughExactlyAndFallInTheMillisecondBelow) {
  ScratchDir dir;
  // In nanoseconds and in microseconds; an update's millisecond is its time
  // rounded down, so -1 ns is in millisecond -1, not 0.
  const std::string diffs = std::string(DIFFS_HEADER) +
                            "BTC,-1500000,0,100,100,b,snap,100.0,1\n"
                            "BTC,-1000001,0,101,101,a,set,100.1,2\n"
                            "BTC,-1,0,102,102,b,set,100.0,0\n"
                            "BTC,0,0,103,103,b,set,100.0,3\n";
  DepthConvertOptions opt = depth_options();
  opt.unit = TimeUnit::Nanoseconds;
  const DepthOutcome o = convert_depth_to(dir.file("d.hvdp"), MemoryFiles{{{"a.csv", diffs}}}, opt);
  ASSERT_EQ(o.error, "");
  EXPECT_EQ(o.records, as_read({
                           snapshot_at(-1'500'000, 100, {{1000, 1000}}, {}),
                           update_at(-1'000'001, 101, 101, {}, {{1001, 2000}}),
                           update_at(-1, 102, 102, {{1000, 0}}, {}),
                           update_at(0, 103, 103, {{1000, 3000}}, {}),
                       }));
  ASSERT_EQ(o.records.size(), 4u);
  EXPECT_EQ(std::get<book::DepthUpdate>(o.records[1].entry).time_ms, -2);
  EXPECT_EQ(std::get<book::DepthUpdate>(o.records[2].entry).time_ms, -1);
  EXPECT_EQ(std::get<book::DepthUpdate>(o.records[3].entry).time_ms, 0);

  const std::string clocked = std::string(CLOCKED_HEADER) +
                              "ex,BTC,-1500,-1400,true,bid,100.0,1\n"
                              "ex,BTC,-1,5,false,ask,100.1,2\n";
  opt.unit = TimeUnit::Microseconds;
  const DepthOutcome c =
      convert_depth_to(dir.file("c.hvdp"), MemoryFiles{{{"b.csv", clocked}}}, opt);
  ASSERT_EQ(c.error, "");
  EXPECT_EQ(c.records, as_read({
                           snapshot_at(-1'500 * US, 1, {{1000, 1000}}, {}),
                           update_at(-1 * US, 2, 2, {}, {{1001, 2000}}),
                       }));
  ASSERT_EQ(c.records.size(), 2u);
  EXPECT_EQ(std::get<book::DepthUpdate>(c.records[1].entry).time_ms, -1);
}

TEST(DepthCsv, AnEmptyArchiveIsAnEmptyFileAndATargetIsReplaced) {
  ScratchDir dir;
  const std::string path = dir.file("d.hvdp");
  testing::write_bytes(path, testing::encoded(9, {snapshot_at(5, 1, {{1, 1}}, {})}));
  DepthOutcome o = convert_depth_to(path, MemoryFiles{{{"a.csv", DIFFS_HEADER}}}, depth_options());
  ASSERT_EQ(o.error, "");
  EXPECT_TRUE(o.records.empty());
  EXPECT_EQ(o.done.records, 0u);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"d.hvdp"});
}

// ---------------------------------------------------------------------------
// Random archives against a reference.

// One row as the generator means it, before it is written as text: times in
// microseconds, prices in ticks of 0.1, quantities in lots of 0.001.
struct Meant {
  std::int64_t time_us = 0;
  std::int64_t local_us = 0;
  bool snapshot = false;
  std::int64_t first = 0, last = 0;  // depth diffs only
  bool ask = false;
  std::int64_t price = 0;
  std::int64_t qty = 0;
};

// The rules, as plainly as they can be said: a row that has the key of the
// row before it joins that row's record; any other row starts a record.
// Two-clock records take ids 1, 2, 3, ... in order.
std::vector<book::DepthRecord> reference(const std::vector<Meant>& rows, bool clocked) {
  std::vector<book::DepthRecord> out;
  std::uint64_t id = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Meant& r = rows[i];
    const Meant* p = i > 0 ? &rows[i - 1] : nullptr;
    const bool joins = p != nullptr && p->time_us == r.time_us && p->snapshot == r.snapshot &&
                       (clocked || (p->first == r.first && p->last == r.last));
    if (!joins) {
      const Nanos t = r.time_us * US;
      if (r.snapshot) {
        out.push_back(snapshot_at(t, clocked ? ++id : static_cast<std::uint64_t>(r.last), {}, {}));
      } else {
        const std::uint64_t first = clocked ? ++id : static_cast<std::uint64_t>(r.first);
        const std::uint64_t last = clocked ? id : static_cast<std::uint64_t>(r.last);
        out.push_back(update_at(t, first, last, {}, {}));
      }
    }
    book::Level l{r.price, r.qty};
    std::visit([&](auto& e) { (r.ask ? e.asks : e.bids).push_back(l); }, out.back().entry);
  }
  return as_read(std::move(out));
}

template <class T>
const T& pick(std::mt19937_64& rng, const std::vector<T>& v) {
  return v[rng() % v.size()];
}

// `v` × 10^-places as decimal text, in one of the ways an archive writes it.
std::string decimal_text(std::int64_t v, int places, std::mt19937_64& rng) {
  const bool negative = v < 0;
  std::uint64_t u = negative ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  const std::string sign = negative ? "-" : "";
  switch (rng() % 4) {
    case 0:  // an exponent
      return sign + std::to_string(u) + "e-" + std::to_string(places);
    case 1:  // a zero too many at the end
      u *= 10;
      ++places;
      break;
    default:
      break;
  }
  std::string digits = std::to_string(u);
  const auto p = static_cast<std::size_t>(places);
  if (digits.size() <= p) digits.insert(0, p + 1 - digits.size(), '0');
  if (p > 0) digits.insert(digits.size() - p, ".");
  return sign + digits;
}

std::vector<Meant> random_rows(std::mt19937_64& rng, bool clocked) {
  std::vector<Meant> rows;
  std::int64_t t = T0_US, id = 1'000;
  bool snapshot = true;  // the first message is a snapshot, as a day's file starts
  const int messages = 1 + static_cast<int>(rng() % 40);
  for (int m = 0; m < messages; ++m) {
    if (m > 0) {
      const bool next = rng() % 6 == 0;
      // Two-clock messages are told apart by time and kind only, so one
      // of the same kind must come later; diffs are told by their ids.
      const std::int64_t step = clocked && next == snapshot
                                    ? 1 + static_cast<std::int64_t>(rng() % 3)
                                    : static_cast<std::int64_t>(rng() % 3);
      snapshot = next;
      t += step * (clocked ? 1 : 1'000);
    }
    const std::int64_t first = id + 1;
    const std::int64_t last = snapshot ? first : first + static_cast<std::int64_t>(rng() % 4);
    id = last;
    const int levels = 1 + static_cast<int>(rng() % 6);
    for (int l = 0; l < levels; ++l) {
      Meant r;
      r.time_us = t;
      r.local_us = t + static_cast<std::int64_t>(rng() % 500);
      r.snapshot = snapshot;
      r.first = snapshot ? last : first;
      r.last = last;
      r.ask = rng() % 2;
      r.price = 42'000 + static_cast<std::int64_t>(rng() % 200) - 100;
      r.qty = static_cast<std::int64_t>(rng() % 5 == 0 ? 0 : rng() % 100'000);
      rows.push_back(r);
    }
  }
  return rows;
}

std::string row_text(const Meant& r, bool clocked, bool millis, std::mt19937_64& rng) {
  static const std::vector<std::string> bids = {"b", "bid", "buy", "B", "Bid", "BUY"};
  static const std::vector<std::string> asks = {"a", "ask", "sell", "A", "Ask", "SELL"};
  static const std::vector<std::string> snaps = {"snap", "snapshot", "Snap", "SNAPSHOT"};
  static const std::vector<std::string> sets = {"set", "Set", "SET"};
  static const std::vector<std::string> yes = {"true", "True", "TRUE", "1"};
  static const std::vector<std::string> no = {"false", "False", "FALSE", "0"};
  const std::string side = pick(rng, r.ask ? asks : bids);
  const std::string price = decimal_text(r.price, 1, rng), qty = decimal_text(r.qty, 3, rng);
  if (clocked) {
    return "ex,BTC," + std::to_string(r.time_us) + "," + std::to_string(r.local_us) + "," +
           pick(rng, r.snapshot ? yes : no) + "," + side + "," + price + "," + qty;
  }
  const std::int64_t time = millis ? r.time_us / 1'000 : r.time_us;
  return "BTC," + std::to_string(time) + "," + std::to_string(time + 3) + "," +
         std::to_string(r.first) + "," + std::to_string(r.last) + "," + side + "," +
         pick(rng, r.snapshot ? snaps : sets) + "," + price + "," + qty;
}

// The rows cut into one to three files at any row, each written with its own
// header (or none), line ends, unit (diffs only) and final newline (or none).
MemoryFiles archive(const std::vector<Meant>& rows, bool clocked, std::mt19937_64& rng) {
  std::vector<std::size_t> cuts = {0, rows.size()};
  const int files = 1 + static_cast<int>(rng() % 3);
  for (int i = 1; i < files; ++i) cuts.push_back(rng() % (rows.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  MemoryFiles out;
  for (std::size_t f = 0; f + 1 < cuts.size(); ++f) {
    const bool crlf = rng() % 2, millis = !clocked && rng() % 2;
    std::string text = rng() % 2 ? (clocked ? CLOCKED_HEADER : DIFFS_HEADER) : "";
    if (crlf && !text.empty()) text.insert(text.size() - 1, "\r");
    for (std::size_t i = cuts[f]; i < cuts[f + 1]; ++i) {
      text += row_text(rows[i], clocked, millis, rng);
      if (i + 1 < cuts[f + 1] || rng() % 4 != 0) text += crlf ? "\r\n" : "\n";
    }
    out.files.emplace_back("day" + std::to_string(f) + ".csv", std::move(text));
  }
  out.chunk = pick(rng, std::vector<std::size_t>{1, 3, 17, 4096, 1 << 16});
  return out;
}

TEST(DepthCsv, RandomArchivesMatchAReferenceOfTheSameRules) {
  ScratchDir dir;
  for (const bool clocked : {false, true}) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
      std::mt19937_64 rng(seed * 7919 + clocked);
      const std::vector<Meant> rows = random_rows(rng, clocked);
      MemoryFiles files = archive(rows, clocked, rng);
      DepthConvertOptions opt = depth_options();
      // Half the runs say the layout; the rest find it in each file.
      if (rng() % 2) opt.layout = clocked ? DepthLayout::TwoClock : DepthLayout::Diffs;
      const DepthOutcome o = convert_depth_to(dir.file("d.hvdp"), files, opt);
      ASSERT_EQ(o.error, "") << "seed " << seed << " clocked " << clocked;
      const std::vector<book::DepthRecord> want = reference(rows, clocked);
      EXPECT_EQ(o.records, want) << "seed " << seed << " clocked " << clocked;
      EXPECT_EQ(o.done.records, want.size());
      EXPECT_EQ(o.done.levels, rows.size());
      EXPECT_EQ(o.done.rows, rows.size());
    }
  }
}

// ---------------------------------------------------------------------------
// Exact scaling.

// A step as its text and as digits × 10^-places.
struct StepText {
  const char* text;
  std::int64_t digits;
  int places;
};

constexpr StepText STEPS[] = {{"0.1", 1, 1}, {"0.05", 5, 2},    {"0.25", 25, 2}, {"0.001", 1, 3},
                              {"5", 5, 0},   {"2.5", 25, 1},    {"1", 1, 0},     {"0.0001", 1, 4},
                              {"0.5", 5, 1}, {"0.00025", 25, 5}};

TEST(DepthCsv, MultiplesOfTheStepsComeThroughAndNothingElse) {
  ScratchDir dir;
  std::mt19937_64 rng(20240611);
  for (int round = 0; round < 12; ++round) {
    const StepText& tick = STEPS[rng() % std::size(STEPS)];
    const StepText& lot = STEPS[rng() % std::size(STEPS)];
    DepthConvertOptions opt = depth_options(tick.text, lot.text);
    // A multiple k of the step is k × digits × 10^-places; one more digit
    // r in 1..9 behind it is never one, since r < 10 × digits.
    struct Case {
      std::int64_t price_k, qty_k, r;
      bool ask;
    };
    std::vector<Case> cases;
    std::string exact = DIFFS_HEADER, off = DIFFS_HEADER, first_off_price;
    for (int i = 0; i < 50; ++i) {
      Case c{static_cast<std::int64_t>(rng() % 2'000'000'001) - 1'000'000'000,
             static_cast<std::int64_t>(rng() % 1'000'000'001),
             1 + static_cast<std::int64_t>(rng() % 9), rng() % 2 == 0};
      cases.push_back(c);
      const std::string head = "X,1700000000000,0," + std::to_string(i) + "," + std::to_string(i) +
                               "," + (c.ask ? "a" : "b") + ",set,";
      exact += head + decimal_text(c.price_k * tick.digits, tick.places, rng) + "," +
               decimal_text(c.qty_k * lot.digits, lot.places, rng) + "\n";
      const std::string off_price =
          decimal_text((c.price_k * tick.digits) * 10 + c.r, tick.places + 1, rng);
      if (i == 0) first_off_price = off_price;
      off += head + off_price + "," +
             decimal_text((c.qty_k * lot.digits) * 10 + c.r, lot.places + 1, rng) + "\n";
    }
    const DepthOutcome o =
        convert_depth_to(dir.file("d.hvdp"), MemoryFiles{{{"a.csv", exact}}}, opt);
    ASSERT_EQ(o.error, "") << tick.text << " " << lot.text;
    ASSERT_EQ(o.records.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const auto& u = std::get<book::DepthUpdate>(o.records[i].entry);
      EXPECT_EQ(cases[i].ask ? u.asks : u.bids,
                (std::vector<book::Level>{{cases[i].price_k, cases[i].qty_k}}));
    }

    // Off the steps: the first such row is refused, naming its price.
    const DepthOutcome refused =
        convert_depth_to(dir.file("d.hvdp"), MemoryFiles{{{"a.csv", off}}}, opt);
    // One digit past the step's places: a tick of that digit's place fits it.
    const std::string finer = "0." + std::string(static_cast<std::size_t>(tick.places), '0') + "1";
    EXPECT_EQ(refused.error, "a.csv:2: column price: \"" + first_off_price +
                                 "\" is not a whole number of ticks of " + tick.text +
                                 "; a tick size of " + finer +
                                 " fits it and every price before it");

    // Rounded: bids down, asks up, quantities down.
    opt.round = true;
    const DepthOutcome rounded =
        convert_depth_to(dir.file("d.hvdp"), MemoryFiles{{{"a.csv", off}}}, opt);
    ASSERT_EQ(rounded.error, "");
    ASSERT_EQ(rounded.records.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const auto& u = std::get<book::DepthUpdate>(rounded.records[i].entry);
      const Case& c = cases[i];
      EXPECT_EQ(c.ask ? u.asks : u.bids,
                (std::vector<book::Level>{{c.price_k + (c.ask ? 1 : 0), c.qty_k}}))
          << tick.text << " " << lot.text << " case " << i;
    }
  }
}

TEST(DepthCsv, ProgressIsToldAndEndsAtTheTotals) {
  ScratchDir dir;
  std::string csv = CLOCKED_HEADER;
  for (int i = 0; i < 400; ++i) {
    csv += "ex,BTC," + std::to_string(T0_US + i) + "," + std::to_string(T0_US + i) +
           (i == 0 ? ",true" : ",false") + ",bid,100.0,1\n";
  }
  struct Seen {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  } seen;
  Progress progress{&seen,
                    [](void* c, std::uint64_t bytes, std::uint64_t rows) {
                      static_cast<Seen*>(c)->reports.emplace_back(bytes, rows);
                      return true;
                    },
                    4096};
  MemoryFiles files{{{"a.csv", csv}}};
  files.chunk = 1000;
  const DepthOutcome o = convert_depth_to(dir.file("d.hvdp"), files, depth_options(), progress);
  ASSERT_EQ(o.error, "");
  ASSERT_GE(seen.reports.size(), 3u);
  for (std::size_t i = 1; i < seen.reports.size(); ++i) {
    EXPECT_GE(seen.reports[i].first, seen.reports[i - 1].first);
    EXPECT_GE(seen.reports[i].second, seen.reports[i - 1].second);
  }
  EXPECT_EQ(seen.reports.back(), std::make_pair(std::uint64_t{csv.size()}, std::uint64_t{400}));
}

}  // namespace
}  // namespace halvorn::data
