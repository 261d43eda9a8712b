#include "core/status_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "at/info.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/process.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"

namespace {

// Writes one status file through `fill`, which writes to the descriptor it is given.
template <typename Fill>
void write_status_file(const std::string& path, Fill fill) {
  replacement_file file;
  if (!replacement_open(file, path.c_str(), 0666)) {
    log_msg(3, "fopen error: %s", strerror(errno));
    return;
  }
  fill(file.fd.get());
  if (!replacement_commit(file)) log_msg(3, "fopen error: %s", strerror(errno));
}

}  // namespace

void write_status_files(modem_state& ms) {
  const std::string& dir = ms.paths.status_dir;
  write_status_file(dir + "/status_f", [&ms](int fd) {
    write_text(fd, "Router     : ");
    print_file_lines(ms, fd, ms.paths.router_version.c_str());
    write_text(fd, "User Module: ");
    print_file_lines(ms, fd, ms.paths.module_version.c_str());
  });
  write_status_file(dir + "/status_s", [&ms](int fd) { print_config_report(ms, fd); });
  write_status_file(dir + "/status_c", [&ms](int fd) {
    char text[96];
    bool connected = ms.call_state == CALL_CONNECTED;
    int n = snprintf(text, sizeof text, "On-line  : %s\nConnected: %s%s\n",
                     ms.online == 1 ? "Yes" : "No", connected ? "to " : "No",
                     connected ? addr_text(ms.peer_addr) : "");
    fd_write(fd, text, static_cast<size_t>(n));
  });
}
