// The strategy adapter: drives a Python object as a Strategy.
//
// PyDriven decides when the Python object is called and with what, turns its
// answer into intents, and catches every failure on the Python side, because
// the run loop has no error path.  It owns one part per concern:
//   - Cadence: per tick, batched lists or columns, and what each call shows;
//   - Feedback: the hooks a venue strategy hears its fills and endings on;
//   - RunProgress: the progress report every so many ticks;
//   - Interruption: Ctrl-C let through while the engine works unlocked;
//   - StrategyFailure: what the strategy did wrong, raised after the run.
// The core module's protocol (orders only, no hooks, no columns, no
// progress) and halvorn.venue's differ only in which parts are switched on.
//
// Who holds the interpreter lock during a run is decided here and nowhere
// else.  The run loop runs without it; the adapter takes it for exactly one
// Python call and its conversions (once per tick per tick, once per complete
// batch in batches), every Interruption::TICK_INTERVAL ticks briefly to let a
// pending Ctrl-C through, and when a read of the tick file is interrupted by
// a signal.  It gives it up before a read of the tick file that may block.
// An exception that is not an ordinary Exception (KeyboardInterrupt,
// SystemExit, PanicException) is not a strategy failure: it halts the run
// and is re-raised unchanged afterwards.
//
// Between two per-tick calls the lock is given back only when some other
// thread could be waiting for it, that is when the process has a thread
// state besides this one (Gil::alone).  A thread must have one before it can
// ask for the lock, so when there is none, releasing and re-taking the lock
// around every tick would cost two handovers and let nothing else run.  The
// check walks every interpreter's thread states, a twentieth of what an
// empty per-tick call costs, so it is made every LOCK_CHECK_INTERVAL
// settlings of the lock (two a tick at most): a thread that appears, or one that is always there
// (as in a notebook), is let in within a few microseconds, far inside the interpreter's own switch
// interval.
//
// Thread-safety: one adapter is driven by one run at a time, on the thread
// that made it; the shared failure slot of a lookahead check has its own
// lock.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "backtest/run_loop.hpp"
#include "data/ticks.hpp"
#include "py/gil.hpp"
#include "py/interruption.hpp"
#include "py/module_state.hpp"
#include "py/portfolio_view.hpp"
#include "py/run_progress.hpp"
#include "py/strategy_cadence.hpp"
#include "py/strategy_failure.hpp"
#include "py/strategy_feedback.hpp"
#include "py/values.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py {

// Reads the strategy's name: a str attribute `name`, else the class name,
// else "python-strategy", whole (NUL characters included).  Errors while
// reading are discarded.  Requires: the lock is held.
std::string strategy_name(PyObject* object);

// The parts of one adapter, made before it with the lock held (looking a
// hook up runs Python code and may fail).
struct AdapterParts {
  Cadence cadence;
  Feedback feedback;
  RunProgress progress;
  RequestTypes requests;    // what the strategy may return besides orders
  bool flush = false;       // deliver the ticks after the last complete batch at the end
  PortfolioView portfolio;  // inactive for a run of one instrument
  // The run's instruments, for the context and for orders in units; empty
  // for the core module's protocol.
  RunInstruments instruments;
};

class PyDriven {
 public:
  // Requires: `gil` is held and outlives the adapter.
  PyDriven(Gil& gil, Ref strategy, std::string name, AdapterParts parts,
           std::shared_ptr<SharedFailure> shared = nullptr);
  PyDriven(PyDriven&&) noexcept = default;
  PyDriven& operator=(PyDriven&&) = delete;
  // Takes the lock if needed to drop its references.
  ~PyDriven();

