// What the integers of an instrument's files mean.
//
// A tick or depth file holds counts: prices in ticks of the instrument's tick
// size, quantities in lots of its lot size.  The counts alone cannot tell a
// file converted with a tick size of 0.01 from one converted with 0.1, and a
// run over the wrong one is wrong by a factor of ten without a single error.
// An InstrumentDefinition names the sizes a file was scaled with, so that a
// reader can compare them with the ones it is about to run with, and gives
// the cash value of one tick on one lot, which turns a move of the price into
// money.
//
// Thread-safety: plain values and pure functions.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "data/decimal.hpp"
#include "types/fixed.hpp"

namespace halvorn::data {

// The longest symbol a definition holds, in UTF-8 bytes: the length a file
// stores it with is 16 bits.
inline constexpr std::size_t MAX_SYMBOL_BYTES = 65535;

// How a position's value follows the price.
//   Linear: lots x lot size x price, in the currency the price is quoted in
//     (USDT), which is the account's.
//   Inverse: lots x lot size x contract value / price, in the coin the
//     contract settles in; the price is quoted in USD a coin and the
//     contract value is in USD, so a move of the price moves the value by
//     a fraction that is not a whole number of anything.
enum class ContractKind : std::uint8_t { Linear, Inverse };

// One instrument: its id (the one file headers carry), its symbol, the
// sizes of its price and quantity steps, and for an inverse contract the
// USD value of one contract and the coin it settles in.
//
// Invariants (of one that check_definition accepts): the symbol is UTF-8 of
// at most MAX_SYMBOL_BYTES; each step's text is a positive decimal number and
// its value is that text's; a linear definition has no contract value and
// no settlement coin, an inverse one has both.
struct InstrumentDefinition {
  std::uint64_t id = 0;
  std::string symbol;
  Step tick_size{};
  Step lot_size{};
  ContractKind kind = ContractKind::Linear;
  std::optional<Step> contract_value{};  // inverse only: USD of one contract
  std::string settle{};                  // inverse only: the coin ("BTC")

  // Equal ids, symbols and step texts: what a file holds, byte for byte.
  friend bool operator==(const InstrumentDefinition& a, const InstrumentDefinition& b);
};

// Whether two steps are the same size, however written ("0.1" and "0.10").
bool same_size(const Step& a, const Step& b);

// What a contract's kind adds to its sizes, as a converter is given it
// beside them: linear by default, so that a conversion told nothing of the
// kind writes the linear definition it always wrote.
struct ContractTerms {
  ContractKind kind = ContractKind::Linear;
  std::optional<Step> contract_value{};
  std::string settle{};

  // The definition of `id`, `symbol` and the two steps on these terms.
  InstrumentDefinition define(std::uint64_t id, std::string symbol, Step tick_size,
                              Step lot_size) const {
    return InstrumentDefinition{
        id,    std::move(symbol), std::move(tick_size), std::move(lot_size), kind, contract_value,
        settle};
  }
};

// How a position in `d` is valued, as a run's refusal names it: "linear", or
// "inverse, 100 USD a contract, settled in BTC".
std::string contract_text(const InstrumentDefinition& d);

// Why a run with the venue's definition `venue` cannot read a file written
// for `file`, when their contracts differ: another kind, another contract
// value ("100" and "100.0" are the same) or another coin.  The sizes and the
// symbol are compared where they always were; this is the part a reader of
// the sizes alone cannot see.  "the file's contract is inverse, 100 USD a
// contract, settled in BTC, and the venue's is linear".
std::optional<std::string> contract_mismatch(const InstrumentDefinition& file,
                                             const InstrumentDefinition& venue);

// Why a definition cannot be written, or a file's does not apply.
namespace definition {
// "tick_size \"0\" is not a positive decimal number" (the CSV converter's
// text for the same mistake).
struct BadStep {
  const char* name = "";
  std::string text;
  friend bool operator==(const BadStep&, const BadStep&) = default;
};
// "the symbol is not UTF-8"
struct SymbolNotUtf8 {
  friend bool operator==(const SymbolNotUtf8&, const SymbolNotUtf8&) = default;
};
// "the symbol is 70000 bytes, more than the 65535 a definition holds"
struct SymbolTooLong {
  std::size_t bytes = 0;
  friend bool operator==(const SymbolTooLong&, const SymbolTooLong&) = default;
};
// "the definition's id 7 is not the file's instrument 1"
struct IdMismatch {
  std::uint64_t definition = 0;
  std::uint64_t file = 0;
  friend bool operator==(const IdMismatch&, const IdMismatch&) = default;
};
// "an inverse contract needs a contract_value and a settle coin", "a
// linear contract has no contract_value or settle coin", "the settle coin
// is not 1 to 16 UTF-8 bytes"
struct KindFields {
  ContractKind kind = ContractKind::Linear;
  bool settle_text = false;  // the coin's text is what is wrong
  friend bool operator==(const KindFields&, const KindFields&) = default;
};
}  // namespace definition

// The longest settlement coin a definition holds, in UTF-8 bytes.
inline constexpr std::size_t MAX_SETTLE_BYTES = 16;

struct DefinitionProblem {
  std::variant<definition::BadStep, definition::SymbolNotUtf8, definition::SymbolTooLong,
               definition::IdMismatch, definition::KindFields>
      kind;

  std::string display() const;
  friend bool operator==(const DefinitionProblem&, const DefinitionProblem&) = default;
};

// What is wrong with `d`, or nothing when a file may hold it.
std::optional<DefinitionProblem> check_definition(const InstrumentDefinition& d);

// A definition from its parts as text ("0.10", "0.001"), or what is wrong
// with them: the sizes are read as decimal.hpp reads steps.
std::variant<InstrumentDefinition, DefinitionProblem> define_instrument(std::uint64_t id,
                                                                        std::string symbol,
                                                                        std::string_view tick_size,
                                                                        std::string_view lot_size);

// Why one tick on one lot has no Cash value.
enum class ContractFault : std::uint8_t {
  None,
  NotWhole,    // a fraction of the smallest amount of cash, 1 / CASH_SCALE
  OutOfRange,  // more than a Cash holds
};

// The Cash value of a price move of one tick on a position of one lot.
struct ContractSize {
  Cash cash = 0;
  ContractFault fault = ContractFault::None;
  friend bool operator==(const ContractSize&, const ContractSize&) = default;
};

// tick_size × lot_size × CASH_SCALE, exactly: 0.1 × 0.001 gives 10000,
// 0.5 × 2 gives 100000000.  A product that is not a whole number of Cash
// units (0.01 × 0.0000001) is NotWhole, one beyond INT64_MAX OutOfRange;
// neither is ever rounded.
ContractSize contract_size(const Step& tick_size, const Step& lot_size);
inline ContractSize contract_size(const InstrumentDefinition& d) {
  return contract_size(d.tick_size, d.lot_size);
}

// The text of a fault, naming the sizes: "one tick of 0.01 on one lot of
// 0.0000001 is not a whole number of cash units of 0.00000001", "one tick
// of 1000000 on one lot of 1e12 is more than 92233720368.54775807 in cash".
// Requires: fault is not None.
std::string describe(ContractFault fault, const Step& tick_size, const Step& lot_size);

}  // namespace halvorn::data
