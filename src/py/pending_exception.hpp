// Exceptions taken out of the interpreter to be raised later, and the texts
// the binding makes of them.
//
// A run keeps what Python raised while the engine goes on without the lock
// (a strategy's error, a Ctrl-C, a progress callable's error) and raises it
// when the run is over: PendingException holds it meanwhile, its traceback
// and all.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <string>
#include <string_view>

#include "py/pyref.hpp"

namespace halvorn::py {

struct PendingException {
  Ref type, value, traceback;

  // Takes the current exception.  Requires: an exception is set.
  static PendingException fetch();
  // The same, normalised: an exception object with its traceback on it.
  static PendingException fetch_normalized();
  // Raises it again; it is empty afterwards.
  void restore();
  explicit operator bool() const { return static_cast<bool>(type); }
};

// "QualifiedClassName: str(exc)", or "QualifiedClassName: <exception str()
// failed>" when str() raises (that error is discarded).
std::string describe_exception(const PendingException& exception);

// Raises `type` with the message `prefix` + `text`, whole.
void raise_message(PyObject* type, std::string_view prefix, std::string_view text);

// Makes `cause` the __cause__ of the exception being raised and adds `note`
// to it (nothing for an empty cause or note).  Requires: an exception is set.
void chain_to_current(const PendingException& cause, const std::string& note);

}  // namespace halvorn::py
