#include "py/core_run_functions.hpp"

#include <memory>
#include <string>
#include <utility>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/registry.hpp"
#include "py/results.hpp"
#include "py/run_path.hpp"
#include "py/signatures.hpp"

namespace halvorn::py {

namespace {

constexpr auto RUN_BACKTEST =
    signature("halvorn.run_backtest", either("strategy"), either("ticks"), either("balance"),
              either("batch", "1"), either("enforce_margin", "True"), either("equity_every", "0"),
              either("contract_size", "10000"));
constexpr auto COMPARE_MODES =
    signature("halvorn.compare_modes", either("build"), either("ticks"), either("balance"),
              either("batch"), either("enforce_margin", "True"), either("contract_size", "10000"));
constexpr auto LOOKAHEAD_CHECK =
    signature("halvorn.lookahead_check", either("build"), either("ticks"), either("balance"),
              either("max_points", "200"), either("enforce_margin", "True"),
              either("contract_size", "10000"));

// The account of the core module's run functions: the default venue (tier
// L0, no fees, no funding, the example margin table, instrument 1, net mode)
// with their contract size and margin flag, filling a resting order the
// quote moves through at the quote, as these functions always have.
venue::VenueConfig core_account(std::int64_t contract_size, bool enforce_margin) {
  venue::VenueConfig config;
  config.contract_size = contract_size;
  config.enforce_margin = enforce_margin;
  config.resting = engine::RestingPrice::Quote;
  return config;
}

// A run of the core module's protocol on `account`, which outlives it.
RunRequest core_request(ModuleState* st, const venue::VenueConfig& account, std::int64_t balance) {
  RunRequest request;
  request.core = st;
  request.venue = &account;
  // Whole units, saturating where their cash leaves 64 bits, as the core
  // module always has.
  request.balance = units_to_cash(balance);
  return request;
}

PyObject* run_backtest(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    ArgumentsOf<RUN_BACKTEST> parsed;
    if (!parse<RUN_BACKTEST>(args, kwds, &parsed)) return nullptr;
    PyObject *strategy = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *batch_obj = parsed[3], *enforce_obj = parsed[4], *every_obj = parsed[5],
             *size_obj = parsed[6];
    std::int64_t balance = 0, contract_size = DEFAULT_CONTRACT_SIZE;
    std::uint64_t batch = 1, equity_every = 0;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance)) return nullptr;
    if (batch_obj && !to_u64(batch_obj, "batch", &batch)) return nullptr;
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (every_obj && !to_u64(every_obj, "equity_every", &equity_every)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;
    const venue::VenueConfig account = core_account(contract_size, enforce_margin);
    RunRequest request = core_request(st, account, balance);
    request.batch = batch;
    request.equity_every = equity_every;
    backtest::RunResult result;
    if (!run_strategy(request, strategy, ticks, &result)) return nullptr;
    return box(st->run_result_type, RunSummary::of(std::move(result)));
  });
}

PyObject* compare_modes(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    ArgumentsOf<COMPARE_MODES> parsed;
    if (!parse<COMPARE_MODES>(args, kwds, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks = parsed[1], *balance_obj = parsed[2],
             *batch_obj = parsed[3], *enforce_obj = parsed[4], *size_obj = parsed[5];
    std::int64_t balance = 0, contract_size = DEFAULT_CONTRACT_SIZE;
    std::uint64_t batch = 0;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance) || !to_u64(batch_obj, "batch", &batch)) {
      return nullptr;
    }
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;

    const venue::VenueConfig account = core_account(contract_size, enforce_margin);
    const RunRequest request = core_request(st, account, balance);
    Comparison comparison;
    if (!compare_runs(request, build, ticks, batch, &comparison)) return nullptr;
    return box(st->mode_comparison_type, comparison);
  });
}

PyObject* lookahead_check(PyObject* module, PyObject* args, PyObject* kwds) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    ArgumentsOf<LOOKAHEAD_CHECK> parsed;
    if (!parse<LOOKAHEAD_CHECK>(args, kwds, &parsed)) return nullptr;
    PyObject *build = parsed[0], *ticks_obj = parsed[1], *balance_obj = parsed[2],
             *points_obj = parsed[3], *enforce_obj = parsed[4], *size_obj = parsed[5];
    std::int64_t balance = 0, contract_size = DEFAULT_CONTRACT_SIZE;
    std::uint64_t max_points = 200;
    bool enforce_margin = true;
    if (!to_i64(balance_obj, "balance", &balance)) return nullptr;
    if (points_obj && !to_u64(points_obj, "max_points", &max_points)) return nullptr;
    if (enforce_obj && !to_bool(enforce_obj, "enforce_margin", &enforce_margin)) return nullptr;
    if (size_obj && !to_i64(size_obj, "contract_size", &contract_size)) return nullptr;

    const venue::VenueConfig account = core_account(contract_size, enforce_margin);
    const RunRequest request = core_request(st, account, balance);
    Report report;
    if (!check_lookahead(request, build, ticks_obj, static_cast<std::size_t>(max_points),
                         &report)) {
      return nullptr;
    }
    return box(st->lookahead_report_type, std::move(report));
  });
}

const char run_backtest_doc[] =
    "Run a Python strategy over a tick series.\n\n"
    "`balance` is in whole currency units \u2014 100_000 means a hundred\n"
    "thousand USDT \u2014 not in the internal fixed-point representation. The\n"
    "internal one is exposed as `CASH_SCALE` for converting the integers\n"
    "this returns, but is not what any argument takes: a balance argument\n"
    "that silently meant one hundred-millionth of what the caller intended\n"
    "produced a run liquidated on its first trade, and the numbers looked\n"
    "plausible.\n\n"
    "`contract_size` is how much of the underlying one lot is, at the same\n"
    "scale. It has a default so a first run works, and it is an argument\n"
    "because no default is right for a second one.\n\n"
    "`batch` selects the mode: `1` (the default) is compatibility mode,\n"
    "one call per tick, and anything larger is throughput mode. See the\n"
    "module documentation for what batching costs.\n\n"
    "# Errors\n\n"
    "Propagates whatever the strategy raised, and refuses a strategy that\n"
    "does not implement the method its cadence requires.";

const char compare_modes_doc[] =
    "Run one strategy both ways over the same ticks and report what\n"
    "batching changed.\n\n"
    "`build` is called twice \u2014 once per mode \u2014 because a strategy carries\n"
    "state and reusing one instance would make the second run depend on\n"
    "the first. Pass the class itself, or any zero-argument callable.\n\n"
    "# Errors\n\n"
    "Propagates whatever either run raised.";

const char lookahead_check_doc[] =
    "Whether a strategy decides from the past alone.\n\n"
    "`build` is called with a list of the ticks the strategy may know\n"
    "about and returns a strategy object \u2014 once with all of `ticks`, then\n"
    "once per checked point with the ticks up to that point. A strategy\n"
    "that fits anything to its data has to fit it to what it is given\n"
    "here; one built from the whole window sends different orders on a\n"
    "prefix than on all of it, and each point where it does is reported.\n\n"
    "Compatibility mode only: batching delays decisions by design, and\n"
    "that delay is not the thing this looks for.\n\n"
    "# Errors\n\n"
    "Whatever `build` or the strategy raised, in any of the runs.";

}  // namespace

PyMethodDef run_functions[3] = {
    function_def<RUN_BACKTEST>(run_backtest, run_backtest_doc),
    function_def<COMPARE_MODES>(compare_modes, compare_modes_doc),
    function_def<LOOKAHEAD_CHECK>(lookahead_check, lookahead_check_doc),
};

}  // namespace halvorn::py
