#include "py/market_data/csv.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "data/csv_convert.hpp"
#include "data/depth_csv.hpp"
#include "data/funding_csv.hpp"
#include "data/mark_csv.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "py/interruption.hpp"
#include "py/market_data/data_state.hpp"
#include "py/market_data/instrument_arguments.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/market_data/python_files.hpp"
#include "py/market_data/quality_values.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"
#include "py/tick_files.hpp"

namespace halvorn::py::market_data {

namespace {

// A layout by the name error texts give it ("aggregated trades"), None
// for detection.
bool layout_of(PyObject* obj, const char* arg, data::StreamKind kind, data::Layout* out) {
  *out = data::Layout::Detect;
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or None, got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  for (const data::LayoutEntry& entry : data::layouts()) {
    if (PyUnicode_CompareWithASCIIString(obj, entry.name) != 0) continue;
    if (entry.kind != kind) {
      PyErr_Format(PyExc_ValueError, "argument '%s': %R is not a layout of this stream", arg, obj);
      return false;
    }
    *out = entry.layout;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "argument '%s': unknown layout %R", arg, obj);
  return false;
}

// What becomes of a trade that repeats an id: "keep", "skip" or "refuse".
bool repeats_of(PyObject* obj, data::Repeats* out) {
  const std::pair<const char*, data::Repeats> names[] = {{"keep", data::Repeats::Keep},
                                                         {"skip", data::Repeats::Skip},
                                                         {"refuse", data::Repeats::Refuse}};
  if (PyUnicode_Check(obj)) {
    for (const auto& [name, repeats] : names) {
      if (PyUnicode_CompareWithASCIIString(obj, name) == 0) {
        *out = repeats;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError,
               "argument 'duplicates': expected \"keep\", \"skip\" or \"refuse\", got %R", obj);
  return false;
}

// What becomes of a trade tick whose quote is stale: "keep", "clear" or
// "refuse".
bool stale_of(PyObject* obj, data::ConvertOptions::Stale* out) {
  using Stale = data::ConvertOptions::Stale;
  const std::pair<const char*, Stale> names[] = {
      {"keep", Stale::Keep}, {"clear", Stale::Clear}, {"refuse", Stale::Refuse}};
  if (PyUnicode_Check(obj)) {
    for (const auto& [name, stale] : names) {
      if (PyUnicode_CompareWithASCIIString(obj, name) == 0) {
        *out = stale;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError,
               "argument 'stale_quotes': expected \"keep\", \"clear\" or \"refuse\", got %R", obj);
  return false;
}

// A number of basis points: anything a float is made from, not negative.
bool basis_points_of(PyObject* obj, const char* arg, double* out) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a number of basis points, got %.200s",
                 arg, Py_TYPE(obj)->tp_name);
    return false;
  }
  if (!(v >= 0)) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected 0 or more basis points, got %R", arg,
                 obj);
    return false;
  }
  *out = v;
  return true;
}

// The converters' options are all given by the Python half, which settles
// their defaults; those it may leave out come last.
constexpr auto CONVERT = signature(
    "halvorn.data._native.convert", either("dest"), either("trades"), either("quotes"),
    keyword("layout"), keyword("quote_layout"), keyword("tick_size"), keyword("lot_size"),
    keyword("instrument"), keyword("time_unit"), keyword("quote_time_unit"), keyword("sort_window"),
    keyword("allow_gaps"), keyword("round"), keyword("progress"), keyword("progress_bytes"),
    keyword("symbol"), keyword("duplicates", "'keep'"), keyword("stale_after", "60000000000"),
    keyword("stale_quotes", "'clear'"), keyword("outside_bp", "10.0"), keyword("kind", "None"),
    keyword("contract_value", "None"), keyword("settle", "None"));
constexpr auto CONVERT_DEPTH = signature(
    "halvorn.data._native.convert_depth", either("dest"), either("sources"), keyword("layout"),
    keyword("tick_size"), keyword("lot_size"), keyword("instrument"), keyword("time_unit"),
    keyword("round"), keyword("progress"), keyword("progress_bytes"), keyword("symbol"),
    keyword("snapshots", "None"), keyword("kind", "None"), keyword("contract_value", "None"),
    keyword("settle", "None"));
constexpr auto CONVERT_MARKS = signature(
    "halvorn.data._native.convert_marks", either("dest"), either("sources"), keyword("layout"),
    keyword("premium"), keyword("tick_size"), keyword("lot_size"), keyword("instrument"),
    keyword("time_unit"), keyword("round"), keyword("progress"), keyword("progress_bytes"),
    keyword("symbol"), keyword("stale_after", "60000000000"), keyword("kind", "None"),
    keyword("contract_value", "None"), keyword("settle", "None"));
constexpr auto READ_FUNDING = signature("halvorn.data._native.read_funding", either("files"),
                                        either("ticks"), keyword("time_unit"));

PyObject* convert(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<CONVERT> parsed;
    if (!parse<CONVERT>(args, kwds, &parsed)) return nullptr;
    PyObject *dest = parsed[0], *trades = parsed[1], *quotes = parsed[2], *layout = parsed[3],
             *quote_layout = parsed[4], *tick_size = parsed[5], *lot_size = parsed[6],
             *instrument = parsed[7], *unit = parsed[8], *quote_unit = parsed[9],
             *window = parsed[10], *gaps = parsed[11], *round = parsed[12], *progress = parsed[13],
             *every = parsed[14], *symbol = parsed[15], *repeats = parsed[16],
             *stale_after = parsed[17], *stale = parsed[18], *outside = parsed[19];
    std::string path;
    data::ConvertOptions options;
    std::uint64_t every_bytes = 0;
    if (!fs_path_of(dest, "dest", &path) || !step_of(tick_size, "tick_size", &options.tick_size) ||
        !step_of(lot_size, "lot_size", &options.lot_size) ||
        !to_u64(instrument, "instrument", &options.instrument) ||
        !layout_of(layout, "layout", data::StreamKind::Trades, &options.trades.layout) ||
        !layout_of(quote_layout, "quote_layout", data::StreamKind::Quotes,
                   &options.quotes.layout) ||
        !unit_of(unit, "time_unit", &options.trades.unit) ||
        !unit_of(quote_unit, "quote_time_unit", &options.quotes.unit) ||
        !to_u64(window, "sort_window", &options.trades.sort_window) ||
        !to_bool(gaps, "allow_gaps", &options.allow_gaps) ||
        !to_bool(round, "round", &options.round) ||
        !to_u64(every, "progress_bytes", &every_bytes) ||
        !symbol_of(symbol, "symbol", &options.symbol) ||
        (repeats != nullptr && !repeats_of(repeats, &options.repeats)) ||
        (stale_after != nullptr && !to_i64(stale_after, "stale_after", &options.stale_after)) ||
        (stale != nullptr && !stale_of(stale, &options.stale)) ||
        (outside != nullptr && !basis_points_of(outside, "outside_bp", &options.outside_bp)) ||
        !contract_of(parsed[20], parsed[21], parsed[22], &options.contract)) {
      return nullptr;
    }
    options.quotes.sort_window = options.trades.sort_window;
    if (progress != Py_None && !PyCallable_Check(progress)) {
      PyErr_Format(PyExc_TypeError, "argument 'progress': expected a callable or None, got %.200s",
                   Py_TYPE(progress)->tp_name);
      return nullptr;
    }
    Ref trade_iter = Ref::steal(PyObject_GetIter(trades));
    if (!trade_iter) return nullptr;
    Ref quote_iter;
    if (quotes != Py_None) {
      quote_iter = Ref::steal(PyObject_GetIter(quotes));
      if (!quote_iter) return nullptr;
    }
    Ref trade_buffer, quote_buffer;
    if (!make_buffer(&trade_buffer)) return nullptr;
    if (quote_iter && !make_buffer(&quote_buffer)) return nullptr;
    // The converter writes the definition it scales with, and takes only
    // one a file can hold.
    data::InstrumentDefinition definition;
    if (!define(options.instrument, options.symbol, options.tick_size, options.lot_size,
                options.contract, &definition)) {
      return nullptr;
    }

    Gil gil;
    Failure failure;
    PyFiles trade_files(gil, failure, std::move(trade_iter), "trades", std::move(trade_buffer));
    std::optional<PyFiles> quote_files;
    if (quote_iter) {
      quote_files.emplace(gil, failure, std::move(quote_iter), "quotes", std::move(quote_buffer));
    }
    PyProgress reporter{gil, failure, progress};
    data::Progress report;
    if (progress != Py_None) report = data::Progress{&reporter, PyProgress::report, every_bytes};
    const data::Input trade_input = trade_files.input();
    std::optional<data::Input> quote_input;
    if (quote_files) quote_input = quote_files->input();

    std::optional<data::Conversion> result;
    run_unlocked(gil, [&] {
      result = data::convert_csv(path, trade_input, quote_input ? &*quote_input : nullptr, options,
                                 report);
    });
    if (failure.failed()) {
      failure.pending.restore();
      return nullptr;
    }
    if (const auto* error = std::get_if<data::ConvertError>(&*result)) {
      raise_value_error(error->display());
      return nullptr;
    }
    const data::Converted& done = std::get<data::Converted>(*result);
    // Where the first repeated trade is: "b.csv:41 (repeating line 40)".
    Ref first = Ref::borrow(Py_None);
    if (done.first_duplicate) {
      const auto& [repeat, original] = *done.first_duplicate;
      std::string where = repeat.file + ":" + std::to_string(repeat.line) + " (repeating line " +
                          std::to_string(original.line);
      if (original.file != repeat.file) where += " of " + original.file;
      first = Ref::steal(str_of(where + ")"));
      if (!first) return nullptr;
    }
    Ref outside_at = Ref::borrow(Py_None);
    if (done.first_outside) {
      outside_at = Ref::steal(
          str_of(done.first_outside->file + ":" + std::to_string(done.first_outside->line)));
      if (!outside_at) return nullptr;
    }
    Ref clock = Ref::steal(clock_tuple(done.clock));
    if (!clock) return nullptr;
    return Py_BuildValue(
        "(KKKKKKLKOKdOO)", static_cast<unsigned long long>(done.ticks),
        static_cast<unsigned long long>(done.trades), static_cast<unsigned long long>(done.quotes),
        static_cast<unsigned long long>(done.quote_ticks),
        static_cast<unsigned long long>(done.bytes),
        static_cast<unsigned long long>(done.duplicates), static_cast<long long>(done.oldest_quote),
        static_cast<unsigned long long>(done.stale_ticks), first.get(),
        static_cast<unsigned long long>(done.outside), done.farthest_bp, outside_at.get(),
        clock.get());
  });
}

