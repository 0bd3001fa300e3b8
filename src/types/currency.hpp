// Currencies and per-currency cash balances.
//
// Thread-safety: plain values; a Balances is used by one thread at a time.

#pragma once

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/fixed.hpp"

namespace halvorn {

// A Currency is an upper-case ASCII code, left-aligned in 8 bytes and padded
// with zero bytes.
//
// Codes order as their 8 bytes read as one big-endian unsigned integer, so a
// shorter code sorts before a longer code with the same leading letters (USD
// before USDC before USDT).
struct Currency {
  std::array<char, 8> bytes{};

  // Requires: code is at most 8 ASCII bytes.
  static constexpr Currency of(std::string_view code) {
    Currency c;
    for (std::size_t i = 0; i < code.size() && i < c.bytes.size(); ++i) c.bytes[i] = code[i];
    return c;
  }

  // The 8 bytes as one big-endian integer: the order of codes.
  constexpr std::uint64_t key() const {
    const auto raw = std::bit_cast<std::uint64_t>(bytes);
    return std::endian::native == std::endian::little ? __builtin_bswap64(raw) : raw;
  }

  std::string code() const;

  // Equal codes have equal bytes; comparing them as one word needs no byte
  // order, and this comparison runs on every tick's balance lookup.
  friend constexpr bool operator==(const Currency& a, const Currency& b) {
    return std::bit_cast<std::uint64_t>(a.bytes) == std::bit_cast<std::uint64_t>(b.bytes);
  }
  friend constexpr std::strong_ordering operator<=>(const Currency& a, const Currency& b) {
    return a.key() <=> b.key();
  }
};

// The settlement currency of every account.
inline constexpr Currency USDT = Currency::of("USDT");

// Balances holds the cash of an account per currency.
//
// Invariants: entries sorted ascending by currency, at most one per currency.
struct Balances {
  std::vector<std::pair<Currency, Cash>> entries;

  static Balances of(Currency currency, Cash amount);

  // Adds a signed amount with saturation.  A currency without an entry gets
  // one at its sorted position, also when the amount is zero.
  void add(Currency currency, Cash amount);

  // The amount held in the currency; 0 when it has no entry.
  Cash get(Currency currency) const;
};

}  // namespace halvorn
