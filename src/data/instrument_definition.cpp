#include "data/instrument_definition.hpp"

#include <array>
#include <limits>

#include "data/csv_error.hpp"
#include "types/overloaded.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

using u128 = unsigned __int128;

// CASH_SCALE as a power of ten, so that it joins the exponents instead of
// multiplying numbers that may already be near 128 bits.
constexpr int CASH_EXPONENT = [] {
  int e = 0;
  for (Cash v = CASH_SCALE; v > 1; v /= 10) ++e;
  return e;
}();
static_assert(
    [] {
      Cash v = 1;
      for (int i = 0; i < CASH_EXPONENT; ++i) v *= 10;
      return v == CASH_SCALE;
    }(),
    "CASH_SCALE is a power of ten");

// 10^38 is the largest power of ten below 2^128.
constexpr int MAX_POW10 = 38;
constexpr std::array<u128, MAX_POW10 + 1> POW10 = [] {
  std::array<u128, MAX_POW10 + 1> t{};
  u128 v = 1;
  for (auto& x : t) x = v, v *= 10;
  return t;
}();

// Whether `s` is well-formed UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool is_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int more;
    unsigned low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) low = 0xA0;   // overlong
      if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) low = 0x90;   // overlong
      if (c == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (s.size() - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

bool same_decimal(const Decimal& a, const Decimal& b) {
  return a.digits == b.digits && a.exponent == b.exponent && a.negative == b.negative;
}

std::optional<DefinitionProblem> check_step(const char* name, const Step& step) {
  const std::optional<Step> read = parse_step(step.text);
  if (!read) return DefinitionProblem{definition::BadStep{name, step.text}};
  if (!same_decimal(read->value, step.value)) panic("a step's value is that of its text");
  return std::nullopt;
}

}  // namespace

bool operator==(const InstrumentDefinition& a, const InstrumentDefinition& b) {
  return a.id == b.id && a.symbol == b.symbol && a.tick_size.text == b.tick_size.text &&
         a.lot_size.text == b.lot_size.text && a.kind == b.kind &&
         a.contract_value.has_value() == b.contract_value.has_value() &&
         (!a.contract_value || a.contract_value->text == b.contract_value->text) &&
         a.settle == b.settle;
}

bool same_size(const Step& a, const Step& b) { return same_decimal(a.value, b.value); }

std::string contract_text(const InstrumentDefinition& d) {
  if (d.kind == ContractKind::Linear) return "linear";
  return "inverse, " + (d.contract_value ? d.contract_value->text : std::string("?")) +
         " USD a contract, settled in " + d.settle;
}

std::optional<std::string> contract_mismatch(const InstrumentDefinition& file,
                                             const InstrumentDefinition& venue) {
  const bool same =
      file.kind == venue.kind && file.settle == venue.settle &&
      file.contract_value.has_value() == venue.contract_value.has_value() &&
      (!file.contract_value || same_size(*file.contract_value, *venue.contract_value));
  if (same) return std::nullopt;
  return "the file's contract is " + contract_text(file) + ", and the venue's is " +
         contract_text(venue);
}

std::string DefinitionProblem::display() const {
  return std::visit(
      Overloaded{
          [](const definition::BadStep& e) {
            return ConvertError{Place{}, BadStep{e.name, e.text}}.display();
          },
          [](const definition::SymbolNotUtf8&) { return std::string("the symbol is not UTF-8"); },
          [](const definition::SymbolTooLong& e) {
            return "the symbol is " + std::to_string(e.bytes) + " bytes, more than the " +
                   std::to_string(MAX_SYMBOL_BYTES) + " a definition holds";
          },
          [](const definition::IdMismatch& e) {
            return "the definition's id " + std::to_string(e.definition) +
                   " is not the file's instrument " + std::to_string(e.file);
          },
          [](const definition::KindFields& e) {
            if (e.settle_text) {
              return "the settle coin is not 1 to " + std::to_string(MAX_SETTLE_BYTES) +
                     " UTF-8 bytes";
            }
            return std::string(e.kind == ContractKind::Inverse
                                   ? "an inverse contract needs a contract_value and a settle coin"
                                   : "a linear contract has no contract_value or settle coin");
          },
      },
      kind);
}

std::optional<DefinitionProblem> check_definition(const InstrumentDefinition& d) {
  if (d.symbol.size() > MAX_SYMBOL_BYTES) {
    return DefinitionProblem{definition::SymbolTooLong{d.symbol.size()}};
  }
  if (!is_utf8(d.symbol)) return DefinitionProblem{definition::SymbolNotUtf8{}};
  if (auto p = check_step("tick_size", d.tick_size)) return p;
  if (auto p = check_step("lot_size", d.lot_size)) return p;
  if (d.kind == ContractKind::Linear) {
    if (d.contract_value || !d.settle.empty()) {
      return DefinitionProblem{definition::KindFields{d.kind, false}};
    }
    return std::nullopt;
  }
  if (!d.contract_value || d.settle.empty()) {
    return DefinitionProblem{definition::KindFields{d.kind, false}};
  }
  if (d.settle.size() > MAX_SETTLE_BYTES || !is_utf8(d.settle)) {
    return DefinitionProblem{definition::KindFields{d.kind, true}};
  }
  return check_step("contract_value", *d.contract_value);
}

std::variant<InstrumentDefinition, DefinitionProblem> define_instrument(std::uint64_t id,
                                                                        std::string symbol,
                                                                        std::string_view tick_size,
                                                                        std::string_view lot_size) {
  std::optional<Step> tick = parse_step(tick_size);
  if (!tick) return DefinitionProblem{definition::BadStep{"tick_size", std::string(tick_size)}};
  std::optional<Step> lot = parse_step(lot_size);
  if (!lot) return DefinitionProblem{definition::BadStep{"lot_size", std::string(lot_size)}};
  InstrumentDefinition d{id, std::move(symbol), *std::move(tick), *std::move(lot)};
  if (auto p = check_definition(d)) return *std::move(p);
  return d;
}

ContractSize contract_size(const Step& tick_size, const Step& lot_size) {
  // (t × 10^te) × (l × 10^le) × 10^CASH_EXPONENT = t × l × 10^e.  The
  // product of two 64-bit digit strings fits in 128 bits, and the power of
  // ten is applied on whichever side keeps every step exact.
  const u128 product = static_cast<u128>(tick_size.value.digits) * lot_size.value.digits;
  const int e = tick_size.value.exponent + lot_size.value.exponent + CASH_EXPONENT;
  constexpr u128 LIMIT = static_cast<u128>(std::numeric_limits<Cash>::max());
  u128 cash = product;
  if (e > 0) {
    if (e > MAX_POW10 || __builtin_mul_overflow(product, POW10[e], &cash)) {
      return ContractSize{0, ContractFault::OutOfRange};
    }
  } else if (e < 0) {
    // A nonzero product below 2^128 is not a multiple of 10^39 or more.
    if (-e > MAX_POW10 || product % POW10[-e] != 0) return ContractSize{0, ContractFault::NotWhole};
    cash = product / POW10[-e];
  }
  if (cash > LIMIT) return ContractSize{0, ContractFault::OutOfRange};
  return ContractSize{static_cast<Cash>(cash), ContractFault::None};
}

std::string describe(ContractFault fault, const Step& tick_size, const Step& lot_size) {
  const std::string what = "one tick of " + tick_size.text + " on one lot of " + lot_size.text;
  switch (fault) {
    case ContractFault::NotWhole:
      return what + " is not a whole number of cash units of 0." +
             std::string(CASH_EXPONENT - 1, '0') + "1";
    case ContractFault::OutOfRange: {
      const std::string max = std::to_string(std::numeric_limits<Cash>::max());
      return what + " is more than " + max.substr(0, max.size() - CASH_EXPONENT) + "." +
             max.substr(max.size() - CASH_EXPONENT) + " in cash";
    }
    case ContractFault::None:
      break;
  }
  panic("only a fault has a text");
}

}  // namespace halvorn::data
