#include "data/mark_reader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <utility>

#include "data/crc32.hpp"
#include "data/depth_bytes.hpp"
#include "data/file_header.hpp"
#include "data/full_reads.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;

std::optional<MarkError> settlement_order(std::span<const PricedRate> settlements) {
  for (std::size_t i = 1; i < settlements.size(); ++i) {
    if (settlements[i].time <= settlements[i - 1].time) {
      return MarkError{SettlementsUnordered{i, settlements[i].time, settlements[i - 1].time}};
    }
  }
  return std::nullopt;
}

}  // namespace

MarkOpened MarkReader::open(const std::string& path) {
  auto opened = open_header<MarkFormat>(path);
  if (auto* error = std::get_if<MarkError>(&opened)) return *error;
  const auto& [fd, h] = std::get<OpenedHeader<MarkFormat>>(opened);
  return MarkOpened(
      std::in_place_index<0>,
      MarkReader(fd, load<std::uint64_t>(h.data() + 8), load<std::uint64_t>(h.data() + 32),
                 header_instrument(h.data()), static_cast<MarkKind>(h[6]),
                 load<std::uint32_t>(h.data() + 24), load<std::uint32_t>(h.data() + 28)));
}

MarkReader::MarkReader(int fd, std::uint64_t count, std::uint64_t settlements,
                       std::uint64_t instrument, MarkKind kind, std::uint32_t checksum,
                       std::uint32_t settlement_checksum)
    : fd_(fd),
      count_(count),
      settlement_count_(settlements),
      instrument_(instrument),
      kind_(kind),
      expected_crc_(checksum),
      settlement_crc_(settlement_checksum),
      stop_(count),
      finished_(false) {}

MarkOpened MarkReader::open_window(const std::string& path, RecordWindow window) {
  MarkOpened opened = open(path);
  auto* reader = std::get_if<MarkReader>(&opened);
  if (reader == nullptr) return opened;
  if (window.stop > reader->count_) {
    const std::optional<std::uint64_t> promised = mark_settlements_offset(window.stop);
    return MarkError{Truncated{promised.value_or(UINT64_MAX),
                               mark_settlements_offset(reader->count_).value_or(UINT64_MAX)}};
  }
  if (window.first != 0 || window.stop != reader->count_) {
    const auto at = static_cast<off_t>(MARK_HEADER_BYTES + MARK_RECORD_BYTES * window.first);
    if (::lseek(reader->fd_, at, SEEK_SET) != at) return MarkError{Truncated{MARK_HEADER_BYTES, 0}};
  }
  reader->first_ = reader->read_ = window.first;
  reader->stop_ = window.stop;
  return opened;
}

MarkReader::MarkReader(MarkReader&& other) noexcept { *this = std::move(other); }

MarkReader& MarkReader::operator=(MarkReader&& other) noexcept {
  if (this == &other) return *this;
  if (fd_ >= 0) ::close(fd_);
  fd_ = std::exchange(other.fd_, -1);
  count_ = other.count_;
  settlement_count_ = other.settlement_count_;
  instrument_ = other.instrument_;
  kind_ = other.kind_;
  expected_crc_ = other.expected_crc_;
  settlement_crc_ = other.settlement_crc_;
  block_ = std::move(other.block_);
  at_ = other.at_;
  held_ = other.held_;
  read_ = other.read_;
  first_ = other.first_;
  stop_ = other.stop_;
  handed_out_ = other.handed_out_;
  crc_ = other.crc_;
  previous_ = other.previous_;
  finished_ = std::exchange(other.finished_, true);
  return *this;
}

MarkReader::~MarkReader() {
  if (fd_ >= 0) ::close(fd_);
}

MarkError MarkReader::fail(MarkError e) {
  finished_ = true;
  block_.reset();
  at_ = held_ = 0;
  return e;
}

