// The run loop: one strategy over one series of ticks against one simulated
// account.
//
// run_stream owns the account kernel for the duration of a run.  For each
// tick it applies the depth records and the funding that fell due, applies
// the tick, records fills and liquidations, keeps the running statistics,
// shows the strategy a TickContext and turns the strategy's intents into
// kernel events.  It is written once, as a template over the strategy, the
// tick source and the depth source, and holds no more than the current tick
// and the next depth record.
//
// Thread-safety: a run uses one thread; separate runs share nothing.

#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "book/depth_records.hpp"
#include "core/kernel.hpp"
#include "core/matcher.hpp"
#include "engine/id_map.hpp"
#include "engine/tick.hpp"
#include "margin/funding.hpp"
#include "margin/tier.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::backtest {

// One instrument the account trades: what a venue keeps per contract
// rather than per account.  Every instrument of a run is of this one kind,
// the first as much as the others, so that a feature of an instrument is
// written here and read in one place.
struct InstrumentConfig {
  InstrumentId instrument{1};
  core::Tier tier;  // how its orders are matched
  margin::TierTable margin_tiers = margin::TierTable::example_btcusdt();
  margin::FundingSchedule funding;
  std::int64_t contract_size = DEFAULT_CONTRACT_SIZE;
  std::array<std::int64_t, 2> fee_rates{0, 0};  // maker, taker; billionths
  // An inverse contract's coin value of one lot (empty for a linear one),
  // and the currency its amounts are booked in: USDT, or an inverse
  // contract's coin.  Instruments that settle in different currencies
  // book to a wallet each (RunConfig::wallets).
  margin::InverseValue inverse{};
  Currency settle = USDT;
  // What a tick of an inverse contract's price is worth in USD, and the
  // price of its first tick: what values its coin in USDT beside a wallet
  // of another currency, from the start of the run.
  margin::TickWorth tick_worth{};
  std::int64_t opening = 0;
};

// Everything a run needs besides the strategy and the ticks.  A run reads it
// and never changes it, so one configuration serves many runs.
//
// The fields describe the account; `instruments` what it trades, one
// holding each, in the order the run numbers them: at least one, their ids
// distinct.  A run of one instrument is the portfolio of one.
struct RunConfig {
  Cash balance = 0;
  // The starting balance of each wallet when the instruments settle in more
  // than one currency (then `balance` is not read): the account keeps its
  // figures in USDT and each wallet is margined on its own.
  std::vector<std::pair<Currency, Cash>> wallets;
  std::size_t equity_every = 0;  // sample equity every this many ticks; 0 = never
  bool track_margin = false;
  bool enforce_margin = true;
  bool hedge = false;
  // Where a resting order the quote moves through fills: at the quote, as
  // the core module's run functions fill it, or at its own limit.
  engine::RestingPrice resting = engine::RestingPrice::Quote;
  // Where an order a conditional order sent fills: where that order fills,
  // or never better than its trigger.
  engine::TriggeredPrice triggered = engine::TriggeredPrice::Order;
  std::vector<InstrumentConfig> instruments{InstrumentConfig{}};
  // Every tick stepped through the account, none of a per-tick strategy's
  // quiet ticks taken at once: the reference the quiet scan is held to, and
  // a way to check a run that looks wrong.  The results are the same.
  bool stepped = false;
};

// What a fill did to its instrument's position (in hedge mode, to the leg
// it moved): opened or added to it, reduced it, closed it to flat, or closed
// it and opened the other way.
enum class FillEffect : std::uint8_t { Open = 0, Reduce = 1, Close = 2, Reverse = 3 };

// Where and how a fill of a run was booked.
struct Booking {
  // The index of the tick whose step booked it, from 0; the number of ticks
  // for a fill settled after the last one (reported late at L1 and L2).
  std::uint64_t tick = 0;
  FillEffect effect = FillEffect::Open;
  friend bool operator==(const Booking&, const Booking&) = default;
};

// One closing-out of the account by the venue.
struct Liquidation {
  Nanos at = 0;
  std::int64_t price = 0;
  QtyLots quantity = 0;
  Cash balance = 0;
  Cash forfeited = 0;          // non-zero only on the last report of one liquidation
  InstrumentId instrument{1};  // the holding closed
  friend bool operator==(const Liquidation&, const Liquidation&) = default;
};

