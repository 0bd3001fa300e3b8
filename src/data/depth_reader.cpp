#include "data/depth_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "data/depth_bytes.hpp"
#include "data/file_header.hpp"
#include "data/full_reads.hpp"
#include "types/fixed.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;

DepthError malformed_at(std::uint64_t index, MalformedReason reason) {
  return DepthError{Malformed{index, reason}};
}

// Decodes `levels.size()` levels from `from`.  Returns the position (counted
// from `first`) and quantity of the first negative one, if any.
std::optional<std::pair<std::uint64_t, std::int64_t>> decode_levels(
    const std::uint8_t* from, std::vector<book::Level>& levels, std::uint64_t first) {
  static_assert(sizeof(book::Level) == DEPTH_LEVEL_BYTES &&
                std::is_trivially_copyable_v<book::Level>);
  bool negative = false;
  if constexpr (std::endian::native == std::endian::little) {
    // A level is the engine's Level byte for byte: one copy for the side.
    if (!levels.empty()) std::memcpy(levels.data(), from, levels.size() * DEPTH_LEVEL_BYTES);
    for (const book::Level& l : levels) negative |= l.qty < 0;
  } else {
    for (book::Level& l : levels) {
      l.price = load<std::int64_t>(from);
      l.qty = load<std::int64_t>(from + 8);
      negative |= l.qty < 0;
      from += DEPTH_LEVEL_BYTES;
    }
  }
  // The common case pays one branch per side, not one per level.
  if (!negative) return std::nullopt;
  for (std::size_t j = 0; j < levels.size(); ++j) {
    if (levels[j].qty < 0) return std::pair{first + j, levels[j].qty};
  }
  return std::nullopt;
}

}  // namespace

DepthOpened DepthReader::open(const std::string& path, std::size_t block_bytes) {
  auto opened = open_header<DepthFormat>(path);
  if (auto* error = std::get_if<DepthError>(&opened)) return *error;
  const auto& [fd, h] = std::get<OpenedHeader<DepthFormat>>(opened);
  return DepthOpened(
      std::in_place_index<0>,
      DepthReader(fd, std::clamp<std::size_t>(block_bytes, 1, std::size_t{1} << 30),
                  load<std::uint64_t>(h.data() + 8), load<std::uint64_t>(h.data() + 32),
                  header_instrument(h.data()), load<std::uint32_t>(h.data() + 24)));
}

DepthReader::DepthReader(int fd, std::size_t block_bytes, std::uint64_t count, std::uint64_t levels,
                         std::uint64_t instrument, std::uint32_t checksum)
    : fd_(fd),
      block_bytes_(block_bytes),
      count_(count),
      levels_(levels),
      instrument_(instrument),
      expected_crc_(checksum),
      body_(depth_body_bytes(count, levels)),
      levels_left_(levels),
      finished_(false) {}

DepthReader::DepthReader(DepthReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      block_bytes_(other.block_bytes_),
      buffer_(std::move(other.buffer_)),
      capacity_(std::exchange(other.capacity_, 0)),
      begin_(std::exchange(other.begin_, 0)),
      end_(std::exchange(other.end_, 0)),
      count_(other.count_),
      levels_(other.levels_),
      instrument_(other.instrument_),
      expected_crc_(other.expected_crc_),
      body_(other.body_),
      read_(other.read_),
      crc_(other.crc_),
      handed_out_(other.handed_out_),
      levels_left_(other.levels_left_),
      previous_(other.previous_),
      offset_(other.offset_),
      windowed_(other.windowed_),
      finished_(std::exchange(other.finished_, true)) {}

DepthReader& DepthReader::operator=(DepthReader&& other) noexcept {
  if (this != &other) {
    this->~DepthReader();
    new (this) DepthReader(std::move(other));
  }
  return *this;
}

DepthReader::~DepthReader() {
  if (fd_ >= 0) ::close(fd_);
}

DepthError DepthReader::fail(DepthError error) {
  finished_ = true;
  return error;
}

void DepthReader::make_room(std::size_t k) {
  if (capacity_ - end_ >= k) return;
  const std::size_t held = end_ - begin_;
  if (capacity_ - held >= k) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, held);
  } else {
    // Only a record larger than the room left grows the buffer, and only by
    // what has arrived of it: doubling keeps the copying linear while the
    // buffer stays below twice the record and a block.  The first buffer
    // leaves room for ordinary records to straddle two blocks.
    const std::size_t first = block_bytes_ + block_bytes_ / 4;
    const std::size_t capacity = std::max({held + k, 2 * capacity_, capacity_ == 0 ? first : 0});
    auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (held > 0) std::memcpy(grown.get(), buffer_.get() + begin_, held);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  begin_ = 0;
  end_ = held;
}

