#include "stats/dsr.hpp"

#include <cmath>
#include <optional>

#include "stats/normal.hpp"

namespace halvorn::stats {

namespace {

constexpr double EULER = 2.718281828459045;
constexpr double GAMMA = 0.5772156649015329;  // Euler-Mascheroni
constexpr double ONE_MINUS_GAMMA = 0.42278433509846713;

// The variance of the Sharpe ratio estimate, in units of 1 / (n - 1).  Fat
// tails (kurtosis above 3) widen it; a positive skew narrows it for a
// positive ratio.
double variance_factor(double sharpe, double skewness, double kurtosis) {
  return ((kurtosis + -1.0) * 0.25 * sharpe * sharpe) + (1.0 - skewness * sharpe);
}

std::optional<StatsError> first_not_finite(double observed, double benchmark, double skewness,
                                           double kurtosis) {
  if (!std::isfinite(observed)) return StatsError{NotFinite{"sharpe"}};
  if (!std::isfinite(benchmark)) return StatsError{NotFinite{"benchmark"}};
  if (!std::isfinite(skewness)) return StatsError{NotFinite{"skewness"}};
  if (!std::isfinite(kurtosis)) return StatsError{NotFinite{"kurtosis"}};
  return std::nullopt;
}

}  // namespace

Result<double> probabilistic_sharpe_ratio(std::size_t n_observations, double observed,
                                          double benchmark, double skewness, double kurtosis) {
  if (n_observations <= 1) return StatsError{TooFewObservations{n_observations, 2}};
  if (auto err = first_not_finite(observed, benchmark, skewness, kurtosis)) return *err;
  const double v = variance_factor(observed, skewness, kurtosis);
  if (v <= 0.0) return StatsError{ZeroVariance{}};
  // n - 1 in integers first: exact for any count below 2^53, and no 1.0 is
  // subtracted from a count that has already been rounded.
  const double periods = static_cast<double>(n_observations - 1);
  const double z = (std::sqrt(periods) * (observed - benchmark)) / std::sqrt(v);
  return cdf(z);
}

double expected_maximum_sharpe(std::size_t n_trials, double trials_variance) {
  // A NaN variance is not <= 0, so it reaches the square root and the result
  // is NaN, which the caller reports as a non-finite benchmark.
  if (n_trials < 2 || trials_variance <= 0.0) return 0.0;
  const double n = static_cast<double>(n_trials);
  const double z1 = inverse_cdf(1.0 + 1.0 / (n * -1.0));
  const double z2 = inverse_cdf(1.0 + 1.0 / (n * -EULER));
  return (z1 * ONE_MINUS_GAMMA + z2 * GAMMA) * std::sqrt(trials_variance);
}

Result<double> deflated_sharpe_ratio(std::size_t n_observations, std::size_t n_trials,
                                     double observed, double skewness, double kurtosis,
                                     double trials_variance) {
  const double sr0 = expected_maximum_sharpe(n_trials, trials_variance);
  return probabilistic_sharpe_ratio(n_observations, observed, sr0, skewness, kurtosis);
}

Result<double> minimum_track_record_length(double observed, double benchmark, double skewness,
                                           double kurtosis, double confidence) {
  if (auto err = first_not_finite(observed, benchmark, skewness, kurtosis)) return *err;
  if (!std::isfinite(confidence)) return StatsError{NotFinite{"confidence"}};
  // No track record is long enough to beat a benchmark the ratio does not
  // exceed; the quantity is undefined, like a ratio without variance.
  if (benchmark >= observed) return StatsError{ZeroVariance{}};
  const double v = variance_factor(observed, skewness, kurtosis);
  if (v <= 0.0) return StatsError{ZeroVariance{}};
  const double z = inverse_cdf(confidence);
  const double h = z / (observed - benchmark);
  return v * (h * h) + 1.0;
}

}  // namespace halvorn::stats
