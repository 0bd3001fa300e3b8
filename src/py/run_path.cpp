#include "py/run_path.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "backtest/failing_streams.hpp"
#include "backtest/kway_merge.hpp"
#include "backtest/lookahead.hpp"
#include "data/depth_reader.hpp"
#include "data/instrument_block.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/compiled_strategy.hpp"
#include "py/data/slices.hpp"
#include "py/run_checks.hpp"
#include "py/value_class.hpp"
#include "py/values.hpp"
#include "py/venue/compiled_class.hpp"
#include "py/venue/instrument_class.hpp"
#include "py/venue/order_classes.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py {

namespace {

// How a run over a tick input ended besides its result.
struct RunEnd {
  std::optional<data::Error> reader_error;      // the tick file stopped the series
  std::optional<data::DepthError> depth_error;  // the depth file stopped the run
  std::optional<data::MarkError> mark_error;    // the mark file stopped the run
};

// A mark file's records as the run loop takes them.
using MarkPoints = backtest::MarkPoints<data::StreamedMarks, data::MarkRecord>;

// run_stream over `ticks`, with `depth` and the marks (a file's, or
// `points` held in memory when `in_memory`) merged in when there are any.
template <class Driven, class T>
backtest::RunResult run_over(const backtest::RunConfig& config, Driven& driven, T& ticks,
                             std::optional<data::StreamedDepth>& depth,
                             std::optional<data::StreamedMarks>& marks, const RunRequest& request) {
  auto with_marks = [&](auto& points) {
    if (depth) return backtest::run_until_failure(config, driven, ticks, *depth, points);
    backtest::NoDepth none;
    return backtest::run_until_failure(config, driven, ticks, none, points);
  };
  if (marks) {
    MarkPoints points{*marks};
    return with_marks(points);
  }
  if (request.marks_in_memory) {
    backtest::SpanMarks points{request.mark_points};
    return with_marks(points);
  }
  backtest::NoMarks none;
  return with_marks(none);
}

// Runs `driven` over `input` with the lock released and taken back after,
// with the records of the depth file `depth` (when not null) merged in by
// time.  The files are opened first, the lock given up while they may
// block; a failure to open raises "{path}: {error}".  A depth file that
// fails part-way ends the run at the tick that reached the failure: the
// book would lack what the file could not give, so nothing after it is
// worth running.  Returns false with the exception set.
template <class Driven>
bool run_input(const backtest::RunConfig& config, Driven& driven, Gil& gil, const TickInput& input,
               backtest::RunResult* result, RunEnd* end, const RunRequest& request) {
  const market_data::DepthSourceData* depth = request.depth;
  const market_data::MarkSourceData* marks = request.marks;
  std::optional<data::StreamedDepth> streamed;
  if (depth != nullptr) {
    std::optional<data::DepthOpened> opened;
    run_unlocked(gil, [&] { opened = market_data::open_depth(*depth); });
    if (!opened) {
      market_data::raise_changed_depth(*depth);
      return false;
    }
    if (const auto* error = std::get_if<data::DepthError>(&*opened)) {
      market_data::raise_depth_file_error(*depth, *error);
      return false;
    }
    streamed.emplace(std::move(std::get<data::DepthReader>(*opened)));
  }
  std::optional<data::StreamedMarks> marked;
  if (marks != nullptr) {
    std::optional<data::MarkOpened> opened;
    run_unlocked(gil, [&] { opened = market_data::open_marks(*marks); });
    if (!opened) {
      market_data::raise_changed_marks(*marks);
      return false;
    }
    if (const auto* error = std::get_if<data::MarkError>(&*opened)) {
      market_data::raise_mark_file_error(*marks, *error);
      return false;
    }
    marked.emplace(std::move(std::get<data::MarkReader>(*opened)));
  }
  if (const auto* series = std::get_if<TickArray>(&input)) {
    backtest::SpanTicks source{*series};
    driven.limit_series(series->size());
    run_unlocked(gil,
                 [&] { *result = run_over(config, driven, source, streamed, marked, request); });
  } else {
    const TickSourceData& file = *std::get<const TickSourceData*>(input);
    std::optional<data::StreamedTicks> source;
    bool changed = false;
    run_unlocked(gil, [&] {
      std::optional<data::Opened> opened = open_source(file, driven.read_hooks());
      if (!opened) {
        changed = true;
        return;
      }
      if (auto* reader = std::get_if<data::TickReader>(&*opened)) {
        driven.limit_series(reader->records());
        source.emplace(std::move(*reader));
        *result = run_over(config, driven, *source, streamed, marked, request);
      } else if (auto* error = std::get_if<data::Error>(&*opened)) {
        end->reader_error = *error;
      }
    });
    if (!source) {
      // The file did not open: no strategy method has been called.  An
      // interruption while it opened is the adapter's to raise.
      if (changed) {
        raise_changed_file(file);
      } else if (driven.interrupt()) {
        driven.interrupt().restore();
      } else {
        raise_tick_file_error(file, *end->reader_error);
      }
      return false;
    }
    if (source->error()) end->reader_error = *source->error();
  }
  if (streamed && streamed->error()) end->depth_error = *streamed->error();
  if (marked && marked->error()) end->mark_error = *marked->error();
  return true;
}

// Raises what stopped a finished run, in order of precedence: an interrupt
// (raised unchanged), the strategy's failure, the tick file's error, the
// depth file's error.  Returns true when something was raised.
template <class Driven>
bool raise_run_end(Driven& driven, const backtest::RunResult& result, const RunEnd& end) {
  if (driven.interrupt()) {
    driven.interrupt().restore();
    return true;
  }
  if (driven.failure()) {
    driven.failure().raise("the strategy failed during the run: ");
    return true;
  }
  if (end.reader_error) {
    raise_message(
        PyExc_ValueError,
        "the tick file stopped the run after " + std::to_string(result.ticks) + " ticks: ",
        end.reader_error->display());
    return true;
  }
  if (end.depth_error) {
    raise_message(
        PyExc_ValueError,
        "the depth file stopped the run after " + std::to_string(result.ticks) + " ticks: ",
        end.depth_error->display());
    return true;
  }
  if (end.mark_error) {
    raise_message(
        PyExc_ValueError,
        "the mark file stopped the run after " + std::to_string(result.ticks) + " ticks: ",
        end.mark_error->display());
    return true;
  }
  return false;
}

// Ticks recorded for another instrument would fill a venue's orders at
// another market's prices.  A list carries no instrument and is taken as
// the venue's.
// The venue a run trades on: the one given, with what a tick file says of
// its instrument.  A file for another instrument id is refused; a file that
// defines its sizes must agree with the venue's Instrument, or with a
// contract size written out; a venue given neither takes the file's
// definition, so that a file converted with a tick of 0.01 is not valued as
// if its tick were 0.1.
bool venue_of_input(const TickInput& input, const venue::VenueConfig& given,
                    venue::VenueConfig* out) {
  *out = given;
  const auto* file = std::get_if<const TickSourceData*>(&input);
  if (file == nullptr) return true;
  const TickSourceData& source = **file;
  if (source.instrument != given.instrument) {
    PyErr_Format(
        PyExc_ValueError,
        "the tick file %R is for instrument %llu, and the venue trades instrument %lu: give "
        "Venue(instrument=%llu) or the file of instrument %lu",
        source.path.get(), static_cast<unsigned long long>(source.instrument),
        static_cast<unsigned long>(given.instrument),
        static_cast<unsigned long long>(source.instrument),
        static_cast<unsigned long>(given.instrument));
    return false;
  }
  if (!source.definition) return true;
  const data::InstrumentDefinition& file_def = *source.definition;
  const std::string file_text = venue::instrument_text(file_def);
  if (given.definition) {
    const data::InstrumentDefinition& venue_def = *given.definition;
    const bool same_symbol =
        file_def.symbol.empty() || venue_def.symbol.empty() || file_def.symbol == venue_def.symbol;
    if (data::same_size(venue_def.tick_size, file_def.tick_size) &&
        data::same_size(venue_def.lot_size, file_def.lot_size)) {
      if (same_symbol) return true;
      // Equal sizes are no equal market: another symbol's prices would fill
      // this one's orders.
      return check_file_instrument("the tick file", source.path.get(), file_def, given);
    }
    const std::string venue_text = venue::instrument_text(venue_def);
    PyErr_Format(PyExc_ValueError,
                 "the tick file %R was converted for %s, with a tick of %s and a lot of %s, and "
                 "the venue trades %s, with a tick of %s and a lot of %s: its prices and "
                 "quantities would mean other amounts; convert the file with the venue's sizes "
                 "or give the venue the file's instrument",
                 source.path.get(), file_text.c_str(), file_def.tick_size.text.c_str(),
                 file_def.lot_size.text.c_str(), venue_text.c_str(),
                 venue_def.tick_size.text.c_str(), venue_def.lot_size.text.c_str());
    return false;
  }
  const data::ContractSize size = data::contract_size(file_def);
  if (size.fault != data::ContractFault::None) {
    const std::string why = data::describe(size.fault, file_def.tick_size, file_def.lot_size);
    PyErr_Format(PyExc_ValueError, "the tick file %R defines %s: %s", source.path.get(),
                 file_text.c_str(), why.c_str());
    return false;
  }
  if (given.contract_size_given && given.contract_size != size.cash) {
    PyErr_Format(PyExc_ValueError,
                 "the tick file %R was converted for %s, whose contract size is %s (one tick of "
                 "%s on one lot of %s), and the venue's contract_size is %s: leave contract_size "
                 "out, or give Venue(instrument=...) the instrument the file was converted for",
                 source.path.get(), file_text.c_str(), grouped(size.cash).c_str(),
                 file_def.tick_size.text.c_str(), file_def.lot_size.text.c_str(),
                 grouped(given.contract_size).c_str());
    return false;
  }
  out->definition = file_def;
  out->contract_size = size.cash;
  return true;
}

// Whether `obj` holds columns as users hold them (a pandas DataFrame, a
// dict of arrays, a NumPy structured array): 1 or 0, or -1 with the
// exception set.
int is_frame(PyObject* obj) {
  Ref frames = Ref::steal(PyImport_ImportModule("halvorn._tick_frames"));
  if (!frames) return -1;
  Ref is = Ref::steal(PyObject_CallMethod(frames.get(), "is_frame", "O", obj));
  return is ? PyObject_IsTrue(is.get()) : -1;
}

// Records made in Python from columns as users hold them (a pandas
// DataFrame, a dict of arrays, a NumPy structured array): `function` of the
// module `module` is called with `obj` and the venue's Instrument (None when
// it has none), scales float and decimal columns exactly with it, and
// returns records laid out as `Array`'s elements, which are copied once.
// False with the exception set.
template <class Array>
bool records_from_frame(const RunRequest& request, const char* module, const char* function,
                        PyObject* obj, Array* out) {
  using Record = typename Array::value_type;
  Ref frames = Ref::steal(PyImport_ImportModule(module));
  if (!frames) return false;
  Ref instrument =
      request.venue->definition
          ? Ref::steal(venue::new_instrument(request.venue_module, *request.venue->definition))
          : Ref::borrow(Py_None);
  if (!instrument) return false;
  Ref records =
      Ref::steal(PyObject_CallMethod(frames.get(), function, "OO", obj, instrument.get()));
  if (!records) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(records.get(), &view, PyBUF_C_CONTIGUOUS) < 0) return false;
  const auto bytes = static_cast<std::size_t>(view.len);
  if (bytes % sizeof(Record) != 0) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError, "records are not whole %zu-byte records", sizeof(Record));
    return false;
  }
  Array series(bytes / sizeof(Record));
  if (bytes != 0) std::memcpy(series.data(), view.buf, bytes);
  PyBuffer_Release(&view);
  *out = std::move(series);
  return true;
}

