// Writer: a tick file written from integer columns, batch by batch, as a
// caller holding arrays has them (halvorn.data.from_arrays and
// from_parquet write through it).  Nothing at the target changes until
// finish(); a writer dropped unfinished leaves the target as it was.
//
// Thread-safety: call with the interpreter lock held.  A Writer refuses to
// be used by a second thread while a first is writing through it.

#pragma once

#include <array>

#include "py/registry.hpp"

namespace halvorn::py::market_data {

struct DataState;

extern const std::array<ClassEntry<DataState>, 1> WRITER_CLASSES;

}  // namespace halvorn::py::market_data
