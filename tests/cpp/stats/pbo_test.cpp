// Probability of backtest overfitting: the matrix and block checks, the
// split enumeration, and agreement with a direct computation over periods.

#include "stats/pbo.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace halvorn::stats {
namespace {

constexpr double NAN64 = std::numeric_limits<double>::quiet_NaN();
constexpr double INF64 = std::numeric_limits<double>::infinity();

using Columns = std::vector<std::vector<double>>;

template <class T>
std::string error_text(const Result<T>& r) {
  const StatsError* e = error_of(r);
  return e != nullptr ? e->display() : "(no error)";
}

PerformanceMatrix matrix_of(const Columns& columns) {
  auto m = PerformanceMatrix::from_columns(columns);
  EXPECT_EQ(error_of(m), nullptr) << error_text(m);
  return std::get<PerformanceMatrix>(std::move(m));
}

PboReport report_of(const Columns& columns, std::size_t n_blocks) {
  auto r = probability_of_backtest_overfitting(matrix_of(columns), n_blocks);
  EXPECT_EQ(error_of(r), nullptr) << error_text(r);
  return std::holds_alternative<PboReport>(r) ? std::get<PboReport>(std::move(r)) : PboReport{};
}

Columns random_columns(std::size_t n_configs, std::size_t n_periods, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 0.01);
  Columns c(n_configs);
  for (std::size_t k = 0; k < n_configs; ++k) {
    for (std::size_t t = 0; t < n_periods; ++t) c[k].push_back(noise(rng) + 0.0002 * k);
  }
  return c;
}

TEST(PerformanceMatrix, ChecksShapeThenDimensionsThenValues) {
  EXPECT_EQ(error_text(PerformanceMatrix::from_columns(Columns{})),
            "malformed performance matrix: no configurations");
  EXPECT_EQ(error_text(PerformanceMatrix::from_columns(Columns{{1, 2, 3}, {1, 2}, {NAN64}})),
            "malformed performance matrix: configurations cover different numbers of periods");
  EXPECT_EQ(error_text(PerformanceMatrix::from_columns(Columns{{}, {}})),
            "malformed performance matrix: dimensions must be non-zero");
  EXPECT_EQ(error_text(PerformanceMatrix::from_columns(Columns{{1, 2}, {3, -INF64}})),
            "performance matrix entry must be finite");
}

