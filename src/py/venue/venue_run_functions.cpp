#include "py/venue/venue_run_functions.hpp"

#include <algorithm>
#include <memory>
#include <string>

#include "backtest/lookahead.hpp"
#include "data/decimal.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/registry.hpp"
#include "py/results.hpp"
#include "py/run_path.hpp"
#include "py/signatures.hpp"
#include "py/tick_files.hpp"
#include "py/value_class.hpp"
#include "py/venue/field_checks.hpp"
#include "py/venue/records.hpp"
#include "py/venue/venue_config.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

// venue, batch, ... were taken by position before they took units of their
// own; depth and marks never were.
constexpr auto RUN =
    signature("halvorn.venue.run", either("strategy"), either("ticks"), either("balance"),
              keyword_or_position("venue", "None"), keyword_or_position("batch", "1"),
              keyword_or_position("equity_every", "0"), keyword_or_position("progress", "None"),
              keyword_or_position("flush", "False"), keyword_or_position("depth", "None"),
              keyword("marks", "None"));
constexpr auto COMPARE_MODES =
    signature("halvorn.venue.compare_modes", either("build"), either("ticks"), either("balance"),
              either("batch"), keyword_or_position("venue", "None"),
              keyword_or_position("depth", "None"), keyword("marks", "None"));
constexpr auto LOOKAHEAD_CHECK =
    signature("halvorn.venue.lookahead_check", either("build"), either("ticks"), either("balance"),
              keyword_or_position("max_points", "200"), keyword_or_position("venue", "None"));

// The depth file a run reads (null for None), checked against the venue: only
// the L2 matcher keeps a depth book, and a file recorded for another
// instrument would price this one's fills from a market it never saw.
bool depth_for(PyObject* obj, const VenueConfig& config, const market_data::DepthSourceData** out,
               RunRequest* request) {
  *out = nullptr;
  if (obj == nullptr || obj == Py_None) return true;
  if (PyDict_Check(obj)) {
    // A portfolio's: each instrument's file is checked against its venue
    // when the run resolves the instruments.
    request->depths = obj;
    return true;
  }
  const market_data::DepthSourceData* depth = nullptr;
  if (!market_data::depth_source_of(obj, "depth", &depth)) return false;
  if (!std::holds_alternative<core::Tier::L2>(config.tier.kind)) {
    PyErr_Format(PyExc_ValueError,
                 "depth is read only by tier L2, and the venue's tier is %s: give "
                 "Venue(tier=L2(...)) or leave depth out",
                 config.tier.name());
    return false;
  }
  if (depth->instrument != config.instrument) {
    PyErr_Format(PyExc_ValueError,
                 "the depth file %R is for instrument %llu, and the venue trades instrument %lu",
                 depth->path.get(), static_cast<unsigned long long>(depth->instrument),
                 static_cast<unsigned long>(config.instrument));
    return false;
  }
  *out = depth;
  return true;
}

// The mark file a run reads (null for None), checked against the venue: a
// premium index is no price, and a file of another instrument would value
// this one's positions at another market's mark.  Marks given as columns
// are held in the request instead.
bool marks_for(PyObject* obj, const VenueConfig& config, const market_data::MarkSourceData** out,
               RunRequest* request) {
  *out = nullptr;
  if (obj == nullptr || obj == Py_None) return true;
  // A dict of columns names them; a portfolio's dict names its symbols.
  const bool columns = PyDict_Check(obj) && (PyDict_GetItemString(obj, "time") != nullptr ||
                                             PyDict_GetItemString(obj, "mark") != nullptr);
  if (PyDict_Check(obj) && !columns) {
    // A portfolio's, checked as depth files are when the run starts.
    request->mark_files = obj;
    return true;
  }
  if (const int frame = mark_frame(obj, request); frame != 0) return frame > 0;
  const market_data::MarkSourceData* marks = nullptr;
  if (!market_data::mark_source_of(obj, "marks", &marks)) return false;
  if (marks->kind != data::MarkKind::Price) {
    PyErr_Format(PyExc_ValueError,
                 "the mark file %R holds a premium index, not mark prices: give a file of mark "
                 "prices as marks",
                 marks->path.get());
    return false;
  }
  if (marks->instrument != config.instrument) {
    PyErr_Format(PyExc_ValueError,
                 "the mark file %R is for instrument %llu, and the venue trades instrument %lu",
                 marks->path.get(), static_cast<unsigned long long>(marks->instrument),
                 static_cast<unsigned long>(config.instrument));
    return false;
  }
  *out = marks;
  return true;
}