// A depth layout by the name error texts give it, None for detection.
bool depth_layout_of(PyObject* obj, data::DepthLayout* out) {
  *out = data::DepthLayout::Detect;
  if (obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'layout': expected str or None, got %.200s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const std::pair<data::DepthLayout, data::Layout> layouts[] = {
      {data::DepthLayout::Diffs, data::Layout::DepthDiffs},
      {data::DepthLayout::TwoClock, data::Layout::ClockedDepth},
      {data::DepthLayout::Chained, data::Layout::ChainedDiffs},
      {data::DepthLayout::Snapshots5, data::Layout::BookSnapshot5},
      {data::DepthLayout::Snapshots25, data::Layout::BookSnapshot25},
  };
  for (const auto& [depth, layout] : layouts) {
    if (PyUnicode_CompareWithASCIIString(obj, data::layout_name(layout)) == 0) {
      *out = depth;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "argument 'layout': unknown depth layout %R", obj);
  return false;
}

PyObject* convert_depth(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<CONVERT_DEPTH> parsed;
    if (!parse<CONVERT_DEPTH>(args, kwds, &parsed)) return nullptr;
    PyObject *dest = parsed[0], *sources = parsed[1], *layout = parsed[2], *tick_size = parsed[3],
             *lot_size = parsed[4], *instrument = parsed[5], *unit = parsed[6], *round = parsed[7],
             *progress = parsed[8], *every = parsed[9], *symbol = parsed[10],
             *snapshots = parsed.given(11) ? parsed[11] : Py_None;
    std::string path;
    data::DepthConvertOptions options;
    std::uint64_t every_bytes = 0;
    if (!fs_path_of(dest, "dest", &path) || !depth_layout_of(layout, &options.layout) ||
        !step_of(tick_size, "tick_size", &options.tick_size) ||
        !step_of(lot_size, "lot_size", &options.lot_size) ||
        !to_u64(instrument, "instrument", &options.instrument) ||
        !unit_of(unit, "time_unit", &options.unit) || !to_bool(round, "round", &options.round) ||
        !to_u64(every, "progress_bytes", &every_bytes) ||
        !symbol_of(symbol, "symbol", &options.symbol) ||
        !contract_of(parsed[12], parsed[13], parsed[14], &options.contract)) {
      return nullptr;
    }
    if (progress != Py_None && !PyCallable_Check(progress)) {
      PyErr_Format(PyExc_TypeError, "argument 'progress': expected a callable or None, got %.200s",
                   Py_TYPE(progress)->tp_name);
      return nullptr;
    }
    Ref iter = Ref::steal(PyObject_GetIter(sources));
    Ref buffer;
    if (!iter || !make_buffer(&buffer)) return nullptr;
    Ref snapshot_iter, snapshot_buffer;
    if (snapshots != Py_None) {
      snapshot_iter = Ref::steal(PyObject_GetIter(snapshots));
      if (!snapshot_iter || !make_buffer(&snapshot_buffer)) return nullptr;
    }
    data::InstrumentDefinition definition;
    if (!define(options.instrument, options.symbol, options.tick_size, options.lot_size,
                options.contract, &definition)) {
      return nullptr;
    }

    Gil gil;
    Failure failure;
    PyFiles files(gil, failure, std::move(iter), "sources", std::move(buffer));
    std::optional<PyFiles> snapshot_files;
    if (snapshot_iter) {
      snapshot_files.emplace(gil, failure, std::move(snapshot_iter), "snapshots",
                             std::move(snapshot_buffer));
    }
    PyProgress reporter{gil, failure, progress};
    data::Progress report;
    if (progress != Py_None) report = data::Progress{&reporter, PyProgress::report, every_bytes};
    const data::Input input = files.input();
    std::optional<data::Input> snapshot_input;
    if (snapshot_files) snapshot_input = snapshot_files->input();
    std::optional<data::DepthConversion> result;
    run_unlocked(gil, [&] {
      result = data::convert_depth_csv(path, input, snapshot_input ? &*snapshot_input : nullptr,
                                       options, report);
    });
    if (failure.failed()) {
      failure.pending.restore();
      return nullptr;
    }
    if (const auto* error = std::get_if<data::ConvertError>(&*result)) {
      raise_value_error(error->display());
      return nullptr;
    }
    const data::DepthConverted& done = std::get<data::DepthConverted>(*result);
    return Py_BuildValue(
        "(KKKKKK)", static_cast<unsigned long long>(done.records),
        static_cast<unsigned long long>(done.snapshots),
        static_cast<unsigned long long>(done.updates), static_cast<unsigned long long>(done.levels),
        static_cast<unsigned long long>(done.rows), static_cast<unsigned long long>(done.bytes));
  });
}

