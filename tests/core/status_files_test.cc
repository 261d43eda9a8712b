// The status files under a temporary root: their exact bytes for each call state, the version
// and configuration files, line ends, a missing directory, and the request served by the loop.
#include "core/status_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "loop_fixture.h"

namespace {

namespace fs = std::filesystem;

// The status directory and both version files under the fixture's root.
void lay_out_root(loop_fixture& f, const char* router_version, const char* module_version) {
  const daemon_paths& p = f.ms().paths;
  fs::create_directories(p.status_dir);
  fs::create_directories(fs::path(p.router_version).parent_path());
  fs::create_directories(fs::path(p.module_version).parent_path());
  if (router_version != nullptr) write_file(p.router_version, router_version);
  if (module_version != nullptr) write_file(p.module_version, module_version);
}

std::string status_file(loop_fixture& f, const char* name) {
  return read_file(f.ms().paths.status_dir + "/" + name);
}

std::set<std::string> status_dir_entries(loop_fixture& f) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(f.ms().paths.status_dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

const std::set<std::string> THREE_FILES = {"status_c", "status_f", "status_s"};

TEST(StatusFiles, CallFileFollowsCallAndMode) {
  loop_fixture f;
  lay_out_root(f, "R\n", "M\n");
  const std::string idle = "On-line  : No\nConnected: No\n";

  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"), idle);

  // Ringing is not connected yet.
  f.listen_for_calls();
  auto caller = f.call_in();
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }));
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"), idle);

  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  f.type_line("ATA");
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"), "On-line  : Yes\nConnected: to 127.0.0.1\n");

  f.dte_write("+++");
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 0; }));
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"), "On-line  : No\nConnected: to 127.0.0.1\n");
  // An encrypted call says so on a line of its own.
  f.ms().call_encryption = "TLSv1.3 TLS_AES_256_GCM_SHA384, peer certificate r2";
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"),
            "On-line  : No\nConnected: to 127.0.0.1\nEncrypted: " + f.ms().call_encryption + "\n");

  // Back to idle: the shorter text replaces the longer one completely.
  f.type_line("ATH");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"), idle);
  EXPECT_EQ(status_dir_entries(f), THREE_FILES);
}

TEST(StatusFiles, CallFileWhileDialling) {
  loop_fixture f;
  lay_out_root(f, "R\n", "M\n");
  f.type_line("ATD127000000001");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_DIALING; }));
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_c"), "On-line  : No\nConnected: No\n");
}

TEST(StatusFiles, VersionFile) {
  struct version_case {
    const char* name;
    const char* router;  // nullptr: the file is missing
    const char* module;
    const char* expected;
  };
  const version_case cases[] = {
      {"one line each", "RT-1.2.3\n", "orvane 0.1\n",
       "Router     : RT-1.2.3\r\nUser Module: orvane 0.1\r\n"},
      {"two router lines", "RT-1.2.3\nbuild 42\n", "orvane 0.1\n",
       "Router     : RT-1.2.3\r\nbuild 42\r\nUser Module: orvane 0.1\r\n"},
      {"CR LF and no final line end", "RT-1.2.3\r\n", "orvane 0.1",
       "Router     : RT-1.2.3\r\nUser Module: orvane 0.1\r\n"},
      {"router file missing", nullptr, "orvane 0.1\n", "Router     : User Module: orvane 0.1\r\n"},
      {"both missing", nullptr, nullptr, "Router     : User Module: "},
  };
  for (const version_case& c : cases) {
    SCOPED_TRACE(c.name);
    loop_fixture f;
    lay_out_root(f, c.router, c.module);
    write_status_files(f.ms());
    EXPECT_EQ(status_file(f, "status_f"), c.expected);
  }
}

TEST(StatusFiles, ConfigFileHoldsTheAtAndVReportWithCurrentLineEnds) {
  loop_fixture f;
  lay_out_root(f, "R\n", "M\n");
  f.configure([](modem_settings& s) { s.sreg_ring_int = 7; });

  f.type_line("AT&V");
  std::string dte;
  ASSERT_TRUE(f.run_until([&] { return (dte += f.dte_read()).ends_with("OK\r\n"); }));
  ASSERT_TRUE(dte.starts_with("AT&V\r\n"));
  std::string report = dte.substr(6, dte.size() - 6 - 4);
  ASSERT_TRUE(report.starts_with("E   Q   V   &D\r\n")) << report;
  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_s"), report);

  // S3 '#' and S4 '!' set with the S command: the next request uses them in both files that
  // end their lines with S3 S4, not in the call file.
  f.type_line("ATS4=33S3=35");
  ASSERT_TRUE(f.run_until([&] { return f.ms().settings.sreg_cr == 35; }));
  f.run_for(50 * MSEC);
  f.dte_read();
  f.dte_write("AT&V#");
  dte.clear();
  ASSERT_TRUE(f.run_until([&] { return (dte += f.dte_read()).ends_with("OK#!"); }));
  ASSERT_TRUE(dte.starts_with("AT&V#!"));
  report = dte.substr(6, dte.size() - 6 - 4);
  ASSERT_TRUE(report.starts_with("E   Q   V   &D#!")) << report;
  EXPECT_EQ(report.find("\r\n"), std::string::npos);

  write_status_files(f.ms());
  EXPECT_EQ(status_file(f, "status_s"), report);
  EXPECT_EQ(status_file(f, "status_f"), "Router     : R#!User Module: M#!");
  EXPECT_EQ(status_file(f, "status_c"), "On-line  : No\nConnected: No\n");
}

