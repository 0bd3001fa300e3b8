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
  // Float noise around a grid point is that point, whatever the rounding:
  // 0.1 + 0.2 (0.30000000000000004) is one double from 0.3, and a vendor's
  // quantity 0.00031099999999999997 one from 0.000311.
  for (Rounding r : {Rounding::Exact, Rounding::Down, Rounding::Up, Rounding::Nearest}) {
    EXPECT_EQ(scale_double(0.1 + 0.2, step("0.1"), r), (DoubleScaled{3}));
    EXPECT_EQ(scale_double(0.00031099999999999997, step("0.000001"), r), (DoubleScaled{311}));
    EXPECT_EQ(scale_double(1.2065000000000001, step("0.0001"), r), (DoubleScaled{12065}));
  }
  // Off the grid by a digit is off the grid.
  EXPECT_EQ(scale_double(0.35, step("0.1"), Rounding::Exact).fault, DoubleFault::NotMultiple);
  EXPECT_EQ(scale_double(0.35, step("0.1"), Rounding::Down), (DoubleScaled{3, {}, true}));
  EXPECT_EQ(scale_double(0.35, step("0.1"), Rounding::Up), (DoubleScaled{4, {}, true}));
  EXPECT_EQ(scale_double(0.35, step("0.1"), Rounding::Nearest), (DoubleScaled{4, {}, true}));
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

// The rule for float noise, proved on random values: a grid point written as
// a float and moved by up to NOISE_ULPS doubles is that grid point; a
// decimal of up to 15 significant digits off the grid is never taken for
// one, and is refused or rounded by its side.
TEST(ScaleDouble, NoiseAroundTheGridIsTheGridAndValuesOffItAreNot) {
  std::mt19937_64 rng(33);
  const std::vector<std::string> steps = {"0.1",  "0.01", "0.001", "0.000001", "0.5", "25",
                                          "1e-8", "1",    "0.25",  "0.0001",   "5",   "0.3"};
  for (const std::string& text : steps) {
    const Step s = step(text);
    // Counts short enough that a count's digits, the step's and one more
    // make at most 15.
    const int most = 14 - static_cast<int>(std::to_string(s.value.digits).size());
    for (int i = 0; i < 20'000; ++i) {
      const int digits = 1 + static_cast<int>(rng() % static_cast<std::uint64_t>(most));
      std::int64_t count =
          static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(std::pow(10.0, digits))) + 1;
      if (rng() & 1) count = -count;
      // The grid point as decimal text, and the float it is written as.
      const std::string point = std::to_string(count * static_cast<std::int64_t>(s.value.digits)) +
                                "e" + std::to_string(s.value.exponent);
      const double on = std::stod(point);
      double x = on;
      const int off = static_cast<int>(rng() % (2 * NOISE_ULPS + 1)) - static_cast<int>(NOISE_ULPS);
      for (int k = 0; k < std::abs(off); ++k) x = std::nextafter(x, off < 0 ? -INFINITY : INFINITY);
      for (Rounding r : {Rounding::Exact, Rounding::Down, Rounding::Up, Rounding::Nearest}) {
        ASSERT_EQ(scale_double(x, s, r), (DoubleScaled{count}))
            << point << " moved by " << off << " doubles, in steps of " << text;
      }
      // A digit in the place below the step's last: off the grid by a tenth
      // of a step or more, a decimal of at most 15 digits.
      const int tenth = 1 + static_cast<int>(rng() % 9);
      const std::string beside =
          std::to_string(count * static_cast<std::int64_t>(s.value.digits) * 10 +
                         (count < 0 ? -tenth : tenth)) +
          "e" + std::to_string(s.value.exponent - 1);
      const double y = std::stod(beside);
      ASSERT_EQ(scale_double(y, s, Rounding::Exact).fault, DoubleFault::NotMultiple)
          << beside << " in steps of " << text;
      const DoubleScaled down = scale_double(y, s, Rounding::Down);
      const DoubleScaled up = scale_double(y, s, Rounding::Up);
      ASSERT_TRUE(down.moved && up.moved) << beside;
      ASSERT_EQ(up.count - down.count, 1) << beside << " in steps of " << text;
      ASSERT_EQ(count < 0 ? up.count : down.count, count) << beside << " in steps of " << text;
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