std::optional<DepthError> DepthReader::read_block() {
  // Every record lies within the body the header promises (the level counts
  // are checked against it first), so a block is wanted only while some of
  // the body is still unread.
  const std::uint64_t left =
      body_ ? *body_ - read_ : std::numeric_limits<std::uint64_t>::max() - read_;
  if (left == 0) panic("a depth record reaches past the body its header promises");
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, block_bytes_));
  make_room(k);
  if (read_full(fd_, buffer_.get() + end_, k) != k) {
    // Only whole blocks count as available, however much of this one arrived.
    std::uint64_t needed = std::numeric_limits<std::uint64_t>::max();
    if (body_ && *body_ <= needed - DEPTH_HEADER_BYTES - offset_) {
      needed = DEPTH_HEADER_BYTES + offset_ + *body_;
    }
    return fail(DepthError{Truncated{needed, DEPTH_HEADER_BYTES + offset_ + read_}});
  }
  crc_ = crc32_extend(crc_, buffer_.get() + end_, k);
  end_ += k;
  read_ += k;
  // Only a reader of the whole body has the bytes the checksum covers.
  if (!windowed_ && body_ && read_ == *body_ && crc_ != expected_crc_) {
    return fail(DepthError{ChecksumMismatch{expected_crc_, crc_}});
  }
  return std::nullopt;
}

std::optional<DepthError> DepthReader::ensure(std::size_t n) {
  while (end_ - begin_ < n) {
    if (std::optional<DepthError> error = read_block()) return error;
  }
  return std::nullopt;
}

