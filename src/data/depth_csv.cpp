#include "data/depth_csv.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "data/csv_stream.hpp"
#include "data/depth_writer.hpp"
#include "types/fixed.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

Layout layout_of(DepthLayout layout) {
  switch (layout) {
    case DepthLayout::Detect:
      return Layout::Detect;
    case DepthLayout::Diffs:
      return Layout::DepthDiffs;
    case DepthLayout::TwoClock:
      return Layout::ClockedDepth;
    case DepthLayout::Chained:
      return Layout::ChainedDiffs;
    case DepthLayout::Snapshots5:
      return Layout::BookSnapshot5;
    case DepthLayout::Snapshots25:
      return Layout::BookSnapshot25;
  }
  panic("a depth layout is one of six");
}

bool book_snapshots(Layout layout) {
  return layout == Layout::BookSnapshot5 || layout == Layout::BookSnapshot25;
}

// The rows of one message gathered into its record, and the records handed
// to the writer.  The two records are kept from message to message so that
// their level arrays are reused: once the largest message has been seen,
// converting allocates nothing.
class Messages {
 public:
  Messages(DepthWriter& writer, Layout layout)
      : writer_(writer),
        layout_(layout),
        made_up_ids_(layout == Layout::ClockedDepth || book_snapshots(layout)),
        whole_rows_(book_snapshots(layout)),
        chained_(layout == Layout::ChainedDiffs) {}

  // Whether `row` continues the open message: the same time and kind and,
  // where the layout has them, the same update ids.  A book snapshot row is
  // a message of its own.
  bool continues(const Row& row) const {
    return open_ && !whole_rows_ && row.exch == time_ && row.snapshot == snapshot_ &&
           (made_up_ids_ || (row.id == first_ && row.last_id == last_));
  }

  bool open() const { return open_; }
  std::size_t levels() const { return bids_->size() + asks_->size(); }
  Layout layout() const { return layout_; }
  // The file whose first row settled the layout, for the error of a file
  // of another.
  const std::string& first_file() const { return first_file_; }
  void set_first_file(std::string file) { first_file_ = std::move(file); }

  void begin(const Row& row) {
    open_ = true;
    time_ = row.exch;
    snapshot_ = row.snapshot;
    first_ = row.id;
    last_ = row.last_id;
    prev_ = row.prev_id;
    if (snapshot_) {
      bids_ = &std::get<book::DepthSnapshot>(snapshot_record_.entry).bids;
      asks_ = &std::get<book::DepthSnapshot>(snapshot_record_.entry).asks;
    } else {
      bids_ = &std::get<book::DepthUpdate>(update_record_.entry).bids;
      asks_ = &std::get<book::DepthUpdate>(update_record_.entry).asks;
    }
    bids_->clear();
    asks_->clear();
  }

  void add(const Row& row) {
    (row.side == BookSide::Bid ? bids_ : asks_)->push_back(book::Level{row.a, row.b});
  }

  // The levels of a whole book in one row.
  void add_book(const std::vector<book::Level>& bids, const std::vector<book::Level>& asks) {
    bids_->assign(bids.begin(), bids.end());
    asks_->assign(asks.begin(), asks.end());
  }

  // Hands the open message to the writer; false once a write has failed.
  bool close() {
    open_ = false;
    book::DepthRecord* record = nullptr;
    if (snapshot_) {
      auto& s = std::get<book::DepthSnapshot>(snapshot_record_.entry);
      // A made-up id is the one an update at this place would have had, so
      // the update after the snapshot follows on from it without a gap.
      s.last_update_id = made_up_ids_ ? next_id() : static_cast<std::uint64_t>(last_);
      record = &snapshot_record_;
      ++snapshots_;
    } else {
      auto& u = std::get<book::DepthUpdate>(update_record_.entry);
      if (made_up_ids_) {
        u.first_id = u.final_id = next_id();
      } else {
        u.first_id = static_cast<std::uint64_t>(first_);
        u.final_id = static_cast<std::uint64_t>(last_);
      }
      // The chained layout names the update before each one (pu), and the
      // book follows that chain rather than the ids' own sequence, which
      // the layout leaves with holes between updates.
      if (chained_) {
        u.prev_final_id = static_cast<std::uint64_t>(prev_);
      } else {
        u.prev_final_id.reset();
      }
      u.time_ms = floor_millis(time_);
      u.time_ns = time_;
      record = &update_record_;
      ++updates_;
    }
    record->time = time_;
    // The rows were checked for everything a depth file refuses (quantities
    // not negative, times in order, levels within a record's bound).
    if (writer_.add(*record)) panic("a converted depth message is a valid depth record");
    return writer_.failed() == 0;
  }

  std::uint64_t snapshots() const { return snapshots_; }
  std::uint64_t updates() const { return updates_; }

 private:
  std::uint64_t next_id() {
    return made_up_ = next_counter(made_up_, "made-up update id overflows");
  }

