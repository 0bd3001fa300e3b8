// CRC-32 of a tick file's records: the checksum of IEEE 802.3 and zlib
// (reflected polynomial 0xEDB88320, register preset to all ones, final
// complement; "123456789" gives 0xCBF43926).
//
// The definition is the table-driven loop one byte at a time
// (crc32_bytewise).  A reader checksums every byte it hands out, and at that
// loop's speed of roughly one byte per cycle the checksum, not the disk or the
// page cache, would set the pace of a run over a large file.  So crc32 and
// crc32_extend compute the identical value by folding sixteen-byte lanes with
// carry-less multiplication where the processor has it, and by slicing eight
// bytes at a time elsewhere; where the processor multiplies four lanes in one
// instruction, it folds 64-byte registers of them.  Every form takes and
// returns a finished CRC, so a checksum can be extended chunk by chunk:
//   crc32_extend(crc32(a), b) == crc32(a followed by b).
//
// Thread-safety: pure functions; the choice of method is made once, safely,
// on first use.

#pragma once

#include <cstddef>
#include <cstdint>

namespace halvorn::data {

// The CRC-32 of `n` bytes at `data`.
std::uint32_t crc32(const void* data, std::size_t n);

// The CRC-32 of the bytes that gave `crc`, followed by `n` bytes at `data`.
std::uint32_t crc32_extend(std::uint32_t crc, const void* data, std::size_t n);

// The individual methods, exposed so that they can be checked against one
// another.  Each gives the same value as crc32_extend.
std::uint32_t crc32_bytewise(std::uint32_t crc, const void* data, std::size_t n);
std::uint32_t crc32_slicing(std::uint32_t crc, const void* data, std::size_t n);
// True when this processor can run crc32_folding.
bool crc32_folding_supported();
// Requires: crc32_folding_supported().
std::uint32_t crc32_folding(std::uint32_t crc, const void* data, std::size_t n);
// The folding on 64-byte registers, where the processor multiplies four
// lanes in one instruction.
bool crc32_wide_folding_supported();
// Requires: crc32_wide_folding_supported().
std::uint32_t crc32_wide_folding(std::uint32_t crc, const void* data, std::size_t n);

}  // namespace halvorn::data
