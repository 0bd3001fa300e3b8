#include "core/live.hpp"

namespace halvorn::core {

namespace {

// Below this many holes compacting is not worth a pass.
constexpr std::size_t FEW_HOLES = 16;

}  // namespace

void LiveOrders::insert(OrderId id) {
  index_.put(id, slots_.size());
  slots_.push_back(Slot{id, true});
}

bool LiveOrders::erase(OrderId id) {
  const std::size_t* at = index_.find(id);
  if (at == nullptr) return false;
  slots_[*at].filled = false;
  index_.erase(id);
  ++holes_;
  // Holes at the end cost nothing to drop, and a tail that fills and
  // empties again (an order submitted and filled each tick) never needs a
  // compaction.
  while (!slots_.empty() && !slots_.back().filled) {
    slots_.pop_back();
    --holes_;
  }
  if (holes_ > FEW_HOLES && 2 * holes_ > slots_.size()) compact();
  return true;
}

void LiveOrders::clear() {
  slots_.clear();
  index_.clear();
  holes_ = 0;
}

void LiveOrders::compact() {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!slots_[i].filled) continue;
    if (kept != i) {
      slots_[kept] = slots_[i];
      index_.put(slots_[kept].id, kept);
    }
    ++kept;
  }
  slots_.resize(kept);
  holes_ = 0;
}

}  // namespace halvorn::core
