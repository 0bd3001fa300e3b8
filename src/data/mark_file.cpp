#include "data/mark_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "data/crc32.hpp"
#include "data/depth_bytes.hpp"
#include "data/instrument_block.hpp"
#include "types/overloaded.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;
using depth_bytes::store;

// Mark record buffered before it is written: a block's worth.
constexpr std::size_t WRITE_BUFFER_BYTES = MARK_BLOCK_RECORDS * MARK_RECORD_BYTES;

std::string hex(std::uint32_t v) {
  char b[11];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

void put_record(std::uint8_t* at, std::int64_t a, std::int64_t b, std::int64_t c) {
  store<std::int64_t>(at, a);
  store<std::int64_t>(at + 8, b);
  store<std::int64_t>(at + 16, c);
}

std::vector<std::uint8_t> settlement_bytes(std::span<const PricedRate> settlements) {
  std::vector<std::uint8_t> out(settlements.size() * MARK_RECORD_BYTES);
  for (std::size_t i = 0; i < settlements.size(); ++i) {
    put_record(out.data() + i * MARK_RECORD_BYTES, settlements[i].time, settlements[i].rate,
               settlements[i].price);
  }
  return out;
}

std::array<std::uint8_t, MARK_HEADER_BYTES> header(std::uint64_t instrument, MarkKind kind,
                                                   std::uint64_t count, std::uint32_t crc,
                                                   std::uint64_t settlements,
                                                   std::uint32_t settlement_crc) {
  std::array<std::uint8_t, MARK_HEADER_BYTES> h{};
  store<std::uint32_t>(h.data(), MARK_MAGIC);
  store<std::uint16_t>(h.data() + 4, MARK_VERSION);
  h[6] = static_cast<std::uint8_t>(kind);
  store<std::uint64_t>(h.data() + 8, count);
  store<std::uint64_t>(h.data() + 16, instrument);
  store<std::uint32_t>(h.data() + 24, crc);
  store<std::uint32_t>(h.data() + 28, settlement_crc);
  store<std::uint64_t>(h.data() + 32, settlements);
  return h;
}

std::size_t read_full(int fd, void* into, std::size_t n) {
  auto* p = static_cast<char*>(into);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
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

std::size_t pread_full(int fd, void* into, std::size_t n, std::uint64_t offset) {
  auto* p = static_cast<char*>(into);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
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

std::optional<MarkError> settlement_order(std::span<const PricedRate> settlements) {
  for (std::size_t i = 1; i < settlements.size(); ++i) {
    if (settlements[i].time <= settlements[i - 1].time) {
      return MarkError{SettlementsUnordered{i, settlements[i].time, settlements[i - 1].time}};
    }
  }
  return std::nullopt;
}

}  // namespace

std::string MarkError::display() const {
  return std::visit(
      Overloaded{
          [](const Truncated& e) {
            return "mark file truncated: needed " + std::to_string(e.needed) + " bytes, " +
                   std::to_string(e.available) + " available";
          },
          [](const BadMagic& e) { return "not a mark file: magic " + hex(e.magic); },
          [](const UnknownVersion& e) {
            return "unknown mark file version " + std::to_string(e.version);
          },
          [](const ChecksumMismatch& e) {
            return "mark file checksum mismatch: expected " + hex(e.expected) + ", computed " +
                   hex(e.computed);
          },
          [](const GoesBackwards& e) {
            return "mark " + std::to_string(e.index) + " goes backwards: previous time " +
                   std::to_string(e.previous) + ", found " + std::to_string(e.found);
          },
          [](const UnknownKind& e) {
            return "unknown mark file kind " + std::to_string(unsigned{e.kind});
          },
          [](const SettlementsUnordered& e) {
            return "funding settlement " + std::to_string(e.index) + " at " +
                   std::to_string(e.time) + " ns is not after the one before it, at " +
                   std::to_string(e.previous) + " ns";
          },
      },
      kind);
}

std::optional<std::uint64_t> mark_settlements_offset(std::uint64_t count) {
  std::uint64_t bytes;
  if (__builtin_mul_overflow(count, std::uint64_t{MARK_RECORD_BYTES}, &bytes) ||
      __builtin_add_overflow(bytes, std::uint64_t{MARK_HEADER_BYTES}, &bytes)) {
    return std::nullopt;
  }
  return bytes;
}

std::optional<std::uint64_t> mark_block_offset(std::uint64_t count, std::uint64_t settlements) {
  const std::optional<std::uint64_t> start = mark_settlements_offset(count);
  std::uint64_t bytes, end;
  if (!start || __builtin_mul_overflow(settlements, std::uint64_t{MARK_RECORD_BYTES}, &bytes) ||
      __builtin_add_overflow(*start, bytes, &end)) {
    return std::nullopt;
  }
  return end;
}

// --- writing ------------------------------------------------------------------------------

MarkBegun MarkWriter::begin(const std::string& path, std::uint64_t instrument, MarkKind kind) {
  auto begun = Replacement::begin(path);
  if (const int* err = std::get_if<int>(&begun)) return *err;
  MarkWriter writer(std::move(std::get<Replacement>(begun)), instrument, kind);
  // A placeholder for the header, which only the end settles.
  const std::uint8_t placeholder[MARK_HEADER_BYTES] = {};
  if (int err = writer.file_.write(placeholder)) return err;
  return MarkBegun(std::in_place_index<0>, std::move(writer));
}

MarkWriter::MarkWriter(Replacement file, std::uint64_t instrument, MarkKind kind)
    : file_(std::move(file)), instrument_(instrument), kind_(kind) {
  buffer_.reserve(WRITE_BUFFER_BYTES);
}

std::optional<MarkError> MarkWriter::add(const MarkRecord& record) {
  if (record.time < previous_) {
    return MarkError{GoesBackwards{count_, previous_, record.time}};
  }
  previous_ = record.time;
  ++count_;
  const std::size_t at = buffer_.size();
  buffer_.resize(at + MARK_RECORD_BYTES);
  put_record(buffer_.data() + at, record.time, record.mark, record.index);
  if (buffer_.size() >= WRITE_BUFFER_BYTES) flush();
  return std::nullopt;
}

std::optional<MarkError> MarkWriter::add_settlement(const PricedRate& settlement) {
  if (!settlements_.empty() && settlement.time <= settlements_.back().time) {
    return MarkError{
        SettlementsUnordered{settlements_.size(), settlement.time, settlements_.back().time}};
  }
  settlements_.push_back(settlement);
  return std::nullopt;
}

void MarkWriter::flush() {
  if (error_ == 0 && !buffer_.empty()) {
    crc_ = crc32_extend(crc_, buffer_.data(), buffer_.size());
    error_ = file_.write(buffer_);
  }
  buffer_.clear();
}

std::optional<DefinitionProblem> MarkWriter::set_instrument(InstrumentDefinition d) {
  if (auto problem = check_definition(d)) return problem;
  if (d.id != instrument_) return DefinitionProblem{definition::IdMismatch{d.id, instrument_}};
  definition_ = std::move(d);
  return std::nullopt;
}

int MarkWriter::commit() {
  flush();
  const std::vector<std::uint8_t> settled = settlement_bytes(settlements_);
  if (error_ == 0) error_ = file_.write(settled);
  // Outside both checksums, which cover records and nothing else.
  if (error_ == 0 && definition_) error_ = file_.write(encode_instrument_block(*definition_));
  if (error_ == 0) {
    error_ = file_.patch(0, header(instrument_, kind_, count_, crc_, settlements_.size(),
                                   crc32(settled.data(), settled.size())));
  }
  if (error_ != 0) {
    Replacement abandoned = std::move(file_);
    return error_;
  }
  return error_ = file_.commit();
}

std::vector<std::uint8_t> encode_marks(std::uint64_t instrument, MarkKind kind,
                                       std::span<const MarkRecord> records,
                                       std::span<const PricedRate> settlements,
                                       const InstrumentDefinition* definition) {
  std::vector<std::uint8_t> out(MARK_HEADER_BYTES + records.size() * MARK_RECORD_BYTES);
  for (std::size_t i = 0; i < records.size(); ++i) {
    put_record(out.data() + MARK_HEADER_BYTES + i * MARK_RECORD_BYTES, records[i].time,
               records[i].mark, records[i].index);
  }
  const std::uint32_t crc =
      crc32(out.data() + MARK_HEADER_BYTES, records.size() * MARK_RECORD_BYTES);
  const std::vector<std::uint8_t> settled = settlement_bytes(settlements);
  out.insert(out.end(), settled.begin(), settled.end());
  if (definition != nullptr) {
    const std::vector<std::uint8_t> block = encode_instrument_block(*definition);
    out.insert(out.end(), block.begin(), block.end());
  }
  const auto h = header(instrument, kind, records.size(), crc, settlements.size(),
                        crc32(settled.data(), settled.size()));
  std::memcpy(out.data(), h.data(), h.size());
  return out;
}

// --- reading ------------------------------------------------------------------------------

MarkOpened MarkReader::open(const std::string& path) {
  const MarkError short_header{Truncated{MARK_HEADER_BYTES, 0}};
  if (path.find('\0') != std::string::npos) return short_header;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return short_header;
  std::uint8_t h[MARK_HEADER_BYTES];
  std::optional<MarkError> refused;
  if (read_full(fd, h, sizeof h) != sizeof h) {
    refused = short_header;
  } else if (const auto magic = load<std::uint32_t>(h); magic != MARK_MAGIC) {
    refused = MarkError{BadMagic{magic}};
  } else if (const auto version = load<std::uint16_t>(h + 4); version != MARK_VERSION) {
    refused = MarkError{UnknownVersion{version}};
  } else if (h[6] != static_cast<std::uint8_t>(MarkKind::Price) &&
             h[6] != static_cast<std::uint8_t>(MarkKind::Premium)) {
    refused = MarkError{UnknownKind{h[6]}};
  }
  if (refused) {
    ::close(fd);
    return *refused;
  }
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return MarkOpened(std::in_place_index<0>,
                    MarkReader(fd, load<std::uint64_t>(h + 8), load<std::uint64_t>(h + 32),
                               load<std::uint64_t>(h + 16), static_cast<MarkKind>(h[6]),
                               load<std::uint32_t>(h + 24), load<std::uint32_t>(h + 28)));
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
  previous_ = r.time;
  ++at_;
  ++handed_out_;
  return r;
}

std::variant<std::vector<PricedRate>, MarkError> MarkReader::settlements() const {
  const std::optional<std::uint64_t> start = mark_settlements_offset(count_);
  const std::optional<std::uint64_t> end = mark_block_offset(count_, settlement_count_);
  if (!start || !end || settlement_count_ > (std::uint64_t{1} << 32)) {
    return MarkError{Truncated{UINT64_MAX, 0}};
  }
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
