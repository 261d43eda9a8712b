#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "test_support.h"

namespace {

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// Sets the umask for the life of a test.
struct scoped_umask {
  mode_t previous;
  explicit scoped_umask(mode_t mask) : previous(umask(mask)) {}
  ~scoped_umask() { umask(previous); }
};

}  // namespace

TEST(Files, CreatesANewFileWithTheModeLessTheUmask) {
  scoped_umask mask(027);
  temp_dir dir;
  std::string path = dir.file("settings");
  ASSERT_TRUE(replace_file(path.c_str(), "MOD_ORVANE_PORT=2000\n"));
  EXPECT_EQ(read_file(path), "MOD_ORVANE_PORT=2000\n");
  EXPECT_EQ(mode_of(path), 0640u);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"settings"});

  std::string other = dir.file("status_f");
  ASSERT_TRUE(replace_file(other.c_str(), "", 0600));
  EXPECT_TRUE(path_exists(other));
  EXPECT_EQ(read_file(other), "");
  EXPECT_EQ(mode_of(other), 0600u);
}

TEST(Files, ReplacesContentAndKeepsTheOldMode) {
  scoped_umask mask(022);
  temp_dir dir;
  std::string path = dir.file("settings");
  write_file(path, "a much longer old content that must disappear completely\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  std::string binary("x\0y\n", 4);
  ASSERT_TRUE(replace_file(path.c_str(), binary));
  EXPECT_EQ(read_file(path), binary);
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"settings"});
}

TEST(Files, MissingDirectoryFailsAndLeavesNothing) {
  temp_dir dir;
  std::string path = dir.file("missing/settings");
  errno = 0;
  EXPECT_FALSE(replace_file(path.c_str(), "x"));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(Files, FailedRenameRemovesTheTemporaryFile) {
  temp_dir dir;
  std::string path = dir.file("target");
  ASSERT_TRUE(std::filesystem::create_directory(path));
  write_file(path + "/inside", "keep");
  errno = 0;
  EXPECT_FALSE(replace_file(path.c_str(), "x"));
  EXPECT_NE(errno, 0);
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"target"});
  EXPECT_EQ(read_file(path + "/inside"), "keep");
}
