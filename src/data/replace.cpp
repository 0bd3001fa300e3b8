#include "data/replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace halvorn::data {

namespace {

// The directory part of `path`, with its trailing slash ("" for a bare name).
std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links at `path` (dangling ones too), so that the file a
// link names is replaced rather than the link.  Returns 0 or an errno.
int resolve_links(std::string* path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = ::readlink(path->c_str(), link.data(), link.size());
    if (n < 0) return errno;
    link.resize(static_cast<std::size_t>(n));
    *path = (!link.empty() && link[0] == '/') ? link : directory_of(*path) + link;
  }
  return ELOOP;
}

// Writes all of `bytes`, retrying interrupted and partial writes.
int write_all(int fd, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

int close_checked(int fd) {
  // Linux releases the descriptor even when close reports an error, so it is
  // never retried; the error (a delayed write failure) still counts.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Creates a new file with a name no one else holds in `directory`.  Mode
// 0666 lets the kernel apply the umask as for any new file.
int create_temporary(const std::string& directory, std::string* name, int* fd) {
  static std::atomic<std::uint64_t> counter{0};
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint64_t seed = mix(
        static_cast<std::uint64_t>(::getpid()) ^
        mix(counter.fetch_add(1, std::memory_order_relaxed)) ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::string suffix;
    for (int i = 0; i < 10; ++i, seed /= 36) suffix.push_back(digits[seed % 36]);
    *name = directory + ".halvorn-save-" + suffix;
    *fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (*fd >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// A device or a pipe cannot be replaced by renaming over it; it is written
// in place, as any program writing to it would.
int write_in_place(const std::string& path, std::span<const std::uint8_t> bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = write_all(fd, bytes);
  int close_err = close_checked(fd);
  return err != 0 ? err : close_err;
}

void sync_directory(const std::string& directory) {
  // Makes the rename itself durable.  Best effort: some file systems refuse
  // to sync a directory, and the data is already safe by then.
  int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

int replace_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  if (path.empty()) return ENOENT;
  if (path.find('\0') != std::string::npos) return EINVAL;
  std::string target = path;
  if (int err = resolve_links(&target)) return err;

  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return write_in_place(target, bytes);
  }

  const std::string directory = directory_of(target);
  std::string temporary;
  int fd = -1;
  if (int err = create_temporary(directory, &temporary, &fd)) return err;

  int err = write_all(fd, bytes);
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  int close_err = close_checked(fd);
  if (err == 0) err = close_err;
  if (err == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temporary.c_str());
    return err;
  }
  sync_directory(directory);
  return 0;
}

}  // namespace halvorn::data