TEST(StatusFiles, MissingDirectoryIsLoggedOncePerFile) {
  loop_fixture f;
  log_capture log;
  lay_out_root(f, "R\n", "M\n");
  fs::remove_all(f.ms().paths.status_dir);

  write_status_files(f.ms());
  int fopen_errors = 0;
  for (const auto& [level, text] : log.lines()) {
    if (text.starts_with("fopen error: ")) {
      EXPECT_EQ(level, 3);
      EXPECT_EQ(text, "fopen error: No such file or directory");
      ++fopen_errors;
    }
  }
  EXPECT_EQ(fopen_errors, 3);
  EXPECT_FALSE(path_exists(f.ms().paths.status_dir));

  // The modem goes on as before, and the files appear once the directory exists.
  f.type_line("AT");
  std::string dte;
  ASSERT_TRUE(f.run_until([&] { return (dte += f.dte_read()) == "AT\r\nOK\r\n"; }));
  fs::create_directories(f.ms().paths.status_dir);
  log.clear();
  write_status_files(f.ms());
  EXPECT_EQ(log.lines().size(), 0u);
  EXPECT_EQ(status_dir_entries(f), THREE_FILES);
}

TEST(StatusFiles, FileThatCannotBeReplacedIsSkipped) {
  loop_fixture f;
  log_capture log;
  lay_out_root(f, "R\n", "M\n");
  // A directory in the place of status_s cannot be replaced by a file.
  fs::create_directories(f.ms().paths.status_dir + "/status_s/keep");

  write_status_files(f.ms());
  int fopen_errors = 0;
  for (const auto& [level, text] : log.lines()) {
    if (text.starts_with("fopen error: ")) {
      EXPECT_EQ(level, 3);
      ++fopen_errors;
    }
  }
  EXPECT_EQ(fopen_errors, 1);
  EXPECT_EQ(status_file(f, "status_f"), "Router     : R\r\nUser Module: M\r\n");
  EXPECT_EQ(status_file(f, "status_c"), "On-line  : No\nConnected: No\n");
  EXPECT_TRUE(fs::is_directory(f.ms().paths.status_dir + "/status_s/keep"));
  // Nothing half-written is left behind.
  EXPECT_EQ(status_dir_entries(f), THREE_FILES);
}

TEST(StatusFiles, FailedWriteKeepsTheOldFileAndIsLogged) {
  loop_fixture f;
  lay_out_root(f, "R\n", "M\n");
  write_status_files(f.ms());
  const std::string old_f = status_file(f, "status_f");
  const std::string old_s = status_file(f, "status_s");
  const std::string old_c = status_file(f, "status_c");
  ASSERT_FALSE(old_s.empty());
  f.ms().settings.stat_echo = 0;  // the configuration report changes

  // A file-size limit makes every write beyond 8 bytes fail (EFBIG), as a full file system
  // fails a write with ENOSPC.
  log_capture log;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 8;
  auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  write_status_files(f.ms());
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);

  EXPECT_EQ(status_file(f, "status_f"), old_f);
  EXPECT_EQ(status_file(f, "status_s"), old_s);
  EXPECT_EQ(status_file(f, "status_c"), old_c);
  const std::string dir = f.ms().paths.status_dir;
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "write error (" + dir + "/status_f): File too large",
                             "write error (" + dir + "/status_s): File too large",
                             "write error (" + dir + "/status_c): File too large",
                         }));
  for (const auto& line : log.lines()) EXPECT_EQ(line.first, 3);
  EXPECT_EQ(status_dir_entries(f), THREE_FILES);  // no temporary file left

  // With room again the new report replaces the old one.
  write_status_files(f.ms());
  EXPECT_NE(status_file(f, "status_s"), old_s);
  EXPECT_TRUE(status_file(f, "status_s").starts_with("E   Q   V   &D\r\n0   "));
}

TEST(StatusFiles, RequestIsServedAtTheEndOfAPass) {
  loop_fixture f;
  lay_out_root(f, "R\n", "M\n");
  f.ms().status_request = 1;
  ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
  EXPECT_EQ(f.ms().status_request, 0);
  EXPECT_EQ(status_file(f, "status_c"), "On-line  : No\nConnected: No\n");
  EXPECT_EQ(status_file(f, "status_f"), "Router     : R\r\nUser Module: M\r\n");
  EXPECT_TRUE(status_file(f, "status_s").starts_with("E   Q   V   &D\r\n"));
  EXPECT_EQ(status_dir_entries(f), THREE_FILES);

  // Without a request a pass writes nothing.
  fs::remove(f.ms().paths.status_dir + "/status_c");
  ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
  EXPECT_FALSE(path_exists(f.ms().paths.status_dir + "/status_c"));
}

}  // namespace
