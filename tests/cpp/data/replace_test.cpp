// Replacing a file whole: the new contents arrive complete or not at all, and
// a failure -- including one halfway through the write -- leaves the old file
// byte for byte and no temporary file behind.

#include "data/replace.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>

#include "files.hpp"

namespace halvorn::data {
namespace {

using testing::Bytes;
using testing::read_bytes;
using testing::ScratchDir;
using testing::write_bytes;

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return b;
}

TEST(ReplaceFile, CreatesOrReplacesWithTheUsualPermissions) {
  ScratchDir dir;
  const std::string path = dir.file("a.hvtk");
  const mode_t old_mask = ::umask(027);
  ASSERT_EQ(replace_file(path, pattern(1000)), 0);
  EXPECT_EQ(read_bytes(path), pattern(1000));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "0666 less the umask, not a temporary file's 0600";

  ASSERT_EQ(replace_file(path, pattern(10)), 0);
  EXPECT_EQ(read_bytes(path), pattern(10));
  ASSERT_EQ(replace_file(path, {}), 0);
  EXPECT_TRUE(read_bytes(path).empty());
  ::umask(old_mask);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"a.hvtk"}) << "nothing left beside it";
}

TEST(ReplaceFile, ABareNameIsReplacedInTheWorkingDirectory) {
  ScratchDir dir;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(replace_file("bare.hvtk", pattern(3)), 0);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(read_bytes(dir.file("bare.hvtk")), pattern(3));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"bare.hvtk"});
}

TEST(Replacement, AnUnfinishedFileHasNoNameSoAKilledWriterLeavesNothing) {
  ScratchDir dir;
  auto begun = Replacement::begin(dir.file("new.hvtk"));
  ASSERT_TRUE(std::holds_alternative<Replacement>(begun));
  Replacement& r = std::get<Replacement>(begun);
  ASSERT_EQ(r.write(pattern(5000)), 0);
  ASSERT_EQ(r.patch(0, pattern(3)), 0);
  EXPECT_TRUE(dir.names().empty()) << "a process killed here leaves no file behind";
  ASSERT_EQ(r.commit(), 0);
  Bytes expected = pattern(5000);
  std::copy_n(pattern(3).begin(), 3, expected.begin());
  EXPECT_EQ(read_bytes(dir.file("new.hvtk")), expected);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"new.hvtk"});
}

TEST(Replacement, TemporariesOfWritersThatAreGoneAreSweptUp) {
  ScratchDir dir;
  // Named temporaries carry their writer's process id: one whose process no
  // longer exists was left by a writer killed outright.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(gone, &status, 0), gone);
  const std::string stale = ".halvorn-save-" + std::to_string(gone) + "-0123456789";
  const std::string live = ".halvorn-save-" + std::to_string(::getpid()) + "-0123456789";
  const std::string other = ".halvorn-save-notapid";
  for (const std::string& name : {stale, live, other}) write_bytes(dir.file(name), pattern(4));
  ASSERT_EQ(replace_file(dir.file("t.hvtk"), pattern(8)), 0);
  std::vector<std::string> names = dir.names();
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected{live, other, "t.hvtk"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST(ReplaceFile, RefusesWhatCannotBeAFileAndTouchesNothing) {
  ScratchDir dir;
  EXPECT_EQ(replace_file(dir.file("no/such/dir/x.hvtk"), pattern(5)), ENOENT);
  EXPECT_EQ(replace_file("", pattern(5)), ENOENT);
  EXPECT_EQ(replace_file(std::string("a\0b", 3), pattern(5)), EINVAL);
  std::filesystem::create_directory(dir.file("sub"));
  write_bytes(dir.file("sub/keep"), pattern(4));
  EXPECT_EQ(replace_file(dir.file("sub"), pattern(5)), EISDIR);
  EXPECT_EQ(read_bytes(dir.file("sub/keep")), pattern(4));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"sub"});
}

TEST(ReplaceFile, AWriteThatFailsHalfwayLeavesTheOldFileWhole) {
  // A file-size limit makes the write fail part-way, as a full disk or a
  // quota would; it binds root too, unlike permission bits.
  ScratchDir dir;
  const std::string path = dir.file("keep.hvtk");
  write_bytes(path, pattern(100));
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int err = replace_file(path, pattern(1 << 20));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(err, EFBIG);
  EXPECT_EQ(read_bytes(path), pattern(100));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvtk"}) << "the temporary file is gone";
}

