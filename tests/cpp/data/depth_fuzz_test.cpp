// Thousands of damaged depth files through the reader, each compared with an
// independent whole-file model of what the reader must do: which records it
// hands out and which single error (if any) ends it.  The model walks the
// file by absolute offsets with the whole file in hand, decodes with its own
// loads and checksums the body in one pass with the byte-at-a-time
// definition, so it shares neither the reader's buffer, nor its incremental
// checksum, nor its decoding.  Block sizes vary from one byte to the
// default, so record boundaries fall everywhere in a block.

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>

#include "data/depth_reader.hpp"
#include "depth_files.hpp"

namespace halvorn::data {
namespace {

using namespace testing;

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

struct Outcome {
  bool opened = false;
  std::vector<DepthRecord> records;
  std::optional<DepthError> error;
};

Outcome model(const Bytes& file, std::uint64_t block) {
  Outcome o;
  if (file.size() < 40) {
    o.error = DepthError{Truncated{40, 0}};
    return o;
  }
  if (le(file, 0, 4) != 0x50445648u) {
    o.error = DepthError{BadMagic{static_cast<std::uint32_t>(le(file, 0, 4))}};
    return o;
  }
  if (le(file, 4, 2) != 1) {
    o.error = DepthError{UnknownVersion{static_cast<std::uint16_t>(le(file, 4, 2))}};
    return o;
  }
  o.opened = true;
  const std::uint64_t count = le(file, 8, 8);
  const std::uint64_t levels = le(file, 32, 8);
  const auto checksum = static_cast<std::uint32_t>(le(file, 24, 4));
  using U128 = unsigned __int128;
  const U128 body = U128{count} * 48 + U128{levels} * 16;
  const std::uint64_t needed =
      40 + body > U64_MAX ? U64_MAX : static_cast<std::uint64_t>(40 + body);
  const std::uint64_t present = file.size() - 40;

  // Blocks are read whole, in order, as far as the bytes a record needs.
  std::uint64_t read = 0;
  auto reach = [&](U128 upto) -> std::optional<DepthError> {
    while (read < upto) {
      const std::uint64_t k = static_cast<std::uint64_t>(std::min<U128>(block, body - read));
      if (present < read + k) return DepthError{Truncated{needed, 40 + read}};
      read += k;
      if (read == body) {
        const std::uint32_t computed = crc32_bytewise(0, file.data() + 40, read);
        if (computed != checksum) return DepthError{ChecksumMismatch{checksum, computed}};
      }
    }
    return std::nullopt;
  };
  auto at = [&](std::uint64_t offset, std::size_t width) { return le(file, 40 + offset, width); };

  std::uint64_t pos = 0, left = levels;
  std::optional<std::int64_t> previous;
  for (std::uint64_t i = 0; i < count; ++i) {
    auto malformed = [&](MalformedReason r) {
      o.error = DepthError{Malformed{i, r}};
      return o;
    };
    if ((o.error = reach(U128{pos} + 48))) return o;
    const auto kind = static_cast<std::uint8_t>(at(pos, 1));
    const auto flags = static_cast<std::uint8_t>(at(pos + 1, 1));
    if (kind != 1 && kind != 2) return malformed(malformed::UnknownKind{kind});
    if (flags > (kind == 2 ? 1 : 0)) return malformed(malformed::UnknownFlags{flags, kind == 1});
    const bool zero_fields = at(pos + 2, 2) == 0 && at(pos + 12, 4) == 0 &&
                             (kind == 2 || at(pos + 32, 8) == 0) &&
                             (flags == 1 || at(pos + 40, 8) == 0);
    if (!zero_fields) return malformed(malformed::ReservedNotZero{});
    const std::uint64_t nb = at(pos + 4, 4), na = at(pos + 8, 4), n = nb + na;
    if (n > (1u << 20)) return malformed(malformed::TooManyLevels{n});
    if (n > left) return malformed(malformed::LevelsPastHeader{n, left});
    if (i == count - 1 && n != left) return malformed(malformed::LevelsShortOfHeader{left - n});
    const auto time = static_cast<std::int64_t>(at(pos + 16, 8));
    if (previous && time < *previous) {
      o.error = DepthError{GoesBackwards{i, *previous, time}};
      return o;
    }
    if ((o.error = reach(U128{pos} + 48 + 16 * n))) return o;
    std::vector<Level> bids, asks;
    for (std::uint64_t j = 0; j < n; ++j) {
      const Level l{static_cast<std::int64_t>(at(pos + 48 + 16 * j, 8)),
                    static_cast<std::int64_t>(at(pos + 56 + 16 * j, 8))};
      if (l.qty < 0) return malformed(malformed::NegativeQuantity{j, l.qty});
      (j < nb ? bids : asks).push_back(l);
    }
    DepthRecord r;
    r.time = time;
    if (kind == 1) {
      r.entry = DepthSnapshot{at(pos + 24, 8), bids, asks};
    } else {
      // Rounded down: less the remainder taken as a non-negative number.
      const std::int64_t below = ((time % 1'000'000) + 1'000'000) % 1'000'000;
      const auto ms = static_cast<std::int64_t>((static_cast<__int128>(time) - below) / 1'000'000);
      r.entry = DepthUpdate{flags ? std::optional(at(pos + 40, 8)) : std::nullopt,
                            bids,
                            asks,
                            ms,
                            at(pos + 24, 8),
                            at(pos + 32, 8),
                            time};
    }
    o.records.push_back(std::move(r));
    previous = time;
    pos += 48 + 16 * n;
    left -= n;
  }
  return o;
}

// A valid file of random shape: mostly small updates, some snapshots, now
// and then one wide enough to span many blocks.
Bytes random_file(std::mt19937_64& rng) {
  auto levels = [&](std::size_t n) {
    std::vector<Level> ls(n);
    for (auto& l : ls) {
      l = {static_cast<std::int64_t>(rng() % 2000) - 1000, static_cast<std::int64_t>(rng() % 50)};
    }
    return ls;
  };
  const std::size_t n = rng() % 4 == 0 ? rng() % 3 : rng() % 60;
  std::vector<DepthRecord> rs;
  std::int64_t t = static_cast<std::int64_t>(rng() % 4'000'000) - 2'000'000;
  for (std::size_t i = 0; i < n; ++i) {
    t += static_cast<std::int64_t>(rng() % 3) * 700'000;  // equal times are allowed
    const std::uint64_t id = rng();
    if (rng() % 8 == 0) {
      const std::size_t wide = rng() % 30 == 0 ? 2000 + rng() % 3000 : rng() % 40;
      rs.push_back(snapshot_at(t, id, levels(rng() % (wide + 1)), levels(wide / 2)));
    } else {
      rs.push_back(update_at(t, id, id + rng() % 3, levels(rng() % 4), levels(rng() % 4),
                             rng() % 2 ? std::optional(id - 1) : std::nullopt));
    }
  }
  return encoded(rng(), rs);
}

// The offsets at which the records of an intact file start.
std::vector<std::size_t> record_starts(const Bytes& b) {
  std::vector<std::size_t> starts;
  std::size_t pos = 40;
  for (std::uint64_t i = 0; i < le(b, 8, 8) && pos + 48 <= b.size(); ++i) {
    starts.push_back(pos);
    pos += 48 + 16 * (le(b, pos + 4, 4) + le(b, pos + 8, 4));
  }
  return starts;
}

void mutate(Bytes& b, std::mt19937_64& rng) {
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  const std::vector<std::size_t> starts = record_starts(b);
  const std::size_t record = starts.empty() ? 0 : starts[pick(starts.size())];
  switch (rng() % 10) {
    case 0:  // intact
      break;
    case 1:  // cut anywhere
      b.resize(pick(b.size() + 1));
      break;
    case 2:  // a few bits flipped anywhere, header included
      for (int i = 1 + pick(3); i > 0; --i) b[pick(b.size())] ^= 1u << pick(8);
      if (rng() % 4 == 0) b[4 + pick(2)] ^= 1u << pick(8);
      break;
    case 3: {  // noise behind a valid magic and version, often with small counts
      b.resize(pick(600));
      for (auto& x : b) x = static_cast<std::uint8_t>(rng());
      if (b.size() >= 40 && rng() % 3 != 0) {
        const std::uint8_t head[6] = {'H', 'V', 'D', 'P', 1, 0};
        std::copy(head, head + 6, b.begin());
        set_le(b, 8, 8, pick(6));
        set_le(b, 32, 8, pick(30));
        for (std::size_t p = 40; p < b.size(); p += 48)
          b[p] = static_cast<std::uint8_t>(1 + pick(2));
      }
      break;
    }
    case 4: {  // the counts off by a little, or wildly
      const std::size_t field = rng() % 2 ? 8 : 32;
      std::uint64_t v = le(b, field, 8);
      v = rng() % 4 == 0 ? rng() >> pick(64) : v + pick(7) - 3;
      set_le(b, field, 8, v);
      if (rng() % 2) reseal(b);
      break;
    }
    case 5:  // trailing bytes
      for (int i = pick(200); i > 0; --i) b.push_back(static_cast<std::uint8_t>(rng()));
      break;
    default: {  // a record's fixed part or a quantity damaged under a correct checksum
      if (starts.empty()) break;
      switch (rng() % 6) {
        case 0:
          b[record + pick(48)] ^= 1u << pick(8);
          break;
        case 1:  // time backwards
          set_le(b, record + 16, 8, le(b, record + 16, 8) - 1 - pick(2'000'000));
          break;
        case 2:  // a level count off
          set_le(b, record + 4 + 4 * pick(2), 4, le(b, record + 4, 4) + pick(5) - 2);
          break;
        case 3:  // a level count absurd
          set_le(b, record + 4 + 4 * pick(2), 4, rng() % 2 ? 0xFFFFFFFFu : (1u << 20) + pick(2));
          break;
        case 4: {  // a negative quantity
          const std::uint64_t n = le(b, record + 4, 4) + le(b, record + 8, 4);
          if (n > 0) b[record + 48 + 16 * pick(n) + 15] |= 0x80;
          break;
        }
        default:  // an undefined kind or flag
          b[record + pick(2)] = static_cast<std::uint8_t>(rng());
      }
      reseal(b);
      if (rng() % 4 == 0) b.resize(pick(b.size() + 1));
    }
  }
}

TEST(DepthReaderFuzz, EveryDamagedFileEndsExactlyAsTheModelSays) {
  ScratchDir dir;
  std::mt19937_64 rng(0xDE9'7F11E);
  const std::size_t blocks[] = {1, 7, 48, 64, 100, 333, 4096, DEPTH_BLOCK_BYTES};
  int clean = 0;
  std::array<int, 6> errors{};
  std::array<int, 7> reasons{};
  for (int i = 0; i < 4000; ++i) {
    Bytes file = random_file(rng);
    mutate(file, rng);
    const std::size_t block = blocks[rng() % std::size(blocks)];
    const std::string path = dir.file("f.hvdp");
    write_bytes(path, file);
    const Outcome want = model(file, block);

    DepthOpened o = DepthReader::open(path, block);
    if (auto* e = std::get_if<DepthError>(&o)) {
      ASSERT_FALSE(want.opened) << "case " << i << ": " << e->display();
      ASSERT_EQ(*e, *want.error) << "case " << i;
      ++errors[e->kind.index()];
      continue;
    }
    ASSERT_TRUE(want.opened) << "case " << i;
    DepthReader& reader = std::get<DepthReader>(o);
    DrainedDepth got = drain(reader);
    ASSERT_EQ(got.records.size(), want.records.size())
        << "case " << i << ": " << (got.error ? got.error->display() : "end");
    ASSERT_TRUE(got.records == want.records) << "case " << i;
    ASSERT_EQ(got.error, want.error)
        << "case " << i << ": " << (got.error ? got.error->display() : "end") << " / "
        << (want.error ? want.error->display() : "end");
    if (!got.error) {
      ++clean;
    } else {
      ++errors[got.error->kind.index()];
      if (auto* m = std::get_if<Malformed>(&got.error->kind)) ++reasons[m->reason.index()];
    }

    // The run loop's view of the same file: the same records, the same error.
    if (i % 10 == 0) {
      StreamedDepth s(std::get<DepthReader>(DepthReader::open(path, block)));
      std::vector<DepthRecord> seen;
      DepthRecord r;
      while (s.next(r)) seen.push_back(r);
      ASSERT_TRUE(seen == want.records) << "case " << i;
      ASSERT_EQ(s.error(), want.error) << "case " << i;
    }
  }
  // The mutations must reach every outcome, or the test proves less than it
  // claims.
  EXPECT_GT(clean, 300);
  for (std::size_t k = 0; k < errors.size(); ++k) EXPECT_GT(errors[k], 20) << "error kind " << k;
  for (std::size_t k = 0; k < reasons.size(); ++k) EXPECT_GT(reasons[k], 5) << "reason " << k;
}

}  // namespace
}  // namespace halvorn::data
