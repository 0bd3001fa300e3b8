#include "data/depth_window.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include "data/depth_bytes.hpp"
#include "data/depth_reader.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;

// Where no record's start can hide: past the largest record and a block.
constexpr std::uint64_t SYNC_REACH =
    DEPTH_RECORD_BYTES + DEPTH_LEVEL_BYTES * std::uint64_t{MAX_RECORD_LEVELS} + DEPTH_SEARCH_BLOCK;

// A record's fixed part, as far as the search needs it.
struct Head {
  bool snapshot = false;
  Nanos time = 0;
  std::uint64_t length = 0;  // bytes, levels included
};

// The body of a depth file, read in blocks where the search looks and
// counted; a few blocks are kept, since the search reads near where it read.
class Body {
 public:
  Body(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;
  ~Body() { ::close(fd_); }

  std::uint64_t size() const { return size_; }
  std::uint64_t blocks_read() const { return blocks_read_; }
  bool failed() const { return failed_; }

  // The fixed part at `at`, when the grammar allows one there.
  std::optional<Head> head(std::uint64_t at, Nanos floor) {
    std::uint8_t r[DEPTH_RECORD_BYTES];
    if (at % DEPTH_LEVEL_BYTES != 0 || at + DEPTH_RECORD_BYTES > size_ || !copy(at, r, sizeof r)) {
      return std::nullopt;
    }
    const std::uint8_t kind = r[0], flags = r[1];
    if (kind != DEPTH_SNAPSHOT && kind != DEPTH_UPDATE) return std::nullopt;
    const bool snapshot = kind == DEPTH_SNAPSHOT;
    if ((flags & ~(snapshot ? 0 : DEPTH_HAS_PREV)) != 0) return std::nullopt;
    if (load<std::uint16_t>(r + 2) != 0 || load<std::uint32_t>(r + 12) != 0 ||
        (snapshot && load<std::uint64_t>(r + 32) != 0) ||
        ((flags & DEPTH_HAS_PREV) == 0 && load<std::uint64_t>(r + 40) != 0)) {
      return std::nullopt;
    }
    const std::uint64_t n = std::uint64_t{load<std::uint32_t>(r + 4)} + load<std::uint32_t>(r + 8);
    const std::uint64_t length = DEPTH_RECORD_BYTES + DEPTH_LEVEL_BYTES * n;
    const Nanos time = load<std::int64_t>(r + 16);
    if (n > MAX_RECORD_LEVELS || length > size_ - at || time < floor) return std::nullopt;
    return Head{snapshot, time, length};
  }

  // Whether a chain of records read from `at` keeps the grammar: DEPTH_CHAIN
  // of them, or all up to the body's end.
  bool chain(std::uint64_t at, Nanos floor) {
    for (int i = 0; i < DEPTH_CHAIN; ++i) {
      if (at == size_) return true;
      const std::optional<Head> h = head(at, floor);
      if (!h) return false;
      floor = h->time;
      at += h->length;
    }
    return true;
  }

  // The first record's start at or after `at`, the body's end when none is,
  // or nullopt when none is within the reach of the largest record.
  std::optional<std::uint64_t> sync(std::uint64_t at, Nanos floor) {
    std::uint64_t c = (at + DEPTH_LEVEL_BYTES - 1) / DEPTH_LEVEL_BYTES * DEPTH_LEVEL_BYTES;
    const std::uint64_t last = std::min(size_, at + SYNC_REACH);
    for (; c < last; c += DEPTH_LEVEL_BYTES) {
      if (chain(c, floor)) return c;
      if (failed_) return std::nullopt;
    }
    if (c >= size_) return size_;
    return std::nullopt;
  }

 private:
  bool copy(std::uint64_t at, std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      const std::uint64_t block = at / DEPTH_SEARCH_BLOCK;
      const std::vector<std::uint8_t>* bytes = fetch(block);
      if (bytes == nullptr) return false;
      const std::uint64_t offset = at - block * DEPTH_SEARCH_BLOCK;
      const std::size_t k = std::min<std::size_t>(n, bytes->size() - offset);
      if (k == 0) return false;
      std::memcpy(out, bytes->data() + offset, k);
      out += k;
      at += k;
      n -= k;
    }
    return true;
  }

