// CSV files from Python into the converters: trades and quotes into a tick
// file (convert), funding history into priced rates (read_funding), recorded
// depth into a depth file (convert_depth), mark prices into a mark file
// (convert_marks).
//
// The files are Python's binary file objects (open, gzip.open, a member of
// a zip archive), handed over as one iterator per stream, so that opening
// and decompressing stay with Python and cost no dependency here.  Each
// chunk is read through the file's readinto (read when it has none) into a
// buffer this layer owns, and copied to the converter: a file object may
// keep a view of what it was given, and the converter's own buffer must not
// outlive the call in its hands.
//
// The converter runs without the interpreter lock.  The lock is taken back
// only to read the next chunk (and the next file), to report progress and to
// run the signal handlers; an exception raised in any of these -- a file's
// own, an iterator's, a progress callback's, KeyboardInterrupt -- stops the
// conversion at once, leaves the target as it was, and is raised unchanged.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py::market_data {

struct DataState;

// Adds convert, read_funding, convert_depth and convert_marks to the module.
int add_csv_functions(PyObject* module, DataState* state);

}  // namespace halvorn::py::market_data
