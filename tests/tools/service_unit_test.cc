// The restrictions of packaging/orvaned.service, reproduced without systemd: the daemon starts
// with the unit's capability bounding set and no-new-privileges (setpriv) in a mount namespace
// (unshare) where every mount is read-only but the unit's writable paths, mapped under the
// sandbox root. There it must still lock its device, write its pid file, take a call over
// loopback, write the status files and save its settings with AT&W.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/call_helpers.h"
#include "tools/run_program.h"

namespace {

using namespace std::chrono_literals;

// The values of every line "key=..." of the unit's [Service] section, split at blanks; a key
// given with an empty value ("CapabilityBoundingSet=") yields an empty word list but is found.
struct unit_setting {
  bool found = false;
  std::vector<std::string> words;
};

unit_setting unit_value(const std::string& unit, const std::string& key) {
  unit_setting setting;
  std::istringstream lines(unit);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key + "=", 0) != 0) continue;
    setting.found = true;
    std::istringstream words(line.substr(key.size() + 1));
    std::string word;
    while (words >> word) setting.words.push_back(word);
  }
  return setting;
}

std::string first_program(std::initializer_list<const char*> paths) {
  for (const char* p : paths) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

// "CAP_NET_BIND_SERVICE" as setpriv names it: "net_bind_service".
std::string setpriv_cap(std::string cap) {
  for (char& c : cap) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return cap.rfind("cap_", 0) == 0 ? cap.substr(4) : cap;
}

// Binds each writable path (the arguments up to the count's end) onto itself, so that it keeps
// its own write permission, then makes every other mount read-only and executes the rest of
// the arguments.
constexpr const char* kNamespaceScript = R"(n=$1; shift
keep=" "
i=0
while [ "$i" -lt "$n" ]; do
  mount --bind "$1" "$1" || exit 1
  keep="$keep$1 "; shift; i=$((i + 1))
done
for m in $(cut -d' ' -f5 /proc/self/mountinfo); do
  case "$keep" in *" $m "*) continue ;; esac
  mount -o remount,bind,ro "$m" || { echo "cannot make $m read-only" >&2; exit 1; }
done
exec "$@")";

// One line of /proc/PID/status, such as "CapEff:\t0000000000000000".
std::string status_line(pid_t pid, const std::string& name) {
  std::istringstream lines(read_file("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(name + ":", 0) == 0) return line;
  }
  return "";
}

// The mount options (field 6 of mountinfo) of the mount at `point` as the process sees it.
std::string mount_options(pid_t pid, const std::string& point) {
  std::istringstream lines(read_file("/proc/" + std::to_string(pid) + "/mountinfo"));
  std::string line, options;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, mount_point, opts;
    fields >> id >> parent >> dev >> root >> mount_point >> opts;
    if (mount_point == point) options = opts;  // the last one is on top
  }
  return options;
}

bool read_only(const std::string& options) { return (options + ",").rfind("ro,", 0) == 0; }

