// Decimal text to whole ticks and lots, exactly.
//
// Archives write prices and quantities as decimal text ("42123.40", "0.013");
// the engine counts them in whole steps of the instrument (ticks of
// `tick_size`, lots of `lot_size`), themselves written as decimal text
// ("0.10", "0.001", "5").  Going through a binary floating-point number would
// turn 0.1 into 0.1000000000000000055 and make "is this a whole number of
// ticks" a question of luck, so nothing here uses floating point: a number is
// read as an integer of significant digits and a power of ten, and divided by
// the step in 128-bit integer arithmetic.
//
// Accepted text: an optional sign, digits with at most one decimal point (at
// least one digit somewhere: "5", "5.", ".5", "-0.25", "+007.10"), and an
// optional exponent ("1e-3", "2.5E+4").  At most 19 significant digits
// (leading and trailing zeros do not count).  No spaces, no thousands
// separators, no "nan" or "inf".
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvorn::data {

// A decimal number as written: (-1)^negative × digits × 10^exponent.
//
// Invariants: digits has no trailing zero digit (they are moved into the
// exponent), so two texts of the same value give the same Decimal except for
// the sign of zero; zero is digits 0, exponent 0.
struct Decimal {
  std::uint64_t digits = 0;
  std::int32_t exponent = 0;
  bool negative = false;
};

// Why a text is not a Decimal.
enum class DecimalFault : std::uint8_t {
  None,
  NotANumber,     // not of the accepted form
  TooManyDigits,  // more than 19 significant digits
  OutOfRange,     // an exponent beyond ±9999
};

// Reads a number starting at `p`, stopping at the first byte that cannot
// continue it (or at `end`).  Returns where it stopped; `*fault` says whether
// what was read is a number.  The caller decides whether the byte it stopped
// at may follow a number.
const char* scan_decimal(const char* p, const char* end, Decimal* out, DecimalFault* fault);

// The whole of `text` as a number.
DecimalFault parse_decimal(std::string_view text, Decimal* out);

// The size of one tick or one lot.
//
// Invariants: positive (digits > 0, negative false); `text` is what it was
// made from, kept for error texts.
struct Step {
  Decimal value;
  std::string text;
};

// A step from its text, or nothing when the text is not a positive number
// ("0", "-0.1", "abc").
std::optional<Step> parse_step(std::string_view text);

// How a value that is not a whole number of steps is treated.
enum class Rounding : std::uint8_t {
  Exact,    // refused
  Down,     // the whole number of steps just below (toward minus infinity)
  Up,       // the whole number of steps just above (toward plus infinity)
  Nearest,  // the nearer of the two, the even one at a tie
};

enum class ScaleFault : std::uint8_t {
  None,
  NotMultiple,  // only with Rounding::Exact
  OutOfRange,   // the count of steps does not fit in a signed 64-bit integer
};

// A value counted in steps.
struct Scaled {
  std::int64_t count = 0;
  ScaleFault fault = ScaleFault::None;
};

// `value` / `step`, exactly, rounded as asked.  The count is within
// ±INT64_MAX; anything beyond is OutOfRange, never wrapped.
Scaled scale(const Decimal& value, const Step& step, Rounding rounding);

// The coarsest step of which both `step` and `value` are whole numbers,
// taking `value` as a number of its last written digit's place: the greatest
// common divisor of the step and that place (0.10 and 42123.45 give 0.01;
// 0.25 and 10.3 give 0.05).  What a price that is not a whole number of
// ticks suggests the tick size be, since it also fits every price that was.
// Requires: step positive.
Decimal common_step(const Decimal& step, const Decimal& value);

// A number as plain decimal text ("0.01", "500", "-2.5"), or with an
// exponent ("1e-45") where that would take more than 40 zeros.
std::string decimal_text(const Decimal& d);

}  // namespace halvorn::data
