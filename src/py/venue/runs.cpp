#include "py/venue/runs.hpp"

#include <memory>
#include <string>

#include "backtest/lookahead.hpp"
#include "py/adapter.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/argument_conversion.hpp"
#include "py/registry.hpp"
#include "py/results.hpp"
#include "py/run_functions.hpp"
#include "py/tick_files.hpp"
#include "py/value_class.hpp"
#include "py/venue/config.hpp"
#include "py/venue/records.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

// The parts of a strategy's protocol a venue run adds.  A batched run calls
// on_columns when the strategy has it, else on_batch.
std::shared_ptr<VenueProtocol> protocol_for(VenueState* st, PyObject* strategy,
                                            const VenueConfig& config, std::uint64_t batch,
                                            bool flush) {
  auto protocol = std::make_shared<VenueProtocol>();
  protocol->requests = RequestTypes{st->cancel_type, st->cancel_all_type};
  if (strategy != Py_None &&
      (!optional_attribute(strategy, st->str_on_fill, &protocol->on_fill) ||
       !optional_attribute(strategy, st->str_on_end, &protocol->on_end) ||
       !optional_attribute(strategy, st->str_on_liquidation, &protocol->on_liquidation) ||
       (batch > 1 && !optional_attribute(strategy, st->str_on_columns, &protocol->on_columns)))) {
    return nullptr;
  }
  protocol->str_filled = st->str_filled;
  protocol->str_canceled = st->str_canceled;
  protocol->fill_object = fill_object;
  protocol->closed_object = closed_object;
  protocol->fill_type = st->fill_type;
  protocol->closed_type = st->closed_type;
  protocol->batch_type = st->tick_batch_type;
  protocol->column_type = st->column_type;
  protocol->flush = flush;
  protocol->fee_rates = {config.maker_fee, config.taker_fee};
  protocol->contract_size = config.contract_size;
  return protocol;
}

// What a run reports progress to: a callable, or for True a bar on standard
// error.  `bar` is what has to be closed after the run.
bool progress_for(PyObject* progress, const TickInput& input, VenueProtocol* protocol, Ref* bar) {
  if (progress == nullptr || progress == Py_None || progress == Py_False) return true;
  if (const auto* series = std::get_if<TickArray>(&input)) {
    protocol->total = Ref::steal(PyLong_FromSize_t(series->size()));
  } else {
    protocol->total =
        Ref::steal(PyLong_FromUnsignedLongLong(std::get<const TickSourceData*>(input)->count));
  }
  if (!protocol->total) return false;
  if (progress == Py_True) {
    Ref module = Ref::steal(PyImport_ImportModule("halvorn._progress"));
    if (!module) return false;
    *bar =
        Ref::steal(PyObject_CallMethod(module.get(), "Bar", "Os", protocol->total.get(), "ticks"));
    if (!*bar) return false;
    protocol->progress = *bar;
  } else if (PyCallable_Check(progress)) {
    protocol->progress = Ref::borrow(progress);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "progress must be None, True or a callable taking (ticks_done, total), got %.200s",
                 Py_TYPE(progress)->tp_name);
    return false;
  }
  return true;
}