// The starting balance: whole units of `unit` (what the refusals name) as
// an int, or decimal text of them ("10000.50"), exactly, to the cash unit.  Refused where its cash
// does not fit: a balance that saturated would run, and report an equity of the largest Cash value
// as if it were money.
bool venue_balance(PyObject* obj, Cash* out, const char* unit = "USDT") {
  if (PyUnicode_Check(obj)) {
    std::string text;
    if (!utf8_of(obj, &text)) return false;
    data::Decimal value;
    static const data::Step cash = *data::parse_step("0.00000001");
    const data::Scaled scaled = data::parse_decimal(text, &value) == data::DecimalFault::None
                                    ? data::scale(value, cash, data::Rounding::Exact)
                                    : data::Scaled{0, data::ScaleFault::OutOfRange};
    if (scaled.fault == data::ScaleFault::None) {
      *out = scaled.count;
      return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "balance %R is not an amount of %s to the cash unit (0.00000001) that fits a "
                 "run",
                 obj, unit);
    return false;
  }
  std::int64_t units = 0;
  if (!to_i64(obj, "balance", &units)) return false;
  constexpr std::int64_t MOST = I64_MAX / CASH_SCALE;
  if (units > MOST || units < -MOST) {
    PyErr_Format(PyExc_ValueError,
                 "balance is in whole %s and a run holds at most %s of them; got %s (was it "
                 "already multiplied by CASH_SCALE?)",
                 unit, grouped(MOST).c_str(), grouped(units).c_str());
    return false;
  }
  *out = units * CASH_SCALE;
  return true;
}

// A balance given by currency, {"USDT": 10_000, "BTC": "0.5"}: each amount
// as venue_balance takes it, in whole units of its own currency, kept in
// currency order.  The codes are checked against the run's instruments when
// they are known (balances_for).
bool balances_by_currency(PyObject* dict, std::vector<std::pair<Currency, Cash>>* out) {
  // A private copy: the values' conversion may run code that changes it.
  Ref items = Ref::steal(PyDict_Items(dict));
  if (!items) return false;
  if (PyList_GET_SIZE(items.get()) == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "balance: an empty dict gives no wallet a balance; give {currency: amount} "
                    "for each currency the instruments settle in");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
    PyObject* key = PyTuple_GET_ITEM(item.get(), 0);
    std::string code;
    if (!PyUnicode_Check(key)) return wrong_type("a balance's currency", "a str", key);
    if (!utf8_of(key, &code)) return false;
    const bool valid =
        !code.empty() && code.size() <= 8 && std::all_of(code.begin(), code.end(), [](char c) {
          return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
    if (!valid) {
      PyErr_Format(PyExc_ValueError,
                   "balance: %R is not a currency code (1 to 8 upper-case letters or digits)", key);
      return false;
    }
    Cash amount = 0;
    if (!venue_balance(PyTuple_GET_ITEM(item.get(), 1), &amount, code.c_str())) return false;
    out->emplace_back(Currency::of(code), amount);
  }
  std::sort(out->begin(), out->end());
  return true;
}

// A run of the venue protocol: its balance and venue converted, the rest of
// the request the caller's.  False with the exception set.
// A dict of symbol to Venue configures each instrument of a portfolio; the
// account's defaults are then Venue()'s, which the first instrument's
// replace when the run starts.
bool venue_request(VenueState* st, PyObject* balance_obj, PyObject* venue_obj,
                   RunRequest* request) {
  request->core = st->head.core;
  request->venue_module = st;
  if (venue_obj != nullptr && PyDict_Check(venue_obj)) {
    request->venues = venue_obj;
    venue_obj = nullptr;
  }
  if (PyDict_Check(balance_obj)) {
    if (!balances_by_currency(balance_obj, &request->wallets)) return false;
  } else if (!venue_balance(balance_obj, &request->balance)) {
    return false;
  }
  return venue_config(st, venue_obj, &request->venue);
}

PyObject* run(PyObject* module, PyObject* args, PyObject* kwds) {
  VenueState* st = venue_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<RUN> parsed;
    if (!parse<RUN>(args, kwds, &parsed)) return nullptr;
    PyObject *strategy = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *venue_obj = parsed[3], *batch_obj = parsed[4], *every_obj = parsed[5],
             *progress = parsed[6], *flush_obj = parsed[7], *depth_obj = parsed[8];
    RunRequest request;
    if (!venue_request(st, balance_obj, venue_obj, &request)) return nullptr;
    if (batch_obj && !to_u64(batch_obj, "batch", &request.batch)) return nullptr;
    if (every_obj && !to_u64(every_obj, "equity_every", &request.equity_every)) return nullptr;
    if (flush_obj && !to_bool(flush_obj, "flush", &request.flush)) return nullptr;
    if (!depth_for(depth_obj, *request.venue, &request.depth, &request) ||
        !marks_for(parsed[9], *request.venue, &request.marks, &request)) {
      return nullptr;
    }
    request.progress = progress;
    backtest::RunResult result;
    VenueConfig used;
    std::vector<InstrumentLeg> legs;
    if (!run_strategy(request, strategy, ticks, &result, &used, &legs)) return nullptr;
    return new_run(st, std::move(result), used, legs);
  });
}

