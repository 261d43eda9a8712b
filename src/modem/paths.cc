#include "modem/paths.h"

#include <cstdlib>
#include <cstring>

daemon_paths paths_under_root(const char* root) {
  daemon_paths p;
  const char* loopback_only = getenv("ORVANED_DIAL_LOOPBACK_ONLY");
  p.dial_loopback_only = loopback_only != nullptr && strcmp(loopback_only, "1") == 0;
  if (root == nullptr || root[0] == '\0') return p;
  std::string r = root;
  p.root = r;
  for (std::string* path :
       {&p.settings, &p.router_version, &p.module_version, &p.pid_file, &p.lock_dir, &p.status_dir,
        &p.devices[0], &p.devices[1], &p.hosts, &p.resolv_conf}) {
    *path = r + *path;
  }
  return p;
}

std::string serial_device_path(const daemon_paths& p, const modem_settings& s) {
  return s.device.empty() ? p.devices[s.serial] : p.root + s.device;
}
