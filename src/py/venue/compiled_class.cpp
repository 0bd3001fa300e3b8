#include "py/venue/compiled_class.hpp"

#include <cstdio>
#include <iterator>
#include <limits>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/signatures.hpp"
#include "py/value_class.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

constexpr auto COMPILED =
    signature("halvorn.venue.Compiled", either("function"), either("state", "None"),
              either("name", "'compiled'"), either("capacity", "64"), either("fill_words", "8"),
              either("order_words", "6"));

const char COMPILED_DOC[] =
    "A strategy compiled to a C function, run by the engine on every tick\n"
    "(or every batch) without the interpreter lock.  `function` is the\n"
    "function's address: an int, or an object with an int `address` (a\n"
    "numba cfunc), which is kept alive with it.  `state` is None or a\n"
    "writable buffer (a NumPy array) the function receives as a pointer,\n"
    "held for the length of each run.  `capacity` is the number of order\n"
    "slots of the output buffer.  `fill_words` is the width of each fill\n"
    "record the function reads: 8, the first eight words of a run's fill\n"
    "record, or 10, those and the index of the tick the fill was booked on\n"
    "and the lots its order still had working after it, which a function\n"
    "that trades with partial fills reads.  `order_words` is the width of\n"
    "each order slot it writes: 6, for market and limit orders and cancels,\n"
    "or 16, those words and the terms of every order kind of the venue\n"
    "(stops, take-profits, trailing stops, close-position, time in force,\n"
    "post-only, reduce-only, groups, the instrument).\n"
    "halvorn.compiled.strategy builds\n"
    "one from a numba function; docs/compiled_strategies.md gives the\n"
    "signature and the layouts.";

