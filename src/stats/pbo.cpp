#include "stats/pbo.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace halvorn::stats {

namespace {

constexpr double NEG_INF = -std::numeric_limits<double>::infinity();

// The rank share of the winner is kept strictly inside (0, 1) so that its
// logit is finite even when it is best or worst of all.
constexpr double OMEGA_MIN = 2.220446049250313e-16;
constexpr double OMEGA_MAX = 0.9999999999999998;

constexpr std::size_t MIN_BLOCKS = 4;
constexpr std::size_t MAX_BLOCKS = 24;  // C(24, 12) = 2'704'156 splits, the most worth waiting for

std::size_t binomial(std::size_t n, std::size_t k) {
  std::size_t c = 1;
  // Each partial product is C(n - k + i, i) times an integer, so the
  // division is exact at every step.
  for (std::size_t i = 1; i <= k; ++i) c = c * (n - k + i) / i;
  return c;
}

// Advances the ascending combination `c` of {0, ..., s - 1} to its
// lexicographic successor in place; false when `c` was the last.
bool next_combination(std::span<std::size_t> c, std::size_t s) {
  const std::size_t h = c.size();
  for (std::size_t i = h; i-- > 0;) {
    if (c[i] < s - h + i) {
      ++c[i];
      for (std::size_t j = i + 1; j < h; ++j) c[j] = c[j - 1] + 1;
      return true;
    }
  }
  return false;
}

// The blocks of {0, ..., s - 1} not in the ascending `chosen`, ascending.
void complement(std::span<const std::size_t> chosen, std::size_t s, std::span<std::size_t> out) {
  std::size_t next = 0;
  std::size_t o = 0;
  for (std::size_t b = 0; b < s; ++b) {
    if (next < chosen.size() && chosen[next] == b) {
      ++next;
    } else {
      out[o++] = b;
    }
  }
}

// std::stable_sort only ever compares an element with its neighbours through
// the given predicate, so a NaN cannot make it leave the range; it just
// stays wherever the merges leave it.
double median_in_place(std::vector<double>& values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  if (values.size() == 1) return values[0];
  std::stable_sort(values.begin(), values.end(), [](double a, double b) { return a < b; });
  const std::size_t mid = values.size() / 2;
  if (values.size() % 2 == 1) return values[mid];
  return (values[mid - 1] + values[mid]) * 0.5;
}

// Least-squares slope of `y` on `x`; 0 when `x` does not vary.
// Requires: x.size() == y.size() >= 1.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
  const double len = static_cast<double>(x.size());
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (double v : x) sum_x += v;
  for (double v : y) sum_y += v;
  const double mean_x = sum_x / len;
  const double mean_y = sum_y / len;
  double sxy = 0.0;
  double sxx = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - mean_x;
    sxy += (y[i] - mean_y) * dx;
    sxx += dx * dx;
  }
  return sxx == 0.0 ? 0.0 : sxy / sxx;
}

// The ratios of every configuration from its summed returns and squares
// over `m` periods, into `out`; false when every configuration is flat.
// Requires: m >= 2.
bool finish_sharpes(const double* sum, const double* sq, std::size_t m, std::span<double> out) {
  const double md = static_cast<double>(m);
  for (std::size_t k = 0; k < out.size(); ++k) {
    const double mean = sum[k] / md;
    const double var = (sq[k] - (mean * md) * mean) / (md - 1.0);
    // A flat configuration has no ratio; -inf ranks it below every one that
    // has, so it never wins in sample and always loses out of sample.
    out[k] = var > 0.0 ? mean / std::sqrt(var) : NEG_INF;
  }
  // A separate pass keeps the loop above free of a carried flag, so it runs
  // on vector registers.
  return std::any_of(out.begin(), out.end(), [](double r) { return r != NEG_INF; });
}

