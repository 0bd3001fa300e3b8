#include "engine/l0.hpp"

#include <algorithm>

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

// The output buffers start with room for a busy tick so that ordinary runs
// never grow them.
constexpr std::size_t INITIAL_CAPACITY = 16;

// Up to this many crossed orders an insertion sort beats the general sort.
constexpr std::size_t INSERTION_SORT_MAX = 20;

// A high, low, bid or ask of zero or less is absent.
std::int64_t or_last(std::int64_t v, std::int64_t last) { return v > 0 ? v : last; }

}  // namespace

bool traded_through(const Working& order, const Tick& tick) {
  const std::int64_t p = order.kind.price;
  if (order.side == Side::Buy) {
    return or_last(tick.low, tick.last) < p || tick.last < p || (tick.ask > 0 && tick.ask < p);
  }
  return or_last(tick.high, tick.last) > p || tick.last > p || (tick.bid > 0 && tick.bid > p);
}

Working limit_order(OrderId id, Side side, std::int64_t price, QtyLots qty, Nanos exch_ts,
                    Nanos local_ts, Offset offset) {
  return make_order(id, side, OrderKind::limit(price), qty, exch_ts, local_ts, offset);
}

Working market_order(OrderId id, Side side, QtyLots qty, Nanos exch_ts, Nanos local_ts,
                     Offset offset) {
  return make_order(id, side, OrderKind::market(), qty, exch_ts, local_ts, offset);
}

L0Engine::L0Engine(InstrumentId instrument) : instrument(instrument) {
  fills.reserve(INITIAL_CAPACITY);
  crossed.reserve(INITIAL_CAPACITY);
  notices.reserve(INITIAL_CAPACITY);
  immediate.reserve(INITIAL_CAPACITY);
}

bool L0Engine::marketable(const Working& order) const {
  if (!order.kind.is_limit() || !prev_quote) return false;
  return order.side == Side::Buy ? order.kind.price >= prev_quote->ask
                                 : order.kind.price <= prev_quote->bid;
}

Admission L0Engine::submit(const Working& order) {
  if (marketable(order) || order.kind.is_market()) {
    if (order.post_only) return Admission::WouldTake;
    if (order.kind.is_limit()) takers.put(order.id, {});
  } else if (order.immediate()) {
    return Admission::Expired;  // nothing to trade against now
  }
  book.insert(order);
  if (order.immediate()) immediate.push_back(order.id);
  return Admission::Accepted;
}

void L0Engine::rest(const Working& order) { book.insert(order); }

bool L0Engine::cancel(OrderId id) {
  takers.erase(id);
  if (!bounds.empty()) bounds.erase(id);
  return book.remove(id).has_value();
}

bool L0Engine::resize(OrderId id, QtyLots qty) {
  const Resting* r = book.find(id);
  if (r == nullptr) return false;
  Working order = r->order;
  order.qty = std::max(qty, order.filled + 1);
  book.replace(id, order);
  return true;
}

// Removing every order by id or dropping the whole book leaves the same
// book, because an id occurs once; the latter needs no list of ids.
std::size_t L0Engine::cancel_all() {
  takers.clear();
  immediate.clear();
  partners.clear();
  bounds.clear();
  return book.clear();
}

void L0Engine::pair(OrderId a, OrderId b) {
  partners.put(a, b);
  partners.put(b, a);
}

void L0Engine::unpair(OrderId id) {
  if (partners.empty()) return;
  if (const OrderId* other = partners.find(id)) {
    const OrderId b = *other;
    partners.erase(id);
    partners.erase(b);
  }
}

std::int64_t L0Engine::bounded(const Working& order, std::int64_t trigger, std::int64_t price) {
  const bool buy = order.side == Side::Buy;
  price = buy ? std::max(price, trigger) : std::min(price, trigger);
  if (order.kind.is_limit()) {
    price = buy ? std::min(price, order.kind.price) : std::max(price, order.kind.price);
  }
  return price;
}

