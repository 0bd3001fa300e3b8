#include "data/mark_file.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "data/crc32.hpp"
#include "data/depth_bytes.hpp"
#include "data/instrument_block.hpp"
#include "types/overloaded.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::load;
using depth_bytes::store;

std::string hex(std::uint32_t v) {
  char b[11];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

}  // namespace

namespace mark_bytes {

void put_record(std::uint8_t* at, std::int64_t a, std::int64_t b, std::int64_t c) {
  store<std::int64_t>(at, a);
  store<std::int64_t>(at + 8, b);
  store<std::int64_t>(at + 16, c);
}

std::vector<std::uint8_t> settlements(std::span<const PricedRate> settlements) {
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

}  // namespace mark_bytes

std::optional<MarkError> MarkFormat::check_fields(const std::uint8_t* header) {
  if (header[6] != static_cast<std::uint8_t>(MarkKind::Price) &&
      header[6] != static_cast<std::uint8_t>(MarkKind::Premium)) {
    return MarkError{UnknownKind{header[6]}};
  }
  return std::nullopt;
}

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
          [](const NotAPrice& e) {
            return "mark " + std::to_string(e.index) + " is " + std::to_string(e.value) +
                   ", and a mark price is above 0";
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

std::vector<std::uint8_t> encode_marks(std::uint64_t instrument, MarkKind kind,
                                       std::span<const MarkRecord> records,
                                       std::span<const PricedRate> settlements,
                                       const InstrumentDefinition* definition) {
  std::vector<std::uint8_t> out(MARK_HEADER_BYTES + records.size() * MARK_RECORD_BYTES);
  for (std::size_t i = 0; i < records.size(); ++i) {
    mark_bytes::put_record(out.data() + MARK_HEADER_BYTES + i * MARK_RECORD_BYTES, records[i].time,
                           records[i].mark, records[i].index);
  }
  const std::uint32_t crc =
      crc32(out.data() + MARK_HEADER_BYTES, records.size() * MARK_RECORD_BYTES);
  const std::vector<std::uint8_t> settled = mark_bytes::settlements(settlements);
  out.insert(out.end(), settled.begin(), settled.end());
  if (definition != nullptr) {
    const std::vector<std::uint8_t> block = encode_instrument_block(*definition);
    out.insert(out.end(), block.begin(), block.end());
  }
  const auto h = mark_bytes::header(instrument, kind, records.size(), crc, settlements.size(),
                                    crc32(settled.data(), settled.size()));
  std::memcpy(out.data(), h.data(), h.size());
  return out;
}

}  // namespace halvorn::data
