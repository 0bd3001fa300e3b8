#include "data/decimal.hpp"

#include <array>
#include <limits>

namespace halvorn::data {

namespace {

using u128 = unsigned __int128;

constexpr int MAX_DIGITS = 19;
constexpr int MAX_EXPONENT = 9999;
// 10^38 is the largest power of ten below 2^128.
constexpr int MAX_POW10_128 = 38;

constexpr std::array<std::uint64_t, 20> POW10_64 = [] {
  std::array<std::uint64_t, 20> t{};
  std::uint64_t v = 1;
  for (auto& x : t) x = v, v *= 10;
  return t;
}();

constexpr std::array<u128, MAX_POW10_128 + 1> POW10_128 = [] {
  std::array<u128, MAX_POW10_128 + 1> t{};
  u128 v = 1;
  for (auto& x : t) x = v, v *= 10;
  return t;
}();

constexpr std::uint64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

}  // namespace

namespace {

// The usual number -- digits, perhaps a point and more digits, 19 digits at
// most, no exponent -- read in one loop without holding zeros back.  Returns
// nullptr for anything else, which the careful reading takes.
const char* scan_plain(const char* p, const char* end, Decimal* out) {
  bool negative = false;
  if (p != end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  std::uint64_t v = 0;
  int n = 0, fraction = 0;
  for (; p != end; ++p, ++n) {
    const unsigned c = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (c > 9) break;
    v = v * 10 + c;
  }
  if (p != end && *p == '.') {
    for (++p; p != end; ++p, ++n, ++fraction) {
      const unsigned c = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (c > 9) break;
      v = v * 10 + c;
    }
  }
  if (n == 0 || n > MAX_DIGITS || (p != end && (*p == 'e' || *p == 'E'))) return nullptr;
  int exponent = -fraction;
  if (v == 0) {
    *out = Decimal{};
    return p;
  }
  while (v % 10 == 0) v /= 10, ++exponent;
  *out = Decimal{v, exponent, negative};
  return p;
}

}  // namespace

const char* scan_decimal(const char* p, const char* end, Decimal* out, DecimalFault* fault) {
  if (const char* q = scan_plain(p, end, out)) {
    *fault = DecimalFault::None;
    return q;
  }
  bool negative = false;
  if (p != end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  // Zeros are held back until a nonzero digit follows them, so that trailing
  // zeros never enter `digits` and cost none of its 19 places.
  std::uint64_t digits = 0;
  int significant = 0;  // digits in `digits`
  int zeros = 0;        // zeros read since the last nonzero digit
  int point_zeros = 0;  // how many of those came after the point
  int fraction = 0;     // digits of `digits` that came after the point
  bool any = false, point = false, too_many = false;
  for (; p != end; ++p) {
    const unsigned c = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (c > 9) {
      if (*p == '.' && !point) {
        point = true;
        continue;
      }
      break;
    }
    any = true;
    if (c == 0) {
      ++zeros;
      point_zeros += point;
      continue;
    }
    if (point) fraction += point_zeros + 1;
    if (digits == 0) {
      digits = c;  // leading zeros are not significant
      significant = 1;
    } else if (significant + zeros + 1 > MAX_DIGITS) {
      too_many = true;
    } else {
      digits = digits * POW10_64[zeros + 1] + c;
      significant += zeros + 1;
    }
    zeros = point_zeros = 0;
  }
  int exponent = 0;
  if (any && p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '-' || *p == '+')) exp_negative = *p++ == '-';
    bool exp_any = false, exp_big = false;
    for (; p != end; ++p) {
      const unsigned c = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (c > 9) break;
      exp_any = true;
      exponent = exponent * 10 + static_cast<int>(c);
      if (exponent > MAX_EXPONENT) exp_big = true, exponent = MAX_EXPONENT;
    }
    if (!exp_any) {
      *fault = DecimalFault::NotANumber;
      return p;
    }
    if (exp_big && digits != 0) {
      *fault = DecimalFault::OutOfRange;
      return p;
    }
    if (exp_negative) exponent = -exponent;
  }
  if (!any) {
    *fault = DecimalFault::NotANumber;
    return p;
  }
  if (too_many) {
    *fault = DecimalFault::TooManyDigits;
    return p;
  }
  *fault = DecimalFault::None;
  if (digits == 0) {
    *out = Decimal{};
  } else {
    // Held-back zeros before the point scale the number; those after it are
    // trailing zeros of the fraction and mean nothing.
    *out = Decimal{digits, (zeros - point_zeros) - fraction + exponent, negative};
  }
  return p;
}

DecimalFault parse_decimal(std::string_view text, Decimal* out) {
  DecimalFault fault = DecimalFault::NotANumber;
  const char* end = text.data() + text.size();
  if (scan_decimal(text.data(), end, out, &fault) != end && fault == DecimalFault::None) {
    fault = DecimalFault::NotANumber;  // something follows the number
  }
  return fault;
}

std::optional<Step> parse_step(std::string_view text) {
  Decimal d;
  if (parse_decimal(text, &d) != DecimalFault::None || d.digits == 0 || d.negative) {
    return std::nullopt;
  }
  return Step{d, std::string(text)};
}

Scaled scale(const Decimal& value, const Step& step, Rounding rounding) {
  if (value.digits == 0) return Scaled{};
  // value / step = (v × 10^ve) / (s × 10^se) = v × 10^d / s, d = ve - se,
  // taken as numerator / denominator with the power of ten on one side.
  const int d = value.exponent - step.value.exponent;
  u128 numerator = value.digits;
  u128 denominator = step.value.digits;
  u128 quotient, remainder;
  bool tiny = false;  // the denominator is beyond 2^128, so the quotient is 0
  if (d > 0) {
    if (d > MAX_POW10_128 || __builtin_mul_overflow(numerator, POW10_128[d], &numerator)) {
      return Scaled{0, ScaleFault::OutOfRange};
    }
  } else if (d < 0) {
    tiny = -d > MAX_POW10_128 || __builtin_mul_overflow(denominator, POW10_128[-d], &denominator);
  }
  if (tiny) {
    quotient = 0;
    remainder = numerator;  // nonzero: value.digits is
  } else if (denominator == 1) {
    // The usual case: a step that is a power of ten, met by a value written
    // to the same number of places.
    quotient = numerator;
    remainder = 0;
  } else if ((numerator >> 64) == 0 && (denominator >> 64) == 0) {
    const auto n = static_cast<std::uint64_t>(numerator);
    const auto s = static_cast<std::uint64_t>(denominator);
    quotient = n / s;
    remainder = n % s;
  } else {
    quotient = numerator / denominator;
    remainder = numerator % denominator;
  }
  if (remainder != 0) {
    if (rounding == Rounding::Exact) return Scaled{0, ScaleFault::NotMultiple};
    if (rounding == Rounding::Nearest) {
      // Away from zero past the half, and at the half to the even count.  A
      // denominator beyond 2^128 leaves a remainder far below its half.
      const bool away = !tiny && (remainder > denominator - remainder ||
                                  (remainder == denominator - remainder && (quotient & 1) != 0));
      if (away) ++quotient;
    } else if ((rounding == Rounding::Up) != value.negative) {
      // Rounding away from zero is up for a positive value and down for a
      // negative one.
      ++quotient;
    }
  }
  if (quotient > I64_MAX) return Scaled{0, ScaleFault::OutOfRange};
  const auto magnitude = static_cast<std::int64_t>(quotient);
  return Scaled{value.negative ? -magnitude : magnitude, ScaleFault::None};
}

}  // namespace halvorn::data

