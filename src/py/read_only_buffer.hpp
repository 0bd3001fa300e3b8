// Read-only one-dimensional buffers: how the binding lets NumPy (or a
// memoryview) read its memory without a copy -- a run's fills, a batch's
// columns, a mapped tick file's columns.
//
// A strided view (a column of a tick record is every eighth integer) is
// exported only to a consumer that asks for strides; one that does not is
// refused rather than shown the wrong values.  No export is ever writable.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include "py/pyref.hpp"

namespace halvorn::py {

// `length` items of `itemsize` bytes, `stride` bytes apart from `first`, of
// struct format `format`.  `shape` and `strides` point at one Py_ssize_t
// each, kept by the exporting object for as long as its exports live.
struct ReadOnlyView {
  const void* first = nullptr;
  Py_ssize_t length = 0;
  Py_ssize_t itemsize = 0;
  Py_ssize_t stride = 0;
  const char* format = nullptr;
  Py_ssize_t* shape = nullptr;
  Py_ssize_t* strides = nullptr;
  const char* read_only = "";             // why a writable request is refused
  const char* strided_refusal = nullptr;  // why a consumer without strides is refused
};

// Fills `view` with an export of `owner` showing `shown`, for a request with
// `flags`.  0, or -1 with BufferError for a writable request or a strided
// view asked for without strides.
int export_read_only(PyObject* owner, Py_buffer* view, int flags, const ReadOnlyView& shown);

}  // namespace halvorn::py
