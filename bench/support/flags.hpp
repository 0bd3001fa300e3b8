// The command lines of the benchmarks: "--name value" for a count, a number
// or a path, "--name" alone for a switch.
//
// Thread-safety: call from main.

#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace halvorn::bench {

struct Flag {
  std::string_view name;  // with its dashes, "--rows"
  std::variant<std::uint64_t*, int*, std::string*, bool*> into;
};

// Reads argv[1..] into the flags; false at the first argument that is none
// of them, or one that lacks its value, when the caller prints its usage.
inline bool read_flags(int argc, char** argv, std::initializer_list<Flag> flags) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const Flag* flag = nullptr;
    for (const Flag& f : flags) {
      if (f.name == arg) flag = &f;
    }
    if (flag == nullptr) return false;
    if (bool* const* on = std::get_if<bool*>(&flag->into)) {
      **on = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (auto* const* n = std::get_if<std::uint64_t*>(&flag->into)) {
      **n = std::strtoull(value, nullptr, 10);
    } else if (int* const* k = std::get_if<int*>(&flag->into)) {
      **k = std::atoi(value);
    } else {
      *std::get<std::string*>(flag->into) = value;
    }
  }
  return true;
}

}  // namespace halvorn::bench
