// Thousands of damaged tick files through the reader, each compared with an
// independent whole-file model of what the reader must do: which records it
// hands out and which single error (if any) ends it.  The model sees the
// whole file at once and checksums it in one pass with the byte-at-a-time
// definition, so it shares neither the reader's block loop, nor its
// incremental checksum, nor its decoding.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "data/ticks.hpp"
#include "files.hpp"

namespace halvorn::data {
namespace {

using engine::Tick;
using testing::Bytes;

struct Outcome {
  bool opened = false;
  std::vector<Tick> ticks;
  std::optional<Error> error;
};

std::uint64_t le(const Bytes& b, std::size_t at, std::size_t width) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= std::uint64_t{b[at + i]} << (8 * i);
  return v;
}

Outcome model(const Bytes& file) {
  Outcome o;
  if (file.size() < 32) {
    o.error = Error{Truncated{32, 0}};
    return o;
  }
  if (le(file, 0, 4) != 0x4B545648u) {
    o.error = Error{BadMagic{static_cast<std::uint32_t>(le(file, 0, 4))}};
    return o;
  }
  if (le(file, 4, 2) != 2) {
    o.error = Error{UnknownVersion{static_cast<std::uint16_t>(le(file, 4, 2))}};
    return o;
  }
  o.opened = true;
  const std::uint64_t count = le(file, 8, 8);
  const unsigned __int128 promised = 32 + static_cast<unsigned __int128>(count) * 64;
  const std::uint64_t needed = promised > std::numeric_limits<std::uint64_t>::max()
                                   ? std::numeric_limits<std::uint64_t>::max()
                                   : static_cast<std::uint64_t>(promised);
  const std::uint64_t present = (file.size() - 32) / 64;
  std::optional<std::int64_t> previous;
  for (std::uint64_t done = 0; done < count;) {
    const std::uint64_t k = std::min<std::uint64_t>(count - done, 8192);
    if (present < done + k) {
      o.error = Error{Truncated{needed, 32 + 64 * done}};
      return o;
    }
    if (done + k == count) {
      const std::uint32_t computed = crc32_bytewise(0, file.data() + 32, 64 * count);
      if (computed != le(file, 24, 4)) {
        o.error = Error{ChecksumMismatch{static_cast<std::uint32_t>(le(file, 24, 4)), computed}};
        return o;
      }
    }
    for (std::uint64_t i = done; i < done + k; ++i) {
      std::int64_t f[8];
      for (int j = 0; j < 8; ++j)
        f[j] = static_cast<std::int64_t>(le(file, 32 + 64 * i + 8 * j, 8));
      const Tick t{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]};
      if (previous && t.exch_ts < *previous) {
        o.error = Error{GoesBackwards{i, *previous, t.exch_ts}};
        return o;
      }
      previous = t.exch_ts;
      o.ticks.push_back(t);
    }
    done += k;
  }
  return o;
}

// A valid file of random size: mostly small, sometimes spanning blocks.
Bytes random_file(std::mt19937_64& rng) {
  std::size_t n;
  switch (rng() % 20) {
    case 0:
      n = 8192 - 2 + rng() % 5;
      break;
    case 1:
      n = 2 * 8192 - 2 + rng() % 5;
      break;
    default:
      n = rng() % 3 == 0 ? rng() % 4 : rng() % 300;
  }
  std::vector<Tick> ticks(n);
  std::int64_t ts = static_cast<std::int64_t>(rng() % 2000) - 1000;
  for (auto& t : ticks) {
    ts += static_cast<std::int64_t>(rng() % 3);  // equal times are allowed
    t = Tick{ts,
             static_cast<std::int64_t>(rng()),
             static_cast<std::int64_t>(rng()),
             static_cast<std::int64_t>(rng() % 1000),
             -static_cast<std::int64_t>(rng() % 1000),
             0,
             1,
             static_cast<std::int64_t>(rng())};
  }
  return encode(rng(), ticks);
}