// The ticks of a run.  The venue's protocol also takes ticks as users hold
// them in columns: halvorn._tick_frames turns them into tick records, and
// the records are copied once into the run's series, as a list's ticks are.
bool resolve_input(const RunRequest& request, PyObject* ticks, TickInput* out) {
  const bool plain = !request.venue_protocol() || PyList_Check(ticks) || PyTuple_Check(ticks) ||
                     is_tick_source(request.core, ticks);
  if (plain) return resolve_ticks(request.core, ticks, out);
  const int frame = is_frame(ticks);
  if (frame < 0) return false;
  if (frame == 0) return resolve_ticks(request.core, ticks, out);
  TickArray series;
  if (!records_from_frame(request, "halvorn._tick_frames", "tick_records", ticks, &series)) {
    return false;
  }
  *out = std::move(series);
  return true;
}

std::uint64_t length_of(const TickInput& input) {
  if (const auto* series = std::get_if<TickArray>(&input)) return series->size();
  return std::get<const TickSourceData*>(input)->count;
}

// The parts of the adapter that drives `strategy` with `batch`, by the
// protocol of the request.  False with the exception set when looking a
// hook up or resolving the progress argument raised.
bool adapter_parts(const RunRequest& request, PyObject* strategy, std::uint64_t batch,
                   std::uint64_t ticks, AdapterParts* out) {
  const venue::VenueState* v = request.venue_module;
  if (v == nullptr) {
    *out = AdapterParts{Cadence(request.core, batch),
                        Feedback(),
                        RunProgress(),
                        RequestTypes{},
                        false,
                        PortfolioView(),
                        RunInstruments()};
    return true;
  }
  Ref on_columns;
  if (batch > 1 && !optional_attribute(strategy, v->str_on_columns, &on_columns)) return false;
  Feedback feedback;
  if (!Feedback::of(v, strategy, &feedback)) return false;
  RunProgress progress;
  if (!RunProgress::of(request.progress, ticks, &progress)) return false;
  *out = AdapterParts{
      Cadence(request.core, batch, std::move(on_columns), v->tick_batch_type, v->column_type),
      std::move(feedback),
      std::move(progress),
      venue::venue_requests(v, request.venue->hedge),
      request.flush,
      PortfolioView(),
      RunInstruments()};
  out->cadence.set_instrument(request.venue->instrument);
  return out->instruments.add(v, InstrumentId{request.venue->instrument},
                              request.venue->definition);
}

