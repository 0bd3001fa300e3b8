// The CSV layouts the converters read (trades, quotes, funding history,
// market depth and mark prices), known by their columns, and how a file's
// layout and time unit are told from its first lines.
//
// A header is recognised only when its names are exactly those of a layout,
// in order (spaces around a name are ignored); a first line that is not a
// known header and holds no number is reported as an unknown header rather
// than read as data.  Without a header the layout is told from the shape of
// the first row: its number of columns, and where two layouts have as many,
// whether the distinguishing column holds a boolean, a number or a side.
//
// Times are integers since the epoch.  A file's unit is told from its first
// row: milliseconds when the time falls in the years 1990 to 2099 read as
// milliseconds, microseconds when it does read as microseconds, nanoseconds
// when it does read as nanoseconds.  The three ranges are a thousand times
// apart, so a real time is never two of them; a time in none is ambiguous
// and refused.
//
// Thread-safety: constant tables and pure functions.

#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "types/time.hpp"

namespace halvorn::data {

enum class Layout : std::uint8_t {
  Detect,     // from the header, or from the first row's shape
  Trades,     // id,price,qty,quote_qty,time,is_buyer_maker
  AggTrades,  // agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_maker
  BestQuotes,  // update_id,best_bid_price,best_bid_qty,best_ask_price,best_ask_qty,transaction_time,event_time
  ClockedTrades,  // exchange,symbol,timestamp,local_timestamp,id,side,price,amount
  ClockedQuotes,  // exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount
  Funding,        // calc_time,funding_interval_hours,last_funding_rate
  DepthDiffs,  // symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty
  ClockedDepth,  // exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount
  // The USD-margined futures order-book history layout: depth diffs without
  // trans_id, each update naming the last update id of the one before it:
  // symbol,timestamp,first_update_id,last_update_id,side,update_type,price,qty,pu
  ChainedDiffs,
  // Two-clock book snapshots of the best 5 and the best 25 levels, a whole
  // book per row: exchange,symbol,timestamp,local_timestamp, then per level
  // from the best, asks[i].price,asks[i].amount,bids[i].price,bids[i].amount
  BookSnapshot5,
  BookSnapshot25,
  // Mark price (or premium index) klines: open_time,open,high,low,close,
  // volume,close_time,quote_volume,count,taker_buy_volume,
  // taker_buy_quote_volume,ignore
  Klines,
  // exchange,symbol,timestamp,local_timestamp,funding_timestamp,funding_rate,
  // predicted_funding_rate,open_interest,last_price,index_price,mark_price
  DerivativeTicker,
};

// What a stream of files is for; each layout belongs to one.
enum class StreamKind : std::uint8_t { Trades, Quotes, Funding, Depth, Marks };

// What a column holds, as read.  OptInt and OptDec may also be empty, as
// the fields a row does not update are in the layouts that have them; Chain
// is the update type of the chained depth diffs, which names more types.
enum class Col : std::uint8_t { Int, Dec, Bool, Side, Book, Type, Text, Chain, OptInt, OptDec };

struct LayoutColumn {
  std::string_view name;
  Col type;
};

// Everything the converters know of a layout, in one place: the one table
// of these is what headers are matched against, what rows are read by, what
// error texts name, and what halvorn.data offers by `key`.
struct LayoutEntry {
  Layout layout;
  const char* name;  // in texts: "aggregated trades"
  const char* key;   // as halvorn.data and its command line name it: "agg_trades"
  StreamKind kind;
  std::span<const LayoutColumn> columns;
  std::size_t time;  // the column that holds a row's exchange time
};

// Every layout, in the order texts list them.
std::span<const LayoutEntry> layouts();

// The layout's entry.  Requires: not Detect.
const LayoutEntry& layout_entry(Layout layout);

// The layout's name in texts: "trades", "aggregated trades", "best bid and
// offer", "two-clock trades", "two-clock quotes", "funding history", "depth
// diffs", "two-clock depth", "chained depth diffs", "5-level book
// snapshots", "25-level book snapshots", "klines", "derivative ticker"
// ("detected" for Detect).
const char* layout_name(Layout layout);

// The column names joined by commas, as a header line would be ("" for
// Detect).
const char* layout_header(Layout layout);

// The header as error texts show it: whole, or for a layout of more than a
// dozen columns its first eight, "..." and its last ("exchange,...,
// bids[0].amount,...,bids[24].amount").
std::string layout_header_shown(Layout layout);

StreamKind layout_kind(Layout layout);

// The layout whose header `fields` is, or Detect.
Layout header_layout(std::span<const std::string_view> fields);

// Whether a first line that is no known header looks like a header rather
// than data: none of its fields starts like a number.
bool looks_like_header(std::span<const std::string_view> fields);

// The layout of a headerless file of a `kind` stream whose first row is
// `fields`, or Detect when its shape does not tell.  The number of columns
// tells the layouts of one kind apart (trades 6, aggregated trades 7,
// two-clock trades 8; best bid and offer 7, two-clock quotes 8; funding
// history 3; depth diffs 9, two-clock depth 8); the row must also fit the
// layout where another kind has as many columns (a boolean last for
// aggregated trades, an integer for best bid and offer, a side sixth for
// two-clock trades, a number for two-clock quotes, a boolean fifth and a
// book side sixth for two-clock depth; a book side sixth and an update type
// seventh for depth diffs, a book side fifth and an update type sixth for
// chained depth diffs).  Book snapshots have 24 and 104 columns, klines 12
// and the derivative ticker 11.  A row that fits only another kind's layout
// gives that layout, so that the error can name it; but a depth layout is
// told only in a depth stream, since the depth rows' fields are too like a
// trade's to tell a depth file from a damaged trade file.
Layout shape_layout(StreamKind kind, std::span<const std::string_view> fields);

enum class TimeUnit : std::uint8_t { Detect, Milliseconds, Microseconds, Nanoseconds };

// "milliseconds", "microseconds", "nanoseconds" ("detected" for Detect).
const char* unit_name(TimeUnit unit);

// The plausible times of a detected unit, inclusive: the years 1990 to 2099.
struct UnitRange {
  std::int64_t low = 0;
  std::int64_t high = 0;
  bool contains(std::int64_t v) const { return v >= low && v <= high; }
};
inline constexpr UnitRange MILLIS_RANGE{631'152'000'000, 4'102'444'799'999};
inline constexpr UnitRange MICROS_RANGE{631'152'000'000'000, 4'102'444'799'999'999};
inline constexpr UnitRange NANOS_RANGE{631'152'000'000'000'000, 4'102'444'799'999'999'999};

// The plausible times of a unit; asked for every time a file holds, so
// defined here to be inlined.  Requires: not Detect.
inline const UnitRange& unit_range(TimeUnit unit) {
  return unit == TimeUnit::Milliseconds   ? MILLIS_RANGE
         : unit == TimeUnit::Microseconds ? MICROS_RANGE
                                          : NANOS_RANGE;
}

// Milliseconds, microseconds or nanoseconds by the range `raw` falls in, or
// Detect when it falls in none.
TimeUnit detect_unit(std::int64_t raw);

// Nanoseconds per unit (Requires: not Detect).
std::int64_t unit_nanos(TimeUnit unit);

}  // namespace halvorn::data
