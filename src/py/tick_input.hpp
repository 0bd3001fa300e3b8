// A Python sequence of ticks, copied into the array a run reads.
//
// A series of millions of ticks is hundreds of megabytes written once, in
// order; backing it with huge pages where the system offers them turns
// hundreds of thousands of page faults into a few hundred.
//
// Thread-safety: an allocator is stateless; ticks_from runs with the
// interpreter lock held.

#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "engine/tick.hpp"
#include "py/module_state.hpp"

namespace halvorn::py {

// Allocates large arrays on 2 MiB boundaries and asks for huge pages;
// small ones come from operator new as usual.
template <class T>
struct LargeArrayAllocator {
  using value_type = T;

  LargeArrayAllocator() = default;
  template <class U>
  LargeArrayAllocator(const LargeArrayAllocator<U>&) {}

  T* allocate(std::size_t n);
  void deallocate(T* p, std::size_t n) noexcept;

  template <class U>
  friend bool operator==(const LargeArrayAllocator&, const LargeArrayAllocator<U>&) {
    return true;
  }
};

namespace detail {
void* allocate_large(std::size_t bytes);
void deallocate_large(void* p, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
T* LargeArrayAllocator<T>::allocate(std::size_t n) {
  if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
  return static_cast<T*>(detail::allocate_large(n * sizeof(T)));
}

template <class T>
void LargeArrayAllocator<T>::deallocate(T* p, std::size_t n) noexcept {
  detail::deallocate_large(p, n * sizeof(T));
}

using TickArray = std::vector<engine::Tick, LargeArrayAllocator<engine::Tick>>;

// Turns a ticks argument that is not a TickSource into an array, every
// element converted before anything else happens.  On failure returns false
// with the one TypeError every ticks argument gives ("ticks must be a
// sequence of Tick, or a TickSource; ..."), whatever the underlying fault;
// only KeyboardInterrupt, SystemExit and a panic pass through as they are.
// A TickSource itself is refused here: callers that stream test for one
// first.
bool ticks_from(ModuleState* state, PyObject* ticks, TickArray* out);

// The elements of `obj`, every one a Tick; false with a TypeError (or what
// iteration raised) set and `out` cleared.  ticks_from's step.
bool extract_ticks(ModuleState* state, PyObject* obj, TickArray* out);

}  // namespace halvorn::py
