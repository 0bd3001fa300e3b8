#include "data/crc32.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HALVORN_CRC_FOLDING 1
#endif

namespace halvorn::data {

namespace {

constexpr std::uint32_t POLY_REFLECTED = 0xEDB88320u;
constexpr std::uint32_t POLY_NORMAL = 0x04C11DB7u;

// tables[k][b] is the register after feeding byte b and then k zero bytes to
// a zero register, so eight table look-ups advance the register by eight
// bytes at once.  Row 0 is the table of the byte-at-a-time definition.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t r = b;
    for (int i = 0; i < 8; ++i) r = (r >> 1) ^ ((r & 1u) != 0 ? POLY_REFLECTED : 0u);
    t[0][b] = r;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t b = 0; b < 256; ++b) {
      std::uint32_t prev = t[k - 1][b];
      t[k][b] = (prev >> 8) ^ t[0][prev & 0xFFu];
    }
  }
  return t;
}

constexpr Tables TABLES = make_tables();

static_assert(TABLES[0][1] == 0x77073096u, "first entry of the standard table");

std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// The three methods below work on the raw register (preset and final
// complement left to the caller), so that the folding method can hand its
// head and tail to the slicing one.

std::uint32_t bytewise_register(std::uint32_t r, const unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) r = (r >> 8) ^ TABLES[0][(r ^ p[i]) & 0xFFu];
  return r;
}

std::uint32_t slicing_register(std::uint32_t r, const unsigned char* p, std::size_t n) {
  while (n >= 8) {
    std::uint64_t w = load_le64(p) ^ r;
    r = TABLES[7][w & 0xFF] ^ TABLES[6][(w >> 8) & 0xFF] ^ TABLES[5][(w >> 16) & 0xFF] ^
        TABLES[4][(w >> 24) & 0xFF] ^ TABLES[3][(w >> 32) & 0xFF] ^ TABLES[2][(w >> 40) & 0xFF] ^
        TABLES[1][(w >> 48) & 0xFF] ^ TABLES[0][w >> 56];
    p += 8;
    n -= 8;
  }
  return bytewise_register(r, p, n);
}

#ifdef HALVORN_CRC_FOLDING

// x^n mod P, with P the generator polynomial in its normal (unreflected)
// form; bit i holds the coefficient of x^i.
constexpr std::uint32_t x_pow_mod(unsigned n) {
  std::uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) r = (r << 1) ^ ((r & 0x80000000u) != 0 ? POLY_NORMAL : 0u);
  return r;
}

constexpr std::uint32_t reflect32(std::uint32_t v) {
  std::uint32_t r = 0;
  for (int i = 0; i < 32; ++i) r |= ((v >> i) & 1u) << (31 - i);
  return r;
}

// The multiplier that moves a 64-bit half of a lane forward: x^n mod P in
// the reflected bit order, shifted by one because the carry-less product of
// two reflected operands comes out one bit short of the reflected product.
constexpr std::uint64_t fold_constant(unsigned n) {
  return static_cast<std::uint64_t>(reflect32(x_pow_mod(n))) << 1;
}

