// halvorn.venue: the definition of the submodule and its execution step.

#include "py/boundary.hpp"
#include "py/module_hooks.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"
#include "py/tick_batch.hpp"
#include "py/venue/account_classes.hpp"
#include "py/venue/check_classes.hpp"
#include "py/venue/compiled_class.hpp"
#include "py/venue/order_classes.hpp"
#include "py/venue/records.hpp"
#include "py/venue/tier_classes.hpp"
#include "py/venue/unit_views.hpp"
#include "py/venue/venue_config.hpp"
#include "py/venue/venue_run_functions.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

const char venue_doc[] =
    "The whole engine from Python: fees, funding, margin brackets, latency,\n"
    "queue position and impact, hedge mode, cancellations, stops,\n"
    "take-profits, trailing stops, time in force, post-only and reduce-only\n"
    "orders, brackets, feedback and full results.\n\n"
    "Everything the engine counts is an integer: rates in billionths\n"
    "(1_000_000_000 = 100 %), times in nanoseconds, prices in ticks, money in\n"
    "Cash (halvorn.CASH_SCALE per USDT).  On a Venue with an Instrument a\n"
    "strategy may read and write in the instrument's units instead\n"
    "(`ctx.units`, `venue.Order(\"buy\", \"0.5\", price=\"2450.17\")`), and\n"
    "a run prints in USDT and those units.\n\n"
    "```python\n"
    "from halvorn import venue\n"
    "v = venue.Venue(maker_fee=venue.rate(\"0.0002\"), taker_fee=venue.rate(\"0.0005\"),\n"
    "                tier=venue.L1(order_latency=venue.Fixed(5_000_000)))\n"
    "run = venue.run(strategy, ticks, 10_000, venue=v, equity_every=1_000)\n"
    "print(run.fees_paid, run.funding_paid, len(run.fills))\n"
    "```";

// The strings the venue's runs hand to or look up on a strategy.
constexpr std::pair<PyObject * VenueState::*, const char*> STRINGS[] = {
    {&VenueState::str_on_fill, "on_fill"},
    {&VenueState::str_on_end, "on_end"},
    {&VenueState::str_on_liquidation, "on_liquidation"},
    {&VenueState::str_on_columns, "on_columns"},
    {&VenueState::str_filled, "filled"},
    {&VenueState::str_canceled, "canceled"},
    {&VenueState::str_expired, "expired"},
    {&VenueState::str_triggered, "triggered"},
    {&VenueState::str_symbol, "symbol"},
    {&VenueState::str_positions, "positions"},
    {&VenueState::str_batch_symbols, "batch_symbols"},
    {&VenueState::str_instrument, "instrument"},
    {&VenueState::str_instruments, "instruments"},
};

PyStructSequence_Field position_fields[] = {
    {"symbol", "The instrument's symbol."},
    {"position", "The long leg, in lots; the signed net position in net mode."},
    {"entry", "Average entry of that position, in ticks; 0 when flat."},
    {"short_position", "The short leg of a hedge-mode account, in lots (<= 0)."},
    {"short_entry", "Average entry of the short leg, in ticks."},
    {"working", "Orders for the instrument still live."},
    {nullptr, nullptr},
};

PyStructSequence_Field instrument_result_fields[] = {
    {"symbol", "The instrument's symbol; None for a run without an Instrument."},
    {"ticks", "Ticks of the instrument the run processed."},
    {"realized", "Profit realised in it, liquidations included, in Cash."},
    {"fees", "Fees paid on its fills, in Cash."},
    {"funding", "Funding received net of funding paid on it, in Cash."},
    {"position", "The long leg at the end, in lots; the signed net position in net mode."},
    {"short_position", "The short leg at the end, in lots (<= 0)."},
    {"last", "The price it was valued at in the end, in ticks."},
    {nullptr, nullptr},
};

PyStructSequence_Desc instrument_result_desc = {
    "halvorn.venue.InstrumentResult",
    "What one instrument of a run added up to (Run.per_instrument).",
    instrument_result_fields,
    8,
};

PyStructSequence_Field wallet_fields[] = {
    {"currency", "The currency the wallet holds: USDT, or an inverse contract's coin."},
    {"balance", "Its balance at the end, in Cash of its currency."},
    {"equity",
     "Its equity at the end (balance and the unrealised profit of its\n"
     "instruments), in Cash of its currency."},
    {"realized", "Profit realised by its instruments, liquidations included."},
    {"fees", "Fees paid on its instruments' fills."},
    {"funding", "Funding received net of funding paid on its instruments."},
    {"forfeited", "Balance the venue took at its liquidations."},
    {"equity_curve",
     "Its equity at each of the run's equity samples (Run.equity_times),\n"
     "as a tuple of Cash."},
    {nullptr, nullptr},
};

PyStructSequence_Desc wallet_desc = {
    "halvorn.venue.Wallet",
    "One wallet of a run whose instruments settle in more than one currency\n"
    "(Run.wallets): what it held and added up to, in its own currency.",
    wallet_fields,
    8,
};