bool address_of(PyObject* obj, std::uint64_t* out) {
  Ref number;
  if (PyLong_Check(obj)) {
    number = Ref::borrow(obj);
  } else {
    Ref name = Ref::steal(PyUnicode_InternFromString("address"));
    if (!name || !optional_attribute(obj, name.get(), &number)) return false;
  }
  if (!number || !PyLong_Check(number.get())) {
    PyErr_Format(PyExc_TypeError,
                 "function must be the address of a compiled function: an int, or an object "
                 "with an int address (a numba cfunc); for a ctypes function give "
                 "ctypes.cast(f, ctypes.c_void_p).value; got %.200s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  if (!to_u64(number.get(), "function", out)) return false;
  if (*out == 0) {
    PyErr_SetString(PyExc_ValueError, "function is a null pointer");
    return false;
  }
  return true;
}

// A record width given as `field` (None: `narrow`), which is `narrow` or
// `wide`; false with the exception set, saying what each is, otherwise.
bool record_width(PyObject* given, const char* field, std::size_t narrow, std::size_t wide,
                  const char* what, std::size_t* out) {
  std::uint64_t width = narrow;
  if (given && !to_u64(given, field, &width)) return false;
  if (width != narrow && width != wide) {
    PyErr_Format(PyExc_ValueError, "%s must be %zu %s, got %llu", field, narrow, what,
                 static_cast<unsigned long long>(width));
    return false;
  }
  *out = static_cast<std::size_t>(width);
  return true;
}

bool make_compiled(PyObject* args, PyObject* kwds, CompiledValue* out) {
  ArgumentsOf<COMPILED> v;
  if (!parse<COMPILED>(args, kwds, &v)) return false;
  std::uint64_t address = 0;
  if (!address_of(v[0], &address)) return false;
  PyObject* state = v[1] ? v[1] : Py_None;
  HeldState probe;
  if (!probe.hold(state)) return false;
  probe.release();
  std::string name = "compiled";
  if (v[2]) {
    if (!PyUnicode_Check(v[2])) {
      PyErr_Format(PyExc_TypeError, "name must be a str, got %.200s", Py_TYPE(v[2])->tp_name);
      return false;
    }
    if (!utf8_of(v[2], &name)) return false;
  }
  std::uint64_t capacity = 64;
  if (v[3] && !to_u64(v[3], "capacity", &capacity)) return false;
  if (capacity < 1 || capacity > (std::uint64_t{1} << 20)) {
    PyErr_Format(PyExc_ValueError, "capacity must be between 1 and 1_048_576 order slots, got %llu",
                 static_cast<unsigned long long>(capacity));
    return false;
  }
  if (!record_width(v[4], "fill_words", FILL_WORDS, FULL_FILL_WORDS,
                    "(the first eight words of each fill) or 10 (those, the tick index and what "
                    "the order has left)",
                    &out->fill_words) ||
      !record_width(v[5], "order_words", ORDER_WORDS, FULL_ORDER_WORDS,
                    "(market and limit orders and cancels) or 16 (every order kind with its "
                    "terms)",
                    &out->order_words)) {
    return false;
  }
  out->function_object = Ref::borrow(v[0]);
  out->function = reinterpret_cast<CompiledFunction>(static_cast<std::uintptr_t>(address));
  out->state = Ref::borrow(state);
  out->name = std::move(name);
  out->capacity = static_cast<std::size_t>(capacity);
  return true;
}

PyObject* compiled_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded(state_of_type(type), [&]() -> PyObject* {
    CompiledValue value;
    if (!make_compiled(args, kwds, &value)) return nullptr;
    return box(type, std::move(value));
  });
}

PyObject* compiled_get_function(PyObject* self, void*) {
  return Py_NewRef(compiled_value(self).function_object.get());
}
PyObject* compiled_get_state(PyObject* self, void*) {
  return Py_NewRef(compiled_value(self).state.get());
}
PyObject* compiled_get_name(PyObject* self, void*) { return str_of(compiled_value(self).name); }
PyObject* compiled_get_capacity(PyObject* self, void*) {
  return from_u64(compiled_value(self).capacity);
}
PyObject* compiled_get_fill_words(PyObject* self, void*) {
  return from_u64(compiled_value(self).fill_words);
}
PyObject* compiled_get_order_words(PyObject* self, void*) {
  return from_u64(compiled_value(self).order_words);
}
PyObject* compiled_get_address(PyObject* self, void*) {
  return from_u64(reinterpret_cast<std::uintptr_t>(compiled_value(self).function));
}

PyGetSetDef compiled_getset[] = {
    {"function", compiled_get_function, nullptr, "The function as it was given.", nullptr},
    {"address", compiled_get_address, nullptr, "The function's address.", nullptr},
    {"state", compiled_get_state, nullptr, "The state the function works on, or None.", nullptr},
    {"name", compiled_get_name, nullptr, "The strategy's name, as a run reports it.", nullptr},
    {"capacity", compiled_get_capacity, nullptr, "Order slots per call.", nullptr},
    {"fill_words", compiled_get_fill_words, nullptr, "Words of each fill record, 8 or 10.",
     nullptr},
    {"order_words", compiled_get_order_words, nullptr, "Words of each order slot, 6 or 16.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* compiled_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    const CompiledValue& s = compiled_value(self);
    Ref name = Ref::steal(str_of(s.name));
    if (!name) return nullptr;
    char address[32];
    std::snprintf(address, sizeof address, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(s.function)));
    std::string text = "Compiled(" + repr_of(name.get()) + ", address=" + address +
                       ", capacity=" + std::to_string(s.capacity);
    if (s.fill_words != FILL_WORDS) text += ", fill_words=" + std::to_string(s.fill_words);
    if (s.order_words != ORDER_WORDS) text += ", order_words=" + std::to_string(s.order_words);
    text += ")";
    return str_of(text);
  });
}

PyType_Slot compiled_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compiled_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<CompiledValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(compiled_repr)},
    {Py_tp_getset, compiled_getset},
    {Py_tp_doc, const_cast<char*>(docstring<COMPILED>(COMPILED_DOC))},
    {0, nullptr},
};

PyType_Spec compiled_type_layout = {"halvorn.venue.Compiled",
                                    static_cast<int>(sizeof(Boxed<CompiledValue>)), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, compiled_slots};

}  // namespace

PyType_Spec* compiled_layout() { return &compiled_type_layout; }

PyObject* slot_layout(PyObject*, PyObject* written_for) {
  long long version = PyLong_AsLongLong(written_for);
  if (version == -1 && PyErr_Occurred()) return nullptr;
  if (version != SLOT_LAYOUT_VERSION) {
    PyErr_Format(PyExc_ValueError,
                 "code written for slot layout version %lld cannot drive this library's compiled "
                 "strategies, which use version %lld: halvorn.compiled and the extension come "
                 "from different releases; reinstall halvorn",
                 version, static_cast<long long>(SLOT_LAYOUT_VERSION));
    return nullptr;
  }
  constexpr std::size_t N = std::size(SLOT_LAYOUT);
  Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    const LayoutName& n = SLOT_LAYOUT[i];
    PyObject* entry = Py_BuildValue("(ssL)", n.group, n.name, static_cast<long long>(n.value));
    if (entry == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return names.release();
}

const CompiledValue& compiled_value(PyObject* obj) { return unbox<CompiledValue>(obj); }

}  // namespace halvorn::py::venue
