// The probability of backtest overfitting, by combinatorially symmetric
// cross-validation.
//
// When many configurations have been backtested and the best is picked, the
// question is how often the in-sample winner ends up in the lower half out
// of sample.  The periods are cut into S contiguous blocks; every choice of
// S/2 blocks as the in-sample set is tried, and the winner of each is ranked
// among all configurations on the remaining blocks.  Sharpe ratios of a
// block selection come from per-block sums, so a split costs work in blocks
// times configurations and the periods are read once.
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "stats/moments.hpp"

namespace halvorn::stats {

// A PerformanceMatrix holds the returns of every configuration in every
// period, period-major: configuration k in period t is at t * n_configs + k.
//
// Invariants: n_periods >= 1, n_configs >= 1,
// data.size() == n_periods * n_configs, every entry finite.
struct PerformanceMatrix {
  std::vector<double> data;
  std::size_t n_periods = 0;
  std::size_t n_configs = 0;

  // One column per configuration, each holding its return in every period.
  // Fails with MalformedMatrix ("no configurations", "configurations cover
  // different numbers of periods", "dimensions must be non-zero") and then
  // NotFinite ("performance matrix entry").
  static Result<PerformanceMatrix> from_columns(std::span<const std::vector<double>> columns);

  double at(std::size_t period, std::size_t config) const {
    return data[period * n_configs + config];
  }
};

// BlockStats holds per-block sums of one matrix cut into contiguous blocks,
// block-major: block b, configuration k at b * n_configs + k.
//
// Invariants: sums.size() == squares.size() == counts.size() * n_configs.
struct BlockStats {
  std::vector<std::size_t> counts;  // periods in each block
  std::vector<double> sums;         // sum of returns
  std::vector<double> squares;      // sum of squared returns
  std::size_t n_configs = 0;

  // Period t goes to block min(S - 1, t * S / T), so the blocks are
  // contiguous and differ in length by at most one period.
  // Requires: 1 <= n_blocks.
  static BlockStats build(const PerformanceMatrix& matrix, std::size_t n_blocks);

  // One Sharpe ratio per configuration over the union of `blocks`, summed in
  // list order; a configuration flat over them gets -inf.  Fails with
  // TooFewObservations (need 2 periods) or, when every configuration is
  // flat, ZeroVariance.
  // Requires: every index below counts.size().
  Result<std::vector<double>> sharpes(std::span<const std::size_t> blocks) const;
};

// The outcome of cross-validation, with one entry per split in enumeration
// order where it is a list.
struct PboReport {
  std::vector<double> logits;
  double pbo = 0.0;            // share of splits whose logit is <= 0
  std::size_t splits = 0;      // C(S, S/2)
  double prob_oos_loss = 0.0;  // share whose winner lost money out of sample
  double median_oos_sharpe = 0.0;
  double degradation_slope = 0.0;  // out-of-sample on in-sample ratio of the winners
};

// Runs cross-validation over all C(S, S/2) splits of `matrix` into
// S = `n_blocks` blocks, in-sample sets in lexicographic order.  Fails, in
// this order, with BadSplitCount (S odd, below 4 or above 24),
// TooFewObservations for fewer than 2 configurations or fewer than 2 * S
// periods, and then the first error of any split.
Result<PboReport> probability_of_backtest_overfitting(const PerformanceMatrix& matrix,
                                                      std::size_t n_blocks);

// The median: NaN when empty, the middle value of an odd count, the mean of
// the two middle values of an even one.  Values that compare neither way
// (NaN) are taken as equal to their neighbours.
double median(std::span<const double> values);

}  // namespace halvorn::stats
