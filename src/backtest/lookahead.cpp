#include "backtest/lookahead.hpp"

#include <algorithm>

namespace halvorn::backtest {

std::vector<std::size_t> spread(std::span<const std::size_t> signals, std::size_t k) {
  const std::size_t m = signals.size();
  if (k >= m) return {signals.begin(), signals.end()};
  if (k == 0) return {};
  const std::size_t q = k == 1 ? 1 : k - 1;
  std::vector<std::size_t> picks;
  picks.reserve(k);
  for (std::size_t i = 0; i < k; ++i) {
    const auto position = static_cast<unsigned __int128>(i) * (m - 1) / q;
    const std::size_t pick = signals[static_cast<std::size_t>(position)];
    if (picks.empty() || picks.back() != pick) picks.push_back(pick);
  }
  return picks;
}

std::vector<strategy::Intent> intents_on(std::span<const LogEntry> log, std::size_t i) {
  std::vector<strategy::Intent> out;
  for (const auto& [index, intent] : log) {
    if (index == i) out.push_back(intent);
  }
  return out;
}

std::optional<std::size_t> first_difference(std::span<const LogEntry> a,
                                            std::span<const LogEntry> b) {
  const std::size_t shared = std::min(a.size(), b.size());
  for (std::size_t j = 0; j < shared; ++j) {
    if (a[j].first != b[j].first || !(a[j].second == b[j].second)) {
      return std::min(a[j].first, b[j].first);
    }
  }
  if (a.size() == b.size()) return std::nullopt;
  return a.size() > b.size() ? a[shared].first : b[shared].first;
}

}  // namespace halvorn::backtest
