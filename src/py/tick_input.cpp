#include "py/tick_input.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <utility>

#include "py/argument_conversion.hpp"
#include "py/sequence_extraction.hpp"
#include "py/values.hpp"

namespace halvorn::py {

namespace detail {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// Below this, huge pages would waste more than they save.
constexpr std::size_t LARGE = std::size_t{8} << 20;
// The largest array kept for the next run rather than returned to the system.
constexpr std::size_t KEPT_MAX = std::size_t{256} << 20;

std::size_t rounded(std::size_t bytes) { return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

// One array kept from the last run.  Runs over the same series come in
// groups (compare_modes, a lookahead check, a parameter sweep); reusing the
// pages spares the system zeroing them again.  Guarded by its own lock: an
// array is usually freed with the interpreter lock held, but not when its
// thread is being torn down at interpreter exit.
struct Kept {
  std::mutex mutex;
  void* p = nullptr;
  std::size_t bytes = 0;
} kept;

}  // namespace

void* allocate_large(std::size_t bytes) {
  if (bytes < LARGE) return ::operator new(bytes);
  const std::size_t size = rounded(bytes);
  {
    std::lock_guard<std::mutex> guard(kept.mutex);
    if (kept.p != nullptr && kept.bytes == size) return std::exchange(kept.p, nullptr);
  }
  void* p = std::aligned_alloc(HUGE_PAGE, size);
  if (p == nullptr) throw std::bad_alloc();
  // Only advice: where huge pages are unavailable the array works as before.
  (void)madvise(p, size, MADV_HUGEPAGE);
  return p;
}

void deallocate_large(void* p, std::size_t bytes) noexcept {
  if (bytes < LARGE) {
    ::operator delete(p);
    return;
  }
  const std::size_t size = rounded(bytes);
  if (size <= KEPT_MAX) {
    void* dropped;
    {
      std::lock_guard<std::mutex> guard(kept.mutex);
      dropped = std::exchange(kept.p, p);
      kept.bytes = size;
    }
    std::free(dropped);
    return;
  }
  std::free(p);
}

}  // namespace detail

namespace {

const char ticks_from_message[] =
    "ticks must be a sequence of Tick, or a TickSource; build them with halvorn.Tick(...), or "
    "read a file with load_ticks() \u2014 which is the one to use when the series is larger than "
    "memory";

}  // namespace

bool extract_ticks(ModuleState* state, PyObject* obj, TickArray* out) {
  return extract_sequence(obj, "Tick", out, [&](PyObject* item) {
    if (!Py_IS_TYPE(item, state->tick_type)) return false;
    out->push_back(tick_of(item));
    return true;
  });
}

bool ticks_from(ModuleState* state, PyObject* ticks, TickArray* out) {
  if (extract_ticks(state, ticks, out)) return true;
  // KeyboardInterrupt, SystemExit and an engine panic are not about the
  // argument's shape; they go on as they are.
  if (!current_error_is_ordinary()) return false;
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, ticks_from_message);
  return false;
}

}  // namespace halvorn::py