PyStructSequence_Desc position_desc = {
    "halvorn.venue.Position",
    "The account's position in one instrument of a portfolio, as a strategy\n"
    "reads it from `self.positions[symbol]`.",
    position_fields,
    6,
};

const std::array<ClassEntry<VenueState>, 1> COMPILED_CLASSES = {{
    {compiled_layout, &VenueState::compiled_type},
}};

const std::array<ClassEntry<VenueState>, 2> BATCH_CLASSES = {{
    {[] { return &tick_batch_spec; }, &VenueState::tick_batch_type},
    {[] { return &column_spec; }, &VenueState::column_type},
}};

constexpr PyObject* VenueState::* VALUES[] = {
    &VenueState::default_venue, &VenueState::example_tiers,          &VenueState::zero_latency,
    &VenueState::position_type, &VenueState::instrument_result_type, &VenueState::decimal_type,
    &VenueState::wallet_type,
};

struct VenueRefs {
  template <class F>
  static void each(VenueState* st, F&& f) {
    f(&st->head.parent);
    each_class(st, TIER_CLASSES, f);
    each_class(st, ACCOUNT_CLASSES, f);
    each_class(st, ORDER_CLASSES, f);
    each_class(st, RECORD_CLASSES, f);
    each_class(st, BATCH_CLASSES, f);
    each_class(st, COMPILED_CLASSES, f);
    each_class(st, UNIT_VIEW_CLASSES, f);
    each_class(st, CHECK_CLASSES, f);
    for (auto member : VALUES) f(&(st->*member));
    for (const auto& [member, text] : STRINGS) f(&(st->*member));
  }
};

PyObject* signatures(PyObject* module, PyObject*) {
  return guarded(venue_state_of_module(module)->head.core, signature_listing);
}

// What the package's own code and tests read of the library, left out of
// __all__.
PyMethodDef private_functions[] = {
    {"_signatures", signatures, METH_NOARGS,
     "_signatures()\n--\n\n"
     "The signature table of every function and class of the extension that\n"
     "takes arguments: (qualified name, text signature, parameters as a stub\n"
     "writes them, ((name, kind, default text or None), ...)) each."},
    {"_compiled_layout", slot_layout, METH_O,
     "_compiled_layout(written_for, /)\n--\n\n"
     "The slot layout of compiled strategies, as (group, name, value)\n"
     "triples, for code written for layout version `written_for`.\n\n"
     "# Errors\n\n"
     "ValueError when the library's layout is another version."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_venue(PyObject* module) {
  VenueState* st = venue_state_of_module(module);
  if (begin_submodule(st->head) < 0) return -1;
  return guarded(st->head.core, [&]() -> int {
    for (const auto& [member, text] : STRINGS) {
      st->*member = PyUnicode_InternFromString(text);
      if (st->*member == nullptr) return -1;
    }
    Ref decimal = Ref::steal(PyImport_ImportModule("decimal"));
    st->decimal_type = decimal ? PyObject_GetAttrString(decimal.get(), "Decimal") : nullptr;
    if (st->decimal_type == nullptr) return -1;
    if (add_config(module, st) < 0 || add_classes(module, st, ORDER_CLASSES) < 0 ||
        add_classes(module, st, RECORD_CLASSES) < 0 || add_classes(module, st, BATCH_CLASSES) < 0 ||
        add_classes(module, st, COMPILED_CLASSES) < 0 ||
        add_classes(module, st, UNIT_VIEW_CLASSES) < 0 ||
        add_classes(module, st, CHECK_CLASSES) < 0) {
      return -1;
    }
    st->position_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&position_desc));
    if (st->position_type == nullptr ||
        PyModule_AddObjectRef(module, "Position", st->position_type) < 0) {
      return -1;
    }
    st->instrument_result_type =
        reinterpret_cast<PyObject*>(PyStructSequence_NewType(&instrument_result_desc));
    if (st->instrument_result_type == nullptr ||
        PyModule_AddObjectRef(module, "InstrumentResult", st->instrument_result_type) < 0) {
      return -1;
    }
    st->wallet_type = reinterpret_cast<PyObject*>(PyStructSequence_NewType(&wallet_desc));
    if (st->wallet_type == nullptr ||
        PyModule_AddObjectRef(module, "Wallet", st->wallet_type) < 0) {
      return -1;
    }
    if (PyModule_AddFunctions(module, private_functions) < 0) return -1;
    return add_runs(module, st);
  });
}

PyModuleDef_Slot venue_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_venue)},
    {0, nullptr},
};

}  // namespace

PyModuleDef venue_def = {
    PyModuleDef_HEAD_INIT,
    "halvorn.venue",
    venue_doc,
    sizeof(VenueState),
    nullptr,
    venue_slots,
    traverse_refs<VenueState, VenueRefs>,
    clear_refs<VenueState, VenueRefs>,
    free_refs<VenueState, VenueRefs>,
};

}  // namespace halvorn::py::venue
