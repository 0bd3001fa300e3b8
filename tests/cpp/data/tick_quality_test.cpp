// What a series says about its data: the clocks measured tick by tick and
// from a sample of a file, and the quote a trade lies outside of.

#include "data/tick_quality.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::ScratchDir;

constexpr Nanos T0 = 1'704'067'200'000'000'000;
constexpr Nanos MS = 1'000'000;

engine::Tick at(Nanos exch, Nanos skew) {
  return engine::Tick{exch, exch + skew, 1, 1, 1, 0, 0, 0};
}

TEST(ClockMeter, MeasuresEveryTickAndTakesTheMedianOfAnEvenSample) {
  // Local minus exchange time cycles through -20 ms to 79 ms, a million
  // ticks: the sample the median is taken from is every 256th, and a cycle
  // of 100 has every value in it equally often.
  ClockMeter meter;
  std::vector<Nanos> skews;
  for (Nanos i = 0; i < 1'000'000; ++i) {
    const Nanos skew = (i % 100 - 20) * MS;
    meter.add(T0 + i * MS, T0 + i * MS + skew);
    skews.push_back(skew);
  }
  const ClockFindings f = meter.findings();
  EXPECT_EQ((std::tuple{f.ticks, f.min, f.max}), (std::tuple{1'000'000u, -20 * MS, 79 * MS}));
  // Ticks more than a millisecond behind: -20 ms to -2 ms, 19 of each 100.
  EXPECT_EQ(f.behind, 190'000u);
  // The step from 79 ms back to -20 ms is no jump of a second.
  EXPECT_EQ(f.jumps, 0u);
  std::nth_element(skews.begin(), skews.begin() + 500'000, skews.end());
  EXPECT_NEAR(static_cast<double>(f.median), static_cast<double>(skews[500'000]), 2.0 * MS);
}

TEST(ClockMeter, TheSampleStandsAtEveryStrideThTickFromTheFirst) {
  // Local minus exchange time equal to the tick's position: the sample of
  // 100_000 is every 16th from 0 (6_250 values), whose median is 50_000.
  ClockMeter meter;
  for (Nanos i = 0; i < 100'000; ++i) meter.add(T0, T0 + i);
  EXPECT_EQ(meter.findings().median, 50'000);
}

TEST(ClockMeter, AJumpIsAChangeOfMoreThanASecondEitherWay) {
  ClockMeter meter;
  for (const Nanos skew : {Nanos{0}, 2'500 * MS, 2'500 * MS, 0 * MS, 999 * MS})
    meter.add(T0, T0 + skew);
  const ClockFindings f = meter.findings();
  EXPECT_EQ((std::tuple{f.jumps, f.largest_jump, f.behind}), (std::tuple{2u, 2'500 * MS, 0u}));
  // A sample's stretches do not follow one another: nothing is measured
  // across them.
  ClockMeter sampled;
  sampled.add(T0, T0);
  sampled.skip();
  sampled.add(T0, T0 + 5'000 * MS);
  EXPECT_EQ(sampled.findings().jumps, 0u);
}

TEST(SampleTickClock, ReadsSpreadStretchesOfALargeFileAndAllOfASmallOne) {
  ScratchDir dir;
  // The clock falls behind by 2 ms in the last tenth of the file only.
  std::vector<engine::Tick> ticks;
  for (Nanos i = 0; i < 100'000; ++i) ticks.push_back(at(T0 + i * MS, i >= 90'000 ? -2 * MS : MS));
  testing::write_bytes(dir.file("big.hvtk"), encode(1, ticks));
  const std::optional<ClockFindings> big = sample_tick_clock(dir.file("big.hvtk"));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->ticks, 64u * 64u);
  // Stretches start at i × (100000 - 64) / 63: the last seven lie past 90000.
  EXPECT_EQ((std::tuple{big->behind, big->min}), (std::tuple{7u * 64u, -2 * MS}));
  ticks.resize(100);
  testing::write_bytes(dir.file("small.hvtk"), encode(1, ticks));
  EXPECT_EQ(sample_tick_clock(dir.file("small.hvtk"))->ticks, 100u);
  EXPECT_FALSE(sample_tick_clock(dir.file("missing.hvtk")));
  EXPECT_EQ(last_tick_time(dir.file("small.hvtk")), T0 + 99 * MS);
}

TEST(OutsideQuote, CountsBasisPointsOfThePriceBeyondEitherSide) {
  EXPECT_EQ(outside_quote_bp(100, 99, 101), 0.0);
  EXPECT_EQ(outside_quote_bp(10'000, 10'001, 10'002), 1.0);
  EXPECT_EQ(outside_quote_bp(10'010, 10'000, 10'005), 5'0000.0 / 10'010);
  EXPECT_FALSE(outside_quote_bp(100, 0, 101));  // no bid: no quote to be outside of
  EXPECT_FALSE(outside_quote_bp(0, 99, 101));
}

}  // namespace
}  // namespace halvorn::data
