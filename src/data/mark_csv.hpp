// Converting archives of mark prices into one mark file (mark_file.hpp),
// streaming: memory stays at a few buffers however many rows there are, and
// the output replaces its target only once it is complete.
//
// Two layouts:
//   - klines (open_time,open,high,low,close,volume,close_time,quote_volume,
//     count,taker_buy_volume,taker_buy_quote_volume,ignore), of the mark
//     price or of the premium index: one record per kline, at its close time
//     with its close, the value the kline has settled by then.  Its open,
//     high and low are checked but not used: when within the interval the
//     extremes came is not in the file, and a run must not meet a low
//     before the time it happened.  Premium index values are rates, counted
//     in billionths; the file says which kind it holds.
//   - derivative ticker (exchange,symbol,timestamp,local_timestamp,
//     funding_timestamp,funding_rate,predicted_funding_rate,open_interest,
//     last_price,index_price,mark_price), whose rows state only what changed
//     and leave the rest empty: one record per change of the mark or the
//     index price, at the row's exchange time, carrying the latest of each.
//     The ticker also announces funding: a row names a funding time and
//     the rate for it.  A recorder's rows go on naming a time for a few
//     seconds after it has passed, with the rate settled then, so the rate
//     of a settlement is that of the last row to name its time, and it is
//     written once a row at or after the time names a later one (or the
//     rows end at or after it), priced at the mark in force at the time:
//     the last one stated at or before it.  A funding time announced and
//     then replaced by another before it came is not settled, nor is one
//     before the first row.  Settlements priced at a mark stated longer
//     than stale_after before them are counted.
// Mark and index prices are in ticks of the tick size, exact or refused;
// with rounding asked for they go to the nearest tick (the even one at a
// tie), since a mark has no side to round against.  Funding rates are exact
// in billionths, never rounded.
//
// docs/csv_conversion.md describes the layouts; docs/mark_format.md the file.
//
// Thread-safety: a conversion runs on the calling thread and calls the
// Input and Progress callbacks there.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "data/csv_error.hpp"
#include "data/csv_input.hpp"
#include "data/csv_layout.hpp"
#include "data/instrument_definition.hpp"
#include "types/time.hpp"

namespace halvorn::data {

struct MarkConvertOptions {
  std::string tick_size;  // the price step, as decimal text, e.g. "0.10"
  std::string lot_size;   // the quantity step, kept in the instrument block
  std::uint64_t instrument = 1;
  std::string symbol;      // as DepthConvertOptions::symbol
  ContractTerms contract;  // as DepthConvertOptions::contract
  // Take mark and index prices that are not whole ticks to the nearest one
  // rather than refuse them.
  bool round = false;
  // Klines of the premium index rather than of the mark price.
  bool premium = false;
  Layout layout = Layout::Detect;  // Klines, DerivativeTicker, or from each file
  TimeUnit unit = TimeUnit::Detect;
  // A settlement priced at a mark stated longer ago than this is counted
  // (MarksConverted::stale_settlements).
  Nanos stale_after = 60'000'000'000;
};

// What a finished conversion did.
struct MarksConverted {
  std::uint64_t records = 0;      // mark records written
  std::uint64_t settlements = 0;  // funding settlements written
  std::uint64_t rows = 0;         // rows read
  std::uint64_t bytes = 0;        // input bytes read
  // Settlements priced at a mark stated longer than stale_after before
  // them, and the oldest mark a settlement was priced at (its age).
  std::uint64_t stale_settlements = 0;
  Nanos oldest_mark = 0;
  friend bool operator==(const MarksConverted&, const MarksConverted&) = default;
};

using MarkConversion = std::variant<MarksConverted, ConvertError>;

// Converts the files of `rows`, one stream in order, into a mark file at
// `path`.  On an error nothing at `path` has changed.
MarkConversion convert_marks_csv(const std::string& path, const Input& rows,
                                 const MarkConvertOptions& options, const Progress& progress = {});

}  // namespace halvorn::data
