// Decimal text scaled to whole steps a column at a time (scale_texts), for
// columnar files whose prices or quantities are text or decimals: exact,
// with the converters' rules and error texts, never through a float.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py::market_data {

// scale_texts.
extern PyMethodDef decimal_column_functions[1];

}  // namespace halvorn::py::market_data
