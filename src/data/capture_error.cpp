#include "data/capture_error.hpp"

#include "data/csv_layout.hpp"
#include "data/depth_file.hpp"

namespace halvorn::data {

namespace {

std::string num(std::int64_t v) { return std::to_string(v); }
std::string num(std::uint64_t v) { return std::to_string(v); }

std::string field(const std::string& name, const std::string& text) {
  return "field \"" + name + "\": " + quoted(text);
}

std::string describe(const BadJson& e) {
  return "the message is not JSON: " + json_fault_text(e.fault, e.expected) + " (byte " +
         num(std::uint64_t{e.byte}) + " of the line)";
}

std::string describe(const BadLocalTime& e) {
  return "the line does not start with a local time or a message: " + quoted(e.text) +
         " (a line is a JSON object, or a local time -- an integer of milliseconds, "
         "microseconds or nanoseconds since 1970, or a UTC time such as "
         "2024-01-02T03:04:05.123456Z -- then spaces or tabs and the object)";
}

std::string describe(const MissingField& e) {
  return e.message + " has no field \"" + e.field + "\"";
}

std::string describe(const WrongField& e) {
  static const char* const what[] = {
      "is not a decimal number",
      "is not an integer",
      "is not true or false",
      "is not a list of [price, quantity] levels",
      "is not text",
  };
  return field(e.field, e.text) + " " + what[static_cast<int>(e.expected)];
}

std::string describe(const FieldRange& e) {
  return field(e.field, e.text) + beyond_limit(e.limit, e.detail);
}

std::string describe(const UnknownUnit& e) {
  return field(e.field, e.text) +
         " is not a time: not in milliseconds, microseconds or nanoseconds of the years 1990 to "
         "2099 (" +
         num(MILLIS_RANGE.low) + " to " + num(MILLIS_RANGE.high) + ", " + num(MICROS_RANGE.low) +
         " to " + num(MICROS_RANGE.high) + " or " + num(NANOS_RANGE.low) + " to " +
         num(NANOS_RANGE.high) + "); give the time unit";
}

std::string describe(const NegativeField& e) { return field(e.field, e.text) + " is negative"; }

std::string describe(const NotWhole& e) {
  return field(e.field, e.text) + not_whole(e.step, false, e.finer, e.mark);
}

std::string describe(const SymbolsMixed& e) {
  return "the capture holds messages of " + e.first + " (from line " + num(e.first_at.line) +
         " of " + e.first_at.file + ") and of " + e.found +
         ": give the symbol to read, as symbol= or an Instrument";
}

std::string describe(const TradesTwice& e) {
  return "the capture holds both trades (trade) and aggregated trades (aggTrade) of " + e.symbol +
         ", which are the same trades counted twice: give trades=\"trades\" or "
         "trades=\"agg_trades\"";
}

std::string describe(const TooLate& e) {
  return "this message's exchange time, " + num(e.time) + " ns, is before " + num(e.written) +
         " ns, already written: it came more than max_delay (" + num(e.delay) +
         " ns) behind a message stamped later; give a larger max_delay";
}

std::string describe(const WindowFull& e) {
  return "more than " + num(std::uint64_t{1} << 20) + " messages arrived within max_delay (" +
         num(e.delay) + " ns) of one another; give a smaller max_delay";
}

std::string describe(const TradeGap& e) {
  const std::int64_t first = e.previous + 1, last = e.found - 1;
  std::string out = first == last ? "missing aggregated trade " + num(first)
                                  : "missing aggregated trades " + num(first) + " to " + num(last);
  return out + " (the message before is " + num(e.previous) + ", this one " + num(e.found) +
         "); give allow_gaps=True to accept a capture with trades missing";
}

std::string describe(const DepthBreak& e) {
  std::string out = "depth update " + num(e.first) + ".." + num(e.final);
  if (e.prev) out += " (pu " + num(*e.prev) + ")";
  return out + " does not continue the book (" + e.reason +
         "): a message was lost, and a run's book stops here until a later snapshot; give "
         "allow_gaps=True to write it all the same";
}

std::string describe(const TooManyLevels&) {
  return "a depth message has more than " + num(std::uint64_t{MAX_RECORD_LEVELS}) +
         " levels, the most one depth record holds";
}

std::string describe(const NothingFor& e) {
  switch (e.what) {
    case NothingFor::What::Ticks:
      return "the capture has no trades of " + e.symbol +
             ", so it makes no ticks (a tick carries the last trade price)";
    case NothingFor::What::Depth:
      return "the capture has no depth messages of " + e.symbol;
    case NothingFor::What::DepthSnapshot:
      return "the capture has depth updates of " + e.symbol +
             " but no snapshot, and a book cannot start without one: record the depth snapshot "
             "too";
    case NothingFor::What::Marks:
      return "the capture has no mark price updates of " + e.symbol;
  }
  return "";
}

std::string describe(const NoMarkToSettle& e) {
  return "no mark price at or before the funding settlement at " + num(e.time) + " ns (rate " +
         num(e.rate) + " billionths) to price it at";
}

std::string describe(const LineTooLong&) {
  return "line is longer than " + num(std::uint64_t{1u << 20}) + " bytes";
}
std::string describe(const ReadFailed&) { return "reading failed"; }
std::string describe(const Stopped&) { return "stopped by the caller"; }
std::string describe(const BadStep& e) {
  return e.name + " " + quoted(e.text) + " is not a positive decimal number";
}
std::string describe(const WriteFailed& e) { return e.display(); }

}  // namespace

std::string CaptureError::display() const {
  std::string what = std::visit([](const auto& k) { return describe(k); }, kind);
  if (where.file.empty()) return what;
  if (where.line == 0) return where.file + ": " + what;
  return where.file + ":" + num(where.line) + ": " + what;
}

}  // namespace halvorn::data
