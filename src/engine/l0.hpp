// The L0 matcher: fills at observed prices.
//
// L0 is the execution core of every tier.  A market order executes at the
// touch of the next tick; a limit order executes when the price path between
// two ticks passes through it (at exactly its price) or when the current quote
// reaches it (at the quote when that is better, never worse than its limit).
// There is no latency, no queue and no impact, and every execution is for the
// order's whole remaining quantity.  The higher tiers wrap an L0Engine and
// reach into its fields, which is why they are plain members.
//
// Market orders take liquidity, and so does a limit order that could already
// trade against the last quote when it enters the book (a buy at or above
// the ask, a sell at or below the bid): crossing the spread with a limit
// order is an aggressive trade, and booking it at the maker rate would
// flatter every strategy that does so.  Such an order is a taker only on the
// first tick it meets in the book; one that survives that tick unfilled has
// rested, and a later fill is a maker fill.
//
// A resting order that the quote moves through is filled where the rule of
// the venue says (RestingPrice): at the quote, the better price, as the core
// module's run functions have always done; or at its own limit, as a venue
// fills an order the market trades through -- only an order that takes
// liquidity gets the better price.
//
// Orders may carry terms.  A post-only order marketable on entry is refused
// and never enters the book, so it never pays the taker rate; an immediate
// order that is not marketable on entry expires at once, and one that is
// meets one tick in the book and expires when that tick leaves it unfilled.
// An order sent by a conditional order fills where the order it is would
// fill (TriggeredPrice::Order), or, for a run that asks for the
// conservative bound, never better than its trigger.
// Two legs of a one-cancels-other pair registered in `partners` never both
// fill: the first to execute takes the other out of the book at once.
//
// Thread-safety: an engine is used by one thread at a time.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/id_map.hpp"
#include "engine/notice.hpp"
#include "engine/resting_book.hpp"
#include "engine/tick.hpp"
#include "types/order.hpp"

namespace halvorn::engine {

// Build a working order for submission: status New, filled 0.
// Requires: qty > 0; a quantity of zero or less is a Panic ("order quantity
// must be positive"), because the kernel rejects such orders before building
// them.
Working limit_order(OrderId id, Side side, std::int64_t price, QtyLots qty, Nanos exch_ts,
                    Nanos local_ts, Offset offset);
Working market_order(OrderId id, Side side, QtyLots qty, Nanos exch_ts, Nanos local_ts,
                     Offset offset);

// Where a resting limit order is filled when the quote moves through it.
enum class RestingPrice : std::uint8_t {
  Quote = 0,  // at the quote, when better than the limit
  Limit = 1,  // at its limit: the better price is only for an order that takes
};

// Where an order sent by a conditional order fills.
enum class TriggeredPrice : std::uint8_t {
  // Where the order it becomes fills by the rules of its tier, whichever
  // side of the trigger that lies: a venue sends the order and it takes the
  // quote it meets, so a take-profit gapped through fills at the better
  // quote and a stop gapped through at the worse one.
  Order = 0,
  // Never better than the trigger (a sell never above it, a buy never
  // below): a bound for those who want no fill a venue might not give.
  Trigger = 1,
};

// What became of an order handed to an engine.
enum class Admission : std::uint8_t {
  Accepted = 0,   // it works
  WouldTake = 1,  // refused: post-only, and marketable on entry
  Expired = 2,    // immediate, and nothing to trade against on entry
};

// Which L0 rule produced a fill.
enum class FillRule : std::uint8_t { Crossed = 0, Quote = 1, MarketOrder = 2 };

// An L0Fill is the execution record every matcher produces: the fields of a
// Fill followed by the rule that produced it and the kind of the order that
// filled.  taker is true for MarketOrder fills and for the fill of a limit
// order on the first tick after it entered the book marketable.  The kind
// carries the limit, past which the impact of the higher tiers never moves a
// limit order's fill.
struct L0Fill {
  Nanos exch_ts = 0;
  Nanos local_ts = 0;
  OrderId order = 0;
  std::uint64_t seq = 0;  // the engine's fill count after this fill, from 1
  std::int64_t price = 0;
  QtyLots qty = 0;
  InstrumentId instrument;
  Side side = Side::Buy;
  Offset offset = Offset::Open;
  bool taker = false;
  FillRule rule = FillRule::Crossed;
  OrderKind kind;
  bool reduce_only = false;  // the account books no more of it than reduces its position

  // The booked form: every field but rule and kind.
  Fill to_fill() const {
    return Fill{exch_ts, local_ts, order, seq, price, qty, instrument, side, offset, taker};
  }

