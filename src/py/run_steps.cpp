#include "py/run_steps.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <variant>

#include "data/instrument_block.hpp"
#include "py/argument_conversion.hpp"
#include "py/pre_run_checks.hpp"
#include "py/value_class.hpp"
#include "py/values.hpp"
#include "py/venue/compiled_class.hpp"
#include "py/venue/instrument_class.hpp"
#include "py/venue/order_classes.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py {

namespace {

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

}  // namespace

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
    if (data::same_size(venue_def.tick_size, file_def.tick_size) &&
        data::same_size(venue_def.lot_size, file_def.lot_size)) {
      // Equal sizes are no equal market yet: another symbol's prices would
      // fill this one's orders, and another kind of contract's would value
      // its positions in another currency.
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
  if (!check_file_instrument("the tick file", source.path.get(), file_def, given)) return false;
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
  if (!venue::settlement_of(file_def)) {
    PyErr_Format(PyExc_ValueError,
                 "the tick file %R defines %s, whose coin value of a lot or settlement coin a "
                 "run cannot keep an account in",
                 source.path.get(), file_text.c_str());
    return false;
  }
  out->definition = file_def;
  out->contract_size = size.cash;
  return true;
}

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

std::uint64_t length_of(const TickInput& input) {
  if (const auto* series = std::get_if<TickArray>(&input)) return series->size();
  return std::get<const TickSourceData*>(input)->count;
}

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

bool is_compiled(const RunRequest& request, PyObject* strategy) {
  return request.venue_protocol() && Py_IS_TYPE(strategy, request.venue_module->compiled_type);
}

bool compiled_run_allowed(const RunRequest& request) {
  if (request.flush) {
    PyErr_SetString(PyExc_ValueError,
                    "flush is not taken by a compiled strategy, which runs without the "
                    "interpreter and is handed its batches as they fill; give flush=False");
    return false;
  }
  return true;
}

bool compiled_parts(PyObject* compiled, std::uint64_t batch, CompiledParts* out) {
  const venue::CompiledValue& value = venue::compiled_value(compiled);
  if (!out->state.hold(value.state.get())) return false;
  out->function = value.function;
  out->object = Ref::borrow(compiled);
  out->name = value.name;
  out->capacity = value.capacity;
  out->fill_words = value.fill_words;
  out->order_words = value.order_words;
  out->batch = batch;
  return true;
}

namespace {

template <class Driven>
bool finish(Driven& driven, bool ran, backtest::RunResult* out, const RunEnd& end) {
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

}  // namespace

bool finish_run(PyDriven& driven, bool ran, backtest::RunResult* out, const RunEnd& end) {
  return finish(driven, ran, out, end);
}

bool finish_run(CompiledDriven& driven, bool ran, backtest::RunResult* out, const RunEnd& end) {
  return finish(driven, ran, out, end);
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

}  // namespace halvorn::py