// What one instrument of the account added up to over a run.
struct InstrumentTotals {
  InstrumentId instrument{1};
  std::size_t ticks = 0;
  Cash realized = 0;
  Cash fees = 0;
  Cash funding = 0;
  QtyLots position = 0;  // long leg at the end; the signed net position in net mode
  QtyLots short_position = 0;
  std::int64_t last = 0;  // the price it was valued at in the end
  friend bool operator==(const InstrumentTotals&, const InstrumentTotals&) = default;
};

// One wallet of an account at the end of a run, in its own currency.
struct WalletTotals {
  Currency currency;
  Cash balance = 0;
  Cash equity = 0;
  Cash realized = 0;
  Cash fees = 0;
  Cash funding = 0;
  Cash forfeited = 0;
  // The wallet's equity at each of the run's equity samples.
  std::vector<Cash> equity_curve;
  friend bool operator==(const WalletTotals&, const WalletTotals&) = default;
};

struct MarginStats {
  Cash peak_maintenance = 0;
  std::optional<Cash> min_headroom;  // absent when no tick had a position open
};

// What a run produced.
struct RunResult {
  std::optional<MarginStats> margin;  // present only when track_margin was set
  std::string strategy;
  std::vector<Fill> fills;        // in booking order, including those settled at the end
  std::vector<Booking> bookings;  // one per fill, in the same order
  std::vector<Liquidation> liquidations;
  std::vector<Cash> equity_curve;  // the starting balance, then every equity_every-th tick
  // The exchange time of each equity sample: the starting balance carries
  // the first tick's (0 when there was none).
  std::vector<Nanos> equity_times;
  std::string tier;
  std::size_t ticks = 0;
  Cash final_equity = 0;
  Cash realized = 0;
  Cash funding_paid = 0;
  Cash fees_paid = 0;
  Cash min_equity = 0;  // never above the starting balance
  std::int64_t max_adverse = 0;
  std::size_t invalid_ticks = 0;
  std::size_t foreign_intents = 0;
  std::size_t exposed_ticks = 0;  // ticks after which a position was open
  std::size_t depth_records = 0;  // depth records applied; 0 without a depth source
  std::size_t triggered = 0;      // conditional orders that fired
  std::size_t expired = 0;        // immediate orders their first tick did not fill
  std::array<std::size_t, REJECT_REASONS> rejected{};  // refused orders, by reason
  // The texts the strategy tagged its orders with, by order id; the run loop
  // leaves it to whoever drove the strategy to fill in.
  std::vector<std::pair<OrderId, std::string>> order_tags;
  // Per instrument, in holding order: one entry for a run of one instrument.
  std::vector<InstrumentTotals> instruments;
  // Per wallet, in currency order, for a run whose instruments settle in
  // more than one currency; empty otherwise.  The run's own money figures
  // are then in USDT (State::wallets).
  std::vector<WalletTotals> wallets;
};

// A TickSource hands out ticks in order: next() fills `out` and returns true,
// or returns false at the end of the series.
template <class T>
concept TickSource = requires(T& t, engine::Tick& out) {
  { t.next(out) } -> std::convertible_to<bool>;
};

// A source whose records lie in memory can also hand them out where they
// lie: next_in_place() gives the next record (null at the end), valid until
// the source moves past the records it holds; in_place() says how many
// records after the last one handed out lie with it, contiguously;
// peek_in_place(n) shows up to n of those without handing them out, and
// skip_in_place(k) hands out the first k of them.
template <class T>
concept InPlaceSource = TickSource<T> && requires(T& t, const T& ct, std::size_t n) {
  { t.next_in_place() } -> std::same_as<const engine::Tick*>;
  { ct.in_place() } -> std::convertible_to<std::size_t>;
  { ct.peek_in_place(n) } -> std::same_as<std::span<const engine::Tick>>;
  t.skip_in_place(n);
};

// A source that merges the series of several instruments says which
// instrument each record belongs to, the way it hands out the records:
// last_instrument() is where the instrument id of the record last handed out
// lies, contiguous with those of the records after it, and
// peek_instruments(n) parallels peek_in_place(n).
template <class T>
concept TaggedSource = InPlaceSource<T> && requires(const T& ct, std::size_t n) {
  { ct.last_instrument() } -> std::same_as<const std::int64_t*>;
  { ct.peek_instruments(n) } -> std::same_as<std::span<const std::int64_t>>;
};

