// A map from order id to a small value, for the lookups by id that every
// submission, cancellation and fill makes.
//
// Open addressing with linear probing in a power-of-two table that is at
// most half full; an erase shifts the entries behind it back instead of
// leaving a tombstone, so probe sequences never lengthen with churn.  The
// table grows by doubling and never shrinks, so a map that has reached its
// high-water mark allocates nothing more.  Every slot carries the epoch in
// which it was written and only slots of the current epoch count: clear()
// starts a new epoch and costs the same however many entries there were.
//
// Thread-safety: a plain value, used by one thread at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "types/types.hpp"

namespace halvorn::engine {

// An IdMap holds at most one V per OrderId.
//
// Invariants: size_ counts the slots of the current epoch; the table is
// empty or a power of two at least twice size_; every entry can be reached
// from its home slot without crossing a slot of another epoch.
template <class V>
class IdMap {
 public:
  // The value for id, or nullptr.  Valid until the map changes.
  V* find(OrderId id) {
    const std::size_t at = locate(id);
    return at == NONE ? nullptr : &slots_[at].value;
  }
  const V* find(OrderId id) const {
    const std::size_t at = locate(id);
    return at == NONE ? nullptr : &slots_[at].value;
  }
  bool contains(OrderId id) const { return locate(id) != NONE; }

  // Sets the value for id, adding the id when it is new.  Returns the stored
  // value, valid until the map changes.
  V& put(OrderId id, V value) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = home(id);; at = (at + 1) & mask) {
      Slot& s = slots_[at];
      if (s.epoch != epoch_) {
        s = Slot{id, epoch_, std::move(value)};
        ++size_;
        return s.value;
      }
      if (s.id == id) {
        s.value = std::move(value);
        return s.value;
      }
    }
  }

  // Removes id; returns whether it was there.
  bool erase(OrderId id) {
    std::size_t hole = locate(id);
    if (hole == NONE) return false;
    // Move back every entry of the run behind the hole whose home does not
    // lie cyclically between the hole and itself, so that each stays
    // reachable from its home.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = (hole + 1) & mask; slots_[at].epoch == epoch_; at = (at + 1) & mask) {
      const std::size_t from_home = (at - home(slots_[at].id)) & mask;
      if (from_home >= ((at - hole) & mask)) {
        slots_[hole] = std::move(slots_[at]);
        hole = at;
      }
    }
    slots_[hole].epoch = STALE;
    --size_;
    return true;
  }

  // Removes every id without touching the table.
  void clear() {
    ++epoch_;
    size_ = 0;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  struct Slot {
    OrderId id = 0;
    std::uint64_t epoch = STALE;
    V value{};
  };

  static constexpr std::size_t NONE = static_cast<std::size_t>(-1);
  static constexpr std::uint64_t STALE = 0;  // an epoch no live slot has
  // Ids that count up, as they usually do, go to neighbouring slots BLOCK at
  // a time, so that a run of new orders touches few cache lines; the blocks
  // are scattered by Fibonacci hashing (the top bits of the block number x
  // 2^64 / phi), so ids with any stride still spread over the table.
  static constexpr int BLOCK_BITS = 4;
  static constexpr std::size_t FIRST_SIZE = std::size_t{1} << (BLOCK_BITS + 2);

  std::size_t home(OrderId id) const {
    const std::uint64_t block = ((id >> BLOCK_BITS) * 0x9E3779B97F4A7C15ull) >> shift_;
    return static_cast<std::size_t>(block << BLOCK_BITS | (id & ((1u << BLOCK_BITS) - 1)));
  }

  std::size_t locate(OrderId id) const {
    if (size_ == 0) return NONE;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = home(id);; at = (at + 1) & mask) {
      const Slot& s = slots_[at];
      if (s.epoch != epoch_) return NONE;
      if (s.id == id) return at;
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::uint64_t old_epoch = epoch_;
    const std::size_t n = old.empty() ? FIRST_SIZE : 2 * old.size();
    slots_.assign(n, Slot{});
    shift_ = 64 + BLOCK_BITS;
    for (std::size_t k = n; k > 1; k >>= 1) --shift_;
    epoch_ = 1;
    size_ = 0;
    for (Slot& s : old) {
      if (s.epoch == old_epoch) put(s.id, std::move(s.value));
    }
  }

  std::vector<Slot> slots_;
  std::uint64_t epoch_ = 1;
  std::size_t size_ = 0;
  int shift_ = 64;  // 64 - log2 of the number of blocks the table holds
};

// A set of order ids.
struct Present {};
using IdSet = IdMap<Present>;

}  // namespace halvorn::engine
