// The fixed paths of the daemon, optionally moved under a sandbox root (ORVANED_ROOT).
#pragma once

#include <string>

struct daemon_paths {
  std::string settings = "/opt/orvane/etc/settings";
  std::string router_version = "/etc/version";
  std::string module_version = "/opt/orvane/etc/version";
  std::string pid_file = "/var/run/orvaned.pid";
  std::string lock_dir = "/var/lock";
  std::string status_dir = "/var/orvane";
  std::string devices[2] = {"/dev/ttyS0", "/dev/ttyS1"};
};

// The paths under `root` (every fixed path prefixed with it); nullptr or empty: the real paths.
daemon_paths paths_under_root(const char* root);
