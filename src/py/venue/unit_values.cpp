#include "py/venue/unit_values.hpp"

#include <cstdlib>

#include "data/float_scaling.hpp"
#include "py/argument_conversion.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

bool is_decimal(const VenueState* st, PyObject* obj) {
  return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(st->decimal_type));
}

}  // namespace

bool decimal_text(const VenueState* st, PyObject* obj, const char* name, std::string* out) {
  if (PyUnicode_Check(obj)) return utf8_of(obj, out);
  if (PyFloat_Check(obj)) {
    *out = data::shortest_text(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be decimal text such as \"0.01\", not a bool", name);
    return false;
  }
  Ref number;
  if (PyIndex_Check(obj)) {
    // An int, or an integer of another kind (a NumPy int64): its value.
    number = Ref::steal(PyNumber_Index(obj));
    if (!number) return false;
  } else if (is_decimal(st, obj)) {
    number = Ref::borrow(obj);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s must be decimal text such as \"0.01\" (or an int, a "
                 "Decimal or a float), not %.200s",
                 name, Py_TYPE(obj)->tp_name);
    return false;
  }
  Ref text = Ref::steal(PyObject_Str(number.get()));
  return text && utf8_of(text.get(), out);
}

bool is_unit_value(const VenueState* st, PyObject* obj) {
  return PyUnicode_Check(obj) || PyFloat_Check(obj) || is_decimal(st, obj);
}

bool unit_value(const VenueState* st, PyObject* obj, const char* name, data::Decimal* out) {
  std::string text;
  if (!decimal_text(st, obj, name, &text)) return false;
  const data::DecimalFault read = data::parse_decimal(text, out);
  if (read == data::DecimalFault::None) return true;
  const std::string quoted = quote_escaped_utf8(text);
  if (read == data::DecimalFault::TooManyDigits) {
    // Read as far as it is written, a longer decimal would be rounded by
    // the reading before any rounding asked for: it is refused instead.
    PyErr_Format(PyExc_ValueError,
                 "%s %s has more than 19 significant digits, more than a value is read with; "
                 "give it with at most 19",
                 name, quoted.c_str());
  } else if (read == data::DecimalFault::OutOfRange) {
    PyErr_Format(PyExc_ValueError, "%s %s has an exponent beyond 9999", name, quoted.c_str());
  } else {
    PyErr_Format(PyExc_ValueError, "%s %s is not a decimal number", name, quoted.c_str());
  }
  return false;
}

bool rounding_of(PyObject* obj, data::Rounding* out) {
  *out = data::Rounding::Exact;
  if (obj == nullptr) return true;
  if (PyUnicode_Check(obj)) {
    constexpr std::pair<const char*, data::Rounding> WORDS[] = {{"exact", data::Rounding::Exact},
                                                                {"down", data::Rounding::Down},
                                                                {"up", data::Rounding::Up}};
    for (const auto& [word, rounding] : WORDS) {
      if (PyUnicode_CompareWithASCIIString(obj, word) == 0) {
        *out = rounding;
        return true;
      }
    }
  }
  Ref repr = Ref::steal(PyObject_Repr(obj));
  if (!repr) return false;
  PyErr_Format(PyExc_ValueError, "rounding must be 'exact', 'down' or 'up', got %U", repr.get());
  return false;
}

StepCount count_steps(const data::Decimal& value, const data::Step& step, data::Rounding rounding,
                      const char* name, const char* unit) {
  const data::Scaled s = data::scale(value, step, rounding);
  if (s.fault == data::ScaleFault::None) return {s.count, std::nullopt};
  const std::string quoted = quote_escaped_utf8(data::decimal_text(value));
  std::string text = std::string(name) + " " + quoted;
  if (s.fault == data::ScaleFault::NotMultiple) {
    text += " is not a whole number of " + std::string(unit) + " of " + step.text +
            " (rounding='down' or 'up' rounds it)";
  } else {
    text += " is beyond 9223372036854775807 " + std::string(unit) + " of " + step.text;
  }
  return {0, std::move(text)};
}

namespace {

// count × step written into the end of `buf`; returns where the text starts.
// A 64-bit count times a step's at most 19 digits fits 128 bits, and its at
// most 39 digits, a sign, a point and the step's places fit the buffer the
// callers give (places beyond that are written by steps_text's slow path).
constexpr std::size_t TEXT = 96;

char* write_steps(std::int64_t count, const data::Decimal& step, char* end) {
  const __int128 product = static_cast<__int128>(count) * static_cast<__int128>(step.digits);
  unsigned __int128 magnitude = product < 0 ? static_cast<unsigned __int128>(-product)
                                            : static_cast<unsigned __int128>(product);
  char* p = end;
  const std::int32_t places = step.exponent < 0 ? -step.exponent : 0;
  for (std::int32_t i = 0; i < step.exponent; ++i) *--p = '0';
  std::int32_t written = 0;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
    if (++written == places) *--p = '.';
  } while (magnitude != 0 || written < places);
  if (written == places && places > 0) *--p = '0';  // "0.05", not ".05"
  if (product < 0) *--p = '-';
  return p;
}

bool fits(const data::Decimal& step) { return step.exponent > -40 && step.exponent < 40; }

}  // namespace

std::string steps_text(std::int64_t count, const data::Decimal& step) {
  if (fits(step)) {
    char buf[TEXT];
    const char* begin = write_steps(count, step, buf + TEXT);
    return std::string(begin, static_cast<std::size_t>(buf + TEXT - begin));
  }
  // A step written with more places than anyone trades in: the general way.
  const __int128 product = static_cast<__int128>(count) * static_cast<__int128>(step.digits);
  unsigned __int128 magnitude = product < 0 ? static_cast<unsigned __int128>(-product)
                                            : static_cast<unsigned __int128>(product);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (step.exponent >= 0) {
    digits.append(static_cast<std::size_t>(step.exponent), '0');
  } else {
    const auto places = static_cast<std::size_t>(-step.exponent);
    if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
    digits.insert(digits.size() - places, 1, '.');
  }
  if (product < 0) digits.insert(0, 1, '-');
  return digits;
}

PyObject* decimal_of_steps(const VenueState* st, std::int64_t count, const data::Decimal& step) {
  // A Decimal made from text is exact: its context rounds arithmetic, never
  // construction.  Written in place: a view reads one a tick.
  Ref text;
  if (fits(step)) {
    char buf[TEXT];
    const char* begin = write_steps(count, step, buf + TEXT);
    text = Ref::steal(PyUnicode_FromStringAndSize(begin, buf + TEXT - begin));
  } else {
    text = Ref::steal(str_of(steps_text(count, step)));
  }
  if (!text) return nullptr;
  return PyObject_CallOneArg(st->decimal_type, text.get());
}

double double_of_steps(std::int64_t count, const data::Decimal& step) {
  static constexpr double POWERS[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  constexpr __int128 EXACT = __int128{1} << 53;
  const __int128 product = static_cast<__int128>(count) * static_cast<__int128>(step.digits);
  const std::int32_t e = step.exponent;
  if (product < EXACT && product > -EXACT && e >= -22 && e <= 22) {
    // Both operands are doubles exactly, so the one operation rounds once.
    const auto m = static_cast<double>(static_cast<std::int64_t>(product));
    return e >= 0 ? m * POWERS[e] : m / POWERS[-e];
  }
  const std::string text = steps_text(count, step);
  return std::strtod(text.c_str(), nullptr);
}

const data::Decimal& cash_step() {
  static const data::Decimal step{1, -8, false};
  return step;
}

}  // namespace halvorn::py::venue
