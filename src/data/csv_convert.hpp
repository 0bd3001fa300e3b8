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
// Ways a pair of streams goes wrong without an error in any row are caught:
// quotes without a single trade would make no tick at all, and are refused;
// quotes that end (or pause) long before the trades leave the trades
// carrying a stale bid and ask, which the conversion measures (the oldest
// quote a tick carries, and the ticks whose quote is older than
// ConvertOptions::stale_after) and clears (by default), keeps or refuses as
// asked; and trades priced far outside the quote they carry, the sign of
// two streams on two clocks or of two instruments, are counted.  The
// writer measures the two clocks of the ticks written (tick_quality.hpp).
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
  // Linear, or inverse with its contract value and coin, written with the
  // symbol (check_definition accepts the definition they make).
  ContractTerms contract;
  // Round prices and quantities that are not whole steps rather than refuse
  // them: toward the side that does not flatter the strategy (bids and
  // prices of trades whose aggressor sold down, asks and prices of trades
  // whose aggressor bought up, quantities down).
  bool round = false;
  // Accept missing aggregated trade ids instead of refusing the gap.
  bool allow_gaps = false;
  // What becomes of a trade whose id repeats that of a trade at the same
  // time (the same row given twice): kept, dropped or refused; kept and
  // dropped ones are counted.
  Repeats repeats = Repeats::Keep;
  // A trade tick whose latest quote is older than this many nanoseconds
  // carries a stale quote (0: none is); `stale` says what becomes of it.
  Nanos stale_after = 60'000'000'000;
  enum class Stale : std::uint8_t {
    Keep,    // carried as it is, and counted
    Clear,   // bid and ask 0, the tick's way of saying it has no quote
    Refuse,  // the conversion stops at the first such trade
  };
  // Cleared by default: a fill at a quote that had stopped is a fill no
  // venue gave.
  Stale stale = Stale::Clear;
  // A trade tick priced outside the quote it carries by more than this many
  // basis points of its price is counted (Converted::outside).
  double outside_bp = 10;
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
  // Trade rows that repeated an id (kept or dropped), and the first of them
  // with the row it repeats.
  std::uint64_t duplicates = 0;
  std::optional<std::pair<Place, Place>> first_duplicate;
  // The age of the oldest quote a trade tick carried (its time less the
  // latest quote row's), and the trade ticks whose quote was older than
  // stale_after (kept or cleared).
  Nanos oldest_quote = 0;
  std::uint64_t stale_ticks = 0;
  // Trade ticks priced outside their quote by more than outside_bp, the
  // farthest of them in basis points, and where the first was read.
  std::uint64_t outside = 0;
  double farthest_bp = 0;
  std::optional<Place> first_outside;
  // Local minus exchange time over the ticks written.
  ClockFindings clock;
  friend bool operator==(const Converted&, const Converted&) = default;
};

using Conversion = std::variant<Converted, ConvertError>;

// Converts the files of `trades` (and of `quotes`, unless null) into a tick
// file at `path`.  On an error nothing at `path` has changed.
Conversion convert_csv(const std::string& path, const Input& trades, const Input* quotes,
                       const ConvertOptions& options, const Progress& progress = {});

}  // namespace halvorn::data
