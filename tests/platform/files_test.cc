#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

// A settings path that is a symbolic link (chains, relative or absolute, dangling) keeps being a
// link; the file it leads to is replaced in its own directory and nothing else is left behind.
TEST(Files, FollowsSymbolicLinksToTheFileTheyNameAndKeepsThem) {
  namespace fs = std::filesystem;
  struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link (under etc) -> target text
    std::string target;                                      // the file replaced, under root
    bool exists;
  } cases[] = {
      {"relative", {{"settings", "../flash/settings"}}, "flash/settings", true},
      {"absolute", {{"settings", "@/flash/settings"}}, "flash/settings", true},
      {"chain", {{"settings", "hop"}, {"hop", "../flash/settings"}}, "flash/settings", true},
      {"dangling", {{"settings", "../flash/new-settings"}}, "flash/new-settings", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    temp_dir root;
    ASSERT_TRUE(fs::create_directory(root.file("etc")));
    ASSERT_TRUE(fs::create_directory(root.file("flash")));
    if (c.exists) write_file(root.file(c.target), "old\n");
    for (const auto& [link, to] : c.links) {
      std::string text = to[0] == '@' ? root.path() + to.substr(1) : to;
      ASSERT_EQ(symlink(text.c_str(), root.file("etc/" + link).c_str()), 0);
    }
    std::string path = root.file("etc/settings");
    ASSERT_TRUE(replace_file(path.c_str(), "new\n"));
    EXPECT_EQ(read_file(root.file(c.target)), "new\n");
    EXPECT_TRUE(fs::is_symlink(path));
    EXPECT_EQ(read_file(path), "new\n");
    std::set<std::string> links;
    for (const auto& l : c.links) links.insert(l.first);
    EXPECT_EQ(names_in(root.file("etc")), links);
    EXPECT_EQ(names_in(root.file("flash")),
              std::set<std::string>{fs::path(c.target).filename().string()});
  }
}

TEST(Files, KeepsModeOwnerAndGroupOfTheReplacedFile) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
  temp_dir dir;
  std::string path = dir.file("settings");
  write_file(path, "old\n");
  ASSERT_EQ(chown(path.c_str(), 4321, 8765), 0);
  ASSERT_EQ(chmod(path.c_str(), 02640), 0);
  ASSERT_TRUE(replace_file(path.c_str(), "new\n"));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  EXPECT_EQ(st.st_mode & 07777, 02640u);
  EXPECT_EQ(read_file(path), "new\n");
}

// Temporary files of the daemon's own naming left by a process that is gone (a crash between
// write and rename) are removed by the next replacement; everything else stays.
TEST(Files, NextReplacementRemovesStaleTemporaryFiles) {
  temp_dir dir;
  live_child running;
  ASSERT_GT(running.pid, 0);
  std::string dead = std::to_string(dead_pid());
  std::string own = std::to_string(getpid());
  std::string live = std::to_string(running.pid);
  std::set<std::string> stale = {"settings.orvane-" + dead + "-a1B2c3",
                                 "settings.orvane-" + own + "-zzzzzz"};
  std::set<std::string> kept = {
      "settings",
      "settings.orvane-" + live + "-a1B2c3",  // another process's replacement in progress
      "settings.backup",
      "settings.orvane-" + dead + "-abc",  // not six random characters
      "settings.orvane--a1B2c3",
      "status_f.orvane-" + dead + "-a1B2c3",  // another file's: cleaned when that one is saved
      "xsettings.orvane-" + dead + "-a1B2c3",
  };
  for (const std::string& name : stale) write_file(dir.file(name), "left over");
  for (const std::string& name : kept) write_file(dir.file(name), "keep");
  std::string path = dir.file("settings");
  ASSERT_TRUE(replace_file(path.c_str(), "new\n"));
  EXPECT_EQ(names_in(dir.path()), kept);
  EXPECT_EQ(read_file(path), "new\n");
}

