#include "core/kernel.hpp"

#include <algorithm>

#include "margin/position.hpp"
#include "types/overloaded.hpp"

namespace halvorn::core {

namespace {

// Room for a busy step so that ordinary runs never grow the buffers.
constexpr std::size_t INITIAL_CAPACITY = 16;

}  // namespace

Kernel::Kernel(State state) : state_(std::move(state)) { outputs_.reserve(INITIAL_CAPACITY); }

std::span<const Output> Kernel::apply(const Event& event) {
  outputs_.clear();
  breach_.reset();
  // Most events move the account or a price; those that do not are too rare
  // to be worth telling apart.
  ++epoch_;
  std::visit(Overloaded{
                 [this](const event::Tick& e) { on_tick(e); },
                 [this](const event::Submit& e) { on_submit(e); },
                 [this](const event::Cancel& e) { on_cancel(e); },
                 [this](const event::Funding& e) { on_funding(e); },
                 [this](const event::FundingPaid& e) { on_funding_paid(e); },
                 [this](const event::Fee& e) { on_fee(e); },
                 [this](const event::Clock& e) { state_.time = e.time; },
                 [this](const event::Transfer& e) { on_transfer(e); },
                 [this](const event::ExternalFill& e) { on_external_fill(e); },
                 [this](const event::Depth& e) { on_depth(e); },
                 [this](const event::Snapshot& e) { on_snapshot(e); },
                 [this](const event::Mark& e) { on_mark(e); },
             },
             event);
  return outputs_;
}

std::span<const Output> Kernel::settle_unreported() {
  outputs_.clear();
  ++epoch_;
  for (std::size_t i = 0; i < state_.holdings.size(); ++i) {
    // Empty for matchers that report every fill on the tick that made it.
    std::vector<engine::L0Fill> held = state_.holdings[i].matcher.drain_unreported();
    book_fills(i, held);
    take_notices(state_.holdings[i]);
  }
  return outputs_;
}

std::span<const Output> Kernel::apply(const event::Tick& tick) {
  outputs_.clear();
  breach_.reset();
  on_tick(tick);
  return outputs_;
}

Summary Kernel::summary() const {
  if (state_.holdings.empty()) panic("a summary needs a holding");
  const Holding& h = state_.holdings.front();
  return Summary{h.long_size,
                 h.long_entry,
                 h.short_size,
                 h.short_entry,
                 state_.cash(),
                 state_.realized,
                 state_.funding,
                 state_.fees,
                 state_.forfeited,
                 state_.equity(),
                 h.last,
                 state_.time,
                 state_.fees_known && !state_.fees_incomplete};
}

void Kernel::reject(RejectReason reason, OrderId id) {
  outputs_.emplace_back(output::Rejected{reason, id});
}

void Kernel::on_tick(const event::Tick& e) {
  const std::optional<std::size_t> index = state_.resolve(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, 0);
  state_.time = e.tick.exch_ts;
  Holding& h = state_.holdings[*index];
  if (!h.marked && h.last != e.tick.last) {
    h.last = e.tick.last;
    // Another holding's price moves the range kept for the one it is for.
    if (bound_index_ != SIZE_MAX && *index != bound_index_) ++epoch_;
  }
  if (!state_.external_fills) {
    book_fills(*index, h.matcher.on_tick(e.tick));
    take_notices(h);
  }
  // A marked holding is tested at its mark: what fills on this tick changes
  // the position, not the price it is valued at.
  check_tick(*index, h.last);
  // Conditional orders look at the tick once it is matched and booked, so
  // that what they send meets the ticks after it, sized from the position
  // as it now stands.
  if (!state_.external_fills && h.matcher.watching(h.marked)) {
    h.matcher.after_tick(e.tick, h.long_size, h.short_size, state_.hedge, h.marked);
    take_notices(h);
  }
}

namespace {

// What an order on `side` could reduce of the holding's position, 0 when it
// would only open or add; in hedge mode it closes the leg its side faces.
QtyLots reducible(const Holding& h, bool hedge, Side side) {
  if (hedge) return side == Side::Sell ? h.long_size : abs_sat(h.short_size);
  return side == Side::Sell ? std::max<QtyLots>(h.long_size, 0)
                            : std::max<QtyLots>(sub_sat(0, h.long_size), 0);
}

}  // namespace

void Kernel::check_tick(std::size_t index, std::int64_t price) {
  if (bound_epoch_ == epoch_ && bound_index_ == index && bound_.contains(price)) return;
  const std::uint64_t before = epoch_;
  // Without an instrument every holding is valued at its own last price, and
  // this one's is `price`: the verdict the range is proven against.
  check_liquidation(price);
  if (epoch_ != before || !state_.enforce_margin) return;  // liquidated, or nothing to check
  if (checked_epoch_ == epoch_ && checked_index_ == index) {
    bound_ = healthy_range(state_, index, price);
    bound_epoch_ = epoch_;
    bound_index_ = index;
  }
  checked_epoch_ = epoch_;
  checked_index_ = index;
}

void Kernel::on_submit(const event::Submit& e) {
  const OrderTerms& terms = e.terms;
  if (e.qty <= 0 && !terms.close_position) {
    return reject(RejectReason::NonPositiveQuantity, e.id);
  }
  if (live_.contains(e.id)) return reject(RejectReason::DuplicateId, e.id);
  const std::optional<std::size_t> index = state_.resolve(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, e.id);
  Holding& h = state_.holdings[*index];
  // No initial margin: any size is accepted while there is cash in the
  // order's wallet; maintenance is enforced only through liquidation.
  const Cash cash = state_.wallets ? state_.balance_in(h.currency) : state_.balance();
  if (cash <= 0) return reject(RejectReason::NoBalance, e.id);
  const bool reducing = terms.reduce_only || terms.close_position;
  Offset offset = e.offset;
  if (reducing && state_.hedge) offset = Offset::Close;
  QtyLots qty = terms.close_position ? 1 : e.qty;  // a held close is sized when it fires
  // A plain order is judged against the position now; a conditional order,
  // or a bracket's member, when it fires.
  const bool member = terms.role == GroupRole::BracketStop || terms.role == GroupRole::BracketTake;
  if (reducing && !member && !terms.trigger.any()) {
    const QtyLots room = reducible(h, state_.hedge, e.side);
    if (room <= 0) {
      const bool flat = state_.hedge || h.long_size == 0;
      return reject(flat ? RejectReason::ReduceOnlyFlat : RejectReason::ReduceOnlySameSide, e.id);
    }
    if (terms.close_position) qty = room;
  }
  Working order =
      e.price ? engine::limit_order(e.id, e.side, *e.price, qty, e.exch_ts, e.local_ts, offset)
              : engine::market_order(e.id, e.side, qty, e.exch_ts, e.local_ts, offset);
  order.tif = terms.tif;
  order.post_only = terms.post_only;
  order.reduce_only = reducing;
  live_.insert(e.id);
  if (terms.plain()) {
    h.matcher.submit(order, order.local_ts);
  } else {
    h.matcher.place(order, terms, order.local_ts);
  }
  take_notices(h);
}

void Kernel::on_cancel(const event::Cancel& e) {
  for (Holding& h : state_.holdings) {
    const engine::CancelOutcome outcome = h.matcher.request_cancel(e.id, e.local_ts);
    if (outcome == engine::CancelOutcome::Unknown) continue;
    if (outcome == engine::CancelOutcome::Done) {
      live_.erase(e.id);
      outputs_.emplace_back(output::Canceled{e.id});
    }
    // Requested: the order stays live until the cancel lands.
    take_notices(h);
    return;
  }
}

void Kernel::convert_notices(Holding& h) {
  std::vector<engine::Notice>& notices = h.matcher.notices();
  for (const engine::Notice& n : notices) {
    switch (n.kind) {
      case engine::Notice::Kind::Canceled:
        if (live_.erase(n.id)) outputs_.emplace_back(output::Canceled{n.id});
        break;
      case engine::Notice::Kind::Expired:
        if (live_.erase(n.id)) outputs_.emplace_back(output::Expired{n.id});
        break;
      case engine::Notice::Kind::Rejected:
        if (live_.erase(n.id)) outputs_.emplace_back(output::Rejected{n.reason, n.id});
        break;
      case engine::Notice::Kind::Triggered:
        outputs_.emplace_back(output::Triggered{n.id, n.price, n.at});
        break;
    }
  }
  notices.clear();
}

void Kernel::on_funding(const event::Funding& e) {
  state_.time = e.rate.time;
  const std::optional<std::size_t> index = state_.resolve(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, 0);
  Holding& h = state_.holdings[*index];
  if (h.is_flat()) return;
  // A settlement without a price of its own is priced at the mark, or, on
  // an account without marks, at the last trade: testing it at a price of 0
  // would liquidate every long there.
  margin::FundingRate rate = e.rate;
  if (rate.price == 0) rate.price = h.last;
  Cash amount = 0;
  for (QtyLots size : {h.long_size, h.short_size}) {
    if (size != 0) amount = add_sat(amount, rate.settle(h.contract(), size).amount);
  }
  state_.credit(h.currency, amount);
  state_.funding = add_sat(state_.funding, state_.in_account(h, amount, rate.price));
  h.funding = add_sat(h.funding, amount);
  outputs_.emplace_back(output::Funded{amount, rate.time});
  // The account is tested with this holding at the settlement's price (its
  // mark, when marks price it) and every other at its own: in a portfolio
  // as in a run of one, so that a flat instrument beside it changes nothing.
  check_liquidation(h.marked ? h.last : rate.price, *index);
}

void Kernel::on_mark(const event::Mark& e) {
  const std::optional<std::size_t> index = state_.resolve(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, 0);
  if (e.price <= 0) return;  // a mark is a price; none is no mark
  state_.time = std::max(state_.time, e.time);
  Holding& h = state_.holdings[*index];
  h.marked = true;
  h.last = e.price;
  check_liquidation(e.price);
  // Conditional orders that watch the mark look at it once the account has
  // been tested at it, as those that watch the last trade look at a tick.
  if (!state_.external_fills) {
    h.matcher.after_mark(e.time, e.price, h.long_size, h.short_size, state_.hedge);
    take_notices(h);
  }
}

void Kernel::on_funding_paid(const event::FundingPaid& e) {
  state_.time = e.time;
  const std::optional<std::size_t> index = state_.resolve(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, 0);
  Holding& h = state_.holdings[*index];
  state_.credit(h.currency, e.amount);
  state_.funding = add_sat(state_.funding, state_.in_account(h, e.amount, h.valuation_price()));
  h.funding = add_sat(h.funding, e.amount);
  outputs_.emplace_back(output::Funded{e.amount, e.time});
}

void Kernel::on_fee(const event::Fee& e) {
  state_.time = e.time;
  state_.charge_fee(e.amount);
  state_.fees_known = true;
  state_.fees_incomplete = e.incomplete;
}

void Kernel::on_transfer(const event::Transfer& e) {
  state_.time = e.time;
  state_.credit(e.amount);
}

void Kernel::on_external_fill(const event::ExternalFill& e) {
  Fill fill = e.fill;
  if (!state_.external_fills) return reject(RejectReason::NotExternal, fill.order);
  state_.time = fill.exch_ts;
  const std::optional<std::size_t> index = state_.resolve(fill.instrument);
  if (!index) panic("a fill for an instrument this account does not hold");
  Holding& h = state_.holdings[*index];
  // The venue's report supersedes the simulated copy, also when it is partial.
  h.matcher.cancel(fill.order);
  h.matcher.notices().clear();  // the simulated copy's group says nothing here
  live_.erase(fill.order);
  fill.fee = std::visit(Overloaded{
                            [this](const event::fee::Reported& r) {
                              state_.fees_known = true;
                              return r.amount;
                            },
                            [this](const event::fee::Unknown&) {
                              state_.fees_incomplete = true;
                              return Cash{0};
                            },
                            [&](const event::fee::Computed&) { return h.fee_of(fill); },
                        },
                        e.fee);
  state_.charge_fee(fill.fee, h, fill.price);
  state_.apply_fill(fill);
  outputs_.emplace_back(fill);
  check_liquidation(fill.price);
}

void Kernel::on_depth(const event::Depth& e) {
  // Depth that names no instrument can only mean the only holding; a
  // matcher that keeps no depth ignores it.  An update the book refuses is
  // the matcher's to recover from, not a refusal of the account's.
  if (const std::optional<std::size_t> index = state_.resolve(e.instrument)) {
    state_.holdings[*index].matcher.on_depth(e.update);
  }
}

void Kernel::on_snapshot(const event::Snapshot& e) {
  // Routed as a depth update is.
  if (const std::optional<std::size_t> index = state_.resolve(e.instrument)) {
    state_.holdings[*index].matcher.on_snapshot(e.snapshot);
  }
}

void Kernel::book_fills(std::size_t holding, std::span<const engine::L0Fill> fills) {
  if (fills.empty()) return;
  ++epoch_;
  Holding& h = state_.holdings[holding];
  for (const engine::L0Fill& f : fills) {
    Fill fill = f.to_fill();
    if ((state_.hedge && fill.offset == Offset::Close) || f.reduce_only) {
      // A venue closes no more than the leg holds, and a reduce-only order no
      // more than the position it faces: the excess neither fills nor pays a
      // fee, and an order that finds nothing to reduce ends unfilled.
      const QtyLots room = state_.hedge
                               ? abs_sat(fill.side == Side::Buy ? h.short_size : h.long_size)
                               : reducible(h, false, fill.side);
      if (room == 0) {
        h.matcher.cancel(fill.order);
        live_.erase(fill.order);
        outputs_.emplace_back(output::Canceled{fill.order});
        continue;
      }
      if (fill.qty > room) {
        // What is left of an order filled in parts cannot reduce anything
        // either: the order is done with this fill.
        fill.qty = room;
        if (fill.remaining > 0) {
          h.matcher.cancel(fill.order);
          fill.remaining = 0;
        }
      }
    }
    // A fill worth more than Cash holds would pay a fee on a saturated
    // notional and book a position no balance can value: the order is
    // refused where it would fill, as a venue refuses one beyond its limits.
    if (const Wide worth = fill_value(fill, h.contract()); worth > I64_MAX || worth < -I64_MAX) {
      h.matcher.cancel(fill.order);
      live_.erase(fill.order);
      outputs_.emplace_back(output::Rejected{RejectReason::NotionalTooLarge, fill.order});
      continue;
    }
    fill.fee = h.fee_of(fill);
    state_.charge_fee(fill.fee, h, fill.price);
    state_.apply_fill(fill);
    // A part leaves the order working; only its last part ends it.
    if (fill.remaining == 0) live_.erase(fill.order);
    outputs_.emplace_back(fill);
    if (h.matcher.guards()) h.matcher.booked(fill.order, h.long_size, h.short_size);
  }
}

void Kernel::check_liquidation(std::int64_t price, std::optional<std::size_t> at) {
  if (!state_.enforce_margin) return;
  if (state_.wallets) return check_wallets(price, at);
  const auto& holdings = state_.holdings;
  if (std::all_of(holdings.begin(), holdings.end(), [](const Holding& h) { return h.is_flat(); })) {
    return;
  }
  bool liquidate;
  Marked checked;
  if (holdings.size() == 1 && !state_.hedge) {
    const Holding& h = holdings.front();
    const margin::MarginedPosition position{margin::basis::Cost{h.cost(Leg::Long)},
                                            h.contract_size,
                                            h.long_entry,
                                            h.long_size,
                                            state_.balance(),
                                            h.inverse};
    liquidate = position.is_liquidatable(h.tiers, price);
    if (liquidate) {
      // Only on the rare step that liquidates: what the test found.
      const margin::Assessment assessment = position.assess(h.tiers, price);
      if (const auto* b = std::get_if<margin::assessment::Liquidatable>(&assessment)) {
        checked = Marked{b->equity, b->maintenance};
      }
    }
  } else if (holdings.size() == 1) {
    // Both legs are tested at the price they are then closed at, as a net
    // position is: a test at the last trade and a close at a settlement's
    // price could find a healthy account and realise a profit it forfeits.
    checked = state_.marked_at(0, price);
    liquidate = checked.equity <= checked.maintenance;
  } else if (at) {
    checked = state_.marked_at(*at, price);
    liquidate = checked.equity <= checked.maintenance;
  } else {
    checked = Marked{state_.equity(), state_.maintenance()};
    liquidate = checked.equity <= checked.maintenance;
  }
  if (!liquidate) return;
  breach_ = checked;
  ++epoch_;

  const std::size_t first = outputs_.size();
  if (holdings.size() == 1) {
    outputs_.emplace_back(state_.liquidate_holding(0, price));
  } else {
    state_.close_all(
        outputs_,
        at ? std::optional<std::pair<std::size_t, std::int64_t>>({*at, price}) : std::nullopt);
  }
  const Cash written_off = state_.write_off();
  for (std::size_t i = first; i < outputs_.size(); ++i) {
    std::get<output::Liquidated>(outputs_[i]).balance = state_.balance();
  }
  if (outputs_.size() > first) {
    std::get<output::Liquidated>(outputs_.back()).forfeited = written_off;
  }
  live_.clear();
}

void Kernel::check_wallets(std::int64_t price, std::optional<std::size_t> at) {
  std::vector<Holding>& holdings = state_.holdings;
  const std::optional<std::pair<std::size_t, std::int64_t>> priced =
      at ? std::optional<std::pair<std::size_t, std::int64_t>>({*at, price}) : std::nullopt;
  // A write-off changes a wallet's amount, never which wallets there are.
  std::vector<Currency> wallets;
  for (const auto& [currency, amount] : state_.balances.entries) wallets.push_back(currency);
  for (const Currency wallet : wallets) {
    if (std::none_of(holdings.begin(), holdings.end(),
                     [&](const Holding& h) { return h.currency == wallet && !h.is_flat(); })) {
      continue;
    }
    const Marked checked = state_.wallet_marked(wallet, priced);
    if (checked.equity > checked.maintenance) continue;
    breach_ = checked;
    ++epoch_;
    // The orders of the wallet's instruments go with it, those that end
    // with another of them (a bracket's exits with its entry) too; the
    // orders of the other wallets stay live.
    std::vector<OrderId> gone;
    for (OrderId id : live_) {
      for (Holding& h : holdings) {
        if (h.currency == wallet && h.matcher.cancel(id)) {
          gone.push_back(id);
          break;
        }
      }
    }
    for (Holding& h : holdings) {
      if (h.currency != wallet) continue;
      for (const engine::Notice& n : h.matcher.notices()) gone.push_back(n.id);
      h.matcher.notices().clear();
    }
    for (OrderId id : gone) live_.erase(id);
    const std::size_t first_report = outputs_.size();
    state_.close_all(outputs_, priced, wallet);
    const Cash written_off = state_.write_off(wallet);
    for (std::size_t i = first_report; i < outputs_.size(); ++i) {
      std::get<output::Liquidated>(outputs_[i]).balance = state_.balance_in(wallet);
    }
    if (outputs_.size() > first_report) {
      std::get<output::Liquidated>(outputs_.back()).forfeited = written_off;
    }
  }
}

}  // namespace halvorn::core
