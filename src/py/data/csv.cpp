#include "py/data/csv.hpp"

#include <cstring>
#include <optional>
#include <string>

#include "data/csv_convert.hpp"
#include "data/depth_csv.hpp"
#include "data/funding_csv.hpp"
#include "data/mark_csv.hpp"
#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/data/data_state.hpp"
#include "py/data/instrument_arguments.hpp"
#include "py/data/quality_values.hpp"
#include "py/gil.hpp"
#include "py/interruption.hpp"
#include "py/registry.hpp"
#include "py/tick_files.hpp"

namespace halvorn::py::market_data {

namespace {

// The first exception raised by anything a conversion called back into,
// shared by its streams and its progress report.  Once set, every callback
// answers "stop" without touching the interpreter, so no Python code runs
// with an exception pending.
struct Failure {
  PendingException pending;

  bool failed() const { return static_cast<bool>(pending); }
  // Keeps the current exception.  Requires: the lock is held, an exception is set.
  void take() {
    if (!pending) pending = PendingException::fetch();
  }
};

// Runs the interpreter's signal handlers; false (with the failure taken)
// when one raised.
bool signals_ok(Failure& failure) { return !signal_handler_raised(&failure.pending); }

// The files of one stream: an iterator of binary file objects.
class PyFiles {
 public:
  PyFiles(Gil& gil, Failure& failure, Ref iterator, const char* what, Ref buffer)
      : gil_(gil),
        failure_(failure),
        iterator_(std::move(iterator)),
        what_(what),
        buffer_(std::move(buffer)) {}

  data::Input input() { return data::Input{this, next_file, read}; }

 private:
  static bool next_file(void* context, std::string* name) {
    auto* self = static_cast<PyFiles*>(context);
    Locked lock(self->gil_);
    // After a failure the stream must still end in an error, not at its
    // end: a stream that ended would let the conversion finish a file.
    if (self->failure_.failed()) return true;
    if (!self->advance(name)) {
      self->failure_.take();
      return true;
    }
    return self->file_ || self->failure_.failed();
  }

  static std::ptrdiff_t read(void* context, std::uint8_t* buf, std::size_t cap) {
    auto* self = static_cast<PyFiles*>(context);
    Locked lock(self->gil_);
    if (self->failure_.failed() || !self->file_) return -1;
    const std::ptrdiff_t n = self->read_chunk(buf, cap);
    if (n < 0) {
      self->failure_.take();
      return -1;
    }
    return signals_ok(self->failure_) ? n : -1;
  }

  // The next file of the iterator into file_ (empty at the end), its name
  // into `name`.  False with an exception set.
  bool advance(std::string* name) {
    file_ = Ref();
    readinto_ = Ref();
    read_ = Ref();
    if (!signals_ok(failure_)) return true;  // the failure is taken; the stream fails
    Ref file = Ref::steal(python([&] { return PyIter_Next(iterator_.get()); }));
    if (!file) return PyErr_Occurred() == nullptr;
    ++index_;
    Ref readinto_name = Ref::steal(PyUnicode_InternFromString("readinto"));
    Ref read_name = Ref::steal(PyUnicode_InternFromString("read"));
    if (!readinto_name || !read_name ||
        !optional_attribute(file.get(), readinto_name.get(), &readinto_) ||
        (!readinto_ && !optional_attribute(file.get(), read_name.get(), &read_))) {
      return false;
    }
    if (!readinto_ && !read_) {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': file %zu is %.200s, not a binary file object (open(path, "
                   "\"rb\"), gzip.open(path) or ZipFile.open(name))",
                   what_, index_, Py_TYPE(file.get())->tp_name);
      return false;
    }
    if (!name_of(file.get(), name)) return false;
    file_ = std::move(file);
    return true;
  }

