// halvorn.venue.Instrument: what the integers of a run mean.
//
// A run counts prices in ticks, quantities in lots and money in Cash.  An
// Instrument names the tick and lot sizes those counts are in, converts
// between them and decimals exactly in both directions, and gives the Cash
// value of one tick on one lot (the Venue's contract size), so that a run
// over an ETH-like series with a tick of 0.01 is not valued as if its tick
// were 0.1.  The same definition is what tick and depth files carry.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <optional>
#include <string>

#include "data/instrument_definition.hpp"
#include "margin/tier.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"
#include "types/currency.hpp"
#include "types/fixed.hpp"

namespace halvorn::py::venue {

struct VenueState;

// What an Instrument holds.
//
// Invariants: check_definition finds nothing in `definition`, and
// contract_size is its whole Cash value of one tick on one lot; an inverse
// definition has an inverse_value and a settle coin a Currency holds.
struct InstrumentValue {
  data::InstrumentDefinition definition;
  Cash contract_size = 0;
};

// What a run needs to value a lot of `d`: for an inverse contract, lot size
// x contract value x CASH_SCALE / tick size as a reduced fraction (the coin
// value in Cash of one lot at a price of one tick), and its coin; for a
// linear one an empty InverseValue and USDT.  None when the fraction's
// terms do not fit 64 bits or the coin is not 1 to 8 ASCII letters and
// digits, which no run can keep an account in.
struct Settlement {
  margin::InverseValue inverse{};
  Currency currency = USDT;
  // An inverse contract's tick in USD, which values its coin in USDT.
  margin::TickWorth tick_worth{};
};
std::optional<Settlement> settlement_of(const data::InstrumentDefinition& d);

// The class's layout, for the module's table of classes.
PyType_Spec* instrument_layout();

// A new Instrument for `d`, refused as the constructor refuses it (a size
// whose tick-lot is no whole number of cash units).  Null with the
// exception set.
PyObject* new_instrument(const VenueState* st, const data::InstrumentDefinition& d);

// Requires: Py_IS_TYPE(obj, st->instrument_type).
const InstrumentValue& instrument_value(PyObject* obj);

// "Instrument('ETHUSDT', '0.01', '0.001')", with ", id=7" when the id is not 1
// and ", kind='inverse', contract_value='100', settle='BTC'" for an inverse
// contract.
std::string instrument_text(const data::InstrumentDefinition& d);

}  // namespace halvorn::py::venue