DepthNext DepthReader::next(book::DepthRecord& out) {
  if (finished_ || handed_out_ == count_) return End{};
  if (windowed_) {
    // A window ends where its bytes do, and a record may use what is left.
    const std::uint64_t left = *body_ - (read_ - (end_ - begin_));
    if (left == 0) return End{};
    if (left < DEPTH_RECORD_BYTES) {
      return fail(
          DepthError{Truncated{DEPTH_HEADER_BYTES + offset_ + *body_ + DEPTH_RECORD_BYTES - left,
                               DEPTH_HEADER_BYTES + offset_ + *body_}});
    }
    levels_left_ = (left - DEPTH_RECORD_BYTES) / DEPTH_LEVEL_BYTES;
  }
  if (end_ - begin_ < DEPTH_RECORD_BYTES) {
    if (std::optional<DepthError> error = ensure(DEPTH_RECORD_BYTES)) return *std::move(error);
  }

  // The fixed part, checked in the order the format lists its fields.
  const std::uint64_t index = handed_out_;
  const std::uint8_t* r = buffer_.get() + begin_;
  const std::uint8_t kind = r[0];
  const std::uint8_t flags = r[1];
  if (kind != DEPTH_SNAPSHOT && kind != DEPTH_UPDATE) {
    return fail(malformed_at(index, malformed::UnknownKind{kind}));
  }
  const bool snapshot = kind == DEPTH_SNAPSHOT;
  if ((flags & ~(snapshot ? 0 : DEPTH_HAS_PREV)) != 0) {
    return fail(malformed_at(index, malformed::UnknownFlags{flags, snapshot}));
  }
  const bool has_prev = (flags & DEPTH_HAS_PREV) != 0;
  if (load<std::uint16_t>(r + 2) != 0 || load<std::uint32_t>(r + 12) != 0 ||
      (snapshot && load<std::uint64_t>(r + 32) != 0) ||
      (!has_prev && load<std::uint64_t>(r + 40) != 0)) {
    return fail(malformed_at(index, malformed::ReservedNotZero{}));
  }
  const std::uint64_t bids = load<std::uint32_t>(r + 4);
  const std::uint64_t asks = load<std::uint32_t>(r + 8);
  const std::uint64_t n = bids + asks;
  if (n > MAX_RECORD_LEVELS) return fail(malformed_at(index, malformed::TooManyLevels{n}));
  if (n > levels_left_) {
    return fail(malformed_at(index, malformed::LevelsPastHeader{n, levels_left_}));
  }
  if (!windowed_ && index + 1 == count_ && n != levels_left_) {
    return fail(malformed_at(index, malformed::LevelsShortOfHeader{levels_left_ - n}));
  }
  const Nanos time = load<std::int64_t>(r + 16);
  if (time < previous_) return fail(DepthError{GoesBackwards{index, previous_, time}});

  // Then the levels, which may have to be read first.
  const std::size_t bytes = DEPTH_RECORD_BYTES + DEPTH_LEVEL_BYTES * static_cast<std::size_t>(n);
  if (end_ - begin_ < bytes) {
    if (std::optional<DepthError> error = ensure(bytes)) return *std::move(error);
  }
  r = buffer_.get() + begin_;  // reading may have moved the buffered bytes
  std::vector<book::Level>* bid_levels;
  std::vector<book::Level>* ask_levels;
  if (snapshot) {
    auto* s = std::get_if<book::DepthSnapshot>(&out.entry);
    if (s == nullptr) s = &out.entry.emplace<book::DepthSnapshot>();
    s->last_update_id = load<std::uint64_t>(r + 24);
    bid_levels = &s->bids;
    ask_levels = &s->asks;
  } else {
    auto* u = std::get_if<book::DepthUpdate>(&out.entry);
    if (u == nullptr) u = &out.entry.emplace<book::DepthUpdate>();
    u->first_id = load<std::uint64_t>(r + 24);
    u->final_id = load<std::uint64_t>(r + 32);
    u->prev_final_id =
        has_prev ? std::optional<std::uint64_t>(load<std::uint64_t>(r + 40)) : std::nullopt;
    u->time_ms = floor_millis(time);
    u->time_ns = time;
    bid_levels = &u->bids;
    ask_levels = &u->asks;
  }
  bid_levels->resize(static_cast<std::size_t>(bids));
  ask_levels->resize(static_cast<std::size_t>(asks));
  const std::uint8_t* l = r + DEPTH_RECORD_BYTES;
  auto negative = decode_levels(l, *bid_levels, 0);
  if (!negative) negative = decode_levels(l + DEPTH_LEVEL_BYTES * bids, *ask_levels, bids);
  if (negative) {
    return fail(
        malformed_at(index, malformed::NegativeQuantity{negative->first, negative->second}));
  }
  out.time = time;

  begin_ += bytes;
  levels_left_ -= n;
  previous_ = time;
  ++handed_out_;
  return RecordReady{};
}

DepthOpened DepthReader::open_window(const std::string& path, std::uint64_t from, std::uint64_t to,
                                     std::size_t block_bytes) {
  DepthOpened opened = open(path, block_bytes);
  auto* reader = std::get_if<DepthReader>(&opened);
  if (reader == nullptr) return opened;
  if (!reader->body_ || to > *reader->body_ || from > to) {
    return DepthError{Truncated{reader->body_ ? DEPTH_HEADER_BYTES + to : UINT64_MAX,
                                reader->body_ ? DEPTH_HEADER_BYTES + *reader->body_ : 0}};
  }
  if (from == 0 && to == *reader->body_) return opened;  // the whole file, read as the file
  const auto at = static_cast<off_t>(DEPTH_HEADER_BYTES + from);
  if (::lseek(reader->fd_, at, SEEK_SET) != at) return short_header<DepthFormat>();
  reader->offset_ = from;
  reader->body_ = to - from;
  reader->windowed_ = true;
  return opened;
}

// ---------------------------------------------------------------------------
// StreamedDepth

bool StreamedDepth::next(book::DepthRecord& out) {
  DepthNext step = reader_.next(out);
  if (std::holds_alternative<RecordReady>(step)) [[likely]]
    return true;
  if (auto* e = std::get_if<DepthError>(&step)) error_ = *e;
  return false;
}

}  // namespace halvorn::data