TEST(PerformanceMatrix, IsPeriodMajor) {
  const PerformanceMatrix m = matrix_of({{1, 2, 3}, {4, 5, 6}});
  EXPECT_EQ(m.n_periods, 3u);
  EXPECT_EQ(m.n_configs, 2u);
  EXPECT_EQ(m.data, (std::vector<double>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(m.at(2, 1), 6.0);
}

TEST(BlockStats, SpreadsTheRemainderOverTheEarlierBlocks) {
  auto counts = [](std::size_t periods) {
    return BlockStats::build(matrix_of({std::vector<double>(periods, 1.0)}), 16).counts;
  };
  EXPECT_EQ(counts(32), std::vector<std::size_t>(16, 2));
  std::vector<std::size_t> want(16, 2);
  want[0] = 3;
  EXPECT_EQ(counts(33), want);
  want[8] = 3;
  EXPECT_EQ(counts(34), want);
}

TEST(BlockStats, SumsAreBlockMajor) {
  const BlockStats s = BlockStats::build(matrix_of({{1, 2, 3, 4}, {10, 20, 30, 40}}), 2);
  EXPECT_EQ(s.sums, (std::vector<double>{3, 30, 7, 70}));
  EXPECT_EQ(s.squares, (std::vector<double>{5, 500, 25, 2500}));
}

TEST(BlockStats, SharpesOverASelection) {
  // Config 0 is flat in blocks 0 and 1; config 1 varies everywhere.
  const BlockStats s =
      BlockStats::build(matrix_of({{0, 0, 0, 0, 1, 3, 2, 5}, {1, 2, 3, 4, 5, 6, 7, 8}}), 4);
  const std::vector<std::size_t> first = {0, 1};
  const auto r = std::get<std::vector<double>>(s.sharpes(first));
  EXPECT_EQ(r[0], -INF64);
  // 1, 2, 3, 4 again: mean 2.5, sample deviation sqrt(5 / 3).
  EXPECT_NEAR(r[1], 1.93649167310371, 1e-14);

  const std::vector<std::size_t> one_period = {0};
  const BlockStats thin = BlockStats::build(matrix_of({{1, 2, 3, 4}, {1, 3, 2, 4}}), 4);
  EXPECT_EQ(error_text(thin.sharpes(one_period)), "too few observations: got 1, need at least 2");

  const BlockStats flat = BlockStats::build(matrix_of({{0, 0, 0, 0, 1, 2}, {0, 0, 0, 0, 2, 1}}), 3);
  EXPECT_EQ(error_text(flat.sharpes(first)), "sample has zero variance; Sharpe ratio is undefined");
}

TEST(Overfitting, ChecksSplitCountThenConfigurationsThenPeriods) {
  const PerformanceMatrix one = matrix_of({std::vector<double>(100, 1.0)});
  for (std::size_t s : {0u, 2u, 5u, 15u, 26u}) {
    EXPECT_EQ(error_text(probability_of_backtest_overfitting(one, s)),
              "split count must be even, at least 4 and at most 24, got " + std::to_string(s));
  }
  EXPECT_EQ(error_text(probability_of_backtest_overfitting(one, 16)),
            "too few observations: got 1, need at least 2");
  const PerformanceMatrix short_two = matrix_of(random_columns(2, 31, 1));
  EXPECT_EQ(error_text(probability_of_backtest_overfitting(short_two, 16)),
            "too few observations: got 31, need at least 32");
  EXPECT_EQ(error_of(probability_of_backtest_overfitting(matrix_of(random_columns(2, 32, 1)), 16)),
            nullptr);
}

TEST(Overfitting, AllFlatInSomeSelectionStopsWithZeroVariance) {
  // Both configurations are zero over blocks 0 and 1, the first in-sample set.
  Columns c = {{0, 0, 0, 0, 1, 2, 3, 5}, {0, 0, 0, 0, 2, 1, 4, 3}};
  EXPECT_EQ(error_text(probability_of_backtest_overfitting(matrix_of(c), 4)),
            "sample has zero variance; Sharpe ratio is undefined");
}

TEST(Overfitting, IdenticalConfigurationsAlwaysTieAtTheMedian) {
  const Columns one = random_columns(1, 64, 7);
  const PboReport r = report_of({one[0], one[0]}, 16);
  EXPECT_EQ(r.splits, 12870u);
  ASSERT_EQ(r.logits.size(), 12870u);
  for (double logit : r.logits) ASSERT_EQ(logit, 0.0);  // omega = (0 + 0.5 + 1) / 3
  EXPECT_EQ(r.pbo, 1.0);
}

TEST(Overfitting, AWinnerBestEverywhereHasLogitLnN) {
  // Equal noise plus a drift growing with the index: the last configuration
  // has the best ratio over every selection of blocks.
  const Columns noise = random_columns(1, 120, 3);
  const std::size_t n = 5;
  Columns c(n, noise[0]);
  for (std::size_t k = 0; k < n; ++k) {
    for (double& x : c[k]) x += 0.003 * static_cast<double>(k);
  }
  const PboReport r = report_of(c, 6);
  EXPECT_EQ(r.splits, 20u);
  for (double logit : r.logits) ASSERT_DOUBLE_EQ(logit, std::log(5.0));
  EXPECT_EQ(r.pbo, 0.0);
  EXPECT_EQ(r.prob_oos_loss, 0.0);
}

TEST(Overfitting, AWinnerThatIsWorstOutOfSampleHasLogitMinusLnN) {
  // Four blocks of two periods.  Config 0 is strong in blocks 0 and 1 and
  // losing in 2 and 3; config 1 is the reverse but weaker.  Whichever wins in
  // sample does worst on the other half for the two splits that separate the
  // halves; the four mixed splits share one good and one bad block.
  const Columns c = {{1.0, 1.2, 1.1, 1.3, -1.0, -1.2, -1.1, -1.3},
                     {-0.5, -0.6, -0.55, -0.65, 0.5, 0.6, 0.55, 0.65}};
  const PboReport r = report_of(c, 4);
  ASSERT_EQ(r.logits.size(), 6u);
  // Split 0 is in-sample {0, 1}, the last is {2, 3}.
  EXPECT_DOUBLE_EQ(r.logits.front(), -std::log(2.0));
  EXPECT_DOUBLE_EQ(r.logits.back(), -std::log(2.0));
  EXPECT_EQ(r.pbo * 6.0, std::round(r.pbo * 6.0));
}

// CSCV computed directly from the periods, without block sums: splits
// enumerated by recursion (which yields lexicographic order), each ratio
// from the concatenated returns with a two-pass variance.
struct Direct {
  std::vector<double> logits;
  std::vector<double> is_winner;
  std::vector<double> oos_winner;
};

Direct direct_cscv(const Columns& c, std::size_t s) {
  const std::size_t t = c[0].size();
  const std::size_t n = c.size();
  auto block_of = [&](std::size_t period) { return std::min(s - 1, period * s / t); };
  auto sharpe_over = [&](std::size_t k, const std::vector<bool>& chosen) {
    std::vector<double> r;
    for (std::size_t p = 0; p < t; ++p) {
      if (chosen[block_of(p)]) r.push_back(c[k][p]);
    }
    double mean = 0.0;
    for (double x : r) mean += x;
    mean /= static_cast<double>(r.size());
    double ss = 0.0;
    for (double x : r) ss += (x - mean) * (x - mean);
    return mean / std::sqrt(ss / static_cast<double>(r.size() - 1));
  };
  Direct out;
  std::vector<bool> in_sample(s, false);
  std::function<void(std::size_t, std::size_t)> choose = [&](std::size_t from, std::size_t left) {
    if (left == 0) {
      std::vector<bool> out_sample(s);
      for (std::size_t b = 0; b < s; ++b) out_sample[b] = !in_sample[b];
      std::size_t best = 0;
      std::vector<double> is(n), oos(n);
      for (std::size_t k = 0; k < n; ++k) {
        is[k] = sharpe_over(k, in_sample);
        oos[k] = sharpe_over(k, out_sample);
        if (is[k] > is[best]) best = k;
      }
      double rank = 1.0;
      for (std::size_t k = 0; k < n; ++k) {
        if (k != best && oos[k] < oos[best]) rank += 1.0;
      }
      const double omega = rank / static_cast<double>(n + 1);
      out.logits.push_back(std::log(omega / (1.0 - omega)));
      out.is_winner.push_back(is[best]);
      out.oos_winner.push_back(oos[best]);
      return;
    }
    for (std::size_t b = from; b + left <= s; ++b) {
      in_sample[b] = true;
      choose(b + 1, left - 1);
      in_sample[b] = false;
    }
  };
  choose(0, s / 2);
  return out;
}

TEST(Overfitting, AgreesWithADirectComputationOverPeriods) {
  for (std::size_t s : {4u, 8u, 10u}) {
    // Uneven block lengths (103 periods) exercise the block assignment too.
    const Columns c = random_columns(6, 103, 100 + s);
    const PboReport r = report_of(c, s);
    const Direct d = direct_cscv(c, s);
    ASSERT_EQ(r.logits.size(), d.logits.size());
    std::size_t at_or_below = 0;
    std::size_t losses = 0;
    for (std::size_t i = 0; i < d.logits.size(); ++i) {
      // Ranks are discrete, so the logits agree exactly unless two ratios sit
      // within rounding of each other, which random data does not produce.
      ASSERT_EQ(r.logits[i], d.logits[i]) << "S = " << s << ", split " << i;
      if (d.logits[i] <= 0.0) ++at_or_below;
      if (d.oos_winner[i] < 0.0) ++losses;
    }
    const double splits = static_cast<double>(d.logits.size());
    EXPECT_EQ(r.pbo, static_cast<double>(at_or_below) / splits);
    EXPECT_EQ(r.prob_oos_loss, static_cast<double>(losses) / splits);
    EXPECT_NEAR(r.median_oos_sharpe, median(d.oos_winner), 1e-12);

    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < d.logits.size(); ++i) {
      mx += d.is_winner[i] / splits;
      my += d.oos_winner[i] / splits;
    }
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t i = 0; i < d.logits.size(); ++i) {
      sxy += (d.oos_winner[i] - my) * (d.is_winner[i] - mx);
      sxx += (d.is_winner[i] - mx) * (d.is_winner[i] - mx);
    }
    EXPECT_NEAR(r.degradation_slope, sxy / sxx, 1e-9);
  }
}