// Whether `strategy` is a venue.Compiled, which the venue's protocol runs
// without the interpreter.
bool is_compiled(const RunRequest& request, PyObject* strategy) {
  return request.venue_protocol() && Py_IS_TYPE(strategy, request.venue_module->compiled_type);
}

// The parts of the adapter of a compiled strategy: its function, its object
// and its state, held for the run.  False with the exception set.
bool compiled_parts(const RunRequest& request, PyObject* compiled, std::uint64_t batch,
                    CompiledParts* out) {
  const venue::CompiledValue& value = venue::compiled_value(compiled);
  if (!out->state.hold(value.state.get())) return false;
  out->function = value.function;
  out->object = Ref::borrow(compiled);
  out->name = value.name;
  out->capacity = value.capacity;
  out->fill_words = value.fill_words;
  out->batch = batch;
  return true;
}

// A run of a compiled strategy: the same road as a Python one, with the
// interpreter lock released from the first tick to the last.
bool run_compiled(const RunRequest& request, PyObject* compiled, const TickInput& input,
                  backtest::RunResult* out) {
  if (request.progress != nullptr && request.progress != Py_None) {
    PyErr_SetString(PyExc_ValueError,
                    "progress is not reported for a compiled strategy, which runs without the "
                    "interpreter; give progress=None");
    return false;
  }
  if (request.flush) {
    PyErr_SetString(PyExc_ValueError,
                    "flush is not taken by a compiled strategy, which runs without the "
                    "interpreter and is handed its batches as they fill; give flush=False");
    return false;
  }
  CompiledParts parts;
  if (!compiled_parts(request, compiled, request.batch, &parts)) return false;
  Gil gil;
  CompiledDriven driven(gil, std::move(parts));
  const backtest::RunConfig config =
      request.venue->run_config(request.balance, request.equity_every);
  RunEnd end;
  const bool ran = run_input(config, driven, gil, input, out, &end, request);
  return ran && !raise_run_end(driven, *out, end);
}

// The strategy of one rerun of the lookahead check: the adapter of a Python
// object or of a compiled function, whichever the build returned.
class EitherDriven {
 public:
  explicit EitherDriven(PyDriven driven) : driven_(std::move(driven)) {}
  explicit EitherDriven(CompiledDriven driven) : driven_(std::move(driven)) {}

  void on_tick(const strategy::TickContext& context, std::vector<strategy::Intent>& intents) {
    std::visit([&](auto& d) { d.on_tick(context, intents); }, driven_);
  }
  std::string_view name() const {
    return std::visit([](const auto& d) { return d.name(); }, driven_);
  }
  bool halted() const {
    return std::visit([](const auto& d) { return d.halted(); }, driven_);
  }
  void on_run_end() {
    std::visit([](auto& d) { strategy::notify_run_end(d); }, driven_);
  }
  void on_fills(std::span<const Fill> fills) {
    std::visit([&](auto& d) { strategy::notify_fills(d, fills); }, driven_);
  }
  void on_endings(std::span<const strategy::OrderEnding> endings) {
    std::visit([&](auto& d) { strategy::notify_endings(d, endings); }, driven_);
  }
  void on_venue_closed(std::span<const strategy::VenueClosed> closes) {
    std::visit([&](auto& d) { strategy::notify_venue_closed(d, closes); }, driven_);
  }

 private:
  std::variant<PyDriven, CompiledDriven> driven_;
};

// ---------------------------------------------------------------------------
// Portfolios: a dict of symbol to ticks, one account

// Whether `ticks` is a portfolio: a dict of symbol to ticks.  A dict with an
// exch_ts key is one series given as columns.  -1 with the exception set.
int is_portfolio(PyObject* ticks) {
  if (!PyDict_Check(ticks)) return 0;
  Ref key = Ref::steal(PyUnicode_FromString("exch_ts"));
  if (!key) return -1;
  const int columns = PyDict_Contains(ticks, key.get());
  return columns < 0 ? -1 : !columns;
}

