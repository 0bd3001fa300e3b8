// A portfolio: a dict of symbol to ticks, one account.  Its instruments'
// series, each with the venue, depth file and mark file given for it, are
// checked against each other before the run, merged by time into one
// stream, and run as one account whose strategy sees every instrument.
//
// Thread-safety: called with the interpreter lock held.

#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "backtest/run_loop.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/run_path.hpp"
#include "py/strategy_adapter.hpp"
#include "py/tick_files.hpp"
#include "py/venue/venue_config.hpp"

namespace halvorn::py {

// A portfolio's instruments once its arguments are converted, in the order
// the dict gave them: instrument id i + 1 is legs[i].
struct PortfolioInput {
  std::vector<venue::InstrumentLeg> legs;
  std::vector<TickInput> inputs;
  // Each instrument's depth file, or null; empty when none has one.
  std::vector<const market_data::DepthSourceData*> depth;
  // Each instrument's mark file, or null; empty when none has one.
  std::vector<const market_data::MarkSourceData*> marks;
};

// Whether `ticks` is a portfolio: a dict of symbol to ticks.  A dict with an
// exch_ts key is one series given as columns.  -1 with the exception set.
int is_portfolio(PyObject* ticks);

// Converts a portfolio's ticks (a dict of symbol to ticks) and venues (the
// request's one venue for every instrument, or its dict of symbol to
// Venue).  Refused before the run: a symbol that is not a str, an
// instrument with ticks and no venue or a venue and no ticks, one without
// a definition (its sizes make its money), a series whose definition names
// another symbol, and venues that disagree on the account.
bool resolve_portfolio(const RunRequest& request, PyObject* ticks, PortfolioInput* out);

// The run configuration of a portfolio: the account from the first leg,
// each instrument from its own (numbered 1, 2, ... as the legs are), the
// balance as balances_for gives it.  False with the exception set.
bool portfolio_config(const PortfolioInput& p, const RunRequest& request,
                      std::uint64_t equity_every, backtest::RunConfig* out);

// Sets config's balance, or its wallets, from the request for the
// currencies its instruments settle in: one currency takes an amount or a
// dict naming it; several take a dict naming each, a wallet apiece.
// Refused with a ValueError: an amount for several currencies, a dict that
// names a currency none settles in or leaves one out.
bool balances_for(const RunRequest& request, backtest::RunConfig* config);

// Each instrument's opening price (what values its wallet before its first
// tick) from the first tick of its series; null for an empty one.
void set_openings(backtest::RunConfig& config, std::span<const engine::Tick* const> firsts);

// What a portfolio's strategy is shown of its instruments: the positions
// and symbols, and each instrument's Instrument, by id and by symbol.
bool portfolio_parts(const RunRequest& request, const PortfolioInput& p, AdapterParts* parts);

// A run of `strategy` over the portfolio `ticks`, as run_strategy describes.
// `used` receives the first instrument's venue, `legs_out` every
// instrument's symbol and venue; either may be null.
bool run_portfolio(const RunRequest& request, PyObject* strategy, PyObject* ticks,
                   backtest::RunResult* out, venue::VenueConfig* used,
                   std::vector<venue::InstrumentLeg>* legs_out);

}  // namespace halvorn::py
