#include "data/csv_error.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "data/depth_file.hpp"

namespace halvorn::data {

namespace {

constexpr std::size_t QUOTE_LIMIT = 60;

std::string num(std::int64_t v) { return std::to_string(v); }
std::string num(std::uint64_t v) { return std::to_string(v); }

std::string field(const std::string& column, const std::string& text) {
  return "column " + column + ": " + quoted(text);
}

const char* stream_file(StreamKind kind) {
  switch (kind) {
    case StreamKind::Trades:
      return "a trade file";
    case StreamKind::Quotes:
      return "a quote file";
    case StreamKind::Funding:
      return "a funding file";
    case StreamKind::Depth:
      return "a depth file";
    case StreamKind::Marks:
      return "a mark price file";
  }
  return "";
}

// "trades, aggregated trades or two-clock trades", with each layout's
// header in parentheses when `headers`.
std::string layouts_of(StreamKind kind, bool headers) {
  std::vector<std::string> names;
  for (const LayoutEntry& entry : layouts()) {
    if (entry.kind != kind) continue;
    names.push_back(entry.name);
    if (headers) names.back() += " (" + layout_header_shown(entry.layout) + ")";
  }
  const std::size_t n = names.size();
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += i + 1 == n ? " or " : ", ";
    out += names[i];
  }
  return out;
}

std::string describe(const ColumnCount& e) {
  std::string out = "expected " + num(std::uint64_t{layout_entry(e.layout).columns.size()}) +
                    " columns (" + layout_header_shown(e.layout) + "), found ";
  return out + (e.found == 0 ? std::string("an empty line") : num(std::uint64_t{e.found}));
}

std::string describe(const BadField& e) {
  static const char* const what[] = {
      "is not a decimal number",
      "is not an integer",
      "is not a boolean (true, false, 1 or 0)",
      "is not a side (buy, sell or unknown)",
      "is not a book side (b, bid or buy; a, ask or sell)",
      "is not an update type (snap, snapshot, set or delta)",
      "is not an update type (snap, snapshot, set, delta, update or delete)",
  };
  return field(e.column, e.text) + " " + what[static_cast<int>(e.expected)];
}

std::string describe(const OutOfRange& e) {
  return field(e.column, e.text) + beyond_limit(e.limit, e.detail);
}

std::string describe(const NotMultiple& e) {
  return field(e.column, e.text) + not_whole(e.step, e.unrounded, e.finer, e.mark);
}

std::string describe(const AmbiguousTime& e) {
  return "column " + e.column + ": cannot tell whether " + quoted(e.text) +
         " is in milliseconds, microseconds or nanoseconds (the years 1990 to 2099 are " +
         num(MILLIS_RANGE.low) + " to " + num(MILLIS_RANGE.high) + " in milliseconds, " +
         num(MICROS_RANGE.low) + " to " + num(MICROS_RANGE.high) + " in microseconds, " +
         num(NANOS_RANGE.low) + " to " + num(NANOS_RANGE.high) +
         " in nanoseconds); give the time unit";
}

std::string describe(const UnitMismatch& e) {
  return field(e.column, e.text) + " is not a time in " + unit_name(e.unit) +
         ", the unit of this file since line " + num(e.since_line);
}

std::string describe(const Backwards& e) {
  std::string out = field(e.column, e.text) + " goes back in time: " + num(e.found) +
                    " ns is before " + num(e.previous) + " ns at line " + num(e.previous_at.line);
  if (e.other_file) out += " of " + e.previous_at.file;
  if (e.window > 0) {
    out += ", which the sorting window of " + num(e.window) + " rows has already written";
  }
  return out;
}

std::string describe(const IdGap& e) {
  const std::int64_t first = e.previous + 1, last = e.found - 1;
  std::string out = first == last ? "missing aggregated trade " + num(first)
                                  : "missing aggregated trades " + num(first) + " to " + num(last);
  return out + " (the row before is " + num(e.previous) + ", this row " + num(e.found) + ")";
}

std::string describe(const IdOrder& e) {
  return "aggregated trade id " + num(e.found) + " does not follow id " + num(e.previous) +
         " of the row before; ids must increase";
}

std::string describe(const Duplicate& e) {
  std::string out = e.id ? "trade id " + num(*e.id) : std::string("a trade id");
  out += " repeats the trade at line " + num(e.previous.line);
  if (e.other_file) out += " of " + e.previous.file;
  return out + " (at the same time, " + num(e.time) +
         " ns); a trade given twice would count its quantity twice: remove the repeat, or have "
         "repeated trades skipped";
}

std::string describe(const NoTrades& e) {
  return "the trades have no rows, so none of the " + num(e.quotes) +
         " quote rows makes a tick (a tick carries the last trade price); give the trades of the "
         "same days";
}

std::string describe(const StaleQuote& e) {
  std::string out = "the latest quote at this trade is " + num(e.age) + " ns old (from " +
                    num(e.quoted) + " ns), more than the " + num(e.limit) + " ns a quote may be";
  if (e.ended) out += "; the quotes end at " + num(e.quoted) + " ns";
  return out;
}

std::string describe(const NoMarkForFunding& e) {
  return "no mark price at or before the funding settlement at " + num(e.time) + " ns (rate " +
         num(e.rate) + " billionths) to price it at";
}

std::string describe(const NotPremium& e) {
  return std::string("the ") + layout_name(e.layout) +
         " layout holds mark and index prices, not a premium index";
}

std::string describe(const IdRange& e) {
  return "first_update_id " + num(e.first) + " is after last_update_id " + num(e.last);
}

std::string describe(const MessageTooLarge& e) {
  std::string out = "the depth message from line " + num(e.start.line);
  if (e.other_file) out += " of " + e.start.file;
  return out + " has more than " + num(std::uint64_t{MAX_RECORD_LEVELS}) +
         " levels, the most one depth record holds";
}

std::string describe(const UnknownHeader& e) {
  return "the first line " + quoted(e.line) + " is not the header of a layout " +
         stream_file(e.kind) + " can have: " + layouts_of(e.kind, true);
}

std::string describe(const UnknownShape& e) {
  return "cannot tell the layout of a file without a header from its first row, of " +
         num(std::uint64_t{e.columns}) +
         " columns; give the layout, or add the header of one of: " + layouts_of(e.kind, true);
}

std::string describe(const WrongLayout& e) {
  return std::string("the header is that of the ") + layout_name(e.found) + " layout, but the " +
         layout_name(e.asked) + " layout was asked for";
}

std::string describe(const LayoutChanged& e) {
  return std::string("this file is of the ") + layout_name(e.found) +
         " layout, but the stream began with a file of the " + layout_name(e.first) + " layout (" +
         e.first_file + "); one stream is one layout";
}

std::string describe(const NotForStream& e) {
  const std::string which =
      std::string(stream_file(e.kind)) + " (" + layouts_of(e.kind, false) + ")";
  if (e.from_shape) {
    return std::string("the first row looks like one of the ") + layout_name(e.found) +
           " layout, which cannot be " + which + "; give the layout if it is one of those";
  }
  return std::string("a file of the ") + layout_name(e.found) + " layout cannot be " + which;
}

std::string describe(const LineTooLong&) {
  return "line is longer than " + num(std::uint64_t{1u << 20}) + " bytes";
}
std::string describe(const ReadFailed&) { return "reading failed"; }
std::string describe(const Stopped&) { return "stopped by the caller"; }
std::string describe(const BadStep& e) {
  return e.name + " " + quoted(e.text) + " is not a positive decimal number";
}
std::string describe(const Negative& e) {
  return field(e.column, e.text) +
         (e.price ? " is not above 0, and a mark or index price is a price" : " is negative");
}
std::string describe(const WriteFailed& e) { return e.display(); }

}  // namespace

