// A strategy compiled to a C function: per-tick decisions at the engine's
// speed, the interpreter lock released for the whole run but for the calls
// that report its progress (every RunProgress::INTERVAL ticks) and those
// that ask for Ctrl-C.
//
// The engine calls the function on every tick (or on every batch) with
// read-only views of the ticks and of the account, the fills and order
// endings since the previous call, the state the user owns, and an output
// buffer for orders and cancels.  Everything is 64-bit little-endian words,
// so that a function written in numba, C, Cython or anything with a C ABI
// reads them as plain arrays:
//
//   int64_t on_tick(const int64_t* ticks, int64_t n_ticks,
//                   const int64_t* account,
//                   const int64_t* fills, int64_t n_fills,
//                   const int64_t* ends, int64_t n_ends,
//                   void* state,
//                   int64_t* orders, int64_t capacity);
//
//   ticks    n_ticks records of TICK_WORDS: exch_ts, local_ts, last, high,
//            low, bid, ask, volume (the tick file's record);
//   account  ACCOUNT_WORDS words (see Account below);
//   fills    n_fills records of FILL_WORDS, as a Run's fills buffer holds them,
//            or, for a function that asks for them, FULL_FILL_WORDS: those
//            words, the index of the tick each fill was booked on and what
//            its order still had working after it (an order filled in parts);
//   ends     n_ends pairs: order id, how it ended (0 filled, 1 canceled,
//            2 expired, 3 triggered, 8 + reason refused);
//   orders   capacity slots of ORDER_WORDS (see OrderSlot) for the function
//            to fill; it returns how many it filled, or a negative status
//            that stops the run with an error naming it.
//
// Every pointer is valid for the call only; none is null.  docs/
// compiled_strategies.md gives the byte layouts and the rules.  What the
// function does to memory is its own affair, as with any native code; what
// it reports is checked: a count beyond the buffer, an unknown kind, side or
// offset, a quantity below one lot stop the run with an error, never reach
// the engine.
//
// Thread-safety: one CompiledDriven is driven by one run, on the thread that
// made it.  The function may run in several threads at once for several
// runs, each with its own state.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backtest/run_loop.hpp"
#include "data/ticks.hpp"
#include "py/gil.hpp"
#include "py/interruption.hpp"
#include "py/pyref.hpp"
#include "py/run_progress.hpp"
#include "py/strategy_failure.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py {

using CompiledFunction = std::int64_t (*)(const std::int64_t* ticks, std::int64_t n_ticks,
                                          const std::int64_t* account, const std::int64_t* fills,
                                          std::int64_t n_fills, const std::int64_t* ends,
                                          std::int64_t n_ends, void* state, std::int64_t* orders,
                                          std::int64_t capacity);

// The slot layout's version.  Code written for the layout (halvorn.compiled's
// slot writers and entry point) says which version it was written for, and
// is refused by one of another: a word moved under it would be read or
// written in silence.  A change to the words below is a new version.
inline constexpr std::int64_t SLOT_LAYOUT_VERSION = 2;

inline constexpr std::size_t TICK_WORDS = 8;
inline constexpr std::size_t FILL_WORDS = 8;
inline constexpr std::size_t FULL_FILL_WORDS = 10;
inline constexpr std::size_t END_WORDS = 2;
inline constexpr std::size_t ACCOUNT_WORDS = 16;
inline constexpr std::size_t POSITION_WORDS = 6;  // each instrument's record after the account
inline constexpr std::size_t ORDER_WORDS = 6;
// A wide order slot: the six words above, then the terms a plain market or
// limit order does without (see OrderSlot).
inline constexpr std::size_t FULL_ORDER_WORDS = 16;

// The words of a tick record: the tick file's, as the engine holds it.
enum TickWord : std::size_t {
  EXCH_TS = 0,
  LOCAL_TS = 1,
  LAST = 2,
  HIGH = 3,
  LOW = 4,
  BID = 5,
  ASK = 6,
  VOLUME = 7,
};

// The words of a full fill record past the run's eight.
enum FillWord : std::size_t {
  FILL_TICK = 8,  // index of the tick the fill was booked on
  REMAINING = 9,  // lots of its order still working after it
};

// The words of the account view.
enum Account : std::size_t {
  POSITION = 0,        // lots: the long leg, or the signed net position in net mode
  ENTRY = 1,           // average entry of that position, ticks
  SHORT_POSITION = 2,  // lots of the short leg (hedge mode)
  SHORT_ENTRY = 3,
  EQUITY = 4,   // Cash after the last tick of the call
  WORKING = 5,  // live orders
  INSTRUMENT = 6,
  TICK_INDEX = 7,   // of the last tick of the call, from 0
  ORDERS_MADE = 8,  // ids given so far: the k-th order of this call gets ORDERS_MADE + k (k from 1)
  INSTRUMENTS = 9,  // the run's instruments: a record of POSITION_WORDS each follows word 15
  // 10..15 are 0, kept for what a later release adds.
};

