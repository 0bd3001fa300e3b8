#include "data/mark_csv.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "data/csv_stream.hpp"
#include "data/mark_file.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

// The funding a derivative ticker announces, settled as its times pass.
class Settlements {
 public:
  explicit Settlements(MarkWriter& writer) : writer_(writer) {}

  // Settles what is due before a row at `time`: an announced funding time
  // that this row is past.  False with the error set when there is no mark
  // to price a settlement at.
  bool before(Nanos time, const std::optional<std::int64_t>& mark) {
    return !due_ || time <= due_time_ || settle(mark);
  }

  // What a row announces: a funding time, a rate, or both.
  void announce(const Row& row) {
    if ((row.present & present::FUNDING_TIME) != 0) {
      // A time already settled is a late row's, not a new announcement; a
      // different time replaces one that has not come.
      if (settled_ && row.id <= settled_time_) return;
      if (!due_ || row.id != due_time_) {
        due_ = true;
        due_time_ = row.id;
        rated_ = false;
      }
    }
    if ((row.present & present::FUNDING_RATE) != 0 && due_) {
      rated_ = true;
      rate_ = row.last_id;
    }
  }

  // At the end of the stream: settles a funding time the last row reached.
  bool finish(Nanos last_time, const std::optional<std::int64_t>& mark) {
    return !due_ || last_time < due_time_ || settle(mark);
  }

  const std::optional<ConvertError>& error() const { return error_; }
  std::uint64_t count() const { return count_; }

 private:
  bool settle(const std::optional<std::int64_t>& mark) {
    due_ = false;
    settled_ = true;
    settled_time_ = due_time_;
    if (!rated_) return true;  // a time announced without a rate settles nothing known
    if (!mark) {
      error_ = ConvertError{Place{}, NoMarkForFunding{due_time_, rate_}};
      return false;
    }
    if (writer_.add_settlement(PricedRate{due_time_, rate_, *mark})) {
      panic("settlements are written in increasing time");
    }
    ++count_;
    return true;
  }

  MarkWriter& writer_;
  bool due_ = false;
  Nanos due_time_ = 0;
  bool rated_ = false;
  std::int64_t rate_ = 0;
  bool settled_ = false;
  Nanos settled_time_ = 0;
  std::uint64_t count_ = 0;
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
          InstrumentDefinition{options.instrument, options.symbol, *tick, *lot})) {
    panic("a conversion's symbol is one a file can hold");
  }

  Meter meter{progress};
  meter.next_report = progress.every_bytes;
  Scaling scaling{*tick, *lot, options.round, false};
  scaling.premium = options.premium;
  RowStream rows(StreamKind::Marks, input, StreamOptions{options.layout, options.unit, 0}, scaling,
                 &meter);

  Settlements funding(writer);
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
    if (!funding.before(row.exch, mark)) return *funding.error();
    funding.announce(row);
    if ((row.present & present::INDEX) != 0) index = row.b;
    if ((row.present & present::MARK) != 0) mark = row.a;
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
  if (rows.layout() == Layout::DerivativeTicker && !funding.finish(last_time, mark)) {
    return *funding.error();
  }
  if (int code = writer.failed()) return ConvertError{Place{}, WriteFailed{path, code}};

  MarksConverted done;
  done.records = writer.count();
  done.settlements = funding.count();
  done.rows = meter.rows;
  done.bytes = meter.bytes;
  if (int code = writer.commit()) return ConvertError{Place{}, WriteFailed{path, code}};
  if (progress.report != nullptr) (void)progress.report(progress.context, meter.bytes, meter.rows);
  return done;
}

}  // namespace halvorn::data
