#include "engine/l0.hpp"

namespace halvorn::engine {

namespace {

Working make_order(OrderId id, Side side, OrderKind kind, QtyLots qty, Nanos exch_ts,
                   Nanos local_ts, Offset offset) {
  if (qty <= 0) panic("order quantity must be positive");
  Working w;
  w.status = OrderStatus::New;
  w.kind = kind;
  w.id = id;
  w.qty = qty;
  w.filled = 0;
  w.exch_ts = exch_ts;
  w.local_ts = local_ts;
  w.side = side;
  w.offset = offset;
  return w;
}

}  // namespace

Working limit_order(OrderId id, Side side, std::int64_t price, QtyLots qty, Nanos exch_ts,
                    Nanos local_ts, Offset offset) {
  return make_order(id, side, OrderKind::limit(price), qty, exch_ts, local_ts, offset);
}

Working market_order(OrderId id, Side side, QtyLots qty, Nanos exch_ts, Nanos local_ts,
                     Offset offset) {
  return make_order(id, side, OrderKind::market(), qty, exch_ts, local_ts, offset);
}

}  // namespace halvorn::engine
