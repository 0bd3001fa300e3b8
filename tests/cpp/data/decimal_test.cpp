// Decimal text to whole steps: the accepted forms, and a seeded sweep that
// writes random whole multiples of random steps in every accepted style and
// expects them back exactly, and non-multiples refused or rounded the
// documented way.  The texts are made from integers by the test, so nothing
// here depends on the parser to make its own inputs.

#include "data/decimal.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace halvorn::data {
namespace {

using u128 = unsigned __int128;

Step step(const char* text) {
  std::optional<Step> s = parse_step(text);
  if (!s) ADD_FAILURE() << "not a step: " << text;
  return s.value_or(Step{});
}

Scaled scale_text(const char* value, const char* step_text, Rounding r = Rounding::Exact) {
  Decimal d;
  EXPECT_EQ(parse_decimal(value, &d), DecimalFault::None) << value;
  return scale(d, step(step_text), r);
}

TEST(Decimal, AcceptedFormsAndTheirValues) {
  struct Case {
    const char* text;
    std::uint64_t digits;
    int exponent;
    bool negative;
  };
  const Case cases[] = {
      {"42123.40", 421234, -1, false},
      {"0.013", 13, -3, false},
      {"5", 5, 0, false},
      {"5.", 5, 0, false},
      {".5", 5, -1, false},
      {"+007.10", 71, -1, false},
      {"-0.25", 25, -2, true},
      {"1e-3", 1, -3, false},
      {"2.5E+4", 25, 3, false},
      {"100", 1, 2, false},
      {"0", 0, 0, false},
      {"-0.000", 0, 0, false},
      {"10.00e-2", 1, -1, false},
      {"0.000000001", 1, -9, false},
      // Trailing zeros do not count toward the 19 digits.
      {"12345678901234567890", 1234567890123456789, 1, false},
      {"1.2345678901234567890000", 1234567890123456789, -18, false},
  };
  for (const Case& c : cases) {
    Decimal d;
    ASSERT_EQ(parse_decimal(c.text, &d), DecimalFault::None) << c.text;
    EXPECT_EQ(d.digits, c.digits) << c.text;
    EXPECT_EQ(d.exponent, c.exponent) << c.text;
    EXPECT_EQ(d.negative, c.negative) << c.text;
  }
}

TEST(Decimal, RefusedForms) {
  for (const char* t : {"", "-", "+", ".", "e5", "1e", "1e+", "1.2.3", "nan", "inf", " 1", "1 ",
                        "1,5", "0x10", "--1", "1-"}) {
    Decimal d;
    EXPECT_EQ(parse_decimal(t, &d), DecimalFault::NotANumber) << '"' << t << '"';
  }
  Decimal d;
  EXPECT_EQ(parse_decimal("12345678901234567891", &d), DecimalFault::TooManyDigits);
  EXPECT_EQ(parse_decimal("0.12345678901234567891", &d), DecimalFault::TooManyDigits);
  EXPECT_EQ(parse_decimal("1e10000", &d), DecimalFault::OutOfRange);
  EXPECT_EQ(parse_decimal("0e10000", &d), DecimalFault::None) << "zero has no magnitude to lose";
  for (const char* t : {"0", "-1", "0.000", "abc", ""}) EXPECT_FALSE(parse_step(t)) << t;
  EXPECT_TRUE(parse_step("5"));
  EXPECT_TRUE(parse_step("1e-8"));
}

TEST(Decimal, ScalingAndItsLimits) {
  EXPECT_EQ(scale_text("42123.40", "0.10").count, 421234);
  EXPECT_EQ(scale_text("2.5", "0.25").count, 10);
  EXPECT_EQ(scale_text("15", "5").count, 3);
  EXPECT_EQ(scale_text("-15", "5").count, -3);
  EXPECT_EQ(scale_text("17", "5").fault, ScaleFault::NotMultiple);
  EXPECT_EQ(scale_text("17", "5", Rounding::Down).count, 3);
  EXPECT_EQ(scale_text("17", "5", Rounding::Up).count, 4);
  EXPECT_EQ(scale_text("-17", "5", Rounding::Down).count, -4);
  EXPECT_EQ(scale_text("-17", "5", Rounding::Up).count, -3);
  EXPECT_EQ(scale_text("9223372036854775807", "1").count, INT64_MAX);
  EXPECT_EQ(scale_text("-9223372036854775807", "1").count, -INT64_MAX);
  EXPECT_EQ(scale_text("9223372036854775808", "1").fault, ScaleFault::OutOfRange);
  EXPECT_EQ(scale_text("922337203685477580.8", "0.1").fault, ScaleFault::OutOfRange);
  EXPECT_EQ(scale_text("1e30", "0.1").fault, ScaleFault::OutOfRange);
  // A value far below the step.
  EXPECT_EQ(scale_text("1e-30", "0.1").fault, ScaleFault::NotMultiple);
  EXPECT_EQ(scale_text("1e-30", "0.1", Rounding::Down).count, 0);
  EXPECT_EQ(scale_text("1e-30", "0.1", Rounding::Up).count, 1);
  EXPECT_EQ(scale_text("-1e-30", "0.1", Rounding::Down).count, -1);
  // A step with many digits, whose denominator passes 64 bits.
  EXPECT_EQ(scale_text("0.0000000000000000000000123", "0.0000000000000000000000001").count, 123);
  EXPECT_EQ(scale_text("0", "0.001").count, 0);
}

// value = n × 10^p written as text in one of the accepted styles.
std::string render(u128 n, int p, bool negative, std::mt19937_64& rng) {
  std::string digits;
  for (u128 v = n; v > 0; v /= 10) digits.insert(digits.begin(), char('0' + int(v % 10)));
  if (digits.empty()) digits = "0";
  std::string out = negative ? "-" : (rng() % 4 == 0 ? "+" : "");
  switch (rng() % 3) {
    case 0: {  // plain, with the point where it falls
      std::string body;
      if (p >= 0) {
        body = digits + std::string(p, '0');
        if (rng() % 2) body += "." + std::string(rng() % 3, '0');
      } else {
        const int point = static_cast<int>(digits.size()) + p;
        body = point > 0 ? digits.substr(0, point) + "." + digits.substr(point)
                         : "0." + std::string(-point, '0') + digits;
        body += std::string(rng() % 3, '0');  // trailing zeros change nothing
      }
      out += std::string(rng() % 3, '0') + body;  // nor do leading zeros
      break;
    }
    case 1:  // all digits, then an exponent
      out += digits + (rng() % 2 ? "e" : "E") + std::to_string(p);
      break;
    default: {  // one digit before the point, then an exponent
      const int exponent = p + static_cast<int>(digits.size()) - 1;
      out += digits.substr(0, 1) + "." + digits.substr(1) + "e" +
             (exponent >= 0 && rng() % 2 ? "+" : "") + std::to_string(exponent);
      break;
    }
  }
  return out;
}

TEST(DecimalProperty, MultiplesRoundTripNonMultiplesAreRefusedOrRoundedAway) {
  std::mt19937_64 rng(20240611);
  const std::uint64_t mantissas[] = {1, 5, 25, 1, 10, 3, 125, 7};
  for (int round = 0; round < 20000; ++round) {
    // A step s × 10^f, a count k, and so the value k × s × 10^f.
    const std::uint64_t s = mantissas[rng() % std::size(mantissas)];
    const int f = static_cast<int>(rng() % 13) - 9;
    const Step st = step(render(s, f, false, rng).c_str());
    const auto k = static_cast<std::int64_t>(rng() % 100'000'000'000ull);
    const bool negative = k != 0 && rng() % 3 == 0;
    const std::string text = render(u128(k) * s, f, negative, rng);
    Decimal d;
    ASSERT_EQ(parse_decimal(text, &d), DecimalFault::None) << text;
    for (Rounding r : {Rounding::Exact, Rounding::Down, Rounding::Up, Rounding::Nearest}) {
      const Scaled got = scale(d, st, r);
      ASSERT_EQ(got.fault, ScaleFault::None) << text << " / " << st.text;
      ASSERT_EQ(got.count, negative ? -k : k) << text << " / " << st.text;
    }

    // Between k and k + 1 steps: (k × s × 10^e + m) × 10^(f - e), 0 < m < s × 10^e.
    const int e = 1 + static_cast<int>(rng() % 3);
    u128 unit = s;
    for (int i = 0; i < e; ++i) unit *= 10;
    const u128 m = 1 + rng() % static_cast<std::uint64_t>(unit - 1);
    const std::string off = render(u128(k) * unit + m, f - e, negative, rng);
    ASSERT_EQ(parse_decimal(off, &d), DecimalFault::None) << off;
    ASSERT_EQ(scale(d, st, Rounding::Exact).fault, ScaleFault::NotMultiple)
        << off << " / " << st.text;
    const std::int64_t below = negative ? -k - 1 : k, above = negative ? -k : k + 1;
    ASSERT_EQ(scale(d, st, Rounding::Down).count, below) << off << " / " << st.text;
    ASSERT_EQ(scale(d, st, Rounding::Up).count, above) << off << " / " << st.text;
    // Nearest: past half a step away from k, at exactly half to the even one.
    const std::uint64_t magnitude = 2 * m > unit || (2 * m == unit && k % 2 == 1) ? k + 1 : k;
    const std::int64_t nearest =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    ASSERT_EQ(scale(d, st, Rounding::Nearest).count, nearest) << off << " / " << st.text;

    // The suggested step fits both the step and the value, and its text reads
    // back as itself.
    const Decimal common = common_step(st.value, d);
    const Step cs{common, decimal_text(common)};
    Decimal back;
    ASSERT_EQ(parse_decimal(cs.text, &back), DecimalFault::None) << cs.text;
    ASSERT_EQ(back.digits, common.digits) << cs.text;
    ASSERT_EQ(back.exponent, common.exponent) << cs.text;
    ASSERT_EQ(scale(d, cs, Rounding::Exact).fault, ScaleFault::None) << off << " / " << cs.text;
    ASSERT_EQ(scale(st.value, cs, Rounding::Exact).fault, ScaleFault::None)
        << st.text << " / " << cs.text;
  }
}

TEST(Decimal, TheStepAPriceAndATickSizeBothFit) {
  const auto common = [](const char* tick, const char* value) {
    Decimal v;
    EXPECT_EQ(parse_decimal(value, &v), DecimalFault::None);
    return decimal_text(common_step(step(tick).value, v));
  };
  EXPECT_EQ(common("0.10", "42123.45"), "0.01");  // a tick that grew tenfold
  EXPECT_EQ(common("0.1", "7000.01"), "0.01");
  EXPECT_EQ(common("0.25", "10.3"), "0.05");
  EXPECT_EQ(common("5", "7.5"), "0.1");  // by the digit's place, not the coarsest fit (0.5)
  EXPECT_EQ(common("0.5", "0.001"), "0.001");
  EXPECT_EQ(common("25", "1e3"), "25");  // the value's place is coarser than the step
  EXPECT_EQ(common("0.00025", "1e-7"), "0.0000001");
  // Text for every size a step can have.
  EXPECT_EQ(decimal_text(Decimal{5, 2, false}), "500");
  EXPECT_EQ(decimal_text(Decimal{25, -1, true}), "-2.5");
  EXPECT_EQ(decimal_text(Decimal{1, -45, false}), "1e-45");
  EXPECT_EQ(decimal_text(Decimal{123, 50, false}), "123e50");
  EXPECT_EQ(decimal_text(Decimal{}), "0");
}

}  // namespace
}  // namespace halvorn::data
