#include "py/market_data/decimal_columns.hpp"

#include <optional>
#include <string>
#include <utility>

#include "data/column_writer.hpp"
#include "data/csv_error.hpp"
#include "data/decimal.hpp"
#include "data/float_scaling.hpp"
#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/gil.hpp"
#include "py/market_data/data_state.hpp"
#include "py/registry.hpp"
#include "py/signatures.hpp"

namespace halvorn::py::market_data {

namespace {

// A rounding by its name; false with ValueError for any other.
bool rounding_of(const std::string& name, data::Rounding* out) {
  const std::pair<const char*, data::Rounding> names[] = {{"exact", data::Rounding::Exact},
                                                          {"down", data::Rounding::Down},
                                                          {"up", data::Rounding::Up},
                                                          {"nearest", data::Rounding::Nearest}};
  for (const auto& [n, r] : names) {
    if (name == n) {
      *out = r;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "argument 'rounding': expected \"exact\", \"down\", \"up\" or \"nearest\", got "
               "\"%s\"",
               name.c_str());
  return false;
}

constexpr auto SCALE_TEXTS =
    signature("halvorn.data._native.scale_texts", either("offsets"), either("data"),
              either("offset"), either("length"), keyword("step"), keyword("unit"),
              keyword("rounding"), keyword("column"), keyword("place"), keyword("first_row"));
constexpr auto SCALE_FLOATS = signature(
    "halvorn.data._native.scale_floats", either("array"), keyword("step"), keyword("rounding"),
    keyword("column"), keyword("place"), keyword("first_row", "None"), keyword("unit", "None"));

PyObject* scale_texts(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<SCALE_TEXTS> parsed;
    if (!parse<SCALE_TEXTS>(args, kwds, &parsed)) return nullptr;
    PyObject *offsets_obj = parsed[0], *data_obj = parsed[1], *step_obj = parsed[4],
             *unit_obj = parsed[5], *rounding_obj = parsed[6], *column_obj = parsed[7],
             *place_obj = parsed[8];
    std::int64_t offset = 0, length = 0, first_row = 0;
    if (!to_i64(parsed[2], "offset", &offset) || !to_i64(parsed[3], "length", &length) ||
        !to_i64(parsed[9], "first_row", &first_row)) {
      return nullptr;
    }
    std::string step_text, unit, rounding, column, place;
    if (!PyUnicode_Check(step_obj) || !PyUnicode_Check(unit_obj) ||
        !PyUnicode_Check(rounding_obj) || !PyUnicode_Check(column_obj) ||
        !PyUnicode_Check(place_obj)) {
      PyErr_SetString(PyExc_TypeError,
                      "scale_texts: step, unit, rounding, column and place are str");
      return nullptr;
    }
    if (!utf8_of(step_obj, &step_text) || !utf8_of(unit_obj, &unit) ||
        !utf8_of(rounding_obj, &rounding) || !utf8_of(column_obj, &column) ||
        !utf8_of(place_obj, &place)) {
      return nullptr;
    }
    std::optional<data::Step> step = data::parse_step(step_text);
    if (!step) {
      raise_value_error(data::ConvertError{
          data::Place{}, data::BadStep{unit == "lots" ? "lot_size" : "tick_size", step_text}}
                            .display());
      return nullptr;
    }
    data::Rounding mode;
    if (!rounding_of(rounding, &mode)) return nullptr;
    const bool quantity = unit == "lots";
    Py_buffer offsets, data;
    if (PyObject_GetBuffer(offsets_obj, &offsets, PyBUF_SIMPLE) < 0) return nullptr;
    if (PyObject_GetBuffer(data_obj, &data, PyBUF_SIMPLE) < 0) {
      PyBuffer_Release(&offsets);
      return nullptr;
    }
    struct Release {
      Py_buffer* a;
      Py_buffer* b;
      ~Release() {
        PyBuffer_Release(a);
        PyBuffer_Release(b);
      }
    } release{&offsets, &data};
    const auto offsets_held =
        static_cast<std::int64_t>(static_cast<std::size_t>(offsets.len) / sizeof(std::int64_t));
    if (offset < 0 || length < 0 || offset >= offsets_held || length > offsets_held - offset - 1) {
      PyErr_SetString(PyExc_ValueError, "scale_texts: the offsets do not cover the rows");
      return nullptr;
    }
    Ref out = Ref::steal(PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(static_cast<std::size_t>(length) * sizeof(std::int64_t))));
    if (!out) return nullptr;
    auto* values = reinterpret_cast<std::int64_t*>(PyByteArray_AS_STRING(out.get()));
    const auto* ends = static_cast<const std::int64_t*>(offsets.buf) + offset;
    const auto* text = static_cast<const char*>(data.buf);
    std::optional<data::ConvertError> error;
    Gil gil;
    run_unlocked(gil, [&] {
      const std::string detail = unit + " of " + step->text;
      for (std::int64_t i = 0; i < length && !error; ++i) {
        const std::int64_t begin = ends[i], end = ends[i + 1];
        if (begin < 0 || end < begin || end > data.len) {
          error = data::ConvertError{data::Place{place, 0}, data::ReadFailed{}};
          break;
        }
        const std::string_view field(text + begin, static_cast<std::size_t>(end - begin));
        const data::Place where{
            place, static_cast<std::uint64_t>(first_row) + static_cast<std::uint64_t>(i) + 1};
        data::Decimal d;
        switch (data::parse_decimal(field, &d)) {
          case data::DecimalFault::None:
            break;
          case data::DecimalFault::NotANumber:
            error = data::ConvertError{
                where, data::BadField{column, std::string(field), data::Expected::Decimal}};
            continue;
          case data::DecimalFault::TooManyDigits:
            error = data::ConvertError{
                where, data::OutOfRange{column, std::string(field), data::Limit::Digits, ""}};
            continue;
          case data::DecimalFault::OutOfRange:
            error = data::ConvertError{
                where, data::OutOfRange{column, std::string(field), data::Limit::Exponent, ""}};
            continue;
        }
        if (quantity && d.negative && d.digits != 0) {
          error = data::ConvertError{where, data::Negative{column, std::string(field)}};
          continue;
        }
        const data::Scaled s = data::scale(d, *step, mode);
        if (s.fault == data::ScaleFault::NotMultiple) {
          error = data::ConvertError{
              where, data::NotMultiple{column, std::string(field), detail, false, "", false}};
        } else if (s.fault == data::ScaleFault::OutOfRange) {
          error = data::ConvertError{
              where, data::OutOfRange{column, std::string(field), data::Limit::Steps, detail}};
        } else {
          values[i] = s.count;
        }
      }
    });
    if (error) {
      raise_value_error(error->display());
      return nullptr;
    }
    return out.release();
  });
}

