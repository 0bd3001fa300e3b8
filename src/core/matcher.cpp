#include "core/matcher.hpp"

#include "types/overloaded.hpp"

namespace halvorn::core {

namespace {

using L1Ptr = std::unique_ptr<engine::L1Engine>;
using L2Ptr = std::unique_ptr<engine::L2Engine>;

}  // namespace

Matcher Tier::matcher(const Tier& tier, InstrumentId instrument, engine::RestingPrice resting,
                      engine::TriggeredPrice triggered) {
  Matcher m =
      std::visit(Overloaded{
                     [&](const Tier::L0&) { return Matcher(engine::L0Engine(instrument)); },
                     [&](const Tier::L1& t) {
                       return Matcher(std::make_unique<engine::L1Engine>(instrument, t.config));
                     },
                     [&](const Tier::L2& t) {
                       return Matcher(std::make_unique<engine::L2Engine>(instrument, t.config));
                     },
                 },
                 tier.kind);
  m.core_engine().resting = resting;
  m.triggered = triggered;
  return m;
}

engine::L0Engine& Matcher::find_core() {
  return std::visit(Overloaded{
                        [](engine::L0Engine& l0) -> engine::L0Engine& { return l0; },
                        [](L1Ptr& l1) -> engine::L0Engine& { return l1->inner; },
                        [](L2Ptr& l2) -> engine::L0Engine& { return l2->l1.inner; },
                    },
                    engine);
}

std::span<const engine::L0Fill> Matcher::executed() { return core_engine().fills; }

bool Matcher::send(const Working& order, Nanos now) {
  const engine::Admission admitted =
      std::visit(Overloaded{
                     [&](engine::L0Engine& l0) { return l0.submit(order); },
                     [&](L1Ptr& l1) { return l1->submit(order, now); },
                     [&](L2Ptr& l2) { return l2->submit(order, now); },
                 },
                 engine);
  if (admitted == engine::Admission::Accepted) return true;
  const std::size_t from = notices().size();
  notices().push_back(
      admitted == engine::Admission::Expired
          ? engine::Notice{engine::Notice::Kind::Expired, {}, order.id, 0, order.exch_ts}
          : engine::Notice{engine::Notice::Kind::Rejected, RejectReason::PostOnlyWouldTake,
                           order.id, 0, order.exch_ts});
  if (grouped()) settle_notices(from);
  return false;
}

void Matcher::submit(const Working& order, Nanos now) { send(order, now); }

bool Matcher::drop(OrderId id) {
  return std::visit(Overloaded{
                        [&](engine::L0Engine& l0) { return l0.cancel(id); },
                        [&](L1Ptr& l1) { return l1->cancel(id); },
                        [&](L2Ptr& l2) { return l2->cancel(id); },
                    },
                    engine);
}

bool Matcher::resize(OrderId id, QtyLots qty) {
  return std::visit(Overloaded{
                        [&](engine::L0Engine& l0) { return l0.resize(id, qty); },
                        [&](L1Ptr& l1) { return l1->resize(id, qty); },
                        [&](L2Ptr& l2) { return l2->resize(id, qty); },
                    },
                    engine);
}

engine::CancelOutcome Matcher::engine_cancel(OrderId id, Nanos now) {
  return std::visit(Overloaded{
                        [&](engine::L0Engine& l0) {
                          return l0.cancel(id) ? engine::CancelOutcome::Done
                                               : engine::CancelOutcome::Unknown;
                        },
                        [&](L1Ptr& l1) { return l1->request_cancel(id, now); },
                        [&](L2Ptr& l2) { return l2->request_cancel(id, now); },
                    },
                    engine);
}

bool Matcher::cancel(OrderId id) {
  const bool done = unhold(id) || drop(id);
  if (done && grouped()) member_ended(id, engine::Notice::Kind::Canceled);
  return done;
}

engine::CancelOutcome Matcher::request_cancel(OrderId id, Nanos now) {
  engine::CancelOutcome outcome = unhold(id) ? engine::CancelOutcome::Done : engine_cancel(id, now);
  if (outcome == engine::CancelOutcome::Done && grouped()) {
    member_ended(id, engine::Notice::Kind::Canceled);
  }
  return outcome;
}

std::size_t Matcher::cancel_all() {
  const std::size_t held = desk ? desk->clear() : 0;
  return held + std::visit(Overloaded{
                               [](engine::L0Engine& l0) { return l0.cancel_all(); },
                               [](L1Ptr& l1) { return l1->cancel_all(); },
                               [](L2Ptr& l2) { return l2->cancel_all(); },
                           },
                           engine);
}

std::span<const engine::L0Fill> Matcher::engine_tick(const engine::Tick& tick) {
  return std::visit(Overloaded{
                        [&](engine::L0Engine& l0) { return l0.on_tick(tick); },
                        [&](L1Ptr& l1) { return l1->on_tick(tick); },
                        [&](L2Ptr& l2) { return l2->on_tick(tick); },
                    },
                    engine);
}

std::span<const engine::L0Fill> Matcher::on_tick_grouped(const engine::Tick& tick) {
  const std::size_t from = notices().size();
  const std::span<const engine::L0Fill> fills = engine_tick(tick);
  // Groups act on what executed, before anything is reported: a leg that
  // filled ends its partner whenever the account hears of it.
  settle_notices(from);
  if (grouped()) settle_fills(executed(), tick);
  return fills;
}

std::vector<engine::L0Fill> Matcher::drain_unreported() {
  return std::visit(Overloaded{
                        // L0 reports every fill on the tick that made it.
                        [](engine::L0Engine&) { return std::vector<engine::L0Fill>{}; },
                        [](L1Ptr& l1) { return l1->drain_unreported(); },
                        [](L2Ptr& l2) { return l2->drain_unreported(); },
                    },
                    engine);
}

std::optional<book::ApplyResult> Matcher::on_depth(const book::DepthUpdate& update) {
  if (L2Ptr* l2 = std::get_if<L2Ptr>(&engine)) return (*l2)->on_depth(update);
  return std::nullopt;  // matches against ticks only and keeps no depth
}

bool Matcher::on_snapshot(const book::DepthSnapshot& snapshot) {
  L2Ptr* l2 = std::get_if<L2Ptr>(&engine);
  if (l2 == nullptr) return false;
  (*l2)->install_snapshot(snapshot);
  return true;
}

bool Matcher::engine_empty() const {
  return std::visit(Overloaded{
                        [](const engine::L0Engine& l0) { return l0.book.empty(); },
                        [](const L1Ptr& l1) { return l1->empty(); },
                        [](const L2Ptr&) { return false; },
                    },
                    engine);
}

bool Matcher::only_triggers() const {
  if (desk && desk->trailing()) return false;
  return engine_empty();
}

bool Matcher::idle() const {
  if (desk && !desk->empty()) return false;
  return engine_empty();
}

std::pair<QtyLots, QtyLots> Matcher::venue_legs(QtyLots long_size, QtyLots short_size,
                                                bool hedge) const {
  const std::vector<engine::Delayed>* delayed = std::visit(
      Overloaded{
          [](const engine::L0Engine&) -> const std::vector<engine::Delayed>* {
            return nullptr;  // reports every fill on the tick that made it
          },
          [](const L1Ptr& l1) -> const std::vector<engine::Delayed>* { return &l1->delayed; },
          [](const L2Ptr& l2) -> const std::vector<engine::Delayed>* { return &l2->l1.delayed; },
      },
      engine);
  if (delayed == nullptr) return {long_size, short_size};
  for (const engine::Delayed& d : *delayed) {
    const engine::L0Fill& f = d.fill;
    const bool buy = f.side == Side::Buy;
    if (!hedge) {
      long_size = buy ? add_sat(long_size, f.qty) : sub_sat(long_size, f.qty);
    } else if (f.offset == Offset::Open) {
      if (buy) {
        long_size = add_sat(long_size, f.qty);
      } else {
        short_size = sub_sat(short_size, f.qty);
      }
    } else if (buy) {
      short_size = std::min<QtyLots>(add_sat(short_size, f.qty), 0);
    } else {
      long_size = std::max<QtyLots>(sub_sat(long_size, f.qty), 0);
    }
  }
  return {long_size, short_size};
}

std::size_t Matcher::invalid_ticks() const {
  const L2Ptr* l2 = std::get_if<L2Ptr>(&engine);
  return l2 == nullptr ? 0 : static_cast<std::size_t>((*l2)->invalid_ticks);
}

InstrumentId Matcher::instrument() const {
  return std::visit(Overloaded{
                        [](const engine::L0Engine& l0) { return l0.instrument; },
                        [](const L1Ptr& l1) { return l1->inner.instrument; },
                        [](const L2Ptr& l2) { return l2->l1.inner.instrument; },
                    },
                    engine);
}

}  // namespace halvorn::core
