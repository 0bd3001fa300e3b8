// Letting Ctrl-C through while work runs without the interpreter lock.
//
// The interpreter runs its signal handlers only for a thread that holds the
// lock and asks.  Whatever works unlocked for long -- a run, a conversion, a
// read that may block on a pipe -- asks here, and this is the one place that
// does: Interruption takes the lock, runs the handlers, and keeps what one
// raised (KeyboardInterrupt) as the pending interrupt, which halts the work
// and is raised, unchanged, once it has stopped.  A read that a signal
// interrupts asks at once; counted work asks every `interval` units.
//
// Thread-safety: used by the thread that owns the Gil.

#pragma once

#include <cstddef>

#include "data/ticks.hpp"
#include "py/gil.hpp"
#include "py/pending_exception.hpp"

namespace halvorn::py {

// Runs the interpreter's signal handlers.  True when one raised; its
// exception is then moved into `*raised` unless that already holds one (it
// is cleared either way).  Requires: the lock is held.
bool signal_handler_raised(PendingException* raised);

class Interruption {
 public:
  // Units of counted work between two asks: ticks of a run.
  static constexpr std::size_t TICK_INTERVAL = std::size_t{1} << 16;

  // Requires: `gil` outlives this.
  explicit Interruption(Gil& gil, std::size_t interval = TICK_INTERVAL)
      : gil_(gil), interval_(interval) {}

  // Counts `n` units of work and asks when the interval has passed; true
  // when the work is halted.  After asking the lock is held.
  bool count(std::size_t n) {
    since_ += n;
    return since_ >= interval_ ? ask() : halted();
  }
  // Takes the lock and runs the handlers; true when the work is halted.
  // The lock is held afterwards.
  bool ask();

  // Hooks for a reader running unlocked: the lock is given up before a read
  // that may block, and a read a signal interrupts asks; a read asked to
  // stop leaves the lock held.
  data::ReadHooks read_hooks();

  bool halted() const { return static_cast<bool>(pending_); }
  // The interrupt that halted the work; raise it with the lock held.
  PendingException& pending() { return pending_; }

 private:
  Gil& gil_;
  std::size_t interval_;
  std::size_t since_ = 0;
  PendingException pending_;
};

}  // namespace halvorn::py
