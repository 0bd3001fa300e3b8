// Conversion of Python arguments into engine values.
//
// Every converter names the argument it failed on.  A value of the wrong type
// is a TypeError, an integer out of range an OverflowError.  An exception
// raised by the object itself (an __index__ that raises, say) becomes a
// TypeError naming the argument, with the original as its cause; exceptions
// that are not Exception subclasses (KeyboardInterrupt, SystemExit) pass
// through unchanged.
//
// Each returns false with a Python exception set on failure.
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "py/pyref.hpp"

namespace halvorn::py {

bool to_i64(PyObject* obj, const char* arg, std::int64_t* out);
bool to_u64(PyObject* obj, const char* arg, std::uint64_t* out);
bool to_bool(PyObject* obj, const char* arg, bool* out);
bool to_f64(PyObject* obj, const char* arg, double* out);
// The whole text of a str as UTF-8, NUL characters included.  False, with
// the encoding error set, for a str that UTF-8 cannot carry (a lone
// surrogate).
bool utf8_of(PyObject* str, std::string* out);

// A new str from UTF-8 text of any content; undecodable bytes become U+FFFD.
PyObject* str_of(std::string_view utf8);

// Writes `text` between double quotes with a backslash before any double quote
// or backslash, \0 \t \r \n for those characters and \u{hex} for any other
// unprintable code point, so that a caller's string is shown unambiguously
// inside a message or a repr.
std::string quote_escaped(PyObject* str);
std::string quote_escaped_utf8(std::string_view utf8);

// An attribute that may be missing: true with `*out` the value, or empty
// when the object has no such attribute (an AttributeError); false with any
// other exception set.
bool optional_attribute(PyObject* obj, PyObject* name, Ref* out);

// The whole text of a str attribute, or nothing when it is missing, not a
// str, or reading it raised (the error is discarded).
std::optional<std::string> str_attribute(PyObject* obj, const char* name);

// Whether `obj` has the attribute (hasattr): 1, 0, or -1 with any exception
// other than AttributeError set.
int has_attribute(PyObject* obj, const char* name);

// A path argument: a str, encoded as the file system wants it (characters
// the encoding cannot carry are carried through as Python's os functions
// do).  Refused, with a TypeError naming `arg`, for anything but a str.  A
// str that can name no file (it holds a NUL) is Unnameable, with no
// exception set: the caller reports it as it reports any file it cannot
// open.
enum class PathArgument : std::uint8_t { Ok, Refused, Unnameable };
PathArgument path_argument(PyObject* obj, const char* arg, std::string* out);

// path_argument for a caller that reports no file of its own: an
// unnameable path is a ValueError naming `arg` and the path.
bool fs_path_of(PyObject* obj, const char* arg, std::string* out);

// The elements of a sequence in a tuple of our own (a tuple is returned as
// it is); null with the iteration's exception set.  Walk this, never the
// caller's list: converting an element can run Python code (an __index__,
// a __float__, a __len__), and that code can empty the list it came from,
// or any list it finds through gc.get_referrers.  Nothing can change a
// tuple, nor free what it holds while it is held.
Ref frozen_items(PyObject* sequence);

// Calls `function` of the package's Python module `module` ("halvorn._x",
// imported when first needed) with `args`, positionally.  A new reference;
// null with the exception set.
PyObject* call_python(const char* module, const char* function,
                      std::initializer_list<PyObject*> args);

// Raises ValueError carrying `text` (UTF-8, kept whole).
void raise_value_error(const std::string& text);

// True when the current exception is an Exception subclass (as opposed to
// KeyboardInterrupt, SystemExit, GeneratorExit or a PanicException).
bool current_error_is_ordinary();

// Replaces the current exception with `type(message)`, keeping the original
// as __cause__.  Leaves a non-ordinary exception in place.
void raise_from_current(PyObject* type, const std::string& message);

}  // namespace halvorn::py
