// Small immutable value classes of the submodules: configuration records
// (Fixed(5_000_000), Bracket(...), Venue(...)) and result records (Fill, ...).
//
// A class is described by a traits type:
//
//   struct FixedClass {
//     using Data = engine::Latency::Fixed;               // what the object holds
//     static constexpr const char* NAME = "halvorn.venue.Fixed";
//     static constexpr const char* DOC = "Fixed(ns)\n--\n\n...";
//     static constexpr std::array FIELDS = {"ns"};       // attributes, in order
//     static constexpr std::array DOCS = {"..."};        // their docstrings
//     static constexpr bool KEYWORD_ONLY = false;        // the constructor's shape
//     static Ref fields(PyTypeObject* type, const Data&);  // the fields as a tuple
//     static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data* out);
//   };
//
// and value_spec<C>() gives it read-only attributes (one per field), equality
// and a hash over the field tuple, pickling through __getnewargs_ex__ (the
// constructor is called again with the same arguments), and a repr that can
// be pasted back: positional classes show every field, keyword-only classes
// only the fields that differ from their defaults (`Venue(taker_fee=500_000)`).
// A class whose constructor takes its first fields by position and the rest
// by keyword says how many lead (`static constexpr std::size_t POSITIONAL =
// 2;`): its repr shows those, then the keyword fields that differ from what
// the constructor gives with the same leading fields (`Order('buy', 1,
// price=100)`), and it pickles the same way.  Keyword fields the constructor
// cannot do without (a stop's trigger) follow the leading ones, and the class
// says how many (`static constexpr std::size_t REQUIRED = 1;`): they are
// always given, and shown unless None.
// Integers are written with underscores between thousands, as a reader of
// prices in ticks and times in nanoseconds wants them.  A class whose make()
// refuses every call (a record only the engine makes) is still picklable,
// through the same constructor arguments, when make() accepts them: records
// that carry no validation accept their fields back.
//
// A class whose constructor is described by a signature table says so
// (`static constexpr const auto& SIGNATURE = ORDER;`) and gives `build(type,
// const ArgumentsOf<SIGNATURE>&, Data*)` in place of make(): its arguments
// are then bound by the same table whether the class is called through
// tp_new or through value_vectorcall<C>, the faster entry that the classes a
// strategy calls for every order it returns are given (ClassEntry::call).
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py {

// A field of a value class as a new Python int; null with an exception set.
inline PyObject* from_i64(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* from_u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

// An integer written with underscores between groups of three digits.
std::string grouped(long long value);

// The repr of an object as UTF-8, ints grouped and tuples of values written
// element by element; long tuples are cut to their first few elements and a
// count of the rest.
std::string repr_of(PyObject* value);

// "Name(a, b)", or with `named` "Name(x=1, y=2)", leaving out the fields
// whose values equal `defaults` when that is given; `name` is the class's
// short name.
std::string value_repr(const char* name, std::span<const char* const> names, PyObject* values,
                       bool named, PyObject* defaults);

// The parts of a traits type with no fields (L0(), CancelAll()): a class
// derives from Fieldless<Data> and gives its NAME and DOC.
template <class D>
struct Fieldless {
  using Data = D;
  static constexpr std::array<const char*, 0> FIELDS{};
  static constexpr std::array<const char*, 0> DOCS{};
  static constexpr bool KEYWORD_ONLY = false;

  static Ref fields(PyTypeObject*, const Data&) { return Ref::steal(PyTuple_New(0)); }
  static bool make(PyTypeObject* type, PyObject* args, PyObject* kwds, Data*) {
    if (PyTuple_GET_SIZE(args) == 0 && (kwds == nullptr || PyDict_GET_SIZE(kwds) == 0)) {
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", _PyType_Name(type));
    return false;
  }
};

// A record made by the engine (a fill, a liquidation): shown with every
// field named, made from Python only by giving every field.
template <class C>
constexpr bool is_record() {
  if constexpr (requires { C::RECORD; }) {
    return C::RECORD;
  } else {
    return false;
  }
}

// A keyword-only class whose every field is required (BracketClass says so
// with `static constexpr bool NO_DEFAULTS = true;`): its repr names every
// field, there being no defaults to leave out.
template <class C>
constexpr bool has_defaults() {
  if constexpr (requires { C::NO_DEFAULTS; }) {
    return !C::NO_DEFAULTS;
  } else {
    return true;
  }
}

// Whether C takes its first POSITIONAL fields by position, the rest by keyword.
template <class C>
constexpr bool is_mixed() {
  return requires { C::POSITIONAL; };
}

// The repr of a mixed class: the leading fields, then the keyword fields
// that differ from what the constructor gives with the leading ones alone.
template <class C>
constexpr std::size_t required_keywords() {
  if constexpr (requires { C::REQUIRED; }) {
    return C::REQUIRED;
  } else {
    return 0;
  }
}

template <class C>
bool make_value(PyTypeObject* type, PyObject* args, PyObject* kwds, typename C::Data* out) {
  if constexpr (requires { C::SIGNATURE; }) {
    ArgumentsOf<C::SIGNATURE> a;
    return parse<C::SIGNATURE>(args, kwds, &a) && C::build(type, a, out);
  } else {
    return C::make(type, args, kwds, out);
  }
}

template <class C>
Ref mixed_repr(PyTypeObject* type, const char* name, PyObject* fields) {
  constexpr std::size_t lead = C::POSITIONAL;
  constexpr std::size_t required = lead + required_keywords<C>();
  Ref args = Ref::steal(PyTuple_GetSlice(fields, 0, static_cast<Py_ssize_t>(lead)));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!args || !kwargs) return Ref();
  for (std::size_t i = lead; i < required; ++i) {
    if (PyDict_SetItemString(kwargs.get(), C::FIELDS[i],
                             PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i))) < 0) {
      return Ref();
    }
  }
  typename C::Data fresh;
  if (!make_value<C>(type, args.get(), kwargs.get(), &fresh)) return Ref();
  Ref defaults = C::fields(type, fresh);
  if (!defaults) return Ref();
  std::string text = value_repr(name, std::span(C::FIELDS).first(lead), args.get(), false, nullptr);
  text.pop_back();  // the closing parenthesis, reopened for the keywords
  bool first = lead == 0;
  for (std::size_t i = lead; i < C::FIELDS.size(); ++i) {
    PyObject* value = PyTuple_GET_ITEM(fields, static_cast<Py_ssize_t>(i));
    if (i < required) {
      if (value == Py_None) continue;
    } else {
      const int same = PyObject_RichCompareBool(
          value, PyTuple_GET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i)), Py_EQ);
      if (same < 0) PyErr_Clear();
      if (same == 1) continue;
    }
    text += first ? "" : ", ";
    first = false;
    text += C::FIELDS[i];
    text += "=" + repr_of(value);
  }
  text += ")";
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class C>
PyObject* value_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(type), [&]() -> PyObject* {
    typename C::Data data;
    if (!make_value<C>(type, args, kwds, &data)) return nullptr;
    return box(type, std::move(data));
  });
}

