// The L1 matcher: order latency, queue position, price impact and report
// latency in front of and behind the L0 rules.
//
// An order sent to an L1 engine first waits out its order latency (pending),
// then, for a limit order, waits behind the resting quantity ahead of it at
// its price (queued), and only then rests in the L0 book, where the L0 rules
// decide when and at what price it executes.  A taker execution is moved
// against the order by a square-root impact, and every execution is reported
// to the account only after its report latency (delayed).  Latencies are a
// hash of the order id, so a run is reproducible without random state.  The
// L2 matcher is an L1Engine with a depth book; it reaches into the plain
// members below and supplies its own queue positions and impact rule.
//
// A limit order that arrives marketable against the last quote the inner
// engine saw does not queue: it takes liquidity, goes straight to the book,
// and its fill on the next tick is a taker fill that impact moves, never
// past its limit.  An order released from the queue has waited its turn and
// rests as a maker.
//
// A cancel takes effect at once unless the configuration gives cancels a
// latency of their own.  Then a cancel reaches the venue that long after it
// was sent, the order works (and may fill) on every tick before it, and the
// cancel removes it, wherever it is, before the first tick at or after its
// arrival is matched; the account hears of it on that tick.  A pulled quote
// can be caught by the very move it fled.
//
// With partial fills on, an order fills by the volume that trades, not by
// price alone.  A queued order whose queue the tick's traded volume gets
// through leaves the queue with what traded past it, and fills no more than
// that on the tick; an order in the book fills by the tick's traded volume,
// which the account's fills of one tick share in the order the L0 rules
// reach them, a tick that trades through an order still filling it whole.
// What is not filled keeps its place and works on.  Takers fill whole at
// L1, where nothing says what the book holds; the L2 matcher sizes them by
// its depth.
//
// A cancelled order that is still pending or queued is not searched for: its
// entry stays in its array, dead, and the next tick's pass drops it.  An
// index of the ids waiting in either stage tells a cancel at once whether
// there is anything to cancel.
//
// Thread-safety: an engine is used by one thread at a time.

#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "engine/id_map.hpp"
#include "engine/l0.hpp"
#include "engine/tick.hpp"

namespace halvorn::engine {

// A Latency is how long an order takes to reach the venue, or a fill to reach
// the account.  The alternatives carry no member initialisers so that the
// variant can be default-built inside its enclosing type; a value-initialised
// alternative is all zero.
struct Latency {
  // Every order (or report) takes this long.
  struct Fixed {
    Nanos value;
    friend bool operator==(const Fixed&, const Fixed&) = default;
  };
  // A per-order draw from four buckets with probabilities 50, 40, 9 and 1 %.
  struct Quantiles {
    Nanos p50;
    Nanos p90;
    Nanos p99;
    Nanos p999;
    friend bool operator==(const Quantiles&, const Quantiles&) = default;
  };

  std::variant<Fixed, Quantiles> kind;

  // The latency of the order with this id: a Fixed value, or the bucket the
  // SplitMix64 hash of the id selects.  The same id always gets the same
  // latency.
  static Nanos sample(const Latency& latency, OrderId id);

  // Fixed 0, or Quantiles with all four values 0.
  bool is_zero() const;

  friend bool operator==(const Latency&, const Latency&) = default;
};

// A QueueModel says how much resting quantity stands ahead of a newly arrived
// limit order.  Its alternatives are plain like Latency's.
struct QueueModel {
  // Nothing: the order rests in the book at once.
  struct Off {
    friend bool operator==(const Off&, const Off&) = default;
  };
  // That many lots.
  struct Fixed {
    std::int64_t lots;
    friend bool operator==(const Fixed&, const Fixed&) = default;
  };
  // That percentage of the volume traded between the two most recent ticks.
  struct TradedShare {
    std::uint32_t pct;
    friend bool operator==(const TradedShare&, const TradedShare&) = default;
  };

  std::variant<Off, Fixed, TradedShare> kind;

  friend bool operator==(const QueueModel&, const QueueModel&) = default;
};

// An L1Config is the configuration of the L1 and L2 matchers.  The default is
// the all-zero configuration, under which L1 fills exactly as L0.
struct L1Config {
  Latency order_latency;
  Latency report_latency;
  QueueModel queue;
  std::uint32_t impact_pct = 0;  // square-root impact coefficient; 0 disables
  Latency cancel_latency;        // from sending a cancel to its arrival; 0: at once
  bool partial_fills = false;    // fill by traded volume (and displayed depth), in parts

