#include "py/data/decimal_columns.hpp"

#include <optional>
#include <string>

#include "data/csv_error.hpp"
#include "data/decimal.hpp"
#include "py/argument_conversion.hpp"
#include "py/arguments.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/data/data_state.hpp"
#include "py/gil.hpp"
#include "py/registry.hpp"

namespace halvorn::py::market_data {

namespace {

PyObject* scale_texts(PyObject* module, PyObject* args, PyObject* kwds) {
  DataState* st = data_state_of_module(module);
  return guarded(st->head.core, [&]() -> PyObject* {
    static const char* kwlist[] = {"offsets",  "data",   "offset", "length",    "step", "unit",
                                   "rounding", "column", "place",  "first_row", nullptr};
    Arguments<10> parsed;
    if (!parse_arguments(args, kwds, "OOOO$OOOOOO:scale_texts", kwlist, &parsed)) return nullptr;
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
    const data::Rounding mode = rounding == "down" ? data::Rounding::Down
                                : rounding == "up" ? data::Rounding::Up
                                                   : data::Rounding::Exact;
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
          error = data::ConvertError{where,
                                     data::NotMultiple{column, std::string(field), detail, false}};
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

}  // namespace

PyMethodDef decimal_column_functions[1] = {
    {"scale_texts", as_cfunction(scale_texts), METH_VARARGS | METH_KEYWORDS,
     "scale_texts(offsets, data, offset, length, *, step, unit, rounding, column, place, "
     "first_row)\n--\n\n"
     "Scale a column of decimal texts (int64 offsets and bytes, as a large\n"
     "string array lays them out) to whole steps; returns a bytearray of int64.\n\n"
     "# Errors\n\n"
     "ValueError with the converter's text, placed at `place` and the row."},
};

}  // namespace halvorn::py::market_data
