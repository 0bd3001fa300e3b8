#include "py/pending_exception.hpp"

#include <optional>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"

namespace halvorn::py {

namespace {}  // namespace

PendingException PendingException::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

PendingException PendingException::fetch_normalized() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Kept on the exception itself, so that it travels with it as a cause.
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void PendingException::restore() {
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

std::string describe_exception(const PendingException& exception) {
  std::string message =
      str_attribute(exception.type.get(), "__qualname__")
          .value_or(reinterpret_cast<PyTypeObject*>(exception.type.get())->tp_name);
  message += ": ";
  Ref text =
      Ref::steal(exception.value ? python([&] { return PyObject_Str(exception.value.get()); })
                                 : PyUnicode_FromString(""));
  std::string utf8;
  if (text && utf8_of(text.get(), &utf8)) {
    message += utf8;
  } else {
    PyErr_Clear();
    message += "<exception str() failed>";
  }
  return message;
}

void raise_message(PyObject* type, std::string_view prefix, std::string_view text) {
  std::string message(prefix);
  message += text;
  Ref str = Ref::steal(str_of(message));
  if (str) PyErr_SetObject(type, str.get());
}

void chain_to_current(const PendingException& cause, const std::string& note) {
  PendingException raised = PendingException::fetch_normalized();
  if (cause.value) PyException_SetCause(raised.value.get(), Py_NewRef(cause.value.get()));
  if (!note.empty()) {
    Ref text = Ref::steal(str_of(note));
    Ref added;
    if (text) {
      added = Ref::steal(python(
          [&] { return PyObject_CallMethod(raised.value.get(), "add_note", "O", text.get()); }));
    }
    if (!added) PyErr_Clear();  // the note is a courtesy; the error is what matters
  }
  raised.restore();
}

}  // namespace halvorn::py