PyObject* convert_marks(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<CONVERT_MARKS> parsed;
    if (!parse<CONVERT_MARKS>(args, kwds, &parsed)) return nullptr;
    PyObject *dest = parsed[0], *sources = parsed[1], *layout = parsed[2], *premium = parsed[3],
             *tick_size = parsed[4], *lot_size = parsed[5], *instrument = parsed[6],
             *unit = parsed[7], *round = parsed[8], *progress = parsed[9], *every = parsed[10],
             *symbol = parsed[11];
    std::string path;
    data::MarkConvertOptions options;
    std::uint64_t every_bytes = 0;
    if (!fs_path_of(dest, "dest", &path) ||
        !layout_of(layout, "layout", data::StreamKind::Marks, &options.layout) ||
        !to_bool(premium, "premium", &options.premium) ||
        !step_of(tick_size, "tick_size", &options.tick_size) ||
        !step_of(lot_size, "lot_size", &options.lot_size) ||
        !to_u64(instrument, "instrument", &options.instrument) ||
        !unit_of(unit, "time_unit", &options.unit) || !to_bool(round, "round", &options.round) ||
        !to_u64(every, "progress_bytes", &every_bytes) ||
        !symbol_of(symbol, "symbol", &options.symbol) ||
        (parsed.given(12) && !to_i64(parsed[12], "stale_after", &options.stale_after)) ||
        !contract_of(parsed[13], parsed[14], parsed[15], &options.contract)) {
      return nullptr;
    }
    data::InstrumentDefinition definition;
    if (!progress_of(progress) || !define(options.instrument, options.symbol, options.tick_size,
                                          options.lot_size, options.contract, &definition)) {
      return nullptr;
    }
    std::optional<data::MarkConversion> result;
    if (!convert_stream(sources, "sources", progress, every_bytes,
                        [&](const data::Input& input, const data::Progress& report) {
                          result = data::convert_marks_csv(path, input, options, report);
                        })) {
      return nullptr;
    }
    if (const auto* error = std::get_if<data::ConvertError>(&*result)) {
      raise_value_error(error->display());
      return nullptr;
    }
    const data::MarksConverted& done = std::get<data::MarksConverted>(*result);
    return Py_BuildValue("(KKKKKL)", static_cast<unsigned long long>(done.records),
                         static_cast<unsigned long long>(done.settlements),
                         static_cast<unsigned long long>(done.rows),
                         static_cast<unsigned long long>(done.bytes),
                         static_cast<unsigned long long>(done.stale_settlements),
                         static_cast<long long>(done.oldest_mark));
  });
}

