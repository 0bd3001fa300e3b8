// The pure steps of the statistics functions: the checks and derived inputs
// that belong to the Python layer rather than to the statistics themselves,
// and the call into the statistics with every error turned into its text.
//
// Nothing here touches a Python object, so the steps can be reasoned about
// (and tested) without an interpreter; the module functions only convert
// arguments, call one of these and raise ValueError with the text on failure.
//
// Thread-safety: pure functions.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace halvorn::py::pure {

// A value, or the exact message of the ValueError that replaces it.
template <class T>
using Outcome = std::variant<T, std::string>;

// What moments() returns: the Sharpe ratio from the moments, then the shape.
struct MomentsSummary {
  double sharpe = 0.0;
  double skewness = 0.0;
  double kurtosis = 0.0;
};

// The inputs deflated_sharpe_ratio derives from every trial's Sharpe ratio.
struct Deflation {
  double observed = 0.0;         // the largest ratio, NaN entries ignored
  std::uint64_t n_trials = 0;    // the number of entries
  double trials_variance = 0.0;  // sample variance of all entries
};

Outcome<double> sharpe_ratio(std::span<const double> returns);

Outcome<MomentsSummary> moments(std::span<const double> returns);

Outcome<double> probabilistic_sharpe_ratio(double observed, double benchmark,
                                           std::uint64_t n_observations, double skewness,
                                           double kurtosis);

// Refuses fewer than two entries: with one candidate there was no search to
// deflate.  A NaN entry makes the variance NaN, which the statistics then
// report as a non-finite benchmark.
Outcome<Deflation> deflation_inputs(std::span<const double> all_sharpes);

Outcome<double> deflated_sharpe_ratio(std::span<const double> all_sharpes,
                                      std::uint64_t n_observations, double skewness,
                                      double kurtosis);

Outcome<double> minimum_track_record_length(double observed, double benchmark, double skewness,
                                            double kurtosis, double confidence);

// The message for fewer than two columns or the first column whose length
// differs from column 0's; nullopt when the columns are fit to build a
// matrix from.
std::optional<std::string> check_columns(std::span<const std::vector<double>> columns);

// The probability of backtest overfitting alone; the rest of the report is
// not part of the Python answer.
Outcome<double> probability_of_backtest_overfitting(std::span<const std::vector<double>> columns,
                                                    std::uint64_t n_blocks);

}  // namespace halvorn::py::pure
