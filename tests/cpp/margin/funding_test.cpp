// Funding settlement against a position and the schedule's time windows.

#include <gtest/gtest.h>

#include <vector>

#include "margin/funding.hpp"

namespace halvorn::margin {
namespace {

TEST(FundingRate, LongsPayShortsAtAPositiveRate) {
  const FundingRate rate{5, 100'000, 600'000};
  EXPECT_EQ(rate.settle(10'000, 100), (FundingPayment{5, -60'000'000, 100'000, 600'000}));
  EXPECT_EQ(rate.settle(10'000, -100).amount, 60'000'000);
  EXPECT_EQ((FundingRate{5, -100'000, 600'000}).settle(10'000, 100).amount, 60'000'000);
  EXPECT_EQ(rate.settle(10'000, 0).amount, 0);
  // The magnitude truncates before the sign: 1 / 10^9 is 0 either way.
  EXPECT_EQ((FundingRate{0, 1, 1}).settle(1, 1).amount, 0);
  EXPECT_EQ((FundingRate{0, -999'999'999, 1}).settle(1, 1).amount, 0);
  // A saturated payment negates without wrapping.
  EXPECT_EQ((FundingRate{0, 2'000'000'000, I64_MAX}).settle(1, 1).amount, -I64_MAX);
}

TEST(FundingSchedule, BetweenCoversEachEntryOnceAcrossConsecutiveWindows) {
  const FundingSchedule schedule{{{10, 1, 1}, {20, 2, 1}, {30, 3, 1}}};
  auto times = [&](Nanos after, Nanos up_to) {
    std::vector<Nanos> out;
    for (const FundingRate& r : schedule.between(after, up_to)) out.push_back(r.time);
    return out;
  };
  EXPECT_EQ(times(10, 30), (std::vector<Nanos>{20, 30}));
  EXPECT_EQ(times(I64_MIN, 10), (std::vector<Nanos>{10}));
  EXPECT_TRUE(times(30, 40).empty());
  EXPECT_TRUE(times(20, 20).empty());
  EXPECT_TRUE(times(25, 15).empty());
  EXPECT_TRUE(FundingSchedule{}.between(I64_MIN, I64_MAX).empty());
}

}  // namespace
}  // namespace halvorn::margin
