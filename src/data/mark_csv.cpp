#include "data/mark_csv.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "data/csv_stream.hpp"
#include "data/mark_writer.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

// How long after a funding time a row may still name it and be priced:
// marks are kept this far back.  A recorder names a time seconds after it.
constexpr Nanos NAMED_LATE = 86'400'000'000'000;

// The marks the ticker's rows stated, kept as far back as a funding time
// named late may need them: a day's statements at most.  A vector whose
// front is trimmed by an index, and moved down only once half of it is
// trimmed, so that a row costs no allocation.
class MarkHistory {
 public:
  void add(Nanos time, std::int64_t mark) {
    marks_.push_back({time, mark});
    // Keep the last mark at or before time - NAMED_LATE and all after it.
    while (marks_.size() - first_ > 1 &&
           static_cast<__int128>(marks_[first_ + 1].time) + NAMED_LATE <= time) {
      ++first_;
    }
    if (first_ > 4096 && first_ > marks_.size() / 2) {
      marks_.erase(marks_.begin(), marks_.begin() + static_cast<std::ptrdiff_t>(first_));
      first_ = 0;
    }
  }
  // The last mark stated at or before `time`, with when it was stated.
  std::optional<std::pair<Nanos, std::int64_t>> at(Nanos time) const {
    for (std::size_t i = marks_.size(); i > first_; --i) {
      if (marks_[i - 1].time <= time) return std::pair{marks_[i - 1].time, marks_[i - 1].mark};
    }
    return std::nullopt;
  }

 private:
  struct Stated {
    Nanos time;
    std::int64_t mark;
  };
  std::vector<Stated> marks_;
  std::size_t first_ = 0;  // marks_[first_] is the oldest kept
};

// The funding a derivative ticker announces, settled as its times pass.
//
// A row names a funding time and the rate for it.  Rows before the time
// name it with the rate predicted so far; a recorder's rows go on naming
// it for a few seconds after it has passed, with the rate then settled,
// until the exchange names the next time.  So the rate settled at a time is
// that of the last row to name it, wherever that row lies, and the time is
// settled once a row at or after it names a later one (or the rows end at
// or after it), priced at the mark in force at the time: the last one
// stated at or before it, however much later the row that names it comes.
// A time replaced by another before it came is not settled; a time before
// the first row is the day before's, and is not settled here.
class Settlements {
 public:
  Settlements(MarkWriter& writer, const MarkHistory& marks, Nanos stale_after)
      : writer_(writer), marks_(marks), stale_after_(stale_after) {}

  // What a row announces: a funding time, a rate, or both.  False with the
  // error set when a time that came has no mark to price it at.
  bool announce(const Row& row) {
    if (!started_) {
      started_ = true;
      first_time_ = row.exch;
    }
    bool late = false;
    if ((row.present & present::FUNDING_TIME) != 0) {
      // A time already settled is a late row's, not a new announcement.
      late = settled_ && row.id <= settled_time_;
      if (!late && (!due_ || row.id != due_time_)) {
        if (due_ && row.exch >= due_time_ && !settle()) return false;
        due_ = true;
        due_time_ = row.id;
        rated_ = false;
      }
    }
    if ((row.present & present::FUNDING_RATE) != 0 && due_ && !late) {
      rated_ = true;
      rate_ = row.last_id;
    }
    return true;
  }

  // At the end of the stream: settles a funding time the last row reached.
  bool finish(Nanos last_time) { return !due_ || last_time < due_time_ || settle(); }

  const std::optional<ConvertError>& error() const { return error_; }
  std::uint64_t count() const { return count_; }
  // Settlements priced at a mark stated longer than stale_after before
  // them, and the longest.
  std::uint64_t stale() const { return stale_; }
  Nanos oldest_mark() const { return oldest_mark_; }

 private:
  bool settle() {
    due_ = false;
    settled_ = true;
    settled_time_ = due_time_;
    // A time announced without a rate settles nothing known; one before the
    // rows began is the day before's.
    if (!rated_ || due_time_ < first_time_) return true;
    const auto mark = marks_.at(due_time_);
    if (!mark) {
      error_ = ConvertError{Place{}, NoMarkForFunding{due_time_, rate_}};
      return false;
    }
    if (writer_.add_settlement(PricedRate{due_time_, rate_, mark->second})) {
      panic("settlements are written in increasing time");
    }
    const Nanos age = due_time_ - mark->first;
    if (age > stale_after_) ++stale_;
    oldest_mark_ = std::max(oldest_mark_, age);
    ++count_;
    return true;
  }