TEST(ServiceUnit, DaemonWorksUnderTheUnitsRestrictions) {
  const std::string unit = read_file(std::string(SOURCE_DIR) + "/packaging/orvaned.service");
  ASSERT_FALSE(unit.empty());
  unit_setting caps = unit_value(unit, "CapabilityBoundingSet");
  unit_setting writable = unit_value(unit, "ReadWritePaths");
  ASSERT_TRUE(caps.found) << "the unit sets no capability bounding set";
  ASSERT_FALSE(writable.words.empty()) << "the unit names no writable paths";
  ASSERT_EQ(unit_value(unit, "NoNewPrivileges").words, std::vector<std::string>{"yes"});
  ASSERT_EQ(unit_value(unit, "ProtectSystem").words, std::vector<std::string>{"strict"});
  EXPECT_FALSE(unit_value(unit, "User").found) << "the test runs the daemon as root, as the unit";

  const std::string unshare = first_program({"/usr/bin/unshare", "/bin/unshare"});
  const std::string setpriv = first_program({"/usr/bin/setpriv", "/bin/setpriv"});
  if (unshare.empty() || setpriv.empty() ||
      first_program({"/usr/bin/mount", "/bin/mount"}).empty()) {
    GTEST_SKIP() << "unshare, setpriv or mount is not installed (package util-linux, mount)";
  }
  program_result probe = run_program({unshare, "--mount", "--propagation", "private", "true"});
  if (probe.status != 0) {
    GTEST_SKIP() << "no mount namespace can be made here (unshare --mount: " << probe.err
                 << "); the unit's restrictions cannot be reproduced";
  }

  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(m.box.ok());
  std::vector<std::string> launcher = {
      unshare,   "--mount", "--propagation",  "private", "--",
      "/bin/sh", "-c",      kNamespaceScript, "sh",      std::to_string(writable.words.size())};
  for (const std::string& path : writable.words) launcher.push_back(m.box.path(path));
  std::string bounding = "-all";
  for (const std::string& cap : caps.words) bounding += ",+" + setpriv_cap(cap);
  launcher.insert(launcher.end(), {setpriv, "--no-new-privs", "--bounding-set=" + bounding,
                                   "--inh-caps=-all", "--ambient-caps=-all"});
  m.d.set_launcher(launcher);
  ASSERT_TRUE(start_modem(m)) << m.d.log_text();
  const pid_t pid = m.d.pid();
  {
    SCOPED_TRACE("the restrictions are in force");
    EXPECT_EQ(status_line(pid, "NoNewPrivs"), "NoNewPrivs:\t1");
    if (caps.words.empty()) {
      EXPECT_EQ(status_line(pid, "CapEff"), "CapEff:\t0000000000000000");
      EXPECT_EQ(status_line(pid, "CapBnd"), "CapBnd:\t0000000000000000");
    }
    EXPECT_TRUE(read_only(mount_options(pid, "/"))) << mount_options(pid, "/");
    for (const std::string& path : writable.words) {
      std::string options = mount_options(pid, m.box.path(path));
      EXPECT_FALSE(options.empty() || read_only(options)) << path << ": " << options;
    }
  }
  {
    SCOPED_TRACE("pid file and device lock");
    EXPECT_EQ(read_file(m.box.pid_path()), std::to_string(pid) + "\n");
    EXPECT_TRUE(path_exists(m.box.lock_path()));
  }
  {
    SCOPED_TRACE("a call over loopback");
    unique_fd caller = connect_loopback(m.box.port());
    ASSERT_TRUE(caller.valid());
    ASSERT_TRUE(serial_gets(m.d, "RING\r\n", 5));
    ASSERT_TRUE(serial_exchange(m.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
    EXPECT_EQ(recv_for(caller.get(), 300ms), "X");
    ASSERT_TRUE(send_all(caller.get(), "to the device"));
    EXPECT_TRUE(serial_gets(m.d, "to the device"));
    ASSERT_TRUE(m.d.serial_write("to the caller"));
    EXPECT_EQ(recv_until(caller.get(), "to the caller", seconds_from_now(5)), "to the caller");
    ASSERT_TRUE(m.d.send_signal(SIGUSR1));
    steady_deadline deadline = seconds_from_now(10);
    while (!path_exists(m.box.path("/var/orvane/status_c")) &&
           std::chrono::steady_clock::now() < deadline) {
      usleep(20000);
    }
    EXPECT_TRUE(path_exists(m.box.path("/var/orvane/status_c"))) << m.d.log_text();
    caller.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
  }
  {
    SCOPED_TRACE("AT&W replaces the settings file");
    ASSERT_TRUE(serial_exchange(m.d, "ATS0=3\r", "ATS0=3\r\nOK\r\n"));
    ASSERT_TRUE(serial_exchange(m.d, "AT&W\r", "AT&W\r\nOK\r\n")) << m.d.log_text();
    EXPECT_NE(read_file(m.box.settings_path()).find("\nMOD_ORVANE_SREG_AUTO_ANSWER=3\n"),
              std::string::npos);
  }
  stop_modem(m);
  EXPECT_FALSE(path_exists(m.box.pid_path()));
  EXPECT_FALSE(path_exists(m.box.lock_path()));
}

}  // namespace
