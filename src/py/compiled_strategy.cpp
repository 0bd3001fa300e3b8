#include "py/compiled_strategy.hpp"

#include <cstddef>

#include <cstring>
#include <utility>

#include "core/account.hpp"
#include "py/argument_conversion.hpp"
#include "py/compiled_orders.hpp"
#include "py/venue/records.hpp"
#include "types/fixed.hpp"

namespace halvorn::py {

namespace {

// A compiled run asks for Ctrl-C far less often than a Python one: the ask
// takes the lock, which a second compiled run in another thread should
// rarely have to wait for.
constexpr std::size_t COMPILED_TICK_INTERVAL = std::size_t{1} << 20;

// A non-null pointer for an empty array: a function may well hand even an
// empty view to code that assumes one.
std::int64_t empty_words[1] = {0};

const std::int64_t* words_or_empty(const std::vector<std::int64_t>& v) {
  return v.empty() ? empty_words : v.data();
}

// The records of `v`, `words` each.  Most calls hear of no fill: they skip
// the division, which would cost the call more than many a decision.
std::int64_t count_of(const std::vector<std::int64_t>& v, std::size_t words) {
  return v.empty() ? 0 : static_cast<std::int64_t>(v.size() / words);
}

}  // namespace

bool HeldState::hold(PyObject* state) {
  release();
  if (state == Py_None) return true;
  if (PyObject_GetBuffer(state, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "state must be None or an object with a writable contiguous buffer (a NumPy "
                 "array, a bytearray), got %.200s",
                 Py_TYPE(state)->tp_name);
    return false;
  }
  held_ = true;
  return true;
}

void HeldState::release() {
  if (!held_) return;
  held_ = false;
  PyBuffer_Release(&view_);
}

CompiledDriven::CompiledDriven(Gil& gil, CompiledParts parts, std::shared_ptr<SharedFailure> shared)
    : gil_(gil),
      parts_(std::move(parts)),
      interruption_(gil, COMPILED_TICK_INTERVAL),
      failure_(std::move(shared)),
      orders_(parts_.capacity * parts_.order_words) {
  batch_.reserve(static_cast<std::size_t>(parts_.batch));
}

CompiledDriven::~CompiledDriven() {
  // A moved-from adapter holds nothing; at interpreter exit the references
  // are left as they are.
  if (thread_exiting() || (!parts_.object && !parts_.state.holds())) return;
  Locked lock(gil_);
  parts_.state.release();
  parts_.object = Ref();
  parts_.progress.drop();
}

void CompiledDriven::report_progress() {
  // The one time a compiled run takes the lock on its own: to call the
  // progress callable, every RunProgress::INTERVAL ticks.  What it raises
  // stops the run as a Python strategy's progress would.
  gil_.acquire();
  if (!parts_.progress.report(ticks_seen_)) {
    if (!current_error_is_ordinary()) {
      PendingException& interrupt = interruption_.pending();
      if (!interrupt) interrupt = PendingException::fetch();
    } else {
      failure_.record_current("progress raised: ", ticks_seen_ - 1, last_time_);
    }
  }
  gil_.release();
}

void CompiledDriven::on_run_end() {
  if (parts_.progress.active() && !failure_ && !halted()) report_progress();
}

void CompiledDriven::keep_fills(std::span<const Fill> fills) {
  // The fills of this tick: the tick before this adapter's next.
  const backtest::Booking booking{ticks_seen_, backtest::FillEffect::Open};
  for (const Fill& f : fills) {
    const venue::FillRecord record = venue::fill_record(f, booking);
    // A function that asks for eight words a fill reads the record's first
    // eight; one that asks for the full record reads the tick index after
    // them and what the fill's order had left.
    std::int64_t words[FULL_FILL_WORDS];
    static_assert(offsetof(venue::FillRecord, tick) == FILL_WORDS * sizeof(std::int64_t));
    static_assert(sizeof(venue::FillRecord) == (FULL_FILL_WORDS - 1) * sizeof(std::int64_t));
    std::memcpy(words, &record, sizeof record);
    static_assert(offsetof(venue::FillRecord, tick) == FILL_TICK * sizeof(std::int64_t));
    words[REMAINING] = f.remaining;
    fills_.insert(fills_.end(), std::begin(words),
                  std::begin(words) + static_cast<std::ptrdiff_t>(parts_.fill_words));
  }
}

void CompiledDriven::keep_endings(std::span<const strategy::OrderEnding> endings) {
  for (const auto& [id, how] : endings) {
    ends_.push_back(static_cast<std::int64_t>(id));
    // The ending's own number: 0 filled, 1 canceled, 2 expired, 3 triggered,
    // 8 + the reason for a refusal.
    ends_.push_back(static_cast<std::int64_t>(how));
  }
}

bool CompiledDriven::arrive(const engine::Tick& tick) {
  ++ticks_seen_;
  last_time_ = tick.exch_ts;
  if (interruption_.count(1) || gil_.held()) gil_.release();
  if (parts_.progress.due(ticks_seen_) && !interruption_.halted()) report_progress();
  return live();
}

backtest::QuietScan CompiledDriven::scan_quiet(std::span<const engine::Tick> ticks,
                                               std::size_t /*in_place*/,
                                               const strategy::TickContext& view,
                                               std::span<const Cash> equities,
                                               std::vector<strategy::Intent>& intents) {
  // The view is the account's on each of these ticks, with a position's
  // equity on each as the run worked it out.  The function reads each tick
  // where it lies, so the view need not carry it.
  strategy::TickContext context = view;
  return backtest::walk_quiet(ticks, equities, context, [&](std::size_t i) {
    const engine::Tick& tick = ticks[i];
    if (!arrive(tick)) return false;
    call(context, &tick, 1, intents);
    return intents.empty() && live();
  });
}

void CompiledDriven::on_tick(const strategy::TickContext& context,
                             std::vector<strategy::Intent>& intents) {
  if (!arrive(context.tick)) return;
  if (parts_.batch == 1) {
    // The tick where it lies in the source when it lies in one: no copy.
    call(context, context.record != nullptr ? context.record : &context.tick, 1, intents);
    return;
  }
  batch_.push_back(context.tick);
  if (batch_.size() < parts_.batch) return;
  call(context, batch_.data(), batch_.size(), intents);
  batch_.clear();
}

void CompiledDriven::call(const strategy::TickContext& context, const engine::Tick* ticks,
                          std::size_t n, std::vector<strategy::Intent>& intents) {
  static_assert(sizeof(engine::Tick) == TICK_WORDS * sizeof(std::int64_t));
  static_assert(offsetof(engine::Tick, exch_ts) == EXCH_TS * sizeof(std::int64_t) &&
                offsetof(engine::Tick, local_ts) == LOCAL_TS * sizeof(std::int64_t) &&
                offsetof(engine::Tick, last) == LAST * sizeof(std::int64_t) &&
                offsetof(engine::Tick, high) == HIGH * sizeof(std::int64_t) &&
                offsetof(engine::Tick, low) == LOW * sizeof(std::int64_t) &&
                offsetof(engine::Tick, bid) == BID * sizeof(std::int64_t) &&
                offsetof(engine::Tick, ask) == ASK * sizeof(std::int64_t) &&
                offsetof(engine::Tick, volume) == VOLUME * sizeof(std::int64_t));
  account_[POSITION] = context.position;
  account_[ENTRY] = context.entry;
  account_[SHORT_POSITION] = context.short_position;
  account_[SHORT_ENTRY] = context.short_entry;
  account_[EQUITY] = context.equity;
  account_[WORKING] = static_cast<std::int64_t>(context.working);
  account_[INSTRUMENT] = static_cast<std::int64_t>(context.instrument.value);
  account_[TICK_INDEX] = static_cast<std::int64_t>(ticks_seen_ - 1);
  account_[ORDERS_MADE] = static_cast<std::int64_t>(orders_made_);
  if (context.revision != positions_revision_) write_positions(context);
  const auto capacity = static_cast<std::int64_t>(parts_.capacity);
  const std::int64_t made = parts_.function(
      reinterpret_cast<const std::int64_t*>(ticks), static_cast<std::int64_t>(n), account_.data(),
      words_or_empty(fills_), count_of(fills_, parts_.fill_words), words_or_empty(ends_),
      count_of(ends_, END_WORDS), parts_.state.data(), orders_.data(), capacity);
  fills_.clear();
  ends_.clear();
  // A call that reported anything wrong places none of its orders.
  if (made < 0) {
    fail_at("returned the status " + std::to_string(made));
    return;
  }
  if (made > capacity) {
    fail_at("reported " + std::to_string(made) + " orders where its buffer holds " +
            std::to_string(capacity));
    return;
  }
  // Most calls place nothing: they skip the slot reader's call altogether.
  if (made == 0) return;
  if (auto wrong =
          read_order_slots(orders_.data(), static_cast<std::size_t>(made), parts_.order_words,
                           context.instrument, &orders_made_, intents)) {
    fail_at(*wrong);
  }
}

void CompiledDriven::write_positions(const strategy::TickContext& context) {
  positions_revision_ = context.revision;
  // Sized once: the run's instruments do not change while it runs.
  account_.resize(ACCOUNT_WORDS + context.positions.size() * POSITION_WORDS);
  account_[INSTRUMENTS] = static_cast<std::int64_t>(context.positions.size());
  std::int64_t* record = account_.data() + ACCOUNT_WORDS;
  for (const strategy::Position& p : context.positions) {
    record[HELD_INSTRUMENT] = static_cast<std::int64_t>(p.instrument.value);
    record[HELD_POSITION] = p.position;
    record[HELD_ENTRY] = p.entry;
    record[HELD_SHORT_POSITION] = p.short_position;
    record[HELD_SHORT_ENTRY] = p.short_entry;
    record[HELD_WORKING] = static_cast<std::int64_t>(p.working);
    record += POSITION_WORDS;
  }
}

void CompiledDriven::fail_at(const std::string& what) {
  // The call's (last) tick is the one that arrived last.
  failure_.fail("the compiled strategy " + what + " on tick " + std::to_string(ticks_seen_ - 1) +
                " (counting from 0), exchange time " + std::to_string(last_time_) + " ns");
}

}  // namespace halvorn::py
