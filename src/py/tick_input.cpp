#include "py/tick_array.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <utility>

namespace halvorn::py::detail {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// Below this, huge pages would waste more than they save.
constexpr std::size_t LARGE = std::size_t{8} << 20;
// The largest array kept for the next run rather than returned to the system.
constexpr std::size_t KEPT_MAX = std::size_t{256} << 20;

std::size_t rounded(std::size_t bytes) { return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

// One array kept from the last run.  Runs over the same series come in
// groups (compare_modes, a lookahead check, a parameter sweep); reusing the
// pages spares the system zeroing them again.  Touched only with the
// interpreter lock held, which every allocation of a TickArray is.
struct Kept {
  void* p = nullptr;
  std::size_t bytes = 0;
} kept;

}  // namespace

void* allocate_large(std::size_t bytes) {
  if (bytes < LARGE) return ::operator new(bytes);
  const std::size_t size = rounded(bytes);
  if (kept.p != nullptr && kept.bytes == size) return std::exchange(kept.p, nullptr);
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
    std::free(kept.p);
    kept = {p, size};
    return;
  }
  std::free(p);
}

}  // namespace halvorn::py::detail
