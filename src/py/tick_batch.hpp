// Columnar batches: what a strategy's on_columns(batch) receives.
//
// A TickBatch shows the ticks of one batch as eight read-only int64 columns
// (exch_ts, local_ts, last, high, low, bid, ask, volume), each a Column that
// exports a 1-D buffer NumPy reads without a copy.  The memory is the run's:
// the records of the tick file's current block or of the series in memory
// (a strided view, 64 bytes between values), or a column-major buffer the
// adapter fills when the batch's ticks are not contiguous.  It is valid only
// during the call: afterwards a Column refuses to export and a TickBatch to
// show its columns, and a buffer still exported when the call returns (a
// NumPy array kept past it) fails the run instead of showing the next
// batch's data.
//
// The objects are made once and reused for every batch while the strategy
// keeps no reference to them; one it keeps is left invalid and replaced.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>
#include <cstdint>

#include "backtest/batch_columns.hpp"
#include "py/pyref.hpp"

namespace halvorn::py {

extern PyType_Spec column_spec;
extern PyType_Spec tick_batch_spec;

// The batch object of one run, made on first use and reused.
class BatchHolder {
 public:
  // The batch, showing `view`, valid until finish(); null with an
  // exception set on failure.  Requires: the lock is held.
  PyObject* show(PyTypeObject* batch_type, PyTypeObject* column_type,
                 const backtest::ColumnView& view);
  // Ends the batch's validity; false with a ValueError set when the
  // strategy still holds a buffer of one of its columns.
  bool finish();

 private:
  Ref batch_;
};

}  // namespace halvorn::py
