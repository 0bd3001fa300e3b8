#include "data/csv_layout.hpp"

#include <array>

#include "data/csv_fields.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

struct Known {
  Layout layout;
  const char* name;
  const char* header;
  StreamKind kind;
};

constexpr std::string_view TRADES[] = {"id", "price", "qty", "quote_qty", "time", "is_buyer_maker"};
constexpr std::string_view AGG_TRADES[] = {"agg_trade_id",   "price",         "quantity",
                                           "first_trade_id", "last_trade_id", "transact_time",
                                           "is_buyer_maker"};
constexpr std::string_view BEST_QUOTES[] = {"update_id",      "best_bid_price", "best_bid_qty",
                                            "best_ask_price", "best_ask_qty",   "transaction_time",
                                            "event_time"};
constexpr std::string_view CLOCKED_TRADES[] = {"exchange", "symbol", "timestamp", "local_timestamp",
                                               "id",       "side",   "price",     "amount"};
constexpr std::string_view CLOCKED_QUOTES[] = {"exchange",        "symbol",     "timestamp",
                                               "local_timestamp", "ask_amount", "ask_price",
                                               "bid_price",       "bid_amount"};
constexpr std::string_view FUNDING[] = {"calc_time", "funding_interval_hours", "last_funding_rate"};
constexpr std::string_view DEPTH_DIFFS[] = {"symbol",          "timestamp",      "trans_id",
                                            "first_update_id", "last_update_id", "side",
                                            "update_type",     "price",          "qty"};
constexpr std::string_view CLOCKED_DEPTH[] = {
    "exchange", "symbol", "timestamp", "local_timestamp", "is_snapshot", "side", "price", "amount"};

constexpr Known KNOWN[] = {
    {Layout::Trades, "trades", "id,price,qty,quote_qty,time,is_buyer_maker", StreamKind::Trades},
    {Layout::AggTrades, "aggregated trades",
     "agg_trade_id,price,quantity,first_trade_id,last_trade_id,transact_time,is_buyer_maker",
     StreamKind::Trades},
    {Layout::BestQuotes, "best bid and offer",
     "update_id,best_bid_price,best_bid_qty,best_ask_price,best_ask_qty,transaction_time,"
     "event_time",
     StreamKind::Quotes},
    {Layout::ClockedTrades, "two-clock trades",
     "exchange,symbol,timestamp,local_timestamp,id,side,price,amount", StreamKind::Trades},
    {Layout::ClockedQuotes, "two-clock quotes",
     "exchange,symbol,timestamp,local_timestamp,ask_amount,ask_price,bid_price,bid_amount",
     StreamKind::Quotes},
    {Layout::Funding, "funding history", "calc_time,funding_interval_hours,last_funding_rate",
     StreamKind::Funding},
    {Layout::DepthDiffs, "depth diffs",
     "symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty",
     StreamKind::Depth},
    {Layout::ClockedDepth, "two-clock depth",
     "exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount", StreamKind::Depth},
};

const Known& known(Layout layout) {
  for (const Known& k : KNOWN) {
    if (k.layout == layout) return k;
  }
  panic("a layout to be read is never Detect");
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

const char* layout_name(Layout layout) {
  return layout == Layout::Detect ? "detected" : known(layout).name;
}

const char* layout_header(Layout layout) {
  return layout == Layout::Detect ? "" : known(layout).header;
}

StreamKind layout_kind(Layout layout) { return known(layout).kind; }

std::span<const std::string_view> layout_columns(Layout layout) {
  switch (layout) {
    case Layout::Detect:
      return {};
    case Layout::Trades:
      return TRADES;
    case Layout::AggTrades:
      return AGG_TRADES;
    case Layout::BestQuotes:
      return BEST_QUOTES;
    case Layout::ClockedTrades:
      return CLOCKED_TRADES;
    case Layout::ClockedQuotes:
      return CLOCKED_QUOTES;
    case Layout::Funding:
      return FUNDING;
    case Layout::DepthDiffs:
      return DEPTH_DIFFS;
    case Layout::ClockedDepth:
      return CLOCKED_DEPTH;
  }
  return {};
}

Layout header_layout(std::span<const std::string_view> fields) {
  for (const Known& k : KNOWN) {
    std::span<const std::string_view> names = layout_columns(k.layout);
    if (names.size() != fields.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < names.size() && same; ++i) same = trimmed(fields[i]) == names[i];
    if (same) return k.layout;
  }
  return Layout::Detect;
}

bool looks_like_header(std::span<const std::string_view> fields) {
  for (std::string_view f : fields) {
    if (starts_like_number(trimmed(f))) return false;
  }
  return true;
}

namespace {

// Whether a row of the right number of columns fits `layout` in the column
// that tells it from the other layout of as many columns.
bool fits(Layout layout, std::span<const std::string_view> fields) {
  if (fields.size() != layout_columns(layout).size()) return false;
  std::int64_t ignored;
  switch (layout) {
    case Layout::AggTrades:
      return parse_bool(fields[6]).has_value();
    case Layout::BestQuotes:
      return parse_int(fields[6], &ignored) == IntFault::None;
    case Layout::ClockedTrades:
      return parse_side(fields[5]).has_value();
    case Layout::ClockedQuotes:
      return starts_like_number(fields[5]);
    case Layout::DepthDiffs:
      return parse_book_side(fields[5]).has_value() && parse_update_type(fields[6]).has_value();
    case Layout::ClockedDepth:
      return parse_bool(fields[4]).has_value() && parse_book_side(fields[5]).has_value();
    default:
      return true;
  }
}

}  // namespace

Layout shape_layout(StreamKind kind, std::span<const std::string_view> fields) {
  // The stream's own layouts first: a quote row whose last time is 0 could
  // pass for an aggregated trade, but not in a quote stream.
  for (const Known& k : KNOWN) {
    if (k.kind == kind && fits(k.layout, fields)) return k.layout;
  }
  // A depth layout is never guessed for another stream: a two-clock depth
  // row differs from a two-clock trade with a misspelt side only in the
  // spelling of two fields, and a trade file must not be refused as depth.
  for (const Known& k : KNOWN) {
    if (k.kind == StreamKind::Depth && kind != StreamKind::Depth) continue;
    if (fits(k.layout, fields)) return k.layout;
  }
  return Layout::Detect;
}

const char* unit_name(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Detect:
      return "detected";
    case TimeUnit::Milliseconds:
      return "milliseconds";
    case TimeUnit::Microseconds:
      return "microseconds";
    case TimeUnit::Nanoseconds:
      return "nanoseconds";
  }
  return "";
}

TimeUnit detect_unit(std::int64_t raw) {
  if (MILLIS_RANGE.contains(raw)) return TimeUnit::Milliseconds;
  if (MICROS_RANGE.contains(raw)) return TimeUnit::Microseconds;
  return TimeUnit::Detect;
}

std::int64_t unit_nanos(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Milliseconds:
      return 1'000'000;
    case TimeUnit::Microseconds:
      return 1'000;
    case TimeUnit::Nanoseconds:
      return 1;
    case TimeUnit::Detect:
      break;
  }
  panic("a unit to convert by is never Detect");
}

}  // namespace halvorn::data