  // What error texts call the file: its `name` when that is a path (str,
  // bytes or os.PathLike), else "trades file 2".
  bool name_of(PyObject* file, std::string* name) {
    Ref attr;
    Ref key = Ref::steal(PyUnicode_InternFromString("name"));
    if (!key || !optional_attribute(file, key.get(), &attr)) return false;
    if (attr && (PyUnicode_Check(attr.get()) || PyBytes_Check(attr.get()) ||
                 PyObject_HasAttrString(attr.get(), "__fspath__"))) {
      Ref path = Ref::steal(PyOS_FSPath(attr.get()));
      if (!path) return false;
      if (PyBytes_Check(path.get())) {
        name->assign(PyBytes_AS_STRING(path.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(path.get())));
        return true;
      }
      // Undecodable file names are shown as the file system gave them.
      Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
      if (!bytes) return false;
      name->assign(PyBytes_AS_STRING(bytes.get()),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
      return true;
    }
    *name = std::string(what_) + " file " + std::to_string(index_);
    return true;
  }

  // Up to `cap` bytes of the current file into `buf`: how many, or -1 with
  // an exception set.
  std::ptrdiff_t read_chunk(std::uint8_t* buf, std::size_t cap) {
    const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer_.get()));
    const std::size_t want = cap < size ? cap : size;
    if (readinto_) {
      // A view of our own for each call: the file may release the one it is
      // handed, after which nothing stops it resizing the array beneath.
      Ref whole = Ref::steal(PyMemoryView_FromObject(buffer_.get()));
      if (!whole) return -1;
      Ref target =
          want == size
              ? whole
              : Ref::steal(PySequence_GetSlice(whole.get(), 0, static_cast<Py_ssize_t>(want)));
      if (!target) return -1;
      Ref got =
          Ref::steal(python([&] { return PyObject_CallOneArg(readinto_.get(), target.get()); }));
      if (!got) return -1;
      // Measured again: what was read is copied out of the array as it is
      // now, and a file that shrank it has read into memory we no longer see.
      if (static_cast<std::size_t>(PyByteArray_GET_SIZE(buffer_.get())) != size) {
        PyErr_Format(PyExc_ValueError,
                     "argument '%s': file %zu's readinto resized the buffer it was given", what_,
                     index_);
        return -1;
      }
      if (got.get() == Py_None) {
        PyErr_Format(PyExc_ValueError,
                     "argument '%s': file %zu returned None from readinto: it is non-blocking "
                     "and has no data yet; give a blocking file",
                     what_, index_);
        return -1;
      }
      const Py_ssize_t n = PyLong_AsSsize_t(got.get());
      if (n == -1 && PyErr_Occurred()) return -1;
      if (n < 0 || static_cast<std::size_t>(n) > want) {
        PyErr_Format(PyExc_ValueError,
                     "argument '%s': file %zu's readinto returned %zd for a buffer of %zu bytes",
                     what_, index_, n, want);
        return -1;
      }
      std::memcpy(buf, PyByteArray_AS_STRING(buffer_.get()), static_cast<std::size_t>(n));
      return n;
    }
    Ref got = Ref::steal(python(
        [&] { return PyObject_CallFunction(read_.get(), "n", static_cast<Py_ssize_t>(want)); }));
    if (!got) return -1;
    if (PyUnicode_Check(got.get())) {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': file %zu is open in text mode; open it in binary mode (\"rb\")",
                   what_, index_);
      return -1;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) {
      raise_from_current(PyExc_TypeError, std::string("argument '") + what_ + "': file " +
                                              std::to_string(index_) +
                                              "'s read returned something that is not bytes");
      return -1;
    }
    const std::size_t n = static_cast<std::size_t>(view.len);
    if (n > want) {
      PyBuffer_Release(&view);
      PyErr_Format(PyExc_ValueError,
                   "argument '%s': file %zu's read returned %zu bytes when asked for %zu", what_,
                   index_, n, want);
      return -1;
    }
    std::memcpy(buf, view.buf, n);
    PyBuffer_Release(&view);
    return static_cast<std::ptrdiff_t>(n);
  }

  Gil& gil_;
  Failure& failure_;
  Ref iterator_;
  const char* what_;
  Ref buffer_;  // a bytearray the files read into
  Ref file_;    // the current file; empty before the first and after the last
  Ref readinto_;
  Ref read_;
  std::size_t index_ = 0;  // of the current file, from 1
};

// A progress callable, told (bytes, rows) with the lock held.
struct PyProgress {
  Gil& gil;
  Failure& failure;
  PyObject* callable;  // borrowed; may be null

