// The matcher's order desk at work: conditional orders held until their
// trigger, and the links of contingent groups (order_desk->hpp says why they
// are kept here, where orders execute).

#include <algorithm>
#include <tuple>

#include "core/matcher.hpp"

namespace halvorn::core {

namespace {

using Kind = engine::Notice::Kind;

// The trail a trailing stop keeps behind the best price: its distance, or
// its rate of the best price, at least one tick.
std::int64_t trail_of(const TriggerTerms& t, std::int64_t best) {
  if (t.distance > 0) return t.distance;
  const std::int64_t by_rate = clamp64(static_cast<Wide>(best) * t.rate / RATE_SCALE);
  return std::max<std::int64_t>(by_rate, 1);
}

// Whether `id`, the first member of `g` to fill or fire, ends the rest of
// the group at once: the first leg of a pair ends the other, and a
// bracket's stop-loss or take-profit ends the bracket; a bracket's entry
// goes on, its fills arming the exits.  Within one tick's match the engine
// ends a pair's other leg itself (L0Engine::execute_part), since only it
// sees two executions of one tick apart; the links it acts on are the ones
// place() gives it, for two legs both at the engine.
bool ends_group(const Group& g, OrderId id) {
  return !(g.kind == GroupRole::BracketEntry && g.members[0] == id);
}

}  // namespace

std::size_t OrderDesk::clear() {
  const std::size_t n = held.size();
  held.clear();
  for (engine::TriggerBook& book : triggers) book.clear();
  for (std::vector<OrderId>& list : trails) list.clear();
  leader_of.clear();
  groups.clear();
  guarding.clear();
  return n;
}

void Matcher::place(const Working& order, const OrderTerms& terms, Nanos now) {
  if (!desk) desk = std::make_unique<OrderDesk>();
  const OrderId id = order.id;
  const std::size_t from = notices().size();
  auto refuse = [&] {
    notices().push_back(
        engine::Notice{Kind::Rejected, RejectReason::GroupEnded, id, 0, order.exch_ts});
  };
  switch (terms.role) {
    case GroupRole::None:
      break;
    case GroupRole::OneCancelsOther:
    case GroupRole::BracketEntry:
      if (terms.leader == 0) {
        Group g;
        g.kind = terms.role;
        g.members[0] = id;
        g.entry_qty = order.qty;
        g.entry_side = order.side;
        desk->groups.put(id, g);
        desk->leader_of.put(id, id);
      } else if (!join(id, terms.leader, 1)) {
        return refuse();
      }
      break;
    case GroupRole::BracketStop:
    case GroupRole::BracketTake: {
      const std::size_t slot = terms.role == GroupRole::BracketStop ? 1 : 2;
      if (!join(id, terms.leader, slot)) return refuse();
      desk->groups.find(terms.leader)->exit_qty[slot] = terms.close_position ? 0 : order.qty;
      // Unarmed until the entry fills.
      return hold(order, terms, false);
    }
  }
  if (terms.trigger.any()) {
    hold(order, terms, true);
  } else {
    send(order, now);
    // Two legs of a pair both at the engine are linked there too, so that
    // one tick cannot fill both.
    if (terms.role == GroupRole::OneCancelsOther && terms.leader != 0 &&
        !desk->held.contains(terms.leader) && desk->leader_of.contains(id)) {
      core_engine().pair(terms.leader, id);
    }
  }
  if (grouped()) settle_notices(from);
}

bool Matcher::join(OrderId id, OrderId leader, std::size_t slot) {
  Group* g = desk->groups.find(leader);
  if (g == nullptr || g->members[slot] != 0) return false;
  g->members[slot] = id;
  desk->leader_of.put(id, leader);
  return true;
}

void Matcher::hold(const Working& order, const OrderTerms& terms, bool armed) {
  Held h;
  h.order = order;
  h.trigger = terms.trigger;
  h.seq = desk->next_seq++;
  h.close_position = terms.close_position;
  Held& stored = desk->held.put(order.id, h);
  if (armed) arm(order.id, stored, nullptr);
}

void Matcher::arm(OrderId id, Held& h, const engine::Tick* tick) {
  h.armed = true;
  const TriggerTerms& t = h.trigger;
  const bool sell = h.order.side == Side::Sell;
  engine::TriggerBook& triggers = desk->triggers[source_index(t.source)];
  switch (t.kind) {
    case TriggerTerms::Kind::Stop:
      triggers.insert(id, t.price, sell ? engine::Fires::AtOrBelow : engine::Fires::AtOrAbove);
      return;
    case TriggerTerms::Kind::TakeProfit:
      triggers.insert(id, t.price, sell ? engine::Fires::AtOrAbove : engine::Fires::AtOrBelow);
      return;
    case TriggerTerms::Kind::Trailing:
      // The activation price is reached the way the best price moves: a
      // sell's trail starts on a rise to it, a buy's on a fall.
      if (t.price > 0) {
        triggers.insert(id, t.price, sell ? engine::Fires::AtOrAbove : engine::Fires::AtOrBelow);
      } else {
        start_trail(id, h);
      }
      return;
    case TriggerTerms::Kind::None: {
      // A bracket's plain take-profit: sent when its entry fills.
      Working order = h.order;
      if (tick != nullptr) {
        order.exch_ts = tick->exch_ts;
        order.local_ts = tick->local_ts;
      }
      desk->held.erase(id);
      send(order, order.local_ts);
      return;
    }
  }
}

void Matcher::start_trail(OrderId id, Held& h) {
  h.trailing = true;
  // The trail starts from the latest price it watches: the price at its
  // placement, or at the tick or mark that reached its activation.  Never
  // from an earlier trail's best, which would fire it at a level the market
  // never turned back from since it was placed.  Before the first tick (or
  // across a break in the depth) there is none, and the next price sets it.
  // A trail on the mark starts from the last trade until a mark comes.
  const std::int64_t last = core_engine().prev_last.value_or(0);
  h.best = h.trigger.source == TriggerSource::Mark && mark_ > 0 ? mark_ : last;
  desk->trails[source_index(h.trigger.source)].push_back(id);
}

bool Matcher::unhold(OrderId id) {
  if (!desk || desk->held.empty()) return false;
  const Held* h = desk->held.find(id);
  if (h == nullptr) return false;
  if (h->armed && !h->trailing) desk->triggers[source_index(h->trigger.source)].remove(id);
  desk->held.erase(id);  // a trail left behind is passed over
  return true;
}

void Matcher::after_mark(Nanos time, std::int64_t price, QtyLots long_size, QtyLots short_size,
                         bool hedge) {
  if (price <= 0) return;
  mark_ = price;
  if (!desk || !desk->could_fire(price, {false, true})) return;
  watch(price, {false, true}, time, time, long_size, short_size, hedge);
}

void Matcher::watch(std::int64_t price, std::array<bool, TRIGGER_SOURCES> watched, Nanos exch_ts,
                    Nanos local_ts, QtyLots long_size, QtyLots short_size, bool hedge) {
  auto& fired = desk->fired;
  fired.clear();
  for (std::size_t source = 0; source < TRIGGER_SOURCES; ++source) {
    if (!watched[source]) continue;
    desk->triggers[source].take_reached(price, fired);
    // The trails move with the best price, then fire on a turn back.
    std::vector<OrderId>& trails = desk->trails[source];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < trails.size(); ++i) {
      const OrderId id = trails[i];
      Held* h = desk->held.find(id);
      if (h == nullptr || !h->trailing) continue;
      trails[kept++] = id;
      const bool sell = h->order.side == Side::Sell;
      if (h->best <= 0 || (sell ? price > h->best : price < h->best)) h->best = price;
      const std::int64_t trail = trail_of(h->trigger, h->best);
      const std::int64_t level = sell ? sub_sat(h->best, trail) : add_sat(h->best, trail);
      if (sell ? price <= level : price >= level) fired.emplace_back(h->seq, id);
    }
    trails.resize(kept);
  }
  if (fired.empty()) return;

