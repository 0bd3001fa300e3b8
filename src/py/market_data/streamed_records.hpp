// What the iterators over a depth or mark file's records share: each record
// is read with the interpreter lock given up, by one thread at a time, and
// the reader is dropped once the stream ends or fails.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <optional>

#include "py/gil.hpp"

namespace halvorn::py::market_data {

// The next record of `reader` as an object.  `read(reader)` takes one step
// (unlocked); `record(step)` gives the step's object (null with the
// exception set when making it failed), or nullopt when the step is no
// record; `failed(step)` raises the error that ended the stream, if one
// did.  Null at the end of the stream (StopIteration) or with the exception
// set; a second thread asking while one reads is a RuntimeError naming
// `kind`.
template <class Reader, class Read, class Record, class Failed>
PyObject* next_streamed(std::optional<Reader>& reader, bool& busy, const char* kind, Read read,
                        Record record, Failed failed) {
  if (busy) {
    PyErr_Format(PyExc_RuntimeError, "the %s records are being read by another thread", kind);
    return nullptr;
  }
  if (!reader) return nullptr;  // exhausted: StopIteration
  std::optional<decltype(read(*reader))> step;
  Gil gil;
  busy = true;
  run_unlocked(gil, [&] { step = read(*reader); });
  busy = false;
  if (std::optional<PyObject*> made = record(*step)) return *made;
  reader.reset();
  failed(*step);
  return nullptr;
}

}  // namespace halvorn::py::market_data