namespace halvorn::data {

Decimal common_step(const Decimal& step, const Decimal& value) {
  // gcd(s × 10^es, 10^ev): 10^ev when the step's exponent is at least ev,
  // else 10^es × gcd(s, 10^(ev - es)), whose factors are those twos and fives
  // of s that 10^(ev - es) has too.
  if (step.exponent >= value.exponent) return Decimal{1, value.exponent, false};
  const int k = value.exponent - step.exponent;
  std::uint64_t s = step.digits;
  std::uint64_t g = 1;
  for (int i = 0; i < k && s % 2 == 0; ++i) s /= 2, g *= 2;
  for (int i = 0; i < k && s % 5 == 0; ++i) s /= 5, g *= 5;
  Decimal out{g, step.exponent, false};
  while (out.digits % 10 == 0) out.digits /= 10, ++out.exponent;
  return out;
}

std::string decimal_text(const Decimal& d) {
  std::string digits = std::to_string(d.digits);
  std::string out = d.negative && d.digits != 0 ? "-" : "";
  if (d.digits == 0) return "0";
  const int e = d.exponent;
  if (e >= 0) {
    if (e > 40) return out + digits + "e" + std::to_string(e);
    return out + digits + std::string(static_cast<std::size_t>(e), '0');
  }
  const auto places = static_cast<std::size_t>(-e);
  if (places > digits.size()) {
    if (places - digits.size() > 40) return out + digits + "e" + std::to_string(e);
    return out + "0." + std::string(places - digits.size(), '0') + digits;
  }
  const std::size_t whole = digits.size() - places;
  return out + (whole == 0 ? "0" : digits.substr(0, whole)) + "." + digits.substr(whole);
}

}  // namespace halvorn::data
