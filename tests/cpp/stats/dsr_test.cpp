// Probabilistic and deflated Sharpe ratio and minimum track record length:
// worked values, the order of the checks, and how the three relate.

#include "stats/dsr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace halvorn::stats {
namespace {

constexpr double NAN64 = std::numeric_limits<double>::quiet_NaN();
constexpr double INF64 = std::numeric_limits<double>::infinity();
constexpr const char* ZERO_VARIANCE = "sample has zero variance; Sharpe ratio is undefined";

std::string error_text(const Result<double>& r) {
  const StatsError* e = error_of(r);
  return e != nullptr ? e->display() : "(no error)";
}

double value(const Result<double>& r) {
  EXPECT_EQ(error_of(r), nullptr) << error_text(r);
  return std::holds_alternative<double>(r) ? std::get<double>(r) : NAN64;
}

// The published values below carry 15 significant digits; each tolerance is
// half a unit in the last of them.

TEST(ProbabilisticSharpe, WorkedValues) {
  // v = 1.005, z = sqrt(99) * 0.1 / sqrt(1.005).
  EXPECT_NEAR(value(probabilistic_sharpe_ratio(100, 0.1, 0.0, 0.0, 3.0)), 0.839525417184450, 5e-16);
  EXPECT_NEAR(value(probabilistic_sharpe_ratio(252, 0.2, 0.0, 0.0, 3.0)), 0.999147667395825, 5e-16);
  // Observed equal to the benchmark is a coin toss, whatever the moments.
  EXPECT_EQ(value(probabilistic_sharpe_ratio(50, 0.3, 0.3, -1.0, 9.0)), 0.5);
}

TEST(ProbabilisticSharpe, MomentsWidenOrNarrowTheEstimate) {
  const double normal = value(probabilistic_sharpe_ratio(100, 0.1, 0.0, 0.0, 3.0));
  EXPECT_LT(value(probabilistic_sharpe_ratio(100, 0.1, 0.0, 0.0, 10.0)), normal);
  EXPECT_LT(value(probabilistic_sharpe_ratio(100, 0.1, 0.0, -1.0, 3.0)), normal);
  EXPECT_GT(value(probabilistic_sharpe_ratio(100, 0.1, 0.0, 1.0, 3.0)), normal);
}

TEST(ProbabilisticSharpe, ChecksRunCountFiniteInArgumentOrderThenVariance) {
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(1, NAN64, 0.0, 0.0, 3.0)),
            "too few observations: got 1, need at least 2");
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(0, 0.1, 0.0, 0.0, 3.0)),
            "too few observations: got 0, need at least 2");
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(10, NAN64, INF64, NAN64, NAN64)),
            "sharpe must be finite");
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(10, 0.1, INF64, NAN64, NAN64)),
            "benchmark must be finite");
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(10, 0.1, 0.0, -INF64, NAN64)),
            "skewness must be finite");
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(10, 0.1, 0.0, 0.0, NAN64)),
            "kurtosis must be finite");
  // v = 2 * 0.25 + (1 - 2) = -0.5.
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(10, 1.0, 0.0, 2.0, 3.0)), ZERO_VARIANCE);
  // v = 0 exactly is refused too: the estimate would have no spread at all.
  EXPECT_EQ(error_text(probabilistic_sharpe_ratio(10, 1.0, 0.0, 1.0, 1.0)), ZERO_VARIANCE);
}

TEST(DeflatedSharpe, ExpectedMaximumOfTheTrials) {
  EXPECT_NEAR(expected_maximum_sharpe(10, 0.01), 0.157459830134575, 5e-16);
  EXPECT_NEAR(expected_maximum_sharpe(4, 0.0125 / 3.0), 0.0679142362708312, 5e-17);
  EXPECT_EQ(expected_maximum_sharpe(1, 0.01), 0.0);
  EXPECT_EQ(expected_maximum_sharpe(0, 0.01), 0.0);
  EXPECT_EQ(expected_maximum_sharpe(10, 0.0), 0.0);
  EXPECT_EQ(expected_maximum_sharpe(10, -1.0), 0.0);
  EXPECT_TRUE(std::isnan(expected_maximum_sharpe(10, NAN64)));
  // More trials make a luckier best one.
  EXPECT_GT(expected_maximum_sharpe(1000, 0.01), expected_maximum_sharpe(10, 0.01));
}