std::optional<MarkError> MarkReader::read_block() {
  const std::uint64_t left = stop_ - read_;
  const std::size_t n =
      left < MARK_BLOCK_RECORDS ? static_cast<std::size_t>(left) : MARK_BLOCK_RECORDS;
  if (!block_) block_ = std::make_unique<MarkRecord[]>(MARK_BLOCK_RECORDS);
  static_assert(sizeof(MarkRecord) == MARK_RECORD_BYTES);
  std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(block_.get());
  const std::size_t want = n * MARK_RECORD_BYTES;
  if (read_full(fd_, bytes, want) != want) {
    const std::optional<std::uint64_t> needed = mark_settlements_offset(count_);
    return fail(MarkError{
        Truncated{needed.value_or(UINT64_MAX), MARK_HEADER_BYTES + read_ * MARK_RECORD_BYTES}});
  }
  crc_ = crc32_extend(crc_, bytes, want);
  read_ += n;
  // Only a reader of every record has the bytes the checksum covers.
  if (read_ == count_ && first_ == 0 && crc_ != expected_crc_) {
    return fail(MarkError{ChecksumMismatch{expected_crc_, crc_}});
  }
  if constexpr (std::endian::native != std::endian::little) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* at = bytes + i * MARK_RECORD_BYTES;
      block_[i] = MarkRecord{load<std::int64_t>(at), load<std::int64_t>(at + 8),
                             load<std::int64_t>(at + 16)};
    }
  }
  at_ = 0;
  held_ = n;
  return std::nullopt;
}

MarkNext MarkReader::next() {
  if (finished_) return End{};
  if (at_ == held_) {
    if (read_ == stop_) {
      finished_ = true;
      return End{};
    }
    if (std::optional<MarkError> e = read_block()) return *e;
  }
  const MarkRecord r = block_[at_];
  if (r.time < previous_) {
    return fail(MarkError{GoesBackwards{first_ + handed_out_, previous_, r.time}});
  }
  if (kind_ == MarkKind::Price && r.mark <= 0) {
    return fail(MarkError{NotAPrice{first_ + handed_out_, r.mark}});
  }
  previous_ = r.time;
  ++at_;
  ++handed_out_;
  return r;
}

std::variant<std::vector<PricedRate>, MarkError> MarkReader::settlements() const {
  const std::optional<std::uint64_t> start = mark_settlements_offset(count_);
  const std::optional<std::uint64_t> end = mark_block_offset(count_, settlement_count_);
  if (!start || !end) {
    return MarkError{Truncated{UINT64_MAX, 0}};
  }
  // The count is the header's: held against the file before anything is
  // allocated for it, so a damaged count costs nothing.
  struct stat st{};
  if (::fstat(fd_, &st) != 0) return MarkError{Truncated{*end, 0}};
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < *end) return MarkError{Truncated{*end, size}};
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*end - *start));
  const std::size_t got = pread_full(fd_, bytes.data(), bytes.size(), *start);
  if (got != bytes.size()) return MarkError{Truncated{*end, *start + got}};
  const std::uint32_t crc = crc32(bytes.data(), bytes.size());
  if (crc != settlement_crc_) return MarkError{ChecksumMismatch{settlement_crc_, crc}};
  std::vector<PricedRate> out(static_cast<std::size_t>(settlement_count_));
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint8_t* at = bytes.data() + i * MARK_RECORD_BYTES;
    out[i] =
        PricedRate{load<std::int64_t>(at), load<std::int64_t>(at + 8), load<std::int64_t>(at + 16)};
  }
  if (std::optional<MarkError> e = settlement_order(out)) return *e;
  return out;
}

std::optional<Nanos> last_mark_time(const std::string& path) {
  auto opened = open_header<MarkFormat>(path);
  const auto* file = std::get_if<OpenedHeader<MarkFormat>>(&opened);
  if (file == nullptr) return std::nullopt;
  const std::uint64_t count = load<std::uint64_t>(file->bytes.data() + 8);
  const std::optional<std::uint64_t> end = mark_settlements_offset(count);
  std::optional<Nanos> out;
  std::uint8_t r[8];
  if (count > 0 && end && pread_full(file->fd, r, sizeof r, *end - MARK_RECORD_BYTES) == sizeof r) {
    out = load<std::int64_t>(r);
  }
  ::close(file->fd);
  return out;
}

bool StreamedMarks::next(MarkRecord& out) {
  MarkNext n = reader_.next();
  if (auto* r = std::get_if<MarkRecord>(&n)) {
    out = *r;
    return true;
  }
  if (auto* e = std::get_if<MarkError>(&n)) error_ = std::move(*e);
  return false;
}

}  // namespace halvorn::data