  friend bool operator==(const L1Config&, const L1Config&) = default;
};

// A Pending order has been sent and has not yet reached the venue.
struct Pending {
  std::optional<std::int64_t> ahead;  // a known queue position; absent: the model decides
  std::optional<Nanos> joined;        // when it counts as queued; set by the L2 path only
  Working order;
  Nanos arrive_at = 0;
  bool needs_depth = false;  // the queue position is still to be read from depth
  std::uint64_t ticket = 0;  // the engine's number for this entry, rising

  friend bool operator==(const Pending&, const Pending&) = default;
};

// A Queued limit order has arrived and waits behind resting quantity.
//
// Invariants: ahead >= 1 while the order is queued.
struct Queued {
  std::optional<Nanos> joined;  // absent for every order of the L1 matcher
  Working order;
  std::int64_t ahead = 0;
  std::uint64_t ticket = 0;  // the engine's number for this entry, rising

  friend bool operator==(const Queued&, const Queued&) = default;
};

// A Delayed fill has executed and waits for its report time.
struct Delayed {
  Nanos report_at = 0;
  L0Fill fill;  // price after impact, stamps of the executing tick

  friend bool operator==(const Delayed&, const Delayed&) = default;
};

// Moves a taker fill against the order by the square-root impact rule:
// trunc(sqrt(qty / traded) x range x impact_pct / 100) ticks, range being the
// tick's raw high - low, but a limit order's fill no further than its limit.
// Maker fills, ticks without traded volume or range, and an impact_pct of 0
// leave the fill alone.  The range and the moved price saturate at 64 bits.
void l1_impact(L0Fill& fill, std::int64_t traded, std::uint32_t impact_pct, const Tick& tick);

// The price a fill may take: for a limit order's fill, price held at the
// limit (a buy pays at most, a sell receives at least its limit); for a
// market order's, price itself.
std::int64_t within_limit(const L0Fill& fill, std::int64_t price);

// A cancel on its way to the venue.
struct PendingCancel {
  OrderId id = 0;
  Nanos arrive_at = 0;

  friend bool operator==(const PendingCancel&, const PendingCancel&) = default;
};

// What a cancel request did.
enum class CancelOutcome : std::uint8_t {
  Unknown = 0,    // no order of that id works here
  Done = 1,       // the order is gone
  Requested = 2,  // the cancel is on its way; the order works until it arrives
};

// How many live entries of one id wait in each stage.
struct Waiting {
  std::uint32_t pending = 0;
  std::uint32_t queued = 0;
};

// An L1Engine adds latency, queue position and impact to an L0Engine.
//
// Invariants: pending is in submission order, queued in arrival order,
// delayed in execution order, and tickets rise along pending and along
// queued; out holds the fills the last tick reported.  An entry of pending
// or queued is dead when canceled_below holds its id with a mark above its
// ticket; waiting_ids counts exactly the entries that are not, by id and stage,
// and keeps no id with both counts 0.
struct L1Engine {
  // The engine of an all-empty state over L0Engine(instrument).
  L1Engine(InstrumentId instrument, const L1Config& config);

  L0Engine inner;
  L1Config config;
  std::optional<std::int64_t> prev_volume;  // volume of the previous tick
  std::optional<std::int64_t> last_traded;  // traded between the two latest ticks
  std::optional<Nanos> last_tick_time;      // exch_ts of the previous tick
  std::vector<Pending> pending;
  std::vector<Queued> queued;
  std::vector<Delayed> delayed;
  std::vector<PendingCancel> cancels;  // in the order they were sent
  std::vector<L0Fill> out;             // this tick's reported fills, reused
  // The orders that reached the venue on this tick and when: a move that
  // crossed them is stamped no earlier than their arrival.
  std::vector<std::pair<OrderId, Nanos>> arrivals;
  std::uint64_t next_ticket = 0;
  IdMap<Waiting> waiting_ids;
  // Ids cancelled while waiting since the arrays were last swept, each with
  // the first ticket that was not yet given out when it was cancelled.
  IdMap<std::uint64_t> canceled_below;
  // How the inner engine sizes the tick's executions when fills come in
  // parts; the L2 matcher adds its taker sizing.
  PartSizing parts;

  // Sends an order at time now (its local_ts).  It arrives after its order
  // latency, or at once when the configured latency is zero; what became of
  // an order that arrived at once is the result (Accepted while on its way).
  Admission submit(const Working& order, Nanos now);

  // The common entry for new orders of both L1 and L2.  ahead is a queue
  // position already known; needs_depth marks the L2 path, where an order
  // with a latency of its own waits in pending for its position to be read
  // from depth.  Send times saturate.
  Admission submit_queue(const Working& order, Nanos now, std::optional<std::int64_t> ahead,
                         bool needs_depth);

