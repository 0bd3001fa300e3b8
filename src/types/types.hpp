// The root of the value types: order side and offset, and the fill record.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <ostream>

#include "types/fixed.hpp"
#include "types/ids.hpp"
#include "types/time.hpp"

namespace halvorn {

// The direction of an order or a fill.
enum class Side : std::uint8_t { Buy = 0, Sell = 1 };

// Whether an order opens or closes exposure.  Only hedge mode books by it.
enum class Offset : std::uint8_t { Open = 0, Close = 1 };

// +1 for Buy, -1 for Sell.
constexpr std::int64_t sign_of(Side side) { return side == Side::Buy ? 1 : -1; }

// The signed quantity of a side and a size: +q for a buy, -q for a sell.
// Overflow (a sell of the smallest 64-bit value) is an invariant failure.
inline QtyLots signed_qty(Side side, QtyLots q) {
  if (side == Side::Buy) return q;
  if (q == I64_MIN) panic("signed quantity overflows");
  return -q;
}

const char* name_of(Side side);
const char* name_of(Offset offset);
std::ostream& operator<<(std::ostream& os, Side side);
std::ostream& operator<<(std::ostream& os, Offset offset);

// A Fill reports one execution of an order.  An order filled in parts (an
// engine that fills by traded volume or displayed depth) has one fill per
// part; `remaining` is what the order still had working at the venue right
// after this part, so the last part, and every whole fill, carries 0.
// `fee` is what the account was charged for it when the kernel booked it, so
// whoever reports a fill reads the fee rather than working it out again; a
// matcher's fill, not yet booked, carries 0.
struct Fill {
  Nanos exch_ts = 0;
  Nanos local_ts = 0;
  OrderId order = 0;
  std::uint64_t seq = 0;   // sequence number within the matcher, from 1
  std::int64_t price = 0;  // ticks
  QtyLots qty = 0;         // executed quantity, positive
  InstrumentId instrument;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  bool taker = false;     // selects the taker fee rate
  QtyLots remaining = 0;  // lots of the order still working after this fill
  Cash fee = 0;           // charged on booking; negative for a rebate

  friend bool operator==(const Fill&, const Fill&) = default;
};

}  // namespace halvorn
