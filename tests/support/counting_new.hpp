// A global operator new that counts, for the tests and benchmarks that show a
// path allocates nothing once warm.
//
// Include it in exactly one source file of an executable of its own: it
// replaces the program's allocation functions.

#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace halvorn::testing {

// Allocations made through operator new since the program started.
inline std::size_t allocations = 0;

}  // namespace halvorn::testing

void* operator new(std::size_t n) {
  ++halvorn::testing::allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