// A series held in memory.
struct SpanTicks {
  std::span<const engine::Tick> ticks;
  std::size_t index = 0;

  bool next(engine::Tick& out) {
    if (index == ticks.size()) return false;
    out = ticks[index++];
    return true;
  }
  const engine::Tick* next_in_place() { return index == ticks.size() ? nullptr : &ticks[index++]; }
  std::size_t in_place() const { return ticks.size() - index; }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return ticks.subspan(index, std::min(n, in_place()));
  }
  void skip_in_place(std::size_t k) { index += k; }
};

// A strategy that, between its decisions, only collects ticks can tell the
// run so (idle_ticks(): how many of the coming ticks it would only collect)
// and take them at once, in place (on_idle_ticks(ticks, in_place), where
// in_place more ticks lie contiguously after them in the source).  While
// nothing is working, such ticks only mark the account to their prices until
// one brings a funding settlement or a liquidation, so the run marks it in a
// tight loop and hands them over in bulk instead of stepping the account
// through each.
// Over a source that merges several instruments, a strategy that also
// takes on_idle_ticks(ticks, in_place, instruments) is told where the
// ticks' instrument ids lie (one per tick, contiguous, in_place more after
// them).
template <class S>
concept IdleStrategy =
    requires(S& s, const S& cs, std::span<const engine::Tick> ticks, std::size_t n) {
      { cs.idle_ticks() } -> std::convertible_to<std::size_t>;
      s.on_idle_ticks(ticks, n);
    };

// What a strategy made of a run of ticks it was shown at once (QuietScanner):
// the first `quiet` it was called on and placed nothing, and whether the
// tick after them (`stopped`) was taken too -- called and placed orders,
// failed, or halted before its call -- and must be applied in full, without
// calling it again.  Not stopped, every tick was quiet.
struct QuietScan {
  std::size_t quiet = 0;
  bool stopped = false;
};

// A per-tick strategy that can be called over a run of ticks on which no
// order fills or fires and nothing falls due, before the run marks the
// account to them: what it is shown of the account (`view`) stays as it is
// until an order is placed, but for the equity of a position held, which
// the run works out for each tick beforehand (`equities`, one a tick; empty
// when the account is flat and its equity the view's throughout).  So the
// run need not step the account through each tick to show it.
// scans_quiet() says whether it can now; scan_quiet(ticks, in_place, view,
// equities, intents) calls it for each of `ticks` (in place in the source,
// in_place more after them), until a call places orders (into `intents`),
// fails or the run halts.
template <class S>
concept QuietScanner = requires(S& s, std::span<const engine::Tick> ticks, std::size_t n,
                                const strategy::TickContext& view, std::span<const Cash> equities,
                                std::vector<strategy::Intent>& intents) {
  { s.scans_quiet() } -> std::convertible_to<bool>;
  { s.scan_quiet(ticks, n, view, equities, intents) } -> std::same_as<QuietScan>;
};

// The walk every QuietScanner makes of its ticks: show(i) calls the
// strategy on ticks[i] with `context`, which holds the position's equity on
// that tick (from `equities`, one a tick; empty when the account is flat),
// and says whether the scan goes on: it stops at the first tick the
// strategy acted on, failed on or was halted at.
template <class Show>
QuietScan walk_quiet(std::span<const engine::Tick> ticks, std::span<const Cash> equities,
                     strategy::TickContext& context, Show&& show) {
  const bool held = !equities.empty();
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    if (held) context.equity = equities[i];
    if (!show(i)) return {i, true};
  }
  return {ticks.size(), false};
}

// A DepthSource hands out a depth stream in time order: next() fills `out`
// (reusing the storage of its level arrays) and returns true, or returns
// false at the end of the stream.
template <class T>
concept DepthSource = requires(T& t, book::DepthRecord& out) {
  { t.next(out) } -> std::convertible_to<bool>;
};

// The depth source of a run without depth.  A run over it is the tick-only
// loop: the merge is chosen when the program is built and costs a tick
// nothing.
struct NoDepth {
  bool next(book::DepthRecord&) { return false; }
};

// One observation of the venue's mark price, in ticks.
struct MarkPoint {
  Nanos time = 0;
  std::int64_t price = 0;
  friend bool operator==(const MarkPoint&, const MarkPoint&) = default;
};

