#include "py/strategy_cadence.hpp"

#include <algorithm>
#include <utility>

#include "py/boundary.hpp"
#include "py/values.hpp"
#include "py/venue/unit_views.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py {

namespace {

// A batch is collected in `pending`; reserving room for it up front is only
// worth it up to a point, and a huge `batch` must not become a huge
// allocation before a single tick has arrived.
constexpr std::size_t PENDING_RESERVE_CAP = std::size_t{1} << 16;

}  // namespace

Cadence::Cadence(ModuleState* state, std::size_t batch, Ref on_columns, PyTypeObject* batch_type,
                 PyTypeObject* column_type)
    : state_(state),
      batch_(batch),
      on_columns_(batch > 1 ? std::move(on_columns) : Ref()),
      batch_type_(batch_type),
      column_type_(column_type) {
  if (batch_ > 1 && !on_columns_) pending_.reserve(std::min(batch_, PENDING_RESERVE_CAP));
}

void Cadence::limit_series(std::uint64_t max_ticks, bool flush) {
  // A flushed run delivers what it collected whatever the batch size; the
  // collection is then bounded by the series instead.
  never_delivers_ = batch_ > 1 && batch_ > max_ticks && !flush;
  if (never_delivers_) pending_ = std::vector<engine::Tick>();
  if (on_columns_ && !never_delivers_) {
    columns_.emplace(static_cast<std::size_t>(std::min<std::uint64_t>(batch_, max_ticks)),
                     instrument_);
  }
}

bool Cadence::collect(const engine::Tick& tick, const engine::Tick* record, std::size_t in_place,
                      const std::int64_t* instrument) {
  if (!on_columns_) {
    pending_.push_back(tick);
    if (instrument != nullptr) pending_instruments_.push_back(*instrument);
  } else {
    columns_->add(tick, record, in_place, instrument);
  }
  return held() == batch_;
}

void Cadence::collect_run(std::span<const engine::Tick> ticks, std::size_t in_place,
                          const std::int64_t* instruments) {
  if (!on_columns_) {
    pending_.insert(pending_.end(), ticks.begin(), ticks.end());
    if (instruments != nullptr) {
      pending_instruments_.insert(pending_instruments_.end(), instruments,
                                  instruments + ticks.size());
    }
  } else {
    columns_->add_run(ticks, in_place, instruments);
  }
}

std::size_t Cadence::held() const {
  if (!on_columns_) return pending_.size();
  return columns_ ? columns_->size() : 0;
}

Ref Cadence::call(PyObject* strategy, const strategy::TickContext& context,
                  const RunInstruments& instruments) {
  if (per_tick()) return call_per_tick(strategy, context, instruments);
  return on_columns_ ? call_columns(strategy, context, instruments)
                     : call_batch(strategy, context, instruments);
}

PyObject* Cadence::context_for(const strategy::TickContext& context,
                               const RunInstruments& instruments) {
  // A Context is read-only to Python, so one that only the cadence holds
  // can show the next tick without anyone seeing it change.
  if (context_ && Py_REFCNT(context_.get()) == 1) {
    if (instruments.empty()) {
      rewrite_context(context_.get(), context);
    } else {
      venue::rewrite_venue_context(context_.get(), context, instruments.object(context.instrument));
    }
    return context_.get();
  }
  context_ = Ref::steal(instruments.empty()
                            ? new_context(state_, context)
                            : venue::new_venue_context(instruments.state(), context,
                                                       instruments.object(context.instrument)));
  return context_.get();
}

Ref Cadence::call_per_tick(PyObject* strategy, const strategy::TickContext& context,
                           const RunInstruments& instruments) {
  PyObject* ctx = context_for(context, instruments);
  if (ctx == nullptr) return Ref();
  return Ref::steal(
      python([&] { return PyObject_CallMethodOneArg(strategy, state_->str_on_tick, ctx); }));
}

bool Cadence::write_account(PyObject* strategy, const strategy::TickContext& context,
                            const RunInstruments& instruments) {
  const std::pair<PyObject*, std::int64_t> attributes[] = {
      {state_->str_position, context.position},
      {state_->str_entry, context.entry},
      {state_->str_short_position, context.short_position},
      {state_->str_equity, context.equity},
      {state_->str_last, context.tick.last},
  };
  for (const auto& [attribute, value] : attributes) {
    Ref number = Ref::steal(PyLong_FromLongLong(value));
    if (!number ||
        python([&] { return PyObject_SetAttr(strategy, attribute, number.get()); }) < 0) {
      return false;
    }
  }
  // The instrument of the (last) tick, where the run's venue defines one: a
  // run that defines none writes nothing new onto its strategy.
  PyObject* instrument = instruments.empty() ? Py_None : instruments.object(context.instrument);
  return instrument == Py_None ||
         python([&] {
           return PyObject_SetAttr(strategy, instruments.state()->str_instrument, instrument);
         }) == 0;
}

Ref Cadence::call_columns(PyObject* strategy, const strategy::TickContext& context,
                          const RunInstruments& instruments) {
  if (!write_account(strategy, context, instruments)) return Ref();
  const backtest::ColumnView view = columns_->view();
  columns_->clear();
  PyObject* batch = batch_holder_.show(batch_type_, column_type_, view);
  if (batch == nullptr) return Ref();
  Ref result = Ref::steal(python([&] { return PyObject_CallOneArg(on_columns_.get(), batch); }));
  // A view kept past the call would show the next batch's data: the run
  // fails instead.
  if (!batch_holder_.finish()) return Ref();
  return result;
}

Ref Cadence::call_batch(PyObject* strategy, const strategy::TickContext& context,
                        const RunInstruments& instruments) {
  if (!write_account(strategy, context, instruments)) return Ref();
  const auto n = static_cast<Py_ssize_t>(pending_.size());
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return Ref();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* tick = new_tick(state_, pending_[static_cast<std::size_t>(i)]);
    if (tick == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i, tick);
  }
  pending_.clear();
  pending_instruments_.clear();
  return Ref::steal(python(
      [&] { return PyObject_CallMethodOneArg(strategy, state_->str_on_batch, list.get()); }));
}

}  // namespace halvorn::py
