// The header every depth and mark file opens with, checked in one place:
// the magic says which kind of file it is, the version which grammar
// follows, and a kind may check fields of its own.  A reader opening the
// file and the look-up of its instrument block both go through here, so a
// file refused by one is refused by the other with the same error.
//
// A file kind is a format struct:
//
//   struct DepthFormat {
//     using Error = DepthError;                      // the kind's error, which holds
//                                                    // Truncated, BadMagic, UnknownVersion
//     static constexpr std::uint32_t MAGIC = ...;
//     static constexpr std::uint16_t VERSION = ...;
//     static constexpr std::size_t HEADER_BYTES = ...;
//     // What the kind checks beyond magic and version.
//     static std::optional<Error> check_fields(const std::uint8_t* header);
//   };
//
// Thread-safety: pure functions; open_header returns a handle of its own.

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "data/depth_bytes.hpp"
#include "data/full_reads.hpp"
#include "data/ticks.hpp"

namespace halvorn::data {

// The error for a file that holds no whole header, or cannot be opened at
// all: the reason the system gives is never carried, so the text is the
// same on every machine.
template <class Format>
typename Format::Error short_header() {
  return typename Format::Error{Truncated{Format::HEADER_BYTES, 0}};
}

// The refusal of a header's bytes, or none when the file is of this kind
// and version and its own fields are sound.
template <class Format>
std::optional<typename Format::Error> check_header(const std::uint8_t* header) {
  using Error = typename Format::Error;
  if (const auto magic = depth_bytes::load<std::uint32_t>(header); magic != Format::MAGIC) {
    return Error{BadMagic{magic}};
  }
  // A newer version may lay its records out otherwise: reading them by this
  // grammar would hand out wrong values rather than fail.
  if (const auto version = depth_bytes::load<std::uint16_t>(header + 4);
      version != Format::VERSION) {
    return Error{UnknownVersion{version}};
  }
  return Format::check_fields(header);
}

// The instrument a header was written for: every kind keeps it at byte 16.
inline std::uint64_t header_instrument(const std::uint8_t* header) {
  return depth_bytes::load<std::uint64_t>(header + 16);
}

// A file opened by open_header: its handle, now the caller's to close, and
// its checked header.
template <class Format>
struct OpenedHeader {
  int fd = -1;
  std::array<std::uint8_t, Format::HEADER_BYTES> bytes{};
};

// Opens `path`, reads its header and checks it.  On a refusal the file is
// closed again.  The handle is advised for one pass front to back, which is
// how every reader reads.
template <class Format>
std::variant<OpenedHeader<Format>, typename Format::Error> open_header(const std::string& path) {
  // A name with a NUL in it cannot name a file; the system call would see
  // only the part before it.
  if (path.find('\0') != std::string::npos) return short_header<Format>();
  OpenedHeader<Format> opened;
  opened.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (opened.fd < 0) return short_header<Format>();
  std::optional<typename Format::Error> refused;
  if (read_full(opened.fd, opened.bytes.data(), opened.bytes.size()) != opened.bytes.size()) {
    refused = short_header<Format>();
  } else {
    refused = check_header<Format>(opened.bytes.data());
  }
  if (refused) {
    ::close(opened.fd);
    return *refused;
  }
  (void)::posix_fadvise(opened.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return opened;
}

}  // namespace halvorn::data
