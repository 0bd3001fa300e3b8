// Replacing a file whole, so that a write that fails part-way never costs the
// file that was there before.
//
// Writing a file by truncating it and writing it out destroys the old
// contents the moment it starts; if the disk fills, a quota is hit or the
// device fails halfway, what is left is neither the old file nor the new one.
// replace_file instead writes a temporary file beside the target, flushes it
// to the disk, and renames it over the target, which the file system does in
// one step: a reader sees the old file or the new one, never a mixture, and a
// failure leaves the old file as it was and no temporary file behind.
//
// Thread-safety: safe to call from several threads, on different targets.

#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace halvorn::data {

// Makes `path` a file holding exactly `bytes`.  Returns 0 on success, or the
// errno of the step that failed, in which case nothing at `path` changed.
//
// The new file gets the permissions of any newly created file (0666 less the
// process's umask).  A symbolic link at `path` is followed, so the file it
// names is the one replaced.  A target that exists but is neither a regular
// file nor a directory (a device, a pipe) cannot be replaced by renaming and
// is written in place.  A directory is refused with EISDIR.
int replace_file(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace halvorn::data
