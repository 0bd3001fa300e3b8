// Converting a recorded capture of a venue's streams -- JSON lines, one
// message each (capture_message.hpp) -- into the files a run reads: ticks,
// depth and marks with their funding, from one pass over the capture,
// streaming, so that memory stays at a few buffers however long it is.
//
// A recorder writes messages as they arrive, and messages of different
// streams arrive a little out of their exchange order (a depth snapshot
// fetched over a second connection arrives well after updates it already
// covers).  So messages wait, up to `max_delay` of exchange time, and leave
// in exchange-time order.  At one time a trade goes first (a quote stamped
// with a trade's time is usually that trade's consequence, and a strategy
// must not see it in the trade's tick), then a depth snapshot fetched apart
// from the stream (an update of its time is in it or after it, never before
// it); messages of one time otherwise keep their order in the capture.  A
// message that comes later than that is refused, naming the delay that
// would take it.
//
// What each file gets, in that order:
//   - ticks: one per trade (its time, its local time, last = high = low its
//     price, the latest best bid and ask, the volume traded so far in lots),
//     and one per change of the best bid or ask price once there has been a
//     trade, as CSV conversion makes them.  Trades and aggregated trades of
//     one symbol are the same trades twice, and are refused together; a
//     trade whose id is not above the one before (a message given again
//     after a reconnection) is dropped and counted; a gap in aggregated
//     trade ids is refused unless gaps are allowed.
//   - depth: a snapshot record per depth snapshot, an update record per
//     depth update, prices and quantities exact.  The stream is checked as a
//     run's book will apply it: each update must continue the one before
//     (its `pu` is the last update's final id, or without `pu` its first id
//     follows that final id), and the first after a snapshot must reach it.
//     A break is refused unless gaps are allowed, since a run's book would
//     stop there until a later snapshot.
//   - marks: a record per change of the mark or index price, and the funding
//     settled at each funding time the updates see pass: the rate of the
//     last update at or before it that named that time, priced at the mark
//     in force then.
//
// Only the messages of one symbol are read; those of others are counted.
// The symbol is the one asked for, or, when none is, the first message's,
// and a capture holding another is then refused.
//
// Thread-safety: a conversion runs on the calling thread and calls the
// Input and Progress callbacks there.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "data/capture_error.hpp"
#include "data/csv_input.hpp"
#include "data/csv_layout.hpp"
#include "data/instrument_definition.hpp"

namespace halvorn::data {

struct CaptureOptions {
  // Where each file goes; an empty path writes no such file.  At least one
  // is given.
  std::string ticks_path;
  std::string depth_path;
  std::string marks_path;
  std::string tick_size;  // the price step, as decimal text
  std::string lot_size;   // the quantity step
  std::uint64_t instrument = 1;
  // The symbol to read, compared without regard to case; empty: the first
  // message's.  Written into each file's instrument block.
  std::string symbol;
  ContractTerms contract;   // linear, or inverse with its value and coin
  bool round = false;       // as CaptureScaling::round
  bool allow_gaps = false;  // write missing trades and depth breaks instead of refusing them
  // Which trades make ticks when a capture holds both kinds.
  enum class Trades : std::uint8_t { Any, Plain, Aggregated };
  Trades trades = Trades::Any;
  Nanos max_delay = 2'000'000'000;   // how late a message may arrive, in exchange time
  TimeUnit unit = TimeUnit::Detect;  // of exchange times; the local time's is told by its size
};

// What a finished conversion did.
struct CaptureConverted {
  std::string symbol;          // the symbol read
  std::uint64_t messages = 0;  // lines read, of every kind
  std::uint64_t skipped = 0;   // messages of kinds not read, or not for a file asked for
  std::uint64_t other_symbols = 0;
  std::uint64_t ticks = 0;
  std::uint64_t trades = 0;
  std::uint64_t quotes = 0;
  std::uint64_t repeated_trades = 0;  // dropped: an id not above the one before
  std::uint64_t missing_trades = 0;   // aggregated trade ids missing (allow_gaps)
  std::uint64_t snapshots = 0;
  std::uint64_t updates = 0;
  std::uint64_t depth_breaks = 0;  // updates that do not continue the book (allow_gaps)
  std::uint64_t marks = 0;         // mark records written
  std::uint64_t settlements = 0;
  std::uint64_t bytes = 0;
  friend bool operator==(const CaptureConverted&, const CaptureConverted&) = default;
};

using CaptureConversion = std::variant<CaptureConverted, CaptureError>;

// Converts the files of `input`, one capture in order, into the files
// `options` names.  On an error none of them has changed.
CaptureConversion convert_capture(const Input& input, const CaptureOptions& options,
                                  const Progress& progress = {});

}  // namespace halvorn::data
