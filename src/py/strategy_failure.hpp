// What a strategy did wrong, kept until the run is over.
//
// The run loop has no error path: when the strategy (or anything it is
// called through: a hook, a progress callable, the build of a lookahead
// rerun) fails, the failure is recorded here, the strategy is not called
// again, and the run function raises it after the run as a ValueError whose
// text is fixed, with the strategy's own exception as its cause and a note
// naming the tick it was raised on.
//
// The first failure of any run of one lookahead check also goes into a slot
// the check's runs share, under its own lock.
//
// Thread-safety: a StrategyFailure belongs to one run; the shared slot has
// its own lock for the message, and its interrupt is touched only with the
// interpreter lock held.

#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "py/pending_exception.hpp"
#include "types/time.hpp"

namespace halvorn::py {

// The first failure of any run of one lookahead check, and the interrupt
// that stopped the check, if one did.
struct SharedFailure {
  std::mutex mutex;
  std::optional<std::string> message;
  PendingException interrupt;  // touched only with the interpreter lock held
};

class StrategyFailure {
 public:
  explicit StrategyFailure(std::shared_ptr<SharedFailure> shared = nullptr)
      : shared_(std::move(shared)) {}

  // Records a failure by its text (the first also in the shared slot).
  void fail(std::string message);
  // Records the current exception, which must be an ordinary one: its text,
  // after `prefix`, and the exception itself as the cause, raised on the tick
  // with index `tick` (from 0) and exchange time `time`.  Requires: the lock
  // is held, an exception is set.
  void record_current(std::string_view prefix, std::uint64_t tick, Nanos time);

  explicit operator bool() const { return static_cast<bool>(message_); }
  const std::optional<std::string>& message() const { return message_; }
  SharedFailure* shared() const { return shared_.get(); }

  // Raises ValueError(prefix + message) with the cause and the note.
  // Requires: the lock is held, a failure is recorded.
  void raise(std::string_view prefix) const;
  // Drops the cause.  Requires: the lock is held.
  void drop_cause() { cause_ = PendingException{}; }
  bool holds_objects() const { return static_cast<bool>(cause_); }

 private:
  std::optional<std::string> message_;
  PendingException cause_;  // the exception behind message_, when Python raised one
  std::string where_;       // where in the series it was raised
  std::shared_ptr<SharedFailure> shared_;
};

}  // namespace halvorn::py
