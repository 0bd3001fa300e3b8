// One stream of CSV files (the trades, the quotes, the funding history, the
// market depth or the mark prices of one instrument), read row by row into
// the engine's units and handed out in time order.
//
// Each file's layout and time unit are settled by its first lines; every
// file of a stream must have the same layout, and rows continue from file to
// file as one series (times never go back, aggregated trade ids follow on).
// A row is read in one pass over its bytes with no allocation; only a row
// that fails that pass is read again, field by field, to say exactly what is
// wrong with it.
//
// A sorting window of N rows takes rows that are a little out of order: the
// stream holds up to N rows and hands out the earliest, so a row may arrive
// up to N rows late.  One older than a row already handed out is still an
// error.  Rows of equal time keep their order in the files.
//
// Thread-safety: a RowStream is used by one thread at a time.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "book/depth_records.hpp"
#include "data/csv_error.hpp"
#include "data/csv_fields.hpp"
#include "data/csv_input.hpp"
#include "data/csv_layout.hpp"
#include "data/decimal.hpp"

namespace halvorn::data {

// How one stream is to be read.
struct StreamOptions {
  Layout layout = Layout::Detect;    // or from each file's header or first row
  TimeUnit unit = TimeUnit::Detect;  // or from each file's first row
  std::uint64_t sort_window = 0;     // rows; 0: rows must already be in time order
};

// What becomes of a trade whose id repeats that of a trade already read at
// the same time: the same row given twice, which would count its quantity
// twice.
enum class Repeats : std::uint8_t {
  Keep,    // handed out as any row, and counted
  Skip,    // dropped, and counted
  Refuse,  // the stream stops with an error
};

// How decimal text becomes ticks and lots.
struct Scaling {
  Step tick;
  Step lot;
  bool round = false;       // round toward the side that does not flatter
  bool allow_gaps = false;  // accept missing aggregated trade ids
  Repeats repeats = Repeats::Keep;
  // Klines: their values are a premium index, a rate counted in billionths,
  // rather than prices counted in ticks.
  bool premium = false;
};

// Which optional fields a derivative ticker row holds (Row::present).
namespace present {
inline constexpr std::uint8_t MARK = 1;
inline constexpr std::uint8_t INDEX = 2;
inline constexpr std::uint8_t FUNDING_TIME = 4;
inline constexpr std::uint8_t FUNDING_RATE = 8;
}  // namespace present

// One row in the engine's units.  For a trade, `a` is the price in ticks and
// `b` the quantity in lots; for a quote, `a` the bid and `b` the ask in
// ticks; for funding, `a` the rate in billionths and `b` the interval in
// hours; for depth, `a` the level's price in ticks and `b` its quantity in
// lots (a book snapshot row's levels are the stream's snapshot_bids() and
// snapshot_asks()); for a kline, `a` its close in ticks (or billionths, for
// a premium index); for a derivative ticker, `a` the mark and `b` the index
// price in ticks, `id` the funding time in nanoseconds and `last_id` the
// funding rate in billionths, each when `present` says the row holds it.
struct Row {
  Nanos exch = 0;
  Nanos local = 0;  // the exchange time when the layout has no local clock
  std::int64_t a = 0;
  std::int64_t b = 0;
  // The trade id (a hash of it for two-clock trades, whose ids are text);
  // first_update_id of depth diffs.
  std::int64_t id = 0;
  std::int64_t last_id = 0;       // last_update_id of depth diffs
  std::int64_t prev_id = 0;       // pu of chained depth diffs
  BookSide side = BookSide::Bid;  // depth: the side the level is on
  bool snapshot = false;          // depth: the row is part of a snapshot
  std::uint8_t present = 0;       // derivative ticker: present::MARK and the others
  std::int64_t raw_time = 0;      // the exchange time as written, for error texts
  std::uint64_t line = 0;
  std::uint32_t file = 0;  // index into the stream's file names
};

class RowStream {
 public:
  RowStream(StreamKind kind, const Input& input, const StreamOptions& options,
            const Scaling& scaling, Meter* meter);

  // The next row in time order: true with `*row` set, or false at the end
  // of the stream or at an error (then error() holds it, and every later
  // call returns false).
  bool next(Row* row);

