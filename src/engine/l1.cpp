#include "engine/l1.hpp"

#include <algorithm>
#include <cmath>

#include "types/overloaded.hpp"

namespace halvorn::engine {

namespace {

// Room for a busy tick so that ordinary runs never grow the arrays.
constexpr std::size_t INITIAL_CAPACITY = 16;

// The SplitMix64 output function: a cheap, well-mixed hash of the order id,
// so that latency draws need no random state and repeat across runs.
std::uint64_t splitmix64(std::uint64_t id) {
  std::uint64_t x = id + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// The largest double below 2^63 that the shift may take before it saturates.
constexpr double SHIFT_LIMIT = 9.223372036854775e18;

}  // namespace

Nanos Latency::sample(const Latency& latency, OrderId id) {
  return std::visit(Overloaded{
                        [](const Fixed& f) { return f.value; },
                        [id](const Quantiles& q) {
                          const std::uint64_t b = splitmix64(id) % 1000;
                          if (b < 500) return q.p50;
                          if (b < 900) return q.p90;
                          if (b < 990) return q.p99;
                          return q.p999;
                        },
                    },
                    latency.kind);
}

bool Latency::is_zero() const {
  return std::visit(
      Overloaded{
          [](const Fixed& f) { return f.value == 0; },
          [](const Quantiles& q) { return q.p50 == 0 && q.p90 == 0 && q.p99 == 0 && q.p999 == 0; },
      },
      kind);
}

void l1_impact(L0Fill& fill, std::int64_t traded, std::uint32_t impact_pct, const Tick& tick) {
  if (!fill.taker || traded <= 0 || impact_pct == 0) return;
  // An absent high or low (0 or below) is the last price, as everywhere
  // else a tick is read.  Extreme ticks are data, not faults: the range
  // saturates, and so does the moved price below.
  const std::int64_t range =
      sub_sat(tick.high > 0 ? tick.high : tick.last, tick.low > 0 ? tick.low : tick.last);
  if (range <= 0) return;
  // The one floating-point step on the tick path; its result is truncated
  // back to whole ticks.
  const double a = static_cast<double>(fill.qty) / static_cast<double>(traded);
  const double b = static_cast<double>(impact_pct) / 100.0;
  const double c = static_cast<double>(range) * b;
  const double m = std::sqrt(a) * c;
  std::int64_t shift;
  if (std::isnan(m)) {
    shift = 0;
  } else if (m > SHIFT_LIMIT) {
    shift = I64_MAX;
  } else if (m < -SHIFT_LIMIT) {
    shift = I64_MIN;  // unreachable with a positive quantity; keeps the cast defined
  } else {
    shift = static_cast<std::int64_t>(m);
  }
  if (shift == 0) return;
  Wide moved = fill.side == Side::Buy ? static_cast<Wide>(fill.price) + shift
                                      : static_cast<Wide>(fill.price) - shift;
  if (fill.kind.is_limit()) {
    const Wide limit = fill.kind.price;
    moved = fill.side == Side::Buy ? std::min(moved, limit) : std::max(moved, limit);
  }
  // Impact pushes a sell no lower than one tick: no venue fills at a price
  // of nothing.  A price already below it is the data's, and stays.
  if (fill.side == Side::Sell) moved = std::max(moved, std::min<Wide>(fill.price, 1));
  fill.price = clamp64(moved);
}

std::int64_t within_limit(const L0Fill& fill, std::int64_t price) {
  if (!fill.kind.is_limit()) return price;
  return fill.side == Side::Buy ? std::min(price, fill.kind.price)
                                : std::max(price, fill.kind.price);
}

L1Engine::L1Engine(InstrumentId instrument, const L1Config& config)
    : inner(instrument), config(config) {
  pending.reserve(INITIAL_CAPACITY);
  arrivals.reserve(INITIAL_CAPACITY);
  queued.reserve(INITIAL_CAPACITY);
  delayed.reserve(INITIAL_CAPACITY);
  out.reserve(INITIAL_CAPACITY);
}

Admission L1Engine::enqueue(const Working& order, std::optional<std::int64_t> ahead,
                            std::optional<Nanos> joined, std::optional<std::int64_t> volume) {
  // An order that can trade at once takes liquidity instead of queueing.
  if (order.kind.is_market() || inner.marketable(order)) return inner.submit(order);
  if (order.immediate()) return Admission::Expired;
  std::int64_t lots;
  if (ahead) {
    lots = std::max<std::int64_t>(*ahead, 0);
  } else {
    const std::optional<std::int64_t> modelled = std::visit(
        Overloaded{
            [](const QueueModel::Off&) -> std::optional<std::int64_t> { return std::nullopt; },
            [](const QueueModel::Fixed& f) -> std::optional<std::int64_t> { return f.lots; },
            [&](const QueueModel::TradedShare& s) -> std::optional<std::int64_t> {
              if (!volume) return std::nullopt;
              return clamp64(static_cast<Wide>(s.pct) * *volume) / 100;
            },
        },
        config.queue.kind);
    if (!modelled) {
      inner.rest(order);
      return Admission::Accepted;
    }
    lots = *modelled;
  }
  if (lots < 1) {
    inner.rest(order);
    return Admission::Accepted;
  }
  queued.push_back(Queued{joined, order, lots, next_ticket++});
  hold(order.id, &Waiting::queued);
  return Admission::Accepted;
}

void L1Engine::add_pending(Pending entry) {
  entry.ticket = next_ticket++;
  pending.push_back(std::move(entry));
  hold(pending.back().order.id, &Waiting::pending);
}

void L1Engine::hold(OrderId id, std::uint32_t Waiting::* stage) {
  Waiting* w = waiting_ids.find(id);
  if (w == nullptr) w = &waiting_ids.put(id, Waiting{});
  ++(w->*stage);
  ++(stage == &Waiting::pending ? pending_live_ : queued_live_);
}

void L1Engine::let_go(OrderId id, std::uint32_t Waiting::* stage) {
  Waiting* w = waiting_ids.find(id);
  if (w == nullptr || w->*stage == 0) panic("a waiting order the index does not hold");
  --(w->*stage);
  --(stage == &Waiting::pending ? pending_live_ : queued_live_);
  if (w->pending == 0 && w->queued == 0) waiting_ids.erase(id);
}

Admission L1Engine::submit(const Working& order, Nanos now) {
  return submit_queue(order, now, std::nullopt, false);
}

Admission L1Engine::submit_queue(const Working& order, Nanos now, std::optional<std::int64_t> ahead,
                                 bool needs_depth) {
  const Nanos latency = Latency::sample(config.order_latency, order.id);
  if (needs_depth) {
    if (latency > 0) {
      const Nanos at = add_sat(now, latency);
      add_pending(Pending{ahead, at, order, at, true});
      return Admission::Accepted;
    }
    return enqueue(order, ahead, ahead ? std::optional<Nanos>(now) : std::nullopt, last_traded);
  }
  if (config.order_latency.is_zero()) return enqueue(order, ahead, std::nullopt, last_traded);
  // Decided by the configuration, not the draw: an order whose own draw is
  // 0 still waits for the next tick.
  add_pending(Pending{ahead, std::nullopt, order, add_sat(now, latency), false});
  return Admission::Accepted;
}

bool L1Engine::cancel(OrderId id) {
  const Waiting* w = waiting_ids.find(id);
  if (w == nullptr) return inner.cancel(id);
  pending_live_ -= w->pending;
  queued_live_ -= w->queued;
  waiting_ids.erase(id);
  // Every entry of this id made so far is dead; one made later is not.
  canceled_below.put(id, next_ticket);
  return true;
}

CancelOutcome L1Engine::request_cancel(OrderId id, Nanos now) {
  if (config.cancel_latency.is_zero()) {
    return cancel(id) ? CancelOutcome::Done : CancelOutcome::Unknown;
  }
  if (!holds(id)) return CancelOutcome::Unknown;
  cancels.push_back(PendingCancel{id, add_sat(now, Latency::sample(config.cancel_latency, id))});
  return CancelOutcome::Requested;
}

void L1Engine::arrive_cancels(Nanos now) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < cancels.size(); ++i) {
    const PendingCancel c = cancels[i];
    if (c.arrive_at <= now) {
      // A cancel that finds its order filled, or cancelled already, does
      // nothing.
      if (cancel(c.id)) inner.notices.push_back(Notice{Notice::Kind::Canceled, {}, c.id, 0, now});
    } else {
      cancels[kept++] = c;
    }
  }
  cancels.resize(kept);
}

