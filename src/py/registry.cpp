#include "py/registry.hpp"

#include <cstring>

namespace halvorn::py {

int add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref owned = Ref::steal(value);
  if (!owned) return -1;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
  }
  Ref name_obj = Ref::steal(PyUnicode_FromString(name));
  if (!name_obj || PyList_Append(all.get(), name_obj.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

const char* short_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot != nullptr ? dot + 1 : type->tp_name;
}

int add_class(PyObject* module, PyType_Spec* layout, PyTypeObject** slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, layout, nullptr);
  if (type == nullptr) return -1;
  *slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  return add_to_module(module, short_name(*slot), type);
}

int make_class(PyObject* module, PyType_Spec* layout, PyTypeObject** slot) {
  *slot = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, layout, nullptr));
  return *slot == nullptr ? -1 : 0;
}

int add_functions(PyObject* module, std::span<PyMethodDef> defs) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return -1;
  for (PyMethodDef& def : defs) {
    if (add_to_module(module, def.ml_name, PyCFunction_NewEx(&def, module, name.get())) < 0) {
      return -1;
    }
  }
  return 0;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", short_name(type));
  return nullptr;
}

}  // namespace halvorn::py
