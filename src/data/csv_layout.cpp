#include "data/csv_layout.hpp"

#include <array>
#include <string>

#include "data/csv_fields.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

using enum Col;

constexpr LayoutColumn TRADES[] = {{"id", Int},        {"price", Dec}, {"qty", Dec},
                                   {"quote_qty", Dec}, {"time", Int},  {"is_buyer_maker", Bool}};
constexpr LayoutColumn AGG_TRADES[] = {{"agg_trade_id", Int},   {"price", Dec},
                                       {"quantity", Dec},       {"first_trade_id", Int},
                                       {"last_trade_id", Int},  {"transact_time", Int},
                                       {"is_buyer_maker", Bool}};
constexpr LayoutColumn BEST_QUOTES[] = {{"update_id", Int},    {"best_bid_price", Dec},
                                        {"best_bid_qty", Dec}, {"best_ask_price", Dec},
                                        {"best_ask_qty", Dec}, {"transaction_time", Int},
                                        {"event_time", Int}};
constexpr LayoutColumn CLOCKED_TRADES[] = {
    {"exchange", Text}, {"symbol", Text}, {"timestamp", Int}, {"local_timestamp", Int},
    {"id", Text},       {"side", Side},   {"price", Dec},     {"amount", Dec}};
constexpr LayoutColumn CLOCKED_QUOTES[] = {
    {"exchange", Text},  {"symbol", Text},   {"timestamp", Int}, {"local_timestamp", Int},
    {"ask_amount", Dec}, {"ask_price", Dec}, {"bid_price", Dec}, {"bid_amount", Dec}};
constexpr LayoutColumn FUNDING[] = {
    {"calc_time", Int}, {"funding_interval_hours", Int}, {"last_funding_rate", Dec}};
constexpr LayoutColumn DEPTH_DIFFS[] = {
    {"symbol", Text},         {"timestamp", Int},      {"trans_id", Int},
    {"first_update_id", Int}, {"last_update_id", Int}, {"side", Book},
    {"update_type", Type},    {"price", Dec},          {"qty", Dec}};
constexpr LayoutColumn CLOCKED_DEPTH[] = {
    {"exchange", Text},    {"symbol", Text}, {"timestamp", Int}, {"local_timestamp", Int},
    {"is_snapshot", Bool}, {"side", Book},   {"price", Dec},     {"amount", Dec}};

constexpr LayoutColumn CHAINED_DIFFS[] = {
    {"symbol", Text},        {"timestamp", Int}, {"first_update_id", Int},
    {"last_update_id", Int}, {"side", Book},     {"update_type", Chain},
    {"price", Dec},          {"qty", Dec},       {"pu", Int}};

// The column names of an n-level book snapshot, "asks[0].price" and so on,
// written out once at compile time so that the table below can hold views of
// them like any other name.
template <std::size_t N>
struct SnapshotNames {
  static constexpr std::size_t COUNT = 4 + 4 * N;
  char text[COUNT * 16]{};
  std::size_t start[COUNT]{};
  std::size_t size[COUNT]{};

  constexpr SnapshotNames() {
    std::size_t at = 0, column = 0;
    const auto add = [&](std::string_view part, std::size_t level, std::string_view field) {
      start[column] = at;
      for (char c : part) text[at++] = c;
      if (!field.empty()) {
        text[at++] = '[';
        if (level >= 10) text[at++] = static_cast<char>('0' + level / 10);
        text[at++] = static_cast<char>('0' + level % 10);
        text[at++] = ']';
        text[at++] = '.';
        for (char c : field) text[at++] = c;
      }
      size[column] = at - start[column];
      ++column;
    };
    for (std::string_view name : {"exchange", "symbol", "timestamp", "local_timestamp"}) {
      add(name, 0, "");
    }
    for (std::size_t i = 0; i < N; ++i) {
      add("asks", i, "price");
      add("asks", i, "amount");
      add("bids", i, "price");
      add("bids", i, "amount");
    }
  }
};
template <std::size_t N>
inline constexpr SnapshotNames<N> SNAPSHOT_NAMES{};

// A level that a book holds fewer of than the file has room for is written
// as two empty fields.
template <std::size_t N>
constexpr std::array<LayoutColumn, 4 + 4 * N> snapshot_columns() {
  std::array<LayoutColumn, 4 + 4 * N> out{};
  const SnapshotNames<N>& n = SNAPSHOT_NAMES<N>;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const Col type = i < 2 ? Text : i < 4 ? Int : OptDec;
    out[i] = LayoutColumn{std::string_view(n.text + n.start[i], n.size[i]), type};
  }
  return out;
}
constexpr auto BOOK_SNAPSHOT_5 = snapshot_columns<5>();
constexpr auto BOOK_SNAPSHOT_25 = snapshot_columns<25>();

constexpr LayoutColumn KLINES[] = {{"open_time", Int},
                                   {"open", Dec},
                                   {"high", Dec},
                                   {"low", Dec},
                                   {"close", Dec},
                                   {"volume", Dec},
                                   {"close_time", Int},
                                   {"quote_volume", Dec},
                                   {"count", Int},
                                   {"taker_buy_volume", Dec},
                                   {"taker_buy_quote_volume", Dec},
                                   {"ignore", Text}};
constexpr LayoutColumn DERIVATIVE_TICKER[] = {{"exchange", Text},
                                              {"symbol", Text},
                                              {"timestamp", Int},
                                              {"local_timestamp", Int},
                                              {"funding_timestamp", OptInt},
                                              {"funding_rate", OptDec},
                                              {"predicted_funding_rate", OptDec},
                                              {"open_interest", OptDec},
                                              {"last_price", OptDec},
                                              {"index_price", OptDec},
                                              {"mark_price", OptDec}};