PyObject* read_funding(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<READ_FUNDING> parsed;
    if (!parse<READ_FUNDING>(args, kwds, &parsed)) return nullptr;
    PyObject *files = parsed[0], *ticks = parsed[1], *unit = parsed[2];
    data::StreamOptions options;
    std::string ticks_path;
    if (!unit_of(unit, "time_unit", &options.unit) || !fs_path_of(ticks, "ticks", &ticks_path)) {
      return nullptr;
    }
    Ref iter = Ref::steal(PyObject_GetIter(files));
    Ref buffer;
    if (!iter || !make_buffer(&buffer)) return nullptr;

    Gil gil;
    Failure failure;
    PyFiles input_files(gil, failure, std::move(iter), "file", std::move(buffer));
    const data::Input input = input_files.input();
    std::optional<std::variant<std::vector<data::FundingRow>, data::ConvertError>> read;
    run_unlocked(gil, [&] { read = data::read_funding(input, options); });
    if (failure.failed()) {
      failure.pending.restore();
      return nullptr;
    }
    if (const auto* error = std::get_if<data::ConvertError>(&*read)) {
      raise_value_error(error->display());
      return nullptr;
    }
    const std::vector<data::FundingRow>& rows = std::get<0>(*read);

    // The tick file may be a pipe: opened and read as load_ticks does, with
    // the lock given up while it may block and Ctrl-C answered.
    Interruption interruption(gil);
    data::Opened opened = data::TickReader::open(ticks_path, interruption.read_hooks());
    gil.acquire();
    if (std::holds_alternative<data::Interrupted>(opened)) {
      interruption.pending().restore();
      return nullptr;
    }
    if (const auto* error = std::get_if<data::Error>(&opened)) {
      PyErr_Format(PyExc_ValueError, "%U: %s", ticks, error->display().c_str());
      return nullptr;
    }
    data::TickReader& reader = std::get<data::TickReader>(opened);
    std::optional<std::variant<std::vector<data::PricedRate>, data::PricingError>> priced;
    run_unlocked(gil, [&] { priced = data::price_funding(rows, reader); });
    if (interruption.halted() || reader.interrupted()) {
      if (interruption.halted()) {
        interruption.pending().restore();
      } else if (!PyErr_Occurred()) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
      }
      return nullptr;
    }
    if (const auto* error = std::get_if<data::PricingError>(&*priced)) {
      if (const auto* file = std::get_if<data::Error>(&error->kind)) {
        PyErr_Format(PyExc_ValueError, "%U: %s", ticks, file->display().c_str());
      } else {
        raise_value_error(error->display());
      }
      return nullptr;
    }
    const std::vector<data::PricedRate>& rates = std::get<0>(*priced);
    return priced_rates_list(rates);
  });
}