// The words of an instrument's record, after the account's ACCOUNT_WORDS,
// in the run's order of instruments: what a strategy trading several
// reads of the positions it does not see on the tick.
enum Held : std::size_t {
  HELD_INSTRUMENT = 0,
  HELD_POSITION = 1,  // lots: the long leg, or the signed net position in net mode
  HELD_ENTRY = 2,
  HELD_SHORT_POSITION = 3,
  HELD_SHORT_ENTRY = 4,
  HELD_WORKING = 5,  // its live orders
};

// The words of one order slot.  A function that reads six-word slots
// (ORDER_WORDS) writes only the first six, and so places market and limit
// orders and cancels; one given wide slots (FULL_ORDER_WORDS) fills every
// word, 0 where it asks for nothing.
enum OrderSlot : std::size_t {
  KIND = 0,    // a SlotKind
  SIDE = 1,    // 0 buy, 1 sell
  OFFSET = 2,  // 0 open, 1 close
  PRICE = 3,   // ticks: a limit order's limit; what a stop sends when it fires (0: market)
  QTY = 4,     // lots, at least 1; 0 for a conditional order: the whole position
  ORDER = 5,   // the id to cancel (cancel)
  // Wide slots only.
  FOR_INSTRUMENT = 6,  // the instrument id it is for; 0 the tick's
  TIF = 7,             // a SlotTif
  FLAGS = 8,           // SlotFlag bits
  TRIGGER = 9,         // ticks: a stop's or take-profit's trigger, a trailing stop's activation
  DISTANCE = 10,       // ticks a trailing stop trails by (or 0, trailing by RATE)
  RATE = 11,           // billionths of the best price a trailing stop trails by (or 0)
  FIRED_BY = 12,       // a SlotFiredBy
  GROUP = 13,          // a SlotGroup: the order's place in a group of consecutive slots
  // 14 and 15 are 0, kept for what a later release adds.
};

// What an order slot asks for.
enum SlotKind : std::int64_t {
  MARKET_SLOT = 1,
  LIMIT_SLOT = 2,
  CANCEL_SLOT = 3,
  CANCEL_ALL_SLOT = 4,  // cancel every live order
  // Wide slots only.
  STOP_SLOT = 5,
  TAKE_PROFIT_SLOT = 6,
  TRAILING_STOP_SLOT = 7,
  CLOSE_POSITION_SLOT = 8,  // a market order for the whole position its side faces
};

enum SlotTif : std::int64_t {
  GOOD_TILL_CANCEL_SLOT = 0,
  IMMEDIATE_OR_CANCEL_SLOT = 1,
  FILL_OR_KILL_SLOT = 2,
};

enum SlotFlag : std::int64_t {
  POST_ONLY_FLAG = 1,
  REDUCE_ONLY_FLAG = 2,
};

enum SlotFiredBy : std::int64_t {
  BY_LAST_SLOT = 0,
  BY_MARK_SLOT = 1,
};

// A group is a run of consecutive slots: a one-cancels-other pair is two
// slots marked ONE_CANCELS_OTHER, a bracket its entry then its stop-loss,
// its take-profit or both.  The first slot of a group leads it.
enum SlotGroup : std::int64_t {
  NO_GROUP_SLOT = 0,
  ONE_CANCELS_OTHER_SLOT = 1,
  BRACKET_ENTRY_SLOT = 2,
  BRACKET_STOP_SLOT = 3,
  BRACKET_TAKE_SLOT = 4,
};

// One name of the slot layout: the group it belongs to ("size", "tick",
// "fill", "account", "held", "order", "kind", "side", "offset", "tif", "flag",
// "fired_by", "group"), the name code
// written for the layout uses, and its word index, count or code.
struct LayoutName {
  const char* group;
  const char* name;
  std::int64_t value;
};

