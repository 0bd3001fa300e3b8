// Recorded captures from Python into the capture converter: JSON lines of a
// venue's streams into a tick, a depth and a mark file (convert_capture).
//
// The files come as the CSV converters take them (python_files.hpp), and
// the converter runs without the interpreter lock, taking it back only to
// read, to report progress and to run the signal handlers.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py::market_data {

// Adds convert_capture to the module.
int add_capture_functions(PyObject* module);

}  // namespace halvorn::py::market_data
