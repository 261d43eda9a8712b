#include "modem/paths.h"

daemon_paths paths_under_root(const char* root) {
  daemon_paths p;
  if (root == nullptr || root[0] == '\0') return p;
  std::string r = root;
  for (std::string* path : {&p.settings, &p.router_version, &p.module_version, &p.pid_file,
                            &p.lock_dir, &p.status_dir, &p.devices[0], &p.devices[1]}) {
    *path = r + *path;
  }
  return p;
}