// Every name of the layout, from the enumerations above: what
// halvorn.venue._compiled_layout hands to halvorn.compiled, which builds its
// constants and slot writers from it, and what docs/compiled_strategies.md
// is checked against.
inline constexpr LayoutName SLOT_LAYOUT[] = {
    {"size", "TICK_WORDS", TICK_WORDS},
    {"size", "ACCOUNT_WORDS", ACCOUNT_WORDS},
    {"size", "POSITION_WORDS", POSITION_WORDS},
    {"size", "FILL_WORDS", FILL_WORDS},
    {"size", "FULL_FILL_WORDS", FULL_FILL_WORDS},
    {"size", "END_WORDS", END_WORDS},
    {"size", "ORDER_WORDS", ORDER_WORDS},
    {"size", "FULL_ORDER_WORDS", FULL_ORDER_WORDS},
    {"tick", "EXCH_TS", EXCH_TS},
    {"tick", "LOCAL_TS", LOCAL_TS},
    {"tick", "LAST", LAST},
    {"tick", "HIGH", HIGH},
    {"tick", "LOW", LOW},
    {"tick", "BID", BID},
    {"tick", "ASK", ASK},
    {"tick", "VOLUME", VOLUME},
    {"fill", "FILL_TICK", FILL_TICK},
    {"fill", "REMAINING", REMAINING},
    {"account", "POSITION", POSITION},
    {"account", "ENTRY", ENTRY},
    {"account", "SHORT_POSITION", SHORT_POSITION},
    {"account", "SHORT_ENTRY", SHORT_ENTRY},
    {"account", "EQUITY", EQUITY},
    {"account", "WORKING", WORKING},
    {"account", "INSTRUMENT", INSTRUMENT},
    {"account", "TICK_INDEX", TICK_INDEX},
    {"account", "ORDERS_MADE", ORDERS_MADE},
    {"account", "INSTRUMENTS", INSTRUMENTS},
    {"held", "HELD_INSTRUMENT", HELD_INSTRUMENT},
    {"held", "HELD_POSITION", HELD_POSITION},
    {"held", "HELD_ENTRY", HELD_ENTRY},
    {"held", "HELD_SHORT_POSITION", HELD_SHORT_POSITION},
    {"held", "HELD_SHORT_ENTRY", HELD_SHORT_ENTRY},
    {"held", "HELD_WORKING", HELD_WORKING},
    {"order", "KIND", KIND},
    {"order", "SIDE", SIDE},
    {"order", "OFFSET", OFFSET},
    {"order", "PRICE", PRICE},
    {"order", "QTY", QTY},
    {"order", "ORDER", ORDER},
    {"order", "FOR_INSTRUMENT", FOR_INSTRUMENT},
    {"order", "TIF", TIF},
    {"order", "FLAGS", FLAGS},
    {"order", "TRIGGER", TRIGGER},
    {"order", "DISTANCE", DISTANCE},
    {"order", "RATE", RATE},
    {"order", "FIRED_BY", FIRED_BY},
    {"order", "GROUP", GROUP},
    {"kind", "MARKET", MARKET_SLOT},
    {"kind", "LIMIT", LIMIT_SLOT},
    {"kind", "CANCEL", CANCEL_SLOT},
    {"kind", "CANCEL_ALL", CANCEL_ALL_SLOT},
    {"kind", "STOP", STOP_SLOT},
    {"kind", "TAKE_PROFIT", TAKE_PROFIT_SLOT},
    {"kind", "TRAILING_STOP", TRAILING_STOP_SLOT},
    {"kind", "CLOSE_POSITION", CLOSE_POSITION_SLOT},
    {"tif", "GOOD_TILL_CANCEL", GOOD_TILL_CANCEL_SLOT},
    {"tif", "IMMEDIATE_OR_CANCEL", IMMEDIATE_OR_CANCEL_SLOT},
    {"tif", "FILL_OR_KILL", FILL_OR_KILL_SLOT},
    {"flag", "POST_ONLY", POST_ONLY_FLAG},
    {"flag", "REDUCE_ONLY", REDUCE_ONLY_FLAG},
    {"fired_by", "BY_LAST", BY_LAST_SLOT},
    {"fired_by", "BY_MARK", BY_MARK_SLOT},
    {"group", "ONE_CANCELS_OTHER", ONE_CANCELS_OTHER_SLOT},
    {"group", "BRACKET_ENTRY", BRACKET_ENTRY_SLOT},
    {"group", "BRACKET_STOP", BRACKET_STOP_SLOT},
    {"group", "BRACKET_TAKE", BRACKET_TAKE_SLOT},
    {"side", "BUY", 0},
    {"side", "SELL", 1},
    {"offset", "OPEN", 0},
    {"offset", "CLOSE", 1},
};

// The state's buffer for the length of a run: held writable, so that the
// array behind it cannot be resized or freed while the function writes to
// it.  Released with the lock held, by the destructor of the holder.
class HeldState {
 public:
  HeldState() = default;
  HeldState(const HeldState&) = delete;
  HeldState& operator=(const HeldState&) = delete;
  HeldState(HeldState&& other) noexcept : view_(other.view_), held_(other.held_) {
    other.held_ = false;
  }
  HeldState& operator=(HeldState&&) = delete;
  // Requires: the lock is held when it holds a buffer.
  ~HeldState() { release(); }