// A MarkSource hands out the mark price in time order: next() fills `out`
// and returns true, or returns false at the end of the stream.
template <class T>
concept MarkSource = requires(T& t, MarkPoint& out) {
  { t.next(out) } -> std::convertible_to<bool>;
};

// The mark source of a run priced at its last trades: the merge is chosen
// when the program is built and costs a tick nothing.
struct NoMarks {
  bool next(MarkPoint&) { return false; }
};

// A mark stream held in memory.
struct SpanMarks {
  std::span<const MarkPoint> points;
  std::size_t index = 0;
  bool next(MarkPoint& out) {
    if (index == points.size()) return false;
    out = points[index++];
    return true;
  }
};

// A depth stream held in memory.
struct SpanDepth {
  std::span<const book::DepthRecord> records;
  std::size_t index = 0;

  bool next(book::DepthRecord& out) {
    if (index == records.size()) return false;
    out = records[index++];
    return true;
  }
};

// Appends the endings found in one step's outputs: a fill that leaves nothing
// of its order (its last part) and whose order is no longer live ends
// Filled, a cancellation ends Canceled, an expiry Expired, a
// refusal of an order Rejected with its reason; an order id appears at most
// once among those in `endings`.  A conditional order that fired is noted as
// Triggered beside them, its end still to come.  `noted` holds the ids of `endings`, so that
// each check costs the same however many orders are live or have ended; it
// follows the list it serves, and once that list has been emptied (the run
// loop empties it when the strategy has seen it) the next call empties it
// too.
void note_endings(std::span<const core::Output> outputs, const core::LiveOrders& live,
                  std::vector<strategy::OrderEnding>& endings, engine::IdSet& noted);

// Appends the close notices of one kernel output (none unless it is a
// liquidation): the long leg first, then the short leg, each when non-zero.
void venue_closes(const core::Output& output, std::vector<strategy::VenueClosed>& out);

namespace internal {

// The state a run keeps beside the kernel, and the steps that do not depend
// on the strategy or the tick source.
class Loop {
 public:
  Loop(const RunConfig& config);

  // Settles every scheduled rate due by the tick's time not settled yet, of
  // every instrument, in time order (at equal times in holding order).
  // Inline: most ticks find none due, which one comparison tells.
  void apply_funding(const engine::Tick& tick) { apply_funding_until(tick.exch_ts); }
  // The same for the rates due by `until`.
  void apply_funding_until(Nanos until) {
    if (next_funding_ <= until) apply_scheduled_funding(until);
  }
  // When the next scheduled rate falls due; the largest time when none is.
  Nanos next_funding() const { return next_funding_; }
  // The index of the holding of instrument id `instrument`; a Panic for an
  // instrument the account does not hold.
  std::size_t holding_of(std::int64_t instrument) const {
    const auto at = static_cast<std::size_t>(instrument - 1);
    if (at < ids_.size() && ids_[at] == instrument) return at;
    return find_holding(instrument);
  }
  // Applies one tick: the kernel's step, the fills, endings and liquidations
  // it reported, the equity sample, the margin and excursion records; returns
  // the context to show the strategy.
  // `where` and `in_place` say where the tick lies in the source, for a
  // strategy that reads it there (null and 0 when it is a copy).
  // `holding` is the index of the tick's holding and `instrument_where`
  // where the tick's instrument id lies in a merging source (else null).
  const strategy::TickContext& apply_tick(const engine::Tick& tick,
                                          const engine::Tick* where = nullptr,
                                          std::size_t in_place = 0, std::size_t holding = 0,
                                          const std::int64_t* instrument_where = nullptr);
  // Whether the account has one holding and nothing working, with a matcher
  // that keeps no orders, fills or depth, or several holdings, all flat, and
  // no order live: then a tick only marks its holding to its price, unless
  // it brings funding or a liquidation.
  bool idle() const;
  // Whether every holding is flat.
  bool flat() const;
  // Whether the only holding is valued at its trades, with no order live
  // but conditional ones waiting for a level: then a tick that fires none
  // only moves its price, and the strategy's view of the account
  // (quiet_view()) stays as it is until it places an order, but for the
  // equity of a position.
  bool scannable() const;
  // The strategy's view of such an account: apply_tick's context, with the
  // account's fields as they stand.
  const strategy::TickContext& quiet_view();
  // Of such an account, the leading ticks of `run` that apply_idle takes
  // whole -- up to the first that fires an order or brings funding or a
  // liquidation -- and the equity of a position held on each (empty when
  // the account is flat).
  struct QuietRun {
    std::size_t n = 0;
    std::span<const Cash> equities;
  };
  QuietRun quiet_run(std::span<const engine::Tick> run);
  // Whether the only holding is valued at a mark.
  bool holding_marked() const { return kernel_.state().holdings.front().marked; }
  // The longest leading run of `ticks` that brings neither, at once: the
  // result counts, samples and tracks them as apply_tick would, and the
  // account and the matcher are left as the last of them leaves them.
  // Returns the run's length; the ticks after it are for apply_tick.
  // `instruments` holds the ticks' instrument ids when a source merges
  // several series, and is empty otherwise.  `quiet`: quiet_run cut
  // `ticks` already, before any that fires an order or brings funding.
  // Requires: idle(), no depth merged into the run.
  std::size_t apply_idle(std::span<const engine::Tick> ticks,
                         std::span<const std::int64_t> instruments = {}, bool quiet = false);
  void apply_intents(std::span<const strategy::Intent> intents) {
    if (!intents.empty()) apply_each_intent(intents);
  }
  // Hands one depth record to the kernel: an update as a Depth event, a
  // snapshot as a Snapshot event.  The record's level arrays are swapped
  // with the event's, so that once warm neither side allocates; `record`
  // keeps storage for the next record.
  // `instrument` names the holding in a portfolio, whose depth streams are
  // merged; none for the only holding.
  void apply_depth(book::DepthRecord& record,
                   std::optional<InstrumentId> instrument = std::nullopt);
  // Hands one mark to the kernel, which values and tests the account at it
  // from then on; a liquidation it brings is recorded as a tick's is.
  // `instrument` names the holding in a portfolio; none for the only one.
  void apply_mark(const MarkPoint& mark, std::optional<InstrumentId> instrument = std::nullopt);
  // Whether an order of the account watches the mark price.
  bool watches_marks() const;
  // Whether `mark` would fire an order of the one holding's.
  // Requires: idle().
  bool mark_fires(const MarkPoint& mark) const;
  RunResult finish(std::string_view strategy_name);

