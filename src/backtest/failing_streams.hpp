// Runs over streams read from files, which can fail part-way: a depth file
// or a mark file that fails ends the run at the tick that reached the
// failure.  The run would go on with a book or a mark the file could not
// give, so nothing after it is worth running; the caller reports the
// stream's error once the run is over.
//
// A stream says it can fail by having error() (true once it has); streams
// held in memory have none, and a run over them pays nothing for the rule.
//
// Thread-safety: used by one run at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "backtest/run_loop.hpp"
#include "engine/tick.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::backtest {

// Whether a stream of kind S can fail.
template <class S>
concept Fallible = requires(const S& s) {
  { static_cast<bool>(s.error()) };
};

// Whether `stream` has failed; never for one that cannot.
template <class S>
bool has_failed(const S& stream) {
  if constexpr (Fallible<S>) {
    return static_cast<bool>(stream.error());
  } else {
    return false;
  }
}

// A mark file's records as the run loop takes them: the mark, in ticks.
// `S` hands out Records with a time and a mark through next(Record&); its
// failure passes through.
template <class S, class Record>
struct MarkPoints {
  S& marks;

  bool next(MarkPoint& out) {
    Record record;
    if (!marks.next(record)) return false;
    out = MarkPoint{record.time, record.mark};
    return true;
  }
  decltype(auto) error() const
    requires Fallible<S>
  {
    return marks.error();
  }
};

// A tick source that ends once `failed()` says a stream merged beside the
// ticks has failed.  What a portfolio's merge says of each tick's instrument
// passes through.
template <InPlaceSource T, class Failed>
struct UntilFails {
  T& ticks;
  Failed failed;

  const std::int64_t* last_instrument() const
    requires TaggedSource<T>
  {
    return ticks.last_instrument();
  }
  std::span<const std::int64_t> peek_instruments(std::size_t n) const
    requires TaggedSource<T>
  {
    return ticks.peek_instruments(failed() ? 0 : n);
  }

  bool next(engine::Tick& out) { return !failed() && ticks.next(out); }
  const engine::Tick* next_in_place() { return failed() ? nullptr : ticks.next_in_place(); }
  std::size_t in_place() const { return failed() ? 0 : ticks.in_place(); }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return ticks.peek_in_place(failed() ? 0 : n);
  }
  void skip_in_place(std::size_t k) { ticks.skip_in_place(k); }
};

// run_stream over `ticks` with `depth` and `marks` merged in, ending at the
// tick that reached a failure of either.  The ticks' own failure is the
// tick source's to end the series with.
template <strategy::Strategy S, InPlaceSource T, DepthSource D, MarkSource M>
RunResult run_until_failure(const RunConfig& config, S& strategy, T& ticks, D& depth, M& marks) {
  if constexpr (Fallible<D> || Fallible<M>) {
    auto failed = [&depth, &marks] { return has_failed(depth) || has_failed(marks); };
    UntilFails<T, decltype(failed)> until{ticks, failed};
    return run_stream(config, strategy, until, depth, marks);
  } else {
    return run_stream(config, strategy, ticks, depth, marks);
  }
}

}  // namespace halvorn::backtest