// The depth file a run reads (null for None), checked against the venue: only
// the L2 matcher keeps a depth book, and a file recorded for another
// instrument would price this one's fills from a market it never saw.
bool depth_for(PyObject* obj, const VenueConfig& config, const market_data::DepthSourceData** out) {
  *out = nullptr;
  if (obj == nullptr || obj == Py_None) return true;
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

// The starting balance in whole USDT, refused where its cash does not fit:
// a balance that saturated would run, and report an equity of the largest
// Cash value as if it were money.
bool venue_balance(PyObject* obj, std::int64_t* out) {
  if (!to_i64(obj, "balance", out)) return false;
  constexpr std::int64_t MOST = I64_MAX / CASH_SCALE;
  if (*out > MOST || *out < -MOST) {
    PyErr_Format(PyExc_ValueError,
                 "balance is in whole USDT and a run holds at most %s of them; got %s (was it "
                 "already multiplied by CASH_SCALE?)",
                 grouped(MOST).c_str(), grouped(*out).c_str());
    return false;
  }
  return true;
}

// Ticks recorded for another instrument would fill the venue's orders at
// another market's prices.  A list carries no instrument and is taken as
// the venue's.
bool ticks_of_venue(const TickInput& input, const VenueConfig& config) {
  const auto* file = std::get_if<const TickSourceData*>(&input);
  if (file == nullptr || (*file)->instrument == config.instrument) return true;
  PyErr_Format(PyExc_ValueError,
               "the tick file %R is for instrument %llu, and the venue trades instrument %lu: give "
               "Venue(instrument=%llu) or the file of instrument %lu",
               (*file)->path.get(), static_cast<unsigned long long>((*file)->instrument),
               static_cast<unsigned long>(config.instrument),
               static_cast<unsigned long long>((*file)->instrument),
               static_cast<unsigned long>(config.instrument));
  return false;
}

// One venue run after argument conversion.  Returns false with the
// exception set.
bool run_one(VenueState* st, PyObject* strategy, const TickInput& input, std::int64_t balance,
             const VenueConfig& config, std::uint64_t batch, std::uint64_t equity_every,
             PyObject* progress, bool flush, const market_data::DepthSourceData* depth,
             backtest::RunResult* result) {
  std::shared_ptr<VenueProtocol> protocol = protocol_for(st, strategy, config, batch, flush);
  Ref bar;
  if (!protocol || !progress_for(progress, input, protocol.get(), &bar)) return false;
  Gil gil;
  PyDriven driven(st->head.core, gil, Ref::borrow(strategy), strategy_name(strategy), batch,
                  nullptr, protocol);
  const backtest::RunConfig run_config = config.run_config(balance, equity_every);
  RunEnd end;
  const bool ran = run_input(run_config, driven, gil, input, result, &end, depth);
  if (bar) {
    PendingException pending = PyErr_Occurred() ? PendingException::fetch() : PendingException{};
    Ref closed = Ref::steal(PyObject_CallMethod(bar.get(), "close", nullptr));
    if (pending) {
      pending.restore();
    } else if (!closed) {
      return false;
    }
  }
  return ran && !raise_run_end(driven, *result, end);
}

PyObject* run(PyObject* module, PyObject* args, PyObject* kwds) {
  VenueState* st = venue_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    static const char* kwlist[] = {"strategy",     "ticks",    "balance", "venue", "batch",
                                   "equity_every", "progress", "flush",   "depth", nullptr};
    Arguments<9> parsed;
    if (!parse_arguments(args, kwds, "OOO|OOOOOO:run", kwlist, &parsed)) return nullptr;
    PyObject *strategy = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *venue_obj = parsed[3], *batch_obj = parsed[4], *every_obj = parsed[5],
             *progress = parsed[6], *flush_obj = parsed[7], *depth_obj = parsed[8];
    std::int64_t balance = 0;
    std::uint64_t batch = 1, equity_every = 0;
    bool flush = false;
    const VenueConfig* config = nullptr;
    if (!venue_balance(balance_obj, &balance) || !venue_config(st, venue_obj, &config)) {
      return nullptr;
    }
    if (batch_obj && !to_u64(batch_obj, "batch", &batch)) return nullptr;
    if (every_obj && !to_u64(every_obj, "equity_every", &equity_every)) return nullptr;
    if (flush_obj && !to_bool(flush_obj, "flush", &flush)) return nullptr;
    const market_data::DepthSourceData* depth = nullptr;
    if (!depth_for(depth_obj, *config, &depth)) return nullptr;
    TickInput input;
    if (!check_cadence(strategy, batch, true) || !resolve_ticks(st->head.core, ticks, &input) ||
        !ticks_of_venue(input, *config)) {
      return nullptr;
    }
    backtest::RunResult result;
    if (!run_one(st, strategy, input, balance, *config, batch, equity_every, progress, flush, depth,
                 &result)) {
      return nullptr;
    }
    return new_run(st, std::move(result), {config->maker_fee, config->taker_fee},
                   config->contract_size);
  });
}

