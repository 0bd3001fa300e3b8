// CSV archives to ticks, exact to the tick: small files written by hand for
// the rules one at a time, then seeded random archives in every layout --
// with and without headers, in milliseconds and microseconds, over several
// files, with CRLF, a missing final newline and trailing blank lines, read
// in pieces down to one byte -- against a reference written here from the
// integers the archives were made from.

#include "data/csv_convert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "csv_files.hpp"

namespace halvorn::data {
namespace {

using engine::Tick;
using testing::convert_to;
using testing::MemoryFiles;
using testing::options;
using testing::ScratchDir;

constexpr std::int64_t MS = 1'000'000;

TEST(Convert, TradesWithAHeaderInMilliseconds) {
  ScratchDir dir;
  MemoryFiles trades{{{"day1.csv",
                       "id,price,qty,quote_qty,time,is_buyer_maker\n"
                       "1,42123.40,0.013,547.6042,1700000000123,true\n"
                       "2,42123.5,0.002,84.247,1700000000124,False\n"}}};
  auto o = convert_to(dir.file("t.hvtk"), trades, nullptr, options());
  ASSERT_EQ(o.error, "");
  const Nanos t1 = 1'700'000'000'123 * MS, t2 = t1 + MS;
  EXPECT_EQ(o.ticks, (std::vector<Tick>{{t1, t1, 421234, 421234, 421234, 0, 0, 13},
                                        {t2, t2, 421235, 421235, 421235, 0, 0, 15}}));
  Converted done{2, 2, 0, 0, trades.files[0].second.size()};
  done.clock = ClockFindings{2, 0, 0, 0, 0, 0, 0};  // one clock: local is exchange time
  EXPECT_EQ(o.done, done);
}

TEST(Convert, QuotesMergeWithTradesFirstAtEqualTimes) {
  ScratchDir dir;
  MemoryFiles trades{{{"t.csv",
                       "1,42123.4,0.013,0,1700000000123,true\n"
                       "2,42123.5,0.002,0,1700000000124,false\n"}}};
  MemoryFiles quotes{{{"q.csv",
                       "update_id,best_bid_price,best_bid_qty,best_ask_price,best_ask_qty,"
                       "transaction_time,event_time\n"
                       "9,42123.0,1,42123.9,1,1700000000090,1700000000091\n"
                       "10,42123.3,1,42123.5,1,1700000000100,1700000000101\n"
                       "11,42123.4,1,42123.5,1,1700000000123,1700000000124\n"
                       "12,42123.4,2,42123.5,3,1700000000123,1700000000125\n"
                       "13,42123.4,2,42123.6,3,1700000000130,1700000000131\n"}}};
  auto o = convert_to(dir.file("m.hvtk"), trades, &quotes, options());
  ASSERT_EQ(o.error, "");
  const Nanos t = 1'700'000'000'123 * MS;
  // Quotes before the first trade make no tick; the latest is carried by the
  // trade.  The quote at the trade's own time comes after it; the one that
  // repeats both prices makes nothing.
  EXPECT_EQ(o.ticks, (std::vector<Tick>{
                         {t, t, 421234, 421234, 421234, 421233, 421235, 13},
                         {t, t, 421234, 421234, 421234, 421234, 421235, 13},
                         {t + MS, t + MS, 421235, 421235, 421235, 421234, 421235, 15},
                         {t + 7 * MS, t + 7 * MS, 421235, 421235, 421235, 421234, 421236, 15}}));
  EXPECT_EQ(o.done.quotes, 5u);
  EXPECT_EQ(o.done.quote_ticks, 2u);
}

TEST(Convert, EachFileHasItsOwnHeaderAndUnit) {
  ScratchDir dir;
  // A day in milliseconds with a header, then one in microseconds without.
  MemoryFiles trades{{{"a.csv",
                       "id,price,qty,quote_qty,time,is_buyer_maker\r\n"
                       "1,1.0,1,1,1700000000000,0\r\n"},
                      {"b.csv", "2,2.0,1,1,1700000000000500,1\r\n\r\n\n"}}};
  auto o = convert_to(dir.file("u.hvtk"), trades, nullptr, options("0.5", "1"));
  ASSERT_EQ(o.error, "");
  ASSERT_EQ(o.ticks.size(), 2u);
  EXPECT_EQ(o.ticks[0].exch_ts, 1'700'000'000'000 * MS);
  EXPECT_EQ(o.ticks[1].exch_ts, 1'700'000'000'000 * MS + 500'000);
  EXPECT_EQ(o.ticks[1].last, 4);
  EXPECT_EQ(o.ticks[1].volume, 2);
}

TEST(Convert, ProgressIsToldAsBytesArriveAndAtTheEnd) {
  ScratchDir dir;
  std::string text;
  for (int i = 0; i < 100; ++i)
    text += "1,1,1,1," + std::to_string(1'700'000'000'000 + i) + ",true\n";
  MemoryFiles trades{{{"a.csv", text}}};
  trades.chunk = 100;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
  Progress p{&calls,
             [](void* c, std::uint64_t bytes, std::uint64_t rows) {
               static_cast<decltype(calls)*>(c)->push_back({bytes, rows});
               return true;
             },
             1000};
  Input t = trades.input();
  Conversion c = convert_csv(dir.file("p.hvtk"), t, nullptr, options("1", "1"), p);
  ASSERT_TRUE(std::holds_alternative<Converted>(c));
  // About every 1000 bytes of the 2700, then the totals.
  ASSERT_EQ(calls.size(), 3u);
  for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
    EXPECT_GE(calls[i].first, 1000 * (i + 1));
    EXPECT_LT(calls[i].first, 1000 * (i + 1) + 100);
  }
  EXPECT_EQ(calls.back(), (std::pair<std::uint64_t, std::uint64_t>{text.size(), 100}));
}

TEST(Convert, RoundingGoesAgainstTheStrategy) {
  ScratchDir dir;
  ConvertOptions opt = options("1", "0.01");
  opt.round = true;
  // Buyer was maker: the seller took, so the price rounds down; the other
  // way up.  Bids round down, asks up, quantities down.
  MemoryFiles trades{{{"t.csv",
                       "1,10.5,0.019,0,1700000000001,true\n"
                       "2,10.5,0.011,0,1700000000002,false\n"}}};
  MemoryFiles quotes{{{"q.csv", "1,9.5,1,11.5,1,1700000000000,0\n"}}};
  auto o = convert_to(dir.file("r.hvtk"), trades, &quotes, opt);
  ASSERT_EQ(o.error, "");
  ASSERT_EQ(o.ticks.size(), 2u);
  EXPECT_EQ(o.ticks[0].last, 10);
  EXPECT_EQ(o.ticks[1].last, 11);
  EXPECT_EQ(o.ticks[0].bid, 9);
  EXPECT_EQ(o.ticks[0].ask, 12);
  EXPECT_EQ(o.ticks[1].volume, 2);

  MemoryFiles sides{{{"s.csv",
                      "x,BTCUSDT,1700000000000001,1700000000000009,a,buy,10.5,1\n"
                      "x,BTCUSDT,1700000000000002,1700000000000009,b,sell,10.5,1\n"}}};
  o = convert_to(dir.file("s.hvtk"), sides, nullptr, opt);
  ASSERT_EQ(o.error, "");
  ASSERT_EQ(o.ticks.size(), 2u);
  EXPECT_EQ(o.ticks[0].last, 11);
  EXPECT_EQ(o.ticks[1].last, 10);
  EXPECT_EQ(o.ticks[0].local_ts, 1'700'000'000'000'009'000);
}

TEST(Convert, ASortingWindowTakesRowsThatArriveLate) {
  ScratchDir dir;
  ConvertOptions opt = options("1", "1");
  opt.trades.sort_window = 3;
  // Row 4 is two rows late; rows of equal time keep their order.
  MemoryFiles trades{{{"t.csv",
                       "1,1,1,0,1700000000001,true\n"
                       "2,2,1,0,1700000000003,true\n"
                       "3,3,1,0,1700000000003,true\n"
                       "4,4,1,0,1700000000002,true\n"
                       "5,5,1,0,1700000000004,true\n"}}};
  auto o = convert_to(dir.file("w.hvtk"), trades, nullptr, opt);
  ASSERT_EQ(o.error, "");
  std::vector<std::int64_t> prices;
  for (const Tick& t : o.ticks) prices.push_back(t.last);
  EXPECT_EQ(prices, (std::vector<std::int64_t>{1, 4, 2, 3, 5}));
}

// ---------------------------------------------------------------------------
// Random archives against the reference

struct StepDef {
  const char* text;
  std::uint64_t mantissa;
  int exponent;
};

// count × mantissa × 10^exponent, as plain decimal text with `zeros` more
// trailing zeros than it needs.
std::string decimal(std::int64_t count, const StepDef& s, int zeros) {
  std::string digits =
      std::to_string(static_cast<std::uint64_t>(count < 0 ? -count : count) * s.mantissa);
  std::string out;
  if (s.exponent >= 0) {
    out = digits + std::string(s.exponent, '0');
    if (zeros > 0) out += "." + std::string(zeros, '0');
  } else {
    const int places = -s.exponent;
    while (static_cast<int>(digits.size()) <= places) digits.insert(0, "0");
    out = digits.substr(0, digits.size() - places) + "." + digits.substr(digits.size() - places) +
          std::string(zeros, '0');
  }
  return (count < 0 ? "-" : "") + out;
}

struct Trade {
  Nanos exch, local;
  std::int64_t price, qty;
  bool buyer_maker;
};
struct Quote {
  Nanos exch, local;
  std::int64_t bid, ask;
};

// The rules, as plainly as they can be written: every event in one list,
// sorted by time with trades before quotes at equal times, then walked.
std::vector<Tick> reference(const std::vector<Trade>& trades, const std::vector<Quote>& quotes) {
  struct Event {
    Nanos t;
    int kind;  // 0 trade, 1 quote
    std::size_t i;
  };
  std::vector<Event> events;
  for (std::size_t i = 0; i < trades.size(); ++i) events.push_back({trades[i].exch, 0, i});
  for (std::size_t i = 0; i < quotes.size(); ++i) events.push_back({quotes[i].exch, 1, i});
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.t != b.t ? a.t < b.t : a.kind < b.kind;
  });
  std::vector<Tick> out;
  std::int64_t bid = 0, ask = 0, last = 0, volume = 0;
  bool traded = false;
  for (const Event& e : events) {
    if (e.kind == 0) {
      const Trade& t = trades[e.i];
      volume += t.qty;
      last = t.price;
      traded = true;
      out.push_back({t.exch, t.local, last, last, last, bid, ask, volume});
    } else {
      const Quote& q = quotes[e.i];
      const bool changed = q.bid != bid || q.ask != ask;
      bid = q.bid;
      ask = q.ask;
      if (changed && traded) out.push_back({q.exch, q.local, last, last, last, bid, ask, volume});
    }
  }
  return out;
}

