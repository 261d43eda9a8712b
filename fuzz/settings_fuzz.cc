// Feeds arbitrary bytes to the settings reader as a file, then checks that what the writer
// makes of the record reads back to the same numbers and script.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/settings.h"
#include "platform/log.h"

namespace {

void no_log(int /*level*/, const char* /*text*/) {}

modem_settings load_bytes(const char* data, size_t size) {
  modem_settings s;
  if (size == 0) {
    settings_load_stream(s, nullptr);
    return s;
  }
  std::string copy(data, size);
  FILE* file = fmemopen(copy.data(), copy.size(), "r");
  settings_load_stream(s, file);
  if (file != nullptr) fclose(file);
  return s;
}

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  log_set_sink(no_log);
  modem_settings s = load_bytes(reinterpret_cast<const char*>(data), size);
  std::string formatted = settings_format(s);

  size_t lines = 0;
  for (char c : formatted) lines += c == '\n' ? 1 : 0;
  // The allow list has a line only when it is not empty.
  check(lines == (s.allow.empty() ? 30u : 31u));

  modem_settings back = load_bytes(formatted.data(), formatted.size());
  check(back.enabled == (s.enabled != 0 ? 1u : 0u));
  check(back.serial == s.serial && back.baudrate == s.baudrate && back.databits == s.databits);
  check(back.stopbits == s.stopbits && back.split == s.split && back.port == s.port);
  check(back.keepalive == s.keepalive && back.keepalive_time == s.keepalive_time);
  check(back.keepalive_intvl == s.keepalive_intvl && back.keepalive_probes == s.keepalive_probes);
  check(back.sreg_auto_answer == s.sreg_auto_answer && back.sreg_esc == s.sreg_esc);
  check(back.sreg_cr == s.sreg_cr && back.sreg_lf == s.sreg_lf && back.sreg_bs == s.sreg_bs);
  check(back.sreg_ring_int == s.sreg_ring_int && back.sreg_conn_tout == s.sreg_conn_tout);
  check(back.sreg_hup_delay == s.sreg_hup_delay && back.sreg_split == s.sreg_split);
  check(back.sreg_esc_delay == s.sreg_esc_delay && back.sreg_dtr_ignore == s.sreg_dtr_ignore);
  check(back.stat_echo == s.stat_echo && back.stat_quiet == s.stat_quiet);
  check(back.stat_verbosity == s.stat_verbosity && back.stat_dtr_action == s.stat_dtr_action);
  check(back.sysloglev == s.sysloglev && back.spoof_ok == s.spoof_ok);
  // The file keeps 16,000 base64 characters of the script: its first 12,000 bytes.
  check(back.cfg_script == s.cfg_script.substr(0, SETTINGS_SCRIPT_SAVE_MAX));
  // A text keeps its first 16,000 characters; a double quote inside it does not come back.
  if (s.allow.find('"') == std::string::npos) {
    check(back.allow == s.allow.substr(0, SETTINGS_TEXT_MAX));
  }
  return 0;
}
