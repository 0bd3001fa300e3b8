#include "py/strategy_feedback.hpp"

#include "core/account.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/venue/order_classes.hpp"
#include "py/venue/records.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py {

bool Feedback::of(const venue::VenueState* st, PyObject* strategy, Feedback* out) {
  *out = Feedback();
  out->state_ = st;
  return optional_attribute(strategy, st->str_on_fill, &out->on_fill_) &&
         optional_attribute(strategy, st->str_on_end, &out->on_end_) &&
         optional_attribute(strategy, st->str_on_liquidation, &out->on_liquidation_);
}

void Feedback::note_fills(std::span<const Fill> fills, std::uint64_t tick) {
  if (!on_fill_) return;
  for (const Fill& fill : fills) notes_.emplace_back(HeardFill{fill, tick});
}

void Feedback::note_endings(std::span<const strategy::OrderEnding> endings) {
  if (!on_end_) return;
  for (const strategy::OrderEnding& ending : endings) notes_.emplace_back(ending);
}

void Feedback::note_closes(std::span<const strategy::VenueClosed> closes) {
  if (!on_liquidation_) return;
  for (const strategy::VenueClosed& closed : closes) notes_.emplace_back(closed);
}

bool Feedback::deliver() {
  for (const Note& note : notes_) {
    Ref answer;
    if (const auto* heard = std::get_if<HeardFill>(&note)) {
      const backtest::Booking booking{heard->tick, backtest::FillEffect::Open};
      Ref arg = Ref::steal(box(state_->fill_type, venue::fill_item(heard->fill, booking)));
      if (arg) {
        answer = Ref::steal(python([&] { return PyObject_CallOneArg(on_fill_.get(), arg.get()); }));
      }
    } else if (const auto* ending = std::get_if<strategy::OrderEnding>(&note)) {
      Ref id = Ref::steal(PyLong_FromUnsignedLongLong(ending->first));
      Ref how = Ref::steal(venue::ending_text(state_, ending->second));
      if (id && how) {
        PyObject* args[] = {id.get(), how.get()};
        answer = Ref::steal(
            python([&] { return PyObject_Vectorcall(on_end_.get(), args, 2, nullptr); }));
      }
    } else {
      Ref arg = Ref::steal(box(state_->closed_type, std::get<strategy::VenueClosed>(note)));
      if (arg) {
        answer = Ref::steal(
            python([&] { return PyObject_CallOneArg(on_liquidation_.get(), arg.get()); }));
      }
    }
    if (!answer) {
      notes_.clear();
      return false;
    }
  }
  notes_.clear();
  return true;
}

void Feedback::drop() {
  on_fill_ = Ref();
  on_end_ = Ref();
  on_liquidation_ = Ref();
}

}  // namespace halvorn::py