  // Removes every pending and queued order with this id, or else the resting
  // one; returns whether anything was removed.  Fills already made are still
  // reported.  A waiting order's entry is left dead for the next tick to drop.
  bool cancel(OrderId id);

  // A cancel of the strategy's, sent at now: at once (Done or Unknown) when
  // the configured cancel latency is zero, else Requested for an order that
  // works here, to take effect when it arrives.
  CancelOutcome request_cancel(OrderId id, Nanos now);

  // Whether nothing works or waits here: no order in any stage, no cancel
  // on its way and no fill awaiting its report.
  bool empty() const {
    return pending.empty() && queued.empty() && delayed.empty() && cancels.empty() &&
           inner.book.empty();
  }

  // Whether an order of this id works here, in any stage.
  bool holds(OrderId id) const {
    return waiting_ids.contains(id) || inner.book.find(id) != nullptr;
  }

  // Sets the size of the order with this id, in whichever stage it waits,
  // to qty (never below what it has filled); returns whether there was one.
  bool resize(OrderId id, QtyLots qty);

  // Orders waiting in each stage, not counting dead entries.
  std::size_t pending_count() const { return pending_live_; }
  std::size_t queued_count() const { return queued_live_; }

  // Appends an order that is on its way to the venue.
  void add_pending(Pending entry);

  // Drops every pending, queued and resting order; returns how many.  Delayed
  // fills are still reported.
  std::size_t cancel_all();

  // One tick with the square-root impact rule.  Returns a view of the fills
  // reported on this tick, valid until the next tick.
  std::span<const L0Fill> on_tick(const Tick& tick);

  // The tick procedure, with impact(fill, traded, tick) free to change each
  // executed fill's price before it is reported.
  template <class Impact>
  std::span<const L0Fill> on_tick_with_impact(const Tick& tick, Impact&& impact) {
    const std::int64_t traded = traded_volume(tick);
    if (config.partial_fills) {
      parts.begin(traded);
      inner.parts = &parts;  // pointed again each tick: an engine may have moved
    }
    // Cancels first: the passes below drop what they leave dead.
    if (!cancels.empty()) arrive_cancels(tick.exch_ts);
    arrive(tick.exch_ts, traded);
    advance_queue(tick, traded);
    canceled_below.clear();  // both passes have dropped every dead entry
    inner.on_tick(tick);
    if (!arrivals.empty()) stamp_after_arrival();
    for (L0Fill& f : inner.fills) impact(f, traded, tick);
    report(tick.exch_ts);
    remember(tick, traded);
    return out;
  }

  // A tick on which nothing arrives, queues or matches: only fills whose
  // report time has come are reported, and the inner engine forgets its
  // previous tick's prices so that the next good tick has no crossing step,
  // while it takes this tick's quote for judging the orders that arrive.
  std::span<const L0Fill> on_invalid_tick(const Tick& tick);

  // Hands over every delayed fill, leaving none, sorted by report time with
  // equal times in execution order.
  std::vector<L0Fill> drain_unreported();

  // Places an order that has reached the venue: in the book when it is a
  // market order or marketable, else in queued behind its quantity ahead, or
  // in the book when nothing is ahead.  volume is the traded volume a
  // TradedShare queue takes its share of; absent sends such an order to the
  // book.  A post-only order that would take is refused and an immediate one
  // with nothing to take expires (the result says which); neither queues.
  Admission enqueue(const Working& order, std::optional<std::int64_t> ahead,
                    std::optional<Nanos> joined, std::optional<std::int64_t> volume);

 private:
  template <class Entry>
  bool dead(const Entry& entry) const {
    if (canceled_below.empty()) return false;
    const std::uint64_t* mark = canceled_below.find(entry.order.id);
    return mark != nullptr && entry.ticket < *mark;
  }
  void hold(OrderId id, std::uint32_t Waiting::* stage);
  void let_go(OrderId id, std::uint32_t Waiting::* stage);

  std::int64_t traded_volume(const Tick& tick) const;
  void arrive(Nanos now, std::int64_t traded);
  // Applies the cancels that have reached the venue by now.
  void arrive_cancels(Nanos now);
  // A fill crossed by the move since the previous tick carries that tick's
  // time; an order that arrived during the move cannot have filled before
  // it arrived.
  void stamp_after_arrival();
  void advance_queue(const Tick& tick, std::int64_t traded);
  void report(Nanos now);
  // Moves the delayed fills due by now to out, in execution order.
  void report_due(Nanos now);
  void remember(const Tick& tick, std::int64_t traded);

  std::size_t pending_live_ = 0;
  std::size_t queued_live_ = 0;
};

}  // namespace halvorn::engine
