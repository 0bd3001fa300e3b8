// The matcher: the simulated venue for one instrument of one account, and the
// tier that selects which one a run uses.
//
// Around whichever engine it holds, a matcher keeps an order desk
// (order_desk.hpp): the conditional orders it holds until their trigger and
// the links of contingent groups.  Plain orders go straight to the engine;
// what an operation noticed besides fills (orders cancelled, expired,
// refused, triggered) is left in notices() for the kernel to read.
//
// Matcher is a closed tagged union of the engines, dispatched by std::visit;
// there is no class hierarchy and no other kind of matcher.  The L0 engine is
// held by value; the L1 and L2 engines, which are much larger, live on the
// heap so that a Matcher stays small.  Callers use only the operations below,
// so a new alternative changes this file and its .cpp, never a caller.  A
// Matcher is move-only because it owns its heap engines.
//
// Thread-safety: a matcher belongs to one kernel and is used by one thread at
// a time.

#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "book/depth_book.hpp"
#include "book/depth_records.hpp"
#include "core/order_desk.hpp"
#include "engine/l0.hpp"
#include "engine/l1.hpp"
#include "engine/l2.hpp"

namespace halvorn::core {

struct Matcher;

// The names of the tiers, indexed by tier.
inline constexpr std::array<const char*, 3> TIER_NAMES = {"L0", "L1", "L2"};

// A Tier is a run's choice of matcher.
struct Tier {
  // Fills at observed prices.
  struct L0 {};
  // Adds latency, queue position and impact.
  struct L1 {
    engine::L1Config config;
  };
  // Adds a depth book to L1.
  struct L2 {
    engine::L1Config config;
  };

  std::variant<L0, L1, L2> kind;

  // The tier's name, "L0", "L1" or "L2".
  const char* name() const { return TIER_NAMES[kind.index()]; }

  // Builds the matcher for one holding; instrument is stamped on its fills,
  // `resting` says where a resting order the quote moves through fills and
  // `triggered` where an order a conditional order sent fills.
  static Matcher matcher(const Tier& tier, InstrumentId instrument,
                         engine::RestingPrice resting = engine::RestingPrice::Quote,
                         engine::TriggeredPrice triggered = engine::TriggeredPrice::Order);
};

// A Matcher is one of the engines, owned by a holding.
struct Matcher {
  std::variant<engine::L0Engine, std::unique_ptr<engine::L1Engine>,
               std::unique_ptr<engine::L2Engine>>
      engine;
  // Made with the first order that needs it, so that a matcher of plain
  // orders stays small and its ticks never look at one.
  std::unique_ptr<OrderDesk> desk;
  engine::TriggeredPrice triggered = engine::TriggeredPrice::Order;

  explicit Matcher(engine::L0Engine l0) : engine(std::move(l0)) { core_ = &find_core(); }
  // Requires: l1 is not null.
  explicit Matcher(std::unique_ptr<engine::L1Engine> l1) : engine(std::move(l1)) {
    core_ = &find_core();
  }
  // Requires: l2 is not null.
  explicit Matcher(std::unique_ptr<engine::L2Engine> l2) : engine(std::move(l2)) {
    core_ = &find_core();
  }
  Matcher(Matcher&& other) noexcept
      : engine(std::move(other.engine)),
        desk(std::move(other.desk)),
        triggered(other.triggered),
        mark_(other.mark_) {
    core_ = &find_core();
  }
  Matcher& operator=(Matcher&& other) noexcept {
    engine = std::move(other.engine);
    desk = std::move(other.desk);
    triggered = other.triggered;
    mark_ = other.mark_;
    core_ = &find_core();
    return *this;
  }
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // Hands a new order to the venue.  now is the order's send time (its
  // local_ts), from which latency counts; L0 ignores it.  An order the
  // engine refuses or lets expire at once leaves a notice.
  // Requires: order is as limit_order or market_order built it.
  void submit(const Working& order, Nanos now);

  // Hands a new order with terms: a conditional order is held on the desk, a
  // group member is linked to its group (refused with GroupEnded when the
  // group has ended), a bracket's stop-loss and take-profit wait for their
  // entry; anything else goes to the engine as submit() sends it.
  void place(const Working& order, const OrderTerms& terms, Nanos now);

