#include "py/market_data/capture.hpp"

#include <optional>
#include <string>

#include "data/capture_convert.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/instrument_arguments.hpp"
#include "py/market_data/python_files.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

namespace {

// A destination, or None for a file not asked for.
bool optional_path(PyObject* obj, const char* arg, std::string* out) {
  out->clear();
  return obj == Py_None || fs_path_of(obj, arg, out);
}

// Which trades make ticks: None (either kind, not both), "trades" or
// "agg_trades".
bool trades_of(PyObject* obj, data::CaptureOptions::Trades* out) {
  using Trades = data::CaptureOptions::Trades;
  *out = Trades::Any;
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    if (PyUnicode_CompareWithASCIIString(obj, "trades") == 0) {
      *out = Trades::Plain;
      return true;
    }
    if (PyUnicode_CompareWithASCIIString(obj, "agg_trades") == 0) {
      *out = Trades::Aggregated;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "argument 'trades': expected None, \"trades\" or \"agg_trades\", got %R", obj);
  return false;
}

// Every option is given by the Python half, which settles their defaults.
constexpr auto CONVERT_CAPTURE = signature(
    "halvorn.data._native.convert_capture", either("sources"), keyword("ticks"), keyword("depth"),
    keyword("marks"), keyword("tick_size"), keyword("lot_size"), keyword("instrument"),
    keyword("symbol"), keyword("round"), keyword("allow_gaps"), keyword("trades"),
    keyword("max_delay"), keyword("time_unit"), keyword("progress"), keyword("progress_bytes"),
    keyword("kind", "None"), keyword("contract_value", "None"), keyword("settle", "None"));

PyObject* convert_capture(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<CONVERT_CAPTURE> parsed;
    if (!parse<CONVERT_CAPTURE>(args, kwds, &parsed)) return nullptr;
    PyObject *sources = parsed[0], *ticks = parsed[1], *depth = parsed[2], *marks = parsed[3],
             *tick_size = parsed[4], *lot_size = parsed[5], *instrument = parsed[6],
             *symbol = parsed[7], *round = parsed[8], *gaps = parsed[9], *trades = parsed[10],
             *delay = parsed[11], *unit = parsed[12], *progress = parsed[13], *every = parsed[14];
    data::CaptureOptions options;
    std::uint64_t every_bytes = 0;
    if (!optional_path(ticks, "ticks", &options.ticks_path) ||
        !optional_path(depth, "depth", &options.depth_path) ||
        !optional_path(marks, "marks", &options.marks_path) ||
        !step_of(tick_size, "tick_size", &options.tick_size) ||
        !step_of(lot_size, "lot_size", &options.lot_size) ||
        !to_u64(instrument, "instrument", &options.instrument) ||
        !symbol_of(symbol, "symbol", &options.symbol) || !to_bool(round, "round", &options.round) ||
        !to_bool(gaps, "allow_gaps", &options.allow_gaps) || !trades_of(trades, &options.trades) ||
        !to_i64(delay, "max_delay", &options.max_delay) ||
        !unit_of(unit, "time_unit", &options.unit) ||
        !to_u64(every, "progress_bytes", &every_bytes) || !progress_of(progress) ||
        !contract_of(parsed[15], parsed[16], parsed[17], &options.contract)) {
      return nullptr;
    }
    if (options.max_delay < 0) {
      PyErr_SetString(PyExc_ValueError, "argument 'max_delay': must not be negative");
      return nullptr;
    }
    if (options.ticks_path.empty() && options.depth_path.empty() && options.marks_path.empty()) {
      PyErr_SetString(PyExc_ValueError,
                      "give at least one file to write: ticks=, depth= or marks=");
      return nullptr;
    }
    // The converter writes the definition it scales with, and takes only
    // one a file can hold.
    data::InstrumentDefinition definition;
    if (!define(options.instrument, options.symbol, options.tick_size, options.lot_size,
                options.contract, &definition)) {
      return nullptr;
    }
    std::optional<data::CaptureConversion> result;
    if (!convert_stream(sources, "sources", progress, every_bytes,
                        [&](const data::Input& input, const data::Progress& report) {
                          result = data::convert_capture(input, options, report);
                        })) {
      return nullptr;
    }
    if (const auto* error = std::get_if<data::CaptureError>(&*result)) {
      raise_value_error(error->display());
      return nullptr;
    }
    const data::CaptureConverted& d = std::get<data::CaptureConverted>(*result);
    Ref name = Ref::steal(str_of(d.symbol));
    if (!name) return nullptr;
    using U = unsigned long long;
    return Py_BuildValue("{sOsKsKsKsKsKsKsKsKsKsKsKsKsKsK}", "symbol", name.get(), "messages",
                         U{d.messages}, "skipped", U{d.skipped}, "other_symbols",
                         U{d.other_symbols}, "ticks", U{d.ticks}, "trades", U{d.trades}, "quotes",
                         U{d.quotes}, "repeated_trades", U{d.repeated_trades}, "missing_trades",
                         U{d.missing_trades}, "snapshots", U{d.snapshots}, "updates", U{d.updates},
                         "depth_breaks", U{d.depth_breaks}, "marks", U{d.marks}, "settlements",
                         U{d.settlements}, "bytes", U{d.bytes});
  });
}

PyMethodDef capture_functions[] = {
    function_def<CONVERT_CAPTURE>(
        convert_capture,
        "Convert a capture of JSON lines into a tick, a depth and a mark file.\n\n"
        "`sources` is an iterable of binary file objects read as one capture;\n"
        "`ticks`, `depth` and `marks` are where each file goes, or None for none.\n"
        "`trades` is None, \"trades\" or \"agg_trades\"; `max_delay` is in ns;\n"
        "`time_unit` a full unit name or None.  Returns a dict of counts.\n\n"
        "# Errors\n\n"
        "ValueError with the converter's text; what a file, the iterator or the\n"
        "progress callable raised, unchanged."),
};

}  // namespace

int add_capture_functions(PyObject* module) { return add_functions(module, capture_functions); }

}  // namespace halvorn::py::market_data
