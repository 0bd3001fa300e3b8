#include "data/tick_quality.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <numeric>

#include "data/depth_bytes.hpp"
#include "data/full_reads.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;

// a - b, held within the 64 bits a time has: a local time of 0 beside an
// exchange time near the limit must not wrap into a clock that leads.
Nanos difference(Nanos a, Nanos b) {
  const __int128 d = static_cast<__int128>(a) - b;
  constexpr Nanos MOST = std::numeric_limits<Nanos>::max();
  return d > MOST ? MOST : d < -MOST ? -MOST : static_cast<Nanos>(d);
}

Nanos magnitude(Nanos v) { return v < 0 ? -v : v; }

// A file opened for reading at offsets, closed when dropped.
class File {
 public:
  explicit File(const std::string& path) {
    if (path.find('\0') != std::string::npos) return;
    while ((fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool read_at(std::uint64_t offset, void* into, std::size_t n) const {
    return fd_ >= 0 && pread_full(fd_, into, n, offset) == n;
  }

 private:
  int fd_ = -1;
};

// The record count of a tick file whose header is good; none otherwise.
std::optional<std::uint64_t> tick_count(const File& file) {
  std::uint8_t h[HEADER_BYTES];
  if (!file.read_at(0, h, sizeof h) || load<std::uint32_t>(h) != MAGIC ||
      load<std::uint16_t>(h + 4) != VERSION) {
    return std::nullopt;
  }
  return load<std::uint64_t>(h + 8);
}

engine::Tick tick_at(const std::uint8_t* r) {
  return engine::Tick{load<std::int64_t>(r),      load<std::int64_t>(r + 8),
                      load<std::int64_t>(r + 16), load<std::int64_t>(r + 24),
                      load<std::int64_t>(r + 32), load<std::int64_t>(r + 40),
                      load<std::int64_t>(r + 48), load<std::int64_t>(r + 56)};
}

// The survey of a stream of ticks, one at a time.
class Surveyor {
 public:
  explicit Surveyor(const SurveyLimits& limits) : limits_(limits) {}

  void add(const engine::Tick& t) {
    TickSurvey& s = survey_;
    if (s.ticks == 0) {
      s.first = t.exch_ts;
    } else {
      const Nanos step = difference(t.exch_ts, s.last);
      if (step > limits_.gap) ++s.gaps;
      if (step > s.largest_gap) {
        s.largest_gap = step;
        s.largest_gap_at = t.exch_ts;
      }
      if (t == previous_) ++s.repeated;
    }
    s.last = t.exch_ts;
    clock_.add(t.exch_ts, t.local_ts);
    if (t.bid > 0 && t.ask > 0 && t.bid > t.ask) ++s.crossed;
    if (t.last <= 0) ++s.no_price;
    for (std::int64_t p : {t.last, t.high, t.low, t.bid, t.ask}) {
      if (p > 0) s.price_step = std::gcd(s.price_step, static_cast<std::uint64_t>(p));
    }
    if (s.ticks == 0 || t.bid != previous_.bid || t.ask != previous_.ask) quoted_at_ = t.exch_ts;
    // Which ticks are trades: those whose cumulative volume rose, or every
    // tick of a series that keeps no volume.
    const bool rose = s.ticks > 0 && t.volume > previous_.volume;
    count_trade(by_volume_, t, rose);
    count_trade(every_, t, true);
    volume_moves_ |= rose;
    ++s.ticks;
    previous_ = t;
  }

  TickSurvey finish() const {
    TickSurvey s = survey_;
    const Trades& trades = volume_moves_ ? by_volume_ : every_;
    s.trades = trades.count;
    s.stale_quotes = trades.stale;
    s.oldest_quote = trades.oldest;
    s.outside = trades.outside;
    s.farthest_bp = trades.farthest;
    s.clock = clock_.findings();
    return s;
  }

 private:
  struct Trades {
    std::uint64_t count = 0, stale = 0, outside = 0;
    Nanos oldest = 0;
    double farthest = 0;
  };

  void count_trade(Trades& into, const engine::Tick& t, bool trade) const {
    if (!trade) return;
    ++into.count;
    if (t.bid <= 0 || t.ask <= 0) return;  // no quote to be stale or to be outside
    const Nanos age = difference(t.exch_ts, quoted_at_);
    into.oldest = std::max(into.oldest, age);
    if (age > limits_.stale_after) ++into.stale;
    const std::optional<double> bp = outside_quote_bp(t.last, t.bid, t.ask);
    if (bp && *bp > limits_.outside_bp) {
      ++into.outside;
      into.farthest = std::max(into.farthest, *bp);
    }
  }

  SurveyLimits limits_;
  TickSurvey survey_;
  ClockMeter clock_;
  engine::Tick previous_{};
  Nanos quoted_at_ = 0;
  Trades by_volume_, every_;
  bool volume_moves_ = false;
};

}  // namespace

void ClockMeter::jumped(Nanos skew) {
  const Nanos change = magnitude(difference(skew, previous_));
  ++seen_.jumps;
  seen_.largest_jump = std::max(seen_.largest_jump, change);
}

void ClockMeter::keep(Nanos skew) {
  // Every stride-th value is kept; when the sample is full, every other one
  // is dropped and the stride doubles, so the sample stays evenly spaced.
  sample_.push_back(skew);
  until_next_ = stride_ - 1;
  if (sample_.size() == 2 * CLOCK_SAMPLE) {
    // The values kept stand at every stride-th tick from the first; so do
    // those left, at twice the stride, and the next one after the last
    // dropped is still a stride on (until_next_ as set above).
    for (std::size_t i = 0; i < CLOCK_SAMPLE; ++i) sample_[i] = sample_[2 * i];
    sample_.resize(CLOCK_SAMPLE);
    stride_ *= 2;
  }
}

ClockFindings ClockMeter::findings() const {
  ClockFindings out = seen_;
  if (!sample_.empty()) {
    std::vector<Nanos> sorted = sample_;
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    out.median = *middle;
  }
  return out;
}

TickSurvey survey_ticks(std::span<const engine::Tick> ticks, const SurveyLimits& limits) {
  Surveyor s(limits);
  for (const engine::Tick& t : ticks) s.add(t);
  return s.finish();
}

std::variant<TickSurvey, Error> survey_tick_file(const std::string& path,
                                                 const SurveyLimits& limits) {
  Opened opened = TickReader::open(path);
  if (auto* e = std::get_if<Error>(&opened)) return *e;
  TickReader& reader = std::get<TickReader>(opened);
  Surveyor s(limits);
  for (;;) {
    Next n = reader.next();
    if (auto* t = std::get_if<engine::Tick>(&n)) {
      s.add(*t);
    } else if (auto* e = std::get_if<Error>(&n)) {
      return *e;
    } else {
      return s.finish();
    }
  }
}

std::optional<ClockFindings> sample_tick_clock(const std::string& path) {
  constexpr std::uint64_t STRETCHES = 64, STRETCH = 64;
  const File file(path);
  const std::optional<std::uint64_t> count = tick_count(file);
  if (!count) return std::nullopt;
  ClockMeter meter;
  std::vector<std::uint8_t> bytes(STRETCH * RECORD_BYTES);
  // A file of up to STRETCHES stretches is read whole; a larger one in
  // stretches spaced evenly from its first record to its last.
  const bool whole = *count <= STRETCHES * STRETCH;
  const std::uint64_t stretches = whole ? (*count + STRETCH - 1) / STRETCH : STRETCHES;
  for (std::uint64_t i = 0; i < stretches; ++i) {
    const std::uint64_t first =
        whole ? i * STRETCH
              : static_cast<std::uint64_t>(static_cast<unsigned __int128>(*count - STRETCH) * i /
                                           (STRETCHES - 1));
    const std::uint64_t n = std::min(STRETCH, *count - first);
    if (!file.read_at(HEADER_BYTES + first * RECORD_BYTES, bytes.data(), n * RECORD_BYTES)) {
      return std::nullopt;
    }
    if (!whole) meter.skip();  // the stretch does not follow the one before
    for (std::uint64_t k = 0; k < n; ++k) {
      const engine::Tick t = tick_at(bytes.data() + k * RECORD_BYTES);
      meter.add(t.exch_ts, t.local_ts);
    }
  }
  return meter.findings();
}

std::optional<Nanos> last_tick_time(const std::string& path) {
  const File file(path);
  const std::optional<std::uint64_t> count = tick_count(file);
  if (!count || *count == 0 ||
      *count > (std::numeric_limits<std::uint64_t>::max() - HEADER_BYTES) / RECORD_BYTES) {
    return std::nullopt;
  }
  std::uint8_t r[8];
  if (!file.read_at(HEADER_BYTES + (*count - 1) * RECORD_BYTES, r, sizeof r)) return std::nullopt;
  return load<std::int64_t>(r);
}

}  // namespace halvorn::data