std::string beyond_limit(Limit limit, const std::string& detail) {
  switch (limit) {
    case Limit::Digits:
      return " has more than 19 significant digits";
    case Limit::Exponent:
      return " has an exponent beyond 9999";
    case Limit::Integer:
      return " does not fit in a signed 64-bit integer";
    case Limit::Steps:
      return " is beyond 9223372036854775807 " + detail;
    case Limit::Time:
      return " in " + detail + " is beyond the times a tick holds (the years 1677 to 2262)";
    case Limit::Volume:
      return " takes the cumulative volume beyond 9223372036854775807 " + detail;
  }
  return "";
}

std::string not_whole(const std::string& step, bool unrounded, const std::string& finer,
                      bool mark) {
  std::string out = " is not a whole number of " + step;
  if (unrounded) out += ", and the trade has no aggressor side to round it by";
  if (!finer.empty()) out += "; a tick size of " + finer + " fits it and every price before it";
  if (mark) {
    out += "; a mark or index price is taken to the nearest tick only when rounding is asked for";
  }
  return out;
}

std::string quoted(std::string_view text) {
  // Appended piece by piece: the concatenation of temporaries draws a false
  // overlap warning from the compiler.
  const bool cut = text.size() > QUOTE_LIMIT;
  std::string out;
  out.reserve(std::min(text.size(), QUOTE_LIMIT) + 5);
  out += '"';
  out += cut ? text.substr(0, QUOTE_LIMIT) : text;
  if (cut) out += "...";
  out += '"';
  return out;
}

std::string ConvertError::display() const {
  std::string what = std::visit([](const auto& k) { return describe(k); }, kind);
  if (where.file.empty()) return what;
  if (where.line == 0) return where.file + ": " + what;
  return where.file + ":" + num(where.line) + ": " + what;
}

}  // namespace halvorn::data