// A lane of 128 bits that is followed by `distance` more bits of message is
// congruent (mod P) to its low half times x^(distance+32) plus its high half
// times x^(distance-32), each product 96 bits wide; in reflected order the
// low half holds the higher-degree terms.
constexpr std::uint64_t FOLD512_LO = fold_constant(512 + 32);
constexpr std::uint64_t FOLD512_HI = fold_constant(512 - 32);
constexpr std::uint64_t FOLD128_LO = fold_constant(128 + 32);
constexpr std::uint64_t FOLD128_HI = fold_constant(128 - 32);

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i lane, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(lane, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(lane, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folds the 16-byte lanes left after the wide steps into `x`, one at a time,
// then hands the last partial lane to the slicing method.
__attribute__((target("pclmul,sse2"))) std::uint32_t fold_tail(__m128i x, const unsigned char* p,
                                                               std::size_t n) {
  const __m128i k128 =
      _mm_set_epi64x(static_cast<long long>(FOLD128_HI), static_cast<long long>(FOLD128_LO));
  while (n >= 16) {
    x = fold(x, k128, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    p += 16;
    n -= 16;
  }
  // What is left is a 16-byte message congruent to everything folded so far;
  // its register, from zero, is the register of the whole.
  alignas(16) unsigned char rest[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
  return slicing_register(slicing_register(0, rest, sizeof rest), p, n);
}

__attribute__((target("pclmul,sse2"))) std::uint32_t folding_register(std::uint32_t r,
                                                                      const unsigned char* p,
                                                                      std::size_t n) {
  if (n < 64) return slicing_register(r, p, n);
  auto load = [](const unsigned char* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  };
  // Feeding message M to register r equals feeding M with r XORed into its
  // first four bytes to a zero register, so the register joins lane 0 and
  // the folding itself starts from zero.
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(r)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  n -= 64;
  const __m128i k512 =
      _mm_set_epi64x(static_cast<long long>(FOLD512_HI), static_cast<long long>(FOLD512_LO));
  while (n >= 64) {
    x0 = fold(x0, k512, load(p));
    x1 = fold(x1, k512, load(p + 16));
    x2 = fold(x2, k512, load(p + 32));
    x3 = fold(x3, k512, load(p + 48));
    p += 64;
    n -= 64;
  }
  const __m128i k128 =
      _mm_set_epi64x(static_cast<long long>(FOLD128_HI), static_cast<long long>(FOLD128_LO));
  __m128i x = fold(x0, k128, x1);
  x = fold(x, k128, x2);
  x = fold(x, k128, x3);
  return fold_tail(x, p, n);
}

// The same folding on 64-byte registers, four lanes to each, where the
// processor multiplies all four lanes at once: four registers in flight, 256
// bytes a step.  The 16-byte method above takes about a quarter of a large
// run's time for the checksum alone; this takes a quarter of that.
constexpr std::uint64_t FOLD2048_LO = fold_constant(2048 + 32);
constexpr std::uint64_t FOLD2048_HI = fold_constant(2048 - 32);
constexpr std::uint64_t FOLD384_LO = fold_constant(384 + 32);
constexpr std::uint64_t FOLD384_HI = fold_constant(384 - 32);
constexpr std::uint64_t FOLD256_LO = fold_constant(256 + 32);
constexpr std::uint64_t FOLD256_HI = fold_constant(256 - 32);

#define HALVORN_WIDE_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse2")))

HALVORN_WIDE_TARGET
    [[gnu::always_inline]] inline __m512i fold_wide(__m512i lane, __m512i k, __m512i next) {
  const __m512i lo = _mm512_clmulepi64_epi128(lane, k, 0x00);
  const __m512i hi = _mm512_clmulepi64_epi128(lane, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

HALVORN_WIDE_TARGET [[gnu::always_inline]] inline __m512i broadcast_pair(std::uint64_t lo,
                                                                         std::uint64_t hi) {
  return _mm512_broadcast_i32x4(
      _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo)));
}

HALVORN_WIDE_TARGET std::uint32_t wide_folding_register(std::uint32_t r, const unsigned char* p,
                                                        std::size_t n) {
  if (n < 256) return folding_register(r, p, n);
  const auto load = _mm512_loadu_si512;
  __m512i x0 =
      _mm512_xor_si512(load(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(r))));
  __m512i x1 = load(p + 64);
  __m512i x2 = load(p + 128);
  __m512i x3 = load(p + 192);
  p += 256;
  n -= 256;
  const __m512i k2048 = broadcast_pair(FOLD2048_LO, FOLD2048_HI);
  while (n >= 256) {
    x0 = fold_wide(x0, k2048, load(p));
    x1 = fold_wide(x1, k2048, load(p + 64));
    x2 = fold_wide(x2, k2048, load(p + 128));
    x3 = fold_wide(x3, k2048, load(p + 192));
    p += 256;
    n -= 256;
  }
  const __m512i k512 = broadcast_pair(FOLD512_LO, FOLD512_HI);
  __m512i x = fold_wide(x0, k512, x1);
  x = fold_wide(x, k512, x2);
  x = fold_wide(x, k512, x3);
  while (n >= 64) {
    x = fold_wide(x, k512, load(p));
    p += 64;
    n -= 64;
  }
  // The register's four lanes, the first lying 384 bits before the last,
  // folded onto the last.
  const __m128i a0 = _mm512_extracti32x4_epi32(x, 0);
  const __m128i a1 = _mm512_extracti32x4_epi32(x, 1);
  const __m128i a2 = _mm512_extracti32x4_epi32(x, 2);
  const __m128i a3 = _mm512_extracti32x4_epi32(x, 3);
  auto pair = [](std::uint64_t lo, std::uint64_t hi) {
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
  };
  __m128i folded = fold(a2, pair(FOLD128_LO, FOLD128_HI), a3);
  folded = fold(a1, pair(FOLD256_LO, FOLD256_HI), folded);
  folded = fold(a0, pair(FOLD384_LO, FOLD384_HI), folded);
  return fold_tail(folded, p, n);
}

#undef HALVORN_WIDE_TARGET

#endif  // HALVORN_CRC_FOLDING

using RegisterFn = std::uint32_t (*)(std::uint32_t, const unsigned char*, std::size_t);

RegisterFn best_method() {
#ifdef HALVORN_CRC_FOLDING
  if (crc32_wide_folding_supported()) return wide_folding_register;
  if (crc32_folding_supported()) return folding_register;
#endif
  return slicing_register;
}

template <RegisterFn F>
std::uint32_t finished(std::uint32_t crc, const void* data, std::size_t n) {
  return ~F(~crc, static_cast<const unsigned char*>(data), n);
}

}  // namespace

bool crc32_folding_supported() {
#ifdef HALVORN_CRC_FOLDING
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return supported;
#else
  return false;
#endif
}

bool crc32_wide_folding_supported() {
#ifdef HALVORN_CRC_FOLDING
  static const bool supported = crc32_folding_supported() && __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("vpclmulqdq");
  return supported;
#else
  return false;
#endif
}

std::uint32_t crc32_extend(std::uint32_t crc, const void* data, std::size_t n) {
  static const RegisterFn method = best_method();
  return ~method(~crc, static_cast<const unsigned char*>(data), n);
}

std::uint32_t crc32(const void* data, std::size_t n) { return crc32_extend(0, data, n); }

std::uint32_t crc32_bytewise(std::uint32_t crc, const void* data, std::size_t n) {
  return finished<bytewise_register>(crc, data, n);
}

std::uint32_t crc32_slicing(std::uint32_t crc, const void* data, std::size_t n) {
  return finished<slicing_register>(crc, data, n);
}

std::uint32_t crc32_folding(std::uint32_t crc, const void* data, std::size_t n) {
#ifdef HALVORN_CRC_FOLDING
  return finished<folding_register>(crc, data, n);
#else
  return finished<slicing_register>(crc, data, n);
#endif
}

std::uint32_t crc32_wide_folding(std::uint32_t crc, const void* data, std::size_t n) {
#ifdef HALVORN_CRC_FOLDING
  return finished<wide_folding_register>(crc, data, n);
#else
  return finished<slicing_register>(crc, data, n);
#endif
}

}  // namespace halvorn::data