  // Fire in the order the orders were placed; the book gave its entry
  // numbers, the desk's own number orders across book and trails.
  for (auto& [seq, id] : fired) {
    const Held* h = desk->held.find(id);
    seq = h == nullptr ? 0 : h->seq;
  }
  std::sort(fired.begin(), fired.end());
  // Firing one order may end another that also fired (its partner), which
  // the lookup then no longer finds; nothing else touches `fired` meanwhile.
  for (std::size_t i = 0; i < fired.size(); ++i) {
    const OrderId id = fired[i].second;
    Held* h = desk->held.find(id);
    if (h == nullptr) continue;  // ended by an order that fired before it
    const TriggerTerms& t = h->trigger;
    if (t.kind == TriggerTerms::Kind::Trailing && !h->trailing) {
      // The activation price was reached: the trail starts from the price
      // that reached it.
      start_trail(id, *h);
      h->best = price;
      continue;
    }
    std::int64_t level = t.price;
    if (t.kind == TriggerTerms::Kind::Trailing) {
      const std::int64_t trail = trail_of(t, h->best);
      level = h->order.side == Side::Sell ? sub_sat(h->best, trail) : add_sat(h->best, trail);
    }
    fire(id, level, exch_ts, local_ts, long_size, short_size, hedge);
  }
}

