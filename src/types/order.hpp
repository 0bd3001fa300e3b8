// Working orders: what rests at the simulated venue until it fills or is
// cancelled, and how a fill advances it.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <variant>

#include "types/order_terms.hpp"
#include "types/types.hpp"

namespace halvorn {

// Limit with its price, or Market.
struct OrderKind {
  enum class Tag : std::uint8_t { Limit = 0, Market = 1 };

  Tag tag = Tag::Market;
  std::int64_t price = 0;  // ticks; meaningful for Limit only

  static constexpr OrderKind limit(std::int64_t price) { return {Tag::Limit, price}; }
  static constexpr OrderKind market() { return {Tag::Market, 0}; }
  constexpr bool is_limit() const { return tag == Tag::Limit; }
  constexpr bool is_market() const { return tag == Tag::Market; }

  friend constexpr bool operator==(const OrderKind& a, const OrderKind& b) {
    return a.tag == b.tag && (a.tag == Tag::Market || a.price == b.price);
  }
};

enum class OrderStatus : std::uint64_t { New = 0, PartiallyFilled = 1 };

struct Working;

// The four outcomes of Working::fill.
struct FillPartial;
struct FillComplete;
struct FillNonPositive {};
struct FillOverfill {
  QtyLots remaining = 0;
  QtyLots requested = 0;
};

// A Working order has been accepted by the venue and has not yet finished.
//
// Invariants: qty > 0, 0 <= filled <= qty.
struct Working {
  OrderStatus status = OrderStatus::New;
  OrderKind kind;
  OrderId id = 0;
  QtyLots qty = 0;
  QtyLots filled = 0;
  Nanos exch_ts = 0;
  Nanos local_ts = 0;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  TimeInForce tif = TimeInForce::GoodTillCancel;
  bool post_only = false;    // refused when marketable on arrival
  bool reduce_only = false;  // the account books no more of it than reduces its position

  // Whether the order works only on its first tick in the book.
  bool immediate() const { return tif != TimeInForce::GoodTillCancel; }

  // qty - filled; overflow (a broken invariant) is a Panic.
  QtyLots remaining() const { return sub_checked(qty, filled, "remaining quantity overflows"); }

  using FillResult = std::variant<FillPartial, FillComplete, FillNonPositive, FillOverfill>;

  // Applies a fill of q lots.  Partial carries the order still open,
  // Complete the finished order; NonPositive and Overfill leave the order as
  // it was (the caller ignores the fill).
  static FillResult fill(Working order, QtyLots q);

  friend bool operator==(const Working&, const Working&) = default;
};

struct FillPartial {
  Working order;
};
struct FillComplete {
  Working order;
};

}  // namespace halvorn
