// Runs compared: a strategy per tick against the same strategy in batches
// (compare_modes), and a run against reruns over each prefix of its ticks
// (the lookahead check), for one instrument or a portfolio.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "backtest/kway_merge.hpp"
#include "backtest/lookahead.hpp"
#include "py/portfolio_run.hpp"
#include "py/run_path.hpp"
#include "py/run_steps.hpp"
#include "py/values.hpp"

namespace halvorn::py {

namespace {

// The strategy of one rerun of the lookahead check: the adapter of a Python
// object or of a compiled function, whichever the build returned.
class EitherDriven {
 public:
  explicit EitherDriven(PyDriven driven) : driven_(std::move(driven)) {}
  explicit EitherDriven(CompiledDriven driven) : driven_(std::move(driven)) {}

  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents) {
    std::visit([&](auto& d) { d.on_tick(context, intents); }, driven_);
  }
  std::string_view name() const {
    return std::visit([](const auto& d) { return d.name(); }, driven_);
  }
  bool halted() const {
    return std::visit([](const auto& d) { return d.halted(); }, driven_);
  }
  void on_run_end() {
    std::visit([](auto& d) { strategy::notify_run_end(d); }, driven_);
  }
  void on_fills(std::span<const Fill> fills) {
    std::visit([&](auto& d) { strategy::notify_fills(d, fills); }, driven_);
  }
  void on_endings(std::span<const strategy::OrderEnding> endings) {
    std::visit([&](auto& d) { strategy::notify_endings(d, endings); }, driven_);
  }
  void on_venue_closed(std::span<const strategy::VenueClosed> closes) {
    std::visit([&](auto& d) { strategy::notify_venue_closed(d, closes); }, driven_);
  }

 private:
  std::variant<PyDriven, CompiledDriven> driven_;
};

}  // namespace

bool compare_runs(const RunRequest& request, PyObject* build, PyObject* ticks, std::uint64_t batch,
                  Comparison* out) {
  RunSummary summaries[2];
  const std::uint64_t batches[2] = {1, batch};
  for (int i = 0; i < 2; ++i) {
    Ref strategy = Ref::steal(PyObject_CallNoArgs(build));
    if (!strategy) return false;
    RunRequest mode = request;
    mode.batch = batches[i];
    mode.equity_every = 0;
    mode.progress = nullptr;
    mode.flush = false;
    backtest::RunResult result;
    if (!run_strategy(mode, strategy.get(), ticks, &result)) return false;
    summaries[i] = RunSummary::of(std::move(result));
  }
  *out = Comparison::of(batch, summaries[0], summaries[1]);
  return true;
}

