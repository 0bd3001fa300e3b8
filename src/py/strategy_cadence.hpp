// How often a Python strategy is called, and with what.
//
// Three cadences, fixed when a run starts:
//   - per tick (batch 1): on_tick(ctx) with a Context for each tick (one
//     object rewritten in place while the strategy keeps none, so that a
//     tick makes no object; a new one when it kept the last);
//   - batched: ticks are collected and, once `batch` of them are held,
//     on_batch(ticks) is called with a list of Tick, after the account values
//     of the last of them have been written onto the object;
//   - columnar (halvorn.venue, a strategy with on_columns): the same batches
//     as one TickBatch of read-only int64 columns, in place where the ticks
//     lie together in the source, valid only during the call.
// Between batches no Python object is made and the lock is not taken:
// collecting a tick is a copy (or, in place, nothing).
//
// Thread-safety: used by one run at a time; call() with the lock held.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "backtest/batch_columns.hpp"
#include "py/module_state.hpp"
#include "py/run_instruments.hpp"
#include "py/tick_batch.hpp"
#include "strategy/strategy.hpp"

namespace halvorn::py {

class Cadence {
 public:
  // Per tick, before a run has chosen; a run always makes its own.
  Cadence() = default;
  // Columnar when `on_columns` is given (the bound method; batch > 1), with
  // the TickBatch and Column classes to show the batches as.
  Cadence(ModuleState* state, std::size_t batch, Ref on_columns = Ref(),
          PyTypeObject* batch_type = nullptr, PyTypeObject* column_type = nullptr);

  bool per_tick() const { return batch_ == 1; }
  std::size_t batch() const { return batch_; }

  // Tells the cadence how many ticks the series holds at most.  A batch
  // larger than that can never complete and, unless the remainder is
  // flushed at the end, never delivered: its ticks need not be collected,
  // and a huge `batch` over a long file must not hold the file in memory
  // waiting for a call that cannot come.
  void limit_series(std::uint64_t max_ticks, bool flush);
  // Whether no call can ever come.
  bool never_delivers() const { return never_delivers_; }

  // Batched: keeps one tick (`record` is where it lies in the source, null
  // for a copy, with `in_place` more lying with it); true when the batch is
  // complete.
  // `instrument` is where the tick's instrument id lies when the run merges
  // several instruments' series (null otherwise).
  bool collect(const engine::Tick& tick, const engine::Tick* record, std::size_t in_place,
               const std::int64_t* instrument = nullptr);
  // Batched: keeps ticks that cannot complete the batch, at once, with
  // their instrument ids when not null.
  void collect_run(std::span<const engine::Tick> ticks, std::size_t in_place,
                   const std::int64_t* instruments = nullptr);
  // The instrument id every tick of a series of one instrument has.
  void set_instrument(std::int64_t instrument) { instrument_ = instrument; }
  // Batched by list, over several instruments: the instrument id of each
  // tick held, in order.
  std::span<const std::int64_t> held_instruments() const { return pending_instruments_; }
  // Ticks kept for the coming batch.
  std::size_t held() const;

  // Calls the strategy for this tick, or for the batch held (which it
  // empties), with the account of `context`.  A run with `instruments`
  // (halvorn.venue's) shows a venue.Context per tick, and writes the
  // tick's Instrument onto a batched strategy beside the account.  Returns
  // its answer, or null with the exception set.  Requires: the lock is held.
  Ref call(PyObject* strategy, const strategy::TickContext& context,
           const RunInstruments& instruments);

  ModuleState* state() const { return state_; }

  // Drops the references it holds.  Requires: the lock is held.
  void drop() {
    on_columns_ = Ref();
    context_ = Ref();
    batch_holder_ = BatchHolder();
  }

 private:
  Ref call_per_tick(PyObject* strategy, const strategy::TickContext& context,
                    const RunInstruments& instruments);
  // The Context to show `context` in: the last one, rewritten, when nothing
  // but the cadence holds it; a new one otherwise.  Null with the exception
  // set.
  PyObject* context_for(const strategy::TickContext& context, const RunInstruments& instruments);
  Ref call_batch(PyObject* strategy, const strategy::TickContext& context,
                 const RunInstruments& instruments);
  Ref call_columns(PyObject* strategy, const strategy::TickContext& context,
                   const RunInstruments& instruments);
  // Writes the account values a batch shows onto the strategy.
  bool write_account(PyObject* strategy, const strategy::TickContext& context,
                     const RunInstruments& instruments);

  ModuleState* state_ = nullptr;
  std::size_t batch_ = 1;
  Ref on_columns_;  // the bound method; empty unless columnar
  Ref context_;     // the last tick's Context
  PyTypeObject* batch_type_ = nullptr;
  PyTypeObject* column_type_ = nullptr;
  std::vector<engine::Tick> pending_;              // batched by list
  std::vector<std::int64_t> pending_instruments_;  // theirs, over several instruments
  std::int64_t instrument_ = 1;
  std::optional<backtest::BatchColumns> columns_;  // columnar
  BatchHolder batch_holder_;
  bool never_delivers_ = false;
};

}  // namespace halvorn::py
