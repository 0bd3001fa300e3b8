#include "data/float_scaling.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "types/panic.hpp"

namespace halvorn::data {

namespace {

// The powers of ten a double holds exactly: 10^k is 5^k × 2^k, and 5^22 is
// the last power of five below 2^53.
constexpr int MAX_EXACT_POWER = 22;
constexpr double POW10[MAX_EXACT_POWER + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// Decimals of up to 15 significant digits are the ones every double keeps
// apart.
constexpr double DIGITS_LIMIT = 1e15;
// Adding 1.5 × 2^52 to a double below 2^51 in magnitude leaves no bits below
// the units, rounding it to the nearest integer; subtracting it again is
// exact.
constexpr double ROUNDER = 0x1.8p52;
constexpr double ROUNDABLE = 0x1p51;

// A step as the fast path uses it: s × 10^e with s and 10^|e| exact doubles.
struct Grid {
  bool usable = false;
  bool divide = false;  // e < 0: C = m / 10^-e, else m × 10^e
  double digits = 0;    // s
  double power = 1;     // 10^|e|
  double inverse = 0;   // about 1 / step: only guesses n, which is then checked
};

Grid grid_of(const Step& step) {
  const Decimal& v = step.value;
  Grid g;
  if (v.digits == 0 || static_cast<double>(v.digits) >= DIGITS_LIMIT ||
      v.exponent < -MAX_EXACT_POWER || v.exponent > MAX_EXACT_POWER) {
    return g;
  }
  g.usable = true;
  g.divide = v.exponent < 0;
  g.digits = static_cast<double>(v.digits);
  g.power = POW10[v.exponent < 0 ? -v.exponent : v.exponent];
  g.inverse = g.divide ? g.power / g.digits : 1.0 / (g.digits * g.power);
  return g;
}

// The count of `x` when the fast path can prove it (see the header), else
// false.  NaN and the infinities fail the first test.
template <bool Divide>
inline bool fast(const Grid& g, double x, std::int64_t* count) {
  const double q = x * g.inverse;
  if (!(std::fabs(q) < ROUNDABLE)) return false;
  const double n = (q + ROUNDER) - ROUNDER;
  // Exact: if the true product reached 10^15, the rounded one does too.
  const double m = n * g.digits;
  if (!(std::fabs(m) < DIGITS_LIMIT)) return false;
  const double c = Divide ? m / g.power : m * g.power;
  if (c != x) return false;
  *count = static_cast<std::int64_t>(n);
  return true;
}

DoubleFault fault_of(ScaleFault f) {
  switch (f) {
    case ScaleFault::None:
      return DoubleFault::None;
    case ScaleFault::NotMultiple:
      return DoubleFault::NotMultiple;
    case ScaleFault::OutOfRange:
      return DoubleFault::OutOfRange;
  }
  panic("a scale fault is one of three");
}

template <bool Divide>
ColumnScaled scale_column(const Grid& g, const std::uint8_t* at, std::size_t n,
                          std::ptrdiff_t stride, const Step& step, Rounding rounding,
                          std::int64_t* out, std::ptrdiff_t out_stride) {
  ColumnScaled r;
  r.bad_row = n;
  for (std::size_t i = 0; i < n; ++i, at += stride, out += out_stride) {
    double x;
    std::memcpy(&x, at, sizeof x);
    if (g.usable && fast<Divide>(g, x, out)) [[likely]]
      continue;
    const DoubleScaled s = scale_double_exact(x, step, rounding);
    if (s.fault != DoubleFault::None) {
      r.bad_row = i;
      r.fault = s.fault;
      r.text = shortest_text(x);
      return r;
    }
    *out = s.count;
    r.moved += s.moved;
  }
  return r;
}

// The doubles in order as integers: adjacent doubles are adjacent integers,
// and +0 and -0 are both 0.
std::int64_t ordinal(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto magnitude = static_cast<std::int64_t>(bits & ~(std::uint64_t{1} << 63));
  return (bits >> 63) != 0 ? -magnitude : magnitude;
}

// The double nearest to count × step (correctly rounded, as reading its
// text is), or none when that text cannot be made.
std::optional<double> grid_double(std::int64_t count, const Step& step) {
  const __int128 product = static_cast<__int128>(count) * static_cast<__int128>(step.value.digits);
  unsigned __int128 m = product < 0 ? static_cast<unsigned __int128>(-product)
                                    : static_cast<unsigned __int128>(product);
  char buf[64];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(m % 10));
    m /= 10;
  } while (m != 0);
  if (product < 0) *--p = '-';
  std::string text(p, end);
  text += 'e';
  text += std::to_string(step.value.exponent);
  double out = 0;
  const std::from_chars_result r = std::from_chars(text.data(), text.data() + text.size(), out);
  if (r.ec != std::errc() || !std::isfinite(out)) return std::nullopt;
  return out;
}

// Whether `x` is float noise around the grid point nearest its decimal `d`:
// within NOISE_ULPS doubles of the double that grid point reads as.  Sets
// the grid point's count when it is.
bool noise_around_grid(double x, const Decimal& d, const Step& step, std::int64_t* count) {
  const Scaled nearest = scale(d, step, Rounding::Nearest);
  if (nearest.fault != ScaleFault::None) return false;
  const std::optional<double> g = grid_double(nearest.count, step);
  if (!g) return false;
  const __int128 apart = static_cast<__int128>(ordinal(x)) - ordinal(*g);
  if (apart > NOISE_ULPS || apart < -static_cast<__int128>(NOISE_ULPS)) return false;
  *count = nearest.count;
  return true;
}

}  // namespace

std::string shortest_text(double x) {
  char buf[32];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

DoubleScaled scale_double_exact(double x, const Step& step, Rounding rounding) {
  if (!std::isfinite(x)) return DoubleScaled{0, DoubleFault::NotFinite, false};
  // Scientific form: the plain form writes a large integral double with all
  // of its digits (3256937983961036488704), more than a Decimal holds,
  // where the shortest round trip needs at most 17.
  char buf[32];
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  Decimal d;
  if (parse_decimal(std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)), &d) !=
      DecimalFault::None) {
    panic("the shortest text of a finite double is a decimal number");
  }
  Scaled s = scale(d, step, Rounding::Exact);
  if (s.fault == ScaleFault::NotMultiple && noise_around_grid(x, d, step, &s.count)) {
    return DoubleScaled{s.count, DoubleFault::None, false};
  }
  bool moved = false;
  if (s.fault == ScaleFault::NotMultiple && rounding != Rounding::Exact) {
    s = scale(d, step, rounding);
    moved = s.fault == ScaleFault::None;
  }
  return DoubleScaled{s.count, fault_of(s.fault), moved};
}

DoubleScaled scale_double(double x, const Step& step, Rounding rounding) {
  const Grid g = grid_of(step);
  std::int64_t count;
  if (g.usable && (g.divide ? fast<true>(g, x, &count) : fast<false>(g, x, &count))) {
    return DoubleScaled{count, DoubleFault::None, false};
  }
  return scale_double_exact(x, step, rounding);
}

ColumnScaled scale_double_column(const double* data, std::size_t n, std::ptrdiff_t stride_bytes,
                                 const Step& step, Rounding rounding, std::int64_t* out,
                                 std::ptrdiff_t out_stride) {
  const Grid g = grid_of(step);
  const auto* at = reinterpret_cast<const std::uint8_t*>(data);
  return g.divide ? scale_column<true>(g, at, n, stride_bytes, step, rounding, out, out_stride)
                  : scale_column<false>(g, at, n, stride_bytes, step, rounding, out, out_stride);
}

}  // namespace halvorn::data