bool check_lookahead(const RunRequest& request, PyObject* build, PyObject* ticks_obj,
                     std::size_t max_points, Report* out) {
  TickArray ticks;
  // A portfolio's series are merged once, with the instrument of each tick;
  // each build is shown the prefix as {symbol: [Tick, ...]}.
  std::vector<std::int64_t> instruments;
  std::optional<PortfolioInput> portfolio;
  const int merged = request.venue_protocol() ? is_portfolio(ticks_obj) : 0;
  if (merged < 0) return false;
  if (merged > 0) {
    portfolio.emplace();
    if (!resolve_portfolio(request, ticks_obj, &*portfolio)) return false;
    std::vector<backtest::SpanTicks> spans;
    for (std::size_t i = 0; i < portfolio->inputs.size(); ++i) {
      const auto* series = std::get_if<TickArray>(&portfolio->inputs[i]);
      if (series == nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "lookahead_check reruns prefixes of the series held in memory: give the "
                     "ticks of %R as a list",
                     portfolio->legs[i].symbol.get());
        return false;
      }
      spans.push_back(backtest::SpanTicks{*series});
    }
    std::vector<backtest::SpanTicks*> sources;
    std::vector<InstrumentId> ids;
    for (std::size_t i = 0; i < spans.size(); ++i) {
      sources.push_back(&spans[i]);
      ids.push_back(InstrumentId{static_cast<std::uint32_t>(i + 1)});
    }
    backtest::MergedTicks<backtest::SpanTicks> merge(std::move(sources), ids);
    while (const engine::Tick* t = merge.next_in_place()) {
      ticks.push_back(*t);
      instruments.push_back(*merge.last_instrument());
    }
  } else if (!ticks_from(request.core, ticks_obj, &ticks)) {
    return false;
  }
  backtest::RunConfig config;
  if (portfolio) {
    if (!portfolio_config(*portfolio, request, 0, &config)) return false;
    if (!config.wallets.empty()) {
      std::vector<const engine::Tick*> firsts(portfolio->legs.size(), nullptr);
      for (std::size_t k = 0; k < ticks.size(); ++k) {
        const std::size_t i = static_cast<std::size_t>(instruments[k] - 1);
        if (firsts[i] == nullptr) firsts[i] = &ticks[k];
      }
      set_openings(config, firsts);
    }
  } else {
    config = request.venue->run_config(request.balance, 0);
    if (!balances_for(request, &config)) return false;
  }
  RunRequest first = request;
  if (portfolio) first.venue = &portfolio->legs.front().venue;
  auto shared = std::make_shared<SharedFailure>();
  Gil gil;

  // The first k ticks as the build sees them.  Requires: the lock is held.
  auto prefix = [&](std::size_t k) -> Ref {
    if (!portfolio) {
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(k)));
      for (std::size_t i = 0; list && i < k; ++i) {
        PyObject* tick = new_tick(request.core, ticks[i]);
        if (tick == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tick);
      }
      return list;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    std::vector<Ref> lists;
    for (const venue::InstrumentLeg& leg : portfolio->legs) {
      lists.push_back(Ref::steal(PyList_New(0)));
      if (!lists.back() || PyDict_SetItem(dict.get(), leg.symbol.get(), lists.back().get()) < 0) {
        return Ref();
      }
    }
    for (std::size_t i = 0; i < k; ++i) {
      Ref tick = Ref::steal(new_tick(request.core, ticks[i]));
      const auto at = static_cast<std::size_t>(instruments[i] - 1);
      if (!tick || PyList_Append(lists[at].get(), tick.get()) < 0) return Ref();
    }
    return dict;
  };

  // Called by the check with the lock released: takes it for the build.
  auto build_step = [&](std::size_t k) -> EitherDriven {
    Locked lock(gil);
    Ref list = prefix(k);
    Ref object =
        list ? Ref::steal(python([&] { return PyObject_CallOneArg(build, list.get()); })) : Ref();
    if (object && is_compiled(request, object.get())) {
      CompiledParts compiled;
      if (compiled_parts(object.get(), 1, &compiled)) {
        return EitherDriven(CompiledDriven(gil, std::move(compiled), shared));
      }
    }
    AdapterParts parts;
    if (!object || PyErr_Occurred() || !adapter_parts(first, object.get(), 1, k, &parts) ||
        (portfolio && !portfolio_parts(request, *portfolio, &parts))) {
      PyDriven failed(gil, Ref::borrow(Py_None), std::string(),
                      AdapterParts{Cadence(request.core, 1), Feedback(), RunProgress(),
                                   RequestTypes{}, false, PortfolioView(), RunInstruments()},
                      shared);
      failed.record_current_exception("build raised: ");
      return EitherDriven(std::move(failed));
    }
    std::string name = strategy_name(object.get());
    return EitherDriven(
        PyDriven(gil, std::move(object), std::move(name), std::move(parts), shared));
  };

  backtest::LookaheadReport report;
  run_unlocked(gil, [&] {
    report = backtest::lookahead(config, build_step, ticks, max_points, instruments);
  });
  if (shared->interrupt) {
    shared->interrupt.restore();
    return false;
  }
  if (shared->message) {
    raise_message(PyExc_ValueError, "the strategy failed during the check: ", *shared->message);
    return false;
  }
  *out = Report::of(report);
  return true;
}

}  // namespace halvorn::py
