// Times probability_of_backtest_overfitting at the two sizes that bound its
// use: many configurations over a long history at the default 16 blocks
// (12'870 splits), and the largest block count, 24 (2'704'156 splits), over
// a small search.  Each size runs three times; the best time is reported,
// since the slower runs measure the machine, not the code.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORN_BUILD_BENCH=ON
//   cmake --build build/bench --target pbo_bench && build/bench/bench/stats/pbo_bench

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "stats/pbo.hpp"

namespace {

using halvorn::stats::PboReport;
using halvorn::stats::PerformanceMatrix;

std::vector<std::vector<double>> random_columns(std::size_t n_configs, std::size_t n_periods) {
  std::mt19937_64 rng(20240611);
  std::normal_distribution<double> noise(0.0, 0.01);
  std::vector<std::vector<double>> columns(n_configs, std::vector<double>(n_periods));
  for (std::size_t k = 0; k < n_configs; ++k) {
    for (double& x : columns[k]) x = noise(rng) + 0.00001 * static_cast<double>(k);
  }
  return columns;
}

int run(std::size_t n_blocks, std::size_t n_configs, std::size_t n_periods) {
  const auto columns = random_columns(n_configs, n_periods);
  double best = 1e300;
  PboReport report;
  for (int round = 0; round < 3; ++round) {
    // The matrix is built inside the timing: a caller pays for it too.
    const auto start = std::chrono::steady_clock::now();
    auto matrix = PerformanceMatrix::from_columns(columns);
    auto result =
        probability_of_backtest_overfitting(std::get<PerformanceMatrix>(matrix), n_blocks);
    const auto stop = std::chrono::steady_clock::now();
    if (const auto* err = halvorn::stats::error_of(result)) {
      std::fprintf(stderr, "failed: %s\n", err->display().c_str());
      return 1;
    }
    report = std::get<PboReport>(std::move(result));
    best = std::min(best, std::chrono::duration<double>(stop - start).count());
  }
  std::printf("%2zu blocks x %3zu configurations x %6zu periods: %8zu splits, %.3f s (pbo %.4f)\n",
              n_blocks, n_configs, n_periods, report.splits, best, report.pbo);
  return best < 3.0 ? 0 : 2;
}

}  // namespace

int main() {
  int status = run(16, 100, 10'000);
  status |= run(24, 10, 2'400);
  return status;
}
