// Prices and quantities in an instrument's units, to and from its ticks and
// lots, exactly.
//
// A person writes a price as 2450.17, not as 245_017 ticks of 0.01, and a
// threshold written in ticks is where a factor of ten goes wrong unseen.  So
// wherever halvorn.venue takes a price or a quantity it also takes it as the
// person wrote it: decimal text ("2450.17"), a decimal.Decimal, or a float,
// read as the decimal its shortest representation writes (0.1 is "0.1",
// never 0.1000000000000000055...), as columns of floats are read.  An
// Instrument counts such a value in its steps exactly, or refuses one that
// lies between two steps, naming the value and the step, unless a rounding
// was asked for.  Back the other way a count is an exact decimal.Decimal, or
// the float nearest it.
//
// Thread-safety: call with the interpreter lock held, but for the functions
// on plain values, which are pure.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "data/decimal.hpp"
#include "py/pyref.hpp"

namespace halvorn::py::venue {

struct VenueState;

// The decimal text a value stands for: a str as it is, an int or a
// decimal.Decimal as str() writes it, a float as its shortest round trip
// writes it.  False with a TypeError naming `name` for anything else (a bool
// included).
bool decimal_text(const VenueState* st, PyObject* obj, const char* name, std::string* out);

// Whether `obj` is a value in units rather than a count: a str, a float or
// a decimal.Decimal.  (An int is a count of ticks or lots.)
bool is_unit_value(const VenueState* st, PyObject* obj);

// A value in units as a Decimal.  False with a TypeError (see decimal_text)
// or a ValueError "{name} \"{text}\" is not a decimal number".
bool unit_value(const VenueState* st, PyObject* obj, const char* name, data::Decimal* out);

// The rounding argument: absent is Exact; "exact", "down" or "up".  False
// with a ValueError for anything else.
bool rounding_of(PyObject* obj, data::Rounding* out);

// `value` counted in steps of `step` and rounded as asked, or the text
// saying why not: "price \"2450.175\" is not a whole number of ticks of 0.01
// (rounding='down' or 'up' rounds it)", or that it is beyond the 64-bit
// range.  `name` names the field, `unit` is "ticks" or "lots".
struct StepCount {
  std::int64_t count = 0;
  std::optional<std::string> refusal;
};
StepCount count_steps(const data::Decimal& value, const data::Step& step, data::Rounding rounding,
                      const char* name, const char* unit);

// count × step, exactly, as plain decimal text with the step's places
// ("2450.17" for 245017 ticks of 0.01, "-3" for -3 lots of 1).
std::string steps_text(std::int64_t count, const data::Decimal& step);

// The same as a new decimal.Decimal; null with an exception set.
PyObject* decimal_of_steps(const VenueState* st, std::int64_t count, const data::Decimal& step);

// The float nearest count × step: one correctly rounded operation where
// the product and the power of ten are exact doubles, else the nearest
// float to the exact decimal text.
double double_of_steps(std::int64_t count, const data::Decimal& step);

// One cash unit (10^-8 USDT) as a step: what Cash amounts count in.
const data::Decimal& cash_step();

}  // namespace halvorn::py::venue
