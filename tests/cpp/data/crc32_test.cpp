// The CRC-32 methods against the byte-at-a-time definition and one another,
// at every length around the folding method's 16- and 64-byte steps, at odd
// alignments and from arbitrary starting values.

#include "data/crc32.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace halvorn::data {
namespace {

TEST(Crc32, KnownValues) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32("", 0), 0u);
  EXPECT_EQ(crc32_bytewise(0, "123456789", 9), 0xCBF43926u);
  // "The quick brown fox jumps over the lazy dog"
  const char* fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32(fox, std::strlen(fox)), 0x414FA339u);
  // A long run of zeros and of ones, long enough for the folding loop.
  std::vector<unsigned char> zeros(4096, 0), ones(4096, 0xFF);
  EXPECT_EQ(crc32(zeros.data(), zeros.size()), crc32_bytewise(0, zeros.data(), zeros.size()));
  EXPECT_EQ(crc32(ones.data(), ones.size()), crc32_bytewise(0, ones.data(), ones.size()));
}

TEST(Crc32, AllMethodsAgreeAtEveryLengthAndAlignment) {
  std::mt19937_64 rng(20240611);
  // Up to 1,200 bytes the wide method takes its 256-byte step up to three
  // times, then the 64-byte, 16-byte and byte steps.
  std::vector<unsigned char> buf(1200 + 16);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());
  for (std::size_t n = 0; n <= 1200; ++n) {
    for (std::size_t offset : {0, 1, 7, 13}) {
      const std::uint32_t start = n % 5 == 0 ? 0u : static_cast<std::uint32_t>(rng());
      const unsigned char* p = buf.data() + offset;
      const std::uint32_t want = crc32_bytewise(start, p, n);
      ASSERT_EQ(crc32_slicing(start, p, n), want) << n << " bytes at +" << offset;
      ASSERT_EQ(crc32_extend(start, p, n), want) << n << " bytes at +" << offset;
      if (crc32_folding_supported()) {
        ASSERT_EQ(crc32_folding(start, p, n), want) << n << " bytes at +" << offset;
      }
      if (crc32_wide_folding_supported()) {
        ASSERT_EQ(crc32_wide_folding(start, p, n), want) << n << " bytes at +" << offset;
      }
    }
  }
}

TEST(Crc32, ExtendingChunkByChunkEqualsTheWhole) {
  std::mt19937_64 rng(7);
  std::vector<unsigned char> buf(1 << 20);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());
  const std::uint32_t whole = crc32_bytewise(0, buf.data(), buf.size());
  EXPECT_EQ(crc32(buf.data(), buf.size()), whole);
  std::uint32_t crc = 0;
  std::size_t at = 0;
  while (at < buf.size()) {
    std::size_t n = std::min<std::size_t>(buf.size() - at, rng() % 5000);
    crc = crc32_extend(crc, buf.data() + at, n);
    at += n;
  }
  EXPECT_EQ(crc, whole);
}

TEST(Crc32, ASingleFlippedBitAlwaysChangesTheValue) {
  // CRC-32 detects every single-bit error; a folding constant that was off
  // would let some position through.
  std::vector<unsigned char> buf(640);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(i * 37);
  const std::uint32_t base = crc32(buf.data(), buf.size());
  for (std::size_t bit = 0; bit < buf.size() * 8; ++bit) {
    buf[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
    ASSERT_NE(crc32(buf.data(), buf.size()), base) << "bit " << bit;
    buf[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
  }
}

}  // namespace
}  // namespace halvorn::data