void Matcher::fire(OrderId id, std::int64_t level, Nanos exch_ts, Nanos local_ts, QtyLots long_size,
                   QtyLots short_size, bool hedge) {
  const Held h = *desk->held.find(id);
  desk->held.erase(id);
  const std::size_t from = notices().size();
  notices().push_back(engine::Notice{Kind::Triggered, {}, id, level, exch_ts});
  if (grouped()) {
    if (const OrderId* leader = desk->leader_of.find(id)) {
      if (ends_group(*desk->groups.find(*leader), id)) end_group(*leader, id);
    }
  }
  Working order = h.order;
  if (order.reduce_only) {
    // An order that only reduces is judged when it fires, as a plain one is
    // when it is sent, against the position the venue holds (which counts
    // fills the account will hear of later): a sell reduces the long leg (a
    // long net position), a buy the short leg (a short net position).
    std::tie(long_size, short_size) = venue_legs(long_size, short_size, hedge);
    const QtyLots room = order.side == Side::Sell ? std::max<QtyLots>(long_size, 0)
                         : hedge                  ? abs_sat(short_size)
                                                  : std::max<QtyLots>(sub_sat(0, long_size), 0);
    if (room <= 0) {
      const RejectReason why =
          hedge || long_size == 0 ? RejectReason::ReduceOnlyFlat : RejectReason::ReduceOnlySameSide;
      notices().push_back(engine::Notice{Kind::Rejected, why, id, 0, exch_ts});
      if (grouped()) settle_notices(from);
      return;
    }
    if (h.close_position) order.qty = room;
  }
  order.exch_ts = exch_ts;
  order.local_ts = local_ts;
  if (triggered == engine::TriggeredPrice::Trigger) {
    engine::IdMap<std::int64_t>& bounds = core_engine().bounds;
    bounds.put(id, std::max<std::int64_t>(level, 1));
    if (!send(order, local_ts)) bounds.erase(id);
  } else {
    send(order, local_ts);
  }
  if (grouped()) settle_notices(from);
}

void Matcher::dissolve(OrderId leader) {
  const Group* found = desk->groups.find(leader);
  if (found == nullptr) return;
  const Group g = *found;
  for (OrderId m : g.members) {
    if (m == 0) continue;
    desk->leader_of.erase(m);
    core_engine().unpair(m);
  }
  desk->groups.erase(leader);
  std::erase(desk->guarding, leader);
}

void Matcher::end_group(OrderId leader, OrderId keep) {
  const Group* found = desk->groups.find(leader);
  if (found == nullptr) return;
  const Group g = *found;
  dissolve(leader);
  for (std::size_t i = 0; i < g.members.size(); ++i) {
    const OrderId m = g.members[i];
    if (m == 0 || m == keep) continue;
    // A bracket's entry ends with it only once it has filled in part: what
    // filled of it later would have no exit guarding it.  One filled whole
    // is no longer at the venue, and one not filled at all is the bracket.
    if (g.kind == GroupRole::BracketEntry && i == 0 && !g.entry_filled) continue;
    cancel_member(m, 0);
  }
}

