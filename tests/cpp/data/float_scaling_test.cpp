// Float64 values counted in ticks and lots: the fast path gives the exact
// path's answer, and the exact path is the decimal the float was written as.

#include "data/float_scaling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace halvorn::data {
namespace {

Step step(const std::string& text) {
  std::optional<Step> s = parse_step(text);
  if (!s) {
    ADD_FAILURE() << text << " is no step";
    return Step{};
  }
  return *s;
}

TEST(ScaleDouble, CountsTheDecimalTheFloatWasWrittenAs) {
  EXPECT_EQ(scale_double(42123.4, step("0.1"), Rounding::Exact), (DoubleScaled{421234}));
  EXPECT_EQ(scale_double(0.311, step("0.001"), Rounding::Exact), (DoubleScaled{311}));
  // 0.1 + 0.2 is 0.30000000000000004, which no grid of 0.1 holds.
  EXPECT_EQ(scale_double(0.1 + 0.2, step("0.1"), Rounding::Exact).fault, DoubleFault::NotMultiple);
  EXPECT_EQ(scale_double(0.1 + 0.2, step("0.1"), Rounding::Down), (DoubleScaled{3, {}, true}));
  EXPECT_EQ(scale_double(0.1 + 0.2, step("0.1"), Rounding::Up), (DoubleScaled{4, {}, true}));
  EXPECT_EQ(scale_double(-0.25, step("0.1"), Rounding::Down), (DoubleScaled{-3, {}, true}));
  EXPECT_EQ(scale_double(-0.0, step("0.1"), Rounding::Exact), (DoubleScaled{0}));
  EXPECT_EQ(scale_double(1e30, step("0.1"), Rounding::Exact).fault, DoubleFault::OutOfRange);
  EXPECT_EQ(scale_double(std::nan(""), step("0.1"), Rounding::Exact).fault, DoubleFault::NotFinite);
  EXPECT_EQ(scale_double(-INFINITY, step("1"), Rounding::Down).fault, DoubleFault::NotFinite);
  EXPECT_EQ(scale_double(25.0, step("25"), Rounding::Exact), (DoubleScaled{1}));
  EXPECT_EQ(scale_double(5e7, step("1e6"), Rounding::Exact), (DoubleScaled{50}));
}

// The fast path is an optimisation: on values on a grid, next to it, and
// arbitrary bit patterns, it must agree with the definition exactly.
TEST(ScaleDouble, FastPathAgreesWithTheExactPath) {
  std::mt19937_64 rng(20261210);
  const std::vector<std::string> steps = {"0.1",   "0.01",  "0.001", "0.5", "25",
                                          "1e-8",  "1",     "0.25",  "1e6", "0.0001",
                                          "0.005", "1e-12", "3e-7",  "10",  "0.3"};
  const Rounding roundings[] = {Rounding::Exact, Rounding::Down, Rounding::Up};
  for (const std::string& text : steps) {
    const Step s = step(text);
    const double unit = std::stod(text);
    for (int i = 0; i < 20'000; ++i) {
      double x;
      switch (i % 4) {
        case 0:  // on the grid, as a decimal written by hand would be
          x = static_cast<double>(static_cast<std::int64_t>(rng() % 2'000'000'000) -
                                  1'000'000'000) *
              unit;
          break;
        case 1:  // one ulp off the grid
          x = std::nextafter(static_cast<double>(rng() % 1'000'000) * unit,
                             (rng() & 1) ? INFINITY : -INFINITY);
          break;
        case 2: {  // any bit pattern
          const std::uint64_t bits = rng();
          std::memcpy(&x, &bits, sizeof x);
          break;
        }
        default:  // a uniform value
          x = std::uniform_real_distribution<double>(-1e7, 1e7)(rng);
      }
      for (Rounding r : roundings) {
        ASSERT_EQ(scale_double(x, s, r), scale_double_exact(x, s, r))
            << shortest_text(x) << " in steps of " << text;
      }
    }
  }
}

TEST(ScaleDoubleColumn, StridesAndStopsAtTheFirstValueOffTheGrid) {
  // Every other double of an interleaved array, written back to front.
  const double values[] = {1.5, 9.0, 2.5, 9.0, 3.7, 9.0, 4.05, 9.0};
  std::int64_t out[4] = {-1, -1, -1, -1};
  ColumnScaled r =
      scale_double_column(values, 4, 2 * sizeof(double), step("0.1"), Rounding::Exact, out + 3, -1);
  EXPECT_EQ(r.bad_row, 3u);
  EXPECT_EQ(r.fault, DoubleFault::NotMultiple);
  EXPECT_EQ(r.text, "4.05");
  EXPECT_EQ(out[3], 15);
  EXPECT_EQ(out[2], 25);
  EXPECT_EQ(out[1], 37);
  EXPECT_EQ(out[0], -1) << "nothing written past the value that stopped it";

  r = scale_double_column(values, 4, 2 * sizeof(double), step("0.1"), Rounding::Down, out, 1);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.bad_row, 4u);
  EXPECT_EQ(r.moved, 1u);
  EXPECT_EQ(out[3], 40);

  // A stride of 0 repeats one value.
  r = scale_double_column(values + 2, 3, 0, step("0.5"), Rounding::Exact, out, 1);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[2], 5);
}

}  // namespace
}  // namespace halvorn::data