// A replacement that is given up (the writer failed) leaves the old file and no temporary one.
TEST(Files, AbandonedReplacementLeavesTheOldFile) {
  temp_dir dir;
  std::string path = dir.file("status_f");
  write_file(path, "old\n");
  {
    replacement_file f;
    ASSERT_TRUE(replacement_open(f, path.c_str(), 0666));
    ASSERT_EQ(write(f.fd.get(), "partial", 7), 7);
    EXPECT_EQ(names_in(dir.path()).size(), 2u);
  }
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"status_f"});
  EXPECT_EQ(read_file(path), "old\n");

  replacement_file f;
  ASSERT_TRUE(replacement_open(f, path.c_str(), 0666));
  ASSERT_EQ(write(f.fd.get(), "done\n", 5), 5);
  ASSERT_TRUE(replacement_commit(f));
  EXPECT_TRUE(f.tmp_path.empty());
  EXPECT_EQ(read_file(path), "done\n");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"status_f"});
}

// A writer that may not give the new file the old owner (not root, someone else's file in a
// directory it may write) leaves the old file as it was rather than take it over.
TEST(Files, OwnerThatCannotBeKeptFailsAndChangesNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  temp_dir dir;
  constexpr uid_t NOBODY = 65534;
  ASSERT_EQ(chown(dir.path().c_str(), NOBODY, NOBODY), 0);
  std::string path = dir.file("settings");
  write_file(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(2);
    errno = 0;
    bool replaced = replace_file(path.c_str(), "new\n");
    _exit(!replaced && errno == EPERM ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"settings"});
}

// A link is followed only where nobody but root or this user can have placed it: the
// directories holding the links and the target. Run as root, 0777 without the sticky bit is
// "writable by others".
TEST(Files, FollowsLinksOnlyFromDirectoriesOthersCannotWrite) {
  struct row {
    std::string link, hop, target;  // under the root; no link: a plain file at `target`
    uid_t link_owner;
    std::string why;  // after "not following link ROOT/<link>: "; empty: followed
  };
  const std::string writable = " is writable by group or others";
  const row rows[] = {
      {"", "", "open/target", 0, ""},  // a plain file, even where anyone may write
      {"safe/settings", "", "safe/target", 0, ""},
      {"sticky/settings", "", "safe/target", 0, ""},
      {"open/settings", "", "safe/target", 0, "directory ROOT/open" + writable},
      {"group/settings", "", "safe/target", 0, "directory ROOT/group" + writable},
      {"foreign/settings", "", "safe/target", 0, "directory ROOT/foreign is owned by uid 65534"},
      {"sticky/settings", "", "safe/target", 65534,
       "it is owned by uid 65534 in the sticky directory ROOT/sticky"},
      {"safe/settings", "", "open/target", 0, "directory ROOT/open" + writable},
      {"safe/settings", "open/hop", "safe/target", 0, "directory ROOT/open" + writable},
  };
  for (const row& r : rows) {
    temp_dir root;
    for (auto [name, mode, owner] : {std::tuple{"safe", 0755, 0},
                                     {"open", 0777, 0},
                                     {"group", 0775, 0},
                                     {"sticky", 01777, 0},
                                     {"foreign", 0755, 65534}}) {
      ASSERT_EQ(mkdir(root.file(name).c_str(), 0700), 0);
      ASSERT_EQ(chmod(root.file(name).c_str(), static_cast<mode_t>(mode)), 0);
      ASSERT_EQ(chown(root.file(name).c_str(), static_cast<uid_t>(owner), 0), 0);
    }
    write_file(root.file(r.target), "old\n");
    std::string path = root.file(r.link.empty() ? r.target : r.link);
    SCOPED_TRACE(path);
    std::string first_target = r.hop.empty() ? r.target : r.hop;
    if (!r.hop.empty()) {
      ASSERT_EQ(symlink(root.file(r.target).c_str(), root.file(r.hop).c_str()), 0);
    }
    if (!r.link.empty()) {
      ASSERT_EQ(symlink(root.file(first_target).c_str(), path.c_str()), 0);
      ASSERT_EQ(lchown(path.c_str(), r.link_owner, 0), 0);
    }
    std::string why;
    std::string want = r.why;
    if (size_t at = want.find("ROOT"); at != std::string::npos) want.replace(at, 4, root.path());
    EXPECT_EQ(link_path_trusted(path.c_str(), why), want.empty());
    EXPECT_EQ(why, want.empty() ? "" : "not following link " + path + ": " + want);
    // A refused link leaves its target as it was.
    bool replaced = replace_file(path.c_str(), "new\n");
    EXPECT_EQ(replaced ? 0 : errno, want.empty() ? 0 : EPERM);
    EXPECT_EQ(read_file(root.file(r.target)), want.empty() ? "new\n" : "old\n");
  }
}
