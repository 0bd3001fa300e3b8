// The strategy adapter: drives a Python object as a Strategy.
//
// PyDriven decides when the Python object is called and with what, turns its
// answer into intents, and catches every failure on the Python side, because
// the run loop has no error path: a failure is recorded, the object is not
// called again, and the run function raises it after the run.
//
// The run loop runs without the interpreter lock.  The adapter takes it for
// exactly one Python call and its conversions (once per tick in compatibility
// mode, once per complete batch in throughput mode) and, every SIGNAL_INTERVAL
// ticks, briefly to let a pending Ctrl-C through.  An exception that is not an
// ordinary Exception (KeyboardInterrupt, SystemExit, PanicException) is not a
// strategy failure: it halts the run and is re-raised unchanged afterwards.
//
// Between two per-tick calls the lock is given back only when some other
// thread could be waiting for it, that is when the interpreter has a thread
// state besides this one.  A thread must have one before it can ask for the
// lock, so when there is none, releasing and re-taking the lock around every
// tick would cost two handovers and let nothing else run.  The check is made
// on every tick, so a thread that appears is let in after at most one more.
//
// Thread-safety: one adapter is driven by one run at a time; the shared
// failure slot of a lookahead check has its own lock.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py/pyref.hpp"
#include "py/state.hpp"
#include "py/tier.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py {

// A pending exception taken out of the interpreter to be raised later.
struct PendingException {
  Ref type, value, traceback;

  // Takes the current exception.  Requires: the lock is held, an exception is set.
  static PendingException fetch();
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
// else "python-strategy".  Errors while reading are discarded.
// Requires: the lock is held.
std::string strategy_name(PyObject* object);

// "ClassName: str(exc)" for the current exception, which it clears.
// Requires: the lock is held, an exception is set.
std::string describe_current_exception();

class PyDriven {
 public:
  // Ticks between checks for a pending Ctrl-C while no Python code runs.
  static constexpr std::size_t SIGNAL_INTERVAL = std::size_t{1} << 16;

  // Requires: the lock is held.  `batch` 1 is compatibility mode.
  PyDriven(ModuleState* state, Ref strategy, std::string name, std::size_t batch,
           std::shared_ptr<SharedFailure> shared = nullptr);
  PyDriven(PyDriven&&) noexcept = default;
  PyDriven& operator=(PyDriven&&) = delete;
  // Takes the lock if needed to drop the reference to the strategy.
  ~PyDriven();

  // The Strategy operations.
  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents);
  std::string_view name() const { return name_; }
  bool halted() const { return static_cast<bool>(interrupt_); }
  void on_run_end() { release_lock(); }

  // Gives the interpreter lock back if the adapter still holds it.
  void release_lock();

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
  // The interrupt that halted the run; raise it with the lock held.
  PendingException& interrupt() { return interrupt_; }

 private:
  // Each runs with the lock held; returns the returned object or null.
  Ref call_compat(const strategy::TickContext& context);
  Ref call_batch(const strategy::TickContext& context);
  void take_orders(PyObject* result, const strategy::TickContext& context,
                   std::vector<strategy::Intent>& intents);
  void check_signals();
  // Takes the lock unless already held; after a call, keeps it only while
  // nothing else could want it.
  void take_lock();
  void settle_lock();
  bool alone() const;

  ModuleState* state_;
  // The calling thread's state: the run goes on on the thread that made the
  // adapter, so taking the lock back is one call, with no lookup of whose
  // thread this is.
  PyThreadState* thread_;
  bool throughput_;
  std::size_t batch_;
  std::string name_;
  std::vector<engine::Tick> pending_;
  std::optional<std::string> failure_;
  Ref strategy_;
  std::uint64_t orders_made_ = 0;
  std::shared_ptr<SharedFailure> shared_;
  PendingException interrupt_;
  std::vector<OrderRequest> orders_;  // scratch, reused
  std::size_t since_signal_check_ = 0;
  bool never_delivers_ = false;
  bool holds_lock_ = false;
};

// Releases the interpreter lock for its lifetime.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Holds the interpreter lock for its lifetime, whether or not the calling
// thread held it before.
class Locked {
 public:
  Locked() : state_(PyGILState_Ensure()) {}
  ~Locked() { PyGILState_Release(state_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace halvorn::py
