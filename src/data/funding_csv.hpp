// Funding history from CSV files (calc_time,funding_interval_hours,
// last_funding_rate), and the price each rate settles at, taken from a tick
// file.
//
// A rate is read exactly into billionths ("0.00010000" is 100000) or
// refused: rounding a rate would change every payment made at it.  A rate
// is paid on the value of a position, so it needs a price; a rate's price is
// the last traded price of the final tick at or before its time, which is
// what a venue knew when it settled.
//
// Thread-safety: read_funding runs on the calling thread and calls the
// Input callbacks there; price_funding uses the reader it is given.

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/csv_error.hpp"
#include "data/csv_input.hpp"
#include "data/csv_stream.hpp"
#include "data/ticks.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// One row of funding history.
struct FundingRow {
  Nanos time = 0;
  std::int64_t rate = 0;            // billionths; positive: longs pay shorts
  std::int64_t interval_hours = 0;  // as written, not checked against the times
  friend bool operator==(const FundingRow&, const FundingRow&) = default;
};

// The rows of all files of `input`, in time order (equal times are kept;
// a time going back is an error, unless `options.sort_window` takes it).
std::variant<std::vector<FundingRow>, ConvertError> read_funding(const Input& input,
                                                                 const StreamOptions& options = {},
                                                                 const Progress& progress = {});

// A rate with the price it settles at: the fields of the engine's funding
// rate, in its order.
struct PricedRate {
  Nanos time = 0;
  std::int64_t rate = 0;   // billionths
  std::int64_t price = 0;  // ticks
  friend bool operator==(const PricedRate&, const PricedRate&) = default;
};

// "no tick at or before the funding rate at {time} ns (rate {rate}
// billionths, number {index} from 0)"
struct NoTickBefore {
  std::size_t index = 0;
  Nanos time = 0;
  std::int64_t rate = 0;
};
// "funding rate {index} at {time} ns is before the rate before it, at
// {previous} ns"
struct RatesUnordered {
  std::size_t index = 0;
  Nanos time = 0;
  Nanos previous = 0;
};

// Why rates could not be priced; a tick file error is the reader's own,
// prefixed "tick file: ".
// Two rates at one time: a row given twice, as where two archives overlap.
// A venue settles once per time, so settling both would double the payment.
struct RatesRepeated {
  std::size_t index = 0;  // the second of the two, from 0
  Nanos time = 0;
};

struct PricingError {
  std::variant<NoTickBefore, RatesUnordered, RatesRepeated, Error> kind;
  std::string display() const;
};

// Prices `rates` (in time order) from the ticks `reader` hands out, reading
// the file once, and no further than the tick after the last rate.
std::variant<std::vector<PricedRate>, PricingError> price_funding(std::span<const FundingRow> rates,
                                                                  TickReader& reader);

}  // namespace halvorn::data