PyObject* scale_floats(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    ArgumentsOf<SCALE_FLOATS> parsed;
    if (!parse<SCALE_FLOATS>(args, kwds, &parsed)) return nullptr;
    std::string step_text, rounding, column, place, unit;
    const std::pair<PyObject*, std::string*> texts[] = {
        {parsed[1], &step_text}, {parsed[2], &rounding}, {parsed[3], &column}, {parsed[4], &place}};
    for (const auto& [obj, out] : texts) {
      if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "scale_floats: step, rounding, column and place are str");
        return nullptr;
      }
      if (!utf8_of(obj, out)) return nullptr;
    }
    // The unit error texts count in: lots for a volume, ticks for a price.
    unit = column == "volume" ? "lots" : "ticks";
    if (parsed.given(6) && parsed[6] != Py_None) {
      if (!PyUnicode_Check(parsed[6])) {
        PyErr_SetString(PyExc_TypeError, "scale_floats: unit is str or None");
        return nullptr;
      }
      if (!utf8_of(parsed[6], &unit)) return nullptr;
    }
    std::optional<std::int64_t> first_row;
    if (parsed.given(5) && parsed[5] != Py_None) {
      std::int64_t row = 0;
      if (!to_i64(parsed[5], "first_row", &row)) return nullptr;
      first_row = row;
    }
    data::Rounding mode;
    if (!rounding_of(rounding, &mode)) return nullptr;
    std::optional<data::Step> step = data::parse_step(step_text);
    if (!step) {
      raise_value_error(data::ConvertError{
          data::Place{}, data::BadStep{unit == "lots" ? "lot_size" : "tick_size", step_text}}
                            .display());
      return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(parsed[0], &view, PyBUF_RECORDS_RO) < 0) return nullptr;
    struct Release {
      Py_buffer* v;
      ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (view.ndim != 1 || view.itemsize != 8 || std::string_view(format) != "d") {
      PyErr_Format(PyExc_TypeError,
                   "argument 'array': expected a 1-D buffer of float64, got %d dimensions of "
                   "format '%s'",
                   view.ndim, view.format != nullptr ? view.format : "B");
      return nullptr;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const std::ptrdiff_t stride = view.strides != nullptr ? view.strides[0] : 8;
    Ref out = Ref::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(std::int64_t))));
    if (!out) return nullptr;
    auto* counts = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(out.get()));
    std::optional<data::ColumnScaled> scaled;
    Gil gil;
    run_unlocked(gil, [&] {
      scaled = data::scale_double_column(static_cast<const double*>(view.buf), n, stride, *step,
                                         mode, counts);
    });
    if (!scaled->ok()) {
      const std::uint64_t row = scaled->bad_row + 1;
      const std::string steps = unit + " of " + step->text;
      // A file's rows are placed as its lines are; an array's by column and
      // row, as from_arrays places them.
      const data::ConvertError error =
          first_row
              ? data::unscaled_value_error(
                    data::Place{place, static_cast<std::uint64_t>(*first_row) + row}, column,
                    *scaled, steps)
              : data::unscaled_value_error(data::Place{place, 0},
                                           column + ", row " + std::to_string(row), *scaled, steps);
      raise_value_error(error.display());
      return nullptr;
    }
    return Py_BuildValue("(OK)", out.get(), static_cast<unsigned long long>(scaled->moved));
  });
}

}  // namespace

PyMethodDef decimal_column_functions[2] = {
    function_def<SCALE_TEXTS>(
        scale_texts,
        "Scale a column of decimal texts (int64 offsets and bytes, as a large\n"
        "string array lays them out) to whole steps; returns a bytearray of int64.\n\n"
        "# Errors\n\n"
        "ValueError with the converter's text, placed at `place` and the row."),
    function_def<SCALE_FLOATS>(
        scale_floats,
        "Scale a 1-D float64 buffer to whole steps: each value is the decimal its\n"
        "shortest text writes, counted exactly in `step`, rounded \"down\" or \"up\"\n"
        "onto the grid when `rounding` says so (\"exact\" refuses it).  Returns\n"
        "(bytearray of native int64, values rounded).  `unit` names the steps in\n"
        "error texts (None: \"lots\" for the column volume, else \"ticks\").\n\n"
        "# Errors\n\n"
        "ValueError with from_arrays' text after `place`: \"{place}: column last,\n"
        "row 3: \\\"42123.45\\\" is not a whole number of ticks of 0.1\", rows from 1;\n"
        "with `first_row`, placed as a file's line: \"{place}:{first_row + row}:\n"
        "column last: ...\"."),
};

}  // namespace halvorn::py::market_data
