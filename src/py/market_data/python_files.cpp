#include "py/market_data/python_files.hpp"

#include <cstring>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/interruption.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

bool signals_ok(Failure& failure) { return !signal_handler_raised(&failure.pending); }

bool PyFiles::next_file(void* context, std::string* name) {
  auto* self = static_cast<PyFiles*>(context);
  Locked lock(self->gil_);
  // After a failure the stream must still end in an error, not at its
  // end: a stream that ended would let the conversion finish a file.
  if (self->failure_.failed()) return true;
  if (!self->advance(name)) {
    self->failure_.take();
    return true;
  }
  return self->file_ || self->failure_.failed();
}

std::ptrdiff_t PyFiles::read(void* context, std::uint8_t* buf, std::size_t cap) {
  auto* self = static_cast<PyFiles*>(context);
  Locked lock(self->gil_);
  if (self->failure_.failed() || !self->file_) return -1;
  const std::ptrdiff_t n = self->read_chunk(buf, cap);
  if (n < 0) {
    self->failure_.take();
    return -1;
  }
  return signals_ok(self->failure_) ? n : -1;
}

bool PyFiles::advance(std::string* name) {
  file_ = Ref();
  readinto_ = Ref();
  read_ = Ref();
  if (!signals_ok(failure_)) return true;  // the failure is taken; the stream fails
  Ref file = Ref::steal(python([&] { return PyIter_Next(iterator_.get()); }));
  if (!file) return PyErr_Occurred() == nullptr;
  ++index_;
  Ref readinto_name = Ref::steal(PyUnicode_InternFromString("readinto"));
  Ref read_name = Ref::steal(PyUnicode_InternFromString("read"));
  if (!readinto_name || !read_name ||
      !optional_attribute(file.get(), readinto_name.get(), &readinto_) ||
      (!readinto_ && !optional_attribute(file.get(), read_name.get(), &read_))) {
    return false;
  }
  if (!readinto_ && !read_) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': file %zu is %.200s, not a binary file object (open(path, "
                 "\"rb\"), gzip.open(path) or ZipFile.open(name))",
                 what_, index_, Py_TYPE(file.get())->tp_name);
    return false;
  }
  if (!name_of(file.get(), name)) return false;
  file_ = std::move(file);
  return true;
}

bool PyFiles::name_of(PyObject* file, std::string* name) {
  Ref attr;
  Ref key = Ref::steal(PyUnicode_InternFromString("name"));
  if (!key || !optional_attribute(file, key.get(), &attr)) return false;
  if (attr && (PyUnicode_Check(attr.get()) || PyBytes_Check(attr.get()) ||
               PyObject_HasAttrString(attr.get(), "__fspath__"))) {
    Ref path = Ref::steal(PyOS_FSPath(attr.get()));
    if (!path) return false;
    if (PyBytes_Check(path.get())) {
      name->assign(PyBytes_AS_STRING(path.get()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
      return true;
    }
    // Undecodable file names are shown as the file system gave them.
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!bytes) return false;
    name->assign(PyBytes_AS_STRING(bytes.get()),
                 static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
  }
  *name = std::string(what_) + " file " + std::to_string(index_);
  return true;
}

std::ptrdiff_t PyFiles::read_chunk(std::uint8_t* buf, std::size_t cap) {
  const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer_.get()));
  const std::size_t want = cap < size ? cap : size;
  if (readinto_) {
    // A view of our own for each call: the file may release the one it is
    // handed, after which nothing stops it resizing the array beneath.
    Ref whole = Ref::steal(PyMemoryView_FromObject(buffer_.get()));
    if (!whole) return -1;
    Ref target =
        want == size
            ? whole
            : Ref::steal(PySequence_GetSlice(whole.get(), 0, static_cast<Py_ssize_t>(want)));
    if (!target) return -1;
    Ref got =
        Ref::steal(python([&] { return PyObject_CallOneArg(readinto_.get(), target.get()); }));
    if (!got) return -1;
    // Measured again: what was read is copied out of the array as it is
    // now, and a file that shrank it has read into memory we no longer see.
    if (static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer_.get())) != size) {
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': file %zu's readinto resized the buffer it was given", what_,
                   index_);
      return -1;
    }
    if (got.get() == Py_None) {
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': file %zu returned None from readinto: it is non-blocking "
                   "and has no data yet; give a blocking file",
                   what_, index_);
      return -1;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(got.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0 || static_cast<std::size_t>(n) > want) {
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': file %zu's readinto returned %zd for a buffer of %zu bytes",
                   what_, index_, n, want);
      return -1;
    }
    std::memcpy(buf, PyByteArray_AS_STRING(buffer_.get()), static_cast<std::size_t>(n));
    return n;
  }
  Ref got = Ref::steal(python(
      [&] { return PyObject_CallFunction(read_.get(), "n", static_cast<Py_ssize_t>(want)); }));
  if (!got) return -1;
  if (PyUnicode_Check(got.get())) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': file %zu is open in text mode; open it in binary mode (\"rb\")",
                 what_, index_);
    return -1;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) {
    raise_from_current(PyExc_TypeError, std::string("argument '") + what_ + "': file " +
                                            std::to_string(index_) +
                                            "'s read returned something that is not bytes");
    return -1;
  }
  const std::size_t n = static_cast<std::size_t>(view.len);
  if (n > want) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': file %zu's read returned %zu bytes when asked for %zu", what_,
                 index_, n, want);
    return -1;
  }
  std::memcpy(buf, view.buf, n);
  PyBuffer_Release(&view);
  return static_cast<std::ptrdiff_t>(n);
}

bool PyProgress::report(void* context, std::uint64_t bytes, std::uint64_t rows) {
  auto* self = static_cast<PyProgress*>(context);
  Locked lock(self->gil);
  if (self->failure.failed()) return false;
  Ref b = Ref::steal(PyLong_FromUnsignedLongLong(bytes));
  Ref r = Ref::steal(PyLong_FromUnsignedLongLong(rows));
  Ref answer;
  if (b && r) {
    answer = Ref::steal(python(
        [&] { return PyObject_CallFunctionObjArgs(self->callable, b.get(), r.get(), nullptr); }));
  }
  if (!answer) {
    self->failure.take();
    return false;
  }
  return signals_ok(self->failure);
}

bool make_buffer(Ref* buffer) {
  *buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, data::MAX_LINE_BYTES));
  return static_cast<bool>(*buffer);
}

bool unit_of(PyObject* obj, const char* arg, data::TimeUnit* out) {
  *out = data::TimeUnit::Detect;
  if (obj == nullptr || obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    for (data::TimeUnit u : {data::TimeUnit::Milliseconds, data::TimeUnit::Microseconds,
                             data::TimeUnit::Nanoseconds}) {
      if (PyUnicode_CompareWithASCIIString(obj, data::unit_name(u)) == 0) {
        *out = u;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "argument '%s': unknown time unit %R", arg, obj);
  return false;
}

bool step_of(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected the step as decimal text (\"0.10\"), got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  return utf8_of(obj, out);
}

bool progress_of(PyObject* obj) {
  if (obj == Py_None || PyCallable_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "argument 'progress': expected a callable or None, got %.200s",
               Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace halvorn::py::market_data
