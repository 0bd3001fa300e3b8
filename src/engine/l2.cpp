#include "engine/l2.hpp"

#include <algorithm>

namespace halvorn::engine {

namespace {

// The displayed quantity at a limit order's own price on its own side, 0
// when there is no level there.
std::int64_t displayed_ahead(const book::Book& depth, const Working& order) {
  const book::Side& side = order.side == Side::Buy ? depth.bids : depth.asks;
  return side.qty_at(order.kind.price).value_or(0);
}

}  // namespace

void WorkingDepth::copy(const book::Book& depth, bool sell) {
  std::optional<book::Side>& side = sell ? bids : asks;
  if (side) return;
  side = sell ? depth.bids : depth.asks;
  (sell ? deepest_bid : deepest_ask) = side->levels.empty() ? 0 : side->levels.back().price;
}

std::optional<Walked> WorkingDepth::take(const book::Book& depth, bool sell, QtyLots qty,
                                         std::optional<std::int64_t> limit) {
  copy(depth, sell);
  book::Side& side = sell ? *bids : *asks;
  const std::int64_t deepest = sell ? deepest_bid : deepest_ask;
  if (deepest == 0 || qty <= 0) return std::nullopt;  // the side displayed nothing
  // The displayed lots the limit lets the order take, best first.
  QtyLots within = 0;
  for (const book::Level& l : side.levels) {
    if (limit && (sell ? l.price < *limit : l.price > *limit)) break;
    within = add_sat(within, std::max<std::int64_t>(l.qty, 0));
    if (within >= qty) break;
  }
  const book::Taken t = side.take(std::min(within, qty));
  // What the displayed book cannot hold goes at the worst price the order
  // could still be given: never cheaper than the walk before it.
  const QtyLots beyond = qty - t.filled;
  Wide notional = t.notional;
  if (beyond > 0) {
    const Wide worst = limit ? *limit : deepest;
    Wide rest;
    if (__builtin_mul_overflow(worst, static_cast<Wide>(beyond), &rest) ||
        __builtin_add_overflow(notional, rest, &notional)) {
      return std::nullopt;
    }
  }
  const Wide lots = qty;
  Wide average;
  if (sell) {
    average = notional / lots;
  } else {
    Wide numerator;
    // A price beyond 128 bits is beyond 64 as well: no depth price.
    if (__builtin_add_overflow(notional, lots - 1, &numerator)) return std::nullopt;
    average = numerator / lots;
  }
  if (average > I64_MAX || average < I64_MIN) return std::nullopt;
  return Walked{static_cast<std::int64_t>(average), beyond > 0};
}

L2Engine::L2Engine(InstrumentId instrument, const L1Config& config) : l1(instrument, config) {}

Admission L2Engine::submit(const Working& order, Nanos now) {
  if (resync_pending) {
    const Nanos at = add_sat(now, Latency::sample(l1.config.order_latency, order.id));
    l1.add_pending(Pending{std::nullopt, at, order, at, true});
    return Admission::Accepted;
  }
  std::optional<std::int64_t> ahead;
  if (order.kind.is_limit() && depth_ready) ahead = displayed_ahead(depth, order);
  return l1.submit_queue(order, now, ahead, true);
}

void L2Engine::resolve_pending(Nanos cutoff) {
  for (Pending& p : l1.pending) {
    if (!p.needs_depth || p.arrive_at > cutoff) continue;
    p.ahead = depth_ready && p.order.kind.is_limit()
                  ? std::optional<std::int64_t>(displayed_ahead(depth, p.order))
                  : std::nullopt;
    p.needs_depth = false;
  }
}

std::span<const L0Fill> L2Engine::on_tick(const Tick& tick) {
  if (resync_pending) {
    invalid_ticks = next_counter(invalid_ticks, "invalid tick count overflows");
    return l1.on_invalid_tick(tick);
  }
  resolve_pending(tick.exch_ts);
  WorkingDepth working;
  const std::uint32_t pct = l1.config.impact_pct;
  const auto fills =
      l1.on_tick_with_impact(tick, [&](L0Fill& f, std::int64_t traded, const Tick& t) {
        if (!f.taker) return;
        const bool sell = f.side == Side::Sell;
        // Make this tick's copy in storage kept from earlier ticks, so that a
        // tick with taker fills allocates nothing once warm.
        std::optional<book::Side>& copy = sell ? working.bids : working.asks;
        if (!copy) {
          const book::Side& side = sell ? depth.bids : depth.asks;
          copy.emplace(book::Side{std::move(sell ? spare_bids_ : spare_asks_), side.descending});
          copy->levels.assign(side.levels.begin(), side.levels.end());
          (sell ? working.deepest_bid : working.deepest_ask) =
              side.levels.empty() ? 0 : side.levels.back().price;
        }
        const std::optional<std::int64_t> limit =
            f.kind.is_limit() ? std::optional<std::int64_t>(f.kind.price) : std::nullopt;
        const std::optional<Walked> v = working.take(depth, sell, f.qty, limit);
        const std::int64_t quoted = f.price;
        // The square-root impact prices a fill the depth cannot, and is the
        // least a fill that ran past the displayed book moves.
        if (!v || v->beyond) l1_impact(f, traded, pct, t);
        if (!v) return;
        // Depth never makes a fill better for the order than the L0 price,
        // nor a limit order's worse than its limit.
        const std::int64_t floor = v->beyond ? f.price : quoted;
        f.price = within_limit(f, sell ? std::min(floor, v->price) : std::max(floor, v->price));
      });
  if (working.bids) spare_bids_ = std::move(working.bids->levels);
  if (working.asks) spare_asks_ = std::move(working.asks->levels);
  return fills;
}

book::ApplyResult L2Engine::on_depth(const book::DepthUpdate& update) {
  // Orders that arrived strictly before the update read the book as it was.
  // The finer time, when the source has one, keeps an order that arrived
  // within the update's millisecond on the right side of it.
  const Nanos time = update.time_ns ? *update.time_ns
                                    : clamp64(static_cast<Wide>(update.time_ms) * NANOS_PER_MILLI);
  const Nanos at = sub_sat(time, 1);
  resolve_pending(at);
  book::ApplyResult result = depth.apply(update);
  if (book::is_error(result)) resynchronise();
  return result;
}

void L2Engine::resynchronise() {
  depth.clear();
  depth_ready = false;
  resync_pending = true;
  l1.prev_volume.reset();
  l1.last_tick_time.reset();
  l1.inner.forget_previous_tick();
  for (Pending& p : l1.pending) {
    p.needs_depth = true;
    p.ahead.reset();
  }
}

void L2Engine::install_snapshot(const book::DepthSnapshot& snapshot) {
  depth.install(snapshot);
  depth_ready = true;
  resync_pending = false;
}

}  // namespace halvorn::engine
