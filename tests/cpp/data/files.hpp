// Helpers for the tick-file tests: a scratch directory, whole-file reads and
// writes, and draining a reader into what it handed out and how it ended.

#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data/ticks.hpp"

namespace halvorn::data::testing {

using Bytes = std::vector<std::uint8_t>;

// A directory of its own for one test, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hvtk-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

  // The names in the directory, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
      out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::filesystem::path path_;
};

inline void write_bytes(const std::string& path, const Bytes& bytes) {
  // A fresh file rather than a truncated one: some file systems flush a
  // truncated-and-rewritten file to disk on close, which would make the
  // tests wait on the disk.
  ::unlink(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

inline Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a reader handed out, and the error that stopped it (none at a clean
// end).
struct Drained {
  std::vector<engine::Tick> ticks;
  std::optional<Error> error;
};

// Steps `reader` until it stops and checks that it then stays stopped.
inline Drained drain(TickReader& reader) {
  Drained out;
  const std::uint64_t before = reader.handed_out();
  // A reader can never hand out more than its header's count; the bound
  // turns a reader that never stops into a failure rather than a hang.
  const std::uint64_t limit = reader.count() + 1;
  for (std::uint64_t step = 0; step <= limit; ++step) {
    Next n = reader.next();
    if (auto* t = std::get_if<engine::Tick>(&n)) {
      out.ticks.push_back(*t);
      continue;
    }
    if (auto* e = std::get_if<Error>(&n)) out.error = *e;
    for (int again = 0; again < 3; ++again) {
      EXPECT_TRUE(std::holds_alternative<End>(reader.next())) << "a reader yields End once stopped";
    }
    EXPECT_EQ(reader.handed_out(), before + out.ticks.size());
    return out;
  }
  ADD_FAILURE() << "reader handed out more than its count";
  return out;
}

// Opens `path`; fails the test when opening fails.
inline TickReader open_ok(const std::string& path, std::size_t block_records = BLOCK_RECORDS) {
  Opened o = TickReader::open(path, {}, block_records);
  if (auto* e = std::get_if<Error>(&o)) {
    ADD_FAILURE() << path << ": " << e->display();
    std::abort();
  }
  return std::move(std::get<TickReader>(o));
}

// The error opening `path` gives, or nothing when it opens.
inline std::optional<Error> open_error(const std::string& path) {
  Opened o = TickReader::open(path);
  if (auto* e = std::get_if<Error>(&o)) return *e;
  return std::nullopt;
}

// A series with non-decreasing exchange times (some equal) and distinct
// other fields, so that a misplaced or repeated record shows.
inline std::vector<engine::Tick> series(std::size_t n, std::int64_t start = 1'000) {
  std::vector<engine::Tick> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto v = static_cast<std::int64_t>(i);
    out[i] = engine::Tick{start + v - v % 3, start + v, 600'000 + v, 600'010 + v,
                          599'990 - v,       599'999,   600'001 + v, 7 * v};
  }
  return out;
}

}  // namespace halvorn::data::testing
