// The state of halvorn.venue: its classes, the values it hands out as
// defaults, and the main module whose classes and strings it shares.
//
// Thread-safety: read with the interpreter lock held.

#pragma once

#include "py/module_state.hpp"

namespace halvorn::py::venue {

struct VenueState {
  SubmoduleHead head;  // first: leads the classes to the main module's state
  // Configuration.
  PyTypeObject* l0_type;
  PyTypeObject* l1_type;
  PyTypeObject* l2_type;
  PyTypeObject* fixed_type;
  PyTypeObject* quantiles_type;
  PyTypeObject* queue_fixed_type;
  PyTypeObject* traded_share_type;
  PyTypeObject* bracket_type;
  PyTypeObject* funding_rate_type;
  PyTypeObject* instrument_type;
  PyTypeObject* venue_type;
  // What a strategy may return besides halvorn.Order: the venue's orders,
  // their groups, and cancellations.
  PyTypeObject* venue_order_type;
  PyTypeObject* stop_type;
  PyTypeObject* take_profit_type;
  PyTypeObject* trailing_stop_type;
  PyTypeObject* close_position_type;
  PyTypeObject* one_cancels_other_type;
  PyTypeObject* bracket_order_type;
  PyTypeObject* cancel_type;
  PyTypeObject* cancel_all_type;
  // A strategy compiled to a C function.
  PyTypeObject* compiled_type;
  // Results and what a strategy is told.
  PyTypeObject* fill_type;
  PyTypeObject* fills_type;
  PyTypeObject* liquidation_type;
  PyTypeObject* closed_type;
  PyTypeObject* margin_type;
  PyTypeObject* run_type;
  PyTypeObject* tick_batch_type;
  // What a per-tick strategy is shown, and its views in units.
  PyTypeObject* context_type;
  PyTypeObject* units_type;
  // What a mode comparison and a lookahead check return.
  PyTypeObject* mode_comparison_type;
  PyTypeObject* lookahead_report_type;
  PyTypeObject* column_type;
  // Values handed out as they are.
  PyObject* default_venue;           // Venue()
  PyObject* example_tiers;           // EXAMPLE_BTCUSDT, a tuple of Bracket
  PyObject* zero_latency;            // Fixed(0)
  PyObject* position_type;           // Position, a struct sequence class
  PyObject* instrument_result_type;  // InstrumentResult, likewise
  PyObject* wallet_type;             // Wallet, likewise
  PyObject* decimal_type;            // decimal.Decimal, which values in units may be
  PyObject* str_on_fill;
  PyObject* str_on_end;
  PyObject* str_on_liquidation;
  PyObject* str_on_columns;
  PyObject* str_filled;
  PyObject* str_canceled;
  PyObject* str_expired;
  PyObject* str_triggered;
  PyObject* str_symbol;
  PyObject* str_positions;
  PyObject* str_batch_symbols;
  PyObject* str_instrument;
  PyObject* str_instruments;
};

extern PyModuleDef venue_def;

inline VenueState* venue_state_of_module(PyObject* module) {
  return static_cast<VenueState*>(PyModule_GetState(module));
}

// Requires: `type` is one of halvorn.venue's classes.
inline VenueState* venue_state_of_type(PyTypeObject* type) {
  return static_cast<VenueState*>(PyType_GetModuleState(type));
}

}  // namespace halvorn::py::venue
