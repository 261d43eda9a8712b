// The fixed paths of the daemon, optionally moved under a sandbox root (ORVANED_ROOT), and the
// sandbox's limit on dialling (ORVANED_DIAL_LOOPBACK_ONLY).
#pragma once

#include <string>

#include "config/settings.h"

struct daemon_paths {
  std::string root;  // ORVANED_ROOT, empty for none; a device path of the settings lies under it
  std::string settings = "/opt/orvane/etc/settings";
  std::string router_version = "/etc/version";
  std::string module_version = "/opt/orvane/etc/version";
  std::string pid_file = "/var/run/orvaned.pid";
  std::string lock_dir = "/var/lock";
  std::string status_dir = "/var/orvane";
  std::string devices[2] = {"/dev/ttyS0", "/dev/ttyS1"};
  // Where a dial's host name is looked up: the hosts file first, then the name servers of the
  // resolver configuration.
  std::string hosts = "/etc/hosts";
  std::string resolv_conf = "/etc/resolv.conf";
  // True when ORVANED_DIAL_LOOPBACK_ONLY=1: a sandbox dials only addresses on this machine.
  bool dial_loopback_only = false;
};

// The paths under `root` (every fixed path prefixed with it); nullptr or empty: the real paths.
// dial_loopback_only is read from the environment whatever `root` is.
daemon_paths paths_under_root(const char* root);

// The serial device the settings choose: MOD_ORVANE_DEVICE under the root when it is set, else
// the device that MOD_ORVANE_SERIAL numbers. REQUIRES: serial is 0 or 1 when device is empty.
std::string serial_device_path(const daemon_paths& p, const modem_settings& s);
