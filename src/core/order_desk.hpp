// The order desk of a matcher: the conditional orders it holds until their
// trigger, and the links of the contingent groups its orders belong to.
//
// A conditional order (a stop, a take-profit, a trailing stop) is held here,
// away from the engine, and watches one price: the last trade, looked at
// once per tick after the tick has been matched, or the mark price, looked
// at on each mark (and on each tick's last trade while the holding has no
// mark yet, the price it is valued at until then).  When that price reaches
// it, the order it stands for is sent to the engine as the strategy would
// have sent it then -- through the engine's latency, queue and impact, and
// at L0 to execute on the next tick -- and fills where that order fills (or,
// for a run that asks for the conservative bound, never better than the
// trigger).  It is never sent before the price that fired it.  A trailing
// stop trails the price it watches, from that price at its placement (or
// at its activation), and from nothing else.
//
// A group is linked where its orders execute, so that the links hold before
// the account hears of anything: the first leg of a one-cancels-other pair
// to fill or fire ends the other at once; a bracket's stop-loss and
// take-profit wait, unarmed, until its entry fills, are armed for the part
// that filled and raised with each part after it, form such a pair, and end
// together once the account no longer holds the position the entry opened.
// A bracket that ends while its entry still works (filled in part) cancels
// the rest of the entry too: what filled later would have no exit guarding
// it.  The group's own cancels take effect at once, whatever the cancel
// latency: the venue links the orders.
//
// The desk is the data; the matcher (matcher_desk.cpp) drives it with its
// engine.  An empty desk costs a tick one look at two counts.
//
// Thread-safety: owned by one matcher and used by one thread at a time.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/id_map.hpp"
#include "engine/tick.hpp"
#include "engine/trigger_book.hpp"
#include "types/order.hpp"

namespace halvorn::core {

// How many prices a conditional order can watch (TriggerSource).
inline constexpr std::size_t TRIGGER_SOURCES = 2;

inline std::size_t source_index(TriggerSource source) { return static_cast<std::size_t>(source); }

// An order the desk holds: a conditional order waiting for its trigger, or a
// bracket's stop-loss or take-profit waiting for its entry.
struct Held {
  Working order;  // what is sent when it fires; qty 0 for a close-position order
  TriggerTerms trigger;
  std::uint64_t seq = 0;        // the desk's number for it, rising: the order orders fire in
  bool close_position = false;  // sized from the position when it fires
  bool armed = false;           // false: a bracket's member whose entry has not filled
  bool trailing = false;        // a trailing stop whose trail has started
  std::int64_t best = 0;        // trailing: the best price since the trail started
};

// The held orders by id.  They sit side by side in a pool whose slots are
// reused, behind an index of small entries, so that 10^5 held orders cost
// the memory, and a tick the cache misses, of 10^5 resting ones.
class HeldOrders {
 public:
  Held* find(OrderId id) {
    const std::uint32_t* slot = index_.find(id);
    return slot == nullptr ? nullptr : &pool_[*slot];
  }
  const Held* find(OrderId id) const {
    const std::uint32_t* slot = index_.find(id);
    return slot == nullptr ? nullptr : &pool_[*slot];
  }
  bool contains(OrderId id) const { return index_.contains(id); }
  // Holds `held` under id, replacing what was there.  Returns the stored
  // order, valid until the next put.
  Held& put(OrderId id, const Held& held) {
    if (std::uint32_t* slot = index_.find(id)) return pool_[*slot] = held;
    std::uint32_t slot;
    if (!free_.empty()) {
      slot = free_.back();
      free_.pop_back();
      pool_[slot] = held;
    } else {
      slot = static_cast<std::uint32_t>(pool_.size());
      pool_.push_back(held);
    }
    index_.put(id, slot);
    return pool_[slot];
  }
  bool erase(OrderId id) {
    const std::uint32_t* slot = index_.find(id);
    if (slot == nullptr) return false;
    free_.push_back(*slot);
    index_.erase(id);
    return true;
  }
  std::size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }
  void clear() {
    index_.clear();
    pool_.clear();
    free_.clear();
  }

 private:
  engine::IdMap<std::uint32_t> index_;
  std::vector<Held> pool_;
  std::vector<std::uint32_t> free_;
};

// A contingent group, kept under the id of its first order.
struct Group {
  GroupRole kind = GroupRole::OneCancelsOther;  // OneCancelsOther or BracketEntry
  // The two legs of a pair; or a bracket's entry, stop-loss, take-profit.
  // 0 where there is none (any more).
  std::array<OrderId, 3> members{};
  QtyLots entry_qty = 0;
  QtyLots entry_done = 0;  // lots of the entry filled so far, over its parts
  // The stop-loss's and take-profit's sizes for the whole entry (slots 1
  // and 2; 0 for a close-position member, sized when it fires).
  std::array<QtyLots, 3> exit_qty{};
  Side entry_side = Side::Buy;
  bool entry_filled = false;
  bool in_position = false;  // the account has booked the entry's fill
};

// Invariants: every armed Held of kind Stop or TakeProfit, and every armed
// Trailing one whose trail has not started, is in the `triggers` of the
// price it watches; every started trail is in that price's `trails`;
// `leader_of` maps exactly the members of `groups`; `guarding` lists the
// brackets in position.
struct OrderDesk {
  HeldOrders held;
  // By the price they watch (TriggerSource): the last trade, the mark.
  std::array<engine::TriggerBook, TRIGGER_SOURCES> triggers;
  // May hold ids no longer trailing; passed over.
  std::array<std::vector<OrderId>, TRIGGER_SOURCES> trails;
  engine::IdMap<OrderId> leader_of;
  engine::IdMap<Group> groups;
  std::vector<OrderId> guarding;
  std::uint64_t next_seq = 0;
  // Scratch, reused.
  std::vector<std::pair<std::uint64_t, OrderId>> fired;
  std::vector<OrderId> scratch;

  bool empty() const { return held.empty() && groups.empty(); }
  // Whether anything watches this price.
  bool watching(TriggerSource source) const {
    const std::size_t i = source_index(source);
    return !triggers[i].empty() || !trails[i].empty();
  }
  bool trailing() const { return !trails[0].empty() || !trails[1].empty(); }
  // Whether `price`, seen by the sources `watched`, could fire anything: it
  // reaches a trigger, or a trail moves with it.  Most prices do neither.
  bool could_fire(std::int64_t price, std::array<bool, TRIGGER_SOURCES> watched) const {
    for (std::size_t i = 0; i < TRIGGER_SOURCES; ++i) {
      if (watched[i] && (!trails[i].empty() || triggers[i].reach().reached_by(price))) {
        return true;
      }
    }
    return false;
  }
  std::size_t clear();
};

}  // namespace halvorn::core
