// Little-endian loads and stores for the depth file's reader and encoder.
//
// Every field of a depth file is a little-endian integer at a fixed offset;
// these assemble and take apart such fields whatever the host's byte order.
//
// Thread-safety: pure functions.

#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace halvorn::data::depth_bytes {

// On a little-endian host a field is the value's own bytes, so a load is a
// copy; the compiler does not reliably merge the byte-by-byte form, which
// costs the reader a third of its speed.
template <class T>
T load(const std::uint8_t* at) {
  std::make_unsigned_t<T> v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, at, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i) v |= static_cast<decltype(v)>(at[i]) << (8 * i);
  }
  return static_cast<T>(v);
}

template <class T>
void store(std::uint8_t* at, T value) {
  const auto v = static_cast<std::make_unsigned_t<T>>(value);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &v, sizeof v);
  } else {
    for (std::size_t i = 0; i < sizeof v; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

}  // namespace halvorn::data::depth_bytes
