#include "py/market_data/quality_values.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "data/record_surveys.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

namespace {

using Items = std::initializer_list<std::pair<const char*, PyObject*>>;

// Puts each (name, value) into `dict` (none when null), taking each value's
// reference whatever happens.  False with the exception set.
bool put_items(PyObject* dict, Items items) {
  bool ok = dict != nullptr;
  for (const auto& [name, value] : items) {
    ok = ok && value != nullptr && PyDict_SetItemString(dict, name, value) == 0;
    Py_XDECREF(value);
  }
  return ok;
}

PyObject* u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* i64(std::int64_t v) { return PyLong_FromLongLong(v); }

// A survey's counts as a dict: `items`, and what every kind of file has
// (the times of its first and last record, and its gaps).  Null with the
// exception set.
template <class Survey>
PyObject* survey_dict(const Survey& s, Items items) {
  Ref dict = Ref::steal(PyDict_New());
  const bool ok = put_items(dict.get(), items);
  if (!put_items(ok ? dict.get() : nullptr, {{"first", i64(s.first)},
                                             {"last", i64(s.last)},
                                             {"gaps", u64(s.gaps)},
                                             {"largest_gap", i64(s.largest_gap)},
                                             {"largest_gap_at", i64(s.largest_gap_at)}})) {
    return nullptr;
  }
  return dict.release();
}

// The limits of a survey from its keyword arguments, each optional.
bool limits_of(const Arguments<4>& parsed, data::SurveyLimits* out) {
  if (parsed.given(1) && !to_i64(parsed[1], "gap", &out->gap)) return false;
  if (parsed.given(2) && !to_i64(parsed[2], "stale_after", &out->stale_after)) return false;
  if (parsed.given(3)) {
    out->outside_bp = PyFloat_AsDouble(parsed[3]);
    if (out->outside_bp == -1.0 && PyErr_Occurred()) return false;
  }
  return true;
}

// The three take the same arguments.
constexpr auto survey_signature(const char* qualname) {
  return signature(qualname, either("path"), keyword("gap", "60000000000"),
                   keyword("stale_after", "60000000000"), keyword("outside_bp", "10.0"));
}
constexpr auto SURVEY_TICKS = survey_signature("halvorn.data._native.survey_ticks");
constexpr auto SURVEY_MARKS = survey_signature("halvorn.data._native.survey_marks");
constexpr auto SURVEY_DEPTH = survey_signature("halvorn.data._native.survey_depth");

// Reads `path` (the arguments parsed by SIG) with `survey` (a call returning a survey or its
// reader's error) with the lock released; raises ValueError "{path}: {error}" for the error, and
// hands the survey to `to_dict` otherwise.
template <const auto& SIG, class Survey, class ToDict>
PyObject* surveyed(PyObject* module, PyObject* args, PyObject* kwds, Survey survey,
                   ToDict to_dict) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<SIG> parsed;
    if (!parse<SIG>(args, kwds, &parsed)) return nullptr;
    std::string path;
    data::SurveyLimits limits;
    if (!fs_path_of(parsed[0], "path", &path) || !limits_of(parsed, &limits)) return nullptr;
    std::optional<decltype(survey(path, limits))> result;
    Gil gil;
    run_unlocked(gil, [&] { result = survey(path, limits); });
    return std::visit(
        [&](const auto& r) -> PyObject* {
          if constexpr (requires { r.display(); }) {
            PyErr_Format(PyExc_ValueError, "%U: %s", parsed[0], r.display().c_str());
            return nullptr;
          } else {
            return to_dict(r);
          }
        },
        *result);
  });
}

PyObject* survey_ticks(PyObject* module, PyObject* args, PyObject* kwds) {
  return surveyed<SURVEY_TICKS>(
      module, args, kwds,
      [](const std::string& path, const data::SurveyLimits& limits) {
        return data::survey_tick_file(path, limits);
      },
      [](const data::TickSurvey& s) {
        return survey_dict(s, {{"ticks", u64(s.ticks)},
                               {"repeated", u64(s.repeated)},
                               {"trades", u64(s.trades)},
                               {"stale_quotes", u64(s.stale_quotes)},
                               {"oldest_quote", i64(s.oldest_quote)},
                               {"outside", u64(s.outside)},
                               {"farthest_bp", PyFloat_FromDouble(s.farthest_bp)},
                               {"crossed", u64(s.crossed)},
                               {"no_price", u64(s.no_price)},
                               {"price_step", u64(s.price_step)},
                               {"clock", clock_tuple(s.clock)}});
      });
}

PyObject* survey_marks(PyObject* module, PyObject* args, PyObject* kwds) {
  return surveyed<SURVEY_MARKS>(
      module, args, kwds,
      [](const std::string& path, const data::SurveyLimits& limits) {
        return data::survey_mark_file(path, limits);
      },
      [](const data::MarkSurvey& s) {
        return survey_dict(s, {{"records", u64(s.records)},
                               {"repeated", u64(s.repeated)},
                               {"settlements", u64(s.settlements)},
                               {"unmarked", u64(s.unmarked)},
                               {"stale_settlements", u64(s.stale_settlements)},
                               {"oldest_mark", i64(s.oldest_mark)},
                               {"off_mark", u64(s.off_mark)}});
      });
}

PyObject* survey_depth(PyObject* module, PyObject* args, PyObject* kwds) {
  return surveyed<SURVEY_DEPTH>(
      module, args, kwds,
      [](const std::string& path, const data::SurveyLimits& limits) {
        return data::survey_depth_file(path, limits);
      },
      [](const data::DepthSurvey& s) {
        return survey_dict(s, {{"records", u64(s.records)},
                               {"snapshots", u64(s.snapshots)},
                               {"updates", u64(s.updates)},
                               {"breaks", u64(s.breaks)},
                               {"unbooked", u64(s.unbooked)},
                               {"crossed", u64(s.crossed)}});
      });
}

}  // namespace

PyObject* clock_tuple(const data::ClockFindings& c) {
  return Py_BuildValue("(KLLLKKL)", static_cast<unsigned long long>(c.ticks),
                       static_cast<long long>(c.min), static_cast<long long>(c.median),
                       static_cast<long long>(c.max), static_cast<unsigned long long>(c.behind),
                       static_cast<unsigned long long>(c.jumps),
                       static_cast<long long>(c.largest_jump));
}

PyMethodDef survey_functions[3] = {
    function_def<SURVEY_TICKS>(
        survey_ticks,
        "Read a tick file whole and count its hazards: gaps of exch_ts longer\n"
        "than `gap` ns, repeated ticks, trades whose quote had not moved for\n"
        "`stale_after` ns, trades outside their quote by more than `outside_bp`,\n"
        "crossed quotes, prices of 0 or below, the clocks (a clock tuple).\n"
        "Returns a dict of the counts.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the tick reader's text."),
    function_def<SURVEY_MARKS>(
        survey_marks,
        "Read a mark file whole: gaps, repeated records, and settlements priced\n"
        "at a mark older than `stale_after`, at no mark, or at another price.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the mark reader's text."),
    function_def<SURVEY_DEPTH>(
        survey_depth,
        "Read a depth file whole: gaps, and the updates a run's book refuses\n"
        "(breaks) or meets without a book, and crossed snapshots.\n\n"
        "# Errors\n\n"
        "ValueError \"{path}: {error}\" with the depth reader's text."),
};

}  // namespace halvorn::py::market_data
