// Funding history: rates read exactly into billionths or refused, and each
// rate priced at the last trade of the final tick at or before its time.

#include "data/funding_csv.hpp"

#include <gtest/gtest.h>

#include "csv_files.hpp"

namespace halvorn::data {
namespace {

using engine::Tick;
using testing::MemoryFiles;
using testing::open_ok;
using testing::ScratchDir;

std::variant<std::vector<FundingRow>, ConvertError> read(MemoryFiles files) {
  return read_funding(files.input());
}

TEST(Funding, RatesAreReadExactlyAcrossFiles) {
  auto r = read(MemoryFiles{{{"a.csv",
                              "calc_time,funding_interval_hours,last_funding_rate\r\n"
                              "1700000000000,8,0.00010000\r\n"
                              "1700028800000,8,-0.00002500\r\n"},
                             {"b.csv", "1700057600000,4,0\n1700072000000,4,1.5e-4\n"}}});
  ASSERT_TRUE(std::holds_alternative<std::vector<FundingRow>>(r))
      << std::get<ConvertError>(r).display();
  const Nanos t = 1'700'000'000'000'000'000;
  const Nanos hour = 3'600'000'000'000;
  EXPECT_EQ(std::get<std::vector<FundingRow>>(r),
            (std::vector<FundingRow>{{t, 100'000, 8},
                                     {t + 8 * hour, -25'000, 8},
                                     {t + 16 * hour, 0, 4},
                                     {t + 20 * hour, 150'000, 4}}));
}

TEST(Funding, AnInexactOrMisplacedRateIsRefused) {
  auto r = read(MemoryFiles{{{"f.csv", "1700000000000,8,0.0000000001\n"}}});
  ASSERT_TRUE(std::holds_alternative<ConvertError>(r));
  EXPECT_EQ(std::get<ConvertError>(r).display(),
            "f.csv:1: column last_funding_rate: \"0.0000000001\" is not a whole number of "
            "billionths");
  r = read(MemoryFiles{{{"f.csv", "1700000000001,8,0.0001\n1700000000000,8,0.0001\n"}}});
  ASSERT_TRUE(std::holds_alternative<ConvertError>(r));
  EXPECT_EQ(std::get<ConvertError>(r).display(),
            "f.csv:2: column calc_time: \"1700000000000\" goes back in time: "
            "1700000000000000000 ns is before 1700000000001000000 ns at line 1");
  r = read(MemoryFiles{{{"f.csv", "1,1,1,1,1700000000000,true\n"}}});
  ASSERT_TRUE(std::holds_alternative<ConvertError>(r));
  EXPECT_EQ(std::get<ConvertError>(r).display(),
            "f.csv: the first row looks like one of the trades layout, which cannot be a funding "
            "file (funding history); give the layout if it is one of those");
}

TEST(Funding, EachRateTakesThePriceOfTheFinalTickAtOrBeforeIt) {
  ScratchDir dir;
  const std::string path = dir.file("p.hvtk");
  const std::vector<Tick> ticks = {{10, 10, 1, 1, 1, 0, 0, 0},
                                   {20, 20, 2, 2, 2, 0, 0, 0},
                                   {20, 20, 3, 3, 3, 0, 0, 0},
                                   {30, 30, 4, 4, 4, 0, 0, 0},
                                   {40, 40, 5, 5, 5, 0, 0, 0}};
  testing::write_bytes(path, encode(1, ticks));
  const std::vector<FundingRow> rates = {{20, 7, 8}, {25, -7, 8}, {30, 9, 8}, {100, 1, 8}};
  TickReader reader = open_ok(path);
  auto p = price_funding(rates, reader);
  ASSERT_TRUE(std::holds_alternative<std::vector<PricedRate>>(p))
      << std::get<PricingError>(p).display();
  EXPECT_EQ(std::get<std::vector<PricedRate>>(p),
            (std::vector<PricedRate>{{20, 7, 3}, {25, -7, 3}, {30, 9, 4}, {100, 1, 5}}));

  const auto error_of = [&](std::vector<FundingRow> rs) {
    TickReader r = open_ok(path);
    auto q = price_funding(rs, r);
    return std::holds_alternative<PricingError>(q) ? std::get<PricingError>(q).display() : "";
  };
  EXPECT_EQ(error_of({{9, 100'000, 8}}),
            "no tick at or before the funding rate at 9 ns (rate 100000 billionths, number 0 "
            "from 0)");
  EXPECT_EQ(error_of({{30, 1, 8}, {20, 1, 8}}),
            "funding rate 1 at 20 ns is before the rate before it, at 30 ns");
  // A damaged tick file is the reader's error.
  std::vector<std::uint8_t> bytes = encode(1, ticks);
  bytes.resize(bytes.size() - 1);
  testing::write_bytes(path, bytes);
  EXPECT_EQ(error_of({{100, 1, 8}}), "tick file: truncated: needed 352 bytes, 32 available");
}

}  // namespace
}  // namespace halvorn::data