  // Removes the order with this id at once, wherever it is; false when this
  // matcher does not hold it (already filled, already cancelled, or never
  // sent here).  Members of its group that end with it leave notices.
  bool cancel(OrderId id);

  // A cancel of the strategy's, sent at now: a held order is removed at
  // once; an order at the engine is cancelled by the engine's cancel rules
  // (Requested: the cancel is on its way, and a notice comes when it lands).
  engine::CancelOutcome request_cancel(OrderId id, Nanos now);

  // Drops every working and held order and every group; returns how many
  // orders.
  std::size_t cancel_all();

  // Returns the fills this tick reports, in order: a view of the matcher's own
  // buffer, valid until the next on_tick on this matcher.  The fills the
  // engine executed on the tick act on their groups first.  Inline: the
  // tick of a matcher without groups is the engine's alone.
  std::span<const engine::L0Fill> on_tick(const engine::Tick& tick) {
    if (grouped()) return on_tick_grouped(tick);
    if (auto* l0 = std::get_if<engine::L0Engine>(&engine)) return l0->on_tick(tick);
    return engine_tick(tick);
  }

  // Whether anything waits for after_tick: orders that watch the last
  // trade, and, on a holding that has no mark yet (`marked` false), those
  // that watch the mark.
  bool watching(bool marked = false) const {
    return desk && (desk->watching(TriggerSource::Last) ||
                    (!marked && desk->watching(TriggerSource::Mark)));
  }

  // Looks at the held conditional orders with the tick's last trade and
  // sends those it fires, judged and sized, where they only reduce, against
  // the account's legs as they stand after the tick (`hedge`: held apart).
  // Orders that watch the mark look at it too while the holding has none
  // (`marked` false): until then the last trade is the price it is valued at.
  // Inline: a tick that reaches no trigger and moves no trail, as almost
  // every one is, has nothing to look at.
  void after_tick(const engine::Tick& tick, QtyLots long_size, QtyLots short_size,
                  bool hedge = false, bool marked = false) {
    if (!desk || !desk->could_fire(tick.last, {true, !marked})) return;
    watch(tick.last, {true, !marked}, tick.exch_ts, tick.local_ts, long_size, short_size, hedge);
  }

  // The same for a mark price observed at `time`, for the orders that watch
  // the mark; what they send is stamped with that time.
  void after_mark(Nanos time, std::int64_t price, QtyLots long_size, QtyLots short_size,
                  bool hedge = false);

  // Whether a bracket is in position, so that the account must say when it
  // books a fill (booked()).
  bool guards() const { return grouped(); }

  // The account booked a fill and now holds these legs: a bracket's entry
  // puts the bracket in position, and a bracket whose position is gone ends
  // its stop-loss and take-profit.
  void booked(OrderId order, QtyLots long_size, QtyLots short_size);

  // What the operations since the caller last emptied it noticed besides
  // fills, in order.
  std::vector<engine::Notice>& notices() { return core_->notices; }

  // Hands over every fill that happened but has not been reported, sorted by
  // report time.  Empty for a matcher without report latency.
  std::vector<engine::L0Fill> drain_unreported();

  // Applies a depth update where the matcher keeps depth and returns the
  // book's answer; nullopt (and nothing happens) for a matcher without depth.
  std::optional<book::ApplyResult> on_depth(const book::DepthUpdate& update);

  // Installs a depth snapshot where the matcher keeps depth, bringing it back
  // in sync; returns whether it did (false for a matcher without depth).
  bool on_snapshot(const book::DepthSnapshot& snapshot);

  // Whether the matcher holds nothing a tick could act on or report: no
  // order in any stage, no fill awaiting its report, and no depth (an L2
  // matcher is never idle).
  bool idle() const;

