// Converting archives of CSV files -- trades, and optionally the best quotes
// -- into one tick file, streaming: memory stays at a few buffers however
// many rows there are, and the output replaces its target only once it is
// complete.
//
// Ticks out:
//   - one per trade: the trade's time (and local clock, when the layout has
//     one), last = high = low = its price in ticks, the best bid and ask
//     already known (0 without a quote stream), and the volume traded so
//     far, in lots;
//   - with a quote stream, one per change of the best bid or ask price, with
//     last = high = low = the latest trade price and the volume so far.
//     A quote row that repeats both prices makes no tick, and quotes before
//     the first trade make none either (there is no price for them yet):
//     they are remembered, and the first trade carries the latest of them.
// The two are merged by exchange time.  At equal times the trade comes
// first and carries the quote from before: a quote stamped with a trade's
// own time is usually that trade's consequence, and a strategy must not see
// it in the trade's tick.
//
// The file also holds the instrument block (instrument_block.hpp): the id,
// the symbol, and the tick and lot sizes the conversion scaled with, so that
// a run can tell which sizes its counts are in.
//
// docs/csv_conversion.md describes the layouts, the detection of headers and
// time units, the scaling, and every error, with examples.
//
// Thread-safety: a conversion runs on the calling thread and calls the
// Input and Progress callbacks there.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "data/csv_error.hpp"
#include "data/csv_input.hpp"
#include "data/csv_stream.hpp"
#include "data/instrument_definition.hpp"

namespace halvorn::data {

struct ConvertOptions {
  std::string tick_size;  // the price step, as decimal text, e.g. "0.10"
  std::string lot_size;   // the quantity step, e.g. "0.001"
  std::uint64_t instrument = 1;
  // The instrument's symbol, written with the sizes and the id into the
  // file's instrument block.  Requires: UTF-8 of at most MAX_SYMBOL_BYTES
  // bytes (define_instrument says whether it is).
  std::string symbol;
  // Round prices and quantities that are not whole steps rather than refuse
  // them: toward the side that does not flatter the strategy (bids and
  // prices of trades whose aggressor sold down, asks and prices of trades
  // whose aggressor bought up, quantities down).
  bool round = false;
  // Accept missing aggregated trade ids instead of refusing the gap.
  bool allow_gaps = false;
  StreamOptions trades;
  StreamOptions quotes;
};

// What a finished conversion did.
struct Converted {
  std::uint64_t ticks = 0;        // written to the file
  std::uint64_t trades = 0;       // trade rows, one tick each
  std::uint64_t quotes = 0;       // quote rows read
  std::uint64_t quote_ticks = 0;  // ticks made by a change of quote
  std::uint64_t bytes = 0;        // input bytes read, both streams
  friend bool operator==(const Converted&, const Converted&) = default;
};

using Conversion = std::variant<Converted, ConvertError>;

// Converts the files of `trades` (and of `quotes`, unless null) into a tick
// file at `path`.  On an error nothing at `path` has changed.
Conversion convert_csv(const std::string& path, const Input& trades, const Input* quotes,
                       const ConvertOptions& options, const Progress& progress = {});

}  // namespace halvorn::data
