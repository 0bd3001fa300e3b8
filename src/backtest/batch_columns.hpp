// The ticks of one batch as eight columns, gathered as a run hands them out.
//
// A strategy that reads its batches by column (exch_ts, local_ts, last,
// high, low, bid, ask, volume) is shown each column as a strided view.  When
// every tick of a batch lies contiguously in the run's source (a series in
// memory, or one block of a tick file) the view is of the records where they
// lie, and nothing is copied; otherwise the ticks are copied column by column
// into storage made once for the run.  Whether a batch can stay in place is
// known at its first tick, from how many ticks after it the source says
// will lie with it.
//
// Thread-safety: used by one run at a time.

#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/tick.hpp"

namespace halvorn::backtest {

inline constexpr std::size_t TICK_COLUMNS = 8;

// Where one batch's values are: column c of row r is at
// base[c] + r * stride bytes.
struct ColumnView {
  std::array<const std::int64_t*, TICK_COLUMNS> base{};
  std::ptrdiff_t stride = 0;  // bytes between rows
  std::size_t length = 0;     // rows
  // The instrument id of each row, contiguous.
  const std::int64_t* instrument = nullptr;
};

// A BatchColumns gathers batches of up to `rows` ticks.
//
// Invariants: size() <= rows; while in place, the ticks gathered are the
// records [first, first + size()) of the source.
class BatchColumns {
 public:
  // Storage for `rows` ticks (at least one), allocated now and reused for
  // every batch; every tick is of `instrument` unless told otherwise.
  explicit BatchColumns(std::size_t rows, std::int64_t instrument = 1);

  // Adds one tick.  `record` is where it lies in the source (null for a
  // copy) and `in_place` how many ticks after it will lie contiguously with
  // it; `instrument`, when not null, where its instrument id lies.
  // Requires: size() < rows().
  void add(const engine::Tick& tick, const engine::Tick* record, std::size_t in_place,
           const std::int64_t* instrument = nullptr);
  // Adds contiguous records, of which `in_place` more will follow in place,
  // with their instrument ids when not null.
  void add_run(std::span<const engine::Tick> records, std::size_t in_place,
               const std::int64_t* instruments = nullptr);

  std::size_t size() const { return size_; }
  std::size_t rows() const { return rows_; }
  // The batch gathered so far, valid until the next add or clear (and, in
  // place, while the source keeps its records there).
  ColumnView view() const;
  void clear() { size_ = 0; }

 private:
  void store(const engine::Tick& tick, std::size_t row);

  std::size_t rows_;
  std::vector<std::int64_t> columns_;  // column-major, rows_ per column
  // A copy: ids are few bytes, and a series of one instrument fills it once.
  std::vector<std::int64_t> instruments_;
  const engine::Tick* first_ = nullptr;
  std::size_t size_ = 0;
  bool copying_ = false;
};

}  // namespace halvorn::backtest