// A dict's (key, value) pairs as a tuple of its own, which no Python code
// can empty while they are converted.  Null with the exception set.
Ref items_of(PyObject* dict) {
  Ref list = Ref::steal(PyDict_Items(dict));
  return list ? Ref::steal(PyList_AsTuple(list.get())) : Ref();
}

// One instrument's series in a portfolio run: in memory, or a tick file
// being streamed.
struct LegTicks {
  backtest::SpanTicks span;
  data::StreamedTicks* file = nullptr;

  bool next(engine::Tick& out) { return file != nullptr ? file->next(out) : span.next(out); }
  const engine::Tick* next_in_place() {
    return file != nullptr ? file->next_in_place() : span.next_in_place();
  }
  std::size_t in_place() const { return file != nullptr ? file->in_place() : span.in_place(); }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return file != nullptr ? file->peek_in_place(n) : span.peek_in_place(n);
  }
  void skip_in_place(std::size_t k) {
    if (file != nullptr) {
      file->skip_in_place(k);
    } else {
      span.skip_in_place(k);
    }
  }
};

// A portfolio's instruments once its arguments are converted, in the order
// the dict gave them: instrument id i + 1 is legs[i].
struct PortfolioInput {
  std::vector<venue::InstrumentLeg> legs;
  std::vector<TickInput> inputs;
  // Each instrument's depth file, or null; empty when none has one.
  std::vector<const market_data::DepthSourceData*> depth;
  // Each instrument's mark file, or null; empty when none has one.
  std::vector<const market_data::MarkSourceData*> marks;
};

// The index of the leg `symbol` names, or legs.size() for none; -1 with the
// exception set when comparing raised.
Py_ssize_t leg_of(const PortfolioInput& p, PyObject* symbol) {
  for (std::size_t i = 0; i < p.legs.size(); ++i) {
    const int same = PyObject_RichCompareBool(symbol, p.legs[i].symbol.get(), Py_EQ);
    if (same < 0) return -1;
    if (same > 0) return static_cast<Py_ssize_t>(i);
  }
  return static_cast<Py_ssize_t>(p.legs.size());
}

// The mark files of a portfolio (a dict of symbol to MarkSource), each
// checked as a run of one instrument checks its own: mark prices, not a
// premium index, of the instrument they are given for.
bool resolve_marks(PyObject* given, PortfolioInput* p) {
  Ref items = items_of(given);
  if (!items) return false;
  p->marks.assign(p->legs.size(), nullptr);
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), k);
    PyObject* symbol = PyTuple_GET_ITEM(item, 0);
    const Py_ssize_t at = leg_of(*p, symbol);
    if (at < 0) return false;
    if (static_cast<std::size_t>(at) == p->legs.size()) {
      PyErr_Format(PyExc_ValueError,
                   "marks are given for %R, which the portfolio does not trade: give marks for "
                   "instruments with ticks",
                   symbol);
      return false;
    }
    const market_data::MarkSourceData* marks = nullptr;
    if (!market_data::mark_source_of(PyTuple_GET_ITEM(item, 1), "marks", &marks)) return false;
    if (marks->kind != data::MarkKind::Price) {
      PyErr_Format(PyExc_ValueError,
                   "the mark file %R given for %R holds a premium index, not mark prices",
                   marks->path.get(), symbol);
      return false;
    }
    const venue::VenueConfig& v = p->legs[static_cast<std::size_t>(at)].venue;
    if (!check_file_instrument("the mark file", marks->path.get(),
                               mark_file_definition(marks->fs_path), v, symbol)) {
      return false;
    }
    p->marks[static_cast<std::size_t>(at)] = marks;
  }
  return true;
}

// The depth files of a portfolio (a dict of symbol to DepthSource), each
// checked against its instrument: only tier L2 keeps a book, and a file
// that defines another instrument would price this one's fills from a
// market it never saw.  False with the exception set.
bool resolve_depths(PyObject* given, PortfolioInput* p) {
  Ref items = items_of(given);
  if (!items) return false;
  p->depth.assign(p->legs.size(), nullptr);
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), k);
    PyObject* symbol = PyTuple_GET_ITEM(item, 0);
    const Py_ssize_t found = leg_of(*p, symbol);
    if (found < 0) return false;
    const auto at = static_cast<std::size_t>(found);
    if (at == p->legs.size()) {
      PyErr_Format(PyExc_ValueError,
                   "depth is given for %R, which the portfolio does not trade: give depth for "
                   "instruments with ticks",
                   symbol);
      return false;
    }
    const market_data::DepthSourceData* depth = nullptr;
    if (!market_data::depth_source_of(PyTuple_GET_ITEM(item, 1), "depth", &depth)) return false;
    const venue::VenueConfig& v = p->legs[at].venue;
    if (!std::holds_alternative<core::Tier::L2>(v.tier.kind)) {
      PyErr_Format(PyExc_ValueError,
                   "depth is read only by tier L2, and the venue of %R is of tier %s: give it "
                   "Venue(tier=L2(...)) or leave its depth out",
                   symbol, v.tier.name());
      return false;
    }
    if (!check_file_instrument("the depth file", depth->path.get(),
                               depth_file_definition(depth->fs_path), v, symbol)) {
      return false;
    }
    p->depth[at] = depth;
  }
  return true;
}

// What belongs to the account rather than to an instrument has to be the
// same on every instrument's venue.
bool same_account(const PortfolioInput& p) {
  const venue::VenueConfig& first = p.legs.front().venue;
  for (const venue::InstrumentLeg& leg : p.legs) {
    const venue::VenueConfig& v = leg.venue;
    const char* field = v.hedge != first.hedge                     ? "hedge"
                        : v.enforce_margin != first.enforce_margin ? "enforce_margin"
                        : v.track_margin != first.track_margin     ? "track_margin"
                        : v.resting != first.resting               ? "resting_fills"
                        : v.triggered != first.triggered           ? "triggered_fills"
                                                                   : nullptr;
    if (field != nullptr) {
      PyErr_Format(PyExc_ValueError,
                   "%s belongs to the account, which the instruments of a portfolio share, and "
                   "the venues of %R and %R differ in it: give every instrument's Venue the same "
                   "%s",
                   field, p.legs.front().symbol.get(), leg.symbol.get(), field);
      return false;
    }
  }
  return true;
}

