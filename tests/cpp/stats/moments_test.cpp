// Sharpe ratio and sample moments: the validation order, the worked values
// and the summation order that fixes their last bits.

#include "stats/moments.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace halvorn::stats {
namespace {

constexpr double NAN64 = std::numeric_limits<double>::quiet_NaN();
constexpr double INF64 = std::numeric_limits<double>::infinity();

template <class T>
std::string error_text(const Result<T>& r) {
  const StatsError* e = error_of(r);
  return e != nullptr ? e->display() : "(no error)";
}

TEST(StatsError, DisplaysEveryKindWithItsFixedText) {
  EXPECT_EQ((StatsError{TooFewObservations{3, 4}}).display(),
            "too few observations: got 3, need at least 4");
  EXPECT_EQ((StatsError{ZeroVariance{}}).display(),
            "sample has zero variance; Sharpe ratio is undefined");
  EXPECT_EQ((StatsError{MalformedMatrix{"no configurations"}}).display(),
            "malformed performance matrix: no configurations");
  EXPECT_EQ((StatsError{BadSplitCount{26}}).display(),
            "split count must be even, at least 4 and at most 24, got 26");
  EXPECT_EQ((StatsError{NotFinite{"confidence"}}).display(), "confidence must be finite");
  // Counts are machine words and print in full.
  EXPECT_EQ((StatsError{TooFewObservations{18446744073709551615u, 2}}).display(),
            "too few observations: got 18446744073709551615, need at least 2");
}

TEST(ReturnSeries, CountIsCheckedBeforeValuesThenVariance) {
  const std::vector<double> three = {1.0, 2.0, 3.0};
  const std::vector<double> three_nan = {1.0, NAN64, 3.0};
  const std::vector<double> empty;
  for (const auto* r : {&three, &three_nan}) {
    EXPECT_EQ(error_text(sharpe_ratio(*r)), "too few observations: got 3, need at least 4");
    EXPECT_EQ(error_text(Moments::from_returns(*r)),
              "too few observations: got 3, need at least 4");
  }
  EXPECT_EQ(error_text(sharpe_ratio(empty)), "too few observations: got 0, need at least 4");

  for (double bad : {NAN64, INF64, -INF64}) {
    const std::vector<double> r = {1.0, 2.0, 3.0, 4.0, bad};
    EXPECT_EQ(error_text(sharpe_ratio(r)), "return must be finite");
    EXPECT_EQ(error_text(Moments::from_returns(r)), "return must be finite");
  }

  const std::vector<double> flat = {0.01, 0.01, 0.01, 0.01};
  EXPECT_EQ(error_text(sharpe_ratio(flat)), "sample has zero variance; Sharpe ratio is undefined");
  EXPECT_EQ(error_text(Moments::from_returns(flat)),
            "sample has zero variance; Sharpe ratio is undefined");
}

TEST(ReturnSeries, OneToFourGivesTheWorkedValues) {
  const std::vector<double> r = {1.0, 2.0, 3.0, 4.0};
  const double sharpe = std::get<double>(sharpe_ratio(r));
  // The published value has 15 significant digits, so it can only pin the
  // result to half a unit in its last place.
  EXPECT_NEAR(sharpe, 1.93649167310371, 5e-15);
  // 2.5 / sqrt(5 / 3) exactly is 1.93649167310370853...; every step rounds
  // once, and the result is the nearest double.
  EXPECT_EQ(sharpe, 1.9364916731037085);

  const Moments m = std::get<Moments>(Moments::from_returns(r));
  EXPECT_EQ(m.n, 4u);
  EXPECT_EQ(m.mean, 2.5);
  // Every partial sum is exact here (halves and their squares), so skewness
  // and kurtosis are the exact quotients.
  EXPECT_EQ(m.skewness, 0.0);
  EXPECT_EQ(m.kurtosis, 1.64);
  EXPECT_EQ(m.mean / m.std_dev, sharpe);
}

TEST(ReturnSeries, MomentsArePopulationMomentsNotExcess) {
  // Mean 1, deviations -1, -1, -1, 3: m2 = 3, m3 = 6, m4 = 21, so the
  // skewness is 6 / 3^1.5 = 2 / sqrt(3) and the kurtosis 21 / 9 = 7 / 3.
  // A sample-adjusted or excess formula gives other numbers.
  const std::vector<double> r = {0.0, 0.0, 0.0, 4.0};
  const Moments m = std::get<Moments>(Moments::from_returns(r));
  EXPECT_DOUBLE_EQ(m.skewness, 2.0 / std::sqrt(3.0));
  EXPECT_DOUBLE_EQ(m.kurtosis, 7.0 / 3.0);
  EXPECT_DOUBLE_EQ(m.std_dev, 2.0);  // sqrt(12 / 3): divisor n - 1
  const std::vector<double> mirrored = {0.0, 0.0, 0.0, -4.0};
  EXPECT_DOUBLE_EQ(std::get<Moments>(Moments::from_returns(mirrored)).skewness,
                   -2.0 / std::sqrt(3.0));
}

TEST(ReturnSeries, SumsRunLeftToRightInInputOrder) {
  // 1e16 + 1 rounds back to 1e16 (the spacing there is 2), so a left-to-right
  // sum is 1e16, 1e16, 0, 1 and the mean 0.25; a pairwise or compensated sum
  // would find 0.5.
  const std::vector<double> r = {1e16, 1.0, -1e16, 1.0};
  EXPECT_EQ(std::get<Moments>(Moments::from_returns(r)).mean, 0.25);
}

TEST(ReturnSeries, SharpeFromMomentsEqualsSharpeRatioBitForBit) {
  // Irregular values make every rounding visible; the two routes share their
  // sums and their variance formula, so they agree exactly.
  std::vector<double> r;
  double x = 0.0123;
  for (int i = 0; i < 1000; ++i) {
    x = std::fmod(x * 7919.0 + 0.3183098861837907, 1.0);
    r.push_back((x - 0.47) * 0.02);
  }
  const Moments m = std::get<Moments>(Moments::from_returns(r));
  EXPECT_EQ(m.mean / m.std_dev, std::get<double>(sharpe_ratio(r)));
  EXPECT_EQ(m.n, 1000u);
}

}  // namespace
}  // namespace halvorn::stats
