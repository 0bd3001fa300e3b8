#include "data/ticks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "data/instrument_block.hpp"
#include "types/overloaded.hpp"

namespace halvorn::data {

namespace {

std::string format(const char* fmt, auto... args) {
  char buf[160];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, static_cast<std::size_t>(std::max(n, 0)));
}

template <class T>
void put_le(std::uint8_t* at, T value) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < sizeof value; ++i) {
      at[i] = static_cast<std::uint8_t>(static_cast<std::make_unsigned_t<T>>(value) >> (8 * i));
    }
  } else {
    std::memcpy(at, &value, sizeof value);
  }
}

template <class T>
T get_le(const std::uint8_t* at) {
  std::make_unsigned_t<T> v = 0;
  for (std::size_t i = 0; i < sizeof v; ++i) v |= static_cast<decltype(v)>(at[i]) << (8 * i);
  return static_cast<T>(v);
}

// Records are the engine's ticks byte for byte on a little-endian machine;
// elsewhere each field is swapped in place.
void records_to_native(engine::Tick* ticks, std::size_t n) {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < n; ++i) {
      auto* f = reinterpret_cast<std::uint64_t*>(&ticks[i]);
      for (int j = 0; j < 8; ++j) f[j] = __builtin_bswap64(f[j]);
    }
  } else {
    (void)ticks;
    (void)n;
  }
}

struct Read {
  std::size_t got = 0;       // bytes that arrived
  bool interrupted = false;  // the caller gave up after a signal
};

// Whether to give up a call a signal interrupted.
bool give_up(const ReadHooks& hooks) {
  return hooks.interrupted != nullptr && hooks.interrupted(hooks.context);
}

// Reads until `n` bytes have arrived, the file ends, a read fails, or the
// caller gives up a read a signal interrupted.
Read read_full(int fd, void* into, std::size_t n, const ReadHooks& hooks) {
  if (hooks.before_blocking != nullptr) hooks.before_blocking(hooks.context);
  auto* p = static_cast<char*>(into);
  Read read;
  while (read.got < n) {
    ssize_t r = ::read(fd, p + read.got, n - read.got);
    if (r > 0) {
      read.got += static_cast<std::size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      if (give_up(hooks)) {
        read.interrupted = true;
        break;
      }
    } else {
      break;
    }
  }
  return read;
}

Error truncated_header() { return Error{Truncated{HEADER_BYTES, 0}}; }

}  // namespace

std::string Error::display() const {
  return std::visit(
      Overloaded{
          [](const Truncated& e) {
            return format("truncated: needed %" PRIu64 " bytes, %" PRIu64 " available", e.needed,
                          e.available);
          },
          [](const BadMagic& e) { return format("not a tick file: magic 0x%08" PRIx32, e.magic); },
          [](const UnknownVersion& e) {
            return format("unknown tick file version %u", static_cast<unsigned>(e.version));
          },
          [](const ChecksumMismatch& e) {
            return format("checksum mismatch: expected 0x%08" PRIx32 ", computed 0x%08" PRIx32,
                          e.expected, e.computed);
          },
          [](const GoesBackwards& e) {
            return format("tick %" PRIu64 " goes backwards: previous exchange time %" PRId64
                          ", found %" PRId64,
                          e.index, e.previous, e.found);
          },
      },
      kind);
}

std::vector<std::uint8_t> encode(std::uint64_t instrument, std::span<const engine::Tick> ticks) {
  // One buffer for header and body: the body is written where it will stay
  // and the checksum taken over it there, so a file costs its own size once.
  std::vector<std::uint8_t> out(HEADER_BYTES + RECORD_BYTES * ticks.size());
  std::uint8_t* body = out.data() + HEADER_BYTES;
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    const engine::Tick& t = ticks[i];
    std::uint8_t* r = body + RECORD_BYTES * i;
    const std::int64_t fields[8] = {t.exch_ts, t.local_ts, t.last, t.high,
                                    t.low,     t.bid,      t.ask,  t.volume};
    for (int j = 0; j < 8; ++j) put_le(r + 8 * j, fields[j]);
  }
  std::uint8_t* h = out.data();
  put_le(h + 0, MAGIC);
  put_le(h + 4, VERSION);
  put_le(h + 8, static_cast<std::uint64_t>(ticks.size()));
  put_le(h + 16, instrument);
  put_le(h + 24, crc32(body, RECORD_BYTES * ticks.size()));
  // Bytes 6-7 and 28-31 are reserved and stay zero.
  return out;
}