  DepthWriter& writer_;
  Layout layout_ = Layout::Detect;
  std::string first_file_;
  bool made_up_ids_ = false;
  bool whole_rows_ = false;  // book snapshots: a row is a message
  bool chained_ = false;
  book::DepthRecord update_record_{0, book::DepthUpdate{}};
  book::DepthRecord snapshot_record_{0, book::DepthSnapshot{}};
  std::vector<book::Level>* bids_ = nullptr;
  std::vector<book::Level>* asks_ = nullptr;
  bool open_ = false;
  Nanos time_ = 0;
  bool snapshot_ = false;
  std::int64_t first_ = 0;
  std::int64_t last_ = 0;
  std::int64_t prev_ = 0;
  std::uint64_t made_up_ = 0;  // the last id given to a two-clock message
  std::uint64_t snapshots_ = 0;
  std::uint64_t updates_ = 0;
};

}  // namespace

DepthConversion convert_depth_csv(const std::string& path, const Input& input,
                                  const DepthConvertOptions& options, const Progress& progress) {
  return convert_depth_csv(path, input, nullptr, options, progress);
}

DepthConversion convert_depth_csv(const std::string& path, const Input& input,
                                  const Input* snapshot_input, const DepthConvertOptions& options,
                                  const Progress& progress) {
  std::optional<Step> tick = parse_step(options.tick_size);
  if (!tick) return ConvertError{Place{}, BadStep{"tick_size", options.tick_size}};
  std::optional<Step> lot = parse_step(options.lot_size);
  if (!lot) return ConvertError{Place{}, BadStep{"lot_size", options.lot_size}};
  if (int code = unrewindable(path)) return ConvertError{Place{}, WriteFailed{path, code}};

  DepthBegun begun = DepthWriter::begin(path, options.instrument);
  if (const int* code = std::get_if<int>(&begun)) {
    return ConvertError{Place{}, WriteFailed{path, *code}};
  }
  DepthWriter writer = std::move(std::get<DepthWriter>(begun));
  if (writer.set_instrument(
          options.contract.define(options.instrument, options.symbol, *tick, *lot))) {
    panic("a conversion's symbol is one a file can hold");
  }

  Meter meter{progress};
  meter.next_report = progress.every_bytes;
  const StreamOptions stream{layout_of(options.layout), options.unit, 0};
  const Scaling scaling{*tick, *lot, options.round, false};
  RowStream rows(StreamKind::Depth, input, stream, scaling, &meter);
  std::optional<RowStream> snapshots;
  if (snapshot_input != nullptr) {
    snapshots.emplace(StreamKind::Depth, *snapshot_input, stream, scaling, &meter);
  }

  // The two streams are merged by time, the snapshots first at equal times:
  // an update stamped with a snapshot's time may already be in it, which
  // the book then skips, or come after it, which it then applies.
  std::optional<Messages> messages;
  Place start;  // where the open message began
  Row update, snap;
  bool have_update = rows.next(&update);
  bool have_snap = snapshots && snapshots->next(&snap);
  while (have_update || have_snap) {
    const bool from_snapshots = have_snap && (!have_update || snap.exch <= update.exch);
    RowStream& from = from_snapshots ? *snapshots : rows;
    const Row& row = from_snapshots ? snap : update;
    // The first row settles the layout, and with it where ids come from;
    // the snapshot files must be of it too.
    if (!messages) {
      messages.emplace(writer, from.layout());
    } else if (from.layout() != messages->layout()) {
      return ConvertError{Place{from.place(row).file, 0},
                          LayoutChanged{messages->layout(), from.layout(), messages->first_file()}};
    }
    if (messages->first_file().empty()) messages->set_first_file(from.place(row).file);
    if (messages->open() && !messages->continues(row)) {
      if (!messages->close()) break;
    }
    if (book_snapshots(from.layout())) {
      messages->begin(row);
      messages->add_book(from.snapshot_bids(), from.snapshot_asks());
    } else {
      if (!messages->open()) {
        messages->begin(row);
        start = from.place(row);
      } else if (messages->levels() == MAX_RECORD_LEVELS) {
        const Place here = from.place(row);
        const bool other_file = here.file != start.file;
        return ConvertError{here, MessageTooLarge{start, other_file}};
      }
      messages->add(row);
    }
    if (from_snapshots) {
      have_snap = snapshots->next(&snap);
      if (!have_snap && snapshots->error()) break;
    } else {
      have_update = rows.next(&update);
      if (!have_update && rows.error()) break;
    }
  }
  // A stream that ended at an error, not at its end, leaves the file
  // unwritten: the writer is dropped uncommitted and the target untouched.
  if (rows.error()) return *rows.error();
  if (snapshots && snapshots->error()) return *snapshots->error();
  if (messages && messages->open()) (void)messages->close();
  if (int code = writer.failed()) return ConvertError{Place{}, WriteFailed{path, code}};

  DepthConverted done;
  done.records = writer.count();
  done.levels = writer.levels();
  done.snapshots = messages ? messages->snapshots() : 0;
  done.updates = messages ? messages->updates() : 0;
  done.rows = meter.rows;
  done.bytes = meter.bytes;
  if (int code = writer.commit()) return ConvertError{Place{}, WriteFailed{path, code}};
  // A last report, so that a caller's display ends at the true totals.
  if (progress.report != nullptr) (void)progress.report(progress.context, meter.bytes, meter.rows);
  return done;
}

}  // namespace halvorn::data
