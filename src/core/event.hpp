// What the account kernel takes in (Event) and what one step gives back
// (Output), with the reasons it refuses a request.
//
// Both are closed tagged unions of plain records, in a fixed alternative
// order.  An event that names no instrument is meant for the account's only
// holding.
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <optional>
#include <variant>

#include "book/depth_records.hpp"
#include "engine/tick.hpp"
#include "margin/funding.hpp"
#include "types/order_terms.hpp"
#include "types/types.hpp"

namespace halvorn::core {

namespace event {

// A market observation: runs the holding's matcher and books its fills.
struct Tick {
  engine::Tick tick;
  std::optional<InstrumentId> instrument;
};

// An order from the strategy: a limit order when price is present, a market
// order otherwise.  exch_ts and local_ts are those of the observation the
// decision was taken on.  terms say how long it works, what it may do to the
// position, the condition that sends it and its group; a close-position
// order's qty is 0, the position deciding its size.
struct Submit {
  OrderId id = 0;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  QtyLots qty = 0;
  Nanos exch_ts = 0;
  Nanos local_ts = 0;
  std::optional<InstrumentId> instrument;
  std::optional<std::int64_t> price;
  OrderTerms terms;
};

// A cancellation, sent at local time local_ts: with a cancel latency it
// reaches the venue that much later, and the order works until then.
struct Cancel {
  OrderId id = 0;
  Nanos local_ts = 0;
};

// A scheduled funding settlement, measured at the rate's price.
struct Funding {
  margin::FundingRate rate;
  std::optional<InstrumentId> instrument;
};

// The venue's mark price of an instrument: from the first one on, it values
// the holding and tests maintenance in place of the last trade, and prices
// a funding settlement that comes without a price of its own.
struct Mark {
  Nanos time = 0;
  std::int64_t price = 0;  // ticks
  std::optional<InstrumentId> instrument;
};

// Funding the venue reports as already paid.
struct FundingPaid {
  Nanos time = 0;
  Cash amount = 0;
  std::optional<InstrumentId> instrument;
};

// A fee statement.  incomplete says the fee total is known to lack something.
struct Fee {
  Nanos time = 0;
  Cash amount = 0;
  bool incomplete = false;
};

struct Clock {
  Nanos time = 0;
};

// Cash moved into (positive) or out of the account.
struct Transfer {
  Cash amount = 0;
  Nanos time = 0;
};

// How the fee of an external fill is known.
namespace fee {
struct Reported {
  Cash amount = 0;
};
struct Unknown {};
// Charged at the account's own rates, as for a fill of its matchers.
struct Computed {};
}  // namespace fee
using ExternalFee = std::variant<fee::Reported, fee::Unknown, fee::Computed>;

// A fill reported from outside instead of by the matchers.
struct ExternalFill {
  Fill fill;
  ExternalFee fee;
};

// A market depth update, for a matcher that keeps depth.
struct Depth {
  book::DepthUpdate update;
  std::optional<InstrumentId> instrument;
};

// A full depth snapshot, from which a matcher that keeps depth starts its
// book again; the way back into sync after the depth stream broke.
struct Snapshot {
  book::DepthSnapshot snapshot;
  std::optional<InstrumentId> instrument;
};

}  // namespace event

using Event = std::variant<event::Tick, event::Submit, event::Cancel, event::Funding,
                           event::FundingPaid, event::Fee, event::Clock, event::Transfer,
                           event::ExternalFill, event::Depth, event::Snapshot, event::Mark>;

// Why the kernel refused a request (types/order_terms.hpp lists them).
using RejectReason = halvorn::RejectReason;

namespace output {

// A booked fill.  It is the Fill record itself.
using Fill = halvorn::Fill;

struct Canceled {
  OrderId id = 0;

  friend bool operator==(const Canceled&, const Canceled&) = default;
};

struct Rejected {
  RejectReason reason = RejectReason::NonPositiveQuantity;
  OrderId id = 0;  // 0 when the event concerned no order

  friend bool operator==(const Rejected&, const Rejected&) = default;
};

// An order the venue ended because it worked only on its first tick in the
// book (immediate or cancel, fill or kill) and that tick did not fill it.
struct Expired {
  OrderId id = 0;

  friend bool operator==(const Expired&, const Expired&) = default;
};

// A conditional order whose trigger a tick reached: the order it stands for
// has been sent and is still live.  price is the trigger it fired at.
struct Triggered {
  OrderId id = 0;
  std::int64_t price = 0;
  Nanos time = 0;

  friend bool operator==(const Triggered&, const Triggered&) = default;
};

struct Funded {
  Cash amount = 0;  // positive when received
  Nanos time = 0;

  friend bool operator==(const Funded&, const Funded&) = default;
};

// One holding closed out by the venue.  long_size and short_size are the
// sizes closed (short_size <= 0); quantity is their sum.  balance is the
// settlement balance after the step's liquidation; forfeited is the balance
// the venue took, on the last report of a liquidation and 0 on the others.
struct Liquidated {
  InstrumentId instrument;
  Nanos time = 0;
  std::int64_t price = 0;
  QtyLots quantity = 0;
  Cash balance = 0;
  Cash forfeited = 0;
  QtyLots long_size = 0;
  QtyLots short_size = 0;

  friend bool operator==(const Liquidated&, const Liquidated&) = default;
};

}  // namespace output

using Output = std::variant<output::Fill, output::Canceled, output::Rejected, output::Funded,
                            output::Liquidated, output::Expired, output::Triggered>;

}  // namespace halvorn::core