  // Whether a tick can do no more than fire a held conditional order: the
  // engine is idle and the desk holds nothing but conditional orders (and
  // bracket members) waiting for a level, none of them trailing.
  bool only_triggers() const;
  // The number of orders the desk holds, armed or not.
  std::size_t held() const { return desk ? desk->held.size() : 0; }
  // How many of `ticks` fire nothing the desk holds, from the first: the
  // index of the first whose last trade reaches a trigger that watches it
  // (on a holding without a mark, `marked` false, any trigger), or their
  // number.
  // Requires: only_triggers().
  std::size_t before_trigger(std::span<const engine::Tick> ticks, bool marked = false) const {
    if (!desk) return ticks.size();
    engine::Reach reach;
    for (const TriggerSource source : {TriggerSource::Last, TriggerSource::Mark}) {
      if (marked && source == TriggerSource::Mark) continue;
      reach = reach.with(desk->triggers[source_index(source)].reach());
    }
    for (std::size_t i = 0; i < ticks.size(); ++i) {
      if (reach.reached_by(ticks[i].last)) return i;
    }
    return ticks.size();
  }
  // Whether a mark at `price` would fire an order the desk holds.
  // Requires: only_triggers().
  bool mark_fires(std::int64_t price) const {
    if (!desk) return false;
    return desk->triggers[source_index(TriggerSource::Mark)].reach().reached_by(price);
  }
  // Whether the desk holds an order that watches the mark.
  bool watches_marks() const { return desk && desk->watching(TriggerSource::Mark); }

  // The legs as the venue holds them: the account's (`long_size`,
  // `short_size`) with the fills executed here that the account has not
  // been told of yet (report latency) booked onto them.
  std::pair<QtyLots, QtyLots> venue_legs(QtyLots long_size, QtyLots short_size, bool hedge) const;

  // Ticks handled as invalid while the depth was out of sync; 0 for a matcher
  // without depth.
  std::size_t invalid_ticks() const;

  // "L0", "L1" or "L2".
  const char* tier_name() const { return TIER_NAMES[engine.index()]; }

  // The instrument stamped on this matcher's fills.
  InstrumentId instrument() const;

  // The L0 engine at the core of whichever engine this is.
  engine::L0Engine& core_engine() { return *core_; }

 private:
  engine::L0Engine& find_core();
  std::span<const engine::L0Fill> engine_tick(const engine::Tick& tick);
  // Whether the engine holds no order and no unreported fill (an L2 engine
  // keeps depth, and is never empty).
  bool engine_empty() const;
  std::span<const engine::L0Fill> on_tick_grouped(const engine::Tick& tick);
  // The core engine, found once: every tick asks it for its notices.
  engine::L0Engine* core_ = nullptr;
  // The latest mark price observed; 0 before the first.
  std::int64_t mark_ = 0;

  bool grouped() const { return desk && !desk->groups.empty(); }
  // The fills the engine executed on its latest tick, reported or not.
  std::span<const engine::L0Fill> executed();
  // The engine's submit, with a notice for an order it did not accept;
  // returns whether it did.
  bool send(const Working& order, Nanos now);
  bool drop(OrderId id);                 // the engine's immediate cancel
  bool resize(OrderId id, QtyLots qty);  // the engine's change of an order's size
  engine::CancelOutcome engine_cancel(OrderId id, Nanos now);

  // Desk steps (matcher_desk.cpp).
  void hold(const Working& order, const OrderTerms& terms, bool armed);
  void arm(OrderId id, Held& held, const engine::Tick* tick);
  bool unhold(OrderId id);
  // Fires what watches `price` among the sources `watched` marks, stamping
  // what it sends with the given times.
  void watch(std::int64_t price, std::array<bool, TRIGGER_SOURCES> watched, Nanos exch_ts,
             Nanos local_ts, QtyLots long_size, QtyLots short_size, bool hedge);
  void fire(OrderId id, std::int64_t level, Nanos exch_ts, Nanos local_ts, QtyLots long_size,
            QtyLots short_size, bool hedge);
  void start_trail(OrderId id, Held& held);
  bool join(OrderId id, OrderId leader, std::size_t slot);
  void dissolve(OrderId leader);
  // Ends the group, cancelling its members but `keep` (and a bracket's entry).
  void end_group(OrderId leader, OrderId keep);
  void cancel_member(OrderId id, Nanos at);
  // A member of a group ended in the way the notice kind says.
  void member_ended(OrderId id, engine::Notice::Kind how);
  // Acts on the group members among the notices from `from` on.
  void settle_notices(std::size_t from);
  void settle_fills(std::span<const engine::L0Fill> fills, const engine::Tick& tick);
};

}  // namespace halvorn::core