void L0Engine::execute_at(Working order, std::int64_t price, bool taker, FillRule rule,
                          Nanos exch_ts, Nanos local_ts) {
  const QtyLots remaining = order.remaining();
  if (remaining <= 0) {
    book.replace(order.id, std::nullopt);
    return;
  }
  execute_part(order, remaining, price, taker, rule, exch_ts, local_ts);
}

void L0Engine::execute_part(Working order, QtyLots qty, std::int64_t price, bool taker,
                            FillRule rule, Nanos exch_ts, Nanos local_ts) {
  Working::FillResult result = Working::fill(order, qty);
  const bool complete = std::holds_alternative<FillComplete>(result);
  if (complete) {
    book.replace(order.id, std::nullopt);
  } else if (auto* partial = std::get_if<FillPartial>(&result)) {
    Working advanced = partial->order;
    advanced.status = OrderStatus::PartiallyFilled;
    book.replace(order.id, advanced);
  } else {
    return;  // a fill the order cannot take is ignored
  }
  if (!bounds.empty()) {
    if (const std::int64_t* trigger = bounds.find(order.id)) {
      price = bounded(order, *trigger, price);
      if (complete) bounds.erase(order.id);  // its last fill
    }
  }
  fill_seq = next_counter(fill_seq, "fill sequence number overflows");
  fills.push_back(L0Fill{exch_ts, local_ts, order.id, fill_seq, price, qty, instrument, order.side,
                         order.offset, taker, rule, order.kind, order.reduce_only,
                         order.remaining() - qty});
  if (!partners.empty()) {
    if (const OrderId* other = partners.find(order.id)) {
      // The first leg of a pair to execute ends the other before anything
      // else this tick can reach it: of the matcher's rule for its groups
      // (the first member to fill or fire ends the rest), the part that
      // falls between two executions of one match, which only the engine
      // sees.
      const OrderId p = *other;
      partners.erase(order.id);
      partners.erase(p);
      if (book.remove(p)) {
        takers.erase(p);
        notices.push_back(Notice{Notice::Kind::Canceled, {}, p, 0, exch_ts});
      }
    }
  }
}

void L0Engine::cross(const Tick& tick) {
  const std::int64_t p = *prev_last;
  const std::int64_t high = or_last(tick.high, tick.last);
  const std::int64_t low = or_last(tick.low, tick.last);
  crossed.clear();
  auto list = [this](const Resting& r) { crossed.emplace_back(r.entry_seq, r.id()); };
  // Only one side per tick: a range that reaches both above and below p
  // crosses the sells.  The bounds cannot overflow: p < high, p > low.
  if (p < high) {
    book.for_each_priced(Lane::SellLimits, p + 1, high, list);
  } else if (p > low) {
    book.for_each_priced(Lane::BuyLimits, low, p - 1, list);
  }
  if (crossed.empty()) return;

  // Crossed orders execute in the order they entered the book, across price
  // levels.  The pairs are unique, so stability does not matter.
  if (crossed.size() <= INSERTION_SORT_MAX) {
    for (std::size_t i = 1; i < crossed.size(); ++i) {
      auto key = crossed[i];
      std::size_t j = i;
      for (; j > 0 && key < crossed[j - 1]; --j) crossed[j] = crossed[j - 1];
      crossed[j] = key;
    }
  } else {
    std::sort(crossed.begin(), crossed.end());
  }
  const auto [exch_ts, local_ts] = *prev_times;
  for (const auto& [seq, id] : crossed) {
    const Resting* resting = book.find(id);
    if (resting == nullptr) continue;
    reach(resting->order, resting->order.kind.price, takers.contains(id), FillRule::Crossed, tick,
          exch_ts, local_ts);
  }
}

