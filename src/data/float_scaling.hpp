// Binary floating-point values to whole ticks and lots, exactly.
//
// Data often arrives as float64 columns.  A float64 holds a binary fraction,
// never 0.1 itself, so "is 42123.4 a whole number of ticks of 0.1" has no
// answer for the value the float holds (42123.40000000000145519152...).  It
// has one for the decimal the float stands for: the shortest text that reads
// back as the same float, "42123.4", which is what the float was made from
// whenever it was made from a decimal of up to 15 significant digits.  Here
// a float is always that decimal, scaled exactly as decimal.hpp scales text:
// 42123.4 is 421234 ticks of 0.1, and 42123.45 is not a whole number of
// them.
//
// A float that is not its decimal's grid point may still be float noise
// around one: 0.00031099999999999997 is what 0.000311 becomes after a
// division, one double away from the double 0.000311 reads as.  Refusing it
// (or rounding it down a whole lot) would lose a lot that was traded.  So a
// float x is the grid point g nearest its decimal when x lies within
// NOISE_ULPS doubles of the double that g reads as: within the error a
// decimal picks up in being written as a float and put through an operation
// or two.  Within is counted in doubles, so it scales with the value.
//
// No value really off the grid is within.  Take x made from a decimal x0 of
// up to 15 significant digits, the first in the place 10^E, off the grid of
// a step whose last digit lies in that 15th place or above it (every real
// tick and lot size).  x0 and every grid point are whole multiples of
// 10^(E-14), so they differ by at least that, more than 4.5 doubles (a
// double in [10^E, 10^(E+1)) is at most 2.3 × 10^(E-15) from the next).
// Writing each as a double moves it by at most half of one, so x and g's
// double are more than 3.5 doubles apart: at least 4, more than NOISE_ULPS.
// Only such a value is refused, or rounded by its side.
//
// The definition is the exact path: the shortest text (std::to_chars), read
// by parse_decimal and divided by scale.  It costs some 100 ns a value; the
// fast path below gives the same answer in a few, and falls back to the
// exact path whenever it cannot prove that it does.
//
// The fast path, for a step of s × 10^e: n = x / step rounded to the nearest
// integer, in double arithmetic, is the count if any count is.  It forms the
// candidate decimal C = n × s × 10^e exactly, as the integer m = n × s and
// the power 10^e.  When |m| < 10^15 and |e| <= 22, both m and 10^|e| are
// doubles exactly, so one IEEE multiplication or division by 10^|e| gives C
// correctly rounded to a double.  If that double is x, then C is a decimal of
// at most 15 significant digits that reads as x; two different decimals of at
// most 15 significant digits never read as the same double (15 is the
// number of decimal digits a double always keeps), and the shortest text of x
// has at most as many digits as C; so the shortest text has C's value, and n
// is the count.  Anything else (a value off the grid, more than 15 digits, a
// step of more than 15 digits or beyond 10^±22, NaN) takes the exact path.
//
// Thread-safety: pure functions.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "data/decimal.hpp"

namespace halvorn::data {

// How many doubles away from its grid point's double a float may lie and
// still be that grid point.
inline constexpr std::int64_t NOISE_ULPS = 3;

enum class DoubleFault : std::uint8_t {
  None,
  NotMultiple,  // off the step's grid, with Rounding::Exact
  OutOfRange,   // the count of steps is beyond ±INT64_MAX
  NotFinite,    // NaN or an infinity
};

// A float64 counted in steps.
struct DoubleScaled {
  std::int64_t count = 0;
  DoubleFault fault = DoubleFault::None;
  bool moved = false;  // rounded onto the grid (only with Down or Up)
  friend bool operator==(const DoubleScaled&, const DoubleScaled&) = default;
};

// The shortest decimal text that reads back as `x` ("42123.4", "1e+22",
// "-0", "nan", "inf"): std::to_chars's.
std::string shortest_text(double x);

// The shortest decimal of `x` divided by `step`, exactly, or the grid point
// `x` is float noise around; else rounded as asked: toward minus infinity
// for Down, plus infinity for Up, to the nearer step for Nearest, as
// scale() rounds.
DoubleScaled scale_double(double x, const Step& step, Rounding rounding);

// The same by the exact path alone: the definition scale_double keeps to,
// exposed so that the two can be checked against one another.
DoubleScaled scale_double_exact(double x, const Step& step, Rounding rounding);

// What scaling a column did: where it stopped, if it did, and how many
// values it rounded onto the grid before that.
struct ColumnScaled {
  std::size_t bad_row = 0;  // the first value that did not scale; n when all did
  DoubleFault fault = DoubleFault::None;
  std::string text;         // that value's shortest text
  std::uint64_t moved = 0;  // values rounded (with Down or Up)

  bool ok() const { return fault == DoubleFault::None; }
};

// Scales the n values at data, data + stride_bytes, ... (any stride,
// negative or 0 too, and no alignment required) into out[0], out[out_stride],
// ... .  Stops at the first value that does not scale, having written those
// before it.  Fast: a value on the grid costs a few nanoseconds.
ColumnScaled scale_double_column(const double* data, std::size_t n, std::ptrdiff_t stride_bytes,
                                 const Step& step, Rounding rounding, std::int64_t* out,
                                 std::ptrdiff_t out_stride = 1);

}  // namespace halvorn::data
