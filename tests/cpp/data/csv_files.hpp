// Helpers for the CSV tests: files held in memory behind the Input
// callbacks, handed over in reads of a chosen size (one byte at a time finds
// the lines and numbers that straddle two reads), and a converter run that
// reads its output back.

#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data/csv_convert.hpp"
#include "files.hpp"

namespace halvorn::data::testing {

struct MemoryFiles {
  MemoryFiles() = default;
  explicit MemoryFiles(std::vector<std::pair<std::string, std::string>> f) : files(std::move(f)) {}

  std::vector<std::pair<std::string, std::string>> files;  // name, contents
  std::size_t chunk = 1 << 16;                             // bytes per read at most
  int fail_in_file = -1;  // a read of this file (0-based) returns -1

  Input input() { return Input{this, &MemoryFiles::next_file, &MemoryFiles::read}; }

 private:
  static bool next_file(void* self, std::string* name) {
    auto* m = static_cast<MemoryFiles*>(self);
    if (++m->at_ >= m->files.size()) return false;
    *name = m->files[m->at_].first;
    m->pos_ = 0;
    return true;
  }
  static std::ptrdiff_t read(void* self, std::uint8_t* buf, std::size_t cap) {
    auto* m = static_cast<MemoryFiles*>(self);
    if (static_cast<int>(m->at_) == m->fail_in_file) return -1;
    const std::string& s = m->files[m->at_].second;
    std::size_t n = std::min({cap, m->chunk, s.size() - m->pos_});
    std::memcpy(buf, s.data() + m->pos_, n);
    m->pos_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

  std::size_t at_ = static_cast<std::size_t>(-1);
  std::size_t pos_ = 0;
};

// The ticks a conversion wrote, or its error text.
struct Outcome {
  std::vector<engine::Tick> ticks;
  std::string error;
  Converted done;
};

inline Outcome convert_to(const std::string& path, MemoryFiles trades, MemoryFiles* quotes,
                          const ConvertOptions& options) {
  Outcome o;
  Input q = quotes != nullptr ? quotes->input() : Input{};
  Conversion c = convert_csv(path, trades.input(), quotes != nullptr ? &q : nullptr, options);
  if (auto* e = std::get_if<ConvertError>(&c)) {
    o.error = e->display();
    return o;
  }
  o.done = std::get<Converted>(c);
  TickReader reader = open_ok(path);
  Drained d = drain(reader);
  EXPECT_FALSE(d.error) << d.error->display();
  o.ticks = std::move(d.ticks);
  return o;
}

inline ConvertOptions options(std::string tick = "0.1", std::string lot = "0.001") {
  ConvertOptions o;
  o.tick_size = std::move(tick);
  o.lot_size = std::move(lot);
  return o;
}

}  // namespace halvorn::data::testing