  // The Strategy operations.
  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents);
  // A strategy called on every tick can be called over a run of ticks on
  // which no order fills or fires (backtest::QuietScanner): each call as
  // on_tick makes it, shown what on_tick would show, without the run
  // stepping the account through each tick.
  bool scans_quiet() const { return parts_.cadence.per_tick() && live(); }
  backtest::QuietScan scan_quiet(std::span<const engine::Tick> ticks, std::size_t in_place,
                                 const strategy::TickContext& view, std::span<const Cash> equities,
                                 std::vector<strategy::Intent>& intents);
  std::string_view name() const { return name_; }
  bool halted() const { return interruption_.halted(); }
  void on_run_end();
  // How many of the coming ticks the strategy would only collect, deciding
  // nothing: a run may hand them over at once (on_idle_ticks), in place.
  // 0: each tick through on_tick.
  std::size_t idle_ticks() const;
  // Those ticks, of which `in_place` more after them lie contiguous with
  // them in the source.
  void on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t in_place,
                     const std::int64_t* instruments = nullptr);
  // Feedback, kept for the strategy's hooks when it has them.
  void on_fills(std::span<const Fill> fills);
  void on_endings(std::span<const strategy::OrderEnding> endings);
  void on_venue_closed(std::span<const strategy::VenueClosed> closes);

  // Hooks for the reader of the run's tick file: the lock is given up before
  // a read that may block, and a signal that interrupts a read halts the run
  // when its handler raises.
  data::ReadHooks read_hooks() { return interruption_.read_hooks(); }

  // Tells the adapter how many ticks the series can hold at most (see
  // Cadence::limit_series).
  void limit_series(std::uint64_t max_ticks) {
    parts_.cadence.limit_series(max_ticks, parts_.flush);
  }

  // The symbol of the one instrument of the run, for orders that name it.
  void set_symbol(std::string symbol) { single_symbol_ = std::move(symbol); }

  // Records a failure by its text (the first one also in the shared slot).
  void fail(std::string message) { failure_.fail(std::move(message)); }
  // Records the current Python exception: an ordinary one as a failure whose
  // message starts with `prefix`, any other as the interrupt that halts the
  // run.  Requires: the lock is held, an exception is set.
  void record_current_exception(const char* prefix);

  const StrategyFailure& failure() const { return failure_; }
  // The tags the strategy gave its orders, by order id, in order; handed
  // over once.
  std::vector<std::pair<OrderId, std::string>> take_tags() { return std::move(tags_); }
  // The interrupt that halted the run; raise it with the lock held.
  PendingException& interrupt() { return interruption_.pending(); }
  // Closes the progress bar; false with the exception set when that raised.
  // Requires: the lock is held.
  bool close_progress() { return parts_.progress.close(); }

 private:
  // Whether the strategy will be called again.
  bool live() const {
    return !failure_ && !interruption_.halted() && !parts_.cadence.never_delivers();
  }
  bool listens() const { return live() && parts_.feedback.hears(); }
  // Counts ticks done: lets Ctrl-C through and reports progress when due.
  void count_ticks(std::size_t n);
  void take_orders(PyObject* result, const strategy::TickContext& context,
                   std::vector<strategy::Intent>& intents);
  // Counts the values given in units of every order in requests_ into
  // counted_, in order, by the instrument each is for.  False, having
  // recorded the failure, when one cannot be counted.
  template <class InstrumentOf>
  bool count_in_units(InstrumentOf&& instrument_of);
  // Delivers the feedback, then calls the strategy; records what failed.
  // Requires: the lock is held.
  void call(const strategy::TickContext& context, std::vector<strategy::Intent>& intents);
  // After Python ran: keeps the lock only while nothing else could want it.
  void settle_lock();
  static constexpr std::uint32_t LOCK_CHECK_INTERVAL = 32;

  Gil& gil_;
  std::string name_;
  Ref strategy_;
  AdapterParts parts_;
  Interruption interruption_;
  StrategyFailure failure_;
  std::uint64_t orders_made_ = 0;
  std::uint64_t ticks_seen_ = 0;
  std::uint32_t settles_ = 0;         // per tick: settlings of the lock since the last check
  Nanos at_time_ = 0;                 // the exchange time of the latest tick
  std::vector<Request> requests_;     // scratch, reused
  std::vector<OrderTicket> counted_;  // scratch: the orders given in units, counted
  std::vector<std::pair<OrderId, std::string>> tags_;
  strategy::TickContext last_context_;  // for a flushed batch
  // The symbol of a run of one instrument, which an order may name.
  std::optional<std::string> single_symbol_;
};

}  // namespace halvorn::py
