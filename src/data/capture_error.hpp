// Why reading a capture stopped: errors as values, each placed at the file
// and line of the message it is about, with a fixed text written for the
// person who has to fix the capture.
//
// A capture is read to its first error; nothing is skipped silently (the
// messages a conversion does not use are counted, not dropped unseen).
//
// Thread-safety: plain values.

#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "data/csv_error.hpp"
#include "data/json_scan.hpp"
#include "types/time.hpp"

namespace halvorn::data {

// "the message is not JSON: expected ':' (byte 41 of the line)"
struct BadJson {
  JsonFault fault = JsonFault::None;
  std::string expected;
  std::size_t byte = 0;  // 1-based, in the line
};

// "the line does not start with a local time or a message: \"12:00\" ..."
struct BadLocalTime {
  std::string text;
};

// "an aggregated trade (aggTrade) has no field \"q\""
struct MissingField {
  std::string message;  // "an aggregated trade (aggTrade)"
  std::string field;
};

// What a field should have held.
enum class FieldShape : std::uint8_t { Decimal, Integer, Boolean, Levels, Text };
// "field \"p\": \"4x\" is not a decimal number"
struct WrongField {
  std::string field;
  std::string text;
  FieldShape expected = FieldShape::Decimal;
};

// "field \"p\": \"1e30\" is beyond 9223372036854775807 ticks of 0.1" and the
// other limits of csv_error.hpp's OutOfRange, whose Limit it takes.
struct FieldRange {
  std::string field;
  std::string text;
  Limit limit = Limit::Digits;
  std::string detail;
};

// "field \"T\": cannot tell whether \"123456\" is in milliseconds, ..."
struct UnknownUnit {
  std::string field;
  std::string text;
};

// "field \"q\": \"-1\" is negative"
struct NegativeField {
  std::string field;
  std::string text;
};

// "field \"p\": \"4.25\" is not a whole number of ticks of 0.1; a tick size
// of 0.01 fits it and every price before it" (and the other endings of
// csv_error.hpp's NotMultiple).
struct NotWhole {
  std::string field;
  std::string text;
  std::string step;
  std::string finer;
  bool mark = false;
};

// "the capture holds messages of BTCUSDT (from line 1 of a.jsonl) and of
// ETHUSDT: give the symbol to read, as symbol= or an Instrument"
struct SymbolsMixed {
  std::string first;
  Place first_at;
  std::string found;
};

// "the capture holds both trades (trade) and aggregated trades (aggTrade) of
// BTCUSDT, which are the same trades counted twice: give trades=\"trades\"
// or trades=\"agg_trades\""
struct TradesTwice {
  std::string symbol;
};

// "this message's exchange time, 1700000000100000000 ns, is before
// 1700000000300000000 ns, already written: it came more than max_delay
// (100000000 ns) behind a message stamped later; give a larger max_delay"
struct TooLate {
  Nanos time = 0;
  Nanos written = 0;
  Nanos delay = 0;
};

// "more than 1048576 messages arrived within max_delay (…) of one another"
struct WindowFull {
  Nanos delay = 0;
};

// "missing aggregated trades 101 to 104 (the message before is 100, this
// one 105); ..."
struct TradeGap {
  std::int64_t previous = 0;
  std::int64_t found = 0;
};

// "depth update 160..170 (pu 149) does not continue the book (sequence gap:
// last applied 155, update follows 149): ..."
struct DepthBreak {
  std::uint64_t first = 0;
  std::uint64_t final = 0;
  std::optional<std::uint64_t> prev;
  std::string reason;
};

// "a depth message has more than 1048576 levels, the most one depth record
// holds"
struct TooManyLevels {};

// "field \"q\": \"5\" takes the cumulative volume beyond ... lots of 0.001"
// is a FieldRange with Limit::Volume.

// What an asked-for output found none of: "the capture has no trades of
// BTCUSDT, so it makes no ticks (a tick carries the last trade price)".
struct NothingFor {
  enum class What : std::uint8_t { Ticks, Depth, DepthSnapshot, Marks } what = What::Ticks;
  std::string symbol;
};

// A settlement with no mark to price it, in csv_error.hpp's words.
using NoMarkToSettle = NoMarkForFunding;

struct CaptureError {
  Place where;
  std::variant<BadJson, BadLocalTime, MissingField, WrongField, FieldRange, UnknownUnit,
               NegativeField, NotWhole, SymbolsMixed, TradesTwice, TooLate, WindowFull, TradeGap,
               DepthBreak, TooManyLevels, NothingFor, NoMarkToSettle, LineTooLong, ReadFailed,
               Stopped, BadStep, WriteFailed>
      kind;

  // "{file}:{line}: {kind}", "{file}: {kind}", or the kind alone, as a
  // ConvertError is shown.
  std::string display() const;
};

}  // namespace halvorn::data
