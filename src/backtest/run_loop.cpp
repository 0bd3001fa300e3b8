#include "backtest/run_loop.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "core/liquidation_bound.hpp"
#include "types/overloaded.hpp"

namespace halvorn::backtest {

namespace {

// The account a run starts from: the balance, and one flat holding per
// instrument with the matcher of its tier.
core::State make_state(const RunConfig& config) {
  if (config.instruments.empty()) panic("a run's account must hold its instrument");
  core::State state;
  // The account is kept in the currency its instruments settle in, or, when
  // they settle in several, in USDT with a wallet per currency.
  const Currency first = config.instruments.front().settle;
  state.wallets = std::any_of(config.instruments.begin(), config.instruments.end(),
                              [&](const InstrumentConfig& i) { return i.settle != first; });
  if (state.wallets) {
    state.currency = USDT;
    for (const InstrumentConfig& i : config.instruments) state.balances.add(i.settle, 0);
    for (const auto& [currency, amount] : config.wallets) {
      if (state.balances.get(currency) != 0 ||
          std::none_of(state.balances.entries.begin(), state.balances.entries.end(),
                       [&](const auto& e) { return e.first == currency; })) {
        panic("a run's wallets are those of its instruments, each given once");
      }
      state.balances.add(currency, amount);
    }
  } else {
    state.currency = first;
    state.balances = Balances::of(state.currency, config.balance);
  }
  for (const InstrumentConfig& i : config.instruments) {
    if (state.resolve(i.instrument)) panic("a portfolio holds each instrument once");
    core::Holding& h = state.holdings.emplace_back(
        i.instrument, i.contract_size, i.margin_tiers,
        core::Tier::matcher(i.tier, i.instrument, config.resting, config.triggered));
    h.fee_rates = i.fee_rates;
    h.inverse = i.inverse;
    h.currency = i.settle;
    h.tick_worth = i.tick_worth;
    h.opening = i.opening;
  }
  state.hedge = config.hedge;
  state.fees_known = true;
  if (!config.enforce_margin) state.enforce_margin = false;
  return state;
}

}  // namespace

void note_endings(std::span<const core::Output> outputs, const core::LiveOrders& live,
                  std::vector<strategy::OrderEnding>& endings, engine::IdSet& noted) {
  // Only this function appends to the list, so an empty list means it was
  // emptied since the last call, and the ids noted then are gone from it.
  if (endings.empty()) noted.clear();
  auto note = [&](OrderId id, strategy::Ending ending) {
    if (live.contains(id) || noted.contains(id)) return;
    noted.put(id, {});
    endings.emplace_back(id, ending);
  };
  for (const core::Output& output : outputs) {
    if (const auto* fill = std::get_if<core::output::Fill>(&output)) {
      // A part is not an end: the order goes on, and its last part ends it.
      if (fill->remaining == 0) note(fill->order, strategy::Ending::Filled);
    } else if (const auto* canceled = std::get_if<core::output::Canceled>(&output)) {
      note(canceled->id, strategy::Ending::Canceled);
    } else if (const auto* expired = std::get_if<core::output::Expired>(&output)) {
      note(expired->id, strategy::Ending::Expired);
    } else if (const auto* rejected = std::get_if<core::output::Rejected>(&output)) {
      if (rejected->id != 0) note(rejected->id, strategy::rejected_for(rejected->reason));
    } else if (const auto* triggered = std::get_if<core::output::Triggered>(&output)) {
      // Not an end: the order goes on, and its end is noted in its turn.
      endings.emplace_back(triggered->id, strategy::Ending::Triggered);
    }
  }
}

void venue_closes(const core::Output& output, std::vector<strategy::VenueClosed>& out) {
  const auto* liquidated = std::get_if<core::output::Liquidated>(&output);
  if (liquidated == nullptr) return;
  auto close = [&](QtyLots size, Side side) {
    if (size == 0) return;
    out.push_back(
        {abs_sat(size), liquidated->price, liquidated->time, liquidated->instrument, side});
  };
  close(liquidated->long_size, Side::Buy);
  close(liquidated->short_size, Side::Sell);
}

namespace internal {

Loop::Loop(const RunConfig& config) : config_(config), kernel_(make_state(config)) {
  const auto& holdings = kernel_.state().holdings;
  result_.tier = holdings.front().matcher.tier_name();
  const core::State& state = kernel_.state();
  // With wallets the starting balance is theirs, valued at the first price
  // of each coin's instrument.
  const Cash start = state.wallets ? state.equity() : config.balance;
  result_.min_equity = start;
  if (config.equity_every > 0) {
    result_.equity_curve.push_back(start);
    result_.equity_times.push_back(0);  // the first tick's time, once it comes
  }
  if (state.wallets) {
    for (const auto& [currency, amount] : state.balances.entries) {
      WalletTotals& w = result_.wallets.emplace_back();
      w.currency = currency;
      if (config.equity_every > 0) w.equity_curve.push_back(amount);
    }
  }
  if (config.track_margin) result_.margin = MarginStats{};
  endings_.reserve(16);
  closes_.reserve(4);
  intents_.reserve(16);
  tick_fills_.reserve(16);
  live_copy_.reserve(16);
  context_.instrument = holdings.front().instrument;
  for (const InstrumentConfig& i : config.instruments) {
    funding_.push_back(FundingCursor{&i.funding.rates, 0});
  }
  for (const core::Holding& h : holdings) {
    dense_ = dense_ && h.instrument.value == ids_.size() + 1;
    ids_.push_back(h.instrument.value);
  }
  ticks_of_.assign(holdings.size(), 0);
  legs_.assign(holdings.size(), {0, 0});
  positions_.resize(holdings.size());
  recompute_next_funding();
  refresh_positions();
}

std::size_t Loop::find_holding(std::int64_t instrument) const {
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    if (ids_[i] == instrument) return i;
  }
  panic("a tick for an instrument this account does not hold");
}

void Loop::recompute_next_funding() {
  next_funding_ = I64_MAX;
  for (const FundingCursor& c : funding_) {
    if (c.next < c.rates->size()) next_funding_ = std::min(next_funding_, (*c.rates)[c.next].time);
  }
}

void Loop::pass_funding(std::span<const engine::Tick> ticks) {
  // Settling a flat account pays nothing: the rates due by the latest of
  // the ticks only pass.
  Nanos latest = I64_MIN;
  for (const engine::Tick& t : ticks) latest = std::max(latest, t.exch_ts);
  for (FundingCursor& c : funding_) {
    while (c.next < c.rates->size() && (*c.rates)[c.next].time <= latest) ++c.next;
  }
  recompute_next_funding();
}

void Loop::refresh_positions() {
  const std::vector<core::Holding>& holdings = kernel_.state().holdings;
  const bool one = holdings.size() == 1;
  for (std::size_t i = 0; i < holdings.size(); ++i) {
    const core::Holding& h = holdings[i];
    strategy::Position& p = positions_[i];
    p.instrument = h.instrument;
    p.position = h.long_size;
    p.entry = h.long_entry;
    p.short_position = h.short_size;
    p.short_entry = h.short_entry;
    if (one) p.working = kernel_.live().size();
  }
  context_.positions = positions_;
  ++context_.revision;
  dirty_ = false;
}

void Loop::note_ends(std::span<const core::Output> outputs) {
  const std::size_t from = endings_.size();
  note_endings(outputs, kernel_.live(), endings_, noted_);
  if (positions_.size() == 1) return;
  for (std::size_t i = from; i < endings_.size(); ++i) {
    const auto& [id, ending] = endings_[i];
    if (ending == strategy::Ending::Triggered) continue;
    if (const std::uint32_t* at = order_holding_.find(id)) {
      --positions_[*at].working;
      order_holding_.erase(id);
    }
  }
}

void Loop::record(std::span<const core::Output> outputs, bool fills_too) {
  if (config_.track_margin && kernel_.breach()) {
    // The account is flat once liquidated: the breach is sampled where the
    // venue found it, or the worst tick of the run would be missing.
    sample_margin(kernel_.breach()->equity, kernel_.breach()->maintenance);
  }
  for (const core::Output& output : outputs) {
    if (const auto* fill = std::get_if<core::output::Fill>(&output)) {
      if (!fills_too) continue;
      result_.fills.push_back(*fill);
      tick_fills_.push_back(*fill);
      note_booking(*fill, result_.ticks - 1);
    } else if (const auto* liq = std::get_if<core::output::Liquidated>(&output)) {
      legs_[ids_.size() == 1 ? 0 : holding_of(liq->instrument.value)] = {0, 0};
      result_.liquidations.push_back(
          {liq->time, liq->price, liq->quantity, liq->balance, liq->forfeited, liq->instrument});
      venue_closes(output, closes_);
      const core::State& state = kernel_.state();
      if (state.wallets) {
        // Only the orders of the wallet's instruments went with it.
        const Currency wallet = state.holdings[holding_of(liq->instrument.value)].currency;
        for (std::size_t i = 0; i < positions_.size(); ++i) {
          if (state.holdings[i].currency == wallet) positions_[i].working = 0;
        }
        for (WalletTotals& w : result_.wallets) {
          if (w.currency == wallet) w.forfeited = add_sat(w.forfeited, liq->forfeited);
        }
        continue;
      }
      // Every order of the account was dropped with it, unreported.
      for (strategy::Position& p : positions_) p.working = 0;
      order_holding_.clear();
    }
  }
  if (!outputs.empty()) dirty_ = true;
}

void Loop::note_booking(const Fill& fill, std::uint64_t tick) {
  auto& [long_leg, short_leg] = legs_[ids_.size() == 1 ? 0 : holding_of(fill.instrument.value)];
  const QtyLots qty = fill.qty;
  FillEffect effect = FillEffect::Open;
  if (config_.hedge) {
    // A leg never reverses: a close is clamped to what it holds.
    QtyLots& leg = fill.side == Side::Buy ? (fill.offset == Offset::Open ? long_leg : short_leg)
                                          : (fill.offset == Offset::Open ? short_leg : long_leg);
    const int direction = fill.side == Side::Buy ? 1 : -1;
    if (fill.offset == Offset::Open) {
      leg = add_sat(leg, direction * qty);
    } else {
      const QtyLots closed = std::min(abs_sat(leg), qty);
      leg = sub_sat(leg, leg > 0 ? closed : -closed);
      effect = leg == 0 ? FillEffect::Close : FillEffect::Reduce;
    }
  } else {
    const QtyLots before = long_leg;
    const QtyLots s = fill.side == Side::Buy ? qty : -qty;
    long_leg = add_sat(before, s);
    if (before != 0 && (before > 0) != (s > 0)) {
      const QtyLots held = abs_sat(before);
      effect = qty < held    ? FillEffect::Reduce
               : qty == held ? FillEffect::Close
                             : FillEffect::Reverse;
    }
  }
  result_.bookings.push_back(Booking{tick, effect});
}

void Loop::count(std::span<const core::Output> outputs) {
  for (const core::Output& output : outputs) {
    if (std::holds_alternative<core::output::Triggered>(output)) {
      ++result_.triggered;
    } else if (std::holds_alternative<core::output::Expired>(output)) {
      ++result_.expired;
    } else if (const auto* rejected = std::get_if<core::output::Rejected>(&output)) {
      if (rejected->id != 0) ++result_.rejected[static_cast<std::size_t>(rejected->reason)];
    }
  }
}

void Loop::apply_mark(const MarkPoint& mark, std::optional<InstrumentId> instrument) {
  auto outputs = kernel_.apply(core::event::Mark{mark.time, mark.price, instrument});
  if (outputs.empty()) return;
  // A mark fires the orders that watch it: their notices are heard as a
  // tick's are.
  note_ends(outputs);
  record(outputs, false);
  count(outputs);
}

bool Loop::watches_marks() const {
  const std::vector<core::Holding>& holdings = kernel_.state().holdings;
  return std::any_of(holdings.begin(), holdings.end(),
                     [](const core::Holding& h) { return h.matcher.watches_marks(); });
}

bool Loop::mark_fires(const MarkPoint& mark) const {
  const core::Matcher& matcher = kernel_.state().holdings.front().matcher;
  return matcher.watches_marks() && matcher.mark_fires(mark.price);
}

void Loop::apply_scheduled_funding(Nanos until) {
  const bool one = funding_.size() == 1;
  for (;;) {
    std::size_t due = funding_.size();
    Nanos earliest = I64_MAX;
    for (std::size_t i = 0; i < funding_.size(); ++i) {
      const FundingCursor& c = funding_[i];
      if (c.next < c.rates->size() && (*c.rates)[c.next].time < earliest) {
        earliest = (*c.rates)[c.next].time;
        due = i;
      }
    }
    if (due == funding_.size() || earliest > until) break;
    FundingCursor& c = funding_[due];
    const std::optional<InstrumentId> instrument =
        one ? std::nullopt : std::optional<InstrumentId>(kernel_.state().holdings[due].instrument);
    record(kernel_.apply(core::event::Funding{(*c.rates)[c.next++], instrument}), false);
  }
  recompute_next_funding();
}

const strategy::TickContext& Loop::apply_tick(const engine::Tick& tick, const engine::Tick* where,
                                              std::size_t in_place, std::size_t holding,
                                              const std::int64_t* instrument_where) {
  result_.ticks = static_cast<std::size_t>(next_counter(result_.ticks, "tick counter overflows"));
  const core::State& state = kernel_.state();
  const bool one = state.holdings.size() == 1;
  ++ticks_of_[holding];
  auto outputs = kernel_.apply(core::event::Tick{
      tick, one ? std::nullopt : std::optional<InstrumentId>(state.holdings[holding].instrument)});
  tick_fills_.clear();
  if (!outputs.empty()) {
    note_ends(outputs);
    record(outputs, true);
    count(outputs);
  }

  const core::Holding& h = state.holdings[holding];
  const Cash equity = state.equity();
  const bool exposed = one ? !h.is_flat() : !flat();
  if (const std::size_t every = config_.equity_every; every > 0) {
    if (result_.ticks == 1) result_.equity_times.front() = tick.exch_ts;
    if (result_.ticks >= next_sample_) {
      if (result_.ticks % every == 0) {
        result_.equity_curve.push_back(equity);
        result_.equity_times.push_back(tick.exch_ts);
        for (WalletTotals& w : result_.wallets) {
          w.equity_curve.push_back(state.wallet_marked(w.currency, std::nullopt, false).equity);
        }
      }
      next_sample_ = (result_.ticks / every + 1) * every;
    }
  }
  if (exposed) ++result_.exposed_ticks;
  result_.min_equity = std::min(result_.min_equity, equity);

  if (config_.track_margin && exposed) sample_margin(equity, state.maintenance());

  // Adverse excursion of the tick's holding's net (long-slot) position
  // against its entry, in its own ticks.
  const QtyLots position = h.long_size;
  const std::int64_t entry = h.long_entry;
  if (position != 0 && entry > 0) {
    std::int64_t excursion;
    if (position > 0) {
      excursion = sub_sat(entry, tick.low > 0 ? tick.low : tick.last);
    } else {
      excursion = sub_sat(tick.high > 0 ? tick.high : tick.last, entry);
    }
    result_.max_adverse = std::max(result_.max_adverse, excursion);
  }

  context_.tick = tick;
  // The tick's own instrument's orders, as its position is the tick's own.
  show(h, equity, one ? kernel_.live().size() : positions_[holding].working);
  context_.record = where;
  context_.in_place = in_place;
  context_.instrument_record = instrument_where;
  return context_;
}

void Loop::show(const core::Holding& h, Cash equity, std::size_t working) {
  if (dirty_) refresh_positions();
  context_.position = h.long_size;
  context_.entry = h.long_entry;
  context_.short_position = h.short_size;
  context_.short_entry = h.short_entry;
  context_.equity = equity;
  context_.working = working;
  context_.instrument = h.instrument;
}

void Loop::sample_margin(Cash equity, Cash maintenance) {
  MarginStats& margin = *result_.margin;
  const Cash headroom = sub_sat(equity, maintenance);
  margin.peak_maintenance = std::max(margin.peak_maintenance, maintenance);
  if (!margin.min_headroom || headroom < *margin.min_headroom) margin.min_headroom = headroom;
}

bool Loop::scannable() const {
  const core::State& state = kernel_.state();
  if (state.holdings.size() != 1 || state.external_fills) return false;
  const core::Holding& h = state.holdings.front();
  // Conditional orders waiting for a level leave the view as it is until a
  // tick reaches one.
  return !h.marked && kernel_.live().size() == h.matcher.held() && h.matcher.only_triggers();
}

const strategy::TickContext& Loop::quiet_view() {
  show(kernel_.state().holdings.front(), kernel_.state().equity(), kernel_.live().size());
  context_.instrument_record = nullptr;
  return context_;
}

Loop::QuietRun Loop::quiet_run(std::span<const engine::Tick> run) {
  const core::State& state = kernel_.state();
  const core::Holding& h = state.holdings.front();
  // The tick that fires a held order is the kernel's to apply, as in
  // apply_idle.
  if (h.matcher.held() > 0) run = run.first(h.matcher.before_trigger(run, h.marked));
  // A flat account's equity is its balance on every tick, and its funding
  // moves nothing: apply_idle takes the whole run.
  if (h.is_flat()) return {run.size(), {}};
  // A settlement moves the balance: the run stops before the first tick
  // that brings one, as apply_idle's does.
  std::size_t n = run.size();
  if (const Nanos at = next_funding_; at != I64_MAX) {
    n = static_cast<std::size_t>(
        std::find_if(run.begin(), run.end(),
                     [at](const engine::Tick& t) { return t.exch_ts >= at; }) -
        run.begin());
  }
  // The account was found above maintenance at its latest price: prices in
  // the range around it are known not to liquidate, and one outside it is
  // checked in full.  The first tick that liquidates is the kernel's.
  const bool enforce = state.enforce_margin;
  core::PriceRange healthy;
  if (enforce && h.last > 0) {
    const core::Marked now = state.marked_at(0, h.last, true);
    if (now.equity > now.maintenance) healthy = core::healthy_range(state, 0, h.last);
  }
  // One leg of a linear contract: equity is its value at the lowest price
  // of the run plus `slope` a tick above it -- unless a sum on the way
  // saturates.  Each saturation only flattens the line (equity moves with
  // the price one way, by at most `slope` a tick), so when the highest
  // price's equity is the full `slope` a tick above the lowest's, no tick
  // between saturates, and the line is each tick's exact equity.  It is
  // then worked in 64 bits: no tick's rise tops the whole run's.
  quiet_equities_.resize(n);
  if (n > 0 && !h.inverse.inverse() && (h.long_size == 0) != (h.short_size == 0)) {
    std::int64_t lo = run.front().last;
    std::int64_t hi = lo;
    for (std::size_t i = 1; i < n; ++i) {
      lo = std::min(lo, run[i].last);
      hi = std::max(hi, run[i].last);
    }
    const Wide slope =
        static_cast<Wide>(h.long_size != 0 ? h.long_size : h.short_size) * h.contract_size;
    const Wide span = static_cast<Wide>(hi) - lo;
    const Cash at_lo = state.marked_at(0, lo, false).equity;
    const Cash at_hi = state.marked_at(0, hi, false).equity;
    Wide rise;
    const bool straight = !__builtin_mul_overflow(slope, span, &rise) &&
                          static_cast<Wide>(at_hi) - at_lo == rise && span <= I64_MAX &&
                          slope <= I64_MAX && slope >= -I64_MAX && rise <= I64_MAX &&
                          rise >= -I64_MAX;
    // Every price of the run known not to liquidate: no tick is checked.
    if (straight && (!enforce || (healthy.contains(lo) && healthy.contains(hi)))) {
      const auto step = static_cast<std::int64_t>(slope);
      for (std::size_t i = 0; i < n; ++i) {
        quiet_equities_[i] = at_lo + step * (run[i].last - lo);
      }
      return {n, std::span<const Cash>(quiet_equities_).first(n)};
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t price = run[i].last;
    if (!enforce || healthy.contains(price)) {
      quiet_equities_[i] = state.marked_at(0, price, false).equity;
      continue;
    }
    const core::Marked marked = state.marked_at(0, price, true);
    if (marked.equity <= marked.maintenance) {
      n = i;
      break;
    }
    quiet_equities_[i] = marked.equity;
  }
  return {n, std::span<const Cash>(quiet_equities_).first(n)};
}

bool Loop::flat() const {
  const std::vector<core::Holding>& holdings = kernel_.state().holdings;
  return std::all_of(holdings.begin(), holdings.end(),
                     [](const core::Holding& h) { return h.is_flat(); });
}

bool Loop::idle() const {
  const std::vector<core::Holding>& holdings = kernel_.state().holdings;
  // A coin wallet's value in USDT moves with its price, flat or not.
  if (kernel_.state().wallets) return false;
  if (holdings.size() != 1) {
    // Every matcher asked too: an order the account no longer counts would
    // still fill on a tick marked in bulk.
    return kernel_.live().size() == 0 && flat() &&
           std::all_of(holdings.begin(), holdings.end(),
                       [](const core::Holding& h) { return h.matcher.idle(); });
  }
  const core::Matcher& matcher = holdings.front().matcher;
  // Conditional orders waiting for a level leave a tick nothing to do but
  // mark the account, until a tick reaches one.
  return kernel_.live().size() == matcher.held() && matcher.only_triggers();
}

std::size_t Loop::apply_idle_portfolio(std::span<const engine::Tick> ticks,
                                       std::span<const std::int64_t> instruments) {
  // A flat account with nothing working: a tick only tells its holding's
  // matcher the latest prices, and equity is the balance throughout.
  const std::size_t n = ticks.size();
  const std::size_t before = result_.ticks;
  std::size_t after;
  if (__builtin_add_overflow(before, n, &after)) panic("tick counter overflows");
  const Cash equity = kernel_.state().balance();
  if (const std::size_t every = config_.equity_every; every > 0) {
    if (before == 0) result_.equity_times.front() = ticks.front().exch_ts;
    for (std::size_t k = (before / every + 1) * every; k <= after; k += every) {
      result_.equity_curve.push_back(equity);
      result_.equity_times.push_back(ticks[k - before - 1].exch_ts);
    }
  }
  result_.min_equity = std::min(result_.min_equity, equity);
  result_.ticks = after;
  // The latest tick of each holding among them leaves its matcher as all of
  // them would; they are applied in the order they came.
  latest_.clear();
  std::size_t seen = 0;
  const std::size_t holdings = ids_.size();
  std::vector<bool>& met = met_;
  met.assign(holdings, false);
  for (std::size_t i = n; i-- > 0 && seen < holdings;) {
    const std::size_t at = holding_of(instruments[i]);
    if (!met[at]) {
      met[at] = true;
      ++seen;
      latest_.push_back(i);
    }
  }
  if (dense_) {
    // Ids 1, 2, ...: an id is its holding's index plus one.
    for (std::size_t i = 0; i < n; ++i) ++ticks_of_[static_cast<std::size_t>(instruments[i] - 1)];
  } else {
    for (std::size_t i = 0; i < n; ++i) ++ticks_of_[holding_of(instruments[i])];
  }
  for (std::size_t k = latest_.size(); k-- > 0;) {
    const std::size_t i = latest_[k];
    const InstrumentId instrument = kernel_.state().holdings[holding_of(instruments[i])].instrument;
    if (!kernel_.apply(core::event::Tick{ticks[i], instrument}).empty()) {
      panic("an idle tick produced output");
    }
  }
  if (next_funding_ != I64_MAX) pass_funding(ticks);
  tick_fills_.clear();
  return n;
}

std::size_t Loop::apply_idle(std::span<const engine::Tick> ticks,
                             std::span<const std::int64_t> instruments, bool quiet) {
  if (ids_.size() > 1) return apply_idle_portfolio(ticks, instruments);
  const core::State& state = kernel_.state();
  const core::Holding& h = state.holdings.front();
  const bool flat = h.is_flat();
  // A position valued at a mark is not marked to these ticks: each goes
  // through the kernel.
  if (h.marked && !flat) return 0;
  std::size_t n = ticks.size();
  if (!quiet && !flat && next_funding_ != I64_MAX) {
    // A settlement moves the balance and may liquidate: the run stops before
    // the first tick that brings one.
    const Nanos at = next_funding_;
    n = static_cast<std::size_t>(
        std::find_if(ticks.begin(), ticks.end(),
                     [at](const engine::Tick& t) { return t.exch_ts >= at; }) -
        ticks.begin());
  }

  const core::Matcher& matcher = h.matcher;
  if (!quiet && matcher.held() > 0) {
    // The tick that fires a held order is the kernel's to apply.
    n = matcher.before_trigger(ticks.first(n), h.marked);
    if (n == 0) return 0;
  }

  // Nothing fills while nothing works, so the legs, their entries and the
  // balance stay as they are through the run; only the mark moves.
  const bool enforce = state.enforce_margin && !flat;
  const bool track = config_.track_margin && !flat;
  const std::size_t before = result_.ticks;
  const std::size_t every = config_.equity_every;
  std::size_t next_sample = every > 0 ? (before / every + 1) * every : SIZE_MAX;
  Cash min_equity = result_.min_equity;
  std::int64_t max_adverse = result_.max_adverse;
  const QtyLots position = h.long_size;
  const std::int64_t entry = h.long_entry;
  const bool excursions = position != 0 && entry > 0;
  auto note = [&](std::size_t i, const engine::Tick& tick, Cash equity) {
    if (before + i + 1 == next_sample) {
      result_.equity_curve.push_back(equity);
      result_.equity_times.push_back(tick.exch_ts);
      next_sample += every;
    }
  };
  auto excursion = [&](const engine::Tick& tick) {
    max_adverse =
        std::max(max_adverse, position > 0 ? sub_sat(entry, tick.low > 0 ? tick.low : tick.last)
                                           : sub_sat(tick.high > 0 ? tick.high : tick.last, entry));
  };

  // With one leg, equity only falls as the price moves against it, and the
  // most any bracket asks only grows with the price (for an inverse leg,
  // whose value falls as the price rises, only grows as the price falls): a
  // stretch of ticks whose equity at its worst price tops that at its
  // heaviest liquidates nowhere, and its least equity is the one at its
  // worst price.  Where the bound does not hold, each tick is marked and
  // checked in full.
  const int leg = h.short_size == 0 ? (position > 0) - (position < 0) : (position == 0 ? -1 : 0);
  const QtyLots held = h.short_size == 0 ? position : h.short_size;
  const margin::Contract contract = h.contract();
  const bool inverse = h.inverse.inverse();
  const bool bounded = !flat && !track && leg != 0 && (h.contract_size > 0 || inverse) &&
                       (!enforce || h.tiers.rates_nonnegative());
  constexpr std::size_t STRETCH = 256;

  std::size_t i = 0;
  while (i < n) {
    const std::size_t end = std::min(n, i + STRETCH);
    if (flat) {
      const Cash equity = state.balance();
      min_equity = std::min(min_equity, equity);
      for (; i < end && every > 0; ++i) note(i, ticks[i], equity);
      i = end;
      continue;
    }
    if (bounded) {
      std::int64_t lo = ticks[i].last, hi = lo;
      for (std::size_t k = i + 1; k < end; ++k) {
        lo = std::min(lo, ticks[k].last);
        hi = std::max(hi, ticks[k].last);
      }
      const Cash worst = state.marked_at(0, leg > 0 ? lo : hi, false).equity;
      if (!enforce || worst > h.tiers.most_maintenance(contract, inverse ? lo : hi, held)) {
        min_equity = std::min(min_equity, worst);
        if (excursions) {
          // The stretch's worst excursion is that of its most adverse
          // price: its lowest low for a long, its highest high for a short.
          std::int64_t adverse = position > 0 ? I64_MAX : I64_MIN;
          for (std::size_t k = i; k < end; ++k) {
            const engine::Tick& t = ticks[k];
            adverse = position > 0 ? std::min(adverse, t.low > 0 ? t.low : t.last)
                                   : std::max(adverse, t.high > 0 ? t.high : t.last);
          }
          max_adverse = std::max(max_adverse,
                                 position > 0 ? sub_sat(entry, adverse) : sub_sat(adverse, entry));
        }
        // Only the sampled ticks are valued one by one.
        while (next_sample <= before + end) {
          const std::size_t k = next_sample - before - 1;
          note(k, ticks[k], state.marked_at(0, ticks[k].last, false).equity);
        }
        i = end;
        continue;
      }
    }
    for (; i < end; ++i) {
      const engine::Tick& tick = ticks[i];
      const core::Marked marked = state.marked_at(0, tick.last, enforce || track);
      // The tick that liquidates is the kernel's to apply.
      if (enforce && marked.equity <= marked.maintenance) {
        n = i;
        break;
      }
      if (track) sample_margin(marked.equity, marked.maintenance);
      if (excursions) excursion(tick);
      min_equity = std::min(min_equity, marked.equity);
      note(i, tick, marked.equity);
    }
  }
  if (n == 0) return 0;

  std::size_t after;
  if (__builtin_add_overflow(before, n, &after)) panic("tick counter overflows");
  if (before == 0 && every > 0) result_.equity_times.front() = ticks.front().exch_ts;
  result_.ticks = after;
  result_.min_equity = min_equity;
  result_.max_adverse = max_adverse;
  if (!flat) result_.exposed_ticks += n;
  // An idle tick changes only what the matcher and the account remember of
  // the latest tick, so applying the last tick in full leaves that memory as
  // applying every tick would -- but for the L1 volume traded between the
  // two latest ticks, which the next tick replaces before anything reads it.
  // It fills nothing and, as checked above, does not liquidate.
  if (!kernel_.apply(core::event::Tick{ticks[n - 1], std::nullopt}).empty()) {
    panic("an idle tick produced output");
  }
  tick_fills_.clear();
  ticks_of_.front() += n;
  // (Held, none fell due within the run.)
  if (flat && next_funding_ != I64_MAX) pass_funding(ticks.first(n));
  return n;
}

void Loop::apply_each_intent(std::span<const strategy::Intent> intents) {
  const engine::Tick& tick = context_.tick;
  const bool one = ids_.size() == 1;
  dirty_ = true;
  auto submit = [&](OrderId id, Side side, Offset offset, QtyLots qty, InstrumentId instrument,
                    std::optional<std::int64_t> price, const OrderTerms& terms) {
    const auto held = std::find(ids_.begin(), ids_.end(), instrument.value);
    if (held == ids_.end()) {
      // Refused where the strategy hears it, and counted: an order for an
      // instrument the account does not trade would otherwise vanish.
      result_.foreign_intents = static_cast<std::size_t>(
          next_counter(result_.foreign_intents, "foreign intent counter overflows"));
      const core::Output refused = core::output::Rejected{RejectReason::UnknownInstrument, id};
      note_ends(std::span(&refused, 1));
      return;
    }
    if (!one && !order_holding_.contains(id)) {
      order_holding_.put(id, static_cast<std::uint32_t>(held - ids_.begin()));
      ++positions_[static_cast<std::size_t>(held - ids_.begin())].working;
    }
    core::event::Submit event;
    event.id = id;
    event.side = side;
    event.offset = offset;
    event.qty = qty;
    event.exch_ts = tick.exch_ts;
    event.local_ts = tick.local_ts;
    event.instrument = instrument;
    event.price = price;
    event.terms = terms;
    // The outputs first: the live list may grow while the event is applied.
    auto outputs = kernel_.apply(event);
    note_ends(outputs);
    count(outputs);
  };
  auto cancel = [&](OrderId id) {
    note_ends(kernel_.apply(core::event::Cancel{id, tick.local_ts}));
  };
  const OrderTerms plain;
  for (const strategy::Intent& intent : intents) {
    std::visit(Overloaded{
                   [&](const strategy::intent::Limit& l) {
                     submit(l.id, l.side, l.offset, l.qty, l.instrument, l.price, plain);
                   },
                   [&](const strategy::intent::Market& m) {
                     submit(m.id, m.side, m.offset, m.qty, m.instrument, std::nullopt, plain);
                   },
                   [&](const strategy::intent::Place& p) {
                     submit(p.id, p.side, p.offset, p.qty, p.instrument, p.price, p.terms);
                   },
                   [&](const strategy::intent::Cancel& c) { cancel(c.id); },
                   [&](const strategy::intent::CancelAll&) {
                     live_copy_.assign(kernel_.live().begin(), kernel_.live().end());
                     for (OrderId id : live_copy_) cancel(id);
                   },
               },
               intent);
  }
}

void Loop::apply_depth(book::DepthRecord& record, std::optional<InstrumentId> instrument) {
  result_.depth_records = static_cast<std::size_t>(
      next_counter(result_.depth_records, "depth record counter overflows"));
  // The kernel produces no output for depth: a refused update is the
  // matcher's to recover from.
  if (auto* update = std::get_if<book::DepthUpdate>(&record.entry)) {
    auto& event = std::get<core::event::Depth>(depth_event_);
    std::swap(event.update, *update);
    event.instrument = instrument;
    kernel_.apply(depth_event_);
  } else {
    auto& event = std::get<core::event::Snapshot>(snapshot_event_);
    std::swap(event.snapshot, std::get<book::DepthSnapshot>(record.entry));
    event.instrument = instrument;
    kernel_.apply(snapshot_event_);
  }
}

RunResult Loop::finish(std::string_view strategy_name) {
  for (const core::Output& output : kernel_.settle_unreported()) {
    if (const auto* fill = std::get_if<core::output::Fill>(&output)) {
      result_.fills.push_back(*fill);
      note_booking(*fill, result_.ticks);
    }
  }
  const core::State& state = kernel_.state();
  result_.final_equity = state.equity();
  result_.realized = state.realized;
  result_.funding_paid = state.funding;
  result_.fees_paid = state.fees;
  result_.strategy = std::string(strategy_name);
  result_.invalid_ticks = 0;
  const std::vector<core::Holding>& holdings = state.holdings;
  for (std::size_t i = 0; i < holdings.size(); ++i) {
    const core::Holding& h = holdings[i];
    result_.invalid_ticks += h.matcher.invalid_ticks();
    result_.instruments.push_back(InstrumentTotals{h.instrument, ticks_of_[i], h.realized, h.fees,
                                                   h.funding, h.long_size, h.short_size, h.last});
    for (WalletTotals& w : result_.wallets) {
      if (w.currency != h.currency) continue;
      w.realized = add_sat(w.realized, h.realized);
      w.fees = add_sat(w.fees, h.fees);
      w.funding = add_sat(w.funding, h.funding);
    }
  }
  for (WalletTotals& w : result_.wallets) {
    w.balance = state.balance_in(w.currency);
    w.equity = state.wallet_marked(w.currency, std::nullopt, false).equity;
  }
  return std::move(result_);
}

}  // namespace internal

}  // namespace halvorn::backtest
