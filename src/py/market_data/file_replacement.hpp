// Replacing a file whole from Python: the one way halvorn writes a file
// that may already hold something (data/replace.hpp), offered to the pure
// Python parts of the package (the report's pages and charts), so that a
// report rewritten over yesterday's has the same guarantees as a data file:
// the old file stays byte for byte until the new one is complete and on the
// disk, and no partial or temporary file is left behind on a failure.
//
// Thread-safety: call with the interpreter lock held; the writing is done
// with it given up.

#pragma once

#include <Python.h>

namespace halvorn::py::market_data {

// _replace_file(path, data): makes `path` a file holding exactly the bytes
// `data`; OSError with the path and the errno of the step that failed.
// Private to the package, so added with PyModule_AddFunctions and kept out
// of __all__ (the array ends with its sentinel).
extern PyMethodDef replacement_functions[2];

}  // namespace halvorn::py::market_data