bool L0Engine::reach(const Working& order, std::int64_t price, bool taker, FillRule rule,
                     const Tick& tick, Nanos exch_ts, Nanos local_ts) {
  if (parts == nullptr) {
    execute_at(order, price, taker, rule, exch_ts, local_ts);
    return false;
  }
  const Working reached = order;  // the book's copy moves as it changes
  if (parts->executed.contains(reached.id)) return true;
  parts->executed.put(reached.id, {});
  const QtyLots qty = part_of(reached, taker, tick);
  if (qty <= 0) return true;
  execute_part(reached, qty, price, taker, rule, exch_ts, local_ts);
  return qty < reached.remaining();
}

QtyLots L0Engine::part_of(const Working& order, bool taker, const Tick& tick) {
  const QtyLots remaining = order.remaining();
  if (taker) {
    if (parts->taker == nullptr) return remaining;
    return std::clamp<QtyLots>(parts->taker(parts->context, order), 0, remaining);
  }
  QtyLots qty = remaining;
  if (!traded_through(order, tick)) {
    QtyLots allowed = parts->budget;
    if (const QtyLots* past = parts->past_queue.find(order.id)) {
      allowed = std::min(allowed, *past);
    }
    qty = std::min(remaining, std::max<QtyLots>(allowed, 0));
  }
  // A fill forced by a trade through the order spends the tick's volume
  // too: the trades at its price came before those past it.
  parts->budget = std::max<QtyLots>(sub_sat(parts->budget, qty), 0);
  return qty;
}

void L0Engine::execute_markets(Lane lane, std::int64_t price, const Tick& tick) {
  // Each execution removes the front order (and perhaps its partner) and
  // adds none, so taking the front at most as many times as the lane held
  // orders walks it as it stood.
  for (std::size_t n = book.count(lane); n > 0; --n) {
    const Resting* front = book.front(lane);
    if (front == nullptr) break;
    execute_at(front->order, price, true, FillRule::MarketOrder, tick.exch_ts, tick.local_ts);
  }
}

std::span<const L0Fill> L0Engine::on_tick(const Tick& tick) {
  fills.clear();
  if (book.empty()) {
    // Nothing can fill; only the previous-tick memory moves on.
    remember(tick);
    return fills;
  }
  if (prev_last) cross(tick);

  if (parts == nullptr) {
    if (book.count(Lane::BuyMarkets) > 0) {
      execute_markets(Lane::BuyMarkets, or_last(tick.ask, tick.last), tick);
    }
    if (book.count(Lane::SellMarkets) > 0) {
      execute_markets(Lane::SellMarkets, or_last(tick.bid, tick.last), tick);
    }
    execute_quoted(tick);
  } else {
    if (book.count(Lane::BuyMarkets) > 0) {
      execute_markets_in_parts(Lane::BuyMarkets, or_last(tick.ask, tick.last), tick);
    }
    if (book.count(Lane::SellMarkets) > 0) {
      execute_markets_in_parts(Lane::SellMarkets, or_last(tick.bid, tick.last), tick);
    }
    execute_quoted_in_parts(tick);
  }

  if (!immediate.empty()) expire_immediate(tick);
  remember(tick);
  return fills;
}

void L0Engine::execute_quoted(const Tick& tick) {
  // Every execution removes its order (the whole remainder fills), so each
  // loop below ends.
  const std::int64_t buy_threshold = tick.ask > 0 ? tick.ask : or_last(tick.low, tick.last);
  if (buy_threshold >= 1) {
    const std::int64_t cap = or_last(tick.ask, tick.last);
    while (const Resting* best = book.front(Lane::BuyLimits)) {
      const Working& order = best->order;
      if (order.kind.price < buy_threshold) break;
      const bool taker = takers.contains(order.id);
      const std::int64_t price = cap < 1 || (!taker && resting == RestingPrice::Limit)
                                     ? order.kind.price
                                     : std::min(order.kind.price, cap);
      execute_at(order, price, taker, FillRule::Quote, tick.exch_ts, tick.local_ts);
    }
  }
  const std::int64_t sell_threshold = tick.bid > 0 ? tick.bid : or_last(tick.high, tick.last);
  if (sell_threshold >= 1) {
    const std::int64_t floor = or_last(tick.bid, tick.last);
    while (const Resting* best = book.front(Lane::SellLimits)) {
      const Working& order = best->order;
      if (order.kind.price > sell_threshold) break;
      const bool taker = takers.contains(order.id);
      const std::int64_t price = floor < 1 || (!taker && resting == RestingPrice::Limit)
                                     ? order.kind.price
                                     : std::max(order.kind.price, floor);
      execute_at(order, price, taker, FillRule::Quote, tick.exch_ts, tick.local_ts);
    }
  }
}