// Converts a portfolio's ticks (a dict of symbol to ticks) and venues (the
// request's one venue for every instrument, or its dict of symbol to
// Venue).  Refused before the run: a symbol that is not a str, an
// instrument with ticks and no venue or a venue and no ticks, one without
// a definition (its sizes make its money), a series whose definition names
// another symbol, and venues that disagree on the account.
bool resolve_portfolio(const RunRequest& request, PyObject* ticks, PortfolioInput* out) {
  // Private copies: converting a value runs Python code, which may change
  // the dicts it came from (and could empty a list of their items).
  Ref items = items_of(ticks);
  Ref venues = request.venues != nullptr ? Ref::steal(PyDict_Copy(request.venues)) : Ref();
  if (!items || (request.venues != nullptr && !venues)) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "a portfolio needs the ticks of at least one instrument: give "
                    "{symbol: ticks, ...}");
    return false;
  }
  if (static_cast<std::uint64_t>(n) > UINT32_MAX - 1) {
    PyErr_SetString(PyExc_ValueError, "a portfolio holds fewer than 2**32 instruments");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    Ref symbol = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    Ref value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    if (!PyUnicode_Check(symbol.get())) {
      PyErr_Format(PyExc_TypeError,
                   "the ticks of a portfolio are a dict of symbol (a str) to ticks; got the key "
                   "%R",
                   symbol.get());
      return false;
    }
    const venue::VenueConfig* config = request.venue;
    Ref held;  // the Venue `config` lies in, for this instrument's conversion
    if (venues) {
      PyObject* given = PyDict_GetItemWithError(venues.get(), symbol.get());
      if (given == nullptr) {
        if (!PyErr_Occurred()) {
          PyErr_Format(PyExc_ValueError,
                       "%R has ticks and no venue: give venue={..., %R: Venue(...)}", symbol.get(),
                       symbol.get());
        }
        return false;
      }
      held = Ref::borrow(given);
      if (!venue::venue_config(const_cast<venue::VenueState*>(request.venue_module), held.get(),
                               &config)) {
        return false;
      }
      if (PyDict_DelItem(venues.get(), symbol.get()) < 0) return false;
    }
    RunRequest one = request;
    one.venue = config;
    TickInput input;
    if (!resolve_input(one, value.get(), &input)) return false;
    // A portfolio numbers its instruments itself; a file's own id says
    // nothing about which of them it holds, its definition does.
    venue::VenueConfig given = *config;
    if (const auto* file = std::get_if<const TickSourceData*>(&input)) {
      given.instrument = static_cast<std::uint32_t>((*file)->instrument);
    }
    venue::VenueConfig used;
    if (!venue_of_input(input, given, &used)) return false;
    if (!used.definition) {
      PyErr_Format(PyExc_ValueError,
                   "%R has no Instrument: the instruments of a portfolio differ in their tick "
                   "and lot sizes, so give its Venue(instrument=Instrument(...)) or ticks from a "
                   "file converted with its symbol",
                   symbol.get());
      return false;
    }
    std::string text;
    if (!utf8_of(symbol.get(), &text)) return false;
    if (used.definition->symbol != text) {
      PyErr_Format(PyExc_ValueError, "the ticks given as %R are of %s: give them as %s's",
                   symbol.get(), venue::instrument_text(*used.definition).c_str(),
                   used.definition->symbol.c_str());
      return false;
    }
    used.instrument = static_cast<std::uint32_t>(i + 1);
    out->legs.push_back(venue::InstrumentLeg{symbol, std::move(used)});
    out->inputs.push_back(std::move(input));
  }
  if (venues && PyDict_GET_SIZE(venues.get()) > 0) {
    Py_ssize_t at = 0;
    PyObject *key, *unused;
    PyDict_Next(venues.get(), &at, &key, &unused);
    PyErr_Format(PyExc_ValueError, "%R is configured and given no ticks: give ticks={..., %R: ...}",
                 key, key);
    return false;
  }
  return same_account(*out);
}

// The run configuration of a portfolio: the account from the first leg,
// each instrument from its own (numbered 1, 2, ... as the legs are).
backtest::RunConfig portfolio_config(const PortfolioInput& p, Cash balance,
                                     std::uint64_t equity_every) {
  backtest::RunConfig config = p.legs.front().venue.run_config(balance, equity_every);
  for (std::size_t i = 1; i < p.legs.size(); ++i) {
    config.instruments.push_back(p.legs[i].venue.instrument_config());
  }
  return config;
}

std::vector<Ref> symbols_of(const PortfolioInput& p) {
  std::vector<Ref> symbols;
  for (const venue::InstrumentLeg& leg : p.legs) symbols.push_back(leg.symbol);
  return symbols;
}

// What a portfolio's strategy is shown of its instruments: the positions
// and symbols, and each instrument's Instrument, by id and by symbol.
bool portfolio_parts(const RunRequest& request, const PortfolioInput& p, AdapterParts* parts) {
  parts->instruments = RunInstruments();
  for (const venue::InstrumentLeg& leg : p.legs) {
    if (!parts->instruments.add(request.venue_module, InstrumentId{leg.venue.instrument},
                                leg.venue.definition)) {
      return false;
    }
  }
  const std::vector<Ref> symbols = symbols_of(p);
  Ref mapping = Ref::steal(parts->instruments.by_symbol(symbols));
  if (!mapping || !PortfolioView::of(request.venue_module, symbols, &parts->portfolio)) {
    return false;
  }
  parts->portfolio.set_instruments(std::move(mapping));
  return true;
}

// Opens a depth or mark file for a run into `opened`; false for a slice
// whose file has changed since it was made.
bool open_for_run(const market_data::DepthSourceData& depth,
                  std::optional<data::DepthOpened>& opened) {
  opened = market_data::open_depth(depth);
  return opened.has_value();
}
bool open_for_run(const market_data::MarkSourceData& marks,
                  std::optional<data::MarkOpened>& opened) {
  opened = market_data::open_marks(marks);
  return opened.has_value();
}
// Raises what open_for_run found: a slice whose file changed.
void raise_changed(const market_data::DepthSourceData& depth) {
  market_data::raise_changed_depth(depth);
}
void raise_changed(const market_data::MarkSourceData& marks) {
  market_data::raise_changed_marks(marks);
}