void Matcher::cancel_member(OrderId id, Nanos at) {
  if (unhold(id) || drop(id)) notices().push_back(engine::Notice{Kind::Canceled, {}, id, 0, at});
}

void Matcher::member_ended(OrderId id, Kind how) {
  const OrderId* found = desk->leader_of.find(id);
  if (found == nullptr) return;
  const OrderId leader = *found;
  Group& g = *desk->groups.find(leader);
  if (g.kind == GroupRole::OneCancelsOther) {
    // A leg the strategy cancelled takes the other with it; one the venue
    // refused or let expire only breaks the pair.
    if (how == Kind::Canceled) return end_group(leader, id);
    return dissolve(leader);
  }
  if (g.members[0] == id) {
    // An entry that ends unfilled takes its stop-loss and take-profit along.
    if (!g.entry_filled) return end_group(leader, id);
    desk->leader_of.erase(id);
    g.members[0] = 0;
    return;
  }
  // Armed, the stop-loss and take-profit are a pair: one the strategy
  // cancelled takes the other with it.  Unarmed, or refused or expired by
  // the venue, one ends alone and the other stays.
  if (how == Kind::Canceled && g.entry_filled) return end_group(leader, id);
  for (OrderId& m : g.members) {
    if (m == id) m = 0;
  }
  desk->leader_of.erase(id);
  if (g.members[1] == 0 && g.members[2] == 0) dissolve(leader);
}

void Matcher::settle_notices(std::size_t from) {
  // Ending a member may append notices; those are looked at too.
  for (std::size_t i = from; i < notices().size() && grouped(); ++i) {
    const engine::Notice n = notices()[i];
    if (n.kind == Kind::Triggered) continue;
    member_ended(n.id, n.kind);
  }
}

void Matcher::settle_fills(std::span<const engine::L0Fill> fills, const engine::Tick& tick) {
  for (std::size_t i = 0; i < fills.size() && grouped(); ++i) {
    const engine::L0Fill& f = fills[i];
    const OrderId* found = desk->leader_of.find(f.order);
    if (found == nullptr) continue;
    const OrderId leader = *found;
    Group& g = *desk->groups.find(leader);
    if (ends_group(g, f.order)) {
      end_group(leader, f.order);
      continue;
    }
    // Armed for the part of the entry that has filled, and raised with each
    // part after it; a close-position member (qty 0) is sized when it fires.
    g.entry_filled = true;
    g.entry_done = std::min(add_sat(g.entry_done, f.qty), g.entry_qty);
    const Group armed = g;
    for (std::size_t slot = 1; slot < 3; ++slot) {
      const OrderId id = armed.members[slot];
      const QtyLots full = armed.exit_qty[slot];
      if (id == 0) continue;
      const QtyLots qty = full <= 0 || armed.entry_qty <= 0
                              ? 0
                              : std::max<QtyLots>(1, clamp64(static_cast<Wide>(full) *
                                                             armed.entry_done / armed.entry_qty));
      if (Held* h = desk->held.find(id)) {
        if (qty > 0) h->order.qty = qty;
        if (!h->armed) arm(id, *h, &tick);
      } else if (qty > 0) {
        resize(id, qty);  // a take-profit already at the venue
      }
    }
  }
}

void Matcher::booked(OrderId order, QtyLots long_size, QtyLots short_size) {
  if (const OrderId* found = desk->leader_of.find(order)) {
    Group& g = *desk->groups.find(*found);
    if (g.kind == GroupRole::BracketEntry && g.members[0] == order && !g.in_position) {
      g.in_position = true;
      desk->guarding.push_back(*found);
    }
  }
  if (desk->guarding.empty()) return;
  desk->scratch.assign(desk->guarding.begin(), desk->guarding.end());
  for (OrderId leader : desk->scratch) {
    const Group* g = desk->groups.find(leader);
    if (g == nullptr) continue;
    const bool held =
        g->entry_side == Side::Buy ? long_size > 0 : (long_size < 0 || short_size < 0);
    // The position the entry opened is gone: its protection goes with it.
    if (!held) end_group(leader, 0);
  }
}

}  // namespace halvorn::core
