#include "py/read_only_buffer.hpp"

namespace halvorn::py {

int export_read_only(PyObject* owner, Py_buffer* view, int flags, const ReadOnlyView& shown) {
  view->obj = nullptr;
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, shown.read_only);
    return -1;
  }
  const bool contiguous = shown.stride == shown.itemsize || shown.length <= 1;
  if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !contiguous) {
    PyErr_SetString(PyExc_BufferError, shown.strided_refusal);
    return -1;
  }
  *shown.shape = shown.length;
  *shown.strides = shown.stride;
  view->obj = Py_NewRef(owner);
  view->buf = const_cast<void*>(shown.first);
  view->len = shown.length * shown.itemsize;
  view->readonly = 1;
  view->itemsize = shown.itemsize;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(shown.format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? shown.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? shown.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

}  // namespace halvorn::py