// Rows written as the files of one stream: cut into one to three files,
// each with or without its header, LF or CRLF, a final newline or not, and
// perhaps blank lines at the end.
MemoryFiles archive(const std::vector<std::string>& rows, Layout layout, const char* prefix,
                    std::mt19937_64& rng) {
  MemoryFiles m;
  const std::size_t files = 1 + rng() % 3;
  std::vector<std::size_t> cuts = {0, rows.size()};
  for (std::size_t i = 1; i < files; ++i) cuts.push_back(rng() % (rows.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  for (std::size_t f = 0; f + 1 < cuts.size(); ++f) {
    const char* nl = rng() % 2 ? "\r\n" : "\n";
    std::string text = rng() % 2 ? std::string(layout_header(layout)) + nl : "";
    for (std::size_t r = cuts[f]; r < cuts[f + 1]; ++r) text += rows[r] + nl;
    const std::size_t nl_size = std::strlen(nl);
    if (rng() % 3 == 0 && text.size() >= nl_size) text.erase(text.size() - nl_size);
    if (rng() % 3 == 0) text += std::string(nl) + "  " + nl;
    m.files.push_back({prefix + std::to_string(f) + ".csv", text});
  }
  const std::size_t chunks[] = {1, 3, 64, 1 << 16};
  m.chunk = chunks[rng() % 4];
  return m;
}

std::string boolean(bool v, std::mt19937_64& rng) {
  static const char* const t[] = {"true", "True", "1"};
  static const char* const f[] = {"false", "False", "0"};
  const std::size_t i = static_cast<std::size_t>(rng() % 3);
  return v ? t[i] : f[i];
}

TEST(ConvertProperty, RandomArchivesInEveryLayoutMatchTheReference) {
  std::mt19937_64 rng(77);
  const StepDef ticks[] = {{"0.1", 1, -1}, {"0.5", 5, -1}, {"5", 5, 0}, {"0.01", 1, -2}};
  const StepDef lots[] = {{"0.001", 1, -3}, {"1", 1, 0}, {"0.25", 25, -2}};
  const Layout trade_layouts[] = {Layout::Trades, Layout::AggTrades, Layout::ClockedTrades};
  const Layout quote_layouts[] = {Layout::Detect, Layout::BestQuotes, Layout::ClockedQuotes};
  ScratchDir dir;
  for (int round = 0; round < 90; ++round) {
    const StepDef& tick = ticks[rng() % 4];
    const StepDef& lot = lots[rng() % 3];
    const Layout tl = trade_layouts[round % 3];
    const Layout ql = quote_layouts[(round / 3) % 3];
    const bool micros = rng() % 2;
    const std::int64_t unit = micros ? 1'000 : MS;
    const std::int64_t start = micros ? 1'650'000'000'000'000 : 1'650'000'000'000;

    // Times from one pool, so that trades and quotes often share one.
    std::vector<Trade> trades;
    std::vector<Quote> quotes;
    std::vector<std::string> trade_rows, quote_rows;
    std::int64_t raw = start, id = 1 + static_cast<std::int64_t>(rng() % 1000);
    const int n = 20 + static_cast<int>(rng() % 120);
    for (int i = 0; i < n; ++i) {
      raw += static_cast<std::int64_t>(rng() % 3);
      const std::int64_t delay = static_cast<std::int64_t>(rng() % 50);
      const std::string t = std::to_string(raw), lt = std::to_string(raw + delay);
      const int zeros = static_cast<int>(rng() % 2);
      if (ql == Layout::Detect || rng() % 2) {
        Trade tr{raw * unit, raw * unit, 1 + static_cast<std::int64_t>(rng() % 90'000),
                 static_cast<std::int64_t>(rng() % 5'000), rng() % 2 == 0};
        const std::string p = decimal(tr.price, tick, zeros), q = decimal(tr.qty, lot, zeros);
        if (tl == Layout::Trades) {
          trade_rows.push_back(std::to_string(id) + "," + p + "," + q + ",12.5," + t + "," +
                               boolean(tr.buyer_maker, rng));
        } else if (tl == Layout::AggTrades) {
          trade_rows.push_back(std::to_string(id) + "," + p + "," + q + ",7,9," + t + "," +
                               boolean(tr.buyer_maker, rng));
        } else {
          tr.local = (raw + delay) * unit;
          trade_rows.push_back("venue,BTCUSDT," + t + "," + lt + ",x" + std::to_string(id) + "," +
                               (tr.buyer_maker ? "sell" : "buy") + "," + p + "," + q);
        }
        ++id;
        trades.push_back(tr);
      } else {
        Quote qu{raw * unit, raw * unit, 40'000 + static_cast<std::int64_t>(rng() % 4),
                 40'005 + static_cast<std::int64_t>(rng() % 4)};
        const std::string b = decimal(qu.bid, tick, zeros), a = decimal(qu.ask, tick, zeros);
        if (ql == Layout::BestQuotes) {
          quote_rows.push_back(std::to_string(i) + "," + b + ",1.5," + a + ",2," + t + "," + lt);
        } else {
          qu.local = (raw + delay) * unit;
          quote_rows.push_back("venue,BTCUSDT," + t + "," + lt + ",3," + a + "," + b + ",0.5");
        }
        quotes.push_back(qu);
      }
    }
    ConvertOptions opt = options(tick.text, lot.text);
    MemoryFiles tf = archive(trade_rows, tl, "t", rng);
    MemoryFiles qf = archive(quote_rows, ql == Layout::Detect ? tl : ql, "q", rng);
    auto o = convert_to(dir.file("p.hvtk"), tf, ql == Layout::Detect ? nullptr : &qf, opt);
    ASSERT_EQ(o.error, "") << "round " << round;
    ASSERT_EQ(o.ticks, reference(trades, quotes)) << "round " << round;
    EXPECT_EQ(o.done.trades, trades.size());
    EXPECT_EQ(o.done.quotes, quotes.size());
  }
}

}  // namespace
}  // namespace halvorn::data