TEST(Overfitting, SplitsReuseRunningSumsWithoutChangingABit) {
  // Consecutive splits share the running sums of their common first blocks.
  // Recomputing every split from scratch with BlockStats::sharpes, in
  // lexicographic order, must find the very same winners to the last bit, so
  // the median and the slope come out exactly equal.
  const Columns c = random_columns(7, 90, 42);
  const std::size_t s = 8;
  const PboReport r = report_of(c, s);
  const BlockStats stats = BlockStats::build(matrix_of(c), s);

  std::vector<std::vector<std::size_t>> splits;
  for (unsigned mask = 0; mask < (1u << s); ++mask) {
    if (__builtin_popcount(mask) != static_cast<int>(s / 2)) continue;
    std::vector<std::size_t> is;
    for (std::size_t b = 0; b < s; ++b) {
      if ((mask >> b) & 1u) is.push_back(b);
    }
    splits.push_back(is);
  }
  std::sort(splits.begin(), splits.end());
  std::vector<double> is_winners;
  std::vector<double> oos_winners;
  for (const auto& is : splits) {
    std::vector<std::size_t> oos;
    for (std::size_t b = 0; b < s; ++b) {
      if (std::find(is.begin(), is.end(), b) == is.end()) oos.push_back(b);
    }
    const auto r_is = std::get<std::vector<double>>(stats.sharpes(is));
    const auto r_oos = std::get<std::vector<double>>(stats.sharpes(oos));
    const auto best = std::max_element(r_is.begin(), r_is.end()) - r_is.begin();
    is_winners.push_back(r_is[best]);
    oos_winners.push_back(r_oos[best]);
  }
  ASSERT_EQ(oos_winners.size(), r.splits);
  EXPECT_EQ(r.median_oos_sharpe, median(oos_winners));
  const double len = static_cast<double>(r.splits);
  double sum_is = 0.0, sum_oos = 0.0;
  for (std::size_t i = 0; i < r.splits; ++i) {
    sum_is += is_winners[i];
    sum_oos += oos_winners[i];
  }
  double sxy = 0.0, sxx = 0.0;
  for (std::size_t i = 0; i < r.splits; ++i) {
    sxy += (oos_winners[i] - sum_oos / len) * (is_winners[i] - sum_is / len);
    sxx += (is_winners[i] - sum_is / len) * (is_winners[i] - sum_is / len);
  }
  EXPECT_EQ(r.degradation_slope, sxy / sxx);
}