  std::span<const Fill> tick_fills() const { return tick_fills_; }
  std::vector<strategy::OrderEnding>& endings() { return endings_; }
  std::vector<strategy::VenueClosed>& closes() { return closes_; }
  std::vector<strategy::Intent>& intents() { return intents_; }

 private:
  void record(std::span<const core::Output> outputs, bool fills_too);
  // Counts the triggers, expiries and refusals among one step's outputs.
  void count(std::span<const core::Output> outputs);
  void sample_margin(Cash equity, Cash maintenance);
  void apply_scheduled_funding(Nanos until);
  // Books each fill's tick and effect, and follows liquidations, on the
  // legs the run keeps beside the account's.
  void note_booking(const Fill& fill, std::uint64_t tick);
  void apply_each_intent(std::span<const strategy::Intent> intents);
  std::size_t find_holding(std::int64_t instrument) const;
  std::size_t apply_idle_portfolio(std::span<const engine::Tick> ticks,
                                   std::span<const std::int64_t> instruments);
  // Notes the endings among `outputs`, each counted off the working orders
  // of its instrument.
  void note_ends(std::span<const core::Output> outputs);
  void refresh_positions();
  // Writes holding h's legs, the equity and the working orders into the
  // strategy's view, the positions too when they may have changed.
  void show(const core::Holding& h, Cash equity, std::size_t working);
  void recompute_next_funding();
  // Lets pass, unsettled, every rate due by the latest of `ticks`, over
  // which the account was flat.
  void pass_funding(std::span<const engine::Tick> ticks);

  // One instrument's funding schedule and the first of its rates not yet
  // settled: rates are in time order, so those before it are exactly the
  // ones due by the latest tick so far.
  struct FundingCursor {
    const std::vector<margin::FundingRate>* rates = nullptr;
    std::size_t next = 0;
  };

