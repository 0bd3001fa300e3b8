// The strategy adapter: drives a Python object as a Strategy.
//
// PyDriven decides when the Python object is called and with what, turns its
// answer into intents, and catches every failure on the Python side, because
// the run loop has no error path: a failure is recorded, the object is not
// called again, and the run function raises it after the run.
//
// Who holds the interpreter lock during a run is decided here and nowhere
// else.  The run loop runs without it; the adapter takes it for exactly one
// Python call and its conversions (once per tick in compatibility mode, once
// per complete batch in throughput mode), every SIGNAL_INTERVAL ticks
// briefly to let a pending Ctrl-C through, and when a read of the tick file
// is interrupted by a signal.  It gives it up before a read of the tick file
// that may block.  An exception that is not an ordinary Exception
// (KeyboardInterrupt, SystemExit, PanicException) is not a strategy failure:
// it halts the run and is re-raised unchanged afterwards.
//
// Between two per-tick calls the lock is given back only when some other
// thread could be waiting for it, that is when the process has a thread
// state besides this one (Gil::alone).  A thread must have one before it can
// ask for the lock, so when there is none, releasing and re-taking the lock
// around every tick would cost two handovers and let nothing else run.  The
// check is made on every tick, so a thread that appears is let in after at
// most one more.
//
// Thread-safety: one adapter is driven by one run at a time, on the thread
// that made it; the shared failure slot of a lookahead check has its own
// lock.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "data/ticks.hpp"
#include "py/gil.hpp"
#include "py/module_state.hpp"
#include "py/tick_batch.hpp"
#include "py/values.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py {

// A pending exception taken out of the interpreter to be raised later.
struct PendingException {
  Ref type, value, traceback;

  // Takes the current exception.  Requires: the lock is held, an exception is set.
  static PendingException fetch();
  // The same, normalised: an exception object with its traceback on it.
  static PendingException fetch_normalized();
  // Raises it again.  Requires: the lock is held.
  void restore();
  explicit operator bool() const { return static_cast<bool>(type); }
};

// The first failure of any run of one lookahead check, and the interrupt
// that stopped the check, if one did.
struct SharedFailure {
  std::mutex mutex;
  std::optional<std::string> message;
  PendingException interrupt;  // touched only with the interpreter lock held
};

// Reads the strategy's name: a str attribute `name`, else the class name,
// else "python-strategy", whole (NUL characters included).  Errors while
// reading are discarded.  Requires: the lock is held.
std::string strategy_name(PyObject* object);

// "QualifiedClassName: str(exc)" for an exception.  Requires: the lock is held.
std::string describe_exception(const PendingException& exception);

// Makes `cause` the __cause__ of the exception being raised and adds `note`
// to it (nothing for an empty cause or note).  Requires: the lock is held,
// an exception is set.
void chain_to_current(const PendingException& cause, const std::string& note);

// Raises `type` with the message `prefix` + `text`, whole.
void raise_message(PyObject* type, std::string_view prefix, std::string_view text);

// What a strategy run by halvorn.venue may do beyond the protocol of the
// main module's run functions: return cancellations beside its orders, hear
// of its fills, of how its orders ended and of the venue's liquidations
// (on_fill, on_end, on_liquidation, each called only when the object has
// it), and report progress.  The main module's run functions use none of it.
struct VenueProtocol {
  RequestTypes requests;
  Ref on_fill;  // bound methods looked up once; empty when absent
  Ref on_end;
  Ref on_liquidation;
  PyObject* str_filled = nullptr;  // the `how` of on_end, borrowed
  PyObject* str_canceled = nullptr;
  // Makes the object a hook receives; null with an exception set on failure.
  PyObject* (*fill_object)(const VenueProtocol& protocol, const Fill& fill) = nullptr;
  PyObject* (*closed_object)(const VenueProtocol& protocol,
                             const strategy::VenueClosed& closed) = nullptr;
  PyTypeObject* fill_type = nullptr;
  PyTypeObject* closed_type = nullptr;
  std::array<std::int64_t, 2> fee_rates{0, 0};  // maker, taker; for the fee of each fill
  std::int64_t contract_size = 0;
  Ref progress;  // called as progress(ticks_done, total or None); empty: none
  Ref total;     // an int, or None when the length of the series is unknown
  // Throughput mode through on_columns(batch) instead of on_batch(ticks).
  Ref on_columns;
  PyTypeObject* batch_type = nullptr;
  PyTypeObject* column_type = nullptr;
  // Deliver the ticks after the last complete batch when the run ends.
  bool flush = false;

  bool hears() const { return on_fill || on_end || on_liquidation; }
};

class PyDriven {
 public:
  // Ticks between checks for a pending Ctrl-C while no Python code runs.
  static constexpr std::size_t SIGNAL_INTERVAL = std::size_t{1} << 16;

  // Ticks between calls of a progress callable.
  static constexpr std::size_t PROGRESS_INTERVAL = std::size_t{1} << 18;