void reseal(Bytes& b) {
  if (b.size() < 32) return;
  std::uint64_t count = std::min<std::uint64_t>(le(b, 8, 8), (b.size() - 32) / 64);
  std::uint32_t crc = crc32_bytewise(0, b.data() + 32, 64 * count);
  for (int i = 0; i < 4; ++i) b[24 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

void mutate(Bytes& b, std::mt19937_64& rng) {
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  switch (rng() % 8) {
    case 0:  // intact
      break;
    case 1:  // cut anywhere
      b.resize(pick(b.size() + 1));
      break;
    case 2:  // a few bits flipped anywhere, header included
      for (int i = 1 + pick(3); i > 0; --i) b[pick(b.size())] ^= 1u << pick(8);
      if (rng() % 4 == 0) b[4 + pick(2)] ^= 1u << pick(8);  // the version, often enough to see
      break;
    case 3: {  // noise, sometimes behind a valid magic and version
      b.resize(pick(400));
      for (auto& x : b) x = static_cast<std::uint8_t>(rng());
      if (b.size() >= 6 && rng() % 2 == 0) {
        const std::uint8_t head[6] = {'H', 'V', 'T', 'K', 2, 0};
        std::copy(head, head + 6, b.begin());
        if (b.size() >= 16 && rng() % 2 == 0) std::fill(b.begin() + 8, b.begin() + 16, 0);
        if (b.size() >= 16) b[8] = static_cast<std::uint8_t>(pick(8));
      }
      break;
    }
    case 4: {  // the count off by a little, or wildly
      std::uint64_t count = le(b, 8, 8);
      count = rng() % 4 == 0 ? rng() : count + pick(7) - 3;
      for (int i = 0; i < 8; ++i) b[8 + i] = static_cast<std::uint8_t>(count >> (8 * i));
      break;
    }
    case 5:  // trailing bytes
      for (int i = pick(200); i > 0; --i) b.push_back(static_cast<std::uint8_t>(rng()));
      break;
    default: {  // a record going backwards under a correct checksum
      std::uint64_t count = le(b, 8, 8);
      if (count >= 2) {
        std::size_t at = 32 + 64 * (1 + pick(count - 1));
        b[at + 7] ^= 0x80;  // flips the sign of the exchange time
        reseal(b);
      }
      if (rng() % 3 == 0) b.resize(pick(b.size() + 1));
    }
  }
}

TEST(ReaderFuzz, EveryDamagedFileEndsExactlyAsTheModelSays) {
  testing::ScratchDir dir;
  std::mt19937_64 rng(0x5EED'7A11);
  int opened = 0, clean = 0;
  std::array<int, 5> errors{};
  for (int i = 0; i < 3000; ++i) {
    Bytes file = random_file(rng);
    mutate(file, rng);
    const std::string path = dir.file("f.hvtk");
    testing::write_bytes(path, file);
    const Outcome want = model(file);

    Opened o = TickReader::open(path);
    if (auto* e = std::get_if<Error>(&o)) {
      ASSERT_FALSE(want.opened) << "case " << i << ": " << e->display();
      ASSERT_EQ(*e, *want.error) << "case " << i;
      ++errors[e->kind.index()];
      continue;
    }
    ASSERT_TRUE(want.opened) << "case " << i;
    ++opened;
    TickReader& reader = std::get<TickReader>(o);
    testing::Drained got = testing::drain(reader);
    ASSERT_EQ(got.ticks.size(), want.ticks.size()) << "case " << i;
    ASSERT_TRUE(got.ticks == want.ticks) << "case " << i;
    ASSERT_EQ(got.error, want.error)
        << "case " << i << ": " << (got.error ? got.error->display() : "end");
    if (got.error) {
      ++errors[got.error->kind.index()];
    } else {
      ++clean;
    }

    // The run loop's view of the same file: the same records, the same error.
    if (i % 10 == 0) {
      StreamedTicks s(std::get<TickReader>(TickReader::open(path)));
      std::vector<Tick> seen;
      Tick t;
      while (s.next(t)) seen.push_back(t);
      ASSERT_TRUE(seen == want.ticks) << "case " << i;
      ASSERT_EQ(s.error(), want.error) << "case " << i;
    }
  }
  // The mutations must actually reach every outcome, or the test proves less
  // than it claims.
  EXPECT_GT(clean, 100);
  EXPECT_GT(opened, 1000);
  for (std::size_t k = 0; k < errors.size(); ++k) EXPECT_GT(errors[k], 20) << "error kind " << k;
}

}  // namespace
}  // namespace halvorn::data
