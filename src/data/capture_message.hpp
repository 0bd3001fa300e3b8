// One line of a recorded capture, read into the engine's units.
//
// A capture is a text file of lines, one message per line, as a recorder of
// a venue's WebSocket streams writes them:
//
//   line    := [local spaces] message
//   local   := the time this process received the message: an integer of
//              milliseconds, microseconds or nanoseconds since 1970 (told
//              by its size, as CSV times are), or a UTC time written
//              2024-01-02T03:04:05.123456789Z (the fraction optional, up to
//              nine digits)
//   spaces  := one or more spaces or tabs
//   message := one JSON object
//
// A line without a local time (an archive downloaded rather than recorded)
// takes the message's exchange time as its local time, as the CSV layouts
// without a local clock do.  The messages read are those of perpetual
// venues' public streams, bare or wrapped as a combined stream wraps them
// ({"stream": ..., "data": {...}}):
//
//   trade            {"e":"trade","T":...,"s":...,"t":id,"p":...,"q":...,"m":...}
//   aggTrade         {"e":"aggTrade","T":...,"s":...,"a":id,"p":...,"q":...,"m":...}
//   bookTicker       {"e":"bookTicker","T":...,"s":...,"b":...,"a":...} (or no "e",
//                    with "u","s","b","B","a","A")
//   depthUpdate      {"e":"depthUpdate","T":...,"s":...,"U":...,"u":...,"pu":...,
//                    "b":[[p,q],...],"a":[[p,q],...]} ("pu" may be absent)
//   markPriceUpdate  {"e":"markPriceUpdate","E":...,"s":...,"p":...,"i":...,
//                    "r":...,"T":next funding time}
//   depth snapshot   {"lastUpdateId":...,"T":...,"bids":[...],"asks":[...]}
//   order-book archive  {"topic":"orderbook.500.XRPUSDT","type":"snapshot"|"delta",
//                    "ts":...,"data":{"s":...,"b":[...],"a":[...],"u":...,"seq":...}}
//
// Exchange times are "T" where a message has it, else "E" ("ts" in the
// archive); a message with neither takes its local time.  Prices and
// quantities are decimal text, in strings or as JSON numbers, scaled exactly
// (decimal.hpp); times are integers, in either form, whose unit is told by
// their size.  Any other message ("kline", a subscription's reply) is
// recognised as Other, to be counted and passed over.
//
// Thread-safety: a MessageReader is used by one thread at a time.

#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "book/depth_records.hpp"
#include "data/capture_error.hpp"
#include "data/csv_layout.hpp"
#include "data/decimal.hpp"
#include "data/json_scan.hpp"

namespace halvorn::data {

enum class MessageKind : std::uint8_t {
  Trade,
  Quote,
  DepthSnapshot,
  DepthUpdate,
  Mark,
  Other,  // recognised as JSON, and of no kind read here
};

// A message in the engine's units.  Which fields hold what depends on kind:
//   Trade:         price (ticks), qty (lots), id, aggregated, seller_took
//   Quote:         bid, ask (ticks)
//   DepthSnapshot: final_id (its last update id), bids, asks, fetched
//   DepthUpdate:   first_id, final_id, prev_id (when stated), bids, asks
//   Mark:          mark, index (ticks; 0 when absent), funding_time and
//                  funding_rate (billionths) when the message names them
// `symbol` is a view of the line, valid until the next read.
struct CaptureMessage {
  MessageKind kind = MessageKind::Other;
  Nanos exch = 0;
  Nanos local = 0;
  std::string_view symbol;
  std::int64_t price = 0;
  std::int64_t qty = 0;
  std::int64_t id = 0;
  bool aggregated = false;
  bool seller_took = false;
  std::int64_t bid = 0;
  std::int64_t ask = 0;
  // DepthSnapshot: fetched apart from the stream (a REST snapshot), not one
  // of its messages (an archive's).
  bool fetched = false;
  std::uint64_t first_id = 0;
  std::uint64_t final_id = 0;
  std::optional<std::uint64_t> prev_id;
  std::vector<book::Level> bids;
  std::vector<book::Level> asks;
  std::int64_t mark = 0;
  std::int64_t index = 0;
  std::optional<Nanos> funding_time;
  std::optional<std::int64_t> funding_rate;
};

// How a capture's values become the engine's.
struct CaptureScaling {
  Step tick;
  Step lot;
  // Round what is not a whole step against the strategy (trade prices by
  // their aggressor, bids down, asks up, quantities down) and marks to the
  // nearest tick, instead of refusing it.
  bool round = false;
  TimeUnit unit = TimeUnit::Detect;  // of exchange times; Detect: by each one's size
};

class MessageReader {
 public:
  explicit MessageReader(CaptureScaling scaling);