  static bool report(void* context, std::uint64_t bytes, std::uint64_t rows) {
    auto* self = static_cast<PyProgress*>(context);
    Locked lock(self->gil);
    if (self->failure.failed()) return false;
    Ref b = Ref::steal(PyLong_FromUnsignedLongLong(bytes));
    Ref r = Ref::steal(PyLong_FromUnsignedLongLong(rows));
    Ref answer;
    if (b && r) {
      answer = Ref::steal(python(
          [&] { return PyObject_CallFunctionObjArgs(self->callable, b.get(), r.get(), nullptr); }));
    }
    if (!answer) {
      self->failure.take();
      return false;
    }
    return signals_ok(self->failure);
  }
};

// A chunk's worth of room, as a bytearray.
bool make_buffer(Ref* buffer) {
  *buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, data::MAX_LINE_BYTES));
  return static_cast<bool>(*buffer);
}

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

bool unit_of(PyObject* obj, const char* arg, data::TimeUnit* out) {
  *out = data::TimeUnit::Detect;
  if (obj == nullptr || obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    for (data::TimeUnit u : {data::TimeUnit::Milliseconds, data::TimeUnit::Microseconds,
                             data::TimeUnit::Nanoseconds}) {
      if (PyUnicode_CompareWithASCIIString(obj, data::unit_name(u)) == 0) {
        *out = u;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "argument '%s': unknown time unit %R", arg, obj);
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

bool step_of(PyObject* obj, const char* arg, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected the step as decimal text (\"0.10\"), got %.200s", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  return utf8_of(obj, out);
}

PyObject* convert(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    static const char* kwlist[] = {
        "dest",        "trades",     "quotes",      "layout",       "quote_layout",
        "tick_size",   "lot_size",   "instrument",  "time_unit",    "quote_time_unit",
        "sort_window", "allow_gaps", "round",       "progress",     "progress_bytes",
        "symbol",      "duplicates", "stale_after", "stale_quotes", "outside_bp",
        nullptr};
    Arguments<20> parsed;
    if (!parse_arguments(args, kwds, "OOO|$OOOOOOOOOOOOOOOOO:convert", kwlist, &parsed)) {
      return nullptr;
    }
    // The options before duplicates are required; those after it came later
    // and have defaults.
    for (std::size_t i = 3; i < 16; ++i) {
      if (!parsed.given(i)) {
        PyErr_Format(PyExc_TypeError, "convert() missing required keyword argument: '%s'",
                     kwlist[i]);
        return nullptr;
      }
    }
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
        (outside != nullptr && !basis_points_of(outside, "outside_bp", &options.outside_bp))) {
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
                &definition)) {
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
    static const char* kwlist[] = {
        "dest",  "sources",  "layout",         "tick_size", "lot_size",  "instrument", "time_unit",
        "round", "progress", "progress_bytes", "symbol",    "snapshots", nullptr};
    Arguments<12> parsed;
    if (!parse_arguments(args, kwds, "OO|$OOOOOOOOOO:convert_depth", kwlist, &parsed)) {
      return nullptr;
    }
    // The options before snapshots are required; it came later.
    for (std::size_t i = 2; i < 11; ++i) {
      if (!parsed.given(i)) {
        PyErr_Format(PyExc_TypeError, "convert_depth() missing required keyword argument: '%s'",
                     kwlist[i]);
        return nullptr;
      }
    }
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
        !symbol_of(symbol, "symbol", &options.symbol)) {
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
                &definition)) {
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
    static const char* kwlist[] = {"dest",        "sources",  "layout",         "premium",
                                   "tick_size",   "lot_size", "instrument",     "time_unit",
                                   "round",       "progress", "progress_bytes", "symbol",
                                   "stale_after", nullptr};
    Arguments<13> parsed;
    if (!parse_arguments(args, kwds, "OO|$OOOOOOOOOOO:convert_marks", kwlist, &parsed)) {
      return nullptr;
    }
    // The options before stale_after are required; it came later.
    for (std::size_t i = 2; i < 12; ++i) {
      if (!parsed.given(i)) {
        PyErr_Format(PyExc_TypeError, "convert_marks() missing required keyword argument: '%s'",
                     kwlist[i]);
        return nullptr;
      }
    }
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
        (parsed.given(12) && !to_i64(parsed[12], "stale_after", &options.stale_after))) {
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
    data::InstrumentDefinition definition;
    if (!define(options.instrument, options.symbol, options.tick_size, options.lot_size,
                &definition)) {
      return nullptr;
    }

    Gil gil;
    Failure failure;
    PyFiles files(gil, failure, std::move(iter), "sources", std::move(buffer));
    PyProgress reporter{gil, failure, progress};
    data::Progress report;
    if (progress != Py_None) report = data::Progress{&reporter, PyProgress::report, every_bytes};
    const data::Input input = files.input();
    std::optional<data::MarkConversion> result;
    run_unlocked(gil, [&] { result = data::convert_marks_csv(path, input, options, report); });
    if (failure.failed()) {
      failure.pending.restore();
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
    static const char* kwlist[] = {"files", "ticks", "time_unit", nullptr};
    Arguments<3> parsed;
    if (!parse_arguments(args, kwds, "OO$O:read_funding", kwlist, &parsed)) return nullptr;
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
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rates.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rates.size(); ++i) {
      PyObject* item = Py_BuildValue("(LLL)", static_cast<long long>(rates[i].time),
                                     static_cast<long long>(rates[i].rate),
                                     static_cast<long long>(rates[i].price));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyMethodDef csv_functions[] = {
    {"convert", as_cfunction(convert), METH_VARARGS | METH_KEYWORDS,
     "convert(dest, trades, quotes, *, layout, quote_layout, tick_size, lot_size, instrument, "
     "time_unit, quote_time_unit, sort_window, allow_gaps, round, progress, progress_bytes, "
     "symbol, duplicates='keep', stale_after=60000000000, stale_quotes='clear', "
     "outside_bp=10.0)\n"
     "--\n\n"
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
     "progress callable raised, unchanged."},
    {"read_funding", as_cfunction(read_funding), METH_VARARGS | METH_KEYWORDS,
     "read_funding(files, ticks, *, time_unit)\n--\n\n"
     "Read funding history and price each rate from the tick file `ticks`.\n\n"
     "Returns a list of (time ns, rate billionths, price ticks).\n\n"
     "# Errors\n\n"
     "ValueError with the converter's or the pricing's text."},
    {"convert_marks", as_cfunction(convert_marks), METH_VARARGS | METH_KEYWORDS,
     "convert_marks(dest, sources, *, layout, premium, tick_size, lot_size, instrument, "
     "time_unit, round, progress, progress_bytes, symbol, stale_after=60000000000)\n"
     "--\n\n"
     "Convert mark price klines, premium index klines or derivative ticker files\n"
     "into a mark file at `dest`.\n\n"
     "Returns (records, settlements, rows, bytes, stale_settlements,\n"
     "oldest_mark_ns): the settlements priced at a mark stated more than\n"
     "`stale_after` ns before them, and the oldest such age.\n\n"
     "# Errors\n\n"
     "ValueError with the converter's text; what a file, the iterator or the\n"
     "progress callable raised, unchanged."},
    {"convert_depth", as_cfunction(convert_depth), METH_VARARGS | METH_KEYWORDS,
     "convert_depth(dest, sources, *, layout, tick_size, lot_size, instrument, time_unit, round, "
     "progress, progress_bytes, symbol, snapshots=None)\n"
     "--\n\n"
     "Convert depth CSV files into a depth file at `dest`.\n\n"
     "The file holds the definition it was scaled with: `instrument`, `symbol`\n"
     "(str or None) and the two sizes.\n"
     "`sources` is an iterator of binary file objects, and `snapshots` another\n"
     "or None, merged with it by time; the layout and unit are their full names\n"
     "or None.  Returns (records, snapshots, updates, levels, rows, bytes).\n\n"
     "# Errors\n\n"
     "ValueError with the converter's text; what a file, the iterator or the\n"
     "progress callable raised, unchanged."},
};

}  // namespace

int add_csv_functions(PyObject* module, DataState*) { return add_functions(module, csv_functions); }

}  // namespace halvorn::py::market_data
