// Little-endian loads and stores for the depth file's reader and encoder.
//
// Every field of a depth file is a little-endian integer at a fixed offset;
// these assemble and take apart such fields whatever the host's byte order
// (on a little-endian host the compiler makes each a single load or store).
//
// Thread-safety: pure functions.

#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace halvorn::data::depth_bytes {

template <class T>
T load(const std::uint8_t* at) {
  std::make_unsigned_t<T> v = 0;
  for (std::size_t i = 0; i < sizeof v; ++i) v |= static_cast<decltype(v)>(at[i]) << (8 * i);
  return static_cast<T>(v);
}

template <class T>
void store(std::uint8_t* at, T value) {
  const auto v = static_cast<std::make_unsigned_t<T>>(value);
  for (std::size_t i = 0; i < sizeof v; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace halvorn::data::depth_bytes
