// Reading a file's bytes whole: a block of records in sequence, or a header,
// a record or a block at an offset, retrying what a signal interrupted.
//
// Thread-safety: functions of the descriptor; pread does not move it, read
// does.

#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace halvorn::data {

namespace detail {
// Calls `step(done)` (which reads at most what is left, after `done` bytes)
// until `n` bytes have arrived, the file ends or a read fails; returns how
// many arrived.
template <class Step>
std::size_t read_whole(std::size_t n, Step step) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = step(got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return got;
}
}  // namespace detail

// Reads up to `n` bytes from where `fd` stands into `into`; returns how
// many arrived (fewer at the end of the file or at an error).
inline std::size_t read_full(int fd, void* into, std::size_t n) {
  auto* p = static_cast<char*>(into);
  return detail::read_whole(n, [&](std::size_t done) { return ::read(fd, p + done, n - done); });
}

// The same at `offset`, leaving where `fd` stands as it was.
inline std::size_t pread_full(int fd, void* into, std::size_t n, std::uint64_t offset) {
  auto* p = static_cast<char*>(into);
  return detail::read_whole(n, [&](std::size_t done) {
    return ::pread(fd, p + done, n - done, static_cast<off_t>(offset + done));
  });
}

}  // namespace halvorn::data