PyMethodDef csv_functions[] = {
    function_def<CONVERT>(
        convert,
        "Convert CSV trades (and quotes) into a tick file at `dest`.\n\n"
        "The file holds the definition it was scaled with: `instrument`, `symbol`\n"
        "(str or None) and the two sizes.\n"
        "`trades` and `quotes` (or None) are iterators of binary file objects;\n"
        "layouts and units are their full names or None.  `progress` is None or\n"
        "a callable told (bytes, rows) about every `progress_bytes` bytes.\n"
        "A trade repeating the id of one at its time is kept, skipped or refused\n"
        "as `duplicates` says; a trade tick whose quote is older than `stale_after`\n"
        "ns is kept, cleared or refused as `stale_quotes` says; trade ticks\n"
        "outside their quote by more than `outside_bp` basis points are counted.\n"
        "Returns (ticks, trades, quotes, quote_ticks, bytes, duplicates,\n"
        "oldest_quote_ns, stale_ticks, first_duplicate or None, outside,\n"
        "farthest_bp, first_outside or None, clock), clock as clock_tuple gives it.\n\n"
        "# Errors\n\n"
        "ValueError with the converter's text; what a file, the iterator or the\n"
        "progress callable raised, unchanged."),
    function_def<READ_FUNDING>(
        read_funding,
        "Read funding history and price each rate from the tick file `ticks`.\n\n"
        "Returns a list of (time ns, rate billionths, price ticks).\n\n"
        "# Errors\n\n"
        "ValueError with the converter's or the pricing's text."),
    function_def<CONVERT_MARKS>(
        convert_marks,
        "Convert mark price klines, premium index klines or derivative ticker files\n"
        "into a mark file at `dest`.\n\n"
        "Returns (records, settlements, rows, bytes, stale_settlements,\n"
        "oldest_mark_ns): the settlements priced at a mark stated more than\n"
        "`stale_after` ns before them, and the oldest such age.\n\n"
        "# Errors\n\n"
        "ValueError with the converter's text; what a file, the iterator or the\n"
        "progress callable raised, unchanged."),
    function_def<CONVERT_DEPTH>(
        convert_depth,
        "Convert depth CSV files into a depth file at `dest`.\n\n"
        "The file holds the definition it was scaled with: `instrument`, `symbol`\n"
        "(str or None) and the two sizes.\n"
        "`sources` is an iterator of binary file objects, and `snapshots` another\n"
        "or None, merged with it by time; the layout and unit are their full names\n"
        "or None.  Returns (records, snapshots, updates, levels, rows, bytes).\n\n"
        "# Errors\n\n"
        "ValueError with the converter's text; what a file, the iterator or the\n"
        "progress callable raised, unchanged."),
};

}  // namespace

int add_csv_functions(PyObject* module, DataState*) { return add_functions(module, csv_functions); }

}  // namespace halvorn::py::market_data