TEST(DeflatedSharpe, IsTheProbabilisticRatioAgainstTheExpectedMaximum) {
  const double variance = 0.0125 / 3.0;
  EXPECT_NEAR(value(deflated_sharpe_ratio(252, 4, 0.2, 0.0, 3.0, variance)), 0.980867954675538,
              5e-16);
  EXPECT_EQ(
      value(deflated_sharpe_ratio(252, 4, 0.2, 0.0, 3.0, variance)),
      value(probabilistic_sharpe_ratio(252, 0.2, expected_maximum_sharpe(4, variance), 0.0, 3.0)));
  // No spread among the trials, or a single one: nothing to deflate.
  for (std::size_t trials : {1u, 7u}) {
    EXPECT_EQ(value(deflated_sharpe_ratio(252, trials, 0.2, 0.5, 4.0, 0.0)),
              value(probabilistic_sharpe_ratio(252, 0.2, 0.0, 0.5, 4.0)));
  }
}

TEST(DeflatedSharpe, CountComesBeforeTheExpectedMaximumWhichComesBeforeTheMoments) {
  EXPECT_EQ(error_text(deflated_sharpe_ratio(1, 10, 0.1, 0.0, 3.0, NAN64)),
            "too few observations: got 1, need at least 2");
  EXPECT_EQ(error_text(deflated_sharpe_ratio(100, 10, INF64, 0.0, 3.0, NAN64)),
            "sharpe must be finite");
  EXPECT_EQ(error_text(deflated_sharpe_ratio(100, 10, 0.1, NAN64, 3.0, NAN64)),
            "benchmark must be finite");
  EXPECT_EQ(error_text(deflated_sharpe_ratio(100, 10, 0.1, 0.0, INF64, 0.01)),
            "kurtosis must be finite");
  EXPECT_EQ(error_text(deflated_sharpe_ratio(100, 10, 1.0, 2.0, 3.0, 0.01)), ZERO_VARIANCE);
}

TEST(MinimumTrackRecord, WorkedValueAndConfidenceEdges) {
  // 1 + 1.005 * (1.64485362695147 / 0.1)^2.
  EXPECT_NEAR(value(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.95)), 272.907117136589,
              5e-13);
  EXPECT_EQ(value(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.5)), 1.0);
  EXPECT_EQ(value(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.0)), INF64);
  EXPECT_EQ(value(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 0.0)), INF64);
  EXPECT_TRUE(std::isnan(value(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, 1.5))));
  EXPECT_TRUE(std::isnan(value(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, -0.5))));
}

TEST(MinimumTrackRecord, IsWherePsrReachesTheConfidence) {
  // The minimum length is where the probabilistic ratio crosses the
  // confidence: one period more reaches it, one fewer does not.
  const double length = value(minimum_track_record_length(0.1, 0.02, -0.3, 5.0, 0.9));
  const auto n = static_cast<std::size_t>(std::ceil(length));
  EXPECT_GE(value(probabilistic_sharpe_ratio(n, 0.1, 0.02, -0.3, 5.0)), 0.9);
  EXPECT_LT(value(probabilistic_sharpe_ratio(n - 1, 0.1, 0.02, -0.3, 5.0)), 0.9);
}

TEST(MinimumTrackRecord, ChecksRunFiniteInArgumentOrderThenBenchmarkThenVariance) {
  EXPECT_EQ(error_text(minimum_track_record_length(NAN64, INF64, 0.0, 3.0, NAN64)),
            "sharpe must be finite");
  EXPECT_EQ(error_text(minimum_track_record_length(0.1, -INF64, 0.0, 3.0, NAN64)),
            "benchmark must be finite");
  EXPECT_EQ(error_text(minimum_track_record_length(0.1, 0.0, NAN64, 3.0, NAN64)),
            "skewness must be finite");
  EXPECT_EQ(error_text(minimum_track_record_length(0.1, 0.0, 0.0, NAN64, NAN64)),
            "kurtosis must be finite");
  EXPECT_EQ(error_text(minimum_track_record_length(0.1, 0.0, 0.0, 3.0, INF64)),
            "confidence must be finite");
  EXPECT_EQ(error_text(minimum_track_record_length(0.1, 0.1, 0.0, 3.0, 0.95)), ZERO_VARIANCE);
  EXPECT_EQ(error_text(minimum_track_record_length(0.1, 0.2, 0.0, 3.0, 0.95)), ZERO_VARIANCE);
  EXPECT_EQ(error_text(minimum_track_record_length(1.0, 0.0, 2.0, 3.0, 0.95)), ZERO_VARIANCE);
}

}  // namespace
}  // namespace halvorn::stats
