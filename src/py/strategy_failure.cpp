#include "py/strategy_failure.hpp"

namespace halvorn::py {

void StrategyFailure::fail(std::string message) {
  if (message_) return;  // the first failure is the one to explain
  if (shared_) {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    if (!shared_->message) shared_->message = message;
  }
  message_ = std::move(message);
}

void StrategyFailure::record_current(std::string_view prefix, std::uint64_t tick, Nanos time) {
  PendingException raised = PendingException::fetch_normalized();
  if (message_) return;
  fail(std::string(prefix) + describe_exception(raised));
  // Kept whole, to be the cause of what the run raises: the strategy's own
  // traceback, and where in the series it was raised.
  cause_ = std::move(raised);
  where_ = "raised on tick " + std::to_string(tick) +
           " of the series (counting from 0), exchange time " + std::to_string(time) + " ns";
}

void StrategyFailure::raise(std::string_view prefix) const {
  raise_message(PyExc_ValueError, prefix, *message_);
  chain_to_current(cause_, where_);
}

}  // namespace halvorn::py
