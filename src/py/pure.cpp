#include "py/pure.hpp"

#include <cmath>

#include "stats/dsr.hpp"
#include "stats/moments.hpp"
#include "stats/pbo.hpp"

namespace halvorn::py::pure {

namespace {

// Carries a statistic's value across, or its error as the display text.
template <class T>
Outcome<T> text_of(stats::Result<T>&& r) {
  if (const stats::StatsError* e = stats::error_of(r)) return e->display();
  return std::get<T>(std::move(r));
}

}  // namespace

Outcome<double> sharpe_ratio(std::span<const double> returns) {
  return text_of(stats::sharpe_ratio(returns));
}

Outcome<MomentsSummary> moments(std::span<const double> returns) {
  auto r = stats::Moments::from_returns(returns);
  if (const stats::StatsError* e = stats::error_of(r)) return e->display();
  const stats::Moments& m = std::get<stats::Moments>(r);
  return MomentsSummary{m.mean / m.std_dev, m.skewness, m.kurtosis};
}

Outcome<double> probabilistic_sharpe_ratio(double observed, double benchmark,
                                           std::uint64_t n_observations, double skewness,
                                           double kurtosis) {
  return text_of(
      stats::probabilistic_sharpe_ratio(n_observations, observed, benchmark, skewness, kurtosis));
}

Outcome<Deflation> deflation_inputs(std::span<const double> all_sharpes) {
  if (all_sharpes.size() < 2) {
    return std::string(
        "deflation needs more than one configuration: with one candidate there was no search "
        "to deflate, and the answer is the plain Sharpe ratio");
  }
  Deflation d;
  d.n_trials = all_sharpes.size();
  // Not `max`: a NaN is skipped, and a later equal entry replaces an earlier
  // one, which only matters for the sign of zero.
  d.observed = -1.7976931348623157e308;
  for (double x : all_sharpes) {
    if (!std::isnan(x) && !(x < d.observed)) d.observed = x;
  }
  const double n = static_cast<double>(all_sharpes.size());
  double sum = 0.0;
  for (double x : all_sharpes) sum += x;
  const double mean = sum / n;
  double squares = 0.0;
  for (double x : all_sharpes) squares += (x - mean) * (x - mean);
  d.trials_variance = squares / (n - 1.0);
  return d;
}

Outcome<double> deflated_sharpe_ratio(std::span<const double> all_sharpes,
                                      std::uint64_t n_observations, double skewness,
                                      double kurtosis) {
  auto inputs = deflation_inputs(all_sharpes);
  if (auto* text = std::get_if<std::string>(&inputs)) return std::move(*text);
  const Deflation& d = std::get<Deflation>(inputs);
  return text_of(stats::deflated_sharpe_ratio(n_observations, d.n_trials, d.observed, skewness,
                                              kurtosis, d.trials_variance));
}

Outcome<double> minimum_track_record_length(double observed, double benchmark, double skewness,
                                            double kurtosis, double confidence) {
  return text_of(
      stats::minimum_track_record_length(observed, benchmark, skewness, kurtosis, confidence));
}

std::optional<std::string> check_columns(std::span<const std::vector<double>> columns) {
  if (columns.size() < 2) {
    return std::string(
        "overfitting is a statement about a choice among alternatives; with one configuration "
        "there was no choice");
  }
  const std::size_t len_0 = columns[0].size();
  for (std::size_t i = 1; i < columns.size(); ++i) {
    if (columns[i].size() != len_0) {
      return "column " + std::to_string(i) + " has " + std::to_string(columns[i].size()) +
             " returns and column 0 has " + std::to_string(len_0) +
             "; equalise them deliberately rather than having this truncate for you";
    }
  }
  return std::nullopt;
}

Outcome<double> probability_of_backtest_overfitting(std::span<const std::vector<double>> columns,
                                                    std::uint64_t n_blocks) {
  if (auto text = check_columns(columns)) return std::move(*text);
  auto matrix = stats::PerformanceMatrix::from_columns(columns);
  if (const stats::StatsError* e = stats::error_of(matrix)) return e->display();
  auto report = stats::probability_of_backtest_overfitting(
      std::get<stats::PerformanceMatrix>(matrix), n_blocks);
  if (const stats::StatsError* e = stats::error_of(report)) return e->display();
  return std::get<stats::PboReport>(report).pbo;
}

}  // namespace halvorn::py::pure