template <class C>
PyObject* value_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                           PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(callable);
  return guarded(state_of_type(type), [&]() -> PyObject* {
    ArgumentsOf<C::SIGNATURE> a;
    typename C::Data data;
    if (!parse<C::SIGNATURE>(args, nargsf, kwnames, &a) || !C::build(type, a, &data)) {
      return nullptr;
    }
    return box<typename C::Data>(type, nullptr, std::move(data));
  });
}

template <class C>
PyObject* value_field(PyObject* self, void* index) {
  Ref fields = C::fields(Py_TYPE(self), unbox<typename C::Data>(self));
  if (!fields) return nullptr;
  return Py_NewRef(PyTuple_GET_ITEM(fields.get(), reinterpret_cast<std::intptr_t>(index)));
}

// What equality and hashing compare: the fields, or where two objects can
// show equal fields and mean different things (1 lot and Decimal("1") of
// the base asset), the class's own key (`static Ref key(type, data)`).
template <class C>
Ref compared(PyTypeObject* type, const typename C::Data& d) {
  if constexpr (requires { C::key(type, d); }) {
    return C::key(type, d);
  } else {
    return C::fields(type, d);
  }
}

template <class C>
PyObject* value_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  Ref fa = compared<C>(Py_TYPE(a), unbox<typename C::Data>(a));
  Ref fb = compared<C>(Py_TYPE(b), unbox<typename C::Data>(b));
  if (!fa || !fb) return nullptr;
  return PyObject_RichCompare(fa.get(), fb.get(), op);
}

template <class C>
Py_hash_t value_hash(PyObject* self) {
  Ref fields = compared<C>(Py_TYPE(self), unbox<typename C::Data>(self));
  return fields ? PyObject_Hash(fields.get()) : -1;
}

