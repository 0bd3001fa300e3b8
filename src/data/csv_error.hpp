// Why a CSV conversion stopped: errors as values, each naming the file, the
// line and what was expected there, with a fixed display text written for
// the person who has to fix the data.
//
// A conversion stops at its first error; nothing is skipped silently.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "data/csv_layout.hpp"
#include "data/tick_writer.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// Where an error was found.  `line` is 1-based; 0 means the file as a whole,
// and an empty `file` the conversion as a whole.
struct Place {
  std::string file;
  std::uint64_t line = 0;
  friend bool operator==(const Place&, const Place&) = default;
};

// The kinds; each comment gives the text after the place prefix.  A field
// text is quoted as found (cut to 60 bytes).

// "expected 6 columns (id,price,qty,quote_qty,time,is_buyer_maker), found 5"
// or "..., found an empty line" (found 0).
struct ColumnCount {
  Layout layout = Layout::Detect;
  std::size_t found = 0;
};

enum class Expected : std::uint8_t {
  Decimal,
  Integer,
  Boolean,
  Side,
  BookSide,
  UpdateType,
  ChainedUpdateType
};
// "column price: \"abc\" is not a decimal number", "... is not an integer",
// "... is not a boolean (true, false, 1 or 0)",
// "... is not a side (buy, sell or unknown)",
// "... is not a book side (b, bid or buy; a, ask or sell)",
// "... is not an update type (snap, snapshot, set or delta)",
// "... is not an update type (snap, snapshot, set, delta, update or delete)".
struct BadField {
  std::string column;
  std::string text;
  Expected expected = Expected::Decimal;
};

enum class Limit : std::uint8_t { Digits, Exponent, Integer, Steps, Time, Volume };
// Digits:   "column price: \"...\" has more than 19 significant digits"
// Exponent: "column price: \"1e99999\" has an exponent beyond 9999"
// Integer:  "column id: \"...\" does not fit in a signed 64-bit integer"
// Steps:    "column price: \"1e30\" is beyond 9223372036854775807 ticks of 0.1"
// Time:     "column time: \"...\" in microseconds is beyond the times a tick
//            holds (the years 1677 to 2262)"
// Volume:   "column qty: \"5\" takes the cumulative volume beyond
//            9223372036854775807 lots"
// `detail` is the step ("ticks of 0.1", "lots of 0.001") or the unit.
struct OutOfRange {
  std::string column;
  std::string text;
  Limit limit = Limit::Digits;
  std::string detail;
};

// "column qty: \"-1\" is negative"; for a mark or index price (`price`),
// which is no price at 0 either, "column mark_price: \"0\" is not above 0,
// and a mark or index price is a price".
struct Negative {
  std::string column;
  std::string text;
  bool price = false;
};

// "column price: \"42123.45\" is not a whole number of ticks of 0.10"; with
// `unrounded` (rounding asked for, but the trade has no aggressor side):
// "..., and the trade has no aggressor side to round it by".  A price of a
// trade, a quote or a depth level names the tick size that would take it
// (`finer`), since a venue that changed a symbol's tick size over the years
// leaves archives that no one later tick size fits: "...; a tick size of
// 0.01 fits it and every price before it".  A mark price says how it is
// taken instead (`mark`): "...; a mark or index price is taken to the
// nearest tick only when rounding is asked for".
struct NotMultiple {
  std::string column;
  std::string text;
  std::string step;  // "ticks of 0.10", "lots of 0.001", "billionths"
  bool unrounded = false;
  std::string finer;
  bool mark = false;
};

// "column time: cannot tell whether \"123456\" is in milliseconds,
// microseconds or nanoseconds (the years 1990 to 2099 are 631152000000 to
// 4102444799999 in milliseconds, 631152000000000 to 4102444799999999 in
// microseconds, 631152000000000000 to 4102444799999999999 in nanoseconds);
// give the time unit"
struct AmbiguousTime {
  std::string column;
  std::string text;
};

// "column time: \"1700000000123456\" is not a time in milliseconds, the unit
// of this file since line 2"
struct UnitMismatch {
  std::string column;
  std::string text;
  TimeUnit unit = TimeUnit::Milliseconds;
  std::uint64_t since_line = 0;
};

// "column time: \"1700000000100\" goes back in time: 1700000000100000000 ns is
// before 1700000000123000000 ns at line 41" (", of a.csv" when that line is
// in another file); with a sorting window, "..., which the sorting window of
// 100 rows has already written".
struct Backwards {
  std::string column;
  std::string text;
  Nanos found = 0;
  Nanos previous = 0;
  Place previous_at;
  std::uint64_t window = 0;
  bool other_file = false;
};

// "missing aggregated trades 101 to 104 (the row before is 100, this row
// 105)", or "missing aggregated trade 101 (...)" for one.
struct IdGap {
  std::int64_t previous = 0;
  std::int64_t found = 0;
};

// "aggregated trade id 100 does not follow id 100 of the row before; ids
// must increase"
struct IdOrder {
  std::int64_t previous = 0;
  std::int64_t found = 0;
};

