#include "backtest/run.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace halvorn::backtest {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

core::State make_state(const RunConfig& config) {
  core::State state = core::State::create(config.instrument, config.contract_size,
                                          config.margin_tiers, config.balance);
  state.fee_rates = config.fee_rates;
  state.hedge = config.hedge;
  state.fees_known = true;
  state = core::State::matching_with(std::move(state),
                                     core::Tier::matcher(config.tier, config.instrument));
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
      note(fill->order, strategy::Ending::Filled);
    } else if (const auto* canceled = std::get_if<core::output::Canceled>(&output)) {
      note(canceled->id, strategy::Ending::Canceled);
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

Loop::Loop(const RunConfig& config)
    : config_(config), kernel_(make_state(config)), last_funding_(I64_MIN) {
  const auto& holdings = kernel_.state().holdings;
  if (holdings.empty()) panic("a run's account must hold its instrument");
  result_.tier = holdings.front().matcher.tier_name();
  result_.min_equity = config.balance;
  if (config.equity_every > 0) {
    result_.equity_curve.push_back(config.balance);
    result_.equity_times.push_back(0);  // the first tick's time, once it comes
  }
  if (config.track_margin) result_.margin = MarginStats{};
  endings_.reserve(16);
  closes_.reserve(4);
  intents_.reserve(16);
  tick_fills_.reserve(16);
  live_copy_.reserve(16);
  context_.instrument = config.instrument;
}

void Loop::record(std::span<const core::Output> outputs, bool fills_too) {
  for (const core::Output& output : outputs) {
    if (const auto* fill = std::get_if<core::output::Fill>(&output)) {
      if (!fills_too) continue;
      result_.fills.push_back(*fill);
      tick_fills_.push_back(*fill);
    } else if (const auto* liq = std::get_if<core::output::Liquidated>(&output)) {
      result_.liquidations.push_back(
          {liq->time, liq->price, liq->quantity, liq->balance, liq->forfeited});
      venue_closes(output, closes_);
    }
  }
}

void Loop::apply_scheduled_funding(const engine::Tick& tick) {
  for (const margin::FundingRate& rate : config_.funding.between(last_funding_, tick.exch_ts)) {
    record(kernel_.apply(core::event::Funding{rate, std::nullopt}), false);
  }
  last_funding_ = std::max(last_funding_, tick.exch_ts);
}

const strategy::TickContext& Loop::apply_tick(const engine::Tick& tick, const engine::Tick* where,
                                              std::size_t in_place) {
  result_.ticks = static_cast<std::size_t>(next_counter(result_.ticks, "tick counter overflows"));
  auto outputs = kernel_.apply(core::event::Tick{tick, std::nullopt});
  tick_fills_.clear();
  if (!outputs.empty()) {
    note_endings(outputs, kernel_.live(), endings_, noted_);
    record(outputs, true);
  }

  const core::Summary summary = kernel_.summary();
  const Cash equity = summary.equity;
  if (config_.equity_every > 0) {
    if (result_.ticks == 1) result_.equity_times.front() = tick.exch_ts;
    if (result_.ticks % config_.equity_every == 0) {
      result_.equity_curve.push_back(equity);
      result_.equity_times.push_back(tick.exch_ts);
    }
  }
  if (summary.long_size != 0 || summary.short_size != 0) ++result_.exposed_ticks;
  result_.min_equity = std::min(result_.min_equity, equity);

  if (config_.track_margin && (summary.long_size != 0 || summary.short_size != 0)) {
    const Cash maintenance = kernel_.state().maintenance();
    const Cash headroom = sub_sat(equity, maintenance);
    MarginStats& margin = *result_.margin;
    margin.peak_maintenance = std::max(margin.peak_maintenance, maintenance);
    if (!margin.min_headroom || headroom < *margin.min_headroom) margin.min_headroom = headroom;
  }

  // Adverse excursion of the net (long-slot) position against its entry.
  const QtyLots position = summary.long_size;
  const std::int64_t entry = summary.long_entry;
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
  context_.position = summary.long_size;
  context_.entry = summary.long_entry;
  context_.short_position = summary.short_size;
  context_.short_entry = summary.short_entry;
  context_.equity = equity;
  context_.working = kernel_.live().size();
  context_.record = where;
  context_.in_place = in_place;
  return context_;
}

bool Loop::quiet() const {
  const core::Holding& h = kernel_.state().holdings.front();
  return kernel_.live().empty() && h.is_flat() && h.matcher.idle();
}

void Loop::apply_quiet(std::span<const engine::Tick> ticks) {
  const std::size_t before = result_.ticks;
  std::size_t after;
  if (__builtin_add_overflow(before, ticks.size(), &after)) panic("tick counter overflows");
  // A quiet tick changes only what the matcher and the account remember of
  // the latest tick, so applying the last tick in full leaves that memory as
  // applying every tick would -- but for the L1 volume traded between the
  // two latest ticks, which the next tick replaces before anything reads it.
  // Quiet, the tick produces no output.
  (void)kernel_.apply(core::event::Tick{ticks.back(), std::nullopt});
  result_.ticks = after;
  tick_fills_.clear();
  if (!config_.funding.rates.empty()) {
    // Funding of a flat account settles nothing; only its time passes.
    last_funding_ = std::max(last_funding_, ticks.back().exch_ts);
  }
  const Cash equity = kernel_.summary().equity;
  result_.min_equity = std::min(result_.min_equity, equity);
  const std::size_t every = config_.equity_every;
  if (every > 0) {
    if (before == 0) result_.equity_times.front() = ticks.front().exch_ts;
    // The samples due within the run: the multiples of `every` in
    // (before, after].
    for (std::size_t k = (before / every + 1) * every; k <= after; k += every) {
      result_.equity_curve.push_back(equity);
      result_.equity_times.push_back(ticks[k - before - 1].exch_ts);
    }
  }
}

void Loop::apply_each_intent(std::span<const strategy::Intent> intents) {
  const engine::Tick& tick = context_.tick;
  auto submit = [&](OrderId id, Side side, Offset offset, QtyLots qty, InstrumentId instrument,
                    std::optional<std::int64_t> price) {
    if (instrument != config_.instrument) {
      result_.foreign_intents = static_cast<std::size_t>(
          next_counter(result_.foreign_intents, "foreign intent counter overflows"));
      return;
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
    // The outputs first: the live list may grow while the event is applied.
    auto outputs = kernel_.apply(event);
    note_endings(outputs, kernel_.live(), endings_, noted_);
  };
  auto cancel = [&](OrderId id) {
    auto outputs = kernel_.apply(core::event::Cancel{id});
    note_endings(outputs, kernel_.live(), endings_, noted_);
  };
  for (const strategy::Intent& intent : intents) {
    std::visit(Overloaded{
                   [&](const strategy::intent::Limit& l) {
                     submit(l.id, l.side, l.offset, l.qty, l.instrument, l.price);
                   },
                   [&](const strategy::intent::Market& m) {
                     submit(m.id, m.side, m.offset, m.qty, m.instrument, std::nullopt);
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

void Loop::apply_depth(book::DepthRecord& record) {
  result_.depth_records = static_cast<std::size_t>(
      next_counter(result_.depth_records, "depth record counter overflows"));
  // The kernel produces no output for depth: a refused update is the
  // matcher's to recover from.
  if (auto* update = std::get_if<book::DepthUpdate>(&record.entry)) {
    std::swap(std::get<core::event::Depth>(depth_event_).update, *update);
    kernel_.apply(depth_event_);
  } else {
    std::swap(std::get<core::event::Snapshot>(snapshot_event_).snapshot,
              std::get<book::DepthSnapshot>(record.entry));
    kernel_.apply(snapshot_event_);
  }
}

RunResult Loop::finish(std::string_view strategy_name) {
  for (const core::Output& output : kernel_.settle_unreported()) {
    if (const auto* fill = std::get_if<core::output::Fill>(&output)) {
      result_.fills.push_back(*fill);
    }
  }
  const core::Summary summary = kernel_.summary();
  result_.final_equity = summary.equity;
  result_.realized = summary.realized;
  result_.funding_paid = summary.funding;
  result_.fees_paid = summary.fees;
  result_.strategy = std::string(strategy_name);
  result_.invalid_ticks = kernel_.state().holdings.front().matcher.invalid_ticks();
  return std::move(result_);
}

}  // namespace internal

}  // namespace halvorn::backtest
