// Invariant failures.
//
// A Panic reports a state that correct input cannot reach: a counter or a
// quantity that overflowed, a fill for an instrument the account does not
// hold, an empty tier table.  It is the one exception type of the engine; the
// Python boundary turns it into PanicException.  Refusals and data errors are
// values, never Panics.
//
// Thread-safety: free functions, no shared state.

#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace halvorn {

// A Panic carries the fixed message of the invariant that failed.
struct Panic : std::exception {
  explicit Panic(std::string msg) : message(std::move(msg)) {}
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};

// Throws Panic(message).  Out of line so that the hot paths that check an
// invariant stay small.
[[noreturn]] void panic(std::string_view message);

}  // namespace halvorn
