#include "core/matcher.hpp"

namespace halvorn::core {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

Matcher Tier::matcher(const Tier& tier, InstrumentId instrument) {
  return std::visit(
      Overloaded{[&](const Tier::L0&) { return Matcher(engine::L0Engine(instrument)); }},
      tier.kind);
}

void Matcher::submit(const Working& order, Nanos /*now*/) {
  std::visit(Overloaded{[&](engine::L0Engine& l0) { l0.submit(order); }}, engine);
}

bool Matcher::cancel(OrderId id) {
  return std::visit(Overloaded{[&](engine::L0Engine& l0) { return l0.cancel(id); }}, engine);
}

std::size_t Matcher::cancel_all() {
  return std::visit(Overloaded{[](engine::L0Engine& l0) { return l0.cancel_all(); }}, engine);
}

std::span<const engine::L0Fill> Matcher::on_tick(const engine::Tick& tick) {
  return std::visit(Overloaded{[&](engine::L0Engine& l0) { return l0.on_tick(tick); }}, engine);
}

std::vector<engine::L0Fill> Matcher::drain_unreported() {
  // L0 reports every fill on the tick that made it.
  return std::visit(Overloaded{[](engine::L0Engine&) { return std::vector<engine::L0Fill>{}; }},
                    engine);
}

void Matcher::on_depth(const book::DepthUpdate& /*update*/) {
  // L0 matches against ticks only and keeps no depth.
  std::visit(Overloaded{[](engine::L0Engine&) {}}, engine);
}

InstrumentId Matcher::instrument() const {
  return std::visit(Overloaded{[](const engine::L0Engine& l0) { return l0.instrument; }}, engine);
}

}  // namespace halvorn::core
