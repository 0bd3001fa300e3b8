#include "py/signatures.hpp"

#include <algorithm>
#include <cstring>
#include <deque>

#include "py/pyref.hpp"

namespace halvorn::py {

namespace {

// The parser's format for each shape of signature, checked as it is built:
// `|` before the first argument the parser may go without, `$` before the
// first by keyword only.
template <const auto& SIG>
constexpr bool formats_as(std::string_view expected) {
  constexpr auto format = signature_detail::format_of<signature_detail::format_length(SIG)>(SIG);
  return std::string_view(format.data()) == expected;
}
constexpr auto MIXED = signature("m.mixed", either("a"), either("b", "1"),
                                 keyword_or_position("c", "None"), keyword("d"));
constexpr auto BY_KEYWORD =
    signature("m.by_keyword", keyword_or_position("a"), keyword_or_position("b"));
constexpr auto VALUE_FIRST =
    method_signature("m.C.value_first", positional("v"), keyword("rounding", "'exact'"));
// A required keyword after an optional positional (a stop's trigger): the
// parser takes it as optional and require_parameters() refuses its absence.
constexpr auto REQUIRED_KEYWORD =
    signature("m.required_keyword", either("a"), either("b", "None"), keyword("c"));
static_assert(formats_as<MIXED>("O|OO$O:mixed"));
static_assert(formats_as<REQUIRED_KEYWORD>("O|O$O:required_keyword"));
static_assert(formats_as<BY_KEYWORD>("|OO:by_keyword"));
static_assert(formats_as<VALUE_FIRST>("O|$O:value_first"));
static_assert(signature_detail::keywords_of(VALUE_FIRST)[0][0] == '\0');

struct Registered {
  SignatureView view;
  std::string doc;
};

// Every signature that gave a docstring, in the order the library loaded
// them.  A deque: the docstrings handed out point into its elements, which
// never move.
std::deque<Registered>& registry() {
  static std::deque<Registered> signatures;
  return signatures;
}

const char* kind_name(Pass pass) {
  switch (pass) {
    case Pass::Positional:
      return "POSITIONAL_ONLY";
    case Pass::Either:
      return "POSITIONAL_OR_KEYWORD";
    case Pass::Keyword:
    case Pass::KeywordOrPosition:
      break;
  }
  return "KEYWORD_ONLY";
}

// The parameters as a text signature writes them, `self` first for a method
// (`$self` when `bound`, as the interpreter reads it).
std::string parameter_text(const SignatureView& sig, const char* self) {
  std::string out;
  auto add = [&](std::string_view part) {
    if (!out.empty()) out += ", ";
    out += part;
  };
  if (sig.method) {
    add(self);
    // self goes by position only.  A method whose every parameter goes by
    // keyword says so (`$self, /, *, units='float'`); with a parameter by
    // position after it, the `$` alone marks it.
    const bool all_by_keyword =
        !sig.params.empty() && std::all_of(sig.params.begin(), sig.params.end(),
                                           [](const Parameter& p) { return p.by_keyword(); });
    if (all_by_keyword) add("/");
  }
  bool keywords = false;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    const Parameter& p = sig.params[i];
    if (p.by_keyword() && !keywords) {
      add("*");
      keywords = true;
    }
    std::string one = p.name;
    if (!p.required()) (one += '=') += p.default_text;
    add(one);
    const bool last_positional =
        p.pass == Pass::Positional &&
        (i + 1 == sig.params.size() || sig.params[i + 1].pass != Pass::Positional);
    if (last_positional) add("/");
  }
  return out;
}

}  // namespace

const char* SignatureView::name() const {
  const char* dot = std::strrchr(qualname, '.');
  return dot == nullptr ? qualname : dot + 1;
}

std::string text_signature(const SignatureView& sig) {
  return std::string(sig.name()) + "(" + parameter_text(sig, "$self") + ")";
}

std::string written_by_keyword(const SignatureView& sig) {
  // The parameters a call may still give by position, then those it should
  // give by keyword: all when there are few, else the first two and "...".
  std::string out = std::string(sig.name()) + "(";
  std::size_t shown = 0, by_keyword = 0;
  for (const Parameter& p : sig.params) by_keyword += p.pass == Pass::KeywordOrPosition;
  for (const Parameter& p : sig.params) {
    if (p.pass == Pass::Keyword) continue;
    if (shown > 0) out += ", ";
    if (p.pass != Pass::KeywordOrPosition) {
      out += p.name;
    } else if (by_keyword > 3 && shown >= 2 + signature_detail::plain_positions(sig.params)) {
      out += "...";
      break;
    } else {
      (out += p.name) += "=...";
    }
    ++shown;
  }
  return out + ")";
}

bool require_parameters(const SignatureView& sig, std::span<const bool> given) {
  for (std::size_t i = signature_detail::first_optional(sig.params); i < sig.params.size(); ++i) {
    const Parameter& p = sig.params[i];
    if (p.required() && !given[i]) {
      if (p.missing != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() %s", sig.name(), p.missing);
      } else {
        PyErr_Format(PyExc_TypeError, "%s() missing required keyword argument: '%s'", sig.name(),
                     p.name);
      }
      return false;
    }
  }
  return true;
}

bool bind_plain_call(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** raw) {
  const std::span<const Parameter> params = sig.params;
  // More by position is a refusal or a warning, which the parser words.
  if (nargs < 0 || static_cast<std::size_t>(nargs) > signature_detail::plain_positions(params)) {
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    const Pass pass = params[static_cast<std::size_t>(i)].pass;
    if (pass != Pass::Positional && pass != Pass::Either) return false;
    raw[i] = args[i];
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    // A str subclass may compare and hash its own way: the parser judges it.
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name)) return false;
    const std::string_view given(static_cast<const char*>(PyUnicode_DATA(name)),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)));
    std::size_t j = 0;
    while (j < params.size() && (params[j].pass == Pass::Positional || given != params[j].name)) {
      ++j;
    }
    if (j == params.size() || raw[j] != nullptr) return false;
    raw[j] = args[nargs + k];
  }
  for (std::size_t i = 0; i < signature_detail::first_optional(params); ++i) {
    if (raw[i] == nullptr) return false;
  }
  return true;
}

const char* register_docstring(const SignatureView& sig, const char* body) {
  std::string doc =
      sig.shown == Shown::Text ? text_signature(sig) + "\n--\n\n" + body : std::string(body);
  registry().push_back({sig, std::move(doc)});
  return registry().back().doc.c_str();
}

PyObject* signature_listing() {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Registered& r : registry()) {
    Ref params = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(r.view.params.size())));
    if (!params) return nullptr;
    for (std::size_t i = 0; i < r.view.params.size(); ++i) {
      const Parameter& p = r.view.params[i];
      PyObject* one = p.required()
                          ? Py_BuildValue("(ssO)", p.name, kind_name(p.pass), Py_None)
                          : Py_BuildValue("(sss)", p.name, kind_name(p.pass), p.default_text);
      if (one == nullptr) return nullptr;
      PyTuple_SET_ITEM(params.get(), static_cast<Py_ssize_t>(i), one);
    }
    const std::string text = text_signature(r.view);
    const std::string stub = parameter_text(r.view, "self");
    Ref entry = Ref::steal(
        Py_BuildValue("(sssO)", r.view.qualname, text.c_str(), stub.c_str(), params.get()));
    if (!entry || PyList_Append(list.get(), entry.get()) < 0) return nullptr;
  }
  return list.release();
}

}  // namespace halvorn::py
