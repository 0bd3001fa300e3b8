#include "data/depth_file.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "data/crc32.hpp"
#include "data/depth_bytes.hpp"
#include "types/fixed.hpp"
#include "types/overloaded.hpp"

namespace halvorn::data {

namespace {

using depth_bytes::store;

std::string format(const char* fmt, auto... args) {
  char buf[200];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, static_cast<std::size_t>(std::clamp(n, 0, int{sizeof buf} - 1)));
}

std::string reason_text(const MalformedReason& reason) {
  return std::visit(
      Overloaded{
          [](const malformed::UnknownKind& r) {
            return format("unknown kind %u", static_cast<unsigned>(r.kind));
          },
          [](const malformed::UnknownFlags& r) {
            return format("undefined flags 0x%02x on %s", static_cast<unsigned>(r.flags),
                          r.snapshot ? "a snapshot" : "an update");
          },
          [](const malformed::ReservedNotZero&) {
            return std::string("reserved bytes are not zero");
          },
          [](const malformed::TooManyLevels& r) {
            return format("%" PRIu64 " levels, more than the %" PRIu32 " a record may hold",
                          r.levels, MAX_RECORD_LEVELS);
          },
          [](const malformed::LevelsPastHeader& r) {
            return format("%" PRIu64 " levels, but only %" PRIu64 " of the header's are left",
                          r.levels, r.left);
          },
          [](const malformed::LevelsShortOfHeader& r) {
            return format("the last record leaves %" PRIu64 " of the header's levels unused",
                          r.unused);
          },
          [](const malformed::NegativeQuantity& r) {
            return format("level %" PRIu64 " has quantity %" PRId64, r.level, r.qty);
          },
      },
      reason);
}

}  // namespace

std::string DepthError::display() const {
  return std::visit(
      Overloaded{
          [](const Truncated& e) {
            return format("depth file truncated: needed %" PRIu64 " bytes, %" PRIu64 " available",
                          e.needed, e.available);
          },
          [](const BadMagic& e) { return format("not a depth file: magic 0x%08" PRIx32, e.magic); },
          [](const UnknownVersion& e) {
            return format("unknown depth file version %u", static_cast<unsigned>(e.version));
          },
          [](const ChecksumMismatch& e) {
            return format("depth file checksum mismatch: expected 0x%08" PRIx32
                          ", computed 0x%08" PRIx32,
                          e.expected, e.computed);
          },
          [](const GoesBackwards& e) {
            return format("depth record %" PRIu64 " goes backwards: previous time %" PRId64
                          ", found %" PRId64,
                          e.index, e.previous, e.found);
          },
          [](const Malformed& e) {
            return format("depth record %" PRIu64 " is malformed: ", e.index) +
                   reason_text(e.reason);
          },
      },
      kind);
}

std::optional<std::uint64_t> depth_body_bytes(std::uint64_t count, std::uint64_t levels) {
  const unsigned __int128 bytes = static_cast<unsigned __int128>(count) * DEPTH_RECORD_BYTES +
                                  static_cast<unsigned __int128>(levels) * DEPTH_LEVEL_BYTES;
  if (bytes > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
  return static_cast<std::uint64_t>(bytes);
}

std::optional<DepthError> DepthEncoder::append(const book::DepthRecord& record,
                                               std::vector<std::uint8_t>& out) {
  const auto* update = std::get_if<book::DepthUpdate>(&record.entry);
  const auto* snapshot = std::get_if<book::DepthSnapshot>(&record.entry);
  const std::vector<book::Level>& bids = update ? update->bids : snapshot->bids;
  const std::vector<book::Level>& asks = update ? update->asks : snapshot->asks;

  // Everything a reader checks, before a byte is appended.
  const std::uint64_t n = bids.size() + asks.size();
  if (n > MAX_RECORD_LEVELS) return DepthError{Malformed{count_, malformed::TooManyLevels{n}}};
  std::uint64_t j = 0;
  for (const auto* side : {&bids, &asks}) {
    for (const book::Level& l : *side) {
      if (l.qty < 0) return DepthError{Malformed{count_, malformed::NegativeQuantity{j, l.qty}}};
      ++j;
    }
  }
  if (record.time < previous_) {
    return DepthError{GoesBackwards{count_, previous_, record.time}};
  }

  const std::size_t start = out.size();
  out.resize(start + DEPTH_RECORD_BYTES + DEPTH_LEVEL_BYTES * n);
  std::uint8_t* r = out.data() + start;
  std::fill(r, r + DEPTH_RECORD_BYTES, std::uint8_t{0});
  store<std::uint32_t>(r + 4, static_cast<std::uint32_t>(bids.size()));
  store<std::uint32_t>(r + 8, static_cast<std::uint32_t>(asks.size()));
  store<std::int64_t>(r + 16, record.time);
  if (update) {
    r[0] = DEPTH_UPDATE;
    store<std::uint64_t>(r + 24, update->first_id);
    store<std::uint64_t>(r + 32, update->final_id);
    if (update->prev_final_id) {
      r[1] = DEPTH_HAS_PREV;
      store<std::uint64_t>(r + 40, *update->prev_final_id);
    }
  } else {
    r[0] = DEPTH_SNAPSHOT;
    store<std::uint64_t>(r + 24, snapshot->last_update_id);
  }
  std::uint8_t* l = r + DEPTH_RECORD_BYTES;
  for (const auto* side : {&bids, &asks}) {
    for (const book::Level& level : *side) {
      store<std::int64_t>(l, level.price);
      store<std::int64_t>(l + 8, level.qty);
      l += DEPTH_LEVEL_BYTES;
    }
  }
  crc_ = crc32_extend(crc_, r, out.size() - start);
  count_ = next_counter(count_, "depth record count overflows");
  levels_ += n;
  previous_ = record.time;
  return std::nullopt;
}

std::array<std::uint8_t, DEPTH_HEADER_BYTES> DepthEncoder::header() const {
  std::array<std::uint8_t, DEPTH_HEADER_BYTES> h{};
  store<std::uint32_t>(h.data() + 0, DEPTH_MAGIC);
  store<std::uint16_t>(h.data() + 4, DEPTH_VERSION);
  store<std::uint64_t>(h.data() + 8, count_);
  store<std::uint64_t>(h.data() + 16, instrument_);
  store<std::uint32_t>(h.data() + 24, crc_);
  store<std::uint64_t>(h.data() + 32, levels_);
  // Bytes 6-7 and 28-31 are reserved and stay zero.
  return h;
}

std::variant<std::vector<std::uint8_t>, DepthError> encode_depth(
    std::uint64_t instrument, std::span<const book::DepthRecord> records) {
  DepthEncoder encoder(instrument);
  std::vector<std::uint8_t> out(DEPTH_HEADER_BYTES);
  for (const book::DepthRecord& record : records) {
    if (std::optional<DepthError> refused = encoder.append(record, out)) return *refused;
  }
  const auto header = encoder.header();
  std::copy(header.begin(), header.end(), out.begin());
  return out;
}

}  // namespace halvorn::data