std::vector<std::uint8_t> encode(const InstrumentDefinition& definition,
                                 std::span<const engine::Tick> ticks) {
  std::vector<std::uint8_t> out = encode(definition.id, ticks);
  const std::vector<std::uint8_t> block = encode_instrument_block(definition);
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

// ---------------------------------------------------------------------------
// TickReader

Opened TickReader::open(const std::string& path, ReadHooks hooks, std::size_t block_records) {
  // A name with a NUL in it cannot name a file; the system call would see
  // only the part before it.
  if (path.find('\0') != std::string::npos) return truncated_header();
  // Opening a pipe waits for its writer.
  if (hooks.before_blocking != nullptr) hooks.before_blocking(hooks.context);
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    if (give_up(hooks)) return Interrupted{};
  }
  if (fd < 0) return truncated_header();
  // A read of a regular file waits for no one; only pipes and devices need
  // the caller to stand aside.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) hooks.before_blocking = nullptr;
  std::uint8_t h[HEADER_BYTES];
  const Read header = read_full(fd, h, sizeof h, hooks);
  if (header.interrupted || header.got != sizeof h) {
    ::close(fd);
    if (header.interrupted) return Interrupted{};
    return truncated_header();
  }
  auto magic = get_le<std::uint32_t>(h + 0);
  if (magic != MAGIC) {
    ::close(fd);
    return Error{BadMagic{magic}};
  }
  auto version = get_le<std::uint16_t>(h + 4);
  if (version != VERSION) {
    ::close(fd);
    return Error{UnknownVersion{version}};
  }
  // The file is read front to back exactly once.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return Opened(
      std::in_place_index<0>,
      TickReader(fd, get_le<std::uint64_t>(h + 8), get_le<std::uint64_t>(h + 16),
                 get_le<std::uint32_t>(h + 24), hooks, std::max<std::size_t>(block_records, 1)));
}

Opened TickReader::open_window(const std::string& path, RecordWindow window, ReadHooks hooks,
                               std::size_t block_records) {
  Opened opened = open(path, hooks, block_records);
  auto* reader = std::get_if<TickReader>(&opened);
  if (reader == nullptr) return opened;
  if (window.stop > reader->count_) {
    std::uint64_t promised = std::numeric_limits<std::uint64_t>::max();
    if (window.stop <= (promised - HEADER_BYTES) / RECORD_BYTES) {
      promised = HEADER_BYTES + RECORD_BYTES * window.stop;
    }
    return Error{Truncated{promised, HEADER_BYTES + RECORD_BYTES * reader->count_}};
  }
  // A window that is the whole file is read, and checked, as the file is.
  if (window.first != 0 || window.stop != reader->count_) {
    const auto at = static_cast<off_t>(HEADER_BYTES + RECORD_BYTES * window.first);
    if (::lseek(reader->fd_, at, SEEK_SET) != at) return truncated_header();
    (void)::posix_fadvise(reader->fd_, at,
                          static_cast<off_t>(RECORD_BYTES * (window.stop - window.first)),
                          POSIX_FADV_SEQUENTIAL);
  }
  reader->first_ = window.first;
  reader->stop_ = window.stop;
  reader->remaining_ = window.stop - window.first;
  return opened;
}

TickReader::TickReader(int fd, std::uint64_t count, std::uint64_t instrument,
                       std::uint32_t checksum, ReadHooks hooks, std::size_t block_records)
    : block_records_(block_records),
      fd_(fd),
      count_(count),
      instrument_(instrument),
      expected_crc_(checksum),
      remaining_(count),
      stop_(count),
      hooks_(hooks),
      finished_(false) {}

