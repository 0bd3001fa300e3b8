// The normal distribution function and its inverse: the worked values, the
// edges, and agreement with an exact reference over the whole range.

#include "stats/normal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace halvorn::stats {
namespace {

constexpr double NAN64 = std::numeric_limits<double>::quiet_NaN();
constexpr double INF64 = std::numeric_limits<double>::infinity();

struct Reference {
  double input;
  double exact;
};

// Printed by normal_reference.py beside this file: mpmath at 60 digits for
// the exact double input, rounded to 17 significant digits.
const Reference CDF_REFERENCE[] = {
    {-37.0, 5.7255712225245768e-300},
    {-30.0, 4.9067139271481871e-198},
    {-25.0, 3.0566967063825609e-138},
    {-20.0, 2.7536241186062337e-89},
    {-12.0, 1.776482112077679e-33},
    {-10.0, 7.6198530241605261e-24},
    {-8.0, 6.2209605742717841e-16},
    {-7.5, 3.1908916729108962e-14},
    {-7.071067811865475, 7.687298972140209e-13},
    {-7.07, 7.7466848656364783e-13},
    {-6.0, 9.8658764503769814e-10},
    {-5.0, 2.8665157187919391e-7},
    {-4.0, 3.1671241833119921e-5},
    {-3.0, 1.3498980316300945e-3},
    {-2.5, 6.2096653257761352e-3},
    {-2.0, 2.2750131948179207e-2},
    {-1.0, 1.5865525393145705e-1},
    {-0.5, 3.085375387259869e-1},
    {-0.1, 4.6017216272297102e-1},
    {-1e-08, 4.999999960105772e-1},
};
const Reference INVERSE_REFERENCE[] = {
    {1e-300, -3.7047096299361199e+1},
    {1e-100, -2.1273453560965324e+1},
    {1e-50, -1.4933337534788489e+1},
    {1e-20, -9.2623400897984076},
    {1e-10, -6.3613409024040562},
    {1e-05, -4.2648907939228246},
    {0.001, -3.0902323061678135},
    {0.01, -2.3263478740408411},
    {0.02, -2.053748910631823},
    {0.02425, -1.9729610513118848},
    {0.05, -1.6448536269514727},
    {0.1, -1.2815515655446004},
    {0.3, -5.2440051270804082e-1},
    {0.45, -1.2566134685507401e-1},
    {0.55, 1.2566134685507415e-1},
    {0.7, 5.2440051270804066e-1},
    {0.9, 1.2815515655446006},
    {0.95, 1.6448536269514723},
    {0.97575, 1.972961051311885},
    {0.98, 2.0537489106318227},
    {0.999, 3.0902323061678133},
    {0.999999, 4.7534243088170878},
    {0.9999999999990905, 7.0477002566644087},
};

double relative_error(double got, double exact) {
  return std::fabs(got - exact) / std::fabs(exact);
}

TEST(Cdf, WorkedValuesAndEdges) {
  EXPECT_EQ(cdf(0.0), 0.5);
  EXPECT_EQ(cdf(-0.0), 0.5);
  // The published values carry 15 significant digits; the tolerance is half
  // a unit in the last of them.
  EXPECT_NEAR(cdf(1.96), 0.975002104851780, 5e-16);
  EXPECT_NEAR(cdf(-1.0), 0.158655253931457, 5e-16);
  EXPECT_NEAR(cdf(-8.0), 6.22096057427178e-16, 5e-30);
  EXPECT_EQ(cdf(-40.0), 0.0);
  EXPECT_EQ(cdf(40.0), 1.0);
  EXPECT_EQ(cdf(-INF64), 0.0);
  EXPECT_EQ(cdf(INF64), 1.0);
  EXPECT_TRUE(std::isnan(cdf(NAN64)));
  // Just inside the cut-off the tail is still computed, not rounded to zero.
  EXPECT_GT(cdf(-37.0), 0.0);
}

// How far cdf(-c) may be from Phi(-c), relatively, by region: what the
// algorithm delivers, measured on a 0.01 grid against the same reference,
// with a margin of about two.  Hart's rational form holds absolute error near
// 1e-17 but its relative error grows to about 3e-9 just below the switch to
// the continued fraction; past the switch the error is the rounding of c * c
// in the exponent, which grows as c squared.
double cdf_bound(double c) {
  if (c < 2.0) return 1e-15;
  if (c < 3.0) return 3e-14;
  if (c < 4.0) return 5e-13;
  if (c < 5.0) return 1e-10;
  if (c < 6.0) return 1e-9;
  if (c < 7.071067811865475) return 6e-9;
  return 1e-15 + 1e-16 * c * c;
}

TEST(Cdf, MatchesTheExactValueWithinWhatTheAlgorithmDelivers) {
  double worst = 0.0;
  for (const Reference& r : CDF_REFERENCE) {
    const double err = relative_error(cdf(r.input), r.exact);
    EXPECT_LT(err, cdf_bound(-r.input)) << "x = " << r.input;
    worst = std::max(worst, err);
    // The upper side is 1 - Phi(-x): as good in absolute terms, up to the
    // rounding of that subtraction and of the reference's.
    EXPECT_NEAR(cdf(-r.input), 1.0 - r.exact, 3.4e-16) << "x = " << -r.input;
  }
  RecordProperty("worst_relative_error", std::to_string(worst));
}

TEST(InverseCdf, WorkedValuesAndEdges) {
  EXPECT_NEAR(inverse_cdf(0.975), 1.95996398454005, 5e-15);
  EXPECT_NEAR(inverse_cdf(0.95), 1.64485362695147, 5e-15);
  EXPECT_NEAR(inverse_cdf(0.01), -2.32634787404084, 5e-15);
  EXPECT_EQ(inverse_cdf(0.5), 0.0);
  EXPECT_EQ(inverse_cdf(0.0), -INF64);
  EXPECT_EQ(inverse_cdf(1.0), INF64);
  for (double p : {1.5, -0.1, -0.0 - 1e-300, 1.0 + 1e-15, NAN64, INF64, -INF64}) {
    EXPECT_TRUE(std::isnan(inverse_cdf(p))) << "p = " << p;
  }
  // -0.0 equals 0.0, so it is the lower end, not below the range.
  EXPECT_EQ(inverse_cdf(-0.0), -INF64);
}

// How far inverse_cdf(p) may be from the exact x, relatively.  The Halley
// step converges on the root of the computed cdf, so x inherits cdf's error
// scaled by the slope of the distribution there: in the lower tail a relative
// error in Phi becomes one about x^2 times smaller in x; in the upper tail
// cdf(x) = 1 - r is rounded to the spacing of doubles below 1, which moves
// the root by that spacing over the density.
double inverse_bound(double p, double x) {
  // Below about 1e-290 Acklam's first estimate lands past the cut-off at
  // |x| = 37, where cdf is exactly 0, and one Halley step recovers only
  // three to four digits (measured: 4.9e-4 at p = 1e-300).
  if (p < 1e-290) return 1e-3;
  const double c = std::fabs(x);
  if (x <= 0.0) return cdf_bound(c) / std::max(1.0, c * c) + 2e-15;
  const double density = std::exp(-c * c / 2.0) / 2.5066282746310002;
  return 2.3e-16 / (density * c) + cdf_bound(c) / (c * c) + 2e-15;
}

TEST(InverseCdf, MatchesTheExactValueInEveryRegion) {
  // The table covers the lower tail below 0.02425, the centre, the upper
  // tail above 0.97575 and both boundaries.
  double worst = 0.0;
  for (const Reference& r : INVERSE_REFERENCE) {
    const double err = relative_error(inverse_cdf(r.input), r.exact);
    EXPECT_LT(err, inverse_bound(r.input, r.exact)) << "p = " << r.input;
    if (r.input >= 1e-290) worst = std::max(worst, err);
  }
  RecordProperty("worst_relative_error_above_1e-290", std::to_string(worst));
}

TEST(InverseCdf, UndoesCdf) {
  for (double x = -8.0; x <= 8.0; x += 0.0625) {
    const double p = cdf(x);
    // Above about 1 the probability near 1 has lost the low bits of x, so
    // the round trip is only as good as the spacing of doubles below 1.
    const double tolerance = x < 1.0 ? 1e-13 * std::max(1.0, std::fabs(x))
                                     : 4e-16 / (std::exp(-x * x / 2) / 2.5066282746310002);
    EXPECT_NEAR(inverse_cdf(p), x, tolerance) << "x = " << x;
  }
}

}  // namespace
}  // namespace halvorn::stats
