#include "engine/trigger_book.hpp"

namespace halvorn::engine {

void TriggerBook::insert(OrderId id, std::int64_t level, Fires fires) {
  Working key;
  key.kind = OrderKind::limit(level);
  key.id = id;
  key.qty = 1;
  key.side = fires == Fires::AtOrBelow ? Side::Buy : Side::Sell;
  book_.insert(key);
}

bool TriggerBook::take_reached(std::int64_t price,
                               std::vector<std::pair<std::uint64_t, OrderId>>& out) {
  const std::size_t before = out.size();
  while (const Resting* front = book_.front(Lane::BuyLimits)) {
    if (!reaches(price, front->order.kind.price, Fires::AtOrBelow)) break;
    out.emplace_back(front->entry_seq, front->id());
    book_.remove(front->id());
  }
  while (const Resting* front = book_.front(Lane::SellLimits)) {
    if (!reaches(price, front->order.kind.price, Fires::AtOrAbove)) break;
    out.emplace_back(front->entry_seq, front->id());
    book_.remove(front->id());
  }
  return out.size() > before;
}

}  // namespace halvorn::engine