template <class C>
PyObject* value_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    Ref fields = C::fields(Py_TYPE(self), unbox<typename C::Data>(self));
    if (!fields) return nullptr;
    Ref defaults;
    if constexpr (C::KEYWORD_ONLY && !is_record<C>() && has_defaults<C>()) {
      typename C::Data fresh;
      Ref none = Ref::steal(PyTuple_New(0));
      if (!none || !make_value<C>(Py_TYPE(self), none.get(), nullptr, &fresh)) return nullptr;
      defaults = C::fields(Py_TYPE(self), fresh);
      if (!defaults) return nullptr;
    }
    const char* name = C::NAME;
    for (const char* p = C::NAME; *p != '\0'; ++p) {
      if (*p == '.') name = p + 1;
    }
    if constexpr (is_mixed<C>()) return mixed_repr<C>(Py_TYPE(self), name, fields.get()).release();
    const std::string text =
        value_repr(name, C::FIELDS, fields.get(), C::KEYWORD_ONLY, defaults.get());
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// ((), {name: value, ...}) for a keyword-only class, ((values...), {}) for
// the others.
template <class C>
PyObject* value_getnewargs_ex(PyObject* self, PyObject*) {
  Ref fields = C::fields(Py_TYPE(self), unbox<typename C::Data>(self));
  if (!fields) return nullptr;
  if constexpr (is_mixed<C>()) {
    Ref args = Ref::steal(PyTuple_GetSlice(fields.get(), 0, C::POSITIONAL));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs) return nullptr;
    for (std::size_t i = C::POSITIONAL; i < C::FIELDS.size(); ++i) {
      if (PyDict_SetItemString(kwargs.get(), C::FIELDS[i],
                               PyTuple_GET_ITEM(fields.get(), static_cast<Py_ssize_t>(i))) < 0) {
        return nullptr;
      }
    }
    return PyTuple_Pack(2, args.get(), kwargs.get());
  } else if constexpr (!C::KEYWORD_ONLY) {
    return Py_BuildValue("(O{})", fields.get());
  } else {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (std::size_t i = 0; i < C::FIELDS.size(); ++i) {
      // A class whose fields say more when left out than when given (a
      // default that gives way to what a run reads) names which to pass.
      if constexpr (requires { C::passed(unbox<typename C::Data>(self), i); }) {
        if (!C::passed(unbox<typename C::Data>(self), i)) continue;
      }
      if (PyDict_SetItemString(kwargs.get(), C::FIELDS[i],
                               PyTuple_GET_ITEM(fields.get(), static_cast<Py_ssize_t>(i))) < 0) {
        return nullptr;
      }
    }
    return Py_BuildValue("(()O)", kwargs.get());
  }
}

// The type layout of a value class, built once.  `extra` slots (a
// sequence protocol, a buffer) are added before the common ones.
template <class C>
PyType_Spec* value_spec(std::span<const PyType_Slot> extra = {}) {
  static PyType_Spec layout = [&] {
    static std::array<PyGetSetDef, C::FIELDS.size() + 1> getset{};
    for (std::size_t i = 0; i < C::FIELDS.size(); ++i) {
      getset[i] = PyGetSetDef{C::FIELDS[i], value_field<C>, nullptr, C::DOCS[i],
                              reinterpret_cast<void*>(static_cast<std::intptr_t>(i))};
    }
    static PyMethodDef methods[] = {
        {"__getnewargs_ex__", value_getnewargs_ex<C>, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyType_Slot> slots(extra.begin(), extra.end());
    const PyType_Slot common[] = {
        {Py_tp_new, reinterpret_cast<void*>(value_new<C>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<typename C::Data>)},
        {Py_tp_repr, reinterpret_cast<void*>(value_repr<C>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<C>)},
        {Py_tp_hash, reinterpret_cast<void*>(value_hash<C>)},
        {Py_tp_getset, getset.data()},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>(C::DOC)},
        {0, nullptr},
    };
    slots.insert(slots.end(), std::begin(common), std::end(common));
    return PyType_Spec{C::NAME, static_cast<int>(sizeof(Boxed<typename C::Data>)), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
  }();
  return &layout;
}

// A tuple built from values converted one by one; null with the exception
// set when one fails.
template <class... P>
Ref tuple_of(P... values) {
  PyObject* items[] = {values...};
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(P))));
  for (std::size_t i = 0; i < sizeof...(P); ++i) {
    if (items[i] == nullptr) {
      for (std::size_t j = i + 1; j < sizeof...(P); ++j) Py_XDECREF(items[j]);
      return Ref();
    }
    if (!tuple) {
      Py_DECREF(items[i]);
      continue;
    }
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i]);
  }
  return tuple;
}

// The keyword-only classes show their real defaults in their signature,
// which a text signature (literals only) cannot carry.
template <class C>
int set_keyword_signature(PyTypeObject* type) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return -1;
  Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter || !signature) return -1;
  Ref keyword_only = Ref::steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
  typename C::Data fresh;
  Ref none = Ref::steal(PyTuple_New(0));
  if (!keyword_only || !none || !make_value<C>(type, none.get(), nullptr, &fresh)) return -1;
  Ref defaults = C::fields(type, fresh);
  Ref params = Ref::steal(PyList_New(0));
  if (!defaults || !params) return -1;
  for (std::size_t i = 0; i < C::FIELDS.size(); ++i) {
    Ref kwargs = Ref::steal(Py_BuildValue(
        "{s:O}", "default", PyTuple_GET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i))));
    Ref args = Ref::steal(Py_BuildValue("(sO)", C::FIELDS[i], keyword_only.get()));
    if (!kwargs || !args) return -1;
    Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    if (!p || PyList_Append(params.get(), p.get()) < 0) return -1;
  }
  Ref sig = Ref::steal(PyObject_CallOneArg(signature.get(), params.get()));
  if (!sig || PyDict_SetItemString(type->tp_dict, "__signature__", sig.get()) < 0) return -1;
  PyType_Modified(type);
  return 0;
}

}  // namespace halvorn::py
