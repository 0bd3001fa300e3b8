// Three judgements of an observed per-period Sharpe ratio: the probabilistic
// Sharpe ratio, the deflated Sharpe ratio and the minimum track record length.
//
// All three correct the ratio for the length of the sample and for returns
// that are not normal.  Skewness and kurtosis are the population moments of
// Moments: kurtosis is the plain fourth standardised moment (3 for a normal
// distribution), not the excess.
//
// Thread-safety: pure functions.

#pragma once

#include <cstddef>

#include "stats/moments.hpp"

namespace halvorn::stats {

// The probability that the true Sharpe ratio exceeds `benchmark`, given
// `observed` over `n_observations` periods.  Fails, in this order, with
// TooFewObservations (need 2), NotFinite for "sharpe", "benchmark",
// "skewness", "kurtosis", and ZeroVariance when the moments make the
// variance of the estimate non-positive.
Result<double> probabilistic_sharpe_ratio(std::size_t n_observations, double observed,
                                          double benchmark, double skewness, double kurtosis);

// The Sharpe ratio the best of `n_trials` configurations would show by luck
// alone when their ratios vary with `trials_variance`.  Zero with fewer than
// two trials or no variance; NaN for a NaN variance.
double expected_maximum_sharpe(std::size_t n_trials, double trials_variance);

// The probabilistic Sharpe ratio of the selected configuration against
// expected_maximum_sharpe: what is left of `observed` once the search that
// found it is accounted for.  Fails as probabilistic_sharpe_ratio does, with
// the expected maximum checked under the name "benchmark".
Result<double> deflated_sharpe_ratio(std::size_t n_observations, std::size_t n_trials,
                                     double observed, double skewness, double kurtosis,
                                     double trials_variance);

// How many observations `observed` needs before it beats `benchmark` at
// `confidence`, unrounded.  Fails with NotFinite ("sharpe", "benchmark",
// "skewness", "kurtosis", "confidence"), then ZeroVariance when `observed`
// does not exceed `benchmark` or the variance factor is not positive.
// `confidence` is not range-checked: 0 and 1 give +inf, values outside
// [0, 1] NaN.
Result<double> minimum_track_record_length(double observed, double benchmark, double skewness,
                                           double kurtosis, double confidence);

}  // namespace halvorn::stats
