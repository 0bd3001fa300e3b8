// A binding function's signature, written once.
//
// A function that takes arguments from Python is described by one constant
// table: its qualified name and, per parameter, its name, how it may be
// passed and the text of its default.  Everything that used to be written
// by hand beside the function follows from that table, so that none of it
// can drift from the others:
//
//   constexpr auto RUN_SIGNATURE = signature("halvorn.venue.run",
//       either("strategy"), either("ticks"), either("balance"),
//       keyword_or_position("venue", "None"), keyword("marks", "None"));
//
//   ArgumentsOf<RUN_SIGNATURE> parsed;
//   if (!parse<RUN_SIGNATURE>(args, kwds, &parsed)) return nullptr;
//
//   PyMethodDef defs[] = {function_def<RUN_SIGNATURE>(run, "Run a strategy...")};
//
// parse<> derives the keyword list and the format the interpreter's parser
// takes, warns about arguments given by a position the signature no longer
// has, and refuses a required one left out; docstring<> puts the text
// signature that inspect.signature reads at the head of the docstring; and
// every table used so is listed by signature_listing(), from which a test
// checks the type stubs (the stub line is the text signature with `self` for
// `$self`).  The default texts are Python expressions, as the stubs write
// them.
//
// Thread-safety: parse with the interpreter lock held.  The docstrings are
// built while the library loads, before any thread can call in.

#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "py/arguments.hpp"

namespace halvorn::py {

// How a parameter may be passed.
enum class Pass : unsigned char {
  Positional,  // by position only (`/` follows it)
  Either,      // by position or by keyword
  Keyword,     // by keyword only (`*` precedes it)
  // By keyword in the signature, and still accepted by position with a
  // DeprecationWarning that shows the call written by keyword.
  KeywordOrPosition,
};

struct Parameter {
  const char* name;
  Pass pass;
  const char* default_text;  // null: required
  // What a call that leaves a required keyword out is told, after the
  // function's name ("needs trigger=, the price at which it fires"); null
  // for the interpreter's own words.
  const char* missing = nullptr;

  constexpr bool required() const { return default_text == nullptr; }
  constexpr bool by_keyword() const {
    return pass == Pass::Keyword || pass == Pass::KeywordOrPosition;
  }
};

constexpr Parameter positional(const char* name, const char* default_text = nullptr) {
  return {name, Pass::Positional, default_text};
}
constexpr Parameter either(const char* name, const char* default_text = nullptr) {
  return {name, Pass::Either, default_text};
}
constexpr Parameter keyword(const char* name, const char* default_text = nullptr) {
  return {name, Pass::Keyword, default_text};
}
// A required keyword whose absence is explained by `missing`.
constexpr Parameter keyword_explained(const char* name, const char* missing) {
  return {name, Pass::Keyword, nullptr, missing};
}
constexpr Parameter keyword_or_position(const char* name, const char* default_text = nullptr) {
  return {name, Pass::KeywordOrPosition, default_text};
}

// Where the text signature comes from.
enum class Shown : unsigned char {
  Text,      // the docstring leads with it
  Computed,  // the class sets __signature__ with its real defaults (objects,
             // which a text signature cannot carry); the docstring is prose
};

// The signature of a function, a class's constructor (named by the class)
// or a method (named Class.method; it takes `$self` first).
template <std::size_t N>
struct Signature {
  static constexpr std::size_t SIZE = N;
  const char* qualname;  // "halvorn.venue.run", "halvorn.venue.Instrument.to_ticks"
  bool method;
  Shown shown;
  std::array<Parameter, N> params;

