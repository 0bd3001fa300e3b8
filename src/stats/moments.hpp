// The foundation of the statistics: the error every statistic reports, the
// per-period Sharpe ratio of a return series and its sample moments.
//
// Floating point enters the system here, after the backtest has finished.
// Every sum is taken in a fixed order (left to right, in input order) so a
// result is reproducible to the last bit; two statistics that share a sum
// agree exactly, which is why `mean / std_dev` of Moments equals
// sharpe_ratio of the same series.
//
// Thread-safety: pure functions over caller-owned slices; plain values.

#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>

namespace halvorn::stats {

// Fewer returns, periods or configurations than the statistic needs.
struct TooFewObservations {
  std::size_t got = 0;
  std::size_t need = 0;
};

// A variance, or the variance factor of a Sharpe ratio, is not positive, so
// the ratio built on it is undefined.
struct ZeroVariance {};

// A performance matrix that cannot be built; `reason` is one of the fixed
// texts of the matrix builder, with static storage.
struct MalformedMatrix {
  const char* reason = "";
};

// A block count for cross-validation that is odd, below 4 or above 24.
struct BadSplitCount {
  std::size_t n_blocks = 0;
};

// An input that is NaN or infinite; `what` names it, with static storage.
struct NotFinite {
  const char* what = "";
};

// A StatsError is why a statistic has no value: a value itself, with a fixed
// display text, never an exception.
struct StatsError {
  using Kind =
      std::variant<TooFewObservations, ZeroVariance, MalformedMatrix, BadSplitCount, NotFinite>;

  Kind kind;

  // The user-facing text, e.g. "too few observations: got 3, need at least 4".
  std::string display() const;
};

// Either the statistic or why it has none.
template <class T>
using Result = std::variant<T, StatsError>;

// The error of a result, or nullptr when it holds a value.
template <class T>
const StatsError* error_of(const Result<T>& r) {
  return std::get_if<StatsError>(&r);
}

// The sample moments of a return series.
//
// Invariants: n >= 4; std_dev > 0; every field finite unless the sums
// overflowed.
struct Moments {
  std::size_t n = 0;
  double mean = 0.0;
  double std_dev = 0.0;   // divisor n - 1
  double skewness = 0.0;  // third central moment over the second to the power 1.5
  double kurtosis = 0.0;  // fourth over the second squared: about 3 for a normal sample

  // Fails with TooFewObservations (need 4), then NotFinite ("return"), then
  // ZeroVariance when every return is the same.
  static Result<Moments> from_returns(std::span<const double> returns);
};

// The per-period Sharpe ratio: mean over sample standard deviation, with no
// risk-free rate and no annualisation.  Fails as Moments::from_returns does.
Result<double> sharpe_ratio(std::span<const double> returns);

}  // namespace halvorn::stats
