// Python's file objects and callables as a converter's callbacks: the
// files of one stream (PyFiles), a progress callable (PyProgress), and the
// first exception any of them raised (Failure), shared by the CSV and the
// capture converters.
//
// The files are Python's binary file objects (open, gzip.open, a member of
// a zip archive), handed over as one iterator per stream, so that opening
// and decompressing stay with Python and cost no dependency here.  Each
// chunk is read through the file's readinto (read when it has none) into a
// buffer this layer owns, and copied to the converter: a file object may
// keep a view of what it was given, and the converter's own buffer must not
// outlive the call in its hands.
//
// A converter runs without the interpreter lock; these take it back only to
// read the next chunk (and the next file), to report progress and to run
// the signal handlers.  An exception raised in any of these stops the
// conversion at once and is kept to be raised unchanged.
//
// Thread-safety: made with the interpreter lock held; the callbacks take it
// themselves.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "data/csv_input.hpp"
#include "data/csv_layout.hpp"
#include "py/gil.hpp"
#include "py/pending_exception.hpp"
#include "py/pyref.hpp"

namespace halvorn::py::market_data {

// The first exception raised by anything a conversion called back into,
// shared by its streams and its progress report.  Once set, every callback
// answers "stop" without touching the interpreter, so no Python code runs
// with an exception pending.
struct Failure {
  PendingException pending;

  bool failed() const { return static_cast<bool>(pending); }
  // Keeps the current exception.  Requires: the lock is held, an exception is set.
  void take() {
    if (!pending) pending = PendingException::fetch();
  }
};

// Runs the interpreter's signal handlers; false (with the failure taken)
// when one raised.
bool signals_ok(Failure& failure);

// The files of one stream: an iterator of binary file objects.
class PyFiles {
 public:
  PyFiles(Gil& gil, Failure& failure, Ref iterator, const char* what, Ref buffer)
      : gil_(gil),
        failure_(failure),
        iterator_(std::move(iterator)),
        what_(what),
        buffer_(std::move(buffer)) {}

  data::Input input() { return data::Input{this, next_file, read}; }

 private:
  static bool next_file(void* context, std::string* name);
  static std::ptrdiff_t read(void* context, std::uint8_t* buf, std::size_t cap);
  // The next file of the iterator into file_ (empty at the end), its name
  // into `name`.  False with an exception set.
  bool advance(std::string* name);
  // What error texts call the file: its `name` when that is a path (str,
  // bytes or os.PathLike), else "trades file 2".
  bool name_of(PyObject* file, std::string* name);
  // Up to `cap` bytes of the current file into `buf`: how many, or -1 with
  // an exception set.
  std::ptrdiff_t read_chunk(std::uint8_t* buf, std::size_t cap);

  Gil& gil_;
  Failure& failure_;
  Ref iterator_;
  const char* what_;
  Ref buffer_;  // a bytearray the files read into
  Ref file_;    // the current file; empty before the first and after the last
  Ref readinto_;
  Ref read_;
  std::size_t index_ = 0;  // of the current file, from 1
};

// A progress callable, told (bytes, rows) with the lock held.
struct PyProgress {
  Gil& gil;
  Failure& failure;
  PyObject* callable;  // borrowed; may be null

  static bool report(void* context, std::uint64_t bytes, std::uint64_t rows);
};

// A chunk's worth of room for PyFiles, as a bytearray.
bool make_buffer(Ref* buffer);

// A time unit by its full name ("milliseconds"), None (or absent) for
// detection; ValueError naming `arg` for any other.
bool unit_of(PyObject* obj, const char* arg, data::TimeUnit* out);

// A step (tick or lot size) as decimal text; TypeError naming `arg` for
// anything but a str.
bool step_of(PyObject* obj, const char* arg, std::string* out);

// None, or a callable: TypeError for anything else.
bool progress_of(PyObject* obj);

// Runs `convert(input, progress)`, a converter over the files of one
// stream, without the interpreter lock: the files are what `files` (an
// iterable of binary file objects) yields, named `what` in errors, and
// `progress` (None or a callable) is told (bytes, rows) about every
// `every_bytes`.  False with the exception set when `files` cannot be
// iterated, or when a file, the iterator or the callable raised, which is
// raised unchanged; the converter's own result is `convert`'s to keep.
template <class Convert>
bool convert_stream(PyObject* files, const char* what, PyObject* progress,
                    std::uint64_t every_bytes, Convert&& convert) {
  Ref iter = Ref::steal(PyObject_GetIter(files));
  Ref buffer;
  if (!iter || !make_buffer(&buffer)) return false;
  Gil gil;
  Failure failure;
  PyFiles stream(gil, failure, std::move(iter), what, std::move(buffer));
  PyProgress reporter{gil, failure, progress};
  data::Progress report;
  if (progress != Py_None) report = data::Progress{&reporter, PyProgress::report, every_bytes};
  const data::Input input = stream.input();
  run_unlocked(gil, [&] { convert(input, report); });
  if (!failure.failed()) return true;
  failure.pending.restore();
  return false;
}

}  // namespace halvorn::py::market_data
