// CSV for the converters' benchmarks, made in memory: numbers written as an
// archive writes them, and a file whose bytes are already in memory.
//
// Thread-safety: each value used by one thread at a time.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "data/csv_input.hpp"

namespace halvorn::bench {

// v in decimal at p; past its last digit.
inline char* put_uint(char* p, std::uint64_t v) {
  char tmp[20];
  int n = 0;
  do tmp[n++] = static_cast<char>('0' + v % 10), v /= 10;
  while (v != 0);
  while (n > 0) *p++ = tmp[--n];
  return p;
}

// v / 10^places with exactly `places` decimals.
inline char* put_fixed(char* p, std::uint64_t v, int places) {
  std::uint64_t scale = 1;
  for (int i = 0; i < places; ++i) scale *= 10;
  p = put_uint(p, v / scale);
  *p++ = '.';
  std::uint64_t f = v % scale;
  for (int i = places - 1; i >= 0; --i) p[i] = static_cast<char>('0' + f % 10), f /= 10;
  return p + places;
}

inline char* put(char* p, const char* s) {
  const std::size_t n = std::strlen(s);
  std::memcpy(p, s, n);
  return p + n;
}

// One file of bytes already in memory.
struct Memory {
  const std::string* data;
  std::size_t pos = 0;
  bool given = false;

  data::Input input() {
    return data::Input{this,
                       [](void* c, std::string* name) {
                         auto* m = static_cast<Memory*>(c);
                         *name = "memory.csv";
                         m->pos = 0;
                         return !std::exchange(m->given, true);
                       },
                       [](void* c, std::uint8_t* buf, std::size_t cap) -> std::ptrdiff_t {
                         auto* m = static_cast<Memory*>(c);
                         const std::size_t n = std::min(cap, m->data->size() - m->pos);
                         std::memcpy(buf, m->data->data() + m->pos, n);
                         m->pos += n;
                         return static_cast<std::ptrdiff_t>(n);
                       }};
  }
};

}  // namespace halvorn::bench