// A trade given twice: a row whose trade id is that of a row already read at
// the same time, which would count its quantity twice.  "trade id 41
// repeats the trade at line 40 (at the same time, 1700000000000000000 ns); a
// trade given twice would count its quantity twice: remove the repeat, or
// have repeated trades skipped" (" of a.csv" after the line when it is in
// another file; "a trade id repeats ..." for a layout whose ids are text).
struct Duplicate {
  std::optional<std::int64_t> id;
  Nanos time = 0;
  Place previous;
  bool other_file = false;
};

// A quote stream without a trade stream's rows: "the trades have no rows,
// so none of the 12 quote rows makes a tick (a tick carries the last trade
// price); give the trades of the same days".
struct NoTrades {
  std::uint64_t quotes = 0;
};

// A trade that would carry a quote older than allowed: "the latest quote at
// this trade is 7200000000000 ns old (from 1700000000000000000 ns), more
// than the 60000000000 ns a quote may be; the quotes end at
// 1700000000000000000 ns" (the last clause only once the quotes have ended).
struct StaleQuote {
  Nanos age = 0;
  Nanos quoted = 0;
  Nanos limit = 0;
  bool ended = false;
};

// A settlement of the derivative ticker with no mark to price it: "no mark
// price at or before the funding settlement at 1700000000000000000 ns (rate
// 100000 billionths)".
struct NoMarkForFunding {
  Nanos time = 0;
  std::int64_t rate = 0;
};

// Premium index klines asked for of a file that holds prices: "the
// derivative ticker layout holds mark and index prices, not a premium index".
struct NotPremium {
  Layout layout = Layout::Detect;
};

// A depth row whose update ids run backwards: "first_update_id 12 is after
// last_update_id 11".
struct IdRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
};

// A depth message with more levels than one depth record may hold: "the
// depth message from line 2 has more than 1048576 levels, the most one depth
// record holds" (" of a.csv" after the line when it began in another file).
struct MessageTooLarge {
  Place start;
  bool other_file = false;
};

// "the first line \"a,b\" is not the header of a layout a trade file can
// have: trades (id,...), aggregated trades (...) or two-clock trades (...)"
struct UnknownHeader {
  std::string line;
  StreamKind kind = StreamKind::Trades;
};

// "cannot tell the layout of a file without a header from its first row,
// of 5 columns; give the layout, or add the header of one of: trades (...),
// ..."
struct UnknownShape {
  std::size_t columns = 0;
  StreamKind kind = StreamKind::Trades;
};

// "the header is that of the aggregated trades layout, but the trades layout
// was asked for"
struct WrongLayout {
  Layout asked = Layout::Detect;
  Layout found = Layout::Detect;
};

// "this file is of the aggregated trades layout, but the stream began with
// a file of the trades layout (day1.csv); one stream is one layout"
struct LayoutChanged {
  Layout first = Layout::Detect;
  Layout found = Layout::Detect;
  std::string first_file;
};

// "a file of the best bid and offer layout cannot be a trade file (trades,
// aggregated trades or two-clock trades)"; when the layout was told from
// the first row's shape rather than a header: "the first row looks like one
// of the best bid and offer layout, which cannot be a trade file (...); give
// the layout if it is one of those".
struct NotForStream {
  StreamKind kind = StreamKind::Trades;
  Layout found = Layout::Detect;
  bool from_shape = false;
};

// "line is longer than 1048576 bytes"
struct LineTooLong {};
// "reading failed" (the caller's read returned < 0 and knows why)
struct ReadFailed {};
// "stopped by the caller"
struct Stopped {};
// "tick_size \"0\" is not a positive decimal number"
struct BadStep {
  std::string name;
  std::string text;
};

// A conversion that stopped: where, and why.  WriteFailed is the output's
// (its display is "{path}: {reason}", and `where` is empty).
struct ConvertError {
  Place where;
  std::variant<ColumnCount, BadField, OutOfRange, Negative, NotMultiple, AmbiguousTime,
               UnitMismatch, Backwards, IdGap, IdOrder, IdRange, MessageTooLarge, UnknownHeader,
               UnknownShape, WrongLayout, LayoutChanged, NotForStream, LineTooLong, ReadFailed,
               Stopped, BadStep, WriteFailed, Duplicate, NoTrades, StaleQuote, NoMarkForFunding,
               NotPremium>
      kind;

  // "{file}:{line}: {kind}", "{file}: {kind}" for a whole file, or the kind
  // alone.
  std::string display() const;
};

// Text as an error quotes it: in double quotes, cut to 60 bytes ("..." then).
std::string quoted(std::string_view text);

// What follows a value's quoted text when it is out of range, in every
// reader's errors: " has more than 19 significant digits", " is beyond
// 9223372036854775807 ticks of 0.1" (`detail` the steps or the time unit).
std::string beyond_limit(Limit limit, const std::string& detail);

// What follows a value's quoted text when it is not a whole number of
// `step`: " is not a whole number of ticks of 0.1", and, as NotMultiple
// says, why it was not rounded or which tick size would take it.
std::string not_whole(const std::string& step, bool unrounded, const std::string& finer, bool mark);

}  // namespace halvorn::data