constexpr LayoutEntry LAYOUTS[] = {
    {Layout::Trades, "trades", "trades", StreamKind::Trades, TRADES, 4},
    {Layout::AggTrades, "aggregated trades", "agg_trades", StreamKind::Trades, AGG_TRADES, 5},
    {Layout::BestQuotes, "best bid and offer", "bbo", StreamKind::Quotes, BEST_QUOTES, 5},
    {Layout::ClockedTrades, "two-clock trades", "clock_trades", StreamKind::Trades, CLOCKED_TRADES,
     2},
    {Layout::ClockedQuotes, "two-clock quotes", "clock_quotes", StreamKind::Quotes, CLOCKED_QUOTES,
     2},
    {Layout::Funding, "funding history", "funding", StreamKind::Funding, FUNDING, 0},
    {Layout::DepthDiffs, "depth diffs", "depth_diffs", StreamKind::Depth, DEPTH_DIFFS, 1},
    {Layout::ClockedDepth, "two-clock depth", "clock_depth", StreamKind::Depth, CLOCKED_DEPTH, 2},
    {Layout::ChainedDiffs, "chained depth diffs", "chained_diffs", StreamKind::Depth, CHAINED_DIFFS,
     1},
    {Layout::BookSnapshot5, "5-level book snapshots", "book_snapshot_5", StreamKind::Depth,
     BOOK_SNAPSHOT_5, 2},
    {Layout::BookSnapshot25, "25-level book snapshots", "book_snapshot_25", StreamKind::Depth,
     BOOK_SNAPSHOT_25, 2},
    {Layout::Klines, "klines", "klines", StreamKind::Marks, KLINES, 6},
    {Layout::DerivativeTicker, "derivative ticker", "ticker", StreamKind::Marks, DERIVATIVE_TICKER,
     2},
};

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::span<const LayoutEntry> layouts() { return LAYOUTS; }

// The table is in the order of the enumeration, so that finding a row's
// layout, once per row, is an index.
constexpr bool in_enum_order() {
  for (std::size_t i = 0; i < std::size(LAYOUTS); ++i) {
    if (static_cast<std::size_t>(LAYOUTS[i].layout) != i + 1) return false;
  }
  return true;
}
static_assert(in_enum_order());

const LayoutEntry& layout_entry(Layout layout) {
  if (layout == Layout::Detect) panic("a layout to be read is never Detect");
  return LAYOUTS[static_cast<std::size_t>(layout) - 1];
}

const char* layout_name(Layout layout) {
  return layout == Layout::Detect ? "detected" : layout_entry(layout).name;
}

const char* layout_header(Layout layout) {
  // Joined once, from the one list of names.
  static const std::array<std::string, std::size(LAYOUTS)> headers = [] {
    std::array<std::string, std::size(LAYOUTS)> out;
    for (std::size_t i = 0; i < out.size(); ++i) {
      for (const LayoutColumn& c : LAYOUTS[i].columns) {
        if (!out[i].empty()) out[i] += ',';
        out[i] += c.name;
      }
    }
    return out;
  }();
  if (layout == Layout::Detect) return "";
  return headers[static_cast<std::size_t>(&layout_entry(layout) - LAYOUTS)].c_str();
}

std::string layout_header_shown(Layout layout) {
  const std::span<const LayoutColumn> columns = layout_entry(layout).columns;
  if (columns.size() <= 12) return layout_header(layout);
  std::string out;
  for (std::size_t i = 0; i < 8; ++i) {
    out += columns[i].name;
    out += ',';
  }
  out += "...,";
  out += columns.back().name;
  return out;
}

StreamKind layout_kind(Layout layout) { return layout_entry(layout).kind; }

Layout header_layout(std::span<const std::string_view> fields) {
  for (const LayoutEntry& entry : LAYOUTS) {
    if (entry.columns.size() != fields.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < fields.size() && same; ++i) {
      same = trimmed(fields[i]) == entry.columns[i].name;
    }
    if (same) return entry.layout;
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
  if (fields.size() != layout_entry(layout).columns.size()) return false;
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
    case Layout::ChainedDiffs:
      return parse_book_side(fields[4]).has_value() &&
             parse_chained_update_type(fields[5]).has_value();
    default:
      return true;
  }
}

}  // namespace

Layout shape_layout(StreamKind kind, std::span<const std::string_view> fields) {
  // The stream's own layouts first: a quote row whose last time is 0 could
  // pass for an aggregated trade, but not in a quote stream.
  for (const LayoutEntry& entry : LAYOUTS) {
    if (entry.kind == kind && fits(entry.layout, fields)) return entry.layout;
  }
  // A depth layout is never guessed for another stream: a two-clock depth
  // row differs from a two-clock trade with a misspelt side only in the
  // spelling of two fields, and a trade file must not be refused as depth.
  for (const LayoutEntry& entry : LAYOUTS) {
    if (entry.kind == StreamKind::Depth && kind != StreamKind::Depth) continue;
    if (fits(entry.layout, fields)) return entry.layout;
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
  if (NANOS_RANGE.contains(raw)) return TimeUnit::Nanoseconds;
  return TimeUnit::Detect;
}

std::int64_t unit_nanos(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::Milliseconds:
      return NANOS_PER_MILLI;
    case TimeUnit::Microseconds:
      return NANOS_PER_MICRO;
    case TimeUnit::Nanoseconds:
      return 1;
    case TimeUnit::Detect:
      break;
  }
  panic("a unit to convert by is never Detect");
}

}  // namespace halvorn::data
