// halvorn.venue.Compiled: a strategy compiled to a C function (see
// compiled_strategy.hpp for the function's signature and the run), with the
// state it works on and the object that keeps the function's code alive.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "py/compiled_strategy.hpp"
#include "py/pyref.hpp"
#include "py/registry.hpp"

namespace halvorn::py::venue {

struct VenueState;

// What a Compiled holds.
struct CompiledValue {
  Ref function_object;  // what was given: an int, or an object with an address
  CompiledFunction function = nullptr;
  Ref state;  // None, or an object exporting a writable contiguous buffer
  std::string name;
  std::size_t capacity = 64;
  std::size_t fill_words = FILL_WORDS;    // words of each fill record it reads
  std::size_t order_words = ORDER_WORDS;  // words of each order slot it writes
};

PyType_Spec* compiled_layout();

// Requires: Py_IS_TYPE(obj, st->compiled_type).
const CompiledValue& compiled_value(PyObject* obj);

// halvorn.venue._compiled_layout(written_for): every name of the slot layout
// as (group, name, value) triples, for code written for layout version
// `written_for`; ValueError when that is not the library's version.
PyObject* slot_layout(PyObject* module, PyObject* written_for);

}  // namespace halvorn::py::venue
