#include "data/time_window.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "data/mark_reader.hpp"

namespace halvorn::data {

namespace {

// The exchange times of a file's fixed-width records, read one at a time
// where the search looks, and counted.
class Times {
 public:
  Times(int fd, std::uint64_t body, std::uint64_t stride) : fd_(fd), body_(body), stride_(stride) {}
  Times(const Times&) = delete;
  Times& operator=(const Times&) = delete;
  ~Times() { ::close(fd_); }

  // The time of record i (its first eight bytes), or false when the read
  // failed.
  bool at(std::uint64_t i, Nanos* out) {
    ++probes_;
    unsigned char bytes[8];
    std::size_t got = 0;
    const auto offset = static_cast<off_t>(body_ + stride_ * i);
    while (got < sizeof bytes) {
      const ssize_t r =
          ::pread(fd_, bytes + got, sizeof bytes - got, offset + static_cast<off_t>(got));
      if (r > 0) {
        got += static_cast<std::size_t>(r);
      } else if (!(r < 0 && errno == EINTR)) {
        return false;
      }
    }
    std::uint64_t v = 0;
    for (int b = 7; b >= 0; --b) v = (v << 8) | bytes[b];
    *out = static_cast<Nanos>(v);
    return true;
  }

  // The first record in [0, count) whose time is at or after t (strictly
  // after when `after`), or count; nullopt when a read failed.
  std::optional<std::uint64_t> bound(std::uint64_t count, Nanos t, bool after) {
    std::uint64_t lo = 0, hi = count;
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      Nanos time;
      if (!at(mid, &time)) return std::nullopt;
      if (after ? time <= t : time < t) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }

  std::uint64_t probes() const { return probes_; }

 private:
  int fd_;
  std::uint64_t body_;
  std::uint64_t stride_;
  std::uint64_t probes_ = 0;
};

// The size of a file whose header promises `count` records of `stride`
// bytes after `body` bytes, or the largest value when that does not fit.
std::uint64_t promised(std::uint64_t body, std::uint64_t stride, std::uint64_t count) {
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  return count <= (most - body) / stride ? body + stride * count : most;
}

// Opens `path` for the search and checks that it holds what its header
// promises: the file's size, or nullopt when it cannot be opened or sized.
std::optional<std::uint64_t> open_sized(const std::string& path, int* fd) {
  *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (*fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(*fd);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

// The window of [start, end) in a file whose header a reader's open has
// checked: `header` as it read it, records of `stride` bytes from byte
// `body` on.  With `mark_in_force` the window starts at the last record at
// or before start, else at the first at or after it.
template <class Err>
std::variant<TimeWindow, Err> search(const std::string& path, TimeWindow header, std::uint64_t body,
                                     std::uint64_t stride, Nanos start, Nanos end,
                                     bool mark_in_force) {
  int fd = -1;
  const std::optional<std::uint64_t> size = open_sized(path, &fd);
  const std::uint64_t needed = promised(body, stride, header.count);
  if (!size) return Err{Truncated{needed, 0}};
  Times times(fd, body, stride);
  if (*size < needed) return Err{Truncated{needed, *size}};
  TimeWindow window = header;
  if (end > start) {
    const std::optional<std::uint64_t> first = times.bound(header.count, start, mark_in_force);
    const std::optional<std::uint64_t> stop =
        first ? times.bound(header.count, end, false) : std::nullopt;
    if (!first || !stop) return Err{Truncated{needed, *size}};
    // The mark in force at start is the last record at or before it.
    const std::uint64_t from = mark_in_force && *first > 0 ? *first - 1 : *first;
    window.records = RecordWindow{std::min(from, *stop), *stop};
  }
  window.probes = times.probes();
  return window;
}

}  // namespace

std::variant<TimeWindow, Error> find_tick_window(const std::string& path, Nanos start, Nanos end) {
  Opened opened = TickReader::open(path);
  if (auto* error = std::get_if<Error>(&opened)) return *error;
  const auto* reader = std::get_if<TickReader>(&opened);
  if (reader == nullptr) return Error{Truncated{HEADER_BYTES, 0}};
  const TimeWindow header{{}, reader->count(), reader->checksum(), reader->instrument(), 0};
  return search<Error>(path, header, HEADER_BYTES, RECORD_BYTES, start, end, false);
}

std::variant<TimeWindow, MarkError> find_mark_window(const std::string& path, Nanos start,
                                                     Nanos end) {
  MarkOpened opened = MarkReader::open(path);
  if (auto* error = std::get_if<MarkError>(&opened)) return *error;
  const auto& reader = std::get<MarkReader>(opened);
  const TimeWindow header{{}, reader.count(), reader.checksum(), reader.instrument(), 0};
  return search<MarkError>(path, header, MARK_HEADER_BYTES, MARK_RECORD_BYTES, start, end, true);
}

}  // namespace halvorn::data