TEST(ReplaceFile, AReadOnlyDirectoryRefusesAndKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("ro"));
  const std::string path = dir.file("ro/keep.hvtk");
  write_bytes(path, pattern(50));
  ::chmod(dir.file("ro").c_str(), 0555);
  EXPECT_EQ(replace_file(path, pattern(500)), EACCES);
  ::chmod(dir.file("ro").c_str(), 0755);
  EXPECT_EQ(read_bytes(path), pattern(50));
}

TEST(ReplaceFile, FollowsSymbolicLinks) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.file("real"));
  write_bytes(dir.file("real/data.hvtk"), pattern(8));
  std::filesystem::create_symlink("real/data.hvtk", dir.file("link.hvtk"));
  std::filesystem::create_symlink(dir.file("real/new.hvtk"), dir.file("dangling.hvtk"));

  ASSERT_EQ(replace_file(dir.file("link.hvtk"), pattern(9)), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.hvtk")));
  EXPECT_EQ(read_bytes(dir.file("real/data.hvtk")), pattern(9));

  ASSERT_EQ(replace_file(dir.file("dangling.hvtk"), pattern(2)), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("dangling.hvtk")));
  EXPECT_EQ(read_bytes(dir.file("real/new.hvtk")), pattern(2));

  std::filesystem::create_symlink("loop.hvtk", dir.file("loop.hvtk"));
  EXPECT_EQ(replace_file(dir.file("loop.hvtk"), pattern(2)), ELOOP);
}

TEST(ReplaceFile, KeepsThePermissionsOfTheFileItReplaces) {
  ScratchDir dir;
  const std::string path = dir.file("private.hvtk");
  write_bytes(path, pattern(10));
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(replace_file(path, pattern(20)), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "a private file must not come back world-readable";
  ASSERT_EQ(::chmod(path.c_str(), 0751), 0);
  ASSERT_EQ(replace_file(path, pattern(30)), 0);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  EXPECT_EQ(read_bytes(path), pattern(30));
}

TEST(Replacement, StreamsAndPatchesBeforeItCommits) {
  ScratchDir dir;
  const std::string path = dir.file("streamed.hvtk");
  write_bytes(path, pattern(7));
  auto begun = Replacement::begin(path);
  ASSERT_TRUE(std::holds_alternative<Replacement>(begun));
  Replacement& r = std::get<Replacement>(begun);
  const Bytes header(4, 0), body = pattern(1000), fixed = {1, 2, 3, 4};
  ASSERT_EQ(r.write(header), 0);
  ASSERT_EQ(r.write(body), 0);
  EXPECT_EQ(r.size(), 1004u);
  EXPECT_EQ(r.patch(1001, fixed), EINVAL) << "past what was written";
  ASSERT_EQ(r.patch(0, fixed), 0);
  EXPECT_EQ(read_bytes(path), pattern(7)) << "the old file stands until the commit";
  ASSERT_EQ(r.commit(), 0);
  Bytes expected = fixed;
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(read_bytes(path), expected);
  EXPECT_EQ(dir.names(), std::vector<std::string>{"streamed.hvtk"});
}

TEST(Replacement, DroppedUncommittedLeavesTheTargetAndNoTemporary) {
  ScratchDir dir;
  const std::string path = dir.file("keep.hvtk");
  write_bytes(path, pattern(5));
  {
    auto begun = Replacement::begin(path);
    ASSERT_TRUE(std::holds_alternative<Replacement>(begun));
    Replacement moved = std::move(std::get<Replacement>(begun));
    ASSERT_EQ(moved.write(pattern(100)), 0);
  }
  EXPECT_EQ(read_bytes(path), pattern(5));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvtk"});
  {
    auto begun = Replacement::begin(dir.file("new.hvtk"));
    ASSERT_TRUE(std::holds_alternative<Replacement>(begun));
  }
  EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.hvtk"}) << "a new target is not created";
}

TEST(Replacement, ADeviceIsWrittenInPlaceAndCannotBePatched) {
  auto begun = Replacement::begin("/dev/null");
  ASSERT_TRUE(std::holds_alternative<Replacement>(begun));
  Replacement& r = std::get<Replacement>(begun);
  ASSERT_EQ(r.write(pattern(64)), 0);
  EXPECT_EQ(r.patch(0, pattern(4)), ESPIPE);
  EXPECT_EQ(r.commit(), 0);
}

}  // namespace
}  // namespace halvorn::data
