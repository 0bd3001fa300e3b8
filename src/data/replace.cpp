#include "data/replace.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string_view>
#include <utility>

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

constexpr char TEMPORARY_PREFIX[] = ".halvorn-save-";

// A name in `directory` no one else holds yet: the prefix, this process's id
// (so that a later write can tell a name whose writer died), and a random
// suffix.
std::string temporary_name(const std::string& directory) {
  static std::atomic<std::uint64_t> counter{0};
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::uint64_t seed =
      mix(static_cast<std::uint64_t>(::getpid()) ^
          mix(counter.fetch_add(1, std::memory_order_relaxed)) ^
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string suffix;
  for (int i = 0; i < 10; ++i, seed /= 36) suffix.push_back(digits[seed % 36]);
  return directory + TEMPORARY_PREFIX + std::to_string(::getpid()) + "-" + suffix;
}

// Removes the named temporary files that writers killed before they could
// clean up (kill -9, a power cut) left in `directory`: those whose writer's
// process is gone.  Best effort, and only names this code makes.
void remove_stale_temporaries(const std::string& directory) {
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return;
  const std::size_t prefix = sizeof(TEMPORARY_PREFIX) - 1;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.substr(0, prefix) != TEMPORARY_PREFIX) continue;
    const std::string_view rest = name.substr(prefix);
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos) continue;
    long long pid = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (ec != std::errc{} || end != rest.data() + dash || pid <= 0) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    ::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

// Creates the new file.  Where the file system allows it the file has no
// name until commit links it in, so that a writer killed half-way leaves
// nothing behind; elsewhere it is a named temporary file, which
// remove_stale_temporaries sweeps up after a killed writer.  Mode 0666 lets
// the kernel apply the umask as for any new file.  `name` is empty for an
// unnamed file.
int create_temporary(const std::string& directory, std::string* name, int* fd) {
  remove_stale_temporaries(directory);
#ifdef O_TMPFILE
  *fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (*fd >= 0) {
    name->clear();
    return 0;
  }
  // Not every file system has unnamed files: fall back to a name.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
#endif
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = temporary_name(directory);
    *fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (*fd >= 0) return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Gives the unnamed file open at `fd` a temporary name in `directory`.
int link_temporary(int fd, const std::string& directory, std::string* name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = temporary_name(directory);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name->c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return 0;
    }
    // Without /proc, linking a descriptor by itself needs privilege.
    if (errno == ENOENT && ::linkat(fd, "", AT_FDCWD, name->c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno != EEXIST) {
      name->clear();
      return errno;
    }
  }
  name->clear();
  return EEXIST;
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

std::variant<Replacement, int> Replacement::begin(const std::string& path) {
  if (path.empty()) return ENOENT;
  if (path.find('\0') != std::string::npos) return EINVAL;
  Replacement r;
  r.target_ = path;
  if (int err = resolve_links(&r.target_)) return err;

  struct stat st;
  const bool exists = ::stat(r.target_.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return EISDIR;
  if (exists && !S_ISREG(st.st_mode)) {
    // A device or a pipe cannot be replaced by renaming over it; it is
    // written in place, as any program writing to it would.
    r.fd_ = ::open(r.target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (r.fd_ < 0) return errno;
    r.in_place_ = true;
    return r;
  }
  if (int err = create_temporary(directory_of(r.target_), &r.temporary_, &r.fd_)) return err;
  // The replacement keeps the permissions of the file it replaces: a file
  // its owner made private must not come back readable by everyone.
  if (exists && ::fchmod(r.fd_, st.st_mode & 07777) != 0) {
    const int err = errno;
    r.abandon();
    return err;
  }
  return r;
}

Replacement::Replacement(Replacement&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      error_(other.error_),
      in_place_(other.in_place_) {
  other.temporary_.clear();
}

Replacement& Replacement::operator=(Replacement&& other) noexcept {
  if (this != &other) {
    abandon();
    target_ = std::move(other.target_);
    temporary_ = std::move(other.temporary_);
    other.temporary_.clear();
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    error_ = other.error_;
    in_place_ = other.in_place_;
  }
  return *this;
}

Replacement::~Replacement() { abandon(); }

void Replacement::abandon() noexcept {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

int Replacement::write(std::span<const std::uint8_t> bytes) {
  if (error_ == 0 && fd_ < 0) error_ = EBADF;
  if (error_ == 0) error_ = write_all(fd_, bytes);
  if (error_ == 0) size_ += bytes.size();
  return error_;
}

int Replacement::patch(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (error_ != 0) return error_;
  if (fd_ < 0) return error_ = EBADF;
  if (in_place_) return ESPIPE;  // nothing to rewind
  if (offset > size_ || bytes.size() > size_ - offset) return EINVAL;
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  auto at = static_cast<off_t>(offset);
  while (left > 0) {
    ssize_t n = ::pwrite(fd_, p, left, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return error_ = errno;
    }
    p += n;
    at += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

int Replacement::commit() {
  if (error_ == 0 && fd_ < 0) error_ = EBADF;
  if (error_ == 0 && !in_place_ && ::fsync(fd_) != 0) error_ = errno;
  // An unnamed file gets its name only now, complete and on the disk; it is
  // renamed over the target at once.
  if (error_ == 0 && !in_place_ && temporary_.empty()) {
    error_ = link_temporary(fd_, directory_of(target_), &temporary_);
  }
  const int close_err = close_checked(std::exchange(fd_, -1));
  if (error_ == 0) error_ = close_err;
  if (error_ != 0 || in_place_) {
    abandon();
    return error_;
  }
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error_ = errno;
    abandon();
    return error_;
  }
  temporary_.clear();
  sync_directory(directory_of(target_));
  return 0;
}

int unrewindable(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ? 0 : ESPIPE;
}

int replace_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  auto begun = Replacement::begin(path);
  if (const int* err = std::get_if<int>(&begun)) return *err;
  Replacement& r = std::get<Replacement>(begun);
  if (int err = r.write(bytes)) return err;
  return r.commit();
}

}  // namespace halvorn::data