PyObject* compare_modes(PyObject* module, PyObject* args, PyObject* kwds) {
  VenueState* st = venue_state_of_module(module);
  ModuleState* core = st->head.core;
  return guarded(core, [&]() -> PyObject* {
    static const char* kwlist[] = {"build", "ticks", "balance", "batch", "venue", "depth", nullptr};
    Arguments<6> parsed;
    if (!parse_arguments(args, kwds, "OOOO|OO:compare_modes", kwlist, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *batch_obj = parsed[3], *venue_obj = parsed[4], *depth_obj = parsed[5];
    std::int64_t balance = 0;
    std::uint64_t batch = 0;
    const VenueConfig* config = nullptr;
    if (!venue_balance(balance_obj, &balance) || !to_u64(batch_obj, "batch", &batch) ||
        !venue_config(st, venue_obj, &config)) {
      return nullptr;
    }
    const market_data::DepthSourceData* depth = nullptr;
    if (!depth_for(depth_obj, *config, &depth)) return nullptr;
    TickInput input;
    if (!resolve_ticks(core, ticks, &input) || !ticks_of_venue(input, *config)) return nullptr;
    RunSummary summaries[2];
    const std::uint64_t batches[2] = {1, batch};
    for (int i = 0; i < 2; ++i) {
      Ref strategy = Ref::steal(PyObject_CallNoArgs(build));
      if (!strategy || !check_cadence(strategy.get(), batches[i], true)) return nullptr;
      backtest::RunResult result;
      if (!run_one(st, strategy.get(), input, balance, *config, batches[i], 0, nullptr, false,
                   depth, &result)) {
        return nullptr;
      }
      summaries[i] = RunSummary::of(std::move(result));
    }
    return box(core->mode_comparison_type, Comparison::of(batch, summaries[0], summaries[1]));
  });
}

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwds) {
  VenueState* st = venue_state_of_module(module);
  ModuleState* core = st->head.core;
  return guarded(core, [&]() -> PyObject* {
    static const char* kwlist[] = {"build", "ticks", "balance", "max_points", "venue", nullptr};
    Arguments<5> parsed;
    if (!parse_arguments(args, kwds, "OOO|OO:lookahead_check", kwlist, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks_obj = parsed[1], *balance_obj = parsed[2],
             *points_obj = parsed[3], *venue_obj = parsed[4];
    std::int64_t balance = 0;
    std::uint64_t max_points = 200;
    const VenueConfig* config = nullptr;
    if (!venue_balance(balance_obj, &balance) || !venue_config(st, venue_obj, &config)) {
      return nullptr;
    }
    if (points_obj && !to_u64(points_obj, "max_points", &max_points)) return nullptr;
    TickArray ticks;
    if (!ticks_from(core, ticks_obj, &ticks)) return nullptr;
    const backtest::RunConfig run_config = config->run_config(balance, 0);
    return check_lookahead(core, build, ticks, run_config, static_cast<std::size_t>(max_points),
                           [&](PyObject* strategy, std::shared_ptr<const VenueProtocol>* out) {
                             *out = protocol_for(st, strategy, *config, 1, false);
                             return *out != nullptr;
                           });
  });
}

PyMethodDef run_defs[] = {
    {"run", as_cfunction(run), METH_VARARGS | METH_KEYWORDS,
     "run(strategy, ticks, balance, venue=None, batch=1, equity_every=0, progress=None, "
     "flush=False, depth=None)\n--\n\n"
     "Run a strategy over a tick series on a venue (None: Venue()).\n\n"
     "`ticks` is a sequence of Tick or a TickSource (streamed); `balance` is\n"
     "in whole currency units.  The strategy follows the protocol of\n"
     "`halvorn.run_backtest` (`on_tick(ctx)` for batch 1, `on_batch(ticks)`\n"
     "otherwise, returning None or a list of Order), and may also return\n"
     "`Cancel(order_id)` and `CancelAll()` in that list.  Orders are numbered\n"
     "1, 2, 3, ... in the order they were returned, across the run.  When the\n"
     "strategy has them, `on_fill(fill)` is called with each fill booked on a\n"
     "tick, then `on_end(order_id, how)` (how \"filled\" or \"canceled\") and\n"
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
     "run ends at the tick that reached the damage)."},
    {"compare_modes", as_cfunction(compare_modes), METH_VARARGS | METH_KEYWORDS,
     "compare_modes(build, ticks, balance, batch, venue=None, depth=None)\n--\n\n"
     "Run one strategy per tick and in batches on a venue and report what\n"
     "batching changed (a halvorn.ModeComparison).  `depth` as in run():\n"
     "each of the two runs streams the depth file from its start.\n\n"
     "```python\n"
     "venue.compare_modes(Strategy, ticks, 10_000, 4096, venue=v).identical\n"
     "```\n\n"
     "# Errors\n\n"
     "Whatever either run raised."},
    {"lookahead_check", as_cfunction(lookahead_check), METH_VARARGS | METH_KEYWORDS,
     "lookahead_check(build, ticks, balance, max_points=200, venue=None)\n--\n\n"
     "Whether a strategy decides from the past alone, on a venue (a\n"
     "halvorn.LookaheadReport); as halvorn.lookahead_check.\n\n"
     "```python\n"
     "venue.lookahead_check(lambda known: Strategy(), ticks, 10_000).clean\n"
     "```\n\n"
     "# Errors\n\n"
     "Whatever `build` or the strategy raised, in any of the runs."},
};

}  // namespace

int add_runs(PyObject* module, VenueState*) { return add_functions(module, run_defs); }

}  // namespace halvorn::py::venue
