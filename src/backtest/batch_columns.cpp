#include "backtest/batch_columns.hpp"

#include <algorithm>

#include "types/panic.hpp"

namespace halvorn::backtest {

BatchColumns::BatchColumns(std::size_t rows, std::int64_t instrument)
    : rows_(std::max<std::size_t>(rows, 1)),
      columns_(TICK_COLUMNS * rows_),
      instruments_(rows_, instrument) {}

void BatchColumns::store(const engine::Tick& t, std::size_t row) {
  const std::int64_t fields[TICK_COLUMNS] = {t.exch_ts, t.local_ts, t.last, t.high,
                                             t.low,     t.bid,      t.ask,  t.volume};
  for (std::size_t c = 0; c < TICK_COLUMNS; ++c) columns_[c * rows_ + row] = fields[c];
}

void BatchColumns::add(const engine::Tick& tick, const engine::Tick* record, std::size_t in_place,
                       const std::int64_t* instrument) {
  if (size_ == rows_) panic("a batch holds no more ticks than its rows");
  if (instrument != nullptr) instruments_[size_] = *instrument;
  if (size_ == 0) {
    // In place only when the whole batch will lie in the source together: a
    // tick file's block is reused once the next one has been read.
    copying_ = record == nullptr || in_place < rows_ - 1;
    first_ = record;
  }
  if (!copying_ && record != first_ + size_) {
    // Not where the batch began after all: keep what came before it moves.
    copying_ = true;
    for (std::size_t r = 0; r < size_; ++r) store(first_[r], r);
  }
  if (copying_) store(tick, size_);
  ++size_;
}

void BatchColumns::add_run(std::span<const engine::Tick> records, std::size_t in_place,
                           const std::int64_t* instruments) {
  std::size_t i = 0;
  if (size_ == 0 && !records.empty()) {
    add(records[0], records.data(), in_place + (records.size() - 1), instruments);
    i = 1;
  }
  // Records that carry on a batch kept in place are where add would find
  // them: only their count (and their instruments) need keeping.
  const std::size_t rest = records.size() - i;
  if (!copying_ && first_ != nullptr && records.data() + i == first_ + size_ &&
      rest <= rows_ - size_) {
    if (instruments != nullptr) {
      std::copy(instruments + i, instruments + records.size(),
                instruments_.begin() + static_cast<std::ptrdiff_t>(size_));
    }
    size_ += rest;
    return;
  }
  for (; i < records.size(); ++i) {
    add(records[i], &records[i], in_place + (records.size() - 1 - i),
        instruments != nullptr ? instruments + i : nullptr);
  }
}

ColumnView BatchColumns::view() const {
  ColumnView v;
  v.length = size_;
  v.instrument = instruments_.data();
  if (copying_ || first_ == nullptr) {
    for (std::size_t c = 0; c < TICK_COLUMNS; ++c) v.base[c] = columns_.data() + c * rows_;
    v.stride = sizeof(std::int64_t);
    return v;
  }
  const engine::Tick& t = *first_;
  const std::int64_t* fields[TICK_COLUMNS] = {&t.exch_ts, &t.local_ts, &t.last, &t.high,
                                              &t.low,     &t.bid,      &t.ask,  &t.volume};
  for (std::size_t c = 0; c < TICK_COLUMNS; ++c) v.base[c] = fields[c];
  v.stride = sizeof(engine::Tick);
  return v;
}

}  // namespace halvorn::backtest
