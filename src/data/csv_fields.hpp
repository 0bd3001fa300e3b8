// The fields of a CSV row other than decimals: integers (ids, times),
// booleans, trade sides, book sides and depth update types, read in place
// from the bytes of a line.
//
// Integers are an optional '-' or '+' and decimal digits, within the signed
// 64-bit range.  Booleans are true/false in lower, capitalised or upper case,
// or 1/0; anything else (including "yes" and "") is refused rather than read
// as true or false.  A side is "buy", "sell" or "unknown".
//
// Thread-safety: pure functions.

#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace halvorn::data {

enum class IntFault : std::uint8_t { None, NotAnInteger, OutOfRange };

// Reads an integer at `p`, stopping at the first byte that is not a digit.
// Returns where it stopped; `*fault` says whether an integer was read.
inline const char* scan_int(const char* p, const char* end, std::int64_t* out, IntFault* fault) {
  bool negative = false;
  if (p != end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  const char* start = p;
  std::uint64_t v = 0;
  // Eighteen digits cannot overflow, so the usual id or time is read with
  // no check per digit; only a longer number takes the checked loop.
  const char* unchecked = end - p > 18 ? p + 18 : end;
  for (; p != unchecked; ++p) {
    const unsigned c = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (c > 9) break;
    v = v * 10 + c;
  }
  bool big = false;
  if (p == unchecked) {
    for (; p != end; ++p) {
      const unsigned c = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (c > 9) break;
      big |= __builtin_mul_overflow(v, std::uint64_t{10}, &v);
      big |= __builtin_add_overflow(v, std::uint64_t{c}, &v);
    }
  }
  if (p == start) {
    *fault = IntFault::NotAnInteger;
  } else if (big || v > (negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1)) {
    *fault = IntFault::OutOfRange;
  } else {
    *fault = IntFault::None;
    *out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
  }
  return p;
}

// The whole of `text` as an integer.
inline IntFault parse_int(std::string_view text, std::int64_t* out) {
  IntFault fault;
  const char* end = text.data() + text.size();
  if (scan_int(text.data(), end, out, &fault) != end && fault == IntFault::None) {
    fault = IntFault::NotAnInteger;
  }
  return fault;
}

inline std::optional<bool> parse_bool(std::string_view t) {
  switch (t.size()) {
    case 1:
      if (t[0] == '1') return true;
      if (t[0] == '0') return false;
      return std::nullopt;
    case 4:
      if (t == "true" || t == "True" || t == "TRUE") return true;
      return std::nullopt;
    case 5:
      if (t == "false" || t == "False" || t == "FALSE") return false;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// Which side of a trade took liquidity, by which a price that is not a
// whole number of ticks may be rounded (see ConvertOptions::round).
enum class Aggressor : std::uint8_t { Unknown, Buyer, Seller };

inline std::optional<Aggressor> parse_side(std::string_view t) {
  if (t == "buy") return Aggressor::Buyer;
  if (t == "sell") return Aggressor::Seller;
  if (t == "unknown") return Aggressor::Unknown;
  return std::nullopt;
}

namespace detail {
// Whether `t` is `lower` in lower case, capitalised or upper case.
inline bool spelled(std::string_view t, std::string_view lower) {
  if (t.size() != lower.size()) return false;
  bool all_lower = true, all_upper = true, capital = true;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char l = lower[i];
    const char u = static_cast<char>(l - 'a' + 'A');
    all_lower &= t[i] == l;
    all_upper &= t[i] == u;
    capital &= t[i] == (i == 0 ? u : l);
  }
  return all_lower || all_upper || capital;
}
}  // namespace detail

// Which side of the book a depth row sets.
enum class BookSide : std::uint8_t { Bid, Ask };

inline std::optional<BookSide> parse_book_side(std::string_view t) {
  using detail::spelled;
  if (spelled(t, "b") || spelled(t, "bid") || spelled(t, "buy")) return BookSide::Bid;
  if (spelled(t, "a") || spelled(t, "ask") || spelled(t, "sell")) return BookSide::Ask;
  return std::nullopt;
}

// Whether a depth row belongs to a snapshot, sets a level of an update, or
// removes one.
enum class UpdateType : std::uint8_t { Snapshot, Set, Delete };

// The update types of the depth diffs layout: a snapshot row, or a set row
// (whose quantity 0 deletes the level), which archives that call their
// updates deltas name "delta".
inline std::optional<UpdateType> parse_update_type(std::string_view t) {
  using detail::spelled;
  if (spelled(t, "set") || spelled(t, "delta")) return UpdateType::Set;
  if (spelled(t, "snap") || spelled(t, "snapshot")) return UpdateType::Snapshot;
  return std::nullopt;
}

// The update types of the chained depth diffs layout, which names more of
// them: a snapshot row ("snap", "snapshot"), a row that sets a level to its
// quantity ("set", "update"), and a row that removes the level at its price
// whatever quantity it states ("delete").
inline std::optional<UpdateType> parse_chained_update_type(std::string_view t) {
  using detail::spelled;
  if (std::optional<UpdateType> u = parse_update_type(t)) return u;
  if (spelled(t, "update")) return UpdateType::Set;
  if (spelled(t, "delete")) return UpdateType::Delete;
  return std::nullopt;
}

// Where the field starting at `p` ends: the next ',' or `end`.
inline const char* field_end(const char* p, const char* end) {
  const void* comma = std::memchr(p, ',', static_cast<std::size_t>(end - p));
  return comma != nullptr ? static_cast<const char*>(comma) : end;
}

// Whether `field` starts the way a number does (a digit, or a sign or point
// and then a digit).
inline bool starts_like_number(std::string_view field) {
  std::size_t i = 0;
  if (i < field.size() && (field[i] == '-' || field[i] == '+')) ++i;
  if (i < field.size() && field[i] == '.') ++i;
  return i < field.size() && field[i] >= '0' && field[i] <= '9';
}

}  // namespace halvorn::data