  const std::optional<ConvertError>& error() const { return error_; }
  // The layout of the stream's files (Detect before the first row).
  Layout layout() const { return stream_layout_; }
  // Where a row handed out came from.
  Place place(const Row& row) const { return Place{files_[row.file], row.line}; }
  // The levels of the book snapshot row handed out last, best first, valid
  // until the next call.
  const std::vector<book::Level>& snapshot_bids() const { return bids_; }
  const std::vector<book::Level>& snapshot_asks() const { return asks_; }
  // Trades that repeated an id (Scaling::repeats), and where the first of
  // them and the trade it repeats were read.
  std::uint64_t duplicates() const { return duplicates_; }
  const std::optional<std::pair<Place, Place>>& first_duplicate() const { return first_repeat_; }

 private:
  enum class Read : std::uint8_t { Row, End, Failed };

  Read read_row(Row* row);
  bool start_file();
  Read first_line(std::string_view line, bool* header);
  Read parse(std::string_view line, Row* row);
  Read parse_depth(std::string_view line, Row* row);
  Read parse_book(std::string_view line, Row* row);
  Read parse_marks(std::string_view line, Row* row);
  void diagnose(std::string_view line);
  bool time(std::int64_t raw, std::size_t column, std::string_view text, Nanos* out);
  bool price(const Decimal& d, Rounding r, bool unrounded, std::size_t column,
             std::string_view text, std::int64_t* out);
  bool quantity(const Decimal& d, std::size_t column, std::string_view text, std::int64_t* out);
  // A mark or index price, or a premium index: exact, or to the nearest
  // step when rounding is asked for (it has no side to round against).
  bool mark(const Decimal& d, bool rate, std::size_t column, std::string_view text,
            std::int64_t* out);
  // A funding rate in billionths, exact or refused.
  bool rate(const Decimal& d, std::size_t column, std::string_view text, std::int64_t* out);
  // The first and last update ids of a depth-diff row: not negative, and in
  // order.
  bool update_ids(std::int64_t first, std::int64_t last, std::string_view first_text,
                  std::string_view last_text);
  bool next_windowed(Row* row);
  // Checks `row` against the rows handed out before it; true with `*skip`
  // set when it is a repeat to drop.
  bool emit(Row* row, bool* skip);
  // Whether `row` repeats a trade id already handed out at its time, to be
  // dropped; false with the error set when a repeat is refused.
  bool repeated(const Row& row, bool* drop);
  bool fail(Place where, decltype(ConvertError::kind) kind);
  bool fail_here(decltype(ConvertError::kind) kind);
  std::string column(std::size_t i) const;

  StreamKind kind_;
  StreamOptions options_;
  Scaling scaling_;
  Step billionth_;
  Meter* meter_;
  LineReader reader_;
  std::vector<std::string> files_;
  std::optional<ConvertError> error_;

  // The current file.
  bool in_file_ = false;
  bool started_ = false;  // its layout is settled
  Layout layout_ = Layout::Detect;
  TimeUnit unit_ = TimeUnit::Detect;
  std::int64_t nanos_ = 0;  // per unit_, once settled
  bool detected_ = false;   // unit_ was told from the data, so rows are held to its range
  std::uint64_t unit_line_ = 0;
  std::uint64_t blank_line_ = 0;  // the first of the blank lines just read, or 0

  Layout stream_layout_ = Layout::Detect;
  std::size_t first_file_ = 0;  // the file that settled stream_layout_
  bool input_done_ = false;     // the last file has been read
  bool ended_ = false;          // and every row handed out

  // Order across files and rows, as handed out.
  bool any_out_ = false;
  Row last_out_;
  bool any_id_ = false;
  std::int64_t last_id_ = 0;
  std::vector<Row> window_;  // a min-heap by (exch, file, line)

  // The trade ids handed out at the time of the last row, with where each
  // was read, to find a trade given twice.
  struct SeenId {
    std::int64_t id;
    std::uint32_t file;
    std::uint64_t line;
  };
  std::vector<SeenId> seen_;
  Nanos seen_time_ = 0;
  std::int64_t seen_max_ = 0;
  std::uint64_t duplicates_ = 0;
  std::optional<std::pair<Place, Place>> first_repeat_;

  // A wide row's fields, and a book snapshot row's levels.
  std::vector<std::string_view> fields_;
  std::vector<book::Level> bids_;
  std::vector<book::Level> asks_;
};

}  // namespace halvorn::data