  MarkWriter& writer_;
  const MarkHistory& marks_;
  Nanos stale_after_;
  bool started_ = false;
  Nanos first_time_ = 0;
  bool due_ = false;
  Nanos due_time_ = 0;
  bool rated_ = false;
  std::int64_t rate_ = 0;
  bool settled_ = false;
  Nanos settled_time_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t stale_ = 0;
  Nanos oldest_mark_ = 0;
  std::optional<ConvertError> error_;
};

}  // namespace

MarkConversion convert_marks_csv(const std::string& path, const Input& input,
                                 const MarkConvertOptions& options, const Progress& progress) {
  std::optional<Step> tick = parse_step(options.tick_size);
  if (!tick) return ConvertError{Place{}, BadStep{"tick_size", options.tick_size}};
  std::optional<Step> lot = parse_step(options.lot_size);
  if (!lot) return ConvertError{Place{}, BadStep{"lot_size", options.lot_size}};
  if (int code = unrewindable(path)) return ConvertError{Place{}, WriteFailed{path, code}};
  if (options.premium && options.layout == Layout::DerivativeTicker) {
    return ConvertError{Place{}, NotPremium{options.layout}};
  }

  const MarkKind kind = options.premium ? MarkKind::Premium : MarkKind::Price;
  MarkBegun begun = MarkWriter::begin(path, options.instrument, kind);
  if (const int* code = std::get_if<int>(&begun)) {
    return ConvertError{Place{}, WriteFailed{path, *code}};
  }
  MarkWriter writer = std::move(std::get<MarkWriter>(begun));
  if (writer.set_instrument(
          options.contract.define(options.instrument, options.symbol, *tick, *lot))) {
    panic("a conversion's symbol is one a file can hold");
  }

  Meter meter{progress};
  meter.next_report = progress.every_bytes;
  Scaling scaling{*tick, *lot, options.round, false};
  scaling.premium = options.premium;
  RowStream rows(StreamKind::Marks, input, StreamOptions{options.layout, options.unit, 0}, scaling,
                 &meter);

  MarkHistory stated;
  Settlements funding(writer, stated, options.stale_after);
  std::optional<std::int64_t> mark;
  std::int64_t index = 0;
  std::optional<MarkRecord> written;
  Nanos last_time = 0;
  Row row;
  while (rows.next(&row)) {
    if (rows.layout() == Layout::Klines) {
      if (writer.add(MarkRecord{row.exch, row.a, 0})) panic("rows come in time order");
      if (writer.failed() != 0) break;
      continue;
    }
    if (options.premium) return ConvertError{Place{}, NotPremium{rows.layout()}};
    if ((row.present & present::INDEX) != 0) index = row.b;
    if ((row.present & present::MARK) != 0) {
      mark = row.a;
      stated.add(row.exch, row.a);
    }
    if (!funding.announce(row)) return *funding.error();
    last_time = row.exch;
    // A row that changes neither price (a funding announcement, an open
    // interest) writes nothing: the mark holds until it changes.
    if (mark && (!written || written->mark != *mark || written->index != index)) {
      written = MarkRecord{row.exch, *mark, index};
      if (writer.add(*written)) panic("rows come in time order");
      if (writer.failed() != 0) break;
    }
  }
  if (rows.error()) return *rows.error();
  if (rows.layout() == Layout::DerivativeTicker && !funding.finish(last_time)) {
    return *funding.error();
  }
  if (int code = writer.failed()) return ConvertError{Place{}, WriteFailed{path, code}};

  MarksConverted done;
  done.records = writer.count();
  done.settlements = funding.count();
  done.stale_settlements = funding.stale();
  done.oldest_mark = funding.oldest_mark();
  done.rows = meter.rows;
  done.bytes = meter.bytes;
  if (int code = writer.commit()) return ConvertError{Place{}, WriteFailed{path, code}};
  if (progress.report != nullptr) (void)progress.report(progress.context, meter.bytes, meter.rows);
  return done;
}

}  // namespace halvorn::data
