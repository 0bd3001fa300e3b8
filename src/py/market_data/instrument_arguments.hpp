// An instrument's definition on its way in and out of files: the symbol and
// the sizes a converter or a writer is given, checked before anything is
// written, and the definition a file's instrument block holds, read back
// (read_instrument, what halvorn.data.instrument_of returns).
//
// The C++ writers take only a definition that check_definition accepts and
// treat any other as a broken invariant; every symbol that reaches them from
// Python passes through define() first, which refuses the rest with the
// definition's own text.
//
// Thread-safety: call with the interpreter lock held.

#pragma once

#include <cstdint>
#include <string>

#include "data/instrument_definition.hpp"
#include "py/pyref.hpp"

namespace halvorn::py::market_data {

// The symbol argument as bytes: a str (None: empty), encoded as UTF-8 with
// lone surrogates carried through, so that define() refuses them as "the
// symbol is not UTF-8" instead of an encoding error.  False with TypeError
// naming `arg` for anything but a str or None.
bool symbol_of(PyObject* obj, const char* arg, std::string* out);

// The contract's kind, value and coin from the arguments `kind` ("linear",
// "inverse" or None: linear), `contract_value` (decimal text or None) and
// `settle` (a str or None); each may be null, for not given.  Whether they
// make a contract is define()'s to say, with the definition's own text.
// False with TypeError or ValueError naming the argument for a value of
// another type, a kind of another name or a value that is no decimal.
bool contract_of(PyObject* kind, PyObject* contract_value, PyObject* settle,
                 data::ContractTerms* out);

// A definition from its settled parts, read as define_instrument reads
// them, on `terms`.  False with ValueError carrying the problem's text
// ("tick_size \"0\" is not a positive decimal number", "the symbol is not
// UTF-8", "an inverse contract needs a contract_value and a settle coin").
bool define(std::uint64_t id, std::string symbol, const std::string& tick_size,
            const std::string& lot_size, const data::ContractTerms& terms,
            data::InstrumentDefinition* out);

// read_instrument.
extern PyMethodDef instrument_functions[1];

}  // namespace halvorn::py::market_data
