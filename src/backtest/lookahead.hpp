// The lookahead check: does a strategy decide from the past alone?
//
// lookahead builds the strategy from the whole series and runs it, then, for
// a sample of the ticks on which that run sent orders, builds a fresh
// strategy from only the ticks up to that point, runs it over that prefix and
// compares the orders the two runs sent up to there.  Any difference means
// the full-data strategy used knowledge it would not have had; each such point
// is reported as a Divergence.
//
// Thread-safety: one call runs on one thread; each run has its own strategy,
// recorder and account.

#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "backtest/kway_merge.hpp"
#include "backtest/run_loop.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::backtest {

using LogEntry = std::pair<std::size_t, strategy::Intent>;  // (tick index, intent)

// A Recorder is a Strategy that wraps another and logs every intent it
// appends with the index of the tick on which it did so.
template <strategy::Strategy S>
struct Recorder {
  S inner;
  std::vector<LogEntry> log;
  std::size_t calls = 0;

  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents) {
    const std::size_t index = calls;
    calls = static_cast<std::size_t>(next_counter(calls, "recorder call counter overflows"));
    const std::size_t start = intents.size();
    inner.on_tick(context, intents);
    if (intents.size() < start) panic("a recorded strategy removed intents it did not append");
    for (std::size_t i = start; i < intents.size(); ++i) log.emplace_back(index, intents[i]);
  }
  std::string_view name() const { return inner.name(); }
  bool halted() const { return strategy::halted(inner); }
  void on_run_end() { strategy::notify_run_end(inner); }
  // Feedback reaches the wrapped strategy as it would without the recorder.
  void on_fills(std::span<const Fill> fills) { strategy::notify_fills(inner, fills); }
  void on_endings(std::span<const strategy::OrderEnding> endings) {
    strategy::notify_endings(inner, endings);
  }
  void on_venue_closed(std::span<const strategy::VenueClosed> closes) {
    strategy::notify_venue_closed(inner, closes);
  }
};

// One checked point at which the prefix run decided differently.
struct Divergence {
  std::vector<strategy::Intent> full;    // what the full run sent on `tick`
  std::vector<strategy::Intent> prefix;  // what the prefix run sent on `tick`
  std::size_t checked_at = 0;            // the last tick of the prefix
  std::size_t tick = 0;                  // first tick on which the runs differ
  Nanos exch_ts = 0;                     // that tick's exchange time
};

struct LookaheadReport {
  std::vector<Divergence> divergences;  // in ascending checked_at order
  std::size_t signals = 0;              // distinct ticks on which the full run sent anything
  std::size_t checked = 0;              // points rerun on a prefix
};

// Which of the signal ticks to rerun: all of them when k covers them, else k
// picks evenly spaced by position, always the first and (for k >= 2) the last.
std::vector<std::size_t> spread(std::span<const std::size_t> signals, std::size_t k);

// The intents of the log entries on tick `i`, in log order.
std::vector<strategy::Intent> intents_on(std::span<const LogEntry> log, std::size_t i);

// Compares the full log's entries up to tick t with a prefix log; returns the
// divergence tick, or nothing when they agree.
std::optional<std::size_t> first_difference(std::span<const LogEntry> full_upto,
                                            std::span<const LogEntry> prefix);

// Requires: `build(k)` returns a fresh strategy made for the first k ticks;
// `instruments`, when not empty, holds the instrument id of every tick of a
// portfolio's merged series.
// The check stops early only when a run's strategy is halted (interrupted);
// the report then covers the points checked so far.
template <class Build>
  requires strategy::Strategy<std::invoke_result_t<Build&, std::size_t>>
LookaheadReport lookahead(const RunConfig& config, Build&& build,
                          std::span<const engine::Tick> ticks, std::size_t max_points,
                          std::span<const std::int64_t> instruments = {}) {
  using S = std::invoke_result_t<Build&, std::size_t>;
  LookaheadReport report;
  const std::size_t n = ticks.size();
  // A portfolio's series comes merged, with the instrument of every tick.
  auto run_first = [&](Recorder<S>& recorder, std::size_t k) {
    if (instruments.empty()) {
      SpanTicks source{ticks.first(k)};
      run_stream(config, recorder, source);
    } else {
      TaggedSpanTicks source{ticks.first(k), instruments.first(k)};
      run_stream(config, recorder, source);
    }
  };

  Recorder<S> full{build(n), {}, 0};
  run_first(full, n);
  if (full.halted()) return report;

  std::vector<std::size_t> signals;
  for (const auto& [index, unused] : full.log) {
    if (signals.empty() || signals.back() != index) signals.push_back(index);
  }
  report.signals = signals.size();
  const std::vector<std::size_t> points = spread(signals, max_points);
  report.checked = points.size();

  for (std::size_t t : points) {
    if (t >= n) panic("a logged tick index lies beyond the series");
    Recorder<S> prefix{build(t + 1), {}, 0};
    run_first(prefix, t + 1);
    if (prefix.halted()) return report;
    // The full log is in tick order, so its entries up to t are a prefix of it.
    auto upto = std::partition_point(full.log.begin(), full.log.end(),
                                     [t](const LogEntry& e) { return e.first <= t; });
    std::span<const LogEntry> a(full.log.begin(), upto);
    if (auto d = first_difference(a, prefix.log)) {
      report.divergences.push_back(
          {intents_on(a, *d), intents_on(prefix.log, *d), t, *d, ticks[*d].exch_ts});
    }
  }
  return report;
}

}  // namespace halvorn::backtest