PyObject* compare_modes(PyObject* module, PyObject* args, PyObject* kwds) {
  VenueState* st = venue_state_of_module(module);
  ModuleState* core = st->head.core;
  return guarded(core, [&]() -> PyObject* {
    ArgumentsOf<COMPARE_MODES> parsed;
    if (!parse<COMPARE_MODES>(args, kwds, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *batch_obj = parsed[3], *venue_obj = parsed[4], *depth_obj = parsed[5];
    std::uint64_t batch = 0;
    RunRequest request;
    if (!venue_request(st, balance_obj, venue_obj, &request) ||
        !to_u64(batch_obj, "batch", &batch) ||
        !depth_for(depth_obj, *request.venue, &request.depth, &request) ||
        !marks_for(parsed[6], *request.venue, &request.marks, &request)) {
      return nullptr;
    }
    Comparison comparison;
    if (!compare_runs(request, build, ticks, batch, &comparison)) return nullptr;
    return box(st->mode_comparison_type, comparison);
  });
}

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwds) {
  VenueState* st = venue_state_of_module(module);
  ModuleState* core = st->head.core;
  return guarded(core, [&]() -> PyObject* {
    ArgumentsOf<LOOKAHEAD_CHECK> parsed;
    if (!parse<LOOKAHEAD_CHECK>(args, kwds, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks_obj = parsed[1], *balance_obj = parsed[2],
             *points_obj = parsed[3], *venue_obj = parsed[4];
    std::uint64_t max_points = 200;
    RunRequest request;
    if (!venue_request(st, balance_obj, venue_obj, &request)) return nullptr;
    if (points_obj && !to_u64(points_obj, "max_points", &max_points)) return nullptr;
    Report report;
    if (!check_lookahead(request, build, ticks_obj, static_cast<std::size_t>(max_points),
                         &report)) {
      return nullptr;
    }
    return box(st->lookahead_report_type, std::move(report));
  });
}

PyMethodDef run_defs[] = {
    function_def<RUN>(run,
                      "Run a strategy over a tick series on a venue (None: Venue()).\n\n"
                      "`ticks` is a sequence of Tick or a TickSource (streamed), or, for a\n"
                      "portfolio of several instruments in one account, a dict of symbol to\n"
                      "ticks, with `venue` a Venue for all or a dict of symbol to Venue, and\n"
                      "`depth` and `marks` dicts of symbol to DepthSource and MarkSource (see\n"
                      "docs/venue.md, Portfolios); `balance` is in whole currency units,\n"
                      "or, for a portfolio whose instruments settle in several currencies,\n"
                      "a dict of currency to balance, a wallet each.\n"
                      "The strategy follows the protocol of `halvorn.run_backtest`\n"
                      "(`on_tick(ctx)` for batch 1, `on_batch(ticks)`\n"
                      "otherwise, returning None or a list of Order), and may also return\n"
                      "`Cancel(order_id)` and `CancelAll()` in that list.  Its `ctx` is a\n"
                      "venue.Context: halvorn.Context's counts, the tick's Instrument\n"
                      "(`ctx.instrument`) and views in units (`ctx.units`, `ctx.floats`); the\n"
                      "venue's orders take prices and quantities in units too, counted by the\n"
                      "order's instrument exactly.  Orders are numbered\n"
                      "1, 2, 3, ... in the order they were returned, across the run.  When the\n"
                      "strategy has them, `on_fill(fill)` is called with each fill booked on a\n"
                      "tick, then `on_end(order_id, how)` (how \"filled\", \"canceled\",\n"
                      "\"expired\", \"triggered\" or \"rejected:<reason>\") and\n"
                      "`on_liquidation(closed)`, before that tick's `on_tick`; in batches they\n"
                      "are called for the batch's ticks, in order, before `on_batch`.\n\n"
                      "A batched strategy may implement `on_columns(batch)` instead of\n"
                      "`on_batch(ticks)`: it then receives a TickBatch, the batch's ticks as\n"
                      "read-only int64 columns NumPy reads without a copy, valid only during\n"
                      "the call.  The ticks after the last complete batch are not delivered\n"
                      "(as with on_batch) unless `flush` is true: they are then delivered when\n"
                      "the series ends, and what that call returns has no later tick to be\n"
                      "placed on, so it places nothing.\n\n"
                      "`equity_every` samples equity every that many ticks (Run.equity_curve);\n"
                      "`progress` is True for a bar on standard error, or a callable given\n"
                      "(ticks_done, total or None).\n\n"
                      "`depth` is a halvorn.data.DepthSource for a venue of tier L2: its\n"
                      "records are applied by time, each before the first tick at or after\n"
                      "it, and the L2 matcher queues and prices against the book they keep.\n"
                      "The file is streamed from its start by every run.\n\n"
                      "`marks` is a halvorn.data.MarkSource of the venue's mark prices: each\n"
                      "mark is applied before the first tick at or after it, and from the\n"
                      "first one on the account is valued, tested for maintenance and\n"
                      "liquidated at the mark, not at the last trade, and a funding rate\n"
                      "without a price settles at the mark.  Marks held as columns (a pandas\n"
                      "DataFrame, a dict of arrays or a structured array with `time` and\n"
                      "`mark`) are taken as ticks are: times as datetimes or integer ns,\n"
                      "prices as integer ticks or scaled exactly by the venue's Instrument.\n\n"
                      "```python\n"
                      "run = venue.run(Strategy(), halvorn.load_ticks(\"btc.hvtk\"), 10_000,\n"
                      "                venue=venue.Venue(taker_fee=venue.rate(\"0.0005\")))\n"
                      "print(run.fees_paid / halvorn.CASH_SCALE, \"USDT of fees\")\n"
                      "```\n\n"
                      "# Errors\n\n"
                      "As run_backtest: the strategy's failure, a tick file that stops the run,\n"
                      "a missing method; TypeError for a venue that is not a Venue or a depth\n"
                      "that is not a DepthSource; ValueError for depth on a tier other than L2\n"
                      "or recorded for another instrument, and \"the depth file stopped the run\n"
                      "after {ticks} ticks: {error}\" when the depth file fails part-way (the\n"
                      "run ends at the tick that reached the damage)."),
    function_def<COMPARE_MODES>(
        compare_modes,
        "Run one strategy per tick and in batches on a venue and report what\n"
        "batching changed (a venue.ModeComparison: halvorn.ModeComparison's\n"
        "values, printed in USDT).  `depth` and `marks` as\n"
        "in run(): each of the two runs streams the files from their start.\n\n"
        "```python\n"
        "venue.compare_modes(Strategy, ticks, 10_000, 4096, venue=v).identical\n"
        "```\n\n"
        "# Errors\n\n"
        "Whatever either run raised."),
    function_def<LOOKAHEAD_CHECK>(
        lookahead_check,
        "Whether a strategy decides from the past alone, on a venue (a\n"
        "venue.LookaheadReport); as halvorn.lookahead_check.\n\n"
        "```python\n"
        "venue.lookahead_check(lambda known: Strategy(), ticks, 10_000).clean\n"
        "```\n\n"
        "# Errors\n\n"
        "Whatever `build` or the strategy raised, in any of the runs."),
};

}  // namespace

int add_runs(PyObject* module, VenueState*) { return add_functions(module, run_defs); }

}  // namespace halvorn::py::venue