// Running sums over a list of blocks, kept for every prefix of the list.
// Consecutive lists in enumeration order share most of their prefix, so
// moving to the next list recomputes only the levels from the first block
// that changed.  Each level adds one block to the level before it, which is
// exactly the left-to-right sum over the list, so the totals are the same to
// the last bit as summing the whole list afresh.
class PrefixSums {
 public:
  PrefixSums(const BlockStats& stats, std::size_t length)
      : stats_(stats),
        n_(stats.n_configs),
        blocks_(length, NO_BLOCK),
        counts_(length, 0),
        sums_(length * n_, 0.0),
        squares_(length * n_, 0.0) {}

  // Requires: blocks.size() == the length given at construction.
  void move_to(std::span<const std::size_t> blocks) {
    std::size_t level = 0;
    while (level < blocks.size() && blocks_[level] == blocks[level]) ++level;
    for (; level < blocks.size(); ++level) {
      const std::size_t b = blocks[level];
      blocks_[level] = b;
      const double* block_sums = &stats_.sums[b * n_];
      const double* block_squares = &stats_.squares[b * n_];
      double* sums = &sums_[level * n_];
      double* squares = &squares_[level * n_];
      if (level == 0) {
        counts_[0] = stats_.counts[b];
        for (std::size_t k = 0; k < n_; ++k) {
          sums[k] = 0.0 + block_sums[k];
          squares[k] = 0.0 + block_squares[k];
        }
      } else {
        counts_[level] = counts_[level - 1] + stats_.counts[b];
        const double* prev_sums = sums - n_;
        const double* prev_squares = squares - n_;
        for (std::size_t k = 0; k < n_; ++k) {
          sums[k] = prev_sums[k] + block_sums[k];
          squares[k] = prev_squares[k] + block_squares[k];
        }
      }
    }
  }

  std::size_t periods() const { return counts_.back(); }
  const double* sums() const { return &sums_[sums_.size() - n_]; }
  const double* squares() const { return &squares_[squares_.size() - n_]; }

 private:
  static constexpr std::size_t NO_BLOCK = static_cast<std::size_t>(-1);

  const BlockStats& stats_;
  std::size_t n_;
  std::vector<std::size_t> blocks_;  // the list the levels were summed for
  std::vector<std::size_t> counts_;  // periods, per level
  std::vector<double> sums_;         // level-major, n_ per level
  std::vector<double> squares_;
};

// The ratios of the list `prefix` was last moved to, into `out`.
std::optional<StatsError> sharpes_of(const PrefixSums& prefix, std::span<double> out) {
  const std::size_t m = prefix.periods();
  if (m < 2) return StatsError{TooFewObservations{m, 2}};
  if (!finish_sharpes(prefix.sums(), prefix.squares(), m, out)) return StatsError{ZeroVariance{}};
  return std::nullopt;
}

}  // namespace

Result<PerformanceMatrix> PerformanceMatrix::from_columns(
    std::span<const std::vector<double>> columns) {
  if (columns.empty()) return StatsError{MalformedMatrix{"no configurations"}};
  const std::size_t t = columns[0].size();
  for (const auto& column : columns) {
    if (column.size() != t) {
      return StatsError{MalformedMatrix{"configurations cover different numbers of periods"}};
    }
  }
  PerformanceMatrix m;
  m.n_periods = t;
  m.n_configs = columns.size();
  m.data.reserve(t * m.n_configs);
  for (std::size_t period = 0; period < t; ++period) {
    for (const auto& column : columns) m.data.push_back(column[period]);
  }
  if (m.n_periods == 0) return StatsError{MalformedMatrix{"dimensions must be non-zero"}};
  if (m.data.size() != m.n_periods * m.n_configs) {
    return StatsError{MalformedMatrix{"data length does not match n_periods * n_configs"}};
  }
  for (double x : m.data) {
    if (!std::isfinite(x)) return StatsError{NotFinite{"performance matrix entry"}};
  }
  return m;
}

BlockStats BlockStats::build(const PerformanceMatrix& matrix, std::size_t n_blocks) {
  const std::size_t n = matrix.n_configs;
  BlockStats stats;
  stats.n_configs = n;
  stats.counts.assign(n_blocks, 0);
  stats.sums.assign(n_blocks * n, 0.0);
  stats.squares.assign(n_blocks * n, 0.0);
  for (std::size_t t = 0; t < matrix.n_periods; ++t) {
    const std::size_t b = std::min(n_blocks - 1, t * n_blocks / matrix.n_periods);
    ++stats.counts[b];
    const double* row = &matrix.data[t * n];
    double* sums = &stats.sums[b * n];
    double* squares = &stats.squares[b * n];
    for (std::size_t k = 0; k < n; ++k) {
      sums[k] += row[k];
      squares[k] += row[k] * row[k];
    }
  }
  return stats;
}

