#include "stats/moments.hpp"

#include <cmath>
#include <optional>

#include "types/overloaded.hpp"

namespace halvorn::stats {

namespace {

constexpr std::size_t MIN_RETURNS = 4;

// The count is checked before the values, so a short series reports its
// length even when it also holds a NaN.
std::optional<StatsError> validate(std::span<const double> returns) {
  if (returns.size() < MIN_RETURNS) {
    return StatsError{TooFewObservations{returns.size(), MIN_RETURNS}};
  }
  for (double x : returns) {
    if (!std::isfinite(x)) return StatsError{NotFinite{"return"}};
  }
  return std::nullopt;
}

// Starting from negative zero keeps the sign of an all-negative-zero series,
// as IEEE addition does.
double mean_of(std::span<const double> returns) {
  double sum = -0.0;
  for (double x : returns) sum += x;
  return sum / static_cast<double>(returns.size());
}

}  // namespace

std::string StatsError::display() const {
  return std::visit(Overloaded{
                        [](const TooFewObservations& e) {
                          return "too few observations: got " + std::to_string(e.got) +
                                 ", need at least " + std::to_string(e.need);
                        },
                        [](const ZeroVariance&) {
                          return std::string("sample has zero variance; Sharpe ratio is undefined");
                        },
                        [](const MalformedMatrix& e) {
                          return std::string("malformed performance matrix: ") + e.reason;
                        },
                        [](const BadSplitCount& e) {
                          return "split count must be even, at least 4 and at most 24, got " +
                                 std::to_string(e.n_blocks);
                        },
                        [](const NotFinite& e) { return std::string(e.what) + " must be finite"; },
                    },
                    kind);
}

Result<double> sharpe_ratio(std::span<const double> returns) {
  if (auto err = validate(returns)) return *err;
  const double mean = mean_of(returns);
  double s2 = 0.0;
  for (double x : returns) {
    const double d = x - mean;
    s2 += d * d;
  }
  const double n = static_cast<double>(returns.size());
  const double v = s2 / n;
  if (v <= 0.0) return StatsError{ZeroVariance{}};
  // (v * n) / (n - 1) rather than s2 / (n - 1): the moments take the same
  // route, so the two Sharpe ratios agree bit for bit.
  const double sample_variance = (v * n) / (n - 1.0);
  return mean / std::sqrt(sample_variance);
}

Result<Moments> Moments::from_returns(std::span<const double> returns) {
  if (auto err = validate(returns)) return *err;
  const double mean = mean_of(returns);
  double s2 = 0.0;
  double s3 = 0.0;
  double s4 = 0.0;
  for (double x : returns) {
    const double d = x - mean;
    const double dd = d * d;
    s2 += dd;
    s3 += d * dd;
    s4 += dd * dd;
  }
  const double n = static_cast<double>(returns.size());
  const double m2 = s2 / n;
  if (m2 <= 0.0) return StatsError{ZeroVariance{}};
  Moments m;
  m.n = returns.size();
  m.mean = mean;
  m.std_dev = std::sqrt((m2 * n) / (n - 1.0));
  m.skewness = (s3 / n) / std::pow(m2, 1.5);
  m.kurtosis = (s4 / n) / (m2 * m2);
  return m;
}

}  // namespace halvorn::stats