std::size_t L1Engine::cancel_all() {
  const std::size_t dropped = pending_live_ + queued_live_;
  pending.clear();
  queued.clear();
  cancels.clear();
  waiting_ids.clear();
  canceled_below.clear();
  pending_live_ = 0;
  queued_live_ = 0;
  return dropped + inner.cancel_all();
}

std::span<const L0Fill> L1Engine::on_tick(const Tick& tick) {
  const std::uint32_t pct = config.impact_pct;
  return on_tick_with_impact(
      tick, [pct](L0Fill& f, std::int64_t traded, const Tick& t) { l1_impact(f, traded, pct, t); });
}

std::int64_t L1Engine::traded_volume(const Tick& tick) const {
  if (!prev_volume) return 0;
  return std::max<std::int64_t>(sub_sat(tick.volume, *prev_volume), 0);
}

void L1Engine::arrive(Nanos now, std::int64_t traded) {
  // Arrivals are handled in submission order, not in order of arrival time,
  // and the orders still on their way keep their order.
  arrivals.clear();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    Pending& p = pending[i];
    if (dead(p)) continue;
    if (p.arrive_at <= now) {
      arrivals.emplace_back(p.order.id, p.arrive_at);
      let_go(p.order.id, &Waiting::pending);
      const Admission admitted =
          enqueue(p.order, p.ahead, p.ahead ? p.joined : std::nullopt, traded);
      if (admitted == Admission::Expired) {
        inner.notices.push_back(Notice{Notice::Kind::Expired, {}, p.order.id, 0, now});
      } else if (admitted == Admission::WouldTake) {
        inner.notices.push_back(
            Notice{Notice::Kind::Rejected, RejectReason::PostOnlyWouldTake, p.order.id, 0, now});
      }
    } else {
      if (kept != i) pending[kept] = std::move(p);
      ++kept;
    }
  }
  pending.resize(kept);
}