TEST(Overfitting, AWinnerWhoseRatioNeverVariesHasSlopeZeroNotNaN) {
  // Config 0 returns 1, -1 in every block, so its ratio is exactly 0 over any
  // selection; config 1 loses money everywhere and never beats it.  The
  // in-sample winner list is all zeros: Sxx is exactly 0 and the slope is
  // defined as 0 rather than 0 / 0.
  Columns c(2);
  for (int i = 0; i < 8; ++i) {
    c[0].insert(c[0].end(), {1.0, -1.0});
    c[1].insert(c[1].end(), {-1.0, 0.5});
  }
  const PboReport r = report_of(c, 8);
  EXPECT_EQ(r.splits, 70u);
  EXPECT_EQ(r.degradation_slope, 0.0);
  EXPECT_EQ(r.median_oos_sharpe, 0.0);
  EXPECT_EQ(r.prob_oos_loss, 0.0);  // a ratio of 0 is not a loss
  EXPECT_EQ(r.pbo, 0.0);
  for (double logit : r.logits) ASSERT_DOUBLE_EQ(logit, std::log(2.0));
}

TEST(Median, OddEvenEmptyAndNaN) {
  EXPECT_EQ(median(std::vector<double>{3, 1, 2}), 2.0);
  EXPECT_EQ(median(std::vector<double>{4, 1, 3, 2}), 2.5);
  EXPECT_EQ(median(std::vector<double>{-7}), -7.0);
  EXPECT_TRUE(std::isnan(median(std::vector<double>{})));
  EXPECT_EQ(median(std::vector<double>{-INF64, 1, 5}), 1.0);
  // NaN has no place in the order, so it lands wherever the merges leave it
  // and the result is one of the values; what matters is that the sort
  // stays inside them (the sanitizer build watches that).
  const double m = median(std::vector<double>{NAN64, 3, NAN64, 1, 2, NAN64, 0});
  EXPECT_TRUE(std::isnan(m) || m == 0.0 || m == 1.0 || m == 2.0 || m == 3.0) << m;
}

}  // namespace
}  // namespace halvorn::stats