void L0Engine::execute_markets_in_parts(Lane lane, std::int64_t price, const Tick& tick) {
  // An order left with a part unfilled stays at the front, so the lane is
  // listed as it stood and each order in it reached once.
  crossed.clear();
  book.walk(lane, [this](const Resting& r) {
    crossed.emplace_back(r.entry_seq, r.id());
    return true;
  });
  for (const auto& [seq, id] : crossed) {
    if (const Resting* r = book.find(id)) {
      reach(r->order, price, true, FillRule::MarketOrder, tick, tick.exch_ts, tick.local_ts);
    }
  }
}

void L0Engine::execute_quoted_in_parts(const Tick& tick) {
  // The same orders as execute_quoted reaches, at the same prices, each
  // reached once and in the same order; one that a part leaves behind
  // does not stop the walk, as the orders behind it may be takers sized
  // apart from it or fills the tick's trades force.
  const std::int64_t buy_threshold = tick.ask > 0 ? tick.ask : or_last(tick.low, tick.last);
  const std::int64_t sell_threshold = tick.bid > 0 ? tick.bid : or_last(tick.high, tick.last);
  for (const Lane lane : {Lane::BuyLimits, Lane::SellLimits}) {
    const bool buys = lane == Lane::BuyLimits;
    const std::int64_t threshold = buys ? buy_threshold : sell_threshold;
    // The best order tells at once whether the quote reaches any.
    const Resting* best = book.front(lane);
    if (threshold < 1 || best == nullptr ||
        (buys ? best->order.kind.price < threshold : best->order.kind.price > threshold)) {
      continue;
    }
    crossed.clear();
    book.walk(lane, [&](const Resting& r) {
      const std::int64_t p = r.order.kind.price;
      if (buys ? p < threshold : p > threshold) return false;
      crossed.emplace_back(r.entry_seq, r.id());
      return true;
    });
    const std::int64_t bound = buys ? or_last(tick.ask, tick.last) : or_last(tick.bid, tick.last);
    for (const auto& [seq, id] : crossed) {
      const Resting* r = book.find(id);
      if (r == nullptr) continue;  // ended by the other leg of its pair
      const std::int64_t limit = r->order.kind.price;
      const bool taker = takers.contains(id);
      const std::int64_t price = bound < 1 || (!taker && resting == RestingPrice::Limit) ? limit
                                 : buys ? std::min(limit, bound)
                                        : std::max(limit, bound);
      reach(r->order, price, taker, FillRule::Quote, tick, tick.exch_ts, tick.local_ts);
    }
  }
}

void L0Engine::expire_immediate(const Tick& tick) {
  for (OrderId id : immediate) {
    if (book.remove(id)) notices.push_back(Notice{Notice::Kind::Expired, {}, id, 0, tick.exch_ts});
  }
  immediate.clear();
}

void L0Engine::remember(const Tick& tick) {
  prev_last = tick.last;
  prev_times = std::pair{tick.exch_ts, tick.local_ts};
  quote_of(tick);
  // Every order in the book has now met a tick: whatever did not fill rests.
  takers.clear();
  immediate.clear();
}

void L0Engine::quote_of(const Tick& tick) {
  prev_quote = Quote{or_last(tick.bid, tick.last), or_last(tick.ask, tick.last)};
}

void L0Engine::forget_previous_tick() {
  prev_last.reset();
  prev_times.reset();
}

}  // namespace halvorn::engine
