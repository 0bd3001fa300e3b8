#include "py/run_progress.hpp"

#include "py/boundary.hpp"

namespace halvorn::py {

bool RunProgress::of(PyObject* progress, std::uint64_t total, RunProgress* out) {
  *out = RunProgress();
  if (progress == nullptr || progress == Py_None) return true;
  out->total_ = Ref::steal(PyLong_FromUnsignedLongLong(total));
  Ref module = Ref::steal(PyImport_ImportModule("halvorn._progress"));
  if (!out->total_ || !module) return false;
  Ref resolved = Ref::steal(python([&] {
    return PyObject_CallMethod(module.get(), "reporter", "OOs", progress, out->total_.get(),
                               "ticks");
  }));
  if (!resolved) return false;
  if (!PyTuple_Check(resolved.get()) || PyTuple_GET_SIZE(resolved.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "halvorn._progress.reporter returned no (report, bar) pair");
    return false;
  }
  PyObject* report = PyTuple_GET_ITEM(resolved.get(), 0);
  PyObject* bar = PyTuple_GET_ITEM(resolved.get(), 1);
  if (report != Py_None) out->callable_ = Ref::borrow(report);
  if (bar != Py_None) out->bar_ = Ref::borrow(bar);
  return true;
}

bool RunProgress::report(std::uint64_t ticks_done) {
  next_ = ticks_done + INTERVAL;
  Ref done = Ref::steal(PyLong_FromUnsignedLongLong(ticks_done));
  if (!done) return false;
  Ref answer = Ref::steal(python([&] {
    return PyObject_CallFunctionObjArgs(callable_.get(), done.get(), total_.get(), nullptr);
  }));
  return static_cast<bool>(answer);
}

bool RunProgress::close() {
  if (!bar_) return true;
  Ref closed =
      Ref::steal(python([&] { return PyObject_CallMethod(bar_.get(), "close", nullptr); }));
  bar_ = Ref();
  return static_cast<bool>(closed);
}

void RunProgress::drop() {
  callable_ = Ref();
  total_ = Ref();
  bar_ = Ref();
}

}  // namespace halvorn::py
