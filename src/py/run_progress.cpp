#include "py/run_progress.hpp"

#include "py/boundary.hpp"

namespace halvorn::py {

bool RunProgress::of(PyObject* progress, std::uint64_t total, RunProgress* out) {
  *out = RunProgress();
  if (progress == nullptr || progress == Py_None || progress == Py_False) return true;
  out->total_ = Ref::steal(PyLong_FromUnsignedLongLong(total));
  if (!out->total_) return false;
  if (progress == Py_True) {
    Ref module = Ref::steal(PyImport_ImportModule("halvorn._progress"));
    if (!module) return false;
    out->bar_ =
        Ref::steal(PyObject_CallMethod(module.get(), "Bar", "Os", out->total_.get(), "ticks"));
    if (!out->bar_) return false;
    out->callable_ = out->bar_;
  } else if (PyCallable_Check(progress)) {
    out->callable_ = Ref::borrow(progress);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "progress must be None, True or a callable taking (ticks_done, total), got %.200s",
                 Py_TYPE(progress)->tp_name);
    return false;
  }
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