void L1Engine::stamp_after_arrival() {
  for (L0Fill& f : inner.fills) {
    for (const auto& [id, at] : arrivals) {
      if (f.order == id) {
        f.exch_ts = std::max(f.exch_ts, at);
        f.local_ts = std::max(f.local_ts, at);
        break;
      }
    }
  }
}

void L1Engine::advance_queue(const Tick& tick, std::int64_t traded) {
  // Entries are examined in arrival order and the eligible ones enter the
  // book in that order; nothing examined depends on the book, so inserting
  // as we go is the same as inserting after the whole pass.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < queued.size(); ++i) {
    Queued& q = queued[i];
    if (dead(q)) continue;
    bool eligible = false;
    // An order that joined at t counts only volume traded wholly after t.
    const bool waiting = q.joined && (!last_tick_time || *last_tick_time < *q.joined);
    if (!waiting) {
      if (q.order.kind.is_market()) {
        eligible = true;
      } else if (tick.high != 0 || tick.low != 0) {
        const std::int64_t p = q.order.kind.price;
        const bool buy = q.order.side == Side::Buy;
        if ((buy && tick.high < p) || (!buy && tick.low > p)) {
          eligible = true;  // the price moved through the order
        } else if (tick.low <= p && p <= tick.high) {
          // Every order inside the range is credited with the full volume:
          // it is not shared among them.
          q.ahead = sub_sat(q.ahead, traded);
          eligible = q.ahead <= 0;
        }
      }
    }
    if (eligible) {
      // It waited its turn: a maker whatever the quote says now.
      let_go(q.order.id, &Waiting::queued);
      inner.rest(q.order);
    } else {
      if (kept != i) queued[kept] = std::move(q);
      ++kept;
    }
  }
  queued.resize(kept);
}

void L1Engine::report(Nanos now) {
  out.clear();
  if (config.report_latency.is_zero()) {
    out.insert(out.end(), inner.fills.begin(), inner.fills.end());
    return;
  }
  for (const L0Fill& f : inner.fills) {
    const Nanos latency = Latency::sample(config.report_latency, f.order);
    // A report due beyond the last representable time is due at it: in
    // practice the run books it with the other unreported fills at the end.
    delayed.push_back(Delayed{add_sat(now, latency), f});
  }
  report_due(now);
}

void L1Engine::report_due(Nanos now) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < delayed.size(); ++i) {
    if (delayed[i].report_at <= now) {
      out.push_back(delayed[i].fill);
    } else {
      if (kept != i) delayed[kept] = delayed[i];
      ++kept;
    }
  }
  delayed.resize(kept);
}

void L1Engine::remember(const Tick& tick, std::int64_t traded) {
  if (prev_volume) last_traded = traded;
  prev_volume = tick.volume;
  last_tick_time = tick.exch_ts;
}

std::span<const L0Fill> L1Engine::on_invalid_tick(const Tick& tick) {
  out.clear();
  inner.fills.clear();  // nothing executed on this tick
  report_due(tick.exch_ts);
  prev_volume = tick.volume;
  last_tick_time = tick.exch_ts;
  inner.forget_previous_tick();
  // The tick's quote is the trades' own, good whatever became of the depth:
  // an order arriving once the book is back is judged against it.
  inner.quote_of(tick);
  return out;
}

std::vector<L0Fill> L1Engine::drain_unreported() {
  std::vector<Delayed> taken = std::move(delayed);
  delayed.clear();
  delayed.reserve(INITIAL_CAPACITY);
  std::stable_sort(taken.begin(), taken.end(),
                   [](const Delayed& a, const Delayed& b) { return a.report_at < b.report_at; });
  std::vector<L0Fill> fills;
  fills.reserve(taken.size());
  for (const Delayed& d : taken) fills.push_back(d.fill);
  return fills;
}

}  // namespace halvorn::engine
