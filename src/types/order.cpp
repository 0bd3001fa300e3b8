#include "types/order.hpp"

namespace halvorn {

const char* name_of(Side side) { return side == Side::Buy ? "buy" : "sell"; }
const char* name_of(Offset offset) { return offset == Offset::Open ? "open" : "close"; }
std::ostream& operator<<(std::ostream& os, Side side) { return os << name_of(side); }
std::ostream& operator<<(std::ostream& os, Offset offset) { return os << name_of(offset); }

Working::FillResult Working::fill(Working order, QtyLots q) {
  if (q <= 0) return FillNonPositive{};
  QtyLots remaining = order.remaining();
  if (q > remaining) return FillOverfill{remaining, q};
  order.filled = add_checked(order.filled, q, "filled quantity overflows");
  if (order.filled == order.qty) return FillComplete{order};
  return FillPartial{order};
}

}  // namespace halvorn
