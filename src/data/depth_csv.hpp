// Converting archives of depth CSV files -- snapshots of the market's book and
// the incremental updates between them -- into one depth file, streaming:
// memory stays at a few buffers and the largest single message however many
// rows there are, and the output replaces its target only once it is
// complete.
//
// A depth CSV has one row per price level.  Consecutive rows that belong
// together form one message, and each message becomes one depth record:
//   - depth diffs (symbol,timestamp,trans_id,first_update_id,last_update_id,
//     side,update_type,price,qty): rows with the same timestamp, update ids
//     and update type are one message; snapshot rows make a DepthSnapshot
//     whose last update id is the rows' last_update_id, set rows a
//     DepthUpdate from first_update_id to last_update_id.  The layout states
//     no previous id, so an update carries none and the depth book expects it
//     to follow on from first_update_id - 1;
//   - chained depth diffs (symbol,timestamp,first_update_id,last_update_id,
//     side,update_type,price,qty,pu), the USD-margined futures order-book
//     history layout: grouped as depth diffs, and each update carries its
//     pu as the previous update's final id, so the depth book follows the
//     chain of pu rather than expecting ids without holes, which this
//     layout's ids have between updates;
//   - two-clock depth (exchange,symbol,timestamp,local_timestamp,
//     is_snapshot,side,price,amount): rows with the same timestamp and
//     is_snapshot are one message.  The layout has no update ids, so they are
//     made up: every message takes the next id of one count that runs across
//     the whole stream (a snapshot's last update id, an update's first and
//     final id), so the depth book accepts every update after a snapshot and
//     never sees a gap the data did not have;
//   - book snapshots of 5 or 25 levels (exchange,symbol,timestamp,
//     local_timestamp, then asks[i].price,asks[i].amount,bids[i].price,
//     bids[i].amount per level): each row is a whole book, a DepthSnapshot
//     with a made-up id as two-clock depth has; a level written as two
//     empty fields is one the book did not have.
// The record time is the exchange clock (timestamp), the clock a tick's
// exch_ts carries, so a run meets depth and ticks on one time base; a local
// clock is checked but not used.  A message's levels keep their row order,
// bids apart from asks; a quantity of 0 in an update deletes the level.
//
// The file also holds the instrument block (instrument_block.hpp): the id,
// the symbol, and the tick and lot sizes the conversion scaled with.
//
// docs/depth_conversion.md describes the layouts, the grouping, the ids and
// every error, with examples.
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

namespace halvorn::data {

// Which depth layout the files are in.
enum class DepthLayout : std::uint8_t {
  Detect,    // from each file's header, or from its first row's shape
  Diffs,     // symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty
  TwoClock,  // exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount
  Chained,   // symbol,timestamp,first_update_id,last_update_id,side,update_type,price,qty,pu
  Snapshots5,   // exchange,symbol,timestamp,local_timestamp,asks[0].price,...,bids[4].amount
  Snapshots25,  // the same to bids[24].amount
};

struct DepthConvertOptions {
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
  // them, toward the side that does not flatter the strategy: bid prices
  // down, ask prices up, quantities down.
  bool round = false;
  DepthLayout layout = DepthLayout::Detect;
  // Detect: each file's unit from its first time (milliseconds or
  // microseconds, by the years 1990 to 2099), as for ticks.
  TimeUnit unit = TimeUnit::Detect;
};

// What a finished conversion did.
struct DepthConverted {
  std::uint64_t records = 0;    // written to the file: snapshots + updates
  std::uint64_t snapshots = 0;  // snapshot records
  std::uint64_t updates = 0;    // update records
  std::uint64_t levels = 0;     // levels in all records, one per row
  std::uint64_t rows = 0;       // rows read
  std::uint64_t bytes = 0;      // input bytes read
  friend bool operator==(const DepthConverted&, const DepthConverted&) = default;
};

using DepthConversion = std::variant<DepthConverted, ConvertError>;

// Converts the files of `rows`, one stream in order, into a depth file for
// options.instrument at `path`.  On an error nothing at `path` has changed
// and nothing is left beside it.  A target that is not a regular file (a
// pipe, a device) is refused before anything is read, as it could not take
// the header that only the last record settles.
DepthConversion convert_depth_csv(const std::string& path, const Input& rows,
                                  const DepthConvertOptions& options,
                                  const Progress& progress = {});

// The same, with the snapshots in files of their own (an archive that keeps
// a day's snapshots apart from its updates): the two streams, each in time
// order and of one layout, are merged by time, a snapshot's rows before the
// updates of its time.  `snapshots` may be null.
DepthConversion convert_depth_csv(const std::string& path, const Input& rows,
                                  const Input* snapshots, const DepthConvertOptions& options,
                                  const Progress& progress = {});

}  // namespace halvorn::data