  const std::vector<std::uint8_t>* fetch(std::uint64_t block) {
    if (auto it = cache_.find(block); it != cache_.end()) return &it->second;
    if (cache_.size() >= 8) cache_.clear();
    const std::uint64_t from = block * DEPTH_SEARCH_BLOCK;
    std::vector<std::uint8_t> bytes(std::min<std::uint64_t>(DEPTH_SEARCH_BLOCK, size_ - from));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t r = ::pread(fd_, bytes.data() + got, bytes.size() - got,
                                static_cast<off_t>(DEPTH_HEADER_BYTES + from + got));
      if (r > 0) {
        got += static_cast<std::size_t>(r);
      } else if (!(r < 0 && errno == EINTR)) {
        failed_ = true;
        return nullptr;
      }
    }
    ++blocks_read_;
    return &cache_.emplace(block, std::move(bytes)).first->second;
  }

  int fd_;
  std::uint64_t size_;
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> cache_;
  std::uint64_t blocks_read_ = 0;
  bool failed_ = false;
};

// What a search step came to: a position, or the place it found no start.
using Found = std::variant<std::uint64_t, Unframed>;

// The first record at or after `target`, or the body's end.
Found first_at(Body& body, Nanos floor, Nanos target) {
  std::uint64_t lo = 0;              // a start; every record before it is earlier
  std::uint64_t hi = body.size();    // no record starts in [hi, best)
  std::uint64_t best = body.size();  // a start at or after target, or the end
  while (lo < hi && hi - lo > DEPTH_SEARCH_BLOCK) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    const std::optional<std::uint64_t> r = body.sync(mid, floor);
    if (!r) return Unframed{mid};
    if (*r >= best) {
      hi = mid;
      continue;
    }
    const Head h = *body.head(*r, floor);
    if (h.time < target) {
      lo = *r + h.length;
    } else {
      best = *r;
      hi = mid;
    }
  }
  for (std::uint64_t at = lo; at < best;) {
    const std::optional<Head> h = body.head(at, floor);
    if (!h) return Unframed{at};
    if (h->time >= target) return at;
    at += h->length;
  }
  return best;
}

// The last snapshot at or before the record at `first`, the file's first
// record when there is none: reading back from `first` as far as it lies.
Found snapshot_before(Body& body, Nanos floor, std::uint64_t first) {
  if (first < body.size()) {
    if (const std::optional<Head> h = body.head(first, floor); h && h->snapshot) return first;
  }
  std::uint64_t until = first;
  for (std::uint64_t reach = DEPTH_SEARCH_BLOCK;; reach *= 2) {
    const std::uint64_t from = until > reach ? until - reach : 0;
    const std::optional<std::uint64_t> start = from == 0 ? 0 : body.sync(from, floor);
    if (!start) return Unframed{from};
    std::optional<std::uint64_t> found;
    std::uint64_t at = *start;
    while (at < until) {
      const std::optional<Head> h = body.head(at, floor);
      if (!h) return Unframed{at};
      if (h->snapshot) found = at;
      at += h->length;
    }
    if (*start < until && at != until) return Unframed{until};
    if (found) return *found;
    if (from == 0) return std::uint64_t{0};
    until = std::min(until, *start);
  }
}

}  // namespace

std::variant<DepthWindowFound, DepthError, Unframed> find_depth_window(const std::string& path,
                                                                       Nanos start, Nanos end) {
  DepthOpened opened = DepthReader::open(path);
  if (auto* error = std::get_if<DepthError>(&opened)) return *error;
  const auto& reader = std::get<DepthReader>(opened);
  DepthWindowFound window;
  window.count = reader.count();
  window.levels = reader.levels();
  window.checksum = reader.checksum();
  window.instrument = reader.instrument();
  const std::optional<std::uint64_t> body = depth_body_bytes(window.count, window.levels);
  const std::uint64_t needed =
      body && *body <= UINT64_MAX - DEPTH_HEADER_BYTES ? DEPTH_HEADER_BYTES + *body : UINT64_MAX;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    return DepthError{Truncated{needed, 0}};
  }
  Body bytes(fd, body.value_or(0));
  if (!body || static_cast<std::uint64_t>(st.st_size) < needed) {
    return DepthError{Truncated{needed, static_cast<std::uint64_t>(st.st_size)}};
  }
  if (window.count == 0 || end <= start) return window;
  const std::optional<Head> first = bytes.head(0, INT64_MIN);
  if (!first) return Unframed{0};
  const Found stop = first_at(bytes, first->time, end);
  const Found begin = first_at(bytes, first->time, start);
  if (const auto* u = std::get_if<Unframed>(&begin)) return *u;
  if (const auto* u = std::get_if<Unframed>(&stop)) return *u;
  const Found from = snapshot_before(bytes, first->time, std::get<std::uint64_t>(begin));
  if (const auto* u = std::get_if<Unframed>(&from)) return *u;
  window.bytes = DepthWindow{std::get<std::uint64_t>(from), std::get<std::uint64_t>(stop)};
  window.blocks_read = bytes.blocks_read();
  return window;
}

}  // namespace halvorn::data
