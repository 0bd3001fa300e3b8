#include "py/market_data/instrument_arguments.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "data/instrument_block.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"
#include "types/overloaded.hpp"

namespace halvorn::py::market_data {

bool symbol_of(PyObject* obj, const char* arg, std::string* out) {
  out->clear();
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or None, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  if (!bytes) return false;
  out->assign(PyBytes_AS_STRING(bytes.get()),
              static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

bool contract_of(PyObject* kind, PyObject* contract_value, PyObject* settle,
                 data::ContractTerms* out) {
  *out = data::ContractTerms{};
  if (kind != nullptr && kind != Py_None) {
    if (!PyUnicode_Check(kind)) {
      PyErr_Format(PyExc_TypeError, "argument 'kind': expected str or None, got %.200s",
                   Py_TYPE(kind)->tp_name);
      return false;
    }
    if (PyUnicode_CompareWithASCIIString(kind, "inverse") == 0) {
      out->kind = data::ContractKind::Inverse;
    } else if (PyUnicode_CompareWithASCIIString(kind, "linear") != 0) {
      PyErr_Format(PyExc_ValueError, "argument 'kind': expected \"linear\" or \"inverse\", got %R",
                   kind);
      return false;
    }
  }
  if (contract_value != nullptr && contract_value != Py_None) {
    if (!PyUnicode_Check(contract_value)) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'contract_value': expected the USD value of one contract as decimal "
                   "text (\"100\"), got %.200s",
                   Py_TYPE(contract_value)->tp_name);
      return false;
    }
    std::string text;
    if (!symbol_of(contract_value, "contract_value", &text)) return false;
    std::optional<data::Step> step = data::parse_step(text);
    if (!step) {
      raise_value_error(
          data::DefinitionProblem{data::definition::BadStep{"contract_value", text}}.display());
      return false;
    }
    out->contract_value = *std::move(step);
  }
  return symbol_of(settle, "settle", &out->settle);
}

bool define(std::uint64_t id, std::string symbol, const std::string& tick_size,
            const std::string& lot_size, const data::ContractTerms& terms,
            data::InstrumentDefinition* out) {
  auto defined = data::define_instrument(id, std::move(symbol), tick_size, lot_size);
  if (const auto* problem = std::get_if<data::DefinitionProblem>(&defined)) {
    raise_value_error(problem->display());
    return false;
  }
  auto& d = std::get<data::InstrumentDefinition>(defined);
  *out = terms.define(d.id, std::move(d.symbol), std::move(d.tick_size), std::move(d.lot_size));
  if (auto problem = data::check_definition(*out)) {
    raise_value_error(problem->display());
    return false;
  }
  return true;
}

namespace {

enum class FileKind : std::uint8_t { Either, Tick, Depth, Mark };

bool file_kind_of(PyObject* obj, FileKind* out) {
  if (obj == Py_None) {
    *out = FileKind::Either;
    return true;
  }
  if (PyUnicode_Check(obj)) {
    if (PyUnicode_CompareWithASCIIString(obj, "tick") == 0) {
      *out = FileKind::Tick;
      return true;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "depth") == 0) {
      *out = FileKind::Depth;
      return true;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "mark") == 0) {
      *out = FileKind::Mark;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "argument 'kind': expected \"tick\", \"depth\", \"mark\" or None, got %R", obj);
  return false;
}

// What a file holds: no definition, a definition, or the text of why
// neither can be said.
using Found = std::variant<std::optional<data::InstrumentDefinition>, std::string>;

template <class Result>
Found found_in(Result result) {
  return std::visit(
      Overloaded{
          [](std::optional<data::InstrumentDefinition>& d) -> Found { return std::move(d); },
          [](auto& error) -> Found { return error.display(); },
      },
      result);
}

Found read_file(const std::string& path, FileKind kind) {
  if (kind == FileKind::Depth) return found_in(data::instrument_of_depth_file(path));
  if (kind == FileKind::Mark) return found_in(data::instrument_of_mark_file(path));
  data::TickInstrument tick = data::instrument_of_tick_file(path);
  // A file whose magic is a depth or a mark file's is read as one when any
  // will do; any other magic keeps the tick reader's text.
  if (const auto* error = std::get_if<data::Error>(&tick); error && kind == FileKind::Either) {
    const auto* magic = std::get_if<data::BadMagic>(&error->kind);
    if (magic != nullptr && magic->magic == data::DEPTH_MAGIC) {
      return found_in(data::instrument_of_depth_file(path));
    }
    if (magic != nullptr && magic->magic == data::MARK_MAGIC) {
      return found_in(data::instrument_of_mark_file(path));
    }
  }
  return found_in(std::move(tick));
}

constexpr auto READ_INSTRUMENT =
    signature("halvorn.data._native.read_instrument", either("path"), either("kind"));

PyObject* read_instrument(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<READ_INSTRUMENT> parsed;
    if (!parse<READ_INSTRUMENT>(args, kwds, &parsed)) return nullptr;
    PyObject* path_obj = parsed[0];
    std::string path;
    FileKind kind;
    if (!fs_path_of(path_obj, "path", &path) || !file_kind_of(parsed[1], &kind)) return nullptr;
    std::optional<Found> found;
    Gil gil;
    run_unlocked(gil, [&] { found = read_file(path, kind); });
    if (const auto* text = std::get_if<std::string>(&*found)) {
      Ref shown = Ref::steal(str_of(*text));
      if (!shown) return nullptr;
      PyErr_Format(PyExc_ValueError, "%U: %U", path_obj, shown.get());
      return nullptr;
    }
    const auto& definition = std::get<std::optional<data::InstrumentDefinition>>(*found);
    if (!definition) Py_RETURN_NONE;
    Ref symbol = Ref::steal(str_of(definition->symbol));
    Ref tick = Ref::steal(str_of(definition->tick_size.text));
    Ref lot = Ref::steal(str_of(definition->lot_size.text));
    if (!symbol || !tick || !lot) return nullptr;
    if (definition->kind == data::ContractKind::Linear) {
      return Py_BuildValue("(KOOOsOO)", static_cast<unsigned long long>(definition->id),
                           symbol.get(), tick.get(), lot.get(), "linear", Py_None, Py_None);
    }
    Ref value = Ref::steal(str_of(definition->contract_value->text));
    Ref settle = Ref::steal(str_of(definition->settle));
    if (!value || !settle) return nullptr;
    return Py_BuildValue("(KOOOsOO)", static_cast<unsigned long long>(definition->id), symbol.get(),
                         tick.get(), lot.get(), "inverse", value.get(), settle.get());
  });
}

}  // namespace

PyMethodDef instrument_functions[1] = {
    function_def<READ_INSTRUMENT>(
        read_instrument,
        "The definition in the instrument block of a tick, depth or mark file.\n\n"
        "`kind` is \"tick\", \"depth\", \"mark\", or None to take any (told by the magic).\n"
        "Reads the header and the block, never the records.  Returns None for a\n"
        "file without a block, else (id, symbol, tick_size, lot_size, kind,\n"
        "contract_value, settle): kind \"linear\" (the last two None) or \"inverse\".\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the reader's text for a file that is\n"
        "no readable file of its kind, or the block's (\"instrument block at byte\n"
        "N: ...\") for a damaged one."),
};

}  // namespace halvorn::py::market_data