  const RunConfig& config_;
  core::Kernel kernel_;
  RunResult result_;
  // No multiple of equity_every lies between the tick count apply_tick last
  // sampled at and this: the ticks before it need no division to know they
  // are not sampled, which every tick would otherwise pay for.
  std::size_t next_sample_ = 0;
  std::vector<strategy::OrderEnding> endings_;
  engine::IdSet noted_;  // the ids of endings_
  std::vector<strategy::VenueClosed> closes_;
  std::vector<strategy::Intent> intents_;
  std::vector<Fill> tick_fills_;
  std::vector<OrderId> live_copy_;
  strategy::TickContext context_;
  std::vector<FundingCursor> funding_;  // per holding
  // The earliest time a scheduled rate falls due; the largest time when none
  // is left.
  Nanos next_funding_ = I64_MAX;
  std::vector<std::int64_t> ids_;      // the holdings' instrument ids, in order
  bool dense_ = true;                  // whether they are 1, 2, 3, ...: as a portfolio numbers them
  std::vector<std::size_t> ticks_of_;  // ticks per holding
  // What the strategy is shown of every holding, refreshed when something
  // may have changed it (dirty_).
  std::vector<strategy::Position> positions_;
  bool dirty_ = true;
  // The holding each order of a portfolio was sent to, while it works.
  engine::IdMap<std::uint32_t> order_holding_;
  // Scratch of apply_idle_portfolio: which holdings a stretch has met, and
  // where the latest tick of each lies.
  std::vector<bool> met_;
  std::vector<std::size_t> latest_;
  std::vector<Cash> quiet_equities_;  // quiet_run's, reused
  // Each holding's (long, short) legs as the fills and liquidations recorded
  // so far leave them: what a fill's effect is judged against.
  std::vector<std::pair<QtyLots, QtyLots>> legs_;
  core::Event depth_event_{core::event::Depth{}};
  core::Event snapshot_event_{core::event::Snapshot{}};
};

// The merge of a depth stream with the ticks: the source, and the one record
// read ahead of the current tick.
template <DepthSource D>
class DepthMerge {
 public:
  explicit DepthMerge(D& source) : source_(source) {}

  // Applies, in stream order, every record whose time is at or before
  // `until`: depth at a tick's own time comes before the tick, as the L2
  // matcher expects when it reads queue positions.
  void apply_until(Loop& loop, Nanos until) {
    for (;;) {
      if (!waiting_) {
        if (ended_ || !source_.next(record_)) {
          ended_ = true;
          return;
        }
        waiting_ = true;
      }
      if (record_.time > until) return;
      if constexpr (requires { source_.last_instrument(); }) {
        loop.apply_depth(record_, source_.last_instrument());
      } else {
        loop.apply_depth(record_);
      }
      waiting_ = false;
    }
  }

 private:
  D& source_;
  book::DepthRecord record_;
  bool waiting_ = false;  // record_ holds a record not yet applied
  bool ended_ = false;    // the source has said it has no more
};

template <>
class DepthMerge<NoDepth> {
 public:
  explicit DepthMerge(NoDepth&) {}
  void apply_until(Loop&, Nanos) {}
};

// The merge of a mark stream with the ticks, as the depth stream's.
template <MarkSource M>
class MarkMerge {
  // Whether the source merges several instruments' marks.
  static constexpr bool TAGGED = requires(const M& m) { m.last_instrument(); };

 public:
  explicit MarkMerge(M& source) : source_(source) {}

  // Applies every mark whose time is at or before `until`, in stream
  // order: a mark at a tick's own time values the account before the tick.
  void apply_until(Loop& loop, Nanos until) {
    for (;;) {
      if (!waiting_) {
        if (ended_ || !source_.next(mark_)) {
          ended_ = true;
          return;
        }
        waiting_ = true;
      }
      if (mark_.time > until) return;
      if constexpr (TAGGED) {
        loop.apply_mark(mark_, source_.last_instrument());
      } else {
        loop.apply_mark(mark_);
      }
      waiting_ = false;
    }
  }

  // The same for an account that no mark can move (flat, nothing working
  // but orders waiting for a level): only the latest of those marks is
  // applied, as the one that counts, up to the first that would fire an
  // order, which is left for its tick.  Returns the time of that mark, or
  // the largest time when none fires.  A portfolio's are each instrument's,
  // so all of them are applied.
  Nanos apply_latest_until(Loop& loop, Nanos until) {
    if constexpr (TAGGED) {
      apply_until(loop, until);
      return std::numeric_limits<Nanos>::max();
    }
    bool any = false;
    MarkPoint latest;
    Nanos fires = std::numeric_limits<Nanos>::max();
    for (;;) {
      if (!waiting_) {
        if (ended_ || !source_.next(mark_)) {
          ended_ = true;
          break;
        }
        waiting_ = true;
      }
      if (mark_.time > until) break;
      if (loop.mark_fires(mark_)) {
        fires = mark_.time;
        break;
      }
      latest = mark_;
      any = true;
      waiting_ = false;
    }
    if (any) loop.apply_mark(latest);
    return fires;
  }