// Opens the file each instrument has of one kind (null: none) with the
// interpreter lock released: `streams[i]` streams instrument i + 1's, and
// `ids` lists the instruments that have one, in order.  False with the
// exception set, by `raise`, when one does not open.
template <class Reader, class Error, class Streamed, class Given, class Raise>
bool open_each(Gil& gil, const std::vector<const Given*>& given,
               std::vector<std::optional<Streamed>>& streams, std::vector<InstrumentId>& ids,
               Raise raise) {
  streams.resize(given.size());
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (given[i] == nullptr) continue;
    std::optional<decltype(Reader::open(given[i]->fs_path))> opened;
    bool changed = false;
    run_unlocked(gil, [&] { changed = !open_for_run(*given[i], opened); });
    if (changed) {
      raise_changed(*given[i]);
      return false;
    }
    if (const auto* error = std::get_if<Error>(&*opened)) {
      raise(*given[i], *error);
      return false;
    }
    streams[i].emplace(std::move(std::get<Reader>(*opened)));
    ids.push_back(InstrumentId{static_cast<std::uint32_t>(i + 1)});
  }
  return true;
}

// Runs `driven` over the merged series of `p`, with the lock released; the
// files are opened first.  False with the exception set when one does not
// open.
bool run_merged(const backtest::RunConfig& config, PyDriven& driven, Gil& gil,
                const PortfolioInput& p, std::uint64_t batch, backtest::RunResult* result,
                RunEnd* end) {
  const std::size_t n = p.inputs.size();
  std::vector<std::optional<data::StreamedTicks>> files(n);
  std::vector<LegTicks> legs(n);
  std::uint64_t total = 0;
  const std::size_t file_count = static_cast<std::size_t>(std::count_if(
      p.inputs.begin(), p.inputs.end(),
      [](const TickInput& input) { return !std::holds_alternative<TickArray>(input); }));
  const std::size_t block_records = backtest::merge_read_records(file_count, data::BLOCK_RECORDS);
  for (std::size_t i = 0; i < n; ++i) {
    if (const auto* series = std::get_if<TickArray>(&p.inputs[i])) {
      legs[i].span = backtest::SpanTicks{*series};
      total += series->size();
      continue;
    }
    const TickSourceData& file = *std::get<const TickSourceData*>(p.inputs[i]);
    std::optional<data::Opened> opened;
    run_unlocked(gil, [&] { opened = open_source(file, driven.read_hooks(), block_records); });
    if (!opened) {
      raise_changed_file(file);
      return false;
    }
    // A file that did not open, or an open a Ctrl-C cut short (a pipe that
    // waits for its writer): the interrupt is the adapter's to raise.
    auto* reader = std::get_if<data::TickReader>(&*opened);
    if (reader == nullptr) {
      if (driven.interrupt()) {
        driven.interrupt().restore();
      } else if (const auto* error = std::get_if<data::Error>(&*opened)) {
        raise_tick_file_error(file, *error);
      } else {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
      }
      return false;
    }
    total += reader->records();
    files[i].emplace(std::move(*reader));
    legs[i].file = &*files[i];
  }
  std::vector<LegTicks*> sources;
  std::vector<InstrumentId> ids;
  for (std::size_t i = 0; i < n; ++i) {
    sources.push_back(&legs[i]);
    ids.push_back(InstrumentId{static_cast<std::uint32_t>(i + 1)});
  }
  // Each instrument's depth, merged by time, each record for its holding.
  std::vector<std::optional<data::StreamedDepth>> depth_files;
  std::vector<InstrumentId> depth_ids;
  if (!open_each<data::DepthReader, data::DepthError>(gil, p.depth, depth_files, depth_ids,
                                                      market_data::raise_depth_file_error)) {
    return false;
  }
  std::vector<data::StreamedDepth*> depth_sources;
  for (auto& file : depth_files) {
    if (file) depth_sources.push_back(&*file);
  }
  // And each instrument's marks.
  std::vector<std::optional<data::StreamedMarks>> mark_files;
  std::vector<InstrumentId> mark_ids;
  if (!open_each<data::MarkReader, data::MarkError>(gil, p.marks, mark_files, mark_ids,
                                                    market_data::raise_mark_file_error)) {
    return false;
  }
  std::vector<MarkPoints> mark_points;
  mark_points.reserve(mark_files.size());
  for (auto& file : mark_files) {
    if (file) mark_points.push_back(MarkPoints{*file});
  }
  std::vector<MarkPoints*> mark_sources;
  for (MarkPoints& m : mark_points) mark_sources.push_back(&m);
  driven.limit_series(total);
  backtest::MergedTicks<LegTicks> merged(std::move(sources), ids, backtest::merge_block(batch));
  auto run = [&](auto& depth, auto& marks) {
    run_unlocked(
        gil, [&] { *result = backtest::run_until_failure(config, driven, merged, depth, marks); });
  };
  // The marks merged in when there are any, else none at no cost a tick.
  auto with_marks = [&](auto& depth) {
    if (mark_sources.empty()) {
      backtest::NoMarks none;
      run(depth, none);
    } else {
      backtest::MergedMarks<MarkPoints> marks(std::move(mark_sources), std::move(mark_ids));
      run(depth, marks);
    }
  };
  if (depth_sources.empty()) {
    backtest::NoDepth none;
    with_marks(none);
  } else {
    backtest::MergedDepth<data::StreamedDepth> depth(std::move(depth_sources),
                                                     std::move(depth_ids));
    with_marks(depth);
    if (depth.error()) end->depth_error = *depth.error();
  }
  for (const auto& file : files) {
    if (file && file->error() && !end->reader_error) end->reader_error = *file->error();
  }
  for (const auto& file : mark_files) {
    if (file && file->error() && !end->mark_error) end->mark_error = *file->error();
  }
  return true;
}

