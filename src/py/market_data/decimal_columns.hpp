// Decimal text (scale_texts) and float64 values (scale_floats) scaled to
// whole steps a column at a time, for columnar files and frames whose prices
// or quantities are text, decimals or floats: exact, with the converters'
// rules and error texts.  A float is the decimal its shortest text writes
// (float_scaling.hpp), never the binary fraction it holds.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py::market_data {

// scale_texts, scale_floats.
extern PyMethodDef decimal_column_functions[2];

}  // namespace halvorn::py::market_data
