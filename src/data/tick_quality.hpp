// What a series of ticks says about the data it was made from: the hazards
// that let a backtest on a well-formed file give a plausible wrong result.
//
// A file can be perfectly readable and still mislead.  The recorder's clock
// may run behind the exchange's, so latency counted from the local clock is
// shorter than it was; quotes may stop while trades go on, so fills meet a
// bid and ask long gone; trades may print far outside the quote they carry,
// the mark of two streams on two clocks or of two instruments.  These are
// measured here once, in one place, for the converters (as they write), for
// a run (from a sample, before it starts) and for an inspection of a whole
// file (TickSurvey).
//
// Thread-safety: plain values and pure functions; the file functions open
// their own handle.

#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/ticks.hpp"
#include "engine/tick.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// A local clock more than this far behind the exchange's has recorded an
// observation before the exchange says it happened: not network delay but a
// clock that is wrong.  Clocks kept in step agree to within a millisecond.
inline constexpr Nanos CLOCK_BEHIND = 1'000'000;
// A change of local minus exchange time from one tick to the next larger
// than this is a jump of one of the clocks (or a stall of the recorder), not
// the jitter of delivery.
inline constexpr Nanos CLOCK_JUMP = 1'000'000'000;
// How many values of local minus exchange time the median is taken from, at
// most: evenly spaced over the series.
inline constexpr std::size_t CLOCK_SAMPLE = 4096;

// Local minus exchange time over a series.  Zero counts mean no tick was
// seen.  `median` is that of an evenly spaced sample of at most
// CLOCK_SAMPLE ticks (every tick for shorter series).
struct ClockFindings {
  std::uint64_t ticks = 0;
  Nanos min = 0;
  Nanos median = 0;
  Nanos max = 0;
  std::uint64_t behind = 0;  // ticks whose local time is more than CLOCK_BEHIND before exch_ts
  std::uint64_t jumps = 0;   // changes of more than CLOCK_JUMP from one tick to the next
  Nanos largest_jump = 0;    // the largest such change, in magnitude

  // Whether a latency counted from the local clock would be off.
  bool misleading() const { return behind > 0 || jumps > 0; }
  friend bool operator==(const ClockFindings&, const ClockFindings&) = default;
};

// Takes local minus exchange time tick by tick.
//
// Invariants: holds at most 2 × CLOCK_SAMPLE values, whatever it is shown.
class ClockMeter {
 public:
  // Inline up to the sample, which takes one tick in `stride_`: the
  // converters measure every tick they write.
  void add(Nanos exch, Nanos local) {
    Nanos skew;
    if (__builtin_sub_overflow(local, exch, &skew)) {
      skew = local < exch ? -INT64_MAX : INT64_MAX;
    }
    ClockFindings& s = seen_;
    if (s.ticks == 0) {
      s.min = s.max = skew;
    } else {
      s.min = skew < s.min ? skew : s.min;
      s.max = skew > s.max ? skew : s.max;
      Nanos change;
      if (!skipped_ && (__builtin_sub_overflow(skew, previous_, &change) || change > CLOCK_JUMP ||
                        change < -CLOCK_JUMP)) {
        jumped(skew);
      }
    }
    if (skew < -CLOCK_BEHIND) ++s.behind;
    previous_ = skew;
    skipped_ = false;
    ++s.ticks;
    if (until_next_ > 0) {
      --until_next_;
    } else {
      keep(skew);
    }
  }
  void add(std::span<const engine::Tick> ticks) {
    for (const engine::Tick& t : ticks) add(t.exch_ts, t.local_ts);
  }
  // The next tick does not follow the last one (a sample skipped ticks
  // between them), so no jump is measured across.
  void skip() { skipped_ = true; }
  ClockFindings findings() const;

 private:
  void jumped(Nanos skew);
  void keep(Nanos skew);

  ClockFindings seen_;
  Nanos previous_ = 0;
  bool skipped_ = false;
  std::vector<Nanos> sample_;  // every stride_-th value
  std::uint64_t stride_ = 1;
  std::uint64_t until_next_ = 0;  // values to skip before the next kept one
};

// How far, in basis points of its price, a trade at `last` lies outside the
// quote [bid, ask]: 0 inside it, and none when the tick carries no quote (a
// side of 0 or less).  Inline: a converter asks it of every trade.
inline std::optional<double> outside_quote_bp(std::int64_t last, std::int64_t bid,
                                              std::int64_t ask) {
  if (bid <= 0 || ask <= 0 || last <= 0) return std::nullopt;
  // All three are positive, so neither difference overflows.
  const std::int64_t away = last < bid ? bid - last : last > ask ? last - ask : 0;
  if (away == 0) return 0.0;
  return 10'000.0 * static_cast<double>(away) / static_cast<double>(last);
}

// What a whole tick file holds, read once from start to end.
struct TickSurvey {
  std::uint64_t ticks = 0;
  Nanos first = 0, last = 0;       // exch_ts of the first and the last tick
  std::uint64_t gaps = 0;          // steps of exch_ts longer than the gap asked about
  Nanos largest_gap = 0;           // and the longest step
  Nanos largest_gap_at = 0;        // exch_ts of the tick after it
  std::uint64_t repeated = 0;      // ticks equal in all eight fields to the one before
  std::uint64_t trades = 0;        // ticks whose volume rose: a trade
  std::uint64_t stale_quotes = 0;  // trades whose bid and ask have not moved for stale_after
  Nanos oldest_quote = 0;          // the longest a trade's bid and ask had not moved
  std::uint64_t outside = 0;       // trades outside their quote by more than outside_bp
  double farthest_bp = 0;          // and the farthest, in basis points
  std::uint64_t crossed = 0;       // quotes whose bid is above the ask
  std::uint64_t no_price = 0;      // ticks whose last is 0 or below
  std::uint64_t price_step = 0;    // the greatest common divisor of every price (0: none)
  ClockFindings clock;
};

struct SurveyLimits {
  Nanos gap = 60'000'000'000;          // a step of exch_ts longer than this is a gap
  Nanos stale_after = 60'000'000'000;  // a quote unchanged for longer than this is stale
  double outside_bp = 10;              // basis points of price outside the quote
};

// Reads the tick file at `path` whole and surveys it.  Its reader's error
// when the file cannot be read to its end.
std::variant<TickSurvey, Error> survey_tick_file(const std::string& path,
                                                 const SurveyLimits& limits);

// The same over ticks in memory.
TickSurvey survey_ticks(std::span<const engine::Tick> ticks, const SurveyLimits& limits);

// The clocks of a tick file, from 64 evenly spaced stretches of 64 records
// (all of a smaller file): cheap enough to look at before every run.  None
// when the file cannot be read (the run that opens it says why).
std::optional<ClockFindings> sample_tick_clock(const std::string& path);

// The exch_ts of a tick file's last record, read from where the header says
// it lies; none for an empty or unreadable file.
std::optional<Nanos> last_tick_time(const std::string& path);

}  // namespace halvorn::data