// Hands the adapter's tags over, closes its progress bar and raises what
// stopped the run.  `ran` is whether the run itself got going.
bool finish_run(PyDriven& driven, bool ran, backtest::RunResult* out, const RunEnd& end) {
  out->order_tags = driven.take_tags();
  // A bar is closed whatever happened; an exception already set wins.
  PendingException pending = PyErr_Occurred() ? PendingException::fetch() : PendingException{};
  const bool closed = driven.close_progress();
  if (pending) {
    PyErr_Clear();
    pending.restore();
  } else if (!closed) {
    return false;
  }
  return ran && !raise_run_end(driven, *out, end);
}

bool run_portfolio(const RunRequest& request, PyObject* strategy, PyObject* ticks,
                   backtest::RunResult* out, venue::VenueConfig* used,
                   std::vector<venue::InstrumentLeg>* legs_out) {
  if (is_compiled(request, strategy)) {
    PyErr_SetString(PyExc_ValueError,
                    "a compiled strategy trades one instrument; run a portfolio with a Python "
                    "strategy");
    return false;
  }
  if (request.depth != nullptr || request.marks != nullptr || request.marks_in_memory) {
    PyErr_SetString(PyExc_ValueError,
                    request.depth != nullptr
                        ? "a portfolio's depth is a dict of symbol to DepthSource, for its "
                          "instruments on L2"
                        : "a portfolio's marks are a dict of symbol to MarkSource");
    return false;
  }
  if (!check_cadence(strategy, request.batch, true)) return false;
  PortfolioInput p;
  if (!resolve_portfolio(request, ticks, &p)) return false;
  if (request.depths != nullptr && !resolve_depths(request.depths, &p)) return false;
  if (request.mark_files != nullptr && !resolve_marks(request.mark_files, &p)) return false;
  for (std::size_t i = 0; i < p.legs.size(); ++i) {
    if (!warn_before_run(p.inputs[i], p.legs[i].venue, p.marks.empty() ? nullptr : p.marks[i],
                         p.legs[i].symbol.get())) {
      return false;
    }
  }
  RunRequest first = request;
  first.venue = &p.legs.front().venue;
  std::uint64_t total = 0;
  for (const TickInput& input : p.inputs) total += length_of(input);
  AdapterParts parts;
  if (!adapter_parts(first, strategy, request.batch, total, &parts)) return false;
  if (!portfolio_parts(request, p, &parts)) return false;
  Gil gil;
  PyDriven driven(gil, Ref::borrow(strategy), strategy_name(strategy), std::move(parts));
  const backtest::RunConfig config = portfolio_config(p, request.balance, request.equity_every);
  RunEnd end;
  const bool ran = run_merged(config, driven, gil, p, request.batch, out, &end);
  if (used != nullptr) *used = p.legs.front().venue;
  if (legs_out != nullptr) *legs_out = p.legs;
  return finish_run(driven, ran, out, end);
}

}  // namespace

int mark_frame(PyObject* marks, RunRequest* request) {
  const int frame = is_frame(marks);
  if (frame <= 0) return frame;
  if (!records_from_frame(*request, "halvorn._mark_frames", "mark_points", marks,
                          &request->mark_points)) {
    return -1;
  }
  request->marks_in_memory = true;
  return 1;
}

bool check_cadence(PyObject* strategy, std::uint64_t batch, bool columns) {
  if (batch == 0) {
    PyErr_SetString(PyExc_ValueError, "batch must be at least 1; 1 is compatibility mode");
    return false;
  }
  const char* method = batch == 1 ? "on_tick" : "on_batch";
  int has = has_attribute(strategy, method);
  if (has == 0 && batch > 1 && columns) has = has_attribute(strategy, "on_columns");
  if (has < 0) return false;
  if (has == 0) {
    PyErr_Format(PyExc_TypeError, "a strategy run with batch=%llu must implement %s()%s",
                 static_cast<unsigned long long>(batch), method,
                 batch > 1 && columns ? " or on_columns()" : "");
    return false;
  }
  return true;
}

bool run_strategy(const RunRequest& given, PyObject* strategy, PyObject* ticks,
                  backtest::RunResult* out, venue::VenueConfig* used,
                  std::vector<venue::InstrumentLeg>* legs) {
  const int portfolio = given.venue_protocol() ? is_portfolio(ticks) : 0;
  if (portfolio < 0) return false;
  if (portfolio > 0) return run_portfolio(given, strategy, ticks, out, used, legs);
  if (given.venues != nullptr || given.depths != nullptr || given.mark_files != nullptr) {
    const bool venues = given.venues != nullptr, depths = given.depths != nullptr;
    PyErr_Format(PyExc_TypeError,
                 "a dict of %s configures a portfolio, whose ticks are a dict of symbol to "
                 "ticks: give %s for one instrument's ticks",
                 venues   ? "venues"
                 : depths ? "depth files"
                          : "mark files",
                 venues   ? "venue=Venue(...)"
                 : depths ? "depth=DepthSource"
                          : "marks=MarkSource");
    return false;
  }
  const bool compiled = is_compiled(given, strategy);
  if (compiled ? given.batch == 0 : !check_cadence(strategy, given.batch, given.venue_protocol())) {
    if (compiled) check_cadence(strategy, 0, false);
    return false;
  }
  TickInput input;
  if (!resolve_input(given, ticks, &input)) return false;
  venue::VenueConfig venue;
  if (given.venue_protocol()) {
    if (!venue_of_input(input, *given.venue, &venue)) return false;
  } else {
    venue = *given.venue;
  }
  if (given.venue_protocol()) {
    if ((given.marks != nullptr &&
         !check_file_instrument("the mark file", given.marks->path.get(),
                                mark_file_definition(given.marks->fs_path), venue)) ||
        (given.depth != nullptr &&
         !check_file_instrument("the depth file", given.depth->path.get(),
                                depth_file_definition(given.depth->fs_path), venue)) ||
        !warn_before_run(input, venue, given.marks)) {
      return false;
    }
  }
  RunRequest request = given;
  request.venue = &venue;
  if (used != nullptr) *used = venue;
  if (compiled) return run_compiled(request, strategy, input, out);
  AdapterParts parts;
  if (!adapter_parts(request, strategy, request.batch, length_of(input), &parts)) return false;
  Gil gil;
  PyDriven driven(gil, Ref::borrow(strategy), strategy_name(strategy), std::move(parts));
  if (venue.definition) driven.set_symbol(venue.definition->symbol);
  const backtest::RunConfig config =
      request.venue->run_config(request.balance, request.equity_every);
  RunEnd end;
  const bool ran = run_input(config, driven, gil, input, out, &end, request);
  return finish_run(driven, ran, out, end);
}