  // Takes the buffer of `state` (nothing for None); false with the exception
  // set when it exports no writable contiguous buffer.
  bool hold(PyObject* state);
  void* data() const { return held_ ? view_.buf : nullptr; }
  bool holds() const { return held_; }
  // Requires: the lock is held.
  void release();

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// What a run of a compiled function needs besides the function.
struct CompiledParts {
  CompiledFunction function = nullptr;
  Ref object;       // the Compiled, which keeps the function's code alive
  HeldState state;  // its state's buffer, for the run
  std::string name;
  std::size_t capacity = 64;              // order slots per call
  std::size_t fill_words = FILL_WORDS;    // FILL_WORDS or FULL_FILL_WORDS
  std::size_t order_words = ORDER_WORDS;  // ORDER_WORDS or FULL_ORDER_WORDS
  std::uint64_t batch = 1;                // ticks per call
  RunProgress progress;                   // told how far the run has got, or nothing
};

class CompiledDriven {
 public:
  // Requires: `gil` outlives the adapter.
  CompiledDriven(Gil& gil, CompiledParts parts, std::shared_ptr<SharedFailure> shared = nullptr);
  CompiledDriven(CompiledDriven&&) noexcept = default;
  CompiledDriven& operator=(CompiledDriven&&) = delete;
  // Takes the lock if needed to let go of the state and the object.
  ~CompiledDriven();

  // The Strategy operations.
  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents);
  // A strategy called on every tick can be called over a run of ticks on
  // which no order fills or fires (backtest::QuietScanner): one call a
  // tick, as on_tick makes it, without the run stepping the account
  // through each.
  bool scans_quiet() const { return parts_.batch == 1 && live(); }
  backtest::QuietScan scan_quiet(std::span<const engine::Tick> ticks, std::size_t in_place,
                                 const strategy::TickContext& view, std::span<const Cash> equities,
                                 std::vector<strategy::Intent>& intents);
  std::string_view name() const { return parts_.name; }
  bool halted() const { return interruption_.halted(); }
  // Most ticks bring neither: the empty case costs no call.
  void on_fills(std::span<const Fill> fills) {
    if (!fills.empty()) keep_fills(fills);
  }
  void on_endings(std::span<const strategy::OrderEnding> endings) {
    if (!endings.empty()) keep_endings(endings);
  }

  // The last report of progress, as a Python strategy's run gives it.
  void on_run_end();

  // What the run path asks of any adapter.
  data::ReadHooks read_hooks() { return interruption_.read_hooks(); }
  // A compiled strategy tags no order.
  std::vector<std::pair<OrderId, std::string>> take_tags() { return {}; }
  // Ends a progress bar.  Requires: the lock is held.
  bool close_progress() { return parts_.progress.close(); }
  void limit_series(std::uint64_t) {}
  const StrategyFailure& failure() const { return failure_; }
  PendingException& interrupt() { return interruption_.pending(); }

 private:
  bool live() const { return !failure_ && !interruption_.halted(); }
  // Counts a tick in, lets the lock go and reports progress when due;
  // whether the function is to be called for it.
  bool arrive(const engine::Tick& tick);
  void keep_fills(std::span<const Fill> fills);
  void keep_endings(std::span<const strategy::OrderEnding> endings);
  void call(const strategy::TickContext& context, const engine::Tick* ticks, std::size_t n,
            std::vector<strategy::Intent>& intents);
  void fail_at(const std::string& what);
  void write_positions(const strategy::TickContext& context);
  void report_progress();

  Gil& gil_;
  CompiledParts parts_;
  Interruption interruption_;
  StrategyFailure failure_;
  std::uint64_t ticks_seen_ = 0;
  std::uint64_t orders_made_ = 0;
  Nanos last_time_ = 0;               // exchange time of the latest tick, for a failure of progress
  std::vector<engine::Tick> batch_;   // ticks of an unfinished batch
  std::vector<std::int64_t> fills_;   // since the last call, fill_words each
  std::vector<std::int64_t> ends_;    // since the last call, END_WORDS each
  std::vector<std::int64_t> orders_;  // the output buffer
  // The account's words, then a record of POSITION_WORDS per instrument,
  // rewritten when the run says a position may have moved.
  std::vector<std::int64_t> account_ = std::vector<std::int64_t>(ACCOUNT_WORDS);
  std::uint64_t positions_revision_ = ~std::uint64_t{0};
};

}  // namespace halvorn::py
