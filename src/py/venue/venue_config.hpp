// What a Venue holds, and adding halvorn.venue's configuration to the module:
// the execution tiers (tier_classes), the account's brackets, funding and
// the Venue itself (account_classes), and the rates written as text
// (rate_text).
//
// Every value is an integer in the engine's own units (rates in billionths,
// times in nanoseconds, prices in ticks, money in Cash), checked when the
// object is made: a configuration the engine could not run is refused then,
// with a ValueError or TypeError naming the field and the value, rather
// than failing inside a run.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>

#include "backtest/run_loop.hpp"
#include "core/matcher.hpp"
#include "data/instrument_definition.hpp"
#include "margin/funding.hpp"
#include "margin/tier.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"

namespace halvorn::py::venue {

struct VenueState;

// What a Venue holds.
struct VenueConfig {
  core::Tier tier;
  std::int64_t maker_fee = 0;  // billionths; negative is a rebate
  std::int64_t taker_fee = 0;
  margin::FundingSchedule funding;
  margin::TierTable margin_tiers = margin::TierTable::example_btcusdt();
  bool hedge = false;
  bool track_margin = false;
  bool enforce_margin = true;
  // Where a resting order the market trades through fills: at its own limit,
  // as a venue fills it, unless the quote is asked for.
  engine::RestingPrice resting = engine::RestingPrice::Limit;
  // Where an order a conditional order sent fills: where that order fills,
  // unless the bound of its trigger is asked for.
  engine::TriggeredPrice triggered = engine::TriggeredPrice::Order;
  std::int64_t contract_size = DEFAULT_CONTRACT_SIZE;
  std::uint32_t instrument = 1;
  // The Instrument the venue was given, whose sizes make contract_size; none
  // when it was given an id alone.
  std::optional<data::InstrumentDefinition> definition;
  // Whether contract_size was written out rather than the default: a tick
  // file that defines its instrument then has to agree with it, where the
  // default gives way to the file's sizes.
  bool contract_size_given = false;

  // What the venue keeps of its instrument, as one instrument of a run.
  backtest::InstrumentConfig instrument_config() const;
  // The run configuration for a starting balance in Cash: the account, and
  // the venue's instrument as its only one.
  backtest::RunConfig run_config(Cash balance, std::uint64_t equity_every) const;
};

// One instrument of a portfolio run: its symbol (a str) and the venue it
// trades on, with what its tick file defines.
struct InstrumentLeg {
  Ref symbol;
  VenueConfig venue;
};

// Adds the configuration classes, EXAMPLE_BTCUSDT and the rate helpers to the
// module.  Returns -1 with an exception set on failure.
int add_config(PyObject* module, VenueState* state);

// The configuration a venue argument stands for: Venue() for None.  False
// with a TypeError naming `venue` for anything but a Venue.
bool venue_config(VenueState* state, PyObject* venue, const VenueConfig** out);

}  // namespace halvorn::py::venue