bool compare_runs(const RunRequest& request, PyObject* build, PyObject* ticks, std::uint64_t batch,
                  Comparison* out) {
  RunSummary summaries[2];
  const std::uint64_t batches[2] = {1, batch};
  for (int i = 0; i < 2; ++i) {
    Ref strategy = Ref::steal(PyObject_CallNoArgs(build));
    if (!strategy) return false;
    RunRequest mode = request;
    mode.batch = batches[i];
    mode.equity_every = 0;
    mode.progress = nullptr;
    mode.flush = false;
    backtest::RunResult result;
    if (!run_strategy(mode, strategy.get(), ticks, &result)) return false;
    summaries[i] = RunSummary::of(std::move(result));
  }
  *out = Comparison::of(batch, summaries[0], summaries[1]);
  return true;
}

bool check_lookahead(const RunRequest& request, PyObject* build, PyObject* ticks_obj,
                     std::size_t max_points, Report* out) {
  TickArray ticks;
  // A portfolio's series are merged once, with the instrument of each tick;
  // each build is shown the prefix as {symbol: [Tick, ...]}.
  std::vector<std::int64_t> instruments;
  std::optional<PortfolioInput> portfolio;
  const int merged = request.venue_protocol() ? is_portfolio(ticks_obj) : 0;
  if (merged < 0) return false;
  if (merged > 0) {
    portfolio.emplace();
    if (!resolve_portfolio(request, ticks_obj, &*portfolio)) return false;
    std::vector<backtest::SpanTicks> spans;
    for (std::size_t i = 0; i < portfolio->inputs.size(); ++i) {
      const auto* series = std::get_if<TickArray>(&portfolio->inputs[i]);
      if (series == nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "lookahead_check reruns prefixes of the series held in memory: give the "
                     "ticks of %R as a list",
                     portfolio->legs[i].symbol.get());
        return false;
      }
      spans.push_back(backtest::SpanTicks{*series});
    }
    std::vector<backtest::SpanTicks*> sources;
    std::vector<InstrumentId> ids;
    for (std::size_t i = 0; i < spans.size(); ++i) {
      sources.push_back(&spans[i]);
      ids.push_back(InstrumentId{static_cast<std::uint32_t>(i + 1)});
    }
    backtest::MergedTicks<backtest::SpanTicks> merge(std::move(sources), ids);
    while (const engine::Tick* t = merge.next_in_place()) {
      ticks.push_back(*t);
      instruments.push_back(*merge.last_instrument());
    }
  } else if (!ticks_from(request.core, ticks_obj, &ticks)) {
    return false;
  }
  const backtest::RunConfig config = portfolio ? portfolio_config(*portfolio, request.balance, 0)
                                               : request.venue->run_config(request.balance, 0);
  RunRequest first = request;
  if (portfolio) first.venue = &portfolio->legs.front().venue;
  auto shared = std::make_shared<SharedFailure>();
  Gil gil;

  // The first k ticks as the build sees them.  Requires: the lock is held.
  auto prefix = [&](std::size_t k) -> Ref {
    if (!portfolio) {
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(k)));
      for (std::size_t i = 0; list && i < k; ++i) {
        PyObject* tick = new_tick(request.core, ticks[i]);
        if (tick == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tick);
      }
      return list;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return Ref();
    std::vector<Ref> lists;
    for (const venue::InstrumentLeg& leg : portfolio->legs) {
      lists.push_back(Ref::steal(PyList_New(0)));
      if (!lists.back() || PyDict_SetItem(dict.get(), leg.symbol.get(), lists.back().get()) < 0) {
        return Ref();
      }
    }
    for (std::size_t i = 0; i < k; ++i) {
      Ref tick = Ref::steal(new_tick(request.core, ticks[i]));
      const auto at = static_cast<std::size_t>(instruments[i] - 1);
      if (!tick || PyList_Append(lists[at].get(), tick.get()) < 0) return Ref();
    }
    return dict;
  };

  // Called by the check with the lock released: takes it for the build.
  auto build_step = [&](std::size_t k) -> EitherDriven {
    Locked lock(gil);
    Ref list = prefix(k);
    Ref object =
        list ? Ref::steal(python([&] { return PyObject_CallOneArg(build, list.get()); })) : Ref();
    if (object && is_compiled(request, object.get())) {
      CompiledParts compiled;
      if (compiled_parts(request, object.get(), 1, &compiled)) {
        return EitherDriven(CompiledDriven(gil, std::move(compiled), shared));
      }
    }
    AdapterParts parts;
    if (!object || PyErr_Occurred() || !adapter_parts(first, object.get(), 1, k, &parts) ||
        (portfolio && !portfolio_parts(request, *portfolio, &parts))) {
      PyDriven failed(gil, Ref::borrow(Py_None), std::string(),
                      AdapterParts{Cadence(request.core, 1), Feedback(), RunProgress(),
                                   RequestTypes{}, false, PortfolioView(), RunInstruments()},
                      shared);
      failed.record_current_exception("build raised: ");
      return EitherDriven(std::move(failed));
    }
    std::string name = strategy_name(object.get());
    return EitherDriven(
        PyDriven(gil, std::move(object), std::move(name), std::move(parts), shared));
  };

  backtest::LookaheadReport report;
  run_unlocked(gil, [&] {
    report = backtest::lookahead(config, build_step, ticks, max_points, instruments);
  });
  if (shared->interrupt) {
    shared->interrupt.restore();
    return false;
  }
  if (shared->message) {
    raise_message(PyExc_ValueError, "the strategy failed during the check: ", *shared->message);
    return false;
  }
  *out = Report::of(report);
  return true;
}

}  // namespace halvorn::py