  // The name without its module or class: what the interpreter's messages
  // and the text signature call it.
  constexpr const char* name() const {
    std::size_t last = 0;
    for (std::size_t i = 0; qualname[i] != '\0'; ++i) {
      if (qualname[i] == '.') last = i + 1;
    }
    return qualname + last;
  }
};

template <class... P>
constexpr Signature<sizeof...(P)> signature(const char* qualname, P... params) {
  return {qualname, false, Shown::Text, {params...}};
}
template <class... P>
constexpr Signature<sizeof...(P)> method_signature(const char* qualname, P... params) {
  return {qualname, true, Shown::Text, {params...}};
}
template <class... P>
constexpr Signature<sizeof...(P)> computed_signature(const char* qualname, P... params) {
  return {qualname, false, Shown::Computed, {params...}};
}

// Whether a value class's attributes are its constructor's parameters, in
// order: a class whose repr and pickling pass its fields back by name says
// so with a static_assert, so that the two lists cannot part.
template <std::size_t N, std::size_t M>
constexpr bool fields_are_parameters(const Signature<N>& sig,
                                     const std::array<const char*, M>& fields) {
  if (N != M) return false;
  for (std::size_t i = 0; i < N; ++i) {
    if (std::string_view(sig.params[i].name) != fields[i]) return false;
  }
  return true;
}

// A signature as the listing and the text builders read it, whatever its size.
struct SignatureView {
  const char* qualname;
  bool method;
  Shown shown;
  std::span<const Parameter> params;
  const char* name() const;
};

template <const auto& SIG>
using ArgumentsOf = Arguments<std::remove_cvref_t<decltype(SIG)>::SIZE>;

namespace signature_detail {

constexpr std::size_t length(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

// The first parameter the parser may go without: `|` goes before it.  A
// required parameter passed by keyword is among them, checked after the
// parse, so that its message names it as the keyword argument it is.
constexpr std::size_t first_optional(std::span<const Parameter> params) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!params[i].required() || params[i].by_keyword()) return i;
  }
  return params.size();
}

// The first parameter passed by keyword only: `$` goes before it.
constexpr std::size_t first_keyword_only(std::span<const Parameter> params) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].pass == Pass::Keyword) return i;
  }
  return params.size();
}

// How many arguments a call may give by position without a warning.
constexpr std::size_t plain_positions(std::span<const Parameter> params) {
  std::size_t n = 0;
  for (const Parameter& p : params) n += p.pass == Pass::Positional || p.pass == Pass::Either;
  return n;
}

// Whether the parser takes a required parameter as optional, to be refused
// after it by require_parameters().
constexpr bool requires_after_parse(std::span<const Parameter> params) {
  for (std::size_t i = first_optional(params); i < params.size(); ++i) {
    if (params[i].required()) return true;
  }
  return false;
}

constexpr bool warns(std::span<const Parameter> params) {
  for (const Parameter& p : params) {
    if (p.pass == Pass::KeywordOrPosition) return true;
  }
  return false;
}

// "OOO|OOO$O:name", with its terminating null.
template <std::size_t N>
constexpr std::size_t format_length(const Signature<N>& sig) {
  return N + (first_optional(sig.params) < N) + (first_keyword_only(sig.params) < N) + 1 +
         length(sig.name()) + 1;
}

template <std::size_t L, std::size_t N>
constexpr std::array<char, L> format_of(const Signature<N>& sig) {
  std::array<char, L> out{};
  std::size_t at = 0;
  const std::size_t bar = first_optional(sig.params), dollar = first_keyword_only(sig.params);
  for (std::size_t i = 0; i < N; ++i) {
    if (i == bar) out[at++] = '|';
    if (i == dollar) out[at++] = '$';
    out[at++] = 'O';
  }
  out[at++] = ':';
  for (const char* c = sig.name(); *c != '\0'; ++c) out[at++] = *c;
  out[at] = '\0';
  return out;
}

template <std::size_t N>
constexpr std::array<const char*, N + 1> keywords_of(const Signature<N>& sig) {
  std::array<const char*, N + 1> out{};
  for (std::size_t i = 0; i < N; ++i) {
    out[i] = sig.params[i].pass == Pass::Positional ? "" : sig.params[i].name;
  }
  out[N] = nullptr;
  return out;
}

}  // namespace signature_detail

// The call as it is written now, for the warning about one written by
// position: "run(strategy, ticks, balance, venue=..., batch=..., ...)".
std::string written_by_keyword(const SignatureView& sig);

// Refuses a call that left out a required parameter the parser had to take
// as optional; false with TypeError set.
bool require_parameters(const SignatureView& sig, std::span<const bool> given);

