// The kernel's live orders: the ids it accepted and has not yet seen finish,
// in the order it accepted them.
//
// Every submission asks whether its id is live, every fill and cancel takes
// an id out, and the run loop asks after every step which of the step's
// orders are still live; a strategy may keep a great many orders live, so
// none of that may walk the list.  The ids sit in a vector in acceptance
// order, where a removed id leaves a hole, beside an index from id to
// position.  The vector is compacted in place once holes make up more than
// half of it, which keeps removal amortised constant and the vector within
// twice the live count, so a warm list allocates nothing.  Iteration skips
// the holes and yields the ids in acceptance order, which is the order a
// cancel-everything request cancels them in.
//
// Thread-safety: owned by one kernel and used by one thread at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "engine/id_map.hpp"
#include "types/types.hpp"

namespace halvorn::core {

// A LiveOrders is a set of order ids that remembers their insertion order.
//
// Invariants: index_ maps each live id to its slot in slots_, and exactly the
// slots it maps to are filled; holes_ counts the other slots.
class LiveOrders {
  struct Slot {
    OrderId id = 0;
    bool filled = false;
  };

 public:
  // A forward iterator over the live ids in insertion order.  Invalidated by
  // any change to the set.
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = OrderId;
    using difference_type = std::ptrdiff_t;
    using pointer = const OrderId*;
    using reference = const OrderId&;

    const_iterator() = default;
    reference operator*() const { return at_->id; }
    pointer operator->() const { return &at_->id; }
    const_iterator& operator++() {
      ++at_;
      skip();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const const_iterator&, const const_iterator&) = default;

   private:
    friend class LiveOrders;
    const_iterator(const Slot* at, const Slot* end) : at_(at), end_(end) { skip(); }
    void skip() {
      while (at_ != end_ && !at_->filled) ++at_;
    }
    const Slot* at_ = nullptr;
    const Slot* end_ = nullptr;
  };

  bool contains(OrderId id) const { return index_.contains(id); }
  std::size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }

  // Appends id.
  // Requires: id is not live (the kernel refuses a duplicate first).
  void insert(OrderId id);

  // Takes id out; returns whether it was live.
  bool erase(OrderId id);

  // Empties the set, keeping its storage.
  void clear();

  const_iterator begin() const {
    return const_iterator(slots_.data(), slots_.data() + slots_.size());
  }
  const_iterator end() const {
    return const_iterator(slots_.data() + slots_.size(), slots_.data() + slots_.size());
  }

 private:
  void compact();

  std::vector<Slot> slots_;
  engine::IdMap<std::size_t> index_;
  std::size_t holes_ = 0;
};

}  // namespace halvorn::core
