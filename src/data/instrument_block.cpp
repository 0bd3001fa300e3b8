#include "data/instrument_block.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "data/crc32.hpp"
#include "data/depth_bytes.hpp"
#include "data/file_header.hpp"
#include "data/full_reads.hpp"
#include "types/overloaded.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;
using depth_bytes::store;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::string format(const char* fmt, auto... args) {
  char buf[160];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, static_cast<std::size_t>(n > 0 ? n : 0));
}

void put_text(std::vector<std::uint8_t>& out, const std::string& text) {
  const std::size_t at = out.size();
  out.resize(at + 2 + text.size());
  store<std::uint16_t>(out.data() + at, static_cast<std::uint16_t>(text.size()));
  std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 2));
}

// Takes a 16-bit length and that many bytes from [*p, end); false when they
// run past end.
bool take_text(const std::uint8_t** p, const std::uint8_t* end, std::string* out) {
  if (end - *p < 2) return false;
  const std::size_t n = load<std::uint16_t>(*p);
  if (static_cast<std::size_t>(end - *p) - 2 < n) return false;
  out->assign(reinterpret_cast<const char*>(*p + 2), n);
  *p += 2 + n;
  return true;
}

// Takes version 2's fields (the kind byte, the contract value's text and the
// settlement coin) from [*p, end) into `d`.  The texts are only read here:
// check_definition then says whether they make a contract of that kind.
// `length` is the body's, for the error.
std::optional<decltype(BlockError::reason)> take_kind(const std::uint8_t** p,
                                                      const std::uint8_t* end, std::uint32_t length,
                                                      InstrumentDefinition* d) {
  std::string value;
  if (end == *p) return damaged::FieldsPastLength{length};
  const std::uint8_t kind = **p;
  ++*p;
  if (kind > static_cast<std::uint8_t>(ContractKind::Inverse)) return damaged::UnknownKind{kind};
  if (!take_text(p, end, &value) || !take_text(p, end, &d->settle)) {
    return damaged::FieldsPastLength{length};
  }
  d->kind = static_cast<ContractKind>(kind);
  if (value.empty()) return std::nullopt;
  std::optional<Step> step = parse_step(value);
  if (!step) return DefinitionProblem{definition::BadStep{"contract_value", std::move(value)}};
  d->contract_value = *std::move(step);
  return std::nullopt;
}