  friend bool operator==(const L0Fill&, const L0Fill&) = default;
};

// The prices a new limit order is judged marketable against: the bid and the
// ask of the engine's previous tick, each falling back on that tick's last
// where the tick had none.
struct Quote {
  std::int64_t bid = 0;
  std::int64_t ask = 0;

  friend bool operator==(const Quote&, const Quote&) = default;
};

// An L0Engine matches one instrument's resting orders against ticks.
//
// Invariants: prev_last and prev_times are both present or both absent, and
// present only with prev_quote; fill_seq is the number of fills made so far; every id in takers
// entered the book since the previous tick.
struct L0Engine {
  // An engine with no previous tick, an empty book, fill_seq 0 and output
  // buffers reserved for 16 entries.
  explicit L0Engine(InstrumentId instrument);

  std::optional<std::int64_t> prev_last;              // last of the previous tick
  std::optional<std::pair<Nanos, Nanos>> prev_times;  // (exch_ts, local_ts) of it
  std::optional<Quote> prev_quote;                    // what new orders are judged against
  Book book;
  // Limit orders that entered the book marketable since the previous tick;
  // their fill on the coming tick takes liquidity.
  IdSet takers;
  std::vector<L0Fill> fills;  // this tick's fills, reused
  // Orders crossed between two ticks as (entry_seq, id); scratch, reused.
  std::vector<std::pair<std::uint64_t, OrderId>> crossed;
  std::uint64_t fill_seq = 0;
  InstrumentId instrument;
  RestingPrice resting = RestingPrice::Quote;
  // What this engine and the engines around it noticed besides fills, in
  // order.  Appended to, never emptied here: whoever drives the engine
  // empties it before each tick and after reading it.
  std::vector<Notice> notices;
  // Immediate orders that entered the book since the previous tick: each
  // leaves it, expired, at the end of the coming tick unless that fills it.
  std::vector<OrderId> immediate;
  // The legs of one-cancels-other pairs, each mapped to the other.
  IdMap<OrderId> partners;
  // Orders sent by a conditional order under TriggeredPrice::Trigger, each
  // with the trigger it fired at, past which none of its fills may be better
  // (a sell never above, a buy never below).  Kept aside rather than in
  // every Working: few orders have one, and every resting order would carry
  // the room.
  IdMap<std::int64_t> bounds;

  // Whether a limit order could trade against the previous tick's quote: a
  // buy at or above its ask, a sell at or below its bid.  Never before the
  // first tick, never for a market order.
  bool marketable(const Working& order) const;

  // Puts the order in the book, as a taker for the coming tick when it is
  // marketable; it executes at the earliest on the next on_tick.  A
  // post-only order that is marketable is refused instead (WouldTake); an
  // immediate limit order that is not expires (Expired).  Neither enters the
  // book, and no notice is made: the caller says what became of it.
  Admission submit(const Working& order);

  // Puts the order in the book as a resting order whatever the quote: an
  // order that has waited its turn in a queue is not aggressive.
  void rest(const Working& order);

  // Removes the order with this id; returns whether there was one.
  bool cancel(OrderId id);

  // Removes every resting order; returns how many there were.  The pairs
  // go with them.
  std::size_t cancel_all();

  // Links two orders as the legs of a one-cancels-other pair.
  void pair(OrderId a, OrderId b);
  // Forgets the pair the order is a leg of, if any.
  void unpair(OrderId id);

  // The price an order sent by a trigger is filled at when the rules give
  // `price`: never better than the trigger, then never worse than its limit.
  static std::int64_t bounded(const Working& order, std::int64_t trigger, std::int64_t price);

  // Executes a resting order completely at price, appending one L0Fill
  // stamped with the given times.  An order with nothing remaining leaves the
  // book without a fill.  A fill sequence number that overflows is a Panic.
  void execute_at(Working order, std::int64_t price, bool taker, FillRule rule, Nanos exch_ts,
                  Nanos local_ts);

  // Runs the matching rules for one tick.  Returns a view of this tick's fills
  // (crossing fills, buy markets, sell markets, buy limits, sell limits), valid
  // until the next on_tick.
  std::span<const L0Fill> on_tick(const Tick& tick);

  // Forgets the previous tick's prices, so that the next tick has no
  // crossing step: nothing is known of the path between them.  The quote
  // stays, and `quote_of` keeps it current: a limit order that could trade
  // against it takes liquidity however the market data around it broke.
  void forget_previous_tick();

  // Takes the tick's bid and ask as the quote new orders are judged
  // against, without matching anything: a tick the engine does not match
  // still tells what a new order would meet.
  void quote_of(const Tick& tick);

 private:
  void cross(const Tick& tick);
  void execute_markets(Lane lane, std::int64_t price, const Tick& tick);
  void expire_immediate(const Tick& tick);
  void remember(const Tick& tick);
};

}  // namespace halvorn::engine