  // Reads `line` into `*out`.  False with `*error` set (its place left to the
  // caller) when the line is not a message read here or a field does not
  // scale.  Requires: `line` is not blank.
  bool read(std::string_view line, CaptureMessage* out, CaptureError* error);

 private:
  // A field of interest, by its name in the message ("e", "E", "T", ...;
  // names differ in case only, so each is named for its letter and case).
  enum class Key : std::uint8_t {
    LowerE,
    UpperE,
    UpperT,
    LowerS,
    LowerT,
    LowerA,
    LowerP,
    LowerQ,
    LowerM,
    LowerU,
    UpperU,
    Pu,
    LowerB,
    UpperB,
    UpperA,
    LowerI,
    LowerR,
    LastUpdateId,
    Bids,
    Asks,
    Data,
    Stream,
    Topic,
    Type,
    Ts,
    Count
  };
  struct Span {
    const char* begin = nullptr;  // the value's first byte; null when absent
    const char* end = nullptr;
  };
  using Fields = std::array<Span, static_cast<std::size_t>(Key::Count)>;

  static std::optional<Key> key_of(std::string_view name);
  static const char* name_of(Key k);
  static const Span& at(const Fields& f, Key k) { return f[static_cast<std::size_t>(k)]; }
  bool local_time(std::string_view* line, CaptureMessage* out, bool* has_local);
  bool collect(const char* begin, const char* end, Fields* fields);
  bool classify(const Fields& outer, const Fields& payload, CaptureMessage* out);
  bool text(const Fields& f, Key k, std::string_view* out);
  bool need(const Fields& f, Key k, const char* message);
  bool time_of(const Fields& f, Key k, Nanos* out);
  bool integer(const Fields& f, Key k, std::int64_t* out);
  bool id_of(const Fields& f, Key k, std::uint64_t* out);
  bool boolean(const Fields& f, Key k, bool* out);
  bool decimal(const Fields& f, Key k, Decimal* d, std::string_view* text);
  // What a field counted in steps is, for what its errors say.
  enum class Steps : std::uint8_t { Price, Quantity, Mark, Rate };
  // A decimal field counted in `step`s, rounded as `r` says (Exact refuses
  // what is not whole); `unit` names the steps in error texts.  A price
  // refused names the tick size that would take it, a mark says how it is
  // rounded, and a quantity must not be negative.
  bool steps_of(const Fields& f, Key k, const Step& step, Rounding r, const char* unit, Steps kind,
                std::int64_t* out);
  bool price_of(const Fields& f, Key k, Rounding r, std::int64_t* out);
  bool qty_of(const Fields& f, Key k, std::int64_t* out);
  bool mark_of(const Fields& f, Key k, std::int64_t* out);
  bool rate_of(const Fields& f, Key k, std::int64_t* out);
  // Whether the field is there and holds something (not null, not "").
  static bool present(const Fields& f, Key k);
  bool quote(const Fields& f, CaptureMessage* out);
  bool levels(const Fields& f, Key k, bool bid, std::vector<book::Level>* out);
  bool exchange_time(const Fields& f, const CaptureMessage& m, Nanos* out);
  bool json_fault(const JsonScan& scan, const char* base);
  bool set(decltype(CaptureError::kind) kind);

  CaptureScaling scaling_;
  Step billionth_;
  const char* line_ = nullptr;     // the line being read, for byte offsets
  bool has_local_ = false;         // the line gave a local time
  bool wrapped_ = false;           // the message's payload is its "data" object
  std::string_view message_name_;  // "an aggregated trade (aggTrade)", for MissingField
  Fields outer_;
  Fields payload_;
  std::string key_scratch_;
  std::string value_scratch_;
  CaptureError* error_ = nullptr;
};

}  // namespace halvorn::data
