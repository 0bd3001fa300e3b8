// Replacing a file whole, so that a write that fails part-way never costs the
// file that was there before.
//
// Writing a file by truncating it and writing it out destroys the old
// contents the moment it starts; if the disk fills, a quota is hit or the
// device fails halfway, what is left is neither the old file nor the new one.
// A Replacement instead writes a temporary file beside the target, flushes it
// to the disk, and renames it over the target, which the file system does in
// one step: a reader sees the old file or the new one, never a mixture, and a
// failure leaves the old file as it was and no temporary file behind.  The
// new file has no name until it is complete, so a writer killed outright
// (kill -9) leaves nothing either; where the file system cannot make a file
// without a name, a named one is used, and the next replacement in the same
// directory removes those whose writer is gone.
//
// The new file gets the permission bits of the file it replaces, so that a
// file its owner made private stays private; a file that did not exist gets
// those of any newly created file (0666 less the process's umask).  A symbolic
// link at the target is followed, so the file it names is the one replaced.  A
// target that exists but is neither a regular file nor a directory (a device,
// a pipe) cannot be replaced by renaming and is written in place.  A directory
// is refused with EISDIR.
//
// Thread-safety: a Replacement is used by one thread at a time; replacements
// of different targets are independent.

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

namespace halvorn::data {

// A file being written to take the place of `path` once it is complete.
//
// Invariants: until commit() succeeds nothing at the target has changed; a
// Replacement dropped without a successful commit removes its temporary file.
class Replacement {
 public:
  // Starts replacing `path`.  Returns the errno of the step that failed
  // (ENOENT for an empty path or a missing directory, EINVAL for a name with
  // a NUL in it, EISDIR for a directory, or what the system reported).
  static std::variant<Replacement, int> begin(const std::string& path);

  Replacement(Replacement&& other) noexcept;
  Replacement& operator=(Replacement&& other) noexcept;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();  // abandons the replacement unless it was committed

  // Appends bytes.  Returns 0 or an errno; after a failure the replacement
  // can only be abandoned.
  int write(std::span<const std::uint8_t> bytes);

  // Overwrites bytes already written, at `offset` from the start: how a
  // format whose header depends on the whole body writes the header last.
  // ESPIPE for a target written in place, which cannot be rewound.
  int patch(std::uint64_t offset, std::span<const std::uint8_t> bytes);

  // Flushes the new file to the disk and puts it in place of the target.
  // Returns 0 or an errno, in which case the target is as it was.
  int commit();

  // Bytes appended so far.
  std::uint64_t size() const { return size_; }

 private:
  Replacement() = default;
  void abandon() noexcept;

  std::string target_;  // the file to replace, links resolved
  // The temporary file's name; empty while the file being written has none
  // (it is linked in at commit) and when the target is written in place.
  std::string temporary_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  int error_ = 0;          // the first failure, which makes the replacement unusable
  bool in_place_ = false;  // a device or a pipe, written as it is
};

// ESPIPE when `path` names something that exists and is neither a regular
// file nor a directory (a pipe, a device), which a Replacement writes in
// place and cannot rewind; else 0.  What a writer whose header comes last
// asks before it reads any input, so that it fails at once, not at the end.
int unrewindable(const std::string& path);

// Makes `path` a file holding exactly `bytes`.  Returns 0 on success, or the
// errno of the step that failed, in which case nothing at `path` changed.
int replace_file(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace halvorn::data
