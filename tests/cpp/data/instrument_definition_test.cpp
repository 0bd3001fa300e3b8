// The value of one tick on one lot, exact or refused, and the definitions a
// file may hold.

#include "data/instrument_definition.hpp"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace halvorn::data {
namespace {

Step step(const std::string& text) {
  std::optional<Step> s = parse_step(text);
  if (!s) {
    ADD_FAILURE() << text << " is no step";
    return Step{};
  }
  return *s;
}

ContractSize size_of(const std::string& tick, const std::string& lot) {
  return contract_size(step(tick), step(lot));
}

TEST(ContractSize, IsTheExactCashOfOneTickOnOneLot) {
  EXPECT_EQ(size_of("0.1", "0.001"), (ContractSize{10'000}));
  EXPECT_EQ(size_of("0.01", "0.001"), (ContractSize{1'000}));
  EXPECT_EQ(size_of("0.5", "2"), (ContractSize{100'000'000}));
  EXPECT_EQ(size_of("0.10", "1e-3"), (ContractSize{10'000})) << "however the sizes are written";
  EXPECT_EQ(size_of("0.00000001", "1"), (ContractSize{1})) << "the smallest amount there is";
  EXPECT_EQ(size_of("25", "0.0004"), (ContractSize{1'000'000}));
  // 2^40 × 10^-12 on 5^27 × 10^-23: a product of 103 bits, whose powers of
  // two and five make 8192 × 10^-8 exactly.
  EXPECT_EQ(size_of("1.099511627776", "7450580596923828125e-23"), (ContractSize{8192}));
  // The largest Cash there is, and one unit past it.
  EXPECT_EQ(size_of("92233720368.54775807", "1"), (ContractSize{INT64_MAX}));
  EXPECT_EQ(size_of("92233720368.54775808", "1"), (ContractSize{0, ContractFault::OutOfRange}));
}

TEST(ContractSize, RefusesAFractionOfACashUnitAndWhatACashCannotHold) {
  EXPECT_EQ(size_of("0.01", "0.0000001"), (ContractSize{0, ContractFault::NotWhole}));
  EXPECT_EQ(size_of("0.3", "0.00000001"), (ContractSize{0, ContractFault::NotWhole}));
  EXPECT_EQ(size_of("1e-30", "1e-30"), (ContractSize{0, ContractFault::NotWhole}));
  EXPECT_EQ(size_of("9999999999999999999e-19", "9999999999999999999e-19"),
            (ContractSize{0, ContractFault::NotWhole}));
  EXPECT_EQ(size_of("1000000", "1e12"), (ContractSize{0, ContractFault::OutOfRange}));
  EXPECT_EQ(size_of("1e9999", "1e9999"), (ContractSize{0, ContractFault::OutOfRange}));
  EXPECT_EQ(size_of("9999999999999999999", "9999999999999999999"),
            (ContractSize{0, ContractFault::OutOfRange}));

  EXPECT_EQ(describe(ContractFault::NotWhole, step("0.01"), step("0.0000001")),
            "one tick of 0.01 on one lot of 0.0000001 is not a whole number of cash units of "
            "0.00000001");
  EXPECT_EQ(describe(ContractFault::OutOfRange, step("1000000"), step("1e12")),
            "one tick of 1000000 on one lot of 1e12 is more than 92233720368.54775807 in cash");
}

std::string problem_of(std::string symbol, std::string_view tick = "0.1",
                       std::string_view lot = "0.001") {
  auto d = define_instrument(7, std::move(symbol), tick, lot);
  if (auto* p = std::get_if<DefinitionProblem>(&d)) return p->display();
  return "";
}

TEST(Definition, TakesAnyUtf8SymbolAndPositiveSizes) {
  auto d = define_instrument(7, "BTC-€-\xF0\x9F\x98\x80", "0.10", "1e-3");
  ASSERT_TRUE(std::holds_alternative<InstrumentDefinition>(d));
  const InstrumentDefinition& def = std::get<InstrumentDefinition>(d);
  EXPECT_EQ(def.id, 7u);
  EXPECT_EQ(def.tick_size.text, "0.10") << "the text is kept as written";
  EXPECT_TRUE(same_size(def.tick_size, step("0.1")));
  EXPECT_FALSE(same_size(def.tick_size, step("0.01")));
  EXPECT_TRUE(same_size(def.lot_size, step("0.001")));
  EXPECT_EQ(problem_of(""), "") << "a symbol may be empty";
  EXPECT_EQ(problem_of(std::string(MAX_SYMBOL_BYTES, 'x')), "");
}

TEST(Definition, RefusesWhatAFileCouldNotHoldOrAReaderNotRead) {
  EXPECT_EQ(problem_of("BTC", "0"), "tick_size \"0\" is not a positive decimal number");
  EXPECT_EQ(problem_of("BTC", "0.1", "-1"), "lot_size \"-1\" is not a positive decimal number");
  EXPECT_EQ(problem_of("BTC", "0.1", "1 "), "lot_size \"1 \" is not a positive decimal number");
  EXPECT_EQ(problem_of(std::string(MAX_SYMBOL_BYTES + 1, 'x')),
            "the symbol is 65536 bytes, more than the 65535 a definition holds");
  // Overlong forms, surrogates, beyond U+10FFFF, a cut sequence, a stray
  // continuation byte.
  for (const char* bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF5\x80\x80\x80", "ab\xE2\x82", "\x80", "a\xE2\x28\xA1"}) {
    EXPECT_EQ(problem_of(bad), "the symbol is not UTF-8") << bad;
  }
  // The largest of each length is fine.
  EXPECT_EQ(problem_of("\x7F\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"), "");
}

TEST(Definition, AnInverseContractHasItsValueAndCoinAndALinearOneNeither) {
  InstrumentDefinition d =
      std::get<InstrumentDefinition>(define_instrument(1, "BTCUSD", "0.1", "1"));
  const auto problem = [&d] {
    std::optional<DefinitionProblem> p = check_definition(d);
    return p ? p->display() : std::string();
  };
  EXPECT_EQ(problem(), "");
  d.settle = "BTC";
  EXPECT_EQ(problem(), "a linear contract has no contract_value or settle coin");
  d.kind = ContractKind::Inverse;
  EXPECT_EQ(problem(), "an inverse contract needs a contract_value and a settle coin");
  d.contract_value = step("100");
  EXPECT_EQ(problem(), "");
  InstrumentDefinition same = d;
  EXPECT_EQ(same, d);
  same.contract_value = step("100.0");
  EXPECT_NE(same, d) << "a file holds the text as written";
  d.contract_value = Step{{}, "0"};
  EXPECT_EQ(problem(), "contract_value \"0\" is not a positive decimal number");
  d.contract_value = step("10");
  d.settle = std::string(MAX_SETTLE_BYTES + 1, 'B');
  EXPECT_EQ(problem(), "the settle coin is not 1 to 16 UTF-8 bytes");
  d.settle = "\xC0\x80";
  EXPECT_EQ(problem(), "the settle coin is not 1 to 16 UTF-8 bytes");
}

TEST(Definition, ARunComparesTheContractAFileWasWrittenFor) {
  const InstrumentDefinition linear =
      std::get<InstrumentDefinition>(define_instrument(1, "BTCUSD", "0.1", "1"));
  InstrumentDefinition file = linear;
  file.kind = ContractKind::Inverse;
  file.contract_value = step("100");
  file.settle = "BTC";
  InstrumentDefinition venue = file;
  venue.contract_value = step("100.0");
  EXPECT_EQ(contract_mismatch(file, venue), std::nullopt) << "one value, however written";
  EXPECT_EQ(contract_mismatch(linear, linear), std::nullopt);

  EXPECT_EQ(contract_mismatch(file, linear),
            "the file's contract is inverse, 100 USD a contract, settled in BTC, and the "
            "venue's is linear");
  EXPECT_EQ(contract_mismatch(linear, file),
            "the file's contract is linear, and the venue's is inverse, 100 USD a contract, "
            "settled in BTC");
  venue.contract_value = step("10");
  EXPECT_EQ(contract_mismatch(file, venue),
            "the file's contract is inverse, 100 USD a contract, settled in BTC, and the "
            "venue's is inverse, 10 USD a contract, settled in BTC");
  venue.contract_value = step("100");
  venue.settle = "XBT";
  EXPECT_NE(contract_mismatch(file, venue), std::nullopt) << "another coin";
}

}  // namespace
}  // namespace halvorn::data