  // The time of the next mark not applied yet; the largest time when the
  // stream has ended.
  Nanos next_time() {
    if (!waiting_ && !ended_) {
      if (source_.next(mark_)) {
        waiting_ = true;
      } else {
        ended_ = true;
      }
    }
    return waiting_ ? mark_.time : std::numeric_limits<Nanos>::max();
  }

 private:
  M& source_;
  MarkPoint mark_;
  bool waiting_ = false;
  bool ended_ = false;
};

template <>
class MarkMerge<NoMarks> {
 public:
  explicit MarkMerge(NoMarks&) {}
  void apply_until(Loop&, Nanos) {}
  Nanos apply_latest_until(Loop&, Nanos) { return std::numeric_limits<Nanos>::max(); }
  Nanos next_time() { return std::numeric_limits<Nanos>::max(); }
};

}  // namespace internal

// Drives `strategy` over `ticks`, with the market depth of `depth` and the
// mark prices of `marks` merged in by time: every depth record and every
// mark at or before a tick's exch_ts is applied before that tick (depth
// first, then marks), in stream order; those after the last tick are never
// applied.
// Reports no errors: a strategy that fails records its failure itself, and a
// tick or depth source that fails simply ends (a depth stream that ends
// early leaves the book as its last record left it).
template <strategy::Strategy S, TickSource T, DepthSource D, MarkSource M = NoMarks>
RunResult run_stream(const RunConfig& config, S& strategy, T& ticks, D& depth, M&& marks = M{}) {
  internal::Loop loop(config);
  internal::DepthMerge<D> merge(depth);
  internal::MarkMerge<std::remove_cvref_t<M>> marked(marks);
  [[maybe_unused]] engine::Tick copy;
  // How far ahead a strategy called over quiet ticks is shown at most.
  constexpr std::size_t SCAN_LEAST = 256, SCAN_MOST = 4096;
  [[maybe_unused]] std::size_t scan_reach = SCAN_LEAST;
  for (;;) {
    const engine::Tick* record;
    std::size_t in_place = 0;
    if constexpr (InPlaceSource<T>) {
      if constexpr (QuietScanner<S> && std::is_same_v<D, NoDepth> &&
                    std::is_same_v<std::remove_cvref_t<M>, NoMarks> && !TaggedSource<T>) {
        // While no order can fill or fire, the strategy is shown the same
        // view on every tick but for a position's equity: it is called over a
        // run of them at once, and the run marks the account to those it
        // placed nothing on.  A run whose first tick fires an order or brings
        // funding or a liquidation leaves that tick to the step below.
        if (!config.stepped && strategy.scans_quiet() && loop.scannable() &&
            loop.endings().empty() && loop.closes().empty()) {
          const std::span<const engine::Tick> ahead = ticks.peek_in_place(scan_reach);
          const internal::Loop::QuietRun quiet = loop.quiet_run(ahead);
          if (quiet.n > 0) {
            const std::span<const engine::Tick> run = ahead.first(quiet.n);
            auto& intents = loop.intents();
            intents.clear();
            const QuietScan scan = strategy.scan_quiet(run, ticks.in_place() - run.size(),
                                                       loop.quiet_view(), quiet.equities, intents);
            if (scan.quiet > 0) {
              if (loop.apply_idle(run.first(scan.quiet), {}, true) != scan.quiet) {
                panic("a quiet account's ticks were not all marked");
              }
              ticks.skip_in_place(scan.quiet);
            }
            // What a run's ticks need worked out ahead (a position's equity,
            // the reach of held orders) is wasted past the tick the strategy
            // acts on: a run starts short after one it acted on, and doubles
            // while the strategy lets whole runs pass.
            scan_reach = scan.stopped ? SCAN_LEAST : std::min(2 * scan_reach, SCAN_MOST);
            if (scan.stopped) {
              // The tick the strategy acted on, applied as any tick is; what
              // it placed goes in after it.
              record = ticks.next_in_place();
              in_place = ticks.in_place();
              loop.apply_funding(*record);
              loop.apply_tick(*record, record, in_place);
              loop.apply_intents(intents);
            }
            if (strategy::halted(strategy)) break;
            continue;
          }
        }
      }
      if constexpr (IdleStrategy<S> && std::is_same_v<D, NoDepth>) {
        const std::size_t idle = strategy.idle_ticks();
        // Endings and closes waiting to be heard are delivered by a tick
        // stepped in full, before the strategy's next call.
        if (idle > 0 && loop.idle() && loop.endings().empty() && loop.closes().empty()) {
          std::span<const engine::Tick> run = ticks.peek_in_place(idle);
          std::span<const std::int64_t> tags;
          if constexpr (TaggedSource<T>) tags = ticks.peek_instruments(run.size());
          if constexpr (!std::is_same_v<std::remove_cvref_t<M>, NoMarks>) {
            // A mark moves nothing of a flat account: of those the run
            // reaches, the latest is taken at once, ahead of its ticks, up
            // to one that fires an order.  Orders that watch the mark on a
            // holding without one yet watch the ticks' trades instead, and
            // the first mark must come in its place.
            Nanos until = marked.next_time();
            if (!run.empty() && loop.flat() && (!loop.watches_marks() || loop.holding_marked())) {
              until = marked.apply_latest_until(loop, run.back().exch_ts);
            }
            // A tick at or after the next mark's time waits for the mark.
            run = run.first(static_cast<std::size_t>(
                std::find_if(run.begin(), run.end(),
                             [until](const engine::Tick& t) { return t.exch_ts >= until; }) -
                run.begin()));
          }
          if (const std::size_t done = run.empty() ? 0 : loop.apply_idle(run, tags); done > 0) {
            ticks.skip_in_place(done);
            if constexpr (TaggedSource<T> &&
                          requires { strategy.on_idle_ticks(run, in_place, tags.data()); }) {
              strategy.on_idle_ticks(run.first(done), ticks.in_place(), tags.data());
            } else {
              strategy.on_idle_ticks(run.first(done), ticks.in_place());
            }
            if (strategy::halted(strategy)) break;
            continue;
          }
        }
      }
      record = ticks.next_in_place();
      if (record == nullptr) break;
      in_place = ticks.in_place();
    } else {
      if (!ticks.next(copy)) break;
      record = &copy;
    }
    const engine::Tick& tick = *record;
    std::size_t holding = 0;
    const std::int64_t* instrument = nullptr;
    if constexpr (TaggedSource<T>) {
      instrument = ticks.last_instrument();
      holding = loop.holding_of(*instrument);
    }
    merge.apply_until(loop, tick.exch_ts);
    if constexpr (!std::is_same_v<std::remove_cvref_t<M>, NoMarks>) {
      // A settlement is priced at the mark in force at its own time: the
      // marks up to it first, then it, then the marks after it.
      for (Nanos due = loop.next_funding(); due <= tick.exch_ts; due = loop.next_funding()) {
        marked.apply_until(loop, due);
        loop.apply_funding_until(due);
      }
    }
    marked.apply_until(loop, tick.exch_ts);
    loop.apply_funding(tick);
    const strategy::TickContext& context =
        InPlaceSource<T> ? loop.apply_tick(tick, record, in_place, holding, instrument)
                         : loop.apply_tick(tick);
    auto& intents = loop.intents();
    intents.clear();
    strategy::notify_fills(strategy, loop.tick_fills());
    strategy::notify_endings(strategy, std::span<const strategy::OrderEnding>(loop.endings()));
    strategy::notify_venue_closed(strategy, std::span<const strategy::VenueClosed>(loop.closes()));
    loop.endings().clear();
    loop.closes().clear();
    strategy.on_tick(context, intents);
    loop.apply_intents(intents);
    if (strategy::halted(strategy)) break;
  }
  strategy::notify_run_end(strategy);
  return loop.finish(strategy.name());
}

// A run without depth.
template <strategy::Strategy S, TickSource T>
RunResult run_stream(const RunConfig& config, S& strategy, T& ticks) {
  NoDepth none;
  return run_stream(config, strategy, ticks, none);
}

}  // namespace halvorn::backtest
