#include "engine/trigger_book.hpp"

#include <algorithm>

namespace halvorn::engine {

void TriggerBook::insert(OrderId id, std::int64_t level, Fires fires) {
  Working key;
  key.kind = OrderKind::limit(level);
  key.id = id;
  key.qty = 1;
  key.side = side_of(fires);
  book_.insert(key);
  reach_ = fires == Fires::AtOrBelow ? Reach{std::max(reach_.below, level), reach_.above}
                                     : Reach{reach_.below, std::min(reach_.above, level)};
}

bool TriggerBook::take_reached(std::int64_t price,
                               std::vector<std::pair<std::uint64_t, OrderId>>& out) {
  const std::size_t before = out.size();
  for (const Fires fires : {Fires::AtOrBelow, Fires::AtOrAbove}) {
    while (const Resting* front = book_.front(lane_of(fires))) {
      if (!reaches(price, level_of(*front), fires)) break;
      out.emplace_back(front->entry_seq, front->id());
      book_.remove(front->id());
    }
  }
  if (out.size() == before) return false;
  reach_ = nearest_levels();
  return true;
}

}  // namespace halvorn::engine