TickReader::TickReader(TickReader&& other) noexcept
    : previous_(other.previous_),
      cursor_(std::exchange(other.cursor_, nullptr)),
      block_end_(std::exchange(other.block_end_, nullptr)),
      block_(std::move(other.block_)),
      block_records_(other.block_records_),
      fd_(std::exchange(other.fd_, -1)),
      count_(other.count_),
      instrument_(other.instrument_),
      expected_crc_(other.expected_crc_),
      remaining_(std::exchange(other.remaining_, 0)),
      first_(other.first_),
      stop_(other.stop_),
      before_block_(other.before_block_),
      crc_(other.crc_),
      hooks_(other.hooks_),
      finished_(std::exchange(other.finished_, true)),
      interrupted_(other.interrupted_) {}

TickReader& TickReader::operator=(TickReader&& other) noexcept {
  if (this != &other) {
    this->~TickReader();
    new (this) TickReader(std::move(other));
  }
  return *this;
}

TickReader::~TickReader() {
  if (fd_ >= 0) ::close(fd_);
}

Error TickReader::fail(Error error) {
  finished_ = true;
  block_end_ = cursor_;  // whatever was waiting is never handed out
  return error;
}

std::optional<Next> TickReader::read_block() {
  before_block_ = handed_out();  // the previous block was handed out whole
  if (!block_) block_ = std::make_unique_for_overwrite<engine::Tick[]>(block_records_);
  cursor_ = block_end_ = block_.get();

  const std::size_t k =
      static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, block_records_));
  const std::size_t bytes = RECORD_BYTES * k;
  const Read read = read_full(fd_, block_.get(), bytes, hooks_);
  if (read.interrupted) {
    finished_ = interrupted_ = true;
    return Interrupted{};
  }
  if (read.got != bytes) {
    // Only whole blocks count as available, however much of this one arrived.
    std::uint64_t needed = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t promised;
    if (!__builtin_mul_overflow(count_, std::uint64_t{RECORD_BYTES}, &promised) &&
        promised <= needed - HEADER_BYTES) {
      needed = HEADER_BYTES + promised;
    }
    return fail(Error{Truncated{needed, HEADER_BYTES + RECORD_BYTES * (stop_ - remaining_)}});
  }
  crc_ = crc32_extend(crc_, block_.get(), bytes);
  records_to_native(block_.get(), k);
  remaining_ -= k;
  // Only a reader of every record has the bytes the checksum covers.
  if (remaining_ == 0 && first_ == 0 && stop_ == count_ && crc_ != expected_crc_) {
    return fail(Error{ChecksumMismatch{expected_crc_, crc_}});
  }
  block_end_ = block_.get() + k;
  return std::nullopt;
}

Next TickReader::next_slow() {
  if (finished_) return End{};
  if (cursor_ == block_end_) {
    if (remaining_ == 0) return End{};
    if (std::optional<Next> stop = read_block()) return *std::move(stop);
  }
  if (const engine::Tick* t = take()) return *t;
  // A record is waiting and take() refused it: it goes backwards.
  return fail(Error{GoesBackwards{first_ + handed_out(), previous_, cursor_->exch_ts}});
}

// ---------------------------------------------------------------------------
// StreamedTicks

const engine::Tick* StreamedTicks::next_in_place_slow() {
  Next step = reader_.next();
  if (std::holds_alternative<engine::Tick>(step)) {
    // The record just handed out, where it lies in the block.
    return reader_.cursor_ - 1;
  }
  if (auto* e = std::get_if<Error>(&step)) error_ = *e;
  return nullptr;
}

bool StreamedTicks::next_slow(engine::Tick& out) {
  Next step = reader_.next();
  if (auto* t = std::get_if<engine::Tick>(&step)) {
    out = *t;
    return true;
  }
  if (auto* e = std::get_if<Error>(&step)) error_ = *e;
  return false;
}

}  // namespace halvorn::data
