// What halvorn.venue hands back: a run's result (Run) with its fills and
// liquidations as records, the records a strategy's hooks receive, and the
// cancellations a strategy may return.
//
// A run's fills are one contiguous array of fixed 72-byte records, which a
// Fills object shows both as a sequence of Fill objects and, through the
// buffer protocol, as a structured array NumPy reads without a copy:
//
//   numpy.asarray(run.fills)["price"]
//
// and beside them the lots each fill's order had left (Fills.remaining).
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backtest/run_loop.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"
#include "py/venue/venue_config.hpp"

namespace halvorn::py::venue {

struct VenueState;

// One fill as a run reports it: the engine's fill, the fee charged for it,
// the index of the tick it was booked on and what it did to the position.
// side and offset are 0 / 1 (buy / sell, open / close) in the array; effect
// is a backtest::FillEffect (open, reduce, close, reverse).
struct FillRecord {
  std::int64_t exch_ts;
  std::int64_t local_ts;
  std::uint64_t order;
  std::uint64_t seq;
  std::int64_t price;
  std::int64_t qty;
  std::int64_t fee;
  std::uint8_t side;
  std::uint8_t offset;
  bool taker;
  std::uint8_t effect;
  std::uint32_t instrument;  // the run's id of the instrument
  std::uint64_t tick;
};
static_assert(sizeof(FillRecord) == 72);

// The record of a booked fill, with the fee it was charged.
FillRecord fill_record(const Fill& fill, const backtest::Booking& booking);

// What a Fill object holds: the record, and the lots its order still had
// working after it, which an order filled in parts needs said.  The
// remainders of a run's fills are kept beside its records (Fills.remaining)
// rather than in them, so that the records keep the layout NumPy users and
// compiled strategies read.
struct FillItem {
  FillRecord record;
  std::int64_t remaining = 0;
};

inline FillItem fill_item(const Fill& fill, const backtest::Booking& booking) {
  return FillItem{fill_record(fill, booking), fill.remaining};
}

// The record classes, in the order the module shows them.
extern const std::array<ClassEntry<VenueState>, 6> RECORD_CLASSES;

// A new Run from a finished run; null with an exception set on failure.
// `venue` is the one the run traded on (its fees, contract size and
// instrument); `legs`, for a portfolio, each instrument's, in holding order.
PyObject* new_run(VenueState* state, backtest::RunResult&& result, const VenueConfig& venue,
                  std::span<const InstrumentLeg> legs = {});

}  // namespace halvorn::py::venue