// A file opened for reading its header and block, closed when dropped.
class File {
 public:
  explicit File(const std::string& path) {
    if (path.find('\0') != std::string::npos) return;
    while ((fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    struct stat st;
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      size_ = static_cast<std::uint64_t>(st.st_size);
      regular_ = true;
    }
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Whether the file can be read at offsets: open, and a regular file.
  bool usable() const { return fd_ >= 0 && regular_; }
  std::uint64_t size() const { return size_; }

  // Reads up to `n` bytes at `offset`; returns how many arrived.
  std::size_t read_at(std::uint64_t offset, void* into, std::size_t n) const {
    return pread_full(fd_, into, n, offset);
  }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  bool regular_ = false;
};

// The file's header has been checked and says the records end at `offset`
// (none: beyond 64 bits).  Reads what lies there and decodes it.  `short_of`
// makes the file's own error for a file shorter than its records.
template <class Result, class ShortOf>
Result block_at(const File& file, std::optional<std::uint64_t> offset, std::uint64_t header_id,
                ShortOf short_of) {
  if (!offset || file.size() < *offset) return short_of(offset.value_or(U64_MAX), file.size());
  const std::uint64_t left = file.size() - *offset;
  const std::size_t most = INSTRUMENT_HEAD_BYTES + MAX_INSTRUMENT_BODY;
  std::vector<std::uint8_t> bytes(left < most ? static_cast<std::size_t>(left) : most);
  bytes.resize(file.read_at(*offset, bytes.data(), bytes.size()));
  auto decoded = decode_instrument_block(bytes, *offset, header_id);
  if (auto* e = std::get_if<BlockError>(&decoded)) return *e;
  return std::get<std::optional<InstrumentDefinition>>(std::move(decoded));
}

// The definition a file of kind `Format` holds: its header checked as its
// reader checks it, then the block where `block_offset(header)` says the
// records end.
template <class Format, class Result, class BlockOffset>
Result instrument_of_file(const std::string& path, BlockOffset block_offset) {
  const File file(path);
  std::uint8_t h[Format::HEADER_BYTES];
  if (!file.usable() || file.read_at(0, h, sizeof h) != sizeof h) return short_header<Format>();
  if (auto refused = check_header<Format>(h)) return *refused;
  return block_at<Result>(file, block_offset(h), header_instrument(h),
                          [](std::uint64_t needed, std::uint64_t size) {
                            return typename Format::Error{Truncated{needed, size}};
                          });
}

}  // namespace

std::string BlockError::display() const {
  const std::string where = format("instrument block at byte %" PRIu64 ": ", offset);
  return where +
         std::visit(
             Overloaded{
                 [](const damaged::Truncated& e) {
                   return format("truncated: needed %" PRIu64 " bytes, %" PRIu64 " available",
                                 e.needed, e.available);
                 },
                 [](const damaged::TooLong& e) {
                   return format("a length of %" PRIu32 " bytes, more than the %" PRIu32
                                 " a block may have",
                                 e.length, MAX_INSTRUMENT_BODY);
                 },
                 [](const damaged::ChecksumMismatch& e) {
                   return format("checksum mismatch: expected 0x%08" PRIx32
                                 ", computed 0x%08" PRIx32,
                                 e.expected, e.computed);
                 },
                 [](const damaged::VersionZero&) {
                   return std::string("version 0 is never written");
                 },
                 [](const damaged::FieldsPastLength& e) {
                   return format("the fields run past the length of %" PRIu32 " bytes", e.length);
                 },
                 [](const damaged::UnknownKind& e) {
                   return format("unknown contract kind %u", static_cast<unsigned>(e.kind));
                 },
                 [](const DefinitionProblem& e) { return e.display(); },
             },
             reason);
}

std::vector<std::uint8_t> encode_instrument_block(const InstrumentDefinition& d) {
  if (check_definition(d)) panic("a definition is checked before it is written");
  std::vector<std::uint8_t> out(INSTRUMENT_HEAD_BYTES + 8);
  store<std::uint64_t>(out.data() + INSTRUMENT_HEAD_BYTES, d.id);
  put_text(out, d.symbol);
  put_text(out, d.tick_size.text);
  put_text(out, d.lot_size.text);
  const bool inverse = d.kind == ContractKind::Inverse;
  if (inverse) {
    out.push_back(static_cast<std::uint8_t>(d.kind));
    put_text(out, d.contract_value->text);
    put_text(out, d.settle);
  }
  const std::size_t body = out.size() - INSTRUMENT_HEAD_BYTES;
  std::uint8_t* h = out.data();
  store<std::uint32_t>(h + 0, INSTRUMENT_MAGIC);
  store<std::uint16_t>(h + 4, inverse ? INSTRUMENT_VERSION : LINEAR_INSTRUMENT_VERSION);
  // Bytes 6-7 are reserved and stay zero.
  store<std::uint32_t>(h + 8, static_cast<std::uint32_t>(body));
  store<std::uint32_t>(h + 12, crc32(h + INSTRUMENT_HEAD_BYTES, body));
  return out;
}

std::variant<std::optional<InstrumentDefinition>, BlockError> decode_instrument_block(
    std::span<const std::uint8_t> bytes, std::uint64_t offset, std::uint64_t header_id) {
  // Anything but the magic is trailing bytes of someone else's: no block.
  if (bytes.size() < 4 || load<std::uint32_t>(bytes.data()) != INSTRUMENT_MAGIC) {
    return std::nullopt;
  }
  const auto damage = [offset](auto reason) { return BlockError{offset, reason}; };
  if (bytes.size() < INSTRUMENT_HEAD_BYTES) {
    return damage(damaged::Truncated{offset + INSTRUMENT_HEAD_BYTES, offset + bytes.size()});
  }
  const auto version = load<std::uint16_t>(bytes.data() + 4);
  const auto length = load<std::uint32_t>(bytes.data() + 8);
  const auto expected = load<std::uint32_t>(bytes.data() + 12);
  if (version == 0) return damage(damaged::VersionZero{});
  if (length > MAX_INSTRUMENT_BODY) return damage(damaged::TooLong{length});
  if (bytes.size() - INSTRUMENT_HEAD_BYTES < length) {
    return damage(
        damaged::Truncated{offset + INSTRUMENT_HEAD_BYTES + length, offset + bytes.size()});
  }
  const std::uint8_t* p = bytes.data() + INSTRUMENT_HEAD_BYTES;
  const std::uint8_t* end = p + length;
  const std::uint32_t computed = crc32(p, length);
  if (computed != expected) return damage(damaged::ChecksumMismatch{expected, computed});

  // The fields of version 1 open the body of every version, those of
  // version 2 follow them from version 2 on; what follows those is a later
  // version's and is stepped over.
  InstrumentDefinition d;
  std::string tick, lot;
  bool fits = end - p >= 8;
  if (fits) {
    d.id = load<std::uint64_t>(p);
    p += 8;
    fits = take_text(&p, end, &d.symbol) && take_text(&p, end, &tick) && take_text(&p, end, &lot);
  }
  if (!fits) {
    // A later version that dropped them holds nothing this one knows.
    if (version > INSTRUMENT_VERSION) return std::nullopt;
    return damage(damaged::FieldsPastLength{length});
  }
  auto defined = define_instrument(d.id, std::move(d.symbol), tick, lot);
  if (auto* problem = std::get_if<DefinitionProblem>(&defined)) return damage(*problem);
  InstrumentDefinition& read = std::get<InstrumentDefinition>(defined);
  if (version >= 2) {
    if (auto error = take_kind(&p, end, length, &read)) return BlockError{offset, *error};
    if (auto problem = check_definition(read)) return damage(*problem);
  }
  if (read.id != header_id)
    return damage(DefinitionProblem{definition::IdMismatch{read.id, header_id}});
  return std::optional<InstrumentDefinition>(std::move(read));
}

std::optional<std::uint64_t> tick_block_offset(std::uint64_t count) {
  std::uint64_t records;
  if (__builtin_mul_overflow(count, std::uint64_t{RECORD_BYTES}, &records) ||
      records > U64_MAX - HEADER_BYTES) {
    return std::nullopt;
  }
  return HEADER_BYTES + records;
}

std::optional<std::uint64_t> depth_block_offset(std::uint64_t count, std::uint64_t levels) {
  const std::optional<std::uint64_t> body = depth_body_bytes(count, levels);
  if (!body || *body > U64_MAX - DEPTH_HEADER_BYTES) return std::nullopt;
  return DEPTH_HEADER_BYTES + *body;
}

TickInstrument instrument_of_tick_file(const std::string& path) {
  const File file(path);
  std::uint8_t h[HEADER_BYTES];
  if (!file.usable() || file.read_at(0, h, sizeof h) != sizeof h) {
    return Error{Truncated{HEADER_BYTES, 0}};
  }
  if (const auto magic = load<std::uint32_t>(h); magic != MAGIC) return Error{BadMagic{magic}};
  if (const auto version = load<std::uint16_t>(h + 4); version != VERSION) {
    return Error{UnknownVersion{version}};
  }
  const auto count = load<std::uint64_t>(h + 8);
  return block_at<TickInstrument>(
      file, tick_block_offset(count), load<std::uint64_t>(h + 16),
      [](std::uint64_t needed, std::uint64_t size) { return Error{Truncated{needed, size}}; });
}

DepthInstrument instrument_of_depth_file(const std::string& path) {
  return instrument_of_file<DepthFormat, DepthInstrument>(path, [](const std::uint8_t* h) {
    return depth_block_offset(load<std::uint64_t>(h + 8), load<std::uint64_t>(h + 32));
  });
}

MarkInstrument instrument_of_mark_file(const std::string& path) {
  return instrument_of_file<MarkFormat, MarkInstrument>(path, [](const std::uint8_t* h) {
    return mark_block_offset(load<std::uint64_t>(h + 8), load<std::uint64_t>(h + 32));
  });
}

}  // namespace halvorn::data