Result<std::vector<double>> BlockStats::sharpes(std::span<const std::size_t> blocks) const {
  if (blocks.empty()) return StatsError{TooFewObservations{0, 2}};
  PrefixSums prefix(*this, blocks.size());
  prefix.move_to(blocks);
  std::vector<double> out(n_configs);
  if (auto err = sharpes_of(prefix, out)) return *err;
  return out;
}

Result<PboReport> probability_of_backtest_overfitting(const PerformanceMatrix& matrix,
                                                      std::size_t n_blocks) {
  const std::size_t s = n_blocks;
  if (s % 2 != 0 || s < MIN_BLOCKS || s > MAX_BLOCKS) return StatsError{BadSplitCount{s}};
  const std::size_t n = matrix.n_configs;
  if (n < 2) return StatsError{TooFewObservations{n, 2}};
  if (matrix.n_periods < 2 * s) return StatsError{TooFewObservations{matrix.n_periods, 2 * s}};

  const BlockStats stats = BlockStats::build(matrix, s);
  const std::size_t half = s / 2;
  const std::size_t total = binomial(s, half);

  PboReport report;
  report.logits.reserve(total);
  std::vector<double> is_winners;
  std::vector<double> oos_winners;
  is_winners.reserve(total);
  oos_winners.reserve(total);

  // Everything a split needs lives outside the loop: a split allocates nothing.
  std::vector<std::size_t> is_blocks(half);
  std::vector<std::size_t> oos_blocks(half);
  std::iota(is_blocks.begin(), is_blocks.end(), std::size_t{0});
  PrefixSums is_sums(stats, half);
  PrefixSums oos_sums(stats, half);
  std::vector<double> r_is(n);
  std::vector<double> r_oos(n);
  const double ranks = static_cast<double>(n) + 1.0;
  std::size_t at_or_below_median = 0;
  std::size_t losses = 0;

  do {
    complement(is_blocks, s, oos_blocks);
    is_sums.move_to(is_blocks);
    oos_sums.move_to(oos_blocks);
    if (auto err = sharpes_of(is_sums, r_is)) return *err;
    if (auto err = sharpes_of(oos_sums, r_oos)) return *err;

    std::size_t best = 0;
    for (std::size_t k = 1; k < n; ++k) {
      if (r_is[k] > r_is[best]) best = k;
    }
    const double x = r_oos[best];
    std::size_t below = 0;
    std::size_t ties = 0;
    for (std::size_t k = 0; k < n; ++k) {
      if (k == best) continue;
      if (r_oos[k] < x) {
        ++below;
      } else if (r_oos[k] == x) {
        ++ties;
      }
    }
    double omega = (static_cast<double>(below) + static_cast<double>(ties) * 0.5 + 1.0) / ranks;
    omega = std::clamp(omega, OMEGA_MIN, OMEGA_MAX);
    const double logit = std::log(omega / (1.0 - omega));

    report.logits.push_back(logit);
    is_winners.push_back(r_is[best]);
    oos_winners.push_back(x);
    if (logit <= 0.0) ++at_or_below_median;
    if (x < 0.0) ++losses;
  } while (next_combination(is_blocks, s));

  report.splits = report.logits.size();
  const double splits = static_cast<double>(report.splits);
  report.pbo = static_cast<double>(at_or_below_median) / splits;
  report.prob_oos_loss = static_cast<double>(losses) / splits;
  report.degradation_slope = slope(is_winners, oos_winners);
  report.median_oos_sharpe = median_in_place(oos_winners);
  return report;
}

double median(std::span<const double> values) {
  std::vector<double> copy(values.begin(), values.end());
  return median_in_place(copy);
}

}  // namespace halvorn::stats
