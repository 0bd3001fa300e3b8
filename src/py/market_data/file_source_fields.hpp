// What every source of a depth or a mark file holds: the file it names and
// the counts its header gave.  DepthSourceData and MarkSourceData add what
// their kind of file says beside these.
//
// Thread-safety: read and fill in with the interpreter lock held.

#pragma once

#include <cstdint>
#include <string>

#include "py/pyref.hpp"

namespace halvorn::py::market_data {

struct FileSourceFields {
  Ref path;             // the path as an exact str
  std::string fs_path;  // the same path encoded for the file system
  std::uint64_t records = 0;
  std::uint64_t instrument = 0;
};

}  // namespace halvorn::py::market_data
