// A call's arguments, parsed and held for the length of the call.
//
// PyArg_ParseTupleAndKeywords hands out borrowed references, and those given
// by keyword live only in the caller's keyword dict.  Any Python code run
// later in the same call (an __index__, a __float__, a strategy, a file's
// readinto) can empty that dict and free them.  Arguments therefore holds a
// strong reference to every object it parsed: a C++ handle, invisible to
// gc.get_referrers and to anything else Python code can reach.
//
// Thread-safety: parse and destroy with the interpreter lock held.

#pragma once

#include <array>
#include <cstddef>
#include <tuple>

#include "py/pyref.hpp"

namespace halvorn::py {

template <std::size_t N>
class Arguments {
 public:
  // The i-th argument in the order of the keyword list; null when it was
  // not given.
  PyObject* operator[](std::size_t i) const { return held_[i].get(); }
  bool given(std::size_t i) const { return static_cast<bool>(held_[i]); }
  // Takes a strong reference to `obj` as the i-th argument: a vectorcall's
  // arguments are bound without the parser (py/signatures.hpp).
  void hold(std::size_t i, PyObject* obj) { held_[i] = Ref::borrow(obj); }

 private:
  template <std::size_t K>
  friend bool parse_arguments(PyObject* args, PyObject* kwds, const char* format,
                              const char* const* kwlist, Arguments<K>* out);
  std::array<Ref, N> held_;
};

// Binds `args` and `kwds` to the N names of `kwlist` (null-terminated) by
// `format`, whose every unit must be "O".  False with the interpreter's
// TypeError set when they do not bind.  A function described by a
// Signature (py/signatures.hpp) calls parse<> instead, which derives both.
template <std::size_t N>
bool parse_arguments(PyObject* args, PyObject* kwds, const char* format, const char* const* kwlist,
                     Arguments<N>* out) {
  std::array<PyObject*, N> raw{};
  const int ok = std::apply(
      [&](auto&... slot) {
        return PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist),
                                           &slot...);
      },
      raw);
  if (!ok) return false;
  for (std::size_t i = 0; i < N; ++i) out->held_[i] = Ref::borrow(raw[i]);
  return true;
}

template <std::size_t K>
bool parse_arguments(PyObject* args, PyObject* kwds, const char* format,
                     const char* const (&kwlist)[K], Arguments<K - 1>* out) {
  return parse_arguments<K - 1>(args, kwds, format, &kwlist[0], out);
}

// Arguments that the signature takes by keyword, because their units differ
// and a call by position reads wrong, but that a call may still give by
// position: a call with more than `positional` arguments by position works
// and warns (DeprecationWarning) how to write it.  False with the exception
// set when the warning is an error.
inline bool warn_positional(PyObject* args, Py_ssize_t positional, const char* written) {
  if (args == nullptr || PyTuple_GET_SIZE(args) <= positional) return true;
  return PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                          "passing these arguments by position is deprecated, since their units "
                          "differ: write %s",
                          written) == 0;
}

}  // namespace halvorn::py