// Registers `sig` for signature_listing() and returns its docstring: the
// text signature and `body` (for a Computed signature, `body` alone).  The
// text lives as long as the library.
const char* register_docstring(const SignatureView& sig, const char* body);

// The text signature: "run(strategy, ticks, balance, *, venue=None)".
std::string text_signature(const SignatureView& sig);

// Every registered signature, as a list of (qualname, text signature, the
// parameters as a stub writes them (`self` for `$self`, no annotations),
// ((name, kind, default text or None), ...)), kind being the name of
// inspect.Parameter's kind; a new reference, null with the exception set.
PyObject* signature_listing();

template <std::size_t N>
SignatureView view_of(const Signature<N>& sig) {
  return {sig.qualname, sig.method, sig.shown, std::span<const Parameter>(sig.params)};
}

// Binds `args` and `kwds` to the parameters of SIG; false with the exception
// set when they do not bind, when a required one is missing, or when the
// warning for an argument given by position is an error.
template <const auto& SIG>
bool parse(PyObject* args, PyObject* kwds, ArgumentsOf<SIG>* out) {
  using namespace signature_detail;
  constexpr std::size_t N = std::remove_cvref_t<decltype(SIG)>::SIZE;
  static constexpr auto format = format_of<format_length(SIG)>(SIG);
  static constexpr auto kwlist = keywords_of(SIG);
  if (!parse_arguments(args, kwds, format.data(), kwlist.data(), out)) return false;
  if constexpr (warns(SIG.params)) {
    constexpr auto plain = static_cast<Py_ssize_t>(plain_positions(SIG.params));
    if (args != nullptr && PyTuple_GET_SIZE(args) > plain &&
        !warn_positional(args, plain, written_by_keyword(view_of(SIG)).c_str())) {
      return false;
    }
  }
  std::array<bool, N> given{};
  for (std::size_t i = 0; i < N; ++i) given[i] = out->given(i);
  return require_parameters(view_of(SIG), given);
}

// Binds the arguments of a vectorcall to the first sig.params.size() slots
// of `raw` (borrowed, null where not given) when the call is plainly well
// formed: no more positional arguments than the signature takes without a
// warning, each keyword an exact str naming a parameter not already given,
// every parameter the parser requires present.  False, with no exception
// set, for any other call: the caller then hands it to the interpreter's
// parser, so that its refusals and warnings stay word for word the same.
bool bind_plain_call(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** raw);

// parse<SIG> for a vectorcall entry: the usual call binds without building
// an argument tuple and a keyword dict, which would cost an order made in
// every tick more than the order itself; any other call is bound by the
// parser exactly as a call through tp_new is.
template <const auto& SIG>
bool parse(PyObject* const* args, std::size_t nargsf, PyObject* kwnames, ArgumentsOf<SIG>* out) {
  constexpr std::size_t N = std::remove_cvref_t<decltype(SIG)>::SIZE;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  std::array<PyObject*, N + 1> raw{};  // one more: a signature may have no parameters
  if (bind_plain_call(view_of(SIG), args, nargs, kwnames, raw.data())) {
    std::array<bool, N> given{};
    for (std::size_t i = 0; i < N; ++i) {
      if (raw[i] != nullptr) out->hold(i, raw[i]);
      given[i] = raw[i] != nullptr;
    }
    if constexpr (signature_detail::requires_after_parse(SIG.params)) {
      return require_parameters(view_of(SIG), given);
    }
    return true;
  }
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  Ref kwds;
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    kwds = Ref::steal(PyDict_New());
    if (!kwds) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(kwds.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
        return false;
      }
    }
  }
  return parse<SIG>(tuple.get(), kwds.get(), out);
}

// The docstring of SIG: its text signature, then `body`.
template <const auto& SIG>
const char* docstring(const char* body) {
  static const char* const text = register_docstring(view_of(SIG), body);
  return text;
}

// A function's (or a method's) entry in a method table, named by SIG.
template <const auto& SIG>
PyMethodDef function_def(PyObject* (*f)(PyObject*, PyObject*, PyObject*), const char* body) {
  return {SIG.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
          METH_VARARGS | METH_KEYWORDS, docstring<SIG>(body)};
}

}  // namespace halvorn::py
