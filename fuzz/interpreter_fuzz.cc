// Feeds arbitrary bytes through the command-mode line editor, and so through the interpreter
// and every command handler, on a fresh modem_state per input. The serial line is /dev/null;
// the settings and version files live in a temporary directory made once per process.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "at/line_editor.h"
#include "at/sreg_table.h"
#include "modem/modem_state.h"
#include "platform/log.h"

namespace {

void no_log(int /*level*/, const char* /*text*/) {}

void check(bool ok) {
  if (!ok) abort();
}

struct fuzz_files {
  std::string dir;
  std::string settings;
  std::string router_version;
  std::string module_version;
};

fuzz_files* files = nullptr;

void write_text_file(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

void remove_files() {
  unlink(files->settings.c_str());
  unlink(files->router_version.c_str());
  unlink(files->module_version.c_str());
  rmdir(files->dir.c_str());
  delete files;
  files = nullptr;
}

void make_files() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/orvaned-fuzz-XXXXXX";
  check(mkdtemp(tmpl.data()) != nullptr);
  files =
      new fuzz_files{tmpl, tmpl + "/settings", tmpl + "/router_version", tmpl + "/module_version"};
  write_text_file(files->router_version,
                  "router 1.0\r\n" + std::string(200, 'r') + "\n" + std::string(127, 's') + "\n");
  write_text_file(files->module_version, "module 2.0\nlast line without end");
  atexit(remove_files);
}

void add_subst(modem_state& ms, int type, const char* pattern, const char* replacement) {
  substitution& entry = ms.subst_table[static_cast<size_t>(ms.subst_count++)];
  entry.type = type;
  entry.pattern = pattern;
  entry.replacement = replacement;
}

// What the editor promises after every byte, whatever it was fed.
void check_editor(const modem_state& ms) {
  check(ms.cmd_len >= 0 && ms.cmd_len <= CMD_LINE_MAX);
  check(ms.cmd_cursor >= 0 && ms.cmd_cursor <= ms.cmd_len);
  check(ms.cmd_line[static_cast<size_t>(ms.cmd_len)] == '\0');
  check(strlen(ms.cmd_line.data()) == static_cast<size_t>(ms.cmd_len));
  check(ms.esc_state == ESC_NONE || ms.esc_state == ESC_SEEN || ms.esc_state == ESC_CSI);
  check(strlen(ms.last_cmd.data()) <= static_cast<size_t>(CMD_LINE_MAX));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_sink(no_log);
  if (files == nullptr) make_files();
  // Each input starts without a stored settings file, so inputs do not depend on each other.
  unlink(files->settings.c_str());

  auto ms = std::make_unique<modem_state>();
  ms->serial_fd.reset(open("/dev/null", O_WRONLY | O_CLOEXEC));
  check(ms->serial_fd.valid());

  // The first byte chooses the modem's starting flags and where AT&W writes.
  uint8_t options = size > 0 ? data[0] : 0;
  modem_settings& s = ms->settings;
  s.stat_echo = options & 1;
  s.stat_quiet = (options >> 1) & 1;
  s.stat_verbosity = (options >> 2) & 1;
  s.spoof_ok = (options >> 3) & 1;
  s.compat = (options >> 7) & 1;  // the commands of Hayes and cellular modems
  s.stat_dtr_action = 2;
  s.sreg_esc = 43;
  s.sreg_cr = 13;
  s.sreg_lf = 10;
  s.sreg_bs = (options & 0x40) != 0 ? 0x7f : 8;
  s.sreg_ring_int = 2;
  s.sreg_conn_tout = 30;
  s.sreg_split = 100;
  s.sreg_esc_delay = 50;
  s.sysloglev = 8;
  ms->paths.settings =
      (options & 0x10) != 0 ? files->dir + "/no-such-dir/settings" : files->settings;
  ms->paths.router_version = files->router_version;
  ms->paths.module_version = files->module_version;
  if ((options & 0x20) != 0) ms->peer_addr = net_ipv4(0x0a000001);
  add_subst(*ms, SUBST_DIAL, "100", "010000000001");
  add_subst(*ms, SUBST_DIAL, "+420", "300000000001");
  add_subst(*ms, SUBST_DIAL, "555", "12");
  add_subst(*ms, SUBST_INFO, "12", "twelve");
  add_subst(*ms, SUBST_INFO, "4", "");
  recompute_timers(*ms);
  log_set_threshold(&ms->settings.sysloglev);

  for (size_t i = 1; i < size; ++i) {
    editor_input(*ms, data[i]);
    check_editor(*ms);
  }

  log_set_threshold(nullptr);
  return 0;
}