  // Requires: `gil` is held and outlives the adapter.  `batch` 1 is
  // compatibility mode.
  PyDriven(ModuleState* state, Gil& gil, Ref strategy, std::string name, std::size_t batch,
           std::shared_ptr<SharedFailure> shared = nullptr,
           std::shared_ptr<const VenueProtocol> venue = nullptr);
  PyDriven(PyDriven&&) noexcept = default;
  PyDriven& operator=(PyDriven&&) = delete;
  // Takes the lock if needed to drop the reference to the strategy.
  ~PyDriven();

  // The Strategy operations.
  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents);
  std::string_view name() const { return name_; }
  bool halted() const { return static_cast<bool>(interrupt_); }
  void on_run_end();
  // How many of the coming ticks the strategy would only collect, deciding
  // nothing: a run may hand them over at once (on_idle_ticks), in place.
  // 0: each tick through on_tick.
  std::size_t idle_ticks() const;
  // Those ticks, of which `in_place` more after them lie contiguous with
  // them in the source.
  void on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t in_place);
  // Feedback, kept for the strategy's hooks when it has them.
  void on_fills(std::span<const Fill> fills);
  void on_endings(std::span<const strategy::OrderEnding> endings);
  void on_venue_closed(std::span<const strategy::VenueClosed> closes);

  // Hooks for the reader of the run's tick file: the lock is given up before
  // a read that may block, and a signal that interrupts a read halts the run
  // when its handler raises.
  data::ReadHooks read_hooks();

  // Tells the adapter how many ticks the series can hold at most.  A batch
  // larger than that can never complete and is never delivered, so its ticks
  // need not be collected: a huge `batch` over a long file must not hold the
  // whole file in memory waiting for a call that cannot come.
  void limit_series(std::uint64_t max_ticks);

  // Records a failure (the first one also in the shared slot).
  void fail(std::string message);
  // Records the current Python exception: an ordinary one as a failure whose
  // message starts with `prefix`, any other as the interrupt that halts the run.
  // Requires: the lock is held, an exception is set.
  void record_current_exception(const char* prefix);

  const std::optional<std::string>& failure() const { return failure_; }
  // Raises ValueError(prefix + failure) with the strategy's own exception as
  // its cause and a note naming the tick it was raised on.  Requires: the
  // lock is held, failure() is set.
  void raise_failure(std::string_view prefix);
  // The interrupt that halted the run; raise it with the lock held.
  PendingException& interrupt() { return interrupt_; }

 private:
  // What the hooks are told, in the order the run loop reported it.
  using Note = std::variant<Fill, strategy::OrderEnding, strategy::VenueClosed>;

  // Each runs with the lock held; returns the returned object or null.
  Ref call_compat(const strategy::TickContext& context);
  Ref call_batch(const strategy::TickContext& context);
  // Calls the hooks with the notes kept since the last call; false when one
  // raised (the exception is set).
  bool deliver_notes();
  bool listens(Ref VenueProtocol::* hook) const;
  // Throughput mode: keeps one tick for the coming batch; true when the
  // batch is complete.
  bool collect(const engine::Tick& tick, const engine::Tick* record, std::size_t in_place);
  // Ticks kept for the coming batch.
  std::size_t held() const;
  Ref call_columns(const strategy::TickContext& context);
  // Writes the account values a batch call shows onto the strategy.
  bool write_account(const strategy::TickContext& context);
  // Counts ticks for the signal checks and the progress report.
  void count_ticks(std::size_t n);
  void report_progress();
  void take_orders(PyObject* result, const strategy::TickContext& context,
                   std::vector<strategy::Intent>& intents);
  // Runs the interpreter's signal handlers; true when one raised, which
  // halts the run.
  bool check_signals();
  // After a call: keeps the lock only while nothing else could want it.
  void settle_lock();

  ModuleState* state_;
  Gil& gil_;
  bool throughput_;
  std::size_t batch_;
  std::string name_;
  std::vector<engine::Tick> pending_;
  std::optional<std::string> failure_;
  PendingException cause_;  // the exception behind failure_, when Python raised one
  std::string where_;       // where in the series it was raised
  Nanos at_time_ = 0;       // the exchange time of the latest tick
  Ref strategy_;
  std::uint64_t orders_made_ = 0;
  std::shared_ptr<SharedFailure> shared_;
  PendingException interrupt_;
  std::vector<Request> requests_;  // scratch, reused
  std::shared_ptr<const VenueProtocol> venue_;
  std::vector<Note> notes_;
  // Columnar batches: gathered in place or by column (see BatchColumns).
  bool columnar_ = false;
  std::optional<backtest::BatchColumns> columns_;
  BatchHolder batch_holder_;
  strategy::TickContext last_context_;  // for a flushed batch
  std::size_t since_signal_check_ = 0;
  std::uint64_t ticks_seen_ = 0;
  std::uint64_t next_progress_ = 0;
  bool hears_ = false;
  bool never_delivers_ = false;
};

}  // namespace halvorn::py
