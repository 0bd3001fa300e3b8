#include "types/order.hpp"

namespace halvorn {

const char* name_of(Side side) { return side == Side::Buy ? "buy" : "sell"; }
const char* name_of(Offset offset) { return offset == Offset::Open ? "open" : "close"; }
std::ostream& operator<<(std::ostream& os, Side side) { return os << name_of(side); }
std::ostream& operator<<(std::ostream& os, Offset offset) { return os << name_of(offset); }

const char* name_of(RejectReason reason) {
  switch (reason) {
    case RejectReason::NonPositiveQuantity:
      return "non_positive_quantity";
    case RejectReason::DuplicateId:
      return "duplicate_id";
    case RejectReason::NoBalance:
      return "no_balance";
    case RejectReason::NotExternal:
      return "not_external";
    case RejectReason::UnknownInstrument:
      return "unknown_instrument";
    case RejectReason::PostOnlyWouldTake:
      return "post_only_would_take";
    case RejectReason::ReduceOnlyFlat:
      return "reduce_only_flat";
    case RejectReason::ReduceOnlySameSide:
      return "reduce_only_same_side";
    case RejectReason::GroupEnded:
      return "group_ended";
    case RejectReason::NotionalTooLarge:
      return "notional_too_large";
  }
  return "unknown";
}

Working::FillResult Working::fill(Working order, QtyLots q) {
  if (q <= 0) return FillNonPositive{};
  QtyLots remaining = order.remaining();
  if (q > remaining) return FillOverfill{remaining, q};
  order.filled = add_checked(order.filled, q, "filled quantity overflows");
  if (order.filled == order.qty) return FillComplete{order};
  return FillPartial{order};
}

}  // namespace halvorn
