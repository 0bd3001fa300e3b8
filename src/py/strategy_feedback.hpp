// What a strategy run by halvorn.venue hears of its orders: its fills
// (on_fill), how each order ended (on_end: "filled", "canceled", "expired",
// or "rejected:" and the reason; and "triggered" for a conditional order
// that fired, whose end is still to come) and the venue's liquidations
// (on_liquidation), each called only when the object has the method.
//
// The run loop reports these as they happen, with the lock released; they
// are noted here and delivered in order with the lock held just before the
// strategy's next call, so a batched strategy hears of everything that
// happened during its batch before it decides again.  A strategy without
// hooks costs nothing: nothing is noted.
//
// Thread-safety: used by one run at a time; of() and deliver() with the
// lock held.

#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "core/account.hpp"
#include "py/pyref.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py {

namespace venue {
struct VenueState;
}

class Feedback {
 public:
  // Hears nothing: the core module's protocol.
  Feedback() = default;

  // The hooks `strategy` has, looked up once; fills are shown with the fee
  // the account was charged for them.  False with the exception set when
  // looking one up raised.  Requires: the lock is held.
  static bool of(const venue::VenueState* state, PyObject* strategy, Feedback* out);

  bool hears() const { return on_fill_ || on_end_ || on_liquidation_; }

  // Notes what the run reported, for the hooks the strategy has; the fills
  // were booked on the tick of index `tick`.
  void note_fills(std::span<const Fill> fills, std::uint64_t tick);
  void note_endings(std::span<const strategy::OrderEnding> endings);
  void note_closes(std::span<const strategy::VenueClosed> closes);
  bool pending() const { return !notes_.empty(); }
  // Forgets what was noted: a strategy that will never be called again
  // never hears it.
  void forget() { notes_.clear(); }

  // Calls the hooks with everything noted, in order, and forgets it.  False
  // with the exception set when one raised (the rest is forgotten).
  // Requires: the lock is held.
  bool deliver();

  // Drops the references it holds.  Requires: the lock is held.
  void drop();

 private:
  struct HeardFill {
    Fill fill;
    std::uint64_t tick = 0;
  };
  using Note = std::variant<HeardFill, strategy::OrderEnding, strategy::VenueClosed>;

  const venue::VenueState* state_ = nullptr;
  Ref on_fill_;  // bound methods; empty when absent
  Ref on_end_;
  Ref on_liquidation_;
  std::vector<Note> notes_;
};

}  // namespace halvorn::py
