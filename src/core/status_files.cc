#include "core/status_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "at/info.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/net_address.h"

namespace {

// Replaces one status file with `content`. A failed write or sync (a full file system)
// leaves the old file in place.
void write_status_file(const std::string& path, const std::string& content) {
  replacement_file file;
  if (!replacement_open(file, path.c_str(), 0666)) {
    log_msg(3, "fopen error: %s", strerror(errno));
    return;
  }
  if (!replacement_write(file, content)) {
    log_msg(3, "write error (%s): %s", path.c_str(), strerror(errno));
    return;
  }
  if (!replacement_commit(file)) log_msg(3, "fopen error: %s", strerror(errno));
}

}  // namespace

void write_status_files(modem_state& ms) {
  const std::string& dir = ms.paths.status_dir;
  std::string text = "Router     : ";
  file_lines_text(ms, ms.paths.router_version.c_str(), text);
  text += "User Module: ";
  file_lines_text(ms, ms.paths.module_version.c_str(), text);
  write_status_file(dir + "/status_f", text);

  text.clear();
  config_report_text(ms, text);
  write_status_file(dir + "/status_s", text);

  char line[96];
  bool connected = ms.call_state == CALL_CONNECTED;
  snprintf(line, sizeof line, "On-line  : %s\nConnected: %s%s\n", ms.online == 1 ? "Yes" : "No",
           connected ? "to " : "No", connected ? addr_text(ms.peer_addr) : "");
  text = line;
  // A call to or from a peer that is not a daemon says what it is.
  if (connected && ms.peer_kind != PEER_DAEMON) {
    text += std::string("Peer kind: ") + peer_kind_name(ms.peer_kind) + "\n";
  }
  // An encrypted call says so; a plain call's file has the two lines only.
  if (connected && !ms.call_encryption.empty()) {
    text += "Encrypted: " + ms.call_encryption + "\n";
  }
  write_status_file(dir + "/status_c", text);
}
