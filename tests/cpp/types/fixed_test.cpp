// The money arithmetic: saturation, 128-bit products, rates, unit conversion.

#include "types/fixed.hpp"

#include <gtest/gtest.h>

#include <random>

namespace halvorn {
namespace {

TEST(Accumulation, SaturatesAtBothEndsAndOtherwiseAdds) {
  EXPECT_EQ(add_sat(I64_MAX, 1), I64_MAX);
  EXPECT_EQ(add_sat(I64_MAX, I64_MAX), I64_MAX);
  EXPECT_EQ(add_sat(I64_MAX, -5), I64_MAX - 5);
  EXPECT_EQ(add_sat(I64_MIN, -1), I64_MIN);
  EXPECT_EQ(add_sat(I64_MIN, 7), I64_MIN + 7);
  EXPECT_EQ(add_sat(-3, 5), 2);
  EXPECT_EQ(sub_sat(I64_MIN, 1), I64_MIN);
  EXPECT_EQ(sub_sat(I64_MAX, -1), I64_MAX);
  EXPECT_EQ(sub_sat(0, I64_MIN), I64_MAX);
}

TEST(Negation, OfTheSmallestValueIsTheLargest) {
  EXPECT_EQ(neg_sat(I64_MIN), I64_MAX);
  EXPECT_EQ(abs_sat(I64_MIN), I64_MAX);
  EXPECT_EQ(abs_sat(-4), 4);
  EXPECT_EQ(neg_sat(I64_MAX), I64_MIN + 1);
}

TEST(Products, AreFormedAt128BitsAndSaturateBySign) {
  EXPECT_EQ(value128(600'000, 2, 10'000), Wide{12'000'000'000});
  // Each pair of 64-bit factors fits, the third pushes past 128 bits.
  EXPECT_EQ(value128(I64_MAX, I64_MAX, I64_MAX), WIDE_MAX);
  EXPECT_EQ(value128(I64_MIN, I64_MAX, I64_MAX), WIDE_MIN);
  EXPECT_EQ(value128(I64_MIN, I64_MIN, I64_MIN), WIDE_MIN);
  EXPECT_EQ(value128(I64_MIN, I64_MIN, I64_MAX), WIDE_MAX);
  EXPECT_EQ(mul_sat128(WIDE_MIN, -1), WIDE_MAX);
  EXPECT_EQ(add_sat128(WIDE_MAX, 1), WIDE_MAX);
  EXPECT_EQ(sub_sat128(WIDE_MIN, 1), WIDE_MIN);
}

TEST(Narrowing, Clamps) {
  EXPECT_EQ(clamp64(Wide{I64_MAX} + 1), I64_MAX);
  EXPECT_EQ(clamp64(Wide{I64_MIN} - 1), I64_MIN);
  EXPECT_EQ(clamp64(WIDE_MIN), I64_MIN);
  EXPECT_EQ(clamp64(-17), -17);
}

TEST(Rates, AreBillionthsTruncatedTowardZero) {
  EXPECT_EQ(apply_rate(12'345, 1'000'000'000), 12'345);
  EXPECT_EQ(apply_rate(12'345, 500'000), 6);
  EXPECT_EQ(apply_rate(-12'345, 500'000), -6);
  EXPECT_EQ(apply_rate(12'345, -500'000), -6);
  // A rate above 100 % on the largest amount clamps instead of wrapping.
  EXPECT_EQ(apply_rate(I64_MAX, 2'000'000'000), I64_MAX);
  EXPECT_EQ(apply_rate(I64_MIN, 2'000'000'000), I64_MIN);
}

TEST(WholeUnits, ConvertToCashAndSaturate) {
  EXPECT_EQ(units_to_cash(100'000), 10'000'000'000'000);
  EXPECT_EQ(units_to_cash(92'233'720'368), 9'223'372'036'800'000'000);
  EXPECT_EQ(units_to_cash(92'233'720'369), I64_MAX);
  EXPECT_EQ(units_to_cash(-92'233'720'369), I64_MIN);
  EXPECT_EQ(units_to_cash(0), 0);
}

TEST(CheckedArithmetic, PanicsInsteadOfWrapping) {
  EXPECT_EQ(add_checked(2, 3, "sum"), 5);
  EXPECT_THROW(add_checked(I64_MAX, 1, "sum overflows"), Panic);
  EXPECT_THROW(sub_checked(I64_MIN, 1, "difference overflows"), Panic);
  EXPECT_THROW(mul_checked(I64_MAX, 2, "product overflows"), Panic);
  EXPECT_EQ(next_counter(41, "counter"), 42u);
  try {
    next_counter(~std::uint64_t{0}, "fill sequence overflows");
    FAIL() << "a counter at its limit must not wrap";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "fill sequence overflows");
  }
}

}  // namespace
}  // namespace halvorn

namespace halvorn {
namespace {

// The reference the short ways of the 128-bit steps must agree with.
Wide reference_mul_sat(Wide a, Wide b) {
  Wide r;
  if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? WIDE_MIN : WIDE_MAX;
  return r;
}

TEST(WideSteps, AgreeWithThe128BitOperationsEverywhere) {
  std::mt19937_64 rng(20261209);
  auto wide = [&]() -> Wide {
    // Values of every width, both signs and the limits.
    switch (rng() % 6) {
      case 0:
        return WIDE_MIN;
      case 1:
        return WIDE_MAX;
      case 2:
        return static_cast<Wide>(static_cast<std::int64_t>(rng()));
      case 3:
        return static_cast<Wide>(static_cast<std::int64_t>(rng())) >> (rng() % 64);
      default: {
        const Wide v = static_cast<Wide>((static_cast<unsigned __int128>(rng()) << 64) | rng());
        return v >> (rng() % 127);
      }
    }
  };
  for (int i = 0; i < 200'000; ++i) {
    const Wide a = wide(), b = wide();
    ASSERT_EQ(mul_sat128(a, b), reference_mul_sat(a, b));
    ASSERT_EQ(div_rate_scale(a), a / RATE_SCALE);
  }
  EXPECT_EQ(div_rate_scale(WIDE_MIN), WIDE_MIN / RATE_SCALE);
  EXPECT_EQ(div_rate_scale(-1'999'999'999), -1);
  EXPECT_EQ(apply_rate(I64_MAX, RATE_SCALE), I64_MAX);
  EXPECT_EQ(apply_rate(6'000'000'000'000, 4'000'000), 24'000'000'000);
  EXPECT_EQ(apply_rate(-6'000'000'000'001, 4'000'000), -24'000'000'000);
}

}  // namespace
}  // namespace halvorn
