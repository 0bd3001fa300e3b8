#include "engine/book.hpp"

#include <algorithm>

namespace halvorn::engine {

void Book::insert(const Working& order) {
  Resting resting{order, next_seq};
  next_seq = next_counter(next_seq, "book entry number overflows");
  if (order.kind.is_market()) {
    (order.side == Side::Buy ? buy_markets : sell_markets).push_back(resting);
    return;
  }
  const std::int64_t p = order.kind.price;
  if (order.side == Side::Buy) {
    // After every buy priced p or higher.
    auto at = std::partition_point(buy_limits.begin(), buy_limits.end(),
                                   [p](const Resting& r) { return r.order.kind.price >= p; });
    buy_limits.insert(at, resting);
  } else {
    // After every sell priced p or lower.
    auto at = std::partition_point(sell_limits.begin(), sell_limits.end(),
                                   [p](const Resting& r) { return r.order.kind.price <= p; });
    sell_limits.insert(at, resting);
  }
}

std::optional<Book::Slot> Book::locate(OrderId id) {
  for (std::vector<Resting>* array : {&buy_limits, &sell_limits, &buy_markets, &sell_markets}) {
    for (std::size_t i = 0; i < array->size(); ++i) {
      if ((*array)[i].id() == id) return Slot{array, i};
    }
  }
  return std::nullopt;
}

std::optional<Working> Book::remove(OrderId id) {
  std::optional<Slot> slot = locate(id);
  if (!slot) return std::nullopt;
  Working removed = (*slot->array)[slot->index].order;
  slot->array->erase(slot->array->begin() + static_cast<std::ptrdiff_t>(slot->index));
  return removed;
}

void Book::replace(OrderId id, const std::optional<Working>& replacement) {
  std::optional<Slot> slot = locate(id);
  if (!slot) return;
  if (replacement) {
    (*slot->array)[slot->index].order = *replacement;
  } else {
    slot->array->erase(slot->array->begin() + static_cast<std::ptrdiff_t>(slot->index));
  }
}

const Resting* Book::find(OrderId id) const {
  for (const std::vector<Resting>* array :
       {&buy_limits, &sell_limits, &buy_markets, &sell_markets}) {
    for (const Resting& r : *array) {
      if (r.id() == id) return &r;
    }
  }
  return nullptr;
}

std::size_t Book::clear() {
  std::size_t n = size();
  buy_limits.clear();
  sell_limits.clear();
  buy_markets.clear();
  sell_markets.clear();
  return n;
}

}  // namespace halvorn::engine
