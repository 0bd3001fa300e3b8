// How far a run has got, told to a callable every so many ticks.
//
// `progress` is given as True (a bar on standard error) or a callable; the
// bar or the callable is called as progress(ticks_done, total) with the
// lock held, every INTERVAL ticks and once when the run ends.  Resolving
// the argument is the package's one progress helper (halvorn._progress), so
// that every function taking `progress` accepts the same things and refuses
// the rest with the same words.
//
// Thread-safety: used by one run at a time; report() with the lock held.

#pragma once

#include <cstddef>
#include <cstdint>

#include "py/pyref.hpp"

namespace halvorn::py {

class RunProgress {
 public:
  // Ticks between two reports.
  static constexpr std::uint64_t INTERVAL = std::uint64_t{1} << 18;

  // Reports nothing.
  RunProgress() = default;

  // What `progress` stands for in a run over `total` ticks, as
  // halvorn._progress.reporter reads it: nothing for None or False, a bar for
  // True, the callable itself.  False with its TypeError for anything else.
  // Requires: the lock is held.
  static bool of(PyObject* progress, std::uint64_t total, RunProgress* out);

  bool active() const { return static_cast<bool>(callable_); }
  bool due(std::uint64_t ticks_done) const { return active() && ticks_done >= next_; }
  // Calls the callable with (ticks_done, total); false with the exception
  // set when it raised.  Requires: the lock is held.
  bool report(std::uint64_t ticks_done);
  // Ends a bar; false with the exception set when closing it raised.
  // Requires: the lock is held.
  bool close();
  // Drops the references it holds.  Requires: the lock is held.
  void drop();

 private:
  Ref callable_;
  Ref total_;
  Ref bar_;  // what close() ends; empty for a callable of the caller's
  std::uint64_t next_ = INTERVAL;
};

}  // namespace halvorn::py
